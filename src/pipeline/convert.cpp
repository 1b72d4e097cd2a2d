#include "pipeline/convert.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quillet/errors.hpp"
#include "io/dimacs.hpp"
#include "quillet/encoder.hpp"

namespace quillet::opb {

namespace {

double thread_cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// `stats` does not encode a row with an encoder whose estimated size passes
// this many auxiliary variables.
constexpr double kSizeGuard = 4e6;

// Rough numbers of auxiliary variables, to keep `stats` away from the
// constructions that would explode on a constraint.
std::array<double, 5> estimates(const GroupedLeqConstraint& c) {
    const double g = static_cast<double>(c.groups.size());
    const double b = static_cast<double>(c.bound);
    // MDD: a level per group, at most bound + 1 states each, and no more than
    // the distinct partial sums can produce.
    double mdd = 0, states = 1;
    for (const auto& group : c.groups) {
        states = std::min(b + 1, states * static_cast<double>(group.size() + 1));
        mdd += states;
    }
    const double gswc = c.bound >= (Weight{1} << 31) ? std::numeric_limits<double>::infinity() : std::max(0.0, g - 1) * b;
    const double bits = std::max(1.0, std::log2(b + 1));
    const double ggpw = g * g * bits / 4 + g * bits;
    const double gmto = ggpw;
    const double rggt = g > 400 ? std::numeric_limits<double>::infinity() : g * g * bits;
    return {mdd, gswc, ggpw, gmto, rggt};
}

int encoder_index(std::string_view name) {
    for (std::size_t i = 0; i < encoder_names.size(); ++i)
        if (encoder_names[i] == name) return static_cast<int>(i);
    return -1;
}

const Encoder& encoder_at(int i) {
    static const std::array<std::unique_ptr<Encoder>, 5> all = [] {
        std::array<std::unique_ptr<Encoder>, 5> out;
        for (std::size_t k = 0; k < out.size(); ++k) out[k] = make_encoder(encoder_names[k]);
        return out;
    }();
    return *all[static_cast<std::size_t>(i)];
}

// The AMO of `lits`, pairwise or as a ladder (sequential counter) whose
// auxiliary variables are numbered from top + 1 on; returns the new top.
std::int32_t encode_amo(std::span<const WeightedLiteral> terms, AmoEncoding amo, std::int32_t top, CnfFormula& cnf) {
    const std::size_t n = terms.size();
    if (amo == AmoEncoding::pairwise || (amo == AmoEncoding::automatic && n <= 6)) {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) cnf.add_clause({-terms[i].lit, -terms[j].lit});
        return top;
    }
    if (static_cast<std::int64_t>(top) + static_cast<std::int64_t>(n) > max_variable_id)
        throw IdsExhausted("quillet: variable ids exhausted: the encoding needs more than 2147483647 variables");
    // s_i: one of the first i + 1 literals is true.
    Lit previous = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const Lit x = terms[i].lit;
        const Lit s = ++top;
        cnf.add_clause({-x, s});
        if (previous != 0) {
            cnf.add_clause({-previous, s});
            cnf.add_clause({-x, -previous});
        }
        previous = s;
    }
    cnf.add_clause({-terms[n - 1].lit, -previous});
    return top;
}

struct RowOutput {
    CnfFormula cnf;
    std::int64_t aux = 0;  // auxiliary variables numbered from num_vars + 1
    int encoder = -1;
    std::uint64_t groups = 0, grouped_literals = 0;
};

void encode_row(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options, const Row& row,
                RowOutput& out) {
    const auto terms = problem.row_terms(row);
    if (row.kind == Kind::amo) {
        out.aux = encode_amo(terms, options.amo, problem.num_vars, out.cnf) - problem.num_vars;
        return;
    }
    GroupedLeqConstraint c;
    c.terms.assign(terms.begin(), terms.end());
    c.groups = row_groups(graph, terms);
    c.bound = row.bound;
    for (const auto& group : c.groups)
        if (group.size() > 1) {
            ++out.groups;
            out.grouped_literals += group.size();
        }
    EncodeResult r = encode_with(options.encoding, c, EncodeOptions{problem.num_vars}, &out.encoder);
    out.aux = r.cnf.num_vars - problem.num_vars;
    out.cnf = std::move(r.cnf);
}

}  // namespace

bool valid_encoding(std::string_view encoding) {
    return encoding == "auto" || encoding == "smallest" || encoder_index(encoding) >= 0;
}

