// Learning that a dict has changed, for the caches of global and attribute
// reads.
//
// Up to 3.13 every dict carries a version tag that the interpreter moves on
// each of its modifications, after the change is made, to a value no dict
// has had before. A cache that remembers a dict's tag beside what it read is
// therefore right while the tag is unchanged, whatever code ran in between,
// and may borrow what it read: the dict holds it while the tag stands.
// Watching or unwatching a dict (3.12 and 3.13) changes the tag's low bits,
// which costs a cache one harmless miss. The tag is deprecated from 3.12,
// but still exact there, so the caches keep comparing it.
//
// From 3.14 the tag is gone and dict watchers are all there is: a callback
// that the interpreter runs before each change of a watched dict. The
// runtime registers one. It moves one stamp shared by all watched dicts, and
// before the change, while the dict still holds every object that was read
// from it, it makes every cache forget what it holds: letting go there frees
// nothing, and nothing a cache held outlives the change that drops it from
// its dict. A cache holds its own reference meanwhile, so that a change it
// could miss (other code removing the watcher) can leave it stale but never
// reading a freed object. Dicts that no cache reads any more are unwatched.
//
// The callback runs before the change, and other watchers' callbacks run
// after it and may call into the module, which would read the old contents:
// an announced change is held as pending until the dict shows it, and
// nothing is cached meanwhile. Other code can also remove the runtime's
// watcher: each call from Python checks that it is still registered, and
// caching stops for good when it is not. (Other code that removes it and
// registers a watcher of its own in the same slot before the next call
// cannot be told apart from it; that is as much outside the interface as
// freeing the runtime's objects would be.)
//
// The interface: watch a dict first (false: do not cache what is read from
// it now) and take its change_stamp(), read, and remember() what was read
// only if the stamp has not moved; a cache is right while the stamp is
// unchanged. confirm_watching() at each call from Python.
#pragma once

#include "runtime/compat/supported.h"

#include <cstdint>

namespace nrt::compat {

#if PY_VERSION_HEX >= 0x030E0000

// Moved by the watcher; starts at 1, so a cache that holds 0 never matches.
extern std::uint64_t watched_dict_changes;
// The runtime's watcher: kNoWatcher before the first read, kStopped once
// caching has stopped.
constexpr int kNoWatcher = -1;
constexpr int kStopped = -2;
extern int dict_watcher;

// A reference that a cache holds to an object it read from a watched dict:
// listed so that the watcher can make every cache forget before a change.
struct Held {
    PyObject* object = nullptr;
    Held* next = nullptr;
    bool listed = false;
};

// Whether what is read from `dict` now may be cached: the dict is watched
// and no announced change of a watched dict is still to happen. Never
// raises. It runs code only when it finds the watcher removed by other
// code: the caches then let go of what they held, which may be the last
// references; a caller must hold its own references to what it uses.
bool watch_dict(PyObject* dict) noexcept;

// A stamp that differs from every earlier one once `dict` may have changed:
// here the count of changes of all watched dicts. Never 0.
inline std::uint64_t change_stamp(PyObject*) noexcept { return watched_dict_changes; }

// Stops caching for good; may run code (see watch_dict).
void stop_caching() noexcept;

// Checks that the runtime's watcher is still registered, with `dict`
// (a watched dict) as the witness; may run code (see watch_dict).
inline void confirm_watching(PyObject* dict) noexcept {
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        stop_caching();
    }
}

void list_held(Held& slot) noexcept;

// Makes `slot` hold `value` (or nothing) and returns what it held before,
// for the caller to release last, once it holds its own references to what
// it still uses: releasing may run code.
inline PyObject* remember(Held& slot, PyObject* value) noexcept {
    PyObject* old = slot.object;
    Py_XINCREF(value);
    slot.object = value;
    if (!slot.listed) list_held(slot);
    return old;
}

#else

// The version tag is exact, so a cache borrows what the dict holds.
struct Held {
    PyObject* object = nullptr;
};

inline bool watch_dict(PyObject*) noexcept { return true; }

// A stamp that differs from every earlier one once the dict has changed,
// and from the stamp of a freed dict at the same address: its version tag.
// Never 0.
inline std::uint64_t change_stamp(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

inline void confirm_watching(PyObject*) noexcept {}

inline PyObject* remember(Held& slot, PyObject* value) noexcept {
    slot.object = value;
    return nullptr;
}

#endif

}  // namespace nrt::compat
