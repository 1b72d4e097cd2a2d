// The statistics of a problem (`corvane stats`): its rows, the AMO groups
// found per kind of row and in the objective by source (stated, implied,
// complemented: see rows.hpp), and what encoding every cardinality and
// pseudo-Boolean row with each encoder of the registry costs. A row's groups
// are those of the input the conversion keeps with the default encoding
// (auto); its size with an encoder is that of the input the conversion keeps
// with that encoder, definitions of fresh literals included. Each row is
// encoded by every encoder under a size guard, so an encoder that would
// explode on a row is counted as skipped rather than allowed to exhaust the
// machine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "io/opb.hpp"
#include "pipeline/amo_detect.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/rows.hpp"

namespace quillet::pipeline {

// Per encoder and row kind, what encoding every row with it costs.
struct EncoderStats {
    std::uint64_t rows = 0;     // rows encoded
    std::uint64_t skipped = 0;  // rows refused (size guard or encoder limit)
    std::uint64_t vars = 0;
    std::uint64_t clauses = 0;
    double seconds = 0;
};

struct Stats {
    Summary summary;  // of the problem itself (rows, groups, counts)
    std::array<SourceCounts, 4> groups_by_kind{};  // groups of two or more per Kind, by source
    SourceCounts objective_groups{};                // (never complemented: the objective keeps its terms)
    std::uint64_t objective_terms = 0;
    // [cardinality, pb][encoder in the registry's order]
    std::array<std::vector<EncoderStats>, 2> per_encoder;
};

// A row's encoding with one encoder is skipped past this many literals.
inline constexpr std::uint64_t stats_size_guard = std::uint64_t{1} << 24;

// `stop` is polled on the calling thread.
Stats problem_stats(const opb::Problem& problem, const ConflictGraph* graph, unsigned threads,
                    const std::function<bool()>& stop = {});

}  // namespace quillet::pipeline
