// The binary implication graph: see implications.hpp.
//
// A search is breadth first, so the shortest chains are found first and a
// budget cut keeps the nearest consequences. A clique node is entered at
// most twice per search: the first time by a member m (every other member
// is then false), the second time by another member m' (which makes m false
// too); a third entry adds nothing. Everything reached is implied, even when
// `from` turns out to be a failed literal (it reaches some x and ~x): a
// literal that is false in every model excludes every other literal.

#include "pipeline/implications.hpp"

#include <algorithm>

#include "quillet/errors.hpp"

namespace quillet::pipeline {

using opb::Kind;
using opb::Problem;
using opb::Row;

namespace {

// Fibonacci hashing into a power-of-two table.
std::size_t slot_of(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> 20) & mask;
}

std::size_t table_size(std::uint64_t entries) {
    std::size_t size = 64;
    while (size < 2 * entries + 2) size *= 2;
    return size;
}

}  // namespace

ImplicationGraph::ImplicationGraph(const Problem& problem) {
    const std::size_t n = 2 * (static_cast<std::size_t>(problem.num_vars) + 1);
    // Each binary relation as a pair (a, b) meaning a -> b, both directions.
    std::vector<std::pair<Lit, Lit>> pairs;
    clique_begin_.push_back(0);
    for (const Row& row : problem.rows) {
        const auto terms = problem.row_terms(row);
        if (row.kind == Kind::clause && terms.size() == 2) {
            pairs.push_back({-terms[0].lit, terms[1].lit});
            pairs.push_back({-terms[1].lit, terms[0].lit});
        } else if (row.kind == Kind::amo && terms.size() == 2) {
            pairs.push_back({terms[0].lit, -terms[1].lit});
            pairs.push_back({terms[1].lit, -terms[0].lit});
        } else if (row.kind == Kind::amo && terms.size() > 2) {
            for (const WeightedLiteral& t : terms) clique_lits_.push_back(t.lit);
            clique_begin_.push_back(clique_lits_.size());
        }
    }
    if (clique_begin_.size() > (std::size_t{1} << 32) - 1) throw EncoderLimit("quillet: too many AMO constraints");
    std::sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) {
        return index(x.first) != index(y.first) ? index(x.first) < index(y.first) : x.second < y.second;
    });
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    arc_begin_.assign(n + 1, 0);
    for (const auto& [a, b] : pairs) ++arc_begin_[index(a) + 1];
    for (std::size_t i = 0; i < n; ++i) arc_begin_[i + 1] += arc_begin_[i];
    arcs_.reserve(pairs.size());
    for (const auto& [a, b] : pairs) arcs_.push_back(b);
    lit_clique_begin_.assign(n + 1, 0);
    for (const Lit lit : clique_lits_) ++lit_clique_begin_[index(lit) + 1];
    for (std::size_t i = 0; i < n; ++i) lit_clique_begin_[i + 1] += lit_clique_begin_[i];
    lit_cliques_.resize(clique_lits_.size());
    std::vector<std::uint64_t> fill(lit_clique_begin_.begin(), lit_clique_begin_.end() - 1);
    for (std::uint32_t c = 0; c + 1 < clique_begin_.size(); ++c)
        for (const Lit lit : clique(c)) lit_cliques_[fill[index(lit)]++] = c;
}

std::span<const Lit> ImplicationGraph::arcs_of(const Lit lit) const {
    const std::size_t i = index(lit);
    if (i + 1 >= arc_begin_.size()) return {};
    return {arcs_.data() + arc_begin_[i], arc_begin_[i + 1] - arc_begin_[i]};
}

std::span<const std::uint32_t> ImplicationGraph::cliques_of(const Lit lit) const {
    const std::size_t i = index(lit);
    if (i + 1 >= lit_clique_begin_.size()) return {};
    return {lit_cliques_.data() + lit_clique_begin_[i], lit_clique_begin_[i + 1] - lit_clique_begin_[i]};
}

bool ImplicationGraph::has_arcs(const Lit lit) const { return !arcs_of(lit).empty() || !cliques_of(lit).empty(); }

std::uint64_t ImplicationGraph::reach(const Lit from, const std::uint64_t budget, SearchScratch& s) const {
    s.queue.clear();
    // Every literal marked was scanned, so the budget bounds the marks; so
    // does the number of literals.
    const std::size_t size = table_size(std::min<std::uint64_t>(budget, arc_begin_.size()) + 1);
    if (s.lit_slots_.size() < size) s.lit_slots_.assign(size, 0);
    const std::size_t mask = size - 1;
    if (s.clique_slots_.size() < size) {
        s.clique_slots_.assign(size, 0);
        s.clique_entry_.assign(size, 0);
    }
    auto mark = [&](const Lit lit) {
        for (std::size_t h = slot_of(static_cast<std::uint32_t>(lit), mask);; h = (h + 1) & mask) {
            if (s.lit_slots_[h] == lit) return false;
            if (s.lit_slots_[h] == 0) {
                s.lit_slots_[h] = lit;
                s.used_lit_slots_.push_back(static_cast<std::uint32_t>(h));
                return true;
            }
        }
    };
    // The slot of a clique node in this search.
    auto clique_slot = [&](const std::uint32_t c) -> std::size_t {
        for (std::size_t h = slot_of(c + 1ull, mask);; h = (h + 1) & mask) {
            if (s.clique_slots_[h] == c + 1 || s.clique_slots_[h] == 0) return h;
        }
    };
    std::uint64_t work = 0;
    mark(from);
    std::vector<Lit>& queue = s.queue;
    queue.push_back(from);
    auto add = [&](const Lit lit) {
        if (mark(lit)) queue.push_back(lit);
    };
    for (std::size_t head = 0; head < queue.size() && work < budget; ++head) {
        const Lit x = queue[head];
        for (const Lit y : arcs_of(x)) {
            if (work == budget) break;
            ++work;
            add(y);
        }
        for (const std::uint32_t c : cliques_of(x)) {
            if (work == budget) break;
            ++work;
            const std::size_t h = clique_slot(c);
            if (s.clique_slots_[h] == 0) {
                s.clique_slots_[h] = c + 1;
                s.used_clique_slots_.push_back(static_cast<std::uint32_t>(h));
                s.clique_entry_[h] = x;
                for (const Lit m : clique(c)) {
                    if (work == budget) break;
                    ++work;
                    if (m != x) add(-m);
                }
            } else if (s.clique_entry_[h] != 0 && s.clique_entry_[h] != x) {
                add(-s.clique_entry_[h]);
                s.clique_entry_[h] = 0;
            }
        }
    }
    // Clear what this search marked.
    for (const std::uint32_t h : s.used_lit_slots_) s.lit_slots_[h] = 0;
    s.used_lit_slots_.clear();
    for (const std::uint32_t h : s.used_clique_slots_) s.clique_slots_[h] = 0;
    s.used_clique_slots_.clear();
    queue.erase(queue.begin());
    return work;
}

}  // namespace quillet::pipeline
