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
//
// While the module is sealed (sealed.h) one sine serves the sine and the
// cosine, without calls or argument objects.
#include "trig/common.h"
#include "trig/functions.h"
#include "trig/sealed.h"

namespace trigmod {

Val tan_body(Val* args) noexcept {
    constexpr FunctionPosition kName = F_tan;
    const Val& angle = args[0];
    if (angle.is_machine()) {
        const World* world = sealed_world();
        double tangent;
        if (world && machine_tan(*world, angle, &tangent)) return Val::of_float(tangent);
    }
    Ref sin = global(S_sin, NRT_SITE());
    if (!sin) return fail_at(kName, 76);
    Val sine = call_once(std::move(sin), angle);
    if (!sine) return fail_at(kName, 76);
    Ref cosin = global(S_cosin, NRT_SITE());
    if (!cosin) return fail_at(kName, 76);
    Val cosine = call_once(std::move(cosin), angle);
    if (!cosine) return fail_at(kName, 76);
    Val quotient = nrt::true_divide(sine, cosine);
    return quotient ? std::move(quotient) : fail_at(kName, 76);
}

namespace {

// rad * 180.0 / constants.pi, from a new float each time.
template <int Site>
Val degrees(double rad) noexcept {
    Val product = Val::of_float(rad * 180.0);
    if (!nrt::kMachineValues && !product.object()) return Val();
    Val pi = GLOBAL_ATTRIBUTE(S_constants, S_pi);
    if (!pi) return pi;
    return nrt::true_divide(product, pi);
}

}  // namespace

Val tan_rad_body(Val* args) noexcept {
    constexpr FunctionPosition kName = F_tan_rad;
    const double rad = args[0].float_value();
    if (const World* world = sealed_world()) {
        double tangent;
        if (machine_tan_rad(*world, rad, &tangent)) return Val::of_float(tangent);
    }
    Ref sin = global(S_sin, NRT_SITE());
    if (!sin) return fail_at(kName, 82);
    Val angle = degrees<0>(rad);
    if (!angle) return fail_at(kName, 82);
    Val sine = call_once(std::move(sin), angle);
    if (!sine) return fail_at(kName, 82);
    Ref cosin = global(S_cosin, NRT_SITE());
    if (!cosin) return fail_at(kName, 82);
    angle = degrees<1>(rad);
    if (!angle) return fail_at(kName, 82);
    Val cosine = call_once(std::move(cosin), angle);
    if (!cosine) return fail_at(kName, 82);
    Val quotient = nrt::true_divide(sine, cosine);
    return quotient ? std::move(quotient) : fail_at(kName, 82);
}

}  // namespace trigmod
