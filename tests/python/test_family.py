"""A second module built on the same runtime: shared types and the call
conventions the trigonometry functions do not use themselves."""

import gc
import os
import sys
import unittest
import warnings

import _testcapi

import plainbuild
from trig_support import BUILD_ROOT, run_child, trig

PROBE_DIR = os.environ.get("TRIG_PROBE_DIR") or os.path.join(
    os.path.dirname(BUILD_ROOT), "tests", "probe")
sys.path.insert(0, PROBE_DIR)
import _runtime_probe as probe  # noqa: E402


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
shared = sys.modules['_native_shared_1_0']
emit(same=type(t.sin) is type(p.echo) is p.function_type,
     meta=type(type(t.sin)) is p.metatype,
     registered=sorted(k for k in vars(shared) if not k.startswith('__')),
     sin=t.sin(30), echo=p.echo(1, k=2)[2:])
""" % (first, second), path=(BUILD_ROOT, PROBE_DIR)).data
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
shared = types.ModuleType('_native_shared_1_0')
shared.%s = %s
sys.modules['_native_shared_1_0'] = shared
emit(probe=attempt('_runtime_probe'), trig=attempt())
""" % (name, value), path=(BUILD_ROOT, PROBE_DIR)).data
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


    def test_cycles_through_a_function_are_collected(self):
        import weakref

        class Name(str):
            pass

        def defaults(f):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                f.__defaults__ = (f,)

        def named(field):
            def close(f):
                name = Name("loop")
                name.owner = f
                setattr(f, field, name)
            return close

        def annotated(f):
            f.__annotations__["self"] = f

        # through the instance dict, and through each field of its own
        for close in (lambda f: setattr(f, "loop", f), defaults,
                      named("__name__"), named("__qualname__"), annotated):
            f = probe.make("o")
            close(f)
            alive = weakref.ref(f)
            del f
            gc.collect()
            self.assertIsNone(alive())


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
        self.assertTrue(asyncio.iscoroutinefunction(f))
        self.assertIs(probe.make("noargs")._is_coroutine, False)

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
