// The OPB reader and normaliser, the AMO detection, the DIMACS/WCNF writer and
// the file pipeline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "pipeline/amo_detect.hpp"
#include "io/dimacs.hpp"
#include "io/opb.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/rows.hpp"
#include "quillet/encoder.hpp"
#include "helpers.hpp"

namespace {

using namespace quillet;
using namespace quillet::opb;
using namespace quillet::pipeline;
using quillet_test::message_of;

// Keeps the raw constraints, for evaluating them independently of the normaliser.
struct Recorder : Handler {
    std::vector<RawConstraint> constraints;
    RawConstraint objective_raw;
    bool has_objective = false;
    void objective(const RawConstraint& raw) override {
        objective_raw = raw;
        has_objective = true;
    }
    void constraint(const RawConstraint& raw) override { constraints.push_back(raw); }
};

bool value(Lit lit, std::uint32_t assignment) {
    const bool v = (assignment >> ((lit > 0 ? lit : -lit) - 1)) & 1;
    return lit > 0 ? v : !v;
}

bool raw_holds(const RawConstraint& c, std::uint32_t assignment) {
    Int lhs = 0;
    for (const RawTerm& t : c.terms)
        if (value(t.lit, assignment)) lhs += t.coefficient;
    switch (c.relation) {
        case Relation::ge: return lhs >= c.degree;
        case Relation::le: return lhs <= c.degree;
        case Relation::eq: return lhs == c.degree;
    }
    return false;
}

bool row_holds(const Problem& p, const Row& row, std::uint32_t assignment) {
    if (row.kind == Kind::clause) {
        for (const auto& t : p.row_terms(row))
            if (value(t.lit, assignment)) return true;
        return false;
    }
    Weight sum = 0;
    for (const auto& t : p.row_terms(row))
        if (value(t.lit, assignment)) sum += t.weight;
    return sum <= row.bound;
}

std::string random_opb(std::mt19937& rng, int vars, int constraints, bool objective) {
    std::ostringstream out;
    out << "* #variable= " << vars << " #constraint= " << constraints << "\n";
    auto term = [&](int coef) {
        const int v = static_cast<int>(rng() % static_cast<unsigned>(vars)) + 1;
        out << (coef >= 0 ? "+" : "") << coef << " " << (rng() % 3 == 0 ? "~" : "") << "x" << v << " ";
    };
    if (objective) {
        out << "min: ";
        for (int i = 0; i < 3; ++i) term(static_cast<int>(rng() % 9) - 4);
        out << ";\n";
    }
    for (int c = 0; c < constraints; ++c) {
        const int n = 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) term(static_cast<int>(rng() % 11) - 5);
        static const char* const relations[] = {">=", "<=", "="};
        out << relations[rng() % 3] << " " << static_cast<int>(rng() % 9) - 3 << " ;\n";
    }
    return out.str();
}

// Satisfiability of clauses under a fixed assignment of the first `fixed`
// variables, by plain backtracking over the rest.
bool satisfiable(const std::vector<std::vector<Lit>>& clauses, std::vector<int> values, std::size_t next = 1) {
    // Unit propagation to a fixpoint.
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto& clause : clauses) {
            int unassigned = 0;
            Lit last = 0;
            bool sat = false;
            for (const Lit lit : clause) {
                const int v = values[static_cast<std::size_t>(lit > 0 ? lit : -lit)];
                if (v == 0) {
                    ++unassigned;
                    last = lit;
                } else if ((v > 0) == (lit > 0)) {
                    sat = true;
                    break;
                }
            }
            if (sat) continue;
            if (unassigned == 0) return false;
            if (unassigned == 1) {
                values[static_cast<std::size_t>(last > 0 ? last : -last)] = last > 0 ? 1 : -1;
                changed = true;
            }
        }
    }
    while (next < values.size() && values[next] != 0) ++next;
    if (next >= values.size()) return true;
    for (const int v : {1, -1}) {
        auto copy = values;
        copy[next] = v;
        if (satisfiable(clauses, copy, next + 1)) return true;
    }
    return false;
}

struct Collector : ClauseOutput {
    std::vector<std::vector<Lit>> clauses;
    void clause(std::span<const Lit> lits) override { clauses.emplace_back(lits.begin(), lits.end()); }
};

