// Create-info records read from host objects, and the registry of loaders
// that turn host extension settings objects into settings records.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/utils/opaque.hpp"
#include "kecore/utils/static_registry.hpp"
#include "kepi_sys/py.hpp"

namespace kepi {

// A loader: the host object converted into a settings record, or null with a
// Python error set.
using PyOpaqueObjectLoader = std::unique_ptr<kecore::OpaqueObject> (*)(PyObject* obj);

struct PyOpaqueObjectLoadersRegistryEntry {
    std::string_view type_name;  // fully qualified host type name, matched exactly
    PyOpaqueObjectLoader loader;

    std::string_view key() const noexcept { return type_name; }
};

using PyOpaqueObjectLoadersRegistry = kecore::StaticRegistry<PyOpaqueObjectLoadersRegistryEntry>;
extern constinit PyOpaqueObjectLoadersRegistry py_opaque_object_loaders;

// The fully qualified name of an object's type: "__module__.__qualname__",
// or the qualified name alone for "builtins" and "__main__". False with the
// error set when either attribute cannot be read as a str.
bool fully_qualified_type_name(PyObject* obj, std::string& out);

// One settings object of `ext` as a record, through the loader registered
// for its type. An unregistered type prints "No loader registered for type
// ..." to standard output and fails with a TypeError of the same text.
std::unique_ptr<kecore::OpaqueObject> load_opaque_object(PyObject* obj);

// Record conversions; none (with the Python error set) on failure.
std::optional<kecore::InstanceCreateInfo> extract_instance_create_info(PyObject* obj);
// The source texts are borrowed from their str objects, whose references are
// added to `lenders`: keep those while the info is in use.
std::optional<kecore::ModuleCompileInfo> extract_module_compile_info(PyObject* obj, std::vector<Ref>& lenders);

}  // namespace kepi
