// Reading module globals by name, with a cache per read site.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat/dicts.h"
#include "runtime/config.h"
#include "runtime/context.h"

namespace nrt {

using compat::change_stamp;

// One per place in a function body that reads a global. A stamp is never 0,
// so the first read always goes to the dict; a site remembers only what it
// found in a watched dict, never a miss.
struct SiteCache {
    std::uint64_t stamp = 0;
    compat::Held value;
};

// A site cache of its own for every expansion of this macro.
#define NRT_SITE() \
    ([]() noexcept -> ::nrt::SiteCache& { static ::nrt::SiteCache site_cache; return site_cache; }())

PyObject* load_global_uncached(PyObject* name, SiteCache& site) noexcept;

// New reference to the global `name` (an interned, pre-hashed str): the module
// dict first, then the builtins; NameError when neither has it.
inline PyObject* load_global(PyObject* name, SiteCache& site) noexcept {
    if (change_stamp(context.module_dict) == site.stamp && site.value.object != nullptr) {
        Py_INCREF(site.value.object);
        return site.value.object;
    }
    return load_global_uncached(name, site);
}

// One per place in a function body that reads an attribute of an object.
struct AttributeCache {
    PyObject* dict = nullptr;  // the module dict the value came from, only compared
    std::uint64_t stamp = 0;   // its stamp then
    compat::Held value;
};

#define NRT_ATTRIBUTE_SITE() \
    ([]() noexcept -> ::nrt::AttributeCache& { static ::nrt::AttributeCache site_cache; return site_cache; }())

PyObject* get_attribute_uncached(PyObject* owner, PyObject* name, AttributeCache& site) noexcept;

// New reference to `owner.name` (an interned, pre-hashed str), or null with
// an exception set. For a plain module whose dict holds the name, reading it
// runs no code, so the value is remembered until that dict changes; anything
// else goes through the owner's attribute access every time.
inline PyObject* get_attribute(PyObject* owner, PyObject* name, AttributeCache& site) noexcept {
    if (kMachineValues && Py_TYPE(owner) == &PyModule_Type) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(owner) + PyModule_Type.tp_dictoffset);
        if (dict != nullptr && dict == site.dict && change_stamp(dict) == site.stamp) {
            Py_INCREF(site.value.object);
            return site.value.object;
        }
    }
    return get_attribute_uncached(owner, name, site);
}

// Borrowed values of `count` interned names in `dict`, found by identity of
// the key (null where the name is not a key), without comparing any keys:
// false when some key is not an exact str, since a look-up that meets such a
// key may run its __eq__. Never raises.
bool find_names(PyObject* dict, PyObject* const* names, int count, PyObject** values) noexcept;

// New reference to the builtin `name`, or null; null without an exception set
// means the builtins lack it.
PyObject* load_builtin(PyObject* name) noexcept;

// Whether the pending exception type `type` matches the class `cls`.
bool exception_matches(PyObject* type, PyObject* cls) noexcept;

}  // namespace nrt
