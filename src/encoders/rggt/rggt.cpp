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
// child interval plus one per pair of a left and a right interval. The
// shaping refuses a tree that its lower bound shows past the budget
// (EncodingTooLarge, see size_bound.hpp), and gives up with EncoderLimit
// once its value-set arithmetic passes the larger of the budget's literals
// and 2^30 steps (about a second): large all-different value sets, as of
// many groups with weights in the millions, make every step of a growing
// chain meet every other subtree long before any bound on the size can
// tell; a size bound that holds for every tree shape is too weak there,
// since a chain of single groups pays only a few literals per interval at
// each step.
//
// Values live in 64 bits, except for a bound of 2^64 - 1, whose cap does not
// fit: that case runs the same construction on 128-bit values so that sums
// past 2^64 - 1 still reach the overflow.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "encoders/encoders.hpp"
#include "core/encoding.hpp"
#include "encoders/rggt/tree.hpp"

namespace quillet {

using namespace rggt;

namespace {

constexpr std::uint64_t kMinShapingWork = std::uint64_t{1} << 30;

// The variables of every node's intervals, node after node in one array
// (one allocation for the whole tree); 0 where an interval has none.
struct IntervalVars {
    std::vector<Lit> vars;
    std::vector<std::size_t> first;  // per node index, and one past the last node

    template <class Value>
    explicit IntervalVars(const NodeList<Value>& nodes) {
        first.reserve(nodes.size() + 1);
        std::size_t total = 0;
        for (const std::unique_ptr<Node<Value>>& node : nodes) {
            first.push_back(total);
            total += node->intervals.size();
        }
        first.push_back(total);
        vars.assign(total, 0);
    }
    std::span<Lit> of(const std::uint32_t index) { return {vars.data() + first[index], first[index + 1] - first[index]}; }
};

template <class Value>
void encode_leaf(const Node<Value>& leaf, const Value cap, VariableManager& vars, ClauseSink& cnf,
                 const std::span<Lit> own) {
    const std::vector<std::size_t> order = terms_by_weight(leaf, cap);
    for (std::size_t i = 0; i < leaf.intervals.size(); ++i) {
        const Value lo = leaf.intervals[i].lo;
        if (lo == 0) continue;
        const auto [first, last] = terms_of_value(leaf, order, lo, cap);
        if (last - first == 1) {
            own[i] = leaf.terms[order[first]].lit;
            continue;
        }
        const Lit v = vars.fresh();
        own[i] = v;
        for (std::size_t k = first; k != last; ++k) cnf.add_clause({-leaf.terms[order[k]].lit, v});
    }
}

// The last interval at or after `at` that starts at or below x, given that
// the one at `at` does; the sweeps below mostly move by a few intervals, so
// a few steps come before the galloping search.
template <class Value>
std::size_t advance(const std::vector<Interval<Value>>& intervals, std::size_t at, const Value x) {
    const std::size_t size = intervals.size();
    for (int step = 0; step < 4; ++step) {
        if (at + 1 == size || intervals[at + 1].lo > x) return at;
        ++at;
    }
    return last_starting_at_or_below(intervals, at, x);
}

// A range of sums gets a clause when its interval has a variable: at the
// root only the overflow has one, elsewhere every interval but the first.
// A range passing its interval's upper end (which the cut of the intervals
// rules out) gets none. For one left interval the lowest sums ascend with
// the right interval, so the node's interval is found by a forward sweep,
// which starts at the first right interval whose sums leave the node's
// first interval (that start only moves down as the left interval grows).
template <class Value>
void encode_internal_node(const Node<Value>& node, const Value cap, VariableManager& vars, ClauseSink& cnf,
                          IntervalVars& all) {
    const std::vector<Interval<Value>>& own_intervals = node.intervals;
    const std::span<Lit> own = all.of(node.index);
    for (std::size_t i = 0; i < own_intervals.size(); ++i) {
        const Value lo = own_intervals[i].lo;
        if (lo != 0 && (!node.is_root || lo >= cap)) own[i] = vars.fresh();
    }

    for (const Node<Value>* const child : {node.left, node.right}) {
        const std::span<const Lit> child_vars = all.of(child->index);
        std::size_t at = 0;
        for (std::size_t i = 0; i < child->intervals.size(); ++i) {
            const Lit a = child_vars[i];
            if (a == 0) continue;
            const Interval<Value>& iv = child->intervals[i];
            at = advance(own_intervals, at, iv.lo);
            if (own_intervals[at].hi < iv.hi) continue;
            if (const Lit c = own[at]; c != 0) cnf.add_clause({-a, c});
        }
    }

    const std::vector<Interval<Value>>& left = node.left->intervals;
    const std::vector<Interval<Value>>& right = node.right->intervals;
    const std::span<const Lit> left_vars = all.of(node.left->index);
    const std::span<const Lit> right_vars = all.of(node.right->index);
    // At the root the values below the cap all lie in the first interval.
    const Value silent = own_intervals.front().hi;
    std::size_t first_loud = right.size();
    for (std::size_t i = 0; i < left.size(); ++i) {
        const Lit a = left_vars[i];
        if (a == 0) continue;
        const Value left_lo = left[i].lo;
        const Value left_hi = left[i].hi;
        while (first_loud > 0 && saturating_sum(left_lo, right[first_loud - 1].lo, cap) > silent) --first_loud;
        std::size_t at = 0;
        for (std::size_t j = first_loud; j < right.size(); ++j) {
            const Lit b = right_vars[j];
            if (b == 0) continue;
            at = advance(own_intervals, at, saturating_sum(right[j].lo, left_lo, cap));
            if (own_intervals[at].hi < saturating_sum(right[j].hi, left_hi, cap)) continue;
            if (const Lit c = own[at]; c != 0) cnf.add_clause({-a, -b, c});
        }
    }
}

// Post-order (left subtree, right subtree, node) on an explicit stack.
template <class Value>
void encode_internal(const Node<Value>* root, const Value cap, VariableManager& vars, ClauseSink& cnf,
                     IntervalVars& all) {
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
            encode_leaf(*visit.node, cap, vars, cnf, all.of(visit.node->index));
        } else if (visit.children_done) {
            encode_internal_node(*visit.node, cap, vars, cnf, all);
        } else {
            pending.push_back({visit.node, true});
            pending.push_back({visit.node->right, false});
            pending.push_back({visit.node->left, false});
        }
    }
}

