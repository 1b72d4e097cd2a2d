// The radix choice of the GMTO encoder: 64-bit number theory (binary gcd,
// division-free divisibility tests, Miller-Rabin, Pollard's rho) and the
// search for the number that divides the most weights.
//
// The choice must be exactly the one the rule defines, because it fixes the
// encoding clause for clause; the notes above select_radices explain why
// the search below finds it without trying every candidate. Its cost is
// dominated by factoring, which is kept to the weights that share a factor
// with another weight: batch gcds over big integers (bigint.hpp) find those
// when few small primes are shared. Many small weights skip all of this:
// there every candidate is counted directly.

#include "encoders/gmto/radix.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoders/gmto/bigint.hpp"
#include "core/encoding.hpp"

namespace quillet::gmto {

namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// ---------------------------------------------------------------------------
// 64-bit number theory for the radix choice.

// Binary gcd; the shift count of the next round is taken from the
// difference, which shortens the dependency chain of each round.
u64 gcd(u64 a, u64 b) {
    if (a == 0) return b;
    if (b == 0) return a;
    const int shift = std::countr_zero(a | b);
    a >>= std::countr_zero(a);
    int b_zeros = std::countr_zero(b);
    while (true) {
        b >>= b_zeros;
        const u64 diff = b - a;
        if (diff == 0) break;
        b_zeros = std::countr_zero(diff);  // also that of a - b
        const u64 low = std::min(a, b);
        b = b > a ? diff : a - b;
        a = low;
    }
    return a << shift;
}

constexpr u64 inverse_mod_2_64(const u64 odd) {
    u64 inverse = odd;  // right in the low 3 bits; each Newton step doubles that
    for (int i = 0; i < 5; ++i) inverse *= 2 - odd * inverse;
    return inverse;
}

// Divisibility by an odd constant without a division: x is a multiple of d
// exactly when x * d^-1 (mod 2^64) lands in [0, floor((2^64 - 1) / d)].
struct OddDivisor {
    u64 inverse = 1;
    u64 limit = 0;
    constexpr OddDivisor() = default;
    constexpr explicit OddDivisor(const u64 d) : inverse(inverse_mod_2_64(d)), limit(~u64{0} / d) {}
    constexpr bool divides(const u64 x) const { return x * inverse <= limit; }
};

constexpr std::array<u64, 53> kOddTrialPrimes = {
    3,   5,   7,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,  53,  59,  61,  67,
    71,  73,  79,  83,  89,  97,  101, 103, 107, 109, 113, 127, 131, 137, 139, 149, 151, 157,
    163, 167, 173, 179, 181, 191, 193, 197, 199, 211, 223, 227, 229, 233, 239, 241, 251};
// Every prime at or above this one is "large": trial division never finds it.
constexpr u64 kFirstLargePrime = 257;

constexpr std::array<OddDivisor, kOddTrialPrimes.size()> make_trial_divisors() {
    std::array<OddDivisor, kOddTrialPrimes.size()> out{};
    for (std::size_t i = 0; i < kOddTrialPrimes.size(); ++i) out[i] = OddDivisor(kOddTrialPrimes[i]);
    return out;
}
constexpr auto kTrialDivisors = make_trial_divisors();

// Arithmetic modulo an odd n in Montgomery form (R = 2^64).
struct Montgomery {
    u64 n;
    u64 n_inverse;
    u64 r_squared;

