// The bulk kernels: what f.map() computes without the GIL while calls are
// sealed (sealed.h), element for element the bits the body returns.
//
// prepare() checks, with the GIL held, that the body's result is a pure
// function of its arguments: sealed_world(), a NaN-free pi (an operation on
// two NaNs leaves the choice of NaN to the interpreter), room on the
// recursion guard for the deepest chain of calls a kernel stands for, and
// what sealed_world() does not cover: arcsin calls the module global arctan2
// and arccos the global arcsin, which must be the module's own functions,
// and arctan takes only an exact int iter whose loop never looks at signals.
// It copies pi and the number of Newton steps into the state.
//
// run() computes on one of several paths with the same results (kernels.h):
// the scalar reference, built from the sealed computations themselves, and
// the vector code of kernel_body.h compiled for SSE2 (the x86-64 baseline),
// AVX2 and AVX-512, of which the widest the processor has is taken. The portable
// build (NRT_PORTABLE) compiles the vector code once, with no
// machine-specific instructions.
#include "trig/kernels.h"

#ifdef NRT_PLAIN

// The plain build computes every step on objects and never calls a kernel
// (no function of its own reaches a body with values), so its kernels are
// records without code, and the vector code is not compiled at all.
namespace trigmod {
const nrt::Kernel kSinKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kCosinKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kTanKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kTanRadKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kArctanKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kArctan2Kernel = {2, 1, nullptr, nullptr};
const nrt::Kernel kArcsinKernel = {1, 1, nullptr, nullptr};
const nrt::Kernel kArccosKernel = {1, 1, nullptr, nullptr};
}  // namespace trigmod

#else

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__SSE2__) && !defined(NRT_PORTABLE)
#define TRIG_KERNELS_X86 1
#include <immintrin.h>
#else
#define TRIG_KERNELS_X86 0
#endif

#include "runtime/compat/recursion.h"
#include "runtime/context.h"
#include "runtime/lane.h"
#include "runtime/lookup.h"
#include "runtime/machine.h"
#include "runtime/value.h"
#include "trig/common.h"
#include "trig/environment.h"
#include "trig/functions.h"
#include "trig/sealed.h"
#include "trig/series.h"

