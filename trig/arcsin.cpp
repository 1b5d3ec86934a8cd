// arcsin and arccos: inverse sine and cosine in radians.
//
// Method: arcsin(x) is the angle of the point (sqrt(1 - x^2), x), taken from
// the module global arctan2 with the root from algebra.sqrt, so it lies in
// [-pi/2, pi/2]; arccos(x) is pi/2 - arcsin(x), in [0, pi].
//
// Limits: no range check: for |x| > 1, 1 - x^2 is negative and the outcome is
// whatever sqrt does with it (the default raises ValueError). NaN gives 0.0
// and pi/2 when sqrt returns NaN for NaN.
#include "trig/common.h"
#include "trig/functions.h"
#include "trig/sealed.h"

namespace trigmod {

Val arcsin_body(Val* args) noexcept {
    constexpr FunctionPosition kName = F_arcsin;
    const Val& x = args[0];
    Ref arctan2 = global(S_arctan2, NRT_SITE());
    if (!arctan2) return fail_at(kName, 151);
    Ref algebra = global(S_algebra, NRT_SITE());
    if (!algebra) return fail_at(kName, 151);
    Ref sqrt = attribute(std::move(algebra), S_sqrt, NRT_ATTRIBUTE_SITE());
    if (!sqrt) return fail_at(kName, 151);
    Val square = nrt::square(x, K(N_2));
    if (!square) return fail_at(kName, 151);
    Val difference = nrt::constant_minus(K(N_1), square);
    if (!difference) return fail_at(kName, 151);
    // math.sqrt, called without argument and result objects. The square and
    // the difference may have run code that rebound algebra.sqrt since it was
    // read: the root read is the one to take.
    const World* world = sealed_world();
    double machine_root;
    Val root = world && world->sqrt == sqrt.get() && machine_sqrt(difference, &machine_root)
                   ? Val::of_float(machine_root)
                   : nrt::call(sqrt.get(), difference);
    sqrt.reset();
    if (!root) return fail_at(kName, 151);
    // The root is the horizontal coordinate and x the vertical one, so the
    // angle is the one whose sine is x.
    Val result = call_once(std::move(arctan2), root, x);
    return result ? std::move(result) : fail_at(kName, 151);
}

Val arccos_body(Val* args) noexcept {
    constexpr FunctionPosition kName = F_arccos;
    Val pi = GLOBAL_ATTRIBUTE(S_constants, S_pi);
    if (!pi) return fail_at(kName, 167);
    Val half = nrt::divide_by_constant(pi, K(N_2));
    if (!half) return fail_at(kName, 167);
    Ref arcsin = global(S_arcsin, NRT_SITE());
    if (!arcsin) return fail_at(kName, 167);
    Val inner = call_once(std::move(arcsin), args[0]);
    if (!inner) return fail_at(kName, 167);
    Val result = nrt::subtract(half, inner);
    return result ? std::move(result) : fail_at(kName, 167);
}

}  // namespace trigmod
