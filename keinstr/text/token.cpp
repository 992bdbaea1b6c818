// GCC 12 at -O2 and above reports a false -Wrestrict inside cpp_int::str() once
// it is inlined here; the copy it flags cannot overlap.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include "keinstr/text/token.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "keinstr/utils/debug_str.hpp"

namespace keinstr {

namespace {

#define KE_TOKEN_KIND_LABEL_(k, text) std::string_view{"token " #k},
constexpr std::array<std::string_view, kTokenKindCount> kKindLabels{KE_TOKEN_KIND_TABLE(KE_TOKEN_KIND_LABEL_)};
#undef KE_TOKEN_KIND_LABEL_

// Display text of a payload-free kind (empty for the others).
constexpr std::string_view simple_text(TokenDiscriminants k) noexcept { return word(k); }

constexpr bool is_simple(TokenDiscriminants k) noexcept { return !simple_text(k).empty(); }

void write_variant_list_debug(std::string& out, Variants v) {
    out += '[';
    bool first = true;
    for (std::string_view seg : v) {
        if (!first) out += ", ";
        first = false;
        write_debug_str(out, seg);
    }
    out += ']';
}

}  // namespace

std::string_view token_kind_name(TokenDiscriminants k) noexcept { return debug_name(k); }

std::string_view token_kind_label(TokenDiscriminants k) noexcept {
    auto i = static_cast<std::size_t>(k);
    return i < kTokenKindCount ? kKindLabels[i] : std::string_view{};
}

std::size_t Variants::size() const noexcept {
    if (written_.empty()) return 0;
    std::size_t n = 0;
    for (char c : written_) n += c == '.';
    return n;
}

std::string_view Variants::operator[](std::size_t i) const noexcept {
    auto it = begin();
    for (; i != 0 && it != end(); --i) ++it;
    return it == end() ? std::string_view{} : *it;
}

// --- the store ----------------------------------------------------------------

Token TokenStore::number(BigInt value, std::string decimal_text) {
    if (value >= std::numeric_limits<std::int64_t>::min() && value <= std::numeric_limits<std::int64_t>::max())
        return Token::number(static_cast<std::int64_t>(value));
    Token t = Token::simple(TokenDiscriminants::Number);
    t.code_ = 1;
    t.big_ = &bigs_.emplace_back(BigNumber{std::move(value), std::move(decimal_text)});
    return t;
}

Token TokenStore::decimal(Decimal value) {
    Token t = Token::simple(TokenDiscriminants::Decimal);
    t.dec_ = &decimals_.emplace_back(std::move(value));
    return t;
}

Token TokenStore::string_literal(std::string text) {
    return Token::string_literal(strings_.emplace_back(std::move(text)));
}

// --- payloads -----------------------------------------------------------------

CallingConvention Token::calling_convention() const noexcept {
    auto cc = CallingConvention::from_tag(code_, num_);
    return cc ? *cc : CallingConvention{};
}

BigInt Token::number() const {
    if (code_ == 1) return big_->value;
    return BigInt(small_);
}

std::optional<std::int64_t> Token::number_i64() const noexcept {
    if (code_ == 1) return std::nullopt;  // the store keeps only values beyond 64 bits
    return small_;
}

// --- equality -----------------------------------------------------------------

bool operator==(const Token& a, const Token& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case TokenDiscriminants::IType: return a.num_ == b.num_;
        case TokenDiscriminants::FType:
        case TokenDiscriminants::Ordering:
        case TokenDiscriminants::Visibility:
        case TokenDiscriminants::TerminatorOp: return a.code_ == b.code_;
        case TokenDiscriminants::CallingConvention: return a.calling_convention() == b.calling_convention();
        case TokenDiscriminants::InstrOp: return a.code_ == b.code_ && a.full_word() == b.full_word();
        case TokenDiscriminants::Identifier:
        case TokenDiscriminants::MetaIdentifier:
            // The word ends at the first "." and the list follows it, so equal
            // texts are equal words with equal lists.
            return a.full_word() == b.full_word();
        case TokenDiscriminants::Uuid: return a.uuid_ == b.uuid_;
        case TokenDiscriminants::Register:
        case TokenDiscriminants::StringLiteral: return a.text() == b.text();
        case TokenDiscriminants::Number:
            if (a.code_ != b.code_) return false;  // inline values fit 64 bits, stored ones do not
            return a.code_ == 1 ? a.big_->value == b.big_->value : a.small_ == b.small_;
        case TokenDiscriminants::Decimal: return *a.dec_ == *b.dec_;
        default: return true;  // payload-free kinds
    }
}

