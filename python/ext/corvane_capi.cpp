// The _corvane extension module: converts Python lists and ints into a
// quillet constraint, runs an encoder with the interpreter lock released and
// hands the clauses back as a list of lists of ints (or as one flat int32
// buffer). Every C++ exception stops at this boundary; every object created
// on the way is released on every path.
//
// While an encoder runs, its cancellation hook re-takes the lock about every
// 50 ms on the main thread to let the interpreter run its signal handlers,
// so Ctrl-C ends a long encode with KeyboardInterrupt; other threads keep
// running Python code, or encode in parallel, meanwhile.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capi_files.hpp"
#include "capi_solve.hpp"
#include "quillet/quillet.hpp"

namespace {

struct PyDecRef {
    void operator()(PyObject* object) const { Py_DECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

constexpr long long kMaxLiteral = 2147483647LL;

struct ModuleState {
    unsigned long main_thread = 0;  // the only thread the interpreter delivers signals to
    PyObject* flat_type = nullptr;
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------
// Argument conversion. Each converter names the argument and its position in
// its errors, and accepts what the interpreter's own index conversions
// accept (int and any __index__ object; never float).

// repr() of an int for an error message. An int past the interpreter's
// digit limit has no decimal repr; it is described by its size instead.
PyObject* describe_int(PyObject* value) {
    PyObject* repr = PyObject_Repr(value);
    if (repr != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) return repr;
    PyErr_Clear();
    const PyRef bits(PyObject_CallMethod(value, "bit_length", nullptr));
    if (!bits) return nullptr;
    return PyUnicode_FromFormat("<int of %S bits>", bits.get());
}

// The name of an argument or item in error messages, such as "weight of
// wlits[3]". Formatted only when an error needs it: items are converted by
// the million, errors are rare.
struct ArgName {
    const char* format;  // with up to two %zd for the positions
    Py_ssize_t first = 0;
    Py_ssize_t second = 0;

    std::string text() const {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, format, first, second);
        return buffer;
    }
};

// A new reference to the int value of `object`, or null with a TypeError
// "<what> must be int, not <type>".
PyObject* index_of(PyObject* object, const ArgName& what) {
    if (PyLong_Check(object)) return Py_NewRef(object);
    if (Py_TYPE(object)->tp_as_number == nullptr || Py_TYPE(object)->tp_as_number->nb_index == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s must be int, not %.200s", what.text().c_str(), Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return PyNumber_Index(object);
}

void set_out_of_range(PyObject* value, const char* label, const char* range) {
    const PyRef text(describe_int(value));
    if (text) PyErr_Format(PyExc_OverflowError, "%s %U is out of range (%s)", label, text.get(), range);
}

// A literal whose magnitude fits a 32-bit variable id; anything wider is
// refused rather than truncated.
bool convert_literal(PyObject* object, const ArgName& what, quillet::Lit& out) {
    const PyRef value(index_of(object, what));
    if (!value) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < -kMaxLiteral || v > kMaxLiteral) {
        set_out_of_range(value.get(), "literal", "-2147483647..2147483647");
        return false;
    }
    out = static_cast<quillet::Lit>(v);
    return true;
}

// An unsigned 64-bit value. A negative one is out of range like one of 2^64
// or more (the interpreter reports both as OverflowError); false only for
// another error.
bool convert_u64(PyObject* value, bool& in_range, std::uint64_t& out) {
    in_range = false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return true;
    }
    in_range = true;
    out = v;
    return true;
}

// A bound or a budget: any value of 0..2^64-1, named by `label` in errors.
bool convert_unsigned(PyObject* object, const char* label, std::uint64_t& out) {
    const PyRef value(index_of(object, ArgName{label}));
    if (!value) return false;
    bool in_range = false;
    if (!convert_u64(value.get(), in_range, out)) return false;
    if (!in_range) set_out_of_range(value.get(), label, "0..18446744073709551615");
    return in_range;
}

bool convert_weight(PyObject* object, const Py_ssize_t index, quillet::Weight& out) {
    const ArgName what{"weight of wlits[%zd]", index};
    const PyRef value(index_of(object, what));
    if (!value) return false;
    bool in_range = false;
    if (!convert_u64(value.get(), in_range, out)) return false;
    if (!in_range)
        PyErr_Format(PyExc_OverflowError, "%s is out of range (1..18446744073709551615)", what.text().c_str());
    return in_range;
}

bool convert_top_id(PyObject* object, std::int32_t& out) {
    const PyRef value(index_of(object, ArgName{"top_id"}));
    if (!value) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        set_out_of_range(value.get(), "top_id", "-2147483648..2147483647");
        return false;
    }
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

bool convert_group(PyObject* group, const Py_ssize_t index, std::vector<quillet::Lit>& out) {
    if (!PyList_Check(group)) {
        PyErr_SetString(PyExc_TypeError, "each group must be a list of literals");
        return false;
    }
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(group)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(group); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(group, i)));
        quillet::Lit lit;
        if (!convert_literal(item.get(), ArgName{"groups[%zd][%zd]", index, i}, lit)) return false;
        out.push_back(lit);
    }
    return true;
}

