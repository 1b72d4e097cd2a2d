// The lower bound on RGGT's size while its tree is shaped; see
// size_bound.hpp for why it never passes the exact size. A sum over the
// other subtrees is found greedily: each subtree adds its largest value
// (below the cap, so an exact sum of its groups) that keeps the sum within
// the target, one binary search each. Certifying costs one to three such
// passes per leaf value; a counted merge three passes and a sweep over each
// value set per shift.

#include "encoders/rggt/size_bound.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace quillet::rggt {

namespace {

// The values of a set below the cap (a saturated value equals the cap and
// comes last).
template <class Value>
std::size_t exact_values(const std::vector<Value>& vals, const Value cap) {
    return vals.back() >= cap ? vals.size() - 1 : vals.size();
}

// The largest of the first n values at most x; the first value is 0.
template <class Value>
Value largest_at_most(const std::vector<Value>& vals, const std::size_t n, const Value x) {
    return *(std::upper_bound(vals.begin(), vals.begin() + static_cast<std::ptrdiff_t>(n), x) - 1);
}

constexpr std::uint32_t kNone = ~std::uint32_t{0};
// The largest bound whose sums a sample holds as a bitset (32 MiB).
constexpr std::uint64_t kMaxSampleBound = std::uint64_t{1} << 28;

// A sum of one value of each active subtree but `skip` and `also_skip`, at
// most `target`: a sum of the groups outside the skipped subtrees.
template <class Value>
Value greedy_sum(const NodeList<Value>& nodes, const std::vector<std::uint32_t>& active, const std::uint32_t skip,
                 const std::uint32_t also_skip, const Value target, const Value cap) {
    Value sum = 0;
    for (const std::uint32_t m : active) {
        if (m == skip || m == also_skip) continue;
        if (sum == target) break;
        const std::vector<Value>& vals = nodes[m]->vals;
        sum += largest_at_most(vals, exact_values(vals, cap), target - sum);
    }
    return sum;
}

// Whether some sum of the groups outside subtree `skip` lies in
// (low, high]: the largest other subtree `dense` takes the last step from a
// greedy sum of the rest aimed below the window by its middle or quartile
// values, which lands inside when its values are dense there.
template <class Value>
bool sum_in_window(const NodeList<Value>& nodes, const std::vector<std::uint32_t>& active, const std::uint32_t skip,
                   const std::uint32_t dense, const Value low, const Value high, const Value cap) {
    const std::vector<Value>& vals = nodes[dense]->vals;
    const std::size_t n = exact_values(vals, cap);
    for (const std::size_t at : std::array<std::size_t, 3>{n / 2, n / 4, n - 1 - n / 4}) {
        const Value aim = high > vals[at] ? high - vals[at] : 0;
        const Value rest = greedy_sum(nodes, active, skip, dense, aim, cap);
        if (rest + largest_at_most(vals, n, high - rest) > low) return true;
    }
    return false;
}

// The starts of the intervals of `vals` that the sums y + s, y a value of
// `sibling` and s one of `shifts` (sums of the groups outside both), find:
// adjacent values a < b are cut when some such sum c has
// bound - b < c <= bound - a, and always when b is the cap (c = 0).
template <class Value>
std::vector<Value> interval_starts(const std::vector<Value>& vals, const std::vector<Value>& sibling,
                                   const std::array<Value, 3>& shifts, const Value cap) {
    const Value bound = cap - 1;
    std::vector<bool> cut(vals.size(), false);
    const std::size_t sibling_exact = exact_values(sibling, cap);
    for (const Value shift : shifts) {
        // The largest sibling value with y + shift <= bound - a only moves
        // down as a grows.
        std::size_t top = sibling_exact;  // sibling[top - 1] is the candidate
        for (std::size_t k = 1; k < vals.size(); ++k) {
            const Value a = vals[k - 1];
            const Value b = vals[k];
            if (b >= cap) {
                cut[k] = true;
                continue;
            }
            if (cut[k] || bound - a < shift) continue;
            const Value most = bound - a - shift;
            while (top > 0 && sibling[top - 1] > most) --top;
            if (top == 0) break;
            if (sibling[top - 1] + shift > bound - b) cut[k] = true;
        }
    }
    std::vector<Value> starts{vals.front()};
    for (std::size_t k = 1; k < vals.size(); ++k)
        if (cut[k]) starts.push_back(vals[k]);
    return starts;
}

// Pairs of starts, both beyond the first, whose sum passes `silent`, and
// the starts alone beyond it: the clauses that node_clause_count finds at
// least for them.
template <class Value>
std::uint64_t clause_literals(const std::vector<Value>& left, const std::vector<Value>& right, const Value silent,
                              const Value cap) {
    std::uint64_t singles = 0;
    for (const std::vector<Value>* starts : {&left, &right})
        for (std::size_t i = 1; i < starts->size(); ++i)
            if ((*starts)[i] > silent) ++singles;
    std::uint64_t pairs = 0;
    std::size_t j = right.size();
    for (std::size_t i = 1; i < left.size(); ++i) {
        while (j > 1 && saturating_sum(left[i], right[j - 1], cap) > silent) --j;
        pairs += right.size() - j;
    }
    return 2 * singles + 3 * pairs;
}

// Sums of the groups outside a node as a bitset over 0..bound: the sumset
// of some of the other subtrees' value sets (as many as `work` word
// operations allow), each sum exact. contains(low, high) tells whether a
// sum lies in (low, high].
class SumSample {
public:
    explicit SumSample(const std::uint64_t bound) : words_(bound / 64 + 1), bits_(words_, 0), below_(words_ + 1, 0) {
        bits_[0] = 1;  // the empty sum
    }
    std::uint64_t words() const { return words_; }
    // Adds a set: bits |= bits shifted up by each non-zero value <= bound.
    template <class Value>
    void add(const std::vector<Value>& vals, const Value cap) {
        const std::vector<std::uint64_t> old = bits_;
        for (const Value v : vals) {
            if (v == 0) continue;
            if (v >= cap || v >= Value{64 * words_}) break;
            const auto q = static_cast<std::size_t>(v / 64);
            const auto b = static_cast<unsigned>(v % 64);
            for (std::size_t k = words_; k-- > q;) {
                std::uint64_t word = old[k - q] << b;
                if (b != 0 && k > q) word |= old[k - q - 1] >> (64 - b);
                bits_[k] |= word;
            }
        }
    }
    void finish(const std::uint64_t bound) {
        if ((bound + 1) % 64 != 0) bits_[words_ - 1] &= (std::uint64_t{1} << ((bound + 1) % 64)) - 1;
        for (std::size_t k = 0; k < words_; ++k)
            below_[k + 1] = below_[k] + static_cast<std::uint64_t>(std::popcount(bits_[k]));
    }
    // Set bits at or below x (x may pass the bound).
    std::uint64_t upto(const std::uint64_t x) const {
        if (x / 64 >= words_) return below_[words_];
        const std::uint64_t mask = x % 64 == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (x % 64 + 1)) - 1;
        return below_[x / 64] + static_cast<std::uint64_t>(std::popcount(bits_[x / 64] & mask));
    }

private:
    std::size_t words_;
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint64_t> below_;
};

