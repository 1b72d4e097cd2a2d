// RGGT encoder: a reduced generalised totalizer over the AMO groups.
//
// Every group becomes a leaf whose values are 0 and the weights of its
// literals; an internal node's values are all sums of one value of each
// child. Values saturate at the cap, bound + 1, which stands for "more than
// the bound". The tree is shaped greedily: each step merges the two
// subtrees whose combined value set is smallest relative to the product of
// their own set sizes. Each node's values are then cut into intervals that
// the rest of the tree cannot tell apart: the root has [0, largest value
// within the bound] and the overflow [cap, cap], and two adjacent child
// values share an interval when, for every value of the sibling, both sums
// land in the same interval of the parent. Before any clause is written,
// every weight lying inside an interval of its leaf is lowered to the
// interval's lower end (weights lowered to 0 disappear, and so do emptied
// groups), and the tree is rebuilt until nothing changes.
//
// Soundness: every interval whose values exclude 0 gets a variable (at a
// leaf the literal itself when a single term has that weight), implied at a
// leaf by the terms of that weight and at an internal node by one child
// interval alone or by a left and a right interval together whose sums fall
// inside it. At most one literal per group is true, so each subtree's sum
// makes the variable of its interval true all the way up, and the root's
// overflow variable, the only one the root gets, is forbidden. Values of one
// interval lead to the same interval in every ancestor, so lowering a
// weight within its interval keeps the set of models.
//
// Size: one variable per interval, and per internal node one clause per
// child interval plus one per pair of a left and a right interval.
//
// Values live in 64 bits, except for a bound of 2^64 - 1, whose cap does not
// fit: that case runs the same construction on 128-bit values so that sums
// past 2^64 - 1 still reach the overflow.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoders.hpp"
#include "encoding.hpp"

