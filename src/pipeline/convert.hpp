// From an OPB file to DIMACS CNF or WCNF: read and normalise, detect AMO
// groups, encode every cardinality and pseudo-Boolean row with the
// library's encode_with (in several threads if asked, with the same output
// for any number of threads) and write the result by the rules of
// io::OutputFile, so that a failure leaves the target as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "core/amo.hpp"
#include "io/opb.hpp"
#include "pipeline/amo_detect.hpp"
#include "pipeline/rows.hpp"
#include "quillet/cnf.hpp"

namespace quillet::pipeline {

enum class Format : std::uint8_t { dimacs, wcnf };

// A request that cannot be carried out as asked (the output is the input).
class UsageError : public std::invalid_argument {
public:
    explicit UsageError(const std::string& what) : std::invalid_argument(what) {}
};

struct PipelineOptions {
    std::string encoding = "auto";  // auto, smallest or an encoder name
    Format format = Format::dimacs;
    AmoMethod amo = AmoMethod::automatic;
    bool detect = true;
    unsigned threads = 1;
    bool variable_comments = true;
    // Called from the calling thread now and then: (stage, done, total).
    std::function<void(std::string_view, std::uint64_t, std::uint64_t)> progress;
    // Polled on the calling thread only; true cancels (quillet::Cancelled).
    std::function<bool()> stop;
};

struct Summary {
    std::int32_t input_vars = 0;  // largest OPB variable
    std::int32_t num_vars = 0;    // largest variable in the output
    std::uint64_t hard_clauses = 0;
    std::uint64_t soft_clauses = 0;
    std::array<std::uint64_t, 4> rows{};  // by Kind
    std::uint64_t groups = 0;             // AMO groups of two or more literals used in encodings
    std::uint64_t grouped_literals = 0;   // literals in those groups
    SourceCounts groups_by_source{};      // the same by source (a complemented group counts its row literals)
    std::vector<std::uint64_t> encoder_uses;  // rows encoded by each encoder, in the registry's order
    opb::Counts counts;
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

// Receives the clauses of a problem in output order.
class ClauseOutput {
public:
    virtual ~ClauseOutput() = default;
    virtual void clause(std::span<const Lit> lits) = 0;
};

// Checks an encoding name: one of the registry's, "auto" or "smallest".
bool valid_encoding(std::string_view encoding);

// Sends the hard clauses of the problem to `out` in output order and
// returns the summary (hard clauses, variables, group counts). Auxiliary
// variables are numbered from problem.num_vars + 1 in row order.
Summary encode_problem(const opb::Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                       ClauseOutput& out);

// Reads OPB from `in_fd` (named `in_name` in messages) and writes `out_path`
// ("-" for standard output). Throws opb::ParseError, UsageError when the
// output is the input file (before anything is read), or another
// std::exception; the target is then as it was.
Summary convert(int in_fd, const std::string& in_name, const std::string& out_path, const PipelineOptions& options,
                const opb::ReadOptions& read_options = {});

}  // namespace quillet::pipeline
