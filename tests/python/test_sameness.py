"""Sameness tests: the shipped module against its plain build, in one process.

The shipped build computes in machine ints and doubles where the operands
allow, takes constant fast paths for exact ints and floats, caches attribute
reads of plain modules and calls its own functions directly; the plain build
does every step on objects through the generic number protocol. Nothing
observable may tell them apart: for every call both must give the same
result type and bits, or the same exception type, message and traceback
entries, the same warnings, the same special-method calls on user numbers
and the same attribute reads on user objects.

Every case runs in both modules. A case that rebinds module globals builds
its replacements per module (from that module's own functions where it uses
them) and restores both namespaces afterwards.
"""

import array
import builtins
import struct
import cmath
import contextlib
import decimal
import fractions
import functools
import gc
import itertools
import math
import os
import signal
import sys
import time
import types
import unittest
import warnings

import inputs
import plainbuild
import recnum
import refmodel
from inputs import INF, MAX_FLOAT, NAN, NEG_NAN, FloatReturnsInt, FloatSub, IntSub
from recnum import Rec, Tape, injection_points
from reliability_support import module_with
from trig_support import below, frame_depth

import geometry.trigonometry as SHIPPED

try:
    PLAIN = plainbuild.load()
    PLAIN_ERROR = None
except ImportError as exc:
    PLAIN = None
    PLAIN_ERROR = exc

NAMES = refmodel.FUNCTION_NAMES
SEED = 20250311

F = fractions.Fraction
D = decimal.Decimal
# Signalling NaNs: every float operation of the interpreter quiets them, but
# ** 2 and a few others hand the operand back as it is.
SNAN = inputs.bits_to_float(0x7FF0000000000001)
NEG_SNAN = inputs.bits_to_float(0xFFF4000000000000)
PI = math.pi

# Generated arguments per function: about thirty thousand calls in all.
COUNTS = {
    "sin": 8000, "cosin": 5000, "tan": 4000, "_tan_rad": 5000,
    "arctan": 2500, "arctan2": 3000, "arcsin": 2000, "arccos": 2000,
}

# Failures injected per recorded run at most (an even spread beyond that).
MAX_INJECTIONS = 40


def setUpModule():
    if PLAIN is None:
        if os.environ.get(plainbuild.TREE_VARIABLE):
            raise PLAIN_ERROR
        raise unittest.SkipTest("the plain build is not available: %s" % PLAIN_ERROR)


# The functions as bound at import, taken before any test rebinds a global.
FUNCTIONS = {}
OTHER = {}
if PLAIN is not None:
    FUNCTIONS = {id(m): {n: vars(m)[n] for n in NAMES} for m in (SHIPPED, PLAIN)}
    OTHER = {id(SHIPPED): PLAIN, id(PLAIN): SHIPPED}


def builds():
    return (("shipped", SHIPPED), ("plain", PLAIN))


def own(module, name):
    """The module's own function `name`, whatever its global holds now."""
    return FUNCTIONS[id(module)][name]


# ----------------------------------------------------------------------------
# Running a call and describing what happened

DELETE = object()


@contextlib.contextmanager
def rebound(module, replacements=None, builtin_replacements=None):
    """Rebind (or, with DELETE, remove) globals of the module and names of the
    builtins; restore both exactly, content and order, afterwards."""
    ns = vars(module)
    saved = dict(ns)
    missing = object()
    saved_builtins = {k: vars(builtins).get(k, missing) for k in (builtin_replacements or {})}
    try:
        for key, value in (replacements or {}).items():
            if value is DELETE:
                ns.pop(key, None)
            else:
                ns[key] = value
        for key, value in (builtin_replacements or {}).items():
            setattr(builtins, key, value)
        yield
    finally:
        ns.clear()
        ns.update(saved)
        for key, value in saved_builtins.items():
            if value is missing:
                vars(builtins).pop(key, None)
            else:
                setattr(builtins, key, value)


def rebound_call(module, name, replacements):
    """The module's own function `name`, run with its globals rebound for the
    length of each call."""
    fn = own(module, name)

    def run(*args):
        with rebound(module, replacements):
            return fn(*args)
    return run


