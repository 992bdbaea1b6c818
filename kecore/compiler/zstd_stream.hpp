#pragma once

// Streaming zstd over byte vectors and spans.
//
// ZstdCompressor turns bytes written to it, chunk by chunk, into one zstd frame appended
// to an output vector; nothing is staged uncompressed. ZstdDecompressor reads one frame
// out of an input span on demand, as a keinstr::ByteSource for a BorshReader, so a
// frame is inflated only as far as its reader asks.
//
// Failures are keinstr::IoError values: libzstd's own failures carry its error name as
// their message (kind Other); input that ends inside the frame is an UnexpectedEof,
// which a BorshReader reports as "Unexpected length of input".

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "keinstr/utils/borsh.hpp"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace kecore {

class ZstdContextPool;

// From this much input on, a compression context made new takes its workspace in
// huge pages (keinstr/utils/huge_pages.hpp): such input fills a quarter of the
// level-3 window or more, besides the tables every frame clears, and a few huge
// page faults then cost less than the hundreds of small ones. Smaller input
// touches too little of the workspace for that to pay.
inline constexpr std::size_t kLargeInputBytes = std::size_t{512} << 10;

class ZstdCompressor {
public:
    static constexpr int kDefaultLevel = 3;

    // A compressor appending to `out`, which must outlive it. No dictionary; other frame
    // parameters at libzstd's defaults (no checksum, no content size).
    // With `pool`, the context is taken from it and given back when the compressor
    // is destroyed (the pool must outlive the compressor). `expected_input` (bytes,
    // an estimate; 0 for unknown) chooses the memory of a context made new: see
    // kLargeInputBytes.
    static keinstr::BorshResult<ZstdCompressor> create(std::vector<std::uint8_t>& out, int level = kDefaultLevel,
                                                       ZstdContextPool* pool = nullptr, std::size_t expected_input = 0);

    ZstdCompressor(ZstdCompressor&&) noexcept = default;
    ZstdCompressor& operator=(ZstdCompressor&&) noexcept = default;

    // Compresses `data` into the frame; output appears as libzstd emits it.
    keinstr::BorshResult<void> write(std::span<const std::uint8_t> data);
    // Flushes and writes the frame end. Nothing may be written afterwards.
    keinstr::BorshResult<void> finish();
    // A sink that writes to this compressor (which must outlive it and stay in place).
    keinstr::ByteSink sink();

private:
    // Frees the context, or gives it back to its pool.
    struct Free {
        ZstdContextPool* pool = nullptr;
        void operator()(ZSTD_CCtx_s* c) const noexcept;
    };
    ZstdCompressor(std::vector<std::uint8_t>& out, std::unique_ptr<ZSTD_CCtx_s, Free> ctx,
                   std::unique_ptr<std::uint8_t[]> staging, std::size_t staging_size)
        : out_(&out), ctx_(std::move(ctx)), staging_(std::move(staging)), staging_size_(staging_size) {}
    // Runs one compression step until `data` is consumed (continue) or the frame is
    // complete (end).
    keinstr::BorshResult<void> run(std::span<const std::uint8_t> data, bool end);

    std::vector<std::uint8_t>* out_;
    std::unique_ptr<ZSTD_CCtx_s, Free> ctx_;
    // Where libzstd puts each step's output before it is appended to `out_`: room for a
    // whole compressed block, so that libzstd compresses straight into it, and only the
    // bytes produced are copied (no room is made, and zero-filled, in `out_` per step).
    std::unique_ptr<std::uint8_t[]> staging_;
    std::size_t staging_size_ = 0;
    bool finished_ = false;
};

// Compresses what `produce` writes into one zstd frame (level 3 by default) appended to
// `out`. The writer hands the compressor a block's worth of input at a time. On failure
// `out` holds a partial frame; the caller discards it.
keinstr::BorshResult<void> compress_frame(std::vector<std::uint8_t>& out,
                                          const std::function<void(keinstr::BorshWriter&)>& produce,
                                          int level = ZstdCompressor::kDefaultLevel, ZstdContextPool* pool = nullptr,
                                          std::size_t expected_input = 0);

class ZstdDecompressor {
public:
    // A decompressor of the frame at the start of `input` (which must outlive it). Bytes
    // after the frame are never read. The legacy frame formats of zstd 0.1 to 0.7 are
    // accepted, and windows up to libzstd's default limit (2^27 bytes).
    // With `pool`, the context is taken from it and given back when the
    // decompressor is destroyed (the pool must outlive the decompressor).
    static keinstr::BorshResult<ZstdDecompressor> create(std::span<const std::uint8_t> input,
                                                         ZstdContextPool* pool = nullptr);

    ZstdDecompressor(ZstdDecompressor&&) noexcept = default;
    ZstdDecompressor& operator=(ZstdDecompressor&&) noexcept = default;

    // Up to dst.size() decompressed bytes; 0 once the frame has ended. A failure met after
    // some bytes were produced is reported by the next call; failures are sticky.
    keinstr::BorshResult<std::size_t> read(std::span<std::uint8_t> dst);
    // A source reading from this decompressor (which must outlive it and stay in place).
    keinstr::ByteSource source();

    // The frame's end has been decoded and everything handed out.
    bool finished() const noexcept { return finished_; }
    // Compressed bytes consumed so far.
    std::size_t input_consumed() const noexcept { return pos_; }

private:
    // Frees the context, or gives it back to its pool.
    struct Free {
        ZstdContextPool* pool = nullptr;
        void operator()(ZSTD_DCtx_s* c) const noexcept;
    };
    ZstdDecompressor(std::span<const std::uint8_t> input, std::unique_ptr<ZSTD_DCtx_s, Free> ctx)
        : input_(input), ctx_(std::move(ctx)) {}

    // Frames of zstd 0.1 to 0.3, which libzstd decodes only whole: the first read
    // decodes the frame into `whole_`, and reads hand it out from there.
    static bool decoded_whole(std::span<const std::uint8_t> input) noexcept;
    keinstr::BorshResult<void> decode_whole();
    keinstr::BorshResult<std::size_t> read_whole(std::span<std::uint8_t> dst);

    std::span<const std::uint8_t> input_;
    std::unique_ptr<ZSTD_DCtx_s, Free> ctx_;
    std::size_t pos_ = 0;
    std::unique_ptr<std::uint8_t[]> whole_;
    std::size_t whole_size_ = 0;
    std::size_t whole_read_ = 0;
    bool finished_ = false;
    std::optional<keinstr::IoError> error_;
};

// Compression and decompression contexts kept for reuse. Making a context and
// clearing its tables costs about as much as compressing a small module, so an
// instance keeps one context of each kind between its compiles and loads. A
// context is lent to one user at a time (a user that finds none free makes its
// own, which is freed after use unless the pool is empty by then). A context
// given back is reset to its fresh state, so reuse never changes the bytes
// produced or read (a decompressor gives back only a context that decoded a
// current-format frame without failure). Thread-safe.
class ZstdContextPool {
public:
    ZstdContextPool() = default;
    ZstdContextPool(const ZstdContextPool&) = delete;
    ZstdContextPool& operator=(const ZstdContextPool&) = delete;
    ~ZstdContextPool();

    // A fresh context (kept or new); null when memory is exhausted. A new
    // compression context for `large_input` has its workspace in huge pages.
    ZSTD_CCtx_s* take_compression(bool large_input = false);
    ZSTD_DCtx_s* take_decompression();
    // Keeps `c` (reset) when no context of its kind is kept, else frees it.
    void give_back(ZSTD_CCtx_s* c) noexcept;
    void give_back(ZSTD_DCtx_s* c) noexcept;

private:
    std::mutex mutex_;
    ZSTD_CCtx_s* compression_ = nullptr;
    ZSTD_DCtx_s* decompression_ = nullptr;
};

}  // namespace kecore
