"""Hostile inputs: numbers whose operations raise or return nonsense, keyword
names whose comparison or hash fails, huge ints, float and int subclasses.
Each call ends in a clean exception or in a value, agrees with the model
wherever the model can follow it, and leaves the module working."""

import itertools
import math
import unittest

import _testcapi

import refmodel
from inputs import BEHAVIOURS, BadTruth, Boom, EqRaises, FloatSub, IntSub, hostile_type
from recnum import Rec, Tape, desc
from refmodel import FUNCTION_NAMES, native_entries
from reliability_support import module_with, run, system_error_in
from trig_support import catch, preserved_namespace, run_child, trig

MODEL = refmodel.new_model(vars(trig)["constants"], vars(trig)["algebra"])
SIN_30 = trig.sin(30)


HOSTILE_TYPES = tuple(hostile_type(behaviour, base) for behaviour in BEHAVIOURS
                      for base in (object, float, int))


def hostile_numbers():
    return [t() if t.__base__ is object else t(30.5 if t.__base__ is float else 3)
            for t in HOSTILE_TYPES]


# Huge ints never reach `iter` with a finite x: range() would run for ever.
HUGE = [10 ** 400, -10 ** 5000, 2 ** 1024]
PLAIN = [FloatSub(30.5), FloatSub(-0.0), FloatSub(float("nan")), IntSub(90), IntSub(-7), True]


def argument_lists(value):
    """Every argument position of every function, filled with value."""
    cases = [(name, (value,)) for name in FUNCTION_NAMES if name not in ("arctan", "arctan2")]
    cases += [("arctan", (value,)), ("arctan", (float("nan"), value)),
              ("arctan2", (value, 1)), ("arctan2", (1, value)), ("arctan2", (-1, value)),
              ("arctan2", (0, value)), ("arctan2", (value, value))]
    if not (type(value) is int and value > 1000):
        cases.append(("arctan", (0.5, value)))
    return cases


def show(args):
    # Ints of thousands of digits have no repr.
    return "(%s)" % ", ".join("<int of %d bits>" % a.bit_length()
                              if isinstance(a, int) and a.bit_length() > 512 else repr(a)
                              for a in args)


def same_objects(record):
    """A result that is one of the test's own objects is known by its type
    (its repr holds an address)."""
    if record[0] == "return" and record[1] in (BadTruth,) + HOSTILE_TYPES:
        return record[:2]
    return record


class HostileCase(unittest.TestCase):

    def outcome(self, name, args, model=MODEL):
        """The outcomes of the module and of the model, as refmodel.outcome()
        gives them; the module's failure must be clean."""
        failed, result = run(lambda: vars(trig)[name](*args))
        if failed:
            self.assertIsNone(system_error_in(result), (name, show(args)))
            got = ("raise", type(result), str(result), tuple(native_entries(result)))
        else:
            got = ("return",) + refmodel.value_key(result)
        return same_objects(got), same_objects(refmodel.outcome(vars(model)[name], args, refmodel.entries))

    def assertLikeModel(self, cases, model=MODEL):
        wrong = []
        for name, args in cases:
            got, want = self.outcome(name, args, model)
            if got != want:
                wrong.append("%s%s: module %s, model %s" % (
                    name, show(args), refmodel.show(got), refmodel.show(want)))
        self.assertEqual(wrong, [], "\n".join(wrong))


class HostileNumbersTest(HostileCase):

    def test_hostile_arguments(self):
        for value in hostile_numbers():
            with self.subTest(value=value):
                self.assertLikeModel(argument_lists(value))
        self.assertEqual(trig.sin(30), SIN_30)

    def test_hostile_pi_and_root(self):
        cases = [("sin", (30,)), ("cosin", (60,)), ("cosin", (200,)), ("tan", (45,)),
                 ("_tan_rad", (1.0,)), ("arctan", (0.5,)), ("arctan", (2,)), ("arctan", (-2,)),
                 ("arctan2", (1, 1)), ("arctan2", (-1, 1)), ("arctan2", (-1, -1)),
                 ("arctan2", (0, 1)), ("arctan2", (0, -1)), ("arcsin", (0.5,)), ("arccos", (0.5,))]
        for value in hostile_numbers():
            for replaced in ({"constants": module_with(pi=value)},
                             {"algebra": module_with(sqrt=lambda v, value=value: value)}):
                with self.subTest(value=value, replaced=list(replaced)), preserved_namespace() as ns:
                    ns.update(replaced)
                    model = refmodel.new_model(ns["constants"], ns["algebra"])
                    self.assertLikeModel(cases, model)
                self.assertEqual(trig.sin(30), SIN_30)

    def test_huge_ints_and_subclasses(self):
        for value in HUGE + PLAIN:
            with self.subTest(value=type(value).__name__):
                self.assertLikeModel(argument_lists(value))
        self.assertEqual(trig.sin(30), SIN_30)


