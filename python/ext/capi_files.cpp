// The file functions of _corvane: OPB in, DIMACS or WCNF out, the statistics
// of a file, and what the solver on top needs (the problem loaded once, the
// objective's bound constraints on demand, the check of a model against the
// constraints as written, the normalised rows for the search's linear
// relaxation, the cover of any literals by the conflict graph). Each releases the interpreter lock while it reads,
// encodes or writes, with the Ctrl-C watcher of support.hpp polled on the
// calling thread, and reports failures through the module's one exception
// translation: OpbError (a ValueError) for malformed input, whose message is
// "FILE:LINE:COLUMN: what is wrong", ValueError for a request that cannot be
// carried out, OSError for the system, MemoryError, and the classes of the
// library's errors.

#include "capi_files.hpp"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "core/amo.hpp"
#include "io/opb.hpp"
#include "pipeline/amo_detect.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/rows.hpp"
#include "pipeline/stats.hpp"
#include "quillet/encoder.hpp"
#include "support.hpp"

namespace {

using namespace corvane_ext;
namespace opb = quillet::opb;
namespace pipeline = quillet::pipeline;

// A progress line on standard error, rewritten in place, at most a few
// times a second. Only used when the caller says standard error is a terminal.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}
    ~Progress() { done(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void bytes(std::uint64_t n) {
        if (!due()) return;
        char line[96];
        std::snprintf(line, sizeof line, "\rcorvane: reading %.1f MB   ", static_cast<double>(n) / 1e6);
        put(line);
    }
    void stage(std::string_view what, std::uint64_t done, std::uint64_t total) {
        if (!enabled_ || (!due() && done != total)) return;
        char line[128];
        const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
        const int width = 30, filled = static_cast<int>(fraction * width);
        char bar[width + 1];
        for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
        bar[width] = '\0';
        std::snprintf(line, sizeof line, "\rcorvane: %.*s [%s] %3d%%   ", static_cast<int>(what.size()), what.data(),
                      bar, static_cast<int>(fraction * 100));
        put(line);
    }
    void done() {
        if (enabled_ && shown_) put("\r\033[K");
        shown_ = false;
    }

private:
    bool due() {
        if (!enabled_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(200)) return false;
        last_ = now;
        return true;
    }
    void put(const char* text) {
        shown_ = true;
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, text, std::char_traits<char>::length(text));
    }
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

bool parse_format(const char* text, pipeline::Format& out) {
    const std::string_view s(text);
    if (s == "dimacs") {
        out = pipeline::Format::dimacs;
    } else if (s == "wcnf") {
        out = pipeline::Format::wcnf;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown output format %s (dimacs or wcnf)", text);
        return false;
    }
    return true;
}

bool parse_amo(const char* text, quillet::AmoMethod& out) {
    if (quillet::parse_amo_method(text, out)) return true;
    PyErr_Format(PyExc_ValueError, "unknown AMO method %s; expected auto, pairwise, sequential or ladder", text);
    return false;
}

bool check_encoding(const char* encoding) {
    if (pipeline::valid_encoding(encoding)) return true;
    std::string names = "auto, smallest";
    for (const quillet::EncoderInfo& entry : quillet::encoder_table()) names += ", " + std::string(entry.name);
    PyErr_Format(PyExc_ValueError, "unknown encoding %s (%s)", encoding, names.c_str());
    return false;
}

bool parse_threads(PyObject* object, unsigned& out) {
    long long threads = 1;
    if (object != nullptr && !convert_int(object, "threads", 1, 1024, threads)) return false;
    out = static_cast<unsigned>(threads);
    return true;
}

PyObject* to_py(opb::Int value) { return PyLong_FromString(opb::to_string(value).c_str(), nullptr, 10); }

PyObject* str_of(const std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Sets key to value in dict, stealing value; false on error.
bool put(PyObject* dict, const char* key, PyObject* value) {
    const PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A dict from encoder name to what make(i) gives for the i-th row of the table.
template <class Make>
PyObject* per_encoder(Make&& make) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const std::span<const quillet::EncoderInfo> table = quillet::encoder_table();
    for (std::size_t e = 0; e < table.size(); ++e) {
        const PyRef key(str_of(table[e].name));
        const PyRef value(make(e));
        if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

const char* const kind_names[] = {"clause", "amo", "cardinality", "pb"};
const char* const source_names[] = {"stated", "implied", "complemented"};

// {"stated": {"groups": .., "grouped_literals": ..}, "implied": .., "complemented": ..}
PyObject* sources_dict(const pipeline::SourceCounts& counts) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t k = 0; k < pipeline::num_sources; ++k)
        if (!put(d.get(), source_names[k],
                 Py_BuildValue("{s:K,s:K}", "groups", static_cast<unsigned long long>(counts[k].groups),
                               "grouped_literals", static_cast<unsigned long long>(counts[k].literals))))
            return nullptr;
    return d.release();
}

PyObject* summary_dict(const pipeline::Summary& s) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    PyRef rows(PyDict_New());
    if (!rows) return nullptr;
    for (std::size_t k = 0; k < 4; ++k)
        if (!put(rows.get(), kind_names[k], PyLong_FromUnsignedLongLong(s.rows[k]))) return nullptr;
    PyRef uses(per_encoder([&](std::size_t e) {
        return PyLong_FromUnsignedLongLong(e < s.encoder_uses.size() ? s.encoder_uses[e] : 0);
    }));
    if (!uses) return nullptr;
    const bool ok = put(d.get(), "input_vars", PyLong_FromLong(s.input_vars)) &&
                    put(d.get(), "num_vars", PyLong_FromLong(s.num_vars)) &&
                    put(d.get(), "hard_clauses", PyLong_FromUnsignedLongLong(s.hard_clauses)) &&
                    put(d.get(), "soft_clauses", PyLong_FromUnsignedLongLong(s.soft_clauses)) &&
                    put(d.get(), "constraints", PyLong_FromUnsignedLongLong(s.counts.constraints)) &&
                    put(d.get(), "trivially_true", PyLong_FromUnsignedLongLong(s.counts.trivially_true)) &&
                    put(d.get(), "trivially_false", PyLong_FromUnsignedLongLong(s.counts.trivially_false)) &&
                    put(d.get(), "units", PyLong_FromUnsignedLongLong(s.counts.units)) &&
                    put(d.get(), "groups", PyLong_FromUnsignedLongLong(s.groups)) &&
                    put(d.get(), "grouped_literals", PyLong_FromUnsignedLongLong(s.grouped_literals)) &&
                    put(d.get(), "groups_by_source", sources_dict(s.groups_by_source)) &&
                    put(d.get(), "bytes_written", PyLong_FromUnsignedLongLong(s.bytes_written)) &&
                    put(d.get(), "bytes_read", PyLong_FromUnsignedLongLong(s.bytes_read)) &&
                    put(d.get(), "read_seconds", PyFloat_FromDouble(s.read_seconds)) &&
                    put(d.get(), "detect_seconds", PyFloat_FromDouble(s.detect_seconds)) &&
                    put(d.get(), "encode_seconds", PyFloat_FromDouble(s.encode_seconds)) &&
                    put(d.get(), "read_cpu_seconds", PyFloat_FromDouble(s.read_cpu_seconds)) &&
                    put(d.get(), "encode_cpu_seconds", PyFloat_FromDouble(s.encode_cpu_seconds)) &&
                    put(d.get(), "rows", rows.release()) && put(d.get(), "encoder_uses", uses.release());
    return ok ? d.release() : nullptr;
}

int parse_fd(PyObject* object, int& fd) {
    long long value = 0;
    if (!convert_int(object, "fd", 0, INT32_MAX, value)) return 0;
    fd = static_cast<int>(value);
    return 1;
}

// opb_convert(fd, name, output, encoding="auto", format="dimacs", amo="auto",
//             detect=True, threads=1, comments=True, progress=False) -> dict
PyObject* opb_convert(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "output", "encoding", "format", "amo",
                                     "detect", "threads", "comments", "progress", nullptr};
    PyObject* fd_object = nullptr;
    PyObject* threads = nullptr;
    int detect = 1, comments = 1, progress = 0;
    const char *name = nullptr, *output = nullptr, *encoding = "auto", *format = "dimacs", *amo = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oss|ssspOpp:opb_convert", const_cast<char**>(keywords),
                                     &fd_object, &name, &output, &encoding, &format, &amo, &detect, &threads,
                                     &comments, &progress))
        return nullptr;
    int fd = -1;
    pipeline::PipelineOptions options;
    if (!parse_fd(fd_object, fd) || !check_encoding(encoding) || !parse_format(format, options.format) ||
        !parse_amo(amo, options.amo) || !parse_threads(threads, options.threads))
        return nullptr;
    options.encoding = encoding;
    options.detect = detect != 0;
    options.variable_comments = comments != 0;
    Progress bar(progress != 0);
    options.progress = [&bar](std::string_view stage, std::uint64_t done, std::uint64_t total) {
        bar.stage(stage, done, total);
    };
    opb::ReadOptions read_options;
    read_options.progress = [&bar](std::uint64_t bytes) { bar.bytes(bytes); };
    pipeline::Summary summary;
    const std::string in_name(name), out_path(output);
    const bool ok = run_unlocked(module, options.stop, ErrorStyle::typed, [&] {
        summary = pipeline::convert(fd, in_name, out_path, options, read_options);
        bar.done();
    });
    bar.done();
    if (!ok) return nullptr;
    return summary_dict(summary);
}

