"""Loads the plain build of geometry.trigonometry beside the shipped one.

The plain build computes every step on Python objects through the generic
number protocol; it is the reference the shipped build must match exactly.
It is a second module of the same family: loaded after the shipped module,
it reuses the shared function type and binds the same sibling modules
(`constants`, `algebra`), but its globals live in its own module dict, so a
test that rebinds a global must do so in both namespaces.

The tree is taken from the environment variable TRIG_PLAIN_TREE (CTest sets
it), or else the running interpreter's build directory (tools/buildtag.py)
in the checkout this file belongs to.
"""

import glob
import importlib
import importlib.machinery
import importlib.util
import os
import runpy
import sys

NAME = "plain_geometry.trigonometry"
TREE_VARIABLE = "TRIG_PLAIN_TREE"


def tree():
    """The importable tree of the plain build (it holds geometry/)."""
    configured = os.environ.get(TREE_VARIABLE)
    if configured:
        return os.path.abspath(configured)
    return os.path.join(build_dir(), "python-plain")


def build_dir():
    """The running interpreter's build directory in this checkout."""
    checkout = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    return runpy.run_path(os.path.join(checkout, "tools", "buildtag.py"))["build_dir"](checkout)


def module_file(root=None):
    """Path of the plain build's extension file, or None when it is absent."""
    found = sorted(glob.glob(os.path.join(root or tree(), "geometry", "trigonometry*.so")))
    return found[0] if found else None


def load():
    """The plain module, loaded once per process under NAME.

    The shipped module is imported first, so that both share the sibling
    modules and the function type. Raises ImportError when the plain build
    is missing."""
    loaded = sys.modules.get(NAME)
    if loaded is not None:
        return loaded
    importlib.import_module("geometry.trigonometry")
    path = module_file()
    if path is None:
        raise ImportError("no plain build of geometry.trigonometry under %s" % tree())
    loader = importlib.machinery.ExtensionFileLoader(NAME, path)
    location = importlib.util.spec_from_file_location(NAME, path, loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    sys.modules[NAME] = module
    return module
