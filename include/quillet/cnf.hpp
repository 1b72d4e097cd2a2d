// The clause container and the result of one encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quillet/constraint.hpp"
#include "quillet/errors.hpp"

namespace quillet {

namespace detail {

// A growable array of trivially copyable values without the zero-fill of
// std::vector::resize and with an append that compiles to a few
// instructions: clause writing is most of the cost of the simpler encoders.
template <class T>
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer& other) : Buffer() { append(other.data(), other.size()); }
    Buffer(Buffer&& other) noexcept = default;
    Buffer& operator=(const Buffer& other) {
        if (this != &other) {
            size_ = 0;
            append(other.data(), other.size());
        }
        return *this;
    }
    Buffer& operator=(Buffer&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    [[gnu::always_inline]] void push_back(const T value) {
        if (size_ == capacity_) [[unlikely]] grow(size_ + 1);
        data_[size_++] = value;
    }
    [[gnu::always_inline]] void append(const T* values, const std::size_t count) {
        if (count > capacity_ - size_) [[unlikely]] grow(size_ + count);
        T* out = data_.get() + size_;
        // An element loop beats memcpy for the few values of a clause.
        for (std::size_t i = 0; i < count; ++i) out[i] = values[i];
        size_ += count;
    }
    void reserve(const std::size_t count) {
        if (count > capacity_) reallocate(count);
    }
    void clear() { size_ = 0; }

private:
    [[gnu::noinline]] void grow(const std::size_t needed) { reallocate(std::max(needed, 2 * capacity_ + 16)); }
    void reallocate(const std::size_t capacity) {
        std::unique_ptr<T[]> bigger = std::make_unique_for_overwrite<T[]>(capacity);
        for (std::size_t i = 0; i < size_; ++i) bigger[i] = data_[i];
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace detail

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
    bool empty() const { return ends_.size() == 0; }
    Clause operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return Clause(literals_.data() + begin, ends_[i] - begin);
    }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    std::size_t num_literals() const { return literals_.size(); }
    std::span<const Lit> literals() const { return {literals_.data(), literals_.size()}; }
    // One past the last literal of each clause, in clause order.
    std::span<const std::size_t> ends() const { return {ends_.data(), ends_.size()}; }

    [[gnu::always_inline]] void push_back(const std::span<const Lit> clause) {
        literals_.append(clause.data(), clause.size());
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
    detail::Buffer<Lit> literals_;
    detail::Buffer<std::size_t> ends_;
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
    std::int32_t top_id = 0;   // the caller's top id: every fresh variable is above it
    std::string_view encoder;  // the registry name of the encoder whose output this is

    // Fresh variables (top_id + 1 .. cnf.num_vars) and clauses of the result.
    std::int64_t num_aux_vars() const { return std::int64_t{cnf.num_vars} - top_id; }
    std::uint64_t num_clauses() const { return cnf.clauses.size(); }
};

}  // namespace quillet
