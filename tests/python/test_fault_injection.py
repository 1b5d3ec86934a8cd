"""Allocation failures: every call, and the import itself, ends in a result or
a clean exception (never a crash, never a SystemError), frees what the failure
held and leaves the module working.

Everything runs in child interpreters, so that a crash fails a test instead
of the suite. A call is run once for every allocation it makes, with that one
allocation failing, and once with a run of WINDOW allocations from there on
failing; when the latter gives the unfailed outcome, the call allocates no
more and the scenario is done. (Failing every later allocation would say the
same, but the interpreter gives up with a fatal error once 32 attempts in a
row to create a MemoryError fail, which a short run of failures cannot
cause.) Calls are failed in a warm module, each position in turn in one
process, and, where they raise, each position in a process of its own forked
before the module's first call; the import is failed at each position in a
process of its own forked from an interpreter that has not loaded it.
"""

import fractions
import gc
import math
import sys
import traceback
import unittest

import _testcapi

import refmodel
from reliability_support import (KEYWORD_FORMS, Boom, Deep, FloatSub, Num, Raising, fork_map,
                                 key, interpreter_own, make_call, run, run_children,
                                 system_error_in)

NAN = float("nan")


# (function, positional arguments, keywords or None). Each one is either a
# success or fails with the function's own exception; keyword calls run in
# every form in which a caller can pass keywords.
SCENARIOS = [
    ("sin", (30,), None), ("sin", (100.5,), None), ("sin", (FloatSub(30.5),), None),
    ("sin", (10 ** 30,), None), ("sin", (fractions.Fraction(1, 3),), None),
    ("sin", ("abc",), None), ("sin", (), {"angle": 30}), ("sin", (), {"x": 30}),
    ("cosin", (60,), None), ("cosin", (200.0,), None), ("cosin", (FloatSub(135.0),), None),
    ("cosin", (NAN,), None), ("cosin", ("abc",), None), ("cosin", (), {"angle": 60}),
    ("tan", (45,), None), ("tan", (90,), None), ("tan", (FloatSub(135.0),), None),
    ("tan", ("abc",), None), ("tan", (), {"angle": 45}),
    ("_tan_rad", (1.0,), None), ("_tan_rad", (1,), None), ("_tan_rad", (math.pi / 2,), None),
    ("_tan_rad", (Num(0.5),), None), ("_tan_rad", ("abc",), None), ("_tan_rad", (10 ** 400,), None),
    ("_tan_rad", (), {"rad": 1.0}),
    ("arctan", (0.5,), None), ("arctan", (2.0,), None), ("arctan", (-3,), None),
    ("arctan", (10 ** 30,), None), ("arctan", (0.5, 3), None), ("arctan", (FloatSub(-0.25), True), None),
    ("arctan", (0.5, 2.0), None), ("arctan", ("abc",), None), ("arctan", (NAN,), None),
    ("arctan", (0.5,), {"iter": 3}), ("arctan", (), {"iter": 2, "x": 2.0}),
    ("arctan2", (1, 1), None), ("arctan2", (-1.0, -1.0), None), ("arctan2", (-1, 0.5), None),
    ("arctan2", (0, 1), None), ("arctan2", (0, -1), None), ("arctan2", (0, 0), None),
    ("arctan2", (FloatSub(1.0), 2), None), ("arctan2", ("a", 1), None), ("arctan2", (1, "a"), None),
    ("arctan2", (1,), {"y": 2}), ("arctan2", (), {"y": 2, "x": -1}),
    ("arcsin", (0.5,), None), ("arcsin", (FloatSub(-0.5),), None), ("arcsin", (2,), None),
    ("arcsin", ("a",), None), ("arcsin", (), {"x": 0.5}),
    ("arccos", (0.5,), None), ("arccos", (2.0,), None), ("arccos", (None,), None),
    ("arccos", (), {"x": -0.5}),
    # Every step on a Deep makes a new object: a failure can meet each step.
    ("sin", (Deep(30.5),), None), ("sin", (Deep(200.5),), None), ("cosin", (Deep(300.0),), None),
    ("cosin", (Deep(135.0),), None), ("tan", (Deep(45.0),), None), ("_tan_rad", (Deep(1.0),), None),
    ("arctan", (Deep(0.5),), None), ("arctan", (Deep(2.0),), None), ("arctan", (Deep(-3.0), 2), None),
    ("arctan2", (Deep(1.0), Deep(1.0)), None), ("arctan2", (Deep(-1.0), Deep(0.5)), None),
    ("arctan2", (Deep(-1.0), Deep(-0.5)), None), ("arctan2", (Deep(0.0), Deep(-1.0)), None),
    ("arcsin", (Deep(0.5),), None), ("arccos", (Deep(0.5),), None),
    # An exception of the caller's own: every failure must free it.
    ("sin", (Raising(30),), None),
]

