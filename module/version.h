// The running interpreter's version, packed for comparison.
#pragma once

#include <cstdint>

namespace trigmod {

// major << 24 | minor << 16 | micro << 8 | fourth, each read as decimal
// digits from the start of `text`; parsing stops at the first character that
// is neither a digit nor a dot between components.
std::uint32_t parse_version(const char* text) noexcept;

// Warns (RuntimeWarning) when `version` is not a runtime of the major and
// minor version the module was compiled for. Returns 0, or -1 when the
// warning was turned into an error.
int check_version(std::uint32_t version) noexcept;

}  // namespace trigmod
