// Traceback entries for failures inside native code.
#pragma once

#include <Python.h>

namespace nrt {

// Adds one traceback entry (function `name`, `line`, `file_name`) for the
// pending exception, which stays pending and unchanged. Code objects are
// cached per (line, name), so repeated failures at one place share one.
void add_traceback(const char* name, int line, const char* file_name) noexcept;

// Read-only view of the code-object cache, for tests: its number of entries,
// and the line of entry `index` (index < the number of entries).
Py_ssize_t code_cache_count() noexcept;
int code_cache_line(Py_ssize_t index) noexcept;

}  // namespace nrt
