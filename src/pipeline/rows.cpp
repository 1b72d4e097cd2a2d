// Building an encoder's input from a row: see rows.hpp. Per row: one pass of
// searches over the implication graph from every literal of the row and
// from its complement (row_budget arcs in all), the stated cover of the
// literals and of their complements, and a greedy clique cover over the
// exclusions found, whose adjacency tests are bounded by the same budget.

#include "pipeline/rows.hpp"

#include <algorithm>
#include <utility>

#include "quillet/encoder.hpp"
#include "quillet/errors.hpp"

namespace quillet::pipeline {

namespace {

using Edge = std::pair<std::uint32_t, std::uint32_t>;  // row indices i < j

// Pairs of the row found exclusive through the implication graph: l_i and
// l_j (direct), ~l_i and ~l_j (complement).
struct Exclusions {
    std::vector<Edge> direct;
    std::vector<Edge> complement;
};

Exclusions implied_exclusions(const ImplicationGraph& graph, const std::span<const WeightedLiteral> terms) {
    Exclusions out;
    const std::size_t n = terms.size();
    if (graph.empty() || n < 2) return out;
    // Node p < n is l_p, node n + p is ~l_p.
    std::vector<std::pair<Lit, std::uint32_t>> nodes(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        nodes[i] = {terms[i].lit, static_cast<std::uint32_t>(i)};
        nodes[n + i] = {-terms[i].lit, static_cast<std::uint32_t>(n + i)};
    }
    std::sort(nodes.begin(), nodes.end());
    auto find = [&](const Lit lit) -> std::int64_t {
        const auto it = std::lower_bound(nodes.begin(), nodes.end(), std::pair<Lit, std::uint32_t>{lit, 0});
        return it != nodes.end() && it->first == lit ? static_cast<std::int64_t>(it->second) : -1;
    };
    std::vector<std::uint32_t> sources;
    for (std::uint32_t p = 0; p < 2 * n; ++p)
        if (graph.has_arcs(p < n ? terms[p].lit : -terms[p - n].lit)) sources.push_back(p);
    SearchScratch scratch;
    std::uint64_t pool = row_budget(n);
    for (std::size_t k = 0; k < sources.size() && pool > 0; ++k) {
        const std::uint32_t p = sources[k];
        // A fair share of what is left, twice over: searches that stop early
        // leave their share to the later ones.
        const std::uint64_t share = std::max<std::uint64_t>(1, 2 * pool / (sources.size() - k));
        const Lit from = p < n ? terms[p].lit : -terms[p - n].lit;
        pool -= graph.reach(from, std::min({search_budget, share, pool}), scratch);
        for (const Lit r : scratch.queue) {
            // from -> r, so from excludes ~r.
            const std::int64_t found = find(-r);
            if (found < 0) continue;
            const auto q = static_cast<std::uint32_t>(found);
            if (q == p || (p < n) != (q < n)) continue;
            const std::uint32_t a = p < n ? p : p - static_cast<std::uint32_t>(n);
            const std::uint32_t b = q < n ? q : q - static_cast<std::uint32_t>(n);
            (p < n ? out.direct : out.complement).push_back({std::min(a, b), std::max(a, b)});
        }
    }
    for (std::vector<Edge>* edges : {&out.direct, &out.complement}) {
        std::sort(edges->begin(), edges->end());
        edges->erase(std::unique(edges->begin(), edges->end()), edges->end());
    }
    return out;
}

// Cliques of two or more of `members` (row indices) over `edges`, greedily:
// the member with fewest neighbours first (a member with one neighbour has
// one choice: the order that pairs the most, since the exclusions found are
// mostly pairs), extended by its neighbours adjacent to every member so far,
// those of the seed's weight first (equal weights are what a complemented
// group collapses into one literal), then those with fewer neighbours. Each
// clique sorted.
std::vector<std::vector<std::uint32_t>> greedy_cliques(const std::vector<WeightedLiteral>& lits,
                                                       const std::vector<std::uint32_t>& members,
                                                       const std::vector<Edge>& edges, std::uint64_t budget) {
    const std::size_t n = lits.size();
    std::vector<std::vector<std::uint32_t>> cliques;
    if (members.size() < 2 || edges.empty()) return cliques;
    std::vector<std::uint8_t> member(n, 0);
    for (const std::uint32_t i : members) member[i] = 1;
    std::vector<std::uint32_t> begin(n + 1, 0);
    for (const auto& [a, b] : edges)
        if (member[a] && member[b]) {
            ++begin[a + 1];
            ++begin[b + 1];
        }
    for (std::size_t i = 0; i < n; ++i) begin[i + 1] += begin[i];
    std::vector<std::uint32_t> adjacent(begin[n]);
    std::vector<std::uint32_t> fill(begin.begin(), begin.end() - 1);
    for (const auto& [a, b] : edges)
        if (member[a] && member[b]) {
            adjacent[fill[a]++] = b;
            adjacent[fill[b]++] = a;
        }
    // Edges are sorted by (a, b), so each list is sorted but for the
    // smaller neighbours added from the other end: sort them all.
    for (std::size_t i = 0; i < n; ++i) std::sort(adjacent.begin() + begin[i], adjacent.begin() + begin[i + 1]);
    auto degree = [&](std::uint32_t i) { return begin[i + 1] - begin[i]; };
    auto joined = [&](std::uint32_t a, std::uint32_t b) {
        return std::binary_search(adjacent.begin() + begin[a], adjacent.begin() + begin[a + 1], b);
    };
    auto by_degree = [&](std::uint32_t a, std::uint32_t b) {
        return degree(a) != degree(b) ? degree(a) < degree(b) : a < b;
    };
    std::vector<std::uint32_t> order(members);
    std::sort(order.begin(), order.end(), by_degree);
    std::vector<std::uint8_t> taken(n, 0);
    std::vector<std::uint32_t> candidates;
    for (const std::uint32_t v : order) {
        if (taken[v] || degree(v) == 0) continue;
        candidates.clear();
        for (std::uint32_t e = begin[v]; e < begin[v + 1]; ++e)
            if (!taken[adjacent[e]]) candidates.push_back(adjacent[e]);
        std::sort(candidates.begin(), candidates.end(), [&](std::uint32_t a, std::uint32_t b) {
            const bool equal_a = lits[a].weight == lits[v].weight, equal_b = lits[b].weight == lits[v].weight;
            return equal_a != equal_b ? equal_a : by_degree(a, b);
        });
        std::vector<std::uint32_t> clique{v};
        for (const std::uint32_t u : candidates) {
            bool all = true;
            for (std::size_t g = 1; g < clique.size() && all; ++g) {
                if (budget == 0) {
                    all = false;
                    break;
                }
                --budget;
                all = joined(u, clique[g]);
            }
            if (all) clique.push_back(u);
        }
        if (clique.size() < 2) continue;
        for (const std::uint32_t i : clique) taken[i] = 1;
        std::sort(clique.begin(), clique.end());
        cliques.push_back(std::move(clique));
    }
    return cliques;
}

// A cover of the row indices `members` (in row order): stated cliques of
// three or more of the conflict graph over `lits` (the literal of each
// index: the row's own or its complement), then cliques over the stated
// pairs and the `implied` exclusions among the indices left, then one index
// per group. A stated pair has no claim over an implied one: both are pairs,
// and the greedy choice among them (greedy_cliques) pairs more and prefers
// equal weights.
struct IndexCover {
    std::vector<std::vector<std::uint32_t>> groups;  // groups of two or more
    std::vector<std::uint8_t> stated;                // per group: every pair stated
    std::vector<std::uint32_t> singles;              // the rest, in row order
};

IndexCover cover_indices(const ConflictGraph& graph, const std::vector<WeightedLiteral>& lits,
                         const std::vector<std::uint32_t>& members, const std::vector<Edge>& implied) {
    IndexCover out;
    std::vector<WeightedLiteral> subset;
    subset.reserve(members.size());
    for (const std::uint32_t i : members) subset.push_back(lits[i]);
    std::vector<std::pair<Lit, std::uint32_t>> index_of;
    index_of.reserve(members.size());
    for (const std::uint32_t i : members) index_of.push_back({lits[i].lit, i});
    std::sort(index_of.begin(), index_of.end());
    auto find = [&](Lit lit) {
        return std::lower_bound(index_of.begin(), index_of.end(), std::pair<Lit, std::uint32_t>{lit, 0})->second;
    };
    std::vector<std::uint32_t> left;
    std::vector<Edge> edges = implied;
    for (const std::vector<Lit>& group : graph.cover(subset)) {
        std::vector<std::uint32_t> indices;
        for (const Lit lit : group) indices.push_back(find(lit));
        if (indices.size() == 2) edges.push_back({std::min(indices[0], indices[1]), std::max(indices[0], indices[1])});
        if (indices.size() <= 2) {
            left.insert(left.end(), indices.begin(), indices.end());
            continue;
        }
        out.groups.push_back(std::move(indices));
        out.stated.push_back(1);
    }
    std::sort(left.begin(), left.end());
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::vector<std::uint8_t> in_group(lits.size(), 0);
    for (std::vector<std::uint32_t>& clique : greedy_cliques(lits, left, edges, row_budget(lits.size()))) {
        bool stated = true;
        for (std::size_t a = 0; a < clique.size() && stated; ++a)
            for (std::size_t b = a + 1; b < clique.size() && stated; ++b)
                stated = graph.adjacent(lits[clique[a]].lit, lits[clique[b]].lit);
        for (const std::uint32_t i : clique) in_group[i] = 1;
        out.groups.push_back(std::move(clique));
        out.stated.push_back(stated ? 1 : 0);
    }
    for (const std::uint32_t i : left)
        if (!in_group[i]) out.singles.push_back(i);
    return out;
}

}  // namespace

GroupCount count_groups(const std::vector<std::vector<Lit>>& groups) {
    GroupCount count;
    for (const std::vector<Lit>& group : groups)
        if (group.size() > 1) {
            ++count.groups;
            count.literals += group.size();
        }
    return count;
}

namespace {

void add_count(GroupCount& count, std::size_t literals) {
    ++count.groups;
    count.literals += literals;
}

// The plain groups of the row indices `members`, appended to `groups`, with
// their counts by source.
void plain_groups(const ConflictGraph& graph, const std::vector<WeightedLiteral>& terms,
                  const std::vector<std::uint32_t>& members, const Exclusions& exclusions,
                  std::vector<std::vector<Lit>>& groups, SourceCounts& found) {
    const IndexCover cover = cover_indices(graph, terms, members, exclusions.direct);
    for (std::size_t g = 0; g < cover.groups.size(); ++g) {
        std::vector<Lit> group;
        for (const std::uint32_t i : cover.groups[g]) group.push_back(terms[i].lit);
        add_count(found[static_cast<std::size_t>(cover.stated[g] ? Source::stated : Source::implied)], group.size());
        groups.push_back(std::move(group));
    }
    for (const std::uint32_t i : cover.singles) groups.push_back({terms[i].lit});
}

std::vector<std::uint32_t> every_index(const std::size_t n) {
    std::vector<std::uint32_t> all(n);
    for (std::uint32_t i = 0; i < n; ++i) all[i] = i;
    return all;
}

RowInput plain_input(const ConflictGraph& graph, const std::span<const WeightedLiteral> terms, const Weight bound,
                     const Exclusions& exclusions) {
    RowInput input;
    input.constraint.terms.assign(terms.begin(), terms.end());
    input.constraint.bound = bound;
    plain_groups(graph, input.constraint.terms, every_index(terms.size()), exclusions, input.constraint.groups,
                 input.found);
    return input;
}

}  // namespace

std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, const std::span<const WeightedLiteral> terms) {
    if (graph == nullptr) {
        std::vector<std::vector<Lit>> groups;
        groups.reserve(terms.size());
        for (const WeightedLiteral& t : terms) groups.push_back({t.lit});
        return groups;
    }
    return plain_input(*graph, terms, 0, implied_exclusions(graph->implications(), terms)).constraint.groups;
}

