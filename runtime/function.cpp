#include "runtime/function.h"

#include <cstring>

#include "runtime/compat/functions.h"
#include "runtime/compat/types.h"
#include "runtime/context.h"
#include "runtime/map.h"

namespace nrt {

CoroutineNames coroutine_names;

namespace {

constexpr const char kSharedModule[] = NRT_SHARED_MODULE;
constexpr int kCallFlagsMask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

inline NativeFunction* as_function(PyObject* op) noexcept { return reinterpret_cast<NativeFunction*>(op); }

inline PyObject* new_ref_or_none(PyObject* o) noexcept {
    if (o == nullptr) o = Py_None;
    Py_INCREF(o);
    return o;
}

// ---- calling ------------------------------------------------------------

[[gnu::cold, gnu::noinline]] PyObject* raise_call_error(NativeFunction* f, const char* what) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", f->method->ml_name, what);
    return nullptr;
}

[[gnu::cold, gnu::noinline]] PyObject* raise_count_error(NativeFunction* f, const char* what,
                                                        Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", f->method->ml_name, what, given);
    return nullptr;
}

// For methods of an extension class the first argument is the self.
inline bool take_self(NativeFunction* f, PyObject* const** args, Py_ssize_t* nargs, PyObject** self) noexcept {
    if ((f->flags & kFunctionOfClass) && !(f->flags & kFunctionStatic)) {
        if (*nargs == 0) {
            raise_call_error(f, "needs an argument");
            return false;
        }
        *self = (*args)[0];
        ++*args;
        --*nargs;
    } else {
        *self = f->self;
    }
    return true;
}

inline bool has_keywords(PyObject* kwnames) noexcept {
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

PyObject* vectorcall_fastcall_keywords(PyObject* op, PyObject* const* args, std::size_t nargsf,
                                       PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(op);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_self(f, &args, &nargs, &self)) return nullptr;
    auto meth = reinterpret_cast<_PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(f->method->ml_meth));
    return meth(self, args, nargs, kwnames);
}

PyObject* vectorcall_method(PyObject* op, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(op);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_self(f, &args, &nargs, &self)) return nullptr;
    auto meth = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)(void)>(f->method->ml_meth));
    return meth(self, f->defining_class, args, nargs, kwnames);
}

PyObject* vectorcall_noargs(PyObject* op, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(op);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_self(f, &args, &nargs, &self)) return nullptr;
    if (has_keywords(kwnames)) return raise_call_error(f, "takes no keyword arguments");
    if (nargs != 0) return raise_count_error(f, "takes no arguments", nargs);
    return f->method->ml_meth(self, nullptr);
}

PyObject* vectorcall_o(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(op);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_self(f, &args, &nargs, &self)) return nullptr;
    if (has_keywords(kwnames)) return raise_call_error(f, "takes no keyword arguments");
    if (nargs != 1) return raise_count_error(f, "takes exactly one argument", nargs);
    return f->method->ml_meth(self, args[0]);
}

// A call with a keyword dict: flatten into the vector-call form.
PyObject* call_vector_with_dict(NativeFunction* f, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    auto** stack = static_cast<PyObject**>(PyMem_Malloc((nargs + nkw) * sizeof(PyObject*)));
    if (stack == nullptr) return PyErr_NoMemory();
    PyObject* kwnames = PyTuple_New(nkw);
    if (kwnames == nullptr) {
        PyMem_Free(stack);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        stack[i] = PyTuple_GET_ITEM(args, i);
        Py_INCREF(stack[i]);
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    bool all_strings = true;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        all_strings = all_strings && PyUnicode_Check(key);
        Py_INCREF(key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(kwnames, k, key);
        stack[nargs + k] = value;
        k++;
    }
    PyObject* result;
    if (!all_strings) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        result = nullptr;
    } else {
        result = f->vectorcall(reinterpret_cast<PyObject*>(f), stack, nargs, kwnames);
    }
    Py_DECREF(kwnames);
    for (Py_ssize_t i = 0; i < nargs + k; i++) Py_DECREF(stack[i]);
    PyMem_Free(stack);
    return result;
}

