"""The function type, checked the way Python's own suite checks functions.

Adapted from the interpreter's function-attribute, fast-call and signature
tests, turned round where this type deliberately differs from Python
functions: defaults are metadata that calls never read, and the code object,
globals and closure are fixed.
"""

import collections
import ctypes
import functools
import gc
import inspect
import sys
import types
import unittest
import warnings
import weakref

import _testcapi

from test_tools import SIGNATURES, python_twin
from trig_support import FILE, FUNCTION_ORDER, module_entries, trig

sin, tan, arctan, _tan_rad = trig.sin, trig.tan, trig.arctan, trig._tan_rad
FUNCTIONS = [getattr(trig, name) for name in FUNCTION_ORDER]
NativeFunction = type(sin)

# name: (annotations in order, __defaults__, first line)
REGISTERED = {
    "sin": ([("angle", "int | float")], None, 6),
    "cosin": ([("angle", "int | float")], None, 45),
    "tan": ([("angle", "int | float")], None, 65),
    "_tan_rad": ([("rad", "float")], None, 78),
    "arctan": ([("x", "float | int")], (20,), 84),
    "arctan2": ([("x", "float | int"), ("y", "float | int"),
                 ("return", "float")], None, 112),
    "arcsin": ([("x", "float | int"), ("return", "float")], None, 139),
    "arccos": ([("x", "float | int"), ("return", "float")], None, 155),
}


class Key(str):
    pass


