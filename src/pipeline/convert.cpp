// The file conversion: see convert.hpp.
//
// Rows are encoded in chunks of kChunkRows by parallel_for, each into its
// own slot, then written in row order with their auxiliary variables
// shifted behind those of the rows before, so the output is the same for
// any number of threads. Memory: the problem, one chunk of encodings and the
// writer's buffer.
//
// DIMACS puts the clause count in its header line, before the first clause.
// Into a file, the clauses go to an unnamed scratch file first and are
// copied behind the header by the kernel; into standard output or another
// stream, which cannot be staged next to the target, the rows are encoded
// twice, once to count and once to write. WCNF has no header and streams.

#include "pipeline/convert.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

#include <time.h>

#include "core/encoding.hpp"
#include "io/dimacs.hpp"
#include "io/output.hpp"
#include "pipeline/parallel.hpp"
#include "pipeline/rows.hpp"
#include "quillet/encoder.hpp"
#include "quillet/errors.hpp"

namespace quillet::pipeline {

using opb::Kind;
using opb::Problem;
using opb::Row;

namespace {

constexpr std::size_t kChunkRows = 8192;

double thread_cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void throw_ids_exhausted() {
    throw IdsExhausted("quillet: variable ids exhausted: the encoding needs more than " +
                       std::to_string(max_variable_id) + " variables");
}

void poll(const PipelineOptions& options) {
    if (options.stop && options.stop()) throw Cancelled();
}

struct RowOutput {
    CnfFormula cnf;
    std::int64_t aux = 0;  // auxiliary variables numbered from num_vars + 1
    std::size_t encoder = 0;
    bool encoded = false;  // by a registry encoder (not an AMO row)
    SourceCounts groups{};
};

void encode_amo_row(const Problem& problem, const PipelineOptions& options, const Row& row, RowOutput& out) {
    std::vector<std::vector<Lit>> group(1);
    for (const WeightedLiteral& t : problem.row_terms(row)) group[0].push_back(t.lit);
    VariableManager vars(problem.num_vars);
    ClauseSink sink(&out.cnf.clauses, EncodeOptions{problem.num_vars});
    add_amo_clauses(group, options.amo, vars, sink);
    out.aux = vars.top() - problem.num_vars;
}

// The row's inputs (plain, and complemented when found) encoded, the smaller
// kept; its fresh literals and auxiliary variables numbered from num_vars + 1.
void encode_row(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options, const Row& row,
                const bool on_caller, RowOutput& out) {
    if (row.kind == Kind::amo) return encode_amo_row(problem, options, row, out);
    EncodeOptions encode_options{problem.num_vars};
    if (on_caller) encode_options.stop = options.stop;
    EncodedRow r = encode_smaller(row_inputs(graph, problem.row_terms(row), row.bound, problem.num_vars),
                                  options.encoding, encode_options);
    out.groups = r.input.found;
    out.aux = r.result.cnf.num_vars - problem.num_vars;
    out.encoder = static_cast<std::size_t>(find_encoder(r.result.encoder) - encoder_table().data());
    out.encoded = true;
    out.cnf = std::move(r.result.cnf);
}

}  // namespace

bool valid_encoding(const std::string_view encoding) {
    return encoding == "auto" || encoding == "smallest" || find_encoder(encoding) != nullptr;
}

Summary encode_problem(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                       ClauseOutput& out) {
    if (!valid_encoding(options.encoding)) throw InvalidConstraint("quillet: unknown encoder name");
    Summary summary;
    summary.input_vars = problem.num_vars;
    summary.counts = problem.counts;
    summary.encoder_uses.assign(encoder_table().size(), 0);
    std::int64_t top = problem.num_vars;
    const std::int32_t base = problem.num_vars;
    const std::size_t total = problem.rows.size();
    std::vector<RowOutput> outputs;
    std::vector<Lit> renumbered;
    for (std::size_t chunk = 0; chunk < total; chunk += kChunkRows) {
        poll(options);
        const std::size_t end = std::min(total, chunk + kChunkRows);
        outputs.assign(end - chunk, RowOutput{});
        parallel_for(end - chunk, options.threads, [&](const std::size_t i, const bool on_caller) {
            const Row& row = problem.rows[chunk + i];
            if (row.kind != Kind::clause) encode_row(problem, graph, options, row, on_caller, outputs[i]);
        });
        for (std::size_t r = chunk; r < end; ++r) {
            const Row& row = problem.rows[r];
            ++summary.rows[static_cast<std::size_t>(row.kind)];
            if (row.kind == Kind::clause) {
                renumbered.clear();
                for (const WeightedLiteral& t : problem.row_terms(row)) renumbered.push_back(t.lit);
                out.clause(renumbered);
                ++summary.hard_clauses;
                continue;
            }
            RowOutput& row_out = outputs[r - chunk];
            const std::int64_t shift = top - base;
            if (top + row_out.aux > max_variable_id) throw_ids_exhausted();
            for (const auto clause : row_out.cnf.clauses) {
                renumbered.clear();
                for (const Lit lit : clause) {
                    const Lit v = lit > 0 ? lit : -lit;
                    const Lit mapped = v > base ? static_cast<Lit>(v + shift) : v;
                    renumbered.push_back(lit > 0 ? mapped : -mapped);
                }
                out.clause(renumbered);
                ++summary.hard_clauses;
            }
            top += row_out.aux;
            if (row_out.encoded) ++summary.encoder_uses[row_out.encoder];
            for (std::size_t k = 0; k < num_sources; ++k) {
                summary.groups += row_out.groups[k].groups;
                summary.grouped_literals += row_out.groups[k].literals;
                summary.groups_by_source[k].groups += row_out.groups[k].groups;
                summary.groups_by_source[k].literals += row_out.groups[k].literals;
            }
            row_out = RowOutput{};
        }
        if (options.progress) options.progress("encode", end, total);
    }
    summary.num_vars = static_cast<std::int32_t>(top);
    return summary;
}

namespace {

class WriterOutput : public ClauseOutput {
public:
    WriterOutput(dimacs::Writer& writer, const bool hard) : writer_(writer), hard_(hard) {}
    void clause(const std::span<const Lit> lits) override {
        if (hard_) {
            writer_.hard(lits);
        } else {
            writer_.clause(lits);
        }
    }

private:
    dimacs::Writer& writer_;
    bool hard_;
};

class CountingOutput : public ClauseOutput {
public:
    void clause(std::span<const Lit>) override {}
};

// The comment lines in front of the clauses.
std::string preamble(const Problem& problem, const std::string& in_name, const PipelineOptions& options) {
    dimacs::Writer prefix(-1);
    prefix.comment("generated by corvane from " + in_name + " (encoding " + options.encoding + ")");
    if (options.variable_comments) {
        std::string line;
        char digits[16];
        char* const end = digits + sizeof digits;
        for (const std::int32_t v : problem.variables_used) {
            line = "var x";
            char* first = dimacs::format_uint(static_cast<std::uint64_t>(problem.file_number(v)), end);
            line.append(first, end);
            line.push_back(' ');
            first = dimacs::format_uint(static_cast<std::uint64_t>(v), end);
            line.append(first, end);
            prefix.comment(line);
        }
    }
    if (problem.objective.present && options.format == Format::dimacs)
        prefix.comment("the objective is ignored in DIMACS CNF output (use --format wcnf)");
    prefix.flush();
    return prefix.text();
}

void write_text(const int fd, const std::string& text) { dimacs::write_all(fd, text.data(), text.size()); }

std::string header_line(const Summary& summary) {
    dimacs::Writer header(-1);
    header.header(summary.num_vars, summary.hard_clauses);
    header.flush();
    return header.text();
}

void write_wcnf(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options, const int fd,
                const std::string& preamble_text, Summary& summary) {
    write_text(fd, preamble_text);
    dimacs::Writer writer(fd);
    WriterOutput out(writer, true);
    summary = encode_problem(problem, graph, options, out);
    for (const WeightedLiteral& t : problem.objective.terms) {
        const Lit clause[1] = {-t.lit};
        writer.soft(t.weight, clause);
        ++summary.soft_clauses;
    }
    if (problem.objective.present && problem.objective.offset != 0)
        writer.comment("objective = cost of the falsified soft clauses + " + opb::to_string(problem.objective.offset));
    if (problem.objective.maximize)
        writer.comment("the file maximises: its objective is the negation of that value");
    writer.flush();
    summary.bytes_written = preamble_text.size() + writer.bytes_written();
}

// DIMACS into a stream: count, then write.
void write_dimacs_twice(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                        const int fd, const std::string& preamble_text, Summary& summary) {
    CountingOutput counting;
    PipelineOptions counting_options = options;
    counting_options.progress = nullptr;
    if (options.progress)
        counting_options.progress = [&](std::string_view, std::uint64_t done, std::uint64_t total) {
            options.progress("count", done, total);
        };
    const Summary counted = encode_problem(problem, graph, counting_options, counting);
    const std::string header = header_line(counted);
    write_text(fd, preamble_text);
    write_text(fd, header);
    dimacs::Writer writer(fd);
    WriterOutput out(writer, false);
    summary = encode_problem(problem, graph, options, out);
    writer.flush();
    if (summary.hard_clauses != counted.hard_clauses || summary.num_vars != counted.num_vars)
        throw InternalError("quillet: the counting pass and the writing pass disagree");
    summary.bytes_written = preamble_text.size() + header.size() + writer.bytes_written();
}

// DIMACS into a file: the clauses into a scratch file, then behind the header.
void write_dimacs_staged(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                         const io::OutputFile& file, const std::string& out_path, const std::string& preamble_text,
                         Summary& summary) {
    const io::ScratchFile body(out_path);
    dimacs::Writer writer(body.fd());
    WriterOutput out(writer, false);
    summary = encode_problem(problem, graph, options, out);
    writer.flush();
    const std::string header = header_line(summary);
    write_text(file.fd(), preamble_text);
    write_text(file.fd(), header);
    poll(options);
    body.copy_to(file.fd());
    summary.bytes_written = preamble_text.size() + header.size() + writer.bytes_written();
}

}  // namespace

Summary convert(const int in_fd, const std::string& in_name, const std::string& out_path,
                const PipelineOptions& options, const opb::ReadOptions& read_options) {
    if (!valid_encoding(options.encoding)) throw InvalidConstraint("quillet: unknown encoder name");
    if (out_path != "-" && io::same_file(out_path, in_fd))
        throw UsageError("the output " + out_path + " is the input file");
    using clock = std::chrono::steady_clock;
    auto seconds_since = [](clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); };
    // Opened first, so that an output that cannot be written is reported
    // before a long read.
    io::OutputFile file(out_path, io::new_file_mode());
    auto start = clock::now();
    double cpu_start = thread_cpu_seconds();
    std::uint64_t bytes_read = 0;
    opb::ReadOptions counting = read_options;
    counting.progress = [&](std::uint64_t n) {
        bytes_read = n;
        if (read_options.progress) read_options.progress(n);
        poll(options);
    };
    const Problem problem = opb::read_problem(in_fd, in_name, counting);
    const double read_seconds = seconds_since(start);
    const double read_cpu_seconds = thread_cpu_seconds() - cpu_start;
    if (options.format == Format::wcnf)
        for (const WeightedLiteral& t : problem.objective.terms)
            if (t.weight > dimacs::max_soft_weight)
                throw opb::ParseError(in_name, problem.objective.line, 1,
                                      "objective weight " + std::to_string(t.weight) +
                                          " exceeds 2^63, the largest weight WCNF output supports");
    if (options.progress) options.progress("detect", 0, 1);
    start = clock::now();
    const ConflictGraph graph = options.detect ? ConflictGraph(problem) : ConflictGraph();
    const ConflictGraph* const detected = options.detect ? &graph : nullptr;
    const double detect_seconds = seconds_since(start);
    start = clock::now();
    cpu_start = thread_cpu_seconds();
    const std::string preamble_text = preamble(problem, in_name, options);
    Summary summary;
    if (options.format == Format::wcnf) {
        write_wcnf(problem, detected, options, file.fd(), preamble_text, summary);
    } else if (file.direct()) {
        write_dimacs_twice(problem, detected, options, file.fd(), preamble_text, summary);
    } else {
        write_dimacs_staged(problem, detected, options, file, out_path, preamble_text, summary);
    }
    poll(options);
    file.commit();
    summary.bytes_read = bytes_read;
    summary.read_seconds = read_seconds;
    summary.detect_seconds = detect_seconds;
    summary.encode_seconds = seconds_since(start);
    summary.read_cpu_seconds = read_cpu_seconds;
    summary.encode_cpu_seconds = thread_cpu_seconds() - cpu_start;
    return summary;
}

}  // namespace quillet::pipeline
