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
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "encoders.hpp"
#include "encoding.hpp"
#include "rggt_tree.hpp"

namespace quillet {

using namespace rggt;

namespace {

struct EncodedNodeInfo {
    std::vector<Lit> vars;  // one per interval; 0 where the interval has no variable
};

template <class Value>
void encode_leaf(const Node<Value>& leaf, const Value cap, VariableManager& vars, ClauseSink& cnf,
                 EncodedNodeInfo& info) {
    info.vars.assign(leaf.intervals.size(), 0);
    const std::vector<std::size_t> order = terms_by_weight(leaf, cap);
    for (std::size_t i = 0; i < leaf.intervals.size(); ++i) {
        const Value lo = leaf.intervals[i].lo;
        if (lo == 0) continue;
        const auto [first, last] = terms_of_value(leaf, order, lo, cap);
        if (last - first == 1) {
            info.vars[i] = leaf.terms[order[first]].lit;
            continue;
        }
        const Lit v = vars.fresh();
        info.vars[i] = v;
        for (std::size_t k = first; k != last; ++k) cnf.add_clause({-leaf.terms[order[k]].lit, v});
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

template <class Value>
void encode_reduced(const GroupedLeqConstraint& constraint, Encoding& encoding) {
    GroupTerms groups = make_group_terms(constraint, encoding.group_weights);
    if (!can_exceed(groups, constraint.bound)) return;
    const Value cap = Value{constraint.bound} + 1;

    // The last pass changed nothing, so its tree is the final tree.
    NodeList<Value> nodes;
    Node<Value>* root = nullptr;
    do {
        nodes.clear();
        root = build_min_ratio_tree(groups, nodes, cap, &encoding.cnf());
        if (root == nullptr) return;
        initialize_root_intervals(*root, cap);
        make_child_intervals(root, cap, &encoding.cnf());
    } while (lower_weights_to_leaf_intervals(nodes, groups, cap));

    ClauseSink& cnf = encoding.cnf();
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
    std::vector<EncodedNodeInfo> memo(nodes.size());
    encode_internal(static_cast<const Node<Value>*>(root), cap, encoding.vars, cnf, memo);
    const std::vector<Lit>& root_vars = memo.at(root->index).vars;
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