// arctan and arctan2: inverse tangents in radians.
//
// Method (arctan): for -1 <= x <= 1, `iter` Newton steps on tan(theta) = x
// from theta = 0.0, theta <- theta - (tan theta - x) / (1 + tan^2 theta),
// with tan taken from the module global _tan_rad (evaluated twice per step).
// Beyond +-1 it reflects: +-pi/2 - arctan(1/x), through the module global
// arctan, with the same `iter`. No tolerance test and no early stop.
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

// pi / 2 or -pi / 2 minus arctan(1 / x, iter).
template <bool Negative>
PyObject* reflect(PyObject* x, PyObject* iter) noexcept {
    constexpr int kLine = Negative ? 100 : 98;
    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return fail_at(kArctan, kLine);
    if (Negative) {
        pi.reset(PyNumber_Negative(pi.get()));
        if (!pi) return fail_at(kArctan, kLine);
    }
    Ref half(PyNumber_TrueDivide(pi.get(), num(N_2)));
    if (!half) return fail_at(kArctan, kLine);
    Ref arctan(nrt::load_global(str(S_arctan), NRT_SITE()));
    if (!arctan) return fail_at(kArctan, kLine);
    Ref reciprocal(PyNumber_TrueDivide(num(N_1), x));
    if (!reciprocal) return fail_at(kArctan, kLine);
    Ref inner(nrt::call(arctan.get(), reciprocal.get(), iter));
    if (!inner) return fail_at(kArctan, kLine);
    PyObject* result = PyNumber_Subtract(half.get(), inner.get());
    return result ? result : fail_at(kArctan, kLine);
}

// One Newton step: theta - (tan theta - x) / (1 + tan(theta) ** 2).
PyObject* newton_step(PyObject* theta, PyObject* x) noexcept {
    Ref tan_rad(nrt::load_global(str(S_tan_rad), NRT_SITE()));
    if (!tan_rad) return nullptr;
    Ref t(nrt::call(tan_rad.get(), theta));
    if (!t) return nullptr;
    Ref d(PyNumber_Subtract(t.get(), x));
    if (!d) return nullptr;
    tan_rad.reset(nrt::load_global(str(S_tan_rad), NRT_SITE()));
    if (!tan_rad) return nullptr;
    Ref u(nrt::call(tan_rad.get(), theta));
    if (!u) return nullptr;
    Ref p(PyNumber_Power(u.get(), num(N_2), Py_None));
    if (!p) return nullptr;
    Ref s(PyNumber_Add(num(N_1), p.get()));
    if (!s) return nullptr;
    Ref q(PyNumber_TrueDivide(d.get(), s.get()));
    if (!q) return nullptr;
    return PyNumber_Subtract(theta, q.get());
}

}  // namespace

PyObject* arctan_body(PyObject*, PyObject* const* args) noexcept {
    PyObject* x = args[0];
    PyObject* iter = args[1];
    int t = nrt::compare(x, num(N_1), Py_GT);
    if (t < 0) return fail_at(kArctan, 97);
    if (t) return reflect<false>(x, iter);
    t = nrt::compare(x, num(N_minus_1), Py_LT);
    if (t < 0) return fail_at(kArctan, 99);
    if (t) return reflect<true>(x, iter);

    Ref theta = Ref::borrow(num(N_float_zero));
    // The built-in range type itself: rebinding the name `range` changes nothing.
    PyObject* slots[2] = {nullptr, iter};
    Ref steps(nrt::fast_call(reinterpret_cast<PyObject*>(&PyRange_Type), slots + 1,
                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!steps) return fail_at(kArctan, 103);
    Ref iterator(PyObject_GetIter(steps.get()));
    if (!iterator) return fail_at(kArctan, 103);
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) break;
        theta.reset(newton_step(theta.get(), x));
        if (!theta) return fail_at(kArctan, 108);
    }
    if (PyErr_Occurred()) {
        if (!nrt::exception_matches(PyErr_Occurred(), PyExc_StopIteration)) return fail_at(kArctan, 103);
        PyErr_Clear();
    }
    return theta.release();
}

namespace {

// arctan(y / x) through the module global.
PyObject* arctan_of_quotient(PyObject* x, PyObject* y, nrt::SiteCache& site) noexcept {
    Ref arctan(nrt::load_global(str(S_arctan), site));
    if (!arctan) return nullptr;
    Ref quotient(PyNumber_TrueDivide(y, x));
    if (!quotient) return nullptr;
    return nrt::call(arctan.get(), quotient.get());
}

// arctan(y / x) plus or minus pi.
template <bool Add>
PyObject* shifted_arctan(PyObject* x, PyObject* y) noexcept {
    Ref inner(arctan_of_quotient(x, y, NRT_SITE()));
    if (!inner) return nullptr;
    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return nullptr;
    return Add ? PyNumber_Add(inner.get(), pi.get()) : PyNumber_Subtract(inner.get(), pi.get());
}

// pi / 2 or -pi / 2.
template <bool Negative>
PyObject* half_pi() noexcept {
    Ref pi(global_attribute(S_constants, S_pi, NRT_SITE()));
    if (!pi) return nullptr;
    if (Negative) {
        pi.reset(PyNumber_Negative(pi.get()));
        if (!pi) return nullptr;
    }
    return PyNumber_TrueDivide(pi.get(), num(N_2));
}

// First comparison, then (only when it holds) the second.
int both(PyObject* a, int op_a, PyObject* b, int op_b) noexcept {
    int t = nrt::compare(a, num(N_0), op_a);
    if (t > 0) t = nrt::compare(b, num(N_0), op_b);
    return t;
}

}  // namespace

PyObject* arctan2_body(PyObject*, PyObject* const* args) noexcept {
    PyObject* x = args[0];
    PyObject* y = args[1];
    PyObject* result;

    int t = nrt::compare(x, num(N_0), Py_GT);
    if (t < 0) return fail_at(kArctan2, 126);
    if (t) {
        result = arctan_of_quotient(x, y, NRT_SITE());
        return result ? result : fail_at(kArctan2, 127);
    }
    t = both(x, Py_LT, y, Py_GE);
    if (t < 0) return fail_at(kArctan2, 128);
    if (t) {
        result = shifted_arctan<true>(x, y);
        return result ? result : fail_at(kArctan2, 129);
    }
    t = both(x, Py_LT, y, Py_LT);
    if (t < 0) return fail_at(kArctan2, 130);
    if (t) {
        result = shifted_arctan<false>(x, y);
        return result ? result : fail_at(kArctan2, 131);
    }
    t = both(x, Py_EQ, y, Py_GT);
    if (t < 0) return fail_at(kArctan2, 132);
    if (t) {
        result = half_pi<false>();
        return result ? result : fail_at(kArctan2, 133);
    }
    t = both(x, Py_EQ, y, Py_LT);
    if (t < 0) return fail_at(kArctan2, 134);
    if (t) {
        result = half_pi<true>();
        return result ? result : fail_at(kArctan2, 135);
    }
    Py_INCREF(num(N_float_zero));
    return num(N_float_zero);
}

}  // namespace trigmod
