// Build variants. A build with NRT_PLAIN computes every step on Python
// objects through the generic number protocol, with no machine-value lane,
// no constant fast paths and no attribute caching: the reference that the
// faster build must match exactly.
#pragma once

namespace nrt {

#ifdef NRT_PLAIN
constexpr bool kLane = false;
constexpr bool kFastPaths = false;
#else
constexpr bool kLane = true;
constexpr bool kFastPaths = true;
#endif

}  // namespace nrt
