#include "kecore/compiler/storage.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/compiler/zstd_stream.hpp"
#include "kecore/utils/semver.hpp"
#include "keinstr/modules/borsh_ir.hpp"
#include "keinstr/utils/borsh.hpp"

namespace kecore {

namespace {

using keinstr::BorshReader;
using keinstr::BorshResult;
using keinstr::BorshWriter;

// Decoded bytes pulled from the decompressor per refill of the payload reader.
constexpr std::size_t kPayloadReadBuffer = 64 * 1024;

// Refuses a frame whose header asks for a window above kStorageMaxWindow,
// with the decoder's own message for that case. Headers that cannot be read
// here (legacy frame formats, a header cut short) are left to the decoder.
std::optional<std::string> check_frame_window(std::span<const std::uint8_t> frame) {
    ZSTD_frameHeader header{};
    const std::size_t r = ZSTD_getFrameHeader(&header, frame.data(), frame.size());
    if (ZSTD_isError(r) || r != 0) return std::nullopt;
    if (header.frameType != ZSTD_frame) return std::nullopt;
    if (header.windowSize > kStorageMaxWindow)
        return std::string(ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
    return std::nullopt;
}

// Reads the payload from the decompressed stream: source names, module,
// type registry. Anything after them is not read.
BorshResult<CompiledModuleStorage> read_payload(BorshReader& reader) {
    CompiledModuleStorage record;
    auto names = reader.list([](BorshReader& r) { return r.string(); });
    if (!names) return std::unexpected(std::move(names.error()));
    record.source_names = std::move(*names);
    if (auto m = keinstr::borsh_read(reader, record.module); !m) return std::unexpected(std::move(m.error()));
    auto registry = keinstr::read_type_registry(reader);
    if (!registry) return std::unexpected(std::move(registry.error()));
    record.type_registry = std::move(*registry);
    return record;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, KeError> CompiledModuleStorage::encode(const InstanceContext& instance) const {
    KECORE_LOG(instance, Trace, kLogOriginCompiler, "Serializing compiled module storage (module has {} functions)",
               module.functions.size());

    std::vector<std::uint8_t> out(kStorageMagic.begin(), kStorageMagic.end());
    const std::string requirement = VersionReq::exact(instance.version).to_string();
    out.insert(out.end(), requirement.begin(), requirement.end());
    out.push_back(0);

    // The payload goes through the compressor straight into `out`.
    auto written = compress_frame(
        out,
        [&](BorshWriter& w) {
            w.seq(source_names, [](BorshWriter& sw, const std::string& name) { sw.string(name); });
            keinstr::borsh_write(w, module);
            if (type_registry) {
                keinstr::borsh_write(w, *type_registry);
            } else {
                w.u64(0);
            }
        },
        kStorageCompressionLevel);
    if (!written) {
        std::string text = fmt::format("Failed to serialize compiled module storage header: {}",
                                       written.error().to_string());
        KECORE_LOG(instance, Error, kLogOriginCompiler, "{}", text);
        return std::unexpected(KeError(KeError::Unknown{std::move(text)}));
    }
    return out;
}

std::expected<CompiledModuleStorage, KeError> CompiledModuleStorage::decode(const InstanceContext& instance,
                                                                            std::span<const std::uint8_t> data) {
    KECORE_LOG(instance, Trace, kLogOriginCompiler, "Deserializing compiled module storage ({} bytes)", data.size());

    auto fail = [&](std::string_view reason) -> std::expected<CompiledModuleStorage, KeError> {
        std::string text = fmt::format("Failed to read compiled module storage header: {}", reason);
        KECORE_LOG(instance, Error, kLogOriginCompiler, "{}", text);
        return std::unexpected(KeError(KeError::Unknown{std::move(text)}));
    };

    if (data.size() < kStorageMagic.size()) return fail("failed to fill whole buffer");
    if (!std::equal(kStorageMagic.begin(), kStorageMagic.end(), data.begin()))
        return fail("Invalid magic bytes in compiled module storage");

    const std::span<const std::uint8_t> rest = data.subspan(kStorageMagic.size());
    const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    if (nul == rest.end()) return fail("failed to fill whole buffer");
    const std::span<const std::uint8_t> requirement_bytes(rest.begin(), nul);
    if (auto bad = keinstr::check_utf8(requirement_bytes))
        return fail(fmt::format("Invalid UTF-8 in version requirement: {}", bad->to_string()));
    const std::string_view requirement_text(reinterpret_cast<const char*>(requirement_bytes.data()),
                                            requirement_bytes.size());
    auto requirement = VersionReq::parse(requirement_text);
    if (!requirement) return fail(fmt::format("Invalid version requirement format: {}", requirement.error()));
    if (!requirement->matches(instance.version)) {
        return fail(fmt::format("Incompatible compiled module storage version: required {}, found {}", *requirement,
                                instance.version));
    }

    const std::span<const std::uint8_t> frame = rest.subspan(requirement_bytes.size() + 1);
    if (auto refused = check_frame_window(frame)) return fail(*refused);
    auto decompressor = ZstdDecompressor::create(frame);
    if (!decompressor) return fail(decompressor.error().to_string());
    BorshReader reader(decompressor->source(), kPayloadReadBuffer);
    auto record = read_payload(reader);
    if (!record) return fail(record.error().to_string());
    return std::move(*record);
}

}  // namespace kecore
