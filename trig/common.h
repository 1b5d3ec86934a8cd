// What every function body uses.
#pragma once

#include <Python.h>

#include "module/state.h"
#include "runtime/call.h"
#include "runtime/lookup.h"
#include "runtime/numbers.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace trigmod {

using nrt::Ref;

// Adds the body's traceback entry for the pending exception; returns null so
// that a body can `return fail_at(...)`.
[[gnu::cold, gnu::noinline]] inline PyObject* fail_at(const char* name, int line) noexcept {
    nrt::add_traceback(name, line, kFileName);
    return nullptr;
}

// New reference to the attribute `name` of the module global `global`.
inline PyObject* global_attribute(StringId global, StringId name, nrt::SiteCache& site) noexcept {
    Ref owner(nrt::load_global(str(global), site));
    return owner ? PyObject_GetAttr(owner.get(), str(name)) : nullptr;
}

}  // namespace trigmod
