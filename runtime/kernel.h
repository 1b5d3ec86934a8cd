// Bulk calls: what a function may offer beyond its ordinary call, so that
// f.map() computes many elements at once.
//
// A kernel stands for the function's body on exact floats while the hosting
// module is in a state where that body's result is a pure function of its
// arguments: it must give the very bits the body gives, and leave to the
// ordinary call every element where the body would raise, run code outside
// the module, or take a path the kernel does not follow. The runtime asks
// prepare() before each chunk, with the GIL held; run() computes the chunk
// without it.
#pragma once

#include <Python.h>

#include "runtime/value.h"

namespace nrt {

constexpr int kMaxKernelInputs = 2;

// What prepare() found, opaque to the runtime; two equal states allow the
// same results.
struct KernelState {
    alignas(16) unsigned char bytes[64];
};

struct Kernel {
    // Positional inputs per element: the first `inputs` parameters.
    int inputs;
    // Elements per chunk: about a millisecond of run() at most, so that a
    // long map looks at signals and lets other threads run that often.
    Py_ssize_t chunk;
    // With the GIL held: whether run() may compute the function now, with
    // the parameters after the inputs bound to `rest` (defaults included).
    // Fills every byte of *state when it may. Sets no exception, and runs no
    // code but what reading the module's state may run (compat/dicts.h: the
    // caches letting go when other code removed the dict watcher), so the
    // caller holds its own references to what it uses.
    bool (*prepare)(const Val* rest, KernelState* state) noexcept;
    // Without the GIL, touching no Python object: for k in [0, n), out[k]
    // is what the body returns for the inputs in[0][k] (and in[1][k]) as
    // exact floats, or rare[k] is set to 1 (and out[k] left unspecified) for
    // an element left to the ordinary call. An input that was an exact int v
    // with |v| <= 2**53 is given as the double v: the body's result for the
    // int must be the same bits, or run() must leave such a value to the
    // ordinary call. rare[k] comes in set for an element that is no machine
    // value (its in[][k] is 0.0): run() leaves it set.
    void (*run)(const KernelState& state, const double* const* in, Py_ssize_t n, double* out,
                unsigned char* rare) noexcept;
};

}  // namespace nrt
