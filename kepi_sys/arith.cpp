#include "kepi_sys/arith.hpp"

namespace kepi {

std::optional<uint64_t> checked_factorial(uint64_t n) {
    uint64_t acc = 1;
    for (uint64_t k = 2; k <= n; ++k) {
        // The first overflow ends the loop, so a huge n fails at k = 21.
        if (__builtin_mul_overflow(acc, k, &acc)) return std::nullopt;
    }
    return acc;
}

std::optional<uint64_t> checked_fibonacci(uint64_t n) {
    uint64_t prev = 0;  // F(k - 1)
    uint64_t cur = 1;   // F(k)
    if (n == 0) return 0;
    for (uint64_t k = 1; k < n; ++k) {
        uint64_t next = 0;
        // Passing F(93) ends the loop, so a huge n fails at k = 93.
        if (__builtin_add_overflow(prev, cur, &next)) return std::nullopt;
        prev = cur;
        cur = next;
    }
    return cur;
}

}  // namespace kepi
