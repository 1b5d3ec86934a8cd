// Reading an exact int's digits.
//
// Up to 3.11 an int keeps its signed digit count in ob_size and its digits in
// ob_digit; from 3.12 a tag word holds the count (above three flag bits) and
// the sign (the low two bits: 0 positive, 1 zero, 2 negative), and the digits
// moved into long_value. Py_SIZE still compiles on 3.12 but reads an unrelated
// field, so every read of an int's layout goes through here.
#pragma once

#include "runtime/compat/supported.h"

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000
#include <longintrepr.h>  // part of Python.h from 3.10 on
#endif

namespace nrt::compat {

// The number of 30-bit digits with the sign of the value: 0 for zero, +-1
// for a magnitude below 2^30, +-2 below 2^60, and so on.
inline Py_ssize_t int_signed_size(PyObject* x) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    std::uintptr_t tag = reinterpret_cast<PyLongObject*>(x)->long_value.lv_tag;
    auto sign = 1 - static_cast<Py_ssize_t>(tag & _PyLong_SIGN_MASK);
    return sign * static_cast<Py_ssize_t>(tag >> _PyLong_NON_SIZE_BITS);
#else
    return Py_SIZE(x);
#endif
}

// The digits, least significant first (as many as int_signed_size says).
inline const digit* int_digits(PyObject* x) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyLongObject*>(x)->long_value.ob_digit;
#else
    return reinterpret_cast<PyLongObject*>(x)->ob_digit;
#endif
}

}  // namespace nrt::compat
