// Test seam of the GMTO encoder: the radix choice and the digit split, which
// are otherwise private to gmto.cpp. Only the C++ tests include this header;
// it is not installed and not part of the library's interface.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet::gmto_internal {

// The radix list for these term weights and this bound, least significant
// first (empty when the bound is at most 1).
std::vector<std::uint64_t> select_radices(std::span<const Weight> weights, Weight bound);

// The n + 1 mixed-radix digits of w, least significant first; the last one
// is whatever is left above the radices.
std::vector<std::uint64_t> weight_digits(Weight w, std::span<const std::uint64_t> radices);

}  // namespace quillet::gmto_internal
