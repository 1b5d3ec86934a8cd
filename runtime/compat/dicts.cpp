#include "runtime/compat/dicts.h"

#if PY_VERSION_HEX >= 0x030E0000

namespace nrt::compat {

std::uint64_t watched_dict_changes = 1;
int dict_watcher = kNoWatcher;

namespace {

// Every slot that holds an object, and any emptied since the last forget_all().
Held* held_slots = nullptr;

// A change announced to the watcher that the dict may not show yet. It holds
// nothing that could run code when let go:
// - the dict is borrowed: the watcher hears of its deallocation, which ends
//   its records;
// - the key, an exact str, is held (a str's deallocation runs no code);
// - the new value is only compared by address. Whoever makes the change
//   holds it until the change is made, so while the change is still to
//   happen no other object has that address; once the value is gone, so is
//   the change, and taking it for made is right.
struct Pending {
    PyDict_WatchEvent event;
    PyObject* dict;
    PyObject* key;          // added, modified or deleted
    PyObject* value;        // added or modified
    Py_ssize_t clone_size;  // cloned: the size of the source
};

// Changes announced inside other changes' callbacks nest only as deep as
// callbacks that change watched dicts nest; past this, caching stops.
constexpr int kMostPending = 8;
Pending pending[kMostPending];
int pending_count = 0;

// The dicts this runtime watches, borrowed (a deallocation takes one off).
// The caches read from a handful; past this many, reads are not cached.
constexpr int kMostWatched = 16;
PyObject* watched[kMostWatched];
int watched_count = 0;

enum class Shown { Yes, No, Unknown };

// Whether the dict shows the change, found without running any code: every
// key compared must be an exact str.
Shown shows(const Pending& p) noexcept {
    Py_ssize_t size = PyDict_GET_SIZE(p.dict);
    if (p.event == PyDict_EVENT_CLEARED) return size == 0 ? Shown::Yes : Shown::No;
    if (p.event == PyDict_EVENT_CLONED) return size == p.clone_size ? Shown::Yes : Shown::No;
    if (p.key == nullptr) return Shown::Unknown;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(p.dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return Shown::Unknown;
        if (key == p.key || PyUnicode_Compare(key, p.key) == 0) {
            return p.event != PyDict_EVENT_DELETED && value == p.value ? Shown::Yes : Shown::No;
        }
    }
    return p.event == PyDict_EVENT_DELETED ? Shown::Yes : Shown::No;
}

void end_record(int k) noexcept {
    Py_XDECREF(pending[k].key);
    pending[k] = pending[--pending_count];
}

// Ends the records whose change has happened; false when one can never be
// confirmed, which stops caching.
bool settle() noexcept {
    bool known = true;
    for (int k = pending_count - 1; k >= 0; k--) {
        Shown s = shows(pending[k]);
        if (s == Shown::Unknown) known = false;
        if (s == Shown::Yes) end_record(k);
    }
    return known;
}

bool has_record(PyObject* dict) noexcept {
    for (int k = 0; k < pending_count; k++) {
        if (pending[k].dict == dict) return true;
    }
    return false;
}

// Makes every cache let go of what it holds. Inside the watcher's callback
// every held object is still in the dict it was read from, so nothing is
// freed; elsewhere (stop_caching) the releases may run code, so each slot is
// emptied before its object is let go.
void forget_all() noexcept {
    Held* slot = held_slots;
    held_slots = nullptr;
    while (slot != nullptr) {
        Held* next = slot->next;
        PyObject* object = slot->object;
        slot->object = nullptr;
        slot->next = nullptr;
        slot->listed = false;
        slot = next;
        Py_XDECREF(object);
    }
}

// Unwatches the dicts that no cache reads: all of them right after
// forget_all(), but those awaiting a change, whose deallocation must still
// end their records. Only in the watcher's callback, where the watcher is
// known to be this runtime's and every listed dict alive.
void unwatch_idle() noexcept {
    int kept = 0;
    for (int k = 0; k < watched_count; k++) {
        PyObject* dict = watched[k];
        if (has_record(dict)) {
            watched[kept++] = dict;
        } else if (PyDict_Unwatch(dict_watcher, dict) < 0) {
            PyErr_Clear();
        }
    }
    watched_count = kept;
}

void dict_freed(PyObject* dict) noexcept {
    for (int k = pending_count - 1; k >= 0; k--) {
        if (pending[k].dict == dict) end_record(k);
    }
    for (int k = 0; k < watched_count; k++) {
        if (watched[k] == dict) {
            watched[k] = watched[--watched_count];
            break;
        }
    }
}

bool add_record(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) noexcept {
    if (pending_count == kMostPending) return false;
    Pending p = {event, dict, nullptr, nullptr, 0};
    if (event == PyDict_EVENT_CLONED) {
        p.clone_size = PyDict_GET_SIZE(key);  // the key is the source dict
    } else if (event != PyDict_EVENT_CLEARED) {
        // Any other key leaves the record unknown, which stops caching.
        if (PyUnicode_CheckExact(key)) p.key = Py_NewRef(key);
        if (event != PyDict_EVENT_DELETED) p.value = value;
    }
    pending[pending_count++] = p;
    return true;
}

int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) noexcept {
    ++watched_dict_changes;
    if (dict_watcher < 0) return 0;
    // This change is recorded before anything else, so that whatever runs
    // from here until it is made sees it pending.
    if (event == PyDict_EVENT_DEALLOCATED) {
        dict_freed(dict);
    } else if (!add_record(event, dict, key, value)) {
        stop_caching();
        return 0;
    }
    forget_all();
    if (!settle()) {
        stop_caching();
        return 0;
    }
    unwatch_idle();
    return 0;
}

}  // namespace

void list_held(Held& slot) noexcept {
    slot.next = held_slots;
    slot.listed = true;
    held_slots = &slot;
}

void stop_caching() noexcept {
    // The watcher stays registered, and its dicts watched: its id may belong
    // to other code by now. Its callback only moves the stamp from here on.
    ++watched_dict_changes;
    dict_watcher = kStopped;
    while (pending_count > 0) end_record(pending_count - 1);
    watched_count = 0;
    forget_all();
}

bool watch_dict(PyObject* dict) noexcept {
    if (dict_watcher == kStopped) return false;
    if (dict_watcher == kNoWatcher) {
        dict_watcher = PyDict_AddWatcher(on_change);
        if (dict_watcher < 0) {
            // All taken: the reads stay uncached rather than failing.
            PyErr_Clear();
            dict_watcher = kStopped;
            return false;
        }
    }
    bool listed = false;
    for (int k = 0; k < watched_count && !listed; k++) listed = watched[k] == dict;
    if (!listed && watched_count == kMostWatched) return false;
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        // Removed by other code: nothing learns of changes any more.
        PyErr_Clear();
        stop_caching();
        return false;
    }
    if (!listed) watched[watched_count++] = dict;
    if (pending_count > 0 && !settle()) {
        stop_caching();
        return false;
    }
    return pending_count == 0;
}

}  // namespace nrt::compat

#endif
