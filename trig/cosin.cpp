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
//
// While the module is sealed (sealed.h) one sine serves both factors and the
// root is taken without argument objects.
#include "trig/common.h"
#include "trig/functions.h"
#include "trig/sealed.h"
#include "runtime/compat/errors.h"

namespace trigmod {

namespace {

Val fail(int line) noexcept { return fail_at(F_cosin, line); }

// sqrt(1 - sin(angle) * sin(angle)). One instantiation per branch, so that
// each branch's reads of the globals keep their own site caches.
template <int Line>
Val root_of_one_minus_sine_squared(const Val& angle) noexcept {
    Ref algebra = global(S_algebra, NRT_SITE());
    if (!algebra) return fail(Line);
    Ref sqrt = attribute(std::move(algebra), S_sqrt, NRT_ATTRIBUTE_SITE());
    if (!sqrt) return fail(Line);
    Ref sin = global(S_sin, NRT_SITE());
    if (!sin) return fail(Line);
    Val first = call_once(std::move(sin), angle);
    if (!first) return fail(Line);
    sin = global(S_sin, NRT_SITE());
    if (!sin) return fail(Line);
    Val second = call_once(std::move(sin), angle);
    if (!second) return fail(Line);
    Val square = nrt::multiply(first, second);
    if (!square) return fail(Line);
    Val difference = nrt::constant_minus(K(N_1), square);
    if (!difference) return fail(Line);
    Val root = call_once(std::move(sqrt), difference);
    return root ? std::move(root) : fail(Line);
}

// (low <= angle < high) or (low2 <= angle high2_op high2), short-circuit
// left to right: 1, 0, or -1 with an exception set.
int in_ranges(const Val& angle, NumberId low, NumberId high, NumberId low2, NumberId high2, int high2_op) noexcept {
    int t = nrt::compare(angle, K(low), Py_GE);
    if (t > 0) t = nrt::compare(angle, K(high), Py_LT);
    if (t != 0) return t;
    t = nrt::compare(angle, K(low2), Py_GE);
    if (t > 0) t = nrt::compare(angle, K(high2), high2_op);
    return t;
}

[[gnu::cold, gnu::noinline]] Val unassigned() noexcept {
    PyErr_Format(PyExc_UnboundLocalError, nrt::compat::kUnboundLocalFormat, "cosine");
    return fail(62);
}

}  // namespace

Val cosin_body(Val* args) noexcept {
    if (args[0].is_machine()) {
        const World* world = sealed_world();
        double sine, cosine;
        if (world && machine_sine(*world, args[0], &sine) && machine_cosine(args[0], sine, &cosine)) {
            return Val::of_float(cosine);
        }
    }
    Val angle = nrt::remainder_by_constant(args[0], K(N_360));
    if (!angle) return fail(56);

    int first_or_fourth = in_ranges(angle, N_0, N_90, N_270, N_360, Py_LE);
    if (first_or_fourth < 0) return fail(58);
    if (first_or_fourth) return root_of_one_minus_sine_squared<59>(angle);

    int second_or_third = in_ranges(angle, N_90, N_180, N_180, N_270, Py_LT);
    if (second_or_third < 0) return fail(60);
    if (!second_or_third) return unassigned();
    Val root = root_of_one_minus_sine_squared<61>(angle);
    if (!root) return root;
    Val cosine = nrt::constant_times(K(N_minus_1), root);
    return cosine ? std::move(cosine) : fail(61);
}

}  // namespace trigmod
