#include "runtime/traceback.h"

#include <frameobject.h>

#include <cstring>

#include "runtime/compat/errors.h"
#include "runtime/context.h"

namespace nrt {

namespace {

struct CodeCacheEntry {
    int line;
    PyCodeObject* code;  // strong; its co_name is the entry's name
};

// Sorted by (line, name); grows in steps of 64 and is never freed. The name
// is part of the key: start-up failures and function bodies can fail at the
// same line, and each must keep its own name. A code object's first line is
// its entry's line, which is the line that every interpreter version reports
// for a frame made from it: the frame itself is never touched.
struct CodeCache {
    CodeCacheEntry* entries = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t capacity = 0;
};
CodeCache cache;
constexpr Py_ssize_t kCacheStep = 64;

// <0, 0, >0 as (line, name) orders before, equal to or after the entry.
int compare(const CodeCacheEntry& entry, int line, const char* name) noexcept {
    if (entry.line != line) return line < entry.line ? -1 : 1;
    const char* entry_name = PyUnicode_AsUTF8(entry.code->co_name);
    return entry_name ? std::strcmp(name, entry_name) : -1;
}

// Position of the first entry not ordered before the key; *hit tells whether
// that entry is the key itself.
Py_ssize_t find(int line, const char* name, bool* hit) noexcept {
    *hit = false;
    // New failures usually come at higher lines: one comparison settles it.
    if (cache.count == 0 || cache.entries[cache.count - 1].line < line) return cache.count;
    Py_ssize_t lo = 0, hi = cache.count;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        int c = compare(cache.entries[mid], line, name);
        if (c == 0) {
            *hit = true;
            return mid;
        }
        if (c > 0) lo = mid + 1; else hi = mid;
    }
    return lo;
}

void insert(int line, const char* name, PyCodeObject* code) noexcept {
    if (cache.entries == nullptr) {
        auto* entries = static_cast<CodeCacheEntry*>(PyMem_Malloc(kCacheStep * sizeof(CodeCacheEntry)));
        if (entries == nullptr) return;  // nothing cached; the entry is still added
        Py_INCREF(code);
        entries[0] = {line, code};
        cache = {entries, 1, kCacheStep};
        return;
    }
    bool hit;
    Py_ssize_t pos = find(line, name, &hit);
    if (hit) {
        Py_INCREF(code);
        Py_SETREF(cache.entries[pos].code, code);
        return;
    }
    if (cache.count == cache.capacity) {
        Py_ssize_t grown = cache.capacity + kCacheStep;
        auto* entries = static_cast<CodeCacheEntry*>(
            PyMem_Realloc(cache.entries, grown * sizeof(CodeCacheEntry)));
        if (entries == nullptr) return;
        cache.entries = entries;
        cache.capacity = grown;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 (cache.count - pos) * sizeof(CodeCacheEntry));
    Py_INCREF(code);
    cache.entries[pos] = {line, code};
    cache.count++;
}

PyCodeObject* code_for(const char* name, int line, const char* file_name) noexcept {
    if (line != 0 && cache.entries != nullptr) {
        bool hit;
        Py_ssize_t pos = find(line, name, &hit);
        if (hit) {
            PyCodeObject* code = cache.entries[pos].code;
            Py_INCREF(code);
            return code;
        }
    }
    // Creating the code object must not see (or clobber) the failure being reported.
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(file_name, name, line);
    if (code == nullptr) {
        Py_XDECREF(pending);
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    if (line != 0) insert(line, name, code);
    return code;
}

}  // namespace

void add_traceback(const char* name, int line, const char* file_name) noexcept {
    PyCodeObject* code = code_for(name, line, file_name);
    if (code == nullptr) return;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, context.module_dict, nullptr);
    // Making the frame can fail and leave no exception behind it (it can also
    // replace the failure with MemoryError); an entry needs one to attach to.
    if (frame != nullptr && PyErr_Occurred()) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_DECREF(code);
}

Py_ssize_t code_cache_count() noexcept { return cache.count; }

int code_cache_line(Py_ssize_t index) noexcept { return cache.entries[index].line; }

}  // namespace nrt
