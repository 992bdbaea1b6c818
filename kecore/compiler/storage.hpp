// Compiled-module storage: the self-describing byte string that compilation
// produces and loading accepts.
//
// Layout: the 8 magic bytes 7F "KEMODIR", the NUL-terminated version
// requirement of the producing runtime ("=" MAJOR.MINOR.PATCH[-PRE]), then one
// zstd frame whose content is the borsh encoding of the source names, the
// module and its type registry. Bytes after the payload are never examined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kecore/utils/error.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/types/registry.hpp"

namespace kecore {

class InstanceContext;

// DEL followed by "KEMODIR"; read little-endian it is 0x5249444F4D454B7F.
inline constexpr std::array<std::uint8_t, 8> kStorageMagic{0x7F, 0x4B, 0x45, 0x4D, 0x4F, 0x44, 0x49, 0x52};

// The zstd compression level of the payload frame.
inline constexpr int kStorageCompressionLevel = 3;

struct CompiledModuleStorage {
    // File names of the named sources, in source order (informational).
    std::vector<std::string> source_names;
    // The module; its type references point into `type_registry`.
    keinstr::Module module;
    // The registry of the module's types. A null registry is written as an
    // empty one; decode always fills it.
    std::unique_ptr<keinstr::TypeRegistry> type_registry;

    // The storage bytes. Logs "Serializing compiled module storage (module has
    // {} functions)" at Trace; a failure is logged at Error and returned as
    // Unknown "Failed to serialize compiled module storage header: {}".
    // `expected_payload` (bytes, an estimate; 0 for unknown) only tunes the
    // compressor's memory (ZstdCompressor::create).
    std::expected<std::vector<std::uint8_t>, KeError> encode(const InstanceContext& instance,
                                                             std::size_t expected_payload = 0) const;

    // A new record read from `data`. Logs "Deserializing compiled module
    // storage ({} bytes)" at Trace; a failure is logged at Error and returned
    // as Unknown "Failed to read compiled module storage header: {}". The
    // requirement must be satisfied by the instance's version.
    static std::expected<CompiledModuleStorage, KeError> decode(const InstanceContext& instance,
                                                                std::span<const std::uint8_t> data);
};

}  // namespace kecore