class Dying:
    """Held by a module that a MeddlingTape binds, so that it dies with it,
    as the old value of a real program's global may have a finalizer: it
    notes the death, binds a fresh module in the same place and calls the
    function under test again, through the same read sites."""

    FRESH = {"constants": dict(pi=math.pi), "algebra": dict(sqrt=math.sqrt)}

    def __init__(self, tape, key):
        self.tape, self.key = tape, key

    def __del__(self):
        tape = self.tape
        if tape.closed:
            return
        tape.mark("died", self.key)
        tape.ns[self.key] = module_with(**self.FRESH[self.key])
        try:
            outcome = ("return", desc(tape.ns[tape.name](*tape.plain)))
        except Exception as exc:
            outcome = ("raise", type(exc).__name__)
        tape.mark("re-entered", *outcome)


class MeddlingTape(Tape):
    """A tape of recording numbers that, at every `every`-th special method
    call, rebinds or changes a global of the namespace the computation runs
    in, so that the globals change under a running call. With `dying`, the
    modules it makes die with a Dying in them."""

    ACTIONS = [
        lambda ns, own, fresh: ns.__setitem__("constants", fresh("constants", pi=3.0)),
        lambda ns, own, fresh: ns.__setitem__("algebra", fresh("algebra", sqrt=abs)),
        lambda ns, own, fresh: ns.__setitem__("constants", own["constants"]),
        lambda ns, own, fresh: setattr(own["constants"], "pi", own["constants"].pi + 0.5),
        lambda ns, own, fresh: ns.__setitem__("algebra", own["algebra"]),
        lambda ns, own, fresh: ns.pop("constants", None),
        lambda ns, own, fresh: ns.__setitem__("constants", own["constants"]),
    ]

    def __init__(self, ns, every, remove, dying=None):
        super().__init__()
        self.ns, self.every, self.step = ns, every, 0
        # dying: the function under test and its arguments as plain numbers.
        self.dying, self.closed = dying, False
        if dying:
            self.name, self.plain = dying
        self.actions = self.ACTIONS if remove else self.ACTIONS[:5]
        self.own = {"constants": module_with(pi=math.pi), "algebra": module_with(sqrt=math.sqrt)}
        ns.update(self.own)

    def note(self, *entry):
        super().note(*entry)
        if self.count % self.every == 0:
            self.actions[self.step % len(self.actions)](self.ns, self.own, self.fresh)
            self.step += 1

    def fresh(self, key, **attributes):
        module = module_with(**attributes)
        if self.dying:
            module.dying = Dying(self, key)
        return module


class RootRebinder:
    """An x whose square, or 1 minus its square, binds math.sqrt to
    algebra.sqrt: after arcsin has read the root it is to call."""

    def __init__(self, algebra, in_rsub):
        self.algebra, self.in_rsub = algebra, in_rsub

    def __pow__(self, n):
        return self if self.in_rsub else self.rebind(0.25)

    def __rsub__(self, other):
        return self.rebind(0.75)

    def rebind(self, value):
        self.algebra.sqrt = math.sqrt
        return value

    def __truediv__(self, other):
        return other


