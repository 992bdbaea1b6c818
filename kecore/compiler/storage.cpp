#include "kecore/compiler/storage.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_BLOCKSIZE_MAX
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/compiler/zstd_stream.hpp"
#include "kecore/utils/semver.hpp"
#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/utils/arena.hpp"
#include "keinstr/utils/borsh.hpp"
#include "keinstr/utils/huge_pages.hpp"
#include "keinstr/utils/try.hpp"

namespace kecore {

namespace {

using keinstr::BorshReader;
using keinstr::BorshResult;
using keinstr::BorshWriter;

// Decoded bytes pulled from the decompressor per refill of the payload reader: a
// whole block, which libzstd then hands over in one step; for a small frame, a
// few times the frame's size (payloads compress about fivefold), at least 4 KiB.
// The size changes only how often the reader refills: loading a module of a few
// lines should not take and give back 128 KiB.
std::size_t payload_read_buffer(std::size_t frame_bytes) {
    constexpr std::size_t kMinBytes = std::size_t{4} << 10;
    constexpr std::size_t kBlock = ZSTD_BLOCKSIZE_MAX;
    return frame_bytes >= kBlock / 8 ? kBlock : std::clamp(8 * frame_bytes, kMinBytes, kBlock);
}

// What the instruction arrays decoded from a frame of `frame_bytes` are
// expected to take: an estimate that only tunes speed and memory. It is given
// only when it asks for huge pages: the ratio holds for large modules, while
// the frame of a small one is mostly names and UUIDs, and its arena had better
// take memory as its arrays arrive.
std::size_t instruction_bytes_estimate(std::size_t frame_bytes) {
    constexpr std::size_t kPerFrameByte = 12;
    if (frame_bytes > std::numeric_limits<std::size_t>::max() / kPerFrameByte) return 0;
    const std::size_t estimate = kPerFrameByte * frame_bytes;
    return estimate >= keinstr::kHugePageBytes / 2 ? estimate : 0;
}

// The length of the frame at the front of `bytes`, without what follows it;
// 0 when no whole frame is there (reading it then fails).
std::size_t own_frame_bytes(std::span<const std::uint8_t> bytes) {
    const std::size_t length = ZSTD_findFrameCompressedSize(bytes.data(), bytes.size());
    return ZSTD_isError(length) ? 0 : length;
}

// The most decompressed bytes a frame can hold. A frame that declares its
// content size holds exactly that many (libzstd fails a frame whose output
// differs from it, though not always before handing the excess out). A
// frame that does not (ours never does: the payload is streamed) is bounded
// by the format itself: a block regenerates at most 128 KiB and costs at
// least 4 bytes (3 of header, 1 of content, as an RLE block does); the
// legacy formats have the same block limits. Neither bound refuses anything
// that would decode.
std::uint64_t payload_limit(std::span<const std::uint8_t> frame) {
    const unsigned long long declared = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR) return declared;
    constexpr std::uint64_t kMaxBlockContent = 128 * 1024;
    constexpr std::uint64_t kMinBlockBytes = 4;
    return (frame.size() / kMinBlockBytes + 1) * kMaxBlockContent;
}

// The decompressed stream, cut off at the frame's limit: the bytes up to it
// are handed out, and a read that needs any past it fails with the decoder's
// own text for a frame whose content differs from its declared size.
class BoundedPayload {
public:
    BoundedPayload(ZstdDecompressor& decompressor, std::uint64_t limit) : decompressor_(&decompressor), limit_(limit) {}

    keinstr::ByteSource source() {
        return [this](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
            if (overrun_) return std::unexpected(overrun_error());
            auto got = decompressor_->read(dst);
            if (!got) return got;
            if (*got > limit_ - delivered_) {
                const std::size_t within = static_cast<std::size_t>(limit_ - delivered_);
                delivered_ = limit_;
                overrun_ = true;
                if (within == 0) return std::unexpected(overrun_error());
                return within;
            }
            delivered_ += *got;
            return got;
        };
    }

