#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers.hpp"

using namespace quillet;
using namespace quillet_test;

namespace {

struct ValidationCase {
    const char* label;
    GroupedLeqConstraint constraint;
    const char* message;  // "" when valid
};

class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, ReportsTheFirstViolation) {
    const ValidationCase& c = GetParam();
    EXPECT_EQ(message_of([&] { c.constraint.validate(); }), c.message);
}

const char* const kLit0 = "quillet: literal id 0 is invalid";
const char* const kWeight0 = "quillet: normalized form requires positive weights";
const char* const kDuplicate = "quillet: duplicate literals in weighted terms are not supported";
const char* const kEmpty = "quillet: AMO groups must be non-empty";
const char* const kMissing = "quillet: AMO group references a literal not present in terms";
const char* const kPartition = "quillet: AMO groups must form a partition of the literals";
const char* const kUncovered = "quillet: every weighted literal must appear in exactly one AMO group";

INSTANTIATE_TEST_SUITE_P(
    Messages, Validation,
    ::testing::Values(
        ValidationCase{"weight0", constraint({{1, 0}}, {{1}}, 1), kWeight0},
        ValidationCase{"lit0_before_weight0", constraint({{0, 0}}, {}, 1), kLit0},
        ValidationCase{"duplicate_before_groups", constraint({{1, 2}, {1, 3}}, {{}}, 1), kDuplicate},
        ValidationCase{"negation_is_distinct", constraint({{5, 1}, {-5, 1}}, {{5}, {-5}}, 1), ""},
        ValidationCase{"empty_group_last", constraint({{1, 1}}, {{1}, {}}, 1), kEmpty},
        ValidationCase{"empty_group_first", constraint({{1, 1}}, {{}, {1}}, 1), kEmpty},
        ValidationCase{"missing", constraint({{1, 1}}, {{1, 2}}, 1), kMissing},
        ValidationCase{"zero_in_group", constraint({{1, 1}}, {{0}}, 1), kMissing},
        ValidationCase{"two_groups", constraint({{1, 1}, {2, 1}}, {{1, 2}, {2}}, 1), kPartition},
        ValidationCase{"twice_in_group", constraint({{1, 1}, {2, 1}}, {{1, 1, 2}}, 1), kPartition},
        ValidationCase{"uncovered", constraint({{1, 1}, {2, 1}}, {{1}}, 1), kUncovered},
        ValidationCase{"empty", constraint({}, {}, 0), ""},
        ValidationCase{"empty_terms_group", constraint({}, {{1}}, 0), kMissing},
        ValidationCase{"missing_before_later_empty", constraint({{1, 1}}, {{2}, {}}, 1), kMissing}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(VariableManager, HandsOutConsecutiveIdsAndTracksTheTop) {
    VariableManager vars(10);
    EXPECT_EQ(vars.top(), 10);
    EXPECT_EQ(vars.fresh(), 11);
    EXPECT_EQ(vars.fresh(), 12);
    EXPECT_EQ(vars.top(), 12);
    EXPECT_EQ(vars.fresh_block(3), 13);
    EXPECT_EQ(vars.top(), 15);
    EXPECT_EQ(vars.fresh(), 16);
}

TEST(VariableManager, RejectsNegativeTopId) {
    EXPECT_EQ(message_of([] { VariableManager vars(-1); }), "quillet: top_id must be non-negative");
}

TEST(VariableManager, RunningOutOfIdsThrowsInsteadOfWrapping) {
    VariableManager vars(max_variable_id - 1);
    EXPECT_EQ(vars.fresh(), max_variable_id);
    EXPECT_THROW(vars.fresh(), std::overflow_error);
    EXPECT_EQ(vars.top(), max_variable_id);

    VariableManager at_limit(max_variable_id);
    EXPECT_THROW(at_limit.fresh(), std::overflow_error);
    EXPECT_THROW(at_limit.fresh_block(1), std::overflow_error);
    EXPECT_NO_THROW(at_limit.fresh_block(0));

    VariableManager block(100);
    EXPECT_THROW(block.fresh_block(std::uint64_t{1} << 40), std::overflow_error);
    EXPECT_EQ(block.top(), 100);  // nothing allocated by the failed block
    EXPECT_EQ(block.fresh(), 101);
}

TEST(CnfFormula, KeepsClausesVerbatimAndTracksTheLargestVariable) {
    CnfFormula cnf;
    cnf.num_vars = 3;
    cnf.add_clause({-7, 2, 2});
    cnf.add_clause({});
    cnf.add_clause({1, -1});
    EXPECT_EQ(cnf.num_vars, 7);
    EXPECT_EQ(cnf.clauses.to_vectors(), (Clauses{{-7, 2, 2}, {}, {1, -1}}));
    EXPECT_EQ(cnf.clauses.num_literals(), 5u);
}

TEST(CnfFormula, LiteralZeroIsRejectedAndNothingAppended) {
    CnfFormula cnf;
    cnf.add_clause({1});
    EXPECT_EQ(message_of([&] { cnf.add_clause({9, 0}); }), "quillet: clause contains literal 0");
    EXPECT_EQ(cnf.clauses.size(), 1u);
    EXPECT_EQ(cnf.num_vars, 1);
}

TEST(CnfFormula, RefusesToGrowPastTheLiteralLimit) {
    CnfFormula cnf;
    cnf.add_clause({1, 2});
    EXPECT_NO_THROW(cnf.require_room(max_encoding_literals - 2));
    EXPECT_THROW(cnf.require_room(max_encoding_literals - 1), std::length_error);
    EXPECT_THROW(cnf.require_room(UINT64_MAX), std::length_error);
}

TEST(Encoding, AmoPairClausesComeFirstAndRaiseTheTop) {
    const auto c = constraint({{1, 1}, {2, 1}, {3, 1}, {4, 1}}, {{1, 2, 3}, {4}}, 100, true);
    for (const std::int32_t top_id : {0, 2, 5}) {
        Encoding encoding(c, EncodeOptions{top_id});
        const EncodeResult r = encoding.finish();
        EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, -2}, {-1, -3}, {-2, -3}}));
        EXPECT_EQ(r.cnf.num_vars, std::max(top_id, 3));
        EXPECT_EQ(r.num_clauses, 3u);
    }
}

