// GMTO encoder: the generalised modulo totalizer.
//
// Every weight is written as a mixed-radix number over a radix list chosen
// from the weights (each radix is the number that divides the most working
// weights, so that as many digits as possible are 0). A balanced binary tree
// over the AMO groups then counts the sum digit by digit: a leaf reads a
// group's digits off its literals (at most one of them is true, so the
// group's digit k is the digit k of the true literal's weight), and a parent
// adds its children's digits position by position modulo the radix, passing
// the overflow of position k to position k + 1 through a carry variable; the
// top position adds without reduction. Each position keeps one indicator per
// reachable digit value, forced true when the position reaches at least that
// value (value 0 is the constant true variable). Only upward implications
// are written, so any model of the clauses has the root's indicators at or
// above the true digits of the sum, and a comparison from the most
// significant position down forbids the root from reaching bound + 1.
//
// Size: a parent costs, per position, the product of its children's value
// counts in clauses and at most radix - 1 (or the top sum) variables; the
// tree has one leaf per group that keeps a literal, and its height is the
// ceiling of log2 of their number.
//
// Radices are held in 64 bits: a radix above 2^31 (weights sharing a large
// factor) only ever shows small digits in the tree, and a digit or an id
// count that cannot fit the 32-bit range is reported before it is allocated.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gmto_internal.hpp"
#include "encoders.hpp"
#include "encoding.hpp"

