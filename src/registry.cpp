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
};

constexpr std::array kRegistry = {
    RegistryEntry{MddEncoder::kName, make<MddEncoder>},   RegistryEntry{GswcEncoder::kName, make<GswcEncoder>},
    RegistryEntry{GgpwEncoder::kName, make<GgpwEncoder>}, RegistryEntry{GmtoEncoder::kName, make<GmtoEncoder>},
    RegistryEntry{RggtEncoder::kName, make<RggtEncoder>},
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
    // a candidate that is already larger stops as soon as it passes it: the
    // cost of choosing stays near the cost of the smaller encodings.
    EncodeOptions trial = options;
    std::string_view best;
    for (const RegistryEntry& entry : kRegistry) {
        try {
            const EncodingSize size = entry.make()->measure(constraint, trial);
            if (best.empty() || size.literals < trial.max_literals) {
                best = entry.name;
                trial.max_literals = size.literals;
            }
        } catch (const std::length_error&) {
        } catch (const std::overflow_error&) {
            // An encoder that cannot number this constraint in 32-bit ids.
        }
    }
    if (best.empty()) throw_encoding_too_large(options.max_literals);
    return std::string(best);
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
