#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <set>

#include "keinstr/utils/borsh.hpp"

using namespace keinstr;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A source handing out `data` at most `chunk` bytes per pull.
ByteSource chunked_source(const Bytes& data, std::size_t chunk) {
    auto pos = std::make_shared<std::size_t>(0);
    return [&data, chunk, pos](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
        const std::size_t n = std::min({chunk, dst.size(), data.size() - *pos});
        if (n) std::memcpy(dst.data(), data.data() + *pos, n);
        *pos += n;
        return n;
    };
}

std::string error_text(const BorshError& e) { return e.to_string(); }

// A record touching every primitive, written and read field by field.
struct Sample {
    std::uint8_t a = 0;
    std::uint16_t b = 0;
    std::uint32_t c = 0;
    std::uint64_t d = 0;
    std::int64_t e = 0;
    bool f = false;
    std::string g;
    std::optional<std::uint32_t> h;
    std::vector<std::uint16_t> i;
    std::map<std::uint32_t, std::string> j;
    std::set<std::uint16_t> k;
    Uuid l;
    BigInt m;
    std::uint8_t tag = 0;
    bool operator==(const Sample&) const = default;
};

void write_sample(BorshWriter& w, const Sample& s) {
    w.u8(s.a).u16(s.b).u32(s.c).u64(s.d).i64(s.e).boolean(s.f).string(s.g);
    w.option(s.h, [](BorshWriter& w, std::uint32_t v) { w.u32(v); });
    w.seq(s.i, [](BorshWriter& w, std::uint16_t v) { w.u16(v); });
    w.map(
        s.j, [](BorshWriter& w, std::uint32_t k) { w.u32(k); },
        [](BorshWriter& w, const std::string& v) { w.string(v); });
    w.seq(s.k, [](BorshWriter& w, std::uint16_t v) { w.u16(v); });
    w.uuid(s.l).bigint(s.m).tag(s.tag);
}

BorshResult<Sample> read_sample(BorshReader& r) {
    Sample s;
#define TRY(field, expr)                                      \
    {                                                         \
        auto v = (expr);                                      \
        if (!v) return std::unexpected(std::move(v.error())); \
        s.field = std::move(*v);                              \
    }
    TRY(a, r.u8());
    TRY(b, r.u16());
    TRY(c, r.u32());
    TRY(d, r.u64());
    TRY(e, r.i64());
    TRY(f, r.boolean());
    TRY(g, r.string());
    TRY(h, r.option([](BorshReader& r) { return r.u32(); }));
    TRY(i, r.list([](BorshReader& r) { return r.u16(); }));
    TRY(j, r.map([](BorshReader& r) -> BorshResult<std::pair<std::uint32_t, std::string>> {
        auto k = r.u32();
        if (!k) return std::unexpected(k.error());
        auto v = r.string();
        if (!v) return std::unexpected(v.error());
        return std::pair(*k, *v);
    }));
    TRY(k, r.set([](BorshReader& r) { return r.u16(); }));
    TRY(l, r.uuid());
    TRY(m, r.bigint());
    TRY(tag, r.tag(5));
#undef TRY
    return s;
}

Sample make_sample() {
    Sample s;
    s.a = 0xAB;
    s.b = 0x1234;
    s.c = 0xDEADBEEF;
    s.d = 0x0102030405060708ULL;
    s.e = -2;
    s.f = true;
    s.g = "h\xc3\xa9llo";
    s.h = 7;
    s.i = {1, 2};
    s.j = {{2, "b"}, {1, "a"}};
    s.k = {9, 3};
    for (int n = 0; n < 16; ++n) s.l.bytes[n] = static_cast<std::uint8_t>(n);
    s.m = BigInt(-129);
    s.tag = 4;
    return s;
}

}  // namespace

