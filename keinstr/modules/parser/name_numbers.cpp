#include "keinstr/modules/parser/name_numbers.hpp"

#include <cstring>

namespace keinstr {

NameNumbers::NameNumbers(std::initializer_list<std::string_view> names) {
    for (std::string_view n : names) number(n);
}

std::uint64_t NameNumbers::hash(std::string_view s) noexcept {
    // Eight bytes at a time (names are short: usually one step), each step
    // multiplied in, then a final mix so that the low bits (the slot) depend on
    // every byte. The length is mixed in first. A last partial step reads
    // overlapping words instead of single bytes: with the length known, the
    // words still determine every byte of the name.
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (s.size() * 0xbf58476d1ce4e5b9ull);
    const char* d = s.data();
    const std::size_t size = s.size();
    std::size_t n = size;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, d, 8);
        h = (h ^ w) * 0x94d049bb133111ebull;
        h ^= h >> 31;
        d += 8;
        n -= 8;
    }
    if (n != 0) {
        std::uint64_t w = 0;
        if (size >= 8) {
            std::memcpy(&w, s.data() + size - 8, 8);  // the last eight bytes
        } else if (n >= 4) {
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            std::memcpy(&lo, d, 4);
            std::memcpy(&hi, d + n - 4, 4);
            w = lo | (std::uint64_t{hi} << 32);
        } else {
            w = std::uint64_t{static_cast<unsigned char>(d[0])} |
                std::uint64_t{static_cast<unsigned char>(d[n / 2])} << 8 |
                std::uint64_t{static_cast<unsigned char>(d[n - 1])} << 16;
        }
        h = (h ^ w) * 0x94d049bb133111ebull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

namespace {

// Names are short: compared in line rather than through a library call.
bool same_text(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace

std::size_t NameNumbers::probe(std::string_view name, std::uint64_t h) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    for (;;) {
        const std::uint32_t s = slots_[i];
        if (s == kEmpty) return i;
        const std::uint32_t n = s - 1;
        if (hashes_[n] == h && same_text(names_[n], name)) return i;
        i = (i + 1) & mask;
    }
}

std::optional<std::uint32_t> NameNumbers::find(std::string_view name) const noexcept {
    if (slots_.empty()) return std::nullopt;
    const std::uint32_t s = slots_[probe(name, hash(name))];
    if (s == kEmpty) return std::nullopt;
    return s - 1;
}

std::uint32_t NameNumbers::number(std::string_view name) {
    // At most half full, so every probe ends at an empty slot.
    if ((names_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint64_t h = hash(name);
    const std::size_t i = probe(name, h);
    if (slots_[i] != kEmpty) return slots_[i] - 1;
    const auto n = static_cast<std::uint32_t>(names_.size());
    names_.emplace_back(name);
    hashes_.push_back(h);
    slots_[i] = n + 1;
    return n;
}

void NameNumbers::grow() {
    const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(capacity, kEmpty);
    const std::size_t mask = capacity - 1;
    for (std::uint32_t n = 0; n < names_.size(); ++n) {
        std::size_t i = static_cast<std::size_t>(hashes_[n]) & mask;
        while (slots_[i] != kEmpty) i = (i + 1) & mask;
        slots_[i] = n + 1;
    }
}

void NameNumbers::clear() noexcept {
    // Only the slots in use are reset: a function with many names does not make
    // clearing after every later, small function expensive.
    if (!slots_.empty()) {
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t n = 0; n < names_.size(); ++n) {
            std::size_t i = static_cast<std::size_t>(hashes_[n]) & mask;
            while (slots_[i] != n + 1) i = (i + 1) & mask;
            slots_[i] = kEmpty;
        }
    }
    names_.clear();
    hashes_.clear();
}

}  // namespace keinstr
