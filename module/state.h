// The module's process-wide state: built once at start-up, never released.
#pragma once

#include <Python.h>

#include <cstdint>

#include "trig/environment.h"
#include "trig/functions.h"

namespace trigmod {

// The module dict, the builtins, the empty tuple and the function type live
// in the runtime's context (nrt::context), the strings and number constants
// in the bodies' environment; everything else is here. Every object entry is
// a strong reference.
struct ModuleState {
    PyObject* current_module = nullptr;
    std::int64_t main_interpreter_id = -1;
    std::uint32_t runtime_version = 0;
    PyObject* runtime_module = nullptr;
    PyObject* empty_bytes = nullptr;
    PyTypeObject* metatype = nullptr;
    PyObject* arctan_defaults = nullptr;
    PyObject* code_objects[kFunctionCount] = {};
};

extern ModuleState state;

// Unpacks the string table and makes the number constants. Returns 0, or -1
// with an exception set; slots already filled keep their objects.
int build_strings_and_numbers() noexcept;

}  // namespace trigmod
