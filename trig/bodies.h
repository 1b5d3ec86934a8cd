// Function bodies: each takes the bound arguments (borrowed) and returns a new
// reference, or null with an exception set and its own traceback entry added.
#pragma once

#include <Python.h>

namespace trigmod {

PyObject* sin_body(PyObject* self, PyObject* const* args) noexcept;

}  // namespace trigmod
