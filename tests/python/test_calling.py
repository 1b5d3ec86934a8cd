"""Argument binding, module-global look-up and traceback entries of calls."""

import array
import builtins
import functools
import struct
import sys
import types
import unittest

import _testcapi

import plainbuild
from inputs import Boom, EqRaises
from refmodel import native_entries, native_tracebacks
from reliability_support import Key
from trig_support import SIN, catch, preserved_namespace, run_child, trig

sin = trig.sin
generic_call = type(sin).__call__


class BindingTest(unittest.TestCase):

    def assertBindingError(self, call, msg, exc=TypeError):
        err = catch(self, exc, call)
        if msg is not None:
            self.assertEqual(str(err), msg)
        self.assertEqual(native_entries(err), [(SIN, 6)])
        return err

    def test_keyword_forms_bind_like_positional(self):
        expected = sin(30)
        self.assertEqual(expected, 0.5)
        self.assertEqual(sin(angle=30), expected)
        self.assertEqual(sin(**{"".join(["an", "gle"]): 30}), expected)
        self.assertEqual(sin(**{Key("angle"): 30}), expected)
        self.assertEqual(_testcapi.pyobject_vectorcall(sin, (30,), ()), expected)
        self.assertEqual(_testcapi.pyobject_vectorcall(sin, (30,), None), expected)
        self.assertEqual(_testcapi.pyobject_vectorcall(sin, (30,), ("angle",)),
                         expected)

    def test_count_errors(self):
        msg = "sin() takes exactly 1 positional argument (%d given)"
        cases = [
            (lambda: sin(), msg % 0),
            (lambda: sin(1, 2), msg % 2),
            (lambda: sin(1, 2, angle=3), msg % 2),
            (lambda: _testcapi.pyobject_vectorcall(sin, (), ()), msg % 0),
            (lambda: _testcapi.pyobject_vectorcall(sin, (1, 2), ()), msg % 2),
        ]
        for call, text in cases:
            with self.subTest(text=text):
                self.assertBindingError(call, text)

    def test_keyword_errors(self):
        multiple = "sin() got multiple values for keyword argument 'angle'"
        unexpected = "sin() got an unexpected keyword argument 'x'"
        cases = [
            (lambda: sin(1, angle=2), multiple),
            (lambda: sin(1, **{"".join(["an", "gle"]): 2}), multiple),
            (lambda: sin(1, **{Key("angle"): 2}), multiple),
            (lambda: sin(x=1), unexpected),
            (lambda: sin(angle=1, x=2), unexpected),
            (lambda: sin(**{Key("x"): 1}), unexpected),
            (lambda: _testcapi.pyobject_vectorcall(sin, (1,), (5,)),
             "sin() keywords must be strings"),
            # A name repeated in the keyword names must not overwrite (and
            # leak) the value bound first.
            (lambda: _testcapi.pyobject_vectorcall(sin, (1, 2), ("angle", "angle")), multiple),
        ]
        for call, text in cases:
            with self.subTest(text=text):
                self.assertBindingError(call, text)

    def test_failing_keyword_comparison_propagates(self):
        exc = self.assertBindingError(
            lambda: _testcapi.pyobject_vectorcall(
                sin, (30,), (EqRaises("angle"),)),
            "eq", Boom)
        self.assertEqual(exc.args, ("eq",))

    def test_renamed_function_keeps_its_plain_name_in_errors(self):
        self.addCleanup(setattr, sin, "__name__", "sin")
        sin.__name__ = "renamed"
        self.assertBindingError(
            lambda: sin(), "sin() takes exactly 1 positional argument (0 given)")

    def test_generic_call_slot(self):
        self.assertEqual(generic_call(sin, 30), 0.5)
        self.assertEqual(generic_call(sin, angle=30), 0.5)
        self.assertEqual(generic_call(sin, **{Key("angle"): 30}), 0.5)
        self.assertEqual(functools.partial(sin, angle=30)(), 0.5)
        self.assertBindingError(
            lambda: generic_call(sin),
            "sin() takes exactly 1 positional argument (0 given)")
        self.assertBindingError(
            lambda: generic_call(sin, 1, angle=2),
            "sin() got multiple values for keyword argument 'angle'")
        self.assertBindingError(
            lambda: generic_call(sin, x=2),
            "sin() got an unexpected keyword argument 'x'")
        with self.assertRaisesRegex(TypeError, "^keywords must be strings$"):
            generic_call(sin, **{1: 30})