TEST(Borsh, SampleLayout) {
    Bytes out;
    BorshWriter w(out);
    write_sample(w, make_sample());
    ASSERT_TRUE(w.finish());
    Bytes expected = {0xAB, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE, 8,    7,   6,   5, 4, 3,   2, 1,  // a b c d
                      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,                             // e = -2
                      1,                                                                          // f
                      6,    0,    0,    0,    'h',  0xC3, 0xA9, 'l',  'l', 'o',                   // g
                      1,    7,    0,    0,    0,                                                  // h
                      2,    0,    0,    0,    1,    0,    2,    0,                                // i
                      2,    0,    0,    0,    1,    0,    0,    0,    1,   0,   0, 0, 'a', 2, 0,
                      0,    0,    1,    0,    0,    0,    'b',       // j ascending
                      2,    0,    0,    0,    3,    0,    9,    0};  // k ascending
    for (int n = 0; n < 16; ++n) expected.push_back(static_cast<std::uint8_t>(n));
    for (std::uint8_t b : {2, 0, 0, 0, 0x7F, 0xFF, 4}) expected.push_back(b);  // m = -129, tag
    EXPECT_EQ(out, expected);
    EXPECT_EQ(w.bytes_written(), expected.size());

    // Read back from a span and from a source pulling one byte at a time.
    BorshReader span_reader(out);
    auto s1 = read_sample(span_reader);
    ASSERT_TRUE(s1) << error_text(s1.error());
    EXPECT_EQ(*s1, make_sample());
    EXPECT_EQ(span_reader.position(), out.size());
    BorshReader pull_reader(chunked_source(out, 1), 16);
    auto s2 = read_sample(pull_reader);
    ASSERT_TRUE(s2) << error_text(s2.error());
    EXPECT_EQ(*s2, make_sample());

    // A buffered sink with a tiny buffer hands over the same bytes.
    Bytes sunk;
    std::size_t calls = 0;
    BorshWriter sw(
        [&](std::span<const std::uint8_t> chunk) -> BorshResult<void> {
            EXPECT_LE(chunk.size(), 7u);  // never more than the buffer holds
            sunk.insert(sunk.end(), chunk.begin(), chunk.end());
            ++calls;
            return {};
        },
        7);
    write_sample(sw, make_sample());
    ASSERT_TRUE(sw.finish());
    EXPECT_EQ(sunk, expected);
    EXPECT_GT(calls, 5u);
}

TEST(Borsh, TruncationAtEveryOffset) {
    Bytes out;
    BorshWriter w(out);
    write_sample(w, make_sample());
    for (std::size_t cut = 0; cut < out.size(); ++cut) {
        Bytes prefix(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(cut));
        BorshReader r(prefix);
        auto s = read_sample(r);
        ASSERT_FALSE(s) << "cut " << cut;
        EXPECT_EQ(s.error(), BorshError::unexpected_length()) << "cut " << cut;
        EXPECT_EQ(s.error().kind(), IoErrorKind::InvalidData);
        BorshReader pr(chunked_source(prefix, 3), 16);
        auto p = read_sample(pr);
        ASSERT_FALSE(p) << "cut " << cut;
        EXPECT_EQ(error_text(p.error()), "Unexpected length of input") << "cut " << cut;
    }
}

