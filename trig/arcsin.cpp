// arcsin and arccos: inverse sine and cosine in radians.
//
// Method: arcsin(x) is the angle of the point (sqrt(1 - x^2), x), taken from
// the module global arctan2 with the root from algebra.sqrt, so it lies in
// [-pi/2, pi/2]; arccos(x) is pi/2 - arcsin(x), in [0, pi].
//
// Limits: no range check: for |x| > 1, 1 - x^2 is negative and the outcome is
// whatever sqrt does with it (the default raises ValueError). NaN gives 0.0
// and pi/2 when sqrt returns NaN for NaN.
#include "trig/bodies.h"
#include "trig/common.h"

namespace trigmod {

PyObject* arcsin_body(PyObject*, PyObject* const* args) noexcept {
    constexpr const char* kName = "geometry.trigonometry.arcsin";
    PyObject* x = args[0];
    Ref arctan2(nrt::load_global(str(S_arctan2), NRT_SITE()));
    if (!arctan2) return fail_at(kName, 151);
    Ref sqrt(global_attribute(S_algebra, S_sqrt, NRT_SITE()));
    if (!sqrt) return fail_at(kName, 151);
    Ref square(PyNumber_Power(x, num(N_2), Py_None));
    if (!square) return fail_at(kName, 151);
    Ref difference(PyNumber_Subtract(num(N_1), square.get()));
    if (!difference) return fail_at(kName, 151);
    Ref root(nrt::call(sqrt.get(), difference.get()));
    if (!root) return fail_at(kName, 151);
    // The root is the horizontal coordinate and x the vertical one, so the
    // angle is the one whose sine is x.
    PyObject* result = nrt::call(arctan2.get(), root.get(), x);
    return result ? result : fail_at(kName, 151);
}

PyObject* arccos_body(PyObject*, PyObject* const* args) noexcept {
    constexpr const char* kName = "geometry.trigonometry.arccos";
    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return fail_at(kName, 167);
    Ref half(PyNumber_TrueDivide(pi.get(), num(N_2)));
    if (!half) return fail_at(kName, 167);
    Ref arcsin(nrt::load_global(str(S_arcsin), NRT_SITE()));
    if (!arcsin) return fail_at(kName, 167);
    Ref inner(nrt::call(arcsin.get(), args[0]));
    if (!inner) return fail_at(kName, 167);
    PyObject* result = PyNumber_Subtract(half.get(), inner.get());
    return result ? result : fail_at(kName, 167);
}

}  // namespace trigmod
