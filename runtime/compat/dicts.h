// Learning that a dict has changed, for the caches of global and attribute
// reads.
//
// Every dict carries a version tag that the interpreter moves on each of its
// modifications, after the change is made, to a value no dict has had
// before. A cache that remembers a dict's tag beside what it read is
// therefore right while the tag is unchanged, whatever code ran in between.
// From 3.12 the tag is deprecated (it is gone in 3.14) in favour of dict
// watchers, but a watcher cannot stand in for it here: watchers run before
// the change, so a read made from a later watcher's callback would be
// remembered as new; and any code can remove a watcher, after which its
// caches would never learn of a change again. Up to 3.13 the tag is still
// kept, and it is what the caches compare.
//
// The interface: watch a dict first (here it cannot fail), then compare
// versions.
#pragma once

#include "runtime/compat/supported.h"

#include <cstdint>

namespace nrt::compat {

inline bool watch_dict(PyObject*) noexcept { return true; }

// A number that differs from any earlier reading once the dict has changed,
// and from the reading of a freed dict at the same address. Never 0.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

}  // namespace nrt::compat
