// cosin: the cosine of an angle in degrees.
//
// Method: reduce the angle modulo 360, take sqrt(1 - sin^2) with the module's
// own sin (called twice, once per factor) and algebra.sqrt, and give the root
// the cosine's sign for the quadrant: positive in [0, 90) and [270, 360],
// negative in [90, 270).
//
// Limits: the result is only as accurate as sin and sqrt (cosin(60) is
// 0.5000000000000003). 90 gives -0.0 and 270 gives 0.0. An angle that lies in
// no quadrant (NaN, which infinities reduce to, or a number type whose
// remainder keeps the dividend's sign) leaves the result unassigned and
// raises UnboundLocalError.
#include "trig/bodies.h"
#include "trig/common.h"

namespace trigmod {

namespace {

PyObject* fail(int line) noexcept { return fail_at("geometry.trigonometry.cosin", line); }

// sqrt(1 - sin(angle) * sin(angle)). One instantiation per branch, so that
// each branch's reads of the globals keep their own site caches.
template <int Line>
PyObject* root_of_one_minus_sine_squared(PyObject* angle) noexcept {
    Ref sqrt(global_attribute(S_algebra, S_sqrt, NRT_SITE()));
    if (!sqrt) return fail(Line);
    Ref sin(nrt::load_global(str(S_sin), NRT_SITE()));
    if (!sin) return fail(Line);
    Ref first(nrt::call(sin.get(), angle));
    if (!first) return fail(Line);
    sin.reset(nrt::load_global(str(S_sin), NRT_SITE()));
    if (!sin) return fail(Line);
    Ref second(nrt::call(sin.get(), angle));
    if (!second) return fail(Line);
    Ref square(PyNumber_Multiply(first.get(), second.get()));
    if (!square) return fail(Line);
    Ref difference(PyNumber_Subtract(num(N_1), square.get()));
    if (!difference) return fail(Line);
    PyObject* root = nrt::call(sqrt.get(), difference.get());
    return root ? root : fail(Line);
}

// (low <= angle < high) or (low2 <= angle <= / < high2), short-circuit
// left to right: 1, 0, or -1 with an exception set.
int in_ranges(PyObject* angle, NumberId low, NumberId high, NumberId low2, NumberId high2,
              int last_op) noexcept {
    int t = nrt::compare(angle, num(low), Py_GE);
    if (t > 0) t = nrt::compare(angle, num(high), Py_LT);
    if (t != 0) return t;
    t = nrt::compare(angle, num(low2), Py_GE);
    if (t > 0) t = nrt::compare(angle, num(high2), last_op);
    return t;
}

[[gnu::cold, gnu::noinline]] PyObject* unassigned() noexcept {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "cosine");
    return fail(62);
}

}  // namespace

PyObject* cosin_body(PyObject*, PyObject* const* args) noexcept {
    Ref angle(PyNumber_Remainder(args[0], num(N_360)));
    if (!angle) return fail(56);

    int first_or_fourth = in_ranges(angle.get(), N_0, N_90, N_270, N_360, Py_LE);
    if (first_or_fourth < 0) return fail(58);
    if (first_or_fourth) return root_of_one_minus_sine_squared<59>(angle.get());

    int second_or_third = in_ranges(angle.get(), N_90, N_180, N_180, N_270, Py_LT);
    if (second_or_third < 0) return fail(60);
    if (!second_or_third) return unassigned();
    Ref root(root_of_one_minus_sine_squared<61>(angle.get()));
    if (!root) return nullptr;
    PyObject* cosine = PyNumber_Multiply(num(N_minus_1), root.get());
    return cosine ? cosine : fail(61);
}

}  // namespace trigmod
