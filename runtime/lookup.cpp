#include "runtime/lookup.h"

#include "runtime/compat/errors.h"
#include "runtime/config.h"
#include "runtime/context.h"

namespace nrt {

namespace {

inline Py_hash_t stored_hash(PyObject* name) noexcept {
    return reinterpret_cast<PyASCIIObject*>(name)->hash;
}

[[gnu::cold, gnu::noinline]] void raise_name_error(PyObject* name) noexcept { compat::raise_name_error(name); }

// Walks tp_base for types that have no MRO yet; the root object type counts.
bool in_bases(PyTypeObject* type, PyTypeObject* base) noexcept {
    for (; type != nullptr; type = type->tp_base) {
        if (type == base) return true;
    }
    return base == &PyBaseObject_Type;
}

}  // namespace

PyObject* load_builtin(PyObject* name) noexcept {
    PyObject* builtins = context.builtins;
    getattrofunc getattro = Py_TYPE(builtins)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr) {
        // Suppressed: a missing name yields null without raising.
        return _PyObject_GenericGetAttrWithDict(builtins, name, nullptr, 1);
    }
    PyObject* result = getattro ? getattro(builtins, name) : PyObject_GetAttr(builtins, name);
    if (result == nullptr) {
        PyObject* pending = PyErr_Occurred();
        if (pending != nullptr && exception_matches(pending, PyExc_AttributeError)) PyErr_Clear();
    }
    return result;
}

PyObject* load_global_uncached(PyObject* name, SiteCache& site) noexcept {
    PyObject* dict = context.module_dict;
    // Watched and stamped before the look-up: a key's __eq__ may change the
    // dict while it runs, and then what it found must not be remembered.
    bool cacheable = compat::watch_dict(dict);
    std::uint64_t stamp = change_stamp(dict);
    PyObject* found = _PyDict_GetItem_KnownHash(dict, name, stored_hash(name));
    if (found == nullptr) {
        // A failing key comparison is the read's failure, as in Python; only
        // a plain miss goes on to the builtins.
        if (PyErr_Occurred()) return nullptr;
        PyObject* result = load_builtin(name);
        if (result == nullptr && !PyErr_Occurred()) raise_name_error(name);
        return result;
    }
    // Ours before the site lets go of what it held.
    Py_INCREF(found);
    if (cacheable && change_stamp(dict) == stamp) {
        site.stamp = stamp;
        Py_XDECREF(compat::remember(site.value, found));
    }
    return found;
}

PyObject* get_attribute_uncached(PyObject* owner, PyObject* name, AttributeCache& site) noexcept {
    // The module type is static: no attribute of its own can appear and take
    // precedence over the module's dict under this name. The caller holds
    // the owner, and so its dict, while watching may run code.
    if (kMachineValues && Py_TYPE(owner) == &PyModule_Type && _PyType_Lookup(&PyModule_Type, name) == nullptr) {
        PyObject* dict = PyModule_GetDict(owner);
        bool cacheable = compat::watch_dict(dict);
        std::uint64_t stamp = change_stamp(dict);
        // Code run by watching may have given the owner another class.
        PyObject* value = Py_TYPE(owner) == &PyModule_Type
                              ? _PyDict_GetItem_KnownHash(dict, name, stored_hash(name))
                              : nullptr;
        if (value != nullptr) {
            Py_INCREF(value);
            if (cacheable && change_stamp(dict) == stamp) {
                site.dict = dict;
                site.stamp = stamp;
                Py_XDECREF(compat::remember(site.value, value));
            }
            return value;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(owner, name);
}

bool find_names(PyObject* dict, PyObject* const* names, int count, PyObject** values) noexcept {
    for (int k = 0; k < count; k++) values[k] = nullptr;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        for (int k = 0; k < count; k++) {
            if (key == names[k]) values[k] = value;
        }
    }
    return true;
}

bool exception_matches(PyObject* type, PyObject* cls) noexcept {
    if (type == cls) return true;
    if (PyExceptionClass_Check(type) && PyExceptionClass_Check(cls)) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
        PyObject* mro = t->tp_mro;
        if (mro != nullptr) {
            Py_ssize_t n = PyTuple_GET_SIZE(mro);
            for (Py_ssize_t i = 0; i < n; i++) {
                if (PyTuple_GET_ITEM(mro, i) == cls) return true;
            }
            return false;
        }
        return in_bases(t, reinterpret_cast<PyTypeObject*>(cls));
    }
    return PyErr_GivenExceptionMatches(type, cls) != 0;
}

}  // namespace nrt
