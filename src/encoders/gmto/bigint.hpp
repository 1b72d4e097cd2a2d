// Unsigned big integers for the batch gcds of the gmto radix choice.
//
// A number is a little-endian vector of 64-bit limbs without leading zero
// limbs (zero is the empty vector). Products are schoolbook and division is
// Knuth's long division: quadratic, and fast enough for the remainder tree
// of tens of thousands of 64-bit entries (see bigint.cpp for the numbers).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quillet::bigint {

using Limb = std::uint64_t;
using Limbs = std::vector<Limb>;

Limbs multiply(std::span<const Limb> a, std::span<const Limb> b);

// a mod m for m > 0, and the quotient into *quotient when it is given.
Limbs divide(std::span<const Limb> a, std::span<const Limb> m, Limbs* quotient = nullptr);

}  // namespace quillet::bigint
