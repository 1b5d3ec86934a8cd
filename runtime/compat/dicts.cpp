#include "runtime/compat/dicts.h"

#if PY_VERSION_HEX >= 0x030E0000

namespace nrt::compat {

std::uint64_t dict_changes = 1;

namespace {

// A change announced to the watcher that the dict may not show yet. The
// record holds its objects, so that none of them can be freed and another
// take its address while the change is awaited.
struct Pending {
    PyDict_WatchEvent event;
    PyObject* dict;
    PyObject* key;    // a clone's source; null for a clear
    PyObject* value;  // the new value; null for a deletion, a clear or a clone
};

// Changes announced inside other changes' callbacks nest only as deep as
// callbacks that change watched dicts nest; past this, caching stops.
constexpr int kMostPending = 8;
Pending pending[kMostPending];
int pending_count = 0;

enum class Shown { Yes, No, Unknown };

// Whether the dict shows the change, found without running any code: every
// key compared must be an exact str.
Shown shows(const Pending& p) noexcept {
    Py_ssize_t size = PyDict_GET_SIZE(p.dict);
    if (p.event == PyDict_EVENT_CLEARED) return size == 0 ? Shown::Yes : Shown::No;
    if (p.event == PyDict_EVENT_CLONED) return size == PyDict_GET_SIZE(p.key) ? Shown::Yes : Shown::No;
    if (!PyUnicode_CheckExact(p.key)) return Shown::Unknown;
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

// Releases records taken out of the list; last, since that may run code
// that changes watched dicts again.
void release(Pending* done, int count) noexcept {
    for (int k = 0; k < count; k++) {
        Py_DECREF(done[k].dict);
        Py_XDECREF(done[k].key);
        Py_XDECREF(done[k].value);
    }
}

// Drops the records whose change has happened; false when one can never be
// confirmed, which stops caching.
bool settle() noexcept {
    Pending done[kMostPending];
    int count = 0;
    bool known = true;
    for (int k = pending_count - 1; k >= 0; k--) {
        Shown s = shows(pending[k]);
        if (s == Shown::Unknown) known = false;
        if (s == Shown::Yes) {
            done[count++] = pending[k];
            pending[k] = pending[--pending_count];
        }
    }
    release(done, count);
    return known;
}

int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) noexcept {
    ++dict_changes;
    // A dict with a record is held by it, so a freed dict has none.
    if (dict_watcher < 0 || event == PyDict_EVENT_DEALLOCATED) return 0;
    // Changes already made are dropped first, so that a later change of the
    // same key cannot leave an earlier record waiting for a value it will
    // never see again.
    if (!settle() || pending_count == kMostPending) {
        stop_caching();
        return 0;
    }
    Py_INCREF(dict);
    Py_XINCREF(key);
    Py_XINCREF(value);
    pending[pending_count++] = {event, dict, key, value};
    return 0;
}

}  // namespace

int dict_watcher = kNoWatcher;

void stop_caching() noexcept {
    // The watcher stays registered: its id may belong to other code by now.
    ++dict_changes;
    dict_watcher = kStopped;
    Pending done[kMostPending];
    int count = pending_count;
    for (int k = 0; k < count; k++) done[k] = pending[k];
    pending_count = 0;
    release(done, count);
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
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        // Removed by other code: nothing learns of changes any more.
        PyErr_Clear();
        stop_caching();
        return false;
    }
    if (pending_count > 0 && !settle()) {
        stop_caching();
        return false;
    }
    return pending_count == 0;
}

}  // namespace nrt::compat

#endif
