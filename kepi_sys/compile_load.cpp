// _ke_compile_module and _ke_load_module: the main road from Python.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "kecore/compiler/compile.hpp"
#include "kecore/compiler/load.hpp"
#include "kepi_sys/convert.hpp"
#include "kepi_sys/create_info.hpp"
#include "kepi_sys/functions.hpp"
#include "kepi_sys/instance.hpp"

namespace kepi {
namespace {

// The argument TypeError of a value that is not of the wanted class.
void raise_argument_type(const char* name, PyObject* obj, const char* target) {
    raise_message(PyExc_TypeError, std::string("argument '") + name + "': '" +
                                       qualname_of_type(reinterpret_cast<PyObject*>(Py_TYPE(obj))) +
                                       "' object cannot be converted to '" + target + "'");
}

// The instance held by the `instance` argument (a shared reference for the
// call), or null with the argument TypeError raised.
std::shared_ptr<kecore::InstanceContext> borrow_instance(PyObject* obj) {
    if (!is_instance_object(obj)) {
        raise_argument_type("instance", obj, "Instance");
        return nullptr;
    }
    return instance_context_of(obj);
}

}  // namespace

PyObject* py_ke_compile_module(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 2> names{"instance", "compile_info"};
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments("_ke_compile_module", names, args, nargs, kwnames, bound)) return nullptr;
        std::shared_ptr<kecore::InstanceContext> instance = borrow_instance(bound[0]);
        if (!instance) return nullptr;
        // The source texts are read in place; `lenders` keeps their str objects
        // alive (a log callback could replace them on the info meanwhile).
        std::vector<Ref> lenders;
        std::optional<kecore::ModuleCompileInfo> info = extract_module_compile_info(bound[1], lenders);
        if (!info) {
            // Only the outermost conversion error is shown, without its causes.
            raise_message(PyExc_TypeError, "Invalid ModuleCompileInfo: " + take_error_text());
            return nullptr;
        }
        auto compiled = kecore::compile_sources(*instance, std::move(*info));
        if (!compiled) {
            raise_message(PyExc_RuntimeError, "Failed to compile module: " + compiled.error().message());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(compiled->data()),
                                         static_cast<Py_ssize_t>(compiled->size()));
    });
}

PyObject* py_ke_load_module(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 2> names{"instance", "module_data"};
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments("_ke_load_module", names, args, nargs, kwnames, bound)) return nullptr;
        std::shared_ptr<kecore::InstanceContext> instance = borrow_instance(bound[0]);
        if (!instance) return nullptr;
        // bytes or a subclass of it; read in place (the caller keeps the
        // object alive for the call, and bytes never change).
        if (!PyBytes_Check(bound[1])) {
            raise_argument_type("module_data", bound[1], "PyBytes");
            return nullptr;
        }
        char* raw = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bound[1], &raw, &size) < 0) return nullptr;
        const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(raw),
                                                 static_cast<std::size_t>(size));
        auto loaded = kecore::load_module(instance, data);
        if (!loaded) {
            raise_message(PyExc_RuntimeError, "Failed to load compiled module: " + loaded.error().message());
            return nullptr;
        }
        return new_module_object(*loaded, std::weak_ptr<kecore::InstanceContext>(instance));
    });
}

}  // namespace kepi
