#include "runtime/numbers.h"

#include <cstdint>

#include "runtime/compat/ints.h"

namespace nrt {

namespace {

// Signed digit count of an exact int: 0, +-1 (below 2^30), +-2 (below 2^60), ...
inline Py_ssize_t digit_count(PyObject* x) noexcept { return compat::int_signed_size(x); }

inline std::int32_t one_digit(PyObject* x) noexcept {
    auto v = static_cast<std::int32_t>(compat::int_digits(x)[0]);
    return digit_count(x) < 0 ? -v : v;
}

inline std::int64_t two_digits(PyObject* x) noexcept {
    const digit* d = compat::int_digits(x);
    auto v = static_cast<std::int64_t>(d[0]) | (static_cast<std::int64_t>(d[1]) << PyLong_SHIFT);
    return digit_count(x) < 0 ? -v : v;
}

inline PyObject* same(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

inline PyNumberMethods* int_slots() noexcept { return PyLong_Type.tp_as_number; }

}  // namespace

PyObject* remainder_by_constant(PyObject* x, Const c) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        switch (digit_count(x)) {
            case 0: return same(x);
            case 1:
            case -1: {
                std::int32_t r = one_digit(x) % static_cast<std::int32_t>(c.value);
                if (r < 0) r += static_cast<std::int32_t>(c.value);
                return PyLong_FromLong(r);
            }
            case 2:
            case -2: {
                std::int64_t r = two_digits(x) % c.value;
                if (r < 0) r += c.value;
                return PyLong_FromLongLong(r);
            }
            default: return int_slots()->nb_remainder(x, c.object);
        }
    }
    return PyNumber_Remainder(x, c.object);
}

PyObject* constant_minus(Const c, PyObject* x) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        switch (digit_count(x)) {
            case 0: return same(c.object);
            case 1:
            case -1: return PyLong_FromLong(static_cast<std::int32_t>(c.value) - one_digit(x));
            case 2:
            case -2: return PyLong_FromLongLong(c.value - two_digits(x));
            default: return int_slots()->nb_subtract(c.object, x);
        }
    }
    if (kMachineValues && PyFloat_CheckExact(x)) {
        return PyFloat_FromDouble(opaque(static_cast<double>(c.value)) - PyFloat_AS_DOUBLE(x));
    }
    return PyNumber_Subtract(c.object, x);
}

PyObject* subtract_constant(PyObject* x, Const c) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        switch (digit_count(x)) {
            case 0: return PyLong_FromLong(-c.value);
            case 1:
            case -1: return PyLong_FromLong(one_digit(x) - static_cast<std::int32_t>(c.value));
            case 2:
            case -2: return PyLong_FromLongLong(two_digits(x) - c.value);
            default: return int_slots()->nb_subtract(x, c.object);
        }
    }
    if (kMachineValues && PyFloat_CheckExact(x)) {
        return PyFloat_FromDouble(PyFloat_AS_DOUBLE(x) - opaque(static_cast<double>(c.value)));
    }
    return PyNumber_InPlaceSubtract(x, c.object);
}

PyObject* add_constant(PyObject* x, Const c, AddForm form) noexcept {
    bool constant_first = form == AddForm::ConstantFirst;
    if (kMachineValues && PyLong_CheckExact(x)) {
        switch (digit_count(x)) {
            case 0: return same(c.object);
            case 1:
            case -1: return PyLong_FromLong(one_digit(x) + static_cast<std::int32_t>(c.value));
            case 2:
            case -2: return PyLong_FromLongLong(two_digits(x) + c.value);
            default:
                return constant_first ? int_slots()->nb_add(c.object, x) : int_slots()->nb_add(x, c.object);
        }
    }
    if (kMachineValues && PyFloat_CheckExact(x)) {
        // IEEE addition is commutative, so the order cannot change the value.
        return PyFloat_FromDouble(PyFloat_AS_DOUBLE(x) + opaque(static_cast<double>(c.value)));
    }
    switch (form) {
        case AddForm::InPlace: return PyNumber_InPlaceAdd(x, c.object);
        case AddForm::Plain: return PyNumber_Add(x, c.object);
        default: return PyNumber_Add(c.object, x);
    }
}

PyObject* constant_times(Const c, PyObject* x) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        switch (digit_count(x)) {
            case 0: return same(x);
            case 1:
            case -1: return PyLong_FromLongLong(static_cast<std::int64_t>(one_digit(x)) * c.value);
            default: return int_slots()->nb_multiply(c.object, x);
        }
    }
    if (kMachineValues && PyFloat_CheckExact(x)) {
        return PyFloat_FromDouble(opaque(static_cast<double>(c.value)) * PyFloat_AS_DOUBLE(x));
    }
    return PyNumber_Multiply(c.object, x);
}

PyObject* divide_by_constant(PyObject* x, Const c) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        Py_ssize_t n = digit_count(x);
        // Both doubles are exact, so the quotient is the correctly rounded one.
        if (n == 1 || n == -1) return PyFloat_FromDouble(static_cast<double>(one_digit(x)) / opaque(static_cast<double>(c.value)));
        return int_slots()->nb_true_divide(x, c.object);
    }
    if (kMachineValues && PyFloat_CheckExact(x)) {
        return PyFloat_FromDouble(PyFloat_AS_DOUBLE(x) / opaque(static_cast<double>(c.value)));
    }
    return PyNumber_TrueDivide(x, c.object);
}

int equals_constant(PyObject* x, Const c) noexcept {
    if (kMachineValues) {
        if (x == c.object) return 1;
        if (PyLong_CheckExact(x)) return digit_count(x) == 0;
        if (PyFloat_CheckExact(x)) return PyFloat_AS_DOUBLE(x) == 0.0;
    }
    return compare(x, c.object, Py_EQ);
}

PyObject* absolute_value(PyObject* x) noexcept {
    if (kMachineValues && PyLong_CheckExact(x)) {
        Py_ssize_t n = digit_count(x);
        if (n >= 0) return same(x);
        if (n == -1) return PyLong_FromUnsignedLong(compat::int_digits(x)[0]);
        // A negated copy, which is what the int type's own slot makes.
        return int_slots()->nb_absolute(x);
    }
    return PyNumber_Absolute(x);
}

}  // namespace nrt
