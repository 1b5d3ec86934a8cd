// Parameter tables and registrations of the module's functions, in the order
// the module defines them.
#include "trig/bodies.h"
#include "trig/functions.h"
#include "runtime/lane.h"

namespace trigmod {

namespace {

#define PARAM(id) &state.strings[S_##id]

// name, traceback name, first line, required, maximum, parameters, defaults, as a double
constexpr nrt::Signature kSin = {"sin", "geometry.trigonometry.sin", 6, 1, 1, {PARAM(angle)}, {}, false};
constexpr nrt::Signature kCosin = {"cosin", "geometry.trigonometry.cosin", 45, 1, 1, {PARAM(angle)}, {}, false};
constexpr nrt::Signature kTan = {"tan", "geometry.trigonometry.tan", 65, 1, 1, {PARAM(angle)}, {}, false};
constexpr nrt::Signature kTanRad = {"_tan_rad", "geometry.trigonometry._tan_rad", 78, 1, 1, {PARAM(rad)}, {}, true};
// An omitted `iter` is always the shared int 20, whatever __defaults__ says.
constexpr nrt::Signature kArctan = {"arctan", "geometry.trigonometry.arctan", 84, 1, 2, {PARAM(x), PARAM(iter)},
                                    {nullptr, &state.numbers[N_20]}, false};
constexpr nrt::Signature kArctan2 = {
    "arctan2", "geometry.trigonometry.arctan2", 112, 2, 2, {PARAM(x), PARAM(y)}, {}, false};
constexpr nrt::Signature kArcsin = {"arcsin", "geometry.trigonometry.arcsin", 139, 1, 1, {PARAM(x)}, {}, false};
constexpr nrt::Signature kArccos = {"arccos", "geometry.trigonometry.arccos", 155, 1, 1, {PARAM(x)}, {}, false};

#undef PARAM

template <const nrt::Signature& Sig, nrt::Body Body>
PyCFunction wrap() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(nrt::call_wrapper<Sig, Body>));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"sin", wrap<kSin, sin_body>(), kFlags,
     "[Summary]: Return the sine of an angle given in degrees.\n\n"
     "    [Description]: Normalizes the angle, converts it to radians, and evaluates a\n"
     "    Taylor series approximation until the current term becomes sufficiently\n"
     "    small.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = sin(30)\n"
     "        print(result)\n"
     "    "},
    {"cosin", wrap<kCosin, cosin_body>(), kFlags,
     "[Summary]: Return the cosine of an angle given in degrees.\n\n"
     "    [Description]: Normalizes the angle and derives the cosine value from the\n"
     "    sine result while correcting the sign according to the quadrant.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = cosin(60)\n"
     "        print(result)\n"
     "    "},
    {"tan", wrap<kTan, tan_body>(), kFlags,
     "[Summary]: Return the tangent of an angle given in degrees.\n\n"
     "    [Description]: Computes tangent as the quotient of the module's sine and\n"
     "    cosine helper functions.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = tan(45)\n"
     "        print(result)\n"
     "    "},
    {"_tan_rad", wrap<kTanRad, tan_rad_body>(), kFlags, nullptr},
    {"arctan", wrap<kArctan, arctan_body>(), kFlags,
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
     "    "},
    {"arctan2", wrap<kArctan2, arctan2_body>(), kFlags,
     "[Summary]: Return the angle in radians between the positive x-axis and the\n"
     "    point (x, y), computed as a two-argument arctangent.\n\n"
     "    [Description]: Unlike arctan(y/x), arctan2 takes both the sign of y and x\n"
     "    into account to determine the correct quadrant of the resulting angle.\n"
     "    The return value is in the range (-\xcf\x80, \xcf\x80].\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arctan2(1, 1)   # returns \xcf\x80/4 (first quadrant)\n"
     "        result = arctan2(1, -1)  # returns 3\xcf\x80/4 (second quadrant)\n"
     "        print(result)\n"
     "    "},
    {"arcsin", wrap<kArcsin, arcsin_body>(), kFlags,
     "[Summary]: Return the arcsine of x in radians.\n\n"
     "    [Description]: Computes the inverse sine by delegating to arctan2 with\n"
     "    x and sqrt(1 - x\xc2\xb2) as arguments, exploiting the identity\n"
     "    arcsin(x) = arctan2(x, sqrt(1 - x\xc2\xb2)). Input must satisfy -1 <= x <= 1.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arcsin(0.5)\n"
     "        print(result)  # ~0.5236 (\xcf\x80/6)\n"
     "    "},
    {"arccos", wrap<kArccos, arccos_body>(), kFlags,
     "[Summary]: Return the arccosine of x in radians.\n\n"
     "    [Description]: Derives the inverse cosine from arcsin using the\n"
     "    complementary-angle identity arccos(x) = \xcf\x80/2 - arcsin(x).\n"
     "    Input must satisfy -1 <= x <= 1; the result lies in [0, \xcf\x80].\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = arccos(0.5)\n"
     "        print(result)  # ~1.0472 (\xcf\x80/3)\n"
     "    "},
};

