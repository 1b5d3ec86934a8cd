// Learning that a dict has changed, for the caches of global and attribute
// reads.
//
// Up to 3.13 every dict carries a version tag that the interpreter moves on
// each of its modifications, after the change is made, to a value no dict
// has had before. A cache that remembers a dict's tag beside what it read is
// therefore right while the tag is unchanged, whatever code ran in between.
// The tag is deprecated from 3.12, but there it is still exact and cannot be
// disturbed by other code, so the caches keep comparing it.
//
// From 3.14 the tag is gone and dict watchers are all there is: a callback
// that the interpreter runs before each change of a watched dict. The
// runtime registers one, which moves one counter for all watched dicts. A
// callback runs before the change, and other watchers' callbacks run after
// it and may call into the module, so an announced change is held as
// pending until the dict shows it, and nothing is cached meanwhile. Other
// code can also remove the runtime's watcher: each call from Python checks
// that it is still registered, and caching stops for good when it is not.
// Cached objects are held by the caches from 3.14, so that no miss of a
// change can leave them reading a freed object.
//
// The interface: watch a dict first (false: do not cache what is read from
// it now), then compare versions; confirm_watching() at each call from
// Python; cache_store() to keep a read object.
#pragma once

#include "runtime/compat/supported.h"

#include <cstdint>

namespace nrt::compat {

#if PY_VERSION_HEX >= 0x030E0000

// Moved by the watcher; starts at 1, so a cache that holds 0 never matches.
extern std::uint64_t dict_changes;
// The runtime's watcher: kNoWatcher before the first read, kStopped once
// caching has stopped.
constexpr int kNoWatcher = -1;
constexpr int kStopped = -2;
extern int dict_watcher;

// Whether what is read from `dict` now may be cached: the dict is watched
// and no announced change of a watched dict is still to happen. Never raises.
bool watch_dict(PyObject* dict) noexcept;

// A number that differs from any earlier reading once a watched dict has
// changed or been freed since. Never 0.
inline std::uint64_t dict_version(PyObject*) noexcept { return dict_changes; }

void stop_caching() noexcept;

// Checks that the runtime's watcher is still registered, with `dict`
// (a watched dict) as the witness.
inline void confirm_watching(PyObject* dict) noexcept {
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        stop_caching();
    }
}

inline void cache_store(PyObject*& slot, PyObject* value) noexcept {
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
}

#else

inline bool watch_dict(PyObject*) noexcept { return true; }

// A number that differs from any earlier reading once the dict has changed,
// and from the reading of a freed dict at the same address. Never 0.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

inline void confirm_watching(PyObject*) noexcept {}

// The version tag is exact, so a cache can borrow what the dict holds.
inline void cache_store(PyObject*& slot, PyObject* value) noexcept { slot = value; }

#endif

}  // namespace nrt::compat
