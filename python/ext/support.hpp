// What every C API source of the _corvane module shares: the module state
// (with the exception classes), the owning reference, the checked argument
// converters, the runner that releases the interpreter lock and watches for
// Ctrl-C, and the one translation of C++ exceptions into Python ones, which
// the guard around every entry point applies. No C++ exception passes an
// entry point: each is wrapped by guarded<>, and everything it calls either
// reports a Python error by returning false/null or throws into the guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillet/constraint.hpp"

namespace corvane_ext {

struct PyDecRef {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
// Owns one reference; null means "no object" (usually: an error is set).
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

struct ModuleState {
    unsigned long main_thread = 0;  // the only thread the interpreter delivers signals to
    PyObject* flat_type = nullptr;
    // The exception classes of the module.
    PyObject* opb_error = nullptr;           // ValueError: malformed input, "FILE:LINE:COLUMN: ..."
    PyObject* invalid_constraint = nullptr;  // RuntimeError: the constraint breaks a rule
    PyObject* encoding_too_large = nullptr;  // RuntimeError: past the size budget
    PyObject* encoder_limit = nullptr;       // RuntimeError: the encoder cannot represent it
    PyObject* ids_exhausted = nullptr;       // encoder_limit: fresh ids past 2^31-1
    PyObject* internal_error = nullptr;      // RuntimeError: a broken invariant
};

ModuleState& state_of(PyObject* module);

// Creates the exception classes, adds them to the module; false with an
// error set.
bool add_exception_classes(PyObject* module);
int traverse_state(PyObject* module, visitproc visit, void* arg);
void clear_state(PyObject* module);

// How a C++ exception becomes a Python one.
enum class ErrorStyle {
    // encode_leq's: RuntimeError with the message for every std::exception.
    plain,
    // The other functions': the module's classes by kind, OpbError,
    // ValueError, OSError, MemoryError, RuntimeError for the rest.
    typed,
};

// Sets the Python error for the exception being handled; call from a catch
// block, with the interpreter lock held. An error already set by a signal
// handler (the cancellation of a long call) is kept.
void translate_exception(PyObject* module, ErrorStyle style);

// The entry-point wrapper: no C++ exception passes it.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*), ErrorStyle Style = ErrorStyle::typed>
PyObject* guarded(PyObject* module, PyObject* args, PyObject* kwargs) {
    try {
        return F(module, args, kwargs);
    } catch (...) {
        translate_exception(module, Style);
        return nullptr;
    }
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*), ErrorStyle Style = ErrorStyle::typed>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F, Style>));
}

// ---------------------------------------------------------------------------
// Argument conversion. Each converter names the argument and its position in
// its errors, and accepts what the interpreter's own index conversions
// accept (int and any __index__ object; never float). Each returns false
// with the Python error set.

// The name of an argument or item in error messages, such as "weight of
// wlits[3]". Formatted only when an error needs it.
struct ArgName {
    const char* format;  // with up to two %zd for the positions
    Py_ssize_t first = 0;
    Py_ssize_t second = 0;
    std::string text() const;
};

// "<label> <value> is out of range (<range>)" as OverflowError.
void set_out_of_range(PyObject* value, const char* label, const char* range);
// A literal within +-2147483647.
bool convert_literal(PyObject* object, const ArgName& what, quillet::Lit& out);
// Any value of 0..2^64-1.
bool convert_unsigned(PyObject* object, const char* label, std::uint64_t& out);
// A weight of 1..2^64-1 is checked by the library; here 0..2^64-1.
bool convert_weight(PyObject* object, Py_ssize_t index, quillet::Weight& out);
// Any value of low..high.
bool convert_int(PyObject* object, const char* label, long long low, long long high, long long& out);
// The items of a list (the caller checked it is one) of literal lists,
// named "groups[i][j]" in errors.
bool convert_groups(PyObject* groups, std::vector<std::vector<quillet::Lit>>& out);

// ---------------------------------------------------------------------------
// Running the library without the interpreter lock.

// The cancellation hook of one call: on the main thread it re-takes the lock
// about every 50 ms to let the interpreter run its signal handlers; on other
// threads, to which signals are never delivered, it never takes the lock.
class SignalWatch {
public:
    explicit SignalWatch(PyObject* module);
    void release() { saved_ = PyEval_SaveThread(); }
    void acquire() { PyEval_RestoreThread(saved_); }
    bool interrupted();

private:
    bool main_thread_;
    PyThreadState* saved_ = nullptr;
    std::chrono::steady_clock::time_point next_check_{};
};

// Runs `work` without the interpreter lock, with `stop` set to the call's
// cancellation hook while it runs (poll it on the calling thread only).
// Returns false with the Python error set when `work` threw: the exception a
// signal handler raised (KeyboardInterrupt) when cancelled, the translation
// of the C++ exception otherwise.
template <class Work>
bool run_unlocked(PyObject* module, std::function<bool()>& stop, ErrorStyle style, Work&& work) {
    SignalWatch watch(module);
    stop = [&watch] { return watch.interrupted(); };
    std::exception_ptr failure;
    watch.release();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    watch.acquire();
    stop = nullptr;
    if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        translate_exception(module, style);
    }
    return false;
}

}  // namespace corvane_ext