class GlobalLookupTest(unittest.TestCase):

    def test_rebinding_constants_changes_pi(self):
        with preserved_namespace():
            self.assertEqual(sin(30), 0.5)
            trig.constants = types.SimpleNamespace(pi=0.0)
            self.assertEqual(sin(30), 0.0)
            trig.constants = types.SimpleNamespace(pi=3.141592653589793 * 2)
            self.assertAlmostEqual(sin(30), 3 ** 0.5 / 2, delta=1e-15)
        self.assertEqual(sin(30), 0.5)

    def test_attribute_change_on_constants_module_is_seen(self):
        constants = trig.constants
        self.addCleanup(setattr, constants, "pi", constants.pi)
        sin(30)
        constants.pi = 0
        self.assertEqual(sin(30), 0.0)

    def test_missing_constants_is_a_name_error_until_readded(self):
        with preserved_namespace():
            real = trig.constants
            sin(30)
            del trig.constants
            python_error = catch(self, NameError, exec, "constants", {})
            for _ in range(2):  # the second read hits the remembered miss
                err = catch(self, NameError, sin, 30)
                self.assertEqual(str(err), "name 'constants' is not defined")
                self.assertEqual(native_entries(err), [(SIN, 30)])
                # The name, where this interpreter's own NameError carries it.
                self.assertEqual(getattr(err, "name", None), getattr(python_error, "name", None))
            trig.constants = real
            self.assertEqual(sin(30), 0.5)

    def test_failing_dict_lookup_propagates(self):
        # A key with the hash of "constants" whose comparison raises: the
        # read fails with that error, as Python's own global read does, and
        # a plain miss afterwards still goes on to the builtins.
        class Clash:
            def __hash__(self):
                return hash("constants")

            def __eq__(self, other):
                raise Boom("compare")
        fake = types.SimpleNamespace(pi=0.0)
        self.addCleanup(vars(builtins).pop, "constants", None)
        builtins.constants = fake
        for module in (trig, plainbuild.load()):
            with self.subTest(module=module.__name__), preserved_namespace(module) as ns:
                del ns["constants"]
                module.sin(30)              # the miss is remembered
                ns[Clash()] = None
                for _ in range(2):
                    err = catch(self, Boom, module.sin, 30)
                    self.assertEqual(native_entries(err), [(SIN, 30)])
                ns.pop(next(k for k in ns if isinstance(k, Clash)))
                self.assertEqual(module.sin(30), 0.0)

    @unittest.skipUnless(hasattr(_testcapi, "add_dict_watcher"), "this interpreter has no dict watchers")
    def test_reads_work_uncached_when_no_dict_watcher_is_free(self):
        data = run_child(self, """
import _testcapi
while True:
    try:
        _testcapi.add_dict_watcher(0)
    except RuntimeError:
        break
import types
import geometry.trigonometry as t
seen = [t.sin(30)]
real = t.constants
t.constants = types.SimpleNamespace(pi=0.0)
seen.append(t.sin(30))
t.constants = real
real.pi = 2 * real.pi
seen.append(t.sin(15))
del t.constants
try:
    t.sin(30)
except NameError as e:
    seen.append(str(e))
emit(seen=seen)
""").data
        self.assertEqual(data["seen"], [0.5, 0.0, 0.5, "name 'constants' is not defined"])

    def test_builtins_fallback_and_shadowing(self):
        fake = types.SimpleNamespace(pi=0.0)
        self.addCleanup(vars(builtins).pop, "constants", None)
        with preserved_namespace():
            real = trig.constants
            del trig.constants
            builtins.constants = fake
            self.assertEqual(sin(30), 0.0)
            trig.constants = real              # module global shadows builtin
            self.assertEqual(sin(30), 0.5)
            del trig.constants                 # builtin exposed again
            self.assertEqual(sin(30), 0.0)
            del builtins.constants
            with self.assertRaises(NameError):
                sin(30)
            builtins.constants = real          # builtins are never cached
            self.assertEqual(sin(30), 0.5)

    def test_builtins_attribute_hook(self):
        # The builtins module's own attribute hook is honoured: an
        # AttributeError (or subclass) means "not defined", anything else
        # propagates.
        class MissingName(AttributeError):
            pass

        def hook(name):
            raise behaviour[0]
        behaviour = [None]
        self.addCleanup(vars(builtins).pop, "__getattr__", None)
        with preserved_namespace():
            del trig.constants
            builtins.__getattr__ = hook
            behaviour[0] = MissingName("constants")
            with self.assertRaises(NameError):
                sin(30)
            behaviour[0] = Boom("builtins")
            err = catch(self, Boom, sin, 30)
            self.assertEqual(native_entries(err), [(SIN, 30)])
            builtins.__getattr__ = lambda name: types.SimpleNamespace(pi=0.0)
            self.assertEqual(sin(30), 0.0)


