// Calling other callables from function bodies.
#pragma once

#include <Python.h>

namespace nrt {

// What a RecursionError raised by one of our guarded calls says.
constexpr const char kRecursionWhere[] = " while calling a Python object";

// Calls `callable` with `args` (count in `nargsf`, which may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET) and an optional keyword dict. Built-in
// functions taking no or one argument are called directly; anything with a
// vector-call entry goes straight to it.
PyObject* fast_call(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwdict) noexcept;

// A call site in a function body: one or two positional arguments, no
// keywords. A bound method is unpacked into its function and instance;
// anything else gets a reserved slot before the arguments so that the callee
// may prepend an instance without copying. All arguments are borrowed.
PyObject* call(PyObject* callable, PyObject* arg) noexcept;
PyObject* call(PyObject* callable, PyObject* arg1, PyObject* arg2) noexcept;

}  // namespace nrt
