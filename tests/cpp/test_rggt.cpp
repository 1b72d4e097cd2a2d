// Tests of the rggt encoder: the tree shaping and the intervals against the
// rules written out directly, and the encoder's limits.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "core/encoding.hpp"
#include "encoders/rggt/set_sizes.hpp"
#include "encoders/rggt/tree.hpp"
#include "helpers.hpp"

using namespace quillet;
using namespace quillet::rggt;
using namespace quillet_test;

namespace {

using U64 = std::uint64_t;

GroupTerms weights_to_groups(const std::vector<std::vector<Weight>>& weights) {
    GroupTerms groups;
    Lit lit = 1;
    for (const auto& group : weights) {
        auto& terms = groups.emplace_back();
        for (const Weight w : group) terms.push_back({lit++, w});
    }
    return groups;
}

template <class Value>
std::vector<Value> naive_combine(const std::vector<Value>& a, const std::vector<Value>& b, const Value cap) {
    std::set<Value> out;
    for (const Value x : a)
        for (const Value y : b) out.insert(x + y >= cap ? cap : x + y);  // no wrap for the values used here
    return {out.begin(), out.end()};
}

// The tree shaping rule written out directly: every merge step examines all
// pairs of the active list and keeps the first pair of smallest ratio, then
// smallest combined size.
struct RefNode {
    std::vector<U64> vals;
    int left = -1;
    int right = -1;
};

std::vector<RefNode> reference_tree(const GroupTerms& groups, const U64 cap) {
    std::vector<RefNode> nodes;
    std::vector<int> active;
    for (const auto& group : groups) {
        std::set<U64> vals{0};
        for (const TermRef& t : group) vals.insert(std::min<U64>(t.weight, cap));
        nodes.push_back({{vals.begin(), vals.end()}});
        active.push_back(static_cast<int>(nodes.size()) - 1);
    }
    while (active.size() > 1) {
        std::size_t bi = 0, bj = 1;
        U64 bc = 0, bp = 0;
        for (std::size_t i = 0; i < active.size(); ++i)
            for (std::size_t j = i + 1; j < active.size(); ++j) {
                const auto& a = nodes[active[i]].vals;
                const auto& b = nodes[active[j]].vals;
                const U64 c = naive_combine(a, b, cap).size();
                const U64 p = b.size() * a.size();
                const bool first = i == 0 && j == 1;
                if (first || Wide{c} * bp < Wide{p} * bc || (Wide{c} * bp == Wide{p} * bc && c < bc)) {
                    bi = i, bj = j, bc = c, bp = p;
                }
            }
        const int l = active[bi], r = active[bj];
        nodes.push_back({naive_combine(nodes[l].vals, nodes[r].vals, cap), l, r});
        active.erase(active.begin() + static_cast<std::ptrdiff_t>(bj));
        active.erase(active.begin() + static_cast<std::ptrdiff_t>(bi));
        active.push_back(static_cast<int>(nodes.size()) - 1);
    }
    return nodes;
}

// Child intervals by the plain rule: start from singletons and merge the
// first mergeable adjacent pair, rescanning from the start after each merge.
std::vector<Interval<U64>> reference_child_intervals(const std::vector<Interval<U64>>& parent,
                                                     const std::vector<U64>& child, const std::vector<U64>& sibling,
                                                     const U64 cap) {
    const auto where = [&](const U64 x) {
        for (std::size_t k = 0; k < parent.size(); ++k)
            if (parent[k].lo <= x && x <= parent[k].hi) return k;
        ADD_FAILURE() << "no parent interval holds " << x;
        return parent.size();
    };
    std::vector<Interval<U64>> out;
    for (const U64 v : child) out.push_back({v, v});
    for (std::size_t k = 1; k < out.size();) {
        bool same = true;
        for (const U64 s : sibling)
            same = same && where(std::min(out[k - 1].hi + s, cap)) == where(std::min(out[k].lo + s, cap));
        if (!same) {
            ++k;
            continue;
        }
        out[k - 1].hi = out[k].hi;
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(k));
        k = 1;
    }
    return out;
}

