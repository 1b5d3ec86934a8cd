"""Differential tests: geometry.trigonometry against the reference model.

For every function the native module has, the module and the model are run
on the same generated arguments and must agree exactly: the same result type
and bits, or the same exception type, message and traceback entries.  With
recording numbers, spied sibling modules and spied module globals they must
also perform the same operations in the same order.  Functions the module
does not have yet are skipped there; their worked values are still checked
against the model.
"""

import contextlib
import fractions
import math
import types
import unittest

import inputs
import recnum
import refmodel
from inputs import INF, NAN, NEG_NAN, FloatReturnsInt
from recnum import Rec, Tape, injection_points
from trig_support import message_of

NATIVE, NATIVE_ERROR, CONSTANTS, ALGEBRA = refmodel.load()
MODEL = refmodel.new_model(CONSTANTS, ALGEBRA)
NAMES = refmodel.FUNCTION_NAMES
PI = CONSTANTS.pi

SEED = 20240917

# Generated arguments per function; together a few thousand calls.
COUNTS = {
    "sin": 1500, "cosin": 800, "tan": 600, "_tan_rad": 600,
    "arctan": 400, "arctan2": 400, "arcsin": 300, "arccos": 300,
}

# Fault injection runs a function once per counted event; above this many
# events only a sample of them is tried (fewer with spied globals, where every
# operation on pi is logged and a run of the arctan family is long).
MAX_INJECTIONS = 120
MAX_SPIED_INJECTIONS = 60


def native_has(name):
    return NATIVE is not None and name in vars(NATIVE)


def native_function(name):
    return vars(NATIVE)[name]


def model_function(name):
    return vars(MODEL)[name]


def native_outcome(name, args):
    return refmodel.outcome(native_function(name), args, refmodel.native_entries)


def model_outcome(name, args):
    return refmodel.outcome(model_function(name), args, refmodel.entries)


class DifferentialCase(unittest.TestCase):
    def require(self, name):
        if not native_has(name):
            self.skipTest("geometry.trigonometry has no %s yet" % name)

    def assertSameLog(self, model_log, native_log):
        # Logs run to thousands of entries: report the first divergence
        # instead of letting difflib compare them.
        if model_log == native_log:
            return
        i = next((k for k, (a, b) in enumerate(zip(model_log, native_log)) if a != b),
                 min(len(model_log), len(native_log)))
        lines = ["operation logs diverge at entry %d (model has %d entries, module %d)"
                 % (i, len(model_log), len(native_log))]
        for k in range(max(0, i - 3), i + 3):
            lines.append("  %5d model %-60s module %s" % (
                k, model_log[k] if k < len(model_log) else "-",
                native_log[k] if k < len(native_log) else "-"))
        self.fail("\n".join(lines))

    def assertNoMismatches(self, name, mismatches, total):
        if mismatches:
            lines = ["%d of %d calls of %s disagree (model / module):" % (len(mismatches), total, name)]
            lines += mismatches[:25]
            self.fail("\n".join(lines))

    def check_runs(self, label, run_both, limit):
        """run_both(fail_at) runs model and module with fresh tapes: they must
        agree unfailed, and with a failure injected at each event (or at a
        spread of them, past `limit` events)."""
        (expected, model_tape), (got, native_tape) = run_both(None)
        self.assertSameLog(model_tape.log, native_tape.log)
        self.assertEqual(refmodel.show(expected), refmodel.show(got))
        self.assertEqual(expected, got)
        mismatches = []
        points = injection_points(model_tape.count, limit)
        for k in points:
            (expected, model_tape), (got, native_tape) = run_both(k)
            if expected != got or model_tape.log != native_tape.log:
                mismatches.append("  fail_at=%d: %s / %s%s" % (
                    k, refmodel.show(expected), refmodel.show(got),
                    "" if model_tape.log == native_tape.log else " (logs differ)"))
        self.assertNoMismatches("%s with injected failures" % label, mismatches, len(points))


