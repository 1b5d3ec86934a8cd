// Bulk calls: f.map(*iterables, out=None, **keywords) gives what the loop
// [f(*args, **keywords) for args in zip(*iterables)] gives, as an
// array('d'), or stored into `out`.
#pragma once

#include <Python.h>

namespace nrt {

// The map of the function object `f`; the function type's `map` method
// reaches it through the function, so that each function is mapped by the
// runtime of the module that made it.
PyObject* map_function(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char kMapDoc[];

}  // namespace nrt
