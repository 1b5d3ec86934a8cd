#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "module/version.h"
#include "runtime/compat/errors.h"

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

// The packed version of 3.<minor>.<micro>.
std::uint32_t packed(int minor, int micro) { return 3u << 24 | unsigned(minor) << 16 | unsigned(micro) << 8; }

TEST(CheckVersion, AnyMicroOfTheCompiledVersionPassesSilently) {
    EXPECT_EQ(trigmod::check_version(packed(PY_MINOR_VERSION, 0)), 0);
    EXPECT_EQ(trigmod::check_version(packed(PY_MINOR_VERSION, 99)), 0);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(CheckVersion, OtherRuntimeWarnsAndFailsWhenWarningsAreErrors) {
    PyObject* warnings = PyImport_ImportModule("warnings");
    ASSERT_NE(warnings, nullptr);
    PyObject* r = PyObject_CallMethod(warnings, "simplefilter", "s", "error");
    ASSERT_NE(r, nullptr);
    Py_DECREF(r);

    EXPECT_EQ(trigmod::check_version(packed(PY_MINOR_VERSION + 1, 2)), -1);
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeWarning));
    PyObject* warning = PyErr_GetRaisedException();
    PyObject* text = PyObject_Str(warning);
    std::string expected = "compile time Python version 3." + std::to_string(PY_MINOR_VERSION) +
                           " of module 'geometry.trigonometry' does not match runtime version 3." +
                           std::to_string(PY_MINOR_VERSION + 1);
    EXPECT_EQ(PyUnicode_AsUTF8(text), expected);
    Py_XDECREF(text);
    Py_XDECREF(warning);

    r = PyObject_CallMethod(warnings, "resetwarnings", nullptr);
    Py_XDECREF(r);
    Py_DECREF(warnings);
}

}  // namespace
