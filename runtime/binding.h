// Argument binding and the call wrappers built on it.
#pragma once

#include <Python.h>

#include "runtime/call.h"
#include "runtime/compat/dicts.h"
#include "runtime/context.h"
#include "runtime/guard.h"
#include "runtime/value.h"

namespace nrt {

constexpr int kMaxParams = 4;

// Everything binding needs to know about one function; one row per function.
// Parameter names and defaults are addresses of slots that start-up fills, so
// a table can be static data.
struct Signature {
    const char* name;            // plain name, used in argument errors
    const char* traceback_name;  // qualified name, used in traceback entries
    int line;                    // first line: binding failures are reported here
    int required;
    int maximum;
    PyObject* const* params[kMaxParams];    // interned names, in order
    PyObject* const* defaults[kMaxParams];  // per parameter; null where required
    bool to_double;              // the one parameter reaches the body as a double
};

// Binds `args` (positional values, then the values of `kwnames`) into
// `slots`, which must start empty. Returns 0, or -1 with an exception set;
// either way the filled slots hold new references for the caller to release.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) noexcept;

// A function body: takes the bound values, returns the result or an empty
// value with an exception set and its own traceback entry added.
using Body = Val (*)(Val* args);

// Reports a failure before the body ran: a traceback entry at the first line.
[[gnu::cold]] void report_entry_failure(const Signature& sig) noexcept;
// Converts a to_double parameter in place; false after reporting a failure.
bool convert_to_double(const Signature& sig, Val& slot) noexcept;

// Runs `body` on bound values: converts a to_double parameter, enters the
// recursion guard (bodies call each other through module globals without a
// Python frame in between), and reports a failure of either at the first line.
inline Val enter_body(const Signature& sig, Body body, Val* slots) noexcept {
    if (sig.to_double && !convert_to_double(sig, slots[0])) return Val();
    BodyLevel level(kRecursionWhere);
    if (level.refused()) {
        report_entry_failure(sig);
        return Val();
    }
    return body(slots);
}

// The general object entry: binds positional and keyword arguments, runs the
// body, hands back one result object.
PyObject* invoke(const Signature& sig, Body body, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept;

// Binds positional arguments and keywords that are the parameter names
// themselves (interned names, as source code passes them), or reports that
// the general binding must decide (false; nothing is bound then).
template <typename F>
inline bool bind_simple(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    constexpr const Signature& Sig = F::signature;
    if (nargs > Sig.maximum) return false;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nargs; i++) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = nargs;
        while (i < Sig.maximum && *Sig.params[i] != key) i++;
        if (i == Sig.maximum || bound[i] != nullptr) return false;
        bound[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < Sig.maximum; i++) {
        if (bound[i] == nullptr) {
            if (Sig.defaults[i] == nullptr) return false;
            bound[i] = *Sig.defaults[i];
        }
    }
    return true;
}

// The wrappers below take a type F that names one function:
// F::signature (a constexpr Signature) and F::body (a constexpr Body).

// Entry point with the METH_FASTCALL | METH_KEYWORDS signature. Everything
// but an error or an unusual keyword binds without the general machinery.
template <typename F>
PyObject* call_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr const Signature& Sig = F::signature;
    constexpr Body B = F::body;
    compat::confirm_watching(context.module_dict);
    Val slots[Sig.maximum];
    if (kwnames == nullptr && nargs == Sig.maximum) {
        // The common call, every parameter given by position.
        for (int i = 0; i < Sig.maximum; i++) slots[i] = Val::borrow(args[i]);
        return enter_body(Sig, B, slots).release();
    }
    PyObject* bound[Sig.maximum] = {};
    if (!bind_simple<F>(args, nargs, kwnames, bound)) return invoke(Sig, B, args, nargs, kwnames);
    for (Py_ssize_t i = 0; i < Sig.maximum; i++) slots[i] = Val::borrow(bound[i]);
    return enter_body(Sig, B, slots).release();
}

// Entry for a call from another body with `n` positional values, n within
// the signature's range: the same as the object entry, minus the objects.
template <typename F>
Val lane_entry(const Val* args, Py_ssize_t n) noexcept {
    constexpr const Signature& Sig = F::signature;
    constexpr Body B = F::body;
    Val slots[Sig.maximum];
    for (Py_ssize_t i = 0; i < Sig.maximum; i++) {
        slots[i] = i < n ? args[i] : Val::borrow(*Sig.defaults[i]);
    }
    return enter_body(Sig, B, slots);
}

}  // namespace nrt