TEST(Encoding, UnusedFreshIdsStillCount) {
    const auto c = constraint({}, {}, 0);
    Encoding encoding(c, EncodeOptions{10});
    encoding.vars.fresh();
    encoding.vars.fresh();
    const EncodeResult r = encoding.finish();
    EXPECT_EQ(r.cnf.num_vars, 12);
    EXPECT_EQ(r.num_aux_vars, 2);
}

TEST(Encoding, ValidationWinsOverNegativeTopId) {
    EXPECT_EQ(message_of([] { Encoding e(constraint({{1, 0}}, {{1}}, 0), EncodeOptions{-1}); }), kWeight0);
    EXPECT_EQ(message_of([] { Encoding e(constraint({{1, 1}}, {{1}}, 0), EncodeOptions{-1}); }),
              "quillet: top_id must be non-negative");
}

TEST(Registry, NamesMatchExactly) {
    const std::vector<std::string> names = available_encoders();
    EXPECT_EQ(names, (std::vector<std::string>{"mdd", "gswc", "ggpw", "gmto", "rggt"}));
    for (const std::string& name : names) EXPECT_EQ(make_encoder(name)->name(), name);
    for (const char* bad : {"Rggt", "MDD", "mdd ", "md", "", "rggt2"})
        EXPECT_EQ(message_of([&] { make_encoder(bad); }), "quillet: unknown encoder name") << bad;
}

TEST(Registry, EveryEncoderValidatesBeforeEncoding) {
    for (const std::string& name : available_encoders()) {
        EXPECT_EQ(message_of([&] { encode(name, constraint({{1, 1}}, {{1}, {}}, 1), 0); }), kEmpty) << name;
        EXPECT_EQ(message_of([&] { encode(name, constraint({{1, 1}}, {{1}}, 1), -3); }),
                  "quillet: top_id must be non-negative")
            << name;
    }
}

}  // namespace
