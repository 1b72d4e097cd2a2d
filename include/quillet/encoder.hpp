// The common interface of the encoders and the registry that creates them
// by name.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/cnf.hpp"
#include "quillet/constraint.hpp"

namespace quillet {

struct Encoding;  // the per-call state of one encode (private to the library)

// Every encode runs the same opening steps (validate, check top_id, write
// the AMO pair clauses when asked), the encoder's construction, and the same
// closing steps; only the construction differs between encoders.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual std::string_view name() const = 0;

    EncodeResult encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const;
    // The exact size that encode() returns for the same arguments (before
    // the optional clean-up), counted without storing any clause. Throws
    // what encode() throws, the too-large error included.
    EncodingSize measure(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const;

protected:
    virtual void build(const GroupedLeqConstraint& constraint, Encoding& encoding) const = 0;

private:
    friend struct EncoderTrial;  // the budgeted trials of "auto" (private to the library)
};

// Exact, case-sensitive name lookup; any other name throws
// std::invalid_argument("quillet: unknown encoder name").
std::unique_ptr<Encoder> make_encoder(std::string_view name);

// "mdd", "gswc", "ggpw", "gmto", "rggt", in this order.
std::vector<std::string> available_encoders();

// The encoder whose encoding of this constraint has the fewest literals
// among those that fit options.max_literals (the earliest of
// available_encoders() on a tie); rggt is a candidate only for constraints of
// at most 8 groups, and only while the value sets of its first tree stay
// within half the best size so far. Throws the too-large error when none
// fits, and the validation errors of encode().
std::string choose_encoder(const GroupedLeqConstraint& constraint, const EncodeOptions& options);

// Encodes with the named encoder, or with choose_encoder's pick for "auto",
// or, for "smallest", by building every encoder's output (each under the
// best size so far as its budget) and keeping the one with fewest literals.
// Neither builds the winner twice.
EncodeResult encode_with(std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options);

}  // namespace quillet
