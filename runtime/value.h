// Values of a function body: a machine int or double while the operands
// allow, a Python object otherwise.
//
// An exact float, or an exact int of at most two 30-bit digits, becomes a
// machine value; every operation on machine values computes exactly what the
// same Python operation on the objects would give, in the same order. Where
// Python would raise, or where the machine result could differ (an int
// overflowing 64 bits, a mixed comparison with an int beyond 2^53, a zero
// divisor, an overflowing power), the operands are turned back into objects
// and the object operation runs at that step, so the caller sees exactly what
// the object path gives. A value remembers the object it came from, so that
// handing it back keeps the object's identity. A build with NRT_PLAIN never
// makes machine values from objects and so computes on objects throughout.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "runtime/compat/ints.h"
#include "runtime/config.h"
#include "runtime/numbers.h"

namespace nrt {

class Val {
public:
    enum class Kind : unsigned char { Object, Int, Float };

    // An empty value: what a failed operation returns (with an exception set).
    Val() noexcept = default;
    Val(const Val& other) noexcept : kind_(other.kind_), bits_(other.bits_), object_(other.object_) {
        Py_XINCREF(object_);
    }
    Val(Val&& other) noexcept : kind_(other.kind_), bits_(other.bits_), object_(other.object_) {
        other.kind_ = Kind::Object;
        other.object_ = nullptr;
    }
    Val& operator=(Val other) noexcept {
        std::swap(kind_, other.kind_);
        std::swap(bits_, other.bits_);
        std::swap(object_, other.object_);
        return *this;
    }
    ~Val() { Py_XDECREF(object_); }

    // Takes over a new reference; null gives an empty value.
    static Val steal(PyObject* owned) noexcept {
        Val v;
        v.object_ = owned;
        if (kLane && owned != nullptr) {
            if (PyFloat_CheckExact(owned)) {
                v.kind_ = Kind::Float;
                v.bits_.d = PyFloat_AS_DOUBLE(owned);
            } else if (PyLong_CheckExact(owned)) {
                Py_ssize_t n = compat::int_signed_size(owned);
                if (n >= -2 && n <= 2) {
                    const digit* d = compat::int_digits(owned);
                    std::int64_t m = n == 0 ? 0 : static_cast<std::int64_t>(d[0]);
                    if (n == 2 || n == -2) m |= static_cast<std::int64_t>(d[1]) << PyLong_SHIFT;
                    v.kind_ = Kind::Int;
                    v.bits_.i = n < 0 ? -m : m;
                }
            }
        }
        return v;
    }
    static Val borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return steal(o);
    }
    static Val of_int(std::int64_t i) noexcept {
        Val v;
        v.kind_ = Kind::Int;
        v.bits_.i = i;
        return v;
    }
    static Val of_float(double d) noexcept {
        Val v;
        v.kind_ = Kind::Float;
        v.bits_.d = d;
        return v;
    }
    static Val of_const(Const c) noexcept { return borrow(c.object); }

    explicit operator bool() const noexcept { return kind_ != Kind::Object || object_ != nullptr; }
    Kind kind() const noexcept { return kind_; }
    bool is_machine() const noexcept { return kind_ != Kind::Object; }
    std::int64_t int_value() const noexcept { return bits_.i; }
    double float_value() const noexcept { return bits_.d; }
    // The value as Python converts an int operand of a float operation.
    double as_double() const noexcept {
        return kind_ == Kind::Float ? bits_.d : static_cast<double>(bits_.i);
    }

    // Borrowed object for this value, made on first use; null (with an
    // exception set) when it cannot be made or the value is empty.
    PyObject* object() const noexcept {
        if (object_ == nullptr && kind_ != Kind::Object) {
            object_ = kind_ == Kind::Float ? PyFloat_FromDouble(bits_.d) : PyLong_FromLongLong(bits_.i);
        }
        return object_;
    }
    // New reference to the object; the value is left empty.
    PyObject* release() noexcept {
        PyObject* o = object();
        object_ = nullptr;
        kind_ = Kind::Object;
        return o;
    }

private:
    Kind kind_ = Kind::Object;
    union Bits {
        std::int64_t i;
        double d;
    } bits_ = {0};
    mutable PyObject* object_ = nullptr;
};

