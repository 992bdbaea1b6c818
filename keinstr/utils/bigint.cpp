#include "keinstr/utils/bigint.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include <gmp.h>

namespace keinstr {

namespace {

struct Mpz {
    mpz_t z;
    Mpz() { mpz_init(z); }
    ~Mpz() { mpz_clear(z); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
};

}  // namespace

std::string to_decimal(const BigInt& v) {
    const auto& magnitude = v.backend();  // limbs of |v|, least significant first
    const bool negative = v.sign() < 0;
    if (magnitude.size() == 1) {
        std::string out = std::to_string(magnitude.limbs()[0]);
        if (negative) out.insert(out.begin(), '-');
        return out;
    }
    Mpz m;
    mpz_import(m.z, magnitude.size(), -1, sizeof(magnitude.limbs()[0]), 0, 0, magnitude.limbs());
    // The size GMP gives may exceed the digit count by one; room for the sign and
    // the terminating zero too.
    std::string out(mpz_sizeinbase(m.z, 10) + 2, '\0');
    std::size_t at = 0;
    if (negative) out[at++] = '-';
    mpz_get_str(out.data() + at, 10, m.z);
    out.resize(at + std::strlen(out.data() + at));
    return out;
}

BigInt from_decimal_digits(std::string_view digits) {
    Mpz m;
    const std::string text(digits);  // GMP reads a terminated string
    mpz_set_str(m.z, text.c_str(), 10);
    std::vector<std::uint64_t> limbs(mpz_sizeinbase(m.z, 2) / 64 + 1);
    std::size_t count = 0;
    mpz_export(limbs.data(), &count, -1, sizeof(std::uint64_t), 0, 0, m.z);
    BigInt v;
    if (count != 0) boost::multiprecision::import_bits(v, limbs.begin(), limbs.begin() + count, 64, false);
    return v;
}

}  // namespace keinstr
