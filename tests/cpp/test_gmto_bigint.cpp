// Tests of the big integers behind the gmto radix choice's batch gcds, by
// identities that share no code with them: a product's residue modulo a
// one-limb prime against the residues of its factors, computed here limb by
// limb, and q m + r divided by m giving back q and r, on sizes from one limb
// to thousands and on limbs that carry at every step.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "encoders/gmto/bigint.hpp"

using namespace quillet::bigint;

namespace {

Limbs trimmed(Limbs a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
    return a;
}

Limbs add(Limbs a, const Limbs& b) {
    if (a.size() < b.size()) a.resize(b.size(), 0);
    a.push_back(0);
    unsigned __int128 carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        carry += a[i];
        if (i < b.size()) carry += b[i];
        a[i] = static_cast<Limb>(carry);
        carry >>= 64;
    }
    return trimmed(a);
}

// Random limbs in one of the shapes that stress carries and normalisation:
// uniform, all ones, a top limb of 1, or sparse (mostly zero limbs).
Limbs number(std::mt19937_64& rng, const std::size_t size, const int shape) {
    Limbs a(size);
    for (Limb& limb : a) {
        switch (shape) {
            case 0: limb = rng(); break;
            case 1: limb = ~Limb{0}; break;
            case 2: limb = rng(); break;
            default: limb = rng() % 4 == 0 ? rng() : 0; break;
        }
    }
    if (size > 0) a.back() = shape == 2 ? 1 : (a.back() == 0 ? 1 : a.back());
    return a;
}

// a mod p by Horner's rule in 128-bit arithmetic.
Limb residue(const Limbs& a, const Limb p) {
    unsigned __int128 r = 0;
    for (std::size_t i = a.size(); i-- > 0;) r = ((r << 64) | a[i]) % p;
    return static_cast<Limb>(r);
}

TEST(GmtoBigint, ProductsKeepTheResiduesOfTheirFactors) {
    const std::uint64_t seed = 20261208;
    std::mt19937_64 rng(seed);
    const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {1, 1}, {2, 1}, {31, 31}, {33, 2}, {64, 63}, {257, 129}, {700, 40}, {1024, 1023}, {3000, 2999}};
    for (const Limb prime : {0xffffffffffffffc5ULL, 0xfffffffbULL}) {  // 2^64 - 59, 2^32 - 5
        for (const auto& [na, nb] : sizes) {
            for (int shape = 0; shape < 4; ++shape) {
                const Limbs a = number(rng, na, shape);
                const Limbs b = number(rng, nb, (shape + 1) % 4);
                const Limbs product = multiply(a, b);
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", sizes " << na << " x " << nb << ", shape "
                                                << shape << ", prime " << prime);
                ASSERT_EQ(product, multiply(b, a));
                ASSERT_GE(product.size(), na + nb - 1);
                const auto expected =
                    static_cast<Limb>(static_cast<unsigned __int128>(residue(a, prime)) * residue(b, prime) % prime);
                ASSERT_EQ(residue(product, prime), expected);
            }
        }
    }
}

// q m + r divided by m gives back q and r: moduli of one limb to hundreds,
// quotients of one limb to more than the modulus, and r at 0, at m - 1 and
// random (reduced here by the division itself only after the identity holds).
TEST(GmtoBigint, DivisionRecoversQuotientAndRemainder) {
    const std::uint64_t seed = 7;
    std::mt19937_64 rng(seed);
    for (const std::size_t k : {1u, 2u, 3u, 40u, 157u, 600u}) {
        for (const std::size_t quotient_limbs : {1u, 2u, 9u, 599u, 1300u}) {
            for (int shape = 0; shape < 4; ++shape) {
                const Limbs m = trimmed(number(rng, k, shape));
                for (int which = 0; which < 3; ++which) {
                    Limbs r;
                    if (which == 1) {
                        r = m;
                        for (Limb& limb : r)  // m - 1
                            if (limb-- != 0) break;
                        r = trimmed(r);
                    } else if (which == 2) {
                        r = trimmed(number(rng, k, 0));
                        if (!(r.size() < m.size() || (r.size() == m.size() && r.back() < m.back()))) r.back() = 0;
                        r = trimmed(r);
                    }
                    const Limbs q = trimmed(number(rng, quotient_limbs, (shape + which) % 4));
                    const Limbs a = add(multiply(q, m), r);
                    SCOPED_TRACE(testing::Message() << "seed " << seed << ", modulus limbs " << k << ", quotient limbs "
                                                    << quotient_limbs << ", shape " << shape << ", case " << which);
                    Limbs quotient;
                    ASSERT_EQ(divide(a, m, &quotient), r);
                    ASSERT_EQ(quotient, q);
                    ASSERT_EQ(divide(a, m), r);
                }
            }
        }
    }
}

}  // namespace
