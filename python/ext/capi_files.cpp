// The file functions of _corvane. Every one of them releases the interpreter
// lock while it reads, encodes or writes, and turns what the library throws
// into a Python exception: OpbError (a ValueError) for malformed input, whose
// message is "FILE:LINE:COLUMN: what is wrong", OSError for the system,
// RuntimeError for the rest.
#include "capi_files.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "pipeline/amo_detect.hpp"
#include "io/opb.hpp"
#include "pipeline/convert.hpp"

namespace {

namespace opb = quillet::opb;

PyObject* opb_error = nullptr;  // the exception class, owned by the module

struct PyDecRef {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

// Call with the lock held, from a catch block's context.
void set_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const opb::ParseError& e) {
        PyErr_SetString(opb_error, e.what());
    } catch (const std::system_error& e) {
        PyErr_SetObject(PyExc_OSError, PyRef(Py_BuildValue("(is)", e.code().value(), e.what())).get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error");
    }
}

// Runs f without the lock; false (with the Python error set) when it threw.
template <typename F>
bool run_unlocked(F&& f) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) {
        set_error(error);
        return false;
    }
    return true;
}

// A progress line on standard error, rewritten in place, at most a few
// times a second. Only used when the caller says standard error is a terminal.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}
    ~Progress() { done(); }
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
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(width, '.');
        std::snprintf(line, sizeof line, "\rcorvane: %.*s [%s] %3d%%   ", static_cast<int>(what.size()), what.data(),
                      bar.c_str(), static_cast<int>(fraction * 100));
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
        const std::string s(text);
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, s.data(), s.size());
    }
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

bool parse_format(const char* text, opb::Format& out) {
    const std::string_view s(text);
    if (s == "dimacs") {
        out = opb::Format::dimacs;
    } else if (s == "wcnf") {
        out = opb::Format::wcnf;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown output format %s (dimacs or wcnf)", text);
        return false;
    }
    return true;
}

bool parse_amo(const char* text, opb::AmoEncoding& out) {
    const std::string_view s(text);
    if (s == "auto") {
        out = opb::AmoEncoding::automatic;
    } else if (s == "pairwise") {
        out = opb::AmoEncoding::pairwise;
    } else if (s == "ladder") {
        out = opb::AmoEncoding::ladder;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown AMO encoding %s (auto, pairwise or ladder)", text);
        return false;
    }
    return true;
}

bool check_encoding(const char* encoding) {
    if (opb::valid_encoding(encoding)) return true;
    PyErr_Format(PyExc_ValueError, "unknown encoding %s (auto, smallest, mdd, gswc, ggpw, gmto or rggt)", encoding);
    return false;
}

PyObject* to_py(opb::Int value) { return PyLong_FromString(opb::to_string(value).c_str(), nullptr, 10); }

// Sets key to value in dict, stealing value; false on error.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

const char* const kind_names[] = {"clause", "amo", "cardinality", "pb"};

PyObject* summary_dict(const opb::Summary& s) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    PyRef rows(PyDict_New()), uses(PyDict_New());
    if (!rows || !uses) return nullptr;
    for (std::size_t k = 0; k < 4; ++k)
        if (!put(rows.get(), kind_names[k], PyLong_FromUnsignedLongLong(s.rows[k]))) return nullptr;
    for (std::size_t e = 0; e < 5; ++e)
        if (!put(uses.get(), std::string(opb::encoder_names[e]).c_str(), PyLong_FromUnsignedLongLong(s.encoder_uses[e])))
            return nullptr;
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

// opb_convert(fd, name, output, encoding="auto", format="dimacs", amo="auto",
//             detect=True, threads=1, comments=True, progress=False) -> dict
PyObject* opb_convert(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "output", "encoding", "format", "amo",
                                     "detect", "threads", "comments", "progress", nullptr};
    int fd = -1, detect = 1, threads = 1, comments = 1, progress = 0;
    const char *name = nullptr, *output = nullptr, *encoding = "auto", *format = "dimacs", *amo = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iss|ssspipp", const_cast<char**>(keywords), &fd, &name, &output,
                                     &encoding, &format, &amo, &detect, &threads, &comments, &progress))
        return nullptr;
    opb::PipelineOptions options;
    if (!check_encoding(encoding) || !parse_format(format, options.format) || !parse_amo(amo, options.amo)) return nullptr;
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    options.encoding = encoding;
    options.detect = detect != 0;
    options.threads = static_cast<unsigned>(threads);
    options.variable_comments = comments != 0;
    Progress bar(progress != 0);
    options.progress = [&bar](std::string_view stage, std::uint64_t done, std::uint64_t total) {
        bar.stage(stage, done, total);
    };
    opb::ReadOptions read_options;
    read_options.progress = [&bar](std::uint64_t bytes) { bar.bytes(bytes); };
    opb::Summary summary;
    const std::string in_name(name), out_path(output);
    if (!run_unlocked([&] {
            summary = opb::convert(fd, in_name, out_path, options, read_options);
            bar.done();
        })) {
        bar.done();
        return nullptr;
    }
    return summary_dict(summary);
}