def observe(fn, args, kwargs=None):
    """(outcome record, warnings raised) of fn(*args, **kwargs)."""
    kwargs = kwargs or {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        record = refmodel.outcome(lambda *a: fn(*a, **kwargs), args, refmodel.native_entries)
    return record, tuple((w.category, str(w.message)) for w in caught)


def brief(value, limit=60):
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def show(observed):
    record, caught = observed
    text = refmodel.show(record)
    if record[0] == "raise" and len(record[3]) > 6:
        # Runaway recursion: summarise the entries.
        text = "%s(%r) at %d entries, first %s" % (record[1].__name__, record[2], len(record[3]), record[3][:2])
    if caught:
        text += " warning %s" % [("%s: %s" % (c.__name__, m)) for c, m in caught]
    return text


def call_text(name, args, kwargs=None):
    parts = [brief(a) for a in args] + ["%s=%s" % (k, brief(v)) for k, v in (kwargs or {}).items()]
    return "%s(%s)" % (name, ", ".join(parts))


def parting(first, second):
    """Where two unequal values first differ, in a line or two."""
    path = ""
    while type(first) is type(second) and isinstance(first, (list, tuple)):
        i = next((i for i, (a, b) in enumerate(zip(first, second)) if a != b), None)
        if i is None:
            return "%s lengths %d / %d, first extra item %s" % (
                path or "all", len(first), len(second), brief((first + second)[min(len(first), len(second))], 200))
        path += "[%d]" % i
        first, second = first[i], second[i]
    if isinstance(first, str) and isinstance(second, str):
        i = next((i for i, (a, b) in enumerate(zip(first, second)) if a != b), min(len(first), len(second)))
        first, second = first[max(0, i - 40):i + 160], second[max(0, i - 40):i + 160]
    return "%s: %s\n  != %s" % (path or "values", brief(first, 200), brief(second, 200))


class SamenessCase(unittest.TestCase):
    def assertEqual(self, first, second, msg=None):
        # unittest would diff the two with difflib, which takes minutes for
        # long tapes and runaway recursions: say where they part instead.
        if not first == second:
            self.fail(self._formatMessage(msg, parting(first, second)))

    def assertNoMismatches(self, what, mismatches, total):
        if mismatches:
            lines = ["%d of %d %s differ (shipped / plain):" % (len(mismatches), total, what)]
            lines += mismatches[:25]
            self.fail("\n".join(lines))

    def compare_calls(self, calls, env=None, what="calls"):
        """Run each (name, args[, kwargs]) in both builds, each call inside
        env(module) (a pair: replacements of globals, of builtins)."""
        mismatches = []
        for call in calls:
            name, args = call[0], call[1]
            kwargs = call[2] if len(call) > 2 else None
            got = []
            for _, module in builds():
                replacements, builtin_replacements = env(module) if env else ({}, {})
                with rebound(module, replacements, builtin_replacements):
                    got.append(observe(own(module, name), args, kwargs))
            if got[0] != got[1]:
                mismatches.append("  %s: %s / %s" % (call_text(name, args, kwargs), show(got[0]), show(got[1])))
        self.assertNoMismatches(what, mismatches, len(calls))


# ----------------------------------------------------------------------------
# Generated arguments


@refmodel.for_each_function('compare')
class GeneratedArguments(SamenessCase):
    """Both builds agree on the generators' mix of ints of every size, bools,
    floats of every class, Fractions, Decimals and non-numbers."""

    def compare(self, name):
        args_list = inputs.ARGS[name](SEED + NAMES.index(name), COUNTS[name])
        shipped, plain = own(SHIPPED, name), own(PLAIN, name)
        mismatches = []
        for args in args_list:
            got = refmodel.outcome(shipped, args, refmodel.native_entries)
            expected = refmodel.outcome(plain, args, refmodel.native_entries)
            if got != expected:
                mismatches.append("  %s: %s / %s" % (call_text(name, args), refmodel.show(got),
                                                     refmodel.show(expected)))
        self.assertNoMismatches("calls of %s" % name, mismatches, len(args_list))


# ----------------------------------------------------------------------------
# Values at the edges of the machine paths


class FloatReturnsSub:
    """__float__ gives a float subclass: accepted with a DeprecationWarning."""

    def __float__(self):
        return FloatSub(0.75)


# Ints on both sides of every size boundary the machine paths distinguish:
# zero, one 30-bit digit, two digits, beyond 2**53 (inexact as a double),
# beyond 64 bits; bools and int subclasses, which always go the generic way.
EDGE_INTS = [
    0, 1, -1, 30, -30, 90, -90, 180, -180, 270, 359, 360, -360, 361, 720,
    2 ** 30 - 1, 2 ** 30, -(2 ** 30), 2 ** 31, 2 ** 32 + 1, -(2 ** 40), 2 ** 40,
    2 ** 53 + 1, -(2 ** 53 + 1), 2 ** 59 + 90, 2 ** 60 - 1, -(2 ** 60 - 1), 2 ** 60, -(2 ** 60),
    2 ** 62, 2 ** 63, -(2 ** 63), 2 ** 64 + 1, 2 ** 70, -(2 ** 70), -(2 ** 100),
    360 * 10 ** 40 + 90, 10 ** 400, -(10 ** 400),
    True, False, IntSub(30), IntSub(-1), IntSub(0), IntSub(2 ** 70),
]

EDGE_FLOATS = [
    0.0, -0.0, NAN, NEG_NAN, SNAN, NEG_SNAN, INF, -INF, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310,
    -1e-310, -1e-20, 1e-20, 1e-15, 1e-14, 0.25, -2.5, 0.5, 1.0, -1.0, 90.0, 270.0, 360.0,
    359.99999999999994, 1e154, 1.4e154, -1.4e154, 1e200, 9.987e305, 1e306, 1e308, -1e308,
    MAX_FLOAT, -MAX_FLOAT, 2.0 ** 53, 2.0 ** 63, -(2.0 ** 64),
    FloatSub(30.0), FloatSub(-0.0), FloatSub(NAN), FloatSub(1e200),
]

EDGE_OTHERS = [F(1, 3), F(-7, 2), F(0), F(10 ** 30, 7), D(30), D("-0.5"), D("NaN"), "abc", "%d", None]

EDGE_VALUES = EDGE_INTS + EDGE_FLOATS + EDGE_OTHERS

ITERS = [0, 1, 2, 3, 5, -1, True, False, IntSub(2), -(2 ** 70), 2.5, None, "3", D(2)]

ARCTAN2_XS = [0, 0.0, -0.0, NAN, SNAN, IntSub(0), False, F(0), 1, -1, 2, 0.5, -0.5, 2 ** 70, -(2 ** 100),
              2 ** 53 + 1, 1e-310, -5e-324, 1e308, -1e308, INF, -INF, True]
ARCTAN2_YS = [1, -1, 0, 0.0, -0.0, NAN, NEG_SNAN, 2 ** 70, -(2 ** 40), 1e308, 5e-324, -1.5, True, F(1, 2)]


def unary(name, values):
    return [(name, (v,)) for v in values]


class EdgeValues(SamenessCase):
    """The values at which the machine paths must hand over to objects, or
    stop being taken: the constant operations (% 360, 180 - a, -180 - a,
    a -= 360, 2 * i, 2 * i + 1, i += 1, / 180, / 2, 1 - s, -1 * r, x == 0,
    abs), float ** 2 near overflow, divisions by zero and ints past 64 bits."""

    def test_degree_functions(self):
        for name in ("sin", "cosin", "tan"):
            with self.subTest(name=name):
                self.compare_calls(unary(name, EDGE_VALUES), what="edge calls of %s" % name)

    def test_tan_rad(self):
        extra = [FloatReturnsSub(), FloatReturnsInt(), recnum.IndexOnly(3), recnum.IndexOnly(10 ** 400),
                 PI / 2, -PI / 2, 3 * PI / 2, math.nextafter(PI / 2, 0.0), math.nextafter(PI / 2, 4.0)]
        self.compare_calls(unary("_tan_rad", EDGE_VALUES + extra), what="edge calls of _tan_rad")

    def test_arctan(self):
        calls = unary("arctan", EDGE_VALUES)
        calls += [("arctan", (x, it)) for x in [0.5, -0.5, 1, -1, 3.0, -3, 0, 0.0, 2 ** 70, True]
                  for it in ITERS]
        # A NaN fails in the second Newton step, so even a huge count is cheap;
        # 2**40 is counted in machine ints, 2**70 through range().
        calls += [("arctan", (NAN, it)) for it in [2 ** 40, 2 ** 59, 2 ** 70, IntSub(2 ** 70), -(2 ** 70)]]
        self.compare_calls(calls, what="edge calls of arctan")

    def test_arctan2(self):
        calls = [("arctan2", (x, y)) for x in ARCTAN2_XS for y in ARCTAN2_YS]
        self.compare_calls(calls, what="edge calls of arctan2")

    def test_arcsin_and_arccos(self):
        for name in ("arcsin", "arccos"):
            with self.subTest(name=name):
                self.compare_calls(unary(name, EDGE_VALUES), what="edge calls of %s" % name)

    def test_keyword_calls(self):
        calls = [
            ("sin", (), {"angle": 2 ** 40}), ("cosin", (), {"angle": -0.0}), ("tan", (), {"angle": 90}),
            ("_tan_rad", (), {"rad": 1}), ("arctan", (0.5,), {"iter": 3}), ("arctan", (), {"x": 2, "iter": 2}),
            ("arctan", (-3.0,), {"iter": 2.5}), ("arctan2", (), {"y": 1, "x": -1}),
            ("arcsin", (), {"x": 0.5}), ("arccos", (), {"x": 2 ** 70}),
        ]
        self.compare_calls(calls, what="keyword calls")


# ----------------------------------------------------------------------------
# Recording numbers


def recorded(value, tape):
    if isinstance(value, tuple):
        return tuple(Rec(v, tape) for v in value)
    return (Rec(value, tape),)


TAPE_VALUES = {
    name: list(values) for name, values in inputs.RECORDED_VALUES.items()
}
TAPE_VALUES["sin"] += [2 ** 70, -(2 ** 40), True, -1, -0.0, 1e308, 5e-324, F(-7, 2), INF]
TAPE_VALUES["cosin"] += [2 ** 70, -(2 ** 40), True, 1e308, -0.0]
TAPE_VALUES["tan"] += [True, -(2 ** 40), 2 ** 70, 270.0]
TAPE_VALUES["_tan_rad"] += [2 ** 70, True, 1e308, NAN]
TAPE_VALUES["arctan"] += [2 ** 70, -(2 ** 40), True, 1e308, NAN, -0.0]
TAPE_VALUES["arctan2"] += [(2 ** 70, 1), (-1, 2 ** 70), (0.0, -0.0), (-0.0, 1), (NAN, 1), (True, False), (1, NAN)]
TAPE_VALUES["arcsin"] += [2 ** 70, True, 2, NAN]
TAPE_VALUES["arccos"] += [True, 2 ** 70, 0]


class TapeCase(SamenessCase):
    """Runs a call in both builds with a fresh tape each, and compares the
    outcomes and the tapes, also with a failure injected at each event."""

    def run_both(self, make_call, fail_at=None):
        runs = []
        for _, module in builds():
            tape = Tape(fail_at)
            fn, args = make_call(module, tape)
            runs.append((observe(fn, args), tape))
        return runs

    def check(self, label, make_call):
        (got, got_tape), (expected, expected_tape) = self.run_both(make_call)
        self.assertEqual(got_tape.log, expected_tape.log, "%s: tapes differ" % label)
        self.assertEqual(show(got), show(expected), label)
        self.assertEqual(got, expected, label)
        mismatches = []
        points = injection_points(expected_tape.count, MAX_INJECTIONS)
        for k in points:
            (got, got_tape), (expected, expected_tape) = self.run_both(make_call, k)
            if got != expected or got_tape.log != expected_tape.log:
                mismatches.append("  fail_at=%d: %s / %s%s" % (
                    k, show(got), show(expected), "" if got_tape.log == expected_tape.log else " (tapes differ)"))
        self.assertNoMismatches("%s with injected failures" % label, mismatches, len(points))


class RecordingNumbers(TapeCase):
    """Arguments that log every special method they take part in: both builds
    must make the same calls, with the same operands, in the same order, and
    a failure injected at any of them must surface identically."""

    def test_recorded_arguments(self):
        for name in NAMES:
            for value in TAPE_VALUES[name]:
                with self.subTest(name=name, value=value):
                    self.check("%s(Rec(%s))" % (name, brief(value)),
                               lambda m, tape, name=name, value=value: (own(m, name), recorded(value, tape)))

    def test_recorded_iter(self):
        for x, it in [(0.5, 3), (3.0, 2), (-3.0, 1), (0.5, 1.5), (0.5, -1), (0.5, True), (NAN, 2 ** 70), (0.25, 0)]:
            with self.subTest(x=x, iter=it):
                self.check("arctan(%r, Rec(%r))" % (x, it),
                           lambda m, tape, x=x, it=it: (own(m, "arctan"), (x, Rec(it, tape))))

    def test_recording_values_from_callees(self):
        # The functions' own callees hand back recording numbers, so that the
        # operations a caller applies to them (after machine steps of its own)
        # are logged: sin's and cosin's results in cosin, tan and _tan_rad,
        # _tan_rad's in arctan, arctan's in arctan2, sqrt's in cosin and arcsin.
        def wrap(name, fn, tape):
            def returning_rec(*args):
                tape.note("call", name, *[recnum.desc(a) for a in args])
                return Rec(fn(*[a.v if type(a) is Rec else a for a in args]), tape)
            return returning_rec

        cases = [
            ("cosin", ["sin"], [(60,), (135,), (300.0,), (2 ** 70,)]),
            ("tan", ["sin", "cosin"], [(45,), (90,), (-30.0,)]),
            ("_tan_rad", ["sin", "cosin"], [(1.0,), (0,), (-2 ** 40,)]),
            ("arctan", ["_tan_rad"], [(0.5,), (-0.75, 3), (2.0, 2), (1,)]),
            ("arctan2", ["arctan"], [(1, 1), (-1, 0.5), (-1, -1), (2 ** 70, -1)]),
            ("arcsin", ["arctan2"], [(0.5,), (-1,)]),
            ("arccos", ["arcsin"], [(0.5,), (0,)]),
        ]
        for name, callees, arg_list in cases:
            for args in arg_list:
                with self.subTest(name=name, callees=callees, args=args):
                    def make_call(m, tape, name=name, callees=callees, args=args):
                        replacements = {c: wrap(c, own(m, c), tape) for c in callees}
                        replacements["algebra"] = recnum.SpyAlgebra(math.sqrt, tape)
                        return rebound_call(m, name, replacements), args
                    self.check("%s%r with recording callees %s" % (name, args, callees), make_call)


# ----------------------------------------------------------------------------
# Spied globals


class ReadLog:
    """Stands in for a sibling module: logs every attribute read."""

    def __init__(self, tape, label, **attributes):
        object.__setattr__(self, "_state", (tape, label, attributes))

    def __getattribute__(self, name):
        tape, label, attributes = object.__getattribute__(self, "_state")
        tape.note("getattr", label, name)
        if name in attributes:
            return attributes[name]
        raise AttributeError("'%s' object has no attribute '%s'" % (label, name))


SPY_ARGS = {
    "sin": [(30,), (200.5,), (-(2 ** 40),), (NAN,)],
    "cosin": [(60,), (135,), (300.0,), (INF,)],
    "tan": [(45,), (90,), (2 ** 70,)],
    "_tan_rad": [(1.0,), (0,), ("x",)],
    "arctan": [(0.5,), (2,), (-3.0, 2), (0.5, 0)],
    "arctan2": [(1, 1), (-1, 1), (-1, -1), (0, 1), (0, -1), (0, 0)],
    "arcsin": [(0.5,), (1,), (-1.0,), (2,)],
    "arccos": [(0.5,), (-1,)],
}


class SpiedGlobals(TapeCase):
    """The sibling modules replaced by logging stand-ins: both builds read
    `pi` and `sqrt` in the same order and as often, whether the functions
    call each other directly (their globals untouched) or through logging
    wrappers; a failure injected at any read or call surfaces identically."""

    def spied_call(self, name, args, stand_ins, wrap_functions):
        def make_call(m, tape):
            replacements = stand_ins(tape)
            if wrap_functions:
                for n in NAMES:
                    replacements[n] = recnum.spy_function(n, own(m, n), tape)
            return rebound_call(m, name, replacements), args
        return make_call

    def check_all(self, stand_ins, wrap_functions):
        for name in NAMES:
            for args in SPY_ARGS[name]:
                with self.subTest(name=name, args=args):
                    self.check("%s%r" % (name, args), self.spied_call(name, args, stand_ins, wrap_functions))

    def test_attribute_reads_with_direct_calls(self):
        # Plain values behind logged reads: the machine paths stay in use.
        self.check_all(lambda tape: {"constants": ReadLog(tape, "constants", pi=PI),
                                     "algebra": ReadLog(tape, "algebra", sqrt=math.sqrt)}, False)

    def test_recording_pi_and_roots_with_direct_calls(self):
        self.check_all(lambda tape: {"constants": recnum.SpyConstants(PI, tape),
                                     "algebra": recnum.SpyAlgebra(math.sqrt, tape)}, False)

    def test_recording_pi_and_roots_with_logged_calls(self):
        self.check_all(lambda tape: {"constants": recnum.SpyConstants(PI, tape),
                                     "algebra": recnum.SpyAlgebra(math.sqrt, tape)}, True)


# ----------------------------------------------------------------------------
# Rebound globals and sibling modules


class PropertyModule(types.ModuleType):
    pi = property(lambda self: 2.5)


class SquareIs:
    """A number whose product with anything is the given value (a sine whose
    square is chosen)."""

    def __init__(self, square):
        self.square = square

    def __mul__(self, other):
        return self.square

    __rmul__ = __mul__

    def __repr__(self):
        return "SquareIs(%r)" % (self.square,)


class QuotientPi:
    """A `pi` for which sin's angle * pi / 180 is the given value: puts ints
    (and other values) into the series loop."""

    def __init__(self, quotient):
        self.quotient = quotient

    def __rmul__(self, angle):
        return _Quotient(self.quotient)

    def __mul__(self, other):
        return _Quotient(self.quotient)

    def __truediv__(self, other):
        return self.quotient

    def __neg__(self):
        return -self.quotient


class _Quotient:
    def __init__(self, value):
        self.value = value

    def __truediv__(self, other):
        return self.value


class Scale:
    def __init__(self, factor):
        self.factor = factor

    def apply(self, value):
        return value * self.factor


def failing_after(n, exc_type, result=0.5):
    """A callable that returns `result` n times, then raises exc_type."""
    calls = [0]

    def fn(*args):
        calls[0] += 1
        if calls[0] > n:
            raise exc_type("stopped after %d calls" % n)
        return result
    return fn


def raising_sqrt(value):
    raise ArithmeticError("no root of %r" % (value,))


# Calls made under every environment below; none of them can run for long
# whatever the environment does (iter stays small, no huge pi).
ENV_CALLS = [
    ("sin", (30,)), ("sin", (-1,)), ("sin", (2 ** 70,)), ("sin", (200.5,)), ("sin", (-0.0,)), ("sin", (NAN,)),
    ("cosin", (60,)), ("cosin", (135,)), ("cosin", (300.0,)), ("cosin", (-1e-20,)),
    ("tan", (45,)), ("tan", (90,)), ("tan", (135.0,)), ("tan", (-(2 ** 40),)),
    ("_tan_rad", (1.0,)), ("_tan_rad", (0,)), ("_tan_rad", (-0.5,)), ("_tan_rad", (PI / 2,)),
    ("arctan", (0.5,)), ("arctan", (2,)), ("arctan", (-3.0, 3)), ("arctan", (1, 1)), ("arctan", (0.25, 0)),
    ("arctan2", (1, 1)), ("arctan2", (-1, 0.5)), ("arctan2", (-1, -1)), ("arctan2", (0, 1)),
    ("arctan2", (0.0, -1)), ("arctan2", (0, 0)), ("arctan2", (2 ** 70, 1)),
    ("arcsin", (0.5,)), ("arcsin", (-1,)), ("arcsin", (1,)), ("arcsin", (0,)), ("arcsin", (2,)),
    ("arccos", (0.5,)), ("arccos", (-1,)), ("arccos", (0,)),
]


def globals_env(**make):
    """An environment rebinding module globals; each value is a function of
    the module (so that it can use the module's own functions) or DELETE."""
    def env(module):
        return {k: (v if v is DELETE else v(module)) for k, v in make.items()}, {}
    return env


def constant(value):
    return lambda m: value


CONSTANTS_ENVS = {
    "pi an int": globals_env(constants=lambda m: types.SimpleNamespace(pi=3)),
    "pi an int in a module": globals_env(constants=lambda m: module_with(pi=3)),
    "pi zero": globals_env(constants=lambda m: module_with(pi=0)),
    "pi 0.0": globals_env(constants=lambda m: module_with(pi=0.0)),
    "pi negative": globals_env(constants=lambda m: module_with(pi=-PI)),
    "pi NaN": globals_env(constants=lambda m: module_with(pi=NAN)),
    "pi True": globals_env(constants=lambda m: module_with(pi=True)),
    "pi a Fraction": globals_env(constants=lambda m: types.SimpleNamespace(pi=F(355, 113))),
    "pi a float subclass": globals_env(constants=lambda m: module_with(pi=FloatSub(PI))),
    "pi a string": globals_env(constants=lambda m: types.SimpleNamespace(pi="3.14159")),
    "pi missing": globals_env(constants=lambda m: types.SimpleNamespace()),
    "pi missing from a module": globals_env(constants=lambda m: module_with()),
    "pi from a module __getattr__": globals_env(
        constants=lambda m: module_with(__getattr__=lambda name: 3.0 if name == "pi" else None)),
    "pi a property of a module subclass": globals_env(constants=lambda m: PropertyModule("c")),
    "constants None": globals_env(constants=constant(None)),
    "constants deleted": globals_env(constants=DELETE),
    "constants from the builtins": lambda m: ({"constants": DELETE},
                                              {"constants": types.SimpleNamespace(pi=3.0)}),
    # Quotients put exact ints, bools, floats and long ints into sin's loop
    # (abs of -5, 7, 0, True, -2.5, and a long negative int that then fails
    # in result += term).
    "sin's x the int -5": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(-5)))),
    "sin's x the int 7": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(7)))),
    "sin's x the int 0": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(0)))),
    "sin's x True": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(True)))),
    "sin's x -2.5": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(-2.5)))),
    "sin's x -(2**600)": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(-(2 ** 600))))),
    "sin's x 10**400": globals_env(constants=constant(types.SimpleNamespace(pi=QuotientPi(10 ** 400)))),
}

