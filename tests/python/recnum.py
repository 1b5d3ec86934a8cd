"""Recording numbers and spies for comparing the native module with the model.

A Tape collects one entry per special-method call (and per spy event).  Rec
wraps an int, float or Fraction; every operation it takes part in is logged
on its tape and returns a new Rec on the same tape, so the log follows the
whole computation.  Comparisons return a Truth whose __bool__ is logged too,
which exposes how often and in which order each comparison is truth-tested.

A tape can also inject a failure: with fail_at=k the k-th counted event
raises Injected, which lets a test drive every failure site of a function
and compare the resulting exceptions and traceback entries.
"""

import math
import operator


class Injected(Exception):
    """The failure a Tape raises at its fail_at-th counted event."""


def desc(value):
    """A precise, comparable description of a value."""
    tp = type(value)
    if tp is float:
        if value != value:
            return "nan" if math.copysign(1.0, value) > 0 else "-nan"
        return value.hex()
    if tp is int or tp is bool:
        return "%s:%r" % (tp.__name__, value)
    if tp is Rec:
        return "Rec(%s)" % desc(value.v)
    if tp is Truth:
        return "Truth(%r)" % value.v
    return "%s:%r" % (tp.__name__, value)


class Tape:
    def __init__(self, fail_at=None):
        self.log = []
        self.count = 0
        self.fail_at = fail_at

    def note(self, *entry):
        """Log a counted event; raise Injected if it is the chosen one."""
        self.count += 1
        self.log.append(entry)
        if self.count == self.fail_at:
            raise Injected("injected at event %d: %s" % (self.count, entry[0]))

    def mark(self, *entry):
        """Log an event that never fails (results of spied calls)."""
        self.log.append(entry)


