"""Runs a script under valgrind's memcheck and fails on what our code did.

Usage: memcheck.py TREE [TREE ...] SCRIPT

The trees go on PYTHONPATH, and the compiled modules under them are ours.
Every invalid read, write, free or use of an undefined value counts, wherever
it happens. Memory definitely lost counts when it was allocated with a frame
of ours on the stack: from 3.11 the interpreter leaves some of its own
objects unfreed at exit, which valgrind reports as lost too.
"""

import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree


def frames(error):
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            yield frame.findtext("obj") or "", frame.findtext("fn") or "?"


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or error.findtext("kind")
    shown = ["    %s (%s)" % (fn, os.path.basename(obj)) for obj, fn in list(frames(error))[:12]]
    return "\n".join([what] + shown)


def main(argv):
    *trees, script = argv[1:]
    trees = [os.path.abspath(tree) + os.sep for tree in trees]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(trees), PYTHONMALLOC="malloc")
    with tempfile.TemporaryDirectory() as scratch:
        report = os.path.join(scratch, "memcheck.xml")
        run = subprocess.run(["valgrind", "--tool=memcheck", "--xml=yes", "--xml-file=" + report,
                              "--leak-check=full", "--show-leak-kinds=definite",
                              "--errors-for-leak-kinds=definite", sys.executable, script], env=env)
        errors = ElementTree.parse(report).getroot().findall("error")
    counted = [e for e in errors
               if not e.findtext("kind", "").startswith("Leak_")
               or any(obj.startswith(tuple(trees)) for obj, _ in frames(e))]
    for error in counted:
        print(describe(error))
    print("memcheck: %d report(s) from valgrind, %d of them ours" % (len(errors), len(counted)))
    if run.returncode != 0:
        print("memcheck: the script itself failed (exit status %d)" % run.returncode)
    return 1 if counted or run.returncode != 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
