"""A short run through every function, its error paths and the function
objects' attributes, for memory checkers (`make valgrind`).

    dir=build/$("$py" tools/buildtag.py)
    PYTHONPATH=$dir/python:$dir/tests/probe "$py" tests/smoke.py
"""

import copy
import gc
import pickle
import sys
import warnings
import weakref
from fractions import Fraction

import geometry.trigonometry as t

CALLS = [
    ("sin", (30,), {}), ("sin", (123.456,), {}), ("sin", (-10**30,), {}),
    ("sin", (Fraction(1, 3),), {}), ("sin", (), {"angle": 45}),
    ("cosin", (60,), {}), ("cosin", (float("nan"),), {}),
    ("tan", (45,), {}), ("tan", (90,), {}),
    ("_tan_rad", (1.0,), {}), ("_tan_rad", ("x",), {}),
    ("arctan", (0.5,), {}), ("arctan", (2,), {"iter": 5}),
    ("arctan", (float("nan"),), {}), ("arctan", (0.5, 1.5), {}),
    ("arctan2", (-1, 1), {}), ("arctan2", (0, 0), {}),
    ("arcsin", (0.5,), {}), ("arcsin", (2,), {}), ("arccos", (-1,), {}),
    ("sin", (1, 2), {}), ("sin", (), {"angel": 1}), ("sin", ("abc",), {}),
]


def run_calls():
    outcomes = []
    for name, args, kwargs in CALLS:
        f = getattr(t, name)
        # Each call also as a map over 300 elements: a kernel's chunks
        # without the GIL, and the ordinary calls it leaves.
        columns = tuple([a] * 300 for a in args)
        for call in (lambda: f(*args, **kwargs), lambda: f.map(*columns, **kwargs)[0]):
            try:
                outcomes.append(call())
            except Exception as e:  # every error path releases what it holds
                outcomes.append((type(e).__name__, str(e), len(list(walk(e)))))
    return outcomes


def walk(exc):
    tb = exc.__traceback__
    while tb is not None:
        yield tb
        tb = tb.tb_next


def touch_attributes():
    for name in ("sin", "arctan", "_tan_rad"):
        f = getattr(t, name)
        f.__name__, f.__qualname__, f.__doc__, f.__dict__, f.__globals__
        f.__code__, f.__defaults__, f.__annotations__, f._is_coroutine
        repr(f), f.__reduce__()
        assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f
        assert weakref.ref(f)() is f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        t.arctan.__defaults__ = (5,)
        t.arctan.__defaults__ = (20,)
    t.sin.extra = [t.sin]
    del t.sin.extra


def rebind_globals():
    saved = dict(vars(t))
    try:
        t.constants = type("C", (), {"pi": Fraction(355, 113)})
        t.sin(30), t.arctan(3)
        del t.algebra
        try:
            t.cosin(60)
        except NameError:
            pass
    finally:
        vars(t).clear()
        vars(t).update(saved)


def probe_module():
    try:
        import _runtime_probe as probe
    except ImportError:
        return
    for kind in ("noargs", "o", "varargs_keywords", "fastcall_keywords",
                 "method"):
        f = probe.make(kind, flags=8)
        f._is_coroutine
        try:
            type(f).__call__(f, 1, k=2)
        except TypeError:
            pass


def main():
    first = run_calls()
    for _ in range(3):
        assert run_calls() == first
        touch_attributes()
        rebind_globals()
        probe_module()
    gc.collect()
    sys.stdout.write("smoke run passed: %d calls and maps\n" % (8 * len(CALLS)))


if __name__ == "__main__":
    main()