EncodeResult encode_with(std::string_view encoding, const GroupedLeqConstraint& constraint,
                         const EncodeOptions& options, int* chosen) {
    const int i = encoder_index(encoding);
    if (i >= 0) {
        if (chosen != nullptr) *chosen = i;
        return encoder_at(i).encode(constraint, options);
    }
    if (encoding == "auto") {
        const int pick = encoder_index(choose_encoder(constraint, options));
        if (chosen != nullptr) *chosen = pick;
        return encoder_at(pick).encode(constraint, options);
    }
    if (chosen != nullptr) *chosen = -1;  // "smallest": the library does not say which
    return quillet::encode_with(encoding, constraint, options);
}

std::vector<std::vector<Lit>> row_groups(const ConflictGraph* graph, std::span<const WeightedLiteral> terms) {
    if (graph != nullptr) return graph->cover(terms);
    std::vector<std::vector<Lit>> groups;
    groups.reserve(terms.size());
    for (const WeightedLiteral& t : terms) groups.push_back({t.lit});
    return groups;
}

Summary encode_problem(const Problem& problem, const ConflictGraph* graph, const PipelineOptions& options,
                       ClauseSink& sink) {
    if (!valid_encoding(options.encoding)) throw InvalidConstraint("quillet: unknown encoder name");
    Summary summary;
    summary.input_vars = problem.num_vars;
    summary.counts = problem.counts;
    std::int64_t top = problem.num_vars;
    const std::int32_t base = problem.num_vars;
    const std::size_t total = problem.rows.size();
    const unsigned threads = std::max(1u, options.threads);
    // Rows go in chunks: workers encode a chunk, then it is written in order.
    constexpr std::size_t kChunkRows = 8192;
    std::vector<RowOutput> outputs;
    std::vector<Lit> renumbered;
    for (std::size_t chunk = 0; chunk < total; chunk += kChunkRows) {
        const std::size_t end = std::min(total, chunk + kChunkRows);
        outputs.assign(end - chunk, RowOutput{});
        std::atomic<std::size_t> next{chunk};
        std::exception_ptr error;
        std::mutex error_mutex;
        auto work = [&] {
            for (;;) {
                const std::size_t r = next.fetch_add(1);
                if (r >= end) return;
                const Row& row = problem.rows[r];
                if (row.kind == Kind::clause) continue;
                try {
                    encode_row(problem, graph, options, row, outputs[r - chunk]);
                } catch (...) {
                    const std::lock_guard lock(error_mutex);
                    if (!error) error = std::current_exception();
                    next = end;
                    return;
                }
            }
        };
        if (threads == 1) {
            work();
        } else {
            std::vector<std::thread> pool;
            for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
            for (auto& thread : pool) thread.join();
        }
        if (error) std::rethrow_exception(error);
        for (std::size_t r = chunk; r < end; ++r) {
            const Row& row = problem.rows[r];
            ++summary.rows[static_cast<std::size_t>(row.kind)];
            if (row.kind == Kind::clause) {
                const auto terms = problem.row_terms(row);
                renumbered.clear();
                for (const WeightedLiteral& t : terms) renumbered.push_back(t.lit);
                sink.clause(renumbered);
                ++summary.hard_clauses;
                continue;
            }
            RowOutput& out = outputs[r - chunk];
            const std::int64_t shift = top - base;
            if (top + out.aux > max_variable_id)
                throw IdsExhausted("quillet: variable ids exhausted: the encoding needs more than 2147483647 variables");
            for (const auto clause : out.cnf.clauses) {
                renumbered.clear();
                for (const Lit lit : clause) {
                    const Lit v = lit > 0 ? lit : -lit;
                    Lit mapped = v > base ? static_cast<Lit>(v + shift) : v;
                    renumbered.push_back(lit > 0 ? mapped : -mapped);
                }
                sink.clause(renumbered);
                ++summary.hard_clauses;
            }
            top += out.aux;
            if (out.encoder >= 0) ++summary.encoder_uses[static_cast<std::size_t>(out.encoder)];
            summary.groups += out.groups;
            summary.grouped_literals += out.grouped_literals;
            out = RowOutput{};
        }
        if (options.progress) options.progress("encode", end, total);
    }
    summary.num_vars = static_cast<std::int32_t>(top);
    return summary;
}

