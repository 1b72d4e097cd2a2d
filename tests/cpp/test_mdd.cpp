#include <gtest/gtest.h>

#include <random>

#include "encoders/mdd.hpp"
#include "helpers.hpp"

using namespace quillet;
using namespace quillet_test;

namespace {

TEST(Mdd, WorkedExample) {
    const auto c = constraint({{1, 2}, {2, 3}, {3, 2}}, {{1, 2}, {3}}, 3);
    const EncodeResult r = encode("mdd", c, 3);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-6}, {-3, 4}, {-3, 5}, {-4, -1, 6}, {-5, -2, 6}}));
    EXPECT_EQ(r.cnf.num_vars, 6);
    EXPECT_EQ(r.num_aux_vars(), 3);
    EXPECT_EQ(r.num_clauses(), 5u);
}

TEST(Mdd, BoundZeroGivesOneNodePerLevelInPostOrder) {
    const auto c = constraint({{1, 1}, {2, 1}, {3, 1}}, {{1}, {2}, {3}}, 0);
    const EncodeResult r = encode("mdd", c, 3);
    // node 0 = level 2 (var 4), node 1 = level 1 (var 5), root = level 0 (var 6)
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-6}, {-3, 4}, {-4, 5}, {-2, 5}, {-5, 6}, {-1, 6}}));
    EXPECT_EQ(r.cnf.num_vars, 6);
}

TEST(Mdd, DeepChainDoesNotRecurseOnTheCallStack) {
    constexpr int kGroups = 200000;
    GroupedLeqConstraint c;
    for (int i = 1; i <= kGroups; ++i) {
        c.terms.push_back({i, 1});
        c.groups.push_back({i});
    }
    c.bound = 0;
    const EncodeResult r = encode("mdd", c, kGroups);
    EXPECT_EQ(r.cnf.num_vars, 2 * kGroups);
    EXPECT_EQ(r.num_clauses(), static_cast<std::uint64_t>(2 * kGroups));
}

TEST(Mdd, SuffixCapacityIsExactPast64Bits) {
    // The two maxima sum past 2^64; a wrapped capacity would make the root TRUE.
    const Weight big = (Weight{1} << 63) + 5;
    const auto c = constraint({{1, big}, {2, big}}, {{1}, {2}}, big);
    const EncodeResult r = encode("mdd", c, 2);
    // root (2 states deep): level-1 node var 3 with edge FALSE, root var 4
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-4}, {-2, 3}, {-3, -1, 4}}));
}

TEST(Mdd, GroupMaximaSummingPast64BitsStillConstrainTheLargestBound) {
    const Weight half = Weight{1} << 63;
    const auto c = constraint({{1, half}, {2, half}}, {{1}, {2}}, UINT64_MAX);
    const EncodeResult r = encode("mdd", c, 2);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-4}, {-2, 3}, {-3, -1, 4}}));
}

}  // namespace

// The count over windows of the levels, which refuses diagrams before they
// are built, must stay a lower bound whatever the window, and be exact once
// each level's window holds every capacity that the level can reach: from
// bound - (the largest sum of the groups above) to min(bound, suffix - 1).
// With a bound near the largest sum that span is far below the bound, and
// the windows move down from level to level.
TEST(Mdd, WindowCountIsALowerBoundAndExactWhenItHoldsEveryNode) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const auto pick = [&](const std::uint64_t lo, const std::uint64_t hi) {
            return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
        };
        GroupedLeqConstraint c;
        std::vector<Weight> maxima;
        Lit next = 1;
        for (auto g = pick(4, 30); g > 0; --g) {
            std::vector<Lit>& group = c.groups.emplace_back();
            Weight largest = 0;
            for (auto k = pick(1, 3); k > 0; --k) {
                const Weight w = pick(1, 2000);
                c.terms.push_back({next, w});
                group.push_back(next++);
                largest = std::max(largest, w);
            }
            maxima.push_back(largest);
        }
        Weight total = 0;
        for (const Weight m : maxima) total += m;
        c.bound = total * pick(10, 95) / 100;
        Weight span = 0, prefix = 0, suffix = total;
        for (const Weight m : maxima) {
            const Weight top = std::min(c.bound, suffix - 1);
            const Weight low = c.bound > prefix ? c.bound - prefix : 0;
            if (top >= low) span = std::max(span, top - low + 1);
            prefix += m;
            suffix -= m;
        }
        const std::uint64_t exact = make_encoder("mdd")->measure(c, EncodeOptions{next}).literals;
        constexpr std::uint64_t kNoStop = ~std::uint64_t{0};
        EXPECT_EQ(mdd_window_literals(c, span / 64 + 1, kNoStop), exact) << span << " capacities";
        for (const std::size_t words : {1, 2, 3, 7, 20})
            EXPECT_LE(mdd_window_literals(c, words, kNoStop), exact) << words << " words";
    }
}