class ReentrantRebindingTest(HostileCase):
    """Globals rebound, removed and changed while a call runs are read
    afresh at each use, exactly as the model reads them, and the values
    rebound away die where the model lets go of them."""

    VALUES = [("sin", (30,)), ("sin", (200.5,)), ("cosin", (60,)), ("cosin", (300.0,)),
              ("tan", (45,)), ("_tan_rad", (1.0,)), ("arctan", (0.5,)), ("arctan", (2,)),
              ("arctan2", (1, 1)), ("arctan2", (-1, 0.5)), ("arcsin", (0.5,)), ("arccos", (0.5,))]

    def run_in(self, namespace, entries_of, name, values, every, remove, dying):
        saved = dict(namespace)
        tape = MeddlingTape(namespace, every, remove, (name, values) if dying else None)
        try:
            record = refmodel.outcome(namespace[name], tuple(Rec(v, tape) for v in values), entries_of)
        finally:
            tape.closed = True
            namespace.clear()
            namespace.update(saved)
        return same_objects(record), tape.log

    def test_globals_change_during_a_call(self):
        model = refmodel.new_model(vars(trig)["constants"], vars(trig)["algebra"])
        for name, values in self.VALUES:
            for every, remove, dying in itertools.product((1, 2, 3, 7), (False, True), (False, True)):
                with self.subTest(name=name, values=values, every=every, remove=remove, dying=dying):
                    case = (name, values, every, remove, dying)
                    want, want_log = self.run_in(vars(model), refmodel.entries, *case)
                    got, got_log = self.run_in(vars(trig), native_entries, *case)
                    self.assertEqual(refmodel.show(got), refmodel.show(want))
                    self.assertEqual(got, want)
                    self.assertEqual(got_log, want_log)
        self.assertEqual(trig.sin(30), SIN_30)

    def test_root_rebound_after_it_was_read(self):
        calls = []

        def spy(v):
            calls.append(v)
            return 2.0
        for name, in_rsub in itertools.product(("arcsin", "arccos"), (False, True)):
            with self.subTest(name=name, in_rsub=in_rsub), preserved_namespace() as ns:
                algebra = ns["algebra"] = module_with(sqrt=spy)
                model = refmodel.new_model(ns["constants"], algebra)
                outcomes = []
                for f in (ns[name], vars(model)[name]):
                    algebra.sqrt = spy
                    calls.clear()
                    outcomes.append((f(RootRebinder(algebra, in_rsub)), calls[:]))
                self.assertEqual(outcomes[0], outcomes[1])

    def test_old_values_die_when_let_go(self):
        # A finalizer of a value rebound away re-enters the read site that
        # read it; one runs while the module's dict changes; a module let go
        # of must be freed. Each in its own interpreter, whose module has
        # read through its caches only what the program shows, and whose
        # allocator overwrites what it frees, so that a read of a freed
        # object fails.
        programs = {"re-entered site": ("""
class C:
    def __call__(self, y, x): return 0.0
class Old(C):
    def __del__(self):
        T.arctan2 = C(); T.arcsin(0.5)
T.arctan2 = Old(); T.arcsin(0.5)
T.arctan2 = C(); T.sin(30)
emit(result=T.arcsin(0.5))
""", 0.0), "finalizer in a change": ("""
class Fin:
    def __del__(self): T.arcsin(0.5)
real = T.constants; m = types.ModuleType("m"); m.pi = real.pi
T.constants = m; T.sin(30); T.constants = real; T.sin(30)
m.fin = Fin(); del m
T.arctan2 = lambda y, x: "evil"
emit(result=T.arcsin(0.5))
""", "evil"), "module let go of": ("""
real = T.constants; m = types.ModuleType("m"); m.pi = real.pi
gone = weakref.ref(m)
T.constants = m; T.arccos(0.5)
T.constants = real; del m; gc.collect()
emit(result=gone() is None)
""", True)}
        for name, (program, want) in programs.items():
            with self.subTest(name):
                data = run_child(self, "import gc, types, weakref\nimport geometry.trigonometry as T\n" + program,
                                 environment={"PYTHONMALLOC": "debug"}).data
                self.assertEqual(data["result"], want)

    @unittest.skipUnless(hasattr(_testcapi, "add_dict_watcher"), "this interpreter has no dict watchers")
    def test_reads_made_from_a_dict_watcher(self):
        # Another dict watcher runs the module just before pi changes; then
        # the watcher that the module would have registered is removed.
        # Fresh floats for pi, so that a kept reference to one is freed.
        data = run_child(self, """
import sys, _testcapi
free = _testcapi.add_dict_watcher(0)
_testcapi.clear_dict_watcher(free)
import geometry.trigonometry as t
c = t.constants
c.pi = float("3.1")
calls = lambda: [t.sin(60), t.cosin(60), t.tan(60)]
calls()
raises = _testcapi.add_dict_watcher(1)
_testcapi.watch_dict(raises, vars(c))
sys.unraisablehook = lambda unraisable: calls()
c.pi = float("3.0")
sys.unraisablehook = sys.__unraisablehook__
_testcapi.clear_dict_watcher(raises)
seen = [calls()]
if sys.version_info >= (3, 14):  # the module reads through a watcher there
    _testcapi.clear_dict_watcher(free)
c.pi = float("2.5")
seen.append(calls())
emit(seen=seen)
""").data
        algebra = vars(MODEL)["algebra"]
        want = [[vars(refmodel.new_model(module_with(pi=pi), algebra))[name](60) for name in ("sin", "cosin", "tan")]
                for pi in (3.0, 2.5)]
        self.assertEqual(data["seen"], want)


