// From an OPB file to DIMACS CNF or WCNF: read and normalise, detect AMO
// groups, encode every cardinality and pseudo-Boolean row with a quillet
// encoder (in several threads if asked, with the same output for any number
// of threads) and write the result through a temporary file that is renamed
// over the target only when everything succeeded.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/amo_detect.hpp"
#include "io/opb.hpp"
#include "quillet/cnf.hpp"

namespace quillet::opb {

enum class Format : std::uint8_t { dimacs, wcnf };
enum class AmoEncoding : std::uint8_t { automatic, pairwise, ladder };

struct PipelineOptions {
    std::string encoding = "auto";  // auto, smallest or an encoder name
    Format format = Format::dimacs;
    AmoEncoding amo = AmoEncoding::automatic;
    bool detect = true;
    unsigned threads = 1;
    bool variable_comments = true;
    // Called from the calling thread now and then: (stage, done, total).
    std::function<void(std::string_view, std::uint64_t, std::uint64_t)> progress;
};

inline constexpr std::array<std::string_view, 5> encoder_names{"mdd", "gswc", "ggpw", "gmto", "rggt"};

struct Summary {
    std::int32_t input_vars = 0;  // largest OPB variable
    std::int32_t num_vars = 0;    // largest variable in the output
    std::uint64_t hard_clauses = 0;
    std::uint64_t soft_clauses = 0;
    std::array<std::uint64_t, 4> rows{};    // by Kind
    std::uint64_t groups = 0;               // AMO groups of two or more literals used in encodings
    std::uint64_t grouped_literals = 0;     // literals in those groups
    std::array<std::uint64_t, 5> encoder_uses{};  // rows encoded by each encoder
    Counts counts;
    std::uint64_t bytes_read = 0;
    std::uint64_t bytes_written = 0;
    double read_seconds = 0;    // reading and normalising
    double detect_seconds = 0;  // building the conflict graph
    double encode_seconds = 0;  // encoding and writing
    // The same on the calling thread's CPU clock (not counting -j workers):
    // what the phases cost on a machine shared with other work.
    double read_cpu_seconds = 0;
    double encode_cpu_seconds = 0;
};

class ClauseSink {
public:
    virtual ~ClauseSink() = default;
    virtual void clause(std::span<const Lit> lits) = 0;
};

// Encodes `constraint` with an encoder of `encoder_names`, with "auto" (the
// library's choose_encoder) or "smallest" (the library's encode_with).
// `chosen` receives the index of the encoder used, or -1 for "smallest".
EncodeResult encode_with(std::string_view encoding, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options, int* chosen = nullptr);

// Checks an encoding name: one of encoder_names, "auto" or "smallest".
bool valid_encoding(std::string_view encoding);

// The groups of a row: detected cliques, or one literal per group.
std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, std::span<const WeightedLiteral> terms);

// Sends the hard clauses of the problem to the sink in output order and
// returns the summary (hard clauses, variables, group counts). Auxiliary
// variables are numbered from problem.num_vars + 1 in row order.
Summary encode_problem(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                       ClauseSink& sink);

// Reads OPB from `in_fd` (named `in_name` in messages), writes `out_path`
// ("-" for standard output) through a temporary file. Throws ParseError or
// another std::exception; the target is then untouched.
Summary convert(int in_fd, const std::string& in_name, const std::string& out_path, const PipelineOptions& options,
                const ReadOptions& read_options = {});

// Per encoder and row kind, what encoding every row with it costs.
struct EncoderStats {
    std::uint64_t rows = 0;       // rows encoded
    std::uint64_t skipped = 0;    // rows refused (size guard or encoder limit)
    std::uint64_t vars = 0;
    std::uint64_t clauses = 0;
    double seconds = 0;
};
struct Stats {
    Summary summary;  // of the problem itself (rows, groups, counts)
    std::array<std::uint64_t, 4> groups_by_kind{};          // non-singleton groups per Kind
    std::array<std::uint64_t, 4> grouped_literals_by_kind{};
    std::uint64_t objective_groups = 0, objective_grouped_literals = 0, objective_terms = 0;
    std::array<std::array<EncoderStats, 5>, 2> per_encoder{};  // [cardinality|pb][encoder]
};
Stats problem_stats(const Problem& problem, const ConflictGraph* graph, unsigned threads);

}  // namespace quillet::opb
