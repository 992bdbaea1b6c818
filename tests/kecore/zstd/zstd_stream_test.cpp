#include <gtest/gtest.h>

#include <zstd.h>

#include <thread>
#include <utility>
#include <vector>

#include "kecore/compiler/zstd_stream.hpp"

using namespace kecore;
using keinstr::BorshError;
using keinstr::BorshReader;
using keinstr::BorshWriter;
using keinstr::IoErrorKind;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Deterministic bytes that compress somewhat.
Bytes pattern(std::size_t n) {
    Bytes b(n);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<std::uint8_t>((x >> 16) % 7 + 'a');
    }
    return b;
}

// One frame of `payload` written through the borsh writer (u32 count, then the bytes).
Bytes framed(const Bytes& payload) {
    Bytes out = {0xAA};  // something before the frame stays untouched
    auto r = compress_frame(out, [&](BorshWriter& w) { w.bytes(payload); });
    EXPECT_TRUE(r);
    return out;
}

Bytes read_all(ZstdDecompressor& d, std::size_t step) {
    Bytes got;
    std::vector<std::uint8_t> buf(step);
    for (;;) {
        auto n = d.read(buf);
        EXPECT_TRUE(n) << (n ? "" : n.error().to_string());
        if (!n || *n == 0) return got;
        got.insert(got.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*n));
    }
}

}  // namespace

TEST(ZstdStream, RoundTripThroughBorsh) {
    for (std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{3'000'000}}) {
        const Bytes payload = pattern(size);
        const Bytes out = framed(payload);
        ASSERT_GE(out.size(), 5u);
        EXPECT_EQ(out[0], 0xAA);
        EXPECT_EQ((Bytes{out[1], out[2], out[3], out[4]}), (Bytes{0x28, 0xB5, 0x2F, 0xFD}));
        const std::span<const std::uint8_t> frame(out.data() + 1, out.size() - 1);

        // libzstd's one-shot decoder agrees.
        Bytes plain(size + 4);
        EXPECT_EQ(ZSTD_decompress(plain.data(), plain.size(), frame.data(), frame.size()), size + 4);

        // Read back incrementally.
        auto d = ZstdDecompressor::create(frame);
        ASSERT_TRUE(d);
        BorshReader r(d->source());
        auto back = r.bytes();
        ASSERT_TRUE(back) << back.error().to_string();
        EXPECT_EQ(*back, payload);
        auto more = r.u8();
        ASSERT_FALSE(more);
        EXPECT_EQ(more.error(), BorshError::unexpected_length());
        EXPECT_TRUE(d->finished());
        EXPECT_EQ(d->input_consumed(), frame.size());
    }
}

TEST(ZstdStream, BytesAfterTheFrameAreIgnored) {
    Bytes out = framed(pattern(1000));
    const std::size_t frame_size = out.size() - 1;
    const Bytes junk = {0x28, 0xB5, 0x2F, 0xFD, 1, 2, 3, 'j', 'u', 'n', 'k'};
    out.insert(out.end(), junk.begin(), junk.end());
    auto d = ZstdDecompressor::create(std::span(out).subspan(1));
    ASSERT_TRUE(d);
    EXPECT_EQ(read_all(*d, 100).size(), 1004u);
    EXPECT_EQ(d->input_consumed(), frame_size);
    EXPECT_EQ(d->read(std::span<std::uint8_t>()).value(), 0u);
}

