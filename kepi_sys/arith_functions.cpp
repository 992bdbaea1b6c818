// Python face of factorial and fibonacci.
#include <array>

#include "kepi_sys/arith.hpp"
#include "kepi_sys/functions.hpp"

namespace kepi {
namespace {

// Converts `obj` to an unsigned 64-bit integer as the binding does: through
// __index__, OverflowError for negative or too-large values.
bool to_u64(PyObject* obj, const char* name, uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        reraise_argument_error(name);
        return false;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        reraise_argument_error(name);
        return false;
    }
    out = value;
    return true;
}

template <auto Compute>
PyObject* checked_u64_function(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"n"};
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(fname, names, args, nargs, kwnames, bound)) return nullptr;
        uint64_t n = 0;
        if (!to_u64(bound[0], "n", n)) return nullptr;
        auto result = Compute(n);
        if (!result) {
            PyErr_SetString(PyExc_OverflowError, "integer overflow");
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(*result);
    });
}

}  // namespace

PyObject* py_factorial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return checked_u64_function<checked_factorial>("factorial", args, nargs, kwnames);
}

PyObject* py_fibonacci(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return checked_u64_function<checked_fibonacci>("fibonacci", args, nargs, kwnames);
}

}  // namespace kepi
