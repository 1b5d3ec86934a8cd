// Arithmetic with one constant operand, and truth tests.
//
// Each operation gives exactly the value and type that the generic number
// protocol gives for the same operands in the same order. Exact ints of up
// to two 30-bit digits and exact floats are computed directly in machine
// arithmetic (no overflow is possible: one-digit values stay below 2^30 and
// two-digit values below 2^60, the constants are at most 360 in magnitude);
// longer ints go to the int type's own slot, everything else (bools, int
// subclasses, other number types) to the generic protocol. A build with
// NRT_PLAIN uses the generic protocol throughout.
#pragma once

#include <Python.h>

#include "runtime/config.h"

namespace nrt {

// The value, hidden from the optimiser: a constant operand must not let the
// compiler rewrite an operation (-1.0 * x as -x flips the sign of a NaN,
// 1.0 * x keeps a signalling NaN unquieted), since Python performs them.
inline double opaque(double v) noexcept {
    asm("" : "+x"(v));
    return v;
}

// A constant operand: the object (for the generic fallback and for results
// equal to the constant) and its machine value.
struct Const {
    PyObject* object;
    long value;
};

// Truth of an object: 1, 0, or -1 with an exception set. The three
// singletons answer without a call.
inline int truth_value(PyObject* o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

// Rich comparison `a op b` followed by the truth test of its result (which
// may be any object): 1, 0, or -1 with an exception set.
inline int compare(PyObject* a, PyObject* b, int op) noexcept {
    PyObject* r = PyObject_RichCompare(a, b, op);
    if (r == nullptr) return -1;
    int truth = truth_value(r);
    Py_DECREF(r);
    return truth;
}

// x % c, c positive.
PyObject* remainder_by_constant(PyObject* x, Const c) noexcept;
// c - x.
PyObject* constant_minus(Const c, PyObject* x) noexcept;
// x -= c.
PyObject* subtract_constant(PyObject* x, Const c) noexcept;
// x += c, x + c and c + x.
enum class AddForm { InPlace, Plain, ConstantFirst };
PyObject* add_constant(PyObject* x, Const c, AddForm form) noexcept;
// c * x.
PyObject* constant_times(Const c, PyObject* x) noexcept;
// x / c, c non-zero.
PyObject* divide_by_constant(PyObject* x, Const c) noexcept;
// Truth of x == c, c the int 0: 1, 0, or -1 with an exception set.
int equals_constant(PyObject* x, Const c) noexcept;
// abs(x).
PyObject* absolute_value(PyObject* x) noexcept;

}  // namespace nrt