ALGEBRA_ENVS = {
    "sqrt returns the int 0": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: 0))),
    "sqrt returns the int 1": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: 1))),
    "sqrt returns the int 2": globals_env(algebra=constant(module_with(sqrt=lambda v: 2))),
    "sqrt returns 2**70": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: 2 ** 70))),
    "sqrt returns -(2**40)": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: -(2 ** 40)))),
    "sqrt returns True": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: True))),
    "sqrt returns -0.0": globals_env(algebra=constant(types.SimpleNamespace(sqrt=lambda v: -0.0))),
    "sqrt returns a float subclass": globals_env(
        algebra=constant(types.SimpleNamespace(sqrt=lambda v: FloatSub(math.sqrt(abs(v)))))),
    "sqrt is the identity": globals_env(algebra=constant(module_with(sqrt=lambda v: v))),
    "sqrt raises": globals_env(algebra=constant(types.SimpleNamespace(sqrt=raising_sqrt))),
    "sqrt returns a Fraction": globals_env(algebra=constant(types.SimpleNamespace(sqrt=F))),
    "sqrt is math.isqrt": globals_env(algebra=constant(types.SimpleNamespace(sqrt=math.isqrt))),
    "sqrt is the module's own sin": globals_env(algebra=lambda m: types.SimpleNamespace(sqrt=own(m, "sin"))),
    "sqrt is the other build's sin": globals_env(
        algebra=lambda m: types.SimpleNamespace(sqrt=own(OTHER[id(m)], "sin"))),
    "algebra without sqrt": globals_env(algebra=constant(module_with())),
    "algebra None": globals_env(algebra=constant(None)),
    "algebra deleted": globals_env(algebra=DELETE),
    "sqrt a Python function": globals_env(algebra=constant(module_with(sqrt=lambda v: math.sqrt(v)))),
    "sqrt is cmath.sqrt": globals_env(algebra=constant(module_with(sqrt=cmath.sqrt))),
}

