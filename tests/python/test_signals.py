"""Ctrl-C reaches a long call: arctan with a huge iter, or sin with a pi
that makes its series grow, stays inside the module, where the interpreter
itself never looks at signals. arctan's steps are skipped once its estimate
repeats, unless a sibling is not a plain module; the skipped steps still
look at signals."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

from trig_support import BUILD_ROOT, CHILD_PRELUDE

PLAIN_ROOT = os.environ.get("TRIG_PLAIN_TREE")
PI = 3.141592653589793

# Runs for minutes unless interrupted; reports the interrupt's traceback
# entries and how long the call went on after the signal.
CHILD = CHILD_PRELUDE + """
import time
import types
import geometry.trigonometry as t
t.constants.pi = float(sys.argv[2])
if sys.argv[3] == "unsealed":
    t.algebra = types.SimpleNamespace(sqrt=t.algebra.sqrt)
sys.stdout.write("ready\\n")
sys.stdout.flush()
sys.stdin.readline()            # the parent sends the signal after this line
sent = time.monotonic()
try:
    eval(sys.argv[1])
except KeyboardInterrupt as e:
    emit(after=time.monotonic() - sent, **outcome(e))
"""


class InterruptTest(unittest.TestCase):

    def interrupt(self, root, call, pi, setting):
        env = dict(os.environ, PYTHONPATH=root)
        proc = subprocess.Popen([sys.executable, "-c", CHILD, call, repr(pi), setting],
                                env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        proc.stdin.write("go\n")
        proc.stdin.flush()
        time.sleep(0.2)                 # let the call get going
        proc.send_signal(signal.SIGINT)
        # Uninterrupted the call would run for minutes; the bound is generous
        # so that a loaded machine cannot make the test flaky.
        out, err = proc.communicate(timeout=30)
        lines = [l for l in out.splitlines() if l.startswith("{")]
        self.assertTrue(lines, err)
        return json.loads(lines[-1])

    def test_ctrl_c_ends_a_long_call(self):
        trees = [("shipped", BUILD_ROOT)]
        if PLAIN_ROOT:
            trees.append(("plain", PLAIN_ROOT))
        arctan, sin = "geometry.trigonometry.arctan", "geometry.trigonometry.sin"
        for name, root in trees:
            for call, pi, setting, entries in [
                    ("t.arctan(0.5, 10**12)", PI, "", [[arctan, 103]]),
                    ("t.arctan(0.5, 10**9)", PI, "unsealed", [[arctan, 103]]),
                    # the reflection's inner call is the one interrupted
                    ("t.arctan(3.0, 10**12)", PI, "", [[arctan, 98], [arctan, 103]]),
                    # terms that grow without end, finite and then infinite
                    ("t.sin(30)", 1e6, "", [[sin, 37]]),
                    ("t.sin(30)", float("inf"), "", [[sin, 37]])]:
                with self.subTest(build=name, call=call, pi=pi, setting=setting):
                    data = self.interrupt(root, call, pi, setting)
                    self.assertEqual(data["type"], "KeyboardInterrupt")
                    self.assertEqual(data["entries"], entries)


if __name__ == "__main__":
    unittest.main()
