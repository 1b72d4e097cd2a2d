// GMTO encoder: the generalised modulo totalizer.
//
// Every weight is written as a mixed-radix number over a radix list chosen
// from the weights (each radix is the number that divides the most working
// weights, so that as many digits as possible are 0). A balanced binary tree
// over the AMO groups then counts the sum digit by digit: a leaf reads a
// group's digits off its literals (at most one of them is true, so the
// group's digit k is the digit k of the true literal's weight), and a parent
// adds its children's digits position by position modulo the radix, passing
// the overflow of position k to position k + 1 through a carry variable; the
// top position adds without reduction. Each position keeps one indicator per
// reachable digit value, forced true when the position reaches at least that
// value (value 0 is the constant true variable). Only upward implications
// are written, so any model of the clauses has the root's indicators at or
// above the true digits of the sum, and a comparison from the most
// significant position down forbids the root from reaching bound + 1.
//
// Size: a parent costs, per position, the product of its children's value
// counts in clauses and at most radix - 1 (or the top sum) variables; the
// tree has one leaf per group that keeps a literal, and its height is the
// ceiling of log2 of their number.
//
// Radices are held in 64 bits: a radix above 2^31 (weights sharing a large
// factor) only ever shows small digits in the tree, and a digit or an id
// count that cannot fit the 32-bit range is reported before it is allocated.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "encoders/encoders.hpp"
#include "core/encoding.hpp"
#include "encoders/gmto/radix.hpp"

namespace quillet {

namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;
using gmto::Radices;
using gmto::weight_digits;
using Digit = std::int32_t;

constexpr u64 kLargestDigit = static_cast<u64>(std::numeric_limits<Digit>::max());

// ---------------------------------------------------------------------------
// The totalizer tree.

// Every radix is at least 2 and the list ends once their product passes
// 2^64 - 1, so there are at most 64 of them.
constexpr std::size_t kMaxPositions = 65;

// All nodes of the tree in flat storage, node after node in creation order.
// Position k of a node holds the values 0 .. m_k, each with an indicator
// literal that stands for "position k is at least v"; value 0 is the true
// variable. A node's indicators follow each other position by position, and
// `ends` keeps, per node and position, where that position's indicators end.
// Carries are needed only while their parent's clauses are written, so they
// are not kept.
class Tree {
public:
    explicit Tree(const std::size_t positions) : positions_(positions) {}

    std::size_t positions() const { return positions_; }
    // position(node, k)[v] is the indicator of value v at position k. The
    // span lasts until the next node is added.
    std::span<const Lit> position(const std::size_t node, const std::size_t k) const {
        const std::size_t at = node * positions_ + k;
        const std::size_t begin = at == 0 ? 0 : ends_[at - 1];
        return {indicators_.data() + begin, ends_[at] - begin};
    }
    u64 largest(const std::size_t node, const std::size_t k) const { return position(node, k).size() - 1; }

