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
# entries.
CHILD = CHILD_PRELUDE + """
import types
import geometry.trigonometry as t
t.constants.pi = float(sys.argv[2])
if sys.argv[3] == "unsealed":
    t.algebra = types.SimpleNamespace(sqrt=t.algebra.sqrt)
sys.stdout.write("ready\\n")
sys.stdout.flush()
sys.stdin.readline()            # the parent sends the signal after this line
try:
    eval(sys.argv[1])
except KeyboardInterrupt as e:
    emit(**outcome(e))
"""

# Seconds of work at the least, read and written in place.
LONG_MAP = "(lambda a: t.arctan.map(a, out=a))(__import__('array').array('d', [0.5]) * 2 * 10**7)"

# Seconds the children get, after the last signal, to report. A call looks at
# signals every few hundred steps, far below a millisecond; the bound only
# stands for "never" and leaves room for a loaded machine.
GRACE = 10


class InterruptTest(unittest.TestCase):

    def interrupt(self, root, call, pi, setting):
        """The child running call, sent SIGINT once the call is under way."""
        env = dict(os.environ, PYTHONPATH=root)
        proc = subprocess.Popen([sys.executable, "-c", CHILD, call, repr(pi), setting],
                                env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.communicate)
        self.addCleanup(proc.kill)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        proc.stdin.write("go\n")
        proc.stdin.flush()
        time.sleep(0.2)                 # let the call get going
        proc.send_signal(signal.SIGINT)
        return proc

    def test_ctrl_c_ends_a_long_call(self):
        trees = [("shipped", BUILD_ROOT)]
        if PLAIN_ROOT:
            trees.append(("plain", PLAIN_ROOT))
        arctan, sin = "geometry.trigonometry.arctan", "geometry.trigonometry.sin"
        cases = [("t.arctan(0.5, 10**12)", PI, "", [[arctan, 103]]),
                 ("t.arctan(0.5, 10**9)", PI, "unsealed", [[arctan, 103]]),
                 # the reflection's inner call is the one interrupted
                 ("t.arctan(3.0, 10**12)", PI, "", [[arctan, 98], [arctan, 103]]),
                 # terms that grow without end, finite and then infinite
                 ("t.sin(30)", 1e6, "", [[sin, 37]]),
                 ("t.sin(30)", float("inf"), "", [[sin, 37]]),
                 # a long map looks at signals between its elements and chunks
                 (LONG_MAP, PI, "", []), (LONG_MAP, PI, "unsealed", [])]
        # All are signalled before any is waited for, so that calls that never
        # look at signals cost one grace period together.
        runs = [(name, case, self.interrupt(root, *case[:3])) for name, root in trees for case in cases]
        deadline = time.monotonic() + GRACE
        for name, (call, pi, setting, entries), proc in runs:
            with self.subTest(build=name, call=call, pi=pi, setting=setting):
                try:
                    out, err = proc.communicate(timeout=max(0.1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    proc.kill()
                    raise self.failureException(
                        "no KeyboardInterrupt %d s after SIGINT: the call does not look at signals" % GRACE) from None
                lines = [l for l in out.splitlines() if l.startswith("{")]
                self.assertTrue(lines, err)
                data = json.loads(lines[-1])
                self.assertEqual(data["type"], "KeyboardInterrupt")
                self.assertEqual(data["entries"], entries)


if __name__ == "__main__":
    unittest.main()
