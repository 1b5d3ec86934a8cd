// Values of a function body: a machine int or double while the operands
// allow, a Python object otherwise.
//
// An exact float, or an exact int of at most two 30-bit digits, becomes a
// machine value. A value remembers the object it came from, so that handing
// it back keeps the object's identity. A build with NRT_PLAIN never makes
// machine values from objects and so computes on objects throughout.
// Arithmetic on machine values is in machine.h, the operations that choose
// between machine and object arithmetic in operations.h.
#pragma once

#include <Python.h>

#include <cstdint>
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
        if (kMachineValues && owned != nullptr) {
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

}  // namespace nrt