std::vector<std::pair<U64, U64>> spans(const std::vector<Interval<U64>>& intervals) {
    std::vector<std::pair<U64, U64>> out;
    for (const auto& iv : intervals) out.emplace_back(iv.lo, iv.hi);
    return out;
}

using Spans = std::vector<std::pair<U64, U64>>;

// Leaves with the given value sets (weights are the non-zero values). One
// ranked pair per class makes the pair search rescan rows as often as it can.
NodeList<U64> build(const std::vector<std::vector<Weight>>& leaf_weights, const U64 cap, Node<U64>*& root,
                    const std::size_t row_entries = 8) {
    NodeList<U64> nodes;
    root = build_min_ratio_tree(weights_to_groups(leaf_weights), nodes, cap, nullptr, row_entries);
    return nodes;
}

TEST(Rggt, TreeTieBrokenBySmallerCombinedSet) {
    Node<U64>* root = nullptr;
    const auto nodes = build({{3}, {1, 2}, {4}}, 6, root);
    ASSERT_EQ(nodes.size(), 5u);
    EXPECT_EQ(nodes[3]->left, nodes[0].get());
    EXPECT_EQ(nodes[3]->right, nodes[2].get());
    EXPECT_EQ(nodes[3]->vals, (std::vector<U64>{0, 3, 4, 6}));
    EXPECT_EQ(root, nodes[4].get());
    EXPECT_EQ(root->left, nodes[1].get());
    EXPECT_EQ(root->right, nodes[3].get());
    EXPECT_TRUE(root->is_root);
}

TEST(Rggt, TreeFullTieMergesTheFirstPair) {
    Node<U64>* root = nullptr;
    const auto nodes = build({{3}, {2}, {4}}, 6, root);
    EXPECT_EQ(nodes[3]->left, nodes[0].get());
    EXPECT_EQ(nodes[3]->right, nodes[1].get());
    EXPECT_EQ(root->left, nodes[2].get());
    EXPECT_EQ(root->right, nodes[3].get());
}

TEST(Rggt, TreeLeafValuesAndSaturation) {
    Node<U64>* root = nullptr;
    auto nodes = build({{9, 5, 5, 7}}, 6, root);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_TRUE(root->is_leaf && root->is_root);
    EXPECT_EQ(root->vals, (std::vector<U64>{0, 5, 6}));
    nodes = build({{5}, {4}}, 6, root);
    EXPECT_EQ(root->vals, (std::vector<U64>{0, 4, 5, 6}));
    NodeList<U64> empty;
    EXPECT_EQ(build_min_ratio_tree(GroupTerms{}, empty, U64{6}), nullptr);
    EXPECT_TRUE(empty.empty());
}

TEST(Rggt, RootIntervals) {
    const std::vector<std::pair<std::vector<U64>, Spans>> cases = {
        {{0, 2, 3, 4, 5, 6}, {{0, 5}, {6, 6}}}, {{0, 2, 3}, {{0, 3}}}, {{0}, {{0, 0}}}};
    for (const auto& [vals, expected] : cases) {
        Node<U64> root;
        root.vals = vals;
        initialize_root_intervals(root, U64{6});
        EXPECT_EQ(spans(root.intervals), expected);
    }
}

TEST(Rggt, ChildIntervalsMergeWhatTheParentCannotTellApart) {
    struct Case {
        std::vector<U64> child, sibling;
        Spans expected;
    };
    const std::vector<Case> cases = {
        {{0, 2, 3, 5}, {0, 4}, {{0, 0}, {2, 5}}},
        {{0, 4}, {0, 2, 3, 5}, {{0, 0}, {4, 4}}},
        {{0, 1, 2}, {0, 3, 4, 6}, {{0, 1}, {2, 2}}},
    };
    Node<U64> parent;
    parent.intervals = {{0, 5}, {6, 6}};
    for (const Case& c : cases) {
        Node<U64> child, sibling;
        child.vals = c.child;
        sibling.vals = c.sibling;
        merge_adjacent_child_intervals(parent, child, sibling, U64{6});
        EXPECT_EQ(spans(child.intervals), c.expected);
    }
}

