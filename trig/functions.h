// The module's functions: what start-up registers and what calls bind.
#pragma once

#include <Python.h>

#include "module/state.h"
#include "runtime/binding.h"

namespace trigmod {

constexpr int kMaxLocals = 8;
constexpr int kMaxAnnotations = 3;

struct Annotation {
    StringId key;
    StringId value;
};

// Positions of the functions in the method and lane tables.
enum FunctionPosition { F_sin, F_cosin, F_tan, F_tan_rad, F_arctan, F_arctan2, F_arcsin, F_arccos };

// One registration row per function, in the order the module defines them.
struct FunctionRow {
    StringId name;
    PyMethodDef* method;             // name, call wrapper, flags, docstring
    const nrt::Signature* signature;  // parameters and first line
    int local_count;
    StringId locals[kMaxLocals];     // parameters first, then the other locals
    int annotation_count;
    Annotation annotations[kMaxAnnotations];
    bool has_defaults;               // introspection only: calls never read them
};

extern const FunctionRow kFunctions[];
extern const int kFunctionCount;

// Lets calls between the module's own functions skip argument and result objects.
void install_lanes() noexcept;

}  // namespace trigmod
