// The per-call machinery that every encoder shares: the fresh-id allocator,
// the clause sink that enforces the size budget and polls for cancellation,
// and the opening and closing steps of an encode.
//
// The sink either stores clauses into the result or, when measuring, only
// counts them. Its one check per clause is a comparison of the running
// literal count against a checkpoint; the slow path behind it (budget test,
// cancellation poll, next checkpoint) runs once per 64 Ki literals, so the
// hook is never polled per clause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "quillet/cnf.hpp"
#include "quillet/constraint.hpp"

namespace quillet {

[[noreturn]] void throw_encoding_too_large(std::uint64_t max_literals);

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
    std::int32_t top() const { return top_id_; }

private:
    std::int64_t next_id_;  // 64-bit so that the id after 2^31-1 is representable
    std::int32_t top_id_;
};

class ClauseSink {
public:
    // Stores into `store`, or only counts when `store` is null.
    ClauseSink(ClauseList* store, const EncodeOptions& options);

    [[gnu::always_inline]] void add_clause(const std::span<const Lit> clause) {
        literals_ += clause.size();
        ++clauses_;
        if (literals_ > checkpoint_) [[unlikely]] pass_checkpoint();
        if (store_ != nullptr) store_->push_back(clause);
    }
    [[gnu::always_inline]] void add_clause(const std::initializer_list<Lit> clause) {
        add_clause(std::span<const Lit>(clause.begin(), clause.size()));
    }
    // Throws the too-large error now, before any work, unless `literals`
    // more literals fit the budget. Encoders that can foresee their size call
    // it before allocating.
    void require_room(std::uint64_t literals) const;
    // Sizes the store for that many more clauses and literals, within the
    // budget; it never throws, so an estimate above the exact size is fine.
    void reserve(std::uint64_t clauses, std::uint64_t literals);
    // Counts clauses that are not written, for an encoder that knows its
    // exact size without emitting when only measuring.
    void count(std::uint64_t clauses, std::uint64_t literals);
    // Polls the cancellation hook; for long stretches that write nothing.
    void poll() const;

    bool counting_only() const { return store_ == nullptr; }
    // A trial of "auto": the budget is the best size found so far, a bar to
    // beat rather than the caller's limit, so an encoder may give up at a
    // cheap sign that it cannot come in under it even where it could not
    // prove so exactly.
    bool trial() const { return trial_; }
    void mark_trial() { trial_ = true; }
    std::uint64_t num_clauses() const { return clauses_; }
    std::uint64_t num_literals() const { return literals_; }
    std::uint64_t max_literals() const { return max_literals_; }

private:
    void pass_checkpoint();

    ClauseList* store_;
    const std::function<bool()>* stop_;
    std::uint64_t max_literals_;
    std::uint64_t literals_ = 0;
    std::uint64_t clauses_ = 0;
    std::uint64_t checkpoint_ = 0;
    bool trial_ = false;
};

// Polls the hook every `period` calls of tick(): for loops that build
// structures (diagram nodes, tree merges) rather than clauses.
class PollCounter {
public:
    PollCounter(const ClauseSink& sink, const std::uint32_t period) : sink_(sink), period_(period) {}
    void tick() {
        if (++count_ >= period_) {
            count_ = 0;
            sink_.poll();
        }
    }

private:
    const ClauseSink& sink_;
    std::uint32_t period_;
    std::uint32_t count_ = 0;
};

// The opening steps of every encoder: validate, check top_id, start the
// result at top_id and write the AMO pair clauses when asked for.
struct Encoding {
    std::vector<Weight> group_weights;  // the weights in group order, from validation
    EncodeResult result;
    VariableManager vars;
    ClauseSink sink;
    std::int32_t caller_top_id;

    Encoding(const GroupedLeqConstraint& constraint, const EncodeOptions& options, bool counting_only);
    // The closing steps: fold the allocator's top into num_vars and fill in
    // the counts. Call once, on the way out.
    EncodeResult finish(bool clean);
    EncodingSize size() const;
};

// Drops repeated literals inside each clause (the first occurrence stays)
// and every clause that holds a literal and its negation.
void clean_clauses(ClauseList& clauses);

}  // namespace quillet
