// Operations on values: machine arithmetic while both operands are machine
// values and the machine can give Python's answer, in the same order as the
// object steps; the object operation (with the constant fast paths of
// numbers.h) otherwise, at the same step, so that the caller sees exactly
// what the object path gives.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>

#include "runtime/config.h"
#include "runtime/guard.h"
#include "runtime/machine.h"
#include "runtime/numbers.h"
#include "runtime/value.h"

namespace nrt {

namespace detail {

using ObjectBinary = PyObject* (*)(PyObject*, PyObject*);

inline Val object_binary(ObjectBinary f, const Val& a, const Val& b) noexcept {
    PyObject* x = a.object();
    if (x == nullptr) return Val();
    PyObject* y = b.object();
    if (y == nullptr) return Val();
    return Val::steal(f(x, y));
}

inline Val binary(machine::Op op, ObjectBinary f, const Val& a, const Val& b) noexcept {
    if (kMachineValues && a.is_machine() && b.is_machine()) {
        Val out;
        if (machine::binary(op, a, b, &out)) return out;
    }
    return object_binary(f, a, b);
}

}  // namespace detail

inline Val add(const Val& a, const Val& b) noexcept { return detail::binary(machine::Op::Add, PyNumber_Add, a, b); }
inline Val add_in_place(const Val& a, const Val& b) noexcept {
    return detail::binary(machine::Op::Add, PyNumber_InPlaceAdd, a, b);
}
inline Val subtract(const Val& a, const Val& b) noexcept {
    return detail::binary(machine::Op::Subtract, PyNumber_Subtract, a, b);
}
inline Val multiply(const Val& a, const Val& b) noexcept {
    return detail::binary(machine::Op::Multiply, PyNumber_Multiply, a, b);
}
inline Val multiply_in_place(const Val& a, const Val& b) noexcept {
    return detail::binary(machine::Op::Multiply, PyNumber_InPlaceMultiply, a, b);
}
inline Val true_divide(const Val& a, const Val& b) noexcept {
    return detail::binary(machine::Op::Divide, PyNumber_TrueDivide, a, b);
}

inline Val negative(const Val& a) noexcept {
    if (kMachineValues) {
        if (a.kind() == Val::Kind::Float) return Val::of_float(-a.float_value());
        if (a.kind() == Val::Kind::Int && a.int_value() != INT64_MIN) return Val::of_int(-a.int_value());
    }
    PyObject* x = a.object();
    return x ? Val::steal(PyNumber_Negative(x)) : Val();
}

// a ** 2 (the number protocol's power, no modulus).
inline Val square(const Val& a, Const two) noexcept {
    if (kMachineValues) {
        if (a.kind() == Val::Kind::Float) {
            double r;
            if (machine::float_square(a.float_value(), &r)) return Val::of_float(r);
        } else if (a.kind() == Val::Kind::Int) {
            std::int64_t r;
            if (!__builtin_mul_overflow(a.int_value(), a.int_value(), &r)) return Val::of_int(r);
        }
    }
    PyObject* x = a.object();
    return x ? Val::steal(PyNumber_Power(x, two.object, Py_None)) : Val();
}

// Rich comparison followed by the truth test: 1, 0, or -1 with an exception set.
inline int compare(const Val& a, const Val& b, int op) noexcept {
    if (kMachineValues && a.is_machine() && b.is_machine() && !at_recursion_limit()) {
        int r = machine::compare(a, b, op);
        if (r >= 0) return r;
    }
    PyObject* x = a.object();
    if (x == nullptr) return -1;
    PyObject* y = b.object();
    if (y == nullptr) return -1;
    return nrt::compare(x, y, op);
}

inline int compare(const Val& a, Const c, int op) noexcept {
    if (kMachineValues && a.is_machine() && !at_recursion_limit()) {
        int r = machine::compare(a, Val::of_int(c.value), op);
        if (r >= 0) return r;
    }
    PyObject* x = a.object();
    return x ? nrt::compare(x, c.object, op) : -1;
}

// The constant operations: machine arithmetic on machine values, the
// constant fast paths on objects.

inline Val remainder_by_constant(const Val& x, Const c) noexcept {
    if (kMachineValues) {
        if (x.kind() == Val::Kind::Int) {
            std::int64_t r = x.int_value() % c.value;
            return Val::of_int(r < 0 ? r + c.value : r);
        }
        if (x.kind() == Val::Kind::Float) {
            return Val::of_float(machine::float_remainder(x.float_value(), static_cast<double>(c.value)));
        }
    }
    PyObject* o = x.object();
    return o ? Val::steal(nrt::remainder_by_constant(o, c)) : Val();
}

namespace detail {

// a op b in machine arithmetic when it can give Python's answer, else the
// constant fast path on the object of x.
template <typename ObjectOp>
inline Val with_constant(machine::Op op, const Val& a, const Val& b, const Val& x, ObjectOp object_op) noexcept {
    if (kMachineValues && a.is_machine() && b.is_machine()) {
        Val out;
        if (machine::binary(op, a, b, &out)) return out;
    }
    PyObject* o = x.object();
    return o ? Val::steal(object_op(o)) : Val();
}

}  // namespace detail

inline Val constant_minus(Const c, const Val& x) noexcept {
    return detail::with_constant(machine::Op::Subtract, Val::of_int(c.value), x, x,
                                 [c](PyObject* o) { return nrt::constant_minus(c, o); });
}

inline Val subtract_constant(const Val& x, Const c) noexcept {
    return detail::with_constant(machine::Op::Subtract, x, Val::of_int(c.value), x,
                                 [c](PyObject* o) { return nrt::subtract_constant(o, c); });
}

inline Val add_constant(const Val& x, Const c, AddForm form) noexcept {
    auto object_op = [c, form](PyObject* o) { return nrt::add_constant(o, c, form); };
    if (form == AddForm::ConstantFirst) {
        return detail::with_constant(machine::Op::Add, Val::of_int(c.value), x, x, object_op);
    }
    return detail::with_constant(machine::Op::Add, x, Val::of_int(c.value), x, object_op);
}

inline Val constant_times(Const c, const Val& x) noexcept {
    return detail::with_constant(machine::Op::Multiply, Val::of_int(c.value), x, x,
                                 [c](PyObject* o) { return nrt::constant_times(c, o); });
}

inline Val divide_by_constant(const Val& x, Const c) noexcept {
    return detail::with_constant(machine::Op::Divide, x, Val::of_int(c.value), x,
                                 [c](PyObject* o) { return nrt::divide_by_constant(o, c); });
}

inline int equals_constant(const Val& x, Const c) noexcept {
    if (kMachineValues && x.is_machine() && !at_recursion_limit()) {
        int r = machine::compare(x, Val::of_int(c.value), Py_EQ);
        if (r >= 0) return r;
    }
    PyObject* o = x.object();
    return o ? nrt::equals_constant(o, c) : -1;
}

inline Val absolute_value(const Val& x) noexcept {
    if (kMachineValues) {
        if (x.kind() == Val::Kind::Float) return Val::of_float(std::fabs(x.float_value()));
        if (x.kind() == Val::Kind::Int && x.int_value() != INT64_MIN) {
            return x.int_value() < 0 ? Val::of_int(-x.int_value()) : x;
        }
    }
    PyObject* o = x.object();
    return o ? Val::steal(nrt::absolute_value(o)) : Val();
}

}  // namespace nrt