class TracebackEntryTest(unittest.TestCase):

    def test_pending_exception_kept_intact(self):
        cause = ValueError("cause")

        def origin():
            raise Boom("inner") from cause
        try:
            origin()
        except Boom as e:
            err = e

        class Angle:
            def __mod__(self, other):
                raise err

        self.assertIs(catch(self, Boom, sin, Angle()), err)
        self.assertIs(err.__cause__, cause)
        self.assertEqual(err.args, ("inner",))
        names = []
        tb = err.__traceback__
        while tb is not None:
            names.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        # Re-raising put __mod__ in front of the chain that origin() started;
        # the module's entry goes in front of that, leaving the rest intact.
        self.assertEqual(names[-4:], [SIN, "__mod__",
                                      "test_pending_exception_kept_intact",
                                      "origin"])

    def test_failures_at_one_line_share_a_code_object(self):
        def code_at(line):
            with preserved_namespace():
                arg = {19: "abc", 20: "%d", 30: 1}[line]
                if line == 30:
                    trig.constants = types.SimpleNamespace()
                err = catch(self, Exception, sin, arg)
            (tb,) = native_tracebacks(err)
            self.assertEqual(native_entries(err), [(SIN, line)])
            return tb.tb_frame.f_code

        lines = [30, 20, 19]        # decreasing, to exercise sorted insertion
        first = [code_at(line) for line in lines]
        self.assertEqual(len(set(map(id, first))), 3)
        for line, code in zip(lines + lines[::-1], first + first[::-1]):
            self.assertIs(code_at(line), code)



try:
    import numpy
except ImportError:
    numpy = None


def bits(values):
    return [struct.pack("<d", v) for v in values]