bool convert_groups(PyObject* groups, std::vector<std::vector<quillet::Lit>>& out) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(groups)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(groups, i)));
        std::vector<quillet::Lit> group;
        if (!convert_group(item.get(), i, group)) return false;
        out.push_back(std::move(group));
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
// Running the library without the interpreter lock.

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error in quillet encoder");
    }
}

// The cancellation hook of one call. Signals are only ever handled on the
// main thread, so elsewhere the hook never takes the lock.
class SignalWatch {
public:
    explicit SignalWatch(const bool main_thread) : main_thread_(main_thread) {}

    void release() { saved_ = PyEval_SaveThread(); }
    void acquire() { PyEval_RestoreThread(saved_); }

    bool interrupted() {
        if (!main_thread_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_check_) return false;
        next_check_ = now + std::chrono::milliseconds(50);
        acquire();
        const bool raised = PyErr_CheckSignals() != 0;
        release();
        return raised;
    }

private:
    bool main_thread_;
    PyThreadState* saved_ = nullptr;
    std::chrono::steady_clock::time_point next_check_{};
};

// Runs `work` without the interpreter lock, with a cancellation hook in
// `options`. Returns false with the Python error set when it threw: the
// exception a signal handler raised (KeyboardInterrupt) when cancelled, a
// RuntimeError with the library's message otherwise.
template <class Work>
bool run_unlocked(PyObject* module, quillet::EncodeOptions& options, Work&& work) {
    SignalWatch watch(PyThread_get_thread_ident() == state_of(module).main_thread);
    options.stop = [&watch] { return watch.interrupted(); };
    std::exception_ptr failure;
    watch.release();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    watch.acquire();
    options.stop = nullptr;
    if (!failure) return true;
    if (PyErr_Occurred()) return false;  // raised by a signal handler while polling
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        set_error_from_current_exception();
    }
    return false;
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
    try {
        Call call;
        call.constraint.emit_amo = emit_amo != 0;
        if (!convert_call(wlits, groups, bound, top_id, encoder, call)) return nullptr;
        quillet::EncodeResult result;
        const auto work = [&] { result = quillet::make_encoder(call.encoder)->encode(call.constraint, call.options); };
        if (!run_unlocked(module, call.options, work)) return nullptr;
        return make_pair(build_clause_list(result.cnf), result.cnf.num_vars);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
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
    if (max_literals != nullptr && !convert_unsigned(max_literals, "max_literals", call.options.max_literals))
        return false;
    return convert_call(wlits, groups, bound, top_id == Py_None ? nullptr : top_id, nullptr, call);
}