TEST(Borsh, MalformedMarkers) {
    struct Case {
        Bytes in;
        std::function<BorshResult<void>(BorshReader&)> read;
        std::string message;
    };
    const auto drop = [](auto r) -> BorshResult<void> {
        if (!r) return std::unexpected(r.error());
        return {};
    };
    const Case cases[] = {
        {{2}, [&](BorshReader& r) { return drop(r.boolean()); }, "Invalid bool representation: 2"},
        {{255}, [&](BorshReader& r) { return drop(r.boolean()); }, "Invalid bool representation: 255"},
        {{2, 0},
         [&](BorshReader& r) { return drop(r.option([](BorshReader& r) { return r.u8(); })); },
         "Invalid Option representation: 2. The first byte must be 0 or 1"},
        {{7}, [&](BorshReader& r) { return drop(r.tag(7)); }, "Unexpected variant tag: 7"},
        {{200}, [&](BorshReader& r) { return drop(r.tag(37)); }, "Unexpected variant tag: 200"},
        {{1, 0, 0, 0, 0xFF},
         [&](BorshReader& r) { return drop(r.string()); },
         "invalid utf-8 sequence of 1 bytes from index 0"},
        // A forged count ends at the end of the data, without a matching allocation.
        {{0xFF, 0xFF, 0xFF, 0xFF, 'a'}, [&](BorshReader& r) { return drop(r.string()); }, "Unexpected length of input"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 1, 2},
         [&](BorshReader& r) { return drop(r.bigint()); },
         "Unexpected length of input"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0},
         [&](BorshReader& r) { return drop(r.list([](BorshReader& r) { return r.u64(); })); },
         "Unexpected length of input"},
    };
    for (const auto& c : cases) {
        BorshReader r(c.in);
        auto res = c.read(r);
        ASSERT_FALSE(res) << c.message;
        EXPECT_EQ(res.error().kind(), IoErrorKind::InvalidData);
        EXPECT_EQ(error_text(res.error()), c.message);
    }
    // Accepted values next to the rejected ones.
    Bytes ok = {0, 1, 0, 1, 9, 6};
    BorshReader r(ok);
    EXPECT_EQ(r.boolean(), false);
    EXPECT_EQ(r.boolean(), true);
    EXPECT_EQ(r.option([](BorshReader& r) { return r.u8(); }).value(), std::optional<std::uint8_t>());
    EXPECT_EQ(r.option([](BorshReader& r) { return r.u8(); }).value(), std::optional<std::uint8_t>(9));
    EXPECT_EQ(r.tag(7), 6);
}

