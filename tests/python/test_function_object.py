"""Attributes and behaviour of the module's function objects."""

import os
import pickle
import unittest
import warnings

from trig_support import SIN, catch, module_entries, trig

sin = trig.sin
arctan = trig.arctan


class FunctionObjectTest(unittest.TestCase):

    def test_plain_attributes(self):
        self.assertEqual(repr(sin), "<nativefunction sin at %s>" % hex(id(sin)))
        self.assertEqual(sin.__reduce__(), "sin")
        self.assertEqual(sin.__reduce__(1, 2), "sin")
        self.assertIs(sin.__doc__, sin.__doc__)
        self.assertIs(sin.__globals__, vars(trig))
        self.assertIsNone(sin.__closure__)
        self.assertIsNone(sin.__kwdefaults__)
        self.assertIs(sin._is_coroutine, False)
        for name in ("__globals__", "__closure__", "__code__", "_is_coroutine"):
            with self.subTest(name=name), self.assertRaises(AttributeError):
                setattr(sin, name, None)

    def test_pickle_by_reference(self):
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            with self.subTest(proto=proto):
                self.assertIs(pickle.loads(pickle.dumps(sin, proto)), sin)

    def test_instance_dict(self):
        self.assertEqual(sin.__dict__, {})
        sin.note = 42
        self.addCleanup(sin.__dict__.clear)
        self.assertEqual(sin.note, 42)
        self.assertEqual(sin.__dict__, {"note": 42})

    def test_names_must_be_strings(self):
        for attr in ("__name__", "__qualname__"):
            msg = "^%s must be set to a string object$" % attr
            with self.subTest(attr=attr):
                with self.assertRaisesRegex(TypeError, msg):
                    setattr(sin, attr, 1)
                with self.assertRaisesRegex(TypeError, msg):
                    delattr(sin, attr)
                self.addCleanup(setattr, sin, attr, "sin")
                setattr(sin, attr, type("S", (str,), {})("other"))
                self.assertEqual(getattr(sin, attr), "other")

    def test_defaults_and_kwdefaults_only_warn(self):
        for attr, good, kind in [("__defaults__", (5,), "tuple"),
                                 ("__kwdefaults__", {"angle": 5}, "dict")]:
            with self.subTest(attr=attr):
                self.addCleanup(self._quietly_reset, attr)
                text = ("changes to nativefunction.%s will not currently "
                        "affect the values used in function calls" % attr)
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    with self.assertRaisesRegex(
                            TypeError, "^%s must be set to a %s object$"
                            % (attr, kind)):
                        setattr(sin, attr, [5])
                    self.assertEqual(caught, [])
                    setattr(sin, attr, good)
                    self.assertEqual(getattr(sin, attr), good)
                    delattr(sin, attr)
                    self.assertIsNone(getattr(sin, attr))
                self.assertEqual([str(w.message) for w in caught], [text, text])
                self.assertTrue(all(w.category is RuntimeWarning
                                    for w in caught))
                self.assertEqual(os.path.basename(caught[0].filename),
                                 os.path.basename(__file__))
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    setattr(sin, attr, good)
                with self.assertRaises(TypeError) as cm:
                    sin()
                self.assertEqual(str(cm.exception), "sin() takes exactly 1 "
                                 "positional argument (0 given)")

    def test_defaults_warning_turned_error_stores_nothing(self):
        # Reporting success with the error pending would lose the error.
        before = arctan.__defaults__
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with self.assertRaisesRegex(RuntimeWarning, "__defaults__ will not"):
                arctan.__defaults__ = (5,)
            with self.assertRaisesRegex(RuntimeWarning, "__kwdefaults__ will not"):
                del arctan.__kwdefaults__
        self.assertEqual(arctan.__defaults__, before)
        self.assertIsNone(arctan.__kwdefaults__)

    def _quietly_reset(self, attr):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(sin, attr, None)

    def test_annotations(self):
        self.addCleanup(setattr, sin, "__annotations__",
                        {"angle": "int | float"})
        del sin.__annotations__
        fresh = sin.__annotations__
        self.assertEqual(fresh, {})
        self.assertIs(sin.__annotations__, fresh)
        sin.__annotations__ = {"angle": "x"}
        sin.__annotations__ = None
        self.assertEqual(sin.__annotations__, {})
        with self.assertRaisesRegex(
                TypeError, "^__annotations__ must be set to a dict object$"):
            sin.__annotations__ = []

    def test_module_attribute(self):
        self.addCleanup(setattr, sin, "__module__", "geometry.trigonometry")
        sin.__module__ = 7
        self.assertEqual(sin.__module__, 7)
        del sin.__module__
        self.assertIsNone(sin.__module__)

    def test_bound_as_method(self):
        class Angle(int):
            f = sin
        self.assertIs(Angle.f, sin)
        self.assertEqual(Angle(30).f(), 0.5)
        err = catch(self, TypeError, Angle(30).f, 1)
        self.assertEqual(str(err),
                         "sin() takes exactly 1 positional argument (2 given)")
        self.assertEqual(module_entries(err), [(SIN, 6)])


if __name__ == "__main__":
    unittest.main()
