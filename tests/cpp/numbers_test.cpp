// The constant operations against the generic number protocol.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "runtime/numbers.h"

namespace {

struct Obj {
    PyObject* p;
    explicit Obj(PyObject* o) : p(o) {}
    Obj(const Obj&) = delete;
    ~Obj() { Py_XDECREF(p); }
    PyObject* get() const { return p; }
};

Obj eval(const char* expression) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* value = PyRun_String(expression, Py_eval_input, globals, globals);
    Py_DECREF(globals);
    EXPECT_NE(value, nullptr) << expression;
    return Obj(value);
}

nrt::Const constant(long value) { return {PyLong_FromLong(value), value}; }

// Same type and same repr (which tells -0.0 from 0.0).
void expect_same(PyObject* got, PyObject* want, const std::string& what) {
    ASSERT_NE(got, nullptr) << what;
    ASSERT_NE(want, nullptr) << what;
    EXPECT_EQ(Py_TYPE(got), Py_TYPE(want)) << what;
    Obj g(PyObject_Repr(got)), w(PyObject_Repr(want));
    EXPECT_STREQ(PyUnicode_AsUTF8(g.get()), PyUnicode_AsUTF8(w.get())) << what;
}

const char* kOperands[] = {
    "0", "1", "-1", "359", "-360", "2**30 - 1", "-(2**30)", "2**40", "-(2**40)", "2**60 - 1", "-(2**59)",
    "2**70", "-(2**100)", "True", "False", "0.0", "-0.0", "0.25", "-2.5", "270.0", "1e300", "-1e-300",
    "float('inf')", "float('-inf')", "float('nan')", "__import__('fractions').Fraction(7, 3)",
    "type('I', (int,), {})(5)",
};
const long kConstants[] = {360, 180, -180, 2, 1, 0, -1};

TEST(ConstantOperations, MatchTheGenericProtocol) {
    for (const char* text : kOperands) {
        Obj x = eval(text);
        for (long value : kConstants) {
            nrt::Const c = constant(value);
            std::string what = std::string(text) + " with " + std::to_string(value);
            if (value > 0) {
                Obj got(nrt::remainder_by_constant(x.get(), c)), want(PyNumber_Remainder(x.get(), c.object));
                if (want.get() == nullptr) {
                    EXPECT_EQ(got.get(), nullptr) << what;
                    PyErr_Clear();
                } else {
                    expect_same(got.get(), want.get(), "% " + what);
                }
            }
            {
                Obj got(nrt::constant_minus(c, x.get())), want(PyNumber_Subtract(c.object, x.get()));
                expect_same(got.get(), want.get(), "c - x " + what);
            }
            {
                Obj got(nrt::subtract_constant(x.get(), c)), want(PyNumber_InPlaceSubtract(x.get(), c.object));
                expect_same(got.get(), want.get(), "x -= c " + what);
            }
            for (nrt::AddForm form : {nrt::AddForm::InPlace, nrt::AddForm::Plain, nrt::AddForm::ConstantFirst}) {
                Obj got(nrt::add_constant(x.get(), c, form));
                Obj want(form == nrt::AddForm::ConstantFirst ? PyNumber_Add(c.object, x.get())
                                                             : PyNumber_Add(x.get(), c.object));
                expect_same(got.get(), want.get(), "add " + what);
            }
            {
                Obj got(nrt::constant_times(c, x.get())), want(PyNumber_Multiply(c.object, x.get()));
                expect_same(got.get(), want.get(), "c * x " + what);
            }
            if (value != 0) {
                Obj got(nrt::divide_by_constant(x.get(), c)), want(PyNumber_TrueDivide(x.get(), c.object));
                expect_same(got.get(), want.get(), "x / c " + what);
            }
            if (value == 0) {
                EXPECT_EQ(nrt::equals_constant(x.get(), c), PyObject_RichCompareBool(x.get(), c.object, Py_EQ))
                    << "== " << what;
            }
            Py_DECREF(c.object);
        }
        Obj got(nrt::absolute_value(x.get())), want(PyNumber_Absolute(x.get()));
        expect_same(got.get(), want.get(), std::string("abs ") + text);
    }
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(ConstantOperations, ReturnTheOperandOrTheConstantItself) {
    nrt::Const c180 = constant(180), c2 = constant(2), c1 = constant(1);
    Obj zero = eval("0"), seven = eval("7");
    Obj minus_zero(nrt::constant_minus(c180, zero.get()));
    EXPECT_EQ(minus_zero.get(), c180.object);
    Obj times_zero(nrt::constant_times(c2, zero.get()));
    EXPECT_EQ(times_zero.get(), zero.get());
    Obj plus_zero(nrt::add_constant(zero.get(), c1, nrt::AddForm::InPlace));
    EXPECT_EQ(plus_zero.get(), c1.object);
    Obj abs_seven(nrt::absolute_value(seven.get()));
    EXPECT_EQ(abs_seven.get(), seven.get());
    Py_DECREF(c180.object);
    Py_DECREF(c2.object);
    Py_DECREF(c1.object);
}

}  // namespace