FUNCTION_ENVS = {
    "sin a Python function": globals_env(sin=constant(lambda a: 0.5)),
    "sin math.sin": globals_env(sin=constant(math.sin)),
    "sin a bound method of a Python object": globals_env(sin=constant(Scale(0.01).apply)),
    "sin a partial of arctan": globals_env(sin=lambda m: functools.partial(own(m, "arctan"), 0.5)),
    "sin the module's own arctan2 (count error)": globals_env(sin=lambda m: own(m, "arctan2")),
    "sin the other build's sin": globals_env(sin=lambda m: own(OTHER[id(m)], "sin")),
    "sin the other build's arcsin": globals_env(sin=lambda m: own(OTHER[id(m)], "arcsin")),
    "sin returns an int": globals_env(sin=constant(lambda a: 1)),
    "sin returns True": globals_env(sin=constant(lambda a: True)),
    "sin returns 2**70": globals_env(sin=constant(lambda a: 2 ** 70)),
    "sin returns a Fraction": globals_env(sin=constant(lambda a: F(1, 2))),
    "sin's square 0.25": globals_env(sin=constant(lambda a: SquareIs(0.25))),
    "sin's square True": globals_env(sin=constant(lambda a: SquareIs(True))),
    "sin's square 0": globals_env(sin=constant(lambda a: SquareIs(0))),
    "sin's square 2**70": globals_env(sin=constant(lambda a: SquareIs(2 ** 70))),
    "sin's square -(2**40)": globals_env(sin=constant(lambda a: SquareIs(-(2 ** 40)))),
    "sin's square 1.5": globals_env(sin=constant(lambda a: SquareIs(1.5))),
    "sin's square a float subclass": globals_env(sin=constant(lambda a: SquareIs(FloatSub(0.25)))),
    "sin None": globals_env(sin=constant(None)),
    "sin deleted": globals_env(sin=DELETE),
    "sin from the builtins": lambda m: ({"sin": DELETE}, {"sin": math.sin}),
    "cosin returns the int 0": globals_env(cosin=constant(lambda a: 0)),
    "cosin returns -0.0": globals_env(cosin=constant(lambda a: -0.0)),
    "cosin returns 2": globals_env(cosin=constant(lambda a: 2)),
    "sin and cosin return ints, cosin 0": globals_env(sin=constant(lambda a: 1), cosin=constant(lambda a: 0)),
    "cosin the module's own sin": globals_env(cosin=lambda m: own(m, "sin")),
    "cosin deleted": globals_env(cosin=DELETE),
    "_tan_rad returns 1e200": globals_env(_tan_rad=constant(lambda t: 1e200)),
    "_tan_rad returns 1e154": globals_env(_tan_rad=constant(lambda t: 1e154)),
    "_tan_rad returns -1.4e154": globals_env(_tan_rad=constant(lambda t: -1.4e154)),
    "_tan_rad returns inf": globals_env(_tan_rad=constant(lambda t: INF)),
    "_tan_rad returns 2**32": globals_env(_tan_rad=constant(lambda t: 2 ** 32)),
    "_tan_rad returns 2**70": globals_env(_tan_rad=constant(lambda t: 2 ** 70)),
    "_tan_rad returns 10**200": globals_env(_tan_rad=constant(lambda t: 10 ** 200)),
    "_tan_rad returns True": globals_env(_tan_rad=constant(lambda t: True)),
    "_tan_rad returns a Fraction": globals_env(_tan_rad=constant(lambda t: F(1, 3))),
    "_tan_rad returns a Decimal": globals_env(_tan_rad=constant(lambda t: D("0.5"))),
    "_tan_rad math.tan": globals_env(_tan_rad=constant(math.tan)),
    "_tan_rad the module's own tan": globals_env(_tan_rad=lambda m: own(m, "tan")),
    "_tan_rad the module's own sin": globals_env(_tan_rad=lambda m: own(m, "sin")),
    "_tan_rad the other build's _tan_rad": globals_env(_tan_rad=lambda m: own(OTHER[id(m)], "_tan_rad")),
    "_tan_rad raises after 3 calls": globals_env(_tan_rad=lambda m: failing_after(3, ValueError)),
    "_tan_rad raises StopIteration after 3 calls": globals_env(_tan_rad=lambda m: failing_after(3, StopIteration)),
    "_tan_rad deleted": globals_env(_tan_rad=DELETE),
    "arctan math.atan": globals_env(arctan=constant(math.atan)),
    "arctan a Python function": globals_env(arctan=constant(lambda x, it=20: x)),
    "arctan returns an int": globals_env(arctan=constant(lambda x, it=20: 1)),
    "arctan the module's own _tan_rad": globals_env(arctan=lambda m: own(m, "_tan_rad")),
    "arctan the module's own arctan2": globals_env(arctan=lambda m: own(m, "arctan2")),
    "arctan the module's own sin": globals_env(arctan=lambda m: own(m, "sin")),
    "arctan a partial with iter": globals_env(arctan=lambda m: functools.partial(own(m, "arctan"), iter=3)),
    "arctan the other build's arctan": globals_env(arctan=lambda m: own(OTHER[id(m)], "arctan")),
    "arctan deleted": globals_env(arctan=DELETE),
    "arctan2 returns a tuple": globals_env(arctan2=constant(lambda x, y: (x, y))),
    "arctan2 math.atan2": globals_env(arctan2=constant(math.atan2)),
    "arctan2 the module's own arctan": globals_env(arctan2=lambda m: own(m, "arctan")),
    "arctan2 deleted": globals_env(arctan2=DELETE),
    "arcsin math.asin": globals_env(arcsin=constant(math.asin)),
    "arcsin the identity": globals_env(arcsin=constant(lambda x: x)),
    "arcsin the module's own tan": globals_env(arcsin=lambda m: own(m, "tan")),
    "arcsin a bound method of arctan2": globals_env(arcsin=lambda m: types.MethodType(own(m, "arctan2"), 1.0)),
    "arctan2 a bound method of arctan (count error)": globals_env(
        arctan2=lambda m: types.MethodType(own(m, "arctan"), 0.5)),
    "arcsin deleted": globals_env(arcsin=DELETE),
}

