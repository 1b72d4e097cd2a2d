#include "pipeline/amo_detect.hpp"

#include <algorithm>
#include <queue>
#include <stdexcept>
#include <utility>

#include "quillet/errors.hpp"

namespace quillet::pipeline {

using opb::Kind;
using opb::Problem;
using opb::Row;

ConflictGraph::ConflictGraph(const Problem& problem) : implications_(problem) {
    clique_begin_.push_back(0);
    for (const Row& row : problem.rows) {
        const auto terms = problem.row_terms(row);
        if (row.kind == Kind::amo) {
            for (const WeightedLiteral& t : terms) clique_lits_.push_back(t.lit);
        } else if (row.kind == Kind::clause && terms.size() == 2) {
            clique_lits_.push_back(-terms[0].lit);
            clique_lits_.push_back(-terms[1].lit);
        } else {
            continue;
        }
        std::sort(clique_lits_.begin() + static_cast<std::ptrdiff_t>(clique_begin_.back()), clique_lits_.end());
        clique_begin_.push_back(clique_lits_.size());
    }
    if (num_cliques() >= (std::size_t{1} << 32)) throw EncoderLimit("quillet: too many AMO constraints");
    const std::size_t n = 2 * (static_cast<std::size_t>(problem.num_vars) + 1);
    lit_begin_.assign(n + 1, 0);
    for (const Lit lit : clique_lits_) ++lit_begin_[index(lit) + 1];
    for (std::size_t i = 0; i < n; ++i) lit_begin_[i + 1] += lit_begin_[i];
    lit_cliques_.resize(clique_lits_.size());
    std::vector<std::uint64_t> fill(lit_begin_.begin(), lit_begin_.end() - 1);
    for (std::uint32_t c = 0; c < num_cliques(); ++c)
        for (const Lit lit : clique(c)) lit_cliques_[fill[index(lit)]++] = c;
}

bool ConflictGraph::in_clique(std::uint32_t c, Lit lit) const {
    const auto members = clique(c);
    return std::binary_search(members.begin(), members.end(), lit);
}

bool ConflictGraph::adjacent(Lit a, Lit b) const {
    if (a == b) return false;
    auto ca = cliques_of(a);
    auto cb = cliques_of(b);
    if (cb.size() < ca.size()) {
        std::swap(ca, cb);
        std::swap(a, b);
    }
    for (const std::uint32_t c : ca)
        if (in_clique(c, b)) return true;
    return false;
}

std::vector<std::vector<Lit>> ConflictGraph::cover(std::span<const WeightedLiteral> terms) const {
    std::vector<std::vector<Lit>> groups;
    const std::size_t n = terms.size();
    if (num_cliques() == 0 || n < 2) {
        for (const WeightedLiteral& t : terms) groups.push_back({t.lit});
        return groups;
    }
    // Position of each literal of the row, by binary search over a sorted copy.
    std::vector<std::pair<Lit, std::uint32_t>> position(n);
    for (std::size_t i = 0; i < n; ++i) position[i] = {terms[i].lit, static_cast<std::uint32_t>(i)};
    std::sort(position.begin(), position.end());
    auto find = [&](Lit lit) -> std::int64_t {
        const auto it = std::lower_bound(position.begin(), position.end(), std::pair<Lit, std::uint32_t>{lit, 0});
        return it != position.end() && it->first == lit ? static_cast<std::int64_t>(it->second) : -1;
    };
    // How many unassigned row literals each touched clique holds.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> count;  // (clique, count), sorted by clique
    for (const WeightedLiteral& t : terms)
        for (const std::uint32_t c : cliques_of(t.lit)) count.push_back({c, 1});
    if (count.empty()) {
        for (const WeightedLiteral& t : terms) groups.push_back({t.lit});
        return groups;
    }
    std::sort(count.begin(), count.end());
    {
        std::size_t out = 0;
        for (std::size_t i = 0; i < count.size();) {
            std::size_t j = i;
            std::uint32_t total = 0;
            while (j < count.size() && count[j].first == count[i].first) total += count[j++].second;
            count[out++] = {count[i].first, total};
            i = j;
        }
        count.resize(out);
    }
    auto slot = [&](std::uint32_t c) -> std::uint32_t& {
        return std::lower_bound(count.begin(), count.end(), std::pair<std::uint32_t, std::uint32_t>{c, 0})->second;
    };
    // Largest count first, then lowest clique number: a max-heap with lazy updates.
    using Entry = std::pair<std::uint32_t, std::uint32_t>;  // (count, ~clique)
    std::priority_queue<Entry> heap;
    for (const auto& [c, k] : count)
        if (k >= 2) heap.push({k, ~c});
    std::vector<std::uint8_t> assigned(n, 0);
    std::uint64_t budget = 200000 + 20 * static_cast<std::uint64_t>(n);  // bounds the extension work
    while (!heap.empty()) {
        const auto [k, not_c] = heap.top();
        heap.pop();
        const std::uint32_t c = ~not_c;
        const std::uint32_t current = slot(c);
        if (current != k) {
            if (current >= 2) heap.push({current, not_c});
            continue;
        }
        std::vector<Lit> group;
        for (const Lit lit : clique(c)) {
            const std::int64_t p = find(lit);
            if (p >= 0 && !assigned[static_cast<std::size_t>(p)]) group.push_back(lit);
        }
        // Extend by the row's unassigned neighbours of the first member that
        // are adjacent to every member.
        for (const std::uint32_t d : cliques_of(group.front())) {
            if (d == c) continue;
            for (const Lit cand : clique(d)) {
                if (budget == 0) break;
                --budget;
                const std::int64_t p = find(cand);
                if (p < 0 || assigned[static_cast<std::size_t>(p)]) continue;
                if (std::find(group.begin(), group.end(), cand) != group.end()) continue;
                bool all = true;
                for (std::size_t g = 1; g < group.size() && all; ++g) {
                    if (budget > 0) --budget;
                    all = adjacent(cand, group[g]);
                }
                if (all) group.push_back(cand);
            }
        }
        // Keep the row's order inside a group.
        std::sort(group.begin(), group.end(), [&](Lit a, Lit b) { return find(a) < find(b); });
        for (const Lit lit : group) {
            assigned[static_cast<std::size_t>(find(lit))] = 1;
            for (const std::uint32_t d : cliques_of(lit)) --slot(d);
        }
        groups.push_back(std::move(group));
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!assigned[i]) groups.push_back({terms[i].lit});
    return groups;
}

}  // namespace quillet::pipeline