PyObject* encoder_stats_dict(const pipeline::EncoderStats& s) {
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:d}", "rows", static_cast<unsigned long long>(s.rows), "skipped",
                         static_cast<unsigned long long>(s.skipped), "vars", static_cast<unsigned long long>(s.vars),
                         "clauses", static_cast<unsigned long long>(s.clauses), "seconds", s.seconds);
}

// {count_name: count, "groups": .., "grouped_literals": .., "stated": {..}, "implied": {..}, "complemented": {..}}
PyObject* group_counts(const std::uint64_t count, const char* count_name, const pipeline::SourceCounts& found) {
    pipeline::GroupCount total;
    for (const pipeline::GroupCount& c : found) {
        total.groups += c.groups;
        total.literals += c.literals;
    }
    PyRef d(Py_BuildValue("{s:K,s:K,s:K}", count_name, static_cast<unsigned long long>(count), "groups",
                          static_cast<unsigned long long>(total.groups), "grouped_literals",
                          static_cast<unsigned long long>(total.literals)));
    if (!d) return nullptr;
    PyRef sources(sources_dict(found));
    if (!sources) return nullptr;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(sources.get(), &pos, &key, &value))
        if (PyDict_SetItem(d.get(), key, value) < 0) return nullptr;
    return d.release();
}