    // A node is added one position at a time: push the indicators of the
    // position, close it, and after the last position the node is complete.
    void push(const Lit lit) { indicators_.push_back(lit); }
    void close_position() { ends_.push_back(indicators_.size()); }
    std::size_t size() const { return ends_.size() / positions_; }
    void reserve(const std::size_t nodes, const std::size_t indicators) {
        ends_.reserve(nodes * positions_);
        indicators_.reserve(indicators);
    }

private:
    std::size_t positions_;
    std::vector<Lit> indicators_;
    std::vector<std::size_t> ends_;
};

// The indicator of value v in a position, 0 when the position lacks v.
Lit indicator(std::span<const Lit> position, const u64 v) { return v < position.size() ? position[v] : 0; }

// The digit vectors of the kept weights. The size check and the leaves both
// read them; on small inputs, where the divisions are a visible share of
// the cost, they are computed once into a table, while on large ones each
// reader computes a group's digits when it needs them, so that the table
// never costs more memory than the tree.
class KeptDigits {
public:
    KeptDigits(std::span<const Weight> weights, std::span<const u64> radices)
        : weights_(weights), radices_(radices), positions_(radices.size() + 1) {
        if (weights.size() * positions_ > kTableLimit) return;
        table_.resize(weights.size() * positions_);
        for (std::size_t i = 0; i < weights.size(); ++i)
            weight_digits(weights[i], radices, std::span<u64>(table_).subspan(i * positions_, positions_));
    }
    // The digit vectors of weights first .. first + count - 1, one after
    // another; `buffer` holds them when there is no table.
    std::span<const u64> of(const std::size_t first, const std::size_t count, std::vector<u64>& buffer) const {
        if (!table_.empty()) return std::span<const u64>(table_).subspan(first * positions_, count * positions_);
        buffer.resize(count * positions_);
        for (std::size_t j = 0; j < count; ++j)
            weight_digits(weights_[first + j], radices_, std::span<u64>(buffer).subspan(j * positions_, positions_));
        return buffer;
    }

private:
    static constexpr std::size_t kTableLimit = std::size_t{1} << 16;
    std::span<const Weight> weights_;
    std::span<const u64> radices_;
    std::size_t positions_;
    std::vector<u64> table_;
};

// The leaf of one kept group, from the digit vectors of its literals (one
// after another): the indicator of value v at position k is the one literal
// whose digit k reaches v, or a fresh variable implied by each of the
// literals that reach it. `reaching` is a buffer reused from leaf to leaf.
// Returns the leaf's node index.
std::size_t build_leaf(Tree& tree, std::span<const Lit> group, std::span<const u64> group_digits,
                       const Lit true_var, VariableManager& vars, ClauseSink& cnf,
                       std::vector<std::size_t>& reaching) {
    const std::size_t positions = tree.positions();
    for (std::size_t k = 0; k < positions; ++k) {
        const auto digit = [&](const std::size_t j) { return group_digits[j * positions + k]; };
        u64 largest = 0;
        for (std::size_t j = 0; j < group.size(); ++j) largest = std::max(largest, digit(j));
        if (largest > kLargestDigit)
            throw EncoderLimit("quillet: gmto digit value does not fit in a signed 32-bit integer");
        // Every parent above this leaf needs a variable for each of these values.
        vars.require_available(largest);
        tree.push(true_var);
        reaching.clear();
        for (std::size_t j = 0; j < group.size(); ++j)
            if (digit(j) > 0) reaching.push_back(j);
        for (u64 v = 1; v <= largest; ++v) {
            std::erase_if(reaching, [&](const std::size_t j) { return digit(j) < v; });
            if (reaching.size() == 1) {
                tree.push(group[reaching.front()]);
                continue;
            }
            const Lit lit = vars.fresh();
            for (const std::size_t j : reaching) cnf.add_clause({-group[j], lit});
            tree.push(lit);
        }
        tree.close_position();
    }
    return tree.size() - 1;
}

// Clause buffer: the longest tree clause has five literals.
class ClauseBuffer {
public:
    ClauseBuffer& operator<<(const Lit lit) {
        lits_[size_++] = lit;
        return *this;
    }
    void emit(ClauseSink& cnf) {
        cnf.add_clause(std::span<const Lit>(lits_.data(), size_));
        size_ = 0;
    }

private:
    std::array<Lit, 5> lits_{};
    std::size_t size_ = 0;
};

// Clauses of one position below the top: digit sums modulo r, with the carry
// out c (0 for none) and the carry in ci (0 for none).
void add_position_clauses(std::span<const Lit> a_pos, std::span<const Lit> b_pos, std::span<const Lit> p_pos,
                          const u64 r, const Lit c, const Lit ci, ClauseSink& cnf) {
    ClauseBuffer clause;
    // s is the digit sum, `prefix` the literals before the result.
    const auto sum_clauses = [&](std::span<const Lit> prefix, const u64 s) {
        if (s < r) {
            const Lit result = indicator(p_pos, s);
            if (result == 0) return;
            for (const Lit lit : prefix) clause << lit;
            clause << result;
            if (c != 0) clause << c;
            clause.emit(cnf);
            return;
        }
        for (const Lit lit : prefix) clause << lit;
        clause << c;
        clause.emit(cnf);
        if (s > r) {
            const Lit result = indicator(p_pos, s - r);
            if (result == 0) return;
            for (const Lit lit : prefix) clause << lit;
            clause << result;
            clause.emit(cnf);
        }
    };
    for (u64 a = 0; a < a_pos.size(); ++a) {
        for (u64 b = 0; b < b_pos.size(); ++b) {
            const std::array<Lit, 3> carried{-ci, -a_pos[a], -b_pos[b]};
            sum_clauses(std::span<const Lit>(carried).subspan(1), a + b);
            if (ci != 0) sum_clauses(carried, a + b + 1);
        }
    }
}

// Clauses of the top position: sums without reduction.
void add_top_clauses(std::span<const Lit> a_pos, std::span<const Lit> b_pos, std::span<const Lit> p_pos,
                     const Lit ci, ClauseSink& cnf) {
    for (u64 a = 0; a < a_pos.size(); ++a) {
        for (u64 b = 0; b < b_pos.size(); ++b) {
            cnf.add_clause({-a_pos[a], -b_pos[b], p_pos[a + b]});
            if (ci != 0) cnf.add_clause({-ci, -a_pos[a], -b_pos[b], p_pos[a + b + 1]});
        }
    }
}

std::size_t make_parent(Tree& tree, const std::size_t left, const std::size_t right, std::span<const u64> radices,
                        ClauseSink& cnf, VariableManager& vars, const Lit true_var) {
    const std::size_t n = radices.size();
    if (n + 1 > kMaxPositions) throw InternalError("quillet: gmto radix list too long");
    // Both children hold 0 .. their largest value at every position, so the
    // parent's values and carries follow from the two largest values alone.
    std::array<u64, kMaxPositions> largest{};
    std::array<bool, kMaxPositions> overflows{};
    u64 needed = 0;
    bool carry_in = false;
    for (std::size_t k = 0; k <= n; ++k) {
        const u64 sum = tree.largest(left, k) + tree.largest(right, k) + (carry_in ? 1 : 0);
        if (k == n) {
            largest[k] = sum;
        } else {
            overflows[k] = sum >= radices[k];
            largest[k] = std::min(radices[k] - 1, sum);
            carry_in = overflows[k];
            needed += overflows[k] ? 1 : 0;
        }
        needed += largest[k];
    }
    // Checked before anything is allocated; it also keeps every value below 2^31.
    vars.require_available(needed);

    // Carry out of position k, or 0 when it never overflows.
    std::array<Lit, kMaxPositions> carry{};
    for (std::size_t k = 0; k <= n; ++k) {
        if (k < n && overflows[k]) carry[k] = vars.fresh();
        tree.push(true_var);
        for (u64 v = 1; v <= largest[k]; ++v) tree.push(vars.fresh());
        tree.close_position();
    }
    const std::size_t parent = tree.size() - 1;

    for (std::size_t k = 0; k < n; ++k) {
        const Lit ci = k >= 1 ? carry[k - 1] : 0;
        add_position_clauses(tree.position(left, k), tree.position(right, k), tree.position(parent, k), radices[k],
                             carry[k], ci, cnf);
    }
    add_top_clauses(tree.position(left, n), tree.position(right, n), tree.position(parent, n),
                    n >= 1 ? carry[n - 1] : 0, cnf);
    return parent;
}

// ---------------------------------------------------------------------------
// Size of the tree before it is built.

// Pairs (a, b) with a < size_a, b < size_b and a + b < t.
u128 pairs_below(const u64 size_a, const u64 size_b, const u128 t) {
    // Row a contributes min(size_b, t - a) while a < t: size_b for the rows
    // up to t - size_b, then a falling run t - a.
    const u128 rows = std::min<u128>(size_a, t);
    const u128 full = t > size_b ? std::min<u128>(rows, t - size_b) : 0;
    const u128 run = rows - full;  // rows full .. rows - 1
    return full * size_b + run * t - (full + rows - 1) * run / 2;
}

// Literals written for the pairs of one position below the top when each
// clause starts with `prefix` literals and the sums are a + b + shift: a
// result clause (with the carry out, if any) below the radix, a carry clause
// at it, and both above it.
u128 position_literals(const u64 size_a, const u64 size_b, const u64 r, const u64 shift, const u64 prefix,
                       const bool carry_out) {
    const u128 t = r - shift;  // r >= 2 > shift
    const u128 below = pairs_below(size_a, size_b, t);
    const u128 at = pairs_below(size_a, size_b, t + 1) - below;
    const u128 above = u128{size_a} * size_b - below - at;
    return below * (prefix + 1 + (carry_out ? 1 : 0)) + at * (prefix + 1) + above * 2 * (prefix + 1);
}

// What the parents of the tree will write, at most.
struct TreeSize {
    u64 clauses = 0;
    u64 literals = 0;
};

// Replays the pairing of the tree with each node reduced to its largest
// value per position, and throws the id or size error up front when the
// parents alone need more variables or literals than can exist. The leaves
// only add to both, so nothing refused here would have fitted; and nothing
// is allocated for an encoding that is hopeless from the start.
//
// The exact literal count of a position takes a few 128-bit products, so a
// first replay counts each pair of values at its largest cost and stops
// only for ids; when that bound stays within the budget the exact count
// cannot pass it either, and the ids fail at the same parent as they would
// in the exact replay, which runs only when the bound does not fit.
TreeSize check_tree_fits(const KeptDigits& kept_digits, std::span<const std::size_t> group_ends,
                         std::span<const u64> radices, const VariableManager& vars, const ClauseSink& cnf) {
    const std::size_t positions = radices.size() + 1;
    std::vector<u64> leaves;  // node after node, `positions` entries each
    leaves.reserve(group_ends.size() * positions);
    std::vector<u64> buffer;
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        const std::size_t at = leaves.size();
        leaves.resize(at + positions, 0);
        const std::span<const u64> digits = kept_digits.of(begin, end - begin, buffer);
        for (std::size_t j = 0; j < end - begin; ++j)
            for (std::size_t k = 0; k < positions; ++k)
                leaves[at + k] = std::max(leaves[at + k], digits[j * positions + k]);
        for (std::size_t k = 0; k < positions; ++k)
            if (leaves[at + k] > kLargestDigit)
                throw EncoderLimit("quillet: gmto digit value does not fit in a signed 32-bit integer");
        begin = end;
    }