TEST(OpbReader, ReadsTheCompetitionDialect) {
    const std::string text =
        "* #variable= 4 #constraint= 3\n"
        "* a comment\n"
        "min: +2 x1 -3 ~x2 ;\n"
        "+1 x1 +1 x2 +1 x3 >= 1 ;\n"
        "+1 x1 +1 x2 +1 x3 +1 x4 <= 1;\n"
        "+3 x1 +2 x2\n +4 x4 = 5 ;\n";
    const Problem p = read_problem_text(text, "t.opb");
    EXPECT_EQ(p.num_vars, 4);
    EXPECT_EQ(p.counts.constraints, 3u);
    ASSERT_TRUE(p.objective.present);
    // 2 x1 - 3 ~x2 = 2 x1 - 3 + 3 x2
    EXPECT_EQ(p.objective.offset, -3);
    ASSERT_EQ(p.objective.terms.size(), 2u);
    EXPECT_EQ(p.objective.terms[1].lit, 2);
    EXPECT_EQ(p.objective.terms[1].weight, 3u);
    ASSERT_GE(p.rows.size(), 3u);
    EXPECT_EQ(p.rows[0].kind, Kind::clause);
    EXPECT_EQ(p.row_terms(p.rows[0]).size(), 3u);
    EXPECT_EQ(p.rows[0].line, 4u);
    EXPECT_EQ(p.rows[1].kind, Kind::amo);
    EXPECT_EQ(p.rows[1].bound, 1u);
    EXPECT_EQ(p.rows[2].kind, Kind::pb);
    EXPECT_EQ(p.rows[2].line, 6u);
}

TEST(OpbReader, NormalisationIsEquivalentToTheRawConstraints) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const int vars = 1 + static_cast<int>(rng() % 6);
        const std::string text = random_opb(rng, vars, 3, true);
        Recorder raw;
        read_opb_text(text, "r.opb", raw);
        const Problem p = read_problem_text(text, "r.opb");
        for (std::uint32_t a = 0; a < (1u << vars); ++a) {
            bool expected = true;
            for (const auto& c : raw.constraints) expected = expected && raw_holds(c, a);
            bool got = true;
            for (const Row& row : p.rows) got = got && row_holds(p, row, a);
            ASSERT_EQ(expected, got) << text << "assignment " << a;
            Int objective = 0;
            for (const auto& t : raw.objective_raw.terms)
                if (value(t.lit, a)) objective += t.coefficient;
            Int normalised = p.objective.offset;
            for (const auto& t : p.objective.terms)
                if (value(t.lit, a)) normalised += static_cast<Int>(t.weight);
            ASSERT_TRUE(objective == normalised) << text;
        }
        for (const Row& row : p.rows) {
            const auto terms = p.row_terms(row);
            for (const auto& t : terms) ASSERT_GT(t.weight, 0u);
            if (row.kind != Kind::clause) {
                Weight sum = 0;
                for (const auto& t : terms) {
                    ASSERT_LE(t.weight, row.bound);
                    sum += t.weight;
                }
                ASSERT_GT(sum, row.bound);  // trivially true rows are dropped
            }
        }
    }
}

TEST(OpbReader, ClassifiesAndSimplifies) {
    const Problem p = read_problem_text(
        "+1 x1 +1 x2 >= 0 ;\n"           // trivially true
        "+1 x1 +1 x2 >= 3 ;\n"           // trivially false
        "+5 x1 +1 x2 +1 x3 <= 2 ;\n"     // x1 false, then x2 + x3 <= 2 true
        "-1 x1 -1 x2 -1 x3 >= -1 ;\n"    // AMO
        "+2 x1 +2 x2 +2 x3 +2 x4 <= 5 ;\n"  // cardinality <= 2 after the gcd
        "+1 x1 +1 x1 +1 ~x1 >= 2 ;\n",   // x1 + 1 >= 2: unit x1
        "s.opb");
    EXPECT_EQ(p.counts.trivially_true, 1u);
    EXPECT_EQ(p.counts.trivially_false, 1u);
    ASSERT_EQ(p.rows.size(), 5u);
    EXPECT_EQ(p.rows[0].kind, Kind::clause);
    EXPECT_TRUE(p.row_terms(p.rows[0]).empty());
    EXPECT_EQ(p.rows[1].kind, Kind::clause);
    ASSERT_EQ(p.row_terms(p.rows[1]).size(), 1u);
    EXPECT_EQ(p.row_terms(p.rows[1])[0].lit, -1);
    EXPECT_EQ(p.rows[2].kind, Kind::amo);
    EXPECT_EQ(p.rows[3].kind, Kind::cardinality);
    EXPECT_EQ(p.rows[3].bound, 2u);
    EXPECT_EQ(p.rows[4].kind, Kind::clause);
    EXPECT_EQ(p.row_terms(p.rows[4])[0].lit, 1);
}

TEST(OpbReader, HugeCoefficientsAreExact) {
    // 2^80 x1 + 2^80 x2 >= 2^80 + 1: both true.
    const Problem p = read_problem_text(
        "+1208925819614629174706176 x1 +1208925819614629174706176 x2 >= 1208925819614629174706177 ;\n", "h.opb");
    // 2^80 ~x1 + 2^80 ~x2 <= 2^80 - 1: each negation alone passes the bound.
    ASSERT_EQ(p.rows.size(), 2u);
    EXPECT_EQ(p.counts.units, 2u);
    EXPECT_EQ(p.row_terms(p.rows[0])[0].lit, 1);
    EXPECT_EQ(p.row_terms(p.rows[1])[0].lit, 2);
}