    explicit Montgomery(const u64 modulus) : n(modulus), n_inverse(inverse_mod_2_64(modulus)) {
        const u64 r = (0 - n) % n;
        r_squared = static_cast<u64>(static_cast<u128>(r) * r % n);
    }
    // t * R^-1 mod n for t < n * 2^64: m * n matches t in the low word, so
    // the high words alone give the exact quotient.
    u64 reduce(const u128 t) const {
        const u64 m = static_cast<u64>(t) * n_inverse;
        const u64 high_t = static_cast<u64>(t >> 64);
        const u64 high_mn = static_cast<u64>((static_cast<u128>(m) * n) >> 64);
        return high_t >= high_mn ? high_t - high_mn : high_t - high_mn + n;
    }
    u64 mul(const u64 a, const u64 b) const { return reduce(static_cast<u128>(a) * b); }
    u64 add(const u64 a, const u64 b) const {
        const u64 s = a + b;
        return (s < a || s >= n) ? s - n : s;
    }
    u64 to(const u64 a) const { return mul(a % n, r_squared); }
    u64 pow(u64 base, u64 exponent) const {
        u64 result = to(1);
        while (exponent != 0) {
            if (exponent & 1) result = mul(result, base);
            base = mul(base, base);
            exponent >>= 1;
        }
        return result;
    }
};

// Deterministic Miller-Rabin for n odd and above the trial primes; these
// seven bases decide every 64-bit number.
bool is_prime_odd(const u64 n) {
    const Montgomery m(n);
    const u64 one = m.to(1);
    const u64 minus_one = m.to(n - 1);
    const int s = std::countr_zero(n - 1);
    const u64 d = (n - 1) >> s;
    for (const u64 base : {2ULL, 325ULL, 9375ULL, 28178ULL, 450775ULL, 9780504ULL, 1795265022ULL}) {
        const u64 a = base % n;
        if (a == 0) continue;
        u64 x = m.pow(m.to(a), d);
        if (x == one || x == minus_one) continue;
        bool composite = true;
        for (int i = 1; i < s && composite; ++i) {
            x = m.mul(x, x);
            composite = x != minus_one;
        }
        if (composite) return false;
    }
    return true;
}

// A proper factor of an odd composite n (Pollard's rho, Brent's variant
// with batched gcds).
u64 find_factor(const u64 n) {
    const Montgomery m(n);
    constexpr u64 kBatch = 128;
    for (u64 c = 1;; ++c) {
        const u64 increment = m.to(c);
        const auto step = [&](const u64 x) { return m.add(m.mul(x, x), increment); };
        u64 y = m.to(2);
        u64 x = y;
        u64 saved = y;
        u64 product = m.to(1);
        u64 g = 1;
        for (u64 r = 1; g == 1; r <<= 1) {
            x = y;
            for (u64 i = 0; i < r; ++i) y = step(y);
            for (u64 k = 0; k < r && g == 1; k += kBatch) {
                saved = y;
                const u64 steps = std::min(kBatch, r - k);
                for (u64 i = 0; i < steps; ++i) {
                    y = step(y);
                    product = m.mul(product, x > y ? x - y : y - x);
                }
                g = gcd(product, n);
            }
        }
        if (g == n) {  // the batch overshot: redo it one step at a time
            do {
                saved = step(saved);
                g = gcd(x > saved ? x - saved : saved - x, n);
            } while (g == 1);
        }
        if (g != n) return g;
    }
}

// Appends the prime factors of n, which has no prime factor below
// kFirstLargePrime, with repetition and in no particular order.
void append_large_prime_factors(u64 n, std::vector<u64>& out) {
    while (n > 1) {
        if (n < kFirstLargePrime * kFirstLargePrime || is_prime_odd(n)) {
            out.push_back(n);
            return;
        }
        const u64 factor = find_factor(n);
        append_large_prime_factors(factor, out);
        n /= factor;
    }
}

// n with every prime factor below kFirstLargePrime divided out.
u64 strip_trial_primes(u64 n) {
    n >>= std::countr_zero(n);
    for (const OddDivisor& d : kTrialDivisors)
        while (d.divides(n)) n *= d.inverse;  // exact division by d
    return n;
}

// The distinct prime factors of n >= 2, in no particular order.
void distinct_prime_factors(u64 n, std::vector<u64>& out) {
    out.clear();
    if ((n & 1) == 0) {
        out.push_back(2);
        n >>= std::countr_zero(n);
    }
    for (std::size_t i = 0; i < kOddTrialPrimes.size() && n > 1; ++i) {
        const OddDivisor& d = kTrialDivisors[i];
        if (!d.divides(n)) continue;
        out.push_back(kOddTrialPrimes[i]);
        do n *= d.inverse;
        while (d.divides(n));
    }
    const std::size_t first_large = out.size();
    append_large_prime_factors(n, out);
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first_large), out.end());
    out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(first_large), out.end()), out.end());
}

