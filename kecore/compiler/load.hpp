// Module loading: compiled-module storage in, a module of a running instance
// out.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "kecore/base/module_key.hpp"
#include "kecore/utils/error.hpp"

namespace kecore {

class InstanceContext;

// Decodes `data`, merges the stored type registry into the instance's,
// rewrites the module's type references into the instance's and adds the
// module to the instance. Types merged stay in the instance's registry even
// when adding the module fails. A stored registry holding a type that refers
// to a type it does not hold cannot be merged: the load then fails with
// Unknown "Failed to merge type registry: {n} type(s) refer to types the
// stored registry does not hold" (the other stored types are merged).
std::expected<ModuleKey, KeError> load_module(const std::shared_ptr<InstanceContext>& instance,
                                              std::span<const std::uint8_t> data);

}  // namespace kecore
