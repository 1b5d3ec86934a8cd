"""Calls leave nothing behind: no memory blocks and no references, on
success, on every kind of failure and for every way of passing keywords."""

import array
import gc
import itertools
import math
import sys
import unittest

import refmodel
from inputs import NAN, FloatSub, hostile_type
from reliability_support import KEYWORD_FORMS, Deep, Num, make_call_passing, run
from trig_support import trig

# A number whose every operation fails.
Bad = hostile_type("raises")


def fresh(text):
    """A float or int object made here, shared with nothing else."""
    return float(text) if "." in text or "e" in text else int(text)


# (function, positional arguments, keywords or None). Keyword calls run in
# every keyword form.
CASES = [
    ("sin", (30,), None), ("sin", (fresh("30.5"),), None),
    ("sin", (FloatSub(100.5),), None), ("sin", (fresh("1000000000000000000000000000007"),), None),
    ("sin", (Num(fresh("30.5")),), None), ("sin", (Deep(fresh("200.5")),), None),
    ("sin", ("abc",), None), ("sin", (Bad(),), None),
    ("sin", (1, 2), None), ("sin", (), {"angle": fresh("45.5")}), ("sin", (), {"x": 1}),
    ("cosin", (60,), None), ("cosin", (fresh("200.5"),), None), ("cosin", (NAN,), None),
    ("cosin", (Num(fresh("135.0")),), None), ("cosin", ("abc",), None), ("cosin", (Bad(),), None),
    ("cosin", (), {"angle": fresh("60.25")}),
    ("tan", (45,), None), ("tan", (90,), None), ("tan", (FloatSub(45.0),), None),
    ("tan", (Bad(),), None), ("tan", (), {"angle": fresh("30.5")}),
    ("_tan_rad", (fresh("1.5"),), None), ("_tan_rad", (1,), None), ("_tan_rad", (Num(fresh("0.5")),), None),
    ("_tan_rad", ("abc",), None), ("_tan_rad", (10 ** 400,), None), ("_tan_rad", (math.pi / 2,), None),
    ("_tan_rad", (), {"rad": fresh("0.75")}),
    ("arctan", (fresh("0.5"),), None), ("arctan", (fresh("2.5"),), None), ("arctan", (-3,), None),
    ("arctan", (fresh("0.5"), 3), None), ("arctan", (FloatSub(0.5), True), None),
    ("arctan", (fresh("0.5"), fresh("2.0")), None), ("arctan", (Bad(),), None), ("arctan", (NAN,), None),
    ("arctan", (), {"x": fresh("-0.5"), "iter": 4}), ("arctan", (), {"iter": 4}),
    ("arctan2", (1, 1), None), ("arctan2", (fresh("-1.5"), -1), None), ("arctan2", (-1, fresh("0.5")), None),
    ("arctan2", (0, 1), None), ("arctan2", (0, -1), None), ("arctan2", (0, 0), None),
    ("arctan2", (Num(fresh("1.0")), 2), None), ("arctan2", (Deep(-1.0), Deep(fresh("0.5"))), None),
    ("arctan2", ("a", 1), None), ("arctan2", (1, Bad()), None),
    ("arctan2", (1,), {"y": fresh("2.5")}),
    ("arcsin", (fresh("0.5"),), None), ("arcsin", (2,), None), ("arcsin", (Num(fresh("0.5")),), None),
    ("arcsin", ("a",), None), ("arcsin", (), {"x": fresh("0.25")}),
    ("arccos", (fresh("0.5"),), None), ("arccos", (fresh("2.0"),), None), ("arccos", (None,), None),
    ("arccos", (), {"x": fresh("-0.25")}),
]

WARMUP = 100
ROUNDS = 1000
# Blocks that may come and go with free lists and caches between two counts;
# a leak of one block per call shows as at least ROUNDS.
NOISE = 100
REFCOUNT_ROUNDS = 200


def calls_of(name):
    """(call, objects it passes) for every case of the function."""
    return [make_call_passing(trig, n, args, kw or {}, form)
            for n, args, kw in CASES if n == name
            for form in (KEYWORD_FORMS if kw else ("pos",)) + ("map",)]


def looked_up():
    """The objects the bodies read from the module globals."""
    ns = vars(trig)
    return [ns[f] for f in refmodel.FUNCTION_NAMES] + [
        ns["constants"], ns["algebra"], ns["constants"].pi, ns["algebra"].sqrt,
        trig.arctan(0.5, 0), 20]  # the shared float 0.0 and the default `iter`


def refcounts(objects):
    # Kept in an array: a list of ints would hold references to the small
    # ints among the objects whenever a count happens to equal one of them.
    gc.collect()
    return array.array("q", map(sys.getrefcount, objects))


@refmodel.for_each_function("check_blocks")
class AllocatedBlocksTest(unittest.TestCase):
    """sys.getallocatedblocks() stays flat over many calls."""

    def check_blocks(self, name):
        if sys.getallocatedblocks() == 0:
            self.skipTest("the interpreter's allocator counts no blocks")
        calls = [call for call, _ in calls_of(name)]

        def rounds(count):
            for _ in itertools.repeat(None, count):
                for call in calls:
                    run(call)
        rounds(WARMUP)
        gc.collect()
        before = sys.getallocatedblocks()
        rounds(ROUNDS)
        gc.collect()
        growth = sys.getallocatedblocks() - before
        self.assertLess(growth, NOISE, "%d blocks more after %d calls of %s"
                        % (growth, ROUNDS * len(calls), name))


@refmodel.for_each_function("check_references")
class ReferenceCountTest(unittest.TestCase):
    """Every object a call passes or reads keeps its reference count."""

    def check_references(self, name):
        for call, passed in calls_of(name):
            objects = list(passed) + looked_up()
            run(call)
            before = refcounts(objects)
            for _ in itertools.repeat(None, REFCOUNT_ROUNDS):
                run(call)
            after = refcounts(objects)
            changed = [(o, a - b) for o, b, a in zip(objects, before, after) if a != b]
            self.assertEqual(changed, [], "after %d calls of %s passing %r"
                             % (REFCOUNT_ROUNDS, name, passed))


if __name__ == "__main__":
    unittest.main()
