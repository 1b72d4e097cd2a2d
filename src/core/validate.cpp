// Validation of a grouped constraint, done once per encode: it also yields
// the weights in group order, which every encoder that walks the groups
// reads instead of probing a map per literal.
//
// The term lookup is an open-addressing table of term indices keyed by the
// literal, one allocation for the whole call: validation runs on every
// encode, and on small constraints a node-based map would cost more than the
// encoding itself.

#include "quillet/constraint.hpp"

#include <bit>
#include <stdexcept>
#include <vector>

#include "core/validate.hpp"
#include "quillet/errors.hpp"

namespace quillet {

namespace {

class TermTable {
public:
    explicit TermTable(const std::size_t terms)
        : slots_(std::bit_ceil(2 * terms + 2), kEmpty), mask_(slots_.size() - 1) {}

    // False when the literal is present already.
    bool insert(const Lit lit, const std::uint32_t index, const std::vector<WeightedLiteral>& terms) {
        for (std::size_t i = home(lit);; i = (i + 1) & mask_) {
            if (slots_[i] == kEmpty) {
                slots_[i] = index;
                return true;
            }
            if (terms[slots_[i]].lit == lit) return false;
        }
    }
    // The term index of the literal, or kEmpty.
    std::uint32_t find(const Lit lit, const std::vector<WeightedLiteral>& terms) const {
        for (std::size_t i = home(lit);; i = (i + 1) & mask_) {
            if (slots_[i] == kEmpty || terms[slots_[i]].lit == lit) return slots_[i];
        }
    }

    static constexpr std::uint32_t kEmpty = 0xffffffffu;

private:
    std::size_t home(const Lit lit) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(lit)) *
                                         0x9e3779b97f4a7c15ULL) >> 32) & mask_;
    }

    std::vector<std::uint32_t> slots_;
    std::size_t mask_;
};

}  // namespace

std::vector<Weight> validated_group_weights(const GroupedLeqConstraint& constraint) {
    const std::vector<WeightedLiteral>& terms = constraint.terms;
    if (terms.size() >= TermTable::kEmpty) throw EncoderLimit("quillet: too many terms");
    TermTable table(terms.size());
    for (std::uint32_t i = 0; i < terms.size(); ++i) {
        const WeightedLiteral& term = terms[i];
        if (term.lit == 0) throw InvalidConstraint("quillet: literal id 0 is invalid");
        if (term.weight == 0) throw InvalidConstraint("quillet: normalized form requires positive weights");
        if (!table.insert(term.lit, i, terms))
            throw InvalidConstraint("quillet: duplicate literals in weighted terms are not supported");
    }

    std::vector<Weight> weights;
    weights.reserve(terms.size());
    std::vector<bool> seen(terms.size(), false);
    for (const std::vector<Lit>& group : constraint.groups) {
        if (group.empty()) throw InvalidConstraint("quillet: AMO groups must be non-empty");
        for (const Lit lit : group) {
            const std::uint32_t index = lit == 0 ? TermTable::kEmpty : table.find(lit, terms);
            if (index == TermTable::kEmpty)
                throw InvalidConstraint("quillet: AMO group references a literal not present in terms");
            if (seen[index]) throw InvalidConstraint("quillet: AMO groups must form a partition of the literals");
            seen[index] = true;
            weights.push_back(terms[index].weight);
        }
    }
    if (weights.size() != terms.size())
        throw InvalidConstraint("quillet: every weighted literal must appear in exactly one AMO group");
    return weights;
}

void GroupedLeqConstraint::validate() const { validated_group_weights(*this); }

}  // namespace quillet