TEST(ZstdStream, TruncatedFrames) {
    const Bytes out = framed(pattern(200'000));
    const std::span<const std::uint8_t> frame = std::span(out).subspan(1);
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{7}, frame.size() / 2, frame.size() - 1}) {
        auto d = ZstdDecompressor::create(frame.first(cut));
        ASSERT_TRUE(d);
        // Directly: an UnexpectedEof once the available data is used up.
        Bytes buf(1 << 20);
        std::size_t total = 0;
        keinstr::BorshResult<std::size_t> n;
        while ((n = d->read(buf)) && *n > 0) total += *n;
        ASSERT_FALSE(n) << "cut " << cut;
        EXPECT_EQ(n.error().kind(), IoErrorKind::UnexpectedEof);
        EXPECT_LT(total, 200'004u);
        // Through a reader: "Unexpected length of input".
        auto d2 = ZstdDecompressor::create(frame.first(cut));
        BorshReader r(d2->source());
        auto b = r.bytes();
        ASSERT_FALSE(b) << "cut " << cut;
        EXPECT_EQ(b.error(), BorshError::unexpected_length()) << "cut " << cut;
    }
}

TEST(ZstdStream, DecoderErrorsCarryLibzstdNames) {
    // Not a frame at all.
    const Bytes garbage = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
    auto d = ZstdDecompressor::create(garbage);
    BorshReader r(d->source());
    auto v = r.u8();
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().kind(), IoErrorKind::Other);
    EXPECT_EQ(v.error().to_string(), "Unknown frame descriptor");

    // A checksummed frame whose stored content was altered: the bytes decoded before the
    // check are handed out; the failure shows when the reader asks past them.
    Bytes content(5000);
    std::uint32_t x = 7;
    for (auto& b : content) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);  // incompressible
    Bytes frame(ZSTD_compressBound(content.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);  // as a streamed frame
    const std::size_t size = ZSTD_compress2(cctx, frame.data(), frame.size(), content.data(), content.size());
    ZSTD_freeCCtx(cctx);
    ASSERT_FALSE(ZSTD_isError(size));
    frame.resize(size);
    frame[size - 40] ^= 0x01;
    auto d2 = ZstdDecompressor::create(frame);
    BorshReader r2(d2->source(), 1024);
    Bytes got(1000);
    std::size_t delivered = 0;
    keinstr::BorshResult<void> step;
    while ((step = r2.read_exact(got))) delivered += got.size();
    EXPECT_GE(delivered, 1000u);
    EXPECT_LT(delivered, content.size());
    EXPECT_EQ(step.error().kind(), IoErrorKind::Other);
    EXPECT_EQ(step.error().to_string(), "Restored data doesn't match checksum");
    // Failures are sticky.
    EXPECT_EQ(d2->read(got).error().to_string(), "Restored data doesn't match checksum");
}

TEST(ZstdStream, LargeExpansionIsInflatedOnDemand) {
    // 64 MiB of zeros compress to a few KiB; reading 10 bytes must not decode it all.
    Bytes out;
    const Bytes zeros(1 << 20, 0);
    ASSERT_TRUE(compress_frame(out, [&](BorshWriter& w) {
        for (int i = 0; i < 64; ++i) w.raw(zeros);
    }));
    ASSERT_LT(out.size(), 64u * 1024);
    auto d = ZstdDecompressor::create(out);
    BorshReader r(d->source(), 4096);
    Bytes ten(10);
    ASSERT_TRUE(r.read_exact(ten));
    EXPECT_EQ(ten, Bytes(10, 0));
    EXPECT_FALSE(d->finished());
    EXPECT_LT(d->input_consumed(), out.size());
}

TEST(ZstdStream, WriterFailureAndFinishedFrame) {
    Bytes out;
    auto r = compress_frame(out, [](BorshWriter& w) { w.u8(1).length(std::size_t{1} << 32); });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "invalid data");

    Bytes out2;
    auto c = ZstdCompressor::create(out2);
    ASSERT_TRUE(c);
    const Bytes data = pattern(10);
    ASSERT_TRUE(c->write(data));
    ASSERT_TRUE(c->finish());
    EXPECT_FALSE(c->write(data));
    Bytes plain(10);
    EXPECT_EQ(ZSTD_decompress(plain.data(), plain.size(), out2.data(), out2.size()), 10u);
    EXPECT_EQ(plain, data);
}

namespace {

Bytes framed_with(const Bytes& payload, int level, ZstdContextPool* pool, std::size_t expected_input = 0) {
    Bytes out;
    auto r = compress_frame(
        out, [&](BorshWriter& w) { w.bytes(payload); }, level, pool, expected_input);
    EXPECT_TRUE(r);
    return out;
}

Bytes unframed_with(const Bytes& frame, ZstdContextPool* pool) {
    auto d = ZstdDecompressor::create(frame, pool);
    EXPECT_TRUE(d);
    if (!d) return {};
    BorshReader r(d->source());
    auto back = r.bytes();
    EXPECT_TRUE(back) << (back ? "" : back.error().to_string());
    return back ? *back : Bytes{};
}

}  // namespace