GroupedLeqConstraint row_constraint(const ConflictGraph* graph, const std::span<const WeightedLiteral> terms,
                                    const Weight bound) {
    GroupedLeqConstraint c;
    c.terms.assign(terms.begin(), terms.end());
    c.groups = row_groups(graph, terms);
    c.bound = bound;
    return c;
}

namespace {

// The second level of the complemented input: its one-literal groups (a
// fresh s that stands for a whole set of the row's literals, all true, or a
// literal of the row alone) are units, and two units exclude each other when
// some literal a of one and b of the other do (l_a and l_b exclusive, found
// among the direct exclusions). Cliques of units become AMO groups; for each
// pair the witness is written out, s_U -> l_a, so that s_U and s_V exclude
// each other through clauses of the output. In the order encoding these are
// the "running" literals of jobs that a precedence keeps apart.
void merge_units(const std::span<const WeightedLiteral> terms, const IndexCover& sets, const Exclusions& exclusions,
                 const std::int32_t top, RowInput& input) {
    GroupedLeqConstraint& c = input.constraint;
    if (exclusions.direct.empty()) return;
    const std::size_t n = terms.size();
    // The fresh literal of set k is top + 1 + k, as numbered by row_inputs.
    const Lit first_fresh = top + 1;
    std::vector<std::pair<Lit, std::uint32_t>> position(n);  // row literal -> row index
    for (std::uint32_t i = 0; i < n; ++i) position[i] = {terms[i].lit, i};
    std::sort(position.begin(), position.end());
    std::vector<std::uint32_t> unit_of(n, ~0u);
    std::vector<WeightedLiteral> units;     // the unit's literal and weight
    std::vector<std::size_t> unit_group;    // its group in c.groups
    std::vector<Weight> weight_of;
    {
        std::vector<std::pair<Lit, Weight>> weights;
        for (const WeightedLiteral& t : c.terms) weights.push_back({t.lit, t.weight});
        std::sort(weights.begin(), weights.end());
        for (std::size_t g = 0; g < c.groups.size(); ++g) {
            if (c.groups[g].size() != 1) continue;
            const Lit lit = c.groups[g][0];
            const Weight w = std::lower_bound(weights.begin(), weights.end(), std::pair<Lit, Weight>{lit, 0})->second;
            const auto u = static_cast<std::uint32_t>(units.size());
            if (lit >= first_fresh) {
                for (const std::uint32_t i : sets.groups[static_cast<std::size_t>(lit - first_fresh)]) unit_of[i] = u;
            } else {
                const auto it = std::lower_bound(position.begin(), position.end(), std::pair<Lit, std::uint32_t>{lit, 0});
                if (it == position.end() || it->first != lit) continue;
                unit_of[it->second] = u;
            }
            units.push_back({lit, w});
            unit_group.push_back(g);
        }
    }
    // Unit pairs with their first witness (row indices a of U, b of V).
    struct Witness {
        std::uint32_t u, v, a, b;
    };
    std::vector<Witness> witnesses;
    for (const auto& [a, b] : exclusions.direct) {
        const std::uint32_t u = unit_of[a], v = unit_of[b];
        if (u == ~0u || v == ~0u || u == v) continue;
        witnesses.push_back(u < v ? Witness{u, v, a, b} : Witness{v, u, b, a});
    }
    if (witnesses.empty()) return;
    std::stable_sort(witnesses.begin(), witnesses.end(),
                     [](const Witness& x, const Witness& y) { return x.u != y.u ? x.u < y.u : x.v < y.v; });
    std::vector<Edge> edges;
    for (const Witness& w : witnesses)
        if (edges.empty() || edges.back() != Edge{w.u, w.v}) edges.push_back({w.u, w.v});
    std::vector<std::uint32_t> all(units.size());
    for (std::uint32_t u = 0; u < all.size(); ++u) all[u] = u;
    const std::vector<std::vector<std::uint32_t>> cliques = greedy_cliques(units, all, edges, row_budget(n));
    if (cliques.empty()) return;
    auto witness = [&](std::uint32_t u, std::uint32_t v) {
        return *std::lower_bound(witnesses.begin(), witnesses.end(), Witness{u, v, 0, 0},
                                 [](const Witness& x, const Witness& y) { return x.u != y.u ? x.u < y.u : x.v < y.v; });
    };
    std::vector<std::vector<Lit>> implications;  // s -> l, written once each
    std::vector<std::uint8_t> merged(c.groups.size(), 0);
    std::vector<std::vector<Lit>> groups;
    for (const std::vector<std::uint32_t>& clique : cliques) {
        std::vector<Lit> group;
        for (std::size_t x = 0; x < clique.size(); ++x) {
            group.push_back(units[clique[x]].lit);
            merged[unit_group[clique[x]]] = 1;
            for (std::size_t y = x + 1; y < clique.size(); ++y) {
                const Witness w = witness(clique[x], clique[y]);
                for (const auto& [unit, index] : {std::pair{w.u, w.a}, std::pair{w.v, w.b}})
                    if (units[unit].lit != terms[index].lit) implications.push_back({-units[unit].lit, terms[index].lit});
            }
        }
        add_count(input.found[static_cast<std::size_t>(Source::implied)], group.size());
        groups.push_back(std::move(group));
    }
    for (std::size_t g = 0; g < c.groups.size(); ++g)
        if (!merged[g]) groups.push_back(std::move(c.groups[g]));
    c.groups = std::move(groups);
    std::sort(implications.begin(), implications.end());
    implications.erase(std::unique(implications.begin(), implications.end()), implications.end());
    for (std::vector<Lit>& clause : implications) input.definitions.push_back(std::move(clause));
}

}  // namespace

