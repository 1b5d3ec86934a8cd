"""Helpers shared by the reliability suites: fault injection, leaks, threads
and hostile inputs.

Nothing here imports geometry.trigonometry at import time: the start-up
fault injection runs this module in interpreters that must not have loaded it
yet.
"""

import array
import functools
import gc
import json
import os
import subprocess
import sys
import time
import types
import weakref

from inputs import FloatSub  # noqa: F401 (one definition for every suite)

HERE = os.path.dirname(os.path.abspath(__file__))


# ----------------------------------------------------------------------------
# Outcomes


def exception_chain(exc):
    """exc and every exception reachable through __cause__ and __context__."""
    seen, todo = [], [exc]
    while todo:
        e = todo.pop()
        if e is None or any(e is s for s in seen):
            continue
        seen.append(e)
        todo += [e.__cause__, e.__context__]
    return seen


# The 3.9 and 3.10 interpreters raise this themselves (3.10 ends it with "an
# exception") when a Python function runs for the 1024th time and the
# allocation of its code object's inline cache fails (they return from the
# frame without setting the error). It names no function of the module, which
# reports a NULL result under its own name.
INTERPRETER_OWN = ("_PyEval_EvalFrameDefault returned NULL without setting an error",
                   "_PyEval_EvalFrameDefault returned NULL without setting an exception")


def interpreter_own(exc):
    return type(exc) is SystemError and str(exc) in INTERPRETER_OWN


def system_error_in(exc):
    """The first SystemError in exc's chain but the interpreter's own, or None."""
    return next((e for e in exception_chain(exc)
                 if isinstance(e, SystemError) and not interpreter_own(e)), None)


def value_key(value):
    """Type and exact bits of a result (so -0.0, 0.0 and NaNs stay apart);
    for the array of a map, each of its values."""
    if type(value) is array.array:
        return ("array",) + tuple(value_key(v) for v in value)
    if type(value) is float:
        return ("float", value.hex() if value == value else repr(value))
    return (type(value).__name__, repr(value))


def key(failed, result):
    """Comparable summary of a call: its value, or its exception type and text."""
    if failed:
        return ("raise", type(result).__name__, str(result))
    return ("value",) + value_key(result)


def run(call):
    """(failed, result or exception) of call()."""
    try:
        return False, call()
    except BaseException as exc:
        return True, exc


# ----------------------------------------------------------------------------
# Calls

# The ways a caller can pass keywords: a call with keywords, the type's
# generic call slot with a keyword dict, a vector call with keyword names,
# and a keyword dict whose keys are of a str subclass. "map" makes the call
# for MAP_COPIES elements of f.map(), with the keywords for each.
KEYWORD_FORMS = ("kw", "tp_call", "vectorcall", "key")
MAP_COPIES = 3


class Key(str):
    """A keyword name of a str subclass: binding compares it by equality."""


def make_call(module, name, args, kw, form):
    """A function without arguments that makes the call, in the given form
    ("pos" for positional arguments only, or one of KEYWORD_FORMS)."""
    return make_call_passing(module, name, args, kw, form)[0]


def make_call_passing(module, name, args, kw, form):
    """make_call(), and every object the call passes to the function.

    The calls are partial objects, which run no Python code: from 3.11 the
    interpreter makes a Python frame's object only when something needs it,
    and when that allocation fails while an exception passes through the
    frame, the exception is lost. Failed allocations must meet the module,
    not that."""
    import _testcapi
    f = vars(module)[name]
    passed = args + tuple(kw.values())
    if form == "pos":
        return functools.partial(f, *args), passed
    if form == "kw":
        return functools.partial(f, *args, **kw), passed + tuple(kw)
    if form == "map":
        columns = tuple([a] * MAP_COPIES for a in args)
        return functools.partial(f.map, *columns, **kw), passed + tuple(kw) + columns
    if form == "tp_call":
        return functools.partial(type(f).__call__, f, *args, **kw), passed + tuple(kw)
    if form == "vectorcall":
        stack, names = passed, tuple(kw)
        return functools.partial(_testcapi.pyobject_vectorcall, f, stack, names), passed + names + (stack, names)
    keyed = {Key(k): v for k, v in kw.items()}
    return functools.partial(f, *args, **keyed), passed + tuple(keyed)


def module_with(**attributes):
    """A new module object holding the attributes."""
    module = types.ModuleType("replacement")
    vars(module).update(attributes)
    return module


# ----------------------------------------------------------------------------
# Argument types


class Num:
    """A number type of its own. Each operation unwraps to the plain value, so
    only the first step of a computation meets this type."""

    __slots__ = ("v",)
    __hash__ = None

    def __init__(self, v):
        self.v = v

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.v)

    def __float__(self):
        return float(self.v)

    def __index__(self):
        return int(self.v)