// The starts of the intervals of `vals` that a sample of sums outside it
// finds: the sibling's set and as many other subtrees as `work` allows in
// the sample, each placed by shifts that the remaining subtrees sum to,
// spread so that the sample's span covers 0..bound.
template <class Value>
std::vector<Value> sampled_starts(const NodeList<Value>& nodes, const std::vector<Value>& vals,
                                  const std::uint32_t sibling, const std::vector<std::uint32_t>& active,
                                  const Value cap, std::uint64_t work, WorkMeter& meter) {
    const std::uint64_t allowed = work;
    const Value bound = cap - 1;
    SumSample sample(static_cast<std::uint64_t>(bound));
    std::vector<std::uint32_t> rest;
    Value sample_top = 0;
    const auto take = [&](const std::uint32_t m) {
        const std::vector<Value>& set = nodes[m]->vals;
        const std::uint64_t cost = set.size() * sample.words();
        if (cost > work) return false;
        work -= cost;
        sample.add(set, cap);
        sample_top = saturating_sum(sample_top, set[exact_values(set, cap) - 1], cap);
        return true;
    };
    take(sibling);
    for (const std::uint32_t m : active)
        if (!take(m)) rest.push_back(m);
    sample.finish(static_cast<std::uint64_t>(bound));
    meter.add(allowed - work + 5 * (vals.size() + rest.size()));
    std::vector<bool> cut(vals.size(), false);
    const Value spread = bound > sample_top ? bound - sample_top : 0;
    for (int k = 0; k <= 4; ++k) {
        const Value shift = greedy_sum(nodes, rest, kNone, kNone, spread / 4 * static_cast<unsigned>(k), cap);
        for (std::size_t i = 1; i < vals.size(); ++i) {
            const Value a = vals[i - 1];
            const Value b = vals[i];
            if (b >= cap) {
                cut[i] = true;
                continue;
            }
            if (cut[i] || bound - a < shift) continue;
            const auto high = static_cast<std::uint64_t>(bound - a - shift);
            const std::uint64_t below = bound - b >= shift ? sample.upto(static_cast<std::uint64_t>(bound - b - shift)) : 0;
            if (sample.upto(high) > below) cut[i] = true;
        }
    }
    std::vector<Value> starts{vals.front()};
    for (std::size_t i = 1; i < vals.size(); ++i)
        if (cut[i]) starts.push_back(vals[i]);
    return starts;
}

}  // namespace