def quietly(func, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        func(*args)


class FunctionAttributesTest(unittest.TestCase):

    def test_registered_values(self):
        for f in FUNCTIONS:
            name = f.__name__
            annotations, defaults, line = REGISTERED[name]
            with self.subTest(name=name):
                self.assertIs(f.__name__, sys.intern(name))
                self.assertEqual(f.__qualname__, name)
                self.assertEqual(f.__module__, "geometry.trigonometry")
                self.assertIs(f.__globals__, vars(trig))
                self.assertIs(f.func_globals, vars(trig))
                self.assertIsNone(f.__closure__)
                self.assertIsNone(f.__kwdefaults__)
                self.assertEqual(f.__defaults__, defaults)
                self.assertEqual(list(f.__annotations__.items()), annotations)
                self.assertIs(f._is_coroutine, False)
                self.assertIs(f._is_coroutine, f._is_coroutine)
                self.assertEqual(f.__doc__ is None, name == "_tan_rad")
                code = f.__code__
                self.assertIsInstance(code, types.CodeType)
                self.assertIs(f.func_code, code)
                self.assertEqual((code.co_name, code.co_filename,
                                  code.co_firstlineno), (name, FILE, line))
                self.assertEqual(repr(f), "<nativefunction %s at %s>"
                                 % (name, hex(id(f))))
        self.assertNotEqual(sin, trig.cosin)
        self.assertEqual({sin: 1, trig.cosin: 2}[sin], 1)

    def test_fixed_attributes(self):
        # Unlike a Python function, code, globals and closure cannot change.
        for attr in ("__code__", "func_code", "__globals__", "func_globals",
                     "__closure__", "func_closure", "_is_coroutine"):
            with self.subTest(attr=attr):
                before = getattr(tan, attr)
                with self.assertRaisesRegex(AttributeError, "not writable"):
                    setattr(tan, attr, getattr(sin, attr))
                with self.assertRaisesRegex(AttributeError, "not writable"):
                    delattr(tan, attr)
                self.assertIs(getattr(tan, attr), before)

    def test_names(self):
        for attr in ("__name__", "__qualname__"):
            self.addCleanup(setattr, tan, attr, "tan")
        tan.__name__ = "c"
        self.assertEqual(tan.func_name, "c")
        tan.func_name = "d"
        self.assertEqual(tan.__name__, "d")
        self.assertEqual(tan.__qualname__, "tan")
        tan.__qualname__ = "Outer.tan"
        self.assertEqual(tan.__name__, "d")
        self.assertEqual(repr(tan), "<nativefunction Outer.tan at %s>"
                         % hex(id(tan)))
        self.assertEqual(tan.__reduce__(), "Outer.tan")
        self.assertAlmostEqual(tan(45), 1.0, delta=1e-15)

    def test_docstrings(self):
        original = trig.cosin.__doc__
        self.assertTrue(original.startswith(
            "[Summary]: Return the cosine of an angle given in degrees."))
        self.addCleanup(setattr, trig.cosin, "__doc__", original)
        self.assertIs(trig.cosin.func_doc, original)
        for value in ("replaced", 42, None):
            trig.cosin.__doc__ = value
            self.assertIs(trig.cosin.__doc__, value)
            self.assertIs(trig.cosin.func_doc, value)
        trig.cosin.func_doc = "again"
        del trig.cosin.__doc__
        # Deleting stores None; the text is not rebuilt from the method record.
        self.assertIsNone(trig.cosin.__doc__)
        self.addCleanup(setattr, _tan_rad, "__doc__", None)
        _tan_rad.__doc__ = "tangent"
        self.assertEqual(_tan_rad.__doc__, "tangent")

    def test_instance_dict(self):
        d = {"known_attr": 7}
        self.addCleanup(setattr, tan, "__dict__", {})
        tan.__dict__ = d
        self.assertIs(tan.__dict__, d)
        self.assertIs(tan.func_dict, d)
        self.assertEqual(tan.known_attr, 7)
        self.assertIn("known_attr", dir(tan))
        self.assertEqual(types.MethodType(tan, 1).known_attr, 7)
        for bad in (None, collections.UserDict(d)):
            with self.assertRaises(TypeError):
                tan.__dict__ = bad
        with self.assertRaises(TypeError):
            del tan.__dict__
        del tan.known_attr
        for probe in (lambda: tan.known_attr, lambda: delattr(tan, "known_attr")):
            with self.assertRaises(AttributeError):
                probe()
        self.assertIs(tan.__dict__, d)

    def test_annotations_keep_the_assigned_dict(self):
        self.addCleanup(setattr, tan, "__annotations__", tan.__annotations__)
        ordered = collections.OrderedDict(angle="deg")
        tan.__annotations__ = ordered
        self.assertIs(tan.__annotations__, ordered)

    def test_defaults_never_reach_calls(self):
        # A Python function would use an assigned or deleted __defaults__;
        # here the value is stored, shown by inspect, and ignored by calls.
        expected = arctan(0.5, 20)
        self.assertNotEqual(arctan(0.5, 0), expected)
        original = arctan.__defaults__
        self.addCleanup(quietly, setattr, arctan, "__defaults__", original)
        self.addCleanup(quietly, setattr, arctan, "__kwdefaults__", None)
        for attr, value in [("__defaults__", (0,)), ("func_defaults", (1,)),
                            ("__defaults__", None),
                            ("__kwdefaults__", {"iter": 0})]:
            with self.subTest(attr=attr, value=value):
                quietly(setattr, arctan, attr, value)
                self.assertEqual(getattr(arctan, attr), value)
                self.assertEqual(arctan(0.5), expected)
        quietly(delattr, arctan, "__defaults__")
        self.assertIsNone(arctan.__defaults__)
        self.assertEqual(str(inspect.signature(arctan)),
                         "(x: 'float | int', iter)")
        self.assertEqual(arctan(0.5), expected)


class ObjectProtocolTest(unittest.TestCase):

    def test_descriptor_get(self):
        class Angle(int):
            pass
        a = Angle(30)
        self.assertIs(sin.__get__(None, Angle), sin)
        for bound in (sin.__get__(a), sin.__get__(a, Angle)):
            self.assertIsInstance(bound, types.MethodType)
            self.assertIs(bound.__self__, a)
            self.assertIs(bound.__func__, sin)
            self.assertEqual(bound(), 0.5)

    def test_type_flags_and_offsets(self):
        T = NativeFunction
        self.assertTrue(T.__flags__ & (1 << 11))  # vector calls
        self.assertTrue(T.__flags__ & (1 << 17))  # method descriptor
        # The offsets the type declares must locate the real fields.
        for offset in (T.__dictoffset__, T.__weakrefoffset__):
            self.assertIsInstance(offset, int)
            self.assertGreater(offset, 0)
            self.assertLess(offset, T.__basicsize__)

        def field(f, offset):
            return ctypes.c_void_p.from_address(id(f) + offset).value
        d = _tan_rad.__dict__
        self.assertEqual(field(_tan_rad, T.__dictoffset__), id(d))
        ref = weakref.ref(_tan_rad)
        self.assertEqual(field(_tan_rad, T.__weakrefoffset__), id(ref))
        entry = sin.__vectorcalloffset__
        self.assertNotEqual(entry, 0)
        for change in (lambda: setattr(sin, "__vectorcalloffset__", 0),
                       lambda: delattr(sin, "__vectorcalloffset__")):
            with self.assertRaises(AttributeError):
                change()
        self.assertEqual((sin.__vectorcalloffset__, sin(30)), (entry, 0.5))

    def test_gc_referents(self):
        f = arctan
        for lazy in ("__dict__", "__doc__", "_is_coroutine"):
            getattr(f, lazy)
        refs = gc.get_referents(f)
        for obj in (f.__globals__, f.__module__, f.__dict__, f.__doc__,
                    f.__defaults__, f._is_coroutine, NativeFunction):
            with self.subTest(obj=type(obj).__name__):
                self.assertTrue(any(r is obj for r in refs))

    def test_metatype_refuses_instances_and_changes(self):
        T = NativeFunction
        M = type(T)
        self.assertEqual((T.__name__, T.__module__, T.__bases__),
                         ("native_function_or_method", "_native_shared_1_0",
                          (object,)))
        self.assertEqual((M.__name__, M.__bases__),
                         ("_common_types_metatype", (type,)))

        def subclass():
            class Sub(T):
                pass
        instantiate = "^Cannot instantiate native internal types$"
        immutable = "^Native internal types are immutable$"
        cases = [
            (lambda: T(), instantiate),
            (lambda: T(30), instantiate),
            (subclass, instantiate),
            (lambda: types.new_class("Sub", (T,)), instantiate),
            (lambda: M("X", (), {}), instantiate),
            # Not even the inherited object.__new__ may build a bare instance.
            (lambda: T.__new__(T), "not safe"),
            (lambda: object.__new__(T), "not safe"),
            (lambda: setattr(T, "extra", 1), immutable),
            (lambda: setattr(T, "__call__", None), immutable),
            (lambda: delattr(T, "__repr__"), immutable),
            (lambda: delattr(T, "__module__"), immutable),
        ]
        for call, msg in cases:
            with self.subTest(msg=msg), self.assertRaisesRegex(TypeError, msg):
                call()
        self.assertNotIn("extra", vars(T))
        self.assertEqual(T.__module__, "_native_shared_1_0")
        self.assertTrue(repr(sin).startswith("<nativefunction sin"))


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:
        return (type(e), str(e), module_entries(e))


class FastCallTest(unittest.TestCase):
    """Every route into a call gives what a plain call gives."""

    CASES = [
        (sin, (30,), {}),
        (sin, (), {"angle": 30}),
        (sin, (), {Key("angle"): 30}),
        (sin, (), {}),
        (sin, (1, 2), {}),
        (sin, (1,), {"angle": 2}),
        (sin, (), {"x": 1}),
        (sin, (), {1: 30}),
        (arctan, (0.5,), {}),
        (arctan, (0.5, 1), {}),
        (arctan, (0.5,), {"iter": 1}),
        (arctan, (), {"iter": 1, "x": 0.5}),
        (arctan, (), {"iter": 1}),
        (arctan, (1, 2, 3), {}),
        (trig.arctan2, (1, 2), {}),
        (trig.arctan2, (), {"y": 2, "x": 1}),
        (trig.arctan2, (1,), {}),
        (trig.arctan2, (1,), {"x": 2}),
        (trig.arctan2, (1,), {"z": 2}),
        (_tan_rad, ("a",), {}),
    ]

    @staticmethod
    def routes(func, args, kwargs):
        strings = all(isinstance(k, str) for k in kwargs)
        out = {
            "generic call slot": lambda: NativeFunction.__call__(func, *args, **kwargs),
            "fastcalldict": lambda: _testcapi.pyobject_fastcalldict(func, args, kwargs or None),
            "vectorcall_call": lambda: _testcapi.pyvectorcall_call(func, args, kwargs),
            "partial": lambda: functools.partial(func)(*args, **kwargs),
        }
        if strings:  # a keyword-name tuple has no dict-level key check
            out["vectorcall"] = lambda: _testcapi.pyobject_vectorcall(
                func, args + tuple(kwargs.values()), tuple(kwargs))
        # 3.13 dropped pyobject_fastcall from the test helpers.
        fastcall = getattr(_testcapi, "pyobject_fastcall", None)
        if not kwargs:
            if fastcall:
                out["fastcall"] = lambda: fastcall(func, args)
            out["fastcalldict {}"] = lambda: _testcapi.pyobject_fastcalldict(func, args, {})
            out["vectorcall ()"] = lambda: _testcapi.pyobject_vectorcall(func, args, ())
        if not args:
            out["fastcalldict NULL"] = lambda: _testcapi.pyobject_fastcalldict(func, None, kwargs or None)
            if not kwargs:
                if fastcall:
                    out["fastcall NULL"] = lambda: fastcall(func, None)
                out["vectorcall NULL"] = lambda: _testcapi.pyobject_vectorcall(func, None, None)
        else:
            out["bound method"] = lambda: types.MethodType(func, args[0])(*args[1:], **kwargs)
        return out

    def test_routes_match_plain_call(self):
        for func, args, kwargs in self.CASES:
            expected = outcome(lambda: func(*args, **kwargs))
            for route, call in self.routes(func, args, kwargs).items():
                with self.subTest(func=func.__name__, args=args,
                                  kwargs=kwargs, route=route):
                    self.assertEqual(outcome(call), expected)


class SignatureTest(unittest.TestCase):

    def test_function_like_signature(self):
        # The type is a method descriptor, like a compiled builtin, yet
        # inspect takes the signature from the function attributes.
        class FuncLike:
            def __init__(self, f):
                for attr in ("__name__", "__code__", "__annotations__",
                             "__defaults__", "__kwdefaults__"):
                    setattr(self, attr, getattr(f, attr))

            def __call__(self, *args, **kwargs):
                pass

        for f in FUNCTIONS:
            with self.subTest(name=f.__name__):
                self.assertTrue(inspect.ismethoddescriptor(f))
                expected = inspect.signature(python_twin(f.__name__))
                self.assertEqual(inspect.Signature.from_callable(f), expected)
                self.assertEqual(inspect.signature(FuncLike(f)), expected)
        self.assertEqual(len(SIGNATURES), len(FUNCTIONS))

    def test_wrapped_bound_method(self):
        class Point(float):
            angle_to = trig.arctan2

        @functools.wraps(Point(1).angle_to)
        def wrapper(*args, **kwargs):
            pass
        self.assertEqual(str(inspect.signature(wrapper)),
                         "(y: 'float | int') -> 'float'")


if __name__ == "__main__":
    unittest.main()
