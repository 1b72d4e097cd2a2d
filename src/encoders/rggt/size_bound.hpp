// A lower bound on the size of RGGT's encoding, grown while the tree is
// shaped, so that a tree whose clauses surely pass the budget is refused
// long before its value sets fill the memory.
//
// Intervals are exact: two adjacent values a < b of a node share an
// interval unless the rest of the constraint tells them apart, that is
// unless some sum s of one value per group outside the node has
// a + s <= bound < b + s (a cut of the root's intervals, pushed down node by
// node). Every sum of the other active subtrees' values is such an s, so a
// cut found with them is a true cut. Two consequences give the bound:
//
// - A tree is final (the reduction passes of rggt.cpp lower nothing) when
//   every leaf's adjacent values are cut. certify() looks for a cut of each
//   with a greedy sum over the other subtrees; until it succeeds nothing is
//   counted, since a later pass could shape another tree.
// - In the final tree the intervals of a node x merged with y start at
//   least at the values where cuts are found with sums y' + s (y' a value
//   of y, s a sum of the other subtrees), and the node's first interval
//   ends at or below bound - s_max for any such sum s_max. Each pair of
//   those starts, one of x and one of y beyond the first interval, whose
//   sum passes bound - s_max gets a clause of 3 literals (see
//   node_clause_count), and each start alone beyond it a clause of 2.
//
// The clauses of different nodes are different, so the sum over the merges
// is a lower bound on the encoding's literals, never above the exact size.
// The work per counted merge is linear in the two value sets plus a binary
// search per active subtree, against the combination's product; merges of
// small sets are not counted, which only weakens the bound.
#pragma once

#include <cstdint>
#include <vector>

#include "encoders/rggt/tree.hpp"

namespace quillet::rggt {

template <class Value>
class SizeBound {
public:
    // `room` is the literals the budget leaves for the tree's clauses.
    SizeBound(Value cap, std::uint64_t room) : cap_(cap), room_(room) {}

    // Whether the bound counts: after a successful certify().
    bool certified() const { return certified_; }
    // Looks for a cut between every two adjacent values of every leaf among
    // `nodes` (the leaves first), the active subtrees being `active`.
    // Returns false, leaving the bound uncertified, when it finds none for
    // some pair or when that would take more than `work` steps.
    bool certify(const NodeList<Value>& nodes, std::size_t leaves, const std::vector<std::uint32_t>& active,
                 std::uint64_t work, WorkMeter& meter);
    // Counts the clauses of the merge of nodes x and y (removed from
    // `active`, which holds the other subtrees). Returns whether the bound
    // now passes the room.
    bool count_merge(const NodeList<Value>& nodes, std::uint32_t x, std::uint32_t y,
                     const std::vector<std::uint32_t>& active, WorkMeter& meter);
    std::uint64_t literals() const { return literals_; }

private:
    Value cap_;
    std::uint64_t room_;
    std::uint64_t literals_ = 0;
    bool certified_ = false;
};

}  // namespace quillet::rggt