PyObject* encoder_stats_dict(const opb::EncoderStats& s) {
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:d}", "rows", static_cast<unsigned long long>(s.rows), "skipped",
                         static_cast<unsigned long long>(s.skipped), "vars", static_cast<unsigned long long>(s.vars),
                         "clauses", static_cast<unsigned long long>(s.clauses), "seconds", s.seconds);
}

// opb_stats(fd, name, detect=True, threads=1, progress=False) -> dict
PyObject* opb_stats(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "detect", "threads", "progress", nullptr};
    int fd = -1, detect = 1, threads = 1, progress = 0;
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "is|pip", const_cast<char**>(keywords), &fd, &name, &detect,
                                     &threads, &progress))
        return nullptr;
    Progress bar(progress != 0);
    opb::ReadOptions read_options;
    read_options.progress = [&bar](std::uint64_t bytes) { bar.bytes(bytes); };
    opb::Stats stats;
    const std::string in_name(name);
    const auto start = std::chrono::steady_clock::now();
    double read_seconds = 0;
    if (!run_unlocked([&] {
            const opb::Problem problem = opb::read_problem(fd, in_name, read_options);
            read_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            bar.done();
            const opb::ConflictGraph graph = detect ? opb::ConflictGraph(problem) : opb::ConflictGraph();
            stats = opb::problem_stats(problem, detect ? &graph : nullptr, static_cast<unsigned>(threads < 1 ? 1 : threads));
        }))
        return nullptr;
    PyRef d(summary_dict(stats.summary));
    if (!d) return nullptr;
    PyRef kinds(PyDict_New());
    if (!kinds) return nullptr;
    for (std::size_t k = 0; k < 4; ++k) {
        PyObject* entry = Py_BuildValue("{s:K,s:K,s:K}", "rows", static_cast<unsigned long long>(stats.summary.rows[k]),
                                        "groups", static_cast<unsigned long long>(stats.groups_by_kind[k]),
                                        "grouped_literals", static_cast<unsigned long long>(stats.grouped_literals_by_kind[k]));
        if (!put(kinds.get(), kind_names[k], entry)) return nullptr;
    }
    PyObject* objective = Py_BuildValue("{s:K,s:K,s:K}", "terms", static_cast<unsigned long long>(stats.objective_terms),
                                        "groups", static_cast<unsigned long long>(stats.objective_groups),
                                        "grouped_literals", static_cast<unsigned long long>(stats.objective_grouped_literals));
    if (!put(kinds.get(), "objective", objective)) return nullptr;
    if (!put(d.get(), "kinds", kinds.release())) return nullptr;
    PyRef encoders(PyDict_New());
    if (!encoders) return nullptr;
    for (std::size_t k = 0; k < 2; ++k) {
        PyRef per(PyDict_New());
        if (!per) return nullptr;
        for (std::size_t e = 0; e < 5; ++e)
            if (!put(per.get(), std::string(opb::encoder_names[e]).c_str(), encoder_stats_dict(stats.per_encoder[k][e])))
                return nullptr;
        if (!put(encoders.get(), k == 0 ? "cardinality" : "pb", per.release())) return nullptr;
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
    opb::Normalizer normalizer;
    std::vector<opb::RawConstraint> raw_constraints;
    opb::RawConstraint raw_objective;
    opb::Problem problem;
    opb::ConflictGraph graph;
    bool detect = true;
    std::vector<std::vector<quillet::Lit>> objective_groups;
};

constexpr const char* kCapsuleName = "corvane.opb_problem";

void free_loaded(PyObject* capsule) {
    delete static_cast<Loaded*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* clauses_to_list(const quillet::ClauseList& clauses) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(clauses.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < clauses.size(); ++i) {
        const auto clause = clauses[i];
        PyObject* c = PyList_New(static_cast<Py_ssize_t>(clause.size()));
        if (c == nullptr) return nullptr;
        for (std::size_t j = 0; j < clause.size(); ++j) {
            PyObject* lit = PyLong_FromLong(clause[j]);
            if (lit == nullptr) {
                Py_DECREF(c);
                return nullptr;
            }
            PyList_SET_ITEM(c, static_cast<Py_ssize_t>(j), lit);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), c);
    }
    return list.release();
}

