"""The function type: attributes, object protocol and the routes into a call,
checked the way Python's own suite checks functions and turned round where
this type deliberately differs (defaults are metadata that calls never read;
code, globals and closure are fixed). A second module built on the same
runtime, a test-only probe, makes fresh function objects and exercises the
call conventions and flags the trigonometry functions do not use."""

import collections
import ctypes
import functools
import gc
import inspect
import os
import re
import sys
import types
import unittest
import unittest.mock
import warnings
import weakref

import _testcapi

import plainbuild
import refmodel
from reliability_support import Key
from trig_support import BUILD_ROOT, FUNCTION_NAMES, SHARED, python_twin, run_child, trig

PROBE_DIR = os.environ.get("TRIG_PROBE_DIR") or os.path.join(
    os.path.dirname(BUILD_ROOT), "tests", "probe")
sys.path.insert(0, PROBE_DIR)
import _runtime_probe as probe  # noqa: E402

sin, tan, arctan, _tan_rad = trig.sin, trig.tan, trig.arctan, trig._tan_rad
FUNCTIONS = [getattr(trig, name) for name in FUNCTION_NAMES]
NativeFunction = type(sin)


def quietly(func, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        func(*args)


class FunctionAttributesTest(unittest.TestCase):

    def test_registered_values(self):
        for f in FUNCTIONS:
            name = f.__name__
            twin = python_twin(name)
            with self.subTest(name=name):
                self.assertIs(f.__name__, sys.intern(name))
                self.assertEqual(f.__qualname__, name)
                self.assertEqual(f.__module__, "geometry.trigonometry")
                self.assertIs(f.__globals__, vars(trig))
                self.assertIs(f.func_globals, vars(trig))
                self.assertIsNone(f.__closure__)
                self.assertIsNone(f.__kwdefaults__)
                self.assertEqual(f.__defaults__, twin.__defaults__)
                self.assertEqual(list(f.__annotations__.items()), list(twin.__annotations__.items()))
                self.assertIs(f._is_coroutine, False)
                self.assertEqual(f.__doc__ is None, name == "_tan_rad")
                self.assertIsInstance(f.__code__, types.CodeType)
                self.assertIs(f.func_code, f.__code__)
                self.assertEqual(repr(f), "<nativefunction %s at %s>" % (name, hex(id(f))))
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
            msg = "^%s must be set to a string object$" % attr
            for change in (lambda: setattr(tan, attr, 1), lambda: delattr(tan, attr)):
                with self.subTest(attr=attr), self.assertRaisesRegex(TypeError, msg):
                    change()
            setattr(tan, attr, type("S", (str,), {})("other"))
            self.assertEqual(getattr(tan, attr), "other")
        tan.__name__ = "c"
        self.assertEqual(tan.func_name, "c")
        tan.func_name = "d"
        self.assertEqual(tan.__name__, "d")
        tan.__qualname__ = "Outer.tan"
        self.assertEqual(tan.__name__, "d")
        self.assertEqual(repr(tan), "<nativefunction Outer.tan at %s>" % hex(id(tan)))
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
        self.addCleanup(setattr, tan, "__dict__", {})
        self.assertEqual(tan.__dict__, {})
        tan.note = 42
        self.assertEqual(tan.__dict__, {"note": 42})
        d = {"known_attr": 7}
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
        for probe_attr in (lambda: tan.known_attr, lambda: delattr(tan, "known_attr")):
            with self.assertRaises(AttributeError):
                probe_attr()
        self.assertIs(tan.__dict__, d)

    def test_annotations(self):
        self.addCleanup(setattr, tan, "__annotations__", tan.__annotations__)
        del tan.__annotations__
        fresh = tan.__annotations__             # made anew on the next read
        self.assertEqual(fresh, {})
        self.assertIs(tan.__annotations__, fresh)
        ordered = collections.OrderedDict(angle="deg")
        tan.__annotations__ = ordered
        self.assertIs(tan.__annotations__, ordered)
        tan.__annotations__ = None
        self.assertEqual(tan.__annotations__, {})
        with self.assertRaisesRegex(TypeError, "^__annotations__ must be set to a dict object$"):
            tan.__annotations__ = []

    def test_annotate_goes_as_a_python_functions_does(self):
        twin = python_twin("tan")
        if not hasattr(twin, "__annotate__"):
            self.skipTest("this interpreter has no __annotate__")
        import annotationlib
        plain = plainbuild.load()          # the shipped ones keep their state
        self.assertIsNot(plain.tan, tan)

        def steps(g, changes):
            made = g.__annotate__
            seen = []
            for change in changes:
                try:
                    change(g, made)
                except TypeError as e:
                    seen.append(str(e))
                    continue
                # What the function was made with stays, however its
                # annotations dict changes; wrappers copy __annotate__.
                seen.append((made(1), g.__annotate__ is None, g.__annotations__,
                             functools.wraps(g)(lambda: 0).__annotations__,
                             [annotationlib.get_annotations(g, format=form) for form in
                              (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF,
                               annotationlib.Format.STRING)]))
            return seen
        changes = [lambda g, made: None,
                   lambda g, made: g.__annotations__.__setitem__("angle", "x"),
                   lambda g, made: g.__annotations__.__setitem__("return", "y"),
                   lambda g, made: g.__annotations__.clear(),
                   lambda g, made: delattr(g, "__annotations__"),
                   lambda g, made: setattr(g, "__annotate__", made),
                   lambda g, made: setattr(g, "__annotate__", None),
                   lambda g, made: setattr(g, "__annotate__", lambda format: {"f": format}),
                   lambda g, made: setattr(g, "__annotations__", {"a": 1}),
                   lambda g, made: delattr(g, "__annotate__"),
                   lambda g, made: setattr(g, "__annotate__", 3)]
        self.assertEqual(steps(plain.tan, changes), steps(twin, changes))
        # Before its annotations are first read, a function has none once
        # __annotate__ is None.
        first = changes[6:7]
        self.assertEqual(steps(plain.sin, first), steps(python_twin("sin"), first))

    def test_module_attribute(self):
        self.addCleanup(setattr, sin, "__module__", "geometry.trigonometry")
        sin.__module__ = 7
        self.assertEqual(sin.__module__, 7)
        del sin.__module__
        self.assertIsNone(sin.__module__)

    def test_defaults_never_reach_calls(self):
        # A Python function would use an assigned or deleted default; here the
        # value is checked, stored with a warning, shown by inspect and
        # ignored by calls.
        expected = arctan(0.5, 20)
        self.assertNotEqual(arctan(0.5, 0), expected)
        self.addCleanup(quietly, setattr, arctan, "__defaults__", arctan.__defaults__)
        self.addCleanup(quietly, setattr, arctan, "__kwdefaults__", None)
        for attr, name, kind, value in [("__defaults__", "__defaults__", "tuple", (0.25, 0)),
                                        ("func_defaults", "__defaults__", "tuple", (1,)),
                                        ("__kwdefaults__", "__kwdefaults__", "dict", {"x": 0.25, "iter": 0})]:
            text = ("changes to nativefunction.%s will not currently affect the "
                    "values used in function calls" % name)
            with self.subTest(attr=attr), warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                with self.assertRaisesRegex(TypeError, "^%s must be set to a %s object$" % (name, kind)):
                    setattr(arctan, attr, [5])
                self.assertEqual(caught, [])
                for stored in (value, None):
                    setattr(arctan, attr, stored)
                    self.assertEqual(getattr(arctan, attr), stored)
                    self.assertEqual(arctan(0.5), expected)
                    self.assertRaises(TypeError, arctan)
                setattr(arctan, attr, value)
                delattr(arctan, attr)
                self.assertIsNone(getattr(arctan, attr))
                self.assertEqual([(w.category, str(w.message), os.path.basename(w.filename)) for w in caught],
                                 [(RuntimeWarning, text, os.path.basename(__file__))] * 4)
        self.assertEqual(str(inspect.signature(arctan)), "(x: 'float | int', iter)")

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


class ObjectProtocolTest(unittest.TestCase):

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

    def test_cycles_through_every_settable_field_are_collected(self):
        # The collector frees a cycle only when traverse visits the field that
        # closes it: a field left out keeps its cycle alive for good.
        class Name(str):
            pass

        def name(f):
            text = Name("loop")
            text.owner = f
            return text

        def owned():
            owner = type("Owner", (), {})
            owner.f = probe.make("method", defining_class=owner)
            return owner.f

        def closed(attr, value):
            f = probe.make("o")
            quietly(setattr, f, attr, value(f))
            return f

        cases = [(attr, functools.partial(closed, attr, value)) for attr, value in [
            ("__dict__", lambda f: {"me": f}), ("__defaults__", lambda f: (f,)),
            ("__kwdefaults__", lambda f: {"me": f}), ("__annotations__", lambda f: {"me": f}),
            ("__annotate__", lambda f: lambda format: {"me": f}),
            ("__name__", name), ("__qualname__", name), ("__module__", lambda f: [f]),
            ("__doc__", lambda f: [f])]]
        for field, make in cases + [("defining class", owned)]:
            with self.subTest(field=field):
                alive = weakref.ref(make())
                gc.collect()
                self.assertIsNone(alive())

    def test_metatype_refuses_instances_and_changes(self):
        T = NativeFunction
        M = type(T)
        self.assertEqual((T.__name__, T.__bases__), ("native_function_or_method", (object,)))
        self.assertEqual((M.__name__, M.__bases__),
                         ("_common_types_metatype", (type,)))

        def subclass():
            class Sub(T):
                pass
        # What object.__new__ says for a type without a __new__ of its own.
        try:
            object.__new__(type(iter([])))
        except TypeError as e:
            not_safe = "^%s$" % re.escape(str(e).replace(
                "list_iterator", "%s.%s" % (T.__module__, T.__qualname__)))
        instantiate = "^Cannot instantiate native internal types$"
        immutable = "^Native internal types are immutable$"
        cases = [
            (lambda: T(), instantiate),
            (lambda: T(30), instantiate),
            (subclass, instantiate),
            (lambda: types.new_class("Sub", (T,)), instantiate),
            (lambda: M("X", (), {}), instantiate),
            # Not even the inherited object.__new__ may build a bare instance.
            (lambda: T.__new__(T), not_safe),
            (lambda: object.__new__(T), not_safe),
            (lambda: setattr(T, "extra", 1), immutable),
            (lambda: setattr(T, "__call__", None), immutable),
            (lambda: delattr(T, "__repr__"), immutable),
            (lambda: delattr(T, "__module__"), immutable),
        ]
        for call, msg in cases:
            with self.subTest(msg=msg), self.assertRaisesRegex(TypeError, msg):
                call()
        self.assertNotIn("extra", vars(T))
        self.assertEqual(T.__module__, SHARED)
        self.assertTrue(repr(sin).startswith("<nativefunction sin"))


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
        def outcome(call):
            return refmodel.outcome(call, (), refmodel.native_entries)
        for func, args, kwargs in self.CASES:
            expected = outcome(lambda: func(*args, **kwargs))
            for route, call in self.routes(func, args, kwargs).items():
                with self.subTest(func=func.__name__, args=args,
                                  kwargs=kwargs, route=route):
                    self.assertEqual(outcome(call), expected)


# ----------------------------------------------------------------------------
# The probe module: other call conventions and flags, and the shared types


def via_slot(f, *args, **kwargs):
    """Call through the type's generic call slot rather than its vector call."""
    return type(f).__call__(f, *args, **kwargs)


def via_dict(f, *args, **kwargs):
    return _testcapi.pyobject_fastcalldict(f, args, kwargs or None)


CALLERS = [("vector", lambda f, *a, **k: f(*a, **k)), ("slot", via_slot),
           ("fastcalldict", via_dict)]


class SharedTypeTest(unittest.TestCase):

    def test_both_modules_share_the_types_in_either_order(self):
        for first, second in [("geometry.trigonometry", "_runtime_probe"),
                              ("_runtime_probe", "geometry.trigonometry")]:
            with self.subTest(first=first):
                data = run_child(self, """
import %s, %s
import geometry.trigonometry as t, _runtime_probe as p
shared = sys.modules[%r]
emit(same=type(t.sin) is type(p.echo) is p.function_type,
     meta=type(type(t.sin)) is p.metatype,
     registered=sorted(k for k in vars(shared) if not k.startswith('__')),
     sin=t.sin(30), echo=p.echo(1, k=2)[2:])
""" % (first, second, SHARED), path=(BUILD_ROOT, PROBE_DIR)).data
                self.assertTrue(data["same"])
                self.assertTrue(data["meta"])
                self.assertEqual(data["registered"],
                                 ["_common_types_metatype",
                                  "native_function_or_method"])
                self.assertEqual(data["sin"], 0.5)
                self.assertEqual(data["echo"], [[1], {"k": 2}])

    def test_probe_refuses_conflicting_shared_types(self):
        cases = [
            ("native_function_or_method", "42", "is not a type object"),
            ("_common_types_metatype", "'type'", "is not a type object"),
            ("native_function_or_method", "type('F', (), {'__slots__': ()})",
             "has the wrong size, try recompiling"),
        ]
        for name, value, tail in cases:
            with self.subTest(name=name, value=value):
                data = run_child(self, """
import types
shared = types.ModuleType(%r)
shared.%s = %s
sys.modules[shared.__name__] = shared
emit(probe=attempt('_runtime_probe'), trig=attempt())
""" % (SHARED, name, value), path=(BUILD_ROOT, PROBE_DIR)).data
                for which in ("probe", "trig"):
                    self.assertEqual(data[which]["type"], "TypeError")
                    self.assertIn("Shared native type %s" % name,
                                  data[which]["msg"])
                    self.assertTrue(data[which]["msg"].endswith(tail))

    def test_probe_functions_behave_like_ours(self):
        f = probe.echo
        self.assertIs(type(f), type(trig.sin))
        self.assertEqual(f.__module__, "_runtime_probe")
        self.assertIs(f.__globals__, vars(probe))
        self.assertIsNone(f.__code__)
        self.assertRegex(repr(f), r"^<nativefunction probe\.fastcall_keywords "
                                  r"at 0x[0-9a-f]+>$")


class ConventionTest(unittest.TestCase):

    def test_bad_call_flags_are_refused_at_creation(self):
        for kind in ("varargs", "fastcall"):
            with self.subTest(kind=kind), self.assertRaisesRegex(
                    SystemError, "^Bad call flags for NativeFunction$"):
                probe.make(kind)

    def test_each_convention_receives_its_arguments(self):
        # kind, arguments, keywords, what the native function receives
        # positionally, and what it receives as keywords
        cases = [
            ("noargs", (), {}, None, None),
            ("o", (5,), {}, 5, None),
            ("varargs_keywords", (1, 2), {"k": 3}, (1, 2), {"k": 3}),
            ("varargs_keywords", (1,), {}, (1,), None),
            ("fastcall_keywords", (1, 2), {"k": 3}, (1, 2), {"k": 3}),
            ("fastcall_keywords", (1,), {}, (1,), {}),
        ]
        for kind, args, kwargs, received, keywords in cases:
            f = probe.make(kind)
            for how, call in CALLERS:
                with self.subTest(kind=kind, how=how, kwargs=kwargs):
                    out = call(f, *args, **kwargs)
                    self.assertEqual(out[:3], (kind, f, received))
                    if keywords is not None:
                        self.assertEqual(out[3], keywords)

    def test_defining_class_is_passed(self):
        class Owner:
            pass
        f = probe.make("method", defining_class=Owner)
        for how, call in CALLERS:
            with self.subTest(how=how):
                self.assertEqual(call(f, 1, x=2), ("method", f, Owner, (1,),
                                                   {"x": 2}))
        self.assertIn(Owner, gc.get_referents(f))
        self.assertIsNone(probe.make("method")()[2])

    def test_argument_errors_of_fixed_conventions(self):
        noargs, one = probe.make("noargs"), probe.make("o")
        cases = [
            (noargs, (1,), {}, "noargs() takes no arguments (1 given)"),
            (noargs, (), {"a": 1}, "noargs() takes no keyword arguments"),
            (one, (), {}, "o() takes exactly one argument (0 given)"),
            (one, (1, 2), {}, "o() takes exactly one argument (2 given)"),
            (one, (1,), {"a": 1}, "o() takes no keyword arguments"),
        ]
        for f, args, kwargs, msg in cases:
            for how, call in CALLERS:
                with self.subTest(msg=msg, how=how):
                    with self.assertRaises(TypeError) as cm:
                        call(f, *args, **kwargs)
                    self.assertEqual(str(cm.exception), msg)

    def test_generic_slot_refuses_non_string_keywords(self):
        for kind in ("fastcall_keywords", "o"):
            f = probe.make(kind)
            with self.subTest(kind=kind), self.assertRaisesRegex(
                    TypeError, "^keywords must be strings$"):
                type(f).__call__(f, 1, **{1: 2})


class SelfRuleTest(unittest.TestCase):
    """Flag 4 (method of an extension class) takes the self from the
    arguments unless flag 1 (static) is set too."""

    def test_first_argument_is_the_self(self):
        for kind, args, tail in [("o", ("me", 8), 8),
                                 ("noargs", ("me",), None),
                                 ("fastcall_keywords", ("me", 1), (1,)),
                                 ("varargs_keywords", ("me", 1), (1,))]:
            f = probe.make(kind, flags=4)
            for how, call in CALLERS:
                with self.subTest(kind=kind, how=how):
                    out = call(f, *args)
                    self.assertEqual(out[1:3], ("me", tail))

    def test_missing_self(self):
        for kind, how, call, msg in [
                ("o", "vector", CALLERS[0][1], "o() needs an argument"),
                ("o", "slot", via_slot, "o() needs an argument"),
                ("varargs_keywords", "vector", CALLERS[0][1],
                 "unbound method probe.varargs_keywords() needs an argument"),
                ("varargs_keywords", "slot", via_slot,
                 "unbound method probe.varargs_keywords() needs an argument")]:
            with self.subTest(kind=kind, how=how):
                with self.assertRaises(TypeError) as cm:
                    call(probe.make(kind, flags=4))
                self.assertEqual(str(cm.exception), msg)

    def test_call_from_a_body_applies_the_rule(self):
        # cosin calls algebra.sqrt from native code: a method of an extension
        # class must fail there as it does when Python calls it.
        f = probe.make("o", flags=4)
        with self.assertRaises(TypeError) as direct:
            f(0.25)
        algebra = trig.algebra             # the plain build binds it too
        self.addCleanup(setattr, algebra, "sqrt", algebra.sqrt)
        for module in (trig, plainbuild.load()):
            with self.subTest(module=module.__name__):
                algebra.sqrt = f
                with self.assertRaises(TypeError) as from_body:
                    module.cosin(60)
                self.assertEqual(str(from_body.exception), str(direct.exception))
                algebra.sqrt = probe.make("o", flags=4 | 1)
                self.assertEqual(module.cosin(60)[0], "o")

    def test_static_flag_keeps_the_bound_self(self):
        f = probe.make("o", flags=4 | 1)
        self.assertEqual(f(8), ("o", f, 8))


class CoroutineMarkerTest(unittest.TestCase):

    def test_coroutine_flag_reads_the_asyncio_marker(self):
        import asyncio.coroutines
        f = probe.make("noargs", flags=8)
        self.assertIs(f._is_coroutine, asyncio.coroutines._is_coroutine)
        self.assertIs(f._is_coroutine, f._is_coroutine)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # Where inspect cannot see it, asyncio's test is not deprecated.
            self.assertTrue(inspect.iscoroutinefunction(f) or asyncio.coroutines.iscoroutinefunction(f))
            self.assertFalse(inspect.iscoroutinefunction(probe.make("noargs")))
        self.assertIs(probe.make("noargs")._is_coroutine, False)

    def test_inspect_mark_is_an_attribute(self):
        if not hasattr(inspect, "markcoroutinefunction"):
            self.skipTest("this interpreter has no inspect.markcoroutinefunction")

        def steps(g):
            seen = []
            for change in [lambda: inspect.markcoroutinefunction(g),
                           lambda: setattr(g, "_is_coroutine_marker", 1),
                           lambda: delattr(g, "_is_coroutine_marker"),
                           lambda: delattr(g, "_is_coroutine_marker")]:
                try:
                    change()
                    seen.append((inspect.iscoroutinefunction(g), dict(vars(g))))
                except AttributeError:
                    seen.append("AttributeError")
            return seen
        self.assertEqual(steps(probe.make("noargs")), steps(python_twin("sin")))
        # A coroutine function's own mark shows where the dict has none, and
        # is read without importing inspect again.
        mark = inspect.markcoroutinefunction(lambda: None)._is_coroutine_marker
        self.assertIs(probe.make("noargs", flags=8)._is_coroutine_marker, mark)
        f = probe.make("noargs", flags=8)
        with unittest.mock.patch.dict(sys.modules, inspect=None):
            self.assertIs(f._is_coroutine_marker, mark)
        f._is_coroutine_marker = 1
        self.assertFalse(inspect.iscoroutinefunction(f))
        del f._is_coroutine_marker
        self.assertTrue(inspect.iscoroutinefunction(f))
        with self.assertRaises(AttributeError):
            del f._is_coroutine_marker
        self.assertIs(f._is_coroutine_marker, mark)

    def test_marker_is_true_when_asyncio_cannot_be_imported(self):
        data = run_child(self, """
sys.modules['asyncio.coroutines'] = None
import _runtime_probe as p
f = p.make('noargs', flags=8)
emit(marker=f._is_coroutine, again=f._is_coroutine is f._is_coroutine,
     pending=sys.exc_info()[0] is None)
""", path=(BUILD_ROOT, PROBE_DIR)).data
        self.assertEqual(data, {"marker": True, "again": True,
                                "pending": True})


if __name__ == "__main__":
    unittest.main()
