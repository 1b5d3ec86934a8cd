"""Calls from several threads while another thread rebinds module globals:
no crash, and every answer is one that some binding of the globals gives."""

import array
import gc
import itertools
import math
import random
import sys
import threading
import unittest

from reliability_support import key, make_call, module_with, run
from trig_support import preserved_namespace, trig

# (function, positional arguments, keywords or None)
CALLS = [
    ("sin", (30,), None), ("sin", (), {"angle": 100.5}), ("cosin", (60,), None),
    ("cosin", (200.0,), None), ("tan", (45,), None), ("tan", (90,), None),
    ("_tan_rad", (1.0,), None), ("arctan", (0.5,), None), ("arctan", (), {"x": 2.0, "iter": 5}),
    ("arctan2", (-1, 0.5), None), ("arcsin", (0.5,), None), ("arccos", (-0.5,), None),
]

WORKERS = 3
PASSES = 1500
ABSENT = object()

ORIGINAL = dict(vars(trig))


def answer(failed, result):
    # How deep a recursion got before it was stopped depends on the thread's
    # own depth; that it was stopped is the answer.
    if failed and isinstance(result, RecursionError):
        return ("raise", "RecursionError")
    return key(failed, result)


def native_choices():
    """Each global's bindings, as factories of fresh objects. All are native
    objects: reading or calling them runs no Python code, so no other thread
    can run inside a call, and every call sees one binding of each global."""
    return {
        "constants": [lambda: ORIGINAL["constants"], lambda: module_with(pi=3.0), lambda: ABSENT],
        "algebra": [lambda: ORIGINAL["algebra"], lambda: module_with(sqrt=math.fabs)],
        "sin": [lambda: ORIGINAL["sin"], lambda: ORIGINAL["cosin"]],
    }


def python_choices():
    """Bindings that give the same values as the originals but run Python
    code, so that threads switch inside calls while the objects a call is
    using are replaced (and freed)."""
    pi = ORIGINAL["constants"].pi

    class Constants:
        @property
        def pi(self):
            return pi

    def wrapper(f):
        return lambda *args: f(*args)

    choices = {
        "constants": [lambda: ORIGINAL["constants"], Constants],
        "algebra": [lambda: ORIGINAL["algebra"],
                    lambda: module_with(sqrt=lambda v: math.sqrt(v))],
    }
    for name, _, _ in CALLS:
        choices[name] = [lambda f=ORIGINAL[name]: f, lambda f=ORIGINAL[name]: wrapper(f)]
    return choices


def bind(ns, name, value):
    if value is ABSENT:
        ns.pop(name, None)
    else:
        ns[name] = value


class RebindingTest(unittest.TestCase):

    def setUp(self):
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        self.addCleanup(sys.setswitchinterval, interval)
        self.calls = [make_call(trig, name, args, kw or {}, "kw" if kw else "pos")
                      for name, args, kw in CALLS]

    def allowed(self, choices):
        """Every call's answers under every combination of bindings."""
        allowed = [set() for _ in self.calls]
        with preserved_namespace() as ns:
            for combination in itertools.product(*choices.values()):
                for name, make in zip(choices, combination):
                    bind(ns, name, make())
                for answers, call in zip(allowed, self.calls):
                    answers.add(answer(*run(call)))
        return allowed

    def run_threads(self, choices):
        """Answers seen per call while the globals are rebound at random,
        until every worker has made PASSES passes over the calls."""
        stop = threading.Event()
        seen = [[set() for _ in self.calls] for _ in range(WORKERS)]
        passes = [0] * WORKERS

        def work(k):
            while not stop.is_set():
                for got, call in zip(seen[k], self.calls):
                    got.add(answer(*run(call)))
                passes[k] += 1

        rng = random.Random(7)
        names = list(choices)
        with preserved_namespace() as ns:
            threads = [threading.Thread(target=work, args=(k,)) for k in range(WORKERS)]
            for t in threads:
                t.start()
            try:
                while min(passes) < PASSES and all(t.is_alive() for t in threads):
                    name = rng.choice(names)
                    bind(ns, name, rng.choice(choices[name])())
            finally:
                stop.set()
                for t in threads:
                    t.join()
        self.assertGreaterEqual(min(passes), PASSES, "a worker stopped early")
        return [set().union(*per_call) for per_call in zip(*seen)]

    def assertAllowed(self, seen, allowed):
        wrong = ["%s%r: %r not in %r" % (name, args if not kw else kw, got - ok, ok)
                 for (name, args, kw), got, ok in zip(CALLS, seen, allowed) if got - ok]
        self.assertEqual(wrong, [], "\n".join(wrong))

    def test_native_rebinding(self):
        choices = native_choices()
        allowed = self.allowed(choices)
        # Finalizers run Python code; with the collector off none runs
        # inside a call.
        enabled = gc.isenabled()
        gc.disable()
        try:
            seen = self.run_threads(choices)
        finally:
            if enabled:
                gc.enable()
        self.assertAllowed(seen, allowed)
        self.assertEqual(trig.sin(30), 0.5)

    def test_python_rebinding(self):
        choices = python_choices()
        allowed = self.allowed(choices)
        for answers in allowed:
            self.assertEqual(len(answers), 1, "the bindings must agree on %r" % (answers,))
        self.assertAllowed(self.run_threads(choices), allowed)
        self.assertEqual(trig.sin(30), 0.5)


class LongMapTest(unittest.TestCase):

    def test_other_threads_run_and_rebind_between_chunks(self):
        # While one thread maps, this one rebinds constants between two plain
        # modules: it gets to run, and each element has one binding's value.
        values = array.array("d", [0.5]) * 1000000
        modules = [module_with(pi=math.pi), module_with(pi=3.0)]
        allowed = set()
        with preserved_namespace() as ns:
            for m in modules:
                ns["constants"] = m
                allowed.add(trig.arctan(0.5))
            results, started, finished = [], threading.Event(), threading.Event()

            def work():
                started.set()
                results.append(trig.arctan.map(values))
                finished.set()
            worker = threading.Thread(target=work)
            worker.start()
            started.wait()
            rebindings = 0
            while not finished.is_set():
                ns["constants"] = modules[rebindings % 2]
                rebindings += 1
            worker.join()
        self.assertGreater(rebindings, 1)
        self.assertEqual(set(results[0]) - allowed, set())


if __name__ == "__main__":
    unittest.main()
