// Parameter tables and registrations of the module's functions.
#include "trig/bodies.h"
#include "trig/functions.h"

namespace trigmod {

namespace {

#define PARAM(id) &state.strings[S_##id]

constexpr nrt::Signature kSinSignature = {
    "sin", "geometry.trigonometry.sin", 6, 1, 1, {PARAM(angle)}, {},
};

constexpr int kWrapperFlags = METH_FASTCALL | METH_KEYWORDS;

template <const nrt::Signature& Sig, nrt::ObjectBody Body>
PyCFunction wrapper() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(nrt::call_wrapper<Sig, Body>));
}

PyMethodDef methods[] = {
    {"sin", wrapper<kSinSignature, sin_body>(), kWrapperFlags,
     "[Summary]: Return the sine of an angle given in degrees.\n\n"
     "    [Description]: Normalizes the angle, converts it to radians, and evaluates a\n"
     "    Taylor series approximation until the current term becomes sufficiently\n"
     "    small.\n\n"
     "    [Usage]: Typical usage example:\n\n"
     "        result = sin(30)\n"
     "        print(result)\n"
     "    "},
};

}  // namespace

const FunctionRow kFunctions[] = {
    {S_sin, &methods[0], &kSinSignature, 7, {S_angle, S_sign, S_x, S_term, S_tol, S_result, S_i},
     1, {{S_angle, S_int_or_float}}, false},
};

const int kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

}  // namespace trigmod