# Rebindings that make a function call itself without end, directly or
# through others: both builds stop at the same depth with RecursionError.
RECURSION_ENVS = {
    "sin the module's own tan": (globals_env(sin=lambda m: own(m, "tan")), [("tan", (30,)), ("sin", (30,))]),
    "sin the module's own cosin": (globals_env(sin=lambda m: own(m, "cosin")), [("cosin", (30,)), ("tan", (1.5,))]),
    "sin the module's own _tan_rad": (globals_env(sin=lambda m: own(m, "_tan_rad")),
                                      [("tan", (30,)), ("tan", ("abc",)), ("tan", (10 ** 400,)),
                                       ("_tan_rad", (1.0,))]),
    "sqrt the module's own _tan_rad": (globals_env(algebra=lambda m: types.SimpleNamespace(sqrt=own(m, "_tan_rad"))),
                                       [("cosin", (30,)), ("arcsin", (0.5,))]),
    "_tan_rad the module's own arctan": (globals_env(_tan_rad=lambda m: own(m, "arctan")), [("arctan", (0.5,))]),
    "arcsin the module's own arccos": (globals_env(arcsin=lambda m: own(m, "arccos")), [("arccos", (0.5,))]),
    "sin the module's own arccos": (globals_env(sin=lambda m: own(m, "arccos")), [("arcsin", (0.5,))]),
    "sqrt the module's own arctan": (globals_env(algebra=lambda m: module_with(sqrt=own(m, "arctan"))),
                                     [("cosin", (60,)), ("arctan2", (-1, 0.5))]),
    "sin a bound method of arctan2": (globals_env(sin=lambda m: types.MethodType(own(m, "arctan2"), 1.0)),
                                      [("cosin", (60,)), ("tan", (45,))]),
    "_tan_rad a bound method of arctan2": (globals_env(
        _tan_rad=lambda m: types.MethodType(own(m, "arctan2"), 2)), [("arctan", (0.5,)), ("arccos", (0,))]),
}


def looping_constants(m):
    # Reading `pi` calls sin again straight from native code.
    class Loop(int):
        pi = property(own(m, "sin"))
    return {"constants": Loop(1)}, {}


class Rebinding(SamenessCase):
    """Hand-offs forced from outside: sibling values of other types, sibling
    functions that return other types or raise, and module globals rebound to
    other callables (Python functions, bound methods, partials, built-ins,
    the module's own functions, the other build's functions) or deleted."""

    def run_envs(self, envs):
        for label, env in envs.items():
            with self.subTest(env=label):
                self.compare_calls(ENV_CALLS, env, what="calls with %s" % label)

    def test_constants(self):
        self.run_envs(CONSTANTS_ENVS)

    def test_algebra(self):
        self.run_envs(ALGEBRA_ENVS)

    def test_function_globals(self):
        self.run_envs(FUNCTION_ENVS)

    def test_nan_signs(self):
        # A NaN keeps its sign through int * float, 1 - float, float - float
        # and the like; only negation flips it, and most operations quiet a
        # signalling NaN. Callees and siblings that return NaNs of either sign,
        # quiet or signalling, put them through every later step.
        envs = {}
        for sign, nan in (("NaN", NAN), ("-NaN", NEG_NAN), ("a signalling NaN", SNAN),
                          ("a negative signalling NaN", NEG_SNAN)):
            value = constant(lambda *a, nan=nan: nan)
            envs["sin returns " + sign] = globals_env(sin=value)
            envs["cosin returns " + sign] = globals_env(cosin=value)
            envs["_tan_rad returns " + sign] = globals_env(_tan_rad=value)
            envs["arctan returns " + sign] = globals_env(arctan=value)
            envs["arctan2 returns " + sign] = globals_env(arctan2=value)
            envs["arcsin returns " + sign] = globals_env(arcsin=value)
            envs["sqrt returns " + sign] = globals_env(algebra=constant(types.SimpleNamespace(sqrt=value(None))))
            envs["pi " + sign] = globals_env(constants=constant(types.SimpleNamespace(pi=nan)))
        self.run_envs(envs)

    def test_huge_iter_with_cheap_steps(self):
        # Newton steps that fail after a few calls make any count cheap: the
        # machine count (2**40, 2**59) and range() (2**70, an int subclass)
        # must fail at the same step.
        calls = [("arctan", (x, it)) for x in (0.5, -2.0, 1)
                 for it in (2 ** 40, 2 ** 59, 2 ** 70, IntSub(2 ** 70), 10 ** 30)]
        for exc_type in (ValueError, StopIteration, OverflowError):
            with self.subTest(raised=exc_type.__name__):
                env = globals_env(_tan_rad=lambda m, exc_type=exc_type: failing_after(7, exc_type, 1e-3))
                self.compare_calls(calls, env, what="calls with _tan_rad raising %s" % exc_type.__name__)

    def test_zero_divisors(self):
        calls = [("tan", (a,)) for a in (90, 270, -90, 90.0, -270.0, 450, 360 * 10 ** 40 + 90, IntSub(90))]
        calls += [("_tan_rad", (k * PI / 2,)) for k in range(-5, 6)]
        calls += [("_tan_rad", (math.nextafter(k * PI / 2, s),)) for k in (-3, -1, 1, 3) for s in (-INF, INF)]
        self.compare_calls(calls, what="calls at poles")


