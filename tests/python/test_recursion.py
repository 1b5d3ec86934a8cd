"""Runaway re-entry into the module is stopped by the recursion limit, at the
depth where the same functions written in Python are stopped."""

import sys
import unittest

import geometry.trigonometry as m
import plainbuild
from trig_support import SIN, below, frame_depth, run_child


class RecursionGuardTest(unittest.TestCase):

    def test_reentry_without_python_frames_raises_recursion_error(self):
        # Reading `pi` calls sin again straight from native code (a property
        # whose getter is sin itself), so no Python frame counts the depth:
        # only the module's own call path can stop the chain before the
        # native stack overflows. From 3.12 that holds under any settable
        # limit, however high: the C-API guard stops the chain first.
        for limit in [None] + [1_000_000] * (sys.version_info >= (3, 12)):
            with self.subTest(limit=limit):
                self.check_reentry(limit)

    def check_reentry(self, limit):
        # Under the default limit the chain runs in a thread of the default
        # size. Under a higher one the stack is barely larger than the
        # interpreter needs to stop its own chain of Python functions
        # re-entered through native code (f, functools.partial(f), f, ...),
        # which runs there first: 3.12 and 3.13 count native levels against
        # a budget sized for their own frames (750 such levels in 432 kB,
        # 5,000 in 3.1 MB), and 3.14 checks the stack itself.
        stack = 0 if limit is None else {(3, 12): 512 << 10, (3, 13): 3 << 20}.get(
            sys.version_info[:2], 256 << 10)
        code = """
import functools, sys, threading
import geometry.trigonometry as m
if %r:
    sys.setrecursionlimit(%r)

class Loop(int):
    pi = property(m.sin)

def python_chain():
    return again()
again = functools.partial(python_chain)

def chain():
    global err
    try:
        python_chain()
    except RecursionError:
        pass
    real = m.constants
    m.constants = Loop(1)
    try:
        m.sin(1)
        err = None
    except RecursionError as e:
        err = outcome(e)
    finally:
        m.constants = real
threading.stack_size(%r)
thread = threading.Thread(target=chain)
thread.start()
thread.join()
emit(err=err and {"type": err["type"], "msg": err["msg"],
                  "names": sorted({n for n, l in err["entries"]}),
                  "outer_lines": sorted({l for n, l in err["entries"][:-1]}),
                  "depth": len(err["entries"])},
     after=m.sin(30))
""" % (limit, limit, stack)
        result = run_child(self, code)
        data = result.data
        self.assertIsNotNone(data["err"], "no RecursionError was raised")
        self.assertEqual(data["err"]["type"], "RecursionError")
        if limit is None:
            # Under a limit this high the interpreter's check of the native
            # stack may be what stops the chain, with its own wording.
            self.assertIn("maximum recursion depth exceeded", data["err"]["msg"])
        self.assertEqual(data["err"]["names"], [SIN])
        # Every level but the deepest failed while reading `pi`.
        self.assertEqual(data["err"]["outer_lines"], [30])
        self.assertGreater(data["err"]["depth"], 10)
        self.assertEqual(data["after"], 0.5)

    def test_native_reentry_beyond_what_the_stack_holds_stops(self):
        # Under a limit that the machine stack cannot hold, only the
        # interpreter's guard of native recursion stops the chain. Where it
        # stops the same chain through a Python function, it must stop ours.
        code = """
import geometry.trigonometry as m

def python_sin(angle):
    return m.constants.pi

class Loop(int):
    pi = property(%s)

sys.setrecursionlimit(10 ** 8)
m.constants = Loop(1)
try:
    Loop.pi.fget(1)
except RecursionError:
    emit(stopped=True)
"""
        if run_child(self, code % "python_sin", check=False).returncode != 0:
            self.skipTest("this interpreter does not stop native recursion by itself")
        self.assertEqual(run_child(self, code % "m.sin").data, {"stopped": True})


# The functions as Python source: each level of them takes the levels that
# the interpreter gives Python code (a frame, and whatever its comparisons
# and calls of built-ins take).
PYTHON_SOURCE = """
def sin(angle):
    angle = angle % 360
    if angle >= 180:
        angle -= 360
    if angle > 90:
        angle = 180 - angle
    elif angle < -90:
        angle = -180 - angle
    x = angle * constants.pi / 180
    term = x
    tol = 1e-15
    result = 0.0
    i = 0
    while abs(term) > tol:
        result += term
        i += 1
        term *= -x * x / ((2 * i) * (2 * i + 1))
    return result

def cosin(angle):
    angle = angle % 360
    if (angle >= 0 and angle < 90) or (angle >= 270 and angle <= 360):
        cosine = algebra.sqrt(1 - sin(angle) * sin(angle))
    elif (angle >= 90 and angle < 180) or (angle >= 180 and angle < 270):
        cosine = -1 * algebra.sqrt(1 - sin(angle) * sin(angle))
    return cosine

def tan(angle):
    return sin(angle) / cosin(angle)
"""


def stops(fn, arg):
    """Whether fn(arg) stops at the recursion limit (from 3.15, fn(*args)
    takes a Python function a level more than this does)."""
    try:
        fn(arg)
    except RecursionError:
        return True
    return False


class RecursionDepthTest(unittest.TestCase):

    def test_limit_is_met_where_python_code_meets_it(self):
        python = {"constants": m.constants, "algebra": m.algebra}
        exec(PYTHON_SOURCE, python)
        builds = [("shipped", m)]
        plain = plainbuild.load() if plainbuild.module_file() else None
        if plain is not None:
            builds.append(("plain", plain))
        for name, arg in [("sin", 30), ("sin", 200.5), ("cosin", 60), ("tan", 45)]:
            for build, module in builds:
                def outcomes():
                    results = []
                    for margin in range(16):
                        levels = sys.getrecursionlimit() - frame_depth() - margin
                        results.append((below(levels, stops, python[name], arg),
                                        below(levels, stops, vars(module)[name], arg)))
                    return results
                # From 3.15 a call site's first descent stops a level earlier
                # than later ones: compare the second round.
                outcomes()
                results = outcomes()
                with self.subTest(call="%s(%r)" % (name, arg), build=build):
                    self.assertIn((True, True), results)      # the limit was reached
                    self.assertIn((False, False), results)    # and left
                    self.assertEqual([r[1] for r in results], [r[0] for r in results])


if __name__ == "__main__":
    unittest.main()