std::vector<RowInput> row_inputs(const ConflictGraph* graph, const std::span<const WeightedLiteral> terms,
                                 const Weight bound, const std::int32_t top) {
    std::vector<RowInput> inputs;
    if (graph == nullptr) {
        inputs.push_back(RowInput{row_constraint(nullptr, terms, bound), {}, 0, {}});
        return inputs;
    }
    const Exclusions exclusions = implied_exclusions(graph->implications(), terms);
    inputs.push_back(plain_input(*graph, terms, bound, exclusions));
    if (terms.size() < 2) return inputs;

    // The complemented input: sets of which at most one literal is false.
    std::vector<WeightedLiteral> complements(terms.begin(), terms.end());
    for (WeightedLiteral& t : complements) t.lit = -t.lit;
    const IndexCover sets = cover_indices(*graph, complements, every_index(terms.size()), exclusions.complement);
    if (sets.groups.empty()) return inputs;
    unsigned __int128 shift = 0;
    for (const std::vector<std::uint32_t>& set : sets.groups) {
        Weight most = 0;
        for (const std::uint32_t i : set) {
            shift += terms[i].weight;
            most = std::max(most, terms[i].weight);
        }
        shift -= most;
    }
    // Always violated under the exclusions: the plain input says so as well.
    if (shift > bound) return inputs;

    RowInput input;
    GroupedLeqConstraint& c = input.constraint;
    c.bound = bound - static_cast<Weight>(shift);
    for (const std::uint32_t i : sets.singles) c.terms.push_back(terms[i]);
    plain_groups(*graph, inputs[0].constraint.terms, sets.singles, exclusions, c.groups, input.found);
    for (const std::vector<std::uint32_t>& set : sets.groups) {
        Weight most = 0;
        for (const std::uint32_t i : set) most = std::max(most, terms[i].weight);
        if (top + std::int64_t{input.fresh} >= max_variable_id)
            throw IdsExhausted("quillet: variable ids exhausted: the encoding needs more than " +
                               std::to_string(max_variable_id) + " variables");
        const Lit s = top + ++input.fresh;
        std::vector<Lit> all_true;
        std::vector<Lit> group{s};
        c.terms.push_back({s, most});
        for (const std::uint32_t i : set) {
            const Lit l = terms[i].lit;
            all_true.push_back(-l);
            if (terms[i].weight == most) continue;
            c.terms.push_back({-l, most - terms[i].weight});
            group.push_back(-l);
            input.definitions.push_back({-s, l});
        }
        all_true.push_back(s);
        input.definitions.push_back(std::move(all_true));
        c.groups.push_back(std::move(group));
        add_count(input.found[static_cast<std::size_t>(Source::complemented)], set.size());
    }
    merge_units(terms, sets, exclusions, top, input);
    inputs.push_back(std::move(input));
    return inputs;
}