NEAR_LIMIT_CALLS = [
    ("sin", (30,)), ("sin", (200.5,)), ("cosin", (60,)), ("tan", (45,)), ("_tan_rad", (1.0,)),
    ("arctan", (0.5, 2)), ("arctan", (2, 1)), ("arctan2", (-1, 1)), ("arctan2", (0, -1)),
    ("arcsin", (0.5,)), ("arccos", (0.5,)),
    # Calls whose Newton steps come back to an earlier theta (see CYCLES),
    # reaching the innermost sin and sqrt through reflections and arctan2.
    ("arctan", (0.5,)), ("arctan", (0.25, 30)), ("arctan", (-2.0, 40)), ("arctan2", (1.0, 0.5)),
    ("arctan2", (-1.0, -0.25)), ("arcsin", (-0.128,)), ("arccos", (0.003,)), ("arccos", (-0.994,)),
]


class RecursionLimit(SamenessCase):
    """Near the recursion limit the step that fails is observable: the same
    call started a few levels below the limit must succeed, or fail with the
    same message and entries, in both builds. Each generic comparison, call
    and body entry takes a level, and the machine paths must account for
    the same levels."""

    def test_calls_near_the_limit(self):
        mismatches = []
        total = 0
        for name, args in NEAR_LIMIT_CALLS:
            # The frames counted here are not all the levels in use, so the
            # margins start close enough to reach the limit before the call.
            for margin in range(0, 60):
                got = []
                for _, module in builds():
                    levels = sys.getrecursionlimit() - frame_depth() - margin
                    got.append(below(levels, refmodel.outcome, own(module, name), args, refmodel.native_entries))
                total += 1
                if got[0] != got[1]:
                    mismatches.append("  %s %d levels below the limit: %s / %s" % (
                        call_text(name, args), margin,
                        "not reached" if got[0] is None else show((got[0], ())),
                        "not reached" if got[1] is None else show((got[1], ()))))
        self.assertNoMismatches("calls near the recursion limit", mismatches, total)

    def test_runaway_recursion(self):
        for label, (env, calls) in RECURSION_ENVS.items():
            with self.subTest(env=label):
                self.compare_calls(calls, env, what="calls with %s" % label)
        with self.subTest(env="pi a property calling sin"):
            self.compare_calls([("sin", (1,)), ("arccos", (0.5,))], looping_constants,
                               what="calls with pi calling sin")


class CachesFollowChanges(SamenessCase):
    """Cached reads of globals and of module attributes must notice every
    change between calls: the same sequence of changes and calls gives the
    same outcomes in both builds."""

    CALLS = [("sin", (30,)), ("cosin", (60,)), ("_tan_rad", (1.0,)), ("arctan", (2,)),
             ("arctan2", (0, 1)), ("arcsin", (0.5,)), ("arccos", (0.5,))]

    def sequence(self, module, steps):
        out = []
        with rebound(module):
            for label, change in steps:
                change(module)
                for name, args in self.CALLS:
                    label_of_call = "%s, then %s" % (label, call_text(name, args))
                    out.append((label_of_call, observe(own(module, name), args)))
        return out

    def compare_sequences(self, make_steps):
        runs = [self.sequence(m, make_steps(m)) for _, m in builds()]
        mismatches = ["  %s: %s / %s" % (label, show(a), show(b))
                      for (label, a), (_, b) in zip(*runs) if a != b]
        self.assertNoMismatches("steps", mismatches, len(runs[0]))

    def test_constants_module_changes(self):
        def steps(m):
            c = module_with(pi=3.0)
            c2 = module_with(pi=3.0)

            def setpi(v):
                def change(_):
                    c.pi = v
                return change

            def delpi(_):
                del c.pi

            def set_class(cls):
                def change(_):
                    c.__class__ = cls
                return change

            def bind(obj):
                def change(mod):
                    vars(mod)["constants"] = obj
                return change
            return [
                ("constants a fresh module", bind(c)),
                ("the same again", lambda mod: None),
                ("pi 2.5", setpi(2.5)),
                ("pi an int", setpi(3)),
                ("pi a float subclass", setpi(FloatSub(3.0))),
                ("pi deleted", delpi),
                ("a module __getattr__", lambda mod: setattr(c, "__getattr__", lambda name: 1.5)),
                ("pi 2.0 beside __getattr__", setpi(2.0)),
                ("a module subclass with a pi property", set_class(PropertyModule)),
                ("back to a plain module", set_class(types.ModuleType)),
                ("another module with an equal pi", bind(c2)),
                ("the first module again", bind(c)),
                ("constants deleted", lambda mod: vars(mod).pop("constants")),
                ("constants the first module again", bind(c)),
            ]
        self.compare_sequences(steps)

    def test_shared_constants_module(self):
        # The sibling module itself is shared by both builds: change it and
        # restore it within each run.
        real = vars(SHIPPED)["constants"]
        saved = real.pi

        def steps(m):
            def setpi(v):
                def change(_):
                    real.pi = v
                return change
            return [("pi 3", setpi(3)), ("pi 1.5", setpi(1.5)), ("pi restored", setpi(saved))]
        try:
            self.compare_sequences(steps)
        finally:
            real.pi = saved

    def test_algebra_module_changes(self):
        def steps(m):
            a = module_with(sqrt=math.sqrt)

            def setsqrt(v):
                def change(_):
                    a.sqrt = v
                return change
            return [
                ("algebra a fresh module", lambda mod: vars(mod).__setitem__("algebra", a)),
                ("sqrt the identity", setsqrt(lambda v: v)),
                ("sqrt returns ints", setsqrt(lambda v: 1)),
                ("sqrt the module's own sin", setsqrt(own(m, "sin"))),
                ("sqrt deleted", lambda mod: delattr(a, "sqrt")),
                ("sqrt math.sqrt again", setsqrt(math.sqrt)),
            ]
        self.compare_sequences(steps)

    def test_function_globals_change(self):
        def steps(m):
            def bind(name, value):
                def change(mod):
                    if value is DELETE:
                        vars(mod).pop(name, None)
                    else:
                        vars(mod)[name] = value
                return change
            return [
                ("sin a Python function", bind("sin", lambda a: 0.5)),
                ("sin the module's own sin again", bind("sin", own(m, "sin"))),
                ("sin deleted", bind("sin", DELETE)),
                ("sin in the builtins", lambda mod: setattr(builtins, "sin", lambda a: 0.25)),
                ("sin gone from the builtins", lambda mod: delattr(builtins, "sin")),
                ("sin back", bind("sin", own(m, "sin"))),
                ("_tan_rad math.tan", bind("_tan_rad", math.tan)),
                ("arctan math.atan", bind("arctan", math.atan)),
                ("arctan back", bind("arctan", own(m, "arctan"))),
                ("_tan_rad back", bind("_tan_rad", own(m, "_tan_rad"))),
            ]
        try:
            self.compare_sequences(steps)
        finally:
            vars(builtins).pop("sin", None)


# ----------------------------------------------------------------------------
# Values the shipped build may share or skip: while only the module's own code
# can run, it may take one sine for several calls and end arctan's steps once
# theta repeats. Each case breaks a condition, before or during a call.

