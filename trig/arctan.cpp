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
// While the module is sealed (sealed.h) a step computes one sine for its two
// _tan_rad calls, and once an estimate repeats an earlier one (a fixed
// point, or a cycle of the method's own rounding, usually within twenty
// steps) every later estimate is known: the remaining steps only look at
// signals, on the steps where the loop would.
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
#include "trig/common.h"
#include "trig/functions.h"
#include "trig/sealed.h"

#include <cstdint>
#include <cstring>

namespace trigmod {

namespace {

constexpr FunctionPosition kArctan = F_arctan;
constexpr FunctionPosition kArctan2 = F_arctan2;
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
    Val inner = call_once(std::move(arctan), reciprocal, iter);
    if (!inner) return fail_at(kArctan, kLine);
    Val result = nrt::subtract(half, inner);
    return result ? std::move(result) : fail_at(kArctan, kLine);
}

// One Newton step: theta - (tan theta - x) / (1 + tan(theta) ** 2).
Val newton_step(const Val& theta, const Val& x) noexcept {
    Ref tan_rad = global(S_tan_rad, NRT_SITE());
    if (!tan_rad) return Val();
    Val t = call_once(std::move(tan_rad), theta);
    if (!t) return t;
    Val d = nrt::subtract(t, x);
    if (!d) return d;
    tan_rad = global(S_tan_rad, NRT_SITE());
    if (!tan_rad) return Val();
    Val u = call_once(std::move(tan_rad), theta);
    if (!u) return u;
    Val p = nrt::square(u, K(N_2));
    if (!p) return p;
    Val s = nrt::add_constant(p, K(N_1), nrt::AddForm::ConstantFirst);
    if (!s) return s;
    Val q = nrt::true_divide(d, s);
    if (!q) return q;
    return nrt::subtract(theta, q);
}

enum class Run { Done, Interrupted, Left };

// Estimates remembered for finding a repeat; the estimate usually stops
// moving, or cycles through a few values of its own rounding, after about ten
// steps.
constexpr int kHistory = 64;

inline bool same_bits(double a, double b) noexcept {
    std::uint64_t p, q;
    std::memcpy(&p, &a, sizeof p);
    std::memcpy(&q, &b, sizeof q);
    return p == q;
}

// The Newton steps from `step` (with estimate `theta`) to `steps`, sealed.
// Done: theta is the result. Interrupted: a signal handler raised. Left: the
// world changed or a step would raise; the ordinary loop carries on from
// `step` and `theta`, and `checked` says whether this step's look at signals
// has been made. Signals are looked at on the same steps as the ordinary
// loop looks, also on the steps that a repeat lets us skip, and the world is
// looked at again after each look, since a handler may have changed it.
Run sealed_newton(const Val& x, std::int64_t steps, std::int64_t& step, double& theta, bool& checked) noexcept {
    const World* world = sealed_world();
    if (world == nullptr) return Run::Left;
    // A handler may also bind another pi: the estimates so far then no
    // longer tell the later ones.
    const double pi = world->pi;
    auto unchanged = [pi](const World* w) { return w != nullptr && same_bits(w->pi, pi); };
    double history[kHistory];  // history[k]: the estimate after k steps
    history[0] = theta;
    int known = 1;
    while (step < steps) {
        if (signal_step(step)) {
            if (PyErr_CheckSignals() < 0) return Run::Interrupted;
            checked = true;
            world = sealed_world();
            if (!unchanged(world)) return Run::Left;
        }
        double next;
        if (!machine_newton_step(*world, theta, x, &next)) return Run::Left;
        theta = next;
        step++;
        checked = false;
        if (known == kHistory) continue;
        for (int j = known - 1; j >= 0; j--) {
            if (!same_bits(history[j], theta)) continue;
            // From step j on the estimates repeat with this period.
            const std::int64_t period = step - j;
            auto estimate_after = [&](std::int64_t k) { return history[j + (k - j) % period]; };
            for (std::int64_t s = step + (kSignalSteps - 1 - step % kSignalSteps); s < steps; s += kSignalSteps) {
                if (PyErr_CheckSignals() < 0) return Run::Interrupted;
                if (!unchanged(sealed_world())) {
                    step = s;
                    theta = estimate_after(s);
                    checked = true;
                    return Run::Left;
                }
            }
            step = steps;
            theta = estimate_after(steps);
            return Run::Done;
        }
        history[known++] = theta;
    }
    return Run::Done;
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
    if (nrt::kMachineValues && iter.kind() == Val::Kind::Int) {
        // range() of an exact int cannot fail or be intercepted: just count.
        const std::int64_t steps = iter.int_value();
        std::int64_t step = 0;
        bool checked = false;
        if (x.is_machine() && steps > 0) {
            double estimate = 0.0;
            switch (sealed_newton(x, steps, step, estimate, checked)) {
                case Run::Done: return Val::of_float(estimate);
                case Run::Interrupted: return fail_at(kArctan, kArctanLoopLine);
                case Run::Left: break;
            }
            if (step > 0) theta = Val::of_float(estimate);
        }
        for (; step < steps; step++) {
            if (!checked && interrupted(step)) return fail_at(kArctan, kArctanLoopLine);
            checked = false;
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
    return call_once(std::move(arctan), quotient);
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
