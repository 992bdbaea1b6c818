// The table of words of fixed spelling and meaning that the lexer classifies
// words by: the reserved words, and the usual integer types. A word is looked
// up with one probe of a perfect hash whose multipliers are searched for when
// the table is first built (see `WordTable`).
//
// The lookup (`key`, `short_key`, `find`) is inline, as the lexer's word rules
// run it for every word; building the table is in word_table.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "keinstr/text/byte_scan.hpp"
#include "keinstr/text/token.hpp"

namespace keinstr {

enum class WordKind : std::uint8_t {
    Import,
    Void,
    Visibility,
    CallingConvention,
    InstrOp,
    TerminatorOp,
    FType,
    Ordering,
    IntegerType,
};

// A word as the table compares it: its bytes in three 8-byte parts, zero past
// the word's end. No word holds a zero byte, so the parts alone tell two words
// of up to 24 bytes apart, whatever their lengths.
struct WordKey {
    std::uint64_t part[3] = {0, 0, 0};
};

struct alignas(64) WordEntry {
    std::uint64_t part[3] = {0, 0, 0};  // all zero: the empty entry, which no word's key equals
    WordKind kind{};
    std::uint8_t value = 0;  // the enumeration value, or the integer type's width
    // The token of the word written alone: without variants, and without a
    // "!" that is not part of the word. An `InstrOp` token still needs its
    // (empty) variant list.
    Token plain;
};

// The first `k` bytes of x (k <= 8), zero above them.
[[gnu::always_inline]] inline std::uint64_t low_bytes(std::uint64_t x, std::size_t k) noexcept {
    return k >= 8 ? x : x & ((std::uint64_t{1} << (8 * k)) - 1);
}

// The words of fixed spelling and meaning: the reserved words, and the usual
// integer types (which mean the same as any other "i" and digits, without the
// digits' conversion). Words that are longer than every such word are never
// looked up.
//
// A word is found with one probe: its slot in `index_` is a hash whose
// multipliers were chosen, when the table was built, so that no two of the
// table's words share a slot. A word outside the table lands on some slot and
// fails the comparison with the entry there (or with the empty entry).
class WordTable {
public:
    static constexpr std::size_t kMaxLen = 24;

    // Every word of the table, and multipliers under which each has a slot of
    // its own.
    WordTable();

    // The key of the `len` bytes at p (0 < len <= kMaxLen), of which `available`
    // may be read.
    [[gnu::always_inline]] static WordKey key(const char* p, std::size_t len, std::size_t available) noexcept {
        WordKey k;
        if (available >= 8) {
            k.part[0] = low_bytes(load8(p), len);
        } else {
            k.part[0] = load_upto8(p, len, p + available);
        }
        if (len > 8) {
            k.part[1] = load_upto8(p + 8, len - 8, p + available);
            if (len > 16) k.part[2] = load_upto8(p + 16, len - 16, p + available);
        }
        return k;
    }

    // The key of a word of fewer than 16 bytes: its bytes as `Block16::prefix` gives them.
    [[gnu::always_inline]] static WordKey short_key(const std::array<std::uint64_t, 2>& prefix) noexcept {
        WordKey k;
        k.part[0] = prefix[0];
        k.part[1] = prefix[1];
        return k;
    }

    // The entry of the word, or null.
    [[gnu::always_inline]] const WordEntry* find(const WordKey& k) const noexcept {
        const WordEntry& e = entries_[index_[slot(k, mult_)]];
        const bool same = ((e.part[0] ^ k.part[0]) | (e.part[1] ^ k.part[1]) | (e.part[2] ^ k.part[2])) == 0;
        return same ? &e : nullptr;
    }

private:
    static constexpr std::size_t kSlotBits = 13;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static constexpr std::size_t kMaxEntries = 256;  // entry 0 is the empty one

    using Multipliers = std::array<std::uint64_t, 3>;

    // Multiplicative hashing: the top bits of the sum depend on every byte.
    [[gnu::always_inline]] static std::size_t slot(const WordKey& k, const Multipliers& m) noexcept {
        const std::uint64_t h = k.part[0] * m[0] + k.part[1] * m[1] + k.part[2] * m[2];
        return static_cast<std::size_t>(h >> (64 - kSlotBits));
    }

    static Token plain_token(WordKind kind, std::size_t value);
    void add(std::string_view w, WordKind kind, std::size_t value);
    void choose_multipliers();

    Multipliers mult_{};
    std::array<std::uint8_t, kSlots> index_{};  // entry of each slot; 0 for none
    std::array<WordEntry, kMaxEntries> entries_{};
    std::size_t count_ = 1;
};

// The table, built at its first use.
const WordTable& word_table();

}  // namespace keinstr