template <class Value>
bool SizeBound<Value>::certify(const NodeList<Value>& nodes, const std::size_t leaves,
                               const std::vector<std::uint32_t>& active, const std::uint64_t work,
                               WorkMeter& meter) {
    std::uint64_t windows = 0;
    for (std::size_t l = 0; l < leaves; ++l) windows += nodes[l]->vals.size();
    if (active.size() < 2 || windows * active.size() > work) return false;
    meter.add(3 * windows * active.size() + nodes.size());
    // The subtree holding each leaf, and the two largest subtrees.
    std::vector<std::uint32_t> owner(nodes.size(), kNone);
    std::uint32_t largest = kNone;
    std::uint32_t second = kNone;
    const auto count_of = [&](const std::uint32_t m) { return exact_values(nodes[m]->vals, cap_); };
    for (const std::uint32_t m : active) {
        owner[m] = m;
        if (largest == kNone || count_of(m) > count_of(largest)) {
            second = largest;
            largest = m;
        } else if (second == kNone || count_of(m) > count_of(second)) {
            second = m;
        }
    }
    for (std::size_t n = nodes.size(); n-- > 0;) {  // parents come after their children
        const Node<Value>& node = *nodes[n];
        if (owner[n] == kNone || node.is_leaf) continue;
        owner[node.left->index] = owner[n];
        owner[node.right->index] = owner[n];
    }
    const Value bound = cap_ - 1;
    for (std::size_t l = 0; l < leaves; ++l) {
        const std::vector<Value>& vals = nodes[l]->vals;
        const std::uint32_t skip = owner[l];
        const std::uint32_t dense = skip == largest ? second : largest;
        for (std::size_t k = 1; k < vals.size(); ++k) {
            if (vals[k] >= cap_) continue;  // cut by the empty sum
            if (!sum_in_window(nodes, active, skip, dense, bound - vals[k], bound - vals[k - 1], cap_)) return false;
        }
    }
    certified_ = true;
    return true;
}

template <class Value>
bool SizeBound<Value>::count_merge(const NodeList<Value>& nodes, const std::uint32_t x, const std::uint32_t y,
                                   const std::vector<std::uint32_t>& active, WorkMeter& meter) {
    const Value bound = cap_ - 1;
    meter.add(2 * (nodes[x]->vals.size() + nodes[y]->vals.size()) + 3 * active.size());
    const std::vector<Value>& vx = nodes[x]->vals;
    const std::vector<Value>& vy = nodes[y]->vals;
    // The node's first interval ends at or below bound - widest.
    const Value widest = greedy_sum(nodes, active, kNone, kNone, bound, cap_);
    // Shifts that bring the sibling's values against the node's: with
    // bound - s near the sibling's largest value, y + s <= bound - a asks
    // for a sibling value near its top minus a.
    const auto toward = [&](const std::vector<Value>& sibling) {
        const Value top = sibling[exact_values(sibling, cap_) - 1];
        return greedy_sum(nodes, active, kNone, kNone, bound - std::min(bound, top), cap_);
    };
    // A side whose sibling is small gets the sample, which also holds the
    // other subtrees; against a large sibling its values and three shifts
    // do (a sample of them would cost more than the combination).
    const std::uint64_t work = std::clamp<std::uint64_t>(vx.size() * vy.size(), std::uint64_t{1} << 24, std::uint64_t{1} << 28);
    const bool can_sample = bound < Value{kMaxSampleBound};
    const auto starts = [&](const std::vector<Value>& own, const std::uint32_t sibling) {
        const std::vector<Value>& other = nodes[sibling]->vals;
        if (can_sample && other.size() * (static_cast<std::uint64_t>(bound) / 64 + 1) <= work / 2)
            return sampled_starts(nodes, own, sibling, active, cap_, work, meter);
        meter.add(3 * (own.size() + other.size()) + active.size());
        return interval_starts(own, other, {Value{0}, widest, toward(other)}, cap_);
    };
    const std::vector<Value> left = starts(vx, y);
    const std::vector<Value> right = starts(vy, x);
    const std::uint64_t found = clause_literals(left, right, bound - widest, cap_);
    literals_ = found > ~std::uint64_t{0} - literals_ ? ~std::uint64_t{0} : literals_ + found;
    return literals_ > room_;
}

template class SizeBound<std::uint64_t>;
template class SizeBound<Wide>;

}  // namespace quillet::rggt
