// The one builder of an encoder's input from a row of a problem (or from its
// objective): the row's weighted literals, the AMO groups that cover them and
// the bound. The file conversion, the statistics and the solver's objective
// bounds all build their constraints here.
//
// Groups come from three sources. Stated: cliques of the conflict graph (AMO
// rows and binary clauses). Implied: literals found pairwise exclusive through
// chains of the binary implication graph. Complemented: literals of the row
// of which at most one is false (their complements pairwise exclusive); such a
// set G contributes W_G - w_l for its one false literal l, or W_G when none
// is, so the row keeps W_G - M_G (M_G its largest weight) in its bound's place
// and the group becomes an AMO group over the complements, weighted M_G - w_l,
// beside a fresh literal s of weight M_G for "none false", defined by
//     l_1 & .. & l_k -> s        (~l_1 v .. v ~l_k v s)
//     s -> l_j                   (~s v l_j, for every ~l_j kept in the group)
// The first clause makes s count whenever the whole group is true, so the
// encoder never sees less than the row's real sum; the others keep the new
// group at most one. A complement of weight 0 (w_l = M_G) leaves the group.
// In the order encoding of a schedule, u·x[t] + u·~x[t-d] becomes u·s with
// s the "running at t" literal.
//
// Whether the complemented input is used is decided per row by measurement:
// both are encoded and the one with fewer literals (definitions included)
// is kept, the plain one on a tie, so complemented groups never make a row
// larger than the plain groups would.
//
// Work: the stated cover is bounded in amo_detect.cpp; the searches of the
// implication graph scan at most search_budget arcs each and row_budget(n)
// in all for a row of n literals, so detection costs at most a constant
// times the input (128 arcs per literal of the cardinality and PB rows and
// the objective, plus 1024 per row: on the order-encoded schedules of
// bench/detect_bench.py twice that finds the same groups).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "io/opb.hpp"
#include "pipeline/amo_detect.hpp"
#include "quillet/cnf.hpp"
#include "quillet/constraint.hpp"

namespace quillet::pipeline {

inline constexpr std::uint64_t search_budget = 1024;
inline constexpr std::uint64_t row_budget(std::size_t literals) { return 128 * std::uint64_t{literals} + 1024; }

enum class Source : std::uint8_t { stated, implied, complemented };
inline constexpr std::size_t num_sources = 3;

// Groups of two or more literals, and the literals in them.
struct GroupCount {
    std::uint64_t groups = 0;
    std::uint64_t literals = 0;
};
using SourceCounts = std::array<GroupCount, num_sources>;
GroupCount count_groups(const std::vector<std::vector<Lit>>& groups);

// One way to hand a row to an encoder.
struct RowInput {
    GroupedLeqConstraint constraint;              // over the row's literals and the fresh ones
    std::vector<std::vector<Lit>> definitions;    // clauses defining the fresh literals
    std::int32_t fresh = 0;                       // fresh variables, numbered top + 1 ..
    SourceCounts found{};                         // the groups of the constraint by source
};

// The groups covering `terms` (distinct variables) without fresh literals:
// stated, then implied; one literal each when graph is null.
std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, std::span<const WeightedLiteral> terms);

// "sum of terms <= bound" over the groups of row_groups.
GroupedLeqConstraint row_constraint(const ConflictGraph* graph, std::span<const WeightedLiteral> terms,
                                    Weight bound);

// The plain input, and a second with complemented groups when the row has
// any (fresh literals numbered above `top`).
std::vector<RowInput> row_inputs(const ConflictGraph* graph, std::span<const WeightedLiteral> terms, Weight bound,
                                 std::int32_t top);

// Encodes every input with `encoding` (options.top_id is the row's top,
// below the fresh literals) and keeps the one with the fewest literals,
// definitions included; the earlier on a tie. The result's clauses are the
// encoding's followed by the definitions.
struct EncodedRow {
    RowInput input;
    EncodeResult result;
};
EncodedRow encode_smaller(std::vector<RowInput> inputs, std::string_view encoding, const EncodeOptions& options);

}  // namespace quillet::pipeline