class HashRaises(str):
    def __hash__(self):
        raise Boom("hash")


class EqNotImplemented(str):
    def __eq__(self, other):
        return NotImplemented
    __hash__ = str.__hash__


class EqBadTruth(str):
    def __eq__(self, other):
        return BadTruth()
    __hash__ = str.__hash__


class EqAlways(str):
    def __eq__(self, other):
        return True
    __hash__ = str.__hash__


class HostileKeywordTest(HostileCase):
    """Keyword names of str subclasses are compared by equality, with the
    parameter name on the left: whatever the comparison raises propagates."""

    # (name type, function, positional arguments, keyword text,
    #  expected exception type, or the positional call that gives the value)
    CASES = [
        (EqRaises, "sin", (), "angle", Boom),
        (EqRaises, "sin", (30,), "angle", Boom),
        (EqRaises, "arctan", (0.5,), "iter", Boom),
        (EqBadTruth, "sin", (), "angle", Boom),
        (EqBadTruth, "arctan2", (1,), "y", Boom),
        (EqNotImplemented, "sin", (), "angle", ("sin", (30,))),
        (EqNotImplemented, "arctan", (0.5,), "iter", ("arctan", (0.5, 30))),
        (EqNotImplemented, "sin", (30,), "angle", TypeError),
        (EqNotImplemented, "sin", (), "x", TypeError),
        (EqAlways, "arctan2", (1,), "anything", ("arctan2", (1, 30))),
        (EqAlways, "arctan2", (), "anything", TypeError),
        (HashRaises, "sin", (), "angle", ("sin", (30,))),
        (HashRaises, "_tan_rad", (), "rad", ("_tan_rad", (30,))),
    ]

    def calls(self, f, args, name):
        """The call in every form that can carry this keyword name."""
        vector = lambda: _testcapi.pyobject_vectorcall(f, args + (30,), (name,))
        if isinstance(name, HashRaises):
            return [vector]  # a keyword dict would hash the name first
        kw = {name: 30}
        tp_call = type(f).__call__
        return [vector, lambda: f(*args, **kw), lambda: tp_call(f, *args, **kw)]

    def test_keyword_names(self):
        for name_type, function, args, text, expected in self.CASES:
            f = vars(trig)[function]
            for call in self.calls(f, args, name_type(text)):
                with self.subTest(name=name_type.__name__, function=function, args=args):
                    if isinstance(expected, tuple):
                        self.assertEqual(call(), vars(trig)[expected[0]](*expected[1]))
                    else:
                        exc = catch(self, expected, call)
                        self.assertIsNone(system_error_in(exc))
                        self.assertEqual(native_entries(exc),
                                         [("geometry.trigonometry." + function, f.__code__.co_firstlineno)])
                    self.assertEqual(trig.sin(30), SIN_30)


if __name__ == "__main__":
    unittest.main()