class NativeImport(unittest.TestCase):
    def test_native_module_imports_when_built(self):
        if NATIVE_ERROR is not None:
            self.fail("geometry.trigonometry is present but fails to import: %r" % (NATIVE_ERROR,))
        if NATIVE is None:
            self.skipTest("geometry.trigonometry is not built")


@refmodel.for_each_function('compare')
class GeneratedArguments(DifferentialCase):
    """Module and model agree on results, exceptions and traceback entries."""

    def compare(self, name):
        self.require(name)
        args_list = inputs.ARGS[name](SEED + NAMES.index(name), COUNTS[name])
        mismatches = []
        for args in args_list:
            expected = model_outcome(name, args)
            got = native_outcome(name, args)
            if expected != got:
                mismatches.append("  %s%r: %s / %s" % (name, args, refmodel.show(expected), refmodel.show(got)))
        self.assertNoMismatches(name, mismatches, len(args_list))


def recorded_args(name, value, tape):
    if name == "arctan2":
        return tuple(Rec(v, tape) for v in value)
    return (Rec(value, tape),)


@refmodel.for_each_function('check')
class RecordingNumbers(DifferentialCase):
    """Arguments that log every special method they take part in: the module
    must call the same methods, with the same operands, in the same order as
    the model; a failure injected at any of those calls must surface with the
    same exception and traceback entries."""

    def run_both(self, name, value, fail_at=None):
        model_tape = Tape(fail_at)
        expected = refmodel.outcome(model_function(name), recorded_args(name, value, model_tape), refmodel.entries)
        native_tape = Tape(fail_at)
        got = refmodel.outcome(native_function(name), recorded_args(name, value, native_tape), refmodel.native_entries)
        return (expected, model_tape), (got, native_tape)

    def check(self, name):
        self.require(name)
        for value in inputs.RECORDED_VALUES[name]:
            with self.subTest(name=name, value=value):
                self.check_runs("%s(Rec(%r))" % (name, value),
                                lambda k: self.run_both(name, value, k), MAX_INJECTIONS)

    def test_arctan_recorded_iter(self):
        # A recording iter reaches range() and is read through __index__.
        self.require("arctan")
        for x, it in [(0.5, 3), (3.0, 2), (0.5, 1.5)]:
            with self.subTest(x=x, iter=it):
                model_tape, native_tape = Tape(), Tape()
                expected = model_outcome("arctan", (x, Rec(it, model_tape)))
                got = native_outcome("arctan", (x, Rec(it, native_tape)))
                self.assertEqual(expected, got)
                self.assertSameLog(model_tape.log, native_tape.log)


@contextlib.contextmanager
def spied(namespace, names, tape):
    """Replace constants and algebra by logging stand-ins and wrap the
    module functions `names` so that every call between them is logged."""
    replacements = {
        "constants": recnum.SpyConstants(namespace["constants"].pi, tape),
        "algebra": recnum.SpyAlgebra(namespace["algebra"].sqrt, tape),
    }
    for n in names:
        replacements[n] = recnum.spy_function(n, namespace[n], tape)
    restore = recnum.rebind(namespace, replacements)
    try:
        yield
    finally:
        restore()


SPY_ARGS = {
    "sin": [(30,), (200.5,), (float("nan"),)],
    "cosin": [(60,), (135,), (300.0,), (float("inf"),)],
    "tan": [(45,), (90,), (float("nan"),)],
    "_tan_rad": [(1.0,), (0,), ("x",)],
    "arctan": [(0.5,), (2,), (-3.0, 2), (0.5, 0)],
    "arctan2": [(1, 1), (-1, 1), (-1, -1), (0, 1), (0, -1), (0, 0)],
    # Ints of one, two and more 30-bit digits show the exact 1 - x ** 2 that
    # reaches sqrt.
    "arcsin": [(0.5,), (1,), (-1.0,), (2 ** 15 + 1,), (-(2 ** 30) - 3,), (2 ** 45,)],
    "arccos": [(0.5,), (-1,)],
}