TEST(OpbReader, SparseNumbersAreRenumberedAndHeadersAreHints) {
    // Dense: the file's numbers stay, a header count within reach is kept.
    Problem p = read_problem_text("* #variable= 9 #constraint= 1\n+1 x3 +2 x1 >= 1 ;\n", "d.opb");
    EXPECT_EQ(p.num_vars, 9);
    EXPECT_TRUE(p.file_numbers.empty());
    EXPECT_EQ(p.variables_used, (std::vector<std::int32_t>{1, 3}));
    // Sparse: variables 1, 2, .. in the order of the file's numbers; the
    // objective follows; a header count far past the variables is ignored.
    p = read_problem_text("* #variable= 2000000000 #constraint= 900000000\nmin: +1 x2147483647 ;\n"
                          "+1 x100000000 +1 ~x5 +1 x2147483647 >= 2 ;\n",
                          "s.opb");
    EXPECT_EQ(p.num_vars, 3);
    EXPECT_EQ(p.file_numbers, (std::vector<std::int32_t>{5, 100000000, 2147483647}));
    ASSERT_EQ(p.objective.terms.size(), 1u);
    EXPECT_EQ(p.objective.terms[0].lit, 3);
    for (const WeightedLiteral& t : p.terms) EXPECT_LE(t.lit < 0 ? -t.lit : t.lit, 3);
    EXPECT_EQ(p.file_number(2), 100000000);
    // max: is min: of the negation.
    p = read_problem_text("max: +2 x1 -3 x2 ;\n+1 x1 +1 x2 >= 1 ;\n", "m.opb");
    EXPECT_TRUE(p.objective.maximize);
    // -2 x1 + 3 x2 = -2 + 2 ~x1 + 3 x2
    EXPECT_EQ(p.objective.offset, -2);
    ASSERT_EQ(p.objective.terms.size(), 2u);
    EXPECT_EQ(p.objective.terms[0].lit, -1);
    EXPECT_EQ(p.objective.terms[1].lit, 2);
}

TEST(OpbReader, ErrorsNameFileLineAndColumn) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"+1 x1 +1 x2 >= 1\n+1 x3 >= 1 ;\n", "e.opb:2:1: expected ';' after the degree, found '+'"},
        {"+1 x1 x2 >= 1 ;\n", "e.opb:1:7: non-linear term (a product of literals) is not supported"},
        {"+1 y1 >= 1 ;\n", "e.opb:1:4: expected a literal x<number> or ~x<number>, found 'y'"},
        {"+1 ~y1 >= 1 ;\n", "e.opb:1:5: expected a variable x<number>, found 'y'"},
        {"+1.5 x1 >= 1 ;\n", "e.opb:1:3: malformed a coefficient: only integers are allowed"},
        {"+1 x1 >= 1", "e.opb:1:11: expected ';' after the degree, found end of file"},
        {"+1 x1 +1 x2", "e.opb:1:12: missing ';' at the end of the constraint"},
        {"+1 x1 > 1 ;", "e.opb:1:8: expected '>=' (strict relations are not part of OPB)"},
        {"+1 x0 >= 1 ;", "e.opb:1:5: variable numbers start at 1"},
        {"* c\n+1 x1 >= 1 ;\nmin: +1 x1 ;\n", "e.opb:3:1: the objective must come before the constraints"},
        {"maxi: +1 x1 ;\n", "e.opb:1:1: expected 'min:', 'max:' or a constraint, found 'maxi:'"},
        {"+1 x2147483648 >= 1 ;\n", "e.opb:1:5: variable number too large (at most 2147483647)"},
        {"+1 x1 >= +100000000000000000000000000000000 ;\n", "e.opb:1:10: the degree is too large: magnitudes up to 2^96 are supported"},
        {"x1 >= 1 ;\n", "e.opb:1:1: expected a coefficient before the literal"},
        {"+1 x1 >= ;\n", "e.opb:1:10: expected the degree (an integer), found ';'"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(message_of([&] { read_problem_text(text, "e.opb"); }), expected) << text;
}

TEST(OpbReader, MutatedInputEitherReadsOrGivesALocatedError) {
    std::mt19937 rng(3);
    const std::string alphabet = "+-~x0123456789 ;<>=*\nmin:y.";
    for (int round = 0; round < 3000; ++round) {
        std::string text = random_opb(rng, 4, 3, round % 2 == 0);
        for (int k = 0; k < 3; ++k) text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
        try {
            const Problem p = read_problem_text(text, "m.opb");
            for (const Row& row : p.rows) ASSERT_LE(row.end, p.terms.size());
        } catch (const ParseError& e) {
            ASSERT_EQ(std::string(e.what()).rfind("m.opb:" + std::to_string(e.line) + ":", 0), 0u) << e.what();
        }
    }
}