# A map makes the same allocations of its own whatever it maps, so it runs
# a few scenarios of each function: the first (a success), those with a str
# argument (a failure at its first element) and those with Deep numbers.
FIRSTS = {name: next(s for s in SCENARIOS if s[0] == name) for name in {s[0] for s in SCENARIOS}}


def mapped(scenario):
    return scenario is FIRSTS[scenario[0]] or any(isinstance(a, (str, Deep, Raising)) for a in scenario[1])


CASES = [(scenario[0], scenario[1], scenario[2] or {}, form)
         for scenario in SCENARIOS
         for form in (KEYWORD_FORMS if scenario[2] else ("pos",)) + (("map",) if mapped(scenario) else ())]


# A call that still allocates after this many positions is reported.
MAX_POSITIONS = 20000
# Allocations failed at once by the run that tells whether a call is done.
WINDOW = 16

# Canonical arguments every function is checked with after the failures.
CHECKS = [("sin", (30,)), ("sin", ("abc",)), ("cosin", (60,)), ("tan", (90,)),
          ("_tan_rad", (1.0,)), ("arctan", (2.0,)), ("arctan2", (-1, 0.5)),
          ("arcsin", (2,)), ("arccos", (0.5,))]


def trial(call, start, stop):
    """call() with allocations start+1 .. stop failing. Nothing between the
    two hook calls may format or report: the outcome is only stored."""
    hold = [i + 0.5 for i in range(120)]  # empties the float free list
    sys._getframe()  # this frame's object, made now rather than when a failure passes
    _testcapi.set_nomemory(start, stop)
    try:
        result = call()
        failed = False
    except BaseException as exc:
        result = exc
        failed = True
    _testcapi.remove_mem_hooks()
    del hold
    return failed, result


def judge(baseline, failed, result):
    """What is wrong with an outcome under failing allocations, or None.
    baseline is the key() of the unfailed call."""
    if failed:
        if system_error_in(result) is not None:
            return "".join(traceback.format_exception(type(result), result, result.__traceback__))
        # A failure while an error message is formatted leaves the error
        # without its text: its type is what counts.
        if type(result).__name__ in ("MemoryError", baseline[1] if baseline[0] == "raise" else ""):
            return None
        if interpreter_own(result):
            return None
        return "raised %r" % (result,)
    if key(failed, result) != baseline:
        return "returned %r" % (result,)
    return None


def full(failed, result):
    """key() plus the module's traceback entries."""
    entries = tuple(refmodel.native_entries(result)) if failed else ()
    return key(failed, result) + entries


def label(i):
    return "%s%r %r %s" % CASES[i]


def model_answers(checks=CHECKS):
    """The model's outcomes of checks, with the sibling modules the module
    binds (computed before any fork, so that no child pays for them)."""
    import geometry.constants  # noqa: F401
    import vantor.algebra.algebra  # noqa: F401
    model = refmodel.new_model(sys.modules["geometry.constants"],
                               sys.modules["vantor.algebra.algebra"])
    return [refmodel.outcome(vars(model)[name], args, refmodel.entries)
            for name, args in checks]


def model_problems(module, answers, checks=CHECKS):
    """Where the module's answers differ from the model's."""
    problems = []
    for (name, args), want in zip(checks, answers):
        got = refmodel.outcome(vars(module)[name], args, refmodel.native_entries)
        if got != want:
            problems.append("%s%r gives %s, the model %s" % (
                name, args, refmodel.show(got), refmodel.show(want)))
    return problems


