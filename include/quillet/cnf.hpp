// The clause container and the result of one encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet {

// Thrown when EncodeOptions::stop asks an encode to end.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("quillet: encoding cancelled") {}
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
    // One past the last literal of each clause, in clause order.
    std::span<const std::size_t> ends() const { return ends_; }

    void push_back(std::span<const Lit> clause) {
        // An element loop beats insert()'s memmove for clauses of a few literals.
        for (const Lit lit : clause) literals_.push_back(lit);
        ends_.push_back(literals_.size());
    }
    void reserve(std::size_t clauses, std::size_t literals) {
        ends_.reserve(clauses);
        literals_.reserve(literals);
    }
    void clear() {
        literals_.clear();
        ends_.clear();
    }
    std::vector<std::vector<Lit>> to_vectors() const;

private:
    std::vector<Lit> literals_;
    std::vector<std::size_t> ends_;
};

struct CnfFormula {
    std::int32_t num_vars = 0;  // largest variable id of the formula
    ClauseList clauses;

    // Appends the clause unchanged (repeats and tautologies included) and
    // raises num_vars to the magnitude of its literals; a literal 0 throws
    // std::invalid_argument and nothing is appended.
    void add_clause(std::span<const Lit> clause);
    void add_clause(std::initializer_list<Lit> clause) {
        add_clause(std::span<const Lit>(clause.begin(), clause.size()));
    }
};

struct EncodeResult {
    CnfFormula cnf;
    std::int64_t num_aux_vars = 0;
    std::uint64_t num_clauses = 0;
};

}  // namespace quillet
