#include <gtest/gtest.h>

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
