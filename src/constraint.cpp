#include "quillet/constraint.hpp"

#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace quillet {

void GroupedLeqConstraint::validate() const {
    std::unordered_map<Lit, Weight> weight_of;
    weight_of.reserve(terms.size());
    for (const WeightedLiteral& term : terms) {
        if (term.lit == 0) throw std::invalid_argument("quillet: literal id 0 is invalid");
        if (term.weight == 0)
            throw std::invalid_argument("quillet: normalized form requires positive weights");
        if (!weight_of.emplace(term.lit, term.weight).second)
            throw std::invalid_argument(
                "quillet: duplicate literals in weighted terms are not supported");
    }

    std::unordered_set<Lit> seen;
    seen.reserve(terms.size());
    for (const std::vector<Lit>& group : groups) {
        if (group.empty()) throw std::invalid_argument("quillet: AMO groups must be non-empty");
        for (const Lit lit : group) {
            if (!weight_of.contains(lit))
                throw std::invalid_argument(
                    "quillet: AMO group references a literal not present in terms");
            if (!seen.insert(lit).second)
                throw std::invalid_argument(
                    "quillet: AMO groups must form a partition of the literals");
        }
    }
    if (seen.size() != terms.size())
        throw std::invalid_argument(
            "quillet: every weighted literal must appear in exactly one AMO group");
}

std::vector<Weight> weights_in_group_order(const GroupedLeqConstraint& constraint) {
    std::unordered_map<Lit, Weight> weight_of;
    weight_of.reserve(constraint.terms.size());
    for (const WeightedLiteral& term : constraint.terms) weight_of.emplace(term.lit, term.weight);
    std::vector<Weight> weights;
    weights.reserve(constraint.terms.size());
    for (const std::vector<Lit>& group : constraint.groups)
        for (const Lit lit : group) weights.push_back(weight_of.at(lit));
    return weights;
}

}  // namespace quillet
