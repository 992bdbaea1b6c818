#include "keinstr/text/numeral.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include <fmt/format.h>

namespace keinstr {

namespace {

constexpr bool is_dec(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_hex(char c) noexcept { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_oct(char c) noexcept { return c >= '0' && c <= '7'; }
constexpr bool is_bin(char c) noexcept { return c == '0' || c == '1'; }

template <bool (*Pred)(char) noexcept>
std::size_t scan(std::string_view s, std::size_t p) noexcept {
    while (p < s.size() && Pred(s[p])) ++p;
    return p;
}

constexpr int digit_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// Exponent part at `p` ("e" or "E", optional sign, at least one digit): its end, or
// `p` when there is none.
std::size_t scan_exponent(std::string_view s, std::size_t p) noexcept {
    if (p >= s.size() || (s[p] != 'e' && s[p] != 'E')) return p;
    std::size_t q = p + 1;
    if (q < s.size() && (s[q] == '+' || s[q] == '-')) ++q;
    std::size_t e = scan<is_dec>(s, q);
    return e > q ? e : p;
}

std::uint64_t chunk_value(std::string_view d) noexcept {
    std::uint64_t v = 0;
    for (char c : d) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return v;
}

}  // namespace

BigInt decimal_digits_value(std::string_view digits) {
    if (digits.size() <= 18) return BigInt(chunk_value(digits));
    return from_decimal_digits(digits);
}

std::optional<NumeralMatch> match_numeral(std::string_view s, std::size_t pos) noexcept {
    std::size_t p = pos;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
    const std::size_t d = scan<is_dec>(s, p);
    if (d > p) {
        // 1: digits "." digits [exponent]
        if (d < s.size() && s[d] == '.') {
            const std::size_t f = scan<is_dec>(s, d + 1);
            if (f > d + 1) return NumeralMatch{NumeralForm::Fraction, scan_exponent(s, f)};
        }
        // 2: digits exponent
        const std::size_t e = scan_exponent(s, d);
        if (e > d) return NumeralMatch{NumeralForm::Exponent, e};
    }
    // 3 to 5: prefixed integers
    if (p + 1 < s.size() && s[p] == '0') {
        const char c = s[p + 1];
        std::size_t q = p + 2;
        if (c == 'x' || c == 'X') {
            std::size_t h = scan<is_hex>(s, q);
            if (h > q) return NumeralMatch{NumeralForm::Hexadecimal, h};
        }
        if (c == 'o' || c == 'O') {
            std::size_t o = scan<is_oct>(s, q);
            if (o > q) return NumeralMatch{NumeralForm::Octal, o};
        }
        if (c == 'b' || c == 'B') {
            std::size_t b = scan<is_bin>(s, q);
            if (b > q) return NumeralMatch{NumeralForm::Binary, b};
        }
    }
    // 6: digits
    if (d > p) return NumeralMatch{NumeralForm::DecimalInteger, d};
    return std::nullopt;
}

unsigned numeral_radix(NumeralForm f) noexcept {
    switch (f) {
        case NumeralForm::Hexadecimal: return 16;
        case NumeralForm::Octal: return 8;
        case NumeralForm::Binary: return 2;
        default: return 10;
    }
}

namespace {

// Splits an integer literal into its sign and digits; false when the digits are
// empty or hold a character outside the radix.
bool split_integer(std::string_view literal, NumeralForm form, bool& negative, std::string_view& digits) {
    std::string_view s = literal;
    negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    const unsigned radix = numeral_radix(form);
    if (form != NumeralForm::DecimalInteger) {
        const char letter = radix == 16 ? 'x' : radix == 8 ? 'o' : 'b';
        if (s.size() < 2 || s[0] != '0' || (s[1] | 0x20) != letter) return false;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    for (char c : s)
        if (static_cast<unsigned>(digit_value(c)) >= radix) return false;
    digits = s;
    return true;
}

// Most digits of each radix that always fit 63 bits.
std::size_t small_digit_limit(unsigned radix) noexcept {
    switch (radix) {
        case 16: return 15;
        case 8: return 21;
        case 2: return 63;
        default: return 18;
    }
}

std::string integer_error(std::string_view literal, NumeralForm form) {
    return fmt::format("invalid base {} integer '{}'", numeral_radix(form), literal);
}

BigInt magnitude(std::string_view digits, unsigned radix) {
    if (radix == 10) return decimal_digits_value(digits);
    const unsigned bits = radix == 16 ? 4 : radix == 8 ? 3 : 1;
    std::vector<unsigned char> values;
    values.reserve(digits.size());
    for (char c : digits) values.push_back(static_cast<unsigned char>(digit_value(c)));
    BigInt v;
    boost::multiprecision::import_bits(v, values.begin(), values.end(), bits, true);
    return v;
}

}  // namespace

std::expected<BigInt, std::string> integer_literal_value(std::string_view literal, NumeralForm form) {
    bool negative = false;
    std::string_view digits;
    if (is_decimal_form(form) || !split_integer(literal, form, negative, digits))
        return std::unexpected(integer_error(literal, form));
    BigInt v = magnitude(digits, numeral_radix(form));
    if (negative) v = -v;
    return v;
}

namespace {

// The common case of a decimal literal: at most 18 digits in all and an
// exponent of at most 18 digits, whose scale is computed without overflow.
// None when the general conversion must decide.
std::optional<Decimal> small_decimal(std::string_view s) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::int64_t mantissa = 0;
    std::int64_t fraction_digits = 0;
    int digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            if (point) return std::nullopt;
            point = true;
            continue;
        }
        if (!is_dec(c)) break;
        if (++digits > 18) return std::nullopt;
        mantissa = mantissa * 10 + (c - '0');
        fraction_digits += point;
    }
    if (digits == 0) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < s.size()) {  // ("e" | "E") [sign] digits
        if (s[i] != 'e' && s[i] != 'E') return std::nullopt;
        ++i;
        bool exp_negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
        if (i == s.size() || s.size() - i > 18) return std::nullopt;
        for (; i < s.size(); ++i) {
            if (!is_dec(s[i])) return std::nullopt;
            exponent = exponent * 10 + (s[i] - '0');
        }
        if (exp_negative) exponent = -exponent;
    }
    std::int64_t scale = 0;
    if (__builtin_sub_overflow(fraction_digits, exponent, &scale)) return std::nullopt;
    return Decimal(BigInt(negative ? -mantissa : mantissa), scale);
}

// A well-formed decimal literal of any length whose scale fits 64 bits, its
// digits converted in subquadratic time. None otherwise.
std::optional<Decimal> long_decimal(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t int_end = scan<is_dec>(s, i);
    if (int_end == i) return std::nullopt;
    std::string digits(s.substr(i, int_end - i));
    std::size_t p = int_end;
    // Scale and exponent are wider than 64 bits: only the scale has to fit
    // (1.5e9223372036854775808 has scale 1 - 2^63).
    __int128 fraction_digits = 0;
    if (p < s.size() && s[p] == '.') {
        const std::size_t frac_end = scan<is_dec>(s, p + 1);
        if (frac_end == p + 1) return std::nullopt;
        digits.append(s.substr(p + 1, frac_end - p - 1));
        fraction_digits = static_cast<__int128>(frac_end - p - 1);
        p = frac_end;
    }
    __int128 exponent = 0;
    if (p < s.size()) {
        if (s[p] != 'e' && s[p] != 'E') return std::nullopt;
        ++p;
        bool exp_negative = false;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) exp_negative = s[p++] == '-';
        if (p == s.size()) return std::nullopt;
        while (p + 1 < s.size() && s[p] == '0') ++p;
        // Far beyond 64 bits no scale can fit: the general parser words why.
        if (s.size() - p > 30) return std::nullopt;
        for (; p < s.size(); ++p) {
            if (!is_dec(s[p])) return std::nullopt;
            exponent = exponent * 10 + (s[p] - '0');
        }
        if (exp_negative) exponent = -exponent;
    }
    const __int128 scale = fraction_digits - exponent;
    if (scale < INT64_MIN || scale > INT64_MAX) return std::nullopt;
    BigInt m = decimal_digits_value(digits);
    if (negative) m = -m;
    return Decimal(std::move(m), static_cast<std::int64_t>(scale));
}

}  // namespace

