// Computing a value once per call while nothing outside the module can run.
//
// While the module globals sin, cosin, _tan_rad and arctan hold the module's
// own functions, constants is a plain module whose pi is an exact float,
// algebra is a plain module whose sqrt is the interpreter's math.sqrt, and
// every key of those three dicts is an exact str, a call on exact ints and
// floats runs no code but the module's: no look-up can run a key's __eq__,
// no bytecode runs (so no other thread and no tracing), and nothing is
// allocated (so no collection and no finalizer). Its result is then a pure
// function of its arguments, and a value computed once can stand for every
// later computation of it: the sine that cosin takes twice, the sine and
// cosine of one angle in tan and _tan_rad, the two _tan_rad calls of a
// Newton step, and arctan's remaining steps once its estimate repeats.
//
// Each computation below gives the bits of the ordinary path, and gives up
// (returns false) wherever that path would raise, leave machine numbers or
// look at signals; the caller then takes the ordinary path from the same
// point, which nothing observable can tell from starting there.
#pragma once

#include "runtime/value.h"

namespace trigmod {

// What the sealed computations need to know of the module's surroundings.
struct World {
    double pi;
    // algebra.sqrt, the interpreter's math.sqrt (held as the snapshot holds
    // what it read; see compat/dicts.h). A body that read the root, then ran
    // code outside the module (a number's operations), may compute the root
    // itself only if the one it read is this one.
    PyObject* sqrt;
};

// The world while every condition above holds and the recursion limit is far
// enough away that none of the calls a computation stands for could reach
// it; null otherwise. Cheap while nothing has changed.
const World* sealed_world() noexcept;

// The value sin would return for an exact int or float angle.
bool machine_sine(const World& world, const nrt::Val& angle, double* sine) noexcept;
// The value cosin would return for an exact int or float angle whose sine
// (as sin returns it) is `sine`: sin gives the same for an angle and for
// its remainder by 360.
bool machine_cosine(const nrt::Val& angle, double sine, double* cosine) noexcept;
// The values tan and _tan_rad would return.
bool machine_tan(const World& world, const nrt::Val& angle, double* tangent) noexcept;
bool machine_tan_rad(const World& world, double rad, double* tangent) noexcept;
// One step of arctan's Newton iteration from `theta` for the machine value x.
bool machine_newton_step(const World& world, double theta, const nrt::Val& x, double* next) noexcept;
// The root that math.sqrt gives for an exact float or int `value`.
bool machine_sqrt(const nrt::Val& value, double* root) noexcept;

}  // namespace trigmod