    const auto saturate = [](const u128 x) {
        return static_cast<u64>(std::min<u128>(x, std::numeric_limits<u64>::max()));
    };
    const u64 room = cnf.max_literals() - std::min(cnf.num_literals(), cnf.max_literals());
    std::vector<u64> largest;
    std::vector<u64> next;
    // Returns the size, or nothing when `exact` is false and the bound
    // passed the budget.
    const auto replay = [&](const bool exact) -> std::optional<TreeSize> {
        largest = leaves;
        u128 ids = 0;
        u128 literals = 0;
        u128 clauses = 0;
        std::size_t nodes = group_ends.size();
        while (nodes > 1) {
            next.clear();
            for (std::size_t i = 0; i < nodes; i += 2) {
                const u64* left = largest.data() + i * positions;
                if (i + 1 == nodes) {
                    next.insert(next.end(), left, left + positions);
                    continue;
                }
                const u64* right = left + positions;
                bool carry_in = false;
                for (std::size_t k = 0; k < positions; ++k) {
                    const u64 a = left[k] + 1;
                    const u64 b = right[k] + 1;
                    const u128 pairs = u128{a} * b;
                    const u64 sum = left[k] + right[k] + (carry_in ? 1 : 0);
                    if (k + 1 == positions) {
                        literals += pairs * (carry_in ? 7 : 3);
                        clauses += pairs * (carry_in ? 2 : 1);
                        ids += sum;
                        next.push_back(sum);
                        break;
                    }
                    const u64 r = radices[k];
                    const bool carry_out = sum >= r;
                    // At most two clauses per pair, of prefix + 1 literals
                    // each (prefix 2, or 3 with the carry in).
                    clauses += pairs * (carry_in ? 4 : 2);
                    if (exact) {
                        literals += position_literals(a, b, r, 0, 2, carry_out);
                        if (carry_in) literals += position_literals(a, b, r, 1, 3, carry_out);
                    } else {
                        literals += pairs * (carry_in ? 14 : 6);
                    }
                    ids += std::min(r - 1, sum) + (carry_out ? 1 : 0);
                    next.push_back(std::min(r - 1, sum));
                    carry_in = carry_out;
                }
                // The totals only grow, so the first parent past a limit
                // decides; stopping there also keeps every value below 2^32.
                vars.require_available(saturate(ids));
                if (exact)
                    cnf.require_room(saturate(literals));
                else if (literals > room)
                    return std::nullopt;
            }
            largest.swap(next);
            nodes = largest.size() / positions;
        }
        return TreeSize{saturate(clauses), saturate(literals)};
    };
    if (const std::optional<TreeSize> bound = replay(false)) return *bound;
    return *replay(true);
}

