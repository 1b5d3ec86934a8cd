"""Seeded argument generators for the trigonometry functions.

Each generator returns a list of argument tuples: a fixed set of special
cases first, then seeded random draws up to the requested count.  The mix
covers ints of every size class the native fast paths distinguish (zero, one
and two 30-bit digits, longer), bools, floats (signed zeros, subnormals, tiny
negatives, huge, infinities, NaN, random bit patterns, multiples of 90 and
their neighbours), Fractions, Decimals and a few non-numbers.  Decimal cases
fail or finish within a handful of operations, and a huge `iter` for arctan
is only paired with a NaN, which fails in the second Newton step.

It also holds the number, keyword-name and exception types of a caller's
own that the suites share, hostile ones among them.
"""

import decimal
import fractions
import math
import random
import struct

from recnum import IndexOnly

D = decimal.Decimal
F = fractions.Fraction

NAN = float("nan")
INF = float("inf")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
MIN_SUB = 5e-324
MIN_NORMAL = 2.2250738585072014e-308
MAX_FLOAT = 1.7976931348623157e308

NOT_NUMBERS = ["abc", "%d", None, 1 + 2j, [], b"1"]


# ----------------------------------------------------------------------------
# Values of the caller's own types


class IntSub(int):
    pass


class FloatSub(float):
    """A float subclass: never an exact float, so every fast path skips it."""


class FloatReturnsInt:
    """__float__ gives an int, which the float read refuses."""

    def __float__(self):
        return 3


class Boom(Exception):
    pass


class BadTruth:
    """A comparison result whose truth test fails."""

    def __bool__(self):
        raise Boom("truth")


class EqRaises(str):
    """A keyword name whose comparison with the parameter name fails."""

    def __eq__(self, other):
        raise Boom("eq")
    __hash__ = str.__hash__


DUNDERS = ["__mod__", "__rmod__", "__imod__", "__lt__", "__le__", "__eq__", "__ne__",
           "__gt__", "__ge__", "__add__", "__radd__", "__iadd__", "__sub__", "__rsub__",
           "__isub__", "__mul__", "__rmul__", "__imul__", "__truediv__", "__rtruediv__",
           "__itruediv__", "__pow__", "__rpow__", "__neg__", "__pos__", "__abs__",
           "__float__", "__index__", "__bool__"]

# What every special method of a hostile number does.
BEHAVIOURS = {
    "raises": None,
    "not_implemented": lambda self: NotImplemented,
    "string": lambda self: "x",
    "none": lambda self: None,
    "bad_truth": lambda self: BadTruth(),
    "self": lambda self: self,
}


def hostile_type(behaviour, base=object):
    """A subclass of base whose every special method behaves as named."""
    def method(self, *args):
        if BEHAVIOURS[behaviour] is None:
            raise Boom(behaviour)
        return BEHAVIOURS[behaviour](self)
    namespace = {name: method for name in DUNDERS}
    namespace["__hash__"] = None
    namespace["__repr__"] = lambda self: "<%s>" % type(self).__name__
    return type("%s_%s" % (base.__name__, behaviour), (base,), namespace)


def bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits & (2 ** 64 - 1)))[0]


def step(x, n):
    """x moved by n representable doubles (up for n > 0, down for n < 0)."""
    target = INF if n > 0 else -INF
    for _ in range(abs(n)):
        x = math.nextafter(x, target)
    return x


def neighbours(x, reach=2):
    return [step(x, n) for n in range(-reach, reach + 1) if n]


# ----------------------------------------------------------------------------
# Building blocks

SPECIAL_INTS = [
    0, 1, -1, 2, 30, 45, 60, 89, 90, 91, 135, 150, 179, 180, 181, 210, 225,
    269, 270, 271, 315, 330, 359, 360, 361, 719, 720, -30, -45, -89, -90, -91,
    -179, -180, -181, -270, -359, -360, -361,
    2 ** 30 - 1, 2 ** 30, -(2 ** 30 - 1), -(2 ** 30),
    2 ** 60 - 1, 2 ** 60, -(2 ** 60 - 1), -(2 ** 60), 2 ** 40, -(2 ** 40),
    2 ** 70, -(2 ** 70), 10 ** 30, -(10 ** 50), 360 * 10 ** 40 + 90,
    True, False,
]

