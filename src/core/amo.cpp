// The at-most-one writer: see amo.hpp for the two forms and why the ladder
// is exact. Sizes are counted in closed form first, so an oversized request
// is refused before a clause is written.

#include "core/amo.hpp"

#include <algorithm>

namespace quillet {

namespace {

bool written_pairwise(const std::size_t n, const AmoMethod method) {
    return n <= 2 || method == AmoMethod::pairwise ||
           (method == AmoMethod::automatic && n <= amo_pairwise_limit);
}

// Saturates well before wrapping: such a count is far past any budget.
std::uint64_t saturating_add(const std::uint64_t a, const std::uint64_t b) {
    constexpr std::uint64_t kCap = std::uint64_t{1} << 62;
    return std::min(kCap, std::min(kCap, a) + std::min(kCap, b));
}

void add_pairwise(const std::vector<Lit>& group, ClauseSink& sink) {
    for (std::size_t a = 0; a + 1 < group.size(); ++a)
        for (std::size_t b = a + 1; b < group.size(); ++b) sink.add_clause({-group[a], -group[b]});
}

void add_sequential(const std::vector<Lit>& group, VariableManager& vars, ClauseSink& sink) {
    const std::size_t n = group.size();
    Lit previous = vars.fresh();
    sink.add_clause({-group[0], previous});
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const Lit current = vars.fresh();
        sink.add_clause({-group[i], current});
        sink.add_clause({-previous, current});
        sink.add_clause({-group[i], -previous});
        previous = current;
    }
    sink.add_clause({-group[n - 1], -previous});
}

}  // namespace

bool parse_amo_method(const std::string_view name, AmoMethod& method) {
    if (name == "auto") {
        method = AmoMethod::automatic;
    } else if (name == "pairwise") {
        method = AmoMethod::pairwise;
    } else if (name == "sequential" || name == "ladder") {
        method = AmoMethod::sequential;
    } else {
        return false;
    }
    return true;
}

EncodingSize amo_size(const std::vector<std::vector<Lit>>& groups, const AmoMethod method) {
    EncodingSize size;
    for (const std::vector<Lit>& group : groups) {
        const std::uint64_t n = group.size();
        if (n < 2) continue;
        if (written_pairwise(n, method)) {
            const std::uint64_t pairs = n % 2 == 0 ? (n / 2) * (n - 1) : n * ((n - 1) / 2);
            size.clauses = saturating_add(size.clauses, pairs);
            size.literals = saturating_add(size.literals, saturating_add(pairs, pairs));
        } else {
            size.variables += static_cast<std::int64_t>(n - 1);
            size.clauses = saturating_add(size.clauses, 3 * n - 4);
            size.literals = saturating_add(size.literals, 6 * n - 8);
        }
    }
    return size;
}

void add_amo_clauses(const std::vector<std::vector<Lit>>& groups, const AmoMethod method, VariableManager& vars,
                     ClauseSink& sink) {
    const EncodingSize size = amo_size(groups, method);
    sink.require_room(size.literals);
    vars.require_available(static_cast<std::uint64_t>(size.variables));
    sink.reserve(size.clauses, size.literals);
    for (const std::vector<Lit>& group : groups) {
        if (group.size() < 2) continue;
        if (written_pairwise(group.size(), method)) {
            add_pairwise(group, sink);
        } else {
            add_sequential(group, vars, sink);
        }
    }
}

}  // namespace quillet