TEST(Rggt, ChildIntervalLookupOutsideTheParentThrows) {
    Node<U64> parent, child, sibling;
    parent.intervals = {{0, 2}, {3, 3}};
    child.vals = {0, 1};
    sibling.vals = {0, 5};
    EXPECT_EQ(message_of([&] { merge_adjacent_child_intervals(parent, child, sibling, U64{9}); }),
              "quillet: interval lookup failed");
}

TEST(Rggt, CombineMatchesTheNaiveSetOfSums) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const U64 range = 1 + rng() % (round % 2 ? 40 : 3000);
        const U64 cap = 1 + rng() % (2 * range);
        std::vector<U64> a{0}, b{0};
        for (U64 k = rng() % 60; k > 0; --k) a.push_back(std::min<U64>(rng() % range, cap));
        for (U64 k = rng() % 8; k > 0; --k) b.push_back(std::min<U64>(rng() % range, cap));
        sort_unique(a);
        sort_unique(b);
        CombineScratch<U64> scratch;
        const auto expected = naive_combine(a, b, cap);
        ASSERT_EQ(combine_vals(a, b, cap, scratch), expected) << "round " << round;
        ASSERT_EQ(combined_size(b, a, cap, scratch), expected.size()) << "round " << round;
    }
}

// The tree, its node order and every node's intervals against the rules
// written out directly, on small random instances full of ties.
TEST(Rggt, TreeAndIntervalsMatchTheDirectRules) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 1500; ++round) {
        const U64 max_weight = round % 3 == 0 ? 3 : (round % 3 == 1 ? 8 : 60);
        std::vector<std::vector<Weight>> weights(1 + rng() % 10);
        for (auto& group : weights)
            for (U64 k = 1 + rng() % 3; k > 0; --k) group.push_back(1 + rng() % max_weight);
        const U64 cap = 1 + rng() % (max_weight * 6);
        Node<U64>* root = nullptr;
        const auto nodes = build(weights, cap, root, 1 + round % 2);
        const auto expected = reference_tree(weights_to_groups(weights), cap);
        ASSERT_EQ(nodes.size(), expected.size());
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            const Node<U64>& node = *nodes[k];
            ASSERT_EQ(node.vals, expected[k].vals) << "round " << round << " node " << k;
            ASSERT_EQ(node.is_leaf, expected[k].left < 0);
            if (!node.is_leaf) {
                ASSERT_EQ(node.left->index, static_cast<std::uint32_t>(expected[k].left)) << "round " << round;
                ASSERT_EQ(node.right->index, static_cast<std::uint32_t>(expected[k].right)) << "round " << round;
            }
        }
        initialize_root_intervals(*root, cap);
        make_child_intervals(root, cap);
        for (const auto& node : nodes) {
            if (node->is_leaf) continue;
            ASSERT_EQ(spans(node->left->intervals),
                      spans(reference_child_intervals(node->intervals, node->left->vals, node->right->vals, cap)))
                << "round " << round;
            ASSERT_EQ(spans(node->right->intervals),
                      spans(reference_child_intervals(node->intervals, node->right->vals, node->left->vals, cap)))
                << "round " << round;
        }
    }
}

// Enough distinct value sets that the pair search ranks only part of each
// class's partners and has to rescan rows, against the direct rule.
TEST(Rggt, TreeOfManyClassesMatchesTheDirectRule) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        std::mt19937_64 rng(seed);
        const U64 max_weight = seed % 3 == 0 ? 6 : (seed % 3 == 1 ? 40 : 400);
        std::vector<std::vector<Weight>> weights(30 + rng() % 30);
        for (auto& group : weights)
            for (U64 k = 1 + rng() % 3; k > 0; --k) group.push_back(1 + rng() % max_weight);
        const U64 cap = 1 + max_weight + rng() % (max_weight * 8);
        Node<U64>* root = nullptr;
        const auto nodes = build(weights, cap, root, 1 + seed % 3);
        const auto expected = reference_tree(weights_to_groups(weights), cap);
        ASSERT_EQ(nodes.size(), expected.size()) << "seed " << seed;
        for (std::size_t k = weights.size(); k < nodes.size(); ++k) {
            ASSERT_EQ(nodes[k]->left->index, static_cast<std::uint32_t>(expected[k].left)) << "seed " << seed;
            ASSERT_EQ(nodes[k]->right->index, static_cast<std::uint32_t>(expected[k].right)) << "seed " << seed;
        }
    }
}

