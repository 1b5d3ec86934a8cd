// The module from the test binary's own objects, made as an import makes it.
// A process can start it once, so the suites that need it share it.
#pragma once

#include <Python.h>

extern "C" PyObject* PyInit_trigonometry(void);

// Borrowed; null (with the error printed) when start-up failed.
inline PyObject* trig_module() {
    static PyObject* module = [] {
        PyObject* def = PyInit_trigonometry();
        PyObject* machinery = PyImport_ImportModule("importlib.machinery");
        PyObject* spec = machinery == nullptr ? nullptr
                                              : PyObject_CallMethod(machinery, "ModuleSpec", "sO",
                                                                    "geometry.trigonometry", Py_None);
        Py_XDECREF(machinery);
        PyObject* m = spec == nullptr ? nullptr : PyModule_FromDefAndSpec(reinterpret_cast<PyModuleDef*>(def), spec);
        Py_XDECREF(spec);
        if (m != nullptr && PyModule_ExecDef(m, reinterpret_cast<PyModuleDef*>(def)) < 0) Py_CLEAR(m);
        if (m == nullptr) PyErr_Print();
        return m;
    }();
    return module;
}
