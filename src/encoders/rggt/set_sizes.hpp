// The value-set arithmetic of RGGT's tree shaping: the saturated sums of two
// value sets (combine_vals), their number (combined_size, SetSizer::exact)
// and the lower bounds on that number that let the pair ranking skip most
// exact sizes (SetSizer's other members); the queue that ranks pairs with
// them is tree.cpp's PairQueue.
//
// Every size is exact or a lower bound that holds because both sets hold 0:
// each set lies in the combination, and so does each set shifted by any
// value of the other. Costs: an exact size takes the cheapest of all sums
// sorted, the runs of consecutive values of one set shifted by each value of
// the other, or a bitmap of the larger set ORed at each value of the smaller;
// a shift bound reads one bitmap per row scan and per shift; value sets never
// hold more than cap + 1 values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoders/rggt/tree.hpp"

namespace quillet::rggt {

// With a cap of at most this, every sum below the cap is a bit of one word.
constexpr std::uint64_t kOneWordCap = 64;
// Pairs of sets with at most this many sums are summed out and sorted.
constexpr std::size_t kSmallSums = 32;
// Caps up to which a row scan keeps its set as a bitmap for shift bounds.
constexpr std::uint64_t kShiftBoundCap = std::uint64_t{1} << 16;

// Without a target flag for the popcnt instruction, std::popcount is a
// library call; this inline form is several times cheaper in the bitmap
// loops.
inline std::uint64_t popcount64(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return (x * 0x0101010101010101ULL) >> 56;
}

// Working storage shared by all value-set combinations of one tree build.
// The bitmap of the larger set is kept for the next call: a merge step
// combines the new node with every other subtree in turn.
template <class Value>
struct CombineScratch {
    std::vector<Value> sums;
    const std::vector<Value>* source = nullptr;
    std::vector<std::uint64_t> source_bits;  // bit v for each value v < cap of *source
    std::vector<std::uint64_t> sum_bits;
};

// The saturated sums x + y for x in a and y in b, ascending and distinct.
template <class Value>
std::vector<Value> combine_vals(const std::vector<Value>& a, const std::vector<Value>& b, Value cap,
                                CombineScratch<Value>& scratch);

// |combine_vals(a, b, cap)| without building the list.
template <class Value>
std::uint64_t combined_size(const std::vector<Value>& a, const std::vector<Value>& b, Value cap,
                            CombineScratch<Value>& scratch);

// The steps combine_vals(a, b, cap) takes, for the work meter.
template <class Value>
std::uint64_t combine_cost(const std::vector<Value>& a, const std::vector<Value>& b, Value cap);

// What the arithmetic reads of a value set: its size and largest value and
// a small set's values, kept beside the set so that a scan meeting every
// set reads them without a pointer chase, and its runs of consecutive
// values, found on first use.
template <class Value>
struct SetSummary {
    const std::vector<Value>* vals = nullptr;
    std::vector<Interval<Value>> runs;  // the values as maximal runs of consecutive integers
    std::uint64_t count = 0;
    Value largest = 0;
    std::array<Value, 4> few{};

    static SetSummary of(const std::vector<Value>& values) {
        SetSummary set;
        set.vals = &values;
        set.count = values.size();
        set.largest = values.back();
        if (values.size() <= set.few.size()) std::copy(values.begin(), values.end(), set.few.begin());
        return set;
    }
};

// The sizes of combined value sets under one cap, with the scratch space
// and the per-row memo of shift bounds they share; every step is counted on
// `work`.
template <class Value>
class SetSizer {
public:
    SetSizer(const Value cap, WorkMeter& work) : cap_(cap), work_(work) {}

    // |combine_vals(a, b)| by the cheapest way (see the file's opening); the
    // small cases here, for the scans that meet many leaves.
    std::uint64_t exact(SetSummary<Value>& a, SetSummary<Value>& b) {
        const std::size_t na = a.count;
        const std::size_t nb = b.count;
        if (cap_ <= Value{kOneWordCap}) {
            work_.add(na + nb);
            return combined_size(*a.vals, *b.vals, cap_, scratch_);
        }
        if (na * nb > kSmallSums) return exact_large(a, b);
        work_.add(na * nb);
        const std::span<const Value> xs = na <= a.few.size() ? std::span<const Value>(a.few.data(), na) : *a.vals;
        const std::span<const Value> ys = nb <= b.few.size() ? std::span<const Value>(b.few.data(), nb) : *b.vals;
        std::array<Value, kSmallSums> sums;
        std::size_t n = 0;
        for (const Value x : xs)
            for (const Value y : ys) sums[n++] = saturating_sum(x, y, cap_);
        // Each value of a gives an ascending run, so few elements move far.
        for (std::size_t i = 1; i < n; ++i) {
            const Value v = sums[i];
            std::size_t k = i;
            for (; k > 0 && sums[k - 1] > v; --k) sums[k] = sums[k - 1];
            sums[k] = v;
        }
        std::uint64_t distinct = 1;
        for (std::size_t i = 1; i < n; ++i) distinct += sums[i] != sums[i - 1] ? 1 : 0;
        return distinct;
    }

