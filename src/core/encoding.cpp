// The shared opening and closing steps of an encode, the fresh-id
// allocator, the budgeted clause sink and the optional clean-up.

#include "quillet/cnf.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/amo.hpp"
#include "core/encoding.hpp"
#include "core/validate.hpp"

namespace quillet {

namespace {

// Literals between two passes of the sink's slow path: rare enough to cost
// nothing per clause, frequent enough that a hook sees a poll well within a
// millisecond of clause writing.
constexpr std::uint64_t kCheckpointStride = std::uint64_t{1} << 16;

[[noreturn]] void throw_ids_exhausted() {
    throw IdsExhausted("quillet: variable ids exhausted: a fresh id would exceed " +
                              std::to_string(max_variable_id));
}

Lit largest_input_variable(const GroupedLeqConstraint& constraint) {
    Lit largest = 0;
    for (const WeightedLiteral& term : constraint.terms) {
        // -2^31 has no 32-bit magnitude; it is larger than any id.
        const Lit magnitude = term.lit == INT32_MIN ? max_variable_id : term.lit < 0 ? -term.lit : term.lit;
        largest = std::max(largest, magnitude);
    }
    return largest;
}

}  // namespace

void throw_encoding_too_large(const std::uint64_t max_literals) {
    throw EncodingTooLarge("quillet: encoding too large: it would hold more than " +
                            std::to_string(max_literals) + " literals");
}

VariableManager::VariableManager(const std::int32_t top_id) : next_id_(std::int64_t{top_id} + 1), top_id_(top_id) {
    if (top_id < 0) throw InvalidConstraint("quillet: top_id must be non-negative");
}

std::int32_t VariableManager::fresh() {
    if (next_id_ > max_variable_id) throw_ids_exhausted();
    const auto id = static_cast<std::int32_t>(next_id_++);
    if (id > top_id_) top_id_ = id;
    return id;
}

void VariableManager::require_available(const std::uint64_t count) const {
    const auto available = static_cast<std::uint64_t>(std::int64_t{max_variable_id} + 1 - next_id_);
    if (count > available) throw_ids_exhausted();
}

std::int32_t VariableManager::fresh_block(const std::uint64_t count) {
    require_available(count);
    const auto first = static_cast<std::int32_t>(next_id_);
    if (count == 0) return first;
    next_id_ += static_cast<std::int64_t>(count);
    const auto last = static_cast<std::int32_t>(next_id_ - 1);
    if (last > top_id_) top_id_ = last;
    return first;
}

std::vector<std::vector<Lit>> ClauseList::to_vectors() const {
    std::vector<std::vector<Lit>> out;
    out.reserve(size());
    for (const Clause clause : *this) out.emplace_back(clause.begin(), clause.end());
    return out;
}

void CnfFormula::add_clause(const std::span<const Lit> clause) {
    std::int32_t largest = num_vars;
    for (const Lit lit : clause) {
        if (lit == 0) throw InvalidConstraint("quillet: clause contains literal 0");
        const std::int32_t magnitude = lit > 0 ? lit : lit == INT32_MIN ? max_variable_id : -lit;
        if (magnitude > largest) largest = magnitude;
    }
    num_vars = largest;
    clauses.push_back(clause);
}

ClauseSink::ClauseSink(ClauseList* store, const EncodeOptions& options)
    : store_(store), stop_(options.stop ? &options.stop : nullptr), max_literals_(options.max_literals) {
    checkpoint_ = std::min(max_literals_, kCheckpointStride);
}

void ClauseSink::pass_checkpoint() {
    if (literals_ > max_literals_) throw_encoding_too_large(max_literals_);
    poll();
    checkpoint_ = literals_ + std::min(kCheckpointStride, max_literals_ - literals_);
}

void ClauseSink::require_room(const std::uint64_t literals) const {
    if (literals > max_literals_ - std::min(literals_, max_literals_)) throw_encoding_too_large(max_literals_);
}

void ClauseSink::reserve(const std::uint64_t clauses, const std::uint64_t literals) {
    if (store_ == nullptr) return;
    // A hint only, possibly above the exact size: capped at what the budget
    // allows, so that a generous estimate never allocates past it.
    const std::uint64_t room = max_literals_ - std::min(literals_, max_literals_);
    store_->reserve(store_->size() + static_cast<std::size_t>(std::min(clauses, room)),
                    store_->num_literals() + static_cast<std::size_t>(std::min(literals, room)));
}

void ClauseSink::count(const std::uint64_t clauses, const std::uint64_t literals) {
    require_room(literals);
    clauses_ += clauses;
    literals_ += literals;
}

void ClauseSink::poll() const {
    if (stop_ != nullptr && (*stop_)()) throw Cancelled();
}

Encoding::Encoding(const GroupedLeqConstraint& constraint, const EncodeOptions& options, const bool counting_only)
    : group_weights(validated_group_weights(constraint)),
      vars(options.top_id),
      sink(counting_only ? nullptr : &result.cnf.clauses, options),
      caller_top_id(options.top_id) {
    // An id below the caller's top that the input already uses would be
    // handed out again as an auxiliary variable.
    if (largest_input_variable(constraint) > options.top_id)
        throw InvalidConstraint("quillet: top_id must be at least the largest input variable");
    result.cnf.num_vars = options.top_id;
    if (constraint.emit_amo) add_amo_clauses(constraint.groups, AmoMethod::pairwise, vars, sink);
}

EncodeResult Encoding::finish(const bool clean) {
    result.cnf.num_vars = std::max(result.cnf.num_vars, vars.top());
    if (clean) clean_clauses(result.cnf.clauses);
    result.top_id = caller_top_id;
    return std::move(result);
}

EncodingSize Encoding::size() const {
    return {std::int64_t{std::max(caller_top_id, vars.top())} - caller_top_id, sink.num_clauses(),
            sink.num_literals()};
}

namespace {

constexpr std::size_t kShortClause = 32;

// The set-based clean-up of one long clause into `out`; true when it is a
// tautology.
bool clean_long_clause(const ClauseList::Clause original, std::vector<Lit>& out) {
    std::unordered_set<Lit> seen;
    seen.reserve(original.size());
    for (const Lit lit : original) {
        if (seen.contains(-lit)) return true;
        if (seen.insert(lit).second) out.push_back(lit);
    }
    return false;
}

}  // namespace

void clean_clauses(ClauseList& clauses) {
    ClauseList kept;
    kept.reserve(clauses.size(), clauses.num_literals());
    std::vector<Lit> clause;
    for (const ClauseList::Clause original : clauses) {
        clause.clear();
        bool tautology = false;
        if (original.size() > kShortClause) {
            tautology = clean_long_clause(original, clause);
            if (!tautology) kept.push_back(clause);
            continue;
        }
        // Clauses are short (a handful of literals), so a quadratic scan beats
        // any set.
        for (const Lit lit : original) {
            bool repeated = false;
            for (const Lit seen : clause) {
                if (seen == lit) repeated = true;
                if (seen == -lit) tautology = true;
            }
            if (tautology) break;
            if (!repeated) clause.push_back(lit);
        }
        if (!tautology) kept.push_back(clause);
    }
    clauses = std::move(kept);
}

}  // namespace quillet
