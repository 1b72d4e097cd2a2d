// The registry: the table of encoders (its rows are in encoders.hpp) and
// what reads it, make_encoder, available_encoders, choose_encoder and
// encode_with; also the shared driver of Encoder::encode and
// Encoder::measure.

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

#define QUILLET_TABLE_ROW(Class, short_name, constant, summary, trial, rank, max_groups) \
    EncoderInfo{short_name, constant, summary, AutoTrial::trial, rank, max_groups, make<Class>},
constexpr EncoderInfo kTable[] = {QUILLET_ENCODER_TABLE(QUILLET_TABLE_ROW)};
#undef QUILLET_TABLE_ROW

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
    const std::span<const EncoderInfo> table = encoder_table();
    std::vector<std::size_t> order(table.size());
    for (std::size_t index = 0; index < table.size(); ++index) order[index] = index;
    std::ranges::stable_sort(order, {}, [&](const std::size_t index) { return table[index].auto_rank; });
    EncodeOptions trial = options;
    trial.clean = false;
    Search search;
    for (const std::size_t index : order) {
        const EncoderInfo& entry = table[index];
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
    EncodeResult result = encoding.finish(options.clean);
    result.encoder = name();
    return result;
}

EncodingSize Encoder::measure(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options, true);
    build(constraint, encoding);
    return encoding.size();
}

std::span<const EncoderInfo> encoder_table() { return kTable; }

const EncoderInfo* find_encoder(const std::string_view name) {
    for (const EncoderInfo& entry : kTable)
        if (entry.name == name) return &entry;
    return nullptr;
}

std::unique_ptr<Encoder> make_encoder(const std::string_view name) {
    const EncoderInfo* entry = find_encoder(name);
    if (entry == nullptr) throw InvalidConstraint("quillet: unknown encoder name");
    return entry->make();
}

std::vector<std::string> available_encoders() {
    std::vector<std::string> names;
    for (const EncoderInfo& entry : kTable) names.emplace_back(entry.name);
    return names;
}

std::string choose_encoder(const GroupedLeqConstraint& constraint, const EncodeOptions& options) {
    return std::string(kTable[*search_smallest(constraint, options, SearchKind::measure).best].name);
}

EncodeResult encode_with(const std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options) {
    if (name != "auto" && name != "smallest") return make_encoder(name)->encode(constraint, options);
    Search search =
        search_smallest(constraint, options, name == "auto" ? SearchKind::automatic : SearchKind::build);
    // A winner that was only measured is built now, clean-up included.
    if (!search.built) return kTable[*search.best].make()->encode(constraint, options);
    EncodeResult result = std::move(*search.built);
    if (options.clean) clean_clauses(result.cnf.clauses);
    return result;
}

}  // namespace quillet
