#include "keinstr/utils/decimal.hpp"

#include <algorithm>
#include <limits>

namespace keinstr {

namespace {

enum class IntParse { Ok, Empty, InvalidDigit, PosOverflow, NegOverflow };

// Magnitudes beyond this are kept as this: no scale can absorb them.
constexpr __int128 kExponentCap = static_cast<__int128>(1) << 100;

// The exponent of a literal: a decimal integer with an optional sign, wider than
// 64 bits so that digits after the point can bring the scale back into range
// (1.5e9223372036854775808 has scale 1 - 2^63). Beyond kExponentCap in
// magnitude the value saturates there.
IntParse parse_exponent(std::string_view s, __int128& out) {
    if (s.empty()) return IntParse::Empty;
    bool negative = false;
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        i = 1;
        if (s.size() == 1) return IntParse::InvalidDigit;
    }
    __int128 v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c < '0' || c > '9') return IntParse::InvalidDigit;
        if (v < kExponentCap) v = std::min(v * 10 + (c - '0'), kExponentCap);
    }
    out = negative ? -v : v;
    return IntParse::Ok;
}

std::string int_parse_reason(IntParse r) {
    switch (r) {
        case IntParse::Empty: return "cannot parse integer from empty string";
        case IntParse::InvalidDigit: return "invalid digit found in string";
        case IntParse::PosOverflow: return "number too large to fit in target type";
        case IntParse::NegOverflow: return "number too small to fit in target type";
        case IntParse::Ok: break;
    }
    return {};
}

// Reads a run of ASCII digits into a big integer, 18 digits at a time.
BigInt digits_to_bigint(std::string_view digits) {
    BigInt v = 0;
    std::size_t i = 0;
    while (i < digits.size()) {
        const std::size_t n = std::min<std::size_t>(18, digits.size() - i);
        std::uint64_t chunk = 0;
        std::uint64_t mul = 1;
        for (std::size_t k = 0; k < n; ++k) {
            chunk = chunk * 10 + static_cast<std::uint64_t>(digits[i + k] - '0');
            mul *= 10;
        }
        v *= mul;
        v += chunk;
        i += n;
    }
    return v;
}

// Removes trailing decimal zeros of a non-zero mantissa, lowering the scale to match.
void strip_trailing_zeros(BigInt& m, __int128& scale) {
    if (m.is_zero()) return;
    BigInt q, r;
    const BigInt ten = 10;
    for (;;) {
        boost::multiprecision::divide_qr(m, ten, q, r);
        if (!r.is_zero()) return;
        m.swap(q);
        --scale;
    }
}

}  // namespace

std::expected<Decimal, std::string> Decimal::parse(std::string_view text) {
    if (text.empty()) return std::unexpected(std::string("Failed to parse empty string"));

    std::string_view base = text;
    __int128 exponent = 0;
    if (const auto e = text.find_first_of("eE"); e != std::string_view::npos) {
        base = text.substr(0, e);
        const IntParse r = parse_exponent(text.substr(e + 1), exponent);
        if (r != IntParse::Ok) return std::unexpected(int_parse_reason(r));
    }

    bool negative = false;
    if (!base.empty() && (base[0] == '+' || base[0] == '-')) {
        negative = base[0] == '-';
        base.remove_prefix(1);
    }
    std::string digits;
    __int128 frac_len = 0;
    if (const auto dot = base.find('.'); dot != std::string_view::npos) {
        digits.append(base.substr(0, dot));
        const std::string_view frac = base.substr(dot + 1);
        digits.append(frac);
        frac_len = static_cast<__int128>(frac.size());
    } else {
        digits.append(base);
    }
    if (digits.empty()) return std::unexpected(std::string("cannot parse integer from empty string"));
    for (const char c : digits)
        if (c < '0' || c > '9') return std::unexpected(std::string("invalid digit found in string"));

    // The scale must fit 64 bits, not the exponent. An exponent that does not fit
    // either is named as such, one that does as overflowing the scale.
    const __int128 scale = frac_len - exponent;
    if (scale < INT64_MIN || scale > INT64_MAX) {
        if (exponent > INT64_MAX) return std::unexpected(int_parse_reason(IntParse::PosOverflow));
        if (exponent < INT64_MIN) return std::unexpected(int_parse_reason(IntParse::NegOverflow));
        return std::unexpected("Exponent overflow when parsing '" + std::string(text) + "'");
    }

    BigInt m = digits_to_bigint(digits);
    if (negative) m = -m;
    return Decimal(std::move(m), static_cast<std::int64_t>(scale));
}

void Decimal::write(std::string& out) const {
    const bool negative = mantissa_.sign() < 0;
    std::string digits = to_decimal(mantissa_);
    if (negative) digits.erase(0, 1);
    const auto ndigits = static_cast<__int128>(digits.size());
    const __int128 scale = scale_;
    // Number of zeros the plain form pads with: after the digits for a negative scale,
    // between "0." and the digits when the scale exceeds the digit count.
    __int128 padding = 0;
    if (scale < 0)
        padding = -scale;
    else if (scale > ndigits)
        padding = scale - ndigits;

    if (mantissa_.is_zero() && scale <= 0) {
        out.push_back('0');
        return;
    }
    if (negative) out.push_back('-');
    if (padding > kPlainPaddingLimit) {
        // Exponential form: d.ddddE±x, exponent of the first digit.
        const __int128 exponent = ndigits - 1 - scale;
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1, std::string::npos);
        }
        out.push_back('E');
        out.push_back(exponent < 0 ? '-' : '+');
        unsigned __int128 mag =
            exponent < 0 ? static_cast<unsigned __int128>(-exponent) : static_cast<unsigned __int128>(exponent);
        std::string e;
        do {
            e.push_back(static_cast<char>('0' + static_cast<int>(mag % 10)));
            mag /= 10;
        } while (mag != 0);
        out.append(e.rbegin(), e.rend());
        return;
    }
    if (scale <= 0) {
        out.append(digits);
        out.append(static_cast<std::size_t>(padding), '0');
        return;
    }
    if (scale >= ndigits) {
        out.append("0.");
        out.append(static_cast<std::size_t>(padding), '0');
        out.append(digits);
        return;
    }
    const auto int_len = static_cast<std::size_t>(ndigits - scale);
    out.append(digits, 0, int_len);
    out.push_back('.');
    out.append(digits, int_len, std::string::npos);
}

std::string Decimal::to_string() const {
    std::string s;
    write(s);
    return s;
}

std::string Decimal::debug() const { return "Decimal(\"" + to_string() + "\")"; }

bool operator==(const Decimal& a, const Decimal& b) {
    if (a.mantissa_.sign() != b.mantissa_.sign()) return false;
    if (a.mantissa_.is_zero()) return true;
    if (a.scale_ == b.scale_) return a.mantissa_ == b.mantissa_;
    BigInt ma = a.mantissa_;
    BigInt mb = b.mantissa_;
    __int128 sa = a.scale_;
    __int128 sb = b.scale_;
    strip_trailing_zeros(ma, sa);
    strip_trailing_zeros(mb, sb);
    return sa == sb && ma == mb;
}

}  // namespace keinstr