namespace {

class WriterSink : public ClauseSink {
public:
    WriterSink(dimacs::Writer& writer, bool hard) : writer_(writer), hard_(hard) {}
    void clause(std::span<const Lit> lits) override {
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


// A temporary file next to the target, removed unless committed.
class TempFile {
public:
    explicit TempFile(const std::string& target) {
        std::string dir = ".";
        const auto slash = target.rfind('/');
        if (target != "-" && slash != std::string::npos) dir = target.substr(0, slash == 0 ? 1 : slash);
        if (target == "-") {
            const char* tmp = std::getenv("TMPDIR");
            dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        const std::string base = target == "-" ? "corvane" : target.substr(slash == std::string::npos ? 0 : slash + 1);
        path_ = dir + "/." + base + ".tmp-XXXXXX";
        fd_ = ::mkstemp(path_.data());
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create a temporary file in " + dir);
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    // Renames over the target, keeping the permissions a new file would get.
    void commit(const std::string& target) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
        if (::close(fd_) != 0) {
            fd_ = -1;
            throw std::system_error(errno, std::generic_category(), "close");
        }
        fd_ = -1;
        if (::rename(path_.c_str(), target.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot rename the output to " + target);
        committed_ = true;
    }
    // Appends the whole file (from its start) to `out`.
    void copy_to(int out) {
        if (::lseek(fd_, 0, SEEK_SET) < 0) throw std::system_error(errno, std::generic_category(), "lseek");
        // The kernel copies file to file without a round trip through this process.
        for (;;) {
            const ssize_t n = ::copy_file_range(fd_, nullptr, out, nullptr, std::size_t{1} << 30, 0);
            if (n == 0) return;
            if (n > 0) continue;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EBADF && errno != EOPNOTSUPP)
                throw std::system_error(errno, std::generic_category(), "copy_file_range");
            break;  // not possible here (a pipe, another file system): copy through a buffer
        }
        std::vector<char> buffer(std::size_t{1} << 22);
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "read");
            }
            if (n == 0) return;
            dimacs::write_all(out, buffer.data(), static_cast<std::size_t>(n));
        }
    }

private:
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

Summary convert(int in_fd, const std::string& in_name, const std::string& out_path, const PipelineOptions& options,
                const ReadOptions& read_options) {
    if (!valid_encoding(options.encoding)) throw InvalidConstraint("quillet: unknown encoder name");
    using clock = std::chrono::steady_clock;
    auto seconds_since = [](clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); };
    auto start = clock::now();
    double cpu_start = thread_cpu_seconds();
    std::uint64_t bytes_read = 0;
    ReadOptions counting = read_options;
    counting.progress = [&](std::uint64_t n) {
        bytes_read = n;
        if (read_options.progress) read_options.progress(n);
    };
    const Problem problem = read_problem(in_fd, in_name, counting);
    const double read_seconds = seconds_since(start);
    const double read_cpu_seconds = thread_cpu_seconds() - cpu_start;
    if (options.format == Format::wcnf)
        for (const WeightedLiteral& t : problem.objective.terms)
            if (t.weight > dimacs::max_soft_weight)
                throw ParseError(in_name, problem.objective.line, 1,
                                 "objective weight " + std::to_string(t.weight) +
                                     " exceeds 2^63, the largest weight WCNF output supports");
    if (options.progress) options.progress("detect", 0, 1);
    start = clock::now();
    const ConflictGraph graph = options.detect ? ConflictGraph(problem) : ConflictGraph();
    const double detect_seconds = seconds_since(start);
    start = clock::now();
    cpu_start = thread_cpu_seconds();
    // The comment lines and the header go in front of the clauses, whose
    // count is known only at the end: DIMACS clauses go to a temporary file of
    // their own, copied behind the header once complete. WCNF needs no header.
    const bool wcnf = options.format == Format::wcnf;
    dimacs::Writer prefix(-1);
    prefix.comment("generated by corvane from " + in_name + " (encoding " + options.encoding + ")");
    if (options.variable_comments) {
        std::string line;
        for (const std::int32_t v : problem.variables_used) {
            line = "var x";
            char digits[16];
            char* end = digits + sizeof digits;
            char* first = dimacs::format_uint(static_cast<std::uint64_t>(v), end);
            line.append(first, end);
            line.push_back(' ');
            line.append(first, end);
            prefix.comment(line);
        }
    }
    if (problem.objective.present && !wcnf)
        prefix.comment("the objective is ignored in DIMACS CNF output (use --format wcnf)");
    TempFile out(out_path);
    std::optional<TempFile> body;
    if (wcnf) {
        prefix.flush();
        dimacs::write_all(out.fd(), prefix.text().data(), prefix.text().size());
    } else {
        body.emplace(out_path);
    }
    dimacs::Writer writer(wcnf ? out.fd() : body->fd());
    WriterSink sink(writer, wcnf);
    Summary summary = encode_problem(problem, options.detect ? &graph : nullptr, options, sink);
    if (wcnf) {
        for (const WeightedLiteral& t : problem.objective.terms) {
            const Lit clause[1] = {-t.lit};
            writer.soft(t.weight, clause);
            ++summary.soft_clauses;
        }
        if (problem.objective.present && problem.objective.offset != 0)
            writer.comment("objective = cost of the falsified soft clauses + " + to_string(problem.objective.offset));
    }
    writer.flush();
    summary.bytes_written = writer.bytes_written();
    if (!wcnf) {
        prefix.header(summary.num_vars, summary.hard_clauses);
        prefix.flush();
        summary.bytes_written += prefix.text().size();
    }
    if (out_path == "-") {
        if (!wcnf) {
            dimacs::write_all(STDOUT_FILENO, prefix.text().data(), prefix.text().size());
            body->copy_to(STDOUT_FILENO);
        } else {
            out.copy_to(STDOUT_FILENO);
        }
    } else {
        if (!wcnf) {
            dimacs::write_all(out.fd(), prefix.text().data(), prefix.text().size());
            body->copy_to(out.fd());
        }
        out.commit(out_path);
    }
    summary.bytes_read = bytes_read;
    summary.read_seconds = read_seconds;
    summary.detect_seconds = detect_seconds;
    summary.encode_seconds = seconds_since(start);
    summary.read_cpu_seconds = read_cpu_seconds;
    summary.encode_cpu_seconds = thread_cpu_seconds() - cpu_start;
    return summary;
}

Stats problem_stats(const Problem& problem, const ConflictGraph* graph, unsigned threads) {
    Stats stats;
    stats.summary.input_vars = stats.summary.num_vars = problem.num_vars;
    stats.summary.counts = problem.counts;
    std::vector<std::size_t> work_rows;
    for (std::size_t r = 0; r < problem.rows.size(); ++r) {
        const Row& row = problem.rows[r];
        ++stats.summary.rows[static_cast<std::size_t>(row.kind)];
        if (row.kind == Kind::cardinality || row.kind == Kind::pb) work_rows.push_back(r);
    }
    if (problem.objective.present) {
        stats.objective_terms = problem.objective.terms.size();
        for (const auto& group : row_groups(graph, problem.objective.terms))
            if (group.size() > 1) {
                ++stats.objective_groups;
                stats.objective_grouped_literals += group.size();
            }
    }
    std::mutex mutex;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= work_rows.size()) return;
            const Row& row = problem.rows[work_rows[i]];
            const auto terms = problem.row_terms(row);
            GroupedLeqConstraint c;
            c.terms.assign(terms.begin(), terms.end());
            c.groups = row_groups(graph, terms);
            c.bound = row.bound;
            std::uint64_t groups = 0, grouped = 0;
            for (const auto& group : c.groups)
                if (group.size() > 1) {
                    ++groups;
                    grouped += group.size();
                }
            const auto estimate = estimates(c);
            const std::size_t k = row.kind == Kind::pb ? 1 : 0;
            std::array<EncoderStats, 5> local{};
            for (int e = 0; e < 5; ++e) {
                if (estimate[static_cast<std::size_t>(e)] > kSizeGuard) {
                    ++local[static_cast<std::size_t>(e)].skipped;
                    continue;
                }
                const auto start = std::chrono::steady_clock::now();
                try {
                    const EncodeResult r = encoder_at(e).encode(c, EncodeOptions{problem.num_vars});
                    auto& s = local[static_cast<std::size_t>(e)];
                    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                    ++s.rows;
                    s.vars = static_cast<std::uint64_t>(r.num_aux_vars);
                    s.clauses = r.num_clauses;
                } catch (const std::exception&) {
                    ++local[static_cast<std::size_t>(e)].skipped;
                }
            }
            const std::lock_guard lock(mutex);
            stats.groups_by_kind[static_cast<std::size_t>(row.kind)] += groups;
            stats.grouped_literals_by_kind[static_cast<std::size_t>(row.kind)] += grouped;
            for (std::size_t e = 0; e < 5; ++e) {
                auto& s = stats.per_encoder[k][e];
                s.rows += local[e].rows;
                s.skipped += local[e].skipped;
                s.vars += local[e].vars;
                s.clauses += local[e].clauses;
                s.seconds += local[e].seconds;
            }
        }
    };
    const unsigned n = std::max(1u, threads);
    if (n == 1) {
        work();
    } else {
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < n; ++t) pool.emplace_back(work);
        for (auto& thread : pool) thread.join();
    }
    return stats;
}

}  // namespace quillet::opb
