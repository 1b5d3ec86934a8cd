// Function bodies: each takes the bound arguments and returns the result, or
// an empty value with an exception set and its own traceback entry added.
#pragma once

#include "runtime/value.h"

namespace trigmod {

nrt::Val sin_body(nrt::Val* args) noexcept;
nrt::Val cosin_body(nrt::Val* args) noexcept;
nrt::Val tan_body(nrt::Val* args) noexcept;
nrt::Val tan_rad_body(nrt::Val* args) noexcept;  // args[0] holds a double
nrt::Val arctan_body(nrt::Val* args) noexcept;
nrt::Val arctan2_body(nrt::Val* args) noexcept;
nrt::Val arcsin_body(nrt::Val* args) noexcept;
nrt::Val arccos_body(nrt::Val* args) noexcept;

}  // namespace trigmod