// Whether the running body is at the interpreter's recursion limit, where one
// more level of its recursion guard fails. A rich comparison of objects
// enters that guard and a machine comparison does not, so at the limit
// comparisons go to the objects, and the interpreter raises RecursionError
// at the same step as it would without machine values. Set by the call
// wrapper around each body. One flag serves every thread: at the limit no
// Python code can run (it would need another level), so no other thread can
// take over while it is set.
extern bool body_at_recursion_limit;

inline bool at_recursion_limit() noexcept { return body_at_recursion_limit; }

namespace lane {

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

// Rich comparison a op b: 1 or 0, or -1 when the machine cannot tell.
inline int compare(const Val& a, const Val& b, int op) noexcept {
    bool ints = a.kind() == Val::Kind::Int && b.kind() == Val::Kind::Int;
    if (ints) {
        std::int64_t x = a.int_value(), y = b.int_value();
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_EQ: return x == y;
            case Py_NE: return x != y;
            case Py_GT: return x > y;
            default: return x >= y;
        }
    }
    // Python compares a float with an int exactly; through a double that
    // holds only while the int converts exactly.
    if ((a.kind() == Val::Kind::Int && !exact_in_double(a.int_value())) ||
        (b.kind() == Val::Kind::Int && !exact_in_double(b.int_value()))) {
        return -1;
    }
    double x = a.as_double(), y = b.as_double();
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
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

}  // namespace lane

// ---- operations on values -------------------------------------------------------

namespace detail {

using ObjectBinary = PyObject* (*)(PyObject*, PyObject*);

inline Val object_binary(ObjectBinary f, const Val& a, const Val& b) noexcept {
    PyObject* x = a.object();
    if (x == nullptr) return Val();
    PyObject* y = b.object();
    if (y == nullptr) return Val();
    return Val::steal(f(x, y));
}

inline Val binary(lane::Op op, ObjectBinary f, const Val& a, const Val& b) noexcept {
    if (kLane && a.is_machine() && b.is_machine()) {
        Val out;
        if (lane::binary(op, a, b, &out)) return out;
    }
    return object_binary(f, a, b);
}

}  // namespace detail

inline Val add(const Val& a, const Val& b) noexcept { return detail::binary(lane::Op::Add, PyNumber_Add, a, b); }
inline Val add_in_place(const Val& a, const Val& b) noexcept {
    return detail::binary(lane::Op::Add, PyNumber_InPlaceAdd, a, b);
}
inline Val subtract(const Val& a, const Val& b) noexcept {
    return detail::binary(lane::Op::Subtract, PyNumber_Subtract, a, b);
}
inline Val multiply(const Val& a, const Val& b) noexcept {
    return detail::binary(lane::Op::Multiply, PyNumber_Multiply, a, b);
}
inline Val multiply_in_place(const Val& a, const Val& b) noexcept {
    return detail::binary(lane::Op::Multiply, PyNumber_InPlaceMultiply, a, b);
}
inline Val true_divide(const Val& a, const Val& b) noexcept {
    return detail::binary(lane::Op::Divide, PyNumber_TrueDivide, a, b);
}

inline Val negative(const Val& a) noexcept {
    if (kLane) {
        if (a.kind() == Val::Kind::Float) return Val::of_float(-a.float_value());
        if (a.kind() == Val::Kind::Int && a.int_value() != INT64_MIN) return Val::of_int(-a.int_value());
    }
    PyObject* x = a.object();
    return x ? Val::steal(PyNumber_Negative(x)) : Val();
}

// a ** 2 (the number protocol's power, no modulus).
inline Val square(const Val& a, Const two) noexcept {
    if (kLane) {
        if (a.kind() == Val::Kind::Float) {
            double r;
            if (lane::float_square(a.float_value(), &r)) return Val::of_float(r);
        } else if (a.kind() == Val::Kind::Int) {
            std::int64_t r;
            if (!__builtin_mul_overflow(a.int_value(), a.int_value(), &r)) return Val::of_int(r);
        }
    }
    PyObject* x = a.object();
    return x ? Val::steal(PyNumber_Power(x, two.object, Py_None)) : Val();
}

