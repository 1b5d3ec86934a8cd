// arctan and arctan2: inverse tangents in radians.
//
// Method (arctan): for -1 <= x <= 1, `iter` Newton steps on tan(theta) = x
// from theta = 0.0, theta <- theta - (tan theta - x) / (1 + tan^2 theta),
// with tan taken from the module global _tan_rad (evaluated twice per step).
// Beyond +-1 it reflects: +-pi/2 - arctan(1/x), through the module global
// arctan, with the same `iter`. No tolerance test and no early stop.
//
// A huge iter runs inside the module, where the interpreter never looks at
// signals: the loop looks itself, so Ctrl-C ends the call as a failure of the
// loop line.
//
// Limits (arctan): iter <= 0 returns 0.0 for every x in [-1, 1]; x below about
// 5e-17 in magnitude gives about iter * x, because _tan_rad yields 0.0 there;
// NaN fails in the second step with cosin's UnboundLocalError.
//
// Method (arctan2): the angle of the point (x, y) by cases: arctan(y / x) for
// x > 0, plus or minus pi for x < 0 by the sign of y, +-pi/2 on the vertical
// axis and 0.0 at the origin.
//
// Limits (arctan2): a NaN x matches no case and gives 0.0; -0.0 counts as 0.
#include "trig/bodies.h"
#include "trig/common.h"

namespace trigmod {

namespace {

constexpr const char kArctan[] = "geometry.trigonometry.arctan";
constexpr const char kArctan2[] = "geometry.trigonometry.arctan2";
constexpr int kArctanLoopLine = 103;

// pi / 2 or -pi / 2 minus arctan(1 / x, iter).
template <bool Negative>
Val reflect(const Val& x, const Val& iter) noexcept {
    constexpr int kLine = Negative ? 100 : 98;
    Val pi = GLOBAL_ATTRIBUTE(S_constants, S_pi);
    if (!pi) return fail_at(kArctan, kLine);
    if (Negative) {
        pi = nrt::negative(pi);
        if (!pi) return fail_at(kArctan, kLine);
    }
    Val half = nrt::divide_by_constant(pi, K(N_2));
    if (!half) return fail_at(kArctan, kLine);
    Ref arctan = global(S_arctan, NRT_SITE());
    if (!arctan) return fail_at(kArctan, kLine);
    Val reciprocal = nrt::true_divide(Val::of_const(K(N_1)), x);
    if (!reciprocal) return fail_at(kArctan, kLine);
    Val inner = nrt::call(arctan.get(), reciprocal, iter);
    if (!inner) return fail_at(kArctan, kLine);
    Val result = nrt::subtract(half, inner);
    return result ? std::move(result) : fail_at(kArctan, kLine);
}

// One Newton step: theta - (tan theta - x) / (1 + tan(theta) ** 2).
Val newton_step(const Val& theta, const Val& x) noexcept {
    Ref tan_rad = global(S_tan_rad, NRT_SITE());
    if (!tan_rad) return Val();
    Val t = nrt::call(tan_rad.get(), theta);
    if (!t) return t;
    Val d = nrt::subtract(t, x);
    if (!d) return d;
    tan_rad = global(S_tan_rad, NRT_SITE());
    if (!tan_rad) return Val();
    Val u = nrt::call(tan_rad.get(), theta);
    if (!u) return u;
    Val p = nrt::square(u, K(N_2));
    if (!p) return p;
    Val s = nrt::add_constant(p, K(N_1), nrt::AddForm::ConstantFirst);
    if (!s) return s;
    Val q = nrt::true_divide(d, s);
    if (!q) return q;
    return nrt::subtract(theta, q);
}

}  // namespace

Val arctan_body(Val* args) noexcept {
    const Val& x = args[0];
    const Val& iter = args[1];
    int t = nrt::compare(x, K(N_1), Py_GT);
    if (t < 0) return fail_at(kArctan, 97);
    if (t) return reflect<false>(x, iter);
    t = nrt::compare(x, K(N_minus_1), Py_LT);
    if (t < 0) return fail_at(kArctan, 99);
    if (t) return reflect<true>(x, iter);

    Val theta = Val::of_const(K(N_float_zero));
    if (nrt::kLane && iter.kind() == Val::Kind::Int) {
        // range() of an exact int cannot fail or be intercepted: just count.
        for (std::int64_t step = 0; step < iter.int_value(); step++) {
            if (interrupted(step)) return fail_at(kArctan, kArctanLoopLine);
            theta = newton_step(theta, x);
            if (!theta) return fail_at(kArctan, 108);
        }
        return theta;
    }
    // The built-in range type itself: rebinding the name `range` changes nothing.
    PyObject* iter_object = iter.object();
    if (iter_object == nullptr) return fail_at(kArctan, kArctanLoopLine);
    PyObject* slots[2] = {nullptr, iter_object};
    Ref steps(nrt::fast_call(reinterpret_cast<PyObject*>(&PyRange_Type), slots + 1,
                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!steps) return fail_at(kArctan, kArctanLoopLine);
    Ref iterator(PyObject_GetIter(steps.get()));
    if (!iterator) return fail_at(kArctan, kArctanLoopLine);
    for (std::int64_t step = 0;; step++) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) break;
        if (interrupted(step)) return fail_at(kArctan, kArctanLoopLine);
        theta = newton_step(theta, x);
        if (!theta) return fail_at(kArctan, 108);
    }
    if (PyErr_Occurred()) {
        if (!nrt::exception_matches(PyErr_Occurred(), PyExc_StopIteration)) {
            return fail_at(kArctan, kArctanLoopLine);
        }
        PyErr_Clear();
    }
    return theta;
}

