// Times the bulk kernels' run() alone, on every path this processor has:
// nanoseconds per element over 100,000 random doubles, and the time of one
// chunk. It also checks that every path gives the scalar reference's bits.
//
//   cmake --build build/<tag> --target kernel_bench
//   PYTHONPATH=build/<tag>/python build/<tag>/kernel_bench [iter [path [case [count]]]]
//
// A path named (scalar, sse2, avx2, avx512; "" for all) runs alone, and so
// do the cases whose name holds `case`; `count` elements instead of 100,000.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "runtime/lane.h"
#include "trig/functions.h"
#include "trig/kernels.h"

extern "C" PyObject* PyInit_trigonometry(void);

namespace {

using trigmod::KernelPath;

// The module from this program's own objects, made as an import would.
bool start_module() {
    PyObject* def = PyInit_trigonometry();
    PyObject* machinery = PyImport_ImportModule("importlib.machinery");
    if (machinery == nullptr) return false;
    PyObject* spec = PyObject_CallMethod(machinery, "ModuleSpec", "sO", "geometry.trigonometry", Py_None);
    Py_DECREF(machinery);
    if (spec == nullptr) return false;
    PyObject* module = PyModule_FromDefAndSpec(reinterpret_cast<PyModuleDef*>(def), spec);
    Py_DECREF(spec);
    return module != nullptr && PyModule_ExecDef(module, reinterpret_cast<PyModuleDef*>(def)) == 0;
}

struct Case {
    const char* name;
    int position;
    double low, high;
    bool reciprocal;  // the reciprocals of values in low..high
};

const Case kCases[] = {
    {"sin, -360..360", trigmod::F_sin, -360, 360, false},
    {"cosin, -360..360", trigmod::F_cosin, -360, 360, false},
    {"tan, -360..360", trigmod::F_tan, -360, 360, false},
    {"_tan_rad, -6.3..6.3", trigmod::F_tan_rad, -6.3, 6.3, false},
    {"arctan, -1..1", trigmod::F_arctan, -1, 1, false},
    {"arctan, beyond", trigmod::F_arctan, -1, 1, true},
    {"arctan2, -1..1 each", trigmod::F_arctan2, -1, 1, false},
    {"arcsin, -1..1", trigmod::F_arcsin, -1, 1, false},
    {"arccos, -1..1", trigmod::F_arccos, -1, 1, false},
    // The slowest elements a kernel computes itself: every lane handed to
    // the scalar code.
    {"cosin, infinities", trigmod::F_cosin, HUGE_VAL, HUGE_VAL, false},
    {"arctan, nan", trigmod::F_arctan, NAN, NAN, false},
};

// The CPU time of this thread: other work on a shared machine moves it far
// less than the time on the clock.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_of(KernelPath path, const Case& c, const nrt::KernelState& state, const double* const* in,
                  Py_ssize_t n, Py_ssize_t chunk, double* out, unsigned char* rare) {
    double best = 1e30;
    for (int repeat = 0; repeat < 7; repeat++) {
        std::memset(rare, 0, n);
        const double start = thread_seconds();
        for (Py_ssize_t base = 0; base < n; base += chunk) {
            const double* part[2] = {in[0] + base, in[1] + base};
            trigmod::run_on_path(path, c.position, state, part, std::min(chunk, n - base), out + base, rare + base);
        }
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long iter = argc > 1 ? std::atol(argv[1]) : 20;
    const char* only = argc > 2 && argv[2][0] != '\0' ? argv[2] : nullptr;
    const char* only_case = argc > 3 ? argv[3] : nullptr;
    const Py_ssize_t count = argc > 4 ? std::atol(argv[4]) : 100000;
    Py_InitializeEx(0);
    if (!start_module()) {
        PyErr_Print();
        return 1;
    }
    std::mt19937_64 random(2024);
    std::vector<double> first(count), second(count), out(count), reference(count);
    std::vector<unsigned char> rare(count), reference_rare(count);
    std::printf("chosen path: %s\n", trigmod::path_name(trigmod::chosen_path()));
    std::printf("%-22s %-8s %9s %11s %6s\n", "run() on", "path", "ns/elem", "chunk (ms)", "rare");
    int mismatches = 0;
    for (const Case& c : kCases) {
        if (only_case != nullptr && std::strstr(c.name, only_case) == nullptr) continue;
        std::uniform_real_distribution<double> uniform(c.low, c.high);
        for (Py_ssize_t k = 0; k < count; k++) {
            const bool fixed = c.low == c.high || std::isnan(c.low);
            const double x = fixed ? c.low : uniform(random);
            first[k] = c.reciprocal ? 1 / x : x;
            second[k] = fixed ? c.low : uniform(random);
        }
        const nrt::Kernel* kernel = nrt::lanes.entries[c.position].kernel;
        nrt::Val rest[1] = {nrt::Val::of_int(iter)};
        nrt::KernelState state;
        if (!kernel->prepare(rest, &state)) {
            std::printf("%-22s prepare() refused\n", c.name);
            continue;
        }
        const double* in[2] = {first.data(), second.data()};
        for (int p = 0; p < trigmod::kKernelPaths; p++) {
            const KernelPath path = static_cast<KernelPath>(p);
            if (!trigmod::path_available(path)) continue;
            if (only != nullptr && std::strcmp(only, trigmod::path_name(path)) != 0) continue;
            const double s = seconds_of(path, c, state, in, count, kernel->chunk, out.data(), rare.data());
            long rare_count = 0;
            for (unsigned char r : rare) rare_count += r;
            if (path == KernelPath::Scalar) {
                reference = out;
                reference_rare = rare;
            } else if (only == nullptr) {
                for (Py_ssize_t k = 0; k < count; k++) {
                    bool same = rare[k] == reference_rare[k] &&
                                (rare[k] || std::memcmp(&out[k], &reference[k], sizeof(double)) == 0);
                    if (!same && mismatches++ < 10) {
                        std::printf("  %s differs from scalar at %.17g: %.17g against %.17g\n",
                                    trigmod::path_name(path), first[k], out[k], reference[k]);
                    }
                }
            }
            std::printf("%-22s %-8s %9.2f %11.3f %6ld\n", c.name, trigmod::path_name(path), s / count * 1e9,
                        s / count * kernel->chunk * 1e3, rare_count);
        }
    }
    Py_FinalizeEx();
    return mismatches == 0 ? 0 : 1;
}
