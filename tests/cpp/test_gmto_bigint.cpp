// Tests of the big integers behind the gmto radix choice's batch gcds:
// Karatsuba products and Barrett reductions against numbers built so that
// the answer is known (q m + r with r < m) and against the schoolbook forms,
// on sizes around every threshold and on limbs that carry at every step.
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

// Product modulo a one-limb prime, by the single-limb long division: a
// check of the products that shares no code with them.
Limb residue(const Limbs& a, const Limb p) {
    const Limbs r = remainder_schoolbook(a, Limbs{p});
    return r.empty() ? 0 : r[0];
}

TEST(GmtoBigint, KaratsubaMatchesSchoolbookAndResidues) {
    const std::uint64_t seed = 20261208;
    std::mt19937_64 rng(seed);
    const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {31, 31}, {32, 32}, {33, 33}, {64, 63}, {65, 2}, {100, 33}, {257, 129}, {300, 151},
        {513, 512}, {700, 40}, {777, 300}, {1024, 1023}, {1500, 1499}, {999, 667}, {1000, 668}, {3000, 2999}};
    constexpr Limb kPrime = 0xffffffffffffffc5ULL;  // 2^64 - 59
    for (const auto& [na, nb] : sizes) {
        for (int shape = 0; shape < 4; ++shape) {
            const Limbs a = number(rng, na, shape);
            const Limbs b = number(rng, nb, (shape + 1) % 4);
            const Limbs product = multiply(a, b);
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", sizes " << na << " x " << nb << ", shape " << shape);
            ASSERT_EQ(product, multiply_schoolbook(a, b));
            ASSERT_EQ(product, multiply(b, a));
            const auto expected = static_cast<Limb>(static_cast<unsigned __int128>(residue(a, kPrime)) *
                                                    residue(b, kPrime) % kPrime);
            ASSERT_EQ(residue(product, kPrime), expected);
        }
    }
}

// q m + r reduced by m gives back r: for moduli just below and above the
// Barrett threshold and far above it, quotients of one limb (long division)
// up to several times the modulus (Barrett in chunks), and r at 0, at
// m - 1 and random.
TEST(GmtoBigint, ReductionRecoversTheRemainder) {
    const std::uint64_t seed = 7;
    std::mt19937_64 rng(seed);
    for (const std::size_t k : {1u, 2u, 39u, 40u, 41u, 80u, 157u, 600u}) {
        for (const std::size_t quotient_limbs : {1u, 9u, 40u, 599u, 1300u}) {
            for (int shape = 0; shape < 4; ++shape) {
                const Limbs m = trimmed(number(rng, k, shape));
                Modulus mod(m);
                for (int which = 0; which < 3; ++which) {
                    Limbs r;
                    if (which == 1) {
                        r = m;
                        --r[0];  // m - 1; m's low limb is not 0 in these shapes but sparse ones
                        if (m[0] == 0) r = remainder_schoolbook(number(rng, k, 0), m);
                    } else if (which == 2) {
                        r = remainder_schoolbook(number(rng, k + 1, 0), m);
                    }
                    const Limbs q = number(rng, quotient_limbs, (shape + which) % 4);
                    const Limbs a = add(multiply(q, m), r);
                    SCOPED_TRACE(testing::Message() << "seed " << seed << ", modulus limbs " << k << ", quotient limbs "
                                                    << quotient_limbs << ", shape " << shape << ", case " << which);
                    ASSERT_EQ(mod.reduce(a), trimmed(r));
                    ASSERT_EQ(remainder_schoolbook(a, m), trimmed(r));
                }
            }
        }
    }
}

}  // namespace
