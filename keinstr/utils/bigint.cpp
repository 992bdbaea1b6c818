#include "keinstr/utils/bigint.hpp"

#include <cstring>

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

}  // namespace keinstr
