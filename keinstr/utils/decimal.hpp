#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "keinstr/utils/bigint.hpp"

namespace keinstr {

// Arbitrary-precision decimal: value = mantissa * 10^(-scale).
// The scale is kept as given (2.50 is mantissa 250, scale 2, and prints as 2.50);
// equality is numeric (2.5 == 2.50). Zero never carries a sign.
class Decimal {
public:
    // Beyond this many padding zeros the text switches to exponential form
    // (see to_string).
    static constexpr std::int64_t kPlainPaddingLimit = 1000;

    Decimal() = default;
    Decimal(BigInt mantissa, std::int64_t scale) : mantissa_(std::move(mantissa)), scale_(scale) {}
    explicit Decimal(std::int64_t integer) : mantissa_(integer), scale_(0) {}

    // Parses radix-10 text: [+-]digits[.digits][(e|E)[+-]digits], also "digits." and
    // ".digits". On failure returns the reason (fit for
    // "invalid decimal literal '{}': {}").
    static std::expected<Decimal, std::string> parse(std::string_view text);

    const BigInt& mantissa() const noexcept { return mantissa_; }
    std::int64_t scale() const noexcept { return scale_; }
    bool is_zero() const noexcept { return mantissa_.is_zero(); }

    // Plain text keeping the scale ("2.50", "-0.005", "1200" for mantissa 12, scale -2).
    // When the plain form would need more than kPlainPaddingLimit padding zeros the
    // exponential form is used instead: the mantissa's digits with a point after the
    // first one (when there are several), then "E", the exponent's sign and value
    // ("1E+1500", "-1.25E-2000").
    std::string to_string() const;
    void write(std::string& out) const;
    // Debug form: Decimal("2.50").
    std::string debug() const;

    // Numeric equality, whatever the scales.
    friend bool operator==(const Decimal& a, const Decimal& b);

private:
    BigInt mantissa_{0};
    std::int64_t scale_{0};
};

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::Decimal> : fmt::formatter<std::string_view> {
    auto format(const keinstr::Decimal& d, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(d.to_string(), ctx);
    }
};
