#pragma once

#include <string>

#include <boost/multiprecision/cpp_int.hpp>

namespace keinstr {

// Arbitrary-precision signed integer used for integer constants and decimal mantissas.
using BigInt = boost::multiprecision::cpp_int;

// The decimal text of `v`, "-" before a negative value: the text of `v.str()`.
// Every number shown to a user goes through here. Boost's own conversion takes
// time quadratic in the number of digits (minutes for a few million); this one
// is GMP's, in O(M(n) log n).
std::string to_decimal(const BigInt& v);

}  // namespace keinstr