// Leaves that mostly share no value but 0 start without ranked pairs (only
// a bound from their union sizes); leaf pairs then have to win against the
// growing nodes through rescans, with a few larger and repeated sets mixed
// in. Against the direct rule.
TEST(Rggt, LeavesSharingNoValueMatchTheDirectRule) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        std::mt19937_64 rng(seed);
        const U64 max_weight = seed % 2 == 0 ? 300 : 3000;
        std::vector<std::vector<Weight>> weights(30 + rng() % 25);
        for (auto& group : weights) {
            const U64 size = rng() % 3 == 0 ? 4 : 2;
            for (U64 k = 0; k < size; ++k) group.push_back(1 + rng() % max_weight);
        }
        for (int k = 0; k < 3; ++k) weights[rng() % weights.size()] = weights[rng() % weights.size()];
        // Mostly below the largest weights, so that many sums of two leaves
        // collapse into the cap and pairs of disjoint sets compete.
        const U64 cap = max_weight / 2 + rng() % (seed % 3 == 0 ? max_weight * 3 : max_weight);
        Node<U64>* root = nullptr;
        const auto nodes = build(weights, cap, root, 1 + seed % 4);
        const auto expected = reference_tree(weights_to_groups(weights), cap);
        ASSERT_EQ(nodes.size(), expected.size()) << "seed " << seed;
        for (std::size_t k = weights.size(); k < nodes.size(); ++k) {
            ASSERT_EQ(nodes[k]->left->index, static_cast<std::uint32_t>(expected[k].left)) << "seed " << seed;
            ASSERT_EQ(nodes[k]->right->index, static_cast<std::uint32_t>(expected[k].right)) << "seed " << seed;
        }
    }
}

TEST(Rggt, LeafIntervalWithoutItsTermThrows) {
    Node<U64> leaf;
    leaf.is_leaf = true;
    leaf.terms = {{1, 3}, {2, 5}};
    const std::vector<std::size_t> order = terms_by_weight(leaf, U64{6});
    EXPECT_EQ(terms_of_value(leaf, order, U64{5}, U64{6}), (std::pair<std::size_t, std::size_t>{1, 2}));
    EXPECT_EQ(message_of([&] { terms_of_value(leaf, order, U64{2}, U64{6}); }),
              "quillet: missing linked term for leaf interval");
}

// One literal of weight 1 per group and bound 1: each new node pairs best
// with the next leaf, so the tree is a chain as deep as there are groups.
TEST(Rggt, DeepChainNeitherRecursesNorSlowsDown) {
    constexpr int kGroups = 100000;
    GroupedLeqConstraint c;
    for (int i = 1; i <= kGroups; ++i) {
        c.terms.push_back({i, 1});
        c.groups.push_back({i});
    }
    c.bound = 1;
    const EncodeResult r = encode("rggt", c, kGroups);
    EXPECT_EQ(r.num_aux_vars(), 2 * kGroups - 3);
    EXPECT_EQ(r.num_clauses(), static_cast<std::uint64_t>(5 * kGroups - 8));
    const auto clause = [&](const std::size_t k) {
        const auto span = r.cnf.clauses[k];
        return std::vector<Lit>(span.begin(), span.end());
    };
    const Lit one = kGroups + 1, two = kGroups + 2;
    EXPECT_EQ(clause(0), (std::vector<Lit>{-1, one}));
    EXPECT_EQ(clause(2), (std::vector<Lit>{-1, -2, two}));
    EXPECT_EQ(clause(r.num_clauses() - 1), (std::vector<Lit>{-r.cnf.num_vars}));
}

