// Build variants. The shipped build computes in machine ints and doubles
// while the operands allow (exact ints of up to two 30-bit digits, exact
// floats), takes the constant fast paths on such objects, caches attribute
// reads of plain modules and lets the module's own functions call each other
// with machine values. A build with NRT_PLAIN does none of it: every step on
// Python objects through the generic number protocol, the reference that the
// shipped build must match exactly.
#pragma once

namespace nrt {

#ifdef NRT_PLAIN
constexpr bool kMachineValues = false;
#else
constexpr bool kMachineValues = true;
#endif

}  // namespace nrt
