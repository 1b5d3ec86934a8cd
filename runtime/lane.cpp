#include "runtime/lane.h"

#include "runtime/call.h"
#include "runtime/context.h"
#include "runtime/function.h"

namespace nrt {

LaneTable lanes;

namespace {

const LaneEntry* lane_for(PyObject* callable, Py_ssize_t n) noexcept {
    int index = own_function(callable);
    if (index < 0) return nullptr;
    const LaneEntry* entry = &lanes.entries[index];
    if (n < entry->signature->required || n > entry->signature->maximum) return nullptr;
    return entry;
}

}  // namespace

int own_function(PyObject* callable) noexcept {
    if (!kMachineValues || Py_TYPE(callable) != context.function_type) return -1;
    auto* f = reinterpret_cast<NativeFunction*>(callable);
    if (f->method < lanes.begin || f->method >= lanes.end || (f->flags & kFunctionOfClass)) return -1;
    return static_cast<int>(f->method - lanes.begin);
}

Val call(PyObject* callable, const Val& arg) noexcept {
    if (const LaneEntry* entry = lane_for(callable, 1)) return entry->call(&arg, 1);
    PyObject* a = arg.object();
    return a ? Val::steal(call(callable, a)) : Val();
}

Val call(PyObject* callable, const Val& arg1, const Val& arg2) noexcept {
    if (const LaneEntry* entry = lane_for(callable, 2)) {
        const Val args[2] = {arg1, arg2};
        return entry->call(args, 2);
    }
    PyObject* a = arg1.object();
    if (a == nullptr) return Val();
    PyObject* b = arg2.object();
    return b ? Val::steal(call(callable, a, b)) : Val();
}

}  // namespace nrt
