"""Module start-up: namespace, shared types, re-import and failing imports."""

import builtins
import importlib
import os
import sys
import types
import unittest

import refmodel
from trig_support import (FILE, FUNCTION_NAMES, INIT, SHARED, SIN, make_tree,
                          run_child, temp_dir, trig)

SIN_DOC = (
    "[Summary]: Return the sine of an angle given in degrees.\n\n"
    "    [Description]: Normalizes the angle, converts it to radians, and "
    "evaluates a\n    Taylor series approximation until the current term "
    "becomes sufficiently\n    small.\n\n    [Usage]: Typical usage example:"
    "\n\n        result = sin(30)\n        print(result)\n    ")


# Names under which earlier runtimes, whose function type had another
# layout, registered their shared types (runtime/function.h).
EARLIER_SHARED = ["_native_shared_1_0"]


class NamespaceTest(unittest.TestCase):

    def test_namespace_contents_and_order(self):
        names = list(vars(trig))
        start = names.index("__builtins__")
        self.assertEqual(names[:start], ["__name__", "__doc__", "__package__",
                                         "__loader__", "__spec__", "__file__"])
        own = names[start:]
        self.assertEqual(own[:3], ["__builtins__", "constants", "algebra"])
        self.assertEqual(own[-1], "__test__")
        functions = own[3:-1]
        self.assertIn("sin", functions)
        self.assertEqual(functions, [f for f in FUNCTION_NAMES if f in functions])

        self.assertIs(trig.__builtins__, builtins)
        self.assertIsNone(trig.__doc__)
        self.assertEqual(trig.__package__, "geometry")
        self.assertEqual(trig.__test__, {})
        self.assertIs(type(trig.__test__), dict)
        self.assertIs(trig.constants, sys.modules["geometry.constants"])
        self.assertIs(trig.algebra, sys.modules["vantor.algebra.algebra"])

    def test_sys_modules_entries(self):
        self.assertIs(sys.modules["geometry.trigonometry"], trig)
        self.assertIsInstance(sys.modules["native_runtime"], types.ModuleType)
        shared = sys.modules[SHARED]
        ftype = type(trig.sin)
        self.assertIs(shared.native_function_or_method, ftype)
        self.assertIs(shared._common_types_metatype, type(ftype))
        self.assertTrue(issubclass(type(ftype), type))

    def test_shared_types_refuse_instantiation_and_change(self):
        ftype = type(trig.sin)
        self.assertEqual(ftype.__name__, "native_function_or_method")
        self.assertRegex(ftype.__module__, r"^_native_shared_\d+_\d+$")
        refused = "Cannot instantiate native internal types"
        with self.assertRaisesRegex(TypeError, "^%s$" % refused):
            ftype()
        with self.assertRaisesRegex(TypeError, "^%s$" % refused):
            class Sub(ftype):
                pass
        with self.assertRaisesRegex(TypeError, "^%s$" % refused):
            type(ftype)("X", (), {})
        immutable = "^Native internal types are immutable$"
        with self.assertRaisesRegex(TypeError, immutable):
            ftype.extra = 1
        with self.assertRaisesRegex(TypeError, immutable):
            del ftype.no_such_attribute
        self.assertFalse(hasattr(ftype, "extra"))

    def test_code_objects(self):
        # The parameters as the model declares them, then the other locals.
        others = {"sin": ("sign", "x", "term", "tol", "result", "i"), "cosin": ("cosine",),
                  "arctan": ("theta", "_"), "arcsin": ("result",), "arccos": ("result",)}
        lines = dict(zip(FUNCTION_NAMES, [6, 45, 65, 78, 84, 112, 139, 155]))
        model = vars(refmodel.new_model(None, None))
        for name in FUNCTION_NAMES:
            code, like = vars(trig)[name].__code__, model[name].__code__
            with self.subTest(name=name):
                self.assertEqual(code.co_varnames, like.co_varnames[:like.co_argcount] + others.get(name, ()))
                self.assertEqual(code.co_nlocals, len(code.co_varnames))
                for attr in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount"):
                    self.assertEqual(getattr(code, attr), getattr(like, attr), attr)
                self.assertEqual((code.co_name, code.co_filename, code.co_firstlineno), (name, FILE, lines[name]))
                # What the interpreter gives a Python function without free variables.
                self.assertEqual(code.co_flags, plain_function.__code__.co_flags)

    def test_sin_metadata(self):
        sin = trig.sin
        self.assertEqual(sin.__annotations__, {"angle": "int | float"})
        self.assertEqual(sin.__module__, "geometry.trigonometry")
        self.assertEqual(sin.__name__, "sin")
        self.assertEqual(sin.__qualname__, "sin")
        self.assertEqual(sin.__doc__, SIN_DOC)
        self.assertIsNone(sin.__defaults__)


