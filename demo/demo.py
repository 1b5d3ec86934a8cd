"""Prints geometry.trigonometry beside the math module on a few angles."""

import math

from geometry import trigonometry as trig


def main():
    print("%8s  %22s  %22s  %10s" % ("degrees", "trigonometry.sin", "math.sin", "difference"))
    for degrees in (0, 30, 45, 60, 90, 123.456, 180, 225, 270, -30, 1e9, 2 ** 70):
        ours = trig.sin(degrees)
        reference = math.sin(math.radians(degrees % 360))
        print("%8s  %22r  %22r  %10.3g" % (degrees, ours, reference, ours - reference))
    print()
    try:
        trig.sin("abc")
    except TypeError as error:
        print("sin('abc') raises %s: %s" % (type(error).__name__, error))


if __name__ == "__main__":
    main()