@refmodel.for_each_function('check')
class SpiedGlobals(DifferentialCase):
    """The module reads its globals at the moment of use: with logging
    stand-ins for constants, algebra and the functions themselves, module and
    model must read pi and sqrt and call each other in the same order, and a
    failure injected at any read or call must carry the same entries."""

    def run_both(self, name, args, fail_at=None):
        present = [n for n in NAMES if native_has(n)]
        model_tape = Tape(fail_at)
        model_fn = model_function(name)
        with spied(vars(MODEL), present, model_tape):
            expected = refmodel.outcome(model_fn, args, refmodel.entries)
        native_tape = Tape(fail_at)
        native_fn = native_function(name)
        with spied(vars(NATIVE), present, native_tape):
            got = refmodel.outcome(native_fn, args, refmodel.native_entries)
        return (expected, model_tape), (got, native_tape)

    def check(self, name):
        self.require(name)
        for args in SPY_ARGS[name]:
            with self.subTest(name=name, args=args):
                self.check_runs("%s%r" % (name, args), lambda k: self.run_both(name, args, k),
                                MAX_SPIED_INJECTIONS)

    def test_missing_globals_and_attributes(self):
        # A global that is gone (NameError) or a sibling that lacks its
        # attribute (AttributeError) fails at the statement that reads it.
        present = [n for n in NAMES if native_has(n)]
        if not present:
            self.skipTest("geometry.trigonometry is not built")
        removals = [(g, None) for g in ["constants", "algebra"] + present]
        removals += [("constants", types.ModuleType("constants")),
                     ("algebra", types.ModuleType("algebra"))]
        for target, replacement in removals:
            for name in present:
                for args in SPY_ARGS[name][:2]:
                    with self.subTest(missing=target, replacement=replacement, call=name, args=args):
                        records = []
                        for namespace, fn, entries_of in (
                                (vars(MODEL), model_function(name), refmodel.entries),
                                (vars(NATIVE), native_function(name), refmodel.native_entries)):
                            saved = namespace[target]
                            if replacement is None:
                                del namespace[target]
                            else:
                                namespace[target] = replacement
                            try:
                                records.append(refmodel.outcome(fn, args, entries_of))
                            finally:
                                namespace[target] = saved
                        self.assertEqual(refmodel.show(records[0]), refmodel.show(records[1]))
                        self.assertEqual(records[0], records[1])


def root_or_power(value):
    """A square root that keeps exact ints exact (isqrt of a perfect square)
    and otherwise uses ** 0.5, which gives complex roots for negatives."""
    if type(value) is int and value >= 0 and math.isqrt(value) ** 2 == value:
        return math.isqrt(value)
    return value ** 0.5


# Other values of pi: ints of each size class, a Fraction, zero and NaNs of
# both signs (whose sign bit must survive every operation on pi).  Huge
# ints are only used where every sine the functions take stays small: a
# direct sin of an angle near 90 with such a pi would sum a diverging series.
SMALL_PIS = [3, -3, 0, fractions.Fraction(355, 113), NAN, NEG_NAN]
LARGE_PIS = [2 ** 40 + 1, -(2 ** 70)]


@refmodel.for_each_function('check')
class AlternateSiblings(DifferentialCase):
    """Other constants and algebra objects, bound in both the module and the
    model: values of pi and roots of other types reach the constant
    operations with operands the usual siblings never produce."""

    def variants(self, name):
        pis = SMALL_PIS + (LARGE_PIS if name in ("arctan", "arctan2", "arcsin", "arccos") else [])
        for pi in pis:
            label = recnum.desc(pi) if type(pi) is float else repr(pi)
            yield "pi=%s" % label, types.SimpleNamespace(pi=pi), ALGEBRA
        yield "sqrt=root_or_power", CONSTANTS, types.SimpleNamespace(sqrt=root_or_power)
        # A NaN root shows whether -1 * root keeps the NaN's sign bit as a
        # float multiplication does.
        for nan in (NAN, -NAN):
            yield "sqrt=%s" % recnum.desc(nan), CONSTANTS, types.SimpleNamespace(sqrt=lambda v, r=nan: r)

    def check(self, name):
        self.require(name)
        args_list = inputs.ARGS[name](SEED + 100 + NAMES.index(name), 240)[::2]
        for label, constants, algebra in self.variants(name):
            model = refmodel.new_model(constants, algebra)
            restore = recnum.rebind(vars(NATIVE), {"constants": constants, "algebra": algebra})
            mismatches = []
            try:
                for args in args_list:
                    expected = refmodel.outcome(vars(model)[name], args, refmodel.entries)
                    got = native_outcome(name, args)
                    if expected != got:
                        mismatches.append("  %s%r: %s / %s" % (
                            name, args, refmodel.show(expected), refmodel.show(got)))
            finally:
                restore()
            with self.subTest(variant=label):
                self.assertNoMismatches("%s with %s" % (name, label), mismatches, len(args_list))


