// The one table of encoders: make_encoder, available_encoders and
// choose_encoder read it, so a new encoder is added here and nowhere else.
// Also the shared driver of Encoder::encode and Encoder::measure.

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "encoders/encoders.hpp"
#include "core/encoding.hpp"

namespace quillet {

namespace {

template <class E>
std::unique_ptr<Encoder> make() {
    return std::make_unique<E>();
}

// How "auto" tries an encoder, cheapest first.
enum class AutoTrial {
    count,    // its exact size in closed form, in time proportional to the input
    build,    // built: it wins on most constraints, and measuring it costs nearly a build
    measure,  // measured: it rarely wins, and its measurement skips only the clause writing
};

struct RegistryEntry {
    std::string_view name;
    std::unique_ptr<Encoder> (*make)();
    // Where "auto" tries it: the closed-form counts first, so that the others
    // start under a tight budget, then by the cost of finding out that they
    // lose.
    int search_rank;
    AutoTrial auto_trial;
    // "auto" skips it above this many groups (0: never): past a handful of
    // groups rggt's output is larger than gmto's on every family of the
    // benchmark, while its tree shaping, which runs before its size is
    // known, costs more than gmto's whole encode.
    std::size_t auto_max_groups;
};

constexpr std::array kRegistry = {
    RegistryEntry{MddEncoder::kName, make<MddEncoder>, 3, AutoTrial::measure, 0},
    RegistryEntry{GswcEncoder::kName, make<GswcEncoder>, 0, AutoTrial::count, 0},
    RegistryEntry{GgpwEncoder::kName, make<GgpwEncoder>, 1, AutoTrial::count, 0},
    RegistryEntry{GmtoEncoder::kName, make<GmtoEncoder>, 2, AutoTrial::build, 0},
    RegistryEntry{RggtEncoder::kName, make<RggtEncoder>, 4, AutoTrial::measure, 8},
};

// The outcome of trying the candidates: the index of the smallest (fewest
// literals, the earlier registry index on a tie) and, when it was built on
// the way, its encoding.
struct Search {
    std::optional<std::size_t> best;
    std::uint64_t literals = 0;
    std::optional<EncodeResult> built;
};

enum class SearchKind {
    measure,    // choose_encoder: measure every candidate of "auto"
    automatic,  // "auto": try each candidate as its table entry says
    build,      // "smallest": build every encoder
};

}  // namespace

// Runs an encoder's measurement as a trial (see ClauseSink::trial).
struct EncoderTrial {
    static EncodingSize measure(const Encoder& encoder, const GroupedLeqConstraint& constraint,
                                const EncodeOptions& options) {
        Encoding encoding(constraint, options, true);
        encoding.sink.mark_trial();
        encoder.build(constraint, encoding);
        return encoding.size();
    }
};

namespace {

// Tries every encoder, each under the best size so far as its budget, so that
// a candidate already larger stops as soon as it passes it. The best encoding
// built on the way is kept, so the winner is never built twice.
// Validation errors reach the caller from the first trial: only the size
// and id errors of a candidate are caught.
Search search_smallest(const GroupedLeqConstraint& constraint, const EncodeOptions& options, const SearchKind kind) {
    std::vector<std::size_t> order(kRegistry.size());
    for (std::size_t index = 0; index < kRegistry.size(); ++index) order[index] = index;
    std::ranges::sort(order, {}, [](const std::size_t index) { return kRegistry[index].search_rank; });
    EncodeOptions trial = options;
    trial.clean = false;
    Search search;
    for (const std::size_t index : order) {
        const RegistryEntry& entry = kRegistry[index];
        if (kind != SearchKind::build && entry.auto_max_groups != 0 &&
            constraint.groups.size() > entry.auto_max_groups)
            continue;
        try {
            std::optional<EncodeResult> result;
            std::uint64_t literals = 0;
            const std::unique_ptr<Encoder> encoder = entry.make();
            if (kind == SearchKind::build || (kind == SearchKind::automatic && entry.auto_trial == AutoTrial::build)) {
                result = encoder->encode(constraint, trial);
                literals = result->cnf.clauses.num_literals();
            } else if (entry.auto_trial == AutoTrial::measure && search.best) {
                literals = EncoderTrial::measure(*encoder, constraint, trial).literals;
            } else {
                literals = encoder->measure(constraint, trial).literals;
            }
            if (!search.best || literals < search.literals || (literals == search.literals && index < *search.best)) {
                search.best = index;
                search.literals = literals;
                search.built = std::move(result);
                trial.max_literals = literals;
            }
        } catch (const EncodingTooLarge&) {
        } catch (const EncoderLimit&) {
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
    throw InvalidConstraint("quillet: unknown encoder name");
}

std::vector<std::string> available_encoders() {
    std::vector<std::string> names;
    for (const RegistryEntry& entry : kRegistry) names.emplace_back(entry.name);
    return names;
}

std::string choose_encoder(const GroupedLeqConstraint& constraint, const EncodeOptions& options) {
    return std::string(kRegistry[*search_smallest(constraint, options, SearchKind::measure).best].name);
}

EncodeResult encode_with(const std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options) {
    if (name != "auto" && name != "smallest") return make_encoder(name)->encode(constraint, options);
    Search search =
        search_smallest(constraint, options, name == "auto" ? SearchKind::automatic : SearchKind::build);
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
