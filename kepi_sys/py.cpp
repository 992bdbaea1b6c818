#include "kepi_sys/py.hpp"

#include <string>
#include <utility>
#include <vector>

namespace kepi {

PyObject* panic_exception_type() {
    static PyObject* type = [] {
        PyObject* t =
            PyErr_NewExceptionWithDoc("kepi._sys.PanicException",
                                      "An internal fault of the native runtime. Derives from BaseException so that "
                                      "ordinary exception handlers do not catch it.",
                                      PyExc_BaseException, nullptr);
        return t;  // kept for the life of the process
    }();
    return type;
}

thread_local InterruptScope* InterruptScope::innermost_ = nullptr;

InterruptScope::InterruptScope() noexcept : outer_(innermost_) { innermost_ = this; }

InterruptScope::~InterruptScope() {
    innermost_ = outer_;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

PyObject* InterruptScope::finish(PyObject* result) noexcept {
    if (type_ == nullptr) return result;
    // Dropping the result can log (a new instance is torn down); a second
    // interrupt raised then is absorbed by this still-open scope.
    Py_XDECREF(result);
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
    return nullptr;
}

bool InterruptScope::defer_current_error() noexcept {
    InterruptScope* scope = innermost_;
    if (scope == nullptr || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return false;
    if (scope->type_ == nullptr) {
        PyErr_Fetch(&scope->type_, &scope->value_, &scope->tb_);
    } else {
        PyErr_Clear();
    }
    return true;
}

std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) throw PyErrorAlreadySet{};
    return {data, static_cast<size_t>(size)};
}

bool try_str(PyObject* obj, std::string& out) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (!s) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

std::string type_name(PyObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    PyErr_Clear();
    std::string qual;
    if (!name || !try_str(name.get(), qual)) qual = "<unknown>";
    std::string mod;
    if (module && PyUnicode_Check(module.get()) && try_str(module.get(), mod) && mod != "builtins" &&
        mod != "__main__") {
        return mod + "." + qual;
    }
    return qual;
}

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

}  // namespace

bool bind_arguments(const char* function, const char* const* names, size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (nargs < 0 || static_cast<size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", function, count, nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) return false;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            if (key == nullptr) return false;
            size_t slot = count;
            for (size_t i = 0; i < count; ++i) {
                int eq = PyUnicode_CompareWithASCIIString(key, names[i]);
                if (eq == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
                return false;
            }
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[slot]);
                return false;
            }
            out[slot] = args[nargs + k];
        }
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) missing.emplace_back(names[i]);
    }
    if (!missing.empty()) {
        std::string text = std::string(function) + "() missing " + std::to_string(missing.size()) +
                           " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                           quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    }
    return true;
}

void reraise_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text;
    if (value == nullptr || !try_str(value, text)) text = "<exception str() failed>";
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    std::string message = std::string("argument '") + name + "': " + text;
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace kepi