SPECIAL_FLOATS = [
    0.0, -0.0, MIN_SUB, -MIN_SUB, MIN_NORMAL, -MIN_NORMAL, 1e-320,
    -1e-20, -1e-300, 1e-20, 1e-15, -1e-15, 1e-14, 1e-16, -5e-16,
    0.5, -0.5, 1.0, -1.0, 30.0, 45.0, 60.0, 90.0, 180.0, 270.0, 360.0,
    -90.0, -180.0, 359.99999999999994, 1e20, -1e20, 1e300, -1e300,
    9.987e305, 1e306, MAX_FLOAT, -MAX_FLOAT, INF, -INF, NAN, NEG_NAN,
]

SPECIAL_FRACTIONS = [
    F(1, 3), F(-1, 3), F(60), F(90), F(-90), F(181, 2), F(-1, 10 ** 20),
    F(10 ** 40, 7), F(1, 2), F(-1, 2),
]

# Decimals stop early: the product with a float pi is a TypeError, NaNs and
# huge values raise InvalidOperation, and a negative remainder keeps its sign.
SPECIAL_DECIMALS = [
    D(30), D(-30), D("0.5"), D("NaN"), D("sNaN"), D("-Infinity"), D("1E+1000"),
    D("-1E-30"), D(0),
]


def random_int(rng):
    r = rng.random()
    if r < 0.45:
        return rng.randint(-1000, 1000)
    if r < 0.6:
        return 90 * rng.randint(-12, 12) + rng.randint(-2, 2)
    if r < 0.95:
        digits = rng.randint(1, 5)
        v = rng.getrandbits(30 * digits)
        return -v if rng.random() < 0.5 else v
    return rng.random() < 0.5


def random_float(rng):
    r = rng.random()
    if r < 0.3:
        return rng.uniform(-1000.0, 1000.0)
    if r < 0.5:
        return step(90.0 * rng.randint(-12, 12), rng.randint(-3, 3))
    if r < 0.7:
        return bits_to_float(rng.getrandbits(64))
    if r < 0.9:
        magnitude = 10.0 ** rng.uniform(-330.0, 308.0)
        return -magnitude if rng.random() < 0.5 else magnitude
    return rng.choice(SPECIAL_FLOATS)


def random_fraction(rng):
    r = rng.random()
    if r < 0.7:
        return F(rng.randint(-10 ** 6, 10 ** 6), rng.randint(1, 10 ** 4))
    if r < 0.85:
        return F(rng.getrandbits(150) - 2 ** 149, rng.randint(1, 10 ** 9))
    return F(rng.randint(-5, 5), 10 ** rng.randint(10, 40))


def random_decimal(rng):
    r = rng.random()
    if r < 0.6:
        return D(rng.randint(-720, 720)) / D(rng.choice([1, 2, 4, 10]))
    return rng.choice(SPECIAL_DECIMALS)


def _mixed(rng, weights, makers):
    r = rng.random()
    for w, make in zip(weights, makers):
        if r < w:
            return make(rng)
        r -= w
    return makers[-1](rng)


def _fill(special, n, seed, draw):
    rng = random.Random(seed)
    out = list(special)
    while len(out) < n:
        out.append(draw(rng))
    return out


# ----------------------------------------------------------------------------
# Per-function argument lists