// opb_stats(fd, name, detect=True, threads=1, progress=False) -> dict
PyObject* opb_stats(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "detect", "threads", "progress", nullptr};
    PyObject* fd_object = nullptr;
    PyObject* threads_object = nullptr;
    int detect = 1, progress = 0;
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|pOp:opb_stats", const_cast<char**>(keywords), &fd_object,
                                     &name, &detect, &threads_object, &progress))
        return nullptr;
    int fd = -1;
    unsigned threads = 1;
    if (!parse_fd(fd_object, fd) || !parse_threads(threads_object, threads)) return nullptr;
    Progress bar(progress != 0);
    opb::ReadOptions read_options;
    std::function<bool()> stop;
    read_options.progress = [&](std::uint64_t bytes) {
        bar.bytes(bytes);
        if (stop && stop()) throw quillet::Cancelled();
    };
    pipeline::Stats stats;
    const std::string in_name(name);
    const auto start = std::chrono::steady_clock::now();
    double read_seconds = 0;
    if (!run_unlocked(module, stop, ErrorStyle::typed, [&] {
            const opb::Problem problem = opb::read_problem(fd, in_name, read_options);
            read_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            bar.done();
            const pipeline::ConflictGraph graph = detect ? pipeline::ConflictGraph(problem) : pipeline::ConflictGraph();
            stats = pipeline::problem_stats(problem, detect ? &graph : nullptr, threads, stop);
        }))
        return nullptr;
    PyRef d(summary_dict(stats.summary));
    if (!d) return nullptr;
    PyRef kinds(PyDict_New());
    if (!kinds) return nullptr;
    for (std::size_t k = 0; k < 4; ++k)
        if (!put(kinds.get(), kind_names[k],
                 group_counts(stats.summary.rows[k], "rows", stats.groups_by_kind[k])))
            return nullptr;
    if (!put(kinds.get(), "objective",
             group_counts(stats.objective_terms, "terms", stats.objective_groups)))
        return nullptr;
    if (!put(d.get(), "kinds", kinds.release())) return nullptr;
    PyRef encoders(PyDict_New());
    if (!encoders) return nullptr;
    for (std::size_t k = 0; k < 2; ++k) {
        PyObject* per = per_encoder([&](std::size_t e) { return encoder_stats_dict(stats.per_encoder[k][e]); });
        if (!put(encoders.get(), k == 0 ? "cardinality" : "pb", per)) return nullptr;
    }
    if (!put(d.get(), "encoders", encoders.release()) || !put(d.get(), "read_seconds", PyFloat_FromDouble(read_seconds)))
        return nullptr;
    return d.release();
}

