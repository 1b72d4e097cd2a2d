// The shared C API support of the _corvane module: see support.hpp. The
// exception translation is the one place where a kind of library error
// meets a Python class.

#include "support.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>
#include <system_error>

#include "io/opb.hpp"
#include "pipeline/convert.hpp"
#include "quillet/errors.hpp"

namespace corvane_ext {

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

namespace {

struct ExceptionClass {
    PyObject* ModuleState::*slot;
    const char* name;  // the attribute of the module
    PyObject* ModuleState::*base;  // null: the builtin below
    PyObject* builtin;
    const char* doc;
};

// The classes in the order they are created (a base before its subclasses).
const ExceptionClass* exception_classes(std::size_t& count) {
    static const ExceptionClass classes[] = {
        {&ModuleState::opb_error, "OpbError", nullptr, PyExc_ValueError,
         "Malformed OPB input; the message is 'FILE:LINE:COLUMN: what is wrong'."},
        {&ModuleState::invalid_constraint, "InvalidConstraint", nullptr, PyExc_RuntimeError,
         "The constraint breaks a rule of the encoders (a literal 0, a weight 0, groups that do not partition "
         "the literals, top_id below an input variable, an unknown encoder name)."},
        {&ModuleState::encoding_too_large, "EncodingTooLarge", nullptr, PyExc_RuntimeError,
         "The encoding would hold more literals than the size budget (max_literals) allows."},
        {&ModuleState::encoder_limit, "EncoderLimit", nullptr, PyExc_RuntimeError,
         "The encoder cannot represent this constraint (a digit, a counter or the variable ids do not fit), "
         "or would pass a limit on its own work (rggt's tree shaping)."},
        {&ModuleState::ids_exhausted, "IdsExhausted", &ModuleState::encoder_limit, nullptr,
         "The encoding would need variable ids above 2147483647."},
        {&ModuleState::internal_error, "InternalError", nullptr, PyExc_RuntimeError,
         "A broken invariant inside the library: a bug, please report it."},
    };
    count = sizeof classes / sizeof classes[0];
    return classes;
}

void set_system_error(const std::system_error& error) {
    PyRef args(Py_BuildValue("(is)", error.code().value(), error.what()));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
}

// The module's class, or RuntimeError while the module is being created.
void set(PyObject* type, const char* what) { PyErr_SetString(type != nullptr ? type : PyExc_RuntimeError, what); }

void translate_typed(ModuleState& state) {
    try {
        throw;
    } catch (const quillet::opb::ParseError& e) {
        set(state.opb_error, e.what());
    } catch (const quillet::pipeline::UsageError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const quillet::InvalidConstraint& e) {
        set(state.invalid_constraint, e.what());
    } catch (const quillet::EncodingTooLarge& e) {
        set(state.encoding_too_large, e.what());
    } catch (const quillet::IdsExhausted& e) {
        set(state.ids_exhausted, e.what());
    } catch (const quillet::EncoderLimit& e) {
        set(state.encoder_limit, e.what());
    } catch (const quillet::InternalError& e) {
        set(state.internal_error, e.what());
    } catch (const std::system_error& e) {
        set_system_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error in quillet encoder");
    }
}

}  // namespace

bool add_exception_classes(PyObject* module) {
    ModuleState& state = state_of(module);
    std::size_t count = 0;
    const ExceptionClass* classes = exception_classes(count);
    for (std::size_t i = 0; i < count; ++i) {
        const ExceptionClass& c = classes[i];
        const std::string qualified = std::string("_corvane.") + c.name;
        PyObject* base = c.base != nullptr ? state.*c.base : c.builtin;
        state.*c.slot = PyErr_NewExceptionWithDoc(qualified.c_str(), c.doc, base, nullptr);
        if (state.*c.slot == nullptr) return false;
        if (PyModule_AddObjectRef(module, c.name, state.*c.slot) < 0) return false;
    }
    return true;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    Py_VISIT(state.flat_type);
    std::size_t count = 0;
    const ExceptionClass* classes = exception_classes(count);
    for (std::size_t i = 0; i < count; ++i) Py_VISIT(state.*classes[i].slot);
    return 0;
}

void clear_state(PyObject* module) {
    ModuleState& state = state_of(module);
    Py_CLEAR(state.flat_type);
    std::size_t count = 0;
    const ExceptionClass* classes = exception_classes(count);
    for (std::size_t i = 0; i < count; ++i) Py_CLEAR(state.*classes[i].slot);
}

void translate_exception(PyObject* module, const ErrorStyle style) {
    try {
        throw;
    } catch (const quillet::Cancelled& e) {
        // The signal handler that asked for it has raised its exception.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
        return;
    } catch (...) {
    }
    if (style == ErrorStyle::plain) {
        try {
            throw;
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "unknown error in quillet encoder");
        }
        return;
    }
    translate_typed(state_of(module));
}

// ---------------------------------------------------------------------------

std::string ArgName::text() const {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, format, first, second);
    return buffer;
}

namespace {

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

bool convert_group(PyObject* group, const Py_ssize_t index, std::vector<quillet::Lit>& out) {
    if (!PyList_Check(group)) {
        PyErr_SetString(PyExc_TypeError, "each group must be a list of literals");
        return false;
    }
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(group)));
    // The size is read on every step: a conversion hook may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(group); ++i) {
        const PyRef item(Py_NewRef(PyList_GET_ITEM(group, i)));
        quillet::Lit lit;
        if (!convert_literal(item.get(), ArgName{"groups[%zd][%zd]", index, i}, lit)) return false;
        out.push_back(lit);
    }
    return true;
}

}  // namespace

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
    if (overflow != 0 || v < -quillet::max_variable_id || v > quillet::max_variable_id) {
        set_out_of_range(value.get(), "literal", "-2147483647..2147483647");
        return false;
    }
    out = static_cast<quillet::Lit>(v);
    return true;
}

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

bool convert_int(PyObject* object, const char* label, const long long low, const long long high, long long& out) {
    const PyRef value(index_of(object, ArgName{label}));
    if (!value) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < low || v > high) {
        const std::string range = std::to_string(low) + ".." + std::to_string(high);
        set_out_of_range(value.get(), label, range.c_str());
        return false;
    }
    out = v;
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

// ---------------------------------------------------------------------------

SignalWatch::SignalWatch(PyObject* module)
    : main_thread_(PyThread_get_thread_ident() == state_of(module).main_thread) {}

bool SignalWatch::interrupted() {
    if (!main_thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    next_check_ = now + std::chrono::milliseconds(50);
    acquire();
    const bool raised = PyErr_CheckSignals() != 0;
    release();
    return raised;
}

}  // namespace corvane_ext
