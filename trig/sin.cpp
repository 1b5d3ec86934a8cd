// sin: the sine of an angle in degrees.
//
// Method: reduce the angle modulo 360 into -180..180, reflect it into
// -90..90 (the sine is unchanged by x -> 180 - x and x -> -180 - x), convert to
// radians with constants.pi, then sum the Maclaurin series
// x - x^3/3! + x^5/5! - ..., each term derived from the previous one by the
// factor -x^2 / ((2i)(2i + 1)), until a term's magnitude is no longer above
// 1e-15. With |x| <= pi/2 that takes at most ten terms.
//
// Limits: every step is one Python-level operation, so any number type with
// the operations below works. Ints are reduced exactly, whatever their size.
// NaN and infinities reduce to NaN, fail every comparison and give 0.0, as
// does any angle whose radian value is at most 1e-15 in magnitude (the first
// term is not above the tolerance).
#include "trig/bodies.h"
#include "trig/common.h"

namespace trigmod {

namespace {

PyObject* fail(int line) noexcept { return fail_at("geometry.trigonometry.sin", line); }

}  // namespace

PyObject* sin_body(PyObject*, PyObject* const* args) noexcept {
    Ref angle(PyNumber_Remainder(args[0], num(N_360)));
    if (!angle) return fail(19);

    int t = nrt::compare(angle.get(), num(N_180), Py_GE);
    if (t < 0) return fail(20);
    if (t) {
        angle.reset(PyNumber_InPlaceSubtract(angle.get(), num(N_360)));
        if (!angle) return fail(21);
    }
    t = nrt::compare(angle.get(), num(N_90), Py_GT);
    if (t < 0) return fail(24);
    if (t) {
        angle.reset(PyNumber_Subtract(num(N_180), angle.get()));
        if (!angle) return fail(25);
    } else {
        t = nrt::compare(angle.get(), num(N_minus_90), Py_LT);
        if (t < 0) return fail(26);
        if (t) {
            angle.reset(PyNumber_Subtract(num(N_minus_180), angle.get()));
            if (!angle) return fail(27);
        }
    }

    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return fail(30);
    Ref product(PyNumber_Multiply(angle.get(), pi.get()));
    if (!product) return fail(30);
    Ref x(PyNumber_TrueDivide(product.get(), num(N_180)));
    if (!x) return fail(30);

    Ref term = Ref::borrow(x.get());
    const double tol = 1e-15;
    Ref result = Ref::borrow(num(N_float_zero));
    Ref i = Ref::borrow(num(N_0));
    for (;;) {
        Ref magnitude(PyNumber_Absolute(term.get()));
        if (!magnitude) return fail(37);
        Ref tolerance(PyFloat_FromDouble(tol));
        if (!tolerance) return fail(37);
        t = nrt::compare(magnitude.get(), tolerance.get(), Py_GT);
        if (t < 0) return fail(37);
        if (!t) break;

        result.reset(PyNumber_InPlaceAdd(result.get(), term.get()));
        if (!result) return fail(38);
        i.reset(PyNumber_InPlaceAdd(i.get(), num(N_1)));
        if (!i) return fail(39);

        Ref negated(PyNumber_Negative(x.get()));
        if (!negated) return fail(40);
        Ref numerator(PyNumber_Multiply(negated.get(), x.get()));
        if (!numerator) return fail(40);
        Ref two_i(PyNumber_Multiply(num(N_2), i.get()));
        if (!two_i) return fail(40);
        Ref two_i_again(PyNumber_Multiply(num(N_2), i.get()));
        if (!two_i_again) return fail(40);
        Ref next(PyNumber_Add(two_i_again.get(), num(N_1)));
        if (!next) return fail(40);
        Ref denominator(PyNumber_Multiply(two_i.get(), next.get()));
        if (!denominator) return fail(40);
        Ref factor(PyNumber_TrueDivide(numerator.get(), denominator.get()));
        if (!factor) return fail(40);
        term.reset(PyNumber_InPlaceMultiply(term.get(), factor.get()));
        if (!term) return fail(40);
    }
    return result.release();
}

}  // namespace trigmod