// ---------------------------------------------------------------------------
// What the solver needs: the problem loaded once, its clauses, the objective
// bound constraints on demand, and a check of models against the constraints
// as written.

struct Loaded : opb::Handler {
    explicit Loaded(const std::string& name) : normalizer(name) {}
    void header(const opb::Header& h) override { normalizer.header(h); }
    void objective(const opb::RawConstraint& raw) override {
        raw_objective = raw;
        normalizer.objective(raw);
    }
    void constraint(const opb::RawConstraint& raw) override {
        raw_constraints.push_back(raw);
        normalizer.constraint(raw);
    }
    // After reading: the problem, and the constraints as written in the
    // problem's numbering.
    void finish() {
        problem = normalizer.take();
        for (opb::RawConstraint& c : raw_constraints)
            for (opb::RawTerm& t : c.terms) t.lit = normalizer.problem_literal(t.lit);
        for (opb::RawTerm& t : raw_objective.terms) t.lit = normalizer.problem_literal(t.lit);
    }
    opb::Normalizer normalizer;
    std::vector<opb::RawConstraint> raw_constraints;
    opb::RawConstraint raw_objective;
    opb::Problem problem;
    pipeline::ConflictGraph graph;
    bool detect = true;
    std::vector<std::vector<quillet::Lit>> objective_groups;
};

constexpr const char* kCapsuleName = "corvane.opb_problem";

void free_loaded(PyObject* capsule) {
    // Owned by the capsule since opb_load handed it over.
    std::unique_ptr<Loaded> owned(static_cast<Loaded*>(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

PyObject* clauses_to_list(const quillet::ClauseList& clauses) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(clauses.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < clauses.size(); ++i) {
        const auto clause = clauses[i];
        PyObject* c = PyList_New(static_cast<Py_ssize_t>(clause.size()));
        if (c == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), c);  // owned by list from here on
        for (std::size_t j = 0; j < clause.size(); ++j) {
            PyObject* lit = PyLong_FromLong(clause[j]);
            if (lit == nullptr) return nullptr;
            PyList_SET_ITEM(c, static_cast<Py_ssize_t>(j), lit);
        }
    }
    return list.release();
}

struct ListOutput : pipeline::ClauseOutput {
    quillet::ClauseList clauses;
    void clause(std::span<const quillet::Lit> lits) override { clauses.push_back(lits); }
};

// The file's number of every variable 1..num_vars, or None when they are the
// file's own numbers.
PyObject* file_numbers(const opb::Problem& problem) {
    if (problem.file_numbers.empty()) return Py_NewRef(Py_None);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(problem.file_numbers.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < problem.file_numbers.size(); ++i) {
        PyObject* number = PyLong_FromLong(problem.file_numbers[i]);
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
}

// opb_load(fd, name, encoding="auto", amo="auto", detect=True, threads=1)
//   -> (handle, clauses, info)
PyObject* opb_load(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "encoding", "amo", "detect", "threads", nullptr};
    PyObject* fd_object = nullptr;
    PyObject* threads = nullptr;
    int detect = 1;
    const char *name = nullptr, *encoding = "auto", *amo = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|sspO:opb_load", const_cast<char**>(keywords), &fd_object, &name,
                                     &encoding, &amo, &detect, &threads))
        return nullptr;
    int fd = -1;
    pipeline::PipelineOptions options;
    if (!parse_fd(fd_object, fd) || !check_encoding(encoding) || !parse_amo(amo, options.amo) ||
        !parse_threads(threads, options.threads))
        return nullptr;
    options.encoding = encoding;
    options.detect = detect != 0;
    auto loaded = std::make_unique<Loaded>(name);
    ListOutput out;
    pipeline::Summary summary;
    const std::string in_name(name);
    opb::ReadOptions read_options;
    read_options.progress = [&](std::uint64_t) {
        if (options.stop && options.stop()) throw quillet::Cancelled();
    };
    if (!run_unlocked(module, options.stop, ErrorStyle::typed, [&] {
            using clock = std::chrono::steady_clock;
            const auto since = [](clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); };
            auto t = clock::now();
            opb::read_opb(fd, in_name, *loaded, read_options);
            loaded->finish();
            const double read_seconds = since(t);
            t = clock::now();
            if (options.detect) loaded->graph = pipeline::ConflictGraph(loaded->problem);
            loaded->detect = options.detect;
            const pipeline::ConflictGraph* graph = options.detect ? &loaded->graph : nullptr;
            loaded->objective_groups = pipeline::row_groups(graph, loaded->problem.objective.terms);
            const double detect_seconds = since(t);
            t = clock::now();
            summary = pipeline::encode_problem(loaded->problem, graph, options, out);
            summary.read_seconds = read_seconds;
            summary.detect_seconds = detect_seconds;
            summary.encode_seconds = since(t);
        }))
        return nullptr;
    PyRef info(summary_dict(summary));
    if (!info) return nullptr;
    const auto& objective = loaded->problem.objective;
    const pipeline::GroupCount groups = pipeline::count_groups(loaded->objective_groups);
    PyRef terms(PyList_New(static_cast<Py_ssize_t>(objective.terms.size())));
    if (!terms) return nullptr;
    for (std::size_t i = 0; i < objective.terms.size(); ++i) {
        PyObject* t = Py_BuildValue("(iK)", objective.terms[i].lit, static_cast<unsigned long long>(objective.terms[i].weight));
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(terms.get(), static_cast<Py_ssize_t>(i), t);
    }
    if (!put(info.get(), "has_objective", PyBool_FromLong(objective.present)) ||
        !put(info.get(), "maximize", PyBool_FromLong(objective.maximize)) ||
        !put(info.get(), "objective_offset", to_py(objective.offset)) ||
        !put(info.get(), "objective_terms", terms.release()) ||
        !put(info.get(), "objective_groups", PyLong_FromUnsignedLongLong(groups.groups)) ||
        !put(info.get(), "file_numbers", file_numbers(loaded->problem)))
        return nullptr;
    PyRef clauses(clauses_to_list(out.clauses));
    if (!clauses) return nullptr;
    PyRef capsule(PyCapsule_New(loaded.get(), kCapsuleName, free_loaded));
    if (!capsule) return nullptr;
    loaded.release();  // owned by the capsule
    return PyTuple_Pack(3, capsule.get(), clauses.get(), info.get());
}

