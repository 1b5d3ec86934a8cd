#include "runtime/call.h"

#include "runtime/context.h"
#include "runtime/function.h"

namespace nrt {

namespace {

// Whether calling the native function with its bound self is the call its
// own entry would make. Our function type and the interpreter's built-in
// function type share the record prefix that holds the method record and the
// bound self; a method of an extension class, though, takes its self from
// the arguments, and only its entry applies that rule.
bool bound_self_call(PyObject* callable) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (context.function_type != nullptr && PyType_IsSubtype(type, context.function_type)) {
        int flags = reinterpret_cast<NativeFunction*>(callable)->flags;
        return !(flags & kFunctionOfClass) || (flags & kFunctionStatic);
    }
    return PyType_IsSubtype(type, &PyCFunction_Type);
}

[[gnu::cold, gnu::noinline]] PyObject* null_without_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return nullptr;
}

PyObject* direct_call(PyObject* callable, PyObject* arg) noexcept {
    auto* f = reinterpret_cast<PyCFunctionObject*>(callable);
    PyObject* self = (f->m_ml->ml_flags & METH_STATIC) ? nullptr : f->m_self;
    if (Py_EnterRecursiveCall(kRecursionWhere)) return nullptr;
    PyObject* result = f->m_ml->ml_meth(self, arg);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) return null_without_error();
    return result;
}

// Our own function type first: it is by far the most frequent callee.
vectorcallfunc vector_entry(PyObject* callable) noexcept {
    if (Py_TYPE(callable) == context.function_type) return reinterpret_cast<NativeFunction*>(callable)->vectorcall;
    return PyVectorcall_Function(callable);
}

}  // namespace

PyObject* fast_call(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwdict) noexcept {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (kwdict == nullptr) {
        if (n <= 1 && bound_self_call(callable)) {
            int flags = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml->ml_flags;
            if (n == 0 && (flags & METH_NOARGS)) return direct_call(callable, nullptr);
            if (n == 1 && (flags & METH_O)) return direct_call(callable, args[0]);
        }
        if (vectorcallfunc entry = vector_entry(callable)) return entry(callable, args, nargsf, nullptr);
    }
    if (n > 0) return PyObject_VectorcallDict(callable, args, n, kwdict);
    ternaryfunc call_slot = Py_TYPE(callable)->tp_call;
    if (call_slot == nullptr) return PyObject_Call(callable, context.empty_tuple, kwdict);
    if (Py_EnterRecursiveCall(kRecursionWhere)) return nullptr;
    PyObject* result = call_slot(callable, context.empty_tuple, kwdict);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) return null_without_error();
    return result;
}

namespace {

// slots[0] is free; the n arguments follow it.
PyObject* call_with_reserved_slot(PyObject* callable, PyObject** slots, std::size_t n) noexcept {
    if (Py_TYPE(callable) == &PyMethod_Type) {
        PyObject* func = PyMethod_GET_FUNCTION(callable);
        PyObject* self = PyMethod_GET_SELF(callable);
        Py_INCREF(func);
        Py_INCREF(self);
        slots[0] = self;
        PyObject* result = fast_call(func, slots, n + 1, nullptr);
        Py_DECREF(self);
        Py_DECREF(func);
        return result;
    }
    return fast_call(callable, slots + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

PyObject* call(PyObject* callable, PyObject* arg) noexcept {
    PyObject* slots[2] = {nullptr, arg};
    return call_with_reserved_slot(callable, slots, 1);
}

PyObject* call(PyObject* callable, PyObject* arg1, PyObject* arg2) noexcept {
    PyObject* slots[3] = {nullptr, arg1, arg2};
    return call_with_reserved_slot(callable, slots, 2);
}

}  // namespace nrt
