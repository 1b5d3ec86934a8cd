// Runs the C++ tests inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

#include "runtime/context.h"

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override {
        Py_InitializeEx(0);
        // Traceback entries need globals that carry __builtins__.
        globals_ = PyDict_New();
        PyDict_SetItemString(globals_, "__builtins__", PyEval_GetBuiltins());
        // The context owns its own reference: module start-up replaces it.
        Py_INCREF(globals_);
        nrt::context.module_dict = globals_;
        nrt::context.file_name = "test/file";
    }
    void TearDown() override {
        Py_CLEAR(globals_);
        Py_FinalizeEx();
    }

private:
    PyObject* globals_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Interpreter);
    return RUN_ALL_TESTS();
}