// The problem behind a handle of opb_load, or null with a TypeError.
Loaded* loaded_of(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kCapsuleName)) {
        PyErr_Format(PyExc_TypeError, "handle must be a problem loaded by opb_load, not %.200s",
                     Py_TYPE(capsule)->tp_name);
        return nullptr;
    }
    return static_cast<Loaded*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// opb_objective_bound(handle, bound, top, encoding="auto") -> (clauses, top, encoder)
// Clauses stating "sum of the objective's weighted literals <= bound".
PyObject* opb_objective_bound(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handle", "bound", "top", "encoding", nullptr};
    PyObject* capsule = nullptr;
    PyObject* bound_object = nullptr;
    PyObject* top_object = nullptr;
    const char* encoding = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|s:opb_objective_bound", const_cast<char**>(keywords), &capsule,
                                     &bound_object, &top_object, &encoding))
        return nullptr;
    Loaded* loaded = loaded_of(capsule);
    std::uint64_t bound = 0;
    long long top = 0;
    if (loaded == nullptr || !convert_unsigned(bound_object, "bound", bound) ||
        !convert_int(top_object, "top", 0, quillet::max_variable_id, top) || !check_encoding(encoding))
        return nullptr;
    quillet::EncodeResult result;
    const std::string name(encoding);
    quillet::EncodeOptions options{static_cast<std::int32_t>(top)};
    if (!run_unlocked(module, options.stop, ErrorStyle::typed, [&] {
            quillet::GroupedLeqConstraint c;
            c.terms = loaded->problem.objective.terms;
            c.groups = loaded->objective_groups;
            c.bound = bound;
            result = quillet::encode_with(name, c, options);
        }))
        return nullptr;
    PyRef clauses(clauses_to_list(result.cnf.clauses));
    if (!clauses) return nullptr;
    return Py_BuildValue("(Ois#)", clauses.get(), result.cnf.num_vars, result.encoder.data(),
                         static_cast<Py_ssize_t>(result.encoder.size()));
}

