"""Long comparison of the shipped geometry.trigonometry with its plain build.

Usage: long_sameness.py [COUNT] [SEED] [--environments] [--chunk N] [--each N]

Runs COUNT generated calls (default 1,000,000) spread over the eight
functions (or N calls of each with --each N), each in both builds loaded
side by side, and compares the outcomes exactly: result type and bits, or
exception type, message and traceback entries. Prints the count and the mismatches per function. With
--environments it runs as many calls again, shared among environments that
rebind the module globals `constants` and `algebra` in both builds (pi of
other types, square roots that return other types), restoring them after.

Not run by CTest. Run it with one of the interpreters the project builds for,
after `make build`, for example from the project root:

    py=$(sh tools/find-python --host --newest)
    "$py" tests/long_sameness.py 1000000 7

Without PYTHONPATH the shipped build is looked for in the running
interpreter's build directory (build/<tools/buildtag.py>/python), and
without TRIG_PLAIN_TREE the plain build beside it.
"""

import argparse
import fractions
import math
import os
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "python"))

try:
    import geometry.trigonometry as SHIPPED
except ImportError:
    import plainbuild
    sys.path.insert(0, os.path.join(plainbuild.build_dir(), "python"))
    import geometry.trigonometry as SHIPPED

import inputs  # noqa: E402
import plainbuild  # noqa: E402
import refmodel  # noqa: E402
from inputs import FloatSub  # noqa: E402
from reliability_support import module_with  # noqa: E402

NAMES = refmodel.FUNCTION_NAMES

# Share of the calls per function. The arctan family costs a hundred times
# more than sin in the plain build (20 Newton steps of _tan_rad each).
SHARES = {
    "sin": 0.20, "cosin": 0.15, "tan": 0.15, "_tan_rad": 0.15,
    "arctan": 0.10, "arctan2": 0.10, "arcsin": 0.075, "arccos": 0.075,
}

SHOWN = 20  # mismatches printed per function and environment


def floor_root(v):
    """A square root that answers in ints (the floor of the root)."""
    return int(math.sqrt(v))


# Rebindings of the sibling modules that keep every generated call finite:
# pi stays small (sin's series converges), and the Newton steps are untouched.
ENVIRONMENTS = [
    ("pi the int 3", {"constants": types.SimpleNamespace(pi=3)}),
    ("pi a float subclass", {"constants": types.SimpleNamespace(pi=FloatSub(math.pi))}),
    ("pi a Fraction", {"constants": types.SimpleNamespace(pi=fractions.Fraction(355, 113))}),
    ("pi negative, in a module", {"constants": module_with(pi=-math.pi)}),
    ("sqrt the identity", {"algebra": types.SimpleNamespace(sqrt=lambda v: v)}),
    ("sqrt answering ints", {"algebra": types.SimpleNamespace(sqrt=floor_root)}),
    ("sqrt answering Fractions", {"algebra": types.SimpleNamespace(sqrt=fractions.Fraction)}),
]


def shares(total, each=None):
    if each:
        return {name: each for name in NAMES}
    counts = {name: int(round(total * SHARES[name])) for name in NAMES}
    counts["sin"] += total - sum(counts.values())
    return counts


def generated(name, seed, count, chunk):
    """The generator's arguments in chunks: its special cases once, then
    seeded draws, each chunk from its own seed."""
    make = inputs.ARGS[name]
    specials = len(make(seed, 0))
    done = 0
    k = 0
    while done < count:
        size = min(chunk, count - done)
        if k == 0:
            batch = make(seed, max(size, specials))[:size]
        else:
            batch = make(seed * 1000003 + k, specials + size)[specials:]
        yield batch
        done += len(batch)
        k += 1


def brief(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def compare(name, plain, seed, count, chunk, replacements=None):
    """Runs `count` generated calls of `name` in both builds; returns the
    number of calls and the list of mismatch descriptions."""
    shipped_fn, plain_fn = vars(SHIPPED)[name], vars(plain)[name]
    saved = [(m, dict(vars(m))) for m in (SHIPPED, plain)]
    mismatches = []
    done = 0
    try:
        for m, _ in saved:
            vars(m).update(replacements or {})
        for batch in generated(name, seed, count, chunk):
            for args in batch:
                got = refmodel.outcome(shipped_fn, args, refmodel.native_entries)
                expected = refmodel.outcome(plain_fn, args, refmodel.native_entries)
                if got != expected:
                    mismatches.append("%s(%s): shipped %s / plain %s" % (
                        name, ", ".join(brief(a) for a in args), refmodel.show(got), refmodel.show(expected)))
            done += len(batch)
    finally:
        for m, ns in saved:
            vars(m).clear()
            vars(m).update(ns)
    return done, mismatches


def report(label, name, done, mismatches, seconds):
    print("%-26s %-9s %9d calls %6d mismatches %8.1f s" % (label, name, done, len(mismatches), seconds))
    for line in mismatches[:SHOWN]:
        print("    " + line)
    if len(mismatches) > SHOWN:
        print("    ... %d more" % (len(mismatches) - SHOWN))
    sys.stdout.flush()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=1000000, help="calls in all (default 1000000)")
    parser.add_argument("seed", nargs="?", type=int, default=1, help="seed of the generators (default 1)")
    parser.add_argument("--environments", action="store_true",
                        help="also run as many calls under rebound sibling modules")
    parser.add_argument("--chunk", type=int, default=20000, help="arguments generated at a time")
    parser.add_argument("--each", type=int, help="calls per function instead of shares of COUNT")
    options = parser.parse_args(argv)

    plain = plainbuild.load()
    print("shipped: %s" % SHIPPED.__file__)
    print("plain:   %s" % plain.__file__)
    print("%d calls, seed %d" % (options.count, options.seed))

    totals = {"calls": 0, "mismatches": 0}
    runs = [("default", None, options.count)]
    if options.environments:
        each = options.count // len(ENVIRONMENTS)
        runs += [(label, replacements, each) for label, replacements in ENVIRONMENTS]

    started = time.time()
    for label, replacements, total in runs:
        for index, (name, count) in enumerate(shares(total, options.each).items()):
            seed = options.seed * 100 + index
            t0 = time.time()
            done, mismatches = compare(name, plain, seed, count, options.chunk, replacements)
            report(label, name, done, mismatches, time.time() - t0)
            totals["calls"] += done
            totals["mismatches"] += len(mismatches)
    print("total: %d calls, %d mismatches, %.1f s" % (
        totals["calls"], totals["mismatches"], time.time() - started))
    return 1 if totals["mismatches"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
