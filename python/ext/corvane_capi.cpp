// The _corvane extension module: converts Python lists and ints into a
// quillet constraint, runs an encoder with the interpreter lock released and
// hands the clauses back as a list of lists of ints (or as one flat int32
// buffer). Every entry point is wrapped by guarded<> (support.hpp), so no
// C++ exception passes it; every object created on the way is released on
// every path.
//
// While an encoder runs, its cancellation hook re-takes the lock about every
// 50 ms on the main thread to let the interpreter run its signal handlers,
// so Ctrl-C ends a long encode with KeyboardInterrupt; other threads keep
// running Python code, or encode in parallel, meanwhile.
//
// encode_leq reports every library error as RuntimeError with the library's
// message; the newer functions raise the module's classes by kind
// (InvalidConstraint, EncodingTooLarge, EncoderLimit, IdsExhausted,
// InternalError, all RuntimeError), MemoryError and OSError.

#include "support.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capi_files.hpp"
#include "core/amo.hpp"
#include "quillet/quillet.hpp"

namespace {

using namespace corvane_ext;

// The library's default budget is far past what Python objects of the
// result can hold: lists of clauses take about 50 bytes per literal, the
// flat buffer about 9 during its build. 2^26 literals keep the lists under
// about 3.5 GB and the flat buffer under about 0.6 GB.
constexpr std::uint64_t kModuleMaxLiterals = std::uint64_t{1} << 26;

// ---------------------------------------------------------------------------
// Argument conversion (the shared converters are in support.hpp).

bool convert_top_id(PyObject* object, std::int32_t& out) {
    long long v = 0;
    if (!convert_int(object, "top_id", INT32_MIN, INT32_MAX, v)) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

// One (lit, weight) tuple. The item is held by the caller while this runs,
// so a __index__ that mutates the outer list cannot free it under us.
bool convert_weighted_literal(PyObject* item, const Py_ssize_t index, quillet::WeightedLiteral& out) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_SetString(PyExc_TypeError, "each weighted literal must be a tuple (lit, weight)");
        return false;
    }
    return convert_literal(PyTuple_GET_ITEM(item, 0), ArgName{"literal of wlits[%zd]", index}, out.lit) &&
           convert_weight(PyTuple_GET_ITEM(item, 1), index, out.weight);
}

bool convert_wlits(PyObject* wlits, std::vector<quillet::WeightedLiteral>& terms) {
    terms.reserve(static_cast<std::size_t>(PyList_GET_SIZE(wlits)));
    // The size is read on every step: a conversion hook may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wlits); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(wlits, i)));
        quillet::WeightedLiteral term;
        if (!convert_weighted_literal(item.get(), i, term)) return false;
        terms.push_back(term);
    }
    return true;
}

bool convert_encoder_name(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "encoder must be str, not %.200s", Py_TYPE(object)->tp_name);
        return false;
    }
    const char* name = PyUnicode_AsUTF8(object);
    if (name == nullptr) return false;
    // Copied (up to the first NUL): a conversion hook below could drop the
    // last reference to a str subclass and with it the UTF-8 buffer.
    out = name;
    return true;
}

// The arguments of one call, converted.
struct Call {
    quillet::GroupedLeqConstraint constraint;
    quillet::EncodeOptions options;
    std::string encoder;
};

