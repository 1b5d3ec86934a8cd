// The bulk computations of the module's functions on vectors of doubles,
// written once and compiled once per instruction set: kernels.cpp includes
// this file (it has no include guard) inside a namespace of its own for each
// one, within a region that compiles every function for that instruction
// set. Before it, the namespace declares what differs between them:
//   kWidth               lanes of a machine vector
//   Native               a vector of kWidth doubles
//   native_sqrt(v)       the square root of each lane
//   native_bits(m)       bit i set where lane i of a mask (read as doubles) is
//   kExactSquareError,   whether native_square_error(t, p) gives t * t - p in
//   native_square_error  one rounding (a fused multiply-subtract)
//   kElementVectors,     vectors per block (see below) of the sine family
//   kNewtonVectors       and of the Newton family
// and kernels.cpp gives the scalar pieces and the Newton elements' entries.
//
// Method. Each lane computes what the sealed computation (sealed.h) computes
// for its element, operation by operation: IEEE addition, subtraction,
// multiplication, division and square root give the same bits in a vector
// lane as in a scalar register, the build forbids contraction into fused
// multiply-adds, and nothing is reordered or rewritten. Where the scalar code
// branches, a lane computes both sides and keeps the one its own comparison
// picks; where a loop runs to a lane's own condition (the terms of the sine
// series, the Newton steps), the lane freezes when its condition ends it
// while the others go on. A block is a few vectors used as one, so that the
// long chains of divisions of independent elements overlap. Two values are
// found otherwise than the scalar code finds them, provably the same: the
// remainder by 360, exactly without fmod (remainder_360), and 1 + t ** 2
// without pow where pow's answer cannot change it (one_plus_square).
//
// The Newton family (arctan, arctan2, arcsin, arccos) keeps every lane busy:
// a lane whose element is done takes the next one, so a block never waits
// for its slowest element. An element is done after its last step, on a
// failed step, or once its estimate repeats the one before (a fixed point:
// every later step gives it again) or the one before that (a cycle of two:
// the later steps alternate, and the parity of the steps left says which
// one the last step gives). Both follow from each step being a function of
// the estimate alone, as it is while the call is sealed; longer cycles just
// run to the last step, which gives the same.
//
// Limits. Odd lanes are handed to the scalar computations, which give the
// sealed path's answer or say there is none: angles of magnitude 2**50 and
// beyond (left to the ordinary call when finite), a sine series that
// outruns its table of denominators, angles in no quadrant, a negative
// 1 - sin**2, a zero cosine, and squares that pow might not round as the
// product does. An element without an answer there is left to the ordinary
// call: rare.

typedef std::int64_t NativeMask __attribute__((vector_size(sizeof(Native))));

// Every piece inlines into the loops of a kernel, which keep the vectors of a
// block in registers.
#define TRIG_INLINE [[gnu::always_inline]] inline

// Straight-line code over the vectors of a block.
#define TRIG_EACH _Pragma("GCC unroll 16") for (int u = 0; u < U; u++)

// U vectors used as one of U * kWidth lanes.
template <int U>
struct Vec {
    Native v[U];
    double operator[](int lane) const noexcept { return v[lane / kWidth][lane % kWidth]; }
    void set(int lane, double value) noexcept { v[lane / kWidth][lane % kWidth] = value; }
};

// Lanes where a comparison held: all bits set, or none.
template <int U>
struct Mask {
    NativeMask v[U];
    bool operator[](int lane) const noexcept { return v[lane / kWidth][lane % kWidth] != 0; }
    void set(int lane, bool value) noexcept { v[lane / kWidth][lane % kWidth] = value ? -1 : 0; }
};

template <int U>
TRIG_INLINE Vec<U> splat(double x) noexcept {
    Native n;
    for (int i = 0; i < kWidth; i++) n[i] = x;
    Vec<U> r;
    TRIG_EACH { r.v[u] = n; }
    return r;
}

template <int U>
TRIG_INLINE Mask<U> bits(std::int64_t m) noexcept {
    NativeMask n;
    for (int i = 0; i < kWidth; i++) n[i] = m;
    Mask<U> r;
    TRIG_EACH { r.v[u] = n; }
    return r;
}