namespace quillet {

namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;
using Radices = std::vector<u64>;
using WeightMap = std::unordered_map<Lit, Weight>;
using Digit = std::int32_t;

constexpr u64 kLargestDigit = static_cast<u64>(std::numeric_limits<Digit>::max());

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
bool find_shared_large_primes(std::span<const u64> entries, const u64 block, LargePrimes& found) {
    for (std::size_t begin = 0; begin < entries.size(); begin += block) {
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

// The always applicable way: factor every distinct entry.
u64 radix_by_factoring_all(std::span<const u64> entries) {
    std::vector<u64> sorted(entries.begin(), entries.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<PrimeTally> tallies;
    std::unordered_map<u64, std::size_t> index_of;  // prime -> its tally; lookups only
    std::vector<u64> primes;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        const u64 x = sorted[i];
        distinct_prime_factors(x, primes);
        for (const u64 p : primes) {
            const auto [it, inserted] = index_of.try_emplace(p, tallies.size());
            if (inserted) tallies.push_back(PrimeTally{p, 0, 0});
            PrimeTally& t = tallies[it->second];
            t.count += j - i;
            t.common = gcd(t.common, x);
        }
        i = j;
    }
    return best_of(tallies, entries);
}

// The next radix for the working weights that are at least 2.
u64 choose_radix(std::span<const u64> entries) {
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
    tally(2);
    for (const u64 p : kOddTrialPrimes) tally(p);

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
        block && find_shared_large_primes(entries, *block, large)) {
        for (const u64 q : large.primes().subspan(counted)) tally(q);
        return best_of(tallies, entries);
    }
    return radix_by_factoring_all(entries);
}

Radices select_radices(std::span<const Weight> weights, const Weight bound) {
    Radices radices;
    if (bound <= 1) return radices;
    std::vector<u64> entries;
    entries.reserve(weights.size());
    for (const Weight w : weights)
        if (w >= 2) entries.push_back(w);
    u64 product = 1;
    while (true) {
        const u64 radix = choose_radix(entries);
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
        out[k] = w % radices[k];
        w /= radices[k];
    }
    out[radices.size()] = w;
}

std::vector<u64> weight_digits(const Weight w, std::span<const u64> radices) {
    std::vector<u64> digits(radices.size() + 1);
    weight_digits(w, radices, digits);
    return digits;
}

// ---------------------------------------------------------------------------
// The totalizer tree.

// The values of one digit position that have an indicator, with the
// indicators. The leaf construction fills one per position; a finished node
// keeps only the indicators (see Node), its values being 0 .. m.
struct DigitList {
    std::vector<Digit> values;  // always holds 0; ascending and distinct once complete
    std::vector<Lit> var_of;    // var_of[v]: the literal for "at least v", 0 when v has none
};

// Appends v and maps it to `lit` unless v already has an indicator.
void map_value(DigitList& list, const Digit v, const Lit lit) {
    list.values.push_back(v);
    const auto index = static_cast<std::size_t>(v);
    if (list.var_of.size() <= index) list.var_of.resize(index + 1, 0);
    if (list.var_of[index] == 0) list.var_of[index] = lit;
}

void ensure_sorted_unique(DigitList& list) {
    if (!std::is_sorted(list.values.begin(), list.values.end())) std::sort(list.values.begin(), list.values.end());
    list.values.erase(std::unique(list.values.begin(), list.values.end()), list.values.end());
}

// Every radix is at least 2 and the list ends once their product passes
// 2^64 - 1, so there are at most 64 of them.
constexpr std::size_t kMaxPositions = 65;

// A tree node. Position k holds the values 0 .. m_k, each with an indicator
// literal that stands for "position k is at least v"; value 0 is the true
// variable. The indicators of all positions are stored one after another.
struct Node {
    bool is_leaf = false;
    const Node* left = nullptr;
    const Node* right = nullptr;
    std::vector<Lit> indicators;
    std::vector<std::size_t> position_end;  // n + 1 entries: where each position's indicators end
    std::vector<Lit> carry_vars;            // parents only: carry out of position k, or 0 when it never overflows

    // position(k)[v] is the indicator of value v at position k.
    std::span<const Lit> position(const std::size_t k) const {
        const std::size_t begin = k == 0 ? 0 : position_end[k - 1];
        return {indicators.data() + begin, position_end[k] - begin};
    }
    u64 largest(const std::size_t k) const { return position(k).size() - 1; }
};

// The indicator of value v in a position, 0 when the position lacks v.
Lit indicator(std::span<const Lit> position, const u64 v) { return v < position.size() ? position[v] : 0; }

using Pool = std::vector<std::unique_ptr<Node>>;

// Per-call buffers of the leaf construction, reused from leaf to leaf.
struct LeafScratch {
    std::vector<u64> digits;            // digit vectors of the group's literals, one after another
    std::vector<std::size_t> reaching;  // literals whose digit reaches the current value
    DigitList list;
};

// The leaf of one kept group: the indicator of value v at position k is the
// one literal whose digit k reaches v, or a fresh variable implied by each
// of the literals that reach it.
const Node& build_leaf(Pool& pool, std::span<const Lit> group, const WeightMap& weight_of,
                       std::span<const u64> radices, const Lit true_var, VariableManager& vars, ClauseSink& cnf,
                       LeafScratch& scratch) {
    const std::size_t positions = radices.size() + 1;
    scratch.digits.resize(group.size() * positions);
    for (std::size_t j = 0; j < group.size(); ++j) {
        const auto found = weight_of.find(group[j]);
        if (found == weight_of.end()) throw std::invalid_argument("quillet: literal missing weight in gmto");
        weight_digits(found->second, radices, std::span<u64>(scratch.digits).subspan(j * positions, positions));
    }
    auto leaf = std::make_unique<Node>();
    leaf->is_leaf = true;
    leaf->position_end.reserve(positions);
    DigitList& list = scratch.list;
    for (std::size_t k = 0; k < positions; ++k) {
        const auto digit = [&](const std::size_t j) { return scratch.digits[j * positions + k]; };
        u64 largest = 0;
        for (std::size_t j = 0; j < group.size(); ++j) largest = std::max(largest, digit(j));
        if (largest > kLargestDigit)
            throw std::overflow_error("quillet: gmto digit value does not fit in a signed 32-bit integer");
        // Every parent above this leaf needs a variable for each of these values.
        vars.require_available(largest);
        list.values.assign(1, 0);
        list.var_of.assign(1, true_var);
        list.values.reserve(largest + 1);
        list.var_of.reserve(largest + 1);
        scratch.reaching.clear();
        for (std::size_t j = 0; j < group.size(); ++j)
            if (digit(j) > 0) scratch.reaching.push_back(j);
        for (u64 v = 1; v <= largest; ++v) {
            std::erase_if(scratch.reaching, [&](const std::size_t j) { return digit(j) < v; });
            Lit lit;
            if (scratch.reaching.size() == 1) {
                lit = group[scratch.reaching.front()];
            } else {
                lit = vars.fresh();
                for (const std::size_t j : scratch.reaching) cnf.add_clause({-group[j], lit});
            }
            map_value(list, static_cast<Digit>(v), lit);
        }
        ensure_sorted_unique(list);
        if (static_cast<u64>(list.values.back()) + 1 != list.values.size())
            throw std::logic_error("quillet: gmto leaf values are not contiguous");
        for (const Digit v : list.values) leaf->indicators.push_back(list.var_of[static_cast<std::size_t>(v)]);
        leaf->position_end.push_back(leaf->indicators.size());
    }
    pool.push_back(std::move(leaf));
    return *pool.back();
}

// Clause buffer: the longest tree clause has five literals.
class ClauseBuffer {
public:
    ClauseBuffer& operator<<(const Lit lit) {
        lits_[size_++] = lit;
        return *this;
    }
    void emit(ClauseSink& cnf) {
        cnf.add_clause(std::span<const Lit>(lits_.data(), size_));
        size_ = 0;
    }

private:
    std::array<Lit, 5> lits_{};
    std::size_t size_ = 0;
};

// Clauses of one position below the top: digit sums modulo r, with the carry
// out c (0 for none) and the carry in ci (0 for none).
void add_position_clauses(std::span<const Lit> a_pos, std::span<const Lit> b_pos, std::span<const Lit> p_pos,
                          const u64 r, const Lit c, const Lit ci, ClauseSink& cnf) {
    ClauseBuffer clause;
    // s is the digit sum, `prefix` the literals before the result.
    const auto sum_clauses = [&](std::span<const Lit> prefix, const u64 s) {
        if (s < r) {
            const Lit result = indicator(p_pos, s);
            if (result == 0) return;
            for (const Lit lit : prefix) clause << lit;
            clause << result;
            if (c != 0) clause << c;
            clause.emit(cnf);
            return;
        }
        for (const Lit lit : prefix) clause << lit;
        clause << c;
        clause.emit(cnf);
        if (s > r) {
            const Lit result = indicator(p_pos, s - r);
            if (result == 0) return;
            for (const Lit lit : prefix) clause << lit;
            clause << result;
            clause.emit(cnf);
        }
    };
    for (u64 a = 0; a < a_pos.size(); ++a) {
        for (u64 b = 0; b < b_pos.size(); ++b) {
            const std::array<Lit, 3> carried{-ci, -a_pos[a], -b_pos[b]};
            sum_clauses(std::span<const Lit>(carried).subspan(1), a + b);
            if (ci != 0) sum_clauses(carried, a + b + 1);
        }
    }
}

// Clauses of the top position: sums without reduction.
void add_top_clauses(std::span<const Lit> a_pos, std::span<const Lit> b_pos, std::span<const Lit> p_pos,
                     const Lit ci, ClauseSink& cnf) {
    for (u64 a = 0; a < a_pos.size(); ++a) {
        for (u64 b = 0; b < b_pos.size(); ++b) {
            cnf.add_clause({-a_pos[a], -b_pos[b], p_pos[a + b]});
            if (ci != 0) cnf.add_clause({-ci, -a_pos[a], -b_pos[b], p_pos[a + b + 1]});
        }
    }
}

const Node& make_parent(Pool& pool, const Node& left, const Node& right, std::span<const u64> radices,
                        ClauseSink& cnf, VariableManager& vars, const Lit true_var) {
    const std::size_t n = radices.size();
    if (n + 1 > kMaxPositions) throw std::logic_error("quillet: gmto radix list too long");
    // Both children hold 0 .. their largest value at every position, so the
    // parent's values and carries follow from the two largest values alone.
    std::array<u64, kMaxPositions> largest{};
    std::array<bool, kMaxPositions> overflows{};
    u64 needed = 0;
    bool carry_in = false;
    for (std::size_t k = 0; k <= n; ++k) {
        const u64 sum = left.largest(k) + right.largest(k) + (carry_in ? 1 : 0);
        if (k == n) {
            largest[k] = sum;
        } else {
            overflows[k] = sum >= radices[k];
            largest[k] = std::min(radices[k] - 1, sum);
            carry_in = overflows[k];
            needed += overflows[k] ? 1 : 0;
        }
        needed += largest[k];
    }
    // Checked before anything is allocated; it also keeps every value below 2^31.
    vars.require_available(needed);

    auto parent = std::make_unique<Node>();
    parent->left = &left;
    parent->right = &right;
    parent->carry_vars.assign(n, 0);
    parent->indicators.reserve(needed + n + 1);
    parent->position_end.reserve(n + 1);
    for (std::size_t k = 0; k <= n; ++k) {
        if (k < n && overflows[k]) parent->carry_vars[k] = vars.fresh();
        parent->indicators.push_back(true_var);
        for (u64 v = 1; v <= largest[k]; ++v) parent->indicators.push_back(vars.fresh());
        parent->position_end.push_back(parent->indicators.size());
    }

    for (std::size_t k = 0; k < n; ++k) {
        const Lit ci = k >= 1 ? parent->carry_vars[k - 1] : 0;
        add_position_clauses(left.position(k), right.position(k), parent->position(k), radices[k],
                             parent->carry_vars[k], ci, cnf);
    }
    add_top_clauses(left.position(n), right.position(n), parent->position(n), n >= 1 ? parent->carry_vars[n - 1] : 0,
                    cnf);
    pool.push_back(std::move(parent));
    return *pool.back();
}

// ---------------------------------------------------------------------------
// Size of the tree before it is built.

// Pairs (a, b) with a < size_a, b < size_b and a + b < t.
u128 pairs_below(const u64 size_a, const u64 size_b, const u128 t) {
    // Row a contributes min(size_b, t - a) while a < t: size_b for the rows
    // up to t - size_b, then a falling run t - a.
    const u128 rows = std::min<u128>(size_a, t);
    const u128 full = t > size_b ? std::min<u128>(rows, t - size_b) : 0;
    const u128 run = rows - full;  // rows full .. rows - 1
    return full * size_b + run * t - (full + rows - 1) * run / 2;
}

// Literals written for the pairs of one position below the top when each
// clause starts with `prefix` literals and the sums are a + b + shift: a
// result clause (with the carry out, if any) below the radix, a carry clause
// at it, and both above it.
u128 position_literals(const u64 size_a, const u64 size_b, const u64 r, const u64 shift, const u64 prefix,
                       const bool carry_out) {
    const u128 t = r - shift;  // r >= 2 > shift
    const u128 below = pairs_below(size_a, size_b, t);
    const u128 at = pairs_below(size_a, size_b, t + 1) - below;
    const u128 above = u128{size_a} * size_b - below - at;
    return below * (prefix + 1 + (carry_out ? 1 : 0)) + at * (prefix + 1) + above * 2 * (prefix + 1);
}

// Replays the pairing of the tree with each node reduced to its largest
// value per position, and throws the id or size error up front when the
// parents alone need more variables or literals than can exist. The leaves
// only add to both, so nothing refused here would have fitted; and nothing
// is allocated for an encoding that is hopeless from the start.
void check_tree_fits(std::span<const Lit> kept, std::span<const std::size_t> group_ends, const WeightMap& weight_of,
                     std::span<const u64> radices, const VariableManager& vars, const ClauseSink& cnf) {
    const std::size_t positions = radices.size() + 1;
    std::vector<u64> largest;  // node after node, `positions` entries each
    largest.reserve(group_ends.size() * positions);
    std::vector<u64> digits(positions);
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        const std::size_t at = largest.size();
        largest.resize(at + positions, 0);
        for (std::size_t i = begin; i < end; ++i) {
            weight_digits(weight_of.at(kept[i]), radices, digits);
            for (std::size_t k = 0; k < positions; ++k) largest[at + k] = std::max(largest[at + k], digits[k]);
        }
        for (std::size_t k = 0; k < positions; ++k)
            if (largest[at + k] > kLargestDigit)
                throw std::overflow_error("quillet: gmto digit value does not fit in a signed 32-bit integer");
        begin = end;
    }

    const auto saturate = [](const u128 x) {
        return static_cast<u64>(std::min<u128>(x, std::numeric_limits<u64>::max()));
    };
    u128 ids = 0;
    u128 literals = 0;
    std::vector<u64> next;
    std::size_t nodes = group_ends.size();
    while (nodes > 1) {
        next.clear();
        for (std::size_t i = 0; i < nodes; i += 2) {
            const u64* left = largest.data() + i * positions;
            if (i + 1 == nodes) {
                next.insert(next.end(), left, left + positions);
                continue;
            }
            const u64* right = left + positions;
            bool carry_in = false;
            for (std::size_t k = 0; k < positions; ++k) {
                const u64 a = left[k] + 1;
                const u64 b = right[k] + 1;
                const u64 sum = left[k] + right[k] + (carry_in ? 1 : 0);
                if (k + 1 == positions) {
                    literals += u128{a} * b * (carry_in ? 7 : 3);
                    ids += sum;
                    next.push_back(sum);
                    break;
                }
                const u64 r = radices[k];
                const bool carry_out = sum >= r;
                literals += position_literals(a, b, r, 0, 2, carry_out);
                if (carry_in) literals += position_literals(a, b, r, 1, 3, carry_out);
                ids += std::min(r - 1, sum) + (carry_out ? 1 : 0);
                next.push_back(std::min(r - 1, sum));
                carry_in = carry_out;
            }
            // The totals only grow, so the first parent past a limit
            // decides; stopping there also keeps every value below 2^32.
            vars.require_available(saturate(ids));
            cnf.require_room(saturate(literals));
        }
        largest.swap(next);
        nodes = largest.size() / positions;
    }
}

// ---------------------------------------------------------------------------
// The comparison of the root with bound + 1.

// Forbids the root's sum from reaching `limit`, comparing from the most
// significant position down: each clause says "every higher position reached
// the limit's digit and this one exceeds it" (at position 0, "reaches it").
// The limit is bound + 1, up to 2^64; the product of the radices reaches it,
// so its top digit is 0 or 1.
void forbid_reaching(const Node& root, u128 limit, std::span<const u64> radices, ClauseSink& cnf) {
    const std::size_t n = radices.size();
    std::vector<u64> d(n + 1);
    for (std::size_t k = 0; k < n; ++k) {
        d[k] = static_cast<u64>(limit % radices[k]);
        limit /= radices[k];
    }
    d[n] = static_cast<u64>(limit);
    std::vector<Lit> prefix;
    // Clauses "prefix and position k at least v" for every value v >= first.
    const auto forbid_from = [&](const std::size_t k, const u64 first) {
        const std::span<const Lit> position = root.position(k);
        for (u64 v = first; v < position.size(); ++v) {
            prefix.push_back(-position[v]);
            cnf.add_clause(std::span<const Lit>(prefix));
            prefix.pop_back();
        }
    };
    // Appends the indicator of the limit's digit at position k to the prefix;
    // false when the root cannot reach that digit, which ends the comparison.
    const auto extend_prefix = [&](const std::size_t k) {
        if (d[k] == 0) return true;
        const Lit lit = indicator(root.position(k), d[k]);
        if (lit == 0) return false;
        prefix.push_back(-lit);
        return true;
    };
    if (n == 0) {
        forbid_from(0, d[0]);
        return;
    }
    forbid_from(n, d[n] + 1);
    if (!extend_prefix(n)) return;
    for (std::size_t k = n - 1; k >= 1; --k) {
        forbid_from(k, d[k] + 1);
        if (!extend_prefix(k)) return;
    }
    forbid_from(0, d[0]);
}

// Largest sum of one weight per kept group. It is kept in 128 bits: a sum
// saturated at 2^64 - 1 would let a bound of 2^64 - 1 wrongly cover it.
u128 grouped_capacity(std::span<const Lit> kept, std::span<const std::size_t> group_ends,
                      const WeightMap& weight_of) {
    u128 capacity = 0;
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        Weight group_max = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const auto found = weight_of.find(kept[i]);
            if (found == weight_of.end()) throw std::invalid_argument("quillet: missing literal in grouped_capacity");
            group_max = std::max(group_max, found->second);
        }
        capacity += group_max;
        begin = end;
    }
    return capacity;
}

}  // namespace

