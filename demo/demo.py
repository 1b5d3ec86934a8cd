"""Prints geometry.trigonometry beside the math module on a few inputs, then
its error against the math module over sweeps of arguments, small ones too."""

import math
import statistics

from geometry import trigonometry as trig


def table(title, rows):
    print(title)
    print("  %-16s %24s %24s %10s" % ("call", "trigonometry", "math", "difference"))
    for label, ours, reference in rows:
        print("  %-16s %24r %24r %10.3g" % (label, ours, reference, ours - reference))
    print()


def main():
    angles = (0, 30, 45, 60, 123.456, 180, 225, -30, 1e9)
    table("Degrees", [("%s(%r)" % (name, a), f(a), ref(math.radians(a % 360)))
                      for name, f, ref in (("sin", trig.sin, math.sin), ("cosin", trig.cosin, math.cos))
                      for a in angles]
          + [("tan(%r)" % a, trig.tan(a), math.tan(math.radians(a))) for a in (30, 45, 135, 300)])
    table("Radians", [("_tan_rad(%r)" % r, trig._tan_rad(r), math.tan(r)) for r in (0.5, 1.0, -1.2)]
          + [("arctan(%r)" % x, trig.arctan(x), math.atan(x)) for x in (0.5, 1, 2.0, -10)]
          + [("arctan2(%r, %r)" % p, trig.arctan2(*p), math.atan2(p[1], p[0]))
             for p in ((1, 1), (-1, 1), (-1, -1), (0, -1))]
          + [("arcsin(%r)" % x, trig.arcsin(x), math.asin(x)) for x in (0.5, -0.5, 1)]
          + [("arccos(%r)" % x, trig.arccos(x), math.acos(x)) for x in (0.5, 0, -1)])
    for call, args in (("sin", ("abc",)), ("tan", (90,))):
        try:
            getattr(trig, call)(*args)
        except Exception as error:  # the demo shows whatever the call raises
            print("%s(%s) raises %s: %s" % (call, ", ".join(map(repr, args)), type(error).__name__, error))
    # A bulk call: the loop's results, as an array of doubles.
    xs = [x / 4 for x in range(-4, 5)]
    print("arcsin.map(%r)" % xs)
    print("  gives  ", trig.arcsin.map(xs))
    print("  equals [arcsin(x) for x in xs]:", list(trig.arcsin.map(xs)) == [trig.arcsin(x) for x in xs])
    print()
    accuracy()


def math_degrees(angle):
    """math's sin, cos and tan of an angle in degrees. The angle is first
    reduced to a quadrant q and an offset r - 90 * q in [-45, 45], exactly
    (fmod is exact, and so is the subtraction of operands within a factor of
    two), so that math.radians adds no error of its own: otherwise sin(180)
    would come out as 1.2e-16 instead of 0, and large angles would lose
    digits. The cotangent of the odd quadrants takes one rounding more than
    math.tan alone."""
    r = math.fmod(angle, 360.0)
    q = round(r / 90)
    x = math.radians(r - 90 * q)
    s, c = math.sin(x), math.cos(x)
    sin = (s, c, -s, -c)[q % 4]
    cos = (c, -s, -c, s)[q % 4]
    tan = math.tan(x) if q % 2 == 0 else (-1 / math.tan(x) if x else None)  # None: a pole
    return sin, cos, tan


def ulps(ours, reference):
    """|ours - reference| in units in the last place of the reference. Where
    the reference is zero, only a zero counts as exact; anything else has no
    finite distance in its units and counts as infinite."""
    if reference == 0:
        return 0.0 if ours == 0 else math.inf
    return abs(ours - reference) / math.ulp(reference)


def sweeps():
    """(function, sweep label, [(arguments, math's value or None at a pole)])."""
    degrees = [k / 4 for k in range(-2880, 2881)]
    reference = {a: math_degrees(a) for a in degrees}
    label = "-720..720 deg, step 0.25"
    yield trig.sin, label, [((a,), reference[a][0]) for a in degrees]
    yield trig.cosin, label, [((a,), reference[a][1]) for a in degrees]
    yield trig.tan, label, [((a,), reference[a][2]) for a in degrees]
    yield trig._tan_rad, "-3..3, step 0.001", [((k / 1000,), math.tan(k / 1000))
                                                for k in range(-3000, 3001)]
    yield trig.arctan, "-8..8, step 0.01", [((k / 100,), math.atan(k / 100)) for k in range(-800, 801)]
    grid = [(i / 20, j / 20) for i in range(-40, 41) for j in range(-40, 41)]
    yield trig.arctan2, "x, y in -2..2, step 0.05", [((x, y), math.atan2(y, x)) for x, y in grid]
    unit = [k / 1000 for k in range(-1000, 1001)]
    yield trig.arcsin, "-1..1, step 0.001", [((x,), math.asin(x)) for x in unit]
    yield trig.arccos, "-1..1, step 0.001", [((x,), math.acos(x)) for x in unit]
    # Small arguments, 100 per decade: the series stops at an absolute 1e-15,
    # which is many units in the last place of a small result.
    small_degrees = [10 ** (k / 100) for k in range(-800, 1)]
    yield trig.sin, "1e-8..1 deg, log steps", [((a,), math_degrees(a)[0]) for a in small_degrees]
    small = [10 ** (k / 100) for k in range(-1000, -99)]
    label = "1e-10..0.1, log steps"
    yield trig._tan_rad, label, [((x,), math.tan(x)) for x in small]
    yield trig.arctan, label, [((x,), math.atan(x)) for x in small]
    yield trig.arcsin, label, [((x,), math.asin(x)) for x in small]


def count(value):
    return "%.1f" % value if value < 1000 else "%.3g" % value


def accuracy():
    print("Error against the math module, in units in the last place (ulp) of math's")
    print("result, and the largest absolute error; arctan2(x, y) is compared with")
    print("math.atan2(y, x)")
    print("  %-9s %-25s %6s %8s %8s  %-12s %8s" % ("function", "sweep", "median", "<=1 ulp", "max", "at",
                                                   "max abs"))
    notes = []
    for function, label, points in sweeps():
        name = function.__name__
        errors, at_poles, failed = [], [], []
        for args, reference in points:
            try:
                ours = float(function(*args))
                outcome = "gives %r" % ours
            except Exception as exc:  # counted, and named below the table
                ours, outcome = None, "raises " + type(exc).__name__
            if reference is None:
                at_poles.append(outcome)
            elif ours is None or math.isnan(ours):
                failed.append("%s(%s) %s" % (name, ", ".join(map(repr, args)), outcome))
            else:
                errors.append((ulps(ours, reference), args, abs(ours - reference)))
        if errors:
            worst, args, _ = max(errors, key=lambda e: e[0])
            where = ", ".join("%g" % a for a in args)
            values = [e for e, _, _ in errors]
            within_one = 100 * sum(e <= 1 for e in values) / len(values)
            print("  %-9s %-25s %6s %7.1f%% %8s  %-12s %8.2g" % (
                name, label, count(statistics.median(values)), within_one, count(worst),
                where if len(args) == 1 else "(%s)" % where, max(e for _, _, e in errors)))
        else:
            print("  %-9s %-25s %6s %8s %8s" % (name, label, "-", "-", "-"))
        if at_poles:
            notes.append("%s: %d poles skipped; there %s %s" % (
                name, len(at_poles), name, " or ".join(sorted(set(at_poles)))))
        if failed:
            notes.append("%s: %d calls failed where math has a value, e.g. %s"
                         % (name, len(failed), failed[0]))
    for note in notes:
        print("  " + note)

if __name__ == "__main__":
    main()
