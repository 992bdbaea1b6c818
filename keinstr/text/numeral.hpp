// Numerals of the textual IR: the six written forms and their conversion into
// `Number` and `Decimal` tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "keinstr/text/token.hpp"
#include "keinstr/utils/bigint.hpp"
#include "keinstr/utils/decimal.hpp"

namespace keinstr {

// The forms in the order they are tried; each may begin with one "+" or "-".
enum class NumeralForm : std::uint8_t {
    Fraction,        // digits "." digits [("e"|"E") [sign] digits]  -> Decimal
    Exponent,        // digits ("e"|"E") [sign] digits               -> Decimal
    Hexadecimal,     // "0x"|"0X" hex digits                         -> Number
    Octal,           // "0o"|"0O" octal digits                       -> Number
    Binary,          // "0b"|"0B" binary digits                      -> Number
    DecimalInteger,  // digits                                       -> Number
};

struct NumeralMatch {
    NumeralForm form;
    std::size_t end;  // one past the literal's last byte
};

// The first form that matches at `pos` (even where a later one would match more);
// none when no form does.
std::optional<NumeralMatch> match_numeral(std::string_view source, std::size_t pos) noexcept;

constexpr bool is_decimal_form(NumeralForm f) noexcept {
    return f == NumeralForm::Fraction || f == NumeralForm::Exponent;
}

// Radix of an integer form (16, 8, 2, 10).
unsigned numeral_radix(NumeralForm f) noexcept;

// Value of an integer literal as written in `form` (sign and prefix included).
// Fails with "invalid base {} integer '{}'" when the digits do not fit the form.
std::expected<BigInt, std::string> integer_literal_value(std::string_view literal, NumeralForm form);

// Value of a decimal literal (forms Fraction and Exponent). Fails with
// "invalid decimal literal '{}': {}" when the scale does not fit 64 bits.
std::expected<Decimal, std::string> decimal_literal_value(std::string_view literal);

// The token of a matched literal. A conversion that fails yields the form's
// token with the value zero and sets `error` to its message.
Token numeral_token(std::string_view literal, NumeralForm form, TokenStore& store, std::optional<std::string>& error);

// Magnitude of a run of ASCII decimal digits (all characters must be digits).
// Subquadratic in the number of digits (keinstr/utils/bigint.hpp).
BigInt decimal_digits_value(std::string_view digits);

}  // namespace keinstr
