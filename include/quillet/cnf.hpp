// Fresh-variable allocation, the clause container and the result of one
// encoding, plus the first and last steps that every encoder shares.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet {

inline constexpr std::int32_t max_variable_id = 2147483647;
// The largest encoding a formula holds, in literals (4 GiB of them, before
// the clause index): far more than a solver process or a Python caller can
// take in, so an encoding that needs more is refused instead of exhausting
// the machine's memory.
inline constexpr std::uint64_t max_encoding_literals = std::uint64_t{1} << 30;

// Hands out consecutive ids above the caller's top id. Running out of 32-bit
// ids throws std::overflow_error instead of wrapping.
class VariableManager {
public:
    explicit VariableManager(std::int32_t top_id);

    std::int32_t fresh();
    // Allocates `count` consecutive ids at once and returns the first (or the
    // next id when count is 0); throws before allocating anything if the
    // block would pass the largest id.
    std::int32_t fresh_block(std::uint64_t count);
    // Throws unless `count` more ids can still be handed out.
    void require_available(std::uint64_t count) const;
    std::int32_t top() const { return top_id; }

    std::int64_t next_id;  // 64-bit so that the id after 2^31-1 is representable
    std::int32_t top_id;
};

// Clauses stored back to back in one literal array: one allocation for the
// whole formula instead of one per clause.
class ClauseList {
public:
    using Clause = std::span<const Lit>;

    class const_iterator {
    public:
        using value_type = Clause;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const ClauseList* list, std::size_t index) : list_(list), index_(index) {}
        Clause operator*() const { return (*list_)[index_]; }
        const_iterator& operator++() { ++index_; return *this; }
        const_iterator operator++(int) { auto old = *this; ++index_; return old; }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    private:
        const ClauseList* list_ = nullptr;
        std::size_t index_ = 0;
    };

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    Clause operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return Clause(literals_.data() + begin, ends_[i] - begin);
    }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    std::size_t num_literals() const { return literals_.size(); }
    std::span<const Lit> literals() const { return literals_; }

    void push_back(std::span<const Lit> clause) {
        // An element loop beats insert()'s memmove for clauses of a few literals.
        for (const Lit lit : clause) literals_.push_back(lit);
        ends_.push_back(literals_.size());
    }
    void reserve(std::size_t clauses, std::size_t literals) {
        ends_.reserve(clauses);
        literals_.reserve(literals);
    }
    std::vector<std::vector<Lit>> to_vectors() const;

private:
    std::vector<Lit> literals_;
    std::vector<std::size_t> ends_;  // one past the last literal of each clause
};

[[noreturn]] void throw_clause_contains_literal_zero();
[[noreturn]] void throw_encoding_too_large();

struct CnfFormula {
    std::int32_t num_vars = 0;  // largest variable id seen so far
    ClauseList clauses;

    // Appends the clause unchanged (repeats and tautologies included) and
    // raises num_vars to the magnitude of its literals; a literal 0 throws
    // std::invalid_argument and nothing is appended.
    void add_clause(std::span<const Lit> clause) {
        std::int32_t largest = num_vars;
        for (const Lit lit : clause) {
            if (lit == 0) throw_clause_contains_literal_zero();
            // -2^31 has no 32-bit magnitude; counting it as the largest id
            // keeps this well defined for library callers who pass it.
            const std::int32_t magnitude = lit > 0 ? lit : lit == INT32_MIN ? max_variable_id : -lit;
            if (magnitude > largest) largest = magnitude;
        }
        if (clauses.num_literals() + clause.size() > max_encoding_literals) throw_encoding_too_large();
        num_vars = largest;
        clauses.push_back(clause);
    }
    // Throws the too-large error now, before any work, when `literals` more
    // literals would not fit. Encoders that can foresee their size call it.
    void require_room(const std::uint64_t literals) const {
        if (literals > max_encoding_literals - clauses.num_literals()) throw_encoding_too_large();
    }
    void add_clause(std::initializer_list<Lit> clause) {
        add_clause(std::span<const Lit>(clause.begin(), clause.size()));
    }
};

struct EncodeResult {
    CnfFormula cnf;
    std::int64_t num_aux_vars = 0;
    std::uint64_t num_clauses = 0;
};

// The opening steps of every encoder: validate, check top_id, start the
// result at top_id and write the AMO pair clauses when asked for.
struct Encoding {
    EncodeResult result;
    VariableManager vars;
    std::int32_t caller_top_id;

    Encoding(const GroupedLeqConstraint& constraint, const EncodeOptions& options);
    CnfFormula& cnf() { return result.cnf; }
    // The closing steps: fold the allocator's top into num_vars and fill in
    // the counts. Call once, on the way out.
    EncodeResult finish();
};

// [-g[a], -g[b]] for every pair a < b of every group, in group order.
void add_amo_pair_clauses(const std::vector<std::vector<Lit>>& groups, CnfFormula& cnf);

}  // namespace quillet