// Same order as `methods`.
constexpr nrt::LaneEntry kLanes[] = {
    {&kSin, nrt::lane_entry<kSin, sin_body>},
    {&kCosin, nrt::lane_entry<kCosin, cosin_body>},
    {&kTan, nrt::lane_entry<kTan, tan_body>},
    {&kTanRad, nrt::lane_entry<kTanRad, tan_rad_body>},
    {&kArctan, nrt::lane_entry<kArctan, arctan_body>},
    {&kArctan2, nrt::lane_entry<kArctan2, arctan2_body>},
    {&kArcsin, nrt::lane_entry<kArcsin, arcsin_body>},
    {&kArccos, nrt::lane_entry<kArccos, arccos_body>},
};
static_assert(sizeof kLanes / sizeof kLanes[0] == sizeof methods / sizeof methods[0], "a lane per method");
static_assert(kLanes[F_sin].signature == &kSin && kLanes[F_cosin].signature == &kCosin &&
                  kLanes[F_tan].signature == &kTan && kLanes[F_tan_rad].signature == &kTanRad &&
                  kLanes[F_arctan].signature == &kArctan && kLanes[F_arctan2].signature == &kArctan2 &&
                  kLanes[F_arcsin].signature == &kArcsin && kLanes[F_arccos].signature == &kArccos,
              "positions as FunctionPosition says");

}  // namespace

void install_lanes() noexcept {
    nrt::lanes = {methods, methods + sizeof methods / sizeof methods[0], kLanes};
}

// name, method, signature, locals (parameters first), annotations, has __defaults__
const FunctionRow kFunctions[] = {
    {S_sin, &methods[0], &kSin, 7, {S_angle, S_sign, S_x, S_term, S_tol, S_result, S_i},
     1, {{S_angle, S_int_or_float}}, false},
    {S_cosin, &methods[1], &kCosin, 2, {S_angle, S_cosine}, 1, {{S_angle, S_int_or_float}}, false},
    {S_tan, &methods[2], &kTan, 1, {S_angle}, 1, {{S_angle, S_int_or_float}}, false},
    {S_tan_rad, &methods[3], &kTanRad, 1, {S_rad}, 1, {{S_rad, S_float_}}, false},
    {S_arctan, &methods[4], &kArctan, 4, {S_x, S_iter, S_theta, S_underscore}, 1, {{S_x, S_float_or_int}}, true},
    {S_arctan2, &methods[5], &kArctan2, 2, {S_x, S_y},
     3, {{S_x, S_float_or_int}, {S_y, S_float_or_int}, {S_return_, S_float_}}, false},
    {S_arcsin, &methods[6], &kArcsin, 2, {S_x, S_result}, 2, {{S_x, S_float_or_int}, {S_return_, S_float_}}, false},
    {S_arccos, &methods[7], &kArccos, 2, {S_x, S_result}, 2, {{S_x, S_float_or_int}, {S_return_, S_float_}}, false},
};

const int kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];
static_assert(sizeof kFunctions / sizeof kFunctions[0] <= kMaxFunctions, "state has a code object per function");

}  // namespace trigmod