#define TRIG_ARITHMETIC(op)                                                                         \
    template <int U>                                                                                \
    TRIG_INLINE Vec<U> operator op(const Vec<U>& a, const Vec<U>& b) noexcept {                     \
        Vec<U> r;                                                                                   \
        TRIG_EACH { r.v[u] = a.v[u] op b.v[u]; }                                                    \
        return r;                                                                                   \
    }                                                                                               \
    template <int U>                                                                                \
    TRIG_INLINE Vec<U> operator op(const Vec<U>& a, double b) noexcept { return a op splat<U>(b); } \
    template <int U>                                                                                \
    TRIG_INLINE Vec<U> operator op(double a, const Vec<U>& b) noexcept { return splat<U>(a) op b; }
TRIG_ARITHMETIC(+)
TRIG_ARITHMETIC(-)
TRIG_ARITHMETIC(*)
TRIG_ARITHMETIC(/)
#undef TRIG_ARITHMETIC

// Comparisons as the scalar ones: false wherever a NaN is compared, but !=.
#define TRIG_COMPARISON(op)                                                                          \
    template <int U>                                                                                 \
    TRIG_INLINE Mask<U> operator op(const Vec<U>& a, const Vec<U>& b) noexcept {                     \
        Mask<U> r;                                                                                   \
        TRIG_EACH { r.v[u] = a.v[u] op b.v[u]; }                                                     \
        return r;                                                                                    \
    }                                                                                                \
    template <int U>                                                                                 \
    TRIG_INLINE Mask<U> operator op(const Vec<U>& a, double b) noexcept { return a op splat<U>(b); }
TRIG_COMPARISON(<)
TRIG_COMPARISON(<=)
TRIG_COMPARISON(>)
TRIG_COMPARISON(>=)
TRIG_COMPARISON(==)
TRIG_COMPARISON(!=)
#undef TRIG_COMPARISON

#define TRIG_LOGIC(op)                                                             \
    template <int U>                                                               \
    TRIG_INLINE Mask<U> operator op(const Mask<U>& a, const Mask<U>& b) noexcept { \
        Mask<U> r;                                                                 \
        TRIG_EACH { r.v[u] = a.v[u] op b.v[u]; }                                   \
        return r;                                                                  \
    }
TRIG_LOGIC(&)
TRIG_LOGIC(|)
#undef TRIG_LOGIC

// Negation flips the sign bit, NaN's too, as a scalar -x does.
template <int U>
TRIG_INLINE Vec<U> operator-(const Vec<U>& a) noexcept {
    Vec<U> r;
    TRIG_EACH { r.v[u] = -a.v[u]; }
    return r;
}

template <int U>
TRIG_INLINE Mask<U> operator~(const Mask<U>& a) noexcept {
    Mask<U> r;
    TRIG_EACH { r.v[u] = ~a.v[u]; }
    return r;
}

// Bit i set where lane i is.
template <int U>
TRIG_INLINE std::uint32_t lane_bits(const Mask<U>& m) noexcept {
    static_assert(U * kWidth <= 32, "a block's lanes fit a word");
    std::uint32_t r = 0;
    TRIG_EACH { r |= native_bits((Native)m.v[u]) << (u * kWidth); }
    return r;
}

template <int U>
TRIG_INLINE bool any(const Mask<U>& m) noexcept {
    NativeMask all = m.v[0];
    for (int u = 1; u < U; u++) all |= m.v[u];
    return native_bits((Native)all) != 0;
}

// m ? a : b, lane by lane.
template <int U>
TRIG_INLINE Vec<U> select(const Mask<U>& m, const Vec<U>& a, const Vec<U>& b) noexcept {
    Vec<U> r;
    TRIG_EACH { r.v[u] = (Native)((m.v[u] & (NativeMask)a.v[u]) | (~m.v[u] & (NativeMask)b.v[u])); }
    return r;
}

template <int U>
TRIG_INLINE Vec<U> select(const Mask<U>& m, double a, const Vec<U>& b) noexcept {
    return select(m, splat<U>(a), b);
}

constexpr std::int64_t kSignBit = INT64_MIN;

template <int U>
TRIG_INLINE Vec<U> with_bits(const Vec<U>& a, const Mask<U>& m) noexcept {
    Vec<U> r;
    TRIG_EACH { r.v[u] = (Native)((NativeMask)a.v[u] & m.v[u]); }
    return r;
}

