#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "keinstr/utils/bigint.hpp"

using namespace keinstr;

namespace {

// A random value of `bits` bits (the top one set).
BigInt random_value(std::mt19937_64& rng, std::size_t bits) {
    BigInt v = 1;
    for (std::size_t i = 1; i < bits; i += 64) {
        const std::size_t take = std::min<std::size_t>(64, bits - i);
        v <<= take;
        v += take == 64 ? rng() : rng() & ((std::uint64_t{1} << take) - 1);
    }
    return v;
}

}  // namespace

TEST(BigIntDecimal, AgreesWithBoostText) {
    std::vector<BigInt> values{0, 1, 9, 10, 4294967295u, INT64_MIN, INT64_MAX, UINT64_MAX};
    // Limb boundaries: 2^k and its neighbours.
    for (unsigned k : {63u, 64u, 65u, 127u, 128u, 129u, 191u, 192u, 1024u, 4096u}) {
        const BigInt p = BigInt(1) << k;
        values.insert(values.end(), {p - 1, p, p + 1});
    }
    // Powers of ten and their neighbours: runs of nines, a one and zeros.
    BigInt ten = 1;
    for (unsigned k = 1; k <= 1200; ++k) {
        ten *= 10;
        if (k % 19 <= 1 || k % 64 <= 1 || k >= 1190) values.insert(values.end(), {ten - 1, ten, ten + 1});
    }
    // Random values around where a conversion splits (limb counts that are powers of
    // two and beside them), and a few large ones.
    std::mt19937_64 rng(20240611);
    for (std::size_t limbs :
         {2u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 255u, 256u, 257u, 1000u, 4096u})
        for (int shift = -1; shift <= 1; ++shift) values.push_back(random_value(rng, limbs * 64 + shift));
    // Values with long runs of zero digits inside, which a split must pad.
    values.push_back(ten * ten + 7);
    values.push_back((ten + 3) * ten);

    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) values.push_back(-values[i]);
    for (const BigInt& v : values) ASSERT_EQ(to_decimal(v), v.str()) << v.str();
}
