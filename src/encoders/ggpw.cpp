// GGPW encoder: a generalised polynomial watchdog that counts the sum bit by
// bit.
//
// Every weight is split into its binary digits. For each bit position b the
// encoder collects one input per AMO group: the group's literal whose weight
// has bit b, or, when several literals of the group have it, a fresh variable
// implied by each of them (only one of them can be true). A constant true
// variable carries the bits of an offset that is added to the sum so that the
// threshold bound + 1 + offset is a whole multiple of 2^p, p being the top
// bit of the largest weight. Each position counts its inputs in unary with a
// totalizer, and every second output of a position (the halved count) is
// carried into the next one. Output k of position b is then forced true
// whenever floor(V / 2^b) > k, V being bits 0..b of sum + offset, so forbidding
// output F-1 of the top position, F = (bound + 1 + offset) / 2^p, forbids
// exactly the sums above the bound.
//
// Size: a totalizer over m inputs takes O(m log m) variables and O(m^2)
// clauses; position b has at most one input per group plus the carries,
// which are half of the previous position's inputs, so at most about 2n
// inputs for n groups. Weights, the bound and the offset are unsigned 64-bit;
// the threshold is formed in 128 bits so that a threshold at 2^64 stays
// 2^64 / 2^p instead of wrapping to nothing.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "encoders/encoders.hpp"
#include "core/encoding.hpp"

namespace quillet {

namespace {

using Wide = unsigned __int128;

struct Threshold {
    unsigned top_bit = 0;  // p
    Weight offset = 0;     // below 2^p
    Wide units = 0;        // F = (bound + 1 + offset) / 2^p
};

Threshold make_threshold(const Weight largest_weight, const Weight bound) {
    Threshold t;
    t.top_bit = largest_weight == 0 ? 0 : static_cast<unsigned>(std::bit_width(largest_weight)) - 1;
    const Weight unit = Weight{1} << t.top_bit;
    // 2^p divides 2^64, so the remainder is the same with or without wrapping.
    const Weight remainder = (bound + 1) & (unit - 1);
    t.offset = remainder == 0 ? 0 : unit - remainder;
    t.units = (Wide{bound} + 1 + t.offset) >> t.top_bit;
    return t;
}

// Bucket b holds the inputs of bit position b: one per group that has a
// literal with that bit, in group order.
using Buckets = std::vector<std::vector<Lit>>;

void add_group_bits(const std::span<const Lit> group, const std::span<const Weight> weights, Buckets& buckets,
                    VariableManager& vars, ClauseSink& cnf) {
    Weight bits = 0;
    for (const Weight w : weights) bits |= w;
    while (bits != 0) {
        const int b = std::countr_zero(bits);
        bits &= bits - 1;
        const Weight mask = Weight{1} << b;
        std::size_t holders = 0;
        std::size_t only = 0;
        for (std::size_t i = 0; i < weights.size(); ++i)
            if (weights[i] & mask) {
                ++holders;
                only = i;
            }
        if (holders == 1) {
            buckets[b].push_back(group[only]);
            continue;
        }
        const Lit y = vars.fresh();
        for (std::size_t i = 0; i < weights.size(); ++i)
            if (weights[i] & mask) cnf.add_clause({-group[i], y});
        buckets[b].push_back(y);
    }
}

void add_offset_bits(const Weight offset, Buckets& buckets, VariableManager& vars, ClauseSink& cnf) {
    Lit constant = 0;
    for (Weight bits = offset; bits != 0; bits &= bits - 1) {
        if (constant == 0) {
            constant = vars.fresh();
            cnf.add_clause({constant});
        }
        buckets[std::countr_zero(bits)].push_back(constant);
    }
}

struct ClauseBudget {
    std::uint64_t clauses = 0;
    std::uint64_t literals = 0;
    std::uint64_t variables = 0;
};

// The clauses a totalizer over `inputs` leaves, from the same pairing as
// `add_totalizer` applied to list sizes only.
void count_totalizer(const std::size_t inputs, std::vector<std::uint64_t>& sizes, ClauseBudget& budget) {
    if (inputs < 2) return;
    sizes.assign(inputs, 1);
    while (sizes.size() > 1) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < sizes.size(); i += 2) {
            if (i + 1 == sizes.size()) {
                sizes[kept++] = sizes[i];
                continue;
            }
            const std::uint64_t a = sizes[i];
            const std::uint64_t b = sizes[i + 1];
            budget.clauses += a + b + a * b;
            budget.literals += 2 * (a + b) + 3 * a * b;
            budget.variables += a + b;
            sizes[kept++] = a + b;
        }
        sizes.resize(kept);
    }
}

// Reusable storage for the layers of a totalizer: the lists of one layer
// stored back to back, `ends` marking where each stops.
struct Layer {
    std::vector<Lit> lits;
    std::vector<std::size_t> ends;
    void clear() {
        lits.clear();
        ends.clear();
    }
};

