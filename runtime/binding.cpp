#include "runtime/binding.h"

#include <cstring>

#include "runtime/context.h"
#include "runtime/traceback.h"

namespace nrt {

namespace {

[[gnu::cold, gnu::noinline]] void raise_count_error(const Signature& sig, Py_ssize_t given) noexcept {
    bool exact = sig.required == sig.maximum;
    const char* word = exact ? "exactly" : (given < sig.required ? "at least" : "at most");
    Py_ssize_t expected = (!exact && given >= sig.required) ? sig.maximum : sig.required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, word, expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void raise_multiple_values(const Signature& sig, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
}

[[gnu::cold, gnu::noinline]] void raise_unexpected(const Signature& sig, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
}

[[gnu::cold, gnu::noinline]] void raise_not_strings(const Signature& sig) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
}

// Same hash, length, character width and code units.
bool same_text(PyObject* key, Py_hash_t key_hash, PyObject* param) noexcept {
    auto* p = reinterpret_cast<PyASCIIObject*>(param);
    if (p->hash != key_hash || PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(param)) return false;
    if (PyUnicode_KIND(key) != PyUnicode_KIND(param)) return false;
    return std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(param),
                       PyUnicode_GET_LENGTH(key) * PyUnicode_KIND(key)) == 0;
}

// Index of the parameter in [from, to) whose name has the text of `key`, or -1.
Py_ssize_t match_exact_str(const Signature& sig, PyObject* key, Py_hash_t hash, Py_ssize_t from,
                           Py_ssize_t to) noexcept {
    for (Py_ssize_t i = from; i < to; i++) {
        if (same_text(key, hash, *sig.params[i])) return i;
    }
    return -1;
}

// The same by equality for a str subclass: -2 with an exception set when a
// comparison fails.
Py_ssize_t match_str_subclass(const Signature& sig, PyObject* key, Py_ssize_t from,
                              Py_ssize_t to) noexcept {
    for (Py_ssize_t i = from; i < to; i++) {
        int eq = PyObject_RichCompareBool(*sig.params[i], key, Py_EQ);
        if (eq < 0) return -2;
        if (eq > 0) return i;
    }
    return -1;
}

int bind_keywords(const Signature& sig, PyObject* kwnames, PyObject* const* kwvalues,
                  PyObject** slots, Py_ssize_t npositional) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = kwvalues[k];
        Py_ssize_t index = -1;
        for (Py_ssize_t i = npositional; i < sig.maximum; i++) {
            if (*sig.params[i] == key) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            Py_ssize_t earlier;
            if (PyUnicode_CheckExact(key)) {
                Py_hash_t hash = PyObject_Hash(key);
                if (hash == -1) return -1;
                index = match_exact_str(sig, key, hash, npositional, sig.maximum);
                earlier = index >= 0 ? -1 : match_exact_str(sig, key, hash, 0, npositional);
            } else if (PyUnicode_Check(key)) {
                index = match_str_subclass(sig, key, npositional, sig.maximum);
                if (index == -2) return -1;
                earlier = index >= 0 ? -1 : match_str_subclass(sig, key, 0, npositional);
                if (earlier == -2) return -1;
            } else {
                raise_not_strings(sig);
                return -1;
            }
            if (index < 0) {
                if (earlier >= 0) raise_multiple_values(sig, key);
                else raise_unexpected(sig, key);
                return -1;
            }
        }
        // A keyword may repeat an open parameter that an earlier keyword bound.
        if (slots[index] != nullptr) {
            raise_multiple_values(sig, key);
            return -1;
        }
        Py_INCREF(value);
        slots[index] = value;
    }
    return 0;
}

void release_slots(const Signature& sig, PyObject** slots) noexcept {
    for (int i = 0; i < sig.maximum; i++) Py_XDECREF(slots[i]);
}

void fill_defaults(const Signature& sig, PyObject** slots, Py_ssize_t from) noexcept {
    for (int i = static_cast<int>(from); i < sig.maximum; i++) {
        if (slots[i] == nullptr && sig.defaults[i] != nullptr) {
            slots[i] = *sig.defaults[i];
            Py_INCREF(slots[i]);
        }
    }
}

}  // namespace

void report_entry_failure(const Signature& sig) noexcept {
    add_traceback(sig.traceback_name, sig.line, context.file_name);
}

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) noexcept {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        if (nargs > sig.maximum) {
            raise_count_error(sig, nargs);
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; i++) {
            Py_INCREF(args[i]);
            slots[i] = args[i];
        }
        if (bind_keywords(sig, kwnames, args + nargs, slots, nargs) < 0) return -1;
        fill_defaults(sig, slots, nargs);
        for (Py_ssize_t i = nargs; i < sig.required; i++) {
            if (slots[i] == nullptr) {
                raise_count_error(sig, i);
                return -1;
            }
        }
        return 0;
    }
    if (nargs < sig.required || nargs > sig.maximum) {
        raise_count_error(sig, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        Py_INCREF(args[i]);
        slots[i] = args[i];
    }
    fill_defaults(sig, slots, nargs);
    return 0;
}

bool convert_to_double(const Signature& sig, Val& slot) noexcept {
    double value;
    if (slot.is_machine()) {
        // The nearest double, as the float conversion of an int gives.
        value = slot.as_double();
    } else {
        PyObject* o = slot.object();
        value = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (value == -1.0 && PyErr_Occurred()) {
            report_entry_failure(sig);
            return false;
        }
    }
    slot = Val::of_float(value);
    return true;
}

PyObject* invoke(const Signature& sig, Body body, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    PyObject* bound[kMaxParams] = {};
    if (bind_arguments(sig, args, nargs, kwnames, bound) < 0) {
        release_slots(sig, bound);
        report_entry_failure(sig);
        return nullptr;
    }
    Val slots[kMaxParams];
    for (int i = 0; i < sig.maximum; i++) slots[i] = Val::steal(bound[i]);
    return enter_body(sig, body, slots).release();
}

}  // namespace nrt
