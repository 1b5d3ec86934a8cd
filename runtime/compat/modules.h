// Module definition slots that say what a module supports.
//
// 3.12 asks whether a module may be loaded into several interpreters and
// whether each may have its own GIL; 3.13 asks whether it needs the GIL. A
// module of this runtime keeps process-wide state and no lock of its own:
// sub-interpreters that share the GIL may load it (its start-up decides
// whether to accept them), isolated ones may not, and it needs the GIL.
// Earlier versions have no such slots.
#pragma once

#include "runtime/compat/supported.h"

#if PY_VERSION_HEX >= 0x030D0000
#define NRT_MODULE_SUPPORT_SLOTS                                                  \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},       \
    {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define NRT_MODULE_SUPPORT_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define NRT_MODULE_SUPPORT_SLOTS
#endif
