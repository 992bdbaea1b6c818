#pragma once

#include <string>
#include <string_view>

#include <boost/multiprecision/cpp_int.hpp>

namespace keinstr {

// Arbitrary-precision signed integer used for integer constants and decimal mantissas.
using BigInt = boost::multiprecision::cpp_int;

// The decimal text of `v`, "-" before a negative value: the text of `v.str()`.
// Every number shown to a user goes through here. Boost's own conversion takes
// time quadratic in the number of digits (minutes for a few million); this one
// is GMP's, in O(M(n) log n).
std::string to_decimal(const BigInt& v);

// The value of a run of ASCII decimal digits (all characters must be digits), by
// GMP as well: reading a long run costs about what printing it does.
BigInt from_decimal_digits(std::string_view digits);

}  // namespace keinstr