namespace quillet {

namespace {

using Wide = unsigned __int128;

struct TermRef {
    Lit lit = 0;
    Weight weight = 0;  // lowered in place between reduction passes, never capped in storage
};

using GroupTerms = std::vector<std::vector<TermRef>>;

template <class Value>
struct Interval {
    Value lo = 0;
    Value hi = 0;
};

template <class Value>
struct Node {
    bool is_leaf = false;
    std::vector<Value> vals;  // ascending, distinct, always holding 0
    std::vector<Interval<Value>> intervals;
    std::vector<TermRef> terms;  // a leaf's copy of its group
    Node* left = nullptr;
    Node* right = nullptr;
    bool is_root = false;
    std::uint32_t index = 0;  // position in the node list
};

template <class Value>
using NodeList = std::vector<std::unique_ptr<Node<Value>>>;

struct EncodedNodeInfo {
    std::vector<Lit> vars;  // one per interval; 0 where the interval has no variable
};

template <class Value>
Value saturating_sum(const Value x, const Value y, const Value cap) {
    if (std::max(x, y) < cap && x <= cap - y) return x + y;
    return cap;
}

template <class Value>
Value capped(const Weight weight, const Value cap) {
    return std::min(Value{weight}, cap);
}

template <class Value>
void sort_unique(std::vector<Value>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

// Working storage shared by all value-set combinations of one tree build.
// The bitmap of the larger set is kept for the next call: a merge step
// combines the new node with every other subtree in turn. Node value sets
// never change while the tree is built, so the set's address identifies it.
template <class Value>
struct CombineScratch {
    std::vector<Value> sums;
    const std::vector<Value>* source = nullptr;
    std::vector<std::uint64_t> source_bits;  // bit v for each value v < cap of *source
    std::vector<std::uint64_t> sum_bits;
};

// Sums below the cap are marked in a bitmap when they are dense enough for
// that to beat sorting all |a|·|b| sums: the bitmap costs one word operation
// per 64 values of the range for each value of the smaller set.
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

// The saturated sums x + y for x in a and y in b, ascending and distinct.
template <class Value>
std::vector<Value> combine_vals(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap,
                                CombineScratch<Value>& scratch) {
    if (a.empty() || b.empty()) return {};
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
    const SumLayout layout = sum_layout(a, b, cap);
    if (!layout.dense) {
        collect_sums(a, b, cap, scratch.sums);
        return scratch.sums.size();
    }
    mark_sums(a, b, cap, layout, scratch);
    std::uint64_t count = layout.overflow ? 1 : 0;
    for (const std::uint64_t word : scratch.sum_bits) count += static_cast<std::uint64_t>(std::popcount(word));
    return count;
}

// Subtrees with equal value sets are interchangeable when pairs are ranked:
// a pair's combined size and size product depend only on the two sets. So
// the subtrees still to be merged are kept in classes of equal value sets,
// each holding its members in the order in which they joined the active
// list, and every pair of classes is ranked once. Node indices grow in that
// order too, and removals keep it, so comparing index pairs compares list
// positions; the earliest pair of two classes joins their first members
// (the first two within one class). Merges only ever take first members,
// so a class is a queue.
template <class Value>
struct ValueClass {
    const std::vector<Value>* vals = nullptr;
    std::vector<std::uint32_t> members;  // members[head..] are still active
    std::size_t head = 0;
    std::uint32_t epoch = 0;       // bumped when the class gains a first member
    std::uint32_t pair_epoch = 0;  // bumped when it gains a second one

    std::size_t size() const { return members.size() - head; }
    std::uint32_t member(const std::size_t k) const { return members[head + k]; }
};

// A ranked pair of classes, left <= right, with the earliest node pair it
// stood for when it was ranked and the class epochs it is valid for.
struct PairCandidate {
    std::uint64_t combined;  // size of the merged value set
    std::uint64_t product;   // product of the two value set sizes
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t left_class;
    std::uint32_t right_class;
    std::uint32_t left_epoch;
    std::uint32_t right_epoch;
};

// Smaller combined/product ratio first (compared exactly by
// cross-multiplication), then the smaller combined set, then the earlier
// pair of the active list.
bool better_pair(const PairCandidate& x, const PairCandidate& y) {
    const Wide lhs = Wide{x.combined} * y.product;
    const Wide rhs = Wide{y.combined} * x.product;
    if (lhs != rhs) return lhs < rhs;
    if (x.combined != y.combined) return x.combined < y.combined;
    return std::pair(x.first, x.second) < std::pair(y.first, y.second);
}

template <class Value>
struct ValsHash {
    std::size_t operator()(const std::vector<Value>* vals) const {
        std::uint64_t h = 0xcbf29ce484222325ULL ^ vals->size();
        for (const Value v : *vals) {
            h = (h ^ static_cast<std::uint64_t>(v)) * 0x100000001b3ULL;
            if constexpr (sizeof(Value) > 8) h = (h ^ static_cast<std::uint64_t>(v >> 64)) * 0x100000001b3ULL;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

template <class Value>
struct ValsEqual {
    bool operator()(const std::vector<Value>* x, const std::vector<Value>* y) const { return *x == *y; }
};

// The candidate heap of one tree build. Every pair of classes that can
// still form a node pair has one entry carrying the classes' current
// epochs. Entries go stale when their classes lose members; a stale entry
// is re-ranked when it reaches the top (its earliest node pair can only move
// later, so it only sinks) or dropped when its classes can no longer pair
// or have since been refilled, in which case a fresh entry was pushed at
// the refill.
template <class Value>
class PairQueue {
public:
    explicit PairQueue(const Value cap) : cap_(cap) {}

    // Puts node `index` (the newest node) into the class of its values and
    // ranks the pairs this makes possible.
    void add(const std::vector<Value>& vals, const std::uint32_t index) {
        const auto [found, inserted] = class_of_.try_emplace(&vals, static_cast<std::uint32_t>(classes_.size()));
        if (inserted) classes_.push_back(ValueClass<Value>{&vals, {}, 0, 0, 0});
        const std::uint32_t id = found->second;
        ValueClass<Value>& cls = classes_[id];
        cls.members.push_back(index);
        if (cls.size() == 1) {
            ++cls.epoch;
            ++nonempty_classes_;
            for (std::uint32_t other = 0; other < classes_.size(); ++other)
                if (other != id && classes_[other].size() > 0) push(std::min(other, id), std::max(other, id));
        } else if (cls.size() == 2) {
            ++cls.pair_epoch;
            push(id, id);
        }
    }

    // Removes and returns the best pair of nodes, first < second.
    std::pair<std::uint32_t, std::uint32_t> pop_best() {
        while (true) {
            if (heap_.empty()) throw std::logic_error("quillet: no pair left to merge");
            PairCandidate top = heap_.front();
            std::pop_heap(heap_.begin(), heap_.end(), worse);
            heap_.pop_back();
            if (!current(top)) continue;
            const auto [first, second] = earliest_pair(top.left_class, top.right_class);
            if (first != top.first || second != top.second) {
                top.first = first;
                top.second = second;
                heap_.push_back(top);
                std::push_heap(heap_.begin(), heap_.end(), worse);
                continue;
            }
            take_first(top.left_class);
            take_first(top.right_class);
            if (current(top)) {
                const auto [next_first, next_second] = earliest_pair(top.left_class, top.right_class);
                top.first = next_first;
                top.second = next_second;
                heap_.push_back(top);
                std::push_heap(heap_.begin(), heap_.end(), worse);
            }
            return {first, second};
        }
    }

    // Drops entries that can never become current again once they
    // outnumber the live class pairs.
    void compact() {
        const std::size_t live = nonempty_classes_ * (nonempty_classes_ + 1) / 2;
        if (heap_.size() <= 2 * live + 4096) return;
        std::erase_if(heap_, [&](const PairCandidate& c) { return !current(c); });
        std::make_heap(heap_.begin(), heap_.end(), worse);
    }

private:
    static bool worse(const PairCandidate& x, const PairCandidate& y) { return better_pair(y, x); }

    void push(const std::uint32_t left, const std::uint32_t right) {
        const ValueClass<Value>& a = classes_[left];
        const ValueClass<Value>& b = classes_[right];
        const auto [first, second] = earliest_pair(left, right);
        const std::uint32_t right_epoch = left == right ? b.pair_epoch : b.epoch;
        heap_.push_back(PairCandidate{combined_size(*a.vals, *b.vals, cap_, scratch_),
                                      std::uint64_t{b.vals->size()} * a.vals->size(), first, second, left, right,
                                      a.epoch, right_epoch});
        std::push_heap(heap_.begin(), heap_.end(), worse);
    }

    bool current(const PairCandidate& c) const {
        const ValueClass<Value>& a = classes_[c.left_class];
        const ValueClass<Value>& b = classes_[c.right_class];
        if (c.left_class == c.right_class) return a.size() >= 2 && c.right_epoch == a.pair_epoch;
        return a.size() > 0 && b.size() > 0 && c.left_epoch == a.epoch && c.right_epoch == b.epoch;
    }

    std::pair<std::uint32_t, std::uint32_t> earliest_pair(const std::uint32_t left, const std::uint32_t right) const {
        const ValueClass<Value>& a = classes_[left];
        if (left == right) return {a.member(0), a.member(1)};
        const std::uint32_t x = a.member(0);
        const std::uint32_t y = classes_[right].member(0);
        return {std::min(x, y), std::max(x, y)};
    }

    void take_first(const std::uint32_t id) {
        ValueClass<Value>& cls = classes_[id];
        ++cls.head;
        if (cls.size() == 0) --nonempty_classes_;
        if (cls.head * 2 > cls.members.size()) {
            cls.members.erase(cls.members.begin(), cls.members.begin() + static_cast<std::ptrdiff_t>(cls.head));
            cls.head = 0;
        }
    }

    Value cap_;
    CombineScratch<Value> scratch_;
    std::vector<ValueClass<Value>> classes_;
    std::unordered_map<const std::vector<Value>*, std::uint32_t, ValsHash<Value>, ValsEqual<Value>> class_of_;
    std::vector<PairCandidate> heap_;
    std::size_t nonempty_classes_ = 0;
};

template <class Value>
Node<Value>& append_node(NodeList<Value>& nodes) {
    nodes.push_back(std::make_unique<Node<Value>>());
    Node<Value>& node = *nodes.back();
    node.index = static_cast<std::uint32_t>(nodes.size() - 1);
    return node;
}

// Builds the tree greedily and returns its root, or null without groups.
template <class Value>
Node<Value>* build_min_ratio_tree(const GroupTerms& groups, NodeList<Value>& nodes, const Value cap) {
    if (groups.empty()) return nullptr;
    PairQueue<Value> queue(cap);
    for (const std::vector<TermRef>& group : groups) {
        Node<Value>& leaf = append_node(nodes);
        leaf.is_leaf = true;
        leaf.terms = group;
        leaf.vals.reserve(group.size() + 1);
        leaf.vals.push_back(0);
        for (const TermRef& term : group) leaf.vals.push_back(capped(term.weight, cap));
        sort_unique(leaf.vals);
        queue.add(leaf.vals, leaf.index);
    }
    CombineScratch<Value> scratch;
    for (std::size_t active = groups.size(); active > 1; --active) {
        const auto [first, second] = queue.pop_best();
        Node<Value>& merged = append_node(nodes);
        merged.left = nodes[first].get();
        merged.right = nodes[second].get();
        merged.vals = combine_vals(merged.left->vals, merged.right->vals, cap, scratch);
        queue.compact();
        queue.add(merged.vals, merged.index);
    }
    Node<Value>& root = *nodes.back();
    root.is_root = true;
    return &root;
}

template <class Value>
void initialize_root_intervals(Node<Value>& root, const Value cap) {
    root.intervals.clear();
    Value below = 0;
    bool has_cap = false;
    for (const Value v : root.vals) {
        if (v < cap)
            below = v;
        else if (v == cap)
            has_cap = true;
    }
    root.intervals.push_back({0, below});
    if (has_cap) root.intervals.push_back({cap, cap});
}

// The last interval at or after `at` that starts at or below x, given that
// the one at `at` does. The intervals are ascending and disjoint, so it is
// the only one that can hold x. Successive lookups of ascending values land
// close to each other, hence the galloping search from the previous answer.
template <class Value>
std::size_t last_starting_at_or_below(const std::vector<Interval<Value>>& intervals, std::size_t at, const Value x) {
    std::size_t step = 1;
    while (at + step < intervals.size() && intervals[at + step].lo <= x) {
        at += step;
        step *= 2;
    }
    const auto begin = intervals.begin();
    const auto after = std::upper_bound(begin + static_cast<std::ptrdiff_t>(at + 1),
                                        begin + static_cast<std::ptrdiff_t>(std::min(at + step, intervals.size())), x,
                                        [](const Value v, const Interval<Value>& iv) { return v < iv.lo; });
    return static_cast<std::size_t>(after - begin) - 1;
}

// Index of the interval holding x, searching from `at` (a lookup of a value
// no larger than x).
template <class Value>
std::size_t interval_of(const std::vector<Interval<Value>>& intervals, const std::size_t at, const Value x) {
    if (intervals.empty() || intervals[at].lo > x) throw std::logic_error("quillet: interval lookup failed");
    const std::size_t found = last_starting_at_or_below(intervals, at, x);
    if (intervals[found].hi < x) throw std::logic_error("quillet: interval lookup failed");
    return found;
}

// Whether child values hi < lo land in the same parent interval for every
// sibling value s, looking both sums up. The sweep over the child's values
// only raises hi and lo, so each sibling value keeps the positions of its
// last two lookups and the next ones search onward from there.
template <class Value>
bool same_parent_interval_by_sibling_value(const Value hi, const Value lo, const std::vector<Interval<Value>>& parent,
                                           const std::vector<Value>& sibling, const Value cap,
                                           std::vector<std::size_t>& below, std::vector<std::size_t>& above) {
    for (std::size_t t = 0; t < sibling.size(); ++t) {
        below[t] = interval_of(parent, below[t], saturating_sum(hi, sibling[t], cap));
        above[t] = interval_of(parent, above[t], saturating_sum(lo, sibling[t], cap));
        if (below[t] != above[t]) return false;
    }
    return true;
}

// The same test from the parent's side, for parents with fewer intervals
// than the sibling has values: the sums part ways exactly when some parent
// interval start L has a sibling value s with hi + s < L <= lo + s.
template <class Value>
bool same_parent_interval_by_parent_start(const Value hi, const Value lo, const std::vector<Interval<Value>>& parent,
                                          const std::vector<Value>& sibling) {
    for (std::size_t k = 1; k < parent.size(); ++k) {
        const Value start = parent[k].lo;
        if (start <= hi) continue;
        const Value least = start > lo ? start - lo : 0;
        const auto s = std::lower_bound(sibling.begin(), sibling.end(), least);
        if (s != sibling.end() && *s < start - hi) return false;
    }
    return true;
}

// A merge only moves the upper end of the run being built, which no earlier
// pair's test reads, so one left-to-right sweep merges the same runs as
// restarting the scan after every merge.
template <class Value>
void merge_adjacent_child_intervals(const Node<Value>& parent, Node<Value>& child, const Node<Value>& sibling,
                                    const Value cap) {
    const bool by_sibling_value = sibling.vals.size() <= parent.intervals.size();
    std::vector<std::size_t> below(by_sibling_value ? sibling.vals.size() : 0, 0);
    std::vector<std::size_t> above(below.size(), 0);
    const auto mergeable = [&](const Value hi, const Value lo) {
        if (by_sibling_value)
            return same_parent_interval_by_sibling_value(hi, lo, parent.intervals, sibling.vals, cap, below, above);
        return same_parent_interval_by_parent_start(hi, lo, parent.intervals, sibling.vals);
    };
    child.intervals.clear();
    for (const Value v : child.vals) {
        if (!child.intervals.empty() && mergeable(child.intervals.back().hi, v))
            child.intervals.back().hi = v;
        else
            child.intervals.push_back({v, v});
    }
}

// Parents before children, with an explicit stack: the tree can be as deep
// as there are groups.
template <class Value>
void make_child_intervals(Node<Value>* node, const Value cap) {
    std::vector<Node<Value>*> pending{node};
    while (!pending.empty()) {
        Node<Value>* const current = pending.back();
        pending.pop_back();
        if (current == nullptr || current->is_leaf) continue;
        merge_adjacent_child_intervals(*current, *current->left, *current->right, cap);
        merge_adjacent_child_intervals(*current, *current->right, *current->left, cap);
        pending.push_back(current->right);
        pending.push_back(current->left);
    }
}

// The first interval holding the whole range [lo, hi], or the interval
// count when none does. `at` is the answer of a lookup of a lower end no
// larger than lo; the first interval starts at 0.
template <class Value>
std::size_t containing_interval(const std::vector<Interval<Value>>& intervals, std::size_t& at, const Value lo,
                                const Value hi) {
    at = last_starting_at_or_below(intervals, at, lo);
    return intervals[at].hi < hi ? intervals.size() : at;
}

// A leaf's terms ordered by capped weight, ties in term order, so that the
// terms linked to one interval value form a run in group order.
template <class Value>
std::vector<std::size_t> terms_by_weight(const Node<Value>& leaf, const Value cap) {
    std::vector<std::size_t> order(leaf.terms.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](const std::size_t x, const std::size_t y) {
        return capped(leaf.terms[x].weight, cap) < capped(leaf.terms[y].weight, cap);
    });
    return order;
}

template <class Value>
void encode_leaf(const Node<Value>& leaf, const Value cap, VariableManager& vars, ClauseSink& cnf,
                 EncodedNodeInfo& info) {
    info.vars.assign(leaf.intervals.size(), 0);
    const std::vector<std::size_t> order = terms_by_weight(leaf, cap);
    const auto weight_at = [&](const std::size_t k) { return capped(leaf.terms[k].weight, cap); };
    for (std::size_t i = 0; i < leaf.intervals.size(); ++i) {
        const Value lo = leaf.intervals[i].lo;
        if (lo == 0) continue;
        const auto first = std::lower_bound(order.begin(), order.end(), lo,
                                            [&](const std::size_t k, const Value v) { return weight_at(k) < v; });
        const auto last = std::upper_bound(first, order.end(), lo,
                                           [&](const Value v, const std::size_t k) { return v < weight_at(k); });
        if (first == last) throw std::logic_error("quillet: missing linked term for leaf interval");
        if (last - first == 1) {
            info.vars[i] = leaf.terms[*first].lit;
            continue;
        }
        const Lit v = vars.fresh();
        info.vars[i] = v;
        for (auto k = first; k != last; ++k) cnf.add_clause({-leaf.terms[*k].lit, v});
    }
}

// The node's variable for the interval at `at`, or 0 when the range found
// no interval or, at the root, an interval other than the overflow.
template <class Value>
Lit target_variable(const Node<Value>& node, const EncodedNodeInfo& info, const std::size_t at, const Value cap) {
    if (at == node.intervals.size()) return 0;
    if (node.is_root && node.intervals[at].lo != cap) return 0;
    return info.vars[at];
}

template <class Value>
void encode_internal_node(const Node<Value>& node, const Value cap, VariableManager& vars, ClauseSink& cnf,
                          std::vector<EncodedNodeInfo>& memo) {
    EncodedNodeInfo& info = memo.at(node.index);
    info.vars.assign(node.intervals.size(), 0);
    for (std::size_t i = 0; i < node.intervals.size(); ++i) {
        const Value lo = node.intervals[i].lo;
        if (lo != 0 && (!node.is_root || lo >= cap)) info.vars[i] = vars.fresh();
    }

    const std::vector<Interval<Value>>& left = node.left->intervals;
    const std::vector<Interval<Value>>& right = node.right->intervals;
    const std::vector<Lit>& left_vars = memo.at(node.left->index).vars;
    const std::vector<Lit>& right_vars = memo.at(node.right->index).vars;

    for (const Node<Value>* const child : {node.left, node.right}) {
        const std::vector<Lit>& child_vars = memo.at(child->index).vars;
        std::size_t at = 0;
        for (std::size_t i = 0; i < child->intervals.size(); ++i) {
            const Lit a = child_vars[i];
            if (a == 0) continue;
            const Interval<Value>& iv = child->intervals[i];
            const Lit c = target_variable(node, info, containing_interval(node.intervals, at, iv.lo, iv.hi), cap);
            if (c != 0) cnf.add_clause({-a, c});
        }
    }

    for (std::size_t i = 0; i < left.size(); ++i) {
        const Lit a = left_vars[i];
        if (a == 0) continue;
        std::size_t j = 0;
        if (node.is_root) {
            // At the root only sums that reach the cap can give a clause, and
            // the lower ends of the right intervals ascend.
            const Value least = cap - std::min(left[i].lo, cap);
            j = static_cast<std::size_t>(
                std::lower_bound(right.begin(), right.end(), least,
                                 [](const Interval<Value>& iv, const Value v) { return iv.lo < v; }) -
                right.begin());
        }
        std::size_t at = 0;
        for (; j < right.size(); ++j) {
            const Lit b = right_vars[j];
            if (b == 0) continue;
            const Value lo = saturating_sum(right[j].lo, left[i].lo, cap);
            const Value hi = saturating_sum(right[j].hi, left[i].hi, cap);
            const Lit c = target_variable(node, info, containing_interval(node.intervals, at, lo, hi), cap);
            if (c != 0) cnf.add_clause({-a, -b, c});
        }
    }
}

// Post-order (left subtree, right subtree, node) on an explicit stack. The
// memo is indexed by node position in the node list.
template <class Value>
void encode_internal(const Node<Value>* root, const Value cap, VariableManager& vars, ClauseSink& cnf,
                     std::vector<EncodedNodeInfo>& memo) {
    struct Visit {
        const Node<Value>* node;
        bool children_done;
    };
    std::vector<Visit> pending{{root, false}};
    while (!pending.empty()) {
        const Visit visit = pending.back();
        pending.pop_back();
        if (visit.node == nullptr) continue;
        if (visit.node->is_leaf) {
            encode_leaf(*visit.node, cap, vars, cnf, memo.at(visit.node->index));
        } else if (visit.children_done) {
            encode_internal_node(*visit.node, cap, vars, cnf, memo);
        } else {
            pending.push_back({visit.node, true});
            pending.push_back({visit.node->right, false});
            pending.push_back({visit.node->left, false});
        }
    }
}

GroupTerms make_group_terms(const GroupedLeqConstraint& constraint) {
    std::unordered_map<Lit, Weight> weight_of;
    weight_of.reserve(constraint.terms.size());
    for (const WeightedLiteral& term : constraint.terms) weight_of.emplace(term.lit, term.weight);
    GroupTerms groups;
    groups.reserve(constraint.groups.size());
    for (const std::vector<Lit>& group : constraint.groups) {
        std::vector<TermRef>& terms = groups.emplace_back();
        terms.reserve(group.size());
        for (const Lit lit : group) terms.push_back({lit, weight_of.at(lit)});
    }
    return groups;
}

// Lowers every weight lying inside an interval of its leaf to the interval's
// lower end, then drops zero weights and empty groups. Returns whether a
// weight changed. The k-th leaf of the node list belongs to group k.
template <class Value>
bool lower_weights_to_leaf_intervals(const NodeList<Value>& nodes, GroupTerms& groups, const Value cap) {
    bool changed = false;
    std::size_t group = 0;
    for (const std::unique_ptr<Node<Value>>& node : nodes) {
        if (!node->is_leaf) continue;
        std::vector<TermRef>& terms = groups[group++];
        const std::vector<Interval<Value>>& intervals = node->intervals;
        for (TermRef& term : terms) {
            // The leaf's intervals cover its values, among them every capped weight.
            const Value w = capped(term.weight, cap);
            const Interval<Value>& iv = intervals[last_starting_at_or_below(intervals, 0, w)];
            if (iv.lo < w && w <= iv.hi) {
                term.weight = static_cast<Weight>(iv.lo);
                changed = true;
            }
        }
        std::erase_if(terms, [](const TermRef& term) { return term.weight == 0; });
    }
    std::erase_if(groups, [](const std::vector<TermRef>& terms) { return terms.empty(); });
    return changed;
}

// An upper bound on the node clauses, exact at the root, so that the clause
// list grows once.
template <class Value>
std::size_t expected_node_clauses(const NodeList<Value>& nodes, const Value cap) {
    std::size_t count = 0;
    for (const std::unique_ptr<Node<Value>>& node : nodes) {
        if (node->is_leaf) {
            count += node->terms.size();
            continue;
        }
        const std::vector<Interval<Value>>& left = node->left->intervals;
        const std::vector<Interval<Value>>& right = node->right->intervals;
        if (!node->is_root) {
            count += (left.size() - 1) * right.size() + right.size() - 1;
            continue;
        }
        const auto at_cap = [&](const Interval<Value>& iv) { return iv.lo == cap; };
        count += static_cast<std::size_t>(std::count_if(left.begin(), left.end(), at_cap) +
                                          std::count_if(right.begin(), right.end(), at_cap));
        for (const Interval<Value>& iv : left) {
            const Value least = cap - std::min(iv.lo, cap);
            count += static_cast<std::size_t>(
                right.end() - std::lower_bound(right.begin(), right.end(), least,
                                               [](const Interval<Value>& r, const Value v) { return r.lo < v; }));
        }
    }
    return count;
}

template <class Value>
void encode_reduced(const GroupedLeqConstraint& constraint, Encoding& encoding) {
    GroupTerms groups = make_group_terms(constraint);
    const Value cap = Value{constraint.bound} + 1;

    // The last pass changed nothing, so its tree is the final tree.
    NodeList<Value> nodes;
    Node<Value>* root = nullptr;
    do {
        nodes.clear();
        root = build_min_ratio_tree(groups, nodes, cap);
        if (root == nullptr) return;
        initialize_root_intervals(*root, cap);
        make_child_intervals(root, cap);
    } while (lower_weights_to_leaf_intervals(nodes, groups, cap));

    ClauseSink& cnf = encoding.cnf();
    if (root->is_leaf) {
        for (const TermRef& term : root->terms)
            if (term.weight > constraint.bound) cnf.add_clause({-term.lit});
        return;
    }
    const std::size_t clauses = expected_node_clauses(nodes, cap) + 1;
    cnf.reserve(clauses, 3 * clauses);
    std::vector<EncodedNodeInfo> memo(nodes.size());
    encode_internal(static_cast<const Node<Value>*>(root), cap, encoding.vars, cnf, memo);
    const std::vector<Lit>& root_vars = memo.at(root->index).vars;
    for (std::size_t i = 0; i < root->intervals.size(); ++i)
        if (root->intervals[i].lo == cap && root_vars[i] != 0) cnf.add_clause({-root_vars[i]});
}

}  // namespace

// The unit tests compile this file with the macro set to reach the building
// blocks above without a second definition of the encoder.
#ifndef QUILLET_RGGT_BUILDING_BLOCKS_ONLY
void RggtEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    if (constraint.bound == std::numeric_limits<Weight>::max())
        encode_reduced<Wide>(constraint, encoding);
    else
        encode_reduced<std::uint64_t>(constraint, encoding);
}
#endif

}  // namespace quillet