GroupTerms make_group_terms(const GroupedLeqConstraint& constraint, const std::vector<Weight>& weights) {
    GroupTerms groups;
    groups.reserve(constraint.groups.size());
    std::size_t at = 0;
    for (const std::vector<Lit>& group : constraint.groups) {
        std::vector<TermRef>& terms = groups.emplace_back();
        terms.reserve(group.size());
        for (const Lit lit : group) terms.push_back({lit, weights[at++]});
    }
    return groups;
}

// Whether one weight per group can exceed the bound: without that, every
// interval would merge into the root's first one and every weight would be
// lowered to 0, so the encoding is empty and needs no tree. The sum is
// exact in 128 bits.
bool can_exceed(const GroupTerms& groups, const Weight bound) {
    Wide sum = 0;
    for (const std::vector<TermRef>& terms : groups) {
        Weight largest = 0;
        for (const TermRef& term : terms) largest = std::max(largest, term.weight);
        sum += largest;
        if (sum > bound) return true;
    }
    return false;
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

struct Size {
    std::uint64_t variables = 0;
    std::uint64_t clauses = 0;
    std::uint64_t literals = 0;
};

// The exact size of what encode_internal and the root's unit clause write
// for the final tree: what measuring reports without writing, and the
// reservation when writing.
template <class Value>
Size encoding_size(const NodeList<Value>& nodes, const Node<Value>& root, const Value cap) {
    Size size;
    for (const std::unique_ptr<Node<Value>>& node : nodes) {
        if (node->is_leaf) {
            // A value with one term reuses its literal; one with k > 1 terms
            // gets a variable and k binary clauses.
            const std::vector<std::size_t> order = terms_by_weight(*node, cap);
            for (const Interval<Value>& iv : node->intervals) {
                if (iv.lo == 0) continue;
                const auto [first, last] = terms_of_value(*node, order, iv.lo, cap);
                if (last - first == 1) continue;
                size.variables += 1;
                size.clauses += last - first;
                size.literals += 2 * (last - first);
            }
            continue;
        }
        const ClauseCount count = node_clause_count(*node, cap);
        size.clauses += count.clauses;
        size.literals += count.literals;
        for (const Interval<Value>& iv : node->intervals)
            if (iv.lo != 0 && (!node->is_root || iv.lo >= cap)) ++size.variables;
    }
    for (const Interval<Value>& iv : root.intervals)
        if (iv.lo == cap) {
            size.clauses += 1;  // the overflow is forbidden
            size.literals += 1;
        }
    return size;
}

// The value-set arithmetic one encode may do: as many steps as the budget
// has literals, and at least 2^30 (about a second).
std::uint64_t shaping_work_limit(const std::uint64_t max_literals) {
    return std::max(max_literals, kMinShapingWork);
}

template <class Value>
void encode_reduced(const GroupedLeqConstraint& constraint, Encoding& encoding) {
    GroupTerms groups = make_group_terms(constraint, encoding.group_weights);
    if (!can_exceed(groups, constraint.bound)) return;
    const Value cap = Value{constraint.bound} + 1;

    // The last pass changed nothing, so its tree is the final tree.
    NodeList<Value> nodes;
    Node<Value>* root = nullptr;
    WorkMeter work;
    work.limit = shaping_work_limit(encoding.sink.max_literals());
    do {
        nodes.clear();
        root = build_min_ratio_tree(groups, nodes, cap, &encoding.sink, 8, &work);
        if (root == nullptr) return;
        initialize_root_intervals(*root, cap);
        make_child_intervals(root, cap, &encoding.sink);
    } while (lower_weights_to_leaf_intervals(nodes, groups, cap));

    ClauseSink& cnf = encoding.sink;
    if (root->is_leaf) {
        for (const TermRef& term : root->terms)
            if (term.weight > constraint.bound) cnf.add_clause({-term.lit});
        return;
    }
    // Checked only on the final tree: an earlier pass's tree can be larger
    // than the reduced one.
    const Size size = encoding_size(nodes, *root, cap);
    cnf.require_room(size.literals);
    if (cnf.counting_only()) {
        cnf.count(size.clauses, size.literals);
        encoding.vars.fresh_block(size.variables);
        return;
    }
    cnf.reserve(size.clauses, size.literals);
    IntervalVars all(nodes);
    encode_internal(static_cast<const Node<Value>*>(root), cap, encoding.vars, cnf, all);
    const std::span<const Lit> root_vars = all.of(root->index);
    for (std::size_t i = 0; i < root->intervals.size(); ++i)
        if (root->intervals[i].lo == cap && root_vars[i] != 0) cnf.add_clause({-root_vars[i]});
}

}  // namespace

void RggtEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    if (constraint.bound == std::numeric_limits<Weight>::max())
        encode_reduced<Wide>(constraint, encoding);
    else
        encode_reduced<std::uint64_t>(constraint, encoding);
}

}  // namespace quillet