TEST(OpbReader, ReadsFromADescriptorAcrossBlocks) {
    std::string text = "* #variable= 3 #constraint= 100000\n";
    for (int i = 0; i < 100000; ++i) text += "+1 x1 +2 ~x2 +3 x3 >= 2 ;\n";
    text += "+1 x1 >= \n";  // an error at the very end reports the right line
    char path[] = "/tmp/corvane-opb-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::lseek(fd, 0, SEEK_SET);
    std::uint64_t last_progress = 0;
    ReadOptions options;
    options.progress = [&](std::uint64_t bytes) { last_progress = bytes; };
    EXPECT_EQ(message_of([&] { read_problem(fd, "big.opb", options); }),
              "big.opb:100003:1: expected the degree (an integer), found end of file");
    EXPECT_EQ(last_progress, text.size());
    ::close(fd);
    ::unlink(path);
}

TEST(AmoDetect, CoversLargestCliqueFirstAndExtends) {
    const Problem p = read_problem_text(
        "+1 x1 +1 x2 +1 x3 <= 1 ;\n"        // clique {1,2,3}
        "+1 ~x4 +1 ~x5 >= 1 ;\n"            // edges 4-5, 5-6, 4-6: a triangle
        "+1 ~x5 +1 ~x6 >= 1 ;\n"
        "+1 ~x4 +1 ~x6 >= 1 ;\n"
        "+1 x3 +1 x7 = 1 ;\n"               // 3-7 exclusive, and x3 or x7
        "+3 x1 +2 x2 +4 x3 +5 x4 +6 x5 +1 x6 +2 x7 +1 x8 <= 9 ;\n",
        "a.opb");
    const ConflictGraph graph(p);
    EXPECT_TRUE(graph.adjacent(1, 3));
    EXPECT_TRUE(graph.adjacent(4, 6));
    EXPECT_FALSE(graph.adjacent(1, 4));
    EXPECT_TRUE(graph.adjacent(3, 7));
    EXPECT_TRUE(graph.adjacent(-3, -7));  // from the clause x3 or x7
    EXPECT_FALSE(graph.adjacent(3, -7));
    const Row& pb = p.rows.back();
    ASSERT_EQ(pb.kind, Kind::pb);
    const auto groups = graph.cover(p.row_terms(pb));
    const std::vector<std::vector<Lit>> expected = {{1, 2, 3}, {4, 5, 6}, {7}, {8}};
    EXPECT_EQ(groups, expected);
    // The groups make a valid constraint for every encoder.
    GroupedLeqConstraint c;
    const auto terms = p.row_terms(pb);
    c.terms.assign(terms.begin(), terms.end());
    c.groups = groups;
    c.bound = pb.bound;
    EXPECT_NO_THROW(c.validate());
}

TEST(DimacsWriter, FormatsClausesSoftClausesAndTheHeader) {
    dimacs::Writer w(-1, 16);
    w.comment("two\nlines");
    w.header(2147483647, 4);
    const Lit a[] = {1, -2147483647, 10};
    w.clause(a);
    const Lit b[] = {-99};
    w.hard(b);
    w.soft(std::uint64_t{1} << 63, b);
    w.clause({});
    w.flush();
    std::string expected = "c two\nc lines\np cnf 2147483647 4\n";
    expected += "1 -2147483647 10 0\nh -99 0\n9223372036854775808 -99 0\n0\n";
    EXPECT_EQ(w.text(), expected);
    EXPECT_EQ(message_of([&] { w.soft((std::uint64_t{1} << 63) + 1, b); }),
              "quillet: a soft clause weight of 9223372036854775809 exceeds 2^63, the largest weight the WCNF "
              "output supports");
}

TEST(DimacsWriter, FormatsEveryMagnitude) {
    for (std::uint64_t v : {0ull, 9ull, 10ull, 99ull, 100ull, 12345ull, 18446744073709551615ull}) {
        char buffer[32];
        char* end = buffer + sizeof buffer;
        EXPECT_EQ(std::string(dimacs::format_uint(v, end), end), std::to_string(v));
    }
}

