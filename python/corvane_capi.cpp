// The _corvane extension module: converts Python lists and ints into a
// quillet constraint, runs the named encoder and hands the clauses back as a
// list of lists of ints. Every C++ exception stops at this boundary; every
// object created on the way is released on every path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capi_files.hpp"
#include "quillet/quillet.hpp"

namespace {

struct PyDecRef {
    void operator()(PyObject* object) const { Py_DECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

constexpr long long kMaxLiteral = 2147483647LL;

// Converts one literal, accepting exactly the range whose magnitude fits a
// 32-bit variable id; anything wider is refused rather than truncated.
bool convert_literal(PyObject* object, quillet::Lit& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < -kMaxLiteral || value > kMaxLiteral) {
        PyErr_Format(PyExc_OverflowError, "literal %R is out of range (-2147483647..2147483647)", object);
        return false;
    }
    out = static_cast<quillet::Lit>(value);
    return true;
}

bool convert_bound(PyObject* object, quillet::Weight& out) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "bound must be int, not %.200s", Py_TYPE(object)->tp_name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "bound %R is out of range (0..18446744073709551615)", object);
        return false;
    }
    out = value;
    return true;
}

// One (lit, weight) tuple. The item is held by the caller while this runs,
// so a __index__ that mutates the outer list cannot free it under us.
bool convert_weighted_literal(PyObject* item, quillet::WeightedLiteral& out) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_SetString(PyExc_TypeError, "each weighted literal must be a tuple (lit, weight)");
        return false;
    }
    if (!convert_literal(PyTuple_GET_ITEM(item, 0), out.lit)) return false;
    const unsigned long long weight = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(item, 1));
    if (weight == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.weight = weight;
    return true;
}

bool convert_wlits(PyObject* wlits, std::vector<quillet::WeightedLiteral>& terms) {
    terms.reserve(static_cast<std::size_t>(PyList_GET_SIZE(wlits)));
    // The size is read on every step: a conversion hook may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wlits); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(wlits, i)));
        quillet::WeightedLiteral term;
        if (!convert_weighted_literal(item.get(), term)) return false;
        terms.push_back(term);
    }
    return true;
}

bool convert_group(PyObject* group, std::vector<quillet::Lit>& out) {
    if (!PyList_Check(group)) {
        PyErr_SetString(PyExc_TypeError, "each group must be a list of literals");
        return false;
    }
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(group)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(group); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(group, i)));
        quillet::Lit lit;
        if (!convert_literal(item.get(), lit)) return false;
        out.push_back(lit);
    }
    return true;
}

bool convert_groups(PyObject* groups, std::vector<std::vector<quillet::Lit>>& out) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(groups)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(groups, i)));
        std::vector<quillet::Lit> group;
        if (!convert_group(item.get(), group)) return false;
        out.push_back(std::move(group));
    }
    return true;
}

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

PyObject* build_result(const quillet::EncodeResult& result) {
    PyRef clauses(build_clause_list(result.cnf));
    if (!clauses) return nullptr;
    PyRef top(PyLong_FromLong(result.cnf.num_vars));
    if (!top) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, clauses.release());
    PyTuple_SET_ITEM(pair, 1, top.release());
    return pair;
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error in quillet encoder");
    }
}

PyObject* encode_leq_impl(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"wlits", "groups", "bound", "top_id", "encoder", "emit_amo", nullptr};
    PyObject* wlits = nullptr;
    PyObject* groups = nullptr;
    PyObject* bound_object = nullptr;
    int top_id = 0;
    PyObject* encoder_object = nullptr;
    int emit_amo = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOiOp:encode_leq", const_cast<char**>(keywords), &wlits,
                                     &groups, &bound_object, &top_id, &encoder_object, &emit_amo))
        return nullptr;

    quillet::GroupedLeqConstraint constraint;
    if (!convert_bound(bound_object, constraint.bound)) return nullptr;
    if (!PyList_Check(wlits)) {
        PyErr_SetString(PyExc_TypeError, "wlits must be a list of (lit, weight) pairs");
        return nullptr;
    }
    if (!PyList_Check(groups)) {
        PyErr_SetString(PyExc_TypeError, "groups must be a list of literal lists");
        return nullptr;
    }
    const char* encoder_name = PyUnicode_AsUTF8(encoder_object);
    if (encoder_name == nullptr) return nullptr;
    // Copied: a conversion hook below could drop the last reference to a
    // str subclass and with it the UTF-8 buffer.
    const std::string name(encoder_name);

    constraint.emit_amo = emit_amo != 0;
    if (!convert_wlits(wlits, constraint.terms)) return nullptr;
    if (!convert_groups(groups, constraint.groups)) return nullptr;

    quillet::EncodeOptions options;
    options.top_id = top_id;
    const std::unique_ptr<quillet::Encoder> encoder = quillet::make_encoder(name);
    const quillet::EncodeResult result = encoder->encode(constraint, options);
    return build_result(result);
}

PyObject* encode_leq(PyObject*, PyObject* args, PyObject* kwargs) {
    try {
        return encode_leq_impl(args, kwargs);
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

PyMethodDef module_methods[] = {
    {"encode_leq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_leq)),
     METH_VARARGS | METH_KEYWORDS, "Encode one grouped <= pseudo-Boolean constraint."},
    {"available_encoders", available_encoders, METH_NOARGS, "Return the list of encoder names."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef corvane_module = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    "CORVANE structured pseudo-Boolean encoders for Ostrel",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__corvane() {
    PyObject* module = PyModule_Create(&corvane_module);
    if (module == nullptr) return nullptr;
    static const char* const constants[][2] = {
        {"ENC_MDD", "mdd"}, {"ENC_GSWC", "gswc"}, {"ENC_GGPW", "ggpw"}, {"ENC_GMTO", "gmto"}, {"ENC_RGGT", "rggt"},
    };
    if (PyModule_AddStringConstant(module, "__version__", CORVANE_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    for (const auto& [constant, value] : constants) {
        if (PyModule_AddStringConstant(module, constant, value) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (corvane_add_file_functions(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
