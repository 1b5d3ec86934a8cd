// The function object type shared by the modules built on this runtime.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

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
    // f.map(), from the runtime of the module that made the function, which
    // alone knows its bodies and kernels.
    PyObject* (*map)(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
};

static_assert(offsetof(NativeFunction, method) == offsetof(PyCFunctionObject, m_ml), "layout");
static_assert(offsetof(NativeFunction, self) == offsetof(PyCFunctionObject, m_self), "layout");
static_assert(offsetof(NativeFunction, module) == offsetof(PyCFunctionObject, m_module), "layout");
static_assert(offsetof(NativeFunction, vectorcall) == offsetof(PyCFunctionObject, vectorcall), "layout");
static_assert(offsetof(NativeFunction, defining_class) == offsetof(PyCMethodObject, mm_class), "layout");

// The shared module holds the types of every module built on this runtime,
// and its name stands for the layout of NativeFunction: a module built from
// a runtime with another layout must not find these types (it would make
// objects of the wrong size, or read fields where there are none), and one
// whose types are already there must not stop this one from importing. So
// the name changes whenever the layout (or what a field holds) changes, and
// the build checks the layout against the fingerprint recorded beside it.
//
// When that check fails, the layout has changed: take the next name (the
// last number up by one; _native_shared_1_0 was the layout before
// `annotate` and `map`), record the new fingerprint, which the compiler's message
// shows as the first argument of SharedLayoutIs<...>, and add the old name
// to the earlier ones that test_startup imports beside this one. Keep every
// field in layout_fingerprint().
#define NRT_SHARED_MODULE "_native_shared_1_1"
inline constexpr std::uint64_t kSharedLayout = 14423034522847608431u;

// Where each field lies and how large it is, in pointer-sized words past the
// object header, and the size of the whole, folded together (FNV-1a): the
// same for every interpreter version and word size.
constexpr std::uint64_t layout_fingerprint() noexcept {
    constexpr std::size_t word = sizeof(void*);
    constexpr std::size_t start = offsetof(NativeFunction, method);
#define NRT_FIELD(f) {(offsetof(NativeFunction, f) - start) / word, (sizeof(NativeFunction::f) + word - 1) / word}
    constexpr std::size_t fields[][2] = {
        NRT_FIELD(method),  NRT_FIELD(self),     NRT_FIELD(module),      NRT_FIELD(weakreflist),
        NRT_FIELD(vectorcall), NRT_FIELD(defining_class), NRT_FIELD(dict), NRT_FIELD(name),
        NRT_FIELD(qualname), NRT_FIELD(doc),     NRT_FIELD(globals),     NRT_FIELD(code),
        NRT_FIELD(closure), NRT_FIELD(flags),    NRT_FIELD(defaults),    NRT_FIELD(kwdefaults),
        NRT_FIELD(annotations), NRT_FIELD(is_coroutine), NRT_FIELD(annotate), NRT_FIELD(map),
    };
#undef NRT_FIELD
    std::uint64_t print = 14695981039346656037u;
    auto fold = [&print](std::size_t n) { print = (print ^ n) * 1099511628211u; };
    fold((sizeof(NativeFunction) - start + word - 1) / word);
    for (const auto& field : fields) {
        fold(field[0]);
        fold(field[1]);
    }
    return print;
}

template <std::uint64_t Computed, std::uint64_t Recorded>
struct SharedLayoutIs {
    static_assert(Computed == Recorded,
                  "NativeFunction's layout changed: give NRT_SHARED_MODULE the next name and record the new "
                  "fingerprint (see runtime/function.h)");
    static constexpr bool holds = Computed == Recorded;
};
static_assert(SharedLayoutIs<layout_fingerprint(), kSharedLayout>::holds);

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
