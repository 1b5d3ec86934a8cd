#include "runtime/compat/dicts.h"

#if PY_VERSION_HEX >= 0x030C0000

namespace nrt::compat {

std::uint64_t dict_changes = 1;

namespace {

constexpr int kNoWatcher = -1;
constexpr int kWatcherUnavailable = -2;
int watcher = kNoWatcher;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++dict_changes;
    return 0;
}

}  // namespace

bool watch_dict(PyObject* dict) noexcept {
    if (watcher == kWatcherUnavailable) return false;
    if (watcher == kNoWatcher) {
        watcher = PyDict_AddWatcher(on_change);
        if (watcher < 0) {
            // All taken: the reads stay uncached rather than failing.
            PyErr_Clear();
            watcher = kWatcherUnavailable;
            return false;
        }
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace nrt::compat

#endif