    // Every value of either set is a sum (the other holds 0), and so is the
    // larger set's largest value plus the other's largest non-zero value
    // when that sum lies above the larger set.
    std::uint64_t lower_bound(const SetSummary<Value>& a, const SetSummary<Value>& b) const {
        const SetSummary<Value>& big = a.count >= b.count ? a : b;
        const SetSummary<Value>& small = a.count >= b.count ? b : a;
        const bool above =
            small.count > 1 && big.largest < cap_ && saturating_sum(big.largest, small.largest, cap_) > big.largest;
        return big.count + (above ? 1 : 0);
    }

    // A finer lower bound for the pairs of one row, when the cap is small
    // and the row's set X is not tiny: a partner holds 0 and its largest
    // value m, so the combined set holds X ∪ (X + m), whose size
    // shifted_union_size reads off X's bitmap once per m and row. Forgets
    // the previous row's sizes; returns whether the bound is available.
    bool prepare_shift_bound(const std::vector<Value>& x) {
        for (const std::size_t m : memo_touched_) shift_memo_[m] = 0;
        memo_touched_.clear();
        if (cap_ > Value{kShiftBoundCap} || x.size() < 8) return false;
        const auto cap = static_cast<std::size_t>(cap_);
        shift_memo_.resize(cap + 1, 0);
        x_bits_.assign((cap + 63) / 64, 0);
        for (const Value v : x)
            if (v < cap_) x_bits_[static_cast<std::size_t>(v) / 64] |= std::uint64_t{1} << (static_cast<std::size_t>(v) % 64);
        return true;
    }

    // |X ∪ (X + m)| for the row's set X, after prepare_shift_bound(X).
    std::uint64_t shifted_union_size(const std::vector<Value>& x, const Value m) {
        const auto shift = static_cast<std::size_t>(m);
        if (shift_memo_[shift] != 0) return shift_memo_[shift];
        const std::size_t cap = static_cast<std::size_t>(cap_);
        const std::size_t words = x_bits_.size();
        const std::size_t word_shift = shift / 64;
        const unsigned bit_shift = shift % 64;
        work_.add(words);
        std::uint64_t extra = 0;  // values of X + m below the cap that X lacks
        for (std::size_t w = word_shift; w < words; ++w) {
            std::uint64_t moved = x_bits_[w - word_shift] << bit_shift;
            if (bit_shift != 0 && w > word_shift) moved |= x_bits_[w - word_shift - 1] >> (64 - bit_shift);
            if (w + 1 == words && cap % 64 != 0) moved &= (std::uint64_t{1} << (cap % 64)) - 1;
            extra += popcount64(moved & ~x_bits_[w]);
        }
        if (x.back() < cap_ && saturating_sum(x.back(), m, cap_) == cap_) ++extra;  // the overflow value
        const std::uint64_t size = x.size() + extra;
        shift_memo_[shift] = size;
        memo_touched_.push_back(shift);
        return size;
    }

    // |X ∪ (X + m)| of a small set by merging the two ascending lists.
    std::uint64_t merged_union_size(const std::vector<Value>& x, const Value m) const {
        std::size_t i = 0;
        std::size_t j = 0;
        std::uint64_t count = 0;
        Value last = 0;
        while (i < x.size() || j < x.size()) {
            Value next;
            if (j == x.size() || (i < x.size() && x[i] <= saturating_sum(x[j], m, cap_)))
                next = x[i++];
            else
                next = saturating_sum(x[j++], m, cap_);
            if (count == 0 || next != last) ++count;  // both lists ascend, so repeats are adjacent
            last = next;
        }
        return count;
    }

private:
    // The shifted runs or the bitmap, whichever costs less.
    std::uint64_t exact_large(SetSummary<Value>& a, SetSummary<Value>& b);
    // |{min(x + y, cap)}| for x in the runs and y in `shifts`.
    std::uint64_t shifted_runs_size(const std::vector<Interval<Value>>& runs, const std::vector<Value>& shifts);

    Value cap_;
    WorkMeter& work_;
    CombineScratch<Value> scratch_;
    std::vector<Interval<Value>> spans_;
    std::vector<std::uint64_t> x_bits_;      // the scanning row's values below the cap
    std::vector<std::uint64_t> shift_memo_;  // shifted_union_size per m, 0 when not yet known
    std::vector<std::size_t> memo_touched_;
};

}  // namespace quillet::rggt
