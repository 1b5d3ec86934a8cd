"""Ctrl-C reaches a long call: arctan with a huge iter stays inside the
module, where the interpreter itself never looks at signals."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

from trig_support import BUILD_ROOT, CHILD_PRELUDE

PLAIN_ROOT = os.environ.get("TRIG_PLAIN_TREE")

# Runs for minutes unless interrupted; reports the interrupt's traceback
# entries and how long the call went on after the signal.
CHILD = CHILD_PRELUDE + """
import time
import geometry.trigonometry as t
x = float(sys.argv[1])
sys.stdout.write("ready\\n")
sys.stdout.flush()
sys.stdin.readline()            # the parent sends the signal after this line
sent = time.monotonic()
try:
    t.arctan(x, 10**9)
except KeyboardInterrupt as e:
    emit(after=time.monotonic() - sent, **outcome(e))
"""


class InterruptTest(unittest.TestCase):

    def interrupt(self, root, x):
        env = dict(os.environ, PYTHONPATH=root)
        proc = subprocess.Popen([sys.executable, "-c", CHILD, repr(x)],
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

    def test_ctrl_c_ends_a_long_arctan(self):
        trees = [("shipped", BUILD_ROOT)]
        if PLAIN_ROOT:
            trees.append(("plain", PLAIN_ROOT))
        for name, root in trees:
            for x, entries in [
                    (0.5, [["geometry.trigonometry.arctan", 103]]),
                    # the reflection's inner call is the one interrupted
                    (3.0, [["geometry.trigonometry.arctan", 98],
                           ["geometry.trigonometry.arctan", 103]])]:
                with self.subTest(build=name, x=x):
                    data = self.interrupt(root, x)
                    self.assertEqual(data["type"], "KeyboardInterrupt")
                    self.assertEqual(data["entries"], entries)


if __name__ == "__main__":
    unittest.main()