PyObject* call_without_vector(NativeFunction* f, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = f->self;
    PyObject* owned_args = nullptr;
    if ((f->flags & kFunctionOfClass) && !(f->flags & kFunctionStatic)) {
        if (PyTuple_GET_SIZE(args) == 0) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->qualname);
            return nullptr;
        }
        self = PyTuple_GET_ITEM(args, 0);
        owned_args = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
        if (owned_args == nullptr) return nullptr;
        args = owned_args;
    }
    // The only convention without a vector entry (new_function refuses
    // the ones it cannot serve).
    PyObject* result = reinterpret_cast<PyCFunctionWithKeywords>(
        reinterpret_cast<void (*)(void)>(f->method->ml_meth))(self, args, kwargs);
    Py_XDECREF(owned_args);
    return result;
}

PyObject* function_call(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    NativeFunction* f = as_function(op);
    if (f->vectorcall == nullptr) return call_without_vector(f, args, kwargs);
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) return call_vector_with_dict(f, args, kwargs);
    return f->vectorcall(op, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
}

// ---- lifetime -----------------------------------------------------------

int function_clear(PyObject* op) noexcept {
    NativeFunction* f = as_function(op);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defining_class);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    Py_CLEAR(f->annotate);
    return 0;
}

// Visits every object field that clear releases: a field left out here keeps
// any cycle through it alive for good.
int function_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    NativeFunction* f = as_function(op);
    Py_VISIT(f->closure);
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    // A str subclass stored as a name can refer back to the function.
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defining_class);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    Py_VISIT(f->annotate);
    Py_VISIT(Py_TYPE(op));  // instances of a heap type own a reference to it
    return 0;
}

void function_dealloc(PyObject* op) noexcept {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    function_clear(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<nativefunction %U at %p>", as_function(op)->qualname, op);
}

PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr) {
        Py_INCREF(op);
        return op;
    }
    return PyMethod_New(op, obj);
}

PyObject* function_reduce(PyObject* op, PyObject*) noexcept {
    return new_ref_or_none(as_function(op)->qualname);
}

// ---- attributes ---------------------------------------------------------

PyObject* get_doc(PyObject* op, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (f->doc == nullptr) {
        if (f->method->ml_doc == nullptr) Py_RETURN_NONE;
        f->doc = PyUnicode_FromString(f->method->ml_doc);
        if (f->doc == nullptr) return nullptr;
    }
    Py_INCREF(f->doc);
    return f->doc;
}

int set_doc(PyObject* op, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(op)->doc, new_ref_or_none(value));
    return 0;
}

PyObject* get_name(PyObject* op, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (f->name == nullptr) {
        f->name = PyUnicode_InternFromString(f->method->ml_name);
        if (f->name == nullptr) return nullptr;
    }
    Py_INCREF(f->name);
    return f->name;
}

int set_string_field(PyObject** field, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*field, value);
    return 0;
}

int set_name(PyObject* op, PyObject* value, void*) noexcept {
    return set_string_field(&as_function(op)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->qualname); }

int set_qualname(PyObject* op, PyObject* value, void*) noexcept {
    return set_string_field(&as_function(op)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_globals(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->globals); }
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->code); }
PyObject* get_defaults(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->defaults); }
PyObject* get_kwdefaults(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->kwdefaults); }

// Defaults are only metadata here: calls never read them, so the caller is
// warned. When the warning is turned into an error nothing is stored, so the
// failure is never reported as success.
int set_defaults_field(PyObject** field, PyObject* value, bool valid, const char* type_message,
                       const char* warning) noexcept {
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
    if (value == Py_None) value = nullptr;
    Py_XINCREF(value);
    Py_XSETREF(*field, value);
    return 0;
}