// Converts in a fixed order: top_id, bound, the shapes of wlits and groups,
// the encoder name, then the items. A null top_id stands for "the largest
// input variable"; a null encoder for none.
bool convert_call(PyObject* wlits, PyObject* groups, PyObject* bound, PyObject* top_id, PyObject* encoder,
                  Call& call) {
    if (top_id != nullptr && !convert_top_id(top_id, call.options.top_id)) return false;
    if (!convert_unsigned(bound, "bound", call.constraint.bound)) return false;
    if (!PyList_Check(wlits)) {
        PyErr_SetString(PyExc_TypeError, "wlits must be a list of (lit, weight) pairs");
        return false;
    }
    if (!PyList_Check(groups)) {
        PyErr_SetString(PyExc_TypeError, "groups must be a list of literal lists");
        return false;
    }
    if (encoder != nullptr && !convert_encoder_name(encoder, call.encoder)) return false;
    if (!convert_wlits(wlits, call.constraint.terms)) return false;
    if (!convert_groups(groups, call.constraint.groups)) return false;
    if (top_id == nullptr) {
        std::int32_t largest = 0;
        for (const quillet::WeightedLiteral& term : call.constraint.terms)
            largest = std::max(largest, term.lit < 0 ? -term.lit : term.lit);
        call.options.top_id = largest;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Results.

// Int objects for the literals of one result. When the literal values are
// dense enough, each distinct value gets one object shared by every clause
// that holds it; otherwise each occurrence gets its own.
class LiteralInts {
public:
    explicit LiteralInts(const quillet::CnfFormula& cnf) {
        const std::size_t span = 2 * static_cast<std::size_t>(cnf.num_vars) + 1;
        if (span <= 2 * cnf.clauses.num_literals() + 1024) {
            offset_ = cnf.num_vars;
            cache_.assign(span, nullptr);
        }
    }
    ~LiteralInts() {
        for (PyObject* object : cache_) Py_XDECREF(object);
    }
    LiteralInts(const LiteralInts&) = delete;
    LiteralInts& operator=(const LiteralInts&) = delete;

    // A new reference, or null with the interpreter's error set.
    PyObject* get(const quillet::Lit lit) {
        if (cache_.empty()) return PyLong_FromLong(lit);
        PyObject*& slot = cache_[static_cast<std::size_t>(std::int64_t{lit} + offset_)];
        if (slot == nullptr && (slot = PyLong_FromLong(lit)) == nullptr) return nullptr;
        return Py_NewRef(slot);
    }

private:
    std::vector<PyObject*> cache_;
    std::int64_t offset_ = 0;
};

PyObject* build_clause_list(const quillet::CnfFormula& cnf) {
    LiteralInts ints(cnf);
    PyRef outer(PyList_New(static_cast<Py_ssize_t>(cnf.clauses.size())));
    if (!outer) return nullptr;
    Py_ssize_t index = 0;
    for (const quillet::ClauseList::Clause clause : cnf.clauses) {
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(clause.size()));
        if (inner == nullptr) return nullptr;
        // A list of ints cannot be part of a reference cycle, so the cycle
        // collector need not track it; tracked, millions of fresh clause
        // lists make the collector rescan them over and over, which costs
        // more than building them.
        PyObject_GC_UnTrack(inner);
        PyList_SET_ITEM(outer.get(), index++, inner);  // owned by outer from here on
        for (std::size_t k = 0; k < clause.size(); ++k) {
            PyObject* value = ints.get(clause[k]);
            if (value == nullptr) return nullptr;
            PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(k), value);
        }
    }
    return outer.release();
}

PyObject* make_pair(PyObject* first, const long top) {
    PyRef owned(first);
    if (!owned) return nullptr;
    PyRef top_object(PyLong_FromLong(top));
    if (!top_object) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, owned.release());
    PyTuple_SET_ITEM(pair, 1, top_object.release());
    return pair;
}

// FlatClauses: the literals of an encoding as one read-only int32 array with
// a 0 after every clause (DIMACS order), exported through the buffer
// protocol so memoryview and numpy read it in place.
struct FlatClauses {
    PyObject_HEAD
    std::int32_t* data;
    Py_ssize_t length;
    Py_ssize_t stride;
};

