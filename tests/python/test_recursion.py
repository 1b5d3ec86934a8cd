"""Runaway re-entry into the module is stopped by the recursion limit."""

import unittest

from trig_support import SIN, run_child


class RecursionGuardTest(unittest.TestCase):

    def test_reentry_without_python_frames_raises_recursion_error(self):
        # Reading `pi` calls sin again straight from native code (a property
        # whose getter is sin itself), so no Python frame counts the depth:
        # only the module's own call path can stop the chain before the
        # native stack overflows.
        code = """
import geometry.trigonometry as m

class Loop(int):
    pi = property(m.sin)

real = m.constants
m.constants = Loop(1)
try:
    m.sin(1)
    err = None
except RecursionError as e:
    err = outcome(e)
finally:
    m.constants = real

def python_recursion():
    return python_recursion()
try:
    python_recursion()
    python_ok = False
except RecursionError:
    python_ok = True
emit(err=err and {"type": err["type"], "msg": err["msg"],
                  "names": sorted({n for n, l in err["entries"]}),
                  "outer_lines": sorted({l for n, l in err["entries"][:-1]}),
                  "depth": len(err["entries"])},
     after=m.sin(30), python_ok=python_ok)
"""
        result = run_child(self, code)
        data = result.data
        self.assertIsNotNone(data["err"], "no RecursionError was raised")
        self.assertEqual(data["err"]["type"], "RecursionError")
        self.assertIn("maximum recursion depth exceeded", data["err"]["msg"])
        self.assertEqual(data["err"]["names"], [SIN])
        # Every level but the deepest failed while reading `pi`.
        self.assertEqual(data["err"]["outer_lines"], [30])
        self.assertGreater(data["err"]["depth"], 10)
        self.assertEqual(data["after"], 0.5)
        self.assertTrue(data["python_ok"])


if __name__ == "__main__":
    unittest.main()