template <int U>
TRIG_INLINE Vec<U> abs(const Vec<U>& a) noexcept { return with_bits(a, bits<U>(~kSignBit)); }

// The magnitude of `magnitude` (sign bit clear) with the sign of `sign`.
template <int U>
TRIG_INLINE Vec<U> copysign(const Vec<U>& magnitude, const Vec<U>& sign) noexcept {
    Vec<U> r;
    TRIG_EACH { r.v[u] = (Native)((NativeMask)magnitude.v[u] | ((NativeMask)sign.v[u] & kSignBit)); }
    return r;
}

template <int U>
TRIG_INLINE Mask<U> same_bits(const Vec<U>& a, const Vec<U>& b) noexcept {
    Mask<U> r;
    TRIG_EACH { r.v[u] = (NativeMask)a.v[u] == (NativeMask)b.v[u]; }
    return r;
}

template <int U>
TRIG_INLINE Vec<U> sqrt(const Vec<U>& a) noexcept {
    Vec<U> r;
    TRIG_EACH { r.v[u] = native_sqrt(a.v[u]); }
    return r;
}

// Up to U * kWidth values; lanes beyond `count` hold 0.0.
template <int U>
TRIG_INLINE Vec<U> load(const double* p, int count) noexcept {
    Vec<U> r;
    if (count == U * kWidth) {
        std::memcpy(&r, p, sizeof r);
        return r;
    }
    r = splat<U>(0.0);
    for (int i = 0; i < count; i++) r.set(i, p[i]);
    return r;
}

template <int U>
TRIG_INLINE void store(double* p, const Vec<U>& a, int count) noexcept {
    if (count == U * kWidth) {
        std::memcpy(p, &a, sizeof a);
        return;
    }
    for (int i = 0; i < count; i++) p[i] = a[i];
}

// ---- the sine family --------------------------------------------------------

// Python's float a % 360 (nrt::machine::float_remainder). Lanes of magnitude
// 2**50 (kLargeAngle) or more, or NaN, are added to `slow`.
//
// Method: for 360 <= |a| < 2**50, fmod(|a|, 360) = |a| - 360 n exactly, with
// n = floor(|a| / 360). The quotient rounds to nearest, and its floor is
// still n: were |a| below 360 m for the integer m it rounds up to, it would
// lie at least ulp(|a|) >= 256 ulp(m) below (360 m is on |a|'s grid), so the
// exact quotient at least 0.7 ulp(m) below m, which rounds below m. 360 n is
// exact below 2**53, and |a| - 360 n exact by Sterbenz's lemma (360 n lies
// within a factor of two of |a|). fmod keeps the sign of a; Python then
// moves a non-zero remainder to the divisor's sign (a rounded addition of
// 360) and makes a zero one +0.0.
template <int U>
TRIG_INLINE Vec<U> remainder_360(const Vec<U>& a, Mask<U>& slow) noexcept {
    const Vec<U> magnitude = abs(a);
    slow = slow | ~(magnitude < kLargeAngle);
    const Vec<U> quotient = magnitude / 360.0;
    Vec<U> whole = (quotient + 0x1p52) - 0x1p52;  // nearest integer: the quotient is below 2**42
    whole = select(whole > quotient, whole - 1.0, whole);
    const Vec<U> rest = select(magnitude < 360.0, magnitude, magnitude - whole * 360.0);
    const Vec<U> mod = copysign(rest, a);
    return select(mod == 0.0, 0.0, select(mod < 0.0, mod + 360.0, mod));
}

// a % 360 where |a| < 360, the only angles a Newton step meets from its
// estimates within -pi..pi: the angle itself, moved up by 360 when negative,
// +0.0 for a zero. Other lanes, NaN included, are added to `slow`.
template <int U>
TRIG_INLINE Vec<U> small_remainder_360(const Vec<U>& a, Mask<U>& slow) noexcept {
    slow = slow | ~(abs(a) < 360.0);
    return select(a == 0.0, 0.0, select(a < 0.0, a + 360.0, a));
}