// For every assignment of the OPB variables: the CNF extends to a model
// exactly when the problem holds.
void expect_equivalent(const std::string& text, const std::vector<std::vector<Lit>>& clauses, std::int32_t top) {
    Recorder raw;
    read_opb_text(text, "p.opb", raw);
    const Problem p = read_problem_text(text, "p.opb");
    const int n = p.num_vars;
    for (std::uint32_t a = 0; a < (1u << n); ++a) {
        bool expected = true;
        for (const auto& c : raw.constraints) expected = expected && raw_holds(c, a);
        std::vector<int> values(static_cast<std::size_t>(top) + 1, 0);
        for (int v = 1; v <= n; ++v) values[static_cast<std::size_t>(v)] = value(v, a) ? 1 : -1;
        ASSERT_EQ(expected, satisfiable(clauses, values)) << text << "assignment " << a;
    }
}

std::string random_amo_opb(std::mt19937& rng) {
    // Two AMO groups and a PB constraint over them, plus a random extra.
    std::ostringstream out;
    out << "+1 x1 +1 x2 +1 x3 <= 1 ;\n+1 ~x4 +1 ~x5 >= 1 ;\n";
    for (int v = 1; v <= 7; ++v) out << "+" << 1 + rng() % 6 << " x" << v << " ";
    out << "<= " << 3 + rng() % 8 << " ;\n";
    for (int v = 1; v <= 7; v += 2) out << "+" << 1 + rng() % 3 << " x" << v << " ";
    out << ">= " << rng() % 4 << " ;\n";
    out << "+1 x6 +1 x7 +1 x2 +1 x5 >= 2 ;\n";
    return out.str();
}

// A small schedule in the order ("started by t") encoding: y[j][t] is "job j
// started by t" for t in [es_j, ls_j) (false before, true from ls_j on),
// chained y[j][t] -> y[j][t+1]; job j follows job j - 1 when `follows` says
// so (y[j][t] -> y[j-1][t - d_{j-1}], when `precedences`); one resource row per time t,
// sum u_j (y[j][t] - y[j][t - d_j]) <= cap, and now and then a row asking
// for some work at t (>= 1, when `demand`), whose literals ~y[j][t] and
// y[j][t - d_j] exclude each other through the chain. `pairs` counts, over the <= rows,
// the jobs whose two literals at t are both variables.
struct OrderSchedule {
    std::string text;
    int vars = 0;
    int pairs = 0;
};

OrderSchedule order_schedule(std::mt19937& rng, const int jobs, const int horizon, const int window,
                             const bool demand = true, const bool precedences = true) {
    OrderSchedule out;
    std::ostringstream text;
    std::vector<int> es(jobs), ls(jobs), d(jobs), u(jobs), first(jobs);
    std::vector<bool> follows(jobs, false);
    for (int j = 0; j < jobs; ++j) {
        d[j] = 1 + static_cast<int>(rng() % 3);
        u[j] = 1 + static_cast<int>(rng() % 3);
        es[j] = static_cast<int>(rng() % 2);
        ls[j] = es[j] + 1 + static_cast<int>(rng() % static_cast<unsigned>(window));
        first[j] = out.vars + 1 - es[j];
        out.vars += ls[j] - es[j];
        follows[j] = j > 0 && rng() % 2 == 0 && precedences;
    }
    // 0: false, -1: true, else the variable.
    auto started = [&](int j, int t) { return t < es[j] ? 0 : t >= ls[j] ? -1 : first[j] + t; };
    for (int j = 0; j < jobs; ++j) {
        for (int t = es[j]; t + 1 < ls[j]; ++t) text << "+1 ~x" << started(j, t) << " +1 x" << started(j, t + 1) << " >= 1 ;\n";
        if (!follows[j]) continue;
        for (int t = es[j]; t < ls[j]; ++t) {
            const int before = started(j - 1, t - d[j - 1]);
            if (before == 0) text << "+1 ~x" << started(j, t) << " >= 1 ;\n";
            if (before > 0) text << "+1 ~x" << started(j, t) << " +1 x" << before << " >= 1 ;\n";
        }
    }
    for (int t = 0; t < horizon; ++t) {
        std::ostringstream row;
        int constant = 0, terms = 0, pairs = 0, most = 0;
        for (int j = 0; j < jobs; ++j) {
            const int now = started(j, t), before = started(j, t - d[j]);
            if (now == -1) constant += u[j];
            if (now > 0) row << "+" << u[j] << " x" << now << " ", ++terms, most += u[j];
            if (before == -1) constant -= u[j];
            if (before > 0) row << "-" << u[j] << " x" << before << " ", ++terms;
            pairs += now > 0 && before > 0;
        }
        // At least the load of the jobs surely running at t, so that the row can hold.
        const int cap = std::max(constant, 0) + static_cast<int>(rng() % 4);
        if (terms < 3 || most <= cap - constant) continue;  // never violated
        text << row.str() << "<= " << cap - constant << " ;\n";
        out.pairs += pairs;
        if (demand && rng() % 3 == 0) text << row.str() << ">= " << 1 - constant << " ;\n";
    }
    out.text = text.str();
    return out;
}

