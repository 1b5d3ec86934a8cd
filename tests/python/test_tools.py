"""Python's function-inspecting tools applied to the module's functions."""

import asyncio
import asyncio.coroutines
import copy
import functools
import inspect
import io
import pickle
import pydoc
import types
import unittest
import weakref

from trig_support import FUNCTION_NAMES, SIGNATURES, python_twin, trig

try:
    import annotationlib
except ImportError:
    annotationlib = None

FUNCTIONS = [getattr(trig, name) for name in FUNCTION_NAMES]


class native_function_or_method:
    """A Python object of the same type name, callable and binding as ours do."""
    def __get__(self, obj, cls=None):
        return self

    def __call__(self, *args):
        pass


def look_alike(name):
    obj = native_function_or_method()
    obj.__name__ = name
    return obj


class SignatureTest(unittest.TestCase):

    def test_signatures(self):
        for f in FUNCTIONS:
            name = f.__name__
            with self.subTest(name=name):
                sig = inspect.signature(f)
                self.assertEqual(str(sig), SIGNATURES[name])
                twin = inspect.signature(python_twin(name))
                self.assertEqual(list(sig.parameters.values()),
                                 list(twin.parameters.values()))
                self.assertEqual(sig.return_annotation, twin.return_annotation)
        # 20.0 would compare equal to the twin's default.
        self.assertIs(type(inspect.signature(trig.arctan)
                           .parameters["iter"].default), int)

    def test_pydoc_and_help(self):
        for f in FUNCTIONS:
            name = f.__name__
            with self.subTest(name=name):
                # Laid out as this interpreter's pydoc lays out the same
                # function written in Python.
                twin = python_twin(name)
                twin.__doc__ = f.__doc__
                body = pydoc.plain(pydoc.render_doc(twin)).split("\n\n", 1)[1]
                where = "%s in module geometry.trigonometry" % pydoc.describe(look_alike(name))
                self.assertEqual(
                    pydoc.plain(pydoc.render_doc(f)),
                    "Python Library Documentation: %s\n\n%s" % (where, body))
                out = io.StringIO()
                pydoc.Helper(output=out).help(f)
                self.assertEqual(out.getvalue(),
                                 "Help on %s:\n\n%s\n" % (where, body))
        self.assertIsNone(trig._tan_rad.__doc__)


class IdentityPreservingTest(unittest.TestCase):

    def test_pickle_and_copy_keep_the_object(self):
        nested = {"all": FUNCTIONS, "pair": (trig.sin, trig.sin)}
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            with self.subTest(proto=proto):
                loaded = pickle.loads(pickle.dumps(nested, proto))
                for a, b in zip(loaded["all"], FUNCTIONS):
                    self.assertIs(a, b)
                self.assertIs(loaded["pair"][1], trig.sin)
        for f in FUNCTIONS:
            self.assertIs(copy.copy(f), f)
            self.assertIs(copy.deepcopy(f), f)
        deep = copy.deepcopy(nested)
        self.assertIsNot(deep["all"], FUNCTIONS)
        for a, b in zip(deep["all"], FUNCTIONS):
            self.assertIs(a, b)

    def test_weak_references(self):
        for f in FUNCTIONS:
            with self.subTest(name=f.__name__):
                ref = weakref.ref(f)
                self.assertIs(ref(), f)
                self.assertIs(weakref.ref(f), ref)  # one shared basic ref
                self.assertGreaterEqual(weakref.getweakrefcount(f), 1)
        values = weakref.WeakValueDictionary(
            (f.__name__, f) for f in FUNCTIONS)
        self.assertIs(values["arctan2"], trig.arctan2)
        weak_set = weakref.WeakSet(FUNCTIONS)
        self.assertEqual(len(weak_set), 8)
        self.assertIn(trig.tan, weak_set)
        keys = weakref.WeakKeyDictionary({trig.sin: "s"})
        self.assertEqual(keys[trig.sin], "s")
        self.assertEqual(weakref.proxy(trig.sin)(30), 0.5)


class FunctoolsTest(unittest.TestCase):

    def test_wraps_copies_metadata_and_signature(self):
        self.addCleanup(trig.arctan.__dict__.clear)
        trig.arctan.marker = "m"
        for f in FUNCTIONS:
            with self.subTest(name=f.__name__):
                @functools.wraps(f)
                def wrapper(*args, **kwargs):
                    return f(*args, **kwargs)
                for attr in functools.WRAPPER_ASSIGNMENTS:
                    if hasattr(f, attr):
                        self.assertIs(getattr(wrapper, attr), getattr(f, attr))
                self.assertEqual(wrapper.__annotations__, f.__annotations__)
                self.assertIs(wrapper.__wrapped__, f)
                self.assertEqual(inspect.signature(wrapper),
                                 inspect.signature(f))
                if annotationlib is not None:
                    twin = python_twin(f.__name__)
                    for form in annotationlib.Format:
                        if form != annotationlib.Format.VALUE_WITH_FAKE_GLOBALS:
                            expected = annotationlib.get_annotations(twin, format=form)
                            for g in (f, wrapper):
                                self.assertEqual(annotationlib.get_annotations(g, format=form), expected)
        self.assertEqual(wrapper(0.5), trig.arccos(0.5))
        self.assertEqual(functools.wraps(trig.arctan)(lambda: 0).marker, "m")

    def test_partial(self):
        arctan = trig.arctan
        self.assertEqual(functools.partial(arctan, iter=1)(0.5), 0.5)
        self.assertEqual(functools.partial(arctan, 0.5)(1), 0.5)
        self.assertEqual(functools.partial(trig.arctan2, 1)(y=1),
                         trig.arctan2(1, 1))
        self.assertEqual(
            str(inspect.signature(functools.partial(arctan, iter=1))),
            "(x: 'float | int', *, iter=1)")
        self.assertEqual(
            str(inspect.signature(functools.partial(trig.arctan2, 1))),
            "(y: 'float | int') -> 'float'")
        with self.assertRaisesRegex(TypeError, "multiple values"):
            functools.partial(trig.sin, 30)(angle=30)


class KindTest(unittest.TestCase):

    def test_not_coroutine_functions_but_routines(self):
        for f in FUNCTIONS:
            with self.subTest(name=f.__name__):
                self.assertIsNot(getattr(f, "_is_coroutine", None), asyncio.coroutines._is_coroutine)
                self.assertFalse(inspect.iscoroutinefunction(f))
                self.assertTrue(inspect.isroutine(f))
                self.assertTrue(inspect.ismethoddescriptor(f))
                self.assertTrue(callable(f))

    def test_class_attribute_binds_as_method(self):
        class Angle(float):
            f = trig.sin
            at2 = trig.arctan2
            fixed = staticmethod(trig.sin)

        a = Angle(30.0)
        bound = a.f
        self.assertIsInstance(bound, types.MethodType)
        self.assertIs(bound.__self__, a)
        self.assertIs(bound.__func__, trig.sin)
        self.assertEqual(bound(), 0.5)
        self.assertEqual(getattr(a, "f")(), 0.5)
        self.assertEqual(trig.sin.__get__(a)(), 0.5)
        self.assertEqual(a.at2(-1), trig.arctan2(30.0, -1))
        self.assertEqual(str(inspect.signature(a.at2)),
                         "(y: 'float | int') -> 'float'")
        self.assertIs(Angle.f, trig.sin)
        self.assertEqual(Angle.f(90), 1.0)
        self.assertIs(Angle.fixed, trig.sin)
        self.assertIs(a.fixed, trig.sin)
        self.assertEqual(a.fixed(90), 1.0)


if __name__ == "__main__":
    unittest.main()
