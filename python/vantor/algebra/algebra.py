"""Algebraic helpers used by geometry.trigonometry."""

import math


def sqrt(value):
    """Return the correctly rounded square root of value as a float.

    Ints and floats >= 0 give a float, NaN gives NaN, and a negative value
    raises ValueError("math domain error"), as math.sqrt does.
    """
    return math.sqrt(value)
