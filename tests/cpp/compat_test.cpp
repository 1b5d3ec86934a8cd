// The version layer against the interpreter the tests run in: where it
// reads interpreter internals, it must agree with the interpreter's own
// answers.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "runtime/compat/dicts.h"
#include "runtime/compat/ints.h"

namespace {

PyObject* eval(const std::string& expression) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* value = PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
    Py_DECREF(globals);
    EXPECT_NE(value, nullptr) << expression;
    return value;
}

TEST(IntLayout, AgreesWithTheInterpreterAtDigitBoundaries) {
    for (const char* magnitude : {"0", "1", "2**30 - 1", "2**30", "2**30 + 1", "2**60 - 1", "2**60",
                                  "2**62 + 12345", "2**63 - 1"}) {
        for (const char* sign : {"", "-"}) {
            std::string text = std::string(sign) + "(" + magnitude + ")";
            PyObject* x = eval(text);
            ASSERT_NE(x, nullptr);
            long long expected = PyLong_AsLongLong(x);
            ASSERT_FALSE(PyErr_Occurred()) << text;
            Py_ssize_t size = nrt::compat::int_signed_size(x);
            Py_ssize_t count = size < 0 ? -size : size;
            const digit* digits = nrt::compat::int_digits(x);
            __int128 value = 0;
            for (Py_ssize_t k = count - 1; k >= 0; k--) value = (value << PyLong_SHIFT) | digits[k];
            if (size < 0) value = -value;
            EXPECT_TRUE(value == expected) << text;
            // As many digits as the magnitude needs, and none with a zero value.
            unsigned long long m = expected < 0 ? 0ULL - static_cast<unsigned long long>(expected) : expected;
            Py_ssize_t needed = 0;
            for (; m != 0; m >>= PyLong_SHIFT) needed++;
            EXPECT_EQ(count, needed) << text;
            EXPECT_EQ(size < 0, expected < 0) << text;
            Py_DECREF(x);
        }
    }
}

// Runs `statement` with the dict bound to `d`.
void run_on(PyObject* dict, const char* statement) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "d", dict);
    PyObject* result = PyRun_String(statement, Py_file_input, globals, globals);
    EXPECT_NE(result, nullptr) << statement;
    Py_XDECREF(result);
    Py_DECREF(globals);
}

TEST(DictChanges, EveryKindOfChangeMovesTheVersion) {
    PyObject* d = eval("{'a': 1, 'b': 2, 'c': 3, 'e': 5}");
    ASSERT_TRUE(nrt::compat::watch_dict(d));
    for (const char* change : {"d['x'] = 1", "d['a'] = 10", "del d['b']", "d.pop('c')", "d.popitem()",
                               "d.setdefault('y', 2)", "d.update(z=3)", "d |= {'w': 4}", "d.clear()",
                               "d.update({'q': 1})", "d.__setitem__('r', 0)", "d.__delitem__('r')"}) {
        std::uint64_t before = nrt::compat::change_stamp(d);
        run_on(d, change);
        EXPECT_NE(nrt::compat::change_stamp(d), before) << change;
    }
    std::uint64_t unchanged = nrt::compat::change_stamp(d);
    run_on(d, "d.get('q'); 'q' in d; list(d)");
    EXPECT_EQ(nrt::compat::change_stamp(d), unchanged);
    Py_DECREF(d);
}

TEST(DictChanges, AFreedDictsAddressDoesNotMatchItsSuccessor) {
    PyObject* d = eval("{'pi': 3.0}");
    ASSERT_TRUE(nrt::compat::watch_dict(d));
    const void* address = d;
    std::uint64_t seen = nrt::compat::change_stamp(d);
    Py_DECREF(d);
    bool reused = false;
    PyObject* made[64] = {};
    for (PyObject*& e : made) {
        e = PyDict_New();
        ASSERT_NE(e, nullptr);
        if (e == address) {
            reused = true;
            nrt::compat::watch_dict(e);
            EXPECT_NE(nrt::compat::change_stamp(e), seen);
            break;
        }
    }
    for (PyObject* e : made) Py_XDECREF(e);
    EXPECT_TRUE(reused) << "no new dict took the freed one's place";
}

}  // namespace
