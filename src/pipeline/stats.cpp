// The statistics of a problem: see stats.hpp. The rows are spread over the
// threads by parallel_for; each row's counts are added under a lock, and
// sums do not depend on the order, so the result is the same for any
// number of threads (but the seconds).

#include "pipeline/stats.hpp"

#include <chrono>
#include <mutex>

#include "pipeline/parallel.hpp"
#include "pipeline/rows.hpp"
#include "quillet/encoder.hpp"
#include "quillet/errors.hpp"

namespace quillet::pipeline {

using opb::Kind;
using opb::Row;

Stats problem_stats(const opb::Problem& problem, const ConflictGraph* graph, const unsigned threads,
                    const std::function<bool()>& stop) {
    const std::span<const EncoderInfo> table = encoder_table();
    Stats stats;
    stats.summary.input_vars = stats.summary.num_vars = problem.num_vars;
    stats.summary.counts = problem.counts;
    stats.summary.encoder_uses.assign(table.size(), 0);
    for (std::vector<EncoderStats>& per : stats.per_encoder) per.assign(table.size(), EncoderStats{});
    std::vector<std::size_t> work_rows;
    for (std::size_t r = 0; r < problem.rows.size(); ++r) {
        const Row& row = problem.rows[r];
        ++stats.summary.rows[static_cast<std::size_t>(row.kind)];
        if (row.kind == Kind::cardinality || row.kind == Kind::pb) work_rows.push_back(r);
    }
    if (problem.objective.present) {
        stats.objective_terms = problem.objective.terms.size();
        stats.objective_groups = row_inputs(graph, problem.objective.terms, 0, problem.num_vars)[0].found;
    }
    std::mutex mutex;
    parallel_for(work_rows.size(), threads, [&](const std::size_t i, const bool on_caller) {
        const Row& row = problem.rows[work_rows[i]];
        const std::vector<RowInput> inputs = row_inputs(graph, problem.row_terms(row), row.bound, problem.num_vars);
        EncodeOptions options{problem.num_vars};
        options.max_literals = stats_size_guard;
        if (on_caller) options.stop = stop;
        SourceCounts found = inputs[0].found;
        if (inputs.size() > 1) {
            try {
                found = encode_smaller(inputs, "auto", options).input.found;
            } catch (const EncodingTooLarge&) {
            } catch (const EncoderLimit&) {
            }
        }
        std::vector<EncoderStats> local(table.size());
        for (std::size_t e = 0; e < table.size(); ++e) {
            const auto start = std::chrono::steady_clock::now();
            try {
                const EncodeResult r = encode_smaller(inputs, table[e].name, options).result;
                local[e].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                local[e].rows = 1;
                local[e].vars = static_cast<std::uint64_t>(r.num_aux_vars());
                local[e].clauses = r.num_clauses();
            } catch (const EncodingTooLarge&) {
                local[e].skipped = 1;
            } catch (const EncoderLimit&) {
                local[e].skipped = 1;
            }
        }
        const std::size_t k = row.kind == Kind::pb ? 1 : 0;
        const std::lock_guard lock(mutex);
        for (std::size_t k = 0; k < num_sources; ++k) {
            stats.groups_by_kind[static_cast<std::size_t>(row.kind)][k].groups += found[k].groups;
            stats.groups_by_kind[static_cast<std::size_t>(row.kind)][k].literals += found[k].literals;
            stats.summary.groups_by_source[k].groups += found[k].groups;
            stats.summary.groups_by_source[k].literals += found[k].literals;
            stats.summary.groups += found[k].groups;
            stats.summary.grouped_literals += found[k].literals;
        }
        for (std::size_t e = 0; e < table.size(); ++e) {
            EncoderStats& s = stats.per_encoder[k][e];
            s.rows += local[e].rows;
            s.skipped += local[e].skipped;
            s.vars += local[e].vars;
            s.clauses += local[e].clauses;
            s.seconds += local[e].seconds;
        }
    });
    return stats;
}

}  // namespace quillet::pipeline
