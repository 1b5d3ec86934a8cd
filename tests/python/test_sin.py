"""Values and failures of sin."""

import datetime
import decimal
import fractions
import gc
import math
import sys
import types
import unittest

from inputs import BadTruth, Boom, FloatSub, IntSub
from refmodel import native_entries
from trig_support import SIN, catch, message_of, preserved_namespace, trig

sin = trig.sin
PI = 3.141592653589793
TOL = 1e-15


class Probe:
    """Number stand-in that logs every operation applied to it.

    Each operation returns the probe itself; `fail` names one logged
    operation (name, operand) that raises Boom instead, and `bad_truth`
    names a comparison whose result cannot be tested for truth.
    """

    def __init__(self, fail=None, bad_truth=None, ge=False, gt=False,
                 lt=False, loops=0):
        self.fail, self.bad_truth, self.loops = fail, bad_truth, loops
        self.answers = {"ge": ge, "gt": gt, "lt": lt}
        self.log = []

    def _op(self, name, operand=None):
        entry = (name, "self" if operand is self else operand)
        self.log.append(entry)
        if entry == self.fail:
            raise Boom(name)
        return self

    def _compare(self, name, operand):
        self._op(name, operand)
        if name == "gt" and isinstance(operand, float):
            name = "tol"
            answer = self.loops > 0
            self.loops -= 1
        else:
            answer = self.answers[name]
        return BadTruth() if name == self.bad_truth else answer

    def __ge__(self, o): return self._compare("ge", o)
    def __gt__(self, o): return self._compare("gt", o)
    def __lt__(self, o): return self._compare("lt", o)
    def __mod__(self, o): return self._op("mod", o)
    def __isub__(self, o): return self._op("isub", o)
    def __rsub__(self, o): return self._op("rsub", o)
    def __mul__(self, o): return self._op("mul", o)
    def __imul__(self, o): return self._op("imul", o)
    def __truediv__(self, o): return self._op("div", o)
    def __radd__(self, o): return self._op("radd", o)
    def __abs__(self): return self._op("abs")
    def __neg__(self): return self._op("neg")


class ValueTest(unittest.TestCase):

    def assertSame(self, got, expected):
        self.assertIs(type(got), float)
        self.assertEqual(got, expected)
        self.assertEqual(math.copysign(1.0, got), math.copysign(1.0, expected))

    def test_worked_values(self):
        cases = {0: 0.0, 360: 0.0, 180: 0.0, -180: 0.0, 30: 0.5, 150: 0.5,
                 90: 1.0, 270: -1.0, -90: -1.0, -30: -0.5, 210: -0.5,
                 330: -0.5}
        for angle, expected in cases.items():
            with self.subTest(angle=angle):
                self.assertSame(sin(angle), expected)
                self.assertSame(sin(float(angle)), expected)

    def test_quadrants_are_symmetric(self):
        self.assertAlmostEqual(sin(45), math.sqrt(0.5), delta=TOL)
        self.assertEqual(sin(225), -sin(45))
        self.assertEqual(sin(315), -sin(45))
        self.assertEqual(sin(135), sin(45))

    def test_agrees_with_math_sin(self):
        for angle in range(-1080, 1081, 7):
            with self.subTest(angle=angle):
                expected = math.sin(math.radians(angle % 360))
                self.assertAlmostEqual(sin(angle), expected, delta=4 * TOL)
                self.assertEqual(sin(float(angle)), sin(angle))
        for angle in [0.5, 12.25, 89.999, 179.5, -0.75, 359.9, 1e6 + 0.5]:
            with self.subTest(angle=angle):
                self.assertAlmostEqual(sin(angle), math.sin(math.radians(angle)),
                                       delta=1e-12)

    def test_int_reduction_is_exact_at_every_size(self):
        for angle in [2 ** 29 + 5, -(2 ** 29 + 5), 2 ** 30, 2 ** 40 + 7,
                      -(2 ** 40 + 7), 2 ** 59, -(2 ** 60 - 1), 2 ** 60,
                      2 ** 70, -(2 ** 70), 10 ** 40 + 30]:
            with self.subTest(angle=angle):
                self.assertEqual(sin(angle), sin(angle % 360))

    def test_other_number_types(self):
        self.assertEqual(sin(True), sin(1))
        self.assertEqual(sin(False), 0.0)
        self.assertEqual(sin(IntSub(30)), 0.5)
        self.assertEqual(sin(FloatSub(-150.0)), -0.5)
        self.assertEqual(sin(fractions.Fraction(30)), 0.5)
        self.assertEqual(sin(fractions.Fraction(-45, 2)), sin(-22.5))

    def test_tiny_and_non_finite_angles(self):
        for angle in [-1e-20, 1e-14, -1e-14, 5e-324, float("nan"),
                      float("inf"), float("-inf")]:
            with self.subTest(angle=angle):
                self.assertSame(sin(angle), 0.0)

    def test_operation_order(self):
        probe = Probe(ge=True, lt=True, loops=1)
        self.assertIs(sin(probe), probe)
        self.assertEqual(probe.log, [
            ("mod", 360), ("ge", 180), ("isub", 360), ("gt", 90),
            ("lt", -90), ("rsub", -180), ("mul", PI), ("div", 180),
            ("abs", None), ("gt", TOL), ("radd", 0.0), ("neg", None),
            ("mul", "self"), ("div", 6), ("imul", "self"),
            ("abs", None), ("gt", TOL)])
        probe = Probe(gt=True)
        sin(probe)
        self.assertEqual(probe.log[:4],
                         [("mod", 360), ("ge", 180), ("gt", 90), ("rsub", 180)])


