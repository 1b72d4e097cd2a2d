// Unsigned big integers for the batch gcds of the gmto radix choice.
//
// A number is a little-endian vector of 64-bit limbs without leading zero
// limbs (zero is the empty vector). Multiplication is schoolbook below a
// threshold, Karatsuba and Toom-3 above it; reduction modulo a large number
// uses a Barrett reciprocal computed by Newton's iteration, so that both
// stay sub-quadratic on the products of tens of thousands of 64-bit entries
// that the remainder tree handles. The schoolbook forms are exposed so that the
// tests can check the fast ones against them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quillet::bigint {

using Limb = std::uint64_t;
using Limbs = std::vector<Limb>;

Limbs multiply(std::span<const Limb> a, std::span<const Limb> b);
Limbs multiply_schoolbook(std::span<const Limb> a, std::span<const Limb> b);

// a mod m for m > 0 by long division (Knuth's algorithm D).
Limbs remainder_schoolbook(std::span<const Limb> a, std::span<const Limb> m);

// A fixed modulus m > 0 and what reducing by it takes: long division when
// m is small or the quotient short, else a Barrett reciprocal, computed on
// first use.
class Modulus {
public:
    explicit Modulus(std::span<const Limb> m);
    // a mod m, for any a.
    Limbs reduce(std::span<const Limb> a);

private:
    Limbs barrett(Limbs x) const;

    std::span<const Limb> m_;
    int shift_ = 0;     // m << shift_ has its top bit set
    Limbs normal_;      // m << shift_, empty until the reciprocal is needed
    Limbs reciprocal_;  // floor(2^(128 k) / normal_) or slightly less, k = limbs of m
};

}  // namespace quillet::bigint
