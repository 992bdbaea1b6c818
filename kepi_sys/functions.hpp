// The module functions and classes of kepi._sys, each defined in its own file.
#pragma once

#include "kepi_sys/py.hpp"

namespace kepi {

PyObject* py_ke_create_instance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_ke_compile_module(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_ke_load_module(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_factorial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_fibonacci(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Doc texts in the text-signature form "name(params)\n--\n\nsentence".
inline constexpr const char* kCreateInstanceDoc =
    "_ke_create_instance(instance_create_info)\n--\n\nCreates a new Kestrane instance from the validated Python "
    "dataclasses.";
inline constexpr const char* kCompileModuleDoc =
    "_ke_compile_module(instance, compile_info)\n--\n\nCompiles a list of source modules into a compiled module.";
inline constexpr const char* kLoadModuleDoc =
    "_ke_load_module(instance, module_data)\n--\n\nLoads a compiled module into the given instance.";
inline constexpr const char* kFactorialDoc = "factorial(n)\n--\n\nComputes the factorial of a number.";
inline constexpr const char* kFibonacciDoc = "fibonacci(n)\n--\n\nComputes the fibonacci of a number.";

}  // namespace kepi