def run_call_batch(indices):
    """Child side: every allocation position of the given cases, with the
    module warmed up by an unfailed call first."""
    import geometry.trigonometry as module
    problems = []
    calls = [make_call(module, *CASES[i]) for i in indices]
    # 3.9 makes a Python function's inline cache on its 1024th run, and frees
    # it twice when a failed allocation interrupts that (an interpreter
    # fault): the Python code these calls run gets past that point first.
    for call in calls:
        for _ in range(1100):
            run(call)
    before = [full(*run(call)) for call in calls]
    positions = 0
    for i, call in zip(indices, calls):
        sys.stderr.write("scenario %s\n" % label(i))
        sys.stderr.flush()
        baseline = key(*run(call))
        n = 0
        while True:
            for stop in (n + 1, n + WINDOW):
                failed, result = trial(call, n, stop)
                problem = judge(baseline, failed, result)
                if problem:
                    problems.append("%s, allocations %d-%d: %s (unfailed: %r)" % (
                        label(i), n + 1, stop, problem, baseline))
            # With the next WINDOW allocations failing the call ended as if
            # nothing failed: it makes no allocation past n.
            done = key(failed, result) == baseline
            del result
            if done:
                break
            n += 1
            if n == MAX_POSITIONS:
                problems.append("%s: still allocating after %d positions" % (label(i), n))
                break
        positions += n + 1
    after = [full(*run(call)) for call in calls]
    problems += ["%s answers %r after the failures, %r before" % (label(i), a, b)
                 for i, a, b in zip(indices, after, before) if a != b]
    problems += model_problems(module, model_answers())
    return {"problems": problems[:40], "positions": positions}


# ---- cold: each position in a process that never called the module -----------


def cold_single(job):
    i, n, baseline, answers = job
    import geometry.trigonometry as module
    call = make_call(module, *CASES[i])
    failed, result = trial(call, n, n + 1)
    problem = judge(baseline, failed, result)
    effect = key(failed, result) != baseline
    del result
    if Boom.alive():
        problem = (problem + "; " if problem else "") + "the Boom raised inside the call outlives it"
    again = key(*run(call))
    if again != baseline:
        problem = "%s; afterwards %r" % (problem, again)
    problems = model_problems(module, answers, CHECKS[:1])
    if problem:
        problems.insert(0, "%s, allocation %d: %s (unfailed: %r)" % (label(i), n + 1, problem, baseline))
    return {"problems": problems, "effect": effect}


def cold_window(job):
    i, n, baseline = job
    import geometry.trigonometry as module
    failed, result = trial(make_call(module, *CASES[i]), n, n + WINDOW)
    return {"problem": judge(baseline, failed, result), "done": key(failed, result) == baseline}


def scan(single, window, what, batch):
    """single(n) for n = 0, 1, ..., each in a forked child, 2 at a time, until
    the failure of some allocation n had no effect and a child failing the
    WINDOW allocations after n (window(n)) shows that nothing after n
    allocates. Returns (problems, positions tried)."""
    problems, n, end = [], 0, None
    while end is None and n < MAX_POSITIONS:
        chunk = list(range(n, n + batch))
        for pos, (status, data) in zip(chunk, fork_map(single, chunk)):
            if status != 0:
                problems.append("%s, allocation %d: child crashed (status %d)" % (what, pos + 1, status))
                continue
            problems += data["problems"]
            if not data["effect"] and end is None:
                [(status, data)] = fork_map(window, [pos])
                if status != 0:
                    problems.append("%s, allocations %d-%d: child crashed (status %d)"
                                    % (what, pos + 1, pos + WINDOW, status))
                elif data["problem"]:
                    problems.append("%s, allocations %d-%d: %s" % (what, pos + 1, pos + WINDOW, data["problem"]))
                elif data["done"]:
                    end = pos
        n += batch
    if end is None:
        problems.append("%s: still allocating after %d positions" % (what, n))
    return problems, n


def run_cold_batch():
    """Child side: every allocation position of the failing calls, each
    failed in a process forked before the module was first called, so that
    the failure can meet the work of the module's first traceback entry at
    that line (a new code object, the cache's first allocation)."""
    import geometry.trigonometry as module
    answers = model_answers(CHECKS[:1])
    [(status, baselines)] = fork_map(
        lambda _: [key(*run(make_call(module, *case))) for case in CASES], [None])
    if status != 0:
        return {"problems": ["the unfailed calls crash (status %d)" % status], "positions": 0}
    problems, positions = [], 0
    for i, baseline in enumerate(map(tuple, baselines)):
        if baseline[0] != "raise" or CASES[i][3] not in ("pos", "kw"):
            continue
        found, count = scan(lambda n: cold_single((i, n, baseline, answers)),
                            lambda n: cold_window((i, n, baseline)), label(i), 2)
        problems += found
        positions += count
    return {"problems": problems[:40], "positions": positions}