# (x, the step whose theta recurs, the cycle length) for arctan's steps from
# 0.0 (for 1/x beyond +-1) with the shipped pi and sqrt. Of random x in -1..1
# about 30% end in a fixed point, 19% in a 2-cycle, 8% in a 3-cycle and 8% in
# a 9-cycle, half repeat by step 8, and the smaller |x| the longer the cycle.
CYCLES = [
    (0.0, 0, 1), (-0.1, 3, 1), (1 / math.sqrt(3), 6, 1), (0.5, 6, 2), (1.0, 7, 2), (0.25, 4, 3),
    (-0.1265, 3, 4), (-0.127, 3, 5), (-0.114, 3, 6), (-0.1115, 3, 7), (-0.1193, 3, 8), (-1.0, 6, 9),
    (-0.5, 5, 16), (-0.13048, 3, 17), (-0.121, 3, 35), (-0.12, 3, 71), (-0.0053433250553487355, 2, 143),
    (-0.0010470143006857668, 2, 4575), (3.0, 5, 1), (2.0, 6, 2), (-3.0, 4, 9), (-2.0, 5, 16),
]
LONG_RUNS = {0.0, 0.5, 0.25, -0.5, -0.0010470143006857668, 2.0}      # also with iter=10**6
# arcsin and arccos arguments whose arctan ends in cycles of 1 to 9, 16 and 17.
CYCLE_SINES = [0.0, 0.003, 0.0026, -0.128, -0.187, -0.079, -0.994, -0.08, -0.995, -0.0418, -0.13]


def spied(name):
    return lambda m, tape: {name: recnum.spy_function(name, own(m, name), tape)}


def changing_pi(m, tape):
    class ChangingPi(types.ModuleType):     # each read logged, and another exact float
        pi = property(lambda self: tape.note("getattr", "pi") or PI + len(tape.log) % 3 * 1e-3)
    return {"constants": ChangingPi("c")}


# One callee or sibling spied (calls and reads logged), the rest plain.
ONE_SPY_ENVS = {name: spied(name) for name in ("sin", "cosin", "_tan_rad", "arctan", "arctan2", "arcsin")}
ONE_SPY_ENVS["sqrt a Python function"] = lambda m, tape: {
    "algebra": module_with(sqrt=recnum.spy_function("sqrt", math.sqrt, tape))}
ONE_SPY_ENVS["pi a property that changes"] = changing_pi
ONE_SPY_CALLS = [("sin", (30,)), ("cosin", (60,)), ("cosin", (300.0,)), ("tan", (45,)), ("_tan_rad", (1.0,)),
                 ("arctan", (0.5,)), ("arctan", (2.0,)), ("arctan", (-0.5, 40)), ("arctan2", (-1, 1)),
                 ("arcsin", (0.5,)), ("arccos", (-0.994,))]


class Doomed:
    """Garbage in a reference cycle: the collection that frees it runs action."""

    def __init__(self, action):
        self.action, self.cycle = action, self

    def __del__(self):
        self.action()


class SharedValues(TapeCase):
    def test_cycles(self):
        mismatches, total = [], 0
        for x, start, length in CYCLES:
            # The plain steps repeat from theta_start = theta_start+length on:
            # a huge iter gives what its remainder gives.
            recur = [observe(own(PLAIN, "arctan"), (x, it)) for it in (start, start + length)]
            self.assertEqual(recur[0], recur[1], "arctan(%r) has no cycle of %d at %d" % (x, length, start))
            iters = list(range(31)) + [start + length + k for k in (-1, 0, 1, length + 1)] + [10 ** 5 + 3]
            for it in iters + [10 ** 6] * (x in LONG_RUNS):
                got = observe(own(SHIPPED, "arctan"), (x, it))
                expected = observe(own(PLAIN, "arctan"), (x, it if it < 20000 else start + (it - start) % length))
                total += 1
                if got != expected:
                    mismatches.append("  arctan(%r, %d): %s / %s" % (x, it, show(got), show(expected)))
        self.assertNoMismatches("calls of arctan ending in cycles", mismatches, total)
        calls = [("arctan2", (1.0, x)) for x, _, _ in CYCLES] + [("arctan2", (-1.0, -x)) for x, _, _ in CYCLES]
        self.compare_calls(calls + [(n, (s,)) for n in ("arcsin", "arccos") for s in CYCLE_SINES])

    def test_one_spied_callee(self):
        for label, env in ONE_SPY_ENVS.items():
            for name, args in ONE_SPY_CALLS:
                with self.subTest(env=label, call=call_text(name, args)):
                    def make_call(m, tape, env=env, name=name):
                        return rebound_call(m, name, env(m, tape)), args
                    self.check("%s with %s" % (call_text(name, args), label), make_call)

    def test_finalizer_rebinds_a_global(self):
        # Garbage made before the call (k = 0) or in the k-th call of a Python
        # sqrt, then the collector's threshold set to 1: the sets that follow
        # set off a collection, at once up to 3.11; from 3.12 at the next look
        # at pending work, as arctan's signal check at step 255 is.
        rebinds = {"sin spied": spied("sin"), "pi 3.0": lambda m, tape: {"constants": module_with(pi=3.0)}}
        calls = [("cosin", (60,)), ("tan", (45,)), ("_tan_rad", (1.0,)), ("arctan", (0.5,)),
                 ("arctan", (-0.5, 600)), ("arcsin", (0.5,)), ("arccos", (0.003,)), ("arctan2", (-1, 1))]
        for (label, rebind), (python_sqrt, k), (name, args) in itertools.product(
                rebinds.items(), ((False, 0), (True, 0), (True, 1), (True, 3)), calls):
            def make_call(m, tape, rebind=rebind, python_sqrt=python_sqrt, k=k, name=name):
                kept, fn = [], own(m, name)

                def doom(count):
                    if count == k:
                        Doomed(lambda: tape.mark("finalizer") or vars(m).update(rebind(m, tape)))
                        gc.set_threshold(1)
                    return [{None}, {None}, {None}, {None}]     # sets: always counted (no free list)

                def sqrt(v):
                    kept.append(doom(len(kept) + 1))
                    return math.sqrt(v)

                def run(*a):
                    thresholds = gc.get_threshold()
                    with rebound(m, {"algebra": module_with(sqrt=sqrt)} if python_sqrt else {}):
                        try:
                            gc.collect(0)
                            gc.set_threshold(10 ** 6)
                            sets = doom(0)      # held, so that the collection stays due
                            return fn(*a)
                        finally:
                            gc.set_threshold(*thresholds)
                            gc.collect(0)
                return run, args
            with self.subTest(call=call_text(name, args), rebind=label, python_sqrt=python_sqrt, k=k):
                self.run_both(make_call)        # once first: the interpreter's caches warm up
                (got, got_tape), (expected, expected_tape) = self.run_both(make_call)
                self.assertEqual(show(got), show(expected))
                self.assertEqual((got, got_tape.log), (expected, expected_tape.log))


def recording_pi(log):
    class PiRecorder(float):                # each division by it logged
        def __rtruediv__(self, other):
            return logged(log, other) / float(self)
    return PiRecorder(3.0)


def logged(log, value):
    log.append(recnum.desc(value))
    if len(log) > 600:
        raise LookupError("value %d" % len(log))
    return value


def logger(name):
    return lambda m, log: vars(m).__setitem__(name, lambda a, fn=own(m, name): fn(logged(log, a)))


def set_pi(make):
    return lambda m, log: setattr(vars(m)["constants"], "pi", make(log))


# What a signal handler does on its first (and second) run.
SIGNAL_CHANGES = {
    "_tan_rad a logging wrapper": [logger("_tan_rad")],
    "sin a logging wrapper": [logger("sin")],
    "cosin a logging wrapper": [logger("cosin")],
    "pi a float subclass of another value": [set_pi(recording_pi)],
    "pi NaN": [set_pi(lambda log: NAN)],
    "pi an equal float, then _tan_rad a logging wrapper": [set_pi(lambda log: float(repr(PI))), logger("_tan_rad")],
}