// ---------------------------------------------------------------------------
// Batch gcds: for every entry x_i of a list, gcd(x_i, product of the others),
// through a product tree and a remainder tree (Bernstein). Going down, each
// node v keeps (P / prod_v) mod prod_v, the product of everything outside v
// reduced by v's product; a child c with sibling s gets
// ((rem_v mod prod_c) (prod_s mod prod_c)) mod prod_c, since outside c lies
// outside v and s. At a leaf that is (P / x_i) mod x_i, which shares with
// x_i exactly the primes that x_i shares with another entry. With
// schoolbook products and long division (bigint.hpp) the cost grows about
// as n^2: 10,000 co-prime entries of 62 bits take about 0.2 s, 20,000
// about 0.7 s (one core of the development machine).

// The product tree, split at the middle so that siblings have about the
// same size: a node's reduction by its sibling then has a quotient of a few
// limbs.
struct ProductTree {
    struct Node {
        bigint::Limbs product;
        std::size_t left = 0;   // children, or 0 at a leaf (the root is node 0)
        std::size_t right = 0;
        std::size_t entry = 0;  // the leaf's entry
    };
    std::vector<Node> nodes;
};

std::size_t build_products(ProductTree& tree, std::span<const u64> xs, const std::size_t first,
                           const ClauseSink* sink) {
    const std::size_t at = tree.nodes.size();
    tree.nodes.emplace_back();
    if (xs.size() == 1) {
        tree.nodes[at].product = bigint::Limbs{xs[0]};
        tree.nodes[at].entry = first;
        return at;
    }
    const std::size_t half = xs.size() / 2;
    const std::size_t left = build_products(tree, xs.first(half), first, sink);
    const std::size_t right = build_products(tree, xs.subspan(half), first + half, sink);
    if (sink != nullptr && (xs.size() >= 512 || first % 512 == 0)) sink->poll();
    ProductTree::Node& node = tree.nodes[at];
    node.left = left;
    node.right = right;
    node.product = bigint::multiply(tree.nodes[left].product, tree.nodes[right].product);
    return at;
}

// `outside` is the product of the entries outside `node`, reduced by the
// node's product.
void descend(const ProductTree& tree, const std::size_t node, const bigint::Limbs& outside,
             std::span<const u64> xs, std::span<u64> out, const ClauseSink* sink) {
    const ProductTree::Node& v = tree.nodes[node];
    if (v.left == 0) {
        out[v.entry] = gcd(xs[v.entry], outside.empty() ? 0 : outside[0]);
        return;
    }
    if (sink != nullptr && v.product.size() >= 64) sink->poll();
    for (const auto& [child, sibling] : {std::pair{v.left, v.right}, std::pair{v.right, v.left}}) {
        const bigint::Limbs& modulus = tree.nodes[child].product;
        bigint::Limbs rem = bigint::divide(tree.nodes[sibling].product, modulus);
        if (outside != bigint::Limbs{1})
            rem = bigint::divide(bigint::multiply(bigint::divide(outside, modulus), rem), modulus);
        descend(tree, child, rem, xs, out, sink);
    }
}

// gcd(xs[i], product of the other entries) for every i; the entries are at
// least 2.
std::vector<u64> shared_parts(std::span<const u64> xs, const ClauseSink* sink) {
    std::vector<u64> out(xs.size(), 1);
    if (xs.size() < 2) return out;
    ProductTree tree;
    tree.nodes.reserve(2 * xs.size());
    build_products(tree, xs, 0, sink);
    descend(tree, 0, bigint::Limbs{1}, xs, out, sink);
    return out;
}

