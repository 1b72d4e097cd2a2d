// The refusals that come before a construction (MDD's and RGGT's lower
// bounds on their size) must never turn away an encoding that fits: on
// seeded random constraints, whose diagrams and trees are small enough to
// build, an encoder refuses a budget exactly when its size passes it, as if
// it had built everything. The budgets sit at the exact size and just below
// it, where a lower bound that overcounts by one literal shows.

#include <gtest/gtest.h>

#include <random>

#include "helpers.hpp"

using namespace quillet;

namespace {

struct Regime {
    const char* name;
    int groups_lo, groups_hi;  // number of groups
    int size_hi;               // literals per group, 1..size_hi
    Weight weight_hi;          // weights 1..weight_hi
};

// Few groups of huge weights (sparse levels, windows far narrower than the
// bound), many groups of small weights (dense levels), and between.
constexpr Regime kRegimes[] = {
    {"sparse", 3, 9, 4, Weight{1} << 40},
    {"wide", 5, 9, 3, 1'000'000},
    {"dense", 10, 24, 3, 300},
};

GroupedLeqConstraint random_constraint(const Regime& regime, std::mt19937_64& rng) {
    const auto pick = [&](const std::uint64_t lo, const std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    };
    GroupedLeqConstraint c;
    unsigned __int128 largest_sum = 0;
    Lit next = 1;
    const auto groups = static_cast<int>(pick(regime.groups_lo, regime.groups_hi));
    for (int g = 0; g < groups; ++g) {
        std::vector<Lit>& group = c.groups.emplace_back();
        Weight largest = 0;
        for (auto k = pick(1, regime.size_hi); k > 0; --k) {
            const Weight w = pick(1, regime.weight_hi);
            c.terms.push_back({next, w});
            group.push_back(next++);
            largest = std::max(largest, w);
        }
        largest_sum += largest;
    }
    c.bound = static_cast<Weight>(largest_sum * pick(10, 90) / 100);
    return c;
}

class BudgetRefusal : public ::testing::TestWithParam<const char*> {};

TEST_P(BudgetRefusal, RefusesExactlyTheBudgetsBelowTheSize) {
    const auto encoder = make_encoder(GetParam());
    for (const Regime& regime : kRegimes) {
        for (std::uint64_t seed = 1; seed <= 40; ++seed) {
            SCOPED_TRACE(std::string(regime.name) + " seed " + std::to_string(seed));
            std::mt19937_64 rng(seed);
            const GroupedLeqConstraint c = random_constraint(regime, rng);
            EncodeOptions options{static_cast<std::int32_t>(c.terms.size())};
            options.max_literals = std::uint64_t{1} << 40;
            const EncodingSize exact = encoder->measure(c, options);
            if (exact.literals == 0) continue;
            options.max_literals = exact.literals;
            EXPECT_EQ(encoder->measure(c, options).literals, exact.literals);
            EXPECT_EQ(encoder->encode(c, options).cnf.clauses.num_literals(), exact.literals);
            options.max_literals = exact.literals - 1;
            EXPECT_THROW(encoder->measure(c, options), EncodingTooLarge);
            EXPECT_THROW(encoder->encode(c, options), EncodingTooLarge);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LowerBounds, BudgetRefusal, ::testing::Values("mdd", "rggt"));

}  // namespace