int set_defaults(PyObject* op, PyObject* value, void*) noexcept {
    bool valid = value == nullptr || value == Py_None || PyTuple_Check(value);
    return set_defaults_field(&as_function(op)->defaults, value, valid,
                              "__defaults__ must be set to a tuple object",
                              "changes to nativefunction.__defaults__ will not currently affect the "
                              "values used in function calls");
}

int set_kwdefaults(PyObject* op, PyObject* value, void*) noexcept {
    bool valid = value == nullptr || value == Py_None || PyDict_Check(value);
    return set_defaults_field(&as_function(op)->kwdefaults, value, valid,
                              "__kwdefaults__ must be set to a dict object",
                              "changes to nativefunction.__kwdefaults__ will not currently affect the "
                              "values used in function calls");
}

// The annotations, and __annotate__ as a Python function has them: a
// callable that gives the annotations the function was made with (None when
// it has none), whatever becomes of its __annotations__ dict, which the
// first read makes from it; None once the annotations are assigned or
// deleted. A callable assigned to __annotate__ replaces the annotations,
// which the next read asks it for. Only versions that have __annotate__
// show it (compat/functions.h); on earlier ones it only makes the first
// __annotations__.
PyObject* get_annotations(PyObject* op, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (f->annotations == nullptr) {
        PyObject* made;
        if (f->annotate != nullptr && f->annotate != Py_None) {
            PyObject* value_format = PyLong_FromLong(1);
            if (value_format == nullptr) return nullptr;
            // Held for the call, which may replace it.
            PyObject* annotate = f->annotate;
            Py_INCREF(annotate);
            made = PyObject_CallOneArg(annotate, value_format);
            Py_DECREF(annotate);
            Py_DECREF(value_format);
            if (made == nullptr) return nullptr;
            if (!PyDict_Check(made)) {
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made)->tp_name);
                Py_DECREF(made);
                return nullptr;
            }
        } else {
            made = PyDict_New();
            if (made == nullptr) return nullptr;
        }
        // The call can run any code, including another read of this attribute.
        if (f->annotations != nullptr) Py_DECREF(made);
        else f->annotations = made;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject* op, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    NativeFunction* f = as_function(op);
    Py_XINCREF(value);
    Py_XSETREF(f->annotations, value);
    Py_INCREF(Py_None);
    Py_XSETREF(f->annotate, Py_None);
    return 0;
}

// The __annotate__ of the annotations a function was made with, whose self
// is a tuple of their (name, annotation) pairs, which nothing can change:
// a new dict of them for the VALUE (1) and FORWARDREF (3) formats, which are
// the same for values already made; annotationlib makes the STRING format
// from the values when both it and the fake-globals format (2) are refused.
PyObject* annotate_own(PyObject* pairs, PyObject* format) noexcept {
    long which = PyLong_AsLong(format);
    if (which == -1 && PyErr_Occurred()) return nullptr;
    if (which != 1 && which != 3) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    PyObject* made = PyDict_New();
    if (made == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs); i++) {
        PyObject* pair = PyTuple_GET_ITEM(pairs, i);
        if (PyDict_SetItem(made, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            Py_DECREF(made);
            return nullptr;
        }
    }
    return made;
}

PyMethodDef annotate_own_def = {"__annotate__", annotate_own, METH_O, nullptr};

[[maybe_unused]] PyObject* get_annotate(PyObject* op, void*) noexcept {
    return new_ref_or_none(as_function(op)->annotate);
}

[[maybe_unused]] int set_annotate(PyObject* op, PyObject* value, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(f->annotate, value);
    if (value != Py_None) Py_CLEAR(f->annotations);
    return 0;
}

PyObject* coroutine_marker() noexcept {
    PyObject* fromlist = PyList_New(1);
    if (fromlist == nullptr) return nullptr;
    Py_INCREF(coroutine_names.marker);
    PyList_SET_ITEM(fromlist, 0, coroutine_names.marker);
    PyObject* module = PyImport_ImportModuleLevelObject(coroutine_names.module, nullptr, nullptr, fromlist, 0);
    Py_DECREF(fromlist);
    PyObject* marker = module ? PyObject_GetAttr(module, coroutine_names.marker) : nullptr;
    Py_XDECREF(module);
    if (marker == nullptr) {
        PyErr_Clear();
        marker = Py_True;
        Py_INCREF(marker);
    }
    return marker;
}

