// The bulk kernels of the module's functions (runtime/kernel.h), and a way
// for tests and benchmarks to run one on a chosen instruction set.
#pragma once

#include <Python.h>

#include "runtime/kernel.h"

namespace trigmod {

extern const nrt::Kernel kSinKernel;
extern const nrt::Kernel kCosinKernel;
extern const nrt::Kernel kTanKernel;
extern const nrt::Kernel kTanRadKernel;
extern const nrt::Kernel kArctanKernel;
extern const nrt::Kernel kArctan2Kernel;
extern const nrt::Kernel kArcsinKernel;
extern const nrt::Kernel kArccosKernel;

// The ways a kernel can compute, all with the same results: the scalar
// reference (the sealed computations element by element, every Newton step
// run), and vectors of two lanes (SSE2, or whatever the compiler makes of
// them where it may use no machine-specific instructions), four (AVX2) and
// eight (AVX-512F with DQ). run() takes the widest one available.
enum class KernelPath { Scalar, Vector2, Avx2, Avx512 };
constexpr int kKernelPaths = 4;

const char* path_name(KernelPath path) noexcept;
// Whether this build has the path and this processor can run it.
bool path_available(KernelPath path) noexcept;
// The path that run() takes.
KernelPath chosen_path() noexcept;
// run() of the kernel of the function at `position` (a FunctionPosition), on
// `path`, which must be available.
void run_on_path(KernelPath path, int position, const nrt::KernelState& state, const double* const* in,
                 Py_ssize_t n, double* out, unsigned char* rare) noexcept;

}  // namespace trigmod
