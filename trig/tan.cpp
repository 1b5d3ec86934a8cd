// tan and _tan_rad: tangents in degrees and in radians.
//
// Method: the quotient of the module's own sin and cosin, whatever the module
// globals of those names hold at the time of the call. _tan_rad first turns
// its argument into a double, converts it to degrees as rad * 180.0 / pi, and
// hands that angle to both.
//
// Limits: no reduction or pole handling of their own: at 90 and 270 degrees
// the cosine is a zero and the division raises ZeroDivisionError. For
// radians below about 1e-15 in magnitude sin gives 0.0, so _tan_rad does too;
// NaN and infinite angles raise cosin's UnboundLocalError.
#include "trig/bodies.h"
#include "trig/common.h"

namespace trigmod {

PyObject* tan_body(PyObject*, PyObject* const* args) noexcept {
    constexpr const char* kName = "geometry.trigonometry.tan";
    PyObject* angle = args[0];
    Ref sin(nrt::load_global(str(S_sin), NRT_SITE()));
    if (!sin) return fail_at(kName, 76);
    Ref sine(nrt::call(sin.get(), angle));
    if (!sine) return fail_at(kName, 76);
    Ref cosin(nrt::load_global(str(S_cosin), NRT_SITE()));
    if (!cosin) return fail_at(kName, 76);
    Ref cosine(nrt::call(cosin.get(), angle));
    if (!cosine) return fail_at(kName, 76);
    PyObject* quotient = PyNumber_TrueDivide(sine.get(), cosine.get());
    return quotient ? quotient : fail_at(kName, 76);
}

namespace {

// rad * 180.0 / constants.pi: a new float for every use.
template <int Site>
PyObject* degrees(double rad) noexcept {
    Ref product(PyFloat_FromDouble(rad * 180.0));
    if (!product) return nullptr;
    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return nullptr;
    return PyNumber_TrueDivide(product.get(), pi.get());
}

}  // namespace

PyObject* tan_rad_body(PyObject*, double rad) noexcept {
    constexpr const char* kName = "geometry.trigonometry._tan_rad";
    Ref sin(nrt::load_global(str(S_sin), NRT_SITE()));
    if (!sin) return fail_at(kName, 82);
    Ref angle(degrees<0>(rad));
    if (!angle) return fail_at(kName, 82);
    Ref sine(nrt::call(sin.get(), angle.get()));
    if (!sine) return fail_at(kName, 82);
    Ref cosin(nrt::load_global(str(S_cosin), NRT_SITE()));
    if (!cosin) return fail_at(kName, 82);
    angle.reset(degrees<1>(rad));
    if (!angle) return fail_at(kName, 82);
    Ref cosine(nrt::call(cosin.get(), angle.get()));
    if (!cosine) return fail_at(kName, 82);
    PyObject* quotient = PyNumber_TrueDivide(sine.get(), cosine.get());
    return quotient ? quotient : fail_at(kName, 82);
}

}  // namespace trigmod