// --- texts --------------------------------------------------------------------

void Token::write(std::string& out) const {
    switch (kind_) {
        case TokenDiscriminants::IType:
            out += 'i';
            out += std::to_string(num_);
            return;
        case TokenDiscriminants::FType: out += ftype_text(ftype()); return;
        case TokenDiscriminants::Ordering: out += debug_name(ordering()); return;
        case TokenDiscriminants::Visibility: out += debug_name(visibility()); return;
        case TokenDiscriminants::CallingConvention: out += calling_convention().debug_string(); return;
        case TokenDiscriminants::TerminatorOp: out += debug_name(terminator_op()); return;
        case TokenDiscriminants::InstrOp:
            out += debug_name(instr_op());
            if (!variants().empty()) {
                out += '<';
                write_variant_list_debug(out, variants());
                out += '>';
            }
            return;
        case TokenDiscriminants::Identifier: out += full_word(); return;
        case TokenDiscriminants::MetaIdentifier:
            out += '!';
            out += full_word();
            return;
        case TokenDiscriminants::Uuid: uuid().write(out); return;
        case TokenDiscriminants::Register:
            out += '%';
            out += text();
            return;
        case TokenDiscriminants::Number:
            if (code_ == 1)
                out += big_->decimal_text.empty() ? to_decimal(big_->value) : big_->decimal_text;
            else
                out += std::to_string(small_);
            return;
        case TokenDiscriminants::Decimal: dec_->write(out); return;
        case TokenDiscriminants::StringLiteral: write_debug_str(out, text()); return;
        default: out += simple_text(kind_); return;
    }
}

std::string Token::to_string() const {
    std::string out;
    write(out);
    return out;
}

std::string decimal_debug_text(const Decimal& d) {
    const BigInt& m = d.mantissa();
    const int sign = m.sign();
    std::vector<std::uint64_t> words;
    if (sign != 0) {
        BigInt mag = boost::multiprecision::abs(m);
        boost::multiprecision::export_bits(mag, std::back_inserter(words), 64, false);
    }
    std::string out = "BigDecimal(sign=";
    out += sign < 0 ? "Minus" : sign == 0 ? "NoSign" : "Plus";
    out += ", scale=";
    out += std::to_string(d.scale());
    out += ", digits=[";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(words[i]);
    }
    out += "])";
    return out;
}

std::string Token::debug() const {
    std::string out(token_kind_name(kind_));
    if (is_simple(kind_)) return out;
    out += '(';
    switch (kind_) {
        case TokenDiscriminants::IType: out += itype().debug(); break;
        case TokenDiscriminants::FType: out += ftype_debug_name(ftype()); break;
        case TokenDiscriminants::Ordering:
        case TokenDiscriminants::Visibility:
        case TokenDiscriminants::CallingConvention:
        case TokenDiscriminants::TerminatorOp:
        case TokenDiscriminants::Uuid:
        case TokenDiscriminants::Number: write(out); break;
        case TokenDiscriminants::InstrOp:
            out += debug_name(instr_op());
            out += ", ";
            write_variant_list_debug(out, variants());
            break;
        case TokenDiscriminants::Identifier:
        case TokenDiscriminants::MetaIdentifier:
            write_debug_str(out, word());
            out += ", ";
            write_variant_list_debug(out, variants());
            break;
        case TokenDiscriminants::Register:
        case TokenDiscriminants::StringLiteral: write_debug_str(out, text()); break;
        case TokenDiscriminants::Decimal: out += decimal_debug_text(*dec_); break;
        default: break;
    }
    out += ')';
    return out;
}

}  // namespace keinstr
