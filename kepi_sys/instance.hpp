// The opaque handle classes Instance and Module.
#pragma once

#include <memory>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/module_key.hpp"
#include "kepi_sys/py.hpp"

namespace kepi {

// Builds both type objects (kept for the process) and adds them to the
// module as "Instance", then "Module". False with the error set on failure.
bool add_handle_classes(PyObject* module);

// A new Instance holding `context`. On failure (error set) the context is
// released, which tears a fresh instance down.
PyObject* new_instance_object(std::shared_ptr<kecore::InstanceContext> context);
// True when `obj` is an Instance.
bool is_instance_object(PyObject* obj) noexcept;
// The context held by an Instance (a new shared reference); `obj` must be one.
std::shared_ptr<kecore::InstanceContext> instance_context_of(PyObject* obj);

// A new Module holding `key` and a weak reference to its instance.
PyObject* new_module_object(kecore::ModuleKey key, std::weak_ptr<kecore::InstanceContext> instance);
bool is_module_object(PyObject* obj) noexcept;

}  // namespace kepi
