// The one table of encoders: make_encoder, available_encoders and
// choose_encoder read it, so a new encoder is added here and nowhere else.
// Also the shared driver of Encoder::encode and Encoder::measure.

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
    bool measures_cheaply;  // counts its exact size without building its structure
};

constexpr std::array kRegistry = {
    RegistryEntry{MddEncoder::kName, make<MddEncoder>, false},
    RegistryEntry{GswcEncoder::kName, make<GswcEncoder>, true},
    RegistryEntry{GgpwEncoder::kName, make<GgpwEncoder>, true},
    RegistryEntry{GmtoEncoder::kName, make<GmtoEncoder>, false},
    RegistryEntry{RggtEncoder::kName, make<RggtEncoder>, false},
};

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
    constraint.validate();
    // Each candidate is measured under the best size so far as its budget, so
    // a candidate that is already larger stops as soon as it passes it. The
    // encoders that count their size without building anything go first, so
    // that the others start with a tight budget; a tie goes to the earlier
    // name of the registry all the same.
    std::vector<std::size_t> order;
    for (const bool cheap : {true, false})
        for (std::size_t index = 0; index < kRegistry.size(); ++index)
            if (kRegistry[index].measures_cheaply == cheap) order.push_back(index);
    EncodeOptions trial = options;
    std::optional<std::size_t> best;
    std::uint64_t best_literals = 0;
    for (const std::size_t index : order) {
        try {
            const EncodingSize size = kRegistry[index].make()->measure(constraint, trial);
            if (!best || size.literals < best_literals || (size.literals == best_literals && index < *best)) {
                best = index;
                best_literals = size.literals;
                trial.max_literals = size.literals;
            }
        } catch (const std::length_error&) {
        } catch (const std::overflow_error&) {
            // An encoder that cannot number this constraint in 32-bit ids.
        }
    }
    if (!best) throw_encoding_too_large(options.max_literals);
    return std::string(kRegistry[*best].name);
}

EncodeResult encode_with(const std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options) {
    if (name == "auto") return make_encoder(choose_encoder(constraint, options))->encode(constraint, options);
    if (name != "smallest") return make_encoder(name)->encode(constraint, options);
    constraint.validate();
    // Builds every candidate, each under the best size so far as its budget.
    EncodeOptions trial = options;
    trial.clean = false;
    std::optional<EncodeResult> best;
    for (const RegistryEntry& entry : kRegistry) {
        try {
            EncodeResult result = entry.make()->encode(constraint, trial);
            const std::uint64_t literals = result.cnf.clauses.num_literals();
            if (!best || literals < trial.max_literals) {
                trial.max_literals = literals;
                best = std::move(result);
            }
        } catch (const std::length_error&) {
        } catch (const std::overflow_error&) {
        }
    }
    if (!best) throw_encoding_too_large(options.max_literals);
    if (options.clean) {
        clean_clauses(best->cnf.clauses);
        best->num_clauses = best->cnf.clauses.size();
    }
    return std::move(*best);
}

}  // namespace quillet
