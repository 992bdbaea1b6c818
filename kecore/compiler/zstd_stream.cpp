#include "kecore/compiler/zstd_stream.hpp"

// For ZSTD_createCCtx_advanced and ZSTD_customMem.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "keinstr/utils/huge_pages.hpp"
#include "keinstr/utils/try.hpp"

namespace kecore {

using keinstr::BorshResult;
using keinstr::IoError;
using keinstr::IoErrorKind;

namespace {

IoError zstd_error(std::size_t code) { return IoError(IoErrorKind::Other, ZSTD_getErrorName(code)); }

IoError out_of_memory() { return IoError(IoErrorKind::OutOfMemory); }

// A compression context makes one workspace of several megabytes at level 3
// (window, hash and chain tables, block buffers), which a large input touches
// nearly whole: in huge pages that is a handful of page faults instead of
// several hundred (about a tenth of the time of compiling a megabyte of text).
// Smaller requests come from the heap.
constexpr std::size_t kHugeWorkspaceBytes = std::size_t{1} << 20;

void* workspace_alloc(void*, std::size_t bytes) {
    return bytes >= kHugeWorkspaceBytes ? keinstr::allocate_huge_pages(bytes) : std::malloc(bytes);
}

void workspace_free(void*, void* p) { std::free(p); }

// A staging buffer of libzstd's recommended size, or smaller for a small input
// (never below 4 KiB): a buffer too small only means more calls, never other
// output, and a compile of a few lines should not take and give back 256 KiB.
std::size_t buffer_size(std::size_t recommended, std::size_t expected_input) {
    constexpr std::size_t kMinBytes = std::size_t{4} << 10;
    if (expected_input == 0) return recommended;
    return std::clamp(expected_input + kMinBytes, kMinBytes, recommended);
}

ZSTD_CCtx* new_compression_context(bool large_input) {
    if (!large_input) return ZSTD_createCCtx();
    return ZSTD_createCCtx_advanced(ZSTD_customMem{&workspace_alloc, &workspace_free, nullptr});
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Compression

void ZstdCompressor::Free::operator()(ZSTD_CCtx_s* c) const noexcept {
    if (pool != nullptr) {
        pool->give_back(c);
    } else {
        ZSTD_freeCCtx(c);
    }
}

BorshResult<ZstdCompressor> ZstdCompressor::create(std::vector<std::uint8_t>& out, int level, ZstdContextPool* pool,
                                                   std::size_t expected_input) {
    const bool large = expected_input >= kLargeInputBytes;
    std::unique_ptr<ZSTD_CCtx_s, Free> ctx(
        pool != nullptr ? pool->take_compression(large) : new_compression_context(large), Free{pool});
    if (!ctx) return std::unexpected(out_of_memory());
    if (const std::size_t r = ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, level); ZSTD_isError(r))
        return std::unexpected(zstd_error(r));
    const std::size_t staging_size = buffer_size(ZSTD_CStreamOutSize(), expected_input);
    return ZstdCompressor(out, std::move(ctx), std::make_unique_for_overwrite<std::uint8_t[]>(staging_size),
                          staging_size);
}

BorshResult<void> ZstdCompressor::run(std::span<const std::uint8_t> data, bool end) {
    if (finished_) return std::unexpected(IoError(IoErrorKind::Other, "zstd frame already finished"));
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    for (;;) {
        ZSTD_outBuffer out{staging_.get(), staging_size_, 0};
        const std::size_t r = ZSTD_compressStream2(ctx_.get(), &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
        out_->insert(out_->end(), staging_.get(), staging_.get() + out.pos);
        if (ZSTD_isError(r)) return std::unexpected(zstd_error(r));
        if (end) {
            if (r == 0) {
                finished_ = true;
                return {};
            }
        } else if (in.pos == in.size) {
            return {};
        }
    }
}

BorshResult<void> ZstdCompressor::write(std::span<const std::uint8_t> data) {
    if (data.empty()) return {};
    return run(data, false);
}

BorshResult<void> ZstdCompressor::finish() { return run({}, true); }

keinstr::ByteSink ZstdCompressor::sink() {
    return [this](std::span<const std::uint8_t> data) { return write(data); };
}

BorshResult<void> compress_frame(std::vector<std::uint8_t>& out,
                                 const std::function<void(keinstr::BorshWriter&)>& produce, int level,
                                 ZstdContextPool* pool, std::size_t expected_input) {
    auto compressor = KE_TRY(ZstdCompressor::create(out, level, pool, expected_input));
    keinstr::BorshWriter writer(compressor.sink(), buffer_size(ZSTD_CStreamInSize(), expected_input));
    produce(writer);
    if (auto r = writer.finish(); !r) return r;
    return compressor.finish();
}

// ---------------------------------------------------------------------------------------
// Decompression

void ZstdDecompressor::Free::operator()(ZSTD_DCtx_s* c) const noexcept {
    if (pool != nullptr) {
        pool->give_back(c);
    } else {
        ZSTD_freeDCtx(c);
    }
}

BorshResult<ZstdDecompressor> ZstdDecompressor::create(std::span<const std::uint8_t> input, ZstdContextPool* pool) {
    // libzstd's reset leaves some state of its legacy decoders and of a failed
    // frame behind, which changes what corrupt input decodes to: a context is
    // kept for reuse only after a frame of the current format that met no failure.
    const bool current_format =
        input.size() >= 4 && input[0] == 0x28 && input[1] == 0xB5 && input[2] == 0x2F && input[3] == 0xFD;
    std::unique_ptr<ZSTD_DCtx_s, Free> ctx(pool != nullptr ? pool->take_decompression() : ZSTD_createDCtx(),
                                           Free{current_format ? pool : nullptr});
    if (!ctx) return std::unexpected(out_of_memory());
    return ZstdDecompressor(input, std::move(ctx));
}

bool ZstdDecompressor::decoded_whole(std::span<const std::uint8_t> input) noexcept {
    if (input.size() < 4) return false;
    const std::uint32_t magic = static_cast<std::uint32_t>(input[0]) | static_cast<std::uint32_t>(input[1]) << 8 |
                                static_cast<std::uint32_t>(input[2]) << 16 | static_cast<std::uint32_t>(input[3]) << 24;
    // 0.1 wrote its magic big-endian.
    return magic == 0x1EB52FFDu || magic == 0xFD2FB522u || magic == 0xFD2FB523u;
}

BorshResult<void> ZstdDecompressor::decode_whole() {
    const std::size_t frame_size = ZSTD_findFrameCompressedSize(input_.data(), input_.size());
    if (ZSTD_isError(frame_size)) return std::unexpected(zstd_error(frame_size));
    // The bound counts a whole block per block header, however small the block:
    // the buffer starts at one block and doubles only while the decoder finds it
    // too small, so memory follows the frame's real content, not its claims.
    const unsigned long long bound = ZSTD_decompressBound(input_.data(), frame_size);
    if (bound == ZSTD_CONTENTSIZE_ERROR)
        return std::unexpected(IoError(IoErrorKind::Other, ZSTD_getErrorString(ZSTD_error_corruption_detected)));
    std::size_t capacity = static_cast<std::size_t>(std::min<unsigned long long>(bound, ZSTD_BLOCKSIZE_MAX));
    for (;;) {
        auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        const std::size_t r = ZSTD_decompressDCtx(ctx_.get(), buffer.get(), capacity, input_.data(), frame_size);
        if (!ZSTD_isError(r)) {
            whole_ = std::move(buffer);
            whole_size_ = r;
            pos_ = frame_size;
            return {};
        }
        if (ZSTD_getErrorCode(r) != ZSTD_error_dstSize_tooSmall || capacity >= bound)
            return std::unexpected(zstd_error(r));
        capacity = static_cast<std::size_t>(std::min<unsigned long long>(bound, 2 * capacity));
    }
}

BorshResult<std::size_t> ZstdDecompressor::read_whole(std::span<std::uint8_t> dst) {
    if (!whole_) {
        if (auto r = decode_whole(); !r) {
            error_ = std::move(r.error());
            return std::unexpected(*error_);
        }
    }
    const std::size_t n = std::min(dst.size(), whole_size_ - whole_read_);
    std::copy_n(whole_.get() + whole_read_, n, dst.data());
    whole_read_ += n;
    if (whole_read_ == whole_size_) {
        finished_ = true;
        whole_.reset();
    }
    return n;
}

BorshResult<std::size_t> ZstdDecompressor::read(std::span<std::uint8_t> dst) {
    if (error_) return std::unexpected(*error_);
    if (finished_ || dst.empty()) return 0;
    if (decoded_whole(input_)) return read_whole(dst);
    ZSTD_outBuffer out{dst.data(), dst.size(), 0};
    for (;;) {
        ZSTD_inBuffer in{input_.data(), input_.size(), pos_};
        const std::size_t out_before = out.pos;
        const std::size_t r = ZSTD_decompressStream(ctx_.get(), &out, &in);
        const bool progress = in.pos != pos_ || out.pos != out_before;
        pos_ = in.pos;
        if (ZSTD_isError(r)) {
            // A failing call's output is not output: some decoders (the legacy
            // ones among them) report their whole buffer as filled when they
            // fail. Bytes of the calls before it stand; the failure comes now,
            // or with the next read.
            error_ = zstd_error(r);
            ctx_.get_deleter().pool = nullptr;
            if (out_before > 0) return out_before;
            return std::unexpected(*error_);
        }
        if (r == 0) {
            // End of the frame: everything is flushed. What follows is not ours.
            finished_ = true;
            return out.pos;
        }
        if (out.pos == out.size) return out.pos;
        if (!progress) {
            // The input ended inside the frame.
            if (out_before > 0) return out_before;
            error_ = IoError(IoErrorKind::UnexpectedEof, "incomplete frame");
            ctx_.get_deleter().pool = nullptr;
            return std::unexpected(*error_);
        }
    }
}

keinstr::ByteSource ZstdDecompressor::source() {
    return [this](std::span<std::uint8_t> dst) { return read(dst); };
}

// ---------------------------------------------------------------------------------------
// Context pool

ZstdContextPool::~ZstdContextPool() {
    ZSTD_freeCCtx(compression_);
    ZSTD_freeDCtx(decompression_);
}

namespace {

// The kept context of a kind, taken out of `slot`, or a new one.
template <class Ctx, class Make>
Ctx* take_or_make(std::mutex& mutex, Ctx*& slot, Make make) {
    {
        std::lock_guard lock(mutex);
        if (slot != nullptr) return std::exchange(slot, nullptr);
    }
    return make();
}

// Keeps `c` in `slot` once reset to its fresh state (no session, every parameter
// at its default), unless a context is kept there already; frees it otherwise.
template <class Ctx>
void keep_or_free(std::mutex& mutex, Ctx*& slot, Ctx* c, std::size_t (*reset)(Ctx*, ZSTD_ResetDirective),
                  std::size_t (*free)(Ctx*)) noexcept {
    if (c == nullptr) return;
    if (!ZSTD_isError(reset(c, ZSTD_reset_session_and_parameters))) {
        std::lock_guard lock(mutex);
        if (slot == nullptr) {
            slot = c;
            return;
        }
    }
    free(c);
}

}  // namespace

ZSTD_CCtx_s* ZstdContextPool::take_compression(bool large_input) {
    return take_or_make(mutex_, compression_, [large_input] { return new_compression_context(large_input); });
}

ZSTD_DCtx_s* ZstdContextPool::take_decompression() { return take_or_make(mutex_, decompression_, &ZSTD_createDCtx); }

void ZstdContextPool::give_back(ZSTD_CCtx_s* c) noexcept {
    keep_or_free(mutex_, compression_, c, &ZSTD_CCtx_reset, &ZSTD_freeCCtx);
}

void ZstdContextPool::give_back(ZSTD_DCtx_s* c) noexcept {
    keep_or_free(mutex_, decompression_, c, &ZSTD_DCtx_reset, &ZSTD_freeDCtx);
}

}  // namespace kecore
