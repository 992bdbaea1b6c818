// A thin RAII layer over the Python limited C API: owned references, the
// argument binder of the module functions and the translation of C++
// failures into Python exceptions at the module boundary.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace kepi {

// An owned (strong) reference. Null means "a Python error is set".
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Saves the error indicator on construction and restores it on destruction,
// so that code run while an exception propagates cannot lose it.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Thrown by helpers when a Python error is already set.
struct PyErrorAlreadySet {};

// The exception raised in Python for an internal fault (a BaseException
// subclass, so that `except Exception` does not swallow it).
PyObject* panic_exception_type();

// Holds a KeyboardInterrupt raised by a host callback (Ctrl-C while it ran)
// until the module function that ran the callback returns, which then raises
// it instead of its result. Scopes nest per thread: a callback that calls a
// module function gets that function's interrupt raised to it.
class InterruptScope {
public:
    InterruptScope() noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // `result` (new reference or null), or null with the held interrupt
    // raised, replacing the result or any other error.
    PyObject* finish(PyObject* result) noexcept;

    // When the current error is a KeyboardInterrupt and a scope is open on
    // this thread, moves it into the innermost scope (a later one is
    // dropped: one interrupt is enough) and returns true; otherwise leaves
    // the error and returns false.
    static bool defer_current_error() noexcept;

private:
    static thread_local InterruptScope* innermost_;
    InterruptScope* outer_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Runs `body` and turns any C++ exception escaping it into a Python error:
// allocation failure becomes MemoryError, anything else PanicException. An
// interrupt held meanwhile is raised instead of the result.
template <class F>
PyObject* guarded(F&& body) noexcept {
    InterruptScope interrupt;
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (const PyErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(panic_exception_type(), e.what());
    } catch (...) {
        PyErr_SetString(panic_exception_type(), "unknown internal fault");
    }
    return interrupt.finish(result);
}

// UTF-8 text of a str object; throws PyErrorAlreadySet on failure.
std::string_view utf8_view(PyObject* str);
// str(obj) as UTF-8; nullopt-like empty + false when str() itself fails.
bool try_str(PyObject* obj, std::string& out);
// Qualified name of a type as Python shows it in messages.
std::string type_name(PyObject* type);

// Binds the fast-call arguments of a function whose parameters are all
// positional-or-keyword and required. Raises the usual TypeError texts for
// missing, surplus, duplicated and unexpected arguments.
bool bind_arguments(const char* function, const char* const* names, size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <size_t N>
bool bind_arguments(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& out) {
    return bind_arguments(function, names.data(), N, args, nargs, kwnames, out.data());
}

// Re-raises a TypeError set while converting one argument as
// TypeError "argument '{name}': {text}"; other errors pass unchanged.
void reraise_argument_error(const char* name);

}  // namespace kepi
