// Reading module globals by name, with a cache per read site.
#pragma once

#include <Python.h>

#include <cstdint>

namespace nrt {

// One per place in a function body that reads a global. The dictionary's
// version tag is never 0, so the first read always goes to the dictionary.
struct SiteCache {
    std::uint64_t version = 0;
    PyObject* value = nullptr;  // borrowed; null records a miss
};

// A site cache of its own for every expansion of this macro.
#define NRT_SITE() \
    ([]() noexcept -> ::nrt::SiteCache& { static ::nrt::SiteCache site_cache; return site_cache; }())

// New reference to the global `name` (an interned, pre-hashed str): the module
// dict first, then the builtins; NameError when neither has it.
PyObject* load_global(PyObject* name, SiteCache& site) noexcept;

// One per place in a function body that reads an attribute of an object.
struct AttributeCache {
    PyObject* dict = nullptr;   // borrowed: the module dict the value came from
    std::uint64_t version = 0;  // its version tag then
    PyObject* value = nullptr;  // borrowed
};

#define NRT_ATTRIBUTE_SITE() \
    ([]() noexcept -> ::nrt::AttributeCache& { static ::nrt::AttributeCache site_cache; return site_cache; }())

// New reference to `owner.name` (an interned, pre-hashed str), or null with
// an exception set. For a plain module whose dict holds the name, reading it
// runs no code, so the value is remembered until that dict changes; anything
// else goes through the owner's attribute access every time.
PyObject* get_attribute(PyObject* owner, PyObject* name, AttributeCache& site) noexcept;

// New reference to the builtin `name`, or null; null without an exception set
// means the builtins lack it.
PyObject* load_builtin(PyObject* name) noexcept;

// Whether the pending exception type `type` matches the class `cls`.
bool exception_matches(PyObject* type, PyObject* cls) noexcept;

}  // namespace nrt