void flat_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyMem_Free(reinterpret_cast<FlatClauses*>(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

int flat_getbuffer(PyObject* self, Py_buffer* view, const int flags) {
    if ((flags & PyBUF_WRITABLE) != 0) {
        PyErr_SetString(PyExc_BufferError, "FlatClauses is read-only");
        view->obj = nullptr;
        return -1;
    }
    auto* flat = reinterpret_cast<FlatClauses*>(self);
    view->obj = Py_NewRef(self);
    view->buf = flat->data;
    view->len = flat->length * flat->stride;
    view->readonly = 1;
    view->itemsize = flat->stride;
    view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>("i") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) != 0 ? &flat->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &flat->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

Py_ssize_t flat_length(PyObject* self) { return reinterpret_cast<FlatClauses*>(self)->length; }

PyType_Slot flat_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(flat_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(flat_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(flat_length)},
    {Py_tp_doc, const_cast<char*>("The literals of an encoding as one read-only int32 buffer, 0 after every clause.")},
    {0, nullptr},
};

PyType_Spec flat_spec = {"_corvane.FlatClauses", sizeof(FlatClauses), 0, Py_TPFLAGS_DEFAULT, flat_slots};

PyObject* build_flat(PyObject* module, const quillet::CnfFormula& cnf) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module).flat_type);
    const std::size_t length = cnf.clauses.num_literals() + cnf.clauses.size();
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(std::int32_t)) return PyErr_NoMemory();
    auto* data = static_cast<std::int32_t*>(PyMem_Malloc(std::max<std::size_t>(length, 1) * sizeof(std::int32_t)));
    if (data == nullptr) return PyErr_NoMemory();
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        PyMem_Free(data);
        return nullptr;
    }
    auto* flat = reinterpret_cast<FlatClauses*>(object);
    flat->data = data;
    flat->length = static_cast<Py_ssize_t>(length);
    flat->stride = sizeof(std::int32_t);
    const std::span<const quillet::Lit> literals = cnf.clauses.literals();
    std::size_t from = 0;
    std::int32_t* out = data;
    for (const std::size_t end : cnf.clauses.ends()) {
        std::memcpy(out, literals.data() + from, (end - from) * sizeof(std::int32_t));
        out += end - from;
        *out++ = 0;
        from = end;
    }
    return object;
}

// ---------------------------------------------------------------------------
// The functions.

PyObject* encode_leq(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"wlits", "groups", "bound", "top_id", "encoder", "emit_amo", nullptr};
    PyObject* wlits = nullptr;
    PyObject* groups = nullptr;
    PyObject* bound = nullptr;
    PyObject* top_id = nullptr;
    PyObject* encoder = nullptr;
    int emit_amo = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOp:encode_leq", const_cast<char**>(keywords), &wlits,
                                     &groups, &bound, &top_id, &encoder, &emit_amo))
        return nullptr;
    Call call;
    call.constraint.emit_amo = emit_amo != 0;
    if (!convert_call(wlits, groups, bound, top_id, encoder, call)) return nullptr;
    quillet::EncodeResult result;
    const auto work = [&] { result = quillet::make_encoder(call.encoder)->encode(call.constraint, call.options); };
    if (!run_unlocked(module, call.options.stop, ErrorStyle::plain, work)) return nullptr;
    return make_pair(build_clause_list(result.cnf), result.cnf.num_vars);
}

// The shared argument list of encode and encode_flat.
bool parse_encode_call(PyObject* args, PyObject* kwargs, const char* format, Call& call) {
    static const char* keywords[] = {"wlits",    "groups",       "bound", "top_id", "encoder", "emit_amo",
                                     "max_literals", "clean", nullptr};
    PyObject* wlits = nullptr;
    PyObject* groups = nullptr;
    PyObject* bound = nullptr;
    PyObject* top_id = Py_None;
    PyObject* encoder = nullptr;
    int emit_amo = 0;
    PyObject* max_literals = nullptr;
    int clean = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &wlits, &groups, &bound,
                                     &top_id, &encoder, &emit_amo, &max_literals, &clean))
        return false;
    call.constraint.emit_amo = emit_amo != 0;
    call.options.clean = clean != 0;
    call.options.max_literals = kModuleMaxLiterals;
    call.encoder = "auto";
    if (max_literals != nullptr && !convert_unsigned(max_literals, "max_literals", call.options.max_literals))
        return false;
    return convert_call(wlits, groups, bound, top_id == Py_None ? nullptr : top_id, encoder, call);
}

// The shared argument list of sizes and choose.
bool parse_measure_call(PyObject* args, PyObject* kwargs, const char* format, Call& call) {
    static const char* keywords[] = {"wlits", "groups", "bound", "top_id", "emit_amo", "max_literals", nullptr};
    PyObject* wlits = nullptr;
    PyObject* groups = nullptr;
    PyObject* bound = nullptr;
    PyObject* top_id = Py_None;
    int emit_amo = 0;
    PyObject* max_literals = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &wlits, &groups, &bound,
                                     &top_id, &emit_amo, &max_literals))
        return false;
    call.constraint.emit_amo = emit_amo != 0;
    call.options.max_literals = kModuleMaxLiterals;
    if (max_literals != nullptr && !convert_unsigned(max_literals, "max_literals", call.options.max_literals))
        return false;
    return convert_call(wlits, groups, bound, top_id == Py_None ? nullptr : top_id, nullptr, call);
}

