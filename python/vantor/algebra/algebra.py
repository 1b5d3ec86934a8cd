"""Algebraic helpers used by geometry.trigonometry."""

import math

# The square root is math.sqrt itself: the correctly rounded root as a float
# for ints and floats >= 0, NaN for NaN, ValueError("math domain error") for
# negatives. Binding it directly, rather than wrapping it in a function of
# our own, keeps a Python frame out of every cosin, tan and arcsin call.
sqrt = math.sqrt
