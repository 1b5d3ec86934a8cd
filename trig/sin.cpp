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
// term is not above the tolerance). A constants.pi far too large (1e6, inf) makes
// the terms grow instead, and the loop runs until a signal handler raises
// (Ctrl-C): the loop looks at signals itself, since no bytecode runs in it.
#include "trig/common.h"
#include "trig/functions.h"
#include "trig/series.h"

#include <cmath>
#include <cstdint>

namespace trigmod {

namespace {

Val fail(int line) noexcept { return fail_at(F_sin, line); }

Val series(const Val& x, Val term, Val result, Val i) noexcept;

// Past this many steps (only a non-finite x gets there) the general loop takes
// over, so that the int counter never leaves the range where its products
// convert to doubles exactly.
constexpr std::int64_t kMachineSteps = std::int64_t{1} << 24;

// The series past the table, from step i on (reached only with an x far
// beyond pi/2). Kept out of line so that the usual call does not pay for it.
[[gnu::noinline]] Val float_series_tail(double x, double numerator, double term, double result,
                                        std::int64_t i) noexcept {
    do {
        if (interrupted(i)) return fail(37);
        result += term;
        i += 1;
        term *= numerator / static_cast<double>((2 * i) * (2 * i + 1));
        if (i == kMachineSteps) return series(Val::of_float(x), Val::of_float(term), Val::of_float(result), Val::of_int(i));
    } while (std::fabs(term) > kTolerance);
    return Val::of_float(result);
}

// The series for a float x, in machine doubles.
Val float_series(double x) noexcept {
    if (!(std::fabs(x) > kTolerance)) return Val::of_const(K(N_float_zero));
    SeriesState state;
    if (table_series(x, state)) return Val::of_float(state.result);
    return float_series_tail(x, -x * x, state.term, state.result, state.i);
}

Val radians_and_series(const Val& angle, const Val& pi) noexcept;

// The one read of constants.pi (line 30), from both paths below.
nrt::SiteCache constants_site;
nrt::AttributeCache pi_site;

// The whole function for an exact int or float angle: the reduction, the
// read of pi and, while pi is an exact float, the series in machine doubles.
Val sin_of_machine(const Val& value) noexcept {
    Val angle = reduce_machine(value);
    Ref constants = global(S_constants, constants_site);
    if (!constants) return fail(30);
    PyObject* pi = nrt::get_attribute(constants.get(), str(S_pi), pi_site);
    constants.reset();
    if (pi == nullptr) return fail(30);
    if (PyFloat_CheckExact(pi)) {
        // angle * pi converts an int angle to a double; / 180 converts 180.
        double x = angle.as_double() * PyFloat_AS_DOUBLE(pi) / 180.0;
        Py_DECREF(pi);
        return float_series(x);
    }
    return radians_and_series(angle, Val::steal(pi));
}

}  // namespace

Val sin_body(Val* args) noexcept {
    // The reduction compares in machine arithmetic, so it must not run where
    // a comparison of objects would hit the recursion limit.
    if (nrt::kMachineValues && args[0].is_machine() && !nrt::at_recursion_limit()) return sin_of_machine(args[0]);
    Val angle = nrt::remainder_by_constant(args[0], K(N_360));
    if (!angle) return fail(19);

    int t = nrt::compare(angle, K(N_180), Py_GE);
    if (t < 0) return fail(20);
    if (t) {
        angle = nrt::subtract_constant(angle, K(N_360));
        if (!angle) return fail(21);
    }
    t = nrt::compare(angle, K(N_90), Py_GT);
    if (t < 0) return fail(24);
    if (t) {
        angle = nrt::constant_minus(K(N_180), angle);
        if (!angle) return fail(25);
    } else {
        t = nrt::compare(angle, K(N_minus_90), Py_LT);
        if (t < 0) return fail(26);
        if (t) {
            angle = nrt::constant_minus(K(N_minus_180), angle);
            if (!angle) return fail(27);
        }
    }

    Val pi = global_attribute(S_constants, S_pi, constants_site, pi_site);
    if (!pi) return fail(30);
    return radians_and_series(angle, pi);
}

namespace {

// Radians (line 30), then the series (lines 37 to 40).
Val radians_and_series(const Val& angle, const Val& pi) noexcept {
    if (nrt::kMachineValues && angle.is_machine() && pi.kind() == Val::Kind::Float) {
        // angle * pi converts an int angle to a double; / 180 converts 180.
        return float_series(angle.as_double() * pi.float_value() / 180.0);
    }
    Val product = nrt::multiply(angle, pi);
    if (!product) return fail(30);
    const Val x = nrt::divide_by_constant(product, K(N_180));
    if (!x) return fail(30);

    if (nrt::kMachineValues && x.kind() == Val::Kind::Float) return float_series(x.float_value());

    return series(x, x, Val::of_const(K(N_float_zero)), Val::of_const(K(N_0)));
}

// The series loop from the given state (lines 37 to 40).
Val series(const Val& x, Val term, Val result, Val i) noexcept {
    const double tol = 1e-15;
    for (std::int64_t step = 0;; step++) {
        if (interrupted(step)) return fail(37);
        Val magnitude = nrt::absolute_value(term);
        if (!magnitude) return fail(37);
        int t = nrt::compare(magnitude, Val::of_float(tol), Py_GT);
        if (t < 0) return fail(37);
        if (!t) break;

        result = nrt::add_in_place(result, term);
        if (!result) return fail(38);
        i = nrt::add_constant(i, K(N_1), nrt::AddForm::InPlace);
        if (!i) return fail(39);

        Val negated = nrt::negative(x);
        if (!negated) return fail(40);
        Val numerator = nrt::multiply(negated, x);
        if (!numerator) return fail(40);
        Val two_i = nrt::constant_times(K(N_2), i);
        if (!two_i) return fail(40);
        Val two_i_again = nrt::constant_times(K(N_2), i);
        if (!two_i_again) return fail(40);
        Val next = nrt::add_constant(two_i_again, K(N_1), nrt::AddForm::Plain);
        if (!next) return fail(40);
        Val denominator = nrt::multiply(two_i, next);
        if (!denominator) return fail(40);
        Val factor = nrt::true_divide(numerator, denominator);
        if (!factor) return fail(40);
        term = nrt::multiply_in_place(term, factor);
        if (!term) return fail(40);
    }
    return result;
}

}  // namespace

}  // namespace trigmod