// Rich comparison followed by the truth test: 1, 0, or -1 with an exception set.
inline int compare(const Val& a, const Val& b, int op) noexcept {
    if (kLane && a.is_machine() && b.is_machine() && !at_recursion_limit()) {
        int r = lane::compare(a, b, op);
        if (r >= 0) return r;
    }
    PyObject* x = a.object();
    if (x == nullptr) return -1;
    PyObject* y = b.object();
    if (y == nullptr) return -1;
    return nrt::compare(x, y, op);
}

inline int compare(const Val& a, Const c, int op) noexcept {
    if (kLane && a.is_machine() && !at_recursion_limit()) {
        int r = lane::compare(a, Val::of_int(c.value), op);
        if (r >= 0) return r;
    }
    PyObject* x = a.object();
    return x ? nrt::compare(x, c.object, op) : -1;
}

// The constant operations: machine arithmetic on machine values, the
// constant fast paths on objects.

inline Val remainder_by_constant(const Val& x, Const c) noexcept {
    if (kLane) {
        if (x.kind() == Val::Kind::Int) {
            std::int64_t r = x.int_value() % c.value;
            return Val::of_int(r < 0 ? r + c.value : r);
        }
        if (x.kind() == Val::Kind::Float) {
            return Val::of_float(lane::float_remainder(x.float_value(), static_cast<double>(c.value)));
        }
    }
    PyObject* o = x.object();
    return o ? Val::steal(nrt::remainder_by_constant(o, c)) : Val();
}

namespace detail {

// a op b in machine arithmetic when it can give Python's answer, else the
// constant fast path on the object of x.
template <typename ObjectOp>
inline Val with_constant(lane::Op op, const Val& a, const Val& b, const Val& x, ObjectOp object_op) noexcept {
    if (kLane && a.is_machine() && b.is_machine()) {
        Val out;
        if (lane::binary(op, a, b, &out)) return out;
    }
    PyObject* o = x.object();
    return o ? Val::steal(object_op(o)) : Val();
}

}  // namespace detail

inline Val constant_minus(Const c, const Val& x) noexcept {
    return detail::with_constant(lane::Op::Subtract, Val::of_int(c.value), x, x,
                                 [c](PyObject* o) { return nrt::constant_minus(c, o); });
}

inline Val subtract_constant(const Val& x, Const c) noexcept {
    return detail::with_constant(lane::Op::Subtract, x, Val::of_int(c.value), x,
                                 [c](PyObject* o) { return nrt::subtract_constant(o, c); });
}

inline Val add_constant(const Val& x, Const c, AddForm form) noexcept {
    auto object_op = [c, form](PyObject* o) { return nrt::add_constant(o, c, form); };
    if (form == AddForm::ConstantFirst) {
        return detail::with_constant(lane::Op::Add, Val::of_int(c.value), x, x, object_op);
    }
    return detail::with_constant(lane::Op::Add, x, Val::of_int(c.value), x, object_op);
}

inline Val constant_times(Const c, const Val& x) noexcept {
    return detail::with_constant(lane::Op::Multiply, Val::of_int(c.value), x, x,
                                 [c](PyObject* o) { return nrt::constant_times(c, o); });
}

inline Val divide_by_constant(const Val& x, Const c) noexcept {
    return detail::with_constant(lane::Op::Divide, x, Val::of_int(c.value), x,
                                 [c](PyObject* o) { return nrt::divide_by_constant(o, c); });
}

inline int equals_constant(const Val& x, Const c) noexcept {
    if (kLane && x.is_machine() && !at_recursion_limit()) {
        int r = lane::compare(x, Val::of_int(c.value), Py_EQ);
        if (r >= 0) return r;
    }
    PyObject* o = x.object();
    return o ? nrt::equals_constant(o, c) : -1;
}

inline Val absolute_value(const Val& x) noexcept {
    if (kLane) {
        if (x.kind() == Val::Kind::Float) return Val::of_float(std::fabs(x.float_value()));
        if (x.kind() == Val::Kind::Int && x.int_value() != INT64_MIN) {
            return x.int_value() < 0 ? Val::of_int(-x.int_value()) : x;
        }
    }
    PyObject* o = x.object();
    return o ? Val::steal(nrt::absolute_value(o)) : Val();
}

}  // namespace nrt
