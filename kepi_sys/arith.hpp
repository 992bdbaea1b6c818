// factorial and fibonacci: checked unsigned 64-bit arithmetic.
#pragma once

#include <cstdint>
#include <optional>

namespace kepi {

// None when the result does not fit in 64 bits.
std::optional<uint64_t> checked_factorial(uint64_t n);
std::optional<uint64_t> checked_fibonacci(uint64_t n);

}  // namespace kepi