TEST(Pipeline, EveryEncodingIsEquivalentToTheProblem) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        const std::string text = round < 12 ? random_amo_opb(rng) : order_schedule(rng, 3, 5, 3).text;
        const Problem p = read_problem_text(text, "p.opb");
        const ConflictGraph graph(p);
        std::vector<std::string> encodings = available_encoders();
        encodings.emplace_back("auto");
        for (const std::string& encoding : encodings) {
            for (const AmoMethod amo : {AmoMethod::pairwise, AmoMethod::sequential}) {
                PipelineOptions options;
                options.encoding = encoding;
                options.amo = amo;
                Collector sink;
                const Summary s = encode_problem(p, &graph, options, sink);
                EXPECT_EQ(s.hard_clauses, sink.clauses.size());
                expect_equivalent(text, sink.clauses, s.num_vars);
            }
        }
    }
}

// Every input the row builder offers (plain and complemented) is, with the
// rest of the problem, equivalent to the problem: not only the one the
// pipeline keeps. The at-least-one rows make complemented groups of unequal
// weights, whose complements stay in the group beside the fresh literal.
TEST(Detect, EveryRowInputIsEquivalentToItsRow) {
    std::mt19937 rng(23);
    std::size_t complemented = 0;
    for (int round = 0; round < 24; ++round) {
        std::string text = round % 2 ? order_schedule(rng, 3, 5, 3).text : random_amo_opb(rng);
        if (round % 2 == 0) text += "+1 x6 +1 x7 >= 1 ;\n+1 x1 +1 x6 >= 1 ;\n+1 x1 +1 ~x7 >= 1 ;\n";
        const Problem p = read_problem_text(text, "p.opb");
        const ConflictGraph graph(p);
        for (std::size_t r = 0; r < p.rows.size(); ++r) {
            const Row& row = p.rows[r];
            if (row.kind != Kind::cardinality && row.kind != Kind::pb) continue;
            const std::vector<RowInput> inputs = row_inputs(&graph, p.row_terms(row), row.bound, p.num_vars);
            complemented += inputs.size() - 1;
            for (const RowInput& input : inputs) {
                for (const std::string& encoding : available_encoders()) {
                    std::vector<std::vector<Lit>> clauses;
                    for (std::size_t other = 0; other < p.rows.size(); ++other) {
                        const Row& o = p.rows[other];
                        const auto terms = p.row_terms(o);
                        if (o.kind == Kind::clause) {
                            clauses.emplace_back();
                            for (const auto& t : terms) clauses.back().push_back(t.lit);
                        } else if (o.kind == Kind::amo || other != r) {
                            // Another row: held by brute force below, so only its AMO pairs matter here.
                            if (o.kind == Kind::amo)
                                for (std::size_t a = 0; a < terms.size(); ++a)
                                    for (std::size_t b = a + 1; b < terms.size(); ++b)
                                        clauses.push_back({-terms[a].lit, -terms[b].lit});
                        }
                    }
                    const EncodeResult e = encode_with(encoding, input.constraint, EncodeOptions{p.num_vars + input.fresh});
                    for (const auto clause : e.cnf.clauses) clauses.emplace_back(clause.begin(), clause.end());
                    for (const auto& clause : input.definitions) clauses.push_back(clause);
                    // The expected truth: the stated clauses and AMO rows and this row.
                    Recorder raw;
                    read_opb_text(text, "p.opb", raw);
                    for (std::uint32_t a = 0; a < (1u << p.num_vars); ++a) {
                        bool base = true;
                        for (const Row& o : p.rows)
                            if (o.kind == Kind::clause || o.kind == Kind::amo) base = base && row_holds(p, o, a);
                        const bool expected = base && row_holds(p, row, a);
                        std::vector<int> values(static_cast<std::size_t>(e.cnf.num_vars) + 1, 0);
                        for (int v = 1; v <= p.num_vars; ++v) values[static_cast<std::size_t>(v)] = value(v, a) ? 1 : -1;
                        ASSERT_EQ(expected, satisfiable(clauses, values))
                            << text << "row " << r << " input " << (&input - inputs.data()) << " " << encoding
                            << " assignment " << a;
                    }
                }
                // The encoders' contract: no two literals of a group are true
                // together under the problem's clauses and the definitions.
                std::vector<std::vector<Lit>> stated(input.definitions);
                for (const Row& o : p.rows) {
                    const auto terms = p.row_terms(o);
                    if (o.kind == Kind::clause) {
                        stated.emplace_back();
                        for (const auto& t : terms) stated.back().push_back(t.lit);
                    } else if (o.kind == Kind::amo) {
                        for (std::size_t x = 0; x < terms.size(); ++x)
                            for (std::size_t y = x + 1; y < terms.size(); ++y) stated.push_back({-terms[x].lit, -terms[y].lit});
                    }
                }
                for (const auto& group : input.constraint.groups)
                    for (std::size_t x = 0; x < group.size(); ++x)
                        for (std::size_t y = x + 1; y < group.size(); ++y) {
                            std::vector<std::vector<Lit>> both(stated);
                            both.push_back({group[x]});
                            both.push_back({group[y]});
                            ASSERT_FALSE(satisfiable(both, std::vector<int>(static_cast<std::size_t>(p.num_vars + input.fresh) + 1, 0)))
                                << text << "row " << r << ": " << group[x] << " and " << group[y];
                        }
            }
        }
    }
    EXPECT_GT(complemented, 20u);  // the complemented inputs were exercised
}