// Spread-out weights with the bound far below the largest sum: the value
// sets grow towards 3^groups while few intervals survive. The build must be
// refused within the budget's memory instead of exhausting the machine.
TEST(Rggt, HugeValueSetsAreRefusedAsTooLarge) {
    std::mt19937_64 rng(17);
    GroupedLeqConstraint c;
    Lit lit = 1;
    Weight total = 0;
    for (int g = 0; g < 40; ++g) {
        auto& group = c.groups.emplace_back();
        for (int k = 0; k < 3; ++k) {
            const Weight w = 1 + rng() % 1000000;
            c.terms.push_back({lit, w});
            group.push_back(lit++);
            total += w;
        }
    }
    c.bound = total / 4;
    EncodeOptions options{lit};
    options.max_literals = 100000;
    const auto encoder = make_encoder("rggt");
    const std::string too_large = "quillet: encoding too large: it would hold more than 100000 literals";
    EXPECT_EQ(message_of([&] { encoder->encode(c, options); }), too_large);
    EXPECT_EQ(message_of([&] { encoder->measure(c, options); }), too_large);
}

// Measuring counts the clauses by formula instead of writing them; it must
// agree with the written encoding exactly, and the budget check during the
// interval pass, which uses the same counts, must never refuse an encoding
// that fits.
TEST(Rggt, MeasureAndBudgetAgreeWithTheWrittenEncoding) {
    std::mt19937_64 rng(23);
    const auto encoder = make_encoder("rggt");
    for (int round = 0; round < 400; ++round) {
        const Weight max_weight = round % 4 == 0 ? 5 : (round % 4 == 1 ? 60 : 1000);
        GroupedLeqConstraint c;
        Lit lit = 1;
        Weight total = 0;
        for (int g = 1 + static_cast<int>(rng() % 12); g > 0; --g) {
            auto& group = c.groups.emplace_back();
            Weight largest = 0;
            for (U64 k = 1 + rng() % 4; k > 0; --k) {
                const Weight w = 1 + rng() % max_weight;
                c.terms.push_back({lit, w});
                group.push_back(lit++);
                largest = std::max(largest, w);
            }
            total += largest;
        }
        c.bound = round % 10 == 9 ? ~Weight{0} - rng() % 2 : rng() % (total + 1);
        c.emit_amo = round % 3 == 0;
        const EncodeResult r = encoder->encode(c, EncodeOptions{lit});
        const EncodingSize size = encoder->measure(c, EncodeOptions{lit});
        ASSERT_EQ(size.clauses, r.num_clauses()) << "round " << round;
        ASSERT_EQ(size.literals, r.cnf.clauses.num_literals()) << "round " << round;
        ASSERT_EQ(size.variables, r.num_aux_vars()) << "round " << round;
        EncodeOptions exact{lit};
        exact.max_literals = size.literals;
        ASSERT_EQ(encoder->encode(c, exact).num_clauses(), r.num_clauses()) << "round " << round;
        if (size.literals == 0) continue;
        exact.max_literals = size.literals - 1;
        ASSERT_THROW(encoder->encode(c, exact), std::length_error) << "round " << round;
    }
}

TEST(Rggt, FreshIdsPastTheLargestIdThrow) {
    const auto c = constraint({{1, 3}, {2, 3}, {3, 2}, {4, 1}, {5, 4}}, {{1, 2}, {3, 4}, {5}}, 5);
    EXPECT_EQ(encode("rggt", c, max_variable_id - 3).cnf.num_vars, max_variable_id);
    EXPECT_EQ(message_of([&] { encode("rggt", c, max_variable_id - 2); }).rfind("quillet: variable ids exhausted", 0),
              0u);
}

TEST(Rggt, WideValuesMatchTheNaiveSetOfSums) {
    const Wide cap = Wide{1} << 64;
    std::mt19937_64 rng(3);
    for (int round = 0; round < 500; ++round) {
        // Odd rounds stay small enough for the bitmap.
        const int shift = round % 2 ? 55 : 0;
        std::vector<Wide> a{0}, b{0};
        for (int k = 0; k < 40; ++k) a.push_back(Wide{rng() >> shift} | (shift ? 0 : Wide{1} << 62));
        for (int k = 0; k < 5; ++k) b.push_back(Wide{rng() >> shift});
        sort_unique(a);
        sort_unique(b);
        CombineScratch<Wide> scratch;
        EXPECT_TRUE(combine_vals(a, b, cap, scratch) == naive_combine(a, b, cap));
    }
}

}  // namespace
