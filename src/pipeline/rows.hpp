// The one builder of an encoder's input from a row of a problem (or from its
// objective): the row's weighted literals, the AMO groups that cover them
// (detected cliques, or one literal per group without detection) and the
// bound. The file conversion, the statistics and the solver's objective
// bounds all build their constraints here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/opb.hpp"
#include "pipeline/amo_detect.hpp"
#include "quillet/constraint.hpp"

namespace quillet::pipeline {

// The groups covering `terms`: cliques of the graph, or one literal each
// when graph is null.
std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, std::span<const WeightedLiteral> terms);

// "sum of terms <= bound" over the groups of row_groups.
GroupedLeqConstraint row_constraint(const ConflictGraph* graph, std::span<const WeightedLiteral> terms,
                                    Weight bound);

// Groups of two or more literals, and the literals in them.
struct GroupCount {
    std::uint64_t groups = 0;
    std::uint64_t literals = 0;
};
GroupCount count_groups(const std::vector<std::vector<Lit>>& groups);

}  // namespace quillet::pipeline