// ---------------------------------------------------------------------------
// Radix selection.
//
// Among the candidates 2 .. M (M the largest working weight) the radix is the
// one dividing the most working weights, the largest on a tie; a zero weight
// counts for every candidate and a weight 1 for none, so only the weights of
// at least 2 (the "entries" below) decide. A number divides no more entries
// than any of its prime factors does, so the largest count k is reached by a
// prime. A number with count k has only prime factors p of
// count k, and then divides exactly the entries that p divides, hence also
// their gcd G(p), which itself has count k: the radix is the largest G(p)
// over the primes p of count k, and M when k is 1.
//
// Primes below 257 are counted directly. A larger prime q matters only if it
// divides at least as many entries as the best count T found so far; cut the
// entries into blocks of s consecutive ones with ceil(N / s) < T, and two
// multiples of such a q fall into one block, so q divides the gcd of a pair
// inside a block. Factoring those gcds (Pollard's rho) finds every such q.
// When T is too small for that to be cheap, every entry is factored.

struct PrimeTally {
    u64 prime;
    u64 count;   // entries that the prime divides
    u64 common;  // their gcd, 0 while not computed
};

bool divides(const u64 p, const OddDivisor& odd, const u64 x) { return p == 2 ? (x & 1) == 0 : odd.divides(x); }

// The number of entries that p divides, or nothing once it is certain to end
// below `at_least`.
std::optional<u64> count_multiples(std::span<const u64> entries, const u64 p, const u64 at_least = 0) {
    const OddDivisor odd(p | 1);
    constexpr std::size_t kChunk = 512;
    u64 count = 0;
    for (std::size_t begin = 0; begin < entries.size(); begin += kChunk) {
        const std::size_t remaining = entries.size() - begin;
        if (count + remaining < at_least) return std::nullopt;
        const std::size_t end = begin + std::min(kChunk, remaining);
        if (p == 2) {
            for (std::size_t i = begin; i < end; ++i) count += (entries[i] & 1) == 0;
        } else {
            for (std::size_t i = begin; i < end; ++i) count += odd.divides(entries[i]);
        }
    }
    return count;
}

u64 gcd_of_multiples(std::span<const u64> entries, const u64 p) {
    const OddDivisor odd(p | 1);
    u64 g = 0;
    for (const u64 x : entries) {
        if (!divides(p, odd, x)) continue;
        g = gcd(g, x);
        if (g == p) break;
    }
    return g;
}

// Large primes collected while searching, with the division test of each.
class LargePrimes {
public:
    std::span<const u64> primes() const { return primes_; }
    std::size_t size() const { return primes_.size(); }
    // Divides the known primes out of n.
    u64 strip_known(u64 n) const {
        for (std::size_t i = 0; i < divisors_.size() && n >= kFirstLargePrime; ++i)
            while (divisors_[i].divides(n)) n *= divisors_[i].inverse;
        return n;
    }
    // Adds the prime factors of n, which has none below kFirstLargePrime and
    // none of the known ones.
    void add_factors_of(const u64 n) {
        const std::size_t first = scratch_.size();
        append_large_prime_factors(n, scratch_);
        for (std::size_t i = first; i < scratch_.size(); ++i) {
            const u64 q = scratch_[i];
            if (std::find(primes_.begin() + static_cast<std::ptrdiff_t>(known_before_), primes_.end(), q) !=
                primes_.end())
                continue;  // a repeated factor of n
            primes_.push_back(q);
            divisors_.emplace_back(q);
        }
        scratch_.resize(first);
        known_before_ = primes_.size();
    }

private:
    std::vector<u64> primes_;
    std::vector<OddDivisor> divisors_;
    std::vector<u64> scratch_;
    std::size_t known_before_ = 0;
};

constexpr u64 kMaxBlockSize = 128;        // up to 64 gcds per entry
constexpr std::size_t kMaxCandidates = 4096;
constexpr std::size_t kSeedEntries = 8;

// Block size for the search of large primes dividing at least `threshold`
// entries, or nothing when the search would cost too much.
std::optional<u64> block_size(const u64 entries, const u64 threshold) {
    if (threshold < 2) return std::nullopt;
    const u64 block = (entries + threshold - 2) / (threshold - 1);  // ceil(entries / (threshold - 1))
    if (block > kMaxBlockSize) return std::nullopt;
    return block;
}