template <bool Flat>
PyObject* encode_any(PyObject* module, PyObject* args, PyObject* kwargs) {
    Call call;
    if (!parse_encode_call(args, kwargs, Flat ? "OOO|OOp$Op:encode_flat" : "OOO|OOp$Op:encode", call))
        return nullptr;
    quillet::EncodeResult result;
    const auto work = [&] { result = quillet::encode_with(call.encoder, call.constraint, call.options); };
    if (!run_unlocked(module, call.options.stop, ErrorStyle::typed, work)) return nullptr;
    PyObject* clauses = Flat ? build_flat(module, result.cnf) : build_clause_list(result.cnf);
    return make_pair(clauses, result.cnf.num_vars);
}

PyObject* encode(PyObject* module, PyObject* args, PyObject* kwargs) { return encode_any<false>(module, args, kwargs); }

PyObject* encode_flat(PyObject* module, PyObject* args, PyObject* kwargs) {
    return encode_any<true>(module, args, kwargs);
}

PyObject* size_tuple(const quillet::EncodingSize& size) {
    return Py_BuildValue("(LKK)", static_cast<long long>(size.variables),
                         static_cast<unsigned long long>(size.clauses), static_cast<unsigned long long>(size.literals));
}

PyObject* sizes(PyObject* module, PyObject* args, PyObject* kwargs) {
    Call call;
    if (!parse_measure_call(args, kwargs, "OOO|Op$O:sizes", call)) return nullptr;
    const std::span<const quillet::EncoderInfo> table = quillet::encoder_table();
    // An encoder over the budget or unable to number the constraint gets no
    // size; validation errors escape the first measure.
    std::vector<std::optional<quillet::EncodingSize>> measured(table.size());
    const auto work = [&] {
        for (std::size_t i = 0; i < table.size(); ++i) {
            try {
                measured[i] = table[i].make()->measure(call.constraint, call.options);
            } catch (const quillet::EncodingTooLarge&) {
            } catch (const quillet::EncoderLimit&) {
            }
        }
    };
    if (!run_unlocked(module, call.options.stop, ErrorStyle::typed, work)) return nullptr;
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const PyRef value(measured[i] ? size_tuple(*measured[i]) : Py_NewRef(Py_None));
        const PyRef key(PyUnicode_FromStringAndSize(table[i].name.data(), static_cast<Py_ssize_t>(table[i].name.size())));
        if (!value || !key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* choose(PyObject* module, PyObject* args, PyObject* kwargs) {
    Call call;
    if (!parse_measure_call(args, kwargs, "OOO|Op$O:choose", call)) return nullptr;
    std::string name;
    const auto work = [&] { name = quillet::choose_encoder(call.constraint, call.options); };
    if (!run_unlocked(module, call.options.stop, ErrorStyle::typed, work)) return nullptr;
    return PyUnicode_FromString(name.c_str());
}

PyObject* str_of(const std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool no_arguments(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords)) != 0;
}

PyObject* available_encoders(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!no_arguments(args, kwargs, ":available_encoders")) return nullptr;
    const std::span<const quillet::EncoderInfo> table = quillet::encoder_table();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(table.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < table.size(); ++i) {
        PyObject* name = str_of(table[i].name);
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

const char* trial_name(const quillet::AutoTrial trial) {
    switch (trial) {
        case quillet::AutoTrial::count: return "count";
        case quillet::AutoTrial::build: return "build";
        case quillet::AutoTrial::measure: return "measure";
    }
    return "measure";
}

// encoder_table() -> tuple of (name, constant, summary, auto_trial, auto_rank, auto_max_groups)
PyObject* encoder_table(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!no_arguments(args, kwargs, ":encoder_table")) return nullptr;
    const std::span<const quillet::EncoderInfo> table = quillet::encoder_table();
    PyRef rows(PyTuple_New(static_cast<Py_ssize_t>(table.size())));
    if (!rows) return nullptr;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const quillet::EncoderInfo& e = table[i];
        PyObject* row = Py_BuildValue("(s#s#s#sin)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                                      e.constant.data(), static_cast<Py_ssize_t>(e.constant.size()), e.summary.data(),
                                      static_cast<Py_ssize_t>(e.summary.size()), trial_name(e.auto_trial), e.auto_rank,
                                      static_cast<Py_ssize_t>(e.auto_max_groups));
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    return rows.release();
}

// amo_clauses(groups, method="auto", top_id=None) -> (clauses, top); None
// stands for the largest variable of the groups.
PyObject* amo_clauses(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"groups", "method", "top_id", nullptr};
    PyObject* groups = nullptr;
    const char* method_name = "auto";
    PyObject* top_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|sO:amo_clauses", const_cast<char**>(keywords), &groups,
                                     &method_name, &top_object))
        return nullptr;
    quillet::AmoMethod method{};
    if (!quillet::parse_amo_method(method_name, method)) {
        PyErr_Format(PyExc_ValueError, "unknown AMO method %s; expected auto, pairwise, sequential or ladder",
                     method_name);
        return nullptr;
    }
    long long top = 0;
    if (top_object != nullptr && !convert_int(top_object, "top_id", 0, quillet::max_variable_id, top)) return nullptr;
    if (!PyList_Check(groups)) {
        PyErr_SetString(PyExc_TypeError, "groups must be a list of literal lists");
        return nullptr;
    }
    std::vector<std::vector<quillet::Lit>> lists;
    if (!convert_groups(groups, lists)) return nullptr;
    if (top_object == nullptr)
        for (const std::vector<quillet::Lit>& group : lists)
            for (const quillet::Lit lit : group) top = std::max<long long>(top, lit < 0 ? -lit : lit);
    quillet::CnfFormula cnf;
    quillet::VariableManager vars(static_cast<std::int32_t>(top));
    quillet::EncodeOptions options{static_cast<std::int32_t>(top)};
    options.max_literals = kModuleMaxLiterals;
    quillet::ClauseSink sink(&cnf.clauses, options);
    quillet::add_amo_clauses(lists, method, vars, sink);
    cnf.num_vars = vars.top();
    return make_pair(build_clause_list(cnf), cnf.num_vars);
}

