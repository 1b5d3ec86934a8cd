// The machine-double pieces of sin, shared with the sealed computations:
// the reduction of an exact int or float angle and the series within its
// table of denominators.
#pragma once

#if defined(__SSE2__) && !defined(NRT_PORTABLE)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>

#include "runtime/operations.h"

namespace trigmod {

// The reduction into -90..90 (lines 19 to 27) for a machine angle, with the
// int or float operations that the object steps perform on exact ints and
// floats (a float compares exactly with the small int bounds).
inline nrt::Val reduce_machine(const nrt::Val& value) noexcept {
    if (value.kind() == nrt::Val::Kind::Int) {
        std::int64_t a = value.int_value() % 360;
        if (a < 0) a += 360;
        if (a >= 180) a -= 360;
        if (a > 90) a = 180 - a;
        else if (a < -90) a = -180 - a;
        return nrt::Val::of_int(a);
    }
    double a = nrt::machine::float_remainder(value.float_value(), 360.0);
    if (a >= 180) a -= 360.0;
    if (a > 90) a = 180.0 - a;
    else if (a < -90) a = -180.0 - a;
    return nrt::Val::of_float(a);
}

// numerator / denominators[0] and numerator / denominators[1], each rounded
// as a division of its own. SSE2 does both in one instruction; every build
// can choose the two plain divisions instead (NRT_PORTABLE), and builds for
// other machines get them anyway: the results are the same bits.
inline void divide_pair(double numerator, const double* denominators, double* quotients) noexcept {
#if defined(__SSE2__) && !defined(NRT_PORTABLE)
    _mm_storeu_pd(quotients, _mm_div_pd(_mm_set1_pd(numerator), _mm_loadu_pd(denominators)));
#else
    quotients[0] = numerator / denominators[0];
    quotients[1] = numerator / denominators[1];
#endif
}

// (2i) * (2i + 1) for the first steps, as doubles: the int product converts
// exactly. Index 0 is unused.
constexpr double kDenominators[] = {0,   6,   20,  42,  72,  110, 156, 210, 272, 342, 420,
                                    506, 600, 702, 812, 930, 1056, 1190, 1332, 1482, 1640, 1806};
constexpr std::int64_t kTableSteps = sizeof kDenominators / sizeof kDenominators[0] - 1;

constexpr double kTolerance = 1e-15;

// Where the series stands: the next term, the sum so far and the counter i.
struct SeriesState {
    double term;
    double result;
    std::int64_t i;
};

// Runs the series for x (lines 37 to 40) in machine doubles through the
// table's steps. True when a term fell to the tolerance there, with the sum
// in state.result; false when the table ran out (only for an x far beyond
// pi/2), with the state to carry on from. Each step computes what the object
// loop computes: (-x) * x is the same value every time, so the factors of
// two steps come from one paired division.
inline bool table_series(double x, SeriesState& state) noexcept {
    const double numerator = -x * x;
    double term = x;
    double result = 0.0;
    std::int64_t i = 0;
    bool done = !(std::fabs(term) > kTolerance);
    while (!done && i + 2 <= kTableSteps) {
        double factors[2];
        divide_pair(numerator, &kDenominators[i + 1], factors);
        result += term;
        term *= factors[0];
        i += 1;
        if (!(std::fabs(term) > kTolerance)) {
            done = true;
            break;
        }
        result += term;
        term *= factors[1];
        i += 1;
        done = !(std::fabs(term) > kTolerance);
    }
    state = {term, result, i};
    return done;
}

}  // namespace trigmod