// Adds to `found` every large prime that divides two entries of one block
// (and so every one dividing at least the threshold the block size was
// chosen for); false when that makes too many candidates.
bool find_shared_large_primes(std::span<const u64> entries, const u64 block, LargePrimes& found,
                              const ClauseSink* sink) {
    for (std::size_t begin = 0; begin < entries.size(); begin += block) {
        if (sink != nullptr && begin % (64 * block) == 0) sink->poll();
        const std::size_t end = std::min<std::size_t>(entries.size(), begin + block);
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t j = i + 1; j < end; ++j) {
                u64 g = gcd(entries[i], entries[j]);
                if (g < kFirstLargePrime) continue;
                g = found.strip_known(strip_trial_primes(g));
                if (g == 1) continue;
                found.add_factors_of(g);
                if (found.size() > kMaxCandidates) return false;
            }
        }
    }
    return true;
}

u64 best_of(std::span<const PrimeTally> tallies, std::span<const u64> entries) {
    u64 top = 0;
    for (const PrimeTally& t : tallies) top = std::max(top, t.count);
    if (top == 1) return *std::max_element(entries.begin(), entries.end());
    u64 radix = 0;
    for (const PrimeTally& t : tallies)
        if (t.count == top) radix = std::max(radix, t.common != 0 ? t.common : gcd_of_multiples(entries, t.prime));
    return radix;
}

// Below this many distinct entries, factoring them all is cheaper than the
// batch gcds.
constexpr std::size_t kBatchFrom = 64;

// The always applicable way: the primes of every distinct entry. A prime
// that divides one distinct entry only counts that entry's copies and has
// it as G(p); any prime it shares with another entry counts more, so only
// the shared primes of an entry (those of its batch gcd) can win, and an
// entry that shares none stands for its primes as a whole, unfactored.
u64 radix_by_factoring_all(std::span<const u64> entries, const ClauseSink* sink) {
    std::vector<u64> sorted(entries.begin(), entries.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<u64> distinct;
    std::vector<u64> copies;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        distinct.push_back(sorted[i]);
        copies.push_back(j - i);
        i = j;
    }
    const std::vector<u64> shared = distinct.size() >= kBatchFrom ? shared_parts(distinct, sink) : distinct;
    std::vector<PrimeTally> tallies;
    std::unordered_map<u64, std::size_t> index_of;  // prime -> its tally; lookups only
    std::vector<u64> primes;
    std::size_t factored = 0;
    for (std::size_t k = 0; k < distinct.size(); ++k) {
        const u64 x = distinct[k];
        if (shared[k] == 1) {
            // Its primes all count copies[k] and have G(p) = x; the prime
            // field is unused once `common` is set.
            tallies.push_back(PrimeTally{x, copies[k], x});
            continue;
        }
        // Factoring a 62-bit number can take a fraction of a millisecond.
        if (sink != nullptr && ++factored % 64 == 0) sink->poll();
        distinct_prime_factors(shared[k], primes);
        for (const u64 p : primes) {
            const auto [it, inserted] = index_of.try_emplace(p, tallies.size());
            if (inserted) tallies.push_back(PrimeTally{p, 0, 0});
            PrimeTally& t = tallies[it->second];
            t.count += copies[k];
            t.common = gcd(t.common, x);
        }
    }
    return best_of(tallies, entries);
}

// Up to these bounds on the largest entry (the second per entry) the
// radix is found by counting every candidate directly; the first keeps the
// histogram small.
constexpr u64 kCountEveryCandidateUpTo = u64{1} << 16;
constexpr u64 kCandidatesPerEntry = 4;