template <bool Flat>
PyObject* encode_any(PyObject* module, PyObject* args, PyObject* kwargs) {
    try {
        Call call;
        if (!parse_encode_call(args, kwargs, Flat ? "OOO|OOp$Op:encode_flat" : "OOO|OOp$Op:encode", call))
            return nullptr;
        quillet::EncodeResult result;
        const auto work = [&] { result = quillet::encode_with(call.encoder, call.constraint, call.options); };
        if (!run_unlocked(module, call.options, work)) return nullptr;
        PyObject* clauses = Flat ? build_flat(module, result.cnf) : build_clause_list(result.cnf);
        return make_pair(clauses, result.cnf.num_vars);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
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
    try {
        Call call;
        if (!parse_measure_call(args, kwargs, "OOO|Op$O:sizes", call)) return nullptr;
        const std::vector<std::string> names = quillet::available_encoders();
        // An encoder over the budget or unable to number the constraint gets
        // no size; a constraint no encoder accepts raises.
        std::vector<std::optional<quillet::EncodingSize>> measured(names.size());
        // Validation errors escape the first measure: only size and id
        // errors are caught per encoder.
        const auto work = [&] {
            for (std::size_t i = 0; i < names.size(); ++i) {
                try {
                    measured[i] = quillet::make_encoder(names[i])->measure(call.constraint, call.options);
                } catch (const std::length_error&) {
                } catch (const std::overflow_error&) {
                }
            }
        };
        if (!run_unlocked(module, call.options, work)) return nullptr;
        PyRef result(PyDict_New());
        if (!result) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const PyRef value(measured[i] ? size_tuple(*measured[i]) : Py_NewRef(Py_None));
            if (!value || PyDict_SetItemString(result.get(), names[i].c_str(), value.get()) < 0) return nullptr;
        }
        return result.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* choose(PyObject* module, PyObject* args, PyObject* kwargs) {
    try {
        Call call;
        if (!parse_measure_call(args, kwargs, "OOO|Op$O:choose", call)) return nullptr;
        std::string name;
        const auto work = [&] { name = quillet::choose_encoder(call.constraint, call.options); };
        if (!run_unlocked(module, call.options, work)) return nullptr;
        return PyUnicode_FromString(name.c_str());
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* available_encoders(PyObject*, PyObject*) {
    try {
        const std::vector<std::string> names = quillet::available_encoders();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* name = PyUnicode_FromString(names[i].c_str());
            if (name == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
        }
        return list.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef module_methods[] = {
    {"encode_leq", with_keywords<encode_leq>(), METH_VARARGS | METH_KEYWORDS,
     "encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)\n--\n\n"
     "Encode one grouped <= pseudo-Boolean constraint.\n\n"
     "wlits: list of (literal, weight) tuples; groups: list of literal lists that\n"
     "partition the literals (at most one literal of a group is true); bound: the\n"
     "largest allowed weighted sum; top_id: the highest variable id already in use;\n"
     "encoder: one of available_encoders(); emit_amo: also write the pairwise AMO\n"
     "clauses of the groups. Returns (clauses, top): the clauses as lists of\n"
     "DIMACS literals and the new highest variable id."},
    {"encode", with_keywords<encode>(), METH_VARARGS | METH_KEYWORDS,
     "encode(wlits, groups, bound, top_id=None, encoder='auto', emit_amo=False, *, max_literals=2**30, "
     "clean=False)\n--\n\n"
     "Encode one grouped <= constraint like encode_leq, with defaults.\n\n"
     "top_id=None stands for the largest input variable. encoder may also be\n"
     "'auto' (the encoder with the fewest literals, by exact counts and budgeted\n"
     "builds; rggt only up to 8 groups) or 'smallest' (builds every encoder's\n"
     "output and keeps the smallest).\n"
     "max_literals is the size budget: a larger encoding raises RuntimeError\n"
     "'quillet: encoding too large' before it is built. clean drops repeated\n"
     "literals and tautological clauses. Returns (clauses, top)."},
    {"encode_flat", with_keywords<encode_flat>(), METH_VARARGS | METH_KEYWORDS,
     "encode_flat(wlits, groups, bound, top_id=None, encoder='auto', emit_amo=False, *, max_literals=2**30, "
     "clean=False)\n--\n\n"
     "Like encode, but returns (FlatClauses, top): every literal in one int32\n"
     "buffer with 0 after each clause, readable by memoryview and numpy.frombuffer."},
    {"sizes", with_keywords<sizes>(), METH_VARARGS | METH_KEYWORDS,
     "sizes(wlits, groups, bound, top_id=None, emit_amo=False, *, max_literals=2**30)\n--\n\n"
     "The exact size of every encoder's output, without building it: a dict from\n"
     "encoder name to (variables, clauses, literals), or None for an encoder whose\n"
     "output would pass max_literals or that cannot number the constraint."},
    {"choose", with_keywords<choose>(), METH_VARARGS | METH_KEYWORDS,
     "choose(wlits, groups, bound, top_id=None, emit_amo=False, *, max_literals=2**30)\n--\n\n"
     "The name of the encoder that encoder='auto' uses for these arguments."},
    {"available_encoders", available_encoders, METH_NOARGS,
     "available_encoders()\n--\n\nReturn the list of encoder names."},
    {nullptr, nullptr, 0, nullptr},
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).flat_type);
    return 0;
}

int module_clear(PyObject* module) {
    Py_CLEAR(state_of(module).flat_type);
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
    for (const std::string& name : quillet::available_encoders()) {
        std::string constant = "ENC_";
        for (const char c : name) constant += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        if (PyModule_AddStringConstant(module, constant.c_str(), name.c_str()) < 0) return false;
    }
    return corvane_add_file_functions(module) == 0 && corvane_add_solve_functions(module) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__corvane() {
    PyObject* module = PyModule_Create(&corvane_module);
    if (module == nullptr) return nullptr;
    try {
        if (init_module(module)) return module;
    } catch (...) {
        set_error_from_current_exception();
    }
    Py_DECREF(module);
    return nullptr;
}
