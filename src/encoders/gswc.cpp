// GSWC encoder: a generalised sequential weight counter, a chain of unary
// registers with one register per AMO group except the last.
//
// With K the bound, register r holds K counter variables S(r, 1..K), and
// S(r, j) is forced true whenever the true literals of groups 0..r weigh at
// least j. Register r keeps what register r-1 reached (carry clauses) and
// adds the weight w of the one literal x of group r that may be true: x
// alone reaches 1..w (set clauses), x on top of j reaches j+w (add clauses),
// and x on top of K+1-w would pass the bound, which is forbidden outright
// (overflow clause). A literal heavier than K is simply false. Because at
// most one literal per group is true, adding the literals of a group one at
// a time to the same register never sums two of them, so every violating
// assignment forces a chain of counters into an overflow clause, and a
// satisfying one forces only counters whose index its partial sums reach.
//
// The counters are numbered S(r, j) = top_id + r*K + j and computed on the
// fly rather than stored. Size: (n-1)*K variables for n groups, and about
// (n-2)*K carry clauses plus at most K+1 clauses per literal. Weights and the
// bound are compared in full 64-bit arithmetic; a bound of 2^31 or more with
// two or more groups cannot be numbered in 32-bit ids and is refused before
// anything is allocated.

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "encoders/encoders.hpp"
#include "core/encoding.hpp"

namespace quillet {

namespace {

// (n-1)*K, saturated at the largest 64-bit count: any value that large is far
// past the 32-bit id space, so the allocator refuses it all the same.
std::uint64_t counter_count(const std::size_t num_groups, const Weight k) {
    const unsigned __int128 count = static_cast<unsigned __int128>(num_groups - 1) * k;
    constexpr auto saturated = std::numeric_limits<std::uint64_t>::max();
    return count > saturated ? saturated : static_cast<std::uint64_t>(count);
}

struct ClauseBudget {
    std::uint64_t clauses = 0;
    std::uint64_t literals = 0;
    void add(const std::uint64_t count, const std::uint64_t width) {
        clauses += count;
        literals += count * width;
    }
};

// Walks the groups exactly like the emission below, counting instead of
// writing, so the clause list is sized once.
ClauseBudget count_clauses(const std::vector<std::vector<Lit>>& groups, const std::vector<Weight>& weights,
                           const Weight k) {
    ClauseBudget budget;
    const std::size_t n = groups.size();
    std::size_t next_weight = 0;
    for (std::size_t e = 0; e < n; ++e) {
        const bool has_cur = e + 1 < n && k > 0;
        const bool has_prev = e >= 1 && k > 0;
        if (has_cur && e >= 1) budget.add(k, 2);
        for (std::size_t i = 0; i < groups[e].size(); ++i) {
            const Weight w = weights[next_weight++];
            if (w > k) {
                budget.add(1, 1);
                continue;
            }
            if (has_cur) budget.add(w, 2);
            if (has_prev && has_cur) budget.add(k - w, 3);
            if (has_prev) budget.add(1, 2);
        }
    }
    return budget;
}

// The registers of group e-1 and e, by their first ids: S(e-1, j) =
// prev + j - 1 and S(e, j) = cur + j - 1. A missing register is marked by its
// flag and its id is never read. Loops count from 0 so that no index passes
// K, which may be as large as 2^31 - 1.
struct Registers {
    bool has_prev = false;
    bool has_cur = false;
    Lit prev = 0;
    Lit cur = 0;
};

// Writes the clauses of one group: the carries into its register, then per
// literal either the unit clause or its set, add and overflow clauses.
void add_group_clauses(const std::span<const Lit> group, const std::span<const Weight> weights,
                       const Weight bound, const Lit k, const Registers& reg, ClauseSink& cnf) {
    if (reg.has_prev && reg.has_cur)
        for (Lit j = 0; j < k; ++j) cnf.add_clause({-(reg.prev + j), reg.cur + j});
    for (std::size_t i = 0; i < group.size(); ++i) {
        const Lit x = group[i];
        if (weights[i] > bound) {
            cnf.add_clause({-x});
            continue;
        }
        // At most the bound, so it fits 32 bits whenever a register exists
        // and is not used otherwise.
        const Lit w = static_cast<Lit>(weights[i]);
        if (reg.has_cur)
            for (Lit j = 0; j < w; ++j) cnf.add_clause({-x, reg.cur + j});
        if (reg.has_prev && reg.has_cur)
            for (Lit j = 0; j < k - w; ++j) cnf.add_clause({-(reg.prev + j), -x, reg.cur + j + w});
        if (reg.has_prev) cnf.add_clause({-(reg.prev + (k - w)), -x});
    }
}

}  // namespace

void GswcEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    const std::vector<std::vector<Lit>>& groups = constraint.groups;
    const std::size_t n = groups.size();
    if (n == 0) return;

    const Weight bound = constraint.bound;
    const bool has_registers = n >= 2 && bound > 0;
    // Claims every counter id up front; too many throws before anything else
    // is built. Past this point K fits 32 bits whenever registers exist.
    const Lit first_counter = has_registers ? encoding.vars.fresh_block(counter_count(n, bound)) : 0;
    const Lit k = has_registers ? static_cast<Lit>(bound) : 0;

    const std::vector<Weight>& weights = encoding.group_weights;
    ClauseSink& cnf = encoding.sink;
    const ClauseBudget budget = count_clauses(groups, weights, bound);
    if (cnf.counting_only()) return cnf.count(budget.clauses, budget.literals);
    cnf.require_room(budget.literals);
    cnf.reserve(budget.clauses, budget.literals);

    std::size_t next_weight = 0;
    for (std::size_t e = 0; e < n; ++e) {
        const std::vector<Lit>& group = groups[e];
        const std::span<const Weight> group_weights(weights.data() + next_weight, group.size());
        next_weight += group.size();
        Registers reg;
        reg.has_cur = has_registers && e + 1 < n;
        reg.has_prev = has_registers && e >= 1;
        // Only formed where the register exists, so they stay in the block.
        if (reg.has_cur) reg.cur = first_counter + static_cast<Lit>(e) * k;
        if (reg.has_prev) reg.prev = first_counter + static_cast<Lit>(e - 1) * k;
        add_group_clauses(group, group_weights, bound, k, reg, cnf);
    }
}

}  // namespace quillet