// The next radix for the working weights that are at least 2.
u64 choose_radix(std::span<const u64> entries, const ClauseSink* sink) {
    if (entries.empty()) return 2;
    // A factor shared by every entry reaches the largest possible count, and
    // the numbers of that count are the divisors of the common gcd.
    u64 common = 0;
    for (const u64 x : entries) {
        common = gcd(common, x);
        if (common == 1) break;
    }
    if (common > 1) return common;

    std::vector<PrimeTally> tallies;
    u64 best = 0;
    const auto tally = [&](const u64 p) {
        // A prime certain to stay below the best count so far cannot win.
        if (const std::optional<u64> c = count_multiples(entries, p, best); c && *c > 0) {
            tallies.push_back(PrimeTally{p, *c, 0});
            best = std::max(best, *c);
        }
    };
    // A prime above every entry divides none of them.
    const u64 largest = *std::max_element(entries.begin(), entries.end());
    if (largest <= kCountEveryCandidateUpTo && largest <= kCandidatesPerEntry * entries.size() &&
        entries.size() <= std::numeric_limits<std::uint32_t>::max()) {
        // Small entries, many of them: the rule itself, every candidate 2 ..
        // largest counted as the sum of a histogram of the entries over its
        // multiples, the larger candidate winning a tie. That is about
        // largest * ln(largest) additions, fewer than the division tests and
        // pair gcds below.
        std::vector<std::uint32_t> histogram(largest + 1, 0);
        for (const u64 x : entries) ++histogram[x];
        u64 best_count = 0;
        u64 radix = 2;
        for (u64 d = 2; d <= largest; ++d) {
            u64 c = 0;
            for (u64 m = d; m <= largest; m += d) c += histogram[m];
            if (c >= best_count) {
                best_count = c;
                radix = d;
            }
        }
        return radix;
    }
    tally(2);
    for (const u64 p : kOddTrialPrimes) {
        if (p > largest) break;
        tally(p);
    }

    LargePrimes large;
    if (!block_size(entries.size(), best)) {
        // Too few entries share a small prime for the block search. The
        // large primes of a few entries, counted exactly, may raise the
        // threshold enough to make it affordable.
        std::size_t seeded = 0;
        for (std::size_t i = 0; i < entries.size() && seeded < kSeedEntries; ++i) {
            const u64 rest = large.strip_known(strip_trial_primes(entries[i]));
            if (rest == 1) continue;
            large.add_factors_of(rest);
            ++seeded;
        }
        for (const u64 q : large.primes()) tally(q);
    }
    const std::size_t counted = large.size();
    if (const std::optional<u64> block = block_size(entries.size(), best);
        block && find_shared_large_primes(entries, *block, large, sink)) {
        for (const u64 q : large.primes().subspan(counted)) tally(q);
        return best_of(tallies, entries);
    }
    return radix_by_factoring_all(entries, sink);
}

}  // namespace

Radices select_radices(std::span<const Weight> weights, const Weight bound, const ClauseSink* sink) {
    Radices radices;
    if (bound <= 1) return radices;
    std::vector<u64> entries;
    entries.reserve(weights.size());
    for (const Weight w : weights)
        if (w >= 2) entries.push_back(w);
    u64 product = 1;
    while (true) {
        if (sink != nullptr) sink->poll();
        const u64 radix = choose_radix(entries, sink);
        radices.push_back(radix);
        if (product > ~u64{0} / radix) break;  // the product passes 2^64 - 1, and so the bound
        product *= radix;
        // Entries that drop below 2 no longer take part.
        std::size_t kept = 0;
        if (std::has_single_bit(radix)) {
            const int shift = std::countr_zero(radix);
            for (const u64 x : entries)
                if (const u64 q = x >> shift; q >= 2) entries[kept++] = q;
        } else {
            for (const u64 x : entries)
                if (const u64 q = x / radix; q >= 2) entries[kept++] = q;
        }
        entries.resize(kept);
        if (product > bound) break;
    }
    return radices;
}

// The n + 1 digits of w, least significant first, into `out`.
void weight_digits(Weight w, std::span<const u64> radices, std::span<u64> out) {
    for (std::size_t k = 0; k < radices.size(); ++k) {
        const u64 r = radices[k];
        // A power of two is common, and a shift is much cheaper than a
        // division (tested by hand: std::has_single_bit is a library call
        // without the popcnt instruction).
        if ((r & (r - 1)) == 0) {
            out[k] = w & (r - 1);
            w >>= std::countr_zero(r);
        } else {
            out[k] = w % r;
            w /= r;
        }
    }
    out[radices.size()] = w;
}

std::vector<u64> weight_digits(const Weight w, std::span<const u64> radices) {
    std::vector<u64> digits(radices.size() + 1);
    weight_digits(w, radices, digits);
    return digits;
}
}  // namespace quillet::gmto
