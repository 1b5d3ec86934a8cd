// What the function bodies take from the module's start-up: the interned
// strings of the string table (module/strings.txt, generated into
// strings_data.h) and the number constants. Start-up fills both before any
// function exists and never releases them.
#pragma once

#include <Python.h>

#include "strings_data.h"

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

// Strong references, one per entry.
struct Environment {
    PyObject* strings[kStringCount] = {};
    PyObject* numbers[kNumberCount] = {};
};

extern Environment environment;

inline PyObject* str(StringId id) noexcept { return environment.strings[id]; }
inline PyObject* num(NumberId id) noexcept { return environment.numbers[id]; }

}  // namespace trigmod
