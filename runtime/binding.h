// Argument binding and the call wrappers built on it.
#pragma once

#include <Python.h>

namespace nrt {

constexpr int kMaxParams = 4;

// Everything binding needs to know about one function; one row per function.
// Parameter names and defaults are addresses of slots that start-up fills, so
// a table can be static data.
struct Signature {
    const char* name;            // plain name, used in argument errors
    const char* traceback_name;  // qualified name, used in traceback entries
    int line;                    // first line: binding failures are reported here
    int required;
    int maximum;
    PyObject* const* params[kMaxParams];    // interned names, in order
    PyObject* const* defaults[kMaxParams];  // per parameter; null where required
};

// Binds `args` (positional values, then the values of `kwnames`) into
// `slots`, which must start empty. Returns 0, or -1 with an exception set;
// either way the filled slots hold new references for the caller to release.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) noexcept;

using ObjectBody = PyObject* (*)(PyObject* self, PyObject* const* values);
using DoubleBody = PyObject* (*)(PyObject* self, double value);

// The call wrapper: binds, enters the recursion guard, runs the body,
// releases. Binding failures get one traceback entry at the first line; a
// failing body has added its own.
PyObject* invoke(const Signature& sig, ObjectBody body, PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) noexcept;
// The same for a one-parameter function whose body takes the argument as a double.
PyObject* invoke_double(const Signature& sig, DoubleBody body, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Entry points with the METH_FASTCALL | METH_KEYWORDS signature.
template <const Signature& Sig, ObjectBody Body>
PyObject* call_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return invoke(Sig, Body, self, args, nargs, kwnames);
}

template <const Signature& Sig, DoubleBody Body>
PyObject* call_wrapper_double(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return invoke_double(Sig, Body, self, args, nargs, kwnames);
}

}  // namespace nrt
