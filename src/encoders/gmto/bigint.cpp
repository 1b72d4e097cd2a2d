// Unsigned big integers for the batch gcds of the gmto radix choice.
//
// Products are schoolbook below 32 limbs, Karatsuba above, Toom-3 from 150
// limbs when the operands are balanced; Karatsuba splits the longer operand
// at half its length, and an operand at most half as long as the other is
// multiplied in chunks instead, so every split stays balanced. The Barrett
// reciprocal floor(B^2k / m) (B = 2^64, m normalised to its top bit, k
// limbs) is built by one Newton step from the reciprocal of the top k/2 + 2
// limbs of m; that step never lands above the true reciprocal and lands at
// most 3 below it (see reciprocal()), so Barrett's quotient estimate never
// passes the true quotient and the remainder needs only a few
// subtractions. Should it need more, or overshoot, the reduction falls back
// to long division: a wrong estimate costs time, never correctness.
//
// Costs for numbers of n limbs: a product is about O(n^1.5), a reciprocal
// about one product, a reduction of 2n limbs two products.

#include "encoders/gmto/bigint.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <memory>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillet::bigint {

namespace {

using u128 = unsigned __int128;

// Below this many limbs in the shorter operand, schoolbook multiplication.
constexpr std::size_t kKaratsubaFrom = 32;
// From this many limbs in the shorter operand, Toom-3 when the operands
// are balanced enough for its three-way split.
constexpr std::size_t kToomFrom = 150;
// Moduli below this many limbs are reduced by long division.
constexpr std::size_t kBarrettFrom = 40;
// Long division also when the quotient has at most this many limbs: it then
// costs less than Barrett's two products.
constexpr std::size_t kShortQuotient = 8;

void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

std::span<const Limb> trimmed(std::span<const Limb> a) {
    while (!a.empty() && a.back() == 0) a = a.first(a.size() - 1);
    return a;
}

bool less_than(std::span<const Limb> a, std::span<const Limb> b) {
    a = trimmed(a);
    b = trimmed(b);
    if (a.size() != b.size()) return a.size() < b.size();
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

// One limb step of an addition or subtraction with carry (borrow) in and
// out. On x86-64 the intrinsics become one adc (sbb) each; the portable
// forms compile to several instructions and a flag round trip per limb,
// which made the additions of Karatsuba a sixth of a product.
inline Limb add_carry(const Limb a, const Limb b, unsigned char& carry) {
#if defined(__x86_64__)
    unsigned long long out;
    carry = _addcarry_u64(carry, a, b, &out);
    return out;
#else
    const Limb s = a + b;
    const Limb out = s + carry;
    carry = static_cast<unsigned char>((s < a) | (out < s));
    return out;
#endif
}

inline Limb sub_borrow(const Limb a, const Limb b, unsigned char& borrow) {
#if defined(__x86_64__)
    unsigned long long out;
    borrow = _subborrow_u64(borrow, a, b, &out);
    return out;
#else
    const Limb d = a - b;
    const Limb out = d - borrow;
    borrow = static_cast<unsigned char>((a < b) | (d < borrow));
    return out;
#endif
}

// r[0 .. rn) += a[0 .. an) for an <= rn; returns the carry out of r.
Limb add_into(Limb* r, const std::size_t rn, const Limb* a, const std::size_t an) {
    unsigned char carry = 0;
    std::size_t i = 0;
    for (; i < an; ++i) r[i] = add_carry(r[i], a[i], carry);
    for (; carry != 0 && i < rn; ++i) carry = ++r[i] == 0 ? 1 : 0;
    return carry;
}

// r[0 .. rn) -= a[0 .. an) for an <= rn; returns the borrow out of r.
Limb sub_into(Limb* r, const std::size_t rn, const Limb* a, const std::size_t an) {
    unsigned char borrow = 0;
    std::size_t i = 0;
    for (; i < an; ++i) r[i] = sub_borrow(r[i], a[i], borrow);
    for (; borrow != 0 && i < rn; ++i) borrow = r[i]-- == 0 ? 1 : 0;
    return borrow;
}

// out[0 .. na + nb) = a * b, na >= nb >= 1, column by column into a
// three-limb accumulator: the products of a column do not depend on each
// other, which makes this faster than adding row after row.
void mul_basecase(Limb* out, const Limb* a, const std::size_t na, const Limb* b, const std::size_t nb) {
    u128 acc = 0;
    Limb top = 0;
    const auto accumulate = [&](const Limb x, const Limb y) {
        const u128 p = static_cast<u128>(x) * y;
        acc += p;
        top += acc < p ? 1 : 0;
    };
    for (std::size_t k = 0; k + 1 < na + nb; ++k) {
        const std::size_t first = k + 1 > nb ? k + 1 - nb : 0;
        const std::size_t last = std::min(k, na - 1);
        std::size_t i = first;
        for (; i + 1 <= last; i += 2) {
            accumulate(a[i], b[k - i]);
            accumulate(a[i + 1], b[k - i - 1]);
        }
        if (i == last) accumulate(a[i], b[k - i]);
        out[k] = static_cast<Limb>(acc);
        acc = (acc >> 64) | (static_cast<u128>(top) << 64);
        top = 0;
    }
    out[na + nb - 1] = static_cast<Limb>(acc);
}

void mul(Limb* out, const Limb* a, std::size_t na, const Limb* b, std::size_t nb);

void karatsuba(Limb* out, const Limb* a, const std::size_t na, const Limb* b, const std::size_t nb) {
    const std::size_t h = (na + 1) / 2;
    if (nb <= h) {
        // b is short: a in chunks of b's length, each a balanced product.
        std::fill(out, out + na + nb, Limb{0});
        const auto chunk = std::make_unique_for_overwrite<Limb[]>(2 * nb);
        for (std::size_t at = 0; at < na; at += nb) {
            const std::size_t len = std::min(nb, na - at);
            mul(chunk.get(), a + at, len, b, nb);
            add_into(out + at, na + nb - at, chunk.get(), len + nb);
        }
        return;
    }
    const std::size_t na1 = na - h;
    const std::size_t nb1 = nb - h;
    mul(out, a, h, b, h);                         // a0 b0 in out[0 .. 2h)
    mul(out + 2 * h, a + h, na1, b + h, nb1);     // a1 b1 in out[2h .. na + nb)
    // One buffer for a0 + a1, b0 + b1 and their product.
    // Every limb is written before it is read, so none is cleared.
    const auto scratch = std::make_unique_for_overwrite<Limb[]>(4 * h + 4);
    Limb* const sa = scratch.get();
    Limb* const sb = sa + h + 1;
    Limb* const mid = sb + h + 1;
    std::copy(a, a + h, sa);
    sa[h] = add_into(sa, h, a + h, na1);
    std::copy(b, b + h, sb);
    sb[h] = add_into(sb, h, b + h, nb1);
    const std::size_t la = h + (sa[h] != 0 ? 1 : 0);
    const std::size_t lb = h + (sb[h] != 0 ? 1 : 0);
    const std::size_t mid_size = 2 * h + 2;
    mul(mid, sa, la, sb, lb);
    std::fill(mid + la + lb, mid + mid_size, Limb{0});
    sub_into(mid, mid_size, out, 2 * h);
    sub_into(mid, mid_size, out + 2 * h, na1 + nb1);
    // The middle term times B^h is below the product, so its limbs past
    // na + nb - h are zero.
    add_into(out + h, na + nb - h, mid, std::min(mid_size, na + nb - h));
}

// Toom-3 with the points 0, 1, -1, -2 and infinity and Bodrato's
// interpolation, for na >= nb > 2 ceil(na / 3). The interpolation runs in
// two's complement over 2h + 3 limbs, wide enough for every intermediate
// value in absolute terms; its exact divisions by 3 are 2-adic (they only
// need the result to be a multiple of 3 modulo that width) and those by 2
// are arithmetic shifts.
void toom3(Limb* out, const Limb* a, const std::size_t na, const Limb* b, const std::size_t nb) {
    const std::size_t h = (na + 2) / 3;
    const std::size_t width = 2 * h + 3;
    // x0 + x1 t + x2 t^2 at t = 1, -1, -2: magnitudes of h + 1 limbs, and
    // whether the value is negative.
    struct Point {
        Limbs magnitude;
        bool negative = false;
    };
    const auto difference = [h](Limbs plus, Limbs minus) {
        Point p;
        if (less_than(plus, minus)) {
            std::swap(plus, minus);
            p.negative = true;
        }
        sub_into(plus.data(), h + 1, minus.data(), h + 1);
        p.magnitude = std::move(plus);
        return p;
    };
    const auto evaluate = [&](const Limb* x, const std::size_t n) {
        const std::size_t n2 = n - 2 * h;
        Limbs x0(x, x + h);
        x0.push_back(0);
        Limbs x1(x + h, x + 2 * h);
        x1.push_back(0);
        Limbs even = x0;  // x0 + x2
        add_into(even.data(), h + 1, x + 2 * h, n2);
        Limbs sum = even;  // x0 + x1 + x2
        add_into(sum.data(), h + 1, x1.data(), h + 1);
        Limbs four_x2(h + 1, 0);  // x0 + 4 x2
        for (std::size_t i = 0; i < n2; ++i) {
            four_x2[i] |= x[2 * h + i] << 2;
            four_x2[i + 1] = x[2 * h + i] >> 62;
        }
        add_into(four_x2.data(), h + 1, x0.data(), h + 1);
        Limbs two_x1(h + 1, 0);
        for (std::size_t i = 0; i < h; ++i) {
            two_x1[i] |= x1[i] << 1;
            two_x1[i + 1] = x1[i] >> 63;
        }
        return std::array<Point, 3>{Point{std::move(sum), false}, difference(even, x1),
                                    difference(std::move(four_x2), std::move(two_x1))};
    };
    const std::array<Point, 3> pa = evaluate(a, na);
    const std::array<Point, 3> pb = evaluate(b, nb);

    // The products at 1, -1, -2 in two's complement over `width` limbs.
    const auto product = [&](const Point& x, const Point& y) {
        Limbs w(width, 0);
        mul(w.data(), x.magnitude.data(), h + 1, y.magnitude.data(), h + 1);
        if (x.negative != y.negative) {
            for (Limb& limb : w) limb = ~limb;
            const Limb one = 1;
            add_into(w.data(), width, &one, 1);
        }
        return w;
    };
    Limbs r1 = product(pa[0], pb[0]);        // W(1)
    const Limbs wm1 = product(pa[1], pb[1]);  // W(-1)
    Limbs r3 = product(pa[2], pb[2]);        // W(-2)
    mul(out, a, h, b, h);                    // W(0) in out[0 .. 2h)
    mul(out + 4 * h, a + 2 * h, na - 2 * h, b + 2 * h, nb - 2 * h);  // W(inf) in out[4h ..)
    Limbs w0(out, out + 2 * h);
    w0.resize(width, 0);
    Limbs winf(out + 4 * h, out + na + nb);
    winf.resize(width, 0);

    const auto sub = [width](Limbs& x, const Limbs& y) { sub_into(x.data(), width, y.data(), width); };
    const auto add = [width](Limbs& x, const Limbs& y) { add_into(x.data(), width, y.data(), width); };
    const auto halve = [](Limbs& x) {  // arithmetic shift by one bit
        for (std::size_t i = 0; i + 1 < x.size(); ++i) x[i] = (x[i] >> 1) | (x[i + 1] << 63);
        x.back() = static_cast<Limb>(static_cast<std::int64_t>(x.back()) >> 1);
    };
    const auto third = [](Limbs& x) {  // x / 3 modulo B^width
        constexpr Limb kInverse3 = 0xaaaaaaaaaaaaaaabULL;
        Limb borrow = 0;
        for (Limb& limb : x) {
            const Limb s = limb;
            const Limb t = s - borrow;
            const Limb q = t * kInverse3;
            limb = q;
            borrow = static_cast<Limb>((static_cast<u128>(q) * 3) >> 64) + (s < borrow ? 1 : 0);
        }
    };
    sub(r3, r1);  // (W(-2) - W(1)) / 3
    third(r3);
    sub(r1, wm1);  // (W(1) - W(-1)) / 2
    halve(r1);
    Limbs r2 = wm1;  // W(-1) - W(0)
    sub(r2, w0);
    Limbs t = r2;  // (r2 - r3) / 2 + 2 W(inf)
    sub(t, r3);
    halve(t);
    add(t, winf);
    add(t, winf);
    r3 = std::move(t);
    add(r2, r1);  // r2 + r1 - W(inf)
    sub(r2, winf);
    sub(r1, r3);  // r1 - r3

    // The coefficients are now c1, c2, c3 >= 0; the product fits in
    // na + nb limbs, so no addition carries out of it.
    const std::size_t total = na + nb;
    std::fill(out + 2 * h, out + 4 * h, Limb{0});
    for (const auto& [coefficient, at] : {std::pair{&r1, h}, std::pair{&r2, 2 * h}, std::pair{&r3, 3 * h}}) {
        const std::size_t len = std::min(trimmed(*coefficient).size(), total - at);
        add_into(out + at, total - at, coefficient->data(), len);
    }
}

// out[0 .. na + nb) = a * b; out overlaps neither operand.
void mul(Limb* out, const Limb* a, std::size_t na, const Limb* b, std::size_t nb) {
    if (na < nb) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if (nb == 0) {
        std::fill(out, out + na, Limb{0});
    } else if (nb < kKaratsubaFrom) {
        mul_basecase(out, a, na, b, nb);
    } else if (nb >= kToomFrom && nb > 2 * ((na + 2) / 3)) {
        toom3(out, a, na, b, nb);
    } else {
        karatsuba(out, a, na, b, nb);
    }
}

// (hi B + lo) / d and the remainder, for hi < d so that the quotient fits a
// limb. The compiler turns a 128-bit division into a library call that
// handles any quotient; x86-64's divq does this one in a single instruction.
inline Limb divide_two_by_one(const Limb hi, const Limb lo, const Limb d, Limb& remainder) {
#if defined(__x86_64__)
    Limb q;
    asm("divq %4" : "=a"(q), "=d"(remainder) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    return q;
#else
    const u128 n = (static_cast<u128>(hi) << 64) | lo;
    remainder = static_cast<Limb>(n % d);
    return static_cast<Limb>(n / d);
#endif
}

// a << (64 limbs + bits) for bits < 64, with room for the bits shifted out.
Limbs shifted_left(std::span<const Limb> a, const int bits, const std::size_t limbs = 0) {
    Limbs out(limbs + a.size() + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        out[limbs + i] |= a[i] << bits;
        if (bits != 0) out[limbs + i + 1] = a[i] >> (64 - bits);
    }
    trim(out);
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

// Quotient and remainder of a by m > 0 (Knuth's algorithm D); the quotient
// only when `quotient` is given.
Limbs long_division(std::span<const Limb> a, std::span<const Limb> m, Limbs* quotient) {
    a = trimmed(a);
    m = trimmed(m);
    if (quotient != nullptr) quotient->clear();
    if (less_than(a, m)) return Limbs(a.begin(), a.end());
    const std::size_t n = m.size();
    if (n == 1) {
        if (quotient != nullptr) quotient->assign(a.size(), 0);
        Limb r = 0;
        for (std::size_t i = a.size(); i-- > 0;) {
            const Limb q = divide_two_by_one(r, a[i], m[0], r);
            if (quotient != nullptr) (*quotient)[i] = q;
        }
        if (quotient != nullptr) trim(*quotient);
        Limbs out{static_cast<Limb>(r)};
        trim(out);
        return out;
    }
    // Normalise so that the divisor's top limb has its high bit set.
    const int shift = std::countl_zero(m.back());
    Limbs v = shifted_left(m, shift);
    v.resize(n);
    Limbs u = shifted_left(a, shift);
    u.resize(a.size() + 1, 0);
    if (quotient != nullptr) quotient->assign(u.size() - n, 0);
    constexpr u128 kBase = static_cast<u128>(1) << 64;
    for (std::size_t j = u.size() - n; j-- > 0;) {
        u128 qhat;
        u128 rhat;
        if (u[j + n] < v[n - 1]) {
            Limb r;
            qhat = divide_two_by_one(u[j + n], u[j + n - 1], v[n - 1], r);
            rhat = r;
        } else {
            const u128 top = (static_cast<u128>(u[j + n]) << 64) | u[j + n - 1];
            qhat = top / v[n - 1];
            rhat = top % v[n - 1];
        }
        while (qhat >= kBase || qhat * v[n - 2] > ((rhat << 64) | u[j + n - 2])) {
            --qhat;
            rhat += v[n - 1];
            if (rhat >= kBase) break;
        }
        // u[j .. j + n] -= qhat · v
        Limb borrow = 0;
        Limb carry = 0;
        for (std::size_t i = 0; i <= n; ++i) {
            const u128 product = i < n ? qhat * v[i] + carry : carry;
            carry = static_cast<Limb>(product >> 64);
            const Limb low = static_cast<Limb>(product);
            const Limb before = u[i + j];
            const Limb step = before - low;
            const Limb after = step - borrow;
            borrow = (before < low ? 1 : 0) + (step < borrow ? 1 : 0);
            u[i + j] = after;
        }
        if (borrow != 0) {  // qhat was one too large: add v back
            --qhat;
            u[j + n] += add_into(u.data() + j, n, v.data(), n);
        }
        if (quotient != nullptr) (*quotient)[j] = static_cast<Limb>(qhat);
    }
    if (quotient != nullptr) trim(*quotient);
    u.resize(n);
    return shifted_right(u, shift);
}

// A lower estimate, short by at most 3, of floor(B^2k / n) for n of k limbs
// with its top bit set. With X_h that estimate for the top h limbs of n and
// X0 = X_h B^(k-h), one Newton step X0 + X0 (B^2k - n X0) / B^2k equals
// Y (1 - d^2) for Y = B^2k / n and X0 = Y (1 - d): never above Y, and below
// it by Y d^2 with |d| <= 6 B^-h, which is below one for 2h >= k + 3.
// The correction X_h e / B^2h (e = B^(k+h) - n X_h, about k limbs) does not
// need the low h - 2 limbs of e: with X_h < 2 B^h they move it by less than
// 2 B^-2. They are dropped with the rounding that keeps the estimate low, so
// the step costs two products of k/2 limbs rather than three.
Limbs reciprocal(std::span<const Limb> n) {
    const std::size_t k = n.size();
    if (k < kBarrettFrom) {
        Limbs power(2 * k + 1, 0);
        power.back() = 1;
        Limbs q;
        long_division(power, n, &q);
        return q;
    }
    const std::size_t h = k / 2 + 2;
    const std::size_t dropped = h - 2;
    const Limbs xh = reciprocal(n.subspan(k - h));
    Limbs t = multiply(n, xh);  // about B^(k+h)
    Limbs x0(k - h, 0);
    x0.insert(x0.end(), xh.begin(), xh.end());
    const auto any_nonzero = [](std::span<const Limb> limbs) {
        return std::any_of(limbs.begin(), limbs.end(), [](const Limb l) { return l != 0; });
    };
    const auto high_part = [](std::span<const Limb> a, const std::size_t from) {
        return Limbs(a.begin() + static_cast<std::ptrdiff_t>(std::min(from, a.size())), a.end());
    };
    const Limb one = 1;
    if (t.size() <= k + h) {
        // e = B^(k+h) - t, as the two's complement of t over k + h limbs;
        // both roundings down keep the added correction low.
        t.resize(k + h, 0);
        for (Limb& limb : t) limb = ~limb;
        add_into(t.data(), t.size(), &one, 1);
        const Limbs d = multiply(xh, high_part(t, dropped));
        if (d.size() > 2 * h - dropped)
            add_into(x0.data(), x0.size(), d.data() + 2 * h - dropped, d.size() - (2 * h - dropped));
    } else {
        // e = t - B^(k+h) is subtracted: both roundings go up.
        --t[k + h];
        Limbs e = high_part(t, dropped);
        e.push_back(0);
        if (any_nonzero(std::span<const Limb>(t).first(std::min(dropped, t.size())))) add_into(e.data(), e.size(), &one, 1);
        const Limbs d = multiply(xh, e);
        Limbs correction = high_part(d, 2 * h - dropped);
        correction.push_back(0);
        if (any_nonzero(std::span<const Limb>(d).first(std::min(2 * h - dropped, d.size()))))
            add_into(correction.data(), correction.size(), &one, 1);
        sub_into(x0.data(), x0.size(), correction.data(), trimmed(correction).size());
    }
    trim(x0);
    return x0;
}

}  // namespace

Limbs multiply(std::span<const Limb> a, std::span<const Limb> b) {
    a = trimmed(a);
    b = trimmed(b);
    if (a.empty() || b.empty()) return {};
    Limbs out(a.size() + b.size());
    mul(out.data(), a.data(), a.size(), b.data(), b.size());
    trim(out);
    return out;
}

Limbs multiply_schoolbook(std::span<const Limb> a, std::span<const Limb> b) {
    a = trimmed(a);
    b = trimmed(b);
    if (a.empty() || b.empty()) return {};
    Limbs out(a.size() + b.size());
    if (a.size() >= b.size())
        mul_basecase(out.data(), a.data(), a.size(), b.data(), b.size());
    else
        mul_basecase(out.data(), b.data(), b.size(), a.data(), a.size());
    trim(out);
    return out;
}

Limbs remainder_schoolbook(std::span<const Limb> a, std::span<const Limb> m) { return long_division(a, m, nullptr); }

Modulus::Modulus(std::span<const Limb> m) : m_(trimmed(m)) {}

// x mod normal_ for x < B^2k (Barrett): the quotient estimate from the top
// limbs of x and the reciprocal is at most the true one, by a few units.
Limbs Modulus::barrett(Limbs x) const {
    const std::size_t k = normal_.size();
    if (less_than(x, normal_)) return x;
    const Limbs q2 = multiply(std::span<const Limb>(x).subspan(k - 1), reciprocal_);
    if (q2.size() > k + 1) {
        const Limbs product = multiply(std::span<const Limb>(q2).subspan(k + 1), normal_);
        if (less_than(x, product)) return remainder_schoolbook(x, normal_);  // cannot happen: the estimate is low
        sub_into(x.data(), x.size(), product.data(), product.size());
        trim(x);
    }
    for (int round = 0; !less_than(x, normal_); ++round) {
        if (round == 8) return remainder_schoolbook(x, normal_);
        sub_into(x.data(), x.size(), normal_.data(), normal_.size());
        trim(x);
    }
    return x;
}

Limbs Modulus::reduce(std::span<const Limb> a) {
    a = trimmed(a);
    if (less_than(a, m_)) return Limbs(a.begin(), a.end());
    const std::size_t k = m_.size();
    if (k < kBarrettFrom || a.size() <= k + kShortQuotient) return remainder_schoolbook(a, m_);
    if (normal_.empty()) {
        shift_ = std::countl_zero(m_.back());
        normal_ = shifted_left(m_, shift_);
        reciprocal_ = reciprocal(normal_);
    }
    const Limbs x = shifted_left(a, shift_);
    // The top 2k limbs, then k more at a time: the running remainder is
    // below B^k, so each step stays below B^2k.
    std::size_t at = x.size() > 2 * k ? x.size() - 2 * k : 0;
    Limbs r = barrett(Limbs(x.begin() + static_cast<std::ptrdiff_t>(at), x.end()));
    while (at > 0) {
        const std::size_t step = std::min(k, at);
        at -= step;
        Limbs next(x.begin() + static_cast<std::ptrdiff_t>(at), x.begin() + static_cast<std::ptrdiff_t>(at + step));
        next.insert(next.end(), r.begin(), r.end());
        r = barrett(std::move(next));
    }
    return shifted_right(r, shift_);
}

}  // namespace quillet::bigint
