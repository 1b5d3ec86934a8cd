"""Shared helpers for the geometry.trigonometry test suites."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

import geometry
import geometry.trigonometry as trig
# The function list is defined in refmodel, which must import without a build.
from refmodel import FILE_NAME as FILE, FUNCTION_NAMES  # noqa: F401

SIN = "geometry.trigonometry.sin"
INIT = "init geometry.trigonometry"
# The module that holds the shared types: its name changes with the function
# type's layout (runtime/function.h), so it is taken from the type.
SHARED = type(trig.sin).__module__

# Root of the importable tree the tests run against (holds geometry/, vantor/).
BUILD_ROOT = os.path.dirname(os.path.abspath(list(geometry.__path__)[0]))

# The signature each function shows; reused as the header of an equivalent
# Python function.
SIGNATURES = {
    "sin": "(angle: 'int | float')",
    "cosin": "(angle: 'int | float')",
    "tan": "(angle: 'int | float')",
    "_tan_rad": "(rad: 'float')",
    "arctan": "(x: 'float | int', iter=20)",
    "arctan2": "(x: 'float | int', y: 'float | int') -> 'float'",
    "arcsin": "(x: 'float | int') -> 'float'",
    "arccos": "(x: 'float | int') -> 'float'",
}


def python_twin(name):
    """A plain Python function with the same header as the module's one."""
    ns = {}
    exec("def %s%s: pass" % (name, SIGNATURES[name]), ns)
    return ns[name]


def catch(testcase, exc_type, func, *args, **kwargs):
    """The exception func raises, with its traceback (assertRaises drops it)."""
    try:
        func(*args, **kwargs)
    except exc_type as e:
        return e
    testcase.fail("%s not raised" % exc_type.__name__)


def message_of(expression):
    """What the running interpreter says when the Python expression fails
    (its wording changes between versions)."""
    try:
        eval(expression, {"math": __import__("math"), "decimal": __import__("decimal")})
    except Exception as e:
        return str(e)
    raise AssertionError(expression + " did not fail")


def frame_depth():
    """How many Python frames the caller runs in."""
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth += 1
        frame = frame.f_back
    return depth


def below(levels, call, *args):
    """call(*args) made `levels` Python frames further down; None when the
    recursion limit stops the descent before the call."""
    def descend(levels):
        return descend(levels - 1) if levels > 0 else call(*args)
    try:
        return descend(levels)
    except RecursionError:
        return None


@contextlib.contextmanager
def preserved_namespace(module=trig):
    """Restore the module namespace (content and order) afterwards."""
    ns = vars(module)
    saved = dict(ns)
    try:
        yield ns
    finally:
        ns.clear()
        ns.update(saved)


def make_tree(parent, remove=(), name="root"):
    """Copy the build tree under parent and delete the given relative paths."""
    root = os.path.join(parent, name)
    shutil.copytree(BUILD_ROOT, root,
                    ignore=shutil.ignore_patterns("__pycache__"))
    for rel in remove:
        path = os.path.join(root, rel)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)
    return root


# Loaded first by every child interpreter: reports results as JSON.
CHILD_PRELUDE = '''
import json, sys
FILE = %r

def tb_list(tb):
    out = []
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out

def outcome(exc):
    return {"type": type(exc).__name__, "msg": str(exc),
            "tb": tb_list(exc.__traceback__),
            "entries": [[n, l] for f, n, l in tb_list(exc.__traceback__)
                        if f == FILE]}

def attempt(name="geometry.trigonometry"):
    try:
        __import__(name)
    except BaseException as e:
        return outcome(e)
    return None

def emit(**kw):
    sys.stdout.write("\\n" + json.dumps(kw) + "\\n")
''' % FILE


class ChildResult:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        lines = [l for l in proc.stdout.splitlines() if l.startswith("{")]
        self.data = json.loads(lines[-1]) if lines else None


def run_child(testcase, code, path=(BUILD_ROOT,), check=True, environment=()):
    """Run code in a fresh interpreter whose only extra search path is path,
    with the variables of `environment` set too."""
    env = dict(os.environ, **dict(environment))
    env["PYTHONPATH"] = os.pathsep.join(path)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + code],
                          env=env, capture_output=True, text=True,
                          timeout=300)
    result = ChildResult(proc)
    if check:
        testcase.assertEqual(
            proc.returncode, 0,
            "child failed:\n%s\n%s" % (proc.stdout, proc.stderr))
        testcase.assertIsNotNone(result.data, proc.stdout + proc.stderr)
    return result


def temp_dir(testcase):
    tmp = tempfile.mkdtemp(prefix="trig-test-")
    testcase.addCleanup(shutil.rmtree, tmp, True)
    return tmp
