// The function object type shared by the modules built on this runtime.
#pragma once

#include <Python.h>

#include <cstddef>

namespace nrt {

// Flag bits of NativeFunction::flags.
enum : int {
    kFunctionStatic = 1,      // no self is passed
    kFunctionOfClass = 4,     // method of an extension class: self is the first argument
    kFunctionCoroutine = 8,
};

// The first fields mirror the interpreter's built-in method record (with a
// defining class), so code that reads the method record and bound self of a
// built-in function reads ours the same way.
struct NativeFunction {
    PyObject_HEAD
    PyMethodDef* method;         // static, not owned
    PyObject* self;              // the object itself: not a counted reference
    PyObject* module;            // __module__
    PyObject* weakreflist;
    vectorcallfunc vectorcall;
    PyTypeObject* defining_class;
    PyObject* dict;
    PyObject* name;              // filled on first read of __name__
    PyObject* qualname;
    PyObject* doc;               // filled on first read of __doc__
    PyObject* globals;
    PyObject* code;
    PyObject* closure;
    int flags;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;      // cached _is_coroutine marker
    PyObject* annotate;          // __annotate__, or null for None
};

static_assert(offsetof(NativeFunction, method) == offsetof(PyCFunctionObject, m_ml), "layout");
static_assert(offsetof(NativeFunction, self) == offsetof(PyCFunctionObject, m_self), "layout");
static_assert(offsetof(NativeFunction, module) == offsetof(PyCFunctionObject, m_module), "layout");
static_assert(offsetof(NativeFunction, vectorcall) == offsetof(PyCFunctionObject, vectorcall), "layout");
static_assert(offsetof(NativeFunction, defining_class) == offsetof(PyCMethodObject, mm_class), "layout");

// Names used by the _is_coroutine marker; set by the hosting module (strong).
struct CoroutineNames {
    PyObject* module = nullptr;  // "asyncio.coroutines"
    PyObject* marker = nullptr;  // "_is_coroutine"
};
extern CoroutineNames coroutine_names;

// Fetches (or registers) the metatype and the function type in the shared
// module and stores new references to them in the two slots, replacing what
// they held. Returns 0, or -1 with an exception set.
int fetch_shared_types(PyTypeObject** metatype, PyTypeObject** function_type) noexcept;

// The shared-type fetch: the type registered under the spec's short name in
// the shared module, or a new one made from `spec` (with `bases` and, when
// given, `metatype` as its type). New reference, or null.
PyTypeObject* fetch_shared_type(PyTypeObject* metatype, PyType_Spec* spec, PyObject* bases) noexcept;

// A new, tracked function object of the context's function type.
PyObject* new_function(PyMethodDef* method, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code) noexcept;

// Gives a new function the annotations it is made with (a dict, read now):
// __annotations__ is made from them on first read, and __annotate__ keeps
// giving them, as a Python function's does, whatever becomes of that dict.
// Returns 0, or -1 with an exception set.
int give_annotations(PyObject* function, PyObject* annotations) noexcept;

}  // namespace nrt
