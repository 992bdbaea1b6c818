#pragma once

#include <boost/multiprecision/cpp_int.hpp>

namespace keinstr {

// Arbitrary-precision signed integer used for integer constants and decimal mantissas.
using BigInt = boost::multiprecision::cpp_int;

}  // namespace keinstr
