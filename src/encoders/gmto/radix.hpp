// The radix choice of the GMTO encoder and the mixed-radix digit split.
//
// Internal to the library: gmto.cpp builds its tree over these digits and
// the C++ tests check the choice against an exhaustive search. The rule and
// why the search is exact are described in gmto_radix.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet {

class ClauseSink;

namespace gmto {

using Radices = std::vector<std::uint64_t>;

// The radix list for these term weights and this bound, least significant
// first (empty when the bound is at most 1). `sink`, when given, is polled
// for cancellation between the costly steps.
Radices select_radices(std::span<const Weight> weights, Weight bound, const ClauseSink* sink = nullptr);

// The n + 1 mixed-radix digits of w, least significant first, into `out`;
// the last one is whatever is left above the radices.
void weight_digits(Weight w, std::span<const std::uint64_t> radices, std::span<std::uint64_t> out);
std::vector<std::uint64_t> weight_digits(Weight w, std::span<const std::uint64_t> radices);

}  // namespace gmto
}  // namespace quillet
