// The compiler pipeline: textual IR sources in, compiled-module storage out.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/utils/error.hpp"

namespace kecore {

class InstanceContext;

// Parses every source of `info` (consumed), in order, into one module with a
// type registry of its own (six zero bytes as node id, counter at 0),
// verifies the module, type-checks each function in UUID order and encodes
// the storage. The instance only receives the log records and lends its
// version to the storage; its registry and modules are not touched. A parse,
// verification or type-check failure is returned as `Ir`, after an Error
// record naming the source or function; an encoding failure as the
// encoder's error.
std::expected<std::vector<std::uint8_t>, KeError> compile_sources(const InstanceContext& instance,
                                                                  ModuleCompileInfo info);

}  // namespace kecore
