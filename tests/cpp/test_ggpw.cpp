// Tests of the ggpw encoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "helpers.hpp"

using namespace quillet;
using namespace quillet_test;

namespace {

constexpr std::int32_t kMaxId = 2147483647;

TEST(Ggpw, WorkedExample) {
    const auto c = constraint({{1, 2}, {2, 3}, {3, 1}}, {{1, 2}, {3}}, 3, true);
    const EncodeResult r = encode("ggpw", c, 3);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, -2}, {-1, 4}, {-2, 4}, {-2, 5}, {-3, 5}, {-2, -3, 6},
                                                   {-4, 7}, {-6, 7}, {-4, -6, 8}, {-8}}));
    EXPECT_EQ(r.cnf.num_vars, 8);
    EXPECT_EQ(r.num_aux_vars(), 5);
    EXPECT_EQ(r.num_clauses(), 10u);
}

TEST(Ggpw, OffsetRoundsTheThresholdUpToTheTopBit) {
    const EncodeResult r4 = encode("ggpw", constraint({{1, 5}}, {{1}}, 4), 1);
    EXPECT_EQ(r4.cnf.clauses.to_vectors(), (Clauses{{2}, {-1, 3}, {-2, 3}, {-1, -2, 4}, {-2, 5}, {-4, 5},
                                                    {-2, -4, 6}, {-1, 7}, {-6, 7}, {-1, -6, 8}, {-8}}));
    EXPECT_EQ(r4.cnf.num_vars, 8);
    const EncodeResult r5 = encode("ggpw", constraint({{1, 5}}, {{1}}, 5), 1);
    EXPECT_EQ(r5.cnf.clauses.to_vectors(), (Clauses{{2}}));
    EXPECT_EQ(r5.cnf.num_vars, 2);
}

TEST(Ggpw, OddListCountCarriesTheLastListToTheNextPass) {
    // [1] + [2] -> 4, 5 first; then [4, 5] + [3] -> 6, 7, 8; threshold 2.
    const EncodeResult r = encode("ggpw", constraint({{1, 1}, {2, 1}, {3, 1}}, {{1}, {2}, {3}}, 1), 3);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, 4}, {-2, 4}, {-1, -2, 5}, {-4, 6}, {-5, 7}, {-3, 6},
                                                   {-4, -3, 7}, {-5, -3, 8}, {-7}}));
    EXPECT_EQ(r.cnf.num_vars, 8);
}

TEST(Ggpw, ThresholdAtTwoToTheSixtyFourIsKept) {
    // bound + 1 = 2^64: with small weights nothing can reach it, but two
    // weights of 2^63 can, and the top count must still be capped.
    const Weight half = Weight{1} << 63;
    const EncodeResult small = encode("ggpw", constraint({{1, 1}, {2, 1}}, {{1}, {2}}, UINT64_MAX), 2);
    EXPECT_EQ(small.cnf.clauses.to_vectors(), (Clauses{{-1, 3}, {-2, 3}, {-1, -2, 4}}));
    const EncodeResult big = encode("ggpw", constraint({{1, half}, {2, half}}, {{1}, {2}}, UINT64_MAX), 2);
    EXPECT_EQ(big.cnf.clauses.to_vectors(), (Clauses{{-1, 3}, {-2, 3}, {-1, -2, 4}, {-4}}));
    // bound 2^64 - 2 rounds up to the same threshold through the offset.
    const EncodeResult rounded = encode("ggpw", constraint({{1, half}, {2, half}}, {{1}, {2}}, UINT64_MAX - 1), 2);
    EXPECT_EQ(rounded.cnf.clauses.to_vectors(), (Clauses{{3}, {-1, 4}, {-2, 4}, {-1, -2, 5}, {-5}}));
}

TEST(Ggpw, FreshIdsPastTheLargestIdFail) {
    const auto c = constraint({{1, 2}, {2, 3}, {3, 1}}, {{1, 2}, {3}}, 3);
    EXPECT_EQ(encode("ggpw", c, kMaxId - 5).cnf.num_vars, kMaxId);
    EXPECT_EQ(message_of([&] { encode("ggpw", c, kMaxId - 4); }).rfind("quillet: variable ids exhausted", 0), 0u);
}

}  // namespace
