// The file functions of the _corvane module: OPB in, DIMACS or WCNF out, the
// statistics of a file, and what the solver on top needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the functions and the exception class OpbError; 0 on success, -1 with
// an exception set.
int corvane_add_file_functions(PyObject* module);
