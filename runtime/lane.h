// The lane: calls from one function body to another, straight to the
// callee's body with machine values, without argument or result objects.
#pragma once

#include <Python.h>

#include "runtime/binding.h"
#include "runtime/kernel.h"
#include "runtime/value.h"

namespace nrt {

struct LaneEntry {
    const Signature* signature;
    Val (*call)(const Val* args, Py_ssize_t n);
    const Kernel* kernel;  // null: bulk calls make ordinary calls
};

// The hosting module's functions: method records [begin, end) and, in the
// same order, their lane entries.
struct LaneTable {
    const PyMethodDef* begin = nullptr;
    const PyMethodDef* end = nullptr;
    const LaneEntry* entries = nullptr;
};
extern LaneTable lanes;

// The position in the lane table of one of the hosting module's own function
// objects, or -1 for anything else (a method of a class included).
int own_function(PyObject* callable) noexcept;

// Calls `callable` (borrowed) with positional values. One of the module's
// own function objects, given a count it accepts, runs its body directly;
// anything else is called with objects through the call site of call.h.
Val call(PyObject* callable, const Val& arg) noexcept;
Val call(PyObject* callable, const Val& arg1, const Val& arg2) noexcept;

}  // namespace nrt