PyObject* get_is_coroutine(PyObject* op, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (f->is_coroutine == nullptr) {
        PyObject* marker;
        if (f->flags & kFunctionCoroutine) {
            marker = coroutine_marker();
            if (marker == nullptr) return nullptr;
        } else {
            marker = Py_False;
            Py_INCREF(marker);
        }
        // The import can run arbitrary code, including another read of this attribute.
        if (f->is_coroutine != nullptr) Py_DECREF(marker);
        else f->is_coroutine = marker;
    }
    Py_INCREF(f->is_coroutine);
    return f->is_coroutine;
}

// The name of inspect's coroutine mark and the mark itself, made on first
// use and kept for the life of the process (strong references).
PyObject* coroutine_mark_name = nullptr;
PyObject* inspect_coroutine_mark = nullptr;

// The mark's name, borrowed; null with an exception set.
PyObject* mark_name() noexcept {
    if (coroutine_mark_name == nullptr) coroutine_mark_name = PyUnicode_InternFromString("_is_coroutine_marker");
    return coroutine_mark_name;
}

// What inspect.markcoroutinefunction() gives a callable, read back once from
// a bare object it marks. New reference, or null with an exception set.
PyObject* inspect_mark() noexcept {
    if (inspect_coroutine_mark == nullptr) {
        PyObject* inspect = PyImport_ImportModule("inspect");
        if (inspect == nullptr) return nullptr;
        PyObject* carrier = PyModule_New("carrier");
        PyObject* marked =
            carrier ? PyObject_CallMethod(inspect, "markcoroutinefunction", "O", carrier) : nullptr;
        Py_DECREF(inspect);
        Py_XDECREF(carrier);
        if (marked == nullptr) return nullptr;
        PyObject* mark = PyObject_GetAttr(marked, mark_name());
        Py_DECREF(marked);
        if (mark == nullptr) return nullptr;
        // The import can run any code, including another read of the mark.
        if (inspect_coroutine_mark != nullptr) Py_DECREF(mark);
        else inspect_coroutine_mark = mark;
    }
    Py_INCREF(inspect_coroutine_mark);
    return inspect_coroutine_mark;
}

[[gnu::cold]] void raise_no_mark(PyObject* op) noexcept {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(op)->tp_name,
                 coroutine_mark_name);
}

