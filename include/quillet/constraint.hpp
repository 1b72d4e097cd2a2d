// The input records of every encoder: one pseudo-Boolean "sum <= bound"
// constraint whose literals are partitioned into at-most-one groups, and the
// per-call options.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

using Lit = std::int32_t;       // DIMACS literal: variable id, negated when negative
using Weight = std::uint64_t;

struct WeightedLiteral {
    Lit lit = 0;
    Weight weight = 0;
};

struct GroupedLeqConstraint {
    std::vector<WeightedLiteral> terms;
    std::vector<std::vector<Lit>> groups;  // at most one literal of a group is true
    Weight bound = 0;
    bool emit_amo = false;  // also write the AMO relation of the groups as clauses

    // Returns normally when the terms are distinct non-zero literals with
    // positive weights and the groups partition them; otherwise throws
    // std::invalid_argument naming the first violation found.
    void validate() const;
};

// The weight of every group literal, group after group in the groups'
// order: what encoders that walk the groups read instead of probing a map
// once per literal. The constraint must be valid.
std::vector<Weight> weights_in_group_order(const GroupedLeqConstraint& constraint);

struct EncodeOptions {
    std::int32_t top_id = 0;  // highest variable id already used by the caller
};

}  // namespace quillet
