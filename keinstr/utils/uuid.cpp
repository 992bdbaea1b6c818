#include "keinstr/utils/uuid.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <sys/random.h>
#include <sys/types.h>
#include <unistd.h>

namespace keinstr {

void fill_random(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
#if defined(__APPLE__)
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, 256);
        if (getentropy(out.data() + done, chunk) == 0) {
            done += chunk;
            continue;
        }
        if (errno == EINTR) continue;
        throw std::runtime_error("the system's random source failed");
#else
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        throw std::runtime_error("the system's random source failed");
#endif
    }
}

std::uint16_t ClockContext::random_start() {
    std::array<std::uint8_t, 2> b{};
    fill_random(b);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

Uuid Uuid::new_v4() {
    Uuid u;
    fill_random(u.bytes);
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

Uuid Uuid::v6_from_parts(std::uint64_t ticks, std::uint16_t clock_seq, const NodeId& node) noexcept {
    Uuid u;
    ticks &= (std::uint64_t{1} << 60) - 1;
    const std::uint32_t time_high = static_cast<std::uint32_t>(ticks >> 28);
    const std::uint16_t time_mid = static_cast<std::uint16_t>((ticks >> 12) & 0xFFFF);
    const std::uint16_t time_low_ver = static_cast<std::uint16_t>(0x6000 | (ticks & 0x0FFF));
    const std::uint16_t seq = static_cast<std::uint16_t>(0x8000 | (clock_seq & 0x3FFF));
    u.bytes[0] = static_cast<std::uint8_t>(time_high >> 24);
    u.bytes[1] = static_cast<std::uint8_t>(time_high >> 16);
    u.bytes[2] = static_cast<std::uint8_t>(time_high >> 8);
    u.bytes[3] = static_cast<std::uint8_t>(time_high);
    u.bytes[4] = static_cast<std::uint8_t>(time_mid >> 8);
    u.bytes[5] = static_cast<std::uint8_t>(time_mid);
    u.bytes[6] = static_cast<std::uint8_t>(time_low_ver >> 8);
    u.bytes[7] = static_cast<std::uint8_t>(time_low_ver);
    u.bytes[8] = static_cast<std::uint8_t>(seq >> 8);
    u.bytes[9] = static_cast<std::uint8_t>(seq);
    for (std::size_t i = 0; i < 6; ++i) u.bytes[10 + i] = node[i];
    return u;
}

Uuid Uuid::new_v6(ClockContext& clock, const NodeId& node) {
    // 100 ns intervals between 1582-10-15 (the Gregorian reform) and 1970-01-01.
    constexpr std::uint64_t kGregorianOffset = 0x01B21DD213814000ULL;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    const std::uint64_t ticks = static_cast<std::uint64_t>(ns < 0 ? 0 : ns) / 100 + kGregorianOffset;
    const std::uint16_t seq = static_cast<std::uint16_t>(clock.next() & 0x3FFF);
    return v6_from_parts(ticks, seq, node);
}

namespace {
int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
constexpr char kHex[] = "0123456789abcdef";
}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) noexcept {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t bi = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hex_value(text[i]);
        const int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        u.bytes[bi++] = static_cast<std::uint8_t>((hi << 4) | lo);
        i += 2;
    }
    return u;
}

void Uuid::write(std::string& out) const {
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0x0F]);
    }
}

std::string Uuid::to_string() const {
    std::string s;
    s.reserve(36);
    write(s);
    return s;
}

}  // namespace keinstr

std::size_t std::hash<keinstr::Uuid>::operator()(const keinstr::Uuid& u) const noexcept {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    std::uint64_t h = a * 0x9E3779B97F4A7C15ULL ^ (b + 0x632BE59BD9B4E019ULL + (a << 6) + (a >> 2));
    h ^= h >> 31;
    return static_cast<std::size_t>(h);
}
