"""Pure-Python reference model of geometry.trigonometry.

Every model function is written statement by statement like the native body:
the same operations, in the same order, with the same operand order and the
same in-place forms, so that its result, its exception and every special
method it calls on a custom number agree with the native module.

Module globals (sin, cosin, constants, algebra, ...) are read at the moment
of use from the namespace of a model object made by new_model(); rebinding an
entry of vars(model) changes every later call, just as rebinding a global of
the native module does.

Failures: the native module adds one traceback entry per failing function,
named "geometry.trigonometry.<name>" with the line of the failing statement.
The model notes the same (qualified name, line) pairs on the exception object
while it propagates; entries(exc) returns them OUTERMOST FIRST, which is the
order in which walking exc.__traceback__ via tb_next meets the native
module's entries (see native_entries()).
"""

import builtins
import math
import operator
import types

QUALIFIER = "geometry.trigonometry."
FILE_NAME = "vantor/geometry/trigonometry"

# The native bodies apply these directly, never through a name look-up, so
# rebinding "range" or "abs" in the namespace or in builtins changes nothing.
_range = builtins.range
_abs = operator.abs
# The host's own float conversion of an argument (PyFloat_AsDouble).
_float_of = math.fabs

_ENTRIES_ATTR = "_refmodel_entries"

_HEAPTYPE = 1 << 9


def _note(exc, name, line):
    """Record that the model function `name` failed at `line` (innermost first)."""
    recorded = exc.__dict__.get(_ENTRIES_ATTR)
    if recorded is None:
        recorded = []
        exc.__dict__[_ENTRIES_ATTR] = recorded
    recorded.append((QUALIFIER + name, line))


# The module's functions in the order it binds them; every suite takes the
# list from here.
FUNCTION_NAMES = ("sin", "cosin", "tan", "_tan_rad", "arctan", "arctan2", "arcsin", "arccos")


def for_each_function(method):
    """Class decorator: a test_<function> method per function, each calling
    self.<method>(name), so that every function reports on its own."""
    def decorate(cls):
        for name in FUNCTION_NAMES:
            def test(self, name=name):
                getattr(self, method)(name)
            test.__name__ = "test_" + name.lstrip("_")
            setattr(cls, test.__name__, test)
        return cls
    return decorate


def entries(exc):
    """The model's traceback entries of exc, outermost first."""
    return list(reversed(exc.__dict__.get(_ENTRIES_ATTR, ())))


def native_tracebacks(exc):
    """The traceback objects of the native module's entries in exc, outermost first."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == FILE_NAME:
            found.append(tb)
        tb = tb.tb_next
    return found


def native_entries(exc):
    """The native module's traceback entries (name, line) of exc, outermost first."""
    return [(tb.tb_frame.f_code.co_name, tb.tb_lineno) for tb in native_tracebacks(exc)]


def _tp_name(tp):
    # The C-level tp_name: heap types carry their bare __name__, static
    # types their dotted "module.name" (plain name for builtins).
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        name = tp.__name__
    else:
        name = "%s.%s" % (tp.__module__, tp.__name__)
    return name[:50]


def _special(tp, name):
    """Find a special method the way a type slot does: on the type's MRO only."""
    for klass in tp.__mro__:
        if name in klass.__dict__:
            return True, klass.__dict__[name]
    return False, None


def _non_float_message(tp, res):
    """The host's words for tp.__float__ returning res, which is no float
    (they change between versions): a stand-in of tp's names meets them."""
    stand_in = type(tp.__name__, (), {"__float__": lambda self: res})
    stand_in.__module__, stand_in.__qualname__ = tp.__module__, tp.__qualname__
    try:
        _float_of(stand_in())
    except TypeError as exc:
        return str(exc)
    raise AssertionError("no TypeError for a __float__ that returns %r" % (res,))


