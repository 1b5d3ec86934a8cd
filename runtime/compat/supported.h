// The CPython versions this runtime has been checked against.
//
// Everything that differs between interpreter versions lives in this folder,
// one header per concern, each one ladder of version tests: the rest of the
// code is written once, against the newest interface, and never tests a
// version itself. A newer interpreter may change any of the facts these
// headers rely on (object layouts, thread-state counters, deprecations), so
// it stops the build until someone has read its headers and moved the limit.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
#error "geometry.trigonometry needs CPython 3.9 or later."
#elif PY_VERSION_HEX >= 0x03100000
#error "This runtime has been checked against CPython 3.9 to 3.15 only: check each header in runtime/compat/ against the new interpreter's headers, then raise the limit in runtime/compat/supported.h and tools/find-python."
// Stop here: the compiler would go on through code that was never checked
// against that interpreter, and its errors would bury the message above.
#include <unsupported-cpython-version-see-the-error-above>
#endif