// The Maclaurin series of sin (trig/series.h) to each lane's own last term:
// a lane stops adding once its term is no longer above the tolerance. Lanes
// that would need more steps than the table has are added to `slow`.
template <int U>
TRIG_INLINE Vec<U> series(const Vec<U>& x, Mask<U>& slow) noexcept {
    const Vec<U> numerator = (-x) * x;
    Vec<U> term = x;
    Vec<U> result = splat<U>(0.0);
    Mask<U> active = abs(term) > kTolerance;
    // table_series runs its steps in pairs: kTableSteps - 1 of them.
    constexpr int kSteps = static_cast<int>(kTableSteps / 2 * 2);
    for (int i = 1; i <= kSteps && any(active); i++) {
        result = select(active, result + term, result);
        // A stopped lane's term goes on changing, unread.
        term = term * (numerator / kDenominators[i]);
        active = active & (abs(term) > kTolerance);
    }
    slow = slow | active;
    return result;
}

// sin from the remainder by 360 (as sin reduces it): the reflection into
// -90..90, radians with pi, the series.
template <int U>
TRIG_INLINE Vec<U> sine_of(double pi, const Vec<U>& remainder, Mask<U>& slow) noexcept {
    Vec<U> r = select(remainder >= 180.0, remainder - 360.0, remainder);
    r = select(r > 90.0, 180.0 - r, select(r < -90.0, -180.0 - r, r));
    return series(r * pi / 180.0, slow);
}

// cosin from the remainder and the sine: sqrt(1 - sin * sin), negated by -1
// outside the first and fourth quadrants. A remainder by 360 lies in 0..360
// or is NaN, so cosin's quadrant tests come down to a < 90 or a >= 270 (the
// first or fourth) and NaN (none: UnboundLocalError). NaN and a negative
// difference (math.sqrt raises) are added to `slow`.
template <int U>
TRIG_INLINE Vec<U> cosine_of(const Vec<U>& remainder, const Vec<U>& sine, Mask<U>& slow) noexcept {
    const Vec<U>& a = remainder;
    const Mask<U> first_or_fourth = (a < 90.0) | (a >= 270.0);
    const Vec<U> difference = 1.0 - sine * sine;
    slow = slow | ~((a == a) & (difference >= 0.0));
    const Vec<U> root = sqrt(difference);
    return select(first_or_fourth, root, -1.0 * root);
}

enum class Elementwise { Sin, Cosin, Tan, TanRad };

template <Elementwise F, int U>
TRIG_INLINE Vec<U> elementwise_lanes(double pi, const Vec<U>& input, Mask<U>& slow) noexcept {
    Vec<U> degrees = input;
    if constexpr (F == Elementwise::TanRad) degrees = input * 180.0 / pi;  // NaN is slow below
    const Vec<U> remainder = remainder_360(degrees, slow);
    const Vec<U> sine = sine_of(pi, remainder, slow);
    if constexpr (F == Elementwise::Sin) {
        return sine;
    } else {
        const Vec<U> cosine = cosine_of(remainder, sine, slow);
        if constexpr (F == Elementwise::Cosin) return cosine;
        slow = slow | (cosine == 0.0);  // ZeroDivisionError
        return sine / cosine;
    }
}

template <Elementwise F>
void run_elementwise(const Params& p, const double* const* in, Py_ssize_t n, double* out,
                     unsigned char* rare) noexcept {
    constexpr int U = kElementVectors;
    constexpr int kLanes = U * kWidth;
    constexpr int kPosition = F == Elementwise::Sin     ? F_sin
                              : F == Elementwise::Cosin ? F_cosin
                              : F == Elementwise::Tan   ? F_tan
                                                        : F_tan_rad;
    const double* a = in[0];
    for (Py_ssize_t base = 0; base < n; base += kLanes) {
        const int count = n - base < kLanes ? static_cast<int>(n - base) : kLanes;
        Mask<U> slow = bits<U>(0);
        const Vec<U> result = elementwise_lanes<F>(p.pi, load<U>(a + base, count), slow);
        store(out + base, result, count);
        for (std::uint32_t b = lane_bits(slow); b != 0; b &= b - 1) {
            const int i = __builtin_ctz(b);
            if (i < count && !scalar_element(kPosition, p, a[base + i], &out[base + i])) rare[base + i] = 1;
        }
    }
}

// ---- the Newton family -------------------------------------------------------