@unittest.skipUnless(hasattr(signal, "setitimer"), "no interval timer")
class SignalHandlerRebinds(SamenessCase):
    """A timer's handler, run by arctan's signal check (before steps s with
    s % 256 == 255), changes what the later steps use; for cycles whose length
    divides 256, what they log and how the call fails match in both builds."""

    def interrupted(self, module, x, changes):
        # One deadline for the whole test: a run takes a few hundredths of a
        # second, and once one has overrun, every later one stops at once.
        log, ticks, deadline = [], [], self.deadline

        def on_alarm(signum, frame):
            ticks.append(None)
            if len(ticks) <= len(changes):
                changes[len(ticks) - 1](module, log)
            elif time.monotonic() > deadline:
                raise TimeoutError("still running")
        constants, pi = vars(module)["constants"], vars(module)["constants"].pi
        previous = signal.signal(signal.SIGALRM, on_alarm)
        try:
            with rebound(module):
                signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
                got = observe(own(module, "arctan"), (x, 10 ** 15))
                signal.setitimer(signal.ITIMER_REAL, 0)
                [None for _ in range(3)]        # runs a signal already pending
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            constants.pi = pi
        # A change made before the call (a very late start) logs theta 0.0 first.
        return None if log[:1] == [recnum.desc(0.0)] else (got, log)

    def test_handler_rebinds_during_arctan(self):
        self.deadline = time.monotonic() + 30
        for label, changes in SIGNAL_CHANGES.items():
            for x in (-0.1, 0.5, -0.5, 2.0):       # cycles of 1, 2 and 16 steps
                with self.subTest(change=label, x=x):
                    runs = [next(r for r in (self.interrupted(m, x, changes) for _ in range(5)) if r)
                            for _, m in builds()]
                    self.assertEqual(show(runs[0][0]), show(runs[1][0]))
                    self.assertEqual(runs[0], runs[1])
                    self.assertEqual(runs[0][0][0][0], "raise")



# ----------------------------------------------------------------------------
# Bulk calls: the shipped build's f.map() against the plain build's loop


# What no result can be: a NaN of its own payload marks elements left untouched.
UNTOUCHED = struct.unpack("<d", bytes.fromhex("efbeadde0000f87f"))[0]


def bulk_outcome(action):
    """(outcome record, warnings raised) of action(), as observe() gives them."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            action()
            record = ("return",)
        except Exception as exc:
            record = ("raise", type(exc), str(exc), tuple(refmodel.native_entries(exc)))
    return record, tuple((w.category, str(w.message)) for w in caught)


def loop_into(fn, columns, kwargs, out):
    """The loop that f.map(*columns, out=out, **kwargs) stands for: each
    element called in turn and stored into out as array('d') stores it."""
    def loop():
        for j, args in enumerate(zip(*columns)):
            result = fn(*args, **kwargs)
            try:
                out[j] = result
            except (TypeError, OverflowError):
                raise TypeError("%s.map() cannot store the result for element %d as a double" % (fn.__name__, j))
    return bulk_outcome(loop)


def map_into(fn, columns, kwargs, out):
    def mapped():
        if fn.map(*columns, out=out, **kwargs) is not out:
            raise AssertionError("map() did not return out")
    return bulk_outcome(mapped)


def bulk_parting(got, expected):
    """Where a map and its loop part: their outcomes, or the first element
    stored differently."""
    (record, caught), out = got
    (want, want_caught), want_out = expected
    if (record, caught) != (want, want_caught):
        return "%s / %s" % tuple(show(o) if o[0][0] == "raise" else "returned" for o in (got[0], expected[0]))
    j = next(j for j in range(0, len(out), 8) if out[j:j + 8] != want_out[j:j + 8]) // 8
    return "element %d stored as %s / %s" % (j, out[8 * j:8 * j + 8].hex(), want_out[8 * j:8 * j + 8].hex())


class MapSameness(SamenessCase):
    """f.map() of the shipped build gives what the loop of the plain build
    gives: each element's bits, the first failure (type, message, traceback
    entries, warnings), the elements before it stored and those after it
    untouched; the calls after a failure are mapped again from there."""

    BATCH = 48

    def compare_maps(self, calls, env=None, what="mapped calls", as_buffer=False):
        batches = []
        for call in calls:
            key = (call[0], len(call[1]), tuple(sorted((call[2] if len(call) > 2 else {}).items(), key=repr)))
            if batches and batches[-1][0] == key and len(batches[-1][1]) < self.BATCH:
                batches[-1][1].append(call[1])
            else:
                batches.append((key, [call[1]]))
        mismatches = []
        for (name, arity, kw), args_list in batches:
            kwargs = dict(kw)
            while args_list:
                columns = [list(c) for c in zip(*args_list)] if arity else []
                if as_buffer:
                    columns = [array.array("d", c) for c in columns]
                got = []
                for label, module in builds():
                    replacements, builtin_replacements = env(module) if env else ({}, {})
                    out = array.array("d", [UNTOUCHED] * len(args_list))
                    run = map_into if label == "shipped" else loop_into
                    with rebound(module, replacements, builtin_replacements):
                        observed = run(own(module, name), columns, kwargs, out)
                    got.append((observed, out.tobytes()))
                if got[0] != got[1]:
                    mismatches.append("  %s.map over %s: %s" % (name, brief(args_list, 120), bulk_parting(*got)))
                done = next((j for j in range(len(args_list))
                             if struct.pack("<d", UNTOUCHED) == got[1][1][8 * j:8 * j + 8]), len(args_list))
                args_list = args_list[done + 1:]
        self.assertNoMismatches(what, mismatches, len(calls))

    def test_generated_arguments(self):
        for name in NAMES:
            with self.subTest(name=name):
                calls = [(name, args) for args in inputs.ARGS[name](SEED + NAMES.index(name), COUNTS[name] // 4)]
                self.compare_maps(calls, what="mapped calls of %s" % name)
                floats = [c for c in calls if all(type(a) is float for a in c[1])]
                self.compare_maps(floats, what="mapped buffers of %s" % name, as_buffer=True)

    def test_edge_values(self):
        calls = [(name, (v,)) for name in ("sin", "cosin", "tan", "_tan_rad", "arctan", "arcsin", "arccos")
                 for v in EDGE_VALUES]
        calls += [("arctan2", (x, y)) for x in ARCTAN2_XS for y in ARCTAN2_YS]
        calls += [("arctan", (x,), {"iter": it}) for x in [0.5, -3.0, 1, NAN] for it in ITERS]
        self.compare_maps(calls, what="mapped edge calls")

    def test_rebound_globals(self):
        for envs in (CONSTANTS_ENVS, ALGEBRA_ENVS, FUNCTION_ENVS):
            for label, env in envs.items():
                with self.subTest(env=label):
                    self.compare_maps(ENV_CALLS, env, what="mapped calls with %s" % label)

    def test_spied_globals(self):
        # The stand-ins see the same reads and calls, in the same order.
        for name in NAMES:
            columns = [list(c) for c in zip(*SPY_ARGS[name])]
            if name == "arctan":
                columns = [[0.5, 2, -3.0, 0.5]]
            runs = []
            for label, module in builds():
                tape = Tape()
                replacements = {"constants": recnum.SpyConstants(PI, tape),
                                "algebra": recnum.SpyAlgebra(math.sqrt, tape)}
                replacements.update({n: recnum.spy_function(n, own(module, n), tape) for n in NAMES if n != name})
                out = array.array("d", [UNTOUCHED] * len(columns[0]))
                run = map_into if label == "shipped" else loop_into
                with rebound(module, replacements):
                    observed = run(own(module, name), columns, {}, out)
                runs.append((observed, out.tobytes(), tape.log))
            with self.subTest(name=name):
                self.assertEqual(runs[0], runs[1])

if __name__ == "__main__":
    unittest.main()
