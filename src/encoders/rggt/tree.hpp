// The tree shaping of the RGGT encoder and the intervals of its nodes.
//
// Every AMO group is a leaf whose values are 0 and its capped weights; the
// leaves are merged greedily, each step joining the two subtrees whose
// combined value set is smallest relative to the product of their sizes
// (ties: the smaller combined set, then the earlier pair), and each node's
// values are then cut into the intervals that the rest of the tree cannot
// tell apart. rggt.cpp writes the clauses over these intervals; the C++
// tests check both steps against the rules written out directly.
//
// The shaping keeps one class per distinct value set, so equal sets cost
// nothing extra, and ranks pairs of classes lazily (see tree.cpp) by the
// sizes of their combined sets (set_sizes.hpp); value sets never hold more
// than cap + 1 values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet {

class ClauseSink;

namespace rggt {

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

// The value-set arithmetic of one encode (combined sizes, combinations, the
// size bound's sweeps), counted in element or 64-bit word operations from
// each step's own cost estimate. Shaping trees of large, sparse value sets
// costs far more than any output it could give (every growing node meets
// every other subtree), so past `limit` the encode gives up with
// EncoderLimit: a limit of this encoder's work, not a claim about the size.
struct WorkMeter {
    std::uint64_t done = 0;
    std::uint64_t limit = ~std::uint64_t{0};
    void add(const std::uint64_t steps) {
        done += std::min(steps, ~std::uint64_t{0} - done);
        if (done > limit) [[unlikely]] give_up();
    }
    [[noreturn]] void give_up() const;
};

// Builds the tree greedily into `nodes` (the leaves first, in group order,
// then the merged nodes in merge order) and returns its root, or null
// without groups. `sink`, when given, is polled for cancellation, and its
// budget also bounds the values the tree may hold (as much memory as the
// literal budget, plus 1 Mi values), past which the encoding is refused as
// too large.
// `row_entries` is how many pairs each class ranks ahead of need; it only
// trades rescans for heap entries and never changes the tree.
// `meter`, when given, counts the shaping's value-set arithmetic.
template <class Value>
Node<Value>* build_min_ratio_tree(const GroupTerms& groups, NodeList<Value>& nodes, Value cap,
                                  const ClauseSink* sink = nullptr, std::size_t row_entries = 8,
                                  WorkMeter* meter = nullptr);

// The root's intervals: [0, largest value below the cap] and, when the cap
// is reachable, the overflow [cap, cap].
template <class Value>
void initialize_root_intervals(Node<Value>& root, Value cap);

// Cuts `child`'s values into the intervals that `parent` cannot tell apart
// whatever value `sibling` adds. Throws when the largest sum lies beyond
// the parent's intervals.
template <class Value>
void merge_adjacent_child_intervals(const Node<Value>& parent, Node<Value>& child, const Node<Value>& sibling,
                                    Value cap);

struct ClauseCount {
    std::uint64_t clauses = 0;
    std::uint64_t literals = 0;
};

// The clauses rggt.cpp writes for an internal node once its children have
// their intervals: one per child interval and one per pair of a left and a
// right interval whose (lowest) sum leaves the node's first interval, the
// one without a variable (at the root: reaches the cap). Every such range
// lies inside one interval of the node, which is how the intervals were cut.
template <class Value>
ClauseCount node_clause_count(const Node<Value>& node, Value cap);

// The intervals of every node below `root`, whose own intervals are set;
// `sink`, when given, is polled. Intervals never outnumber values, so the
// value bound of build_min_ratio_tree also bounds their memory.
template <class Value>
void make_child_intervals(Node<Value>* root, Value cap, const ClauseSink* sink = nullptr);

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

// A leaf's terms ordered by capped weight, ties in term order, so that the
// terms linked to one interval value form a run in group order.
template <class Value>
std::vector<std::size_t> terms_by_weight(const Node<Value>& leaf, Value cap);

// The run [first, last) of `order` (from terms_by_weight) whose terms weigh
// `value`; throws when there is none, which would leave an interval of the
// leaf without a term to imply it.
template <class Value>
std::pair<std::size_t, std::size_t> terms_of_value(const Node<Value>& leaf, const std::vector<std::size_t>& order,
                                                   Value value, Value cap);

}  // namespace rggt
}  // namespace quillet
