// The value-set arithmetic of RGGT's tree shaping; see set_sizes.hpp for
// why each size is exact or a lower bound, and what each way costs.

#include "encoders/rggt/set_sizes.hpp"

#include <algorithm>
#include <bit>

namespace quillet::rggt {

namespace {

struct SumLayout {
    bool dense = false;
    bool overflow = false;    // some sum reaches the cap
    std::size_t limit = 0;    // when dense: every sum below the cap is below limit
};

template <class Value>
SumLayout sum_layout(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap) {
    SumLayout layout;
    const Value top = saturating_sum(a.back(), b.back(), cap);
    layout.overflow = top == cap;
    const Value limit = layout.overflow ? cap : top + 1;
    const std::size_t larger = std::max(a.size(), b.size());
    constexpr std::size_t max_bits = std::size_t{1} << 28;
    if (a.size() * b.size() > 64 && limit <= Value{max_bits} && limit <= Value{64} * (Value{larger} + 1)) {
        layout.dense = true;
        layout.limit = static_cast<std::size_t>(limit);
    }
    return layout;
}

template <class Value>
void prepare_source_bits(const std::vector<Value>& values, const Value cap, CombineScratch<Value>& scratch) {
    if (scratch.source == &values) return;
    scratch.source = &values;
    scratch.source_bits.clear();
    for (const Value x : values) {
        if (x >= cap) break;
        const auto v = static_cast<std::size_t>(x);
        scratch.source_bits.resize(v / 64 + 1, 0);
        scratch.source_bits[v / 64] |= std::uint64_t{1} << (v % 64);
    }
}

// ORs the values of the larger set, shifted by each value of the smaller
// one, into scratch.sum_bits (bit v for value v < layout.limit).
template <class Value>
void mark_sums(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
               const SumLayout& layout, CombineScratch<Value>& scratch) {
    const std::vector<Value>& big = a.size() >= b.size() ? a : b;
    const std::vector<Value>& small = a.size() >= b.size() ? b : a;
    prepare_source_bits(big, cap, scratch);
    const std::vector<std::uint64_t>& source = scratch.source_bits;
    const std::size_t words = (layout.limit + 63) / 64;
    std::vector<std::uint64_t>& sums = scratch.sum_bits;
    sums.assign(words, 0);
    for (const Value y : small) {
        if (y >= Value{layout.limit}) break;
        const auto shift = static_cast<std::size_t>(y);
        const std::size_t word_shift = shift / 64;
        const unsigned bit_shift = shift % 64;
        const std::size_t end = std::min(source.size(), words - word_shift);
        if (bit_shift == 0) {
            for (std::size_t w = 0; w < end; ++w) sums[w + word_shift] |= source[w];
            continue;
        }
        for (std::size_t w = 0; w < end; ++w) {
            sums[w + word_shift] |= source[w] << bit_shift;
            if (w + word_shift + 1 < words) sums[w + word_shift + 1] |= source[w] >> (64 - bit_shift);
        }
    }
    if (layout.limit % 64 != 0) sums[words - 1] &= (std::uint64_t{1} << (layout.limit % 64)) - 1;
}

template <class Value>
void collect_sums(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
                  std::vector<Value>& sums) {
    sums.clear();
    sums.reserve(a.size() * b.size());
    for (const Value x : a)
        for (const Value y : b) sums.push_back(saturating_sum(x, y, cap));
    sort_unique(sums);
}

// With a cap of at most 64 every sum below it is a bit of one word: the
// bits of a shifted by each value of b. `overflow` tells whether some sum
// reaches the cap (the largest one does).
template <class Value>
std::uint64_t one_word_sums(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
                            bool& overflow) {
    std::uint64_t bits_a = 0;
    for (const Value x : a) {
        if (x >= cap) break;
        bits_a |= std::uint64_t{1} << static_cast<unsigned>(x);
    }
    std::uint64_t sums = 0;
    for (const Value y : b) {
        if (y >= cap) break;
        sums |= bits_a << static_cast<unsigned>(y);
    }
    if (cap < 64) sums &= (std::uint64_t{1} << static_cast<unsigned>(cap)) - 1;
    overflow = saturating_sum(a.back(), b.back(), cap) == cap;
    return sums;
}

template <class Value>
std::vector<Interval<Value>> runs_of(const std::vector<Value>& vals) {
    std::vector<Interval<Value>> runs;
    for (const Value v : vals) {
        if (!runs.empty() && runs.back().hi + 1 == v)
            runs.back().hi = v;
        else
            runs.push_back({v, v});
    }
    return runs;
}

}  // namespace

template <class Value>
std::vector<Value> combine_vals(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
                                CombineScratch<Value>& scratch) {
    if (a.empty() || b.empty()) return {};
    if (cap <= Value{kOneWordCap}) {
        bool overflow = false;
        std::uint64_t word = one_word_sums(a, b, cap, overflow);
        std::vector<Value> out;
        out.reserve(static_cast<std::size_t>(popcount64(word)) + 1);
        for (; word != 0; word &= word - 1) out.push_back(Value{static_cast<unsigned>(std::countr_zero(word))});
        if (overflow) out.push_back(cap);
        return out;
    }
    const SumLayout layout = sum_layout(a, b, cap);
    if (!layout.dense) {
        collect_sums(a, b, cap, scratch.sums);
        return scratch.sums;
    }
    mark_sums(a, b, cap, layout, scratch);
    std::vector<Value> out;
    for (std::size_t w = 0; w < scratch.sum_bits.size(); ++w)
        for (std::uint64_t word = scratch.sum_bits[w]; word != 0; word &= word - 1)
            out.push_back(Value{w * 64 + static_cast<std::size_t>(std::countr_zero(word))});
    if (layout.overflow) out.push_back(cap);
    return out;
}

// |combine_vals(a, b, cap)| without building the list.
template <class Value>
std::uint64_t combined_size(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
                            CombineScratch<Value>& scratch) {
    if (a.empty() || b.empty()) return 0;
    if (cap <= Value{kOneWordCap}) {
        bool overflow = false;
        return popcount64(one_word_sums(a, b, cap, overflow)) + (overflow ? 1 : 0);
    }
    const SumLayout layout = sum_layout(a, b, cap);
    if (!layout.dense) {
        collect_sums(a, b, cap, scratch.sums);
        return scratch.sums.size();
    }
    mark_sums(a, b, cap, layout, scratch);
    std::uint64_t count = layout.overflow ? 1 : 0;
    for (const std::uint64_t word : scratch.sum_bits) count += popcount64(word);
    return count;
}

// The steps combine_vals takes: a bit per sum of the smaller set over the
// words of the larger, or every sum sorted.
template <class Value>
std::uint64_t combine_cost(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap) {
    if (cap <= Value{kOneWordCap}) return a.size() + b.size();
    const SumLayout layout = sum_layout(a, b, cap);
    if (layout.dense) return std::min(a.size(), b.size()) * (layout.limit / 64 + 1) + layout.limit / 64;
    return std::uint64_t{a.size()} * b.size();
}

template <class Value>
std::uint64_t SetSizer<Value>::exact_large(SetSummary<Value>& a, SetSummary<Value>& b) {
    const std::size_t na = a.count;
    const std::size_t nb = b.count;
    // The runs are only needed here, so they are found on first use.
    for (SetSummary<Value>* set : {&a, &b})
        if (set->runs.empty()) set->runs = runs_of(*set->vals);
    // Rough operation counts of the three ways.
    const std::size_t by_a_runs = a.runs.size() * nb;
    const std::size_t by_b_runs = b.runs.size() * na;
    const std::size_t shifted = std::min(by_a_runs, by_b_runs);
    const double runs_cost = static_cast<double>(shifted) * (std::bit_width(shifted) + 2);
    const SumLayout layout = sum_layout(*a.vals, *b.vals, cap_);
    const double bitmap_cost = layout.dense ? static_cast<double>(std::min(na, nb)) * (layout.limit / 64 + 1) * 2
                                            : static_cast<double>(na) * nb * (std::bit_width(na * nb) + 1);
    work_.add(static_cast<std::uint64_t>(std::min(runs_cost, bitmap_cost)));
    if (runs_cost < bitmap_cost)
        return by_a_runs <= by_b_runs ? shifted_runs_size(a.runs, *b.vals) : shifted_runs_size(b.runs, *a.vals);
    return combined_size(*a.vals, *b.vals, cap_, scratch_);
}

// Each shifted run maps onto one interval, and the union of the intervals
// is counted.
template <class Value>
std::uint64_t SetSizer<Value>::shifted_runs_size(const std::vector<Interval<Value>>& runs,
                                                 const std::vector<Value>& shifts) {
    spans_.clear();
    for (const Value y : shifts)
        for (const Interval<Value>& run : runs)
            spans_.push_back({saturating_sum(run.lo, y, cap_), saturating_sum(run.hi, y, cap_)});
    std::sort(spans_.begin(), spans_.end(),
              [](const Interval<Value>& x, const Interval<Value>& y) { return x.lo < y.lo; });
    std::uint64_t count = 0;
    Value lo = spans_.front().lo;
    Value hi = spans_.front().hi;
    for (const Interval<Value>& s : spans_) {
        if (s.lo > hi + 1) {
            count += static_cast<std::uint64_t>(hi - lo) + 1;
            lo = s.lo;
            hi = s.hi;
        } else {
            hi = std::max(hi, s.hi);
        }
    }
    return count + static_cast<std::uint64_t>(hi - lo) + 1;
}

#define QUILLET_RGGT_INSTANTIATE(Value)                                                                      \
    template std::vector<Value> combine_vals(const std::vector<Value>&, const std::vector<Value>&, Value,    \
                                             CombineScratch<Value>&);                                        \
    template std::uint64_t combined_size(const std::vector<Value>&, const std::vector<Value>&, Value,        \
                                         CombineScratch<Value>&);                                            \
    template std::uint64_t combine_cost(const std::vector<Value>&, const std::vector<Value>&, Value);         \
    template class SetSizer<Value>;

QUILLET_RGGT_INSTANTIATE(std::uint64_t)
QUILLET_RGGT_INSTANTIATE(Wide)

#undef QUILLET_RGGT_INSTANTIATE

}  // namespace quillet::rggt
