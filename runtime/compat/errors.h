// Exceptions: handling the pending one, and the interpreter's own wording and
// attributes where the module raises what Python code would meet.
#pragma once

#include "runtime/compat/supported.h"

#if PY_VERSION_HEX < 0x030C0000

// From 3.12 the pending exception is one object; earlier interpreters keep a
// (type, value, traceback) triple, possibly not yet normalised. These give
// them the newer calls.
inline PyObject* PyErr_GetRaisedException() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) noexcept {
    if (exc == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

#endif

namespace nrt::compat {

// Python's message for a local variable read before it was assigned.
#if PY_VERSION_HEX >= 0x030B0000
constexpr const char kUnboundLocalFormat[] = "cannot access local variable '%s' where it is not associated with a value";
#else
constexpr const char kUnboundLocalFormat[] = "local variable '%s' referenced before assignment";
#endif

// Raises NameError for the global `name` as Python's own global read does:
// from 3.10 on the error carries the name (its `name` attribute).
inline void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
#if PY_VERSION_HEX >= 0x030A0000
    PyObject* exc = PyErr_GetRaisedException();
    // Making the error can itself fail (MemoryError): then there is no name to set.
    if (exc != nullptr && PyErr_GivenExceptionMatches(exc, PyExc_NameError) &&
        PyObject_SetAttrString(exc, "name", name) < 0) {
        // The NameError itself is what matters: keep it, as Python does.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
#endif
}

// Adds the note `text` to the pending exception where exceptions have notes
// (3.11 on); a failure to add it leaves the exception as it was.
inline void add_note(const char* text) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    // Interned once: the interpreter's method cache keeps the names it is
    // asked for, and would keep a fresh copy per call.
    static PyObject* method = nullptr;
    PyObject* exc = PyErr_GetRaisedException();
    if (method == nullptr) method = PyUnicode_InternFromString("add_note");
    PyObject* note = method != nullptr ? PyUnicode_FromString(text) : nullptr;
    PyObject* result = note != nullptr ? PyObject_CallMethodOneArg(exc, method, note) : nullptr;
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
    Py_XDECREF(note);
    PyErr_SetRaisedException(exc);
#else
    (void)text;
#endif
}

}  // namespace nrt::compat