TEST(Detect, FindsTheRunningLiteralsOfAnOrderEncodedSchedule) {
    std::mt19937 rng(31);
    for (int round = 0; round < 10; ++round) {
        // Without precedences the chains are the only exclusions, so every
        // pair must be found; with them, other pairs compete.
        const bool precedences = round % 2 == 1;
        const OrderSchedule schedule = order_schedule(rng, 8, 16, 8, false, precedences);
        const Problem p = read_problem_text(schedule.text, "order.opb");
        const ConflictGraph graph(p);
        // Only chains and precedences: no AMO is stated in the problem.
        std::uint64_t found = 0, fewer = 0;
        for (const Row& row : p.rows) {
            if (row.kind != Kind::pb && row.kind != Kind::cardinality) continue;
            const std::vector<RowInput> inputs = row_inputs(&graph, p.row_terms(row), row.bound, p.num_vars);
            if (inputs.size() < 2) continue;
            found += inputs[1].found[static_cast<std::size_t>(Source::complemented)].groups;
            fewer += inputs[0].constraint.terms.size() - inputs[1].constraint.terms.size();
        }
        if (!precedences) {
            // One "running" literal per job in every row where both of its literals are variables.
            EXPECT_EQ(found, static_cast<std::uint64_t>(schedule.pairs)) << schedule.text;
            EXPECT_EQ(fewer, found) << "each pair collapses into one literal";
        }
        PipelineOptions options;
        Collector with, without;
        const Summary s = encode_problem(p, &graph, options, with);
        encode_problem(p, nullptr, options, without);
        EXPECT_GT(s.groups_by_source[static_cast<std::size_t>(Source::complemented)].groups, 0u);
        std::size_t literals = 0, plain_literals = 0;
        for (const auto& c : with.clauses) literals += c.size();
        for (const auto& c : without.clauses) plain_literals += c.size();
        EXPECT_LT(literals, plain_literals);
    }
}

// What a search reaches is what the clauses imply: through binary clauses
// and through an AMO row, entered by one member (the others false) and then
// by a second (the first false too).
TEST(Detect, SearchesFollowClausesAndAmoRows) {
    const Problem p = read_problem_text(
        "+1 x1 +1 x2 +1 x3 <= 1 ;\n"
        "+1 x3 +1 x4 >= 1 ;\n"    // ~x3 -> x4
        "+1 ~x4 +1 x5 >= 1 ;\n"   // x4 -> x5
        "+1 ~x6 +1 x1 >= 1 ;\n"   // x6 -> x1
        "+1 ~x6 +1 x2 >= 1 ;\n",  // x6 -> x2
        "s.opb");
    const ImplicationGraph graph(p);
    SearchScratch scratch;
    auto reached = [&](Lit from) {
        graph.reach(from, 1000, scratch);
        std::vector<Lit> lits(scratch.queue);
        std::sort(lits.begin(), lits.end());
        return lits;
    };
    EXPECT_EQ(reached(1), (std::vector<Lit>{-6, -3, -2, 4, 5}));
    EXPECT_EQ(reached(4), (std::vector<Lit>{5}));
    EXPECT_EQ(reached(-5), (std::vector<Lit>{-6, -4, -2, -1, 3}));
    // x6 makes x1 and x2 true: a failed literal, which reaches ~x1 and ~x2.
    EXPECT_EQ(reached(6), (std::vector<Lit>{-6, -3, -2, -1, 1, 2, 4, 5}));
}