class FailureTest(unittest.TestCase):

    def assertFailsAt(self, arg, line, exc=TypeError, msg=None):
        err = catch(self, exc, sin, arg)
        self.assertEqual(native_entries(err), [(SIN, line)])
        if msg is not None:
            self.assertEqual(str(err), msg)

    def test_unsuitable_arguments(self):
        self.assertFailsAt(
            "abc", 19, msg=message_of("'abc' % 360"))
        self.assertFailsAt("%d", 20, msg=message_of("'%d' % 360 >= 180"))
        self.assertFailsAt(None, 19, msg=message_of("None % 360"))
        self.assertFailsAt(1j, 19)
        self.assertFailsAt(
            decimal.Decimal(30), 30, msg=message_of("decimal.Decimal(30) * math.pi"))

    def test_failing_steps_report_their_line(self):
        cases = [
            (dict(fail=("mod", 360)), 19),
            (dict(fail=("ge", 180)), 20),
            (dict(bad_truth="ge"), 20),
            (dict(ge=True, fail=("isub", 360)), 21),
            (dict(fail=("gt", 90)), 24),
            (dict(bad_truth="gt"), 24),
            (dict(gt=True, fail=("rsub", 180)), 25),
            (dict(fail=("lt", -90)), 26),
            (dict(bad_truth="lt"), 26),
            (dict(lt=True, fail=("rsub", -180)), 27),
            (dict(fail=("mul", PI)), 30),
            (dict(fail=("div", 180)), 30),
            (dict(fail=("abs", None)), 37),
            (dict(fail=("gt", TOL)), 37),
            (dict(bad_truth="tol"), 37),
            (dict(loops=1, fail=("radd", 0.0)), 38),
            (dict(loops=1, fail=("neg", None)), 40),
            (dict(loops=1, fail=("mul", "self")), 40),
            (dict(loops=1, fail=("div", 6)), 40),
            (dict(loops=1, fail=("imul", "self")), 40),
        ]
        for config, line in cases:
            with self.subTest(config=config):
                probe = Probe(**config)
                before = sys.getrefcount(probe)
                self.assertFailsAt(probe, line, Boom)
                for _ in range(3):
                    probe.loops = config.get("loops", 0)
                    try:
                        sin(probe)
                    except Boom:
                        pass
                # Every object held by the failing call has been released.
                gc.collect()
                self.assertEqual(sys.getrefcount(probe), before)

    def test_successful_call_releases_its_objects(self):
        probe = Probe(ge=True, lt=True)
        before = sys.getrefcount(probe)
        for _ in range(3):
            probe.loops = 1
            sin(probe)
        self.assertEqual(sys.getrefcount(probe), before)

    def test_missing_pi(self):
        with preserved_namespace():
            trig.constants = types.ModuleType("geometry.constants")
            self.assertFailsAt(
                30, 30, AttributeError,
                "module 'geometry.constants' has no attribute 'pi'")

    def test_unsuitable_pi(self):
        with preserved_namespace():
            trig.constants = types.SimpleNamespace(pi=None)
            self.assertFailsAt(30, 30)
            trig.constants = types.SimpleNamespace(pi="pi")
            self.assertFailsAt(30, 30)      # the product is a str
            trig.constants = types.SimpleNamespace(pi=datetime.timedelta(1))
            self.assertFailsAt(             # x cannot be compared with 1e-15
                30, 37, msg="'>' not supported between instances of "
                "'datetime.timedelta' and 'float'")


if __name__ == "__main__":
    unittest.main()