struct ListSink : opb::ClauseSink {
    quillet::ClauseList clauses;
    void clause(std::span<const quillet::Lit> lits) override { clauses.push_back(lits); }
};

// opb_load(fd, name, encoding="auto", amo="auto", detect=True, threads=1)
//   -> (handle, clauses, info)
PyObject* opb_load(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "name", "encoding", "amo", "detect", "threads", nullptr};
    int fd = -1, detect = 1, threads = 1;
    const char *name = nullptr, *encoding = "auto", *amo = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "is|sspi", const_cast<char**>(keywords), &fd, &name, &encoding,
                                     &amo, &detect, &threads))
        return nullptr;
    opb::PipelineOptions options;
    if (!check_encoding(encoding) || !parse_amo(amo, options.amo)) return nullptr;
    options.encoding = encoding;
    options.detect = detect != 0;
    options.threads = static_cast<unsigned>(threads < 1 ? 1 : threads);
    auto loaded = std::make_unique<Loaded>(name);
    loaded->detect = detect != 0;
    ListSink sink;
    opb::Summary summary;
    const std::string in_name(name);
    if (!run_unlocked([&] {
            using clock = std::chrono::steady_clock;
            const auto since = [](clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); };
            auto t = clock::now();
            opb::read_opb(fd, in_name, *loaded);
            loaded->problem = loaded->normalizer.take();
            const double read_seconds = since(t);
            t = clock::now();
            if (loaded->detect) loaded->graph = opb::ConflictGraph(loaded->problem);
            const opb::ConflictGraph* graph = loaded->detect ? &loaded->graph : nullptr;
            loaded->objective_groups = opb::row_groups(graph, loaded->problem.objective.terms);
            const double detect_seconds = since(t);
            t = clock::now();
            summary = opb::encode_problem(loaded->problem, graph, options, sink);
            summary.read_seconds = read_seconds;
            summary.detect_seconds = detect_seconds;
            summary.encode_seconds = since(t);
        }))
        return nullptr;
    PyRef info(summary_dict(summary));
    if (!info) return nullptr;
    const auto& objective = loaded->problem.objective;
    std::uint64_t groups = 0;
    for (const auto& g : loaded->objective_groups) groups += g.size() > 1;
    PyRef terms(PyList_New(static_cast<Py_ssize_t>(objective.terms.size())));
    if (!terms) return nullptr;
    for (std::size_t i = 0; i < objective.terms.size(); ++i) {
        PyObject* t = Py_BuildValue("(iK)", objective.terms[i].lit, static_cast<unsigned long long>(objective.terms[i].weight));
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(terms.get(), static_cast<Py_ssize_t>(i), t);
    }
    if (!put(info.get(), "has_objective", PyBool_FromLong(objective.present)) ||
        !put(info.get(), "objective_offset", to_py(objective.offset)) ||
        !put(info.get(), "objective_terms", terms.release()) ||
        !put(info.get(), "objective_groups", PyLong_FromUnsignedLongLong(groups)))
        return nullptr;
    PyRef clauses(clauses_to_list(sink.clauses));
    if (!clauses) return nullptr;
    PyRef capsule(PyCapsule_New(loaded.get(), kCapsuleName, free_loaded));
    if (!capsule) return nullptr;
    loaded.release();
    return PyTuple_Pack(3, capsule.get(), clauses.get(), info.get());
}

Loaded* loaded_of(PyObject* capsule) {
    return static_cast<Loaded*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// opb_objective_bound(handle, bound, top, encoding="auto") -> (clauses, top, encoder)
// Clauses stating "sum of the objective's weighted literals <= bound".
PyObject* opb_objective_bound(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handle", "bound", "top", "encoding", nullptr};
    PyObject* capsule = nullptr;
    unsigned long long bound = 0;
    int top = 0;
    const char* encoding = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKi|s", const_cast<char**>(keywords), &capsule, &bound, &top,
                                     &encoding))
        return nullptr;
    Loaded* loaded = loaded_of(capsule);
    if (loaded == nullptr || !check_encoding(encoding)) return nullptr;
    quillet::EncodeResult result;
    int chosen = -1;
    const std::string name(encoding);
    if (!run_unlocked([&] {
            quillet::GroupedLeqConstraint c;
            c.terms = loaded->problem.objective.terms;
            c.groups = loaded->objective_groups;
            c.bound = bound;
            result = opb::encode_with(name, c, quillet::EncodeOptions{top}, &chosen);
        }))
        return nullptr;
    PyRef clauses(clauses_to_list(result.cnf.clauses));
    if (!clauses) return nullptr;
    const std::string chosen_name = chosen >= 0 ? std::string(opb::encoder_names[static_cast<std::size_t>(chosen)]) : "";
    return Py_BuildValue("(Ois)", clauses.get(), result.cnf.num_vars, chosen_name.c_str());
}

