# Types of the compiled module geometry.trigonometry. Angles of sin, cosin and
# tan are in degrees, every other angle is in radians. The functions work on
# any number objects with Python semantics; for ints and floats they return a
# float. The annotation texts match the functions' own __annotations__.
#
# Each function is a function object with a map() method, so each is typed
# as a protocol of its call and that method.

from _typeshed import WriteableBuffer
from array import array
from typing import Any, Iterable, Protocol, TypeVar, overload, type_check_only

_Out = TypeVar("_Out", bound=WriteableBuffer)

@type_check_only
class _Mapped(Protocol):
    # f.map(*iterables, out=None, **keywords): the results of the loop over
    # the iterables' elements as an array('d'), or stored into out, a
    # writable one-dimensional buffer of doubles, which it returns.
    @overload
    def map(self, *iterables: Iterable[Any], out: None = None, **keywords: Any) -> array[float]: ...
    @overload
    def map(self, *iterables: Iterable[Any], out: _Out, **keywords: Any) -> _Out: ...

@type_check_only
class _OfAngle(_Mapped, Protocol):
    def __call__(self, angle: int | float) -> float: ...

@type_check_only
class _OfRad(_Mapped, Protocol):
    def __call__(self, rad: float) -> float: ...

@type_check_only
class _Arctan(_Mapped, Protocol):
    def __call__(self, x: float | int, iter: int = ...) -> float: ...

@type_check_only
class _Arctan2(_Mapped, Protocol):
    def __call__(self, x: float | int, y: float | int) -> float: ...

@type_check_only
class _OfX(_Mapped, Protocol):
    def __call__(self, x: float | int) -> float: ...

sin: _OfAngle
cosin: _OfAngle
tan: _OfAngle
_tan_rad: _OfRad
arctan: _Arctan
arctan2: _Arctan2
arcsin: _OfX
arccos: _OfX

# Read by doctest; always empty.
__test__: dict[str, str]
