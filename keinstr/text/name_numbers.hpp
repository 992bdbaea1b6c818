// Dense numbering of names (register and label names of one function): each new
// name gets the count of names seen before it, so the numbers are exactly
// 0 .. size()-1 in order of first request.
//
// The grammar asks for a number at every register and label it reads and empties
// the table after every function, so the table is built for that: open
// addressing over a flat array (no allocation per name), names kept by number
// (short names stay inside their string), and clearing that costs the number of
// names held, not the table's capacity. Names are compared byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keinstr {

class NameNumbers {
public:
    NameNumbers() = default;
    // Names numbered in the given order (a name given twice keeps its first number).
    NameNumbers(std::initializer_list<std::string_view> names);

    // The number of `name`, numbering it with size() on first request.
    std::uint32_t number(std::string_view name) {
        // At most half full, so every probe ends at an empty slot.
        if ((names_.size() + 1) * 2 > slots_.size()) grow();
        const std::uint64_t h = hash(name);
        const std::size_t i = probe(name, h);
        if (slots_[i] != kEmpty) return number_in(slots_[i]);
        return add(name, h, i);
    }
    // The number of `name`, if it has one.
    std::optional<std::uint32_t> find(std::string_view name) const noexcept {
        if (slots_.empty()) return std::nullopt;
        const std::uint64_t s = slots_[probe(name, hash(name))];
        if (s == kEmpty) return std::nullopt;
        return number_in(s);
    }
    bool contains(std::string_view name) const noexcept { return find(name).has_value(); }
    // The name numbered `n` (n < size()).
    const std::string& name(std::uint32_t n) const noexcept { return names_[n]; }

    std::size_t size() const noexcept { return names_.size(); }
    bool empty() const noexcept { return names_.empty(); }
    // Forgets every name; the next name asked for gets 0 again.
    void clear() noexcept;

    // The same names with the same numbers.
    bool operator==(const NameNumbers& other) const noexcept { return names_ == other.names_; }

private:
    static std::uint64_t hash(std::string_view s) noexcept {
        // Eight bytes at a time (names are short: usually one step), each step
        // multiplied in, then a final mix so that the low bits (the slot) depend
        // on every byte. The length is mixed in first. A last partial step reads
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

    // A slot: empty, or the number + 1 in its low half and the high half of the
    // name's hash in its high half (most mismatches are told without reading
    // the name).
    static constexpr std::uint64_t kEmpty = 0;
    static std::uint64_t slot_of(std::uint32_t number, std::uint64_t h) noexcept {
        return (h & 0xFFFF'FFFF'0000'0000ull) | (std::uint64_t{number} + 1);
    }
    static std::uint32_t number_in(std::uint64_t slot) noexcept { return static_cast<std::uint32_t>(slot) - 1; }

    // The slot holding `name` (hash `h`), or the empty slot where it would go.
    std::size_t probe(std::string_view name, std::uint64_t h) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t high = h & 0xFFFF'FFFF'0000'0000ull;
        std::size_t i = static_cast<std::size_t>(h) & mask;
        for (;;) {
            const std::uint64_t s = slots_[i];
            if (s == kEmpty) return i;
            if ((s & 0xFFFF'FFFF'0000'0000ull) == high && names_[number_in(s)] == name) return i;
            i = (i + 1) & mask;
        }
    }
    // Numbers `name` (hash `h`, not yet held) in the empty slot `i`.
    std::uint32_t add(std::string_view name, std::uint64_t h, std::size_t i);
    void grow();

    std::vector<std::string> names_;     // by number
    std::vector<std::uint64_t> hashes_;  // by number
    std::vector<std::uint64_t> slots_;   // power-of-two size, or empty
};

}  // namespace keinstr