def ok(value):
    return ("return", value)


def approx(value, tol=1e-12):
    return ("approx", value, tol)


def raises(exc_type, message, *where):
    return ("raise", exc_type, message, tuple(("geometry.trigonometry." + n, line) for n, line in where))


def unbound_local_message():
    """What the running interpreter says for cosin's unassigned `cosine`."""
    def read_unassigned():
        if False:
            cosine = 0
        return cosine  # noqa: F821
    try:
        read_unassigned()
    except UnboundLocalError as e:
        return str(e)


UNBOUND = unbound_local_message()


DIVISION = message_of("1.0 / 0.0")
DOMAIN = message_of("math.sqrt(1 - 2 ** 2)")
NOT_INDEX = "range(%s)"

WORKED_VALUES = {
    "sin": [
        ((0,), ok(0.0)), ((360,), ok(0.0)), ((180,), ok(0.0)), ((-180,), ok(0.0)),
        ((30,), ok(0.5)), ((150,), ok(0.5)), ((90,), ok(1.0)),
        ((270,), ok(-1.0)), ((-90,), ok(-1.0)),
        ((-30,), ok(-0.5)), ((210,), ok(-0.5)), ((330,), ok(-0.5)),
        ((-1e-20,), ok(0.0)), ((1e-14,), ok(0.0)),
        ((NAN,), ok(0.0)), ((INF,), ok(0.0)), ((-INF,), ok(0.0)),
        (("abc",), raises(TypeError, message_of("'abc' % 360"), ("sin", 19))),
        (("%d",), raises(TypeError, message_of("'%d' % 360 >= 180"), ("sin", 20))),
    ],
    "cosin": [
        ((0,), ok(1.0)), ((360,), ok(1.0)), ((180,), ok(-1.0)),
        ((60,), ok(0.5000000000000003)), ((90,), ok(-0.0)), ((270,), ok(0.0)),
        ((-90,), ok(0.0)), ((-180,), ok(-1.0)), ((-1e-20,), ok(1.0)),
        ((NAN,), raises(UnboundLocalError, UNBOUND, ("cosin", 62))),
        ((INF,), raises(UnboundLocalError, UNBOUND, ("cosin", 62))),
        ((-INF,), raises(UnboundLocalError, UNBOUND, ("cosin", 62))),
    ],
    "tan": [
        ((0,), ok(0.0)), ((360,), ok(0.0)), ((180,), ok(-0.0)),
        ((45,), ok(0.9999999999999999)), ((135,), ok(-0.9999999999999999)),
        ((225,), ok(0.9999999999999999)), ((315,), ok(-0.9999999999999999)),
        ((-45,), ok(-0.9999999999999999)),
        ((90,), raises(ZeroDivisionError, DIVISION, ("tan", 76))),
        ((270,), raises(ZeroDivisionError, DIVISION, ("tan", 76))),
        ((-90,), raises(ZeroDivisionError, DIVISION, ("tan", 76))),
        ((NAN,), raises(UnboundLocalError, UNBOUND, ("tan", 76), ("cosin", 62))),
    ],
    "_tan_rad": [
        ((0,), ok(0.0)), ((0.0,), ok(0.0)),
        ((1,), approx(1.5574077246549023)), ((-1,), approx(-1.5574077246549023)),
        ((math.pi / 4,), ok(0.9999999999999999)),
        ((1e-16,), ok(0.0)), ((-5e-16,), ok(0.0)),
        (("abc",), raises(TypeError, message_of("math.sin('abc')"), ("_tan_rad", 78))),
        ((10 ** 400,), raises(OverflowError, message_of("math.sin(10 ** 400)"), ("_tan_rad", 78))),
        ((NAN,), raises(UnboundLocalError, UNBOUND, ("_tan_rad", 82), ("cosin", 62))),
        ((1e306,), raises(UnboundLocalError, UNBOUND, ("_tan_rad", 82), ("cosin", 62))),
    ],
    "arctan": [
        ((0,), ok(0.0)), ((0.0,), ok(0.0)), ((-0.0,), ok(0.0)),
        ((1,), approx(math.pi / 4)), ((0.5,), approx(0.4636476090008061)),
        ((2,), approx(1.1071487177940904)), ((-2,), approx(-1.1071487177940904)),
        ((1e20,), ok(PI / 2)), ((INF,), ok(PI / 2)), ((-INF,), ok(-PI / 2)),
        ((1e-20,), approx(2e-19, 1e-30)),
        ((0.5, 0), ok(0.0)), ((1, 0), ok(0.0)), ((-1, -1), ok(0.0)), ((3, 0), ok(PI / 2 - 0.0)),
        ((1, 1), ok(1.0)), ((0.5, 1), ok(0.5)), ((0.5, True), ok(0.5)),
        ((NAN, 1), ok(NAN)),
        ((NAN,), raises(UnboundLocalError, UNBOUND, ("arctan", 108), ("_tan_rad", 82), ("cosin", 62))),
        ((0.5, 2.0), raises(TypeError, message_of(NOT_INDEX % "2.0"), ("arctan", 103))),
        ((3.0, None), raises(TypeError, message_of(NOT_INDEX % "None"),
                             ("arctan", 98), ("arctan", 103))),
        ((-3.0, "3"), raises(TypeError, message_of(NOT_INDEX % "'3'"),
                             ("arctan", 100), ("arctan", 103))),
        (("a",), raises(TypeError, message_of("'a' > 1"), ("arctan", 97))),
    ],
    "arctan2": [
        ((1, 1), approx(math.pi / 4)), ((1, -1), approx(-math.pi / 4)),
        ((-1, 1), approx(3 * math.pi / 4)), ((-1, -1), approx(-3 * math.pi / 4)),
        ((0, 1), ok(PI / 2)), ((0, -1), ok(-PI / 2)), ((0, 0), ok(0.0)),
        ((1, 0), ok(0.0)), ((-1, 0), ok(PI)), ((-1, -0.0), ok(PI)),
        ((-0.0, 1), ok(PI / 2)), ((-0.0, 0), ok(0.0)),
        ((NAN, 1), ok(0.0)), ((-1, NAN), ok(0.0)), ((0, NAN), ok(0.0)),
        ((INF, 1), ok(0.0)), ((-INF, 1), ok(PI)), ((-INF, -1), ok(-PI)),
        ((1, INF), ok(PI / 2)), ((1, -INF), ok(-PI / 2)),
        ((1, NAN), raises(UnboundLocalError, UNBOUND, ("arctan2", 127), ("arctan", 108),
                          ("_tan_rad", 82), ("cosin", 62))),
    ],
    "arcsin": [
        ((0.5,), approx(math.pi / 6)), ((-0.5,), approx(-math.pi / 6)),
        ((0,), ok(0.0)), ((1,), ok(PI / 2)), ((-1,), ok(-PI / 2)), ((NAN,), ok(0.0)),
        ((2,), raises(ValueError, DOMAIN, ("arcsin", 151))),
    ],
    "arccos": [
        ((0.5,), approx(math.pi / 3)), ((0,), ok(PI / 2)), ((1,), ok(0.0)),
        ((-1,), ok(PI)), ((NAN,), ok(PI / 2)),
        ((2,), raises(ValueError, DOMAIN, ("arccos", 167), ("arcsin", 151))),
    ],
}


