// Unsigned big integers for the batch gcds of the gmto radix choice:
// schoolbook products, column by column, and Knuth's long division
// (algorithm D).
//
// Both are quadratic, and that is enough for the one path that needs them
// (a radix choice among weights that share no small factor): on 10,000
// pairwise co-prime 62-bit weights (products of two 31-bit primes) the radix
// choice takes about 0.2 s of CPU and the whole gmto call about the same,
// against 0.08 s with Karatsuba and Toom-3 products and Barrett reductions
// by Newton reciprocals, which this file held before at three times its
// length; 20,000 such weights take about 0.7 s (was 0.23 s).
//
// Sizes: a product of n and m limbs costs n m limb products; dividing n
// limbs by m costs (n - m) m.

#include "encoders/gmto/bigint.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace quillet::bigint {

namespace {

using u128 = unsigned __int128;

void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

std::span<const Limb> trimmed(std::span<const Limb> a) {
    while (!a.empty() && a.back() == 0) a = a.first(a.size() - 1);
    return a;
}

bool less_than(std::span<const Limb> a, std::span<const Limb> b) {
    if (a.size() != b.size()) return a.size() < b.size();
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

// a << bits for bits < 64, with room for the bits shifted out.
Limbs shifted_left(std::span<const Limb> a, const int bits) {
    Limbs out(a.size() + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        out[i] |= a[i] << bits;
        if (bits != 0) out[i + 1] = a[i] >> (64 - bits);
    }
    return out;
}

Limbs shifted_right(std::span<const Limb> a, const int bits) {
    Limbs out(a.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        out[i] = a[i] >> bits;
        if (bits != 0 && i + 1 < a.size()) out[i] |= a[i + 1] << (64 - bits);
    }
    trim(out);
    return out;
}

}  // namespace

// Column by column into a three-limb accumulator (two limbs and a count of
// their overflows): the products of one column do not depend on each other.
Limbs multiply(std::span<const Limb> a, std::span<const Limb> b) {
    a = trimmed(a);
    b = trimmed(b);
    if (a.empty() || b.empty()) return {};
    const std::size_t na = a.size();
    const std::size_t nb = b.size();
    Limbs out(na + nb);
    u128 acc = 0;
    Limb top = 0;
    for (std::size_t k = 0; k + 1 < na + nb; ++k) {
        const std::size_t last = std::min(k, na - 1);
        for (std::size_t i = k + 1 > nb ? k + 1 - nb : 0; i <= last; ++i) {
            const u128 p = static_cast<u128>(a[i]) * b[k - i];
            acc += p;
            top += acc < p ? 1 : 0;
        }
        out[k] = static_cast<Limb>(acc);
        acc = (acc >> 64) | (static_cast<u128>(top) << 64);
        top = 0;
    }
    out[na + nb - 1] = static_cast<Limb>(acc);
    trim(out);
    return out;
}

Limbs divide(std::span<const Limb> a, std::span<const Limb> m, Limbs* quotient) {
    a = trimmed(a);
    m = trimmed(m);
    if (quotient != nullptr) quotient->clear();
    if (less_than(a, m)) return Limbs(a.begin(), a.end());
    const std::size_t n = m.size();
    if (n == 1) {
        if (quotient != nullptr) quotient->assign(a.size(), 0);
        u128 r = 0;
        for (std::size_t i = a.size(); i-- > 0;) {
            const u128 top = (r << 64) | a[i];
            if (quotient != nullptr) (*quotient)[i] = static_cast<Limb>(top / m[0]);
            r = top % m[0];
        }
        if (quotient != nullptr) trim(*quotient);
        Limbs out{static_cast<Limb>(r)};
        trim(out);
        return out;
    }
    // Normalised so that the divisor's top limb has its high bit set, each
    // quotient limb estimated from the top two limbs of the remainder is at
    // most two too large (Knuth's theorem B), and the test against the
    // divisor's second limb leaves at most one, undone by adding it back.
    const int shift = std::countl_zero(m.back());
    Limbs v = shifted_left(m, shift);
    v.resize(n);
    Limbs u = shifted_left(a, shift);
    if (quotient != nullptr) quotient->assign(u.size() - n, 0);
    constexpr u128 kBase = static_cast<u128>(1) << 64;
    for (std::size_t j = u.size() - n; j-- > 0;) {
        const u128 top = (static_cast<u128>(u[j + n]) << 64) | u[j + n - 1];
        u128 qhat = top / v[n - 1];
        u128 rhat = top % v[n - 1];
        while (qhat >= kBase || qhat * v[n - 2] > ((rhat << 64) | u[j + n - 2])) {
            --qhat;
            rhat += v[n - 1];
            if (rhat >= kBase) break;
        }
        // u[j .. j + n] -= qhat v
        Limb borrow = 0;
        Limb carry = 0;
        for (std::size_t i = 0; i <= n; ++i) {
            const u128 product = i < n ? qhat * v[i] + carry : carry;
            carry = static_cast<Limb>(product >> 64);
            const Limb low = static_cast<Limb>(product);
            const Limb before = u[i + j];
            const Limb step = before - low;
            u[i + j] = step - borrow;
            borrow = (before < low ? 1 : 0) + (step < borrow ? 1 : 0);
        }
        if (borrow != 0) {  // qhat was one too large: add v back
            --qhat;
            Limb add_carry = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const u128 sum = static_cast<u128>(u[i + j]) + v[i] + add_carry;
                u[i + j] = static_cast<Limb>(sum);
                add_carry = static_cast<Limb>(sum >> 64);
            }
            u[j + n] += add_carry;
        }
        if (quotient != nullptr) (*quotient)[j] = static_cast<Limb>(qhat);
    }
    if (quotient != nullptr) trim(*quotient);
    u.resize(n);
    return shifted_right(u, shift);
}

}  // namespace quillet::bigint
