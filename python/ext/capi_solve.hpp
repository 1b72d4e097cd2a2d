// The solver functions of the _corvane module: what the search of `corvane
// solve` needs beyond the clauses, read from a problem loaded by opb_load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the functions; 0 on success, -1 with an exception set.
int corvane_add_solve_functions(PyObject* module);
