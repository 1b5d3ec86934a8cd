// Number operations used by function bodies.
#pragma once

#include <Python.h>

namespace nrt {

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

}  // namespace nrt
