#include <Python.h>
#include <frameobject.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/compat/errors.h"
#include "runtime/traceback.h"

namespace {

// Raises, adds one entry, and returns the code object the entry used (new
// reference); the exception is cleared afterwards.
PyCodeObject* entry_code(const char* name, int line) {
    PyErr_SetString(PyExc_ValueError, "boom");
    nrt::add_traceback(name, line, "test/file");
    PyObject* exc = PyErr_GetRaisedException();
    EXPECT_EQ(Py_TYPE(exc), reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
    PyObject* tb = PyException_GetTraceback(exc);
    PyCodeObject* code = nullptr;
    if (tb != nullptr) {
        // Read as Python reads it: later versions work the line out lazily.
        PyObject* lineno = PyObject_GetAttrString(tb, "tb_lineno");
        EXPECT_EQ(PyLong_AsLong(lineno), line);
        Py_XDECREF(lineno);
        code = PyFrame_GetCode(reinterpret_cast<PyTracebackObject*>(tb)->tb_frame);
    }
    Py_XDECREF(tb);
    Py_XDECREF(exc);
    return code;
}

std::vector<int> cached_lines() {
    std::vector<int> lines;
    for (Py_ssize_t i = 0; i < nrt::code_cache_count(); i++) lines.push_back(nrt::code_cache_line(i));
    return lines;
}

// The cache is process-wide, so one test walks it through its whole life.
TEST(CodeObjectCache, StaysSortedAsItGrowsAndKeysOnLineAndName) {
    ASSERT_EQ(nrt::code_cache_count(), 0);

    // Decreasing lines still leave the cache sorted.
    for (int line = 1000; line > 1000 - 64; line--) {
        PyCodeObject* code = entry_code("f", line);
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->co_firstlineno, line);
        Py_DECREF(code);
    }
    EXPECT_EQ(nrt::code_cache_count(), 64);
    std::vector<int> lines = cached_lines();
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));

    // A 65th distinct key, the smallest, goes first.
    PyCodeObject* code = entry_code("f", 5);
    Py_XDECREF(code);
    EXPECT_EQ(nrt::code_cache_count(), 65);
    EXPECT_EQ(nrt::code_cache_line(0), 5);

    // Two failures at one place share one code object.
    PyCodeObject* first = entry_code("f", 980);
    PyCodeObject* second = entry_code("f", 980);
    EXPECT_EQ(first, second);
    EXPECT_EQ(nrt::code_cache_count(), 65);

    // Another name at the same line gets its own entry and keeps its name.
    PyCodeObject* other = entry_code("g", 980);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, first);
    EXPECT_STREQ(PyUnicode_AsUTF8(other->co_name), "g");
    EXPECT_STREQ(PyUnicode_AsUTF8(first->co_name), "f");
    EXPECT_EQ(nrt::code_cache_count(), 66);
    PyCodeObject* again = entry_code("f", 980);
    EXPECT_EQ(again, first);
    Py_XDECREF(first);
    Py_XDECREF(second);
    Py_XDECREF(other);
    Py_XDECREF(again);
    lines = cached_lines();
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));

    // Line 0 is never cached.
    PyCodeObject* zero = entry_code("f", 0);
    Py_XDECREF(zero);
    EXPECT_EQ(nrt::code_cache_count(), 66);
}

TEST(Traceback, KeepsThePendingException) {
    PyObject* kept = PyObject_CallFunction(PyExc_KeyError, "s", "kept");
    ASSERT_NE(kept, nullptr);
    Py_INCREF(kept);
    PyErr_SetRaisedException(kept);
    nrt::add_traceback("h", 77, "test/file");
    PyObject* exc = PyErr_GetRaisedException();
    EXPECT_EQ(exc, kept);
    PyObject* tb = PyException_GetTraceback(exc);
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(reinterpret_cast<PyTracebackObject*>(tb)->tb_next, nullptr);
    PyCodeObject* code = PyFrame_GetCode(reinterpret_cast<PyTracebackObject*>(tb)->tb_frame);
    EXPECT_STREQ(PyUnicode_AsUTF8(code->co_filename), "test/file");
    Py_DECREF(code);
    Py_DECREF(tb);
    Py_XDECREF(exc);
    Py_DECREF(kept);
}

}  // namespace
