// The solver functions of _corvane: the normalised rows of a problem loaded
// by opb_load (kind, weighted literals, bound), which the search turns into
// the linear relaxation it hands to an LP solver; the AMO groups that
// detection found on the objective, with which the search encodes its
// objective bounds; and the cover of any set of literals by the problem's
// conflict graph, for the rows the search derives (reduced-cost rows). Nothing
// here is long work: the calls copy what the handle holds into new Python
// objects (the cover runs without the lock, linear in the cliques of the
// literals), and every reference made on the way is released on every path.
// No C++ exception leaves an entry point (a failed allocation is a MemoryError).
#include "capi_solve.hpp"

#include <exception>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "capi_files.hpp"
#include "io/opb.hpp"
#include "pipeline/convert.hpp"

namespace {

namespace opb = quillet::opb;

struct PyDecRef {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

const char* const kind_names[] = {"clause", "amo", "cardinality", "pb"};

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

PyObject* rows_of(const opb::Problem& problem) {
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
    return rows.release();
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
// literals <= bound). objective_groups: the partition of the objective's
// literals into AMO groups that its bounds are encoded with.
PyObject* opb_rows(PyObject*, PyObject* args) {
    PyObject* handle = nullptr;
    if (!PyArg_ParseTuple(args, "O", &handle)) return nullptr;
    CorvaneLoadedView view;
    if (!corvane_loaded_view(handle, view)) return nullptr;
    try {
        PyRef rows(rows_of(*view.problem));
        if (!rows) return nullptr;
        PyRef groups(groups_of(*view.objective_groups));
        if (!groups) return nullptr;
        return PyTuple_Pack(2, rows.get(), groups.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "opb_rows: unexpected error");
        return nullptr;
    }
}

// opb_cover(handle, lits) -> groups
// A partition of the literals (of distinct variables) into AMO groups: the
// cliques of the problem's conflict graph that cover them, as the pipeline
// groups a row; one literal per group when detection was off.
PyObject* opb_cover(PyObject*, PyObject* args) {
    PyObject* handle = nullptr;
    PyObject* lits = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &handle, &lits)) return nullptr;
    CorvaneLoadedView view;
    if (!corvane_loaded_view(handle, view)) return nullptr;
    PyRef seq(PySequence_Fast(lits, "lits must be a sequence of ints"));
    if (!seq) return nullptr;
    try {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<quillet::WeightedLiteral> terms;
        terms.reserve(static_cast<std::size_t>(size));
        std::vector<std::uint8_t> seen(static_cast<std::size_t>(view.problem->num_vars) + 1, 0);
        for (Py_ssize_t i = 0; i < size; ++i) {
            const long lit = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (lit == -1 && PyErr_Occurred()) return nullptr;
            const long var = lit < 0 ? -lit : lit;
            if (var < 1 || var > view.problem->num_vars || seen[static_cast<std::size_t>(var)]) {
                PyErr_Format(PyExc_ValueError, "lits[%zd] = %ld: not a literal of a distinct problem variable", i, lit);
                return nullptr;
            }
            seen[static_cast<std::size_t>(var)] = 1;
            terms.push_back({static_cast<quillet::Lit>(lit), 1});
        }
        std::vector<std::vector<quillet::Lit>> groups;
        std::exception_ptr error;
        Py_BEGIN_ALLOW_THREADS
        try {
            groups = opb::row_groups(view.graph, terms);
        } catch (...) {
            error = std::current_exception();  // rethrown below, with the lock held again
        }
        Py_END_ALLOW_THREADS
        if (error) std::rethrow_exception(error);
        return groups_of(groups);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "opb_cover: unexpected error");
        return nullptr;
    }
}

PyMethodDef solve_methods[] = {
    {"opb_rows", opb_rows, METH_VARARGS,
     "The normalised rows of a loaded problem and its objective's AMO groups: (rows, objective_groups)."},
    {"opb_cover", opb_cover, METH_VARARGS,
     "A partition of literals into AMO groups by the conflict graph of a loaded problem."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int corvane_add_solve_functions(PyObject* module) { return PyModule_AddFunctions(module, solve_methods); }
