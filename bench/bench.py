"""Times geometry.trigonometry against math, its plain build and the
pure-Python model, all in one process.

Usage: bench.py BUILD_DIR [--quick] [--no-callgrind]

BUILD_DIR holds python/ (the module as shipped) and python-plain/ (the build
that computes every step on objects). Each row pairs a call of the module
with its math counterpart on the same value, and every call is timed the way
user code makes it: a module attribute read, then the call. The best of
several repeats is reported, in ns per call. A last table gives instructions
per call under callgrind, a figure that machine noise does not move.
"""

import importlib.machinery
import importlib.util
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import timeit

# Fixed random values, the same on every run: WITHIN lies in -1..1, BEYOND
# holds their reciprocals (abs(x) > 1), RADIANS is DEGREES converted.
_random = random.Random(2024)
WITHIN = [_random.uniform(-1, 1) for _ in range(1000)]
DEGREES = [_random.uniform(-360, 360) for _ in range(1000)]
LISTS = {"WITHIN": WITHIN, "BEYOND": [1 / x for x in WITHIN],
         "DEGREES": DEGREES, "RADIANS": [math.radians(d) for d in DEGREES]}

# A call of the module and its math counterpart, which takes radians and, in
# atan2, the vertical coordinate first. "f(x) for x in LIST" is timed as a
# loop over the list, the same on both sides, and reported per value.
ROWS = [
    ("sin(30)", "sin(0.5235987755982988)"),
    ("sin(123.456)", "sin(2.1547136813421197)"),
    ("sin(-1e9)", "sin(-17453292.519943297)"),
    ("sin(x) for x in DEGREES", "sin(x) for x in RADIANS"),
    ("cosin(60)", "cos(1.0471975511965976)"),
    ("tan(45)", "tan(0.7853981633974483)"),
    ("_tan_rad(1.0)", "tan(1.0)"),
    ("arctan(0.5)", "atan(0.5)"),
    ("arctan(2.0)", "atan(2.0)"),
    ("arctan(x) for x in WITHIN", "atan(x) for x in WITHIN"),
    ("arctan(x) for x in BEYOND", "atan(x) for x in BEYOND"),
    ("arctan2(-1, 1)", "atan2(1, -1)"),
    ("arcsin(0.5)", "asin(0.5)"),
    ("arccos(0.5)", "acos(0.5)"),
    ("arcsin(x) for x in WITHIN", "asin(x) for x in WITHIN"),
    # math takes no keywords, so this one sits beside the positional call.
    ("sin(angle=30)", "sin(0.5235987755982988)"),
]
HERE = os.path.dirname(os.path.abspath(__file__))


def statement(call):
    """The statement that makes the call on module m, the list it loops over
    (None if it makes a single call) and the number of calls it makes."""
    call, _, name = call.partition(" for x in ")
    if name:
        return "for x in %s: m.%s" % (name, call), name, len(LISTS[name])
    return "m." + call, None, 1


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


def progress(text):
    """A line on stderr about where the run is, so that the tables on stdout
    stay clean (a full run takes about ten minutes)."""
    print("bench: " + text, file=sys.stderr, flush=True)