def angle_args(seed, n):
    """Arguments for sin, cosin and tan (degrees)."""
    special = [(v,) for v in SPECIAL_INTS + SPECIAL_FLOATS + SPECIAL_FRACTIONS + SPECIAL_DECIMALS + NOT_NUMBERS]
    special += [(v,) for k in range(-8, 9) for v in neighbours(90.0 * k)]

    def draw(rng):
        return (_mixed(rng, [0.3, 0.6, 0.07, 0.02, 0.01],
                       [random_int, random_float, random_fraction, random_decimal,
                        lambda r: r.choice(NOT_NUMBERS)]),)
    return _fill(special, n, seed, draw)


def radian_args(seed, n):
    """Arguments for _tan_rad (radians, read as a double first)."""
    pi = math.pi
    special = [(v,) for v in [
        0, 0.0, -0.0, 1, -1, 1.0, -1.0, True, False, 2, 1e-16, -5e-16, 1e-14,
        pi / 4, -pi / 4, pi / 2, -pi / 2, pi, 3 * pi / 2, 2 * pi, 1e10, 1e300,
        9.987e305, 1e306, -1e306, MAX_FLOAT, INF, -INF, NAN,
        10 ** 400, -(10 ** 400), 2 ** 70, F(1, 3), F(-7, 4), D("0.5"),
        D("sNaN"), D("NaN"), D("-1"), IndexOnly(3), IndexOnly(-1), IndexOnly(10 ** 400),
    ] + NOT_NUMBERS]
    special += [(v,) for k in range(-4, 5) for v in neighbours(k * pi / 2)]

    def draw(rng):
        r = rng.random()
        if r < 0.45:
            return (rng.uniform(-7.0, 7.0),)
        if r < 0.6:
            return (step(rng.randint(-8, 8) * pi / 4, rng.randint(-3, 3)),)
        if r < 0.7:
            return (rng.randint(-10, 10),)
        if r < 0.8:
            return (bits_to_float(rng.getrandbits(64)),)
        if r < 0.9:
            magnitude = 10.0 ** rng.uniform(-330.0, 308.0)
            return (-magnitude if rng.random() < 0.5 else magnitude,)
        if r < 0.97:
            return (random_fraction(rng),)
        return (rng.choice(NOT_NUMBERS + [D("0.25"), D("sNaN"), 10 ** 400]),)
    return _fill(special, n, seed, draw)


ITERS = [0, 1, 2, 3, -1, True, False, 20, 5]
BAD_ITERS = [2.0, None, "3", D(3)]


def arctan_args(seed, n):
    """Arguments for arctan: (x,) or (x, iter)."""
    xs = [0, 0.0, -0.0, 1, -1, 2, -2, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, True,
          False, 1e20, -1e20, 1e-20, -1e-20, 4e-17, 1e-300, MIN_SUB, INF, -INF,
          NAN, step(1.0, 1), step(1.0, -1), step(-1.0, 1), step(-1.0, -1),
          10 ** 30, F(1, 2), F(3, 2), F(-5, 3), D("0.5"), D(2), D("NaN")]
    special = [(x,) for x in xs] + [(x,) for x in NOT_NUMBERS]
    special += [(x, it) for x in [0.5, -0.5, 1, 2.0, -3, NAN, NEG_NAN, 0] for it in ITERS]
    special += [(x, it) for x in [0.5, 3.0, -3.0] for it in BAD_ITERS]
    special += [(NAN, 10 ** 30), (NAN, 2 ** 62), (None, 10 ** 30), ("a", 1)]

    def draw(rng):
        r = rng.random()
        if r < 0.3:
            x = rng.uniform(-1.0, 1.0)
        elif r < 0.55:
            x = rng.uniform(-4.0, 4.0)
        elif r < 0.65:
            x = step(rng.choice([1.0, -1.0]), rng.randint(-3, 3))
        elif r < 0.75:
            magnitude = 10.0 ** rng.uniform(-330.0, 308.0)
            x = -magnitude if rng.random() < 0.5 else magnitude
        elif r < 0.85:
            x = rng.randint(-6, 6)
        elif r < 0.9:
            x = bits_to_float(rng.getrandbits(64))
        elif r < 0.97:
            x = random_fraction(rng)
        else:
            x = rng.choice([D("0.25"), D(-3), D("NaN"), None, "x"])
        if rng.random() < 0.25:
            return (x, rng.choice(ITERS))
        return (x,)
    return _fill(special, n, seed, draw)


