#include "keinstr/text/word_table.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <fmt/format.h>

namespace keinstr {

WordTable::WordTable() {
    add("import", WordKind::Import, 0);
    add("void", WordKind::Void, 0);
    for (Visibility v : enum_values<Visibility>) add(word(v), WordKind::Visibility, enum_index(v));
    for (std::size_t i = 0; i < kNamedCallingConventionCount; ++i)
        add(kCallingConventionTexts[i], WordKind::CallingConvention, i);
    for (KeInstrOp op : enum_values<KeInstrOp>) add(word(op), WordKind::InstrOp, enum_index(op));
    for (KeTerminatorOp op : enum_values<KeTerminatorOp>) add(word(op), WordKind::TerminatorOp, enum_index(op));
    for (std::size_t i = 0; i < kFTypeCount; ++i) {
        auto f = static_cast<FType>(i);
        add(ftype_text(f), WordKind::FType, i);
    }
    for (MemoryOrdering o : enum_values<MemoryOrdering>) add(word(o), WordKind::Ordering, enum_index(o));
    // Last: a reserved word of the same spelling would be classified first.
    for (std::uint32_t bits : {1, 8, 16, 32, 64, 128}) add(fmt::format("i{}", bits), WordKind::IntegerType, bits);
    choose_multipliers();
}

Token WordTable::plain_token(WordKind kind, std::size_t value) {
    switch (kind) {
        case WordKind::Import: return Token::simple(TokenDiscriminants::Import);
        case WordKind::Void: return Token::simple(TokenDiscriminants::Void);
        case WordKind::Visibility: return Token::visibility(static_cast<Visibility>(value));
        case WordKind::CallingConvention:
            return Token::calling_convention(CallingConvention(static_cast<CallingConventionKind>(value)));
        case WordKind::InstrOp: return Token::instr_op(static_cast<KeInstrOp>(value));
        case WordKind::TerminatorOp: return Token::terminator_op(static_cast<KeTerminatorOp>(value));
        case WordKind::FType: return Token::ftype(static_cast<FType>(value));
        case WordKind::Ordering: return Token::ordering(static_cast<MemoryOrdering>(value));
        case WordKind::IntegerType: return Token::itype(static_cast<std::uint32_t>(value));
    }
    throw std::logic_error("unknown word kind");
}

void WordTable::add(std::string_view w, WordKind kind, std::size_t value) {
    if (w.empty() || w.size() > kMaxLen) throw std::logic_error("reserved word of unexpected length");
    const WordKey k = key(w.data(), w.size(), w.size());
    for (std::size_t i = 1; i < count_; ++i)
        if (std::equal(std::begin(k.part), std::end(k.part), entries_[i].part))
            return;  // the first classification step that takes a word wins
    if (count_ == kMaxEntries) throw std::logic_error("too many reserved words");
    if (value > 0xFF) throw std::logic_error("reserved word of unexpected value");
    WordEntry& e = entries_[count_++];
    std::copy(std::begin(k.part), std::end(k.part), e.part);
    e.kind = kind;
    e.value = static_cast<std::uint8_t>(value);
    e.plain = plain_token(kind, value);
}

// Tries multipliers from a fixed sequence until every word has a slot of
// its own. The words are fixed, so the outcome is the same on every run;
// the table has room enough that a few dozen tries suffice.
void WordTable::choose_multipliers() {
    std::uint64_t state = 0x243F'6A88'85A3'08D3ull;
    const auto next = [&state] {  // splitmix64
        std::uint64_t z = (state += 0x9E37'79B9'7F4A'7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBull;
        return z ^ (z >> 31);
    };
    for (int attempt = 0; attempt < 100'000; ++attempt) {
        const Multipliers m{next() | 1, next() | 1, next() | 1};
        index_.fill(0);
        bool distinct = true;
        for (std::size_t i = 1; i < count_ && distinct; ++i) {
            WordKey k;
            std::copy(std::begin(entries_[i].part), std::end(entries_[i].part), k.part);
            std::uint8_t& s = index_[slot(k, m)];
            distinct = s == 0;
            s = static_cast<std::uint8_t>(i);
        }
        if (distinct) {
            mult_ = m;
            return;
        }
    }
    throw std::logic_error("no collision-free hash for the reserved words");
}

const WordTable& word_table() {
    static const WordTable table;
    return table;
}

}  // namespace keinstr