def best_ns(calls, quick):
    """Best time per call, in ns, of each (call, module) pair.

    The repeats run in rounds over all the calls, so that a slow spell of the
    machine (or its clock ramping up) touches every row alike."""
    timers = []
    progress("sizing %d timed statements" % len(calls))
    for call, module in calls:
        code, _, count = statement(call)
        timer = timeit.Timer(code, globals=dict(LISTS, m=module))
        number, _ = timer.autorange()
        timers.append((timer, max(1, number // (4 if quick else 1)), count))
    best = [float("inf")] * len(timers)
    rounds = 3 if quick else 11
    for r in range(rounds):
        progress("timing round %d of %d" % (r + 1, rounds))
        for k, (timer, number, count) in enumerate(timers):
            best[k] = min(best[k], timer.timeit(number) / (number * count) * 1e9)
    return best


def time_tables(build, quick):
    from geometry import trigonometry as native
    plain, model = load_plain(build), load_model(native)
    calls = []
    for call, counterpart in ROWS:
        calls += [(call, native), (call, plain), (call, model), (counterpart, math)]
    times = best_ns(calls, quick)
    rows = [(row, times[4 * k:4 * k + 4]) for k, row in enumerate(ROWS)]
    print("Time per call, ns (best of repeats)")
    print("%-26s %9s  %-30s %9s %8s" % ("call", "module", "counterpart", "math", "ratio"))
    for (call, counterpart), (module, _, _, counterpart_ns) in rows:
        print("%-26s %9.1f  %-30s %9.1f %8.2f" % (
            call, module, "math." + counterpart, counterpart_ns, module / counterpart_ns))
    print("(ratio: module time over math time; loops over %d values give the time per value)"
          % len(WITHIN))
    print()
    print("Against the object path, time per call, ns")
    print("%-26s %9s %11s %11s %8s %8s" % ("call", "module", "plain", "model", "plain/", "model/"))
    for (call, _), (module, plain, model, _) in rows:
        print("%-26s %9.1f %11.1f %11.1f %8.1f %8.1f" % (
            call, module, plain, model, plain / module, model / module))
    print("(plain/ and model/: how many times faster the module is than the plain build"
          " and the model)")


# Bulk calls: seeded random doubles, 100,000 per row; each map is timed
# against the loops it stands for, of math and of the module's own call.
BULK = 100000
_bulk = random.Random(2025)
_within = [_bulk.uniform(-1, 1) for _ in range(BULK)]
_degrees = [_bulk.uniform(-360, 360) for _ in range(BULK)]
BULK_LISTS = {"WITHIN": _within, "BEYOND": [1 / x for x in _within], "DEGREES": _degrees,
              "RADIANS": [math.radians(d) for d in _degrees], "OTHER": [_bulk.uniform(-1, 1) for _ in range(BULK)]}
# (function, its lists, math's counterpart, its lists)
MAP_ROWS = [
    ("sin", ["DEGREES"], "sin", ["RADIANS"]),
    ("cosin", ["DEGREES"], "cos", ["RADIANS"]),
    ("tan", ["DEGREES"], "tan", ["RADIANS"]),
    ("_tan_rad", ["RADIANS"], "tan", ["RADIANS"]),
    ("arctan", ["WITHIN"], "atan", ["WITHIN"]),
    ("arctan", ["BEYOND"], "atan", ["BEYOND"]),
    ("arctan2", ["WITHIN", "OTHER"], "atan2", ["OTHER", "WITHIN"]),
    ("arcsin", ["WITHIN"], "asin", ["WITHIN"]),
    ("arccos", ["WITHIN"], "acos", ["WITHIN"]),
]


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def map_table(quick):
    """f.map(values) per value, against [math.g(v) for v in values] and the
    module's own loop; then two threads mapping halves, and a map's memory."""
    from geometry import trigonometry as native
    repeats = 3 if quick else 7
    print()
    print("Bulk calls, ns per value (best of repeats, %d values)" % BULK)
    print("%-22s %9s %11s %9s %10s %9s" % ("map", "map", "math loop", "map/math", "own loop", "own/map"))
    for name, lists, counterpart, counterpart_lists in MAP_ROWS:
        progress("bulk row %s over %s" % (name, lists[0]))
        f, g = getattr(native, name), getattr(math, counterpart)
        columns = [BULK_LISTS[k] for k in lists]
        other = [BULK_LISTS[k] for k in counterpart_lists]
        ns = [best_of(action, repeats) / BULK * 1e9 for action in (
            lambda: f.map(*columns),
            (lambda: [g(v) for v in other[0]]) if len(other) == 1 else (lambda: [g(a, b) for a, b in zip(*other)]),
            (lambda: [f(v) for v in columns[0]]) if len(columns) == 1 else (lambda: [f(a, b) for a, b in zip(*columns)]))]
        print("%-22s %9.1f %11.1f %9.2f %10.1f %9.1f" % ("%s over %s" % (name, "/".join(lists)), ns[0], ns[1],
                                                        ns[0] / ns[1], ns[2], ns[2] / ns[0]))
    print("(map/math: the map's time over the math loop's; own/map: how many times faster the map is than the"
          " module's own loop)")

    import array
    import threading
    import tracemalloc
    values = array.array("d", (_bulk.uniform(-1, 1) for _ in range(10 ** 6)))
    halves = [values[:len(values) // 2], values[len(values) // 2:]]

    def two_threads():
        threads = [threading.Thread(target=native.arctan.map, args=(h,)) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    progress("bulk threads")
    one, two = best_of(lambda: native.arctan.map(values), repeats), best_of(two_threads, repeats)
    print("arctan.map over 10**6 values: one thread %.0f ms, two threads on halves %.0f ms: %.2f times the"
          " throughput" % (one * 1e3, two * 1e3, one / two))
    big = array.array("d", [0.5]) * 10 ** 7
    tracemalloc.start()
    native.sin.map(big)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print("sin.map over 10**7 doubles: %.1f MB allocated at the peak, of which %.1f MB the output"
          % (peak / 1e6, 8 * len(big) / 1e6))


LOOP = """
import math, sys
sys.path[:0] = [%(tree)r]
from geometry import trigonometry
m = %(module)s
%(values)s

def run(n):
    for _ in range(n):
        %(code)s

run(int(sys.argv[1]))
"""


def callgrind_total(script, count):
    """Instructions that valgrind counts for a run of the script, start-up included."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        # The script goes in by -c, since a file of it would have a new name
        # on every run and move start-up. A fixed hash seed keeps start-up the
        # same too, and leaving out the site module makes it shorter.
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        sys.executable, "-S", "-c", script, str(count)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("no instruction count from callgrind")


def per_call(tree, module, call):
    """Instructions per call; running the statement n and 2n times cancels
    start-up and the first calls."""
    code, name, count = statement(call)
    n = 1 if name else 20
    values = "%s = %r" % (name, LISTS[name]) if name else ""
    script = LOOP % {"tree": tree, "module": module, "values": values, "code": code}
    return (callgrind_total(script, 2 * n) - callgrind_total(script, n)) / (n * count)


def instruction_table(build):
    from concurrent.futures import ThreadPoolExecutor
    print()
    print("Instructions per call under callgrind (the same on every run)")
    print("%-26s %9s %9s %8s %11s %8s" % ("call", "module", "math", "ratio", "plain", "plain/"))
    shipped, plain = os.path.join(build, "python"), os.path.join(build, "python-plain")
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        def count(tree, module, call):
            return pool.submit(per_call, tree, module, call)
        jobs = [(count(shipped, "trigonometry", call), count(shipped, "math", counterpart),
                 # A loop over the values would keep the plain build busy for minutes.
                 None if statement(call)[1] else count(plain, "trigonometry", call))
                for call, counterpart in ROWS]
        for k, ((call, _), row_jobs) in enumerate(zip(ROWS, jobs)):
            module, counterpart, plain_count = (job and job.result() for job in row_jobs)
            progress("callgrind row %d of %d done" % (k + 1, len(ROWS)))
            line = "%-26s %9.0f %9.0f %8.2f" % (call, module, counterpart, module / counterpart)
            if plain_count:
                line += " %11.0f %8.1f" % (plain_count, plain_count / module)
            print(line)
    print("(ratio: module over math; loops over %d values give the count per value)" % len(WITHIN))


def main(argv):
    build = os.path.abspath(argv[1])
    quick = "--quick" in argv
    print("geometry.trigonometry on CPython %s" % sys.version.split()[0])
    print()
    time_tables(build, quick)
    map_table(quick)
    if "--no-callgrind" not in argv:
        instruction_table(build)


if __name__ == "__main__":
    main(sys.argv)
