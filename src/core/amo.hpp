// At-most-one clauses of a group of literals: the one writer of them, used
// by the encoders' opening step (emit_amo), by the file pipeline for the
// at-most-one rows of a file, and by the package (corvane.amo_clauses).
//
// pairwise: [-a, -b] for every pair a < b; no fresh variable, n(n-1)/2 clauses.
// sequential (also called ladder): fresh s_1 .. s_{n-1}, where s_i means "one
// of the first i literals is true": [-x_1, s_1], then for 1 < i < n the
// clauses [-x_i, s_i], [-s_{i-1}, s_i], [-x_i, -s_{i-1}], and last
// [-x_n, -s_{n-1}]. A second true literal meets the prefix flag forced by
// the first, so it is exactly "at most one", in 3n - 4 clauses.
// automatic: pairwise up to amo_pairwise_limit literals (where it is no
// larger: 15 pairs against 14 ladder clauses at 6), sequential above.
// A group of two is always written pairwise: one clause, no variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "quillet/constraint.hpp"

namespace quillet {

enum class AmoMethod : std::uint8_t { automatic, pairwise, sequential };

inline constexpr std::size_t amo_pairwise_limit = 6;

// The accepted names: "auto", "pairwise", "sequential" and its alias "ladder".
inline constexpr std::string_view amo_method_names[] = {"auto", "pairwise", "sequential", "ladder"};
// False for any other name.
bool parse_amo_method(std::string_view name, AmoMethod& method);

// The exact size of the AMO clauses of these groups.
EncodingSize amo_size(const std::vector<std::vector<Lit>>& groups, AmoMethod method);

// Writes the AMO clauses of every group, group after group; the ladder's
// fresh variables come from `vars`. Checks the budget and the ids before
// writing anything.
void add_amo_clauses(const std::vector<std::vector<Lit>>& groups, AmoMethod method, VariableManager& vars,
                     ClauseSink& sink);

}  // namespace quillet
