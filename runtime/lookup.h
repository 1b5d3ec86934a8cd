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

// New reference to the builtin `name`, or null; null without an exception set
// means the builtins lack it.
PyObject* load_builtin(PyObject* name) noexcept;

// Whether the pending exception type `type` matches the class `cls`.
bool exception_matches(PyObject* type, PyObject* cls) noexcept;

}  // namespace nrt
