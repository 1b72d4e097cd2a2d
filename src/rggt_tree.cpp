// The tree shaping of the RGGT encoder and the intervals of its nodes; see
// rggt_tree.hpp for the rules.
//
// Shaping ranks pairs of value classes with a heap. A pair's exact combined
// size costs up to |a|*|b| work, so pairs enter the heap first with a cheap
// lower bound on their ratio and are measured only when that bound reaches
// the top. Intervals are found top-down, one sweep per child.

#include "rggt_tree.hpp"

#include <bit>
#include <unordered_map>

#include "encoding.hpp"

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

// The saturated sums x + y for x in a and y in b, ascending and distinct.
}  // namespace

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

namespace {

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

}  // namespace

template <class Value>
Node<Value>* build_min_ratio_tree(const GroupTerms& groups, NodeList<Value>& nodes, const Value cap,
                                  const ClauseSink* sink) {
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
    std::uint32_t since_poll = 0;
    for (std::size_t active = groups.size(); active > 1; --active) {
        if (sink != nullptr && ++since_poll == 64) {
            since_poll = 0;
            sink->poll();
        }
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


namespace {

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
}  // namespace

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
void make_child_intervals(Node<Value>* node, const Value cap, ClauseSink* sink) {
    // Literals of the clauses that the nodes below the root will need, known
    // once both children of a node have their intervals: L·R - 1 clauses
    // for L and R child intervals (the ones starting at 0 have no variable).
    std::uint64_t literals = 0;
    std::vector<Node<Value>*> pending{node};
    while (!pending.empty()) {
        Node<Value>* const current = pending.back();
        pending.pop_back();
        if (current == nullptr || current->is_leaf) continue;
        merge_adjacent_child_intervals(*current, *current->left, *current->right, cap);
        merge_adjacent_child_intervals(*current, *current->right, *current->left, cap);
        if (sink != nullptr) {
            if (!current->is_root) {
                const std::uint64_t l = current->left->intervals.size() - 1;
                const std::uint64_t r = current->right->intervals.size() - 1;
                literals += 2 * (l + r) + 3 * l * r;
                sink->require_room(literals);
            }
            sink->poll();
        }
        pending.push_back(current->right);
        pending.push_back(current->left);
    }
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
std::pair<std::size_t, std::size_t> terms_of_value(const Node<Value>& leaf, const std::vector<std::size_t>& order,
                                                   const Value value, const Value cap) {
    const auto weight_at = [&](const std::size_t k) { return capped(leaf.terms[k].weight, cap); };
    const auto first = std::lower_bound(order.begin(), order.end(), value,
                                        [&](const std::size_t k, const Value v) { return weight_at(k) < v; });
    const auto last = std::upper_bound(first, order.end(), value,
                                       [&](const Value v, const std::size_t k) { return v < weight_at(k); });
    if (first == last) throw std::logic_error("quillet: missing linked term for leaf interval");
    return {static_cast<std::size_t>(first - order.begin()), static_cast<std::size_t>(last - order.begin())};
}

#define QUILLET_RGGT_INSTANTIATE(Value)                                                                            \
    template std::vector<Value> combine_vals(const std::vector<Value>&, const std::vector<Value>&, Value,          \
                                             CombineScratch<Value>&);                                              \
    template std::uint64_t combined_size(const std::vector<Value>&, const std::vector<Value>&, Value,              \
                                         CombineScratch<Value>&);                                                  \
    template Node<Value>* build_min_ratio_tree(const GroupTerms&, NodeList<Value>&, Value, const ClauseSink*);    \
    template void initialize_root_intervals(Node<Value>&, Value);                                                  \
    template void merge_adjacent_child_intervals(const Node<Value>&, Node<Value>&, const Node<Value>&, Value);     \
    template void make_child_intervals(Node<Value>*, Value, ClauseSink*);                                          \
    template std::vector<std::size_t> terms_by_weight(const Node<Value>&, Value);                                  \
    template std::pair<std::size_t, std::size_t> terms_of_value(const Node<Value>&, const std::vector<std::size_t>&, \
                                                                Value, Value);

QUILLET_RGGT_INSTANTIATE(std::uint64_t)
QUILLET_RGGT_INSTANTIATE(Wide)

#undef QUILLET_RGGT_INSTANTIATE

}  // namespace quillet::rggt
