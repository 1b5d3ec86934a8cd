// What every function body uses.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/call.h"
#include "runtime/context.h"
#include "runtime/lane.h"
#include "runtime/lookup.h"
#include "runtime/operations.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "trig/environment.h"
#include "trig/functions.h"

namespace trigmod {

using nrt::Ref;
using nrt::Val;

// Loops whose length an input decides look at pending signals every
// kSignalSteps steps: inside the module no bytecode runs between steps, and
// the interpreter only looks between bytecodes. A few hundred steps take well
// under a millisecond, and a look costs about nothing.
constexpr std::int64_t kSignalSteps = 256;

// Whether the loop looks at signals before `step` (counted from 0).
inline bool signal_step(std::int64_t step) noexcept { return step % kSignalSteps == kSignalSteps - 1; }

// Whether a signal handler raised at `step`.
inline bool interrupted(std::int64_t step) noexcept { return signal_step(step) && PyErr_CheckSignals() < 0; }

// A number constant as an operand.
inline nrt::Const K(NumberId id) noexcept { return {num(id), kNumberValues[id]}; }

// Adds the body's traceback entry for the pending exception; returns an
// empty value so that a body can `return fail_at(...)`.
[[gnu::cold, gnu::noinline]] inline Val fail_at(FunctionPosition function, int line) noexcept {
    nrt::add_traceback(traceback_name(function), line, nrt::context.file_name);
    return Val();
}

// The module global `name`, read through the site cache `site`.
inline Ref global(StringId name, nrt::SiteCache& site) noexcept { return Ref(nrt::load_global(str(name), site)); }

// The attribute `name` of the module global `owner`, which is let go of at
// once, as Python's stack lets go of an object whose attribute it read.
inline Ref attribute(Ref owner, StringId name, nrt::AttributeCache& site) noexcept {
    return Ref(nrt::get_attribute(owner.get(), str(name), site));
}

// Calls `callable` and lets go of it as soon as the call returns, as
// Python's stack does: a value rebound away meanwhile dies there.
template <typename... Args>
inline Val call_once(Ref callable, const Args&... args) noexcept {
    return nrt::call(callable.get(), args...);
}

// The attribute `name` of the module global `owner`, as a value.
inline Val global_attribute(StringId owner, StringId name, nrt::SiteCache& global_site,
                            nrt::AttributeCache& attribute_site) noexcept {
    Ref o = global(owner, global_site);
    return o ? Val::steal(nrt::get_attribute(o.get(), str(name), attribute_site)) : Val();
}

// Reads `owner.name` through the global and attribute caches of this place.
#define GLOBAL_ATTRIBUTE(owner, name) global_attribute(owner, name, NRT_SITE(), NRT_ATTRIBUTE_SITE())

}  // namespace trigmod