class MapTest(unittest.TestCase):
    """f.map() reads buffers in place as a memoryview indexes them, stores
    into out only what fits it, and refuses a wrong call before any call."""

    FORMATS = {"b": [-128, 127, 0], "B": [255, 0], "h": [-32768, 360], "H": [65535], "i": [-2 ** 31, 90],
               "I": [2 ** 32 - 1], "l": [-2 ** 63, 2 ** 53 + 1], "L": [2 ** 64 - 1, 2 ** 63], "q": [-(2 ** 53) - 1],
               "Q": [2 ** 64 - 1], "n": [-5, 2 ** 62], "N": [2 ** 63 + 90], "f": [0.1, -0.0, float("nan"), 1e30],
               "d": [0.1, -0.0, float("-inf"), 5e-324, 1e300]}

    def buffers(self):
        for code, values in self.FORMATS.items():
            raw = memoryview(struct.pack("@%d%s" % (len(values) * 3, code), *values * 3)).cast(code)
            yield code, raw
            yield code + " every other, backwards", raw[::-2]
        if numpy is not None:
            grid = numpy.linspace(-400.0, 400.0, 60).reshape(6, 10)
            yield "numpy column", grid[:, 3]
            yield "numpy float32", grid.astype(numpy.float32)[2]
            yield "numpy int64", numpy.arange(-500, 500, 37, dtype=numpy.int64)

    def test_buffers_of_each_item_type(self):
        for label, buffer in self.buffers():
            for f in (trig.sin, trig.tan, trig._tan_rad, trig.arctan, trig.arcsin):
                with self.subTest(buffer=label, f=f.__name__):
                    try:
                        want = [f(x) for x in memoryview(buffer)]
                    except Exception as exc:
                        self.assertRaises(type(exc), f.map, buffer)
                        continue
                    self.assertEqual(bits(f.map(buffer)), bits(want))
        x, y = memoryview(array.array("q", [-3, 0, 5, 2 ** 60])), array.array("f", [0.0, -1.5, 2.5, 1e-3])
        self.assertEqual(bits(trig.arctan2.map(x, y)), bits(map(trig.arctan2, x, y)))

    def test_iterables_keywords_and_out(self):
        xs = [0.5, -2, 3.0, 2 ** 70, True]
        for source in (xs, tuple(xs), iter(xs), (x for x in xs)):
            self.assertEqual(bits(trig.arctan.map(source, iter=3)), bits([trig.arctan(x, 3) for x in xs]))
        self.assertEqual(bits(trig.arctan.map(xs, [1, 2, 3, 4, 5])), bits(map(trig.arctan, xs, [1, 2, 3, 4, 5])))
        outs = [array.array("d", bytes(40)), memoryview(bytearray(80)).cast("d")[::2]]
        if numpy is not None:
            outs.append(numpy.zeros(10)[1::2])
        for out in outs:
            self.assertIs(trig.cosin.map(xs, out=out), out)
            self.assertEqual(bits(out), bits(map(trig.cosin, xs)))
        self.assertEqual(list(trig.sin.map([])), [])
        with preserved_namespace() as ns:
            seen, x = [], float("1.5")
            ns["sin"] = lambda angle: seen.append(angle) or 0.0
            trig.tan.map([x])
            self.assertIs(seen[0], x)   # the element itself, as the loop passes it

    def test_wrong_calls_fail_before_any_call(self):
        calls = []
        wrong = [((TypeError, "sin.map() needs at least one iterable"), (), {}),
                 ((TypeError, "sin.map() out must be a writable buffer of doubles, not 'list'"), ([1],), {"out": [0.0]}),
                 ((TypeError, "sin.map() out must be writable"), ([1],), {"out": bytes(8)}),
                 ((TypeError, "sin.map() out must hold doubles (format 'd'), not format 'f'"), ([1],),
                  {"out": array.array("f", [0])}),
                 ((TypeError, "sin.map() out must be one-dimensional, not of 2 dimensions"), ([1],),
                  {"out": memoryview(bytearray(16)).cast("d", (1, 2))}),
                 ((ValueError, "sin.map() out has room for 2 results, not 1"), ([1],), {"out": array.array("d", [0, 0])}),
                 ((ValueError, "sin.map() arguments 1 and 2 differ in length (1 and 2)"), ([1], [1, 2]), {})]
        with preserved_namespace() as ns:
            counting = type("Counting", (), {"__getattr__": lambda self, name: calls.append(name) or 3.0})
            ns["constants"] = counting()
            for (exc, message), args, kwargs in wrong:
                with self.subTest(message=message):
                    self.assertEqual(str(catch(self, exc, lambda: trig.sin.map(*args, **kwargs))), message)
            self.assertEqual(calls, [])
            # Lengths that only iteration tells fail where zip(strict=True)
            # does: after the calls of the elements both have.
            trig.arctan2(-1, 1)
            one, calls[:] = calls[:], []
            err = catch(self, ValueError, lambda: trig.arctan2.map(iter([-1, -1]), iter([1])))
            self.assertEqual(str(err), "arctan2.map() argument 2 is shorter than argument 1")
            self.assertEqual(calls, one)

    def test_failures_name_their_element(self):
        out = array.array("d", [7.0] * 4)
        err = catch(self, ZeroDivisionError, lambda: trig.tan.map([45, 30, 90, 60], out=out))
        self.assertEqual(native_entries(err), [("geometry.trigonometry.tan", 76)])
        self.assertEqual(bits(out), bits([trig.tan(45), trig.tan(30), 7.0, 7.0]))
        if sys.version_info >= (3, 11):
            self.assertEqual(err.__notes__, ["tan.map() element 2"])
        with preserved_namespace() as ns:
            ns["arctan2"] = lambda x, y: "x" if y else 1
            err = catch(self, TypeError, lambda: trig.arcsin.map([0, 0.5]))
            self.assertEqual(str(err), "arcsin.map() cannot store the result for element 1 as a double")
            self.assertIsInstance(err.__cause__, TypeError)

if __name__ == "__main__":
    unittest.main()
