#include "trig/sealed.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "runtime/compat/dicts.h"
#include "runtime/compat/recursion.h"
#include "runtime/context.h"
#include "runtime/lane.h"
#include "runtime/lookup.h"
#include "trig/environment.h"
#include "trig/functions.h"
#include "trig/series.h"

namespace trigmod {

namespace {

using nrt::Val;
using nrt::compat::dict_version;
using nrt::compat::watch_dict;

// The deepest chain of calls a computation stands for, from the body that
// makes it: _tan_rad, cosin, then sin and math.sqrt; with room to spare.
constexpr int kLevels = 8;

enum Global { kSin, kCosin, kTanRad, kArctan, kConstants, kAlgebra, kGlobals };
constexpr StringId kGlobalNames[kGlobals] = {S_sin, S_cosin, S_tan_rad, S_arctan, S_constants, S_algebra};
constexpr int kOwnPositions[kConstants] = {F_sin, F_cosin, F_tan_rad, F_arctan};

// What the module dict and the two sibling dicts held when last looked at.
// The objects are kept as compat::cache_store keeps them: while the module
// dict's version is unchanged it still holds them. A module's class can
// change without its dict changing, so that is checked on every use.
struct Snapshot {
    std::uint64_t module_version = 0;
    PyObject* constants = nullptr;
    PyObject* constants_dict = nullptr;
    std::uint64_t constants_version = 0;
    PyObject* algebra = nullptr;
    PyObject* algebra_dict = nullptr;
    std::uint64_t algebra_version = 0;
    bool holds = false;
    World world = {0.0, nullptr};
};

Snapshot snapshot;

// The interpreter's own math.sqrt: a built-in function of the math module.
bool is_math_sqrt(PyObject* f) noexcept {
    if (!PyCFunction_CheckExact(f)) return false;
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    PyObject* self = PyCFunction_GET_SELF(f);
    if (method->ml_flags != METH_O || std::strcmp(method->ml_name, "sqrt") != 0) return false;
    if (self == nullptr || !PyModule_CheckExact(self)) return false;
    PyModuleDef* def = PyModule_GetDef(self);
    return def != nullptr && std::strcmp(def->m_name, "math") == 0;
}

// The dict of the plain module `owner` and the value under `name` in it
// (borrowed; null when missing or when the dict cannot be relied on). The
// dict and its version go into *dict and *version either way, so that a
// later change of it is noticed.
PyObject* sibling_value(PyObject* owner, StringId name, PyObject** dict, std::uint64_t* version) noexcept {
    if (owner == nullptr || !PyModule_Check(owner)) return nullptr;
    PyObject* d = PyModule_GetDict(owner);
    if (d == nullptr) return nullptr;
    bool watched = watch_dict(d);
    *dict = d;
    *version = watched ? dict_version(d) : 0;
    PyObject* key = str(name);
    PyObject* value;
    return watched && nrt::find_names(d, &key, 1, &value) ? value : nullptr;
}

void keep(const Snapshot& s) noexcept {
    Snapshot& into = snapshot;
    nrt::compat::cache_store(into.constants, s.constants);
    nrt::compat::cache_store(into.constants_dict, s.constants_dict);
    nrt::compat::cache_store(into.algebra, s.algebra);
    nrt::compat::cache_store(into.algebra_dict, s.algebra_dict);
    into.module_version = s.module_version;
    into.constants_version = s.constants_version;
    into.algebra_version = s.algebra_version;
    nrt::compat::cache_store(into.world.sqrt, s.world.sqrt);
    into.world.pi = s.world.pi;
    into.holds = s.holds;
}

[[gnu::cold, gnu::noinline]] void look_again() noexcept {
    Snapshot s;
    PyObject* dict = nrt::context.module_dict;
    bool watched = watch_dict(dict);
    s.module_version = watched ? dict_version(dict) : 0;
    PyObject* names[kGlobals];
    PyObject* values[kGlobals];
    for (int k = 0; k < kGlobals; k++) names[k] = str(kGlobalNames[k]);
    if (!watched || !nrt::find_names(dict, names, kGlobals, values)) {
        keep(s);
        return;
    }
    s.constants = values[kConstants];
    s.algebra = values[kAlgebra];
    PyObject* pi = sibling_value(s.constants, S_pi, &s.constants_dict, &s.constants_version);
    PyObject* sqrt = sibling_value(s.algebra, S_sqrt, &s.algebra_dict, &s.algebra_version);
    bool own = true;
    for (int k = 0; k < kConstants; k++) {
        own = own && values[k] != nullptr && nrt::own_function(values[k]) == kOwnPositions[k];
    }
    s.holds = own && pi != nullptr && PyFloat_CheckExact(pi) && sqrt != nullptr && is_math_sqrt(sqrt);
    if (s.holds) s.world = {PyFloat_AS_DOUBLE(pi), sqrt};
    keep(s);
}

bool current(const Snapshot& s) noexcept {
    return dict_version(nrt::context.module_dict) == s.module_version &&
           (s.constants_dict == nullptr || dict_version(s.constants_dict) == s.constants_version) &&
           (s.algebra_dict == nullptr || dict_version(s.algebra_dict) == s.algebra_version);
}

}  // namespace

const World* sealed_world() noexcept {
    if (!nrt::kMachineValues) return nullptr;
    const Snapshot& s = snapshot;
    if (!current(s)) {
        look_again();
        // Letting go of what the snapshot held before may have run code.
        if (!current(s)) return nullptr;
    }
    if (!s.holds || !PyModule_CheckExact(s.constants) || !PyModule_CheckExact(s.algebra)) return nullptr;
    if (nrt::compat::levels_left(PyThreadState_Get()) <= kLevels) return nullptr;
    return &s.world;
}

bool machine_sine(const World& world, const Val& angle, double* sine) noexcept {
    // angle * pi converts an int angle to a double; / 180 converts 180.
    double x = reduce_machine(angle).as_double() * world.pi / 180.0;
    SeriesState state;
    if (!table_series(x, state)) return false;
    *sine = state.result;
    return true;
}

bool machine_cosine(const Val& angle, double sine, double* cosine) noexcept {
    // The quadrant of angle % 360 (lines 56 to 60), as cosin tests it.
    double a;
    if (angle.kind() == Val::Kind::Int) {
        std::int64_t r = angle.int_value() % 360;
        a = static_cast<double>(r < 0 ? r + 360 : r);
    } else {
        a = nrt::machine::float_remainder(angle.float_value(), 360.0);
    }
    bool first_or_fourth = (a >= 0 && a < 90) || (a >= 270 && a <= 360);
    if (!first_or_fourth && !((a >= 90 && a < 180) || (a >= 180 && a < 270))) return false;
    // sqrt(1 - sin * sin), negated by -1 outside the first and fourth quadrants.
    double difference = nrt::opaque(1.0) - nrt::opaque(sine * sine);
    if (!(difference >= 0.0)) return false;  // math.sqrt raises ValueError
    double root = std::sqrt(difference);
    *cosine = first_or_fourth ? root : nrt::opaque(-1.0) * nrt::opaque(root);
    return true;
}

bool machine_tan(const World& world, const Val& angle, double* tangent) noexcept {
    double sine, cosine;
    if (!machine_sine(world, angle, &sine) || !machine_cosine(angle, sine, &cosine)) return false;
    if (cosine == 0.0) return false;  // ZeroDivisionError
    *tangent = nrt::opaque(sine) / nrt::opaque(cosine);
    return true;
}

bool machine_tan_rad(const World& world, double rad, double* tangent) noexcept {
    // Both calls get the same angle: rad * 180.0 / pi.
    if (world.pi == 0.0) return false;
    double degrees = nrt::opaque(rad * 180.0) / nrt::opaque(world.pi);
    if (std::isnan(degrees)) return false;
    return machine_tan(world, Val::of_float(degrees), tangent);
}

bool machine_newton_step(const World& world, double theta, const Val& x, double* next) noexcept {
    // theta - (t - x) / (1 + t ** 2), where both calls give t.
    double t;
    if (!machine_tan_rad(world, theta, &t)) return false;
    double difference = nrt::opaque(t) - nrt::opaque(x.as_double());
    double square;
    if (!nrt::machine::float_square(t, &square)) return false;
    double denominator = nrt::opaque(1.0) + nrt::opaque(square);
    double step = nrt::opaque(difference) / nrt::opaque(denominator);
    *next = nrt::opaque(theta) - nrt::opaque(step);
    return !std::isnan(*next);
}

bool machine_sqrt(const Val& value, double* root) noexcept {
    // math.sqrt converts an int the way a float operation does.
    if (value.kind() == Val::Kind::Int && !nrt::machine::exact_in_double(value.int_value())) return false;
    if (!value.is_machine()) return false;
    double v = value.as_double();
    if (!(v >= 0.0)) return false;  // ValueError, or NaN handed back
    *root = std::sqrt(v);
    return true;
}

}  // namespace trigmod
