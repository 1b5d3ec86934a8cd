"""Prints geometry.trigonometry beside the math module on a few inputs."""

import math

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


if __name__ == "__main__":
    main()