namespace {

// arctan(y / x) through the module global.
Val arctan_of_quotient(const Val& x, const Val& y, nrt::SiteCache& site) noexcept {
    Ref arctan = global(S_arctan, site);
    if (!arctan) return Val();
    Val quotient = nrt::true_divide(y, x);
    if (!quotient) return quotient;
    return nrt::call(arctan.get(), quotient);
}

// arctan(y / x) plus or minus pi.
template <bool Add>
Val shifted_arctan(const Val& x, const Val& y) noexcept {
    Val inner = arctan_of_quotient(x, y, NRT_SITE());
    if (!inner) return inner;
    Val pi = GLOBAL_ATTRIBUTE(S_constants, S_pi);
    if (!pi) return pi;
    return Add ? nrt::add(inner, pi) : nrt::subtract(inner, pi);
}

// pi / 2 or -pi / 2.
template <bool Negative>
Val half_pi() noexcept {
    Val pi = GLOBAL_ATTRIBUTE(S_constants, S_pi);
    if (!pi) return pi;
    if (Negative) {
        pi = nrt::negative(pi);
        if (!pi) return pi;
    }
    return nrt::divide_by_constant(pi, K(N_2));
}

// x op 0, then (only when it holds) y op 0.
int both(const Val& x, int x_op, const Val& y, int y_op) noexcept {
    int t = x_op == Py_EQ ? nrt::equals_constant(x, K(N_0)) : nrt::compare(x, K(N_0), x_op);
    if (t > 0) t = nrt::compare(y, K(N_0), y_op);
    return t;
}

Val or_fail(Val result, int line) noexcept { return result ? std::move(result) : fail_at(kArctan2, line); }

}  // namespace

Val arctan2_body(Val* args) noexcept {
    const Val& x = args[0];
    const Val& y = args[1];

    int t = nrt::compare(x, K(N_0), Py_GT);
    if (t < 0) return fail_at(kArctan2, 126);
    if (t) return or_fail(arctan_of_quotient(x, y, NRT_SITE()), 127);
    t = both(x, Py_LT, y, Py_GE);
    if (t < 0) return fail_at(kArctan2, 128);
    if (t) return or_fail(shifted_arctan<true>(x, y), 129);
    t = both(x, Py_LT, y, Py_LT);
    if (t < 0) return fail_at(kArctan2, 130);
    if (t) return or_fail(shifted_arctan<false>(x, y), 131);
    t = both(x, Py_EQ, y, Py_GT);
    if (t < 0) return fail_at(kArctan2, 132);
    if (t) return or_fail(half_pi<false>(), 133);
    t = both(x, Py_EQ, y, Py_LT);
    if (t < 0) return fail_at(kArctan2, 134);
    if (t) return or_fail(half_pi<true>(), 135);
    return Val::of_const(K(N_float_zero));
}

}  // namespace trigmod