PyMethodDef module_methods[] = {
    {"encode_leq", method<encode_leq, ErrorStyle::plain>(), METH_VARARGS | METH_KEYWORDS,
     "encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)\n--\n\n"
     "Encode one grouped <= pseudo-Boolean constraint.\n\n"
     "wlits: list of (literal, weight) tuples; groups: list of literal lists that\n"
     "partition the literals (at most one literal of a group is true); bound: the\n"
     "largest allowed weighted sum; top_id: the highest variable id already in use;\n"
     "encoder: one of available_encoders(); emit_amo: also write the pairwise AMO\n"
     "clauses of the groups. Returns (clauses, top): the clauses as lists of\n"
     "DIMACS literals and the new highest variable id."},
    {"encode", method<encode>(), METH_VARARGS | METH_KEYWORDS,
     "encode(wlits, groups, bound, top_id=None, encoder='auto', emit_amo=False, *, max_literals=2**26, "
     "clean=False)\n--\n\n"
     "Encode one grouped <= constraint like encode_leq, with defaults.\n\n"
     "top_id=None stands for the largest input variable. encoder may also be\n"
     "'auto' (the encoder with the fewest literals, by exact counts and budgeted\n"
     "builds) or 'smallest' (builds every encoder's output and keeps the smallest).\n"
     "max_literals is the size budget: a larger encoding raises EncodingTooLarge\n"
     "before it is built. clean drops repeated literals and tautological clauses.\n"
     "Returns (clauses, top)."},
    {"encode_flat", method<encode_flat>(), METH_VARARGS | METH_KEYWORDS,
     "encode_flat(wlits, groups, bound, top_id=None, encoder='auto', emit_amo=False, *, max_literals=2**26, "
     "clean=False)\n--\n\n"
     "Like encode, but returns (FlatClauses, top): every literal in one int32\n"
     "buffer with 0 after each clause, readable by memoryview and numpy.frombuffer."},
    {"sizes", method<sizes>(), METH_VARARGS | METH_KEYWORDS,
     "sizes(wlits, groups, bound, top_id=None, emit_amo=False, *, max_literals=2**26)\n--\n\n"
     "The exact size of every encoder's output, without building it: a dict from\n"
     "encoder name to (variables, clauses, literals), or None for an encoder whose\n"
     "output would pass max_literals or that cannot number the constraint."},
    {"choose", method<choose>(), METH_VARARGS | METH_KEYWORDS,
     "choose(wlits, groups, bound, top_id=None, emit_amo=False, *, max_literals=2**26)\n--\n\n"
     "The name of the encoder that encoder='auto' uses for these arguments."},
    {"available_encoders", method<available_encoders>(), METH_VARARGS | METH_KEYWORDS,
     "available_encoders()\n--\n\nReturn the list of encoder names."},
    {"encoder_table", method<encoder_table>(), METH_VARARGS | METH_KEYWORDS,
     "encoder_table()\n--\n\n"
     "The registry's table: a tuple of (name, constant, summary, auto_trial,\n"
     "auto_rank, auto_max_groups), one per encoder in the order of\n"
     "available_encoders(). auto_trial is 'count', 'build' or 'measure';\n"
     "auto_max_groups 0 means no limit."},
    {"amo_clauses", method<amo_clauses>(), METH_VARARGS | METH_KEYWORDS,
     "amo_clauses(groups, method='auto', top_id=None)\n--\n\n"
     "At-most-one clauses of every group: 'pairwise', 'sequential' (or 'ladder':\n"
     "linear size, fresh variables above top_id) or 'auto' (pairwise up to 6\n"
     "literals). Returns (clauses, top)."},
    {nullptr, nullptr, 0, nullptr},
};

