// Building an encoder's input from a row: see rows.hpp. Linear in the row,
// plus what the clique cover of the conflict graph costs (bounded there).

#include "pipeline/rows.hpp"

namespace quillet::pipeline {

std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, const std::span<const WeightedLiteral> terms) {
    if (graph != nullptr) return graph->cover(terms);
    std::vector<std::vector<Lit>> groups;
    groups.reserve(terms.size());
    for (const WeightedLiteral& t : terms) groups.push_back({t.lit});
    return groups;
}

GroupedLeqConstraint row_constraint(const ConflictGraph* graph, const std::span<const WeightedLiteral> terms,
                                    const Weight bound) {
    GroupedLeqConstraint c;
    c.terms.assign(terms.begin(), terms.end());
    c.groups = row_groups(graph, terms);
    c.bound = bound;
    return c;
}

GroupCount count_groups(const std::vector<std::vector<Lit>>& groups) {
    GroupCount count;
    for (const std::vector<Lit>& group : groups)
        if (group.size() > 1) {
            ++count.groups;
            count.literals += group.size();
        }
    return count;
}

}  // namespace quillet::pipeline