PAIR_POOL = [0, 0.0, -0.0, 1, -1, 2, -2, 0.5, -0.5, 1.0, -1.0, True, False,
             NAN, INF, -INF, 1e-300, -1e-300, 1e300, -1e300, MIN_SUB, -MIN_SUB,
             F(1, 2), F(-3, 4)]


def arctan2_args(seed, n):
    """Arguments for arctan2: (x, y), x the horizontal coordinate."""
    special = [(x, y) for x in [0, -0.0, 0.0, 1, -1, NAN, INF, -INF, 2]
               for y in [0, -0.0, 0.0, 1, -1, NAN, INF, -INF, 0.5]]
    special += [(D(1), D(1)), (D(1), 1.0), (D("NaN"), 1), ("a", 1), (1, "a"),
                (None, 0), (0, None), (-1, None), (1, 1 + 2j)]

    def value(rng):
        r = rng.random()
        if r < 0.35:
            return rng.choice(PAIR_POOL)
        if r < 0.75:
            return rng.uniform(-10.0, 10.0)
        if r < 0.85:
            return rng.randint(-10, 10)
        if r < 0.93:
            magnitude = 10.0 ** rng.uniform(-330.0, 308.0)
            return -magnitude if rng.random() < 0.5 else magnitude
        return random_fraction(rng)

    def draw(rng):
        return (value(rng), value(rng))
    return _fill(special, n, seed, draw)


def unit_args(seed, n):
    """Arguments for arcsin and arccos."""
    special = [(v,) for v in [
        0, 1, -1, 2, -2, True, False, 0.0, -0.0, 0.5, -0.5, 1.0, -1.0,
        step(1.0, -1), step(1.0, 1), step(-1.0, 1), step(-1.0, -1), 1e-20,
        -1e-20, MIN_SUB, 1.5, -1.5, 1e200, 10 ** 200, INF, -INF, NAN,
        F(1, 2), F(-1, 2), F(3, 5), F(2), D("0.5"), D("NaN"),
    ] + NOT_NUMBERS]

    def draw(rng):
        r = rng.random()
        if r < 0.6:
            return (rng.uniform(-1.0, 1.0),)
        if r < 0.7:
            return (step(rng.choice([1.0, -1.0, 0.0]), rng.randint(-3, 3)),)
        if r < 0.8:
            return (rng.randint(-2, 2),)
        if r < 0.9:
            return (F(rng.randint(-1000, 1000), 1000),)
        if r < 0.95:
            return (rng.uniform(-3.0, 3.0),)
        return (rng.choice([bits_to_float(rng.getrandbits(64)), D("-0.5"), None]),)
    return _fill(special, n, seed, draw)


ARGS = {
    "sin": angle_args,
    "cosin": angle_args,
    "tan": angle_args,
    "_tan_rad": radian_args,
    "arctan": arctan_args,
    "arctan2": arctan2_args,
    "arcsin": unit_args,
    "arccos": unit_args,
}


# Values worth following through a whole computation with recording numbers.
RECORDED_VALUES = {
    "sin": [30, -30, 0, 90, 270, 181.5, -1e-20, 1e-14, 725, NAN, F(1, 3)],
    "cosin": [60, 90, 270, 180, -1e-20, 359.5, 0, NAN, 135.0],
    "tan": [45, 90, 135, 0],
    "_tan_rad": [1.0, 0, -0.5, 2],
    "arctan": [0.5, -2.0, 1, 0.0],
    "arctan2": [(1.0, 1.0), (-1.0, 0.5), (-1.0, -0.5), (0, 1), (0, -1), (0, 0), (2, 1)],
    "arcsin": [0.5, -1, 1, 0],
    "arccos": [0.5, -1],
}