int module_traverse(PyObject* module, visitproc visit, void* arg) { return traverse_state(module, visit, arg); }

int module_clear(PyObject* module) {
    clear_state(module);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef corvane_module = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    "CORVANE structured pseudo-Boolean encoders for Ostrel",
    sizeof(ModuleState),
    module_methods,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

// The ident of the main thread, from the threading module.
bool read_main_thread(unsigned long& out) {
    const PyRef threading(PyImport_ImportModule("threading"));
    if (!threading) return false;
    const PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    const PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    out = PyLong_AsUnsignedLong(ident.get());
    return !PyErr_Occurred();
}

bool init_module(PyObject* module) {
    ModuleState& state = state_of(module);
    if (!read_main_thread(state.main_thread)) return false;
    state.flat_type = PyType_FromSpec(&flat_spec);
    if (state.flat_type == nullptr) return false;
    if (PyModule_AddObjectRef(module, "FlatClauses", state.flat_type) < 0) return false;
    if (PyModule_AddStringConstant(module, "__version__", CORVANE_VERSION) < 0) return false;
    if (!add_exception_classes(module)) return false;
    for (const quillet::EncoderInfo& entry : quillet::encoder_table()) {
        const PyRef value(str_of(entry.name));
        if (!value || PyModule_AddObjectRef(module, std::string(entry.constant).c_str(), value.get()) < 0) return false;
    }
    PyRef methods(PyTuple_New(std::size(quillet::amo_method_names)));
    if (!methods) return false;
    for (std::size_t i = 0; i < std::size(quillet::amo_method_names); ++i) {
        PyObject* name = str_of(quillet::amo_method_names[i]);
        if (name == nullptr) return false;
        PyTuple_SET_ITEM(methods.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (PyModule_AddObjectRef(module, "AMO_METHODS", methods.get()) < 0) return false;
    return corvane_add_file_functions(module) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__corvane() {
    PyObject* module = PyModule_Create(&corvane_module);
    if (module == nullptr) return nullptr;
    try {
        if (init_module(module)) return module;
    } catch (...) {
        translate_exception(module, ErrorStyle::typed);
    }
    Py_DECREF(module);
    return nullptr;
}
