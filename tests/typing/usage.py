# The README's usage example, type-checked against the module's stub by
# `make typecheck`.
from geometry import trigonometry as t

angles: list[float] = [
    t.sin(30),
    t.cosin(60),
    t.tan(45),
    t._tan_rad(1.0),
    t.arctan(1),
    t.arctan(0.5, 3),
    t.arctan2(-1, 0),
    t.arcsin(0.5),
    t.arccos(-1),
]
print(angles)

# Bulk calls, and a use of their result.
from array import array

values: array[float] = t.sin.map([30, 45, 60])
out = array("d", bytes(16))
stored: array[float] = t.arctan2.map([1, -1], [1, 1], out=out)
print(sum(values), t.arctan.map(values, iter=8)[0], stored is out)
