// Function bodies: each takes the bound arguments (borrowed) and returns a new
// reference, or null with an exception set and its own traceback entry added.
#pragma once

#include <Python.h>

namespace trigmod {

PyObject* sin_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* cosin_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* tan_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* tan_rad_body(PyObject* self, double rad) noexcept;
PyObject* arctan_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* arctan2_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* arcsin_body(PyObject* self, PyObject* const* args) noexcept;
PyObject* arccos_body(PyObject* self, PyObject* const* args) noexcept;

}  // namespace trigmod
