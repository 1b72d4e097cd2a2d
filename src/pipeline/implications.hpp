// The binary implication graph of a problem: an arc a -> b for every binary
// clause (~a v b), and a clique node for every at-most-one row, through which
// each member implies the negation of every other member. A literal reached
// from `a` by arcs and clique nodes is implied by `a` in every model of the
// problem, so `a` and the negation of anything it reaches are mutually
// exclusive: that is what finds AMO groups that no single clause states
// (chains x1 -> x2 -> x3 of an order encoding make x1 and ~x3 exclusive).
//
// Size: two arcs per binary clause and one entry per literal of an AMO row,
// so memory is linear in the problem. A search scans at most the budget it is
// given (arcs and clique members counted alike), whatever the graph.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/opb.hpp"

namespace quillet::pipeline {

// The marks of one search after another on one thread: open-addressing sets
// of the literals reached and of the clique nodes entered, sized for the
// search's budget and cleared in time proportional to what was marked.
class SearchScratch {
public:
    std::vector<Lit> queue;  // the literals reached, in breadth-first order

private:
    friend class ImplicationGraph;
    std::vector<Lit> lit_slots_;           // 0 = empty
    std::vector<std::uint32_t> used_lit_slots_;
    std::vector<std::uint32_t> clique_slots_;  // clique + 1, 0 = empty
    std::vector<Lit> clique_entry_;        // per clique slot: the member it was entered by, 0 once all are out
    std::vector<std::uint32_t> used_clique_slots_;
};

class ImplicationGraph {
public:
    ImplicationGraph() = default;
    explicit ImplicationGraph(const opb::Problem& problem);

    bool empty() const { return arcs_.empty() && clique_lits_.empty(); }
    // True when the literal implies anything directly.
    bool has_arcs(Lit lit) const;

    // The literals implied by `from` (not `from` itself), breadth first, into
    // scratch.queue, scanning at most `budget` arcs and clique members.
    // Returns the work done (at most budget).
    std::uint64_t reach(Lit from, std::uint64_t budget, SearchScratch& scratch) const;

private:
    static std::size_t index(Lit lit) {
        return lit > 0 ? 2 * static_cast<std::size_t>(lit) : 2 * static_cast<std::size_t>(-lit) + 1;
    }
    std::span<const Lit> arcs_of(Lit lit) const;
    std::span<const std::uint32_t> cliques_of(Lit lit) const;
    std::span<const Lit> clique(std::uint32_t c) const {
        return {clique_lits_.data() + clique_begin_[c], clique_begin_[c + 1] - clique_begin_[c]};
    }

    // arcs_of(lit) is arcs_[arc_begin_[index(lit)] .. arc_begin_[index(lit) + 1])
    std::vector<std::uint64_t> arc_begin_;
    std::vector<Lit> arcs_;
    std::vector<Lit> clique_lits_;             // the AMO rows of three or more literals
    std::vector<std::uint64_t> clique_begin_;
    std::vector<std::uint64_t> lit_clique_begin_;  // per literal index: its cliques in lit_cliques_
    std::vector<std::uint32_t> lit_cliques_;
};

}  // namespace quillet::pipeline