std::expected<Decimal, std::string> decimal_literal_value(std::string_view literal) {
    if (auto d = small_decimal(literal)) return std::move(*d);
    if (auto d = long_decimal(literal)) return std::move(*d);
    // Everything the conversion refuses, worded by the general parser.
    auto d = Decimal::parse(literal);
    if (!d) return std::unexpected(fmt::format("invalid decimal literal '{}': {}", literal, d.error()));
    return std::move(*d);
}

Token numeral_token(std::string_view literal, NumeralForm form, TokenStore& store, std::optional<std::string>& error) {
    if (is_decimal_form(form)) {
        auto d = decimal_literal_value(literal);
        if (!d) {
            error = std::move(d.error());
            return store.decimal(Decimal());
        }
        return store.decimal(std::move(*d));
    }
    bool negative = false;
    std::string_view digits;
    if (!split_integer(literal, form, negative, digits)) {
        error = integer_error(literal, form);
        return Token::number(0);
    }
    const unsigned radix = numeral_radix(form);
    if (digits.size() <= small_digit_limit(radix)) {
        std::int64_t v = 0;
        for (char c : digits) v = v * static_cast<std::int64_t>(radix) + digit_value(c);
        return Token::number(negative ? -v : v);
    }
    BigInt v = magnitude(digits, radix);
    if (negative) v = -v;
    std::string text;
    if (radix == 10) {
        // The literal's own digits are its decimal text: no conversion back.
        const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size());
        if (first < digits.size()) {
            if (negative) text += '-';
            text.append(digits.substr(first));
        }
    }
    return store.number(std::move(v), std::move(text));
}

}  // namespace keinstr
