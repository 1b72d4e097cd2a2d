// The input records of every encoder: one pseudo-Boolean "sum <= bound"
// constraint whose literals are partitioned into at-most-one groups, and the
// per-call options.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quillet {

using Lit = std::int32_t;       // DIMACS literal: variable id, negated when negative
using Weight = std::uint64_t;

inline constexpr std::int32_t max_variable_id = 2147483647;
// The default size budget of one encoding, in literals (4 GiB of them before
// the clause index): far more than a solver process or a Python caller can
// take in, so an encoding that needs more is refused instead of exhausting
// the machine's memory.
inline constexpr std::uint64_t default_max_literals = std::uint64_t{1} << 30;

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

struct EncodeOptions {
    EncodeOptions() = default;
    EncodeOptions(const std::int32_t top) : top_id(top) {}  // NOLINT: EncodeOptions{top_id} reads well

    std::int32_t top_id = 0;  // highest variable id already used by the caller
    // Size budget: an encoding of more literals throws std::length_error
    // ("quillet: encoding too large: ...") before allocating far beyond it.
    std::uint64_t max_literals = default_max_literals;
    // Optional cancellation hook, polled at a coarse grain (every few
    // thousand clauses, diagram nodes or tree merges, never per clause).
    // When it returns true the encode stops by throwing quillet::Cancelled.
    // It runs on the encoding thread.
    std::function<bool()> stop;
    // Drop repeated literals inside a clause and clauses that hold a literal
    // and its negation. Off by default: the raw output is what each
    // construction defines.
    bool clean = false;
};

// The exact size of an encoding: the fresh variables it numbers, its clauses
// and their literals.
struct EncodingSize {
    std::int64_t variables = 0;
    std::uint64_t clauses = 0;
    std::uint64_t literals = 0;
};

}  // namespace quillet
