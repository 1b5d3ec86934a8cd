// _runtime_probe: a second module of the function-object family, built from
// the shared runtime alone and used only by the tests.
//
// Its start-up fetches the shared types the way geometry.trigonometry does,
// so whichever of the two is imported first registers them and the other
// reuses them. It also makes function objects for call conventions that the
// trigonometry functions never use; each native function answers with what
// it was handed, so tests can check the self rule and argument passing.
#include <Python.h>

#include <cstring>

#include "runtime/context.h"
#include "runtime/function.h"
#include "runtime/ref.h"

namespace {

using nrt::Ref;

PyTypeObject* metatype = nullptr;

// A dict of the keyword arguments of a vector call (keywords follow the
// positional values in `args`).
PyObject* keyword_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* positional_tuple(PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* tuple = PyTuple_New(nargs);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; i++) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    return tuple;
}

PyObject* probe_noargs(PyObject* self, PyObject* arg) noexcept {
    return Py_BuildValue("(sOO)", "noargs", self, arg == nullptr ? Py_None : arg);
}

PyObject* probe_o(PyObject* self, PyObject* arg) noexcept { return Py_BuildValue("(sOO)", "o", self, arg); }

PyObject* probe_varargs_keywords(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return Py_BuildValue("(sOOO)", "varargs_keywords", self, args, kwargs == nullptr ? Py_None : kwargs);
}

PyObject* probe_fastcall_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    Ref positional(positional_tuple(args, nargs));
    if (!positional) return nullptr;
    Ref keywords(keyword_dict(args, nargs, kwnames));
    if (!keywords) return nullptr;
    return Py_BuildValue("(sOOO)", "fastcall_keywords", self, positional.get(), keywords.get());
}

PyObject* probe_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional(positional_tuple(args, nargs));
    if (!positional) return nullptr;
    Ref keywords(keyword_dict(args, nargs, kwnames));
    if (!keywords) return nullptr;
    PyObject* defining = cls == nullptr ? Py_None : reinterpret_cast<PyObject*>(cls);
    return Py_BuildValue("(sOOOO)", "method", self, defining, positional.get(), keywords.get());
}

template <typename F>
PyCFunction as_meth(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// One record per convention; the last two carry flags no entry accepts.
PyMethodDef probe_defs[] = {
    {"noargs", as_meth(probe_noargs), METH_NOARGS, "Takes no arguments."},
    {"o", as_meth(probe_o), METH_O, "Takes exactly one argument."},
    {"varargs_keywords", as_meth(probe_varargs_keywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fastcall_keywords", as_meth(probe_fastcall_keywords), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"method", as_meth(probe_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"varargs", as_meth(probe_varargs_keywords), METH_VARARGS, nullptr},
    {"fastcall", as_meth(probe_fastcall_keywords), METH_FASTCALL, nullptr},
};

// make(kind, flags=0, defining_class=None): a new function object of the
// shared type for the convention named `kind`, with the given flag bits
// and defining class.
PyObject* make(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"kind", "flags", "defining_class", nullptr};
    const char* kind = nullptr;
    int flags = 0;
    PyObject* defining = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|iO:make", const_cast<char**>(keywords), &kind, &flags,
                                     &defining)) {
        return nullptr;
    }
    if (defining != Py_None && !PyType_Check(defining)) {
        PyErr_SetString(PyExc_TypeError, "defining_class must be a type or None");
        return nullptr;
    }
    for (PyMethodDef& def : probe_defs) {
        if (std::strcmp(def.ml_name, kind) != 0) continue;
        Ref qualname(PyUnicode_FromFormat("probe.%s", kind));
        if (!qualname) return nullptr;
        Ref name(PyModule_GetNameObject(module));
        if (!name) return nullptr;
        Ref function(nrt::new_function(&def, qualname.get(), name.get(), PyModule_GetDict(module), nullptr));
        if (!function) return nullptr;
        auto* native = reinterpret_cast<nrt::NativeFunction*>(function.get());
        native->flags = flags;
        if (defining != Py_None) {
            Py_INCREF(defining);
            native->defining_class = reinterpret_cast<PyTypeObject*>(defining);
        }
        return function.release();
    }
    PyErr_Format(PyExc_ValueError, "no convention named %s", kind);
    return nullptr;
}

PyMethodDef module_methods[] = {
    {"make", as_meth(make), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_runtime_probe", nullptr, -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

template <typename T>
void keep(T*& slot, PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    Py_XSETREF(slot, reinterpret_cast<T*>(borrowed));
}

PyObject* init() noexcept {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    keep(nrt::context.module_dict, dict);
    keep(nrt::context.builtins, PyImport_AddModule("builtins"));
    if (nrt::context.builtins == nullptr) return nullptr;
    PyObject* empty = PyTuple_New(0);
    if (empty == nullptr) return nullptr;
    Py_XSETREF(nrt::context.empty_tuple, empty);
    PyObject* coroutines = PyUnicode_InternFromString("asyncio.coroutines");
    if (coroutines == nullptr) return nullptr;
    Py_XSETREF(nrt::coroutine_names.module, coroutines);
    PyObject* marker = PyUnicode_InternFromString("_is_coroutine");
    if (marker == nullptr) return nullptr;
    Py_XSETREF(nrt::coroutine_names.marker, marker);
    nrt::context.file_name = "runtime_probe";
    if (nrt::fetch_shared_types(&metatype, &nrt::context.function_type) < 0) return nullptr;

    // The module's one function of its own, as the trigonometry functions are made.
    Ref echo_args(Py_BuildValue("(s)", "fastcall_keywords"));
    if (!echo_args) return nullptr;
    Ref echo(make(module.get(), echo_args.get(), nullptr));
    if (!echo || PyDict_SetItemString(dict, "echo", echo.get()) < 0) return nullptr;
    if (PyDict_SetItemString(dict, "function_type", reinterpret_cast<PyObject*>(nrt::context.function_type)) < 0 ||
        PyDict_SetItemString(dict, "metatype", reinterpret_cast<PyObject*>(metatype)) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__runtime_probe(void) { return init(); }
