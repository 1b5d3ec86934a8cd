// Type flags and member types under their newest names.
#pragma once

#include "runtime/compat/supported.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

// The immutable-type and no-instantiation flags arrived in 3.10; 3.9 ignores
// the bits, so a type may ask for them on every version.
#ifndef Py_TPFLAGS_IMMUTABLETYPE
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)
#endif
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#endif

namespace nrt::compat {

// What the no-instantiation flag does from 3.10, for a type just made from a
// spec that asks for it. 3.9 ignores the flag and lets the type inherit
// object.__new__, which would hand out zero-filled instances that crash on
// first use; without a tp_new, object.__new__ refuses the type.
inline void finish_disallowing_instantiation([[maybe_unused]] PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030A0000
    if (PyType_HasFeature(type, Py_TPFLAGS_DISALLOW_INSTANTIATION)) type->tp_new = nullptr;
#endif
}

}  // namespace nrt::compat

// Member types: 3.12 gave them their public names and deprecated the old
// header.
#ifndef Py_T_PYSSIZET
#define Py_T_PYSSIZET T_PYSSIZET
#endif
#ifndef Py_READONLY
#define Py_READONLY READONLY
#endif
