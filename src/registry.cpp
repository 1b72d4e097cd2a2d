// The one table of encoders: make_encoder, available_encoders and
// choose_encoder read it, so a new encoder is added here and nowhere else.
// Also the shared driver of Encoder::encode and Encoder::measure.

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "encoders.hpp"
#include "encoding.hpp"

namespace quillet {

namespace {

template <class E>
std::unique_ptr<Encoder> make() {
    return std::make_unique<E>();
}

struct RegistryEntry {
    std::string_view name;
    std::unique_ptr<Encoder> (*make)();
    // Where "auto" tries it: the encoders that count their size in closed form
    // (in time proportional to the input) first, so that the others start
    // under a tight budget, then by the cost of finding out that they lose.
    int search_rank;
    bool closed_form_size;
    // "auto" skips it above this many groups (0: never): past two dozen
    // groups rggt's output is many times gmto's on every family of the
    // benchmark, while its tree shaping, which runs before its size is known,
    // costs many times gmto's whole encode.
    std::size_t auto_max_groups;
};

constexpr std::array kRegistry = {
    RegistryEntry{MddEncoder::kName, make<MddEncoder>, 3, false, 0},
    RegistryEntry{GswcEncoder::kName, make<GswcEncoder>, 0, true, 0},
    RegistryEntry{GgpwEncoder::kName, make<GgpwEncoder>, 1, true, 0},
    RegistryEntry{GmtoEncoder::kName, make<GmtoEncoder>, 2, false, 0},
    RegistryEntry{RggtEncoder::kName, make<RggtEncoder>, 4, false, 32},
};

// The outcome of trying the candidates: the index of the smallest (fewest
// literals, the earlier registry index on a tie) and, when it was built on
// the way, its encoding.
struct Search {
    std::optional<std::size_t> best;
    std::uint64_t literals = 0;
    std::optional<EncodeResult> built;
};

enum class Trial {
    measure,                   // measure the candidates of "auto"
    build_unless_closed_form,  // "auto": build those without a closed-form size, measure the rest
    build,                     // "smallest": build every encoder
};

// Tries every encoder, each under the best size so far as its budget, so that
// a candidate already larger stops as soon as it passes it. The best encoding
// built on the way is kept, so the winner is never built twice.
// Validation errors reach the caller from the first trial: only the size
// and id errors of a candidate are caught.
Search search_smallest(const GroupedLeqConstraint& constraint, const EncodeOptions& options, const Trial trial_kind) {
    std::vector<std::size_t> order(kRegistry.size());
    for (std::size_t index = 0; index < kRegistry.size(); ++index) order[index] = index;
    std::ranges::sort(order, {}, [](const std::size_t index) { return kRegistry[index].search_rank; });
    EncodeOptions trial = options;
    trial.clean = false;
    Search search;
    for (const std::size_t index : order) {
        const RegistryEntry& entry = kRegistry[index];
        if (trial_kind != Trial::build && entry.auto_max_groups != 0 &&
            constraint.groups.size() > entry.auto_max_groups)
            continue;
        try {
            std::optional<EncodeResult> result;
            std::uint64_t literals = 0;
            if (trial_kind == Trial::build || (trial_kind == Trial::build_unless_closed_form && !entry.closed_form_size)) {
                result = entry.make()->encode(constraint, trial);
                literals = result->cnf.clauses.num_literals();
            } else {
                literals = entry.make()->measure(constraint, trial).literals;
            }
            if (!search.best || literals < search.literals || (literals == search.literals && index < *search.best)) {
                search.best = index;
                search.literals = literals;
                search.built = std::move(result);
                trial.max_literals = literals;
            }
        } catch (const std::length_error&) {
        } catch (const std::overflow_error&) {
            // An encoder that cannot number this constraint in 32-bit ids.
        }
    }
    if (!search.best) throw_encoding_too_large(options.max_literals);
    return search;
}

}  // namespace

EncodeResult Encoder::encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options, false);
    build(constraint, encoding);
    return encoding.finish(options.clean);
}

EncodingSize Encoder::measure(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options, true);
    build(constraint, encoding);
    return encoding.size();
}

std::unique_ptr<Encoder> make_encoder(const std::string_view name) {
    for (const RegistryEntry& entry : kRegistry)
        if (entry.name == name) return entry.make();
    throw std::invalid_argument("quillet: unknown encoder name");
}

std::vector<std::string> available_encoders() {
    std::vector<std::string> names;
    for (const RegistryEntry& entry : kRegistry) names.emplace_back(entry.name);
    return names;
}

std::string choose_encoder(const GroupedLeqConstraint& constraint, const EncodeOptions& options) {
    return std::string(kRegistry[*search_smallest(constraint, options, Trial::measure).best].name);
}

EncodeResult encode_with(const std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options) {
    if (name != "auto" && name != "smallest") return make_encoder(name)->encode(constraint, options);
    Search search =
        search_smallest(constraint, options, name == "auto" ? Trial::build_unless_closed_form : Trial::build);
    // A winner that was only measured is built now, clean-up included.
    if (!search.built) return kRegistry[*search.best].make()->encode(constraint, options);
    EncodeResult result = std::move(*search.built);
    if (options.clean) {
        clean_clauses(result.cnf.clauses);
        result.num_clauses = result.cnf.clauses.size();
    }
    return result;
}

}  // namespace quillet