// Merges A and B into fresh O(0..|A|+|B|-1), O(k) true once k+1 of A and B are.
void add_merge(const std::span<const Lit> a, const std::span<const Lit> b, Layer& next, VariableManager& vars,
               ClauseSink& cnf) {
    const Lit first = vars.fresh_block(a.size() + b.size());
    for (std::size_t i = 0; i < a.size(); ++i) cnf.add_clause({-a[i], first + static_cast<Lit>(i)});
    for (std::size_t j = 0; j < b.size(); ++j) cnf.add_clause({-b[j], first + static_cast<Lit>(j)});
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j)
            cnf.add_clause({-a[i], -b[j], first + static_cast<Lit>(i + j + 1)});
    for (std::size_t k = 0; k < a.size() + b.size(); ++k) next.lits.push_back(first + static_cast<Lit>(k));
    next.ends.push_back(next.lits.size());
}

// Counts `inputs` (two or more) in unary by merging neighbouring lists pass
// after pass; the result is left in `out`.
void add_totalizer(const std::span<const Lit> inputs, std::vector<Lit>& out, Layer& cur, Layer& next,
                   VariableManager& vars, ClauseSink& cnf) {
    cur.clear();
    cur.lits.assign(inputs.begin(), inputs.end());
    for (std::size_t i = 1; i <= inputs.size(); ++i) cur.ends.push_back(i);
    while (cur.ends.size() > 1) {
        next.clear();
        const std::span<const Lit> lits(cur.lits);
        for (std::size_t i = 0; i < cur.ends.size(); i += 2) {
            const std::size_t begin = i == 0 ? 0 : cur.ends[i - 1];
            const std::span<const Lit> a = lits.subspan(begin, cur.ends[i] - begin);
            if (i + 1 == cur.ends.size()) {
                next.lits.insert(next.lits.end(), a.begin(), a.end());
                next.ends.push_back(next.lits.size());
                continue;
            }
            const std::span<const Lit> b = lits.subspan(cur.ends[i], cur.ends[i + 1] - cur.ends[i]);
            add_merge(a, b, next, vars, cnf);
        }
        std::swap(cur, next);
    }
    out.assign(cur.lits.begin(), cur.lits.end());
}

// The inputs of position b: its bucket, then every second output of the
// position below (its halved count).
void gather_inputs(const std::vector<Lit>& bucket, const std::vector<Lit>& below, std::vector<Lit>& inputs) {
    inputs.assign(bucket.begin(), bucket.end());
    for (std::size_t k = 1; k < below.size(); k += 2) inputs.push_back(below[k]);
}

}  // namespace

void GgpwEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    ClauseSink& cnf = encoding.sink;
    VariableManager& vars = encoding.vars;
    const std::vector<std::vector<Lit>>& groups = constraint.groups;

    Weight largest = 0;
    for (const WeightedLiteral& term : constraint.terms) largest = std::max(largest, term.weight);
    const Threshold threshold = make_threshold(largest, constraint.bound);
    const std::size_t positions = threshold.top_bit + 1;

    const std::vector<Weight>& weights = encoding.group_weights;
    Buckets buckets(positions);
    std::size_t next_weight = 0;
    for (const std::vector<Lit>& group : groups) {
        add_group_bits(group, std::span<const Weight>(weights.data() + next_weight, group.size()), buckets, vars,
                       cnf);
        next_weight += group.size();
    }
    add_offset_bits(threshold.offset, buckets, vars, cnf);

    // Every position's input count is known now: size the clause list once.
    ClauseBudget budget;
    std::vector<std::uint64_t> sizes;
    std::size_t carried = 0;
    std::size_t top_inputs = 0;
    for (std::size_t b = 0; b < positions; ++b) {
        top_inputs = buckets[b].size() + carried;
        count_totalizer(top_inputs, sizes, budget);
        carried = top_inputs / 2;
    }
    const bool forbid_top = threshold.units >= 1 && threshold.units <= top_inputs;
    if (cnf.counting_only()) {
        vars.fresh_block(budget.variables);
        return cnf.count(budget.clauses + (forbid_top ? 1 : 0), budget.literals + (forbid_top ? 1 : 0));
    }
    cnf.require_room(budget.literals);
    cnf.reserve(budget.clauses + 1, budget.literals + 1);

    std::vector<Lit> below;
    std::vector<Lit> output;
    std::vector<Lit> inputs;
    Layer cur;
    Layer next;
    for (std::size_t b = 0; b < positions; ++b) {
        gather_inputs(buckets[b], below, inputs);
        if (inputs.size() < 2)
            output.assign(inputs.begin(), inputs.end());
        else
            add_totalizer(inputs, output, cur, next, vars, cnf);
        std::swap(below, output);
    }

    // `below` now holds the count of the top position.
    if (forbid_top) cnf.add_clause({-below[static_cast<std::size_t>(threshold.units - 1)]});
}

}  // namespace quillet
