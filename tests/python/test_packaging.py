"""The type stub against the functions, the package metadata, and a pip
install from the source tree."""

import ast
import filecmp
import glob
import importlib.metadata
import inspect
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

import geometry.trigonometry as trig
from trig_support import FUNCTION_NAMES

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(ROOT, "python", "geometry", "trigonometry.pyi")
P = inspect.Parameter


def signature_of(node, skip_self=False):
    """(parameters, return annotation) of a def; parameters are (name, kind,
    has default, annotation node)."""
    a = node.args
    positional = (a.posonlyargs + a.args)[1 if skip_self else 0:]
    first_default = len(positional) - len(a.defaults)
    params = [(arg.arg, P.POSITIONAL_ONLY if i < len(a.posonlyargs) - skip_self else P.POSITIONAL_OR_KEYWORD,
               i >= first_default, arg.annotation) for i, arg in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, False, a.vararg.annotation))
    params += [(arg.arg, P.KEYWORD_ONLY, default is not None, arg.annotation)
               for arg, default in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, False, a.kwarg.annotation))
    return params, node.returns


def stub_functions():
    """({name: (parameters, return annotation)}, other public names) of the
    stub. A function is a def, or a name annotated with one of the stub's
    classes, whose __call__ gives the signature."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read(), STUB)
    calls = {node.name: next((signature_of(item, skip_self=True) for item in node.body
                              if isinstance(item, ast.FunctionDef) and item.name == "__call__"), None)
             for node in tree.body if isinstance(node, ast.ClassDef)}
    out, other_names = {}, []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = signature_of(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name) and \
                calls.get(node.annotation.id):
            out[node.target.id] = calls[node.annotation.id]
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # A stub re-exports only what it imports as the same name.
            other_names += [alias.asname for alias in node.names if alias.asname == alias.name]
        elif isinstance(node, ast.ClassDef):
            other_names.append(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            other_names += [n.id for t in targets for n in ast.walk(t) if isinstance(n, ast.Name)]
    return out, [name for name in other_names if not name.startswith("_")]


def text(annotation):
    return None if annotation is None else ast.unparse(annotation)


class StubTest(unittest.TestCase):
    def test_stub_matches_the_functions(self):
        functions, others = stub_functions()
        module_functions = {name for name, value in vars(trig).items() if type(value) is type(trig.sin)}
        self.assertEqual(module_functions, set(FUNCTION_NAMES))
        self.assertEqual(set(functions), module_functions)
        self.assertEqual(others, [])
        for name in FUNCTION_NAMES:
            with self.subTest(name):
                signature = inspect.signature(getattr(trig, name))
                params, returns = functions[name]
                self.assertEqual([(p.name, p.kind, p.default is not P.empty) for p in signature.parameters.values()],
                                 [param[:3] for param in params])
                # The stub may type what the function leaves unannotated, but
                # where the function has an annotation the texts must agree.
                for p, param in zip(signature.parameters.values(), params):
                    if p.annotation is not P.empty:
                        self.assertEqual(text(param[3]), p.annotation, p.name)
                if signature.return_annotation is not signature.empty:
                    self.assertEqual(text(returns), signature.return_annotation)

    def test_build_tree_carries_the_stub(self):
        here = os.path.dirname(trig.__file__)
        self.assertTrue(filecmp.cmp(STUB, os.path.join(here, "trigonometry.pyi"), shallow=False))
        self.assertTrue(os.path.isfile(os.path.join(here, "py.typed")))


def project_metadata():
    """(Requires-Python, classifiers) of the installed distribution when the
    module under test is installed (the wheel check), else of pyproject.toml."""
    try:
        dist = importlib.metadata.distribution("geometry-trigonometry")
        installed = os.path.samefile(dist.locate_file("geometry"), os.path.dirname(trig.__file__))
    except (importlib.metadata.PackageNotFoundError, OSError):
        installed = False
    if installed:
        return dist.metadata["Requires-Python"], dist.metadata.get_all("Classifier")
    try:
        import tomllib
    except ImportError:  # before 3.11
        from pip._vendor import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    return project["requires-python"], project["classifiers"]


class MetadataTest(unittest.TestCase):
    def test_metadata_admits_this_interpreter(self):
        from pip._vendor.packaging.specifiers import SpecifierSet
        requires, classifiers = project_metadata()
        self.assertIn(platform.python_version(), SpecifierSet(requires))
        self.assertIn("Programming Language :: Python :: %d.%d" % sys.version_info[:2], classifiers)


# (function, arguments, value from the math module)
KNOWN = [
    ("sin", (30,), 0.5), ("sin", (123.456,), math.sin(math.radians(123.456))),
    ("sin", (-1e9,), math.sin(math.radians(-1e9 % 360))), ("cosin", (60,), 0.5),
    ("tan", (45,), 1.0), ("_tan_rad", (1.0,), math.tan(1.0)), ("arctan", (0.5,), math.atan(0.5)),
    ("arctan", (-10, 25), math.atan(-10)), ("arctan2", (-1, 1), 3 * math.pi / 4),
    ("arctan2", (1, -1), -math.pi / 4), ("arcsin", (0.5,), math.asin(0.5)), ("arccos", (0.5,), math.acos(0.5)),
]

PROBE = r"""
import json, sys
import geometry.constants, geometry.trigonometry as t, vantor.algebra.algebra
print(json.dumps({
    "files": [m.__file__ for m in (t, geometry.constants, vantor.algebra.algebra)],
    "results": [repr(getattr(t, name)(*args)) for name, args in json.loads(sys.argv[1])],
}))
"""


def copy_project(target):
    """The project without build trees, git data and caches."""
    def ignore(directory, names):
        skip = {n for n in names if n == "__pycache__" or n.endswith(".egg-info")}
        if os.path.samefile(directory, ROOT):
            skip.update(n for n in names if n.startswith(("build", ".")) or n == "dist")
        return skip
    shutil.copytree(ROOT, target, ignore=ignore)


# The folder of build wheels (setuptools, wheel) that pip installs into its
# isolated build environment; CTest names the one `make test` fills.
WHEELHOUSE = os.environ.get("TRIG_WHEELHOUSE")


@unittest.skipUnless(WHEELHOUSE, "TRIG_WHEELHOUSE names no folder of build wheels (tools/wheelhouse makes one)")
class PipInstallTest(unittest.TestCase):
    def test_install_into_target_directory(self):
        self.assertTrue(os.path.isdir(WHEELHOUSE), "no folder %s: make test fills it" % WHEELHOUSE)
        with tempfile.TemporaryDirectory() as tmp:
            # pip builds in the source tree, so build a copy and keep the real
            # tree clean; the user's pip configuration and the build tree on
            # PYTHONPATH stay out of both processes. pip builds as it does for
            # a user, in an isolated environment, which takes its setuptools
            # from the wheelhouse instead of the network.
            src, site = os.path.join(tmp, "src"), os.path.join(tmp, "site")
            copy_project(src)
            env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
            env["PIP_CONFIG_FILE"] = os.devnull
            pip = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--no-index", "--find-links", WHEELHOUSE,
                 "--no-cache-dir", "--disable-pip-version-check", "--target", site, src],
                cwd=tmp, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            self.assertEqual(pip.returncode, 0, pip.stdout)
            # pip before 23.1 falls back to a deprecated `setup.py install` for
            # a project without pyproject.toml.
            self.assertNotIn("setup.py install", pip.stdout)

            # setuptools must stay out of CMake's default build directory and out of python/.
            self.assertFalse(os.path.exists(os.path.join(src, "build")))
            self.assertEqual(glob.glob(os.path.join(src, "python", "*.egg-info")), [])

            installed = {os.path.relpath(os.path.join(d, f), site)
                         for top in ("geometry", "vantor")
                         for d, _, files in os.walk(os.path.join(site, top)) if "__pycache__" not in d
                         for f in files}
            self.assertEqual(installed, {
                "geometry/__init__.py", "geometry/constants.py", "geometry/py.typed",
                "geometry/trigonometry.pyi", "geometry/trigonometry" + sysconfig.get_config_var("EXT_SUFFIX"),
                "vantor/__init__.py", "vantor/algebra/__init__.py", "vantor/algebra/algebra.py"})

            calls = [(name, args) for name, args, _ in KNOWN]
            probe = subprocess.run([sys.executable, "-s", "-c", PROBE, json.dumps(calls)], cwd=tmp,
                                   env=dict(env, PYTHONPATH=site), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, universal_newlines=True)
            self.assertEqual(probe.returncode, 0, probe.stderr)
            report = json.loads(probe.stdout)
        for path in report["files"]:
            self.assertTrue(path.startswith(site + os.sep), path)
        for (name, args, expected), result in zip(KNOWN, report["results"]):
            with self.subTest(call=name, args=args):
                self.assertAlmostEqual(float(result), expected, delta=1e-12)
                # The same bits as the CMake build: same sources, same flags.
                self.assertEqual(result, repr(getattr(trig, name)(*args)))


if __name__ == "__main__":
    unittest.main()
