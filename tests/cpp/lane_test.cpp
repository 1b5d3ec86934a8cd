// A call on machine values makes no intermediate objects: the only objects it
// creates are its result and the arguments it hands to callables that are not
// the module's own (sqrt). Counted by the deallocations of floats and ints
// during a call: every intermediate object would be released before the
// call returns.
#include <Python.h>
#include <gtest/gtest.h>

#include <cmath>

#include "trig_module.h"

namespace {

long deallocations = 0;
long sqrt_calls = 0;
destructor float_dealloc = nullptr;
destructor long_dealloc = nullptr;

void counting_float_dealloc(PyObject* o) {
    deallocations++;
    float_dealloc(o);
}

void counting_long_dealloc(PyObject* o) {
    deallocations++;
    long_dealloc(o);
}

PyObject* counting_sqrt(PyObject*, PyObject* arg) {
    sqrt_calls++;
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(std::sqrt(x));
}

PyMethodDef sqrt_def = {"sqrt", counting_sqrt, METH_O, nullptr};

class Lane : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = trig_module();
        ASSERT_NE(module_, nullptr);
        PyObject* algebra = PyDict_GetItemString(PyModule_GetDict(module_), "algebra");
        PyObject* sqrt = PyCFunction_New(&sqrt_def, nullptr);
        ASSERT_EQ(PyObject_SetAttrString(algebra, "sqrt", sqrt), 0);
        Py_DECREF(sqrt);
    }

    // Deallocations during `call`, and the sqrt calls it made.
    static std::pair<long, long> count(const char* call) {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "m", module_);
        PyObject* code = Py_CompileString(call, "<call>", Py_eval_input);
        EXPECT_NE(code, nullptr);
        PyObject* first = PyEval_EvalCode(code, globals, globals);  // warms the caches
        EXPECT_NE(first, nullptr) << call;
        Py_XDECREF(first);

        float_dealloc = PyFloat_Type.tp_dealloc;
        long_dealloc = PyLong_Type.tp_dealloc;
        PyFloat_Type.tp_dealloc = counting_float_dealloc;
        PyLong_Type.tp_dealloc = counting_long_dealloc;
        deallocations = sqrt_calls = 0;
        PyObject* result = PyEval_EvalCode(code, globals, globals);
        std::pair<long, long> counts{deallocations, sqrt_calls};
        PyFloat_Type.tp_dealloc = float_dealloc;
        PyLong_Type.tp_dealloc = long_dealloc;

        EXPECT_NE(result, nullptr) << call;
        Py_XDECREF(result);
        Py_DECREF(code);
        Py_DECREF(globals);
        return counts;
    }

    static PyObject* module_;
};

PyObject* Lane::module_ = nullptr;

TEST_F(Lane, SinMakesOnlyItsResult) {
    for (const char* call : {"m.sin(30)", "m.sin(123.456)", "m.sin(-1e9)", "m.sin(angle=30)", "m.sin(2**40)"}) {
        EXPECT_EQ(count(call).first, 0) << call;
    }
}

TEST_F(Lane, OtherCallsMakeOnlyWhatSqrtIsHanded) {
    for (const char* call : {"m.cosin(60)", "m.cosin(120)", "m.tan(45)", "m._tan_rad(1.0)", "m.arctan(0.5)",
                             "m.arctan(2.0)", "m.arctan2(-1, 1)", "m.arcsin(0.5)", "m.arccos(0.5)"}) {
        auto [released, sqrt_calls] = count(call);
        EXPECT_GT(sqrt_calls, 0) << call;
        // Each sqrt call gets one argument and returns one result; at most
        // the last root survives as the call's own result.
        EXPECT_LE(released, 2 * sqrt_calls) << call;
        EXPECT_GE(released, 2 * sqrt_calls - 1) << call;
    }
}

}  // namespace
