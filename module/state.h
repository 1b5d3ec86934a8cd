// The module's process-wide state: built once at start-up, never released.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/strings_data.h"

namespace trigmod {

enum NumberId : int {
    N_float_zero,
    N_0,
    N_minus_1,
    N_1,
    N_2,
    N_20,
    N_minus_90,
    N_90,
    N_minus_180,
    N_180,
    N_270,
    N_360,
    kNumberCount
};

// Machine values of the number constants, in the same order (the float
// constant has none).
constexpr long kNumberValues[kNumberCount] = {0, 0, -1, 1, 2, 20, -90, 90, -180, 180, 270, 360};

constexpr int kMaxFunctions = 8;
constexpr const char kFileName[] = "vantor/geometry/trigonometry";

// The module dict, the builtins, the empty tuple and the function type live
// in the runtime's context (nrt::context); everything else is here. Every
// object entry is a strong reference.
struct ModuleState {
    PyObject* current_module = nullptr;
    std::int64_t main_interpreter_id = -1;
    std::uint32_t runtime_version = 0;
    PyObject* runtime_module = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* strings[kStringCount] = {};
    PyObject* numbers[kNumberCount] = {};
    PyTypeObject* metatype = nullptr;
    PyObject* arctan_defaults = nullptr;
    PyObject* code_objects[kMaxFunctions] = {};
};

extern ModuleState state;

inline PyObject* str(StringId id) noexcept { return state.strings[id]; }
inline PyObject* num(NumberId id) noexcept { return state.numbers[id]; }

// Unpacks the string table and makes the number constants. Returns 0, or -1
// with an exception set; slots already filled keep their objects.
int build_strings_and_numbers() noexcept;

}  // namespace trigmod
