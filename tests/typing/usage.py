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