    std::uint64_t limit() const noexcept { return limit_; }

private:
    static keinstr::IoError overrun_error() {
        return keinstr::IoError(keinstr::IoErrorKind::Other, ZSTD_getErrorString(ZSTD_error_corruption_detected));
    }

    ZstdDecompressor* decompressor_;
    std::uint64_t limit_;
    std::uint64_t delivered_ = 0;
    bool overrun_ = false;
};

// Decompressed bytes the reader may still get before the frame's limit.
std::uint64_t remaining(const BorshReader& reader, std::uint64_t limit) {
    return reader.position() < limit ? limit - reader.position() : 0;
}

// The source names: a u32 count, then per name a u32 length and UTF-8 bytes.
// A count or length that the rest of the frame cannot hold is refused before
// anything is read or reserved for it, with the text an early end gives.
BorshResult<std::vector<std::string>> read_source_names(BorshReader& reader, std::uint64_t limit) {
    auto count = KE_TRY(reader.u32());
    // Each name takes at least its 4-byte length.
    if (std::uint64_t{count} * 4 > remaining(reader, limit))
        return std::unexpected(keinstr::IoError::unexpected_length());
    std::vector<std::string> names;
    names.reserve(reader.list_reserve<std::string>(count, 4));
    for (std::uint32_t i = 0; i < count; ++i) {
        auto length = KE_TRY(reader.u32());
        if (length > remaining(reader, limit)) return std::unexpected(keinstr::IoError::unexpected_length());
        std::string name;
        KE_TRY(reader.read_bytes_into(name, length));
        if (auto bad = keinstr::check_utf8(std::string_view(name)))
            return std::unexpected(keinstr::IoError(keinstr::IoErrorKind::InvalidData, bad->to_string()));
        names.push_back(std::move(name));
    }
    return names;
}

// Reads the payload from the decompressed stream: source names, module,
// type registry. Anything after them is not read.
BorshResult<CompiledModuleStorage> read_payload(BorshReader& reader, std::uint64_t limit,
                                                const std::shared_ptr<keinstr::Arena>& instruction_arena) {
    CompiledModuleStorage record;
    record.source_names = KE_TRY(read_source_names(reader, limit));
    KE_TRY(keinstr::borsh_read(reader, record.module, instruction_arena));
    record.type_registry = KE_TRY(keinstr::read_type_registry(reader));
    return record;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, KeError> CompiledModuleStorage::encode(const InstanceContext& instance,
                                                                                std::size_t expected_payload) const {
    KECORE_LOG(instance, Trace, kLogOriginCompiler, "Serializing compiled module storage (module has {} functions)",
               module.functions.size());

    const std::string requirement = VersionReq::exact(instance.version).to_string();
    std::vector<std::uint8_t> out;
    // Level 3 makes a module's payload four to six times smaller: room for a
    // quarter of the expected payload spares the copies (and freshly touched
    // pages) of growing the output as the frame is written.
    out.reserve(kStorageMagic.size() + requirement.size() + 1 + expected_payload / 4);
    out.assign(kStorageMagic.begin(), kStorageMagic.end());
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
        kStorageCompressionLevel, &instance.zstd_contexts(), expected_payload);
    if (!written) {
        std::string text =
            fmt::format("Failed to serialize compiled module storage header: {}", written.error().to_string());
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
    auto decompressor = ZstdDecompressor::create(frame, &instance.zstd_contexts());
    if (!decompressor) return fail(decompressor.error().to_string());
    BoundedPayload payload(*decompressor, payload_limit(frame));
    // Bytes after the frame are never read: they size nothing.
    const std::size_t frame_bytes = own_frame_bytes(frame);
    BorshReader reader(payload.source(), payload_read_buffer(frame_bytes));
    // The module's instruction arrays go into one arena that its functions share:
    // in whole huge pages, not a page fault per 4 KiB of them. They take about
    // twice the payload's bytes, and the payload is five to six times the frame.
    auto arena = std::make_shared<keinstr::Arena>(instruction_bytes_estimate(frame_bytes));
    auto record = read_payload(reader, payload.limit(), arena);
    if (!record) return fail(record.error().to_string());
    return std::move(*record);
}

}  // namespace kecore