// opb_check(handle, model) -> (violation or None, objective value or None)
// `model` is a sequence of DIMACS literals (as a SAT solver returns it); a
// variable it does not mention counts as false. The constraints are evaluated
// as written in the file, with exact integers. The value is that of the
// objective as minimised: for a "max:" file, the negation of its objective.
PyObject* opb_check(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handle", "model", nullptr};
    PyObject* capsule = nullptr;
    PyObject* model = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:opb_check", const_cast<char**>(keywords), &capsule, &model))
        return nullptr;
    Loaded* loaded = loaded_of(capsule);
    if (loaded == nullptr) return nullptr;
    PyRef seq(PySequence_Fast(model, "model must be a sequence of ints"));
    if (!seq) return nullptr;
    const auto n = static_cast<std::size_t>(loaded->problem.num_vars);
    std::vector<std::uint8_t> value(n + 1, 0);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        long long lit = 0;
        if (!convert_int(PySequence_Fast_GET_ITEM(seq.get(), i), "literal of the model", -quillet::max_variable_id,
                         quillet::max_variable_id, lit))
            return nullptr;
        const auto v = static_cast<std::size_t>(lit < 0 ? -lit : lit);
        if (v >= 1 && v <= n) value[v] = lit > 0;
    }
    std::string violation;
    opb::Int objective = 0;
    std::function<bool()> stop;
    if (!run_unlocked(module, stop, ErrorStyle::typed, [&] {
            auto truth = [&](quillet::Lit lit) {
                return lit > 0 ? value[static_cast<std::size_t>(lit)] != 0 : value[static_cast<std::size_t>(-lit)] == 0;
            };
            for (const auto& c : loaded->raw_constraints) {
                opb::Int lhs = 0;
                for (const auto& t : c.terms)
                    if (truth(t.lit)) lhs += t.coefficient;
                const bool holds = c.relation == opb::Relation::ge   ? lhs >= c.degree
                                   : c.relation == opb::Relation::le ? lhs <= c.degree
                                                                     : lhs == c.degree;
                if (!holds) {
                    violation = "constraint at line " + std::to_string(c.line) + " is violated (left side " +
                                opb::to_string(lhs) + ", degree " + opb::to_string(c.degree) + ")";
                    break;
                }
            }
            for (const auto& t : loaded->raw_objective.terms)
                if (truth(t.lit)) objective += t.coefficient;
            if (loaded->problem.objective.maximize) objective = -objective;
        }))
        return nullptr;
    PyRef first(violation.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(violation.c_str()));
    if (!first) return nullptr;
    PyRef second(loaded->problem.objective.present ? to_py(objective) : Py_NewRef(Py_None));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// A new list of the literals and one of the weights of `terms`.
bool term_lists(std::span<const quillet::WeightedLiteral> terms, PyRef& lits, PyRef& weights) {
    lits.reset(PyList_New(static_cast<Py_ssize_t>(terms.size())));
    weights.reset(PyList_New(static_cast<Py_ssize_t>(terms.size())));
    if (!lits || !weights) return false;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        PyObject* lit = PyLong_FromLong(terms[i].lit);
        if (lit == nullptr) return false;
        PyList_SET_ITEM(lits.get(), static_cast<Py_ssize_t>(i), lit);
        PyObject* weight = PyLong_FromUnsignedLongLong(terms[i].weight);
        if (weight == nullptr) return false;
        PyList_SET_ITEM(weights.get(), static_cast<Py_ssize_t>(i), weight);
    }
    return true;
}

PyObject* groups_of(const std::vector<std::vector<quillet::Lit>>& groups) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(groups.size())));
    if (!list) return nullptr;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        PyObject* group = PyList_New(static_cast<Py_ssize_t>(groups[g].size()));
        if (group == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(g), group);
        for (std::size_t i = 0; i < groups[g].size(); ++i) {
            PyObject* lit = PyLong_FromLong(groups[g][i]);
            if (lit == nullptr) return nullptr;
            PyList_SET_ITEM(group, static_cast<Py_ssize_t>(i), lit);
        }
    }
    return list.release();
}