EncodedRow encode_smaller(std::vector<RowInput> inputs, const std::string_view encoding,
                          const EncodeOptions& options) {
    std::size_t best = inputs.size();
    std::uint64_t best_size = 0;
    EncodeResult best_result;
    std::exception_ptr first_error;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        std::uint64_t definitions = 0;
        for (const auto& clause : inputs[k].definitions) definitions += clause.size();
        EncodeOptions o = options;
        o.top_id = options.top_id + inputs[k].fresh;
        if (best < inputs.size()) {
            // Only a strictly smaller encoding replaces the best one.
            if (best_size <= definitions + 1) continue;
            o.max_literals = std::min(o.max_literals, best_size - definitions - 1);
        }
        try {
            EncodeResult r = encode_with(encoding, inputs[k].constraint, o);
            const std::uint64_t size = r.cnf.clauses.num_literals() + definitions;
            if (best == inputs.size() || size < best_size) {
                best = k;
                best_size = size;
                best_result = std::move(r);
            }
        } catch (const EncodingTooLarge&) {
            if (k == 0) first_error = std::current_exception();
        } catch (const EncoderLimit&) {
            if (k == 0) first_error = std::current_exception();
        }
    }
    if (best == inputs.size()) {
        if (first_error) std::rethrow_exception(first_error);
        throw InternalError("quillet: no input to encode");
    }
    EncodedRow out{std::move(inputs[best]), std::move(best_result)};
    for (const std::vector<Lit>& clause : out.input.definitions) out.result.cnf.clauses.push_back(clause);
    out.result.cnf.num_vars = std::max(out.result.cnf.num_vars, options.top_id + out.input.fresh);
    out.result.top_id = options.top_id;  // the fresh literals count as auxiliary variables
    return out;
}

}  // namespace quillet::pipeline
