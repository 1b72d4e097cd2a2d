#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "core/encoding.hpp"
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

TEST(ClauseSink, RefusesToGrowPastTheBudget) {
    ClauseList store;
    EncodeOptions options;
    options.max_literals = 5;
    ClauseSink sink(&store, options);
    sink.add_clause({1, 2});
    EXPECT_NO_THROW(sink.require_room(3));
    EXPECT_THROW(sink.require_room(4), std::length_error);
    EXPECT_THROW(sink.require_room(UINT64_MAX), std::length_error);
    sink.add_clause({3, 4, 5});
    EXPECT_EQ(message_of([&] { sink.add_clause({6}); }),
              "quillet: encoding too large: it would hold more than 5 literals");
    EXPECT_EQ(store.num_literals(), 5u);  // the refused clause is not stored
}

TEST(ClauseSink, PollsTheStopHookBetweenClausesNotPerClause) {
    int polls = 0;
    EncodeOptions options;
    options.stop = [&polls] { return ++polls == 3; };
    ClauseSink sink(nullptr, options);
    std::uint64_t clauses = 0;
    EXPECT_THROW(
        while (true) {
            sink.add_clause({1, 2, 3, 4});
            ++clauses;
        },
        Cancelled);
    EXPECT_EQ(polls, 3);
    EXPECT_GT(clauses, 1000u * static_cast<std::uint64_t>(polls));
}

TEST(Encoder, TopIdBelowTheInputIsRefused) {
    const auto c = constraint({{1, 3}, {2, 5}, {3, 2}, {4, 6}}, {{1, 2}, {3, 4}}, 7);
    for (const std::string& name : available_encoders()) {
        EXPECT_EQ(message_of([&] { encode(name, c, 3); }), "quillet: top_id must be at least the largest input variable")
            << name;
        EXPECT_EQ(message_of([&] { encode(name, c, 4); }), "") << name;
    }
}

TEST(Encoder, MeasureMatchesEncodeAndChooseTakesTheSmallest) {
    const auto c = constraint({{1, 3}, {2, 5}, {3, 2}, {4, 6}, {5, 4}, {6, 1}}, {{1, 2}, {3, 4}, {5, 6}}, 9, true);
    std::uint64_t smallest = UINT64_MAX;
    for (const std::string& name : available_encoders()) {
        const EncodeResult r = encode(name, c, 6);
        const EncodingSize size = make_encoder(name)->measure(c, EncodeOptions{6});
        EXPECT_EQ(size.variables, r.num_aux_vars()) << name;
        EXPECT_EQ(size.clauses, r.num_clauses()) << name;
        EXPECT_EQ(size.literals, r.cnf.clauses.num_literals()) << name;
        smallest = std::min(smallest, size.literals);
    }
    const std::string chosen = choose_encoder(c, EncodeOptions{6});
    EXPECT_EQ(make_encoder(chosen)->measure(c, EncodeOptions{6}).literals, smallest);
    EXPECT_EQ(encode_with("smallest", c, EncodeOptions{6}).cnf.clauses.num_literals(), smallest);
    EncodeOptions tight{6};
    tight.max_literals = smallest - 1;
    EXPECT_THROW(choose_encoder(c, tight), std::length_error);
}

// MDD counts small bounds level by level instead of building the diagram, and
// the other encoders count by formula: random shapes with weights above,
// at and below the bound, and bounds from 0 past the total.
TEST(Encoder, MeasureMatchesEncodeOnRandomConstraints) {
    const std::uint64_t seed = 20261208;
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 300; ++round) {
        const int groups = 1 + static_cast<int>(rng() % 7);
        const Weight largest = round % 3 == 0 ? 300 : 12;
        std::vector<std::pair<Lit, Weight>> terms;
        std::vector<std::vector<Lit>> partition;
        Weight total = 0;
        for (int g = 0; g < groups; ++g) {
            partition.emplace_back();
            Weight group_max = 0;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
                const Lit lit = static_cast<Lit>(terms.size() + 1);
                const Weight w = 1 + rng() % largest;
                terms.emplace_back(lit, w);
                partition.back().push_back(lit);
                group_max = std::max(group_max, w);
            }
            total += group_max;
        }
        const Weight bound = rng() % (total + 2);
        const auto c = constraint(terms, partition, bound, round % 2 == 0);
        const auto top = static_cast<std::int32_t>(terms.size());
        for (const std::string& name : available_encoders()) {
            const EncodeResult r = encode(name, c, top);
            const EncodingSize size = make_encoder(name)->measure(c, EncodeOptions{top});
            ASSERT_EQ(size.variables, r.num_aux_vars()) << name << " round " << round << " seed " << seed;
            ASSERT_EQ(size.clauses, r.num_clauses()) << name << " round " << round << " seed " << seed;
            ASSERT_EQ(size.literals, r.cnf.clauses.num_literals()) << name << " round " << round << " seed " << seed;
        }
    }
}

TEST(Encoding, AmoPairClausesComeFirstAndRaiseTheTop) {
    const auto c = constraint({{1, 1}, {2, 1}, {3, 1}, {4, 1}}, {{1, 2, 3}, {4}}, 100, true);
    for (const std::int32_t top_id : {4, 5}) {
        Encoding encoding(c, EncodeOptions{top_id}, false);
        const EncodeResult r = encoding.finish(false);
        EXPECT_EQ(r.cnf.clauses.to_vectors(), (Clauses{{-1, -2}, {-1, -3}, {-2, -3}}));
        EXPECT_EQ(r.cnf.num_vars, top_id);
        EXPECT_EQ(r.num_clauses(), 3u);
    }
}

TEST(Encoding, UnusedFreshIdsStillCount) {
    const auto c = constraint({}, {}, 0);
    Encoding encoding(c, EncodeOptions{10}, false);
    encoding.vars.fresh();
    encoding.vars.fresh();
    const EncodeResult r = encoding.finish(false);
    EXPECT_EQ(r.cnf.num_vars, 12);
    EXPECT_EQ(r.num_aux_vars(), 2);
}

TEST(Encoding, ValidationWinsOverNegativeTopId) {
    EXPECT_EQ(message_of([] { Encoding e(constraint({{1, 0}}, {{1}}, 0), EncodeOptions{-1}, false); }), kWeight0);
    EXPECT_EQ(message_of([] { Encoding e(constraint({{1, 1}}, {{1}}, 0), EncodeOptions{-1}, false); }),
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

namespace {

TEST(CleanClauses, DropsRepeatsAndTautologiesInShortAndLongClauses) {
    std::vector<Lit> long_repeats;
    std::vector<Lit> long_tautology;
    for (Lit v = 1; v <= 100; ++v) {
        long_repeats.push_back(v);
        long_repeats.push_back(v);
        long_tautology.push_back(v);
    }
    long_tautology.push_back(-57);
    CnfFormula cnf;
    cnf.add_clause({-5, -5, 3, 7});
    cnf.add_clause({2, -3, -2});
    cnf.add_clause(long_repeats);
    cnf.add_clause(long_tautology);
    cnf.add_clause({4});
    clean_clauses(cnf.clauses);
    std::vector<Lit> distinct(long_repeats.size() / 2);
    for (std::size_t i = 0; i < distinct.size(); ++i) distinct[i] = static_cast<Lit>(i + 1);
    EXPECT_EQ(cnf.clauses.to_vectors(), (Clauses{{-5, 3, 7}, distinct, {4}}));
}

}  // namespace