@refmodel.for_each_function('check')
class WorkedValues(unittest.TestCase):
    """Known values with pi = 3.141592653589793 and a correctly rounded sqrt.
    The model is always checked; the module wherever it has the function."""

    def targets(self, name):
        found = [("model", model_function(name), refmodel.entries)]
        if native_has(name):
            found.append(("module", native_function(name), refmodel.native_entries))
        return found

    def check(self, name):
        self.assertEqual(PI, 3.141592653589793)
        for args, expected in WORKED_VALUES[name]:
            for target, fn, entries_of in self.targets(name):
                with self.subTest(target=target, call="%s%r" % (name, args)):
                    record = refmodel.outcome(fn, args, entries_of)
                    if expected[0] == "raise":
                        self.assertEqual(refmodel.show(record), refmodel.show(expected))
                        self.assertEqual(record, expected)
                        continue
                    self.assertEqual(record[0], "return", refmodel.show(record))
                    self.assertIs(record[1], float)
                    value = float.fromhex(record[3])
                    if expected[0] == "approx":
                        self.assertAlmostEqual(value, expected[1], delta=expected[2])
                    elif math.isnan(expected[1]):
                        self.assertTrue(math.isnan(value), refmodel.show(record))
                    else:
                        self.assertEqual(record, ("return",) + refmodel.value_key(expected[1]),
                                         "%s instead of %s" % (refmodel.show(record), expected[1].hex()))