// ---------------------------------------------------------------------------
// The comparison of the root with bound + 1.

// Forbids the root's sum from reaching `limit`, comparing from the most
// significant position down: each clause says "every higher position reached
// the limit's digit and this one exceeds it" (at position 0, "reaches it").
// The limit is bound + 1, up to 2^64; the product of the radices reaches it,
// so its top digit is 0 or 1.
void forbid_reaching(const Tree& tree, const std::size_t root, u128 limit, std::span<const u64> radices,
                     ClauseSink& cnf) {
    const std::size_t n = radices.size();
    std::vector<u64> d(n + 1);
    for (std::size_t k = 0; k < n; ++k) {
        d[k] = static_cast<u64>(limit % radices[k]);
        limit /= radices[k];
    }
    d[n] = static_cast<u64>(limit);
    std::vector<Lit> prefix;
    // Clauses "prefix and position k at least v" for every value v >= first.
    const auto forbid_from = [&](const std::size_t k, const u64 first) {
        const std::span<const Lit> position = tree.position(root, k);
        for (u64 v = first; v < position.size(); ++v) {
            prefix.push_back(-position[v]);
            cnf.add_clause(std::span<const Lit>(prefix));
            prefix.pop_back();
        }
    };
    // Appends the indicator of the limit's digit at position k to the prefix;
    // false when the root cannot reach that digit, which ends the comparison.
    const auto extend_prefix = [&](const std::size_t k) {
        if (d[k] == 0) return true;
        const Lit lit = indicator(tree.position(root, k), d[k]);
        if (lit == 0) return false;
        prefix.push_back(-lit);
        return true;
    };
    if (n == 0) {
        forbid_from(0, d[0]);
        return;
    }
    forbid_from(n, d[n] + 1);
    if (!extend_prefix(n)) return;
    for (std::size_t k = n - 1; k >= 1; --k) {
        forbid_from(k, d[k] + 1);
        if (!extend_prefix(k)) return;
    }
    forbid_from(0, d[0]);
}

