// At-most-one detection: a conflict graph over literals whose cliques are the
// constraints that state an AMO relation (sum of literals <= 1, and binary
// clauses, whose two negated literals exclude each other), and a greedy clique
// cover of a constraint's literals, largest clique first. The graph also holds
// the problem's binary implication graph (implications.hpp), through which
// rows.cpp finds the exclusions that no single constraint states.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/opb.hpp"
#include "pipeline/implications.hpp"

namespace quillet::pipeline {

class ConflictGraph {
public:
    ConflictGraph() = default;
    // Takes the AMO rows and the binary clauses of the problem.
    explicit ConflictGraph(const opb::Problem& problem);

    std::size_t num_cliques() const { return clique_begin_.empty() ? 0 : clique_begin_.size() - 1; }
    // True when both literals are in one stated clique.
    bool adjacent(Lit a, Lit b) const;

    // Groups covering `terms` (whose variables are distinct): cliques of the
    // graph restricted to the literals, taken largest first and greedily
    // extended by literals adjacent to all members, then the uncovered
    // literals one per group. Deterministic; safe to call from several threads.
    std::vector<std::vector<Lit>> cover(std::span<const WeightedLiteral> terms) const;

    const ImplicationGraph& implications() const { return implications_; }

private:
    static std::size_t index(Lit lit) { return lit > 0 ? 2 * static_cast<std::size_t>(lit) : 2 * static_cast<std::size_t>(-lit) + 1; }
    std::span<const std::uint32_t> cliques_of(Lit lit) const {
        const std::size_t i = index(lit);
        if (i + 1 >= lit_begin_.size()) return {};
        return {lit_cliques_.data() + lit_begin_[i], lit_begin_[i + 1] - lit_begin_[i]};
    }
    std::span<const Lit> clique(std::uint32_t c) const {
        return {clique_lits_.data() + clique_begin_[c], clique_begin_[c + 1] - clique_begin_[c]};
    }
    bool in_clique(std::uint32_t c, Lit lit) const;

    std::vector<Lit> clique_lits_;             // each clique's literals, sorted
    std::vector<std::uint64_t> clique_begin_;  // clique c is [begin[c], begin[c+1])
    std::vector<std::uint64_t> lit_begin_;     // per literal index: its cliques in lit_cliques_
    std::vector<std::uint32_t> lit_cliques_;
    ImplicationGraph implications_;
};

}  // namespace quillet::pipeline
