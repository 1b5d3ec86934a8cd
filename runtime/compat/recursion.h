// The recursion guard of a function body.
//
// A body stands for a Python function, so it takes one level of the limit
// that sys.setrecursionlimit sets, as a Python frame does, and fails with
// RecursionError where the Python program would. Up to 3.11 that limit also
// bounds the C-API guard (Py_EnterRecursiveCall) that rich comparisons and
// calls from native code enter: one counter serves both. From 3.12 the two are
// apart: Python frames count against the settable limit, the C-API guard
// against a fixed budget of units (1,500 on 3.12, 10,000 on 3.13). There a
// body takes a level of the settable limit and the units that its native
// frames cost (kBodyUnits below), since it runs on the native stack, which
// the settable limit no longer protects. From 3.14 the C-API guard counts no
// levels: it compares the machine stack pointer with a margin above the end
// of the thread's stack, which only the interpreter knows. A body enters that
// guard through the public call on every entry, so runaway native recursion
// still stops with RecursionError before the stack runs out; but no body can
// tell that the next level would fail, so it is never at that limit (its
// machine comparisons go on where the interpreter's own ones, a few frames
// deeper, might just fail).
//
// Each version's fast path only moves the counters; when a level may be one
// too many, the interpreter's own guard decides and raises.
#pragma once

#include "runtime/compat/supported.h"

namespace nrt::compat {

enum class Depth {
    Refused,  // RecursionError is set; no level was taken
    Room,     // a level was taken
    Last,     // a level was taken, and one more level of the C-API guard fails
};

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
// The budget counts units, not bytes: the interpreter sizes it so that its
// own deepest use fits the stacks it protects. Its eval loop takes two units
// on each entry from native code, and one level of a chain of Python
// functions re-entered through native code (the eval loop's frame and the
// call path back into it) takes 576 bytes of stack on 3.12 and 624 on 3.13
// (pyenv's builds): the budget counts on at most 288 and 312 bytes a unit.
// One level of a body chain (the call wrapper, the body, and the attribute
// read or call back into it) takes up to 880 bytes with GCC 12 or Clang 14 at
// -O2 (arctan, whose frame holds its Newton state), up to 1,224 unoptimised,
// and up to 4,176 with AddressSanitizer's redzones: a body that took one unit
// let a chain run out of stack where the interpreter's own chain stops (a
// 3 MiB thread on 3.13). A body takes the units of a round figure above what
// was measured, which leaves room for another compiler's frames.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr int kUnitBytes = 312;
#else
inline constexpr int kUnitBytes = 288;
#endif
#if defined(_Py_ADDRESS_SANITIZER)
inline constexpr int kBodyBytes = 5120;
#elif !defined(__OPTIMIZE__)
inline constexpr int kBodyBytes = 1536;
#else
inline constexpr int kBodyBytes = 1024;
#endif
inline constexpr int kBodyUnits = (kBodyBytes + kUnitBytes - 1) / kUnitBytes;
#endif

#if PY_VERSION_HEX >= 0x030C0000
// One level of the settable limit, which only Python frames count against
// from 3.12; false with RecursionError set when none is left.
inline bool take_python_level(PyThreadState* ts, const char* where) noexcept {
    if (ts->py_recursion_remaining-- <= 0 && (!ts->recursion_headroom || ts->py_recursion_remaining < -50)) {
        ts->py_recursion_remaining++;
        ts->recursion_headroom++;
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        ts->recursion_headroom--;
        return false;
    }
    return true;
}
#endif

inline Depth enter_body(PyThreadState* ts, const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    if (!take_python_level(ts, where)) return Depth::Refused;
    if (Py_EnterRecursiveCall(where)) {
        ts->py_recursion_remaining++;
        return Depth::Refused;
    }
    return Depth::Room;
#elif PY_VERSION_HEX >= 0x030C0000
    if (!take_python_level(ts, where)) return Depth::Refused;
    if (ts->c_recursion_remaining >= kBodyUnits) {
        ts->c_recursion_remaining -= kBodyUnits;
    } else {
        // All units but one here, the last through the interpreter's guard,
        // which decides.
        ts->c_recursion_remaining -= kBodyUnits - 1;
        if (Py_EnterRecursiveCall(where)) {
            ts->c_recursion_remaining += kBodyUnits - 1;
            ts->py_recursion_remaining++;
            return Depth::Refused;
        }
    }
    return ts->c_recursion_remaining <= 0 ? Depth::Last : Depth::Room;
#elif PY_VERSION_HEX >= 0x030B0000
    if (ts->recursion_remaining-- <= 0) {
        ts->recursion_remaining++;
        if (Py_EnterRecursiveCall(where)) return Depth::Refused;
    }
    return ts->recursion_remaining <= 0 && !ts->recursion_headroom ? Depth::Last : Depth::Room;
#else
    const int limit = Py_GetRecursionLimit();
    if (++ts->recursion_depth > limit) {
        ts->recursion_depth--;
        if (Py_EnterRecursiveCall(where)) return Depth::Refused;
    }
#if PY_VERSION_HEX >= 0x030A0000
    const bool unguarded = ts->recursion_headroom != 0;
#else
    const bool unguarded = ts->overflowed || ts->recursion_critical;
#endif
    return ts->recursion_depth >= limit && !unguarded ? Depth::Last : Depth::Room;
#endif
}

// Levels that bodies can still take before any guard comes near its limit;
// 0 while the interpreter is handling an overflow (its limit then moves).
inline int levels_left(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    // Only the settable limit counts levels here (see enter_body).
    if (ts->recursion_headroom) return 0;
    int left = ts->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030C0000
    if (ts->recursion_headroom) return 0;
    int c_levels = ts->c_recursion_remaining / kBodyUnits;
    int left = ts->py_recursion_remaining < c_levels ? ts->py_recursion_remaining : c_levels;
#elif PY_VERSION_HEX >= 0x030B0000
    if (ts->recursion_headroom) return 0;
    int left = ts->recursion_remaining;
#else
#if PY_VERSION_HEX >= 0x030A0000
    if (ts->recursion_headroom) return 0;
#else
    if (ts->overflowed || ts->recursion_critical) return 0;
#endif
    int left = Py_GetRecursionLimit() - ts->recursion_depth;
#endif
    return left > 0 ? left : 0;
}

inline void leave_body(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    Py_LeaveRecursiveCall();
    ts->py_recursion_remaining++;
#elif PY_VERSION_HEX >= 0x030C0000
    ts->c_recursion_remaining += kBodyUnits;
    ts->py_recursion_remaining++;
#elif PY_VERSION_HEX >= 0x030B0000
    ts->recursion_remaining++;
#else
    ts->recursion_depth--;
#endif
}

}  // namespace nrt::compat
