// Tests of the gswc encoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "helpers.hpp"

using namespace quillet;
using namespace quillet_test;

namespace {

constexpr std::int32_t kMaxId = 2147483647;

bool is_exhausted(const std::string& message) { return message.rfind("quillet: variable ids exhausted", 0) == 0; }

TEST(Gswc, WorkedExample) {
    const auto c = constraint({{1, 2}, {2, 3}, {3, 1}}, {{1, 2}, {3}}, 3, true);
    const EncodeResult r = encode("gswc", c, 3);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, -2}, {-1, 4}, {-1, 5}, {-2, 4}, {-2, 5}, {-2, 6}, {-6, -3}}));
    EXPECT_EQ(r.cnf.num_vars, 6);
    EXPECT_EQ(r.num_aux_vars(), 3);
    EXPECT_EQ(r.num_clauses(), 7u);
}

TEST(Gswc, MiddleGroupCarriesAddsAndOverflows) {
    // S(0, 1..3) = 11..13, S(1, 1..3) = 14..16; literal 2 weighs exactly K.
    const auto c = constraint({{1, 1}, {2, 3}, {5, 1}, {3, 2}}, {{1}, {2, 5}, {3}}, 3);
    const EncodeResult r = encode("gswc", c, 10);
    EXPECT_EQ(r.cnf.clauses.to_vectors(),
              (Clauses{{-1, 11},
                       {-11, 14}, {-12, 15}, {-13, 16},
                       {-2, 14}, {-2, 15}, {-2, 16}, {-11, -2},
                       {-5, 14}, {-11, -5, 15}, {-12, -5, 16}, {-13, -5},
                       {-15, -3}}));
    EXPECT_EQ(r.cnf.num_vars, 16);
    EXPECT_EQ(r.num_aux_vars(), 6);
}

TEST(Gswc, WeightsComparedWithTheBoundInSixtyFourBits) {
    // 2^32 + 1 must not pass for a weight of 1, nor 2^32 + 3 for a bound of 3.
    const Weight big = (Weight{1} << 32) + 1;
    const auto two_groups = constraint({{1, big}, {2, 1}}, {{1}, {2}}, 3);
    EXPECT_EQ(encode("gswc", two_groups, 2).cnf.clauses.to_vectors(), (Clauses{{-1}, {-5, -2}}));
    const auto one_group = constraint({{1, 5}, {2, (Weight{1} << 32) + 4}}, {{1, 2}}, (Weight{1} << 32) + 3);
    const EncodeResult r = encode("gswc", one_group, 2);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-2}}));
    EXPECT_EQ(r.cnf.num_vars, 2);
}

TEST(Gswc, CounterIdsPastTheLargestIdFailBeforeAnythingIsBuilt) {
    const auto three_groups = constraint({{1, 1}, {2, 1}, {3, 1}}, {{1}, {2}, {3}}, 3);
    // (3 - 1) * 3 = 6 counters: five ids left fail, six fit exactly.
    EXPECT_TRUE(is_exhausted(message_of([&] { encode("gswc", three_groups, kMaxId - 5); })));
    EXPECT_EQ(encode("gswc", three_groups, kMaxId - 6).cnf.num_vars, kMaxId);

    for (const Weight bound : {Weight{1} << 31, Weight{1} << 40, UINT64_MAX}) {
        const auto c = constraint({{1, 1}, {2, 1}}, {{1}, {2}}, bound);
        EXPECT_TRUE(is_exhausted(message_of([&] { encode("gswc", c, 2); }))) << bound;
    }
    // (n - 1) * K beyond 64 bits must not wrap into a small count.
    GroupedLeqConstraint many;
    for (Lit i = 1; i <= 4097; ++i) {
        many.terms.push_back({i, 1});
        many.groups.push_back({i});
    }
    many.bound = (Weight{1} << 52) + 1;  // 4096 * (2^52 + 1) wraps to 4096
    EXPECT_TRUE(is_exhausted(message_of([&] { encode("gswc", many, 4097); })));
}

TEST(Gswc, LargestRegisterStillFits) {
    // K = 2^31 - 3 with two groups fills the whole id range above top_id 2.
    const Weight k = kMaxId - 2;
    const auto c = constraint({{1, 1}, {2, k}}, {{1}, {2}}, k);
    const EncodeResult r = encode("gswc", c, 2);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, 3}, {-3, -2}}));
    EXPECT_EQ(r.cnf.num_vars, kMaxId);
}

TEST(Gswc, SingleGroupAcceptsAnyBound) {
    const auto c = constraint({{1, UINT64_MAX}, {2, 7}}, {{1, 2}}, UINT64_MAX - 1, true);
    const EncodeResult r = encode("gswc", c, 4);
    EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, -2}, {-1}}));
    EXPECT_EQ(r.num_aux_vars(), 0);
}

}  // namespace
