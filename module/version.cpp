#include "module/version.h"

#include <Python.h>

#include <cstdio>

namespace trigmod {

std::uint32_t parse_version(const char* text) noexcept {
    std::uint32_t version = 0;
    std::uint32_t factor = 1u << 24;
    const char* p = text;
    for (int component = 0; component < 4; component++) {
        std::uint32_t number = 0;
        while (*p >= '0' && *p <= '9') number = number * 10 + static_cast<std::uint32_t>(*p++ - '0');
        version += number * factor;
        if (*p != '.') break;
        p++;
        factor >>= 8;
    }
    return version;
}

int check_version(std::uint32_t version) noexcept {
    if ((version >> 16) == (PY_MAJOR_VERSION << 8 | PY_MINOR_VERSION)) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "geometry.trigonometry", "does not match",
                  static_cast<int>(version >> 24), static_cast<int>((version >> 16) & 0xff));
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace trigmod
