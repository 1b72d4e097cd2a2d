// Tests of the gmto encoder: the radix choice (against a plain exhaustive
// search), the digit split, the shape of the tree and the failure modes.
// The exact worked encodings are checked from Python in tests/test_gmto.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "encoders/gmto/radix.hpp"
#include "helpers.hpp"

using namespace quillet;
using namespace quillet_test;

namespace {

using Radices = std::vector<std::uint64_t>;

constexpr std::uint64_t kMax = ~std::uint64_t{0};

// The radix choice exactly as defined: every candidate from 2 to the largest
// working weight, zeros counting for all, ties to the larger candidate.
Radices exhaustive_radices(std::vector<std::uint64_t> w, const std::uint64_t bound) {
    Radices radices;
    if (bound <= 1) return radices;
    std::uint64_t product = 1;
    while (true) {
        const std::uint64_t largest = w.empty() ? 0 : *std::max_element(w.begin(), w.end());
        std::uint64_t radix = 2;
        if (largest > 1) {
            std::uint64_t best_count = 0;
            for (std::uint64_t i = 2; i <= largest; ++i) {
                std::uint64_t count = 0;
                for (const std::uint64_t x : w) count += x % i == 0;
                if (count >= best_count) {
                    best_count = count;
                    radix = i;
                }
            }
        }
        radices.push_back(radix);
        if (product > kMax / radix) break;
        product *= radix;
        for (std::uint64_t& x : w) x /= radix;
        if (product > bound) break;
    }
    return radices;
}

Radices radices_of(const std::vector<std::uint64_t>& weights, const std::uint64_t bound) {
    return gmto::select_radices(weights, bound);
}

struct RadixCase {
    std::vector<std::uint64_t> weights;
    std::uint64_t bound;
    Radices expected;
};

class GmtoRadixExamples : public testing::TestWithParam<RadixCase> {};

TEST_P(GmtoRadixExamples, MatchTheWorkedSelections) {
    const RadixCase& c = GetParam();
    EXPECT_EQ(radices_of(c.weights, c.bound), c.expected);
}

constexpr std::uint64_t p31 = 2147483647;  // 2^31 - 1, and three more primes just below it
constexpr std::uint64_t q31 = 2147483629;
constexpr std::uint64_t r31 = 2147483587;
constexpr std::uint64_t s31 = 2147483579;

INSTANTIATE_TEST_SUITE_P(
    Gmto, GmtoRadixExamples,
    testing::Values(
        RadixCase{{3, 5, 4, 9}, 7, {3, 3}},
        // ties go to the larger candidate
        RadixCase{{4, 6}, 100, {2, 3, 2, 2, 2, 2, 2}}, RadixCase{{6, 10, 15}, 40, {5, 3, 2, 2}},
        RadixCase{{12, 18}, 1000, {6, 3, 2, 2, 2, 2, 2, 2}},
        RadixCase{{5, 9}, 0, {}}, RadixCase{{5, 9}, 1, {}}, RadixCase{{}, 10, {2, 2, 2, 2}},
        RadixCase{{1, 1}, 3, {2, 2}},
        // p divides three weights, more than any other prime; the gcd of those three is p
        RadixCase{{p31 * q31, p31 * r31, q31 * r31, p31 * s31}, p31 - 1, {p31}},
        // four primes each divide two weights; the larger gcd of the two pairs wins
        RadixCase{{r31 * s31, 2 * r31 * s31, p31 * q31, p31 * q31}, p31 * q31 - 1, {p31 * q31}},
        // the radix exceeds 32 bits; the product then passes 2^64 and ends the list
        RadixCase{{std::uint64_t{1} << 63, std::uint64_t{1} << 63, 1}, std::uint64_t{1} << 63,
                  {std::uint64_t{1} << 63, 2}},
        RadixCase{{(std::uint64_t{1} << 61) - 1, 3}, std::uint64_t{1} << 61, {(std::uint64_t{1} << 61) - 1, 2}}));

TEST(GmtoDigits, SplitLeastSignificantFirst) {
    EXPECT_EQ(gmto::weight_digits(8, Radices{3, 3}), (Radices{2, 2, 0}));
    EXPECT_EQ(gmto::weight_digits(100, Radices{2, 3, 2, 2, 2, 2, 2}), (Radices{0, 2, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(gmto::weight_digits(77, Radices{}), (Radices{77}));
}

std::uint64_t random_product(std::mt19937_64& rng, const std::vector<std::uint64_t>& primes, std::uint64_t cap) {
    std::uint64_t w = 1;
    for (int tries = 0; tries < 6; ++tries) {
        const std::uint64_t p = primes[rng() % primes.size()];
        if (w * p > cap) break;
        w *= p;
    }
    return w;
}

std::uint64_t random_bound(std::mt19937_64& rng) {
    switch (rng() % 3) {
        case 0: return rng() % 1000;
        case 1: return rng() % 10'000'000;
        default: return kMax;  // as many passes as 64 bits allow
    }
}

TEST(GmtoRadixSearch, AgreesWithExhaustiveSearchOnSmallWeights) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint64_t> w(1 + rng() % 10);
        for (std::uint64_t& x : w) x = 1 + rng() % 400;
        const std::uint64_t bound = random_bound(rng);
        ASSERT_EQ(radices_of(w, bound), exhaustive_radices(w, bound)) << "round " << round;
    }
}

TEST(GmtoRadixSearch, AgreesWithExhaustiveSearchWhenLargePrimesAreShared) {
    // Primes above the trial-division range, shared between weights (or
    // squared in one), decide many of these choices.
    const std::vector<std::uint64_t> primes = {2, 3, 5, 257, 263, 269, 271, 277, 281, 283, 293};
    std::mt19937_64 rng(7);
    for (int round = 0; round < 120; ++round) {
        std::vector<std::uint64_t> w(2 + rng() % 30);
        for (std::uint64_t& x : w) x = random_product(rng, primes, 70'000);
        const std::uint64_t bound = random_bound(rng);
        ASSERT_EQ(radices_of(w, bound), exhaustive_radices(w, bound)) << "round " << round;
    }
}

TEST(GmtoRadixSearch, AgreesWithExhaustiveSearchOnManyWeights) {
    std::mt19937_64 rng(99);
    std::vector<std::uint64_t> large_primes;
    for (std::uint64_t c = 257; large_primes.size() < 300; c += 2) {
        bool prime = true;
        for (std::uint64_t d = 3; d * d <= c && prime; d += 2) prime = c % d != 0;
        if (prime) large_primes.push_back(c);
    }
    for (int round = 0; round < 6; ++round) {
        std::vector<std::uint64_t> w;
        if (round % 2 == 0) {
            // Many weights: small primes dominate, counts are cut short.
            for (int i = 0; i < 1500; ++i) w.push_back(1 + rng() % 5000);
        } else {
            // Pairwise coprime but for one repeated prime: no small prime to
            // lean on, so every weight is factored.
            w = large_primes;
            std::shuffle(w.begin(), w.end(), rng);
            w[rng() % w.size()] = w[rng() % w.size()];
        }
        const std::uint64_t bound = random_bound(rng);
        ASSERT_EQ(radices_of(w, bound), exhaustive_radices(w, bound)) << "round " << round;
    }
}

// The radix rule through factoring: the radix is the largest gcd of the
// weights that one prime of the highest count divides (the largest weight
// when no prime divides two). Weights above 2^30 must be products of `pool`;
// smaller ones (the quotients of later passes) are factored by trial division.
Radices factored_radices(std::vector<std::uint64_t> w, const std::uint64_t bound,
                         const std::vector<std::uint64_t>& pool) {
    const auto prime_factors = [&](std::uint64_t x) {
        std::vector<std::uint64_t> out;
        if (x > (std::uint64_t{1} << 30))
            for (const std::uint64_t p : pool)
                if (x % p == 0) {
                    out.push_back(p);
                    while (x % p == 0) x /= p;
                }
        for (std::uint64_t d = 2; d * d <= x; ++d)
            if (x % d == 0) {
                out.push_back(d);
                while (x % d == 0) x /= d;
            }
        if (x > 1) out.push_back(x);
        return out;
    };
    Radices radices;
    std::uint64_t product = 1;
    while (true) {
        std::erase_if(w, [](const std::uint64_t x) { return x < 2; });
        std::uint64_t radix = 2;
        if (!w.empty()) {
            std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> tally;  // prime -> count, gcd
            for (const std::uint64_t x : w)
                for (const std::uint64_t p : prime_factors(x)) {
                    auto& [count, common] = tally[p];
                    ++count;
                    common = std::gcd(common, x);
                }
            std::uint64_t top = 0;
            for (const auto& [p, t] : tally) top = std::max(top, t.first);
            radix = 0;
            for (const auto& [p, t] : tally)
                if (t.first == top) radix = std::max(radix, t.second);
            if (top == 1) radix = *std::max_element(w.begin(), w.end());
        }
        radices.push_back(radix);
        if (product > kMax / radix) break;
        product *= radix;
        for (std::uint64_t& x : w) x /= radix;
        if (product > bound) break;
    }
    return radices;
}

// Thousands of products of two primes above 2^20, most of them sharing no
// prime with any other: too few shares for the block search, so the batch
// gcds decide which weights need factoring.
TEST(GmtoRadixSearch, AgreesWithFactoringOnManyMostlyCoprimeWeights) {
    std::vector<std::uint64_t> pool;
    for (std::uint64_t c = (std::uint64_t{1} << 20) + 1; pool.size() < 5000; c += 2) {
        bool prime = true;
        for (std::uint64_t d = 3; d * d <= c && prime; d += 2) prime = c % d != 0;
        if (prime) pool.push_back(c);
    }
    std::mt19937_64 rng(41);
    for (int round = 0; round < 4; ++round) {
        std::vector<std::uint64_t> shuffled = pool;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::vector<std::uint64_t> w;
        for (std::size_t i = 0; i + 1 < shuffled.size(); i += 2) w.push_back(shuffled[i] * shuffled[i + 1]);
        // Some primes shared by a few weights, and some weights repeated.
        const int shares = round == 0 ? 0 : 3 * round;
        for (int k = 0; k < shares; ++k) w[rng() % w.size()] = shuffled[rng() % 200] * shuffled[200 + rng() % 50];
        for (int k = 0; k < round; ++k) w.push_back(w[rng() % w.size()]);
        const std::uint64_t bound = round % 2 == 0 ? kMax : std::uint64_t{1} << 50;
        ASSERT_EQ(radices_of(w, bound), factored_radices(w, bound, pool)) << "round " << round;
    }
}

// One prime shared by two of thousands of otherwise co-prime weights is the
// radix: the batch gcds must find the pair wherever it sits in the product
// tree (across the top split, side by side in a leaf pair, at the two
// ends), with trees of thousands of limbs, and of odd size.
struct SharedPair {
    std::size_t weights;
    std::size_t first;
    std::size_t second;
};

class GmtoBatchGcd : public testing::TestWithParam<SharedPair> {};

TEST_P(GmtoBatchGcd, FindsTheOnePrimeTwoWeightsShare) {
    const SharedPair c = GetParam();
    std::vector<std::uint64_t> pool;
    for (std::uint64_t p = (std::uint64_t{1} << 20) + 1; pool.size() < 2 * c.weights + 1; p += 2) {
        bool prime = true;
        for (std::uint64_t d = 3; d * d <= p && prime; d += 2) prime = p % d != 0;
        if (prime) pool.push_back(p);
    }
    std::vector<std::uint64_t> w(c.weights);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = pool[2 * i] * pool[2 * i + 1];
    const std::uint64_t shared = pool[2 * c.weights];
    w[c.first] = shared * pool[2 * c.first];
    w[c.second] = shared * pool[2 * c.second];
    EXPECT_EQ(radices_of(w, kMax).front(), shared) << c.weights << " weights, pair " << c.first << ", " << c.second;
}

INSTANTIATE_TEST_SUITE_P(Gmto, GmtoBatchGcd,
                         testing::Values(SharedPair{6000, 2999, 3000}, SharedPair{6000, 0, 5999},
                                         SharedPair{6000, 1234, 1235}, SharedPair{4097, 4095, 4096},
                                         SharedPair{4097, 17, 2900}));

TEST(GmtoRadixSearch, TenThousandWeightsOf62BitsTakeLittleTime) {
    std::mt19937_64 rng(5);
    std::vector<std::uint64_t> w(10'000);
    for (std::uint64_t& x : w) x = rng() >> 2;
    const auto start = std::chrono::steady_clock::now();
    const Radices radices = radices_of(w, kMax - 1);  // the longest radix list there is
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 3.0);  // about 50 ms in a release build
    EXPECT_EQ(radices.front(), 2u);
    EXPECT_GE(radices.size(), 63u);
}

// Five singleton groups of weight 1 under bound 1: no radices, so each
// parent adds whole counts. Level one pairs (1, 2) and (3, 4) and carries 5
// over, level two joins the two parents and carries 5 again, level three
// joins that parent with 5.
TEST(GmtoTree, FiveGroupsArePairedLeftToRightAndTheOddOneClimbs) {
    const auto c = constraint({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}, {{1}, {2}, {3}, {4}, {5}}, 1);
    const EncodeResult r = encode("gmto", c, 5);
    const Clauses expected = {
        {6},
        // parent of 1 and 2: counts 1, 2 are 7, 8
        {-6, -6, 6}, {-6, -2, 7}, {-1, -6, 7}, {-1, -2, 8},
        // parent of 3 and 4: counts 1, 2 are 9, 10
        {-6, -6, 6}, {-6, -4, 9}, {-3, -6, 9}, {-3, -4, 10},
        // parent of the two: counts 1 to 4 are 11 to 14
        {-6, -6, 6}, {-6, -9, 11}, {-6, -10, 12}, {-7, -6, 11}, {-7, -9, 12}, {-7, -10, 13},
        {-8, -6, 12}, {-8, -9, 13}, {-8, -10, 14},
        // root, joining that parent with 5: counts 1 to 5 are 15 to 19
        {-6, -6, 6}, {-6, -5, 15}, {-11, -6, 15}, {-11, -5, 16}, {-12, -6, 16}, {-12, -5, 17},
        {-13, -6, 17}, {-13, -5, 18}, {-14, -6, 18}, {-14, -5, 19},
        // a count of 2 or more breaks the bound
        {-16}, {-17}, {-18}, {-19}};
    EXPECT_EQ(r.cnf.clauses.to_vectors(), expected);
    EXPECT_EQ(r.cnf.num_vars, 19);
    EXPECT_EQ(r.num_aux_vars(), 14);
}

TEST(GmtoFailure, DigitBeyond32BitsIsReportedNotTruncated) {
    // The radix is 3 * 2^40 (dividing both of the first weights), so the last
    // weight's lowest digit is 2^40 + 1: it would need that many indicators.
    const std::uint64_t big = std::uint64_t{3} << 40;
    const auto c = constraint({{1, big}, {2, big}, {3, (std::uint64_t{1} << 40) + 1}}, {{1}, {2}, {3}}, big);
    EXPECT_EQ(message_of([&] { encode("gmto", c, 3); }),
              "quillet: gmto digit value does not fit in a signed 32-bit integer");
}

TEST(GmtoFailure, DigitNeedingMoreIdsThanRemainFailsBeforeAllocating) {
    // Same radix, lowest digit 2^30 + 1: fits 32 bits, but the parent above
    // would need 2^30 fresh ids where about a thousand remain.
    const std::uint64_t big = std::uint64_t{3} << 40;
    const auto c = constraint({{1, big}, {2, big}, {3, (std::uint64_t{1} << 30) + 1}}, {{1}, {2}, {3}}, big);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(message_of([&] { encode("gmto", c, max_variable_id - 1000); }).rfind("quillet: variable ids exhausted", 0),
              0u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

TEST(GmtoFailure, TreeIdsPastTheLimitThrow) {
    // The worked example needs 9 fresh ids; 8 are left.
    const auto c = constraint({{1, 3}, {2, 5}, {3, 4}, {4, 9}}, {{1, 2}, {3, 4}}, 7);
    EXPECT_EQ(message_of([&] { encode("gmto", c, max_variable_id - 8); }).rfind("quillet: variable ids exhausted", 0),
              0u);
    EXPECT_EQ(encode("gmto", c, max_variable_id - 9).cnf.num_vars, max_variable_id);
}

TEST(GmtoFailure, HopelessTreeIsRefusedBeforeAnythingIsBuilt) {
    // Large co-prime weights leave digits in the millions; the pairs of the
    // upper parents would need billions of literals.
    const auto c = constraint({{3, 5764607523034234895ULL}, {-4, 6442450977ULL}, {-5, 25769803908ULL},
                               {1, 3377699720527812ULL}, {4, 12884901954ULL}, {2, 2533274790395859ULL},
                               {-3, 2305843009213693958ULL}, {-6, 4000000000156ULL}},
                              {{-5}, {3, 2, 4}, {-6}, {-4, -3, 1}}, 8070454558017732916ULL);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(message_of([&] { encode("gmto", c, 37); }).rfind("quillet: encoding too large", 0), 0u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

}  // namespace