TEST(ZstdCompressor, ExpectedInputChangesNoByte) {
    // The estimate only chooses memory: that of a new context (huge pages from
    // kLargeInputBytes on) and the staging buffers (small for a small estimate).
    // Wrong estimates either way, and a pooled context made for one size and
    // reused for another, must write the same frames.
    ZstdContextPool pool;
    const std::size_t hints[] = {0, 1, 100, kLargeInputBytes - 1, kLargeInputBytes, std::size_t{64} << 20};
    for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{700'000}, std::size_t{3'000'000}}) {
        const Bytes payload = pattern(size);
        const Bytes fresh = framed_with(payload, 3, nullptr);
        for (const std::size_t hint : hints) {
            EXPECT_EQ(framed_with(payload, 3, nullptr, hint), fresh) << size << " expecting " << hint;
            EXPECT_EQ(framed_with(payload, 3, &pool, hint), fresh) << size << " expecting " << hint << ", pooled";
        }
        EXPECT_EQ(unframed_with(fresh, &pool), payload) << size;
    }
}

TEST(ZstdContextPool, ReusedContextsGiveTheBytesOfFreshOnes) {
    ZstdContextPool pool;
    // Other levels and sizes in between must leave nothing behind in the kept context.
    const std::vector<std::pair<std::size_t, int>> runs = {{100, 3},     {300'000, 19},  {0, 3},  {200'000, 1},
                                                           {200'000, 3}, {3'000'000, 3}, {100, 3}};
    for (const auto& [size, level] : runs) {
        const Bytes payload = pattern(size);
        const Bytes fresh = framed_with(payload, level, nullptr);
        EXPECT_EQ(framed_with(payload, level, &pool), fresh) << size << " at level " << level;
        EXPECT_EQ(unframed_with(fresh, &pool), payload) << size;
    }

    // A decompression that failed part way leaves the kept context fit for the next frame.
    const Bytes good = framed_with(pattern(50'000), 3, nullptr);
    Bytes broken = good;
    broken.resize(broken.size() / 2);
    {
        auto d = ZstdDecompressor::create(broken, &pool);
        ASSERT_TRUE(d);
        BorshReader r(d->source());
        EXPECT_FALSE(r.bytes());
    }
    EXPECT_EQ(unframed_with(good, &pool), pattern(50'000));
    // So does a compression given up before its frame was finished.
    {
        Bytes out;
        auto c = ZstdCompressor::create(out, 3, &pool);
        ASSERT_TRUE(c);
        ASSERT_TRUE(c->write(pattern(300'000)));
    }
    EXPECT_EQ(framed_with(pattern(1000), 3, &pool), framed_with(pattern(1000), 3, nullptr));
}

TEST(ZstdContextPool, LendsToOneUserAtATime) {
    ZstdContextPool pool;
    const Bytes a = pattern(70'000);
    const Bytes b = pattern(90'000);
    Bytes out_a;
    Bytes out_b;
    {
        // Two compressors at once: the second finds the pool empty and makes its own.
        auto first = ZstdCompressor::create(out_a, 3, &pool);
        auto second = ZstdCompressor::create(out_b, 3, &pool);
        ASSERT_TRUE(first && second);
        ASSERT_TRUE(first->write(a) && second->write(b));
        ASSERT_TRUE(first->finish() && second->finish());
    }
    Bytes plain_a(a.size());
    Bytes plain_b(b.size());
    EXPECT_EQ(ZSTD_decompress(plain_a.data(), plain_a.size(), out_a.data(), out_a.size()), a.size());
    EXPECT_EQ(ZSTD_decompress(plain_b.data(), plain_b.size(), out_b.data(), out_b.size()), b.size());
    EXPECT_EQ(plain_a, a);
    EXPECT_EQ(plain_b, b);

    // Threads sharing one pool all produce and read what fresh contexts do.
    const Bytes payload = pattern(150'000);
    const Bytes expected = framed_with(payload, 3, nullptr);
    std::vector<int> good(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < good.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                const Bytes frame = framed_with(payload, 3, &pool);
                if (frame == expected && unframed_with(frame, &pool) == payload) ++good[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(good, std::vector<int>(good.size(), 5));
}
