// Learning that a dict has changed, for the caches of global and attribute
// reads.
//
// Up to 3.11 every dict carries a version tag that changes on each of its
// modifications. From 3.12 the tag is deprecated (it is gone in 3.14) and
// dict watchers replace it: a callback that the interpreter runs before each
// change of a watched dict, and when it is freed. The runtime registers one
// watcher, and its callback moves one counter for all watched dicts, so a
// change of any of them invalidates every cache. Module dicts change rarely.
//
// The interface is the newer one: watch a dict first, then compare versions.
// An interpreter has only eight watchers; when none is left, watching fails
// and the caches stay empty (every read looks the dict up).
#pragma once

#include "runtime/compat/supported.h"

#include <cstdint>

namespace nrt::compat {

#if PY_VERSION_HEX >= 0x030C0000

// Moved by the watcher; starts at 1, so a cache that holds 0 never matches.
extern std::uint64_t dict_changes;

// Whether changes of `dict` will move its version from now on. Never raises.
bool watch_dict(PyObject* dict) noexcept;

// A number that differs from any earlier reading once the dict (if watched)
// has changed or been freed since. Never 0.
inline std::uint64_t dict_version(PyObject*) noexcept { return dict_changes; }

#else

inline bool watch_dict(PyObject*) noexcept { return true; }

inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

#endif

}  // namespace nrt::compat