def as_double(op):
    """Convert op to a float exactly as the host's PyFloat_AsDouble does."""
    tp = type(op)
    if issubclass(tp, float):
        # Exact floats and float subclasses: the stored value, no method call.
        return float.__float__(op)
    has_float, meth = _special(tp, "__float__")
    if not has_float:
        has_index, _ = _special(tp, "__index__")
        if has_index:
            return int.__float__(operator.index(op))
        raise TypeError("must be real number, not %s" % _tp_name(tp))
    if meth is not None and hasattr(type(meth), "__get__"):
        meth = meth.__get__(op, tp)
        res = meth()
    else:
        res = meth(op)
    res_tp = type(res)
    if res_tp is not float:
        if not issubclass(res_tp, float):
            raise TypeError(_non_float_message(tp, res))
        import warnings
        warnings.warn(
            "%s.__float__ returned non-float (type %s).  The ability to "
            "return an instance of a strict subclass of float is deprecated, "
            "and may be removed in a future version of Python."
            % (_tp_name(tp), _tp_name(res_tp)),
            DeprecationWarning, stacklevel=2)
    return float.__float__(res)


def new_model(constants, algebra):
    """Return a module-like model whose namespace holds `constants`,
    `algebra` and the eight functions, bound in the native module's order."""
    model = types.ModuleType("refmodel_namespace")
    ns = model.__dict__
    ns["constants"] = constants
    ns["algebra"] = algebra

    def g(name):
        # Module dictionary first, then the builtins module, else NameError.
        try:
            return ns[name]
        except KeyError:
            pass
        try:
            return getattr(builtins, name)
        except AttributeError:
            raise NameError("name '%s' is not defined" % name) from None

    def sin(angle):
        line = 19
        try:
            angle = angle % 360
            line = 20
            if angle >= 180:
                line = 21
                angle -= 360
            line = 24
            if angle > 90:
                line = 25
                angle = 180 - angle
            else:
                line = 26
                if angle < -90:
                    line = 27
                    angle = -180 - angle
            line = 30
            x = angle * g("constants").pi / 180
            term = x
            tol = 1e-15
            result = 0.0
            i = 0
            line = 37
            while _abs(term) > tol:
                line = 38
                result += term
                line = 39
                i += 1
                line = 40
                term *= -x * x / (2 * i * (2 * i + 1))
                line = 37
            return result
        except BaseException as exc:
            _note(exc, "sin", line)
            raise

    def cosin(angle):
        line = 56
        try:
            angle = angle % 360
            line = 58
            if (angle >= 0 and angle < 90) or (angle >= 270 and angle <= 360):
                line = 59
                cosine = g("algebra").sqrt(1 - g("sin")(angle) * g("sin")(angle))
            else:
                line = 60
                if (angle >= 90 and angle < 180) or (angle >= 180 and angle < 270):
                    line = 61
                    cosine = -1 * g("algebra").sqrt(1 - g("sin")(angle) * g("sin")(angle))
            line = 62
            return cosine
        except BaseException as exc:
            _note(exc, "cosin", line)
            raise

    def tan(angle):
        try:
            return g("sin")(angle) / g("cosin")(angle)
        except BaseException as exc:
            _note(exc, "tan", 76)
            raise

    def _tan_rad(rad):
        # The argument is read as a C double before anything else happens.
        try:
            rad = as_double(rad)
        except BaseException as exc:
            _note(exc, "_tan_rad", 78)
            raise
        try:
            return (g("sin")(rad * 180.0 / g("constants").pi)
                    / g("cosin")(rad * 180.0 / g("constants").pi))
        except BaseException as exc:
            _note(exc, "_tan_rad", 82)
            raise

    def arctan(x, iter=20):
        line = 97
        try:
            if x > 1:
                line = 98
                return g("constants").pi / 2 - g("arctan")(1 / x, iter)
            line = 99
            if x < -1:
                line = 100
                return -g("constants").pi / 2 - g("arctan")(1 / x, iter)
            theta = 0.0
            line = 103
            for _ in _range(iter):
                line = 108
                theta = theta - (g("_tan_rad")(theta) - x) / (1 + g("_tan_rad")(theta) ** 2)
                line = 103
            return theta
        except BaseException as exc:
            _note(exc, "arctan", line)
            raise

    def arctan2(x, y):
        line = 126
        try:
            if x > 0:
                line = 127
                return g("arctan")(y / x)
            line = 128
            if x < 0 and y >= 0:
                line = 129
                return g("arctan")(y / x) + g("constants").pi
            line = 130
            if x < 0 and y < 0:
                line = 131
                return g("arctan")(y / x) - g("constants").pi
            line = 132
            if x == 0 and y > 0:
                line = 133
                return g("constants").pi / 2
            line = 134
            if x == 0 and y < 0:
                line = 135
                return -g("constants").pi / 2
            return 0.0
        except BaseException as exc:
            _note(exc, "arctan2", line)
            raise

    def arcsin(x):
        # The root is the horizontal coordinate and x the vertical one, so the
        # result is the angle in -pi/2..pi/2 whose sine is x.
        try:
            return g("arctan2")(g("algebra").sqrt(1 - x ** 2), x)
        except BaseException as exc:
            _note(exc, "arcsin", 151)
            raise

    def arccos(x):
        try:
            return g("constants").pi / 2 - g("arcsin")(x)
        except BaseException as exc:
            _note(exc, "arccos", 167)
            raise

    bodies = locals()
    for name in FUNCTION_NAMES:
        fn = bodies[name]
        fn.__qualname__ = name
        fn.__module__ = "refmodel_namespace"
        ns[name] = fn
    return model


