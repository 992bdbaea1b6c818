// _ke_create_instance: a host create-info object in, an Instance out.
#include <array>
#include <string>

#include "kecore/base/api.hpp"
#include "kepi_sys/convert.hpp"
#include "kepi_sys/create_info.hpp"
#include "kepi_sys/functions.hpp"
#include "kepi_sys/instance.hpp"

namespace kepi {

PyObject* py_ke_create_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"instance_create_info"};
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments("_ke_create_instance", names, args, nargs, kwnames, bound)) return nullptr;
        std::optional<kecore::InstanceCreateInfo> info = extract_instance_create_info(bound[0]);
        if (!info) {
            // Only the outermost conversion error is shown, without its causes.
            raise_message(PyExc_TypeError, "Invalid InstanceCreateInfo: " + take_error_text());
            return nullptr;
        }
        auto created = kecore::create_instance(std::move(*info));
        if (!created) {
            raise_message(PyExc_RuntimeError, "Failed to create instance: " + created.error().message());
            return nullptr;
        }
        return new_instance_object(std::move(*created));
    });
}

}  // namespace kepi