class Deep(Num):
    """A number whose every arithmetic result is a new Deep, so that each step
    of a computation on it makes (and may fail to make) a new object."""

    __slots__ = ()


class Boom(Exception):
    """What a Raising number raises. Unlike the built-in exceptions it can be
    weakly referenced, and every instance is, so that a test can tell whether
    one outlives the failed call."""

    made = []

    def __init__(self, *args):
        super().__init__(*args)
        Boom.made.append(weakref.ref(self))

    @staticmethod
    def alive():
        """How many instances are alive once garbage cycles are collected."""
        if any(r() is not None for r in Boom.made):
            gc.collect()
        return sum(r() is not None for r in Boom.made)


class Raising(Num):
    """A number whose remainder, the first step of sin, raises Boom."""

    __slots__ = ()

    def __mod__(self, other):
        raise Boom("boom")


def _install_operations():
    import operator as o

    def plain(x):
        return x.v if isinstance(x, Num) else x

    for cls in (Num, Deep):
        wrap = cls if cls is Deep else (lambda v: v)
        for name in ["add", "sub", "mul", "truediv", "mod", "pow"]:
            op = getattr(o, name)
            setattr(cls, "__%s__" % name, lambda self, other, op=op, wrap=wrap: wrap(op(self.v, plain(other))))
            setattr(cls, "__r%s__" % name, lambda self, other, op=op, wrap=wrap: wrap(op(plain(other), self.v)))
        for name in ["lt", "le", "eq", "ne", "gt", "ge"]:
            setattr(cls, "__%s__" % name, lambda self, other, op=getattr(o, name): op(self.v, plain(other)))
        cls.__neg__ = lambda self, wrap=wrap: wrap(-self.v)
        cls.__abs__ = lambda self, wrap=wrap: wrap(abs(self.v))


_install_operations()


# ----------------------------------------------------------------------------
# Forked children


def _child(fn, item, write_fd):
    status = 0
    try:
        data = json.dumps(fn(item)).encode()
        while data:
            data = data[os.write(write_fd, data):]
    except BaseException:
        import traceback
        traceback.print_exc()
        status = 3
    finally:
        os._exit(status)


def fork_map(fn, items, workers=2):
    """fn(item) for each item, each in a process forked from this one (so
    each starts from this process's state and nothing it does comes back),
    `workers` at a time. Returns (exit status, fn's JSON-able result or None)
    per item; a child that crashes has a non-zero status."""
    results = [None] * len(items)
    running = {}
    pending = list(enumerate(items))
    while pending or running:
        while pending and len(running) < workers:
            i, item = pending.pop(0)
            read_fd, write_fd = os.pipe()
            sys.stdout.flush()
            sys.stderr.flush()
            pid = os.fork()
            if pid == 0:
                os.close(read_fd)
                _child(fn, item, write_fd)
            os.close(write_fd)
            running[pid] = (i, read_fd)
        pid, status = os.wait()
        i, read_fd = running.pop(pid)
        chunks = []
        while True:
            chunk = os.read(read_fd, 65536)
            if not chunk:
                break
            chunks.append(chunk)
        os.close(read_fd)
        data = b"".join(chunks)
        results[i] = (status, json.loads(data) if status == 0 and data else None)
    return results


# ----------------------------------------------------------------------------
# Child interpreters


def start_child(code):
    """Start a fresh interpreter on code (after the project's child prelude)."""
    from trig_support import BUILD_ROOT, CHILD_PRELUDE
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join((BUILD_ROOT, HERE))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", CHILD_PRELUDE + code],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def run_children(testcase, codes, workers=2, timeout=300):
    """Run each code in its own fresh interpreter, `workers` at a time; every
    child must exit cleanly and emit its data. Returns the emitted data."""
    from trig_support import ChildResult
    pending = list(enumerate(codes))
    running, results = [], [None] * len(codes)
    deadline = time.monotonic() + timeout
    try:
        while pending or running:
            while pending and len(running) < workers:
                i, code = pending.pop(0)
                running.append((i, start_child(code)))
            i, proc = running[0]
            out, err = proc.communicate(timeout=max(1, deadline - time.monotonic()))
            running.pop(0)
            result = ChildResult(types.SimpleNamespace(returncode=proc.returncode, stdout=out, stderr=err))
            testcase.assertEqual(proc.returncode, 0, "child %d failed (status %s):\n%s\n%s"
                                 % (i, proc.returncode, out[-3000:], err[-6000:]))
            testcase.assertIsNotNone(result.data, out + err)
            results[i] = result.data
    finally:
        for _, proc in running:
            proc.kill()
            proc.communicate()
    return results