# ----------------------------------------------------------------------------
# Comparing outcomes


def value_key(value):
    """Exact identity of a result: type plus bits for floats (so -0.0 differs
    from 0.0 and NaNs compare by their bits), type plus repr otherwise."""
    if type(value) is float:
        import struct
        return (float, struct.pack("<d", value).hex(), value.hex())
    return (type(value), repr(value))


def outcome(fn, args, entries_of):
    """Call fn(*args); return a comparable record of its result or failure.

    entries_of extracts the traceback entries of an exception: entries for
    the model, native_entries for the native module."""
    try:
        result = fn(*args)
    except Exception as exc:
        return ("raise", type(exc), str(exc), tuple(entries_of(exc)))
    return ("return",) + value_key(result)


def show(record):
    if record[0] == "raise":
        _, tp, msg, where = record
        return "%s(%r) at %s" % (tp.__name__, msg, list(where))
    if record[1] is float:
        if record[3] == "nan":
            return "float nan (bits %016x)" % int.from_bytes(bytes.fromhex(record[2]), "little")
        return "float %s" % record[3]
    return "%s %s" % (record[1].__name__, record[2])


def load():
    """Import the native module (if built) and the sibling modules.

    Returns (native, error, constants, algebra): native is None when the
    module is absent, and error holds the exception when it exists but fails
    to import.  constants and algebra are the objects the native module has
    bound, or the project's sibling modules when there is no native module.
    """
    import importlib
    import importlib.util
    import os
    import sys
    native = error = None
    try:
        native = importlib.import_module("geometry.trigonometry")
    except ImportError as exc:
        try:
            present = importlib.util.find_spec("geometry.trigonometry") is not None
        except ImportError:
            present = False
        if present:
            error = exc
    if native is not None:
        return native, None, vars(native)["constants"], vars(native)["algebra"]
    try:
        constants = importlib.import_module("geometry.constants")
        algebra = importlib.import_module("vantor.algebra.algebra")
    except ImportError:
        # No build on the path: use the sibling modules from the source tree.
        here = os.path.dirname(os.path.abspath(__file__))
        sys.path.append(os.path.normpath(os.path.join(here, "..", "..", "python")))
        for name in [m for m in sys.modules if m == "geometry" or m.startswith(("geometry.", "vantor"))]:
            del sys.modules[name]
        constants = importlib.import_module("geometry.constants")
        algebra = importlib.import_module("vantor.algebra.algebra")
    return None, error, constants, algebra