TEST(Borsh, Utf8Failures) {
    struct Case {
        Bytes in;
        std::optional<Utf8Error> err;
    };
    const Case cases[] = {
        {{'o', 'k', 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, std::nullopt},  // "ok€😀"
        {{0xC3}, Utf8Error{0, std::nullopt}},
        {{'a', 0xFF}, Utf8Error{1, 1}},
        {{0x80}, Utf8Error{0, 1}},
        {{0xC0, 0x80}, Utf8Error{0, 1}},        // overlong
        {{0xE0, 0x80, 0x80}, Utf8Error{0, 1}},  // overlong
        {{0xED, 0xA0, 0x80}, Utf8Error{0, 1}},  // surrogate
        {{0xE2, 0x82}, Utf8Error{0, std::nullopt}},
        {{0xE2, 0x82, 'A'}, Utf8Error{0, 2}},
        {{0xF0, 0x9F, 0x98}, Utf8Error{0, std::nullopt}},
        {{0xF0, 0x9F, 0x98, 'A'}, Utf8Error{0, 3}},
        {{0xF4, 0x90, 0x80, 0x80}, Utf8Error{0, 1}},  // above U+10FFFF
        {{0xF5, 0x80}, Utf8Error{0, 1}},
        {{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 0xC3, 0x28}, Utf8Error{13, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(check_utf8(c.in), c.err);
    EXPECT_EQ((Utf8Error{13, 1}).to_string(), "invalid utf-8 sequence of 1 bytes from index 13");
    EXPECT_EQ((Utf8Error{4, std::nullopt}).to_string(), "incomplete utf-8 byte sequence from index 4");

    Bytes in = {4, 0, 0, 0, 'a', 'b', 0xF0, 0x9F};
    BorshReader r(in);
    auto s = r.string();
    ASSERT_FALSE(s);
    EXPECT_EQ(error_text(s.error()), "incomplete utf-8 byte sequence from index 2");
}

TEST(Borsh, BigIntegerForms) {
    const BigInt two63 = BigInt(1) << 63;
    struct Case {
        BigInt value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {1, {0x01}},
        {-1, {0xFF}},
        {127, {0x7F}},
        {128, {0x80, 0x00}},
        {-128, {0x80}},
        {-129, {0x7F, 0xFF}},
        {255, {0xFF, 0x00}},
        {-256, {0x00, 0xFF}},
        {-32768, {0x00, 0x80}},
        {-32769, {0xFF, 0x7F, 0xFF}},
        {150, {0x96, 0x00}},
        {two63 - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {two63, {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}},
        {-two63, {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {-two63 - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF}},
        {-(BigInt(1) << 71), {0, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {(BigInt(1) << 72) - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {-(BigInt(1) << 72) + 1, {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}},
    };
    for (const auto& c : cases) {
        Bytes out;
        BorshWriter w(out);
        w.bigint(c.value);
        Bytes expected = {static_cast<std::uint8_t>(c.bytes.size()), 0, 0, 0};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(out, expected) << c.value;
        BorshReader r(out);
        EXPECT_EQ(r.bigint(), c.value) << c.value;
        // Read in place, from bytes at hand and from bytes pulled one at a time.
        for (const std::size_t chunk : {out.size(), std::size_t{1}}) {
            BorshReader in_place(chunked_source(out, chunk), 16);
            BigInt value = 99;
            ASSERT_TRUE(in_place.bigint(value)) << c.value;
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(in_place.position(), out.size());
        }
        // The 64-bit view holds exactly the values that fit.
        const bool fits =
            c.value >= std::numeric_limits<std::int64_t>::min() && c.value <= std::numeric_limits<std::int64_t>::max();
        const auto small = bigint_to_i64(c.value);
        ASSERT_EQ(small.has_value(), fits) << c.value;
        if (fits) {
            EXPECT_EQ(BigInt(*small), c.value);
        }
    }

    // Redundant sign bytes and the empty form are accepted.
    struct Read {
        Bytes in;
        BigInt value;
    };
    Bytes long_minus_one = {20, 0, 0, 0};
    long_minus_one.resize(24, 0xFF);
    Bytes long_one = {20, 0, 0, 0, 1};
    long_one.resize(24, 0x00);
    const Read reads[] = {
        {{0, 0, 0, 0}, 0},
        {{2, 0, 0, 0, 0xFF, 0xFF}, -1},
        {{2, 0, 0, 0, 0x01, 0x00}, 1},
        {{3, 0, 0, 0, 0x80, 0xFF, 0xFF}, -128},
        {long_minus_one, -1},
        {long_one, 1},
    };
    for (const auto& c : reads) {
        BorshReader r(c.in);
        EXPECT_EQ(r.bigint(), c.value);
        BorshReader in_place(c.in);
        BigInt value = 99;
        ASSERT_TRUE(in_place.bigint(value));
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(r.position(), c.in.size());
    }
    // A short input fails as the value-returning reader does and leaves the target as it was.
    for (const Bytes& cut : {Bytes{2, 0, 0}, Bytes{3, 0, 0, 0, 1, 2}, Bytes{20, 0, 0, 0, 1}}) {
        BorshReader r(cut);
        BigInt value = 99;
        auto res = r.bigint(value);
        ASSERT_FALSE(res);
        EXPECT_EQ(res.error(), BorshError::unexpected_length());
        EXPECT_EQ(value, 99);
    }
}

TEST(Borsh, WriterFailures) {
    Bytes out;
    BorshWriter w(out);
    w.u8(1).length(std::size_t{1} << 32).u8(2);
    auto st = w.finish();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), IoErrorKind::InvalidData);
    EXPECT_FALSE(st.error().message());
    EXPECT_EQ(error_text(st.error()), "invalid data");
    EXPECT_EQ(out, Bytes{1});  // the prefix before the failure, nothing after it
    w.length(std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(out, Bytes{1});

    Bytes ok;
    BorshWriter w2(ok);
    w2.length(std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(ok, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));

    // A sink failure passes through with its own kind and text; later writes are dropped.
    int calls = 0;
    BorshWriter sw(
        [&](std::span<const std::uint8_t>) -> BorshResult<void> {
            ++calls;
            return std::unexpected(IoError(IoErrorKind::WriteZero, "disk full"));
        },
        4);
    sw.u64(1).u64(2);
    auto ss = sw.finish();
    ASSERT_FALSE(ss);
    EXPECT_EQ(ss.error(), IoError(IoErrorKind::WriteZero, "disk full"));
    EXPECT_EQ(calls, 1);
}

TEST(Borsh, SourceFailures) {
    // UnexpectedEof from the source reads as a short input; other kinds pass through,
    // after the bytes delivered before them.
    for (auto kind : {IoErrorKind::UnexpectedEof, IoErrorKind::Other}) {
        int calls = 0;
        BorshReader r([&](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
            if (calls++ == 0) {
                dst[0] = 5;
                dst[1] = 6;
                return 2;
            }
            return std::unexpected(IoError(kind, "boom"));
        });
        EXPECT_EQ(r.u8(), 5);
        EXPECT_EQ(r.u8(), 6);
        auto v = r.u32();
        ASSERT_FALSE(v);
        if (kind == IoErrorKind::UnexpectedEof)
            EXPECT_EQ(v.error(), BorshError::unexpected_length());
        else
            EXPECT_EQ(v.error(), IoError(IoErrorKind::Other, "boom"));
    }
}

TEST(Borsh, BufferedCountsOnlyBytesAtHand) {
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    BorshReader span_reader(data);
    EXPECT_EQ(span_reader.buffered(), 10u);
    ASSERT_TRUE(span_reader.u32());
    EXPECT_EQ(span_reader.buffered(), 6u);
    // A source: nothing before the first pull, then what the last pull left over.
    BorshReader r(chunked_source(data, 3), 16);
    EXPECT_EQ(r.buffered(), 0u);
    EXPECT_EQ(r.u8(), 1);
    EXPECT_EQ(r.buffered(), 2u);
    ASSERT_TRUE(r.u32());
    EXPECT_EQ(r.buffered(), 1u);
}

TEST(Borsh, OrderedCollectionsFromAnyOrder) {
    // Map entries descending with key 1 twice: sorted, the later entry wins.
    Bytes in = {3, 0, 0, 0, 5, 'x', 1, 'y', 1, 'z', 4, 0, 0, 0, 9, 0, 2, 0, 9, 0, 1, 0};
    BorshReader r(in);
    auto m = r.map([](BorshReader& r) -> BorshResult<std::pair<std::uint8_t, std::uint8_t>> {
        auto k = r.u8();
        if (!k) return std::unexpected(k.error());
        auto v = r.u8();
        if (!v) return std::unexpected(v.error());
        return std::pair(*k, *v);
    });
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, (std::map<std::uint8_t, std::uint8_t>{{1, 'z'}, {5, 'x'}}));
    auto s = r.set([](BorshReader& r) { return r.u16(); });
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, (std::set<std::uint16_t>{1, 2, 9}));
}

TEST(Borsh, LargeStringsGrowAsTheyArrive) {
    // Longer than the up-front reservation, read through a source in small pulls.
    std::string big(3 * BorshReader::kMaxBytesReserve + 17, 'q');
    Bytes out;
    BorshWriter w(out);
    w.string(big).u8(0xEE);
    BorshReader r(chunked_source(out, 4093), 1000);
    auto s = r.string();
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, big);
    EXPECT_EQ(r.u8(), 0xEE);
}

TEST(Borsh, BigIntegerSweepIsShortestAndRoundTrips) {
    // Around every byte boundary up to 2^80, on both sides of zero.
    std::vector<BigInt> values;
    for (int bits = 0; bits <= 80; ++bits)
        for (int d = -2; d <= 2; ++d) {
            BigInt base = 1;
            base <<= bits;
            values.push_back(base + d);
            values.push_back(d - base);
        }
    for (const auto& v : values) {
        const Bytes b = bigint_to_signed_bytes_le(v);
        ASSERT_FALSE(b.empty());
        if (b.size() > 1) {
            const std::uint8_t last = b.back();
            const bool prev_neg = (b[b.size() - 2] & 0x80) != 0;
            EXPECT_FALSE((last == 0x00 && !prev_neg) || (last == 0xFF && prev_neg))
                << v << " has a redundant sign byte";
        }
        EXPECT_EQ(bigint_from_signed_bytes_le(b), v);
    }
}
