"""Times geometry.trigonometry against its plain build, the pure-Python model
and math.sin, all in one process.

Usage: bench.py BUILD_DIR [--quick] [--no-callgrind]

BUILD_DIR holds python/ (the module as shipped) and python-plain/ (the build
that computes every step on objects). Each call is timed the way user code
makes it: a module attribute read, then the call. The best of several
repeats is reported, in ns per call. A second table gives instructions per
call under callgrind for a fixed call mix, a figure that machine noise does
not move.
"""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import timeit

CALLS = [
    "sin(30)", "sin(123.456)", "sin(-1e9)", "cosin(60)", "tan(45)", "_tan_rad(1.0)",
    "arctan(0.5)", "arctan(2.0)", "arctan2(-1, 1)", "arcsin(0.5)", "arccos(0.5)", "sin(angle=30)",
]
HERE = os.path.dirname(os.path.abspath(__file__))


def load_plain(build):
    """The plain build, loaded beside the shipped one under another name.

    It is a second module of the same family: it reuses the shared function
    type and the sibling modules that the first import bound."""
    folder = os.path.join(build, "python-plain", "geometry")
    path = next(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith("trigonometry.") and f.endswith(".so"))
    loader = importlib.machinery.ExtensionFileLoader("plain_geometry.trigonometry", path)
    spec = importlib.util.spec_from_file_location("plain_geometry.trigonometry", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_model(native):
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
    import refmodel
    return refmodel.new_model(vars(native)["constants"], vars(native)["algebra"])


def best_ns(statements, quick):
    """Best time per call, in ns, of each (statement, namespace) pair.

    The repeats run in rounds over all the statements, so that a slow spell
    of the machine (or its clock ramping up) touches every row alike."""
    timers = []
    for statement, namespace in statements:
        timer = timeit.Timer(statement, globals=namespace)
        number, _ = timer.autorange()
        timers.append((timer, max(1, number // (4 if quick else 1))))
    best = [float("inf")] * len(timers)
    for _ in range(3 if quick else 11):
        for k, (timer, number) in enumerate(timers):
            best[k] = min(best[k], timer.timeit(number) / number * 1e9)
    return best


def time_table(build, quick):
    import math
    from geometry import trigonometry as native
    plain = load_plain(build)
    model = load_model(native)
    statements = [("m.sin(30.0)", {"m": math})]
    for call in CALLS:
        statements += [("m." + call, {"m": m}) for m in (native, plain, model)]
    times = best_ns(statements, quick)
    math_ns = times[0]
    print("Time per call, ns (best of repeats; python %s)" % sys.version.split()[0])
    print("%-16s %10s %10s %12s   %9s %9s %9s" % (
        "call", "module", "plain", "model", "/math.sin", "plain/", "model/"))
    for k, call in enumerate(CALLS):
        ns = times[1 + 3 * k:4 + 3 * k]
        print("%-16s %10.1f %10.1f %12.1f   %9.2f %9.1f %9.1f" % (
            call, ns[0], ns[1], ns[2], ns[0] / math_ns, ns[1] / ns[0], ns[2] / ns[0]))
    print("%-16s %10.1f" % ("math.sin(30.0)", math_ns))
    print("(/math.sin: module time over math.sin(30.0); plain/ and model/: how many times faster the module is)")


LOOP = """
import sys
sys.path[:0] = [%(tree)r]
from geometry import trigonometry as m
import math
for _ in range(int(sys.argv[1])):
    %(call)s
"""


def callgrind_total(script_text, count):
    """Instructions that valgrind counts for a run of the script, start-up included."""
    with tempfile.TemporaryDirectory() as scratch:
        script = os.path.join(scratch, "loop.py")
        with open(script, "w") as f:
            f.write(script_text)
        out = os.path.join(scratch, "callgrind.out")
        # A fixed hash seed keeps start-up the same from run to run.
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        sys.executable, script, str(count)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("no instruction count from callgrind")


def per_call(tree, call):
    # Running the loop n and 2n times cancels start-up and the first calls.
    n = 100
    script = LOOP % {"tree": tree, "call": call}
    return (callgrind_total(script, 2 * n) - callgrind_total(script, n)) / n


def instruction_table(build):
    from concurrent.futures import ThreadPoolExecutor
    print()
    print("Instructions per call under callgrind (the same on every run)")
    print("%-16s %10s %12s %9s" % ("call", "module", "plain", "plain/"))
    trees = [os.path.join(build, "python"), os.path.join(build, "python-plain")]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        counts = {(call, tree): pool.submit(per_call, tree, "m." + call) for call in CALLS for tree in trees}
        math_sin = pool.submit(per_call, trees[0], "math.sin(30.0)")
        for call in CALLS:
            module, plain = (counts[call, tree].result() for tree in trees)
            print("%-16s %10.0f %12.0f %9.1f" % (call, module, plain, plain / module))
        print("%-16s %10.0f" % ("math.sin(30.0)", math_sin.result()))


def main(argv):
    build = os.path.abspath(argv[1])
    quick = "--quick" in argv
    time_table(build, quick)
    if "--no-callgrind" not in argv:
        instruction_table(build)


if __name__ == "__main__":
    main(sys.argv)