namespace gmto_internal {

std::vector<std::uint64_t> select_radices(std::span<const Weight> weights, const Weight bound) {
    return quillet::select_radices(weights, bound);
}

std::vector<std::uint64_t> weight_digits(const Weight w, std::span<const std::uint64_t> radices) {
    return quillet::weight_digits(w, radices);
}

}  // namespace gmto_internal

void GmtoEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    ClauseSink& cnf = encoding.cnf();
    const Weight bound = constraint.bound;

    WeightMap weight_of;
    weight_of.reserve(constraint.terms.size());
    for (const WeightedLiteral& term : constraint.terms) weight_of.emplace(term.lit, term.weight);

    // Literals heavier than the bound are fixed false; the rest stay, group
    // by group (kept[group_ends[g - 1] .. group_ends[g]) is kept group g).
    std::vector<Lit> kept;
    std::vector<std::size_t> group_ends;
    kept.reserve(constraint.terms.size());
    for (const std::vector<Lit>& group : constraint.groups) {
        for (const Lit lit : group) {
            const auto found = weight_of.find(lit);
            if (found == weight_of.end())
                throw std::invalid_argument("quillet: literal missing weight in gmto preprocess");
            if (found->second > bound)
                cnf.add_clause({-lit});
            else
                kept.push_back(lit);
        }
        if (kept.size() > (group_ends.empty() ? 0 : group_ends.back())) group_ends.push_back(kept.size());
    }
    if (group_ends.empty()) return;
    if (bound >= grouped_capacity(kept, group_ends, weight_of)) return;

    std::vector<Weight> weights;
    weights.reserve(constraint.terms.size());
    for (const WeightedLiteral& term : constraint.terms) weights.push_back(term.weight);
    const Radices radices = select_radices(weights, bound);
    check_tree_fits(kept, group_ends, weight_of, radices, encoding.vars, cnf);

    const Lit true_var = encoding.vars.fresh();
    cnf.add_clause({true_var});

    Pool pool;
    std::vector<const Node*> level;
    level.reserve(group_ends.size());
    LeafScratch scratch;
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        const std::span<const Lit> group(kept.data() + begin, end - begin);
        level.push_back(&build_leaf(pool, group, weight_of, radices, true_var, encoding.vars, cnf, scratch));
        begin = end;
    }

    std::vector<const Node*> next;
    while (level.size() > 1) {
        next.clear();
        for (std::size_t i = 0; i < level.size(); i += 2) {
            if (i + 1 == level.size())
                next.push_back(level[i]);
            else
                next.push_back(&make_parent(pool, *level[i], *level[i + 1], radices, cnf, encoding.vars, true_var));
        }
        level.swap(next);
    }

    forbid_reaching(*level.front(), u128{bound} + 1, radices, cnf);
}

}  // namespace quillet
