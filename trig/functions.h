// The module's functions, one record each: everything that the method and
// lane tables (table.cpp), start-up (the code objects and the registration)
// and the bodies' failure reports know about a function comes from here.
//
// A new function: its body in trig/<name>.cpp, its declaration, position and
// record here, its names in module/strings.txt, its signature in the stub.
#pragma once

#include <Python.h>

#include "runtime/binding.h"
#include "runtime/kernel.h"
#include "runtime/value.h"
#include "trig/environment.h"
#include "trig/kernels.h"

namespace trigmod {

// Function bodies: each takes the bound arguments and returns the result, or
// an empty value with an exception set and its own traceback entry added.
nrt::Val sin_body(nrt::Val* args) noexcept;
nrt::Val cosin_body(nrt::Val* args) noexcept;
nrt::Val tan_body(nrt::Val* args) noexcept;
nrt::Val tan_rad_body(nrt::Val* args) noexcept;  // args[0] holds a double
nrt::Val arctan_body(nrt::Val* args) noexcept;
nrt::Val arctan2_body(nrt::Val* args) noexcept;
nrt::Val arcsin_body(nrt::Val* args) noexcept;
nrt::Val arccos_body(nrt::Val* args) noexcept;

// Positions of the records below, in the order the module defines them.
enum FunctionPosition { F_sin, F_cosin, F_tan, F_tan_rad, F_arctan, F_arctan2, F_arcsin, F_arccos };

constexpr int kMaxLocals = 8;
constexpr int kMaxAnnotations = 3;

struct Annotation {
    StringId key;
    StringId value;
};

struct FunctionRecord {
    StringId name;
    nrt::Signature signature;  // plain and traceback names, first line, parameters, defaults
    nrt::Body body;
    const char* doc;           // null: __doc__ is None
    int local_count;
    StringId locals[kMaxLocals];  // parameters first, then the other locals
    int annotation_count;
    Annotation annotations[kMaxAnnotations];
    bool has_defaults;         // introspection only: calls never read them
    const nrt::Kernel* kernel = nullptr;  // bulk calls; null: ordinary calls
};

#define PARAM(id) &environment.strings[S_##id]

// name; plain name, traceback name, first line, required, maximum,
// parameters, defaults, as a double; body; docstring; locals; annotations;
// has __defaults__; bulk kernel
inline constexpr FunctionRecord kRecords[] = {
    {S_sin,
     {"sin", "geometry.trigonometry.sin", 6, 1, 1, {PARAM(angle)}, {}, false},
     sin_body,
     "[Summary]: Return the sine of an angle given in degrees.\n\n"
     "    [Description]: Normalizes the angle, converts it to radians, and evaluates a\n"
     "    Taylor series approximation until the current term becomes sufficiently\n"
     "    small.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = sin(30)\n"
     "        print(result)\n"
     "    ",
     7, {S_angle, S_sign, S_x, S_term, S_tol, S_result, S_i},
     1, {{S_angle, S_int_or_float}},
     false,
     &kSinKernel},
    {S_cosin,
     {"cosin", "geometry.trigonometry.cosin", 45, 1, 1, {PARAM(angle)}, {}, false},
     cosin_body,
     "[Summary]: Return the cosine of an angle given in degrees.\n\n"
     "    [Description]: Normalizes the angle and derives the cosine value from the\n"
     "    sine result while correcting the sign according to the quadrant.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = cosin(60)\n"
     "        print(result)\n"
     "    ",
     2, {S_angle, S_cosine},
     1, {{S_angle, S_int_or_float}},
     false,
     &kCosinKernel},
    {S_tan,
     {"tan", "geometry.trigonometry.tan", 65, 1, 1, {PARAM(angle)}, {}, false},
     tan_body,
     "[Summary]: Return the tangent of an angle given in degrees.\n\n"
     "    [Description]: Computes tangent as the quotient of the module's sine and\n"
     "    cosine helper functions.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = tan(45)\n"
     "        print(result)\n"
     "    ",
     1, {S_angle},
     1, {{S_angle, S_int_or_float}},
     false,
     &kTanKernel},
    // Its one parameter reaches the body as a double.
    {S_tan_rad,
     {"_tan_rad", "geometry.trigonometry._tan_rad", 78, 1, 1, {PARAM(rad)}, {}, true},
     tan_rad_body,
     nullptr,
     1, {S_rad},
     1, {{S_rad, S_float_}},
     false,
     &kTanRadKernel},
    // An omitted `iter` is always the shared int 20, whatever __defaults__ says.
    {S_arctan,
     {"arctan", "geometry.trigonometry.arctan", 84, 1, 2, {PARAM(x), PARAM(iter)},
      {nullptr, &environment.numbers[N_20]}, false},
     arctan_body,
     "\n"
     "    [Summary]: Tests and explanation for the arctan() function.\n\n"
     "    [Description]:\n"
     "    This file contains notes and explanations for the custom `arctan()` function,\n"
     "    which computes the inverse tangent (arctangent) of a number or ratio. \n"
     "    The function returns the angle (in radians) whose tangent is the given input.\n"
     "    [Usage]:\n"
     "    - Call arctan(x) with a single float input to get the angle in radians.\n"
     "    - Can be used to convert a tangent ratio (opposite/adjacent) to an angle in triangles.\n"
     "    - Can be extended to degrees by multiplying result by 180/\xcf\x80.\n"
     "    ",
     4, {S_x, S_iter, S_theta, S_underscore},
     1, {{S_x, S_float_or_int}},
     true,
     &kArctanKernel},
    {S_arctan2,
     {"arctan2", "geometry.trigonometry.arctan2", 112, 2, 2, {PARAM(x), PARAM(y)}, {}, false},
     arctan2_body,
     "[Summary]: Return the angle in radians between the positive x-axis and the\n"
     "    point (x, y), computed as a two-argument arctangent.\n\n"
     "    [Description]: Unlike arctan(y/x), arctan2 takes both the sign of y and x\n"
     "    into account to determine the correct quadrant of the resulting angle.\n"
     "    The return value is in the range (-\xcf\x80, \xcf\x80].\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arctan2(1, 1)   # returns \xcf\x80/4 (first quadrant)\n"
     "        result = arctan2(1, -1)  # returns 3\xcf\x80/4 (second quadrant)\n"
     "        print(result)\n"
     "    ",
     2, {S_x, S_y},
     3, {{S_x, S_float_or_int}, {S_y, S_float_or_int}, {S_return_, S_float_}},
     false,
     &kArctan2Kernel},
    {S_arcsin,
     {"arcsin", "geometry.trigonometry.arcsin", 139, 1, 1, {PARAM(x)}, {}, false},
     arcsin_body,
     "[Summary]: Return the arcsine of x in radians.\n\n"
     "    [Description]: Computes the inverse sine by delegating to arctan2 with\n"
     "    x and sqrt(1 - x\xc2\xb2) as arguments, exploiting the identity\n"
     "    arcsin(x) = arctan2(x, sqrt(1 - x\xc2\xb2)). Input must satisfy -1 <= x <= 1.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arcsin(0.5)\n"
     "        print(result)  # ~0.5236 (\xcf\x80/6)\n"
     "    ",
     2, {S_x, S_result},
     2, {{S_x, S_float_or_int}, {S_return_, S_float_}},
     false,
     &kArcsinKernel},
    {S_arccos,
     {"arccos", "geometry.trigonometry.arccos", 155, 1, 1, {PARAM(x)}, {}, false},
     arccos_body,
     "[Summary]: Return the arccosine of x in radians.\n\n"
     "    [Description]: Derives the inverse cosine from arcsin using the\n"
     "    complementary-angle identity arccos(x) = \xcf\x80/2 - arcsin(x).\n"
     "    Input must satisfy -1 <= x <= 1; the result lies in [0, \xcf\x80].\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arccos(0.5)\n"
     "        print(result)  # ~1.0472 (\xcf\x80/3)\n"
     "    ",
     2, {S_x, S_result},
     2, {{S_x, S_float_or_int}, {S_return_, S_float_}},
     false,
     &kArccosKernel},
};

#undef PARAM

constexpr int kFunctionCount = sizeof kRecords / sizeof kRecords[0];

constexpr bool positions_hold() noexcept {
    constexpr StringId names[] = {S_sin, S_cosin, S_tan, S_tan_rad, S_arctan, S_arctan2, S_arcsin, S_arccos};
    constexpr FunctionPosition positions[] = {F_sin, F_cosin, F_tan, F_tan_rad, F_arctan, F_arctan2, F_arcsin, F_arccos};
    for (int k = 0; k < kFunctionCount; k++) {
        if (kRecords[positions[k]].name != names[k]) return false;
    }
    return sizeof names / sizeof names[0] == kFunctionCount;
}
static_assert(positions_hold(), "each FunctionPosition names its record");

// The traceback name of the function at `position`.
constexpr const char* traceback_name(FunctionPosition position) noexcept {
    return kRecords[position].signature.traceback_name;
}

// The method records, in the order of kRecords, for start-up to make the
// function objects from.
extern PyMethodDef kMethods[kFunctionCount];

// Lets calls between the module's own functions skip argument and result objects.
void install_lanes() noexcept;

}  // namespace trigmod
