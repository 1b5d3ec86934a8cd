// Making a code object from its parts.
//
// 3.11 added the qualified name and the exception table to the constructor,
// and 3.12 renamed it (the old name is deprecated). Earlier versions get the
// newest form here, without the two parts they do not have.
#pragma once

#include "runtime/compat/supported.h"

#if PY_VERSION_HEX < 0x030C0000

inline PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags,
    PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames, PyObject* freevars,
    PyObject* cellvars, PyObject* filename, PyObject* name, [[maybe_unused]] PyObject* qualname,
    int firstlineno, PyObject* linetable, [[maybe_unused]] PyObject* exceptiontable) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code,
                                     consts, names, varnames, freevars, cellvars, filename, name, qualname,
                                     firstlineno, linetable, exceptiontable);
#else
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code,
                                     consts, names, varnames, freevars, cellvars, filename, name, firstlineno,
                                     linetable);
#endif
}

#endif