class ModelSanity(unittest.TestCase):
    """The model itself, against the maths library and the host's own
    float conversion, so that agreement with it means something."""

    def test_sin_tracks_math_sin(self):
        for angle in list(range(-720, 721, 7)) + [0.25 * k for k in range(-100, 100)]:
            self.assertAlmostEqual(MODEL.sin(angle), math.sin(math.radians(angle)), delta=1e-14)

    def test_cosin_and_tan_track_math(self):
        for angle in range(-359, 360, 11):
            self.assertAlmostEqual(MODEL.cosin(angle), math.cos(math.radians(angle)), delta=1e-7)
            if angle % 90:
                self.assertAlmostEqual(MODEL.tan(angle), math.tan(math.radians(angle)),
                                       delta=1e-6 * max(1.0, abs(math.tan(math.radians(angle)))))

    def test_inverse_functions_track_math(self):
        for k in range(-20, 21):
            x = k / 20
            self.assertAlmostEqual(MODEL.arctan(x * 3), math.atan(x * 3), delta=1e-12)
            self.assertAlmostEqual(MODEL.arcsin(x), math.asin(x), delta=1e-7)
            self.assertAlmostEqual(MODEL.arccos(x), math.acos(x), delta=1e-7)
            self.assertAlmostEqual(MODEL.arctan2(x + 0.01, 0.3), math.atan2(0.3, x + 0.01), delta=1e-12)

    def test_float_read_matches_host(self):
        try:
            import ctypes
            host = ctypes.pythonapi.PyFloat_AsDouble
        except (ImportError, AttributeError):
            self.skipTest("no ctypes access to the host's float conversion")
        host.argtypes = [ctypes.py_object]
        host.restype = ctypes.c_double

        class NoneFloat:
            __float__ = None

        class BadIndex:
            def __index__(self):
                return 7.5

        samples = [args[0] for args in inputs.radian_args(SEED, 300)]
        samples += [FloatReturnsInt(), NoneFloat(), BadIndex(), Rec(2.5, Tape()), Rec(3, Tape())]
        for value in samples:
            with self.subTest(value=value):
                self.assertEqual(refmodel.outcome(refmodel.as_double, (value,), refmodel.entries),
                                 refmodel.outcome(host, (value,), refmodel.entries))


if __name__ == "__main__":
    unittest.main()
