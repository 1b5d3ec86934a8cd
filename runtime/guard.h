// The recursion guard of function bodies.
//
// A body stands for a Python function, so the call wrapper enters the
// interpreter's recursion guard for it (compat/recursion.h says how on each
// version), and the body knows whether it runs at the limit.
#pragma once

#include <Python.h>

#include "runtime/compat/recursion.h"

namespace nrt {

// Whether the running body is at the interpreter's recursion limit, where one
// more level of its recursion guard fails. A rich comparison of objects
// enters that guard and a machine comparison does not, so at the limit
// comparisons go to the objects, and the interpreter raises RecursionError
// at the same step as it would without machine values. One flag serves every
// thread: at the limit no Python code can run (it would need another level),
// so no other thread can take over while it is set.
inline bool body_at_recursion_limit = false;

inline bool at_recursion_limit() noexcept { return body_at_recursion_limit; }

// One level of the guard, held for the life of the object: refused() says
// that RecursionError is set and no level was taken.
class BodyLevel {
public:
    explicit BodyLevel(const char* where) noexcept
        : ts_(PyThreadState_Get()), depth_(compat::enter_body(ts_, where)), outer_(body_at_recursion_limit) {
        if (!refused()) body_at_recursion_limit = depth_ == compat::Depth::Last;
    }
    ~BodyLevel() {
        if (refused()) return;
        body_at_recursion_limit = outer_;
        compat::leave_body(ts_);
    }
    BodyLevel(const BodyLevel&) = delete;
    BodyLevel& operator=(const BodyLevel&) = delete;

    bool refused() const noexcept { return depth_ == compat::Depth::Refused; }

private:
    PyThreadState* ts_;
    compat::Depth depth_;
    bool outer_;
};

}  // namespace nrt
