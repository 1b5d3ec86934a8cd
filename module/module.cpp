// Definition and start-up of geometry.trigonometry.
//
// The module state is one record for the whole process, so the module can be
// loaded into one interpreter only, and executed once: a second import (after
// its sys.modules entry was removed, or by reload) gets the same module object
// back with its namespace as it is.
#include "module/state.h"
#include "module/version.h"
#include "runtime/compat/code.h"
#include "runtime/compat/modules.h"
#include "runtime/context.h"
#include "runtime/function.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "trig/functions.h"

namespace trigmod {

namespace {

using nrt::Ref;

constexpr const char kInitName[] = "init geometry.trigonometry";

// ---- create step -------------------------------------------------------------

int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key,
                        bool skip_none) noexcept {
    Ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (state.main_interpreter_id == -1) {
        state.main_interpreter_id = id;
    } else if (state.main_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.current_module != nullptr) {
        Py_INCREF(state.current_module);
        return state.current_module;
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- imports -------------------------------------------------------------------

[[gnu::cold, gnu::noinline]] PyObject* raise_cannot_import(PyObject* name) noexcept {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

// `from module import name`: the attribute, or else the submodule already in
// sys.modules under "<module name>.<name>".
PyObject* import_from(PyObject* module, PyObject* name) noexcept {
    getattrofunc getattro = Py_TYPE(module)->tp_getattro;
    PyObject* value = getattro ? getattro(module, name) : PyObject_GetAttr(module, name);
    if (value != nullptr) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raise_cannot_import(name);
    PyErr_Clear();
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return raise_cannot_import(name);
    Ref full(PyUnicode_FromFormat("%s%U%U", module_name, str(S_dot), name));
    if (!full) return raise_cannot_import(name);
    PyObject* found = PyImport_GetModule(full.get());
    if (found == nullptr) return raise_cannot_import(name);
    return found;
}

PyObject* import_level(PyObject* name, PyObject* fromlist, int level) noexcept {
    Ref locals(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, nrt::context.module_dict, locals.get(), fromlist, level);
}

// from . import constants
PyObject* import_constants() noexcept {
    Ref package(PyImport_GetModule(str(S_package)));
    if (!package && PyErr_Occurred()) return nullptr;
    if (package && !PyObject_HasAttr(package.get(), str(S_constants))) package.reset();
    if (!package) {
        Ref fromlist(PyList_New(1));
        if (!fromlist) return nullptr;
        Py_INCREF(str(S_constants));
        PyList_SET_ITEM(fromlist.get(), 0, str(S_constants));
        package.reset(import_level(str(S_empty), fromlist.get(), 1));
        if (!package) return nullptr;
    }
    return import_from(package.get(), str(S_constants));
}

// import vantor.algebra.algebra as algebra
PyObject* import_algebra() noexcept {
    PyObject* dotted = str(S_algebra_module);
    Ref start;
    Ref full(PyImport_GetModule(dotted));
    if (full) {
        full.reset();
        Py_ssize_t dot = PyUnicode_FindChar(dotted, '.', 0, PyUnicode_GET_LENGTH(dotted), 1);
        if (dot == -2) return nullptr;
        Ref top(PyUnicode_Substring(dotted, 0, dot < 0 ? PyUnicode_GET_LENGTH(dotted) : dot));
        if (!top) return nullptr;
        start.reset(PyImport_GetModule(top.get()));
    }
    if (PyErr_Occurred()) return nullptr;
    if (!start) {
        start.reset(import_level(dotted, nullptr, 0));
        if (!start) return nullptr;
    }
    Ref middle(import_from(start.get(), str(S_algebra)));
    if (!middle) return nullptr;
    return import_from(middle.get(), str(S_algebra));
}

// ---- code objects and functions ---------------------------------------------------

int build_code_objects() noexcept {
    // Equal local-name tuples are shared between code objects.
    Ref shared(PyDict_New());
    if (!shared) return -1;
    PyObject* empty = nrt::context.empty_tuple;
    for (int f = 0; f < kFunctionCount; f++) {
        const FunctionRecord& row = kRecords[f];
        Ref names(PyTuple_New(row.local_count));
        if (!names) return -1;
        for (int i = 0; i < row.local_count; i++) {
            Py_INCREF(str(row.locals[i]));
            PyTuple_SET_ITEM(names.get(), i, str(row.locals[i]));
        }
        PyObject* varnames = PyDict_SetDefault(shared.get(), names.get(), names.get());
        if (varnames == nullptr) return -1;
        PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
            row.signature.maximum, 0, 0, row.local_count, 0, CO_OPTIMIZED | CO_NEWLOCALS,
            state.empty_bytes, empty, empty, varnames, empty, empty, str(S_file_name), str(row.name),
            str(row.name), row.signature.line, state.empty_bytes, state.empty_bytes);
        if (code == nullptr) return -1;
        Py_XSETREF(state.code_objects[f], reinterpret_cast<PyObject*>(code));
    }
    return 0;
}

int register_function(int f) noexcept {
    const FunctionRecord& row = kRecords[f];
    Ref annotations(PyDict_New());
    if (!annotations) return -1;
    for (int i = 0; i < row.annotation_count; i++) {
        if (PyDict_SetItem(annotations.get(), str(row.annotations[i].key), str(row.annotations[i].value)) < 0) {
            return -1;
        }
    }
    Ref function(nrt::new_function(&kMethods[f], str(row.name), str(S_module_name), nrt::context.module_dict,
                                   state.code_objects[f]));
    if (!function) return -1;
    if (nrt::give_annotations(function.get(), annotations.get()) < 0) return -1;
    auto* native = reinterpret_cast<nrt::NativeFunction*>(function.get());
    if (row.has_defaults) {
        Py_INCREF(state.arctan_defaults);
        native->defaults = state.arctan_defaults;
    }
    return PyDict_SetItem(nrt::context.module_dict, str(row.name), function.get());
}

// ---- exec step -------------------------------------------------------------------

// The module state takes its own reference, for the rest of the process.
template <typename T>
void own_for_good(T*& slot, PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    Py_XSETREF(slot, reinterpret_cast<T*>(borrowed));
}

// Steps whose failure is reported with a traceback entry at `line`.
int fail_at(int line) noexcept {
    nrt::add_traceback(kInitName, line, nrt::context.file_name);
    return -1;
}

int exec_steps(PyObject* module) noexcept {
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return -1;
    own_for_good(nrt::context.module_dict, dict);
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) return -1;
    own_for_good(nrt::context.builtins, builtins);
    PyObject* runtime = PyImport_AddModule("native_runtime");
    if (runtime == nullptr) return -1;
    own_for_good(state.runtime_module, runtime);
    if (PyObject_SetAttrString(module, "__builtins__", nrt::context.builtins) < 0) return -1;

    if (state.runtime_version == 0) state.runtime_version = parse_version(Py_GetVersion());
    if (check_version(state.runtime_version) < 0) return -1;

    PyObject* empty_tuple = PyTuple_New(0);
    if (empty_tuple == nullptr) return -1;
    Py_XSETREF(nrt::context.empty_tuple, empty_tuple);
    PyObject* empty_bytes = PyBytes_FromStringAndSize("", 0);
    if (empty_bytes == nullptr) return -1;
    Py_XSETREF(state.empty_bytes, empty_bytes);
    if (build_strings_and_numbers() < 0) return -1;
    own_for_good(nrt::coroutine_names.module, str(S_asyncio_coroutines));
    own_for_good(nrt::coroutine_names.marker, str(S_is_coroutine));
    nrt::context.file_name = PyUnicode_AsUTF8(str(S_file_name));
    if (nrt::context.file_name == nullptr) return -1;
    install_lanes();

    // From here on every failure gets a traceback entry.
    if (nrt::fetch_shared_types(&state.metatype, &nrt::context.function_type) < 0) return fail_at(1);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, str(S_module_name));
    if (existing == nullptr) {
        if (PyErr_Occurred() || PyDict_SetItem(modules, str(S_module_name), module) < 0) return fail_at(1);
    }
    PyObject* defaults = PyTuple_Pack(1, num(N_20));
    if (defaults == nullptr) return fail_at(1);
    Py_XSETREF(state.arctan_defaults, defaults);
    if (build_code_objects() < 0) return fail_at(1);

    Ref constants(import_constants());
    if (!constants || PyDict_SetItem(dict, str(S_constants), constants.get()) < 0) return fail_at(1);
    Ref algebra(import_algebra());
    if (!algebra || PyDict_SetItem(dict, str(S_algebra), algebra.get()) < 0) return fail_at(2);

    for (int f = 0; f < kFunctionCount; f++) {
        if (register_function(f) < 0) return fail_at(kRecords[f].signature.line);
    }

    Ref test(PyDict_New());
    if (!test || PyDict_SetItem(dict, str(S_test), test.get()) < 0) return fail_at(1);
    return 0;
}

int exec_module(PyObject* module) noexcept {
    if (state.current_module == module) return 0;
    if (state.current_module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'trigonometry' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    state.current_module = module;
    if (exec_steps(module) < 0) {
        Py_CLEAR(state.current_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    NRT_MODULE_SUPPORT_SLOTS
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "trigonometry", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace trigmod

PyMODINIT_FUNC PyInit_trigonometry(void) { return PyModuleDef_Init(&trigmod::module_def); }