// The rounding error of product = t * t, exactly: it is a double while the
// product lies from 2**-822 to 2**877, where no partial product of Dekker's
// splitting overflows or underflows either. One fused multiply-subtract
// where the instruction set has one (it rounds nothing here; float_square
// uses one too), the splitting elsewhere.
template <int U>
TRIG_INLINE Vec<U> square_error(const Vec<U>& t, const Vec<U>& product) noexcept {
    Vec<U> r;
    if constexpr (kExactSquareError) {
        TRIG_EACH { r.v[u] = native_square_error(t.v[u], product.v[u]); }
    } else {
        const Vec<U> scaled = t * 134217729.0;  // 2**27 + 1
        const Vec<U> high = scaled - (scaled - t);
        const Vec<U> low = t - high;
        r = ((high * high - product) + (high * low + high * low)) + low * low;
    }
    return r;
}

// 1 + t ** 2 as the Newton step computes it: Python's t ** 2 is
// float_square(t), the product t * t where that is provably the C library's
// pow(t, 2.0), pow itself elsewhere. Where float_square trusts the library
// (glibc: pow within 0.54 ulp of the exact square), the product is pow's
// answer if it lies within 0.45 ulp of the exact square, is no power of two,
// and has a biased exponent from 201 to 1899.
//
// Beyond 0.45 ulp (up to the 0.5 of any product) pow may give the product
// or its neighbour on the side of the exact square, and no other double
// within one ulp: where 1 + either rounds to the same sum, that sum is the
// answer whichever pow gives, and pow is not called. (A neighbour that is a
// power of two has a nearer double beyond it, so pow is called then.)
// Live lanes that overflow are added to `fail`.
template <int U>
TRIG_INLINE Vec<U> one_plus_square(const Vec<U>& t, const Mask<U>& live, Mask<U>& fail) noexcept {
    const Vec<U> product = t * t;
    Vec<U> sum = 1.0 + product;
    Mask<U> known = bits<U>(0);  // zero and one go to float_square, which knows them
#if defined(__GLIBC__)
    const Vec<U> error = square_error(t, product);
    const Vec<U> binade = with_bits(product, bits<U>(0x7FF0000000000000));  // 2**exponent
    const Vec<U> ulp = binade * 0x1p-52;
    // Biased exponent 201..1899, as float_square tests it.
    const Mask<U> trusted = (product >= 0x1p-822) & (product < 0x1p877) & (product != binade);
    const Vec<U> neighbour = product + copysign(ulp, error);
    const Mask<U> power_of_two = neighbour == with_bits(neighbour, bits<U>(0x7FF0000000000000));
    const Mask<U> same_sum = same_bits(1.0 + neighbour, sum) & ~power_of_two;
    known = known | (trusted & ((abs(error) <= 0.45 * ulp) | same_sum));
#endif
    for (std::uint32_t b = lane_bits(live & ~known & ~fail); b != 0; b &= b - 1) {
        const int i = __builtin_ctz(b);
        double square;
        if (scalar_square(t[i], &square)) sum.set(i, 1.0 + square);
        else fail.set(i, true);
    }
    return sum;
}

// One Newton step of arctan from theta towards x for every lane:
// theta - (t - x) / (1 + t ** 2), with t = _tan_rad(theta) taken once for
// both of the step's calls (machine_newton_step). Live lanes whose step the
// sealed path cannot take are added to `fail`.
template <int U>
TRIG_INLINE Vec<U> newton_step(const Params& p, const Vec<U>& theta, const Vec<U>& x, const Mask<U>& live,
                               Mask<U>& fail) noexcept {
    Mask<U> slow = bits<U>(0);
    const Vec<U> degrees = theta * 180.0 / p.pi;
    const Vec<U> remainder = small_remainder_360(degrees, slow);
    const Vec<U> sine = sine_of(p.pi, remainder, slow);
    const Vec<U> cosine = cosine_of(remainder, sine, slow);
    slow = slow | (cosine == 0.0);
    Vec<U> t = sine / cosine;
    for (std::uint32_t b = lane_bits(slow & live); b != 0; b &= b - 1) {
        const int i = __builtin_ctz(b);
        double value;
        if (scalar_tan_rad(p.pi, theta[i], &value)) t.set(i, value);
        else fail.set(i, true);
    }
    const Vec<U> difference = t - x;
    const Vec<U> denominator = one_plus_square(t, live, fail);
    const Vec<U> next = theta - difference / denominator;
    fail = fail | (live & (next != next));
    return next;
}

