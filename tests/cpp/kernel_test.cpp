// The bulk kernels against the function bodies. On every path this machine
// has, run() must give the bits that the body, called through the lane,
// returns for each element, leave to the ordinary call every element where
// the body raises, and leave exactly the elements that the scalar reference
// leaves (the sealed computations, every Newton step run).
#include <Python.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/lane.h"
#include "trig/functions.h"
#include "trig/kernels.h"
#include "trig_module.h"

namespace {

using nrt::Val;
using trigmod::KernelPath;

double from_bits(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Values that take the odd turns: zeros, NaNs with payloads, infinities,
// subnormals, the ends of the vector remainder (2**50), angles on and next
// to the quadrant bounds and the poles, ratios next to +-1.
std::vector<double> special_values() {
    std::vector<double> v = {0.0, -0.0, from_bits(0x7FF8000000000000), from_bits(0xFFF8000000000123),
                             from_bits(0x7FF0000000000001), HUGE_VAL, -HUGE_VAL, 5e-324, -5e-324,
                             2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e-20,
                             -5e-17, 1e-15, 1e-5, 0.5, -2.0, 1e300, -1e300, 0x1p50, -0x1p50, 0x1p53, 1e16,
                             360.0 * 0x1p40, 4.0 * 1.5707963267948966, 1.5707963267948966};
    for (double edge : {0x1p50, 1.0, -1.0, 90.0, -90.0, 180.0, 270.0, 360.0, -360.0, 1.5707963267948966,
                        -1.5707963267948966, 4.71238898038469, 360.0 * 3, 360.0 * 12345, -360.0 * 0x1p20,
                        360.0 * (0x1p30 + 1), 360.0 * (0x1p40 - 3), 360.0 * 0x1p41}) {
        v.push_back(edge);
        v.push_back(std::nextafter(edge, HUGE_VAL));
        v.push_back(std::nextafter(edge, -HUGE_VAL));
    }
    return v;
}

// Which elements a kernel may leave although the body computes them.
enum class Leaves {
    Raising,  // only those where the body raises
    Odd,      // those with a NaN input (math.sqrt or a step gives NaN) or an
              // angle of 2**50 degrees or more (fmod is slow there) too
    Any,      // any the scalar reference leaves (a pi that outruns the series table)
};

bool odd_input(int position, double a, double b) {
    const double degrees = position == trigmod::F_tan_rad ? a * 180.0 / 3.141592653589793 : a;
    const bool angle = position <= trigmod::F_tan_rad && std::isfinite(degrees) && std::fabs(degrees) >= 0x1p50;
    return std::isnan(a) || std::isnan(b) || angle;
}

struct Set {
    std::string name;
    std::vector<double> a, b;  // b: arctan2's second input
    bool ints = false;         // the body is given exact ints
    Leaves leaves = Leaves::Raising;
    double pi = 0.0;           // constants.pi while the set runs, if not 0
};

std::vector<Set> input_sets(int position) {
    std::mt19937_64 random(position + 31);
    auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    // Below 2**44 radians, 2**50 degrees.
    auto any_size = [&] { return std::ldexp(uniform(-1, 1), static_cast<int>(uniform(-40, 44))); };
    const bool degrees = position <= trigmod::F_tan;
    const bool pairs = position == trigmod::F_arctan2;
    std::vector<Set> sets;

    Set r{"random", {}, {}, false, Leaves::Raising};
    for (int k = 0; k < 3001; k++) {
        double x = k % 4 == 3 ? any_size()
                   : degrees ? uniform(-720, 720)
                   : position == trigmod::F_tan_rad ? uniform(-7, 7)
                   : k % 4 == 2 ? 1 / uniform(-1, 1)
                               : uniform(-1, 1);
        r.a.push_back(x);
        r.b.push_back(k % 4 == 3 ? any_size() : uniform(-1, 1));
    }
    sets.push_back(r);

    Set s{"special", {}, {}, false, Leaves::Odd};
    const std::vector<double> special = special_values();
    for (double x : special) {
        for (double y : pairs ? special : std::vector<double>{0.0}) {
            s.a.push_back(x);
            s.b.push_back(y);
        }
    }
    sets.push_back(s);

    Set n{"ints", {}, {}, true, Leaves::Odd};
    for (double x : {0.0, 1.0, -1.0, 2.0, 45.0, 89.0, 90.0, 91.0, 180.0, 270.0, -90.0, 360.0, -360.0, 1e15,
                     0x1p53, -0x1p53, 0x1p53 - 1, 0x1p52 + 1}) {
        n.a.push_back(x);
        n.b.push_back(pairs ? n.a[(n.a.size() * 7) % n.a.size()] : 0.0);
    }
    for (int k = 0; k < 200; k++) {
        n.a.push_back(std::trunc(k % 2 ? uniform(-1e6, 1e6) : uniform(-0x1p53, 0x1p53)));
        n.b.push_back(std::trunc(uniform(-5, 5)));
    }
    sets.push_back(n);

    // A pi of 20 takes the sine series beyond its table.
    Set p{"pi 20", r.a, r.b, false, Leaves::Any, 20.0};
    p.a.resize(500);
    p.b.resize(500);
    sets.push_back(p);
    return sets;
}

const nrt::Kernel& kernel_of(int position) { return *nrt::lanes.entries[position].kernel; }

// What the body returns through the lane: the result, or raised.
bool body(int position, double a, double b, bool ints, long iter, double* result) {
    auto value = [ints](double v) { return ints ? Val::of_int(static_cast<std::int64_t>(v)) : Val::of_float(v); };
    const Val args[2] = {value(a), position == trigmod::F_arctan ? Val::of_int(iter) : value(b)};
    const int count = position == trigmod::F_arctan || position == trigmod::F_arctan2 ? 2 : 1;
    Val r = nrt::lanes.entries[position].call(args, count);
    if (!r) {
        PyErr_Clear();
        return false;
    }
    EXPECT_EQ(r.kind(), Val::Kind::Float);
    *result = r.float_value();
    return true;
}

class Kernels : public ::testing::TestWithParam<std::tuple<int, KernelPath>> {
protected:
    void SetUp() override {
        ASSERT_NE(trig_module(), nullptr);
        // Sealed calls need math.sqrt in algebra (another suite binds its own).
        algebra_ = PyDict_GetItemString(PyModule_GetDict(trig_module()), "algebra");
        saved_sqrt_ = PyObject_GetAttrString(algebra_, "sqrt");
        PyObject* math = PyImport_ImportModule("math");
        PyObject* sqrt = PyObject_GetAttrString(math, "sqrt");
        ASSERT_EQ(PyObject_SetAttrString(algebra_, "sqrt", sqrt), 0);
        Py_DECREF(sqrt);
        Py_DECREF(math);
    }
    void TearDown() override {
        PyObject_SetAttrString(algebra_, "sqrt", saved_sqrt_);
        Py_CLEAR(saved_sqrt_);
    }

    // run() on `path`, without the GIL: it must not need it.
    static void run(KernelPath path, int position, long iter, const Set& set, std::vector<double>& out,
                    std::vector<unsigned char>& rare) {
        const Val rest[1] = {Val::of_int(iter)};
        nrt::KernelState state;
        ASSERT_TRUE(kernel_of(position).prepare(rest, &state));
        out.assign(set.a.size(), 0.0);
        rare.assign(set.a.size(), 0);
        const double* in[2] = {set.a.data(), set.b.data()};
        Py_BEGIN_ALLOW_THREADS
        trigmod::run_on_path(path, position, state, in, static_cast<Py_ssize_t>(set.a.size()), out.data(),
                             rare.data());
        Py_END_ALLOW_THREADS
    }

    PyObject* algebra_ = nullptr;
    PyObject* saved_sqrt_ = nullptr;
};

TEST_P(Kernels, GiveTheBodysBitsAndLeaveWhatTheScalarReferenceLeaves) {
    const auto [position, path] = GetParam();
    if (!trigmod::path_available(path)) {
        GTEST_SKIP() << trigmod::path_name(path) << " is not in this build or not on this processor";
    }
    const std::vector<long> iters =
        position == trigmod::F_arctan ? std::vector<long>{0, 1, 2, 3, 20, 255} : std::vector<long>{20};
    int failures = 0;
    PyObject* constants = PyDict_GetItemString(PyModule_GetDict(trig_module()), "constants");
    PyObject* pi = PyObject_GetAttrString(constants, "pi");
    for (const Set& set : input_sets(position)) {
        if (set.pi != 0.0) {
            PyObject* other = PyFloat_FromDouble(set.pi);
            PyObject_SetAttrString(constants, "pi", other);
            Py_DECREF(other);
        }
        for (long iter : iters) {
            std::vector<double> out, reference;
            std::vector<unsigned char> rare, reference_rare;
            run(path, position, iter, set, out, rare);
            run(KernelPath::Scalar, position, iter, set, reference, reference_rare);
            for (size_t k = 0; k < set.a.size() && failures < 10; k++) {
                double expected = 0.0;
                const bool computed = body(position, set.a[k], set.b[k], set.ints, iter, &expected);
                const bool may_leave = !computed || set.leaves == Leaves::Any ||
                                       (set.leaves == Leaves::Odd && odd_input(position, set.a[k], set.b[k]));
                const bool fine = rare[k] == reference_rare[k] &&
                                  (rare[k] ? may_leave : computed && same_bits(out[k], expected));
                if (fine) continue;
                failures++;
                ADD_FAILURE() << trigmod::kRecords[position].signature.name << " on " << trigmod::path_name(path)
                              << ", set " << set.name << ", iter " << iter << ", input " << set.a[k] << ", "
                              << set.b[k] << ": rare " << int(rare[k]) << " (scalar " << int(reference_rare[k])
                              << "), result " << out[k] << ", body " << (computed ? "" : "raised ") << expected;
            }
        }
        PyObject_SetAttrString(constants, "pi", pi);
    }
    Py_DECREF(pi);
}

INSTANTIATE_TEST_SUITE_P(
    FunctionsAndPaths, Kernels,
    ::testing::Combine(::testing::Range(0, static_cast<int>(trigmod::kFunctionCount)),
                       ::testing::Values(KernelPath::Scalar, KernelPath::Vector2, KernelPath::Avx2,
                                         KernelPath::Avx512)),
    [](const ::testing::TestParamInfo<std::tuple<int, KernelPath>>& info) {
        std::string name = trigmod::kRecords[std::get<0>(info.param)].signature.name;
        if (name[0] == '_') name = name.substr(1);
        return name + "_" + trigmod::path_name(std::get<1>(info.param));
    });

// prepare() says yes only while each function's body is a pure function of
// its inputs, and fills the whole state.
TEST_F(Kernels, PrepareOnlyForPureCalls) {
    PyObject* globals = PyModule_GetDict(trig_module());
    auto prepared = [](int position, Val iter) {
        const Val rest[1] = {iter};
        nrt::KernelState state;
        return kernel_of(position).prepare(rest, &state);
    };
    // Runs `check` with module global `name` bound to `value`, then restores it.
    auto with_global = [globals](const char* name, PyObject* value, auto check) {
        PyObject* saved = PyDict_GetItemString(globals, name);
        Py_INCREF(saved);
        PyDict_SetItemString(globals, name, value);
        check();
        PyDict_SetItemString(globals, name, saved);
        Py_DECREF(saved);
    };
    for (int position = 0; position < trigmod::kFunctionCount; position++) {
        EXPECT_TRUE(prepared(position, Val::of_int(20))) << position;
        nrt::KernelState a, b;
        std::memset(&a, 0x55, sizeof a);
        std::memset(&b, 0xAA, sizeof b);
        const Val rest[1] = {Val::of_int(20)};
        ASSERT_TRUE(kernel_of(position).prepare(rest, &a) && kernel_of(position).prepare(rest, &b));
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << position;
    }
    // iter: an exact int whose loop never looks at signals.
    EXPECT_TRUE(prepared(trigmod::F_arctan, Val::of_int(255)));
    EXPECT_TRUE(prepared(trigmod::F_arctan, Val::of_int(-3)));
    EXPECT_FALSE(prepared(trigmod::F_arctan, Val::of_int(256)));
    EXPECT_FALSE(prepared(trigmod::F_arctan, Val::of_float(20.0)));
    EXPECT_FALSE(prepared(trigmod::F_arctan, Val::borrow(Py_True)));

    PyObject* arccos = PyDict_GetItemString(globals, "arccos");
    with_global("arctan2", arccos, [&] {
        EXPECT_TRUE(prepared(trigmod::F_arctan2, Val::of_int(20)));
        EXPECT_FALSE(prepared(trigmod::F_arcsin, Val::of_int(20)));
        EXPECT_FALSE(prepared(trigmod::F_arccos, Val::of_int(20)));
    });
    with_global("arcsin", arccos, [&] {
        EXPECT_TRUE(prepared(trigmod::F_arcsin, Val::of_int(20)));
        EXPECT_FALSE(prepared(trigmod::F_arccos, Val::of_int(20)));
    });
    // Not sealed: every kernel refuses.
    with_global("sin", arccos, [&] { EXPECT_FALSE(prepared(trigmod::F_sin, Val::of_int(20))); });
    PyObject* constants = PyDict_GetItemString(globals, "constants");
    PyObject* pi = PyObject_GetAttrString(constants, "pi");
    PyObject* nan = PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    PyObject_SetAttrString(constants, "pi", nan);
    EXPECT_FALSE(prepared(trigmod::F_cosin, Val::of_int(20)));
    PyObject_SetAttrString(constants, "pi", pi);
    EXPECT_TRUE(prepared(trigmod::F_cosin, Val::of_int(20)));
    Py_DECREF(nan);
    Py_DECREF(pi);
}

}  // namespace
