#include "quillet/cnf.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace quillet {

namespace {

[[noreturn]] void throw_ids_exhausted() {
    throw std::overflow_error("quillet: variable ids exhausted: a fresh id would exceed " +
                              std::to_string(max_variable_id));
}

}  // namespace

VariableManager::VariableManager(const std::int32_t top_id) : next_id(std::int64_t{top_id} + 1), top_id(top_id) {
    if (top_id < 0) throw std::invalid_argument("quillet: top_id must be non-negative");
}

std::int32_t VariableManager::fresh() {
    if (next_id > max_variable_id) throw_ids_exhausted();
    const auto id = static_cast<std::int32_t>(next_id++);
    if (id > top_id) top_id = id;
    return id;
}

void VariableManager::require_available(const std::uint64_t count) const {
    const auto available = static_cast<std::uint64_t>(std::int64_t{max_variable_id} + 1 - next_id);
    if (count > available) throw_ids_exhausted();
}

std::int32_t VariableManager::fresh_block(const std::uint64_t count) {
    require_available(count);
    const auto first = static_cast<std::int32_t>(next_id);
    if (count == 0) return first;
    next_id += static_cast<std::int64_t>(count);
    const auto last = static_cast<std::int32_t>(next_id - 1);
    if (last > top_id) top_id = last;
    return first;
}

std::vector<std::vector<Lit>> ClauseList::to_vectors() const {
    std::vector<std::vector<Lit>> out;
    out.reserve(size());
    for (const Clause clause : *this) out.emplace_back(clause.begin(), clause.end());
    return out;
}

void throw_clause_contains_literal_zero() {
    throw std::invalid_argument("quillet: clause contains literal 0");
}

void throw_encoding_too_large() {
    throw std::length_error("quillet: encoding too large: it would hold more than " +
                            std::to_string(max_encoding_literals) + " literals");
}

void add_amo_pair_clauses(const std::vector<std::vector<Lit>>& groups, CnfFormula& cnf) {
    for (const std::vector<Lit>& group : groups)
        for (std::size_t a = 0; a + 1 < group.size(); ++a)
            for (std::size_t b = a + 1; b < group.size(); ++b) cnf.add_clause({-group[a], -group[b]});
}

Encoding::Encoding(const GroupedLeqConstraint& constraint, const EncodeOptions& options)
    : vars((constraint.validate(), options.top_id)), caller_top_id(options.top_id) {
    result.cnf.num_vars = options.top_id;
    if (constraint.emit_amo) add_amo_pair_clauses(constraint.groups, result.cnf);
}

EncodeResult Encoding::finish() {
    if (vars.top() > result.cnf.num_vars) result.cnf.num_vars = vars.top();
    result.num_aux_vars = std::int64_t{result.cnf.num_vars} - caller_top_id;
    result.num_clauses = result.cnf.clauses.size();
    return std::move(result);
}

}  // namespace quillet