// Largest sum of one weight per kept group. It is kept in 128 bits: a sum
// saturated at 2^64 - 1 would let a bound of 2^64 - 1 wrongly cover it.
u128 grouped_capacity(std::span<const Weight> kept_weights, std::span<const std::size_t> group_ends) {
    u128 capacity = 0;
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        Weight group_max = 0;
        for (std::size_t i = begin; i < end; ++i) group_max = std::max(group_max, kept_weights[i]);
        capacity += group_max;
        begin = end;
    }
    return capacity;
}

}  // namespace

void GmtoEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    ClauseSink& cnf = encoding.sink;
    const Weight bound = constraint.bound;

    // Literals heavier than the bound are fixed false; the rest stay, group
    // by group (kept[group_ends[g - 1] .. group_ends[g]) is kept group g).
    const std::vector<Weight>& group_weights = encoding.group_weights;
    std::vector<Lit> kept;
    std::vector<Weight> kept_weights;
    std::vector<std::size_t> group_ends;
    kept.reserve(constraint.terms.size());
    kept_weights.reserve(constraint.terms.size());
    std::size_t at = 0;
    for (const std::vector<Lit>& group : constraint.groups) {
        for (const Lit lit : group) {
            const Weight weight = group_weights[at++];
            if (weight > bound) {
                cnf.add_clause({-lit});
            } else {
                kept.push_back(lit);
                kept_weights.push_back(weight);
            }
        }
        if (kept.size() > (group_ends.empty() ? 0 : group_ends.back())) group_ends.push_back(kept.size());
    }
    if (group_ends.empty()) return;
    if (bound >= grouped_capacity(kept_weights, group_ends)) return;

    std::vector<Weight> weights;
    weights.reserve(constraint.terms.size());
    for (const WeightedLiteral& term : constraint.terms) weights.push_back(term.weight);
    const Radices radices = gmto::select_radices(weights, bound, &cnf);
    const std::size_t positions = radices.size() + 1;
    const KeptDigits kept_digits(kept_weights, radices);
    const TreeSize size = check_tree_fits(kept_digits, group_ends, radices, encoding.vars, cnf);
    cnf.reserve(size.clauses, size.literals);

    const Lit true_var = encoding.vars.fresh();
    cnf.add_clause({true_var});

    Tree tree(positions);
    tree.reserve(2 * group_ends.size(), 2 * positions * group_ends.size());
    std::vector<std::size_t> level;
    level.reserve(group_ends.size());
    std::vector<std::size_t> reaching;
    std::vector<u64> digits_buffer;
    PollCounter poll(cnf, 256);
    std::size_t begin = 0;
    for (const std::size_t end : group_ends) {
        poll.tick();
        const std::span<const Lit> group(kept.data() + begin, end - begin);
        const std::span<const u64> digits_of_group = kept_digits.of(begin, end - begin, digits_buffer);
        level.push_back(build_leaf(tree, group, digits_of_group, true_var, encoding.vars, cnf, reaching));
        begin = end;
    }

    std::vector<std::size_t> next;
    while (level.size() > 1) {
        next.clear();
        for (std::size_t i = 0; i < level.size(); i += 2) {
            poll.tick();
            if (i + 1 == level.size())
                next.push_back(level[i]);
            else
                next.push_back(make_parent(tree, level[i], level[i + 1], radices, cnf, encoding.vars, true_var));
        }
        level.swap(next);
    }

    forbid_reaching(tree, level.front(), u128{bound} + 1, radices, cnf);
}

}  // namespace quillet
