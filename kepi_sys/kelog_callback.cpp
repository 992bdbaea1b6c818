// The logging extension's host side: its settings loader and the callback
// that hands log records to a host callable as dicts.
#include <memory>
#include <string>
#include <utility>

#include "kecore/ext/kelog/log.hpp"
#include "kecore/utils/static_registry.hpp"
#include "kepi_sys/convert.hpp"
#include "kepi_sys/create_info.hpp"

namespace kepi {
namespace {

// Holds the interpreter lock for its lifetime, from any thread.
class GilGuard {
public:
    GilGuard() noexcept : state_(PyGILState_Ensure()) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

Ref optional_string(const std::optional<std::string>& text) {
    if (!text) return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace"));
}

Ref string_object(const std::string& text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A naive datetime.datetime at microsecond resolution.
Ref datetime_object(const kecore::NaiveDateTime& t) {
    static PyObject* datetime_class = nullptr;  // kept for the process
    if (datetime_class == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("datetime"));
        if (!module) return Ref();
        datetime_class = PyObject_GetAttrString(module.get(), "datetime");
        if (datetime_class == nullptr) return Ref();
    }
    return Ref::steal(PyObject_CallFunction(datetime_class, "iIIIIII", static_cast<int>(t.year), t.month, t.day, t.hour,
                                            t.minute, t.second, t.nanosecond / 1000));
}

bool set_item(PyObject* dict, const char* key, Ref value) {
    if (!value) return false;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The record as a new dict with its keys in this order: level, timepoint,
// message, module, file, line, thread_name.
Ref record_to_dict(const kecore::LogMessageEXT& record) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    const bool ok =
        set_item(dict.get(), "level", Ref::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(record.level)))) &&
        set_item(dict.get(), "timepoint", datetime_object(record.timepoint)) &&
        set_item(dict.get(), "message", string_object(record.message)) &&
        set_item(dict.get(), "module", string_object(record.module)) &&
        set_item(dict.get(), "file", optional_string(record.file)) &&
        set_item(dict.get(), "line",
                 record.line ? Ref::steal(PyLong_FromUnsignedLong(*record.line)) : Ref::borrow(Py_None)) &&
        set_item(dict.get(), "thread_name", optional_string(record.thread_name));
    if (!ok) return Ref();
    return dict;
}

// What to do with the error a callable raised: a KeyboardInterrupt (Ctrl-C
// while it ran) goes to the module function that logged, which raises it
// when it returns; outside any (an instance torn down by a release) it is
// re-armed, so that the interpreter raises it at its next check. Anything
// else is reported as unraisable.
void report_callback_error(PyObject* callable) {
    if (InterruptScope::defer_current_error()) return;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        PyErr_SetInterrupt();
        return;
    }
    PyErr_WriteUnraisable(callable);
}

class PyLogCallback final : public kecore::LogCallbackEXT::Target {
public:
    explicit PyLogCallback(PyObject* callable) noexcept : callable_(callable) { Py_INCREF(callable_); }
    ~PyLogCallback() override {
        if (callable_ == nullptr) return;
        GilGuard gil;
        Py_DECREF(callable_);
    }
    PyLogCallback(const PyLogCallback&) = delete;
    PyLogCallback& operator=(const PyLogCallback&) = delete;

    // A callable that raises, or a record that cannot become a dict, must not
    // disturb the operation that logged (see report_callback_error). An
    // exception already propagating (teardown can run while one does) is
    // kept aside and restored afterwards. Once the collector has dropped the
    // callable, records are dropped too.
    void call(kecore::LogMessageEXT record) override {
        GilGuard gil;
        SavedError pending;
        // Our own reference for the call: the callable may be dropped while it runs.
        Ref callable = Ref::borrow(callable_);
        if (!callable) return;
        try {
            Ref dict = record_to_dict(record);
            Ref result = dict ? Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), dict.get(), nullptr)) : Ref();
            if (!result) report_callback_error(callable.get());
        } catch (...) {
            // Out of memory inside the conversion: the record is lost.
            PyErr_Clear();
        }
    }

    const void* address() const noexcept override { return callable_; }

    // Both run with the interpreter lock held, by the collector.
    int visit_host_objects(kecore::HostObjectVisitor& visitor) const override {
        return callable_ != nullptr ? visitor.visit(callable_) : 0;
    }
    void clear_host_objects() noexcept override {
        // Unset before the release, which can run arbitrary code that logs.
        Py_XDECREF(std::exchange(callable_, nullptr));
    }

private:
    PyObject* callable_;
};

bool extract_log_level(PyObject* obj, kecore::LogLevelEXT& out) {
    std::uint32_t value = 0;
    if (!extract_u32(obj, value)) return false;
    std::optional<kecore::LogLevelEXT> level = kecore::log_level_from_value(value);
    if (!level) {
        raise_message(PyExc_ValueError, "Invalid LogLevelEXT value: " + std::to_string(value));
        return false;
    }
    out = *level;
    return true;
}

std::unique_ptr<kecore::OpaqueObject> log_create_info_loader(PyObject* obj) {
    static AttrName level_attr("level"), callback_attr("callback");
    Ref level_object = get_attr(obj, level_attr);
    if (!level_object) return nullptr;
    kecore::LogLevelEXT level = kecore::LogLevelEXT::Trace;
    if (!extract_log_level(level_object.get(), level)) {
        wrap_field_error("LogCreateInfoEXT", "level");
        return nullptr;
    }
    Ref callback = get_attr(obj, callback_attr);
    if (!callback) return nullptr;
    if (PyCallable_Check(callback.get()) == 0) {
        PyErr_SetString(PyExc_TypeError, "Expected a callable object for LogCallbackEXT");
        wrap_field_error("LogCreateInfoEXT", "callback");
        return nullptr;
    }
    return std::make_unique<kecore::LogCreateInfoEXT>(
        level, kecore::LogCallbackEXT(std::make_unique<PyLogCallback>(callback.get())));
}

const kecore::Registrar<PyOpaqueObjectLoadersRegistryEntry> kLogCreateInfoLoader{
    py_opaque_object_loaders, {"kepi.api.ext.kelog.LogCreateInfoEXT", &log_create_info_loader}};

}  // namespace
}  // namespace kepi