// opb_rows(handle) -> (rows, objective_groups)
// rows: one (kind, literals, weights, bound) per normalised row, in the
// order of the file, kind "clause" (the disjunction of the literals; weights
// 1, bound unused), "amo", "cardinality" or "pb" (sum of weights of the true
// literals <= bound); the search turns them into the linear relaxation.
// objective_groups: the partition of the objective's literals into AMO
// groups that its bounds are encoded with.
PyObject* opb_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handle", nullptr};
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:opb_rows", const_cast<char**>(keywords), &capsule))
        return nullptr;
    const Loaded* loaded = loaded_of(capsule);
    if (loaded == nullptr) return nullptr;
    const opb::Problem& problem = loaded->problem;
    PyRef rows(PyList_New(static_cast<Py_ssize_t>(problem.rows.size())));
    if (!rows) return nullptr;
    for (std::size_t r = 0; r < problem.rows.size(); ++r) {
        const opb::Row& row = problem.rows[r];
        PyRef lits, weights;
        if (!term_lists(problem.row_terms(row), lits, weights)) return nullptr;
        PyObject* item = Py_BuildValue("(sOOK)", kind_names[static_cast<std::size_t>(row.kind)], lits.get(),
                                       weights.get(), static_cast<unsigned long long>(row.bound));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), item);
    }
    PyRef groups(groups_of(loaded->objective_groups));
    if (!groups) return nullptr;
    return PyTuple_Pack(2, rows.get(), groups.get());
}

// opb_cover(handle, lits) -> groups
// A partition of the literals (of distinct variables) into AMO groups: the
// cliques of the problem's conflict graph that cover them, as the pipeline
// groups a row; one literal per group when detection was off.
PyObject* opb_cover(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handle", "lits", nullptr};
    PyObject* capsule = nullptr;
    PyObject* lits = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:opb_cover", const_cast<char**>(keywords), &capsule, &lits))
        return nullptr;
    const Loaded* loaded = loaded_of(capsule);
    if (loaded == nullptr) return nullptr;
    PyRef seq(PySequence_Fast(lits, "lits must be a sequence of ints"));
    if (!seq) return nullptr;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<quillet::WeightedLiteral> terms;
    terms.reserve(static_cast<std::size_t>(size));
    const std::int32_t num_vars = loaded->problem.num_vars;
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(num_vars) + 1, 0);
    for (Py_ssize_t i = 0; i < size; ++i) {
        quillet::Lit lit = 0;
        if (!convert_literal(PySequence_Fast_GET_ITEM(seq.get(), i), ArgName{"lits[%zd]", i}, lit)) return nullptr;
        const std::int32_t var = lit < 0 ? -lit : lit;
        if (var < 1 || var > num_vars || seen[static_cast<std::size_t>(var)]) {
            PyErr_Format(PyExc_ValueError, "lits[%zd] = %d: not a literal of a distinct problem variable", i, lit);
            return nullptr;
        }
        seen[static_cast<std::size_t>(var)] = 1;
        terms.push_back({lit, 1});
    }
    std::vector<std::vector<quillet::Lit>> groups;
    std::function<bool()> stop;
    const pipeline::ConflictGraph* graph = loaded->detect ? &loaded->graph : nullptr;
    if (!run_unlocked(module, stop, ErrorStyle::typed, [&] { groups = pipeline::row_groups(graph, terms); }))
        return nullptr;
    return groups_of(groups);
}

PyMethodDef file_methods[] = {
    {"opb_convert", method<opb_convert>(), METH_VARARGS | METH_KEYWORDS,
     "Convert OPB read from a file descriptor into DIMACS CNF or WCNF written to a path ('-' for stdout)."},
    {"opb_stats", method<opb_stats>(), METH_VARARGS | METH_KEYWORDS,
     "Rows, AMO groups and per-encoder sizes of an OPB file read from a file descriptor."},
    {"opb_load", method<opb_load>(), METH_VARARGS | METH_KEYWORDS,
     "Load an OPB file for solving: (handle, clauses, info)."},
    {"opb_objective_bound", method<opb_objective_bound>(), METH_VARARGS | METH_KEYWORDS,
     "Clauses for 'objective sum <= bound': (clauses, top, encoder)."},
    {"opb_check", method<opb_check>(), METH_VARARGS | METH_KEYWORDS,
     "Check a model against the constraints as written: (violation or None, objective value or None)."},
    {"opb_rows", method<opb_rows>(), METH_VARARGS | METH_KEYWORDS,
     "The normalised rows of a loaded problem and its objective's AMO groups: (rows, objective_groups)."},
    {"opb_cover", method<opb_cover>(), METH_VARARGS | METH_KEYWORDS,
     "A partition of literals into AMO groups by the conflict graph of a loaded problem."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int corvane_add_file_functions(PyObject* module) { return PyModule_AddFunctions(module, file_methods); }