// The searches stop at their budget: a row over a chain far longer than
// any budget costs what the budget allows, not what the chain holds.
TEST(Detect, WorkIsBoundedOnALongChain) {
    const int n = 400000;
    std::string text;
    text.reserve(static_cast<std::size_t>(n) * 24);
    for (int v = 1; v < n; ++v) text += "+1 ~x" + std::to_string(v) + " +1 x" + std::to_string(v + 1) + " >= 1 ;\n";
    std::string row;
    for (int v = 1; v <= n; v += 97) row += (v % 2 ? "+2 x" : "+3 ~x") + std::to_string(v) + " ";
    text += row + "<= 20 ;\n";
    const Problem p = read_problem_text(text, "chain.opb");
    const ConflictGraph graph(p);
    const auto start = std::chrono::steady_clock::now();
    SearchScratch scratch;
    EXPECT_EQ(graph.implications().reach(1, 5000, scratch), 5000u);
    EXPECT_EQ(scratch.queue.size(), 5000u);  // x2 .. x5001
    EXPECT_EQ(scratch.queue.back(), 5001);
    const Row& pb = p.rows.back();
    const std::vector<RowInput> inputs = row_inputs(&graph, p.row_terms(pb), pb.bound, p.num_vars);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Unbounded, each of the 8,000 searches would walk up to 400,000 arcs
    // (about 100 s); bounded, a fraction of a second (about 1 s under ASan).
    EXPECT_LT(seconds, 10.0);
    // x1 -> x98 (97 arcs) is found, so the row's x1 and ~x98 exclude each other.
    EXPECT_GT(inputs[0].found[static_cast<std::size_t>(Source::implied)].groups, 0u);
}

TEST(Pipeline, OutputDoesNotDependOnTheThreadCount) {
    std::mt19937 rng(5);
    std::string text;
    for (int i = 0; i < 5000; ++i) {
        text += "+1 x" + std::to_string(1 + rng() % 50) + " +1 x" + std::to_string(51 + rng() % 50) + " <= 1 ;\n";
        text += "+" + std::to_string(1 + rng() % 7) + " x" + std::to_string(1 + rng() % 50) + " +" +
                std::to_string(1 + rng() % 7) + " x" + std::to_string(51 + rng() % 50) + " +3 x" +
                std::to_string(101 + rng() % 9) + " <= 6 ;\n";
    }
    const Problem p = read_problem_text(text, "t.opb");
    const ConflictGraph graph(p);
    PipelineOptions options;
    Collector one, three;
    const Summary s1 = encode_problem(p, &graph, options, one);
    options.threads = 3;
    const Summary s3 = encode_problem(p, &graph, options, three);
    EXPECT_EQ(one.clauses, three.clauses);
    EXPECT_EQ(s1.num_vars, s3.num_vars);
}

TEST(Pipeline, ConvertWritesAtomicallyAndLeavesNothingOnError) {
    const auto dir = std::filesystem::temp_directory_path() / ("corvane-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto run = [&](const std::string& text, const std::string& out, Format format) {
        const auto in = dir / "in.opb";
        std::ofstream(in) << text;
        const int fd = ::open(in.c_str(), O_RDONLY);
        PipelineOptions options;
        options.format = format;
        const auto close_fd = [fd] { ::close(fd); };
        try {
            const Summary s = convert(fd, "in.opb", out, options);
            close_fd();
            return s;
        } catch (...) {
            close_fd();
            throw;
        }
    };
    const std::string out = (dir / "out.cnf").string();
    const Summary s = run("min: +2 x1 -1 x2 ;\n+1 x1 +1 x2 >= 1 ;\n+2 x1 +3 x2 +1 x3 <= 4 ;\n", out, Format::dimacs);
    std::ifstream in(out);
    std::stringstream body;
    body << in.rdbuf();
    EXPECT_NE(body.str().find("c var x3 3\n"), std::string::npos);
    EXPECT_NE(body.str().find("\np cnf " + std::to_string(s.num_vars) + " " + std::to_string(s.hard_clauses) + "\n"),
              std::string::npos);
    std::size_t lines = 0;
    for (const char ch : body.str().substr(body.str().find("p cnf"))) lines += ch == '\n';
    EXPECT_EQ(lines, s.hard_clauses + 1);
    const std::string wcnf = (dir / "out.wcnf").string();
    const Summary w = run("min: +2 x1 -1 x2 ;\n+1 x1 +1 x2 >= 1 ;\n", wcnf, Format::wcnf);
    EXPECT_EQ(w.soft_clauses, 2u);
    std::ifstream win(wcnf);
    std::stringstream wbody;
    wbody << win.rdbuf();
    EXPECT_NE(wbody.str().find("h 1 2 0\n2 -1 0\n1 2 0\n"), std::string::npos) << wbody.str();
    const std::string bad = (dir / "bad.cnf").string();
    EXPECT_EQ(message_of([&] { run("+1 x1 >= 1 ;\n+1 x2 x3 >= 1 ;\n", bad, Format::dimacs); }),
              "in.opb:2:7: non-linear term (a product of literals) is not supported");
    EXPECT_FALSE(std::filesystem::exists(bad));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 3u);  // in.opb, out.cnf, out.wcnf: no temporary left
    std::filesystem::remove_all(dir);
}

}  // namespace
