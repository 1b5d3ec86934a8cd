#include <Python.h>
#include <gtest/gtest.h>

#include "module/version.h"

namespace {

TEST(ParseVersion, PacksUpToFourComponents) {
    EXPECT_EQ(trigmod::parse_version("3.9.13"), (3u << 24) | (9u << 16) | (13u << 8));
    EXPECT_EQ(trigmod::parse_version("3.9.18 (main, May  9 2026)"), (3u << 24) | (9u << 16) | (18u << 8));
    EXPECT_EQ(trigmod::parse_version("3.10.1.7.9"), (3u << 24) | (10u << 16) | (1u << 8) | 7u);
    EXPECT_EQ(trigmod::parse_version("3.10rc1"), (3u << 24) | (10u << 16));
    EXPECT_EQ(trigmod::parse_version("x3.9"), 0u);
    EXPECT_EQ(trigmod::parse_version(""), 0u);
    EXPECT_EQ(trigmod::parse_version("3..9"), (3u << 24) | (9u << 8));
}

TEST(CheckVersion, AnyNinePassesSilently) {
    EXPECT_EQ(trigmod::check_version(trigmod::parse_version("3.9.0")), 0);
    EXPECT_EQ(trigmod::check_version(trigmod::parse_version("3.9.99")), 0);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(CheckVersion, OtherRuntimeWarnsAndFailsWhenWarningsAreErrors) {
    PyObject* warnings = PyImport_ImportModule("warnings");
    ASSERT_NE(warnings, nullptr);
    PyObject* r = PyObject_CallMethod(warnings, "simplefilter", "s", "error");
    ASSERT_NE(r, nullptr);
    Py_DECREF(r);

    EXPECT_EQ(trigmod::check_version(trigmod::parse_version("3.10.2")), -1);
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeWarning));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* text = PyObject_Str(value);
    EXPECT_STREQ(PyUnicode_AsUTF8(text),
                 "compile time Python version 3.9 of module 'geometry.trigonometry' does not match "
                 "runtime version 3.10");
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);

    r = PyObject_CallMethod(warnings, "resetwarnings", nullptr);
    Py_XDECREF(r);
    Py_DECREF(warnings);
}

}  // namespace
