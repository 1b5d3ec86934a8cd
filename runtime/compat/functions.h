// Attributes of function objects that later versions added, which the tools
// that inspect functions read.
//
// - From 3.12 inspect.iscoroutinefunction() also accepts any callable whose
//   `_is_coroutine_marker` is the mark that inspect.markcoroutinefunction()
//   sets, and from 3.14 asyncio's own test of its `_is_coroutine` marker is
//   deprecated: a coroutine function shows the mark from 3.12 on. Like a
//   Python function's, the mark can be assigned and deleted.
// - From 3.14 a Python function's annotations come from its `__annotate__`
//   (a callable taking a format), which functools.wraps copies instead of
//   `__annotations__` and annotationlib calls: a function has one from 3.14.
//
// Each macro gives the getset entries for its version, from the accessors
// that the function type defines for all versions.
#pragma once

#include "runtime/compat/supported.h"

#if PY_VERSION_HEX >= 0x030C0000
#define NRT_COROUTINE_MARK_GETSET(get, set) {"_is_coroutine_marker", get, set, nullptr, nullptr},
#else
#define NRT_COROUTINE_MARK_GETSET(get, set)
#endif

#if PY_VERSION_HEX >= 0x030E0000
#define NRT_ANNOTATE_GETSET(get, set) {"__annotate__", get, set, nullptr, nullptr},
#else
#define NRT_ANNOTATE_GETSET(get, set)
#endif