// opb_check(handle, model) -> (violation or None, objective value or None)
// `model` is a sequence of DIMACS literals (as a SAT solver returns it); a
// variable it does not mention counts as false. The constraints are evaluated
// as written in the file, with exact integers.
PyObject* opb_check(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* model = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &capsule, &model)) return nullptr;
    Loaded* loaded = loaded_of(capsule);
    if (loaded == nullptr) return nullptr;
    PyRef seq(PySequence_Fast(model, "model must be a sequence of ints"));
    if (!seq) return nullptr;
    const auto n = static_cast<std::size_t>(loaded->problem.num_vars);
    std::vector<std::uint8_t> value(n + 1, 0);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        const long lit = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (lit == -1 && PyErr_Occurred()) return nullptr;
        const std::size_t v = static_cast<std::size_t>(lit < 0 ? -lit : lit);
        if (v >= 1 && v <= n) value[v] = lit > 0;
    }
    std::string violation;
    opb::Int objective = 0;
    Py_BEGIN_ALLOW_THREADS
    auto truth = [&](quillet::Lit lit) { return lit > 0 ? value[static_cast<std::size_t>(lit)] != 0 : value[static_cast<std::size_t>(-lit)] == 0; };
    for (const auto& c : loaded->raw_constraints) {
        opb::Int lhs = 0;
        for (const auto& t : c.terms)
            if (truth(t.lit)) lhs += t.coefficient;
        const bool holds = c.relation == opb::Relation::ge   ? lhs >= c.degree
                           : c.relation == opb::Relation::le ? lhs <= c.degree
                                                             : lhs == c.degree;
        if (!holds) {
            violation = "constraint at line " + std::to_string(c.line) + " is violated (left side " + opb::to_string(lhs) +
                        ", degree " + opb::to_string(c.degree) + ")";
            break;
        }
    }
    for (const auto& t : loaded->raw_objective.terms)
        if (truth(t.lit)) objective += t.coefficient;
    Py_END_ALLOW_THREADS
    PyRef first(violation.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(violation.c_str()));
    if (!first) return nullptr;
    PyRef second(loaded->problem.objective.present ? to_py(objective) : Py_NewRef(Py_None));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyMethodDef file_methods[] = {
    {"opb_convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(opb_convert)), METH_VARARGS | METH_KEYWORDS,
     "Convert OPB read from a file descriptor into DIMACS CNF or WCNF written to a path ('-' for stdout)."},
    {"opb_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(opb_stats)), METH_VARARGS | METH_KEYWORDS,
     "Rows, AMO groups and per-encoder sizes of an OPB file read from a file descriptor."},
    {"opb_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(opb_load)), METH_VARARGS | METH_KEYWORDS,
     "Load an OPB file for solving: (handle, clauses, info)."},
    {"opb_objective_bound", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(opb_objective_bound)),
     METH_VARARGS | METH_KEYWORDS, "Clauses for 'objective sum <= bound': (clauses, top, encoder)."},
    {"opb_check", opb_check, METH_VARARGS,
     "Check a model against the constraints as written: (violation or None, objective value or None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int corvane_add_file_functions(PyObject* module) {
    if (PyModule_AddFunctions(module, file_methods) < 0) return -1;
    opb_error = PyErr_NewExceptionWithDoc("_corvane.OpbError",
                                          "Malformed OPB input; the message is 'FILE:LINE:COLUMN: what is wrong'.",
                                          PyExc_ValueError, nullptr);
    if (opb_error == nullptr) return -1;
    Py_INCREF(opb_error);  // one reference stays here for raising
    if (PyModule_AddObject(module, "OpbError", opb_error) < 0) {
        Py_DECREF(opb_error);
        Py_DECREF(opb_error);
        opb_error = nullptr;
        return -1;
    }
    return 0;
}

bool corvane_loaded_view(PyObject* handle, CorvaneLoadedView& out) {
    Loaded* loaded = loaded_of(handle);
    if (loaded == nullptr) return false;
    out.problem = &loaded->problem;
    out.graph = loaded->detect ? &loaded->graph : nullptr;
    out.objective_groups = &loaded->objective_groups;
    return true;
}