// The Newton steps of every element of a block whose status has kRun: its
// estimate goes to estimate[k], or its status becomes kRare. Each lane takes
// the next such element as soon as its own is done.
template <int U>
struct NewtonLanes {
    static constexpr int kLanes = U * kWidth;

    const double* target;
    unsigned char* status;
    double* estimate;
    Py_ssize_t count;
    double total;  // steps of an element
    Py_ssize_t next = 0;
    Py_ssize_t element[kLanes] = {};

    // Gives `lane` the next element to run, or leaves it idle on 0.0 (whose
    // steps need nothing of the scalar code).
    void feed(int lane, Vec<U>& x, Vec<U>& theta, Vec<U>& previous, Vec<U>& steps, Mask<U>& live) noexcept {
        while (next < count && !(status[next] & kRun)) next++;
        const bool found = next < count;
        element[lane] = found ? next++ : -1;
        x.set(lane, found ? target[element[lane]] : 0.0);
        theta.set(lane, 0.0);
        previous.set(lane, kNoEstimate);
        steps.set(lane, 0.0);
        live.set(lane, found);
    }

    void run(const Params& p) noexcept {
        // theta is the estimate after `steps` steps, previous the one before.
        Vec<U> x = splat<U>(0.0), theta = x, previous = x, steps = x;
        Mask<U> live = bits<U>(0);
        for (int lane = 0; lane < kLanes; lane++) feed(lane, x, theta, previous, steps, live);
        while (any(live)) {
            Mask<U> fail = bits<U>(0);
            const Vec<U> after = newton_step(p, theta, x, live, fail);
            steps = steps + 1.0;
            const Mask<U> fixed = same_bits(after, theta);
            const Mask<U> cycle = same_bits(after, previous);
            const Mask<U> done = live & (fail | fixed | cycle | (steps == total));
            previous = theta;
            theta = after;
            for (std::uint32_t b = lane_bits(done); b != 0; b &= b - 1) {
                const int lane = __builtin_ctz(b);
                const Py_ssize_t k = element[lane];
                if (fail[lane]) {
                    status[k] = kRare;
                } else {
                    // A fixed point: every later estimate is this one. A
                    // cycle of two: the later estimates alternate, and an
                    // odd number of steps left ends on the one before.
                    const bool odd = (static_cast<std::int64_t>(total - steps[lane]) & 1) != 0;
                    estimate[k] = cycle[lane] && odd ? previous[lane] : theta[lane];
                }
                feed(lane, x, theta, previous, steps, live);
            }
        }
    }
};

template <NewtonFunction F>
void run_newton(const Params& p, const double* const* in, Py_ssize_t n, double* out, unsigned char* rare) noexcept {
    double target[kNewtonBlock];
    unsigned char status[kNewtonBlock];
    for (Py_ssize_t base = 0; base < n; base += kNewtonBlock) {
        const Py_ssize_t count = n - base < kNewtonBlock ? n - base : kNewtonBlock;
        for (Py_ssize_t j = 0; j < count; j++) status[j] = enter<F>(p, in, base + j, &target[j], &out[base + j]);
        NewtonLanes<kNewtonVectors> lanes{target, status, out + base, count, static_cast<double>(p.steps)};
        lanes.run(p);
        for (Py_ssize_t j = 0; j < count; j++) {
            if (status[j] == kRare) rare[base + j] = 1;
            else if (status[j] & kRun) out[base + j] = finish<F>(p, status[j], out[base + j]);
        }
    }
}

inline constexpr Runner kRunners[] = {
    run_elementwise<Elementwise::Sin>,    run_elementwise<Elementwise::Cosin>,
    run_elementwise<Elementwise::Tan>,    run_elementwise<Elementwise::TanRad>,
    run_newton<NewtonFunction::Arctan>,   run_newton<NewtonFunction::Arctan2>,
    run_newton<NewtonFunction::Arcsin>,   run_newton<NewtonFunction::Arccos>,
};
static_assert(sizeof kRunners / sizeof kRunners[0] == kFunctionCount, "one runner per function");

#undef TRIG_EACH
#undef TRIG_INLINE
