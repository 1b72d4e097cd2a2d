// What mdd.cpp exposes beyond its encoder, for the tests: the lower bound
// that it computes before building a diagram.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillet/constraint.hpp"

namespace quillet {

// The literals of the diagram's nodes that bitset windows of `words` 64-bit
// words per level hold, with their exact clauses (see LevelCounter in
// mdd.cpp): a lower bound on the diagram's literals, exact when words * 64
// passes the bound. The count stops after the level at which it passes
// `room`. Validates like encode().
std::uint64_t mdd_window_literals(const GroupedLeqConstraint& constraint, std::size_t words, std::uint64_t room);

}  // namespace quillet
