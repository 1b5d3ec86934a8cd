// The recursion guard of a function body.
//
// A body stands for a Python function, so it takes one level of the limit
// that sys.setrecursionlimit sets, as a Python frame does, and fails with
// RecursionError where the Python program would. Up to 3.11 that limit also
// bounds the C-API guard (Py_EnterRecursiveCall) that rich comparisons and
// calls from native code enter: one counter serves both. From 3.12 the two are
// apart: Python frames count against the settable limit, the C-API guard
// against a fixed one (1,500 levels on 3.12, 10,000 on 3.13). There a body
// takes a level of each, since it also runs on the native stack, which the
// settable limit no longer protects. From 3.14 the C-API guard counts no
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
    if (ts->c_recursion_remaining > 0) {
        ts->c_recursion_remaining--;
    } else if (Py_EnterRecursiveCall(where)) {
        ts->py_recursion_remaining++;
        return Depth::Refused;
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
    int left = ts->py_recursion_remaining < ts->c_recursion_remaining ? ts->py_recursion_remaining
                                                                      : ts->c_recursion_remaining;
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
    ts->c_recursion_remaining++;
    ts->py_recursion_remaining++;
#elif PY_VERSION_HEX >= 0x030B0000
    ts->recursion_remaining++;
#else
    ts->recursion_depth--;
#endif
}

}  // namespace nrt::compat
