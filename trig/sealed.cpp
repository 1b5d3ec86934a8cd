#include "trig/sealed.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "runtime/compat/dicts.h"
#include "runtime/compat/recursion.h"
#include "runtime/context.h"
#include "runtime/lane.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "trig/environment.h"
#include "trig/functions.h"
#include "trig/series.h"

namespace trigmod {

namespace {

using nrt::Val;
using nrt::Ref;
using nrt::compat::change_stamp;
using nrt::compat::watch_dict;

// The deepest chain of calls a computation stands for, from the body that
// makes it: _tan_rad, cosin, then sin and math.sqrt; with room to spare.
constexpr int kLevels = 8;

enum Global { kSin, kCosin, kTanRad, kArctan, kConstants, kAlgebra, kGlobals };
constexpr StringId kGlobalNames[kGlobals] = {S_sin, S_cosin, S_tan_rad, S_arctan, S_constants, S_algebra};
constexpr int kOwnPositions[kConstants] = {F_sin, F_cosin, F_tan_rad, F_arctan};

// The stamps of the module dict and the two sibling dicts when last looked
// at; a sibling that is no module has no dict to stamp.
struct Stamps {
    std::uint64_t module = 0;
    PyObject* constants_dict = nullptr;  // only stamped
    std::uint64_t constants = 0;
    PyObject* algebra_dict = nullptr;
    std::uint64_t algebra = 0;
};

// What those dicts held then. The sibling modules and the root are held as
// compat::remember holds what a cache read. A module's class can change
// without its dict changing, so that is checked on every use.
struct Snapshot {
    Stamps stamps;
    nrt::compat::Held constants;
    nrt::compat::Held algebra;
    nrt::compat::Held sqrt;
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

// The value under `name` in the dict of the plain module `owner` (null when
// missing or when the dict cannot be relied on). The dict and its stamp go
// into *dict and *stamp either way, so that a later change of it is
// noticed. Watching may run code: the caller holds `owner`.
Ref sibling_value(PyObject* owner, StringId name, PyObject** dict, std::uint64_t* stamp) noexcept {
    if (owner == nullptr || !PyModule_Check(owner)) return Ref();
    PyObject* d = PyModule_GetDict(owner);
    if (d == nullptr) return Ref();
    bool watched = watch_dict(d);
    *dict = d;
    *stamp = watched ? change_stamp(d) : 0;
    PyObject* key = str(name);
    PyObject* value;
    return watched && nrt::find_names(d, &key, 1, &value) ? Ref::borrow(value) : Ref();
}

bool current(const Stamps& s) noexcept {
    return change_stamp(nrt::context.module_dict) == s.module &&
           (s.constants_dict == nullptr || change_stamp(s.constants_dict) == s.constants) &&
           (s.algebra_dict == nullptr || change_stamp(s.algebra_dict) == s.algebra);
}

// Makes the snapshot hold what was just read (`sqrt` only when calls are
// sealed, with `pi` then), and lets go of what it held last, since that may
// run code.
void replace_snapshot(const Stamps& stamps, PyObject* constants, PyObject* algebra, PyObject* pi,
                      PyObject* sqrt) noexcept {
    Snapshot& s = snapshot;
    s.stamps = stamps;
    PyObject* old[] = {nrt::compat::remember(s.constants, constants), nrt::compat::remember(s.algebra, algebra),
                       nrt::compat::remember(s.sqrt, sqrt)};
    s.holds = sqrt != nullptr;
    s.world = s.holds ? World{PyFloat_AS_DOUBLE(pi), sqrt} : World{0.0, nullptr};
    for (PyObject* o : old) Py_XDECREF(o);
}

[[gnu::cold, gnu::noinline]] void look_again() noexcept {
    Stamps stamps;
    PyObject* dict = nrt::context.module_dict;
    bool watched = watch_dict(dict);
    stamps.module = watched ? change_stamp(dict) : 0;
    PyObject* names[kGlobals];
    PyObject* values[kGlobals];
    for (int k = 0; k < kGlobals; k++) names[k] = str(kGlobalNames[k]);
    Ref constants, algebra, pi, sqrt;
    bool own = false;
    if (watched && nrt::find_names(dict, names, kGlobals, values)) {
        // Decided and held before watching the siblings' dicts can run code.
        own = true;
        for (int k = 0; k < kConstants; k++) {
            own = own && values[k] != nullptr && nrt::own_function(values[k]) == kOwnPositions[k];
        }
        constants = Ref::borrow(values[kConstants]);
        algebra = Ref::borrow(values[kAlgebra]);
        pi = sibling_value(constants.get(), S_pi, &stamps.constants_dict, &stamps.constants);
        sqrt = sibling_value(algebra.get(), S_sqrt, &stamps.algebra_dict, &stamps.algebra);
    }
    // What was read may be held only while no dict it came from has changed
    // since; stale, it is held by nobody, and the next call looks again.
    if (!watched || !current(stamps)) {
        replace_snapshot(Stamps(), nullptr, nullptr, nullptr, nullptr);
        return;
    }
    bool holds = own && pi && PyFloat_CheckExact(pi.get()) && sqrt && is_math_sqrt(sqrt.get());
    replace_snapshot(stamps, constants.get(), algebra.get(), pi.get(), holds ? sqrt.get() : nullptr);
}

}  // namespace

const World* sealed_world() noexcept {
    if (!nrt::kMachineValues) return nullptr;
    const Snapshot& s = snapshot;
    if (!current(s.stamps)) {
        look_again();
        // Letting go of what the snapshot held before may have run code.
        if (!current(s.stamps)) return nullptr;
    }
    if (!s.holds || !PyModule_CheckExact(s.constants.object) || !PyModule_CheckExact(s.algebra.object)) {
        return nullptr;
    }
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
