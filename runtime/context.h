// What the shared runtime needs from the module that hosts it.
#pragma once

#include <Python.h>

namespace nrt {

// Filled by the hosting module's start-up and never released afterwards; every
// object entry is a strong reference owned by that module's state.
struct Context {
    PyObject* module_dict = nullptr;   // globals of every function body
    PyObject* builtins = nullptr;      // fallback of the global look-up
    PyObject* empty_tuple = nullptr;   // argument tuple for zero-argument calls
    PyTypeObject* function_type = nullptr;
    const char* file_name = "";        // file name of every traceback entry
};

extern Context context;

}  // namespace nrt
