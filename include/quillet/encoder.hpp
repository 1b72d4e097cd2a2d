// The common interface of the encoders and the registry that creates them
// by name. The registry's table is the one list of encoders: every name,
// every module constant and every choice of "auto" is read from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
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

// How "auto" finds out an encoder's size, cheapest first.
enum class AutoTrial : std::uint8_t {
    count,    // exactly, in closed form, in time proportional to the input
    build,    // by building it: it wins on most constraints, and measuring it costs nearly a build
    measure,  // by measuring it under the best size so far: it rarely wins, and gives up early
};

// One row of the registry's table.
struct EncoderInfo {
    std::string_view name;      // the key of make_encoder
    std::string_view constant;  // the module constant whose value is the name ("ENC_MDD")
    std::string_view summary;   // the construction in a few words
    AutoTrial auto_trial;
    int auto_rank;                // "auto" tries the encoders in increasing rank
    std::size_t auto_max_groups;  // "auto" skips it above this many groups (0: never)
    std::unique_ptr<Encoder> (*make)();
};

// The registry's table, in the order of available_encoders().
std::span<const EncoderInfo> encoder_table();

// The row of that name (exact and case-sensitive), or null.
const EncoderInfo* find_encoder(std::string_view name);

// Exact, case-sensitive name lookup; any other name throws
// InvalidConstraint("quillet: unknown encoder name").
std::unique_ptr<Encoder> make_encoder(std::string_view name);

// The names of the table, in its order.
std::vector<std::string> available_encoders();

// The encoder whose encoding of this constraint has the fewest literals
// among those that fit options.max_literals (the earliest of the table on a
// tie), trying each as its row says; an encoder with auto_max_groups is a
// candidate only up to that many groups. Throws EncodingTooLarge when none
// fits, and the validation errors of encode().
std::string choose_encoder(const GroupedLeqConstraint& constraint, const EncodeOptions& options);

// Encodes with the named encoder, or with choose_encoder's pick for "auto",
// or, for "smallest", by building every encoder's output (each under the
// best size so far as its budget) and keeping the one with fewest literals.
// Neither builds the winner twice. EncodeResult::encoder names the encoder
// whose output it is.
EncodeResult encode_with(std::string_view name, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options);

}  // namespace quillet
