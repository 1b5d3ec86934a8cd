"""Long differential run: geometry.trigonometry against the reference model.

Usage (from the project root, after `make build`, with py set to one of the
interpreters that `sh tools/find-python` prints; the running interpreter's
build tree is used unless PYTHONPATH names another):

    "$py" tests/long_differential.py [COUNT] [--seed N]
        [--only NAME ...] [--show N]

Generates COUNT arguments (default 100000) for every function the module
has (argument pairs for arctan2) and compares result type and bits, or the
exception type, message and traceback entries.  Prints per-function counts
and the first mismatches; the exit status is 1 when anything disagrees.
Not part of the CI suite: a full run takes several minutes.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "python"))
# PYTHONPATH wins; the running version's build tree is only a fallback.
import plainbuild  # noqa: E402

sys.path.append(os.path.join(plainbuild.build_dir(), "python"))

import inputs  # noqa: E402
import refmodel  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", nargs="?", type=int, default=100000,
                        help="generated arguments per function (default 100000)")
    parser.add_argument("--seed", type=int, default=1, help="generator seed (default 1)")
    parser.add_argument("--only", nargs="+", choices=refmodel.FUNCTION_NAMES,
                        help="compare only these functions")
    parser.add_argument("--show", type=int, default=20,
                        help="mismatches printed per function (default 20)")
    args = parser.parse_args(argv)

    native, error, constants, algebra = refmodel.load()
    if native is None:
        print("geometry.trigonometry cannot be imported: %r" % (error,), file=sys.stderr)
        return 2
    model = refmodel.new_model(constants, algebra)
    print("module %s, seed %d, %d arguments per function"
          % (getattr(native, "__file__", "?"), args.seed, args.count))

    names = args.only or refmodel.FUNCTION_NAMES
    total_mismatches = 0
    for index, name in enumerate(names):
        if name not in vars(native):
            print("%-9s not in the module, skipped" % name)
            continue
        native_fn = vars(native)[name]
        model_fn = vars(model)[name]
        started = time.time()
        arg_list = inputs.ARGS[name](args.seed * 1000 + index, args.count)
        returned = raised = 0
        mismatches = []
        for call_args in arg_list:
            expected = refmodel.outcome(model_fn, call_args, refmodel.entries)
            got = refmodel.outcome(native_fn, call_args, refmodel.native_entries)
            if expected[0] == "return":
                returned += 1
            else:
                raised += 1
            if expected != got:
                mismatches.append((call_args, expected, got))
        total_mismatches += len(mismatches)
        print("%-9s %7d calls: %7d returned, %6d raised, %5d mismatches  (%.1f s)"
              % (name, len(arg_list), returned, raised, len(mismatches), time.time() - started))
        for call_args, expected, got in mismatches[:args.show]:
            print("    %s%r\n        model:  %s\n        module: %s"
                  % (name, call_args, refmodel.show(expected), refmodel.show(got)))
        sys.stdout.flush()
    print("total mismatches: %d" % total_mismatches)
    return 1 if total_mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