# ---- start-up ----------------------------------------------------------------

# Past this many, only every IMPORT_STRIDE-th allocation of the import is failed.
IMPORT_FULL = 600
IMPORT_STRIDE = 4

NAMESPACE = ["__builtins__", "constants", "algebra", *refmodel.FUNCTION_NAMES, "__test__"]


def failed_import(start, stop):
    """Import with allocations start + 1 to stop failing: (error or None,
    the SystemError inside it or None)."""
    _testcapi.set_nomemory(start, stop)
    try:
        __import__("geometry.trigonometry")
        error = None
    except BaseException as exc:
        error = exc
    _testcapi.remove_mem_hooks()
    return error, None if error is None else system_error_in(error)


def shared_counts():
    """Reference counts of the shared metatype and function type, once garbage
    cycles are gone (a failed import's functions can live on in them)."""
    gc.collect()
    shared = sys.modules[type(sys.modules["geometry.trigonometry"].sin).__module__]
    return [sys.getrefcount(shared._common_types_metatype),
            sys.getrefcount(shared.native_function_or_method)]


def import_single(n, answers, counts):
    """Child side: fail allocation n + 1 of the import, and once more in
    the attempt after that (which starts from what the first one left), then
    import again."""
    problems, effect = [], None
    for _ in range(2):
        error, system_error = failed_import(n, n + 1)
        if effect is None:
            effect = error is not None
        if system_error is not None:
            problems.append("SystemError %r" % (system_error,))
        del error
    try:
        __import__("geometry.trigonometry")
    except BaseException as exc:
        problems.append("the retry fails: %r" % (exc,))
    else:
        got = shared_counts()
        if got != counts:
            problems.append("the shared types' reference counts are %r, after a clean import %r" % (got, counts))
        module = sys.modules["geometry.trigonometry"]
        names = list(vars(module))
        names = names[names.index("__builtins__"):] if "__builtins__" in names else names
        if names != NAMESPACE or module.__test__ != {}:
            problems.append("namespace %r" % (names,))
        else:
            problems += model_problems(module, answers)
            if module.sin(angle=30) != module.sin(30):
                problems.append("sin(angle=30) differs from sin(30)")
    return {"problems": ["allocation %d: %s" % (n + 1, p) for p in problems], "effect": effect}


def import_window(n):
    error, system_error = failed_import(n, n + WINDOW)
    problem = None if system_error is None else "SystemError %r" % (system_error,)
    return {"problem": problem, "done": error is None}


def run_import_positions():
    """Child side (a fresh interpreter that has not imported the module):
    every allocation position of the import, each in a process of its own."""
    import geometry.constants  # noqa: F401
    import vantor.algebra.algebra  # noqa: F401
    import zlib  # noqa: F401
    assert "geometry.trigonometry" not in sys.modules

    def position(k):
        return k if k < IMPORT_FULL else IMPORT_FULL + (k - IMPORT_FULL) * IMPORT_STRIDE

    answers = model_answers()
    # What one import that nothing fails leaves them at.
    [(_, counts)] = fork_map(lambda _: __import__("geometry.trigonometry") and shared_counts(), [None])
    problems, count = scan(lambda k: import_single(position(k), answers, counts),
                           lambda k: import_window(position(k)), "import", 8)
    return {"problems": problems[:40], "positions": position(count)}


# ---- tests -------------------------------------------------------------------


class FaultInjectionTest(unittest.TestCase):

    def assertNoProblems(self, results):
        problems = [p for r in results for p in r["problems"]]
        self.assertEqual(problems, [], "\n".join(problems))

    def test_calls_with_warm_module(self):
        halves = [list(range(len(CASES)))[k::2] for k in range(2)]
        self.assertNoProblems(run_children(self, [
            "from test_fault_injection import run_call_batch\n"
            "emit(**run_call_batch(%r))" % (half,) for half in halves]))

    def test_calls_with_cold_module(self):
        self.assertNoProblems(run_children(self, [
            "from test_fault_injection import run_cold_batch\n"
            "emit(**run_cold_batch())"], workers=1))

    def test_import(self):
        self.assertNoProblems(run_children(self, [
            "from test_fault_injection import run_import_positions\n"
            "emit(**run_import_positions())"], workers=1))


if __name__ == "__main__":
    unittest.main()
