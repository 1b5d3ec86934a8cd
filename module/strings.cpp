#include "module/state.h"
#include "runtime/ref.h"

namespace trigmod {

ModuleState state;
Environment environment;

namespace {

using nrt::Ref;

[[gnu::cold, gnu::noinline]] int raise_no_zlib() noexcept {
    PyErr_Format(PyExc_ImportError,
                 "Failed to import '%.20s.decompress' - cannot initialise module strings. String "
                 "compression was configured with the C macro 'NATIVE_COMPRESS_STRINGS=%d'.",
                 "zlib", 1);
    return -1;
}

PyObject* decompress_table() noexcept {
    Ref name(PyUnicode_FromString("decompress"));
    if (!name) return nullptr;
    Ref zlib(PyImport_ImportModule("zlib"));
    Ref decompress(zlib ? PyObject_GetAttr(zlib.get(), name.get()) : nullptr);
    if (!decompress) {
        raise_no_zlib();
        return nullptr;
    }
    Ref view(PyMemoryView_FromMemory(
        const_cast<char*>(reinterpret_cast<const char*>(kStringStream)), kStringStreamSize, PyBUF_READ));
    if (!view) return nullptr;
    return PyObject_CallFunctionObjArgs(decompress.get(), view.get(), nullptr);
}

int build_strings() noexcept {
    Ref data(decompress_table());
    if (!data) return -1;
    if (!PyBytes_Check(data.get())) {
        PyErr_SetString(PyExc_TypeError, "decompressed string table is not bytes");
        return -1;
    }
    const char* bytes = PyBytes_AS_STRING(data.get());
    Py_ssize_t size = PyBytes_GET_SIZE(data.get());
    Py_ssize_t offset = 0;
    for (int i = 0; i < kStringCount; i++) {
        Py_ssize_t length = static_cast<Py_ssize_t>(kStringLengths[i]);
        if (offset + length > size) {
            PyErr_SetString(PyExc_ValueError, "string table is shorter than its lengths");
            return -1;
        }
        PyObject* s = PyUnicode_DecodeUTF8(bytes + offset, length, nullptr);
        if (s == nullptr) return -1;
        if (i >= kLiteralCount) PyUnicode_InternInPlace(&s);
        Py_XSETREF(environment.strings[i], s);
        offset += length;
    }
    data.reset();
    for (PyObject* s : environment.strings) {
        if (PyObject_Hash(s) == -1) return -1;
    }
    return 0;
}

int build_numbers() noexcept {
    PyObject* zero = PyFloat_FromDouble(0.0);
    if (zero == nullptr) return -1;
    Py_XSETREF(environment.numbers[N_float_zero], zero);
    for (int i = N_0; i < kNumberCount; i++) {
        PyObject* n = PyLong_FromLong(kNumberValues[i]);
        if (n == nullptr) return -1;
        Py_XSETREF(environment.numbers[i], n);
    }
    return 0;
}

}  // namespace

int build_strings_and_numbers() noexcept {
    if (build_strings() < 0) return -1;
    return build_numbers();
}

}  // namespace trigmod
