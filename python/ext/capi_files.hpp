// The file functions of the _corvane module: OPB in, DIMACS or WCNF out, the
// statistics of a file, and what the solver on top needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

namespace quillet::opb {
struct Problem;
class ConflictGraph;
}

// Adds the functions and the exception class OpbError; 0 on success, -1 with
// an exception set.
int corvane_add_file_functions(PyObject* module);

// The normalised problem behind a handle of opb_load, its conflict graph (null
// when detection was off) and the AMO groups detected on its objective, owned
// by the handle (valid while it lives);
// false with an exception set when `handle` is not such a handle.
struct CorvaneLoadedView {
    const quillet::opb::Problem* problem = nullptr;
    const quillet::opb::ConflictGraph* graph = nullptr;
    const std::vector<std::vector<std::int32_t>>* objective_groups = nullptr;
};
bool corvane_loaded_view(PyObject* handle, CorvaneLoadedView& out);