// inspect's mark for a coroutine function, which inspect.markcoroutinefunction()
// sets: kept in the instance dict, as on a Python function, so that it can
// be assigned and deleted like any attribute. Where the dict has none, a
// coroutine function shows inspect's mark, as a class attribute shows
// through: deleting the mark is then an AttributeError, and the mark stays.
[[maybe_unused]] PyObject* get_coroutine_mark(PyObject* op, void*) noexcept {
    NativeFunction* f = as_function(op);
    if (mark_name() == nullptr) return nullptr;
    if (f->dict != nullptr) {
        PyObject* kept = PyDict_GetItemWithError(f->dict, coroutine_mark_name);
        if (kept != nullptr) {
            Py_INCREF(kept);
            return kept;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (f->flags & kFunctionCoroutine) return inspect_mark();
    raise_no_mark(op);
    return nullptr;
}

[[maybe_unused]] int set_coroutine_mark(PyObject* op, PyObject* value, void*) noexcept {
    if (mark_name() == nullptr) return -1;
    PyObject* dict = PyObject_GenericGetDict(op, nullptr);  // made when there is none
    if (dict == nullptr) return -1;
    int rc;
    if (value != nullptr) {
        rc = PyDict_SetItem(dict, coroutine_mark_name, value);
    } else {
        rc = PyDict_DelItem(dict, coroutine_mark_name);
        if (rc < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            raise_no_mark(op);
        }
    }
    Py_DECREF(dict);
    return rc;
}

// Any object; None once deleted.
PyObject* get_module(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->module); }

int set_module(PyObject* op, PyObject* value, void*) noexcept {
    Py_XINCREF(value);
    Py_XSETREF(as_function(op)->module, value);
    return 0;
}

PyGetSetDef module_getset = {"__module__", get_module, set_module, nullptr, nullptr};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    NRT_COROUTINE_MARK_GETSET(get_coroutine_mark, set_coroutine_mark)
    NRT_ANNOTATE_GETSET(get_annotate, set_annotate)
    module_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* function_map(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return as_function(op)->map(op, args, nargs, kwnames);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {"map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function_map)),
     METH_FASTCALL | METH_KEYWORDS, kMapDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    NRT_SHARED_MODULE ".native_function_or_method",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// ---- metatype -----------------------------------------------------------

[[gnu::cold]] PyObject* refuse_instantiation(PyObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "Cannot instantiate native internal types");
    return nullptr;
}

[[gnu::cold]] int refuse_setattr(PyObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "Native internal types are immutable");
    return -1;
}

PyObject* metatype_module(PyObject*, void*) noexcept { return PyUnicode_FromString(kSharedModule); }

PyGetSetDef metatype_getset[] = {
    {"__module__", metatype_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot metatype_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(refuse_instantiation)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_instantiation)},
    {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
    {Py_tp_getset, metatype_getset},
    {0, nullptr},
};

PyType_Spec metatype_spec = {
    NRT_SHARED_MODULE "._common_types_metatype",
    0,
    0,
    Py_TPFLAGS_DEFAULT,
    metatype_slots,
};

// ---- shared-type fetch ----------------------------------------------------

const char* short_name(const char* spec_name) noexcept {
    const char* dot = std::strrchr(spec_name, '.');
    return dot ? dot + 1 : spec_name;
}

[[gnu::cold, gnu::noinline]] PyTypeObject* reject_shared(PyObject* object, const char* format,
                                                        const char* name) noexcept {
    PyErr_Format(PyExc_TypeError, format, name);
    Py_DECREF(object);
    return nullptr;
}

// Takes over `object`; hands it back as a type, or releases it and fails.
PyTypeObject* check_shared(PyObject* object, PyType_Spec* spec, const char* name) noexcept {
    if (!PyType_Check(object)) return reject_shared(object, "Shared native type %.200s is not a type object", name);
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    if (spec->basicsize != 0 && type->tp_basicsize != spec->basicsize) {
        return reject_shared(object, "Shared native type %.200s has the wrong size, try recompiling", name);
    }
    return type;
}

// The module name that the type-from-spec machinery stores in the new type's
// dict would shadow the instances' own __module__; put the attribute back.
int restore_module_attribute(PyTypeObject* type) noexcept {
    if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(NativeFunction))) return 0;
    PyObject* descr = PyDescr_NewGetSet(type, &module_getset);
    if (descr == nullptr) return -1;
    int rc = PyDict_SetItemString(type->tp_dict, "__module__", descr);
    Py_DECREF(descr);
    PyType_Modified(type);
    return rc;
}

