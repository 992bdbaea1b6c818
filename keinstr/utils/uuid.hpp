#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace keinstr {

// The 6-byte node part of time-ordered UUIDs.
using NodeId = std::array<std::uint8_t, 6>;

// Fills `out` from the operating system's random source (getrandom / getentropy).
void fill_random(std::span<std::uint8_t> out);

// Clock context of time-ordered UUIDs: a 16-bit counter advanced atomically once per
// UUID; its low 14 bits form the clock sequence.
class ClockContext {
public:
    explicit ClockContext(std::uint16_t start) noexcept : counter_(start) {}
    ClockContext(const ClockContext&) = delete;
    ClockContext& operator=(const ClockContext&) = delete;

    // A context whose counter starts at a random value.
    static std::uint16_t random_start();

    // Returns the current counter value and advances it.
    std::uint16_t next() noexcept { return counter_.fetch_add(1, std::memory_order_acq_rel); }
    // The current counter value (not advanced).
    std::uint16_t peek() const noexcept { return counter_.load(std::memory_order_acquire); }

private:
    std::atomic<std::uint16_t> counter_;
};

// A 16-byte UUID, compared and ordered byte by byte (byte 0 most significant).
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Handles are compared everywhere (map keys, type handles): at run time as
    // two 64-bit words each, read most significant byte first.
    constexpr std::strong_ordering operator<=>(const Uuid& other) const noexcept {
        if consteval {
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (bytes[i] != other.bytes[i]) {
                    return bytes[i] < other.bytes[i] ? std::strong_ordering::less : std::strong_ordering::greater;
                }
            }
            return std::strong_ordering::equal;
        } else {
            const std::uint64_t a = high_word(), b = other.high_word();
            if (a != b) return a <=> b;
            return low_word() <=> other.low_word();
        }
    }
    constexpr bool operator==(const Uuid& other) const noexcept {
        if consteval {
            return bytes == other.bytes;
        } else {
            return high_word() == other.high_word() && low_word() == other.low_word();
        }
    }

    // Bytes 0-7 and 8-15 as big-endian numbers.
    std::uint64_t high_word() const noexcept { return big_endian_word(0); }
    std::uint64_t low_word() const noexcept { return big_endian_word(8); }

    static constexpr Uuid nil() noexcept { return Uuid{}; }

private:
    std::uint64_t big_endian_word(std::size_t at) const noexcept {
        std::uint64_t w;
        std::memcpy(&w, bytes.data() + at, sizeof w);
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
        return w;
    }

public:
    static constexpr Uuid from_bytes(const std::array<std::uint8_t, 16>& b) noexcept { return Uuid{b}; }

    // Random version-4 UUID (OS random source).
    static Uuid new_v4();
    // Time-ordered version-6 UUID (RFC 9562): current time, clock sequence from
    // `clock` (14 bits of its counter), and `node`.
    static Uuid new_v6(ClockContext& clock, const NodeId& node);
    // Version-6 UUID from explicit parts: `ticks` are 100 ns intervals since
    // 1582-10-15 (60 bits used), `clock_seq` 14 bits used.
    static Uuid v6_from_parts(std::uint64_t ticks, std::uint16_t clock_seq, const NodeId& node) noexcept;

    // Parses the 36-character hyphenated form (either case of hex digits).
    static std::optional<Uuid> parse(std::string_view text) noexcept;

    // The version nibble (high 4 bits of byte 6).
    constexpr std::uint8_t version() const noexcept { return static_cast<std::uint8_t>(bytes[6] >> 4); }
    constexpr bool is_nil() const noexcept { return *this == Uuid{}; }

    // 36-character lower-case 8-4-4-4-12 form.
    std::string to_string() const;
    void write(std::string& out) const;
};

// Handle of the type variable number `n`: a version-8 UUID whose custom bits are
// all ones but for n (little-endian in bytes 14 and 15).
constexpr Uuid type_variable_uuid(std::uint16_t n) noexcept {
    Uuid u;
    for (auto& b : u.bytes) b = 0xFF;
    u.bytes[6] = 0x8F;
    u.bytes[8] = 0xBF;
    u.bytes[14] = static_cast<std::uint8_t>(n & 0xFF);
    u.bytes[15] = static_cast<std::uint8_t>(n >> 8);
    return u;
}

// Recognises a type-variable handle: bytes 0-5, 7 and 9-12 are 0xFF and byte 6 is in
// 0x80..0x8F; bytes 8, 13, 14 and 15 are not tested.
constexpr bool is_type_variable_uuid(const Uuid& u) noexcept {
    for (int i = 0; i <= 5; ++i)
        if (u.bytes[i] != 0xFF) return false;
    if (u.bytes[7] != 0xFF) return false;
    for (int i = 9; i <= 12; ++i)
        if (u.bytes[i] != 0xFF) return false;
    return (u.bytes[6] & 0xF0) == 0x80;
}

// The type variable number of a type-variable handle (bytes 14-15, little-endian).
constexpr std::optional<std::uint16_t> type_variable_number(const Uuid& u) noexcept {
    if (!is_type_variable_uuid(u)) return std::nullopt;
    return static_cast<std::uint16_t>(u.bytes[14] | (u.bytes[15] << 8));
}

}  // namespace keinstr

template <>
struct std::hash<keinstr::Uuid> {
    std::size_t operator()(const keinstr::Uuid& u) const noexcept;
};

template <>
struct fmt::formatter<keinstr::Uuid> : fmt::formatter<std::string_view> {
    auto format(const keinstr::Uuid& u, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(u.to_string(), ctx);
    }
};
