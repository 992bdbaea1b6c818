// Byte scanning for the lexer: loads of up to eight source bytes as one word,
// and `Block16`, which tests sixteen source bytes at once (SSE2 where the
// target has it, two 64-bit words elsewhere; both answer alike). The token
// rules in lexer.cpp measure identifier runs and settle short words with
// these; nothing here knows a token.
//
// Everything is inline: the scanners are the inner loop of the lexer and must
// compile into it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace keinstr {

// The eight bytes at p (all must lie in the source), first byte lowest.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    return x;
}

// Up to eight bytes at p, first byte lowest, zero above the `k` bytes read;
// reads no byte at or past `limit`.
[[gnu::always_inline]] inline std::uint64_t load_upto8(const char* p, std::size_t k, const char* limit) noexcept {
    if (k > 8) k = 8;
    if (limit - p >= 8) {
        const std::uint64_t x = load8(p);
        return k == 8 ? x : x & ((std::uint64_t{1} << (8 * k)) - 1);
    }
    std::uint64_t x = 0;
    for (std::size_t i = 0; i < k; ++i) x |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return x;
}

// Sixteen source bytes, tested all at once: each test gives a mask with bit i
// set for byte i. Identifier runs are measured a block at a time while sixteen
// bytes remain.
#if defined(__SSE2__) && defined(__x86_64__)
class Block16 {
public:
    explicit Block16(const char* p) noexcept : v_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}

    // ASCII letters, digits and "_". Each range test moves its range to the
    // bottom of the signed bytes, so one comparison bounds it on both sides.
    unsigned ident() const noexcept {
        const __m128i lower = _mm_or_si128(v_, _mm_set1_epi8(0x20));
        const __m128i alpha = _mm_cmplt_epi8(_mm_add_epi8(lower, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                                             _mm_set1_epi8(static_cast<char>(-0x80 + 26)));
        const __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v_, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                                             _mm_set1_epi8(static_cast<char>(-0x80 + 10)));
        const __m128i under = _mm_cmpeq_epi8(v_, _mm_set1_epi8('_'));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), under)));
    }
    unsigned equal(char c) const noexcept {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v_, _mm_set1_epi8(c))));
    }
    // Bytes of 0x80 and above.
    unsigned high() const noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v_)); }
    // The first `len` bytes (len < 16) as two words, first byte lowest, zero past them.
    std::array<std::uint64_t, 2> prefix(std::size_t len) const noexcept {
        const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep.data() + 16 - len));
        const __m128i v = _mm_and_si128(v_, keep);
        return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(v)),
                static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)))};
    }

private:
    // Sixteen bytes from `kKeep.data() + 16 - len` keep the first `len` bytes of a block.
    static constexpr std::array<std::uint8_t, 32> kKeep = [] {
        std::array<std::uint8_t, 32> k{};
        for (std::size_t i = 0; i < 16; ++i) k[i] = 0xFF;
        return k;
    }();

    __m128i v_;
};
#else
// The same tests on two 64-bit words: each per-byte test leaves its answer in
// the byte's high bit. Bytes are tested on their low seven bits, so no test
// carries into the next byte.
class Block16 {
public:
    explicit Block16(const char* p) noexcept : lo_(load8(p)), hi_(load8(p + 8)) {}

    unsigned ident() const noexcept { return mask(ident8(lo_)) | mask(ident8(hi_)) << 8; }
    unsigned equal(char c) const noexcept {
        return mask(equal8(lo_, static_cast<unsigned char>(c))) | mask(equal8(hi_, static_cast<unsigned char>(c))) << 8;
    }
    unsigned high() const noexcept { return mask(lo_ & kHighs) | mask(hi_ & kHighs) << 8; }
    // The first `len` bytes (len < 16) as two words, first byte lowest, zero past them.
    std::array<std::uint64_t, 2> prefix(std::size_t len) const noexcept {
        if (len < 8) return {lo_ & ((std::uint64_t{1} << (8 * len)) - 1), 0};
        return {lo_, hi_ & ((std::uint64_t{1} << (8 * (len - 8))) - 1)};
    }

private:
    static constexpr std::uint64_t kOnes = 0x0101'0101'0101'0101ull;
    static constexpr std::uint64_t kHighs = 0x8080'8080'8080'8080ull;

    // Bytes (below 0x80) in [lo, hi].
    static std::uint64_t in(std::uint64_t x, unsigned lo, unsigned hi) noexcept {
        return (x + kOnes * (0x80 - lo)) & ~(x + kOnes * (0x7F - hi)) & kHighs;
    }
    static std::uint64_t equal8(std::uint64_t x, unsigned c) noexcept {
        const std::uint64_t y = x ^ (kOnes * c);
        return ~(((y & ~kHighs) + ~kHighs) | y) & kHighs;
    }
    static std::uint64_t ident8(std::uint64_t x) noexcept {
        const std::uint64_t low = x & ~kHighs;
        const std::uint64_t ok = in(low | kOnes * 0x20, 'a', 'z') | in(low, '0', '9') | equal8(x, '_');
        return ok & ~x;  // not the bytes of 0x80 and above
    }
    // High bits of the eight bytes, gathered into bits 0 to 7.
    static unsigned mask(std::uint64_t highs) noexcept {
        return static_cast<unsigned>(((highs >> 7) * 0x0102'0408'1020'4080ull) >> 56);
    }

    std::uint64_t lo_, hi_;
};
#endif

}  // namespace keinstr