PyObject* make_type(PyObject* shared, PyTypeObject* metatype, PyType_Spec* spec, PyObject* bases) noexcept {
    PyObject* made = PyType_FromModuleAndSpec(shared, spec, bases);
    if (made == nullptr) {
        // Some versions fail an allocation here without saying so.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(made);
    compat::finish_disallowing_instantiation(type);
    if (spec == &function_spec && restore_module_attribute(type) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    // The metatype is put in afterwards rather than handed to the type-from-
    // metaclass call, which 3.12 and later refuse for a metatype with a
    // tp_new of its own (and which 3.9 lacks).
    if (metatype != nullptr) {
        Py_INCREF(metatype);
        PyTypeObject* old = Py_TYPE(made);
        Py_SET_TYPE(made, metatype);
        Py_DECREF(old);
    }
    return made;
}

}  // namespace

PyTypeObject* fetch_shared_type(PyTypeObject* metatype, PyType_Spec* spec, PyObject* bases) noexcept {
    const char* name = short_name(spec->name);
    PyObject* shared = PyImport_AddModule(kSharedModule);  // borrowed
    if (shared == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(shared);
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) return nullptr;
    PyObject* stored = PyDict_GetItemWithError(dict, key);
    if (stored == nullptr && !PyErr_Occurred()) {
        PyObject* made = make_type(shared, metatype, spec, bases);
        // Another module of the family may have registered the type while
        // this one was made; the first one stored wins.
        stored = made ? PyDict_SetDefault(dict, key, made) : nullptr;
        Py_XDECREF(made);
    }
    Py_DECREF(key);
    if (stored == nullptr) return nullptr;
    Py_INCREF(stored);
    return check_shared(stored, spec, name);
}

int fetch_shared_types(PyTypeObject** metatype, PyTypeObject** function_type) noexcept {
    PyObject* bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type));
    if (bases == nullptr) return -1;
    PyTypeObject* meta = fetch_shared_type(nullptr, &metatype_spec, bases);
    Py_DECREF(bases);
    if (meta == nullptr) return -1;
    PyTypeObject* func = fetch_shared_type(meta, &function_spec, nullptr);
    if (func == nullptr) {
        Py_DECREF(meta);
        return -1;
    }
    Py_XSETREF(*metatype, meta);
    Py_XSETREF(*function_type, func);
    return 0;
}

int give_annotations(PyObject* function, PyObject* annotations) noexcept {
    if (PyDict_GET_SIZE(annotations) == 0) return 0;
    PyObject* items = PyDict_Items(annotations);
    if (items == nullptr) return -1;
    PyObject* pairs = PyList_AsTuple(items);
    Py_DECREF(items);
    if (pairs == nullptr) return -1;
    PyObject* annotate = PyCFunction_NewEx(&annotate_own_def, pairs, nullptr);
    Py_DECREF(pairs);
    if (annotate == nullptr) return -1;
    NativeFunction* f = as_function(function);
    Py_XSETREF(f->annotate, annotate);
    Py_CLEAR(f->annotations);
    return 0;
}

PyObject* new_function(PyMethodDef* method, PyObject* qualname, PyObject* module, PyObject* globals,
                       PyObject* code) noexcept {
    NativeFunction* f = PyObject_GC_New(NativeFunction, context.function_type);
    if (f == nullptr) return nullptr;
    f->flags = 0;
    f->weakreflist = nullptr;
    f->method = method;
    f->self = reinterpret_cast<PyObject*>(f);
    Py_XINCREF(module);
    f->module = module;
    f->dict = nullptr;
    f->name = nullptr;
    Py_XINCREF(qualname);
    f->qualname = qualname;
    f->doc = nullptr;
    Py_XINCREF(globals);
    f->globals = globals;
    Py_XINCREF(code);
    f->code = code;
    f->closure = nullptr;
    f->defining_class = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->annotate = nullptr;
    f->map = map_function;
    switch (method->ml_flags & kCallFlagsMask) {
        case METH_VARARGS | METH_KEYWORDS: f->vectorcall = nullptr; break;
        case METH_NOARGS: f->vectorcall = vectorcall_noargs; break;
        case METH_O: f->vectorcall = vectorcall_o; break;
        case METH_FASTCALL | METH_KEYWORDS: f->vectorcall = vectorcall_fastcall_keywords; break;
        case METH_METHOD | METH_FASTCALL | METH_KEYWORDS: f->vectorcall = vectorcall_method; break;
        default:
            f->vectorcall = nullptr;
            PyErr_SetString(PyExc_SystemError, "Bad call flags for NativeFunction");
            Py_DECREF(f);
            return nullptr;
    }
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace nrt