def plain_function(angle):
    return angle


class ReimportTest(unittest.TestCase):

    def test_import_after_removal_gives_same_module(self):
        self.addCleanup(sys.modules.__setitem__, "geometry.trigonometry", trig)
        del sys.modules["geometry.trigonometry"]
        again = importlib.import_module("geometry.trigonometry")
        self.assertIs(again, trig)
        self.assertIs(sys.modules["geometry.trigonometry"], trig)

    def test_reload_runs_nothing_again(self):
        sin, test_dict = trig.sin, trig.__test__
        fake_constants = types.SimpleNamespace(pi=0.0)
        try:
            trig.sin = len
            trig.constants = fake_constants
            self.assertIs(importlib.reload(trig), trig)
            self.assertIs(trig.sin, len)
            self.assertIs(trig.constants, fake_constants)
            self.assertIs(trig.__test__, test_dict)
        finally:
            trig.sin = sin
            trig.constants = sys.modules["geometry.constants"]


class StartupFailureTest(unittest.TestCase):
    """Each scenario runs in a fresh interpreter on a private copy of the tree."""

    def assertInitFailure(self, result, exc_type, msg, line):
        self.assertEqual(result["type"], exc_type)
        self.assertEqual(result["msg"], msg)
        self.assertEqual(result["entries"], [[INIT, line]])
        self.assertEqual(result["tb"][-1], [FILE, INIT, line])

    def test_missing_constants(self):
        root = make_tree(temp_dir(self), ["geometry/constants.py"])
        data = run_child(self, "emit(r=attempt())", [root]).data
        self.assertInitFailure(data["r"], "ImportError",
                               "cannot import name constants", 1)

    def test_missing_sibling_package_or_module(self):
        for missing, name in [("vantor", "vantor"),
                              ("vantor/algebra/algebra.py",
                               "vantor.algebra.algebra")]:
            with self.subTest(missing=missing):
                root = make_tree(temp_dir(self), [missing])
                data = run_child(self, "emit(r=attempt())", [root]).data
                self.assertInitFailure(data["r"], "ModuleNotFoundError",
                                       "No module named %r" % name, 2)

    def test_zlib_unavailable(self):
        code = """
sys.modules['zlib'] = None
first = attempt()
del sys.modules['zlib']
import geometry.trigonometry as m
emit(first=first, value=m.sin(30))
"""
        data = run_child(self, code).data
        self.assertEqual(data["first"]["type"], "ImportError")
        self.assertEqual(
            data["first"]["msg"],
            "Failed to import 'zlib.decompress' - cannot initialise module "
            "strings. String compression was configured with the C macro "
            "'NATIVE_COMPRESS_STRINGS=1'.")
        self.assertEqual(data["first"]["entries"], [])
        self.assertEqual(data["value"], 0.5)

    def test_conflicting_shared_types(self):
        wrong_size = "type('F', (), {'__slots__': ()})"
        cases = [
            (SHARED, "native_function_or_method", "42",
             "Shared native type native_function_or_method is not a type object"),
            (SHARED, "_common_types_metatype", "''.join(['ty', 'pe'])",
             "Shared native type _common_types_metatype is not a type object"),
            (SHARED, "native_function_or_method", wrong_size,
             "Shared native type native_function_or_method has the wrong "
             "size, try recompiling"),
        ] + [
            # What a module of an earlier runtime registered is no obstacle.
            (earlier, "native_function_or_method", wrong_size, None) for earlier in EARLIER_SHARED
        ]
        for shared, name, value, msg in cases:
            with self.subTest(shared=shared, name=name, value=value):
                code = """
import types
shared = types.ModuleType(%r)
shared.%s = %s
sys.modules[shared.__name__] = shared
count = sys.getrefcount(shared.%s)
r = attempt()
attempt(), attempt()
emit(r=r, kept=sys.getrefcount(shared.%s) - count)
""" % (shared, name, value, name, name)
                data = run_child(self, code).data
                if msg is None:
                    self.assertIsNone(data["r"])
                else:
                    self.assertInitFailure(data["r"], "TypeError", msg, 1)
                self.assertEqual(data["kept"], 0)       # the failed imports let go of it

    def test_second_interpreter_is_refused(self):
        code = """
import geometry.trigonometry, _testcapi
emit(rc=_testcapi.run_in_subinterp('import geometry.trigonometry'))
"""
        result = run_child(self, code)
        self.assertEqual(result.data["rc"], -1)
        self.assertIn(
            "ImportError: Interpreter change detected - this module can only "
            "be loaded into one interpreter per process.", result.stderr)

    def test_second_module_object_is_refused(self):
        code = """
import _imp, importlib.util, geometry
found = importlib.util.find_spec('geometry.trigonometry')
first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
_imp.exec_dynamic(first)
try:
    _imp.exec_dynamic(second)
    err = None
except BaseException as e:
    err = outcome(e)
emit(distinct=first is not second, err=err,
     same_after=_imp.create_dynamic(found) is first,
     registered=sys.modules['geometry.trigonometry'] is first)
"""
        data = run_child(self, code).data
        self.assertTrue(data["distinct"])
        self.assertEqual(data["err"]["type"], "RuntimeError")
        self.assertEqual(data["err"]["msg"],
                         "Module 'trigonometry' has already been imported. "
                         "Re-initialisation is not supported.")
        self.assertEqual(data["err"]["entries"], [])
        self.assertTrue(data["same_after"])
        self.assertTrue(data["registered"])

    def test_import_after_failure_starts_afresh(self):
        tmp = temp_dir(self)
        without_vantor = make_tree(tmp, ["vantor"], name="a")
        only_vantor = make_tree(tmp, ["geometry"], name="b")
        code = """
try:
    import geometry.trigonometry
except ModuleNotFoundError as e:
    first = outcome(e)
    tb = e.__traceback__
    while tb.tb_frame.f_code.co_filename != FILE:
        tb = tb.tb_next
    old = tb.tb_frame.f_globals
sys.path.append(%r)
import geometry.trigonometry as m
emit(first=first, old_keys=[k for k in ('constants', 'algebra', 'sin') if k in old],
     fresh=vars(m) is not old, value=m.sin(30))
""" % only_vantor
        data = run_child(self, code, [without_vantor]).data
        self.assertEqual(data["first"]["entries"], [[INIT, 2]])
        self.assertEqual(data["old_keys"], ["constants"])
        self.assertTrue(data["fresh"])
        self.assertEqual(data["value"], 0.5)

    def test_import_from_falls_back_to_sys_modules(self):
        code = """
import geometry, geometry.constants, vantor.algebra, vantor.algebra.algebra
del geometry.constants
del vantor.algebra.algebra
import geometry.trigonometry as m
emit(constants=m.constants is sys.modules['geometry.constants'],
     algebra=m.algebra is sys.modules['vantor.algebra.algebra'],
     value=m.sin(30))
"""
        self.assertEqual(run_child(self, code).data,
                         {"constants": True, "algebra": True, "value": 0.5})

    def test_failed_start_up_keeps_types_and_names_apart(self):
        # A failure at start-up must neither block the later import, nor
        # lend its traceback name to failures of sin.
        root = make_tree(temp_dir(self), ["geometry/constants.py"])
        constants = os.path.join(root, "geometry", "constants.py")
        code = """
import importlib
first = attempt()
shared_type = sys.modules[%r].native_function_or_method
with open(%r, 'w') as f:
    f.write('pi = 3.141592653589793\\n')
importlib.invalidate_caches()
import geometry.trigonometry as m
later = []
for args in [(), ('abc',), ()]:
    try:
        m.sin(*args)
    except TypeError as e:
        later.append(outcome(e)['entries'])
emit(first=first, reused=type(m.sin) is shared_type, later=later)
""" % (SHARED, constants)
        data = run_child(self, code, [root]).data
        self.assertEqual(data["first"]["entries"], [[INIT, 1]])
        self.assertTrue(data["reused"])
        self.assertEqual(data["later"], [[[SIN, 6]], [[SIN, 19]], [[SIN, 6]]])

    def test_start_up_failure_at_sin_line_does_not_rename_sin(self):
        # Fail single allocations just after the sibling import, until one
        # failure lands in the creation of sin (line 6); the same line must
        # then still be reported under sin's own name by a failing call.
        root = make_tree(temp_dir(self))
        with open(os.path.join(root, "vantor", "algebra", "algebra.py"),
                  "a") as f:
            f.write("\nimport builtins as _b, _testcapi as _t\n"
                    "if getattr(_b, 'fail_allocation', None) is not None:\n"
                    "    _t.set_nomemory(_b.fail_allocation, "
                    "_b.fail_allocation + 1)\n")
        # Each failure runs in a process forked for it: from 3.15 the import
        # swallows the failure of the first allocations after the sibling's
        # body, so an attempt that succeeds says nothing about later ones.
        code = """
import builtins, os, _testcapi

def after_failure(k):
    builtins.fail_allocation = k
    try:
        __import__('geometry.trigonometry')
        return None
    except BaseException as e:
        return [tuple(x) for x in outcome(e)['entries']]
    finally:
        _testcapi.remove_mem_hooks()
        del builtins.fail_allocation

def calls():
    m = __import__('geometry.trigonometry').trigonometry
    codes = []
    entries = []
    for _ in range(2):
        try:
            m.sin()
        except TypeError as e:
            entries.append(outcome(e)['entries'])
            tb = e.__traceback__
            while tb.tb_frame.f_code.co_filename != FILE:
                tb = tb.tb_next
            codes.append(tb.tb_frame.f_code)
    return dict(entries=entries, shared=codes[0] is codes[1], value=m.sin(30))

def forked(k):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        lines = after_failure(k)
        found = dict(calls(), init_lines=[(%r, 6)]) if lines and (%r, 6) in lines else None
        os.write(write, json.dumps(found).encode())
        os._exit(0)
    os.close(write)
    data = b''
    while True:
        chunk = os.read(read, 65536)
        if not chunk:
            break
        data += chunk
    os.close(read)
    os.waitpid(pid, 0)
    return json.loads(data)

found = None
for k in range(2000):
    found = forked(k)
    if found is not None:
        break
emit(**(found or dict(init_lines=[])))
""" % (INIT, INIT)
        data = run_child(self, code, [root]).data
        self.assertIn([INIT, 6], data["init_lines"])
        self.assertEqual(data["entries"], [[[SIN, 6]], [[SIN, 6]]])
        self.assertTrue(data["shared"])
        self.assertEqual(data["value"], 0.5)


if __name__ == "__main__":
    unittest.main()