def injection_points(count, limit):
    """The events of a run of `count` at which to inject a failure: all of
    them when there are few; otherwise the first and last ones (the
    statements of the outermost function) and an even spread over the rest."""
    if count <= limit:
        return list(range(1, count + 1))
    edge = limit // 4
    spread = limit - 2 * edge
    points = set(range(1, edge + 1)) | set(range(count - edge + 1, count + 1))
    points |= {edge + 1 + (i * (count - 2 * edge)) // spread for i in range(spread)}
    return sorted(points)


def _unwrap(value):
    return value.v if type(value) is Rec else value


def _binary(name, op, reflected=False):
    def method(self, other):
        self.tape.note(name, desc(self.v), desc(other))
        o = _unwrap(other)
        return Rec(op(o, self.v) if reflected else op(self.v, o), self.tape)
    method.__name__ = name
    return method


def _compare(name, op):
    def method(self, other):
        self.tape.note(name, desc(self.v), desc(other))
        return Truth(op(self.v, _unwrap(other)), self.tape)
    method.__name__ = name
    return method


def _unary(name, op):
    def method(self):
        self.tape.note(name, desc(self.v))
        return Rec(op(self.v), self.tape)
    method.__name__ = name
    return method


class Truth:
    """Result of a Rec comparison; its truth test is logged."""
    __slots__ = ("v", "tape")

    def __init__(self, v, tape):
        self.v = v
        self.tape = tape

    def __bool__(self):
        self.tape.note("__bool__", repr(self.v))
        return self.v

    def __repr__(self):
        return "Truth(%r)" % self.v


class Rec:
    """A number that logs every special method it takes part in."""
    __slots__ = ("v", "tape")
    __hash__ = None

    def __init__(self, v, tape):
        self.v = v
        self.tape = tape

    def __repr__(self):
        return "Rec(%r)" % (self.v,)

    __add__ = _binary("__add__", operator.add)
    __radd__ = _binary("__radd__", operator.add, True)
    __iadd__ = _binary("__iadd__", operator.add)
    __sub__ = _binary("__sub__", operator.sub)
    __rsub__ = _binary("__rsub__", operator.sub, True)
    __isub__ = _binary("__isub__", operator.sub)
    __mul__ = _binary("__mul__", operator.mul)
    __rmul__ = _binary("__rmul__", operator.mul, True)
    __imul__ = _binary("__imul__", operator.mul)
    __truediv__ = _binary("__truediv__", operator.truediv)
    __rtruediv__ = _binary("__rtruediv__", operator.truediv, True)
    __itruediv__ = _binary("__itruediv__", operator.truediv)
    __floordiv__ = _binary("__floordiv__", operator.floordiv)
    __rfloordiv__ = _binary("__rfloordiv__", operator.floordiv, True)
    __mod__ = _binary("__mod__", operator.mod)
    __rmod__ = _binary("__rmod__", operator.mod, True)
    __imod__ = _binary("__imod__", operator.mod)

    def __pow__(self, other, modulo=None):
        self.tape.note("__pow__", desc(self.v), desc(other), desc(modulo))
        return Rec(pow(self.v, _unwrap(other), _unwrap(modulo)), self.tape)

    def __rpow__(self, other):
        self.tape.note("__rpow__", desc(self.v), desc(other))
        return Rec(pow(_unwrap(other), self.v), self.tape)

    __neg__ = _unary("__neg__", operator.neg)
    __pos__ = _unary("__pos__", operator.pos)
    __abs__ = _unary("__abs__", operator.abs)

    __lt__ = _compare("__lt__", operator.lt)
    __le__ = _compare("__le__", operator.le)
    __gt__ = _compare("__gt__", operator.gt)
    __ge__ = _compare("__ge__", operator.ge)
    __eq__ = _compare("__eq__", operator.eq)
    __ne__ = _compare("__ne__", operator.ne)

    def __bool__(self):
        self.tape.note("__bool__", desc(self.v))
        return bool(self.v)

    def __float__(self):
        self.tape.note("__float__", desc(self.v))
        return float(self.v)

    def __index__(self):
        self.tape.note("__index__", desc(self.v))
        if type(self.v) is not int:
            raise TypeError("Rec holding %s has no index" % type(self.v).__name__)
        return self.v


class IndexOnly:
    """A number with __index__ but no __float__ (the fallback of a float read)."""

    def __init__(self, v, tape=None):
        self.v = v
        self.tape = tape

    def __index__(self):
        if self.tape is not None:
            self.tape.note("__index__", desc(self.v))
        return self.v

    def __repr__(self):
        return "IndexOnly(%r)" % (self.v,)


class SpyConstants:
    """Stands in for the constants module: every read of pi is logged and
    yields a Rec, so all arithmetic on pi is logged as well."""

    def __init__(self, pi, tape):
        self._pi = pi
        self._tape = tape

    @property
    def pi(self):
        self._tape.note("getattr", "constants.pi")
        return Rec(self._pi, self._tape)


class SpyAlgebra:
    """Stands in for the algebra module: reads of sqrt and its calls are
    logged, and each root comes back as a Rec so that what the caller does
    with it is logged too."""

    def __init__(self, sqrt, tape):
        self._sqrt = sqrt
        self._tape = tape

    @property
    def sqrt(self):
        self._tape.note("getattr", "algebra.sqrt")
        real = self._sqrt
        tape = self._tape

        def sqrt(value):
            tape.note("call", "sqrt", desc(value))
            result = Rec(real(value), tape)
            tape.mark("return", "sqrt", desc(result))
            return result
        return sqrt


def spy_function(name, fn, tape):
    """A wrapper that logs each call of the global `name` and its outcome."""
    def spy(*args):
        tape.note("call", name, *[desc(a) for a in args])
        try:
            result = fn(*args)
        except BaseException as exc:
            tape.mark("raise", name, type(exc).__name__)
            raise
        tape.mark("return", name, desc(result))
        return result
    spy.__name__ = name
    return spy


def rebind(namespace, replacements):
    """Rebind entries of a module namespace; return a function that restores them."""
    missing = object()
    saved = {k: namespace.get(k, missing) for k in replacements}
    namespace.update(replacements)

    def restore():
        for k, v in saved.items():
            if v is missing:
                namespace.pop(k, None)
            else:
                namespace[k] = v
    return restore