namespace trigmod {

namespace kernels {

using nrt::Val;

// What run() takes from prepare().
struct Params {
    double pi;
    std::int64_t steps;  // Newton steps of an arctan call (at least 0)
};
static_assert(sizeof(Params) <= sizeof(nrt::KernelState::bytes), "the state holds the parameters");

using Runner = void (*)(const Params&, const double* const*, Py_ssize_t, double*, unsigned char*) noexcept;

// The steps of the arctan calls that arctan2 makes, its iter's default.
constexpr std::int64_t kDefaultSteps = 20;

// ---- scalar pieces ------------------------------------------------------------
// The sealed computations, for the scalar reference and for the lanes that
// the vector code hands over. Kept out of line, so that they compute in the
// code the rest of the module uses.

[[gnu::noinline]] bool scalar_square(double t, double* square) noexcept {
    return nrt::machine::float_square(t, square);
}

[[gnu::noinline]] bool scalar_tan_rad(double pi, double rad, double* tangent) noexcept {
    return machine_tan_rad(World{pi, nullptr}, rad, tangent);
}

// Angles in degrees from this magnitude on are left to the ordinary call:
// their remainder by 360 takes the C library's fmod up to a microsecond, and
// below it the vector code computes it exactly (kernel_body.h).
constexpr double kLargeAngle = 0x1p50;

inline bool large(double degrees) noexcept { return std::fabs(degrees) >= kLargeAngle && std::isfinite(degrees); }

// sin, cosin, tan and _tan_rad of an exact float.
[[gnu::noinline]] bool scalar_element(int position, const Params& p, double a, double* out) noexcept {
    const World world{p.pi, nullptr};
    const Val angle = Val::of_float(a);
    double sine;
    switch (position) {
        case F_sin: return !large(a) && machine_sine(world, angle, out);
        case F_cosin: return !large(a) && machine_sine(world, angle, &sine) && machine_cosine(angle, sine, out);
        case F_tan: return !large(a) && machine_tan(world, angle, out);
        default: return !large(a * 180.0 / p.pi) && machine_tan_rad(world, a, out);
    }
}

// arctan(x, steps) by running every Newton step, as the body's loop does,
// with no look for a repeat.
bool reference_arctan(const World& world, double x, std::int64_t steps, double* out) noexcept {
    double target = x;
    if (x > 1.0 || x < -1.0) target = 1.0 / x;
    double theta = 0.0;
    for (std::int64_t step = 0; step < steps; step++) {
        if (!machine_newton_step(world, theta, Val::of_float(target), &theta)) return false;
    }
    if (x > 1.0) theta = world.pi / 2.0 - theta;
    else if (x < -1.0) theta = -world.pi / 2.0 - theta;
    *out = theta;
    return true;
}

bool reference_arctan2(const World& world, double x, double y, double* out) noexcept {
    double inner;
    if (x > 0.0) return reference_arctan(world, y / x, kDefaultSteps, out);
    if (x < 0.0 && (y >= 0.0 || y < 0.0)) {
        if (!reference_arctan(world, y / x, kDefaultSteps, &inner)) return false;
        *out = y >= 0.0 ? inner + world.pi : inner - world.pi;
    } else if (x == 0.0 && y > 0.0) {
        *out = world.pi / 2.0;
    } else if (x == 0.0 && y < 0.0) {
        *out = -world.pi / 2.0;
    } else {
        *out = 0.0;
    }
    return true;
}

bool reference_arcsin(const World& world, double x, double* out) noexcept {
    double square;
    if (!nrt::machine::float_square(x, &square)) return false;
    const double difference = 1.0 - square;
    if (!(difference >= 0.0)) return false;  // math.sqrt raises, or is handed a NaN
    return reference_arctan2(world, std::sqrt(difference), x, out);
}

template <int Position>
void run_scalar(const Params& p, const double* const* in, Py_ssize_t n, double* out, unsigned char* rare) noexcept {
    const World world{p.pi, nullptr};
    for (Py_ssize_t k = 0; k < n; k++) {
        const double x = in[0][k];
        bool done;
        switch (Position) {
            case F_arctan: done = reference_arctan(world, x, p.steps, &out[k]); break;
            case F_arctan2: done = reference_arctan2(world, x, in[1][k], &out[k]); break;
            case F_arcsin: done = reference_arcsin(world, x, &out[k]); break;
            case F_arccos:
                done = reference_arcsin(world, x, &out[k]);
                out[k] = world.pi / 2.0 - out[k];
                break;
            default: done = scalar_element(Position, p, x, &out[k]); break;
        }
        if (!done) rare[k] = 1;
    }
}

constexpr Runner kScalarRunners[] = {run_scalar<F_sin>,     run_scalar<F_cosin>,  run_scalar<F_tan>,
                                     run_scalar<F_tan_rad>, run_scalar<F_arctan>, run_scalar<F_arctan2>,
                                     run_scalar<F_arcsin>,  run_scalar<F_arccos>};

// ---- the elements of the Newton family --------------------------------------
// Each element enters with the target of its Newton steps, or with its
// result, or is rare; its estimate then goes through the operations that
// follow the inner arctan call, as the status records them.

enum class NewtonFunction { Arctan, Arctan2, Arcsin, Arccos };

enum : unsigned char {
    kDone = 0,         // the result is there
    kRare = 1,         // left to the ordinary call
    kRun = 2,          // Newton steps, then finish()
    kReflectUp = 4,    // x > 1: pi / 2 - arctan(1 / x)
    kReflectDown = 8,  // x < -1: -pi / 2 - arctan(1 / x)
    kAddPi = 16,       // arctan2 with x < 0 <= y: arctan(y / x) + pi
    kSubtractPi = 32,  // arctan2 with x < 0, y < 0: arctan(y / x) - pi
};

// What no estimate is: the estimate before the first step, never equal to one.
constexpr double kNoEstimate = -std::numeric_limits<double>::quiet_NaN();

// Elements per block of the Newton family: the block keeps its targets and
// statuses on the stack.
constexpr Py_ssize_t kNewtonBlock = 1024;

// The reflection that arctan applies to the estimate of arctan(1 / x).
inline double reflect(const Params& p, unsigned char status, double estimate) noexcept {
    if (status & kReflectUp) return p.pi / 2.0 - estimate;
    if (status & kReflectDown) return -p.pi / 2.0 - estimate;
    return estimate;
}

inline unsigned char arctan_entry(const Params& p, double x, double* target, double* value) noexcept {
    unsigned char status = kRun;
    double inner = x;
    if (x > 1.0) {
        status |= kReflectUp;
        inner = 1.0 / x;
    } else if (x < -1.0) {
        status |= kReflectDown;
        inner = 1.0 / x;
    }
    if (p.steps <= 0) {
        // No step: the estimate stays 0.0, whatever x is, NaN included.
        *value = reflect(p, status, 0.0);
        return kDone;
    }
    if (inner != inner) return kRare;  // the first step gives NaN
    *target = inner;
    return status;
}

inline unsigned char arctan2_entry(const Params& p, double x, double y, double* target, double* value) noexcept {
    if (x > 0.0) return arctan_entry(p, y / x, target, value);
    if (x < 0.0 && (y >= 0.0 || y < 0.0)) {
        const unsigned char status = arctan_entry(p, y / x, target, value);  // never kDone: steps > 0
        return status == kRare ? kRare : status | (y >= 0.0 ? kAddPi : kSubtractPi);
    }
    *value = x == 0.0 && y > 0.0 ? p.pi / 2.0 : x == 0.0 && y < 0.0 ? -p.pi / 2.0 : 0.0;
    return kDone;
}

inline unsigned char arcsin_entry(const Params& p, double x, double* target, double* value) noexcept {
    double square;
    if (!scalar_square(x, &square)) return kRare;
    const double difference = 1.0 - square;
    if (!(difference >= 0.0)) return kRare;
    return arctan2_entry(p, std::sqrt(difference), x, target, value);
}

template <NewtonFunction F>
inline unsigned char enter(const Params& p, const double* const* in, Py_ssize_t k, double* target,
                           double* value) noexcept {
    switch (F) {
        case NewtonFunction::Arctan: return arctan_entry(p, in[0][k], target, value);
        case NewtonFunction::Arctan2: return arctan2_entry(p, in[0][k], in[1][k], target, value);
        case NewtonFunction::Arcsin: return arcsin_entry(p, in[0][k], target, value);
        default: {
            const unsigned char status = arcsin_entry(p, in[0][k], target, value);
            if (status == kDone) *value = p.pi / 2.0 - *value;
            return status;
        }
    }
}

template <NewtonFunction F>
inline double finish(const Params& p, unsigned char status, double estimate) noexcept {
    double v = reflect(p, status, estimate);
    if (status & kAddPi) v = v + p.pi;
    else if (status & kSubtractPi) v = v - p.pi;
    if (F == NewtonFunction::Arccos) v = p.pi / 2.0 - v;
    return v;
}

// ---- the vector code, once per instruction set ------------------------------
// Every function of a region is compiled for its instruction set, so that
// the vector code and its native square root inline into each other; the
// dispatch below runs a region only on a processor that has it.

#if TRIG_KERNELS_X86

namespace sse2 {
constexpr int kWidth = 2;
constexpr int kElementVectors = 4;
constexpr int kNewtonVectors = 4;
typedef double Native __attribute__((vector_size(16)));
inline Native native_sqrt(Native v) noexcept { return (Native)_mm_sqrt_pd((__m128d)v); }
// Bit i set where lane i of a mask (read as doubles: all bits or none) is.
inline std::uint32_t native_bits(Native m) noexcept { return static_cast<std::uint32_t>(_mm_movemask_pd((__m128d)m)); }
constexpr bool kExactSquareError = false;
inline Native native_square_error(Native, Native p) noexcept { return p; }
#include "trig/kernel_body.h"
}  // namespace sse2

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace avx2 {
constexpr int kWidth = 4;
constexpr int kElementVectors = 3;
constexpr int kNewtonVectors = 3;
typedef double Native __attribute__((vector_size(32)));
inline Native native_sqrt(Native v) noexcept { return (Native)_mm256_sqrt_pd((__m256d)v); }
inline std::uint32_t native_bits(Native m) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_pd((__m256d)m));
}
// t * t - p in one rounding, exact for p = t * t: the only fused operation.
constexpr bool kExactSquareError = true;
inline Native native_square_error(Native t, Native p) noexcept {
    return (Native)_mm256_fmsub_pd((__m256d)t, (__m256d)t, (__m256d)p);
}
#include "trig/kernel_body.h"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
#endif
namespace avx512 {
constexpr int kWidth = 8;
constexpr int kElementVectors = 3;
constexpr int kNewtonVectors = 3;
typedef double Native __attribute__((vector_size(64)));
// The masked form: GCC 12 warns of the undefined source of the plain one.
inline Native native_sqrt(Native v) noexcept { return (Native)_mm512_mask_sqrt_pd((__m512d)v, 0xFF, (__m512d)v); }
inline std::uint32_t native_bits(Native m) noexcept { return _mm512_movepi64_mask((__m512i)m); }
constexpr bool kExactSquareError = true;
inline Native native_square_error(Native t, Native p) noexcept {
    return (Native)_mm512_fmsub_pd((__m512d)t, (__m512d)t, (__m512d)p);
}
#include "trig/kernel_body.h"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

namespace portable {
constexpr int kWidth = 2;
constexpr int kElementVectors = 2;
constexpr int kNewtonVectors = 2;
typedef double Native __attribute__((vector_size(16)));
inline Native native_sqrt(Native v) noexcept {
    for (int i = 0; i < kWidth; i++) v[i] = std::sqrt(v[i]);
    return v;
}
inline std::uint32_t native_bits(Native m) noexcept {
    std::uint32_t r = 0;
    for (int i = 0; i < kWidth; i++) r |= static_cast<std::uint32_t>(std::signbit(m[i])) << i;
    return r;
}
constexpr bool kExactSquareError = false;
inline Native native_square_error(Native, Native p) noexcept { return p; }
#include "trig/kernel_body.h"
}  // namespace portable

#endif

const Runner* runners(KernelPath path) noexcept {
    switch (path) {
        case KernelPath::Scalar: return kScalarRunners;
#if TRIG_KERNELS_X86
        case KernelPath::Vector2: return sse2::kRunners;
        case KernelPath::Avx2: return avx2::kRunners;
        case KernelPath::Avx512: return avx512::kRunners;
#else
        case KernelPath::Vector2: return portable::kRunners;
        default: break;
#endif
    }
    return kScalarRunners;
}

KernelPath choose_path() noexcept {
    for (KernelPath path : {KernelPath::Avx512, KernelPath::Avx2}) {
        if (path_available(path)) return path;
    }
    return KernelPath::Vector2;
}

// ---- prepare() and run() ---------------------------------------------------------

// Levels of the recursion guard below the caller's that the deepest chain a
// kernel stands for takes: arccos, arcsin, arctan2, arctan and its
// reflection, then the calls of a Newton step (_tan_rad, cosin, sin,
// math.sqrt); with room to spare.
constexpr int kChainLevels = 16;

void pack(const Params& p, nrt::KernelState* state) noexcept {
    std::memset(state->bytes, 0, sizeof state->bytes);
    std::memcpy(state->bytes, &p, sizeof p);
}

Params unpack(const nrt::KernelState& state) noexcept {
    Params p;
    std::memcpy(&p, state.bytes, sizeof p);
    return p;
}

bool sealed_params(std::int64_t steps, nrt::KernelState* state) noexcept {
    const World* world = sealed_world();
    if (world == nullptr || std::isnan(world->pi)) return false;
    if (nrt::compat::levels_left(PyThreadState_Get()) <= kChainLevels) return false;
    pack(Params{world->pi, steps}, state);
    return true;
}

// Whether the module global `name` is the module's own function at
// `position`, as the bodies read it: from the module dict, found without
// running any code (a dict with other keys than exact strs answers no).
bool own_global(StringId name, FunctionPosition position) noexcept {
    PyObject* key = str(name);
    PyObject* value;
    return nrt::find_names(nrt::context.module_dict, &key, 1, &value) && value != nullptr &&
           nrt::own_function(value) == position;
}

bool prepare_sealed(const Val*, nrt::KernelState* state) noexcept { return sealed_params(kDefaultSteps, state); }

// iter up to 255: a loop of that many steps never reaches the step on which
// the body looks at signals (the 256th). Fewer than one step run none.
bool prepare_arctan(const Val* rest, nrt::KernelState* state) noexcept {
    const Val& iter = rest[0];
    if (iter.kind() != Val::Kind::Int || iter.int_value() >= kSignalSteps) return false;
    return sealed_params(iter.int_value() > 0 ? iter.int_value() : 0, state);
}

bool prepare_arcsin(const Val*, nrt::KernelState* state) noexcept {
    return own_global(S_arctan2, F_arctan2) && sealed_params(kDefaultSteps, state);
}

bool prepare_arccos(const Val*, nrt::KernelState* state) noexcept {
    return own_global(S_arcsin, F_arcsin) && own_global(S_arctan2, F_arctan2) &&
           sealed_params(kDefaultSteps, state);
}

template <int Position>
void run(const nrt::KernelState& state, const double* const* in, Py_ssize_t n, double* out,
         unsigned char* rare) noexcept {
    runners(chosen_path())[Position](unpack(state), in, n, out, rare);
}

// Elements per chunk: at most about a millisecond of run() on AVX-512
// (bench/kernels.cpp measures it). The sine family takes 3 to 4 ns an
// element (0.25 ms a chunk), 15 where every lane goes to the scalar code
// (infinities); the Newton family about 100 ns at 20 steps (0.2 ms), and up
// to 2 us where arctan's iter of 255 runs every step.
constexpr Py_ssize_t kSineChunk = 65536;
constexpr Py_ssize_t kNewtonChunk = 2048;
constexpr Py_ssize_t kArctanChunk = 512;

}  // namespace kernels

const nrt::Kernel kSinKernel = {1, kernels::kSineChunk, kernels::prepare_sealed, kernels::run<F_sin>};
const nrt::Kernel kCosinKernel = {1, kernels::kSineChunk, kernels::prepare_sealed, kernels::run<F_cosin>};
const nrt::Kernel kTanKernel = {1, kernels::kSineChunk, kernels::prepare_sealed, kernels::run<F_tan>};
const nrt::Kernel kTanRadKernel = {1, kernels::kSineChunk, kernels::prepare_sealed, kernels::run<F_tan_rad>};
const nrt::Kernel kArctanKernel = {1, kernels::kArctanChunk, kernels::prepare_arctan, kernels::run<F_arctan>};
const nrt::Kernel kArctan2Kernel = {2, kernels::kNewtonChunk, kernels::prepare_sealed, kernels::run<F_arctan2>};
const nrt::Kernel kArcsinKernel = {1, kernels::kNewtonChunk, kernels::prepare_arcsin, kernels::run<F_arcsin>};
const nrt::Kernel kArccosKernel = {1, kernels::kNewtonChunk, kernels::prepare_arccos, kernels::run<F_arccos>};

const char* path_name(KernelPath path) noexcept {
    switch (path) {
        case KernelPath::Scalar: return "scalar";
        case KernelPath::Vector2: return TRIG_KERNELS_X86 ? "sse2" : "vector2";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Avx512: return "avx512";
    }
    return "?";
}

bool path_available(KernelPath path) noexcept {
    switch (path) {
        case KernelPath::Scalar:
        case KernelPath::Vector2: return true;
#if TRIG_KERNELS_X86
        case KernelPath::Avx2:
            // Its code also computes a square's error with a fused multiply-add.
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelPath::Avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
        default: return false;
#endif
    }
    return false;
}

// Asked again at each chunk, which costs a few tests of flags that libgcc
// sets at load time: a function-local static would make the module need the
// C++ runtime for its guard.
KernelPath chosen_path() noexcept { return kernels::choose_path(); }

void run_on_path(KernelPath path, int position, const nrt::KernelState& state, const double* const* in,
                 Py_ssize_t n, double* out, unsigned char* rare) noexcept {
    kernels::runners(path)[position](kernels::unpack(state), in, n, out, rare);
}

}  // namespace trigmod

#endif
