// Machine arithmetic with Python's semantics: each operation on machine
// ints and doubles gives exactly what the same Python operation on the
// objects gives, or says that it cannot (an int overflowing 64 bits, a mixed
// comparison with an int beyond 2^53, a zero divisor, an overflowing power,
// two NaN operands), and then the object operation must run.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "runtime/libm.h"
#include "runtime/numbers.h"
#include "runtime/value.h"

namespace nrt::machine {

constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

inline bool exact_in_double(std::int64_t v) noexcept { return v >= -kExactInDouble && v <= kExactInDouble; }

enum class Op { Add, Subtract, Multiply, Divide };

// a op b on machine values with Python's semantics; false when the machine
// cannot give Python's answer (the object operation must run).
inline bool binary(Op op, const Val& a, const Val& b, Val* out) noexcept {
    if (a.kind() == Val::Kind::Int && b.kind() == Val::Kind::Int) {
        std::int64_t x = a.int_value(), y = b.int_value(), r;
        switch (op) {
            case Op::Add:
                if (__builtin_add_overflow(x, y, &r)) return false;
                break;
            case Op::Subtract:
                if (__builtin_sub_overflow(x, y, &r)) return false;
                break;
            case Op::Multiply:
                if (__builtin_mul_overflow(x, y, &r)) return false;
                break;
            default:
                // Below 2^53 both convert exactly, so one IEEE division is
                // the correctly rounded true quotient, as int / int gives.
                if (y == 0 || !exact_in_double(x) || !exact_in_double(y)) return false;
                *out = Val::of_float(static_cast<double>(x) / static_cast<double>(y));
                return true;
        }
        *out = Val::of_int(r);
        return true;
    }
    // A float with an int: Python converts the int to the nearest double.
    double x = opaque(a.as_double()), y = opaque(b.as_double()), r;
    switch (op) {
        case Op::Add: r = x + y; break;
        case Op::Subtract: r = x - y; break;
        case Op::Multiply: r = x * y; break;
        default:
            if (y == 0.0) return false;
            r = x / y;
            break;
    }
    // With two NaN operands the hardware keeps the one in the first operand
    // register, and which one that is is the compiler's choice: let the
    // interpreter's own operation pick, as it would.
    if (std::isnan(r) && std::isnan(x) && std::isnan(y)) return false;
    *out = Val::of_float(r);
    return true;
}

// x op y for a rich comparison operator.
template <typename T>
inline int apply_comparison(T x, T y, int op) noexcept {
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// Rich comparison a op b: 1 or 0, or -1 when the machine cannot tell.
inline int compare(const Val& a, const Val& b, int op) noexcept {
    if (a.kind() == Val::Kind::Int && b.kind() == Val::Kind::Int) {
        return apply_comparison(a.int_value(), b.int_value(), op);
    }
    // Python compares a float with an int exactly; through a double that
    // holds only while the int converts exactly.
    if ((a.kind() == Val::Kind::Int && !exact_in_double(a.int_value())) ||
        (b.kind() == Val::Kind::Int && !exact_in_double(b.int_value()))) {
        return -1;
    }
    return apply_comparison(a.as_double(), b.as_double(), op);
}

// Python's float %: fmod with the remainder moved to the divisor's sign, and
// a zero remainder carrying the divisor's sign.
inline double float_remainder(double x, double w) noexcept {
    // Below the divisor's magnitude fmod gives x itself, exactly.
    double mod = std::fabs(x) < std::fabs(w) ? x : std::fmod(x, w);
    if (mod != 0.0) {  // true for NaN too, as C's `if (mod)`
        if ((w < 0) != (mod < 0)) mod += w;
    } else {
        mod = std::copysign(0.0, w);
    }
    return mod;
}

// pow(m, 2.0) as the C library gives it, for a finite m > 0; Python's
// float ** 2 calls pow. The library's pow is not always the correctly
// rounded m * m: glibc documents it within 0.54 ulp, and it differs from the
// product when the exact square lies near the middle between two doubles.
// Where the exact square is within 0.45 ulp of the product (a fused
// multiply-add gives the product's rounding error exactly), no other double
// is near enough for pow to return it, so the product is pow's answer.
// Everywhere else (other C libraries, powers of two, extreme exponents) pow
// itself runs. The compiler must not see pow(m, 2.0): it would make it m * m.
inline double library_square(double m) noexcept {
    static double (*volatile const library_pow)(double, double) = ::pow;
#if defined(__GLIBC__)
    const double product = m * m;
    std::uint64_t bits;
    std::memcpy(&bits, &product, sizeof bits);
    const std::uint64_t exponent = bits >> 52;
    const bool power_of_two = (bits & ((std::uint64_t{1} << 52) - 1)) == 0;
    if (exponent > 200 && exponent < 1900 && !power_of_two) {
        const std::uint64_t ulp_bits = (exponent - 52) << 52;
        double ulp;
        std::memcpy(&ulp, &ulp_bits, sizeof ulp);
        if (std::fabs(std::fma(m, m, -product)) <= 0.45 * ulp) return product;
    }
#endif
    return library_pow(m, 2.0);
}

// Python's float ** 2: false where Python would raise (overflow).
inline bool float_square(double x, double* out) noexcept {
    if (std::isnan(x)) {
        *out = x;
    } else if (std::isinf(x)) {
        *out = std::fabs(x);
    } else if (x == 0.0) {
        *out = 0.0;
    } else {
        double m = std::fabs(x);
        if (m == 1.0) {
            *out = 1.0;
            return true;
        }
        double r = library_square(m);
        if (std::isinf(r)) return false;
        *out = r;
    }
    return true;
}

}  // namespace nrt::machine
