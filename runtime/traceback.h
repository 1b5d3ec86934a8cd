// Traceback entries for failures inside native code.
#pragma once

#include <Python.h>

namespace nrt {

// Adds one traceback entry (function `name`, `line`, `file_name`) for the
// pending exception, which stays pending and unchanged. Code objects are
// cached per (line, name), so repeated failures at one place share one.
void add_traceback(const char* name, int line, const char* file_name) noexcept;

// Read-only view of the code-object cache, for tests.
struct CodeCacheInfo {
    Py_ssize_t count;
    Py_ssize_t capacity;
};
CodeCacheInfo code_cache_info() noexcept;
// Line of entry `index`; index must be < count.
int code_cache_line(Py_ssize_t index) noexcept;

}  // namespace nrt
