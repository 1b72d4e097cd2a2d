"""The CPMpy backend against OR-Tools: same solutions, same optima, CPMpy's statuses.

Random small models mix integer and Boolean terms of both signs, every
comparison, reified and half-reified forms, and Boolean at-most-one and
exactly-one constraints (so the group cover and the exactly-one shift are
exercised); the solution sets must equal OR-Tools' on the user variables.
"""

from __future__ import annotations

import random
import time

import pytest

cp = pytest.importorskip("cpmpy")
from cpmpy.solvers.solver_interface import ExitStatus  # noqa: E402

import corvane.cpmpy as backend  # noqa: E402
from corvane.cpmpy import CPM_corvane  # noqa: E402


def _random_model(seed: int) -> tuple[list, list]:
    rng = random.Random(seed)
    x = list(cp.intvar(-2, 3, shape=3, name="x"))
    b = list(cp.boolvar(shape=4, name="b"))
    cons = [cp.sum(b[:3]) <= 1] if rng.random() < 0.5 else [cp.sum(b[:3]) == 1]
    for _ in range(rng.randint(1, 3)):
        terms = rng.sample(x + b, rng.randint(2, 5))
        lhs = cp.sum(rng.choice([-3, -2, -1, 1, 2, 4]) * v for v in terms)
        rhs = rng.randint(-4, 6)
        con = rng.choice([lhs <= rhs, lhs >= rhs, lhs == rhs, lhs != rhs])
        form = rng.random()
        if form < 0.2:
            con = b[3].implies(con)
        elif form < 0.35:
            con = b[3] == con
        cons.append(con)
    return cons, x + b


def _solutions(cons: list, user: list, solver: str, **kwargs: object) -> set[tuple]:
    found: set[tuple] = set()
    model = cp.Model(cons + [v == v for v in user])
    s = CPM_corvane(model, **kwargs) if solver == "corvane" else cp.SolverLookup.get(solver, model)
    s.solveAll(display=lambda: found.add(tuple(int(v.value()) for v in user)))
    return found


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("encoding", ["grouped", "direct", "order", "binary"])
@pytest.mark.parametrize("seed", range(12))
def test_solutions_match_ortools(seed: int, encoding: str) -> None:
    cons, user = _random_model(seed)
    ours = _solutions(cons, user, "corvane", encoding=encoding)
    assert ours == _solutions(cons, user, "ortools"), f"seed {seed}: {cons}"


@pytest.mark.parametrize("sense", ["min", "max"])
@pytest.mark.parametrize("seed", range(8))
def test_optimum_matches_ortools(seed: int, sense: str) -> None:
    cons, user = _random_model(100 + seed)
    rng = random.Random(seed)
    objective = cp.sum(rng.randint(-5, 5) * v for v in user)
    results = []
    for name in ("corvane", "ortools"):
        model = cp.Model(cons)
        model.minimize(objective) if sense == "min" else model.maximize(objective)
        backend.register()
        found = model.solve(name)
        results.append((found, model.status().exitstatus, model.objective_value() if found else None))
        if found:
            assert all(c.value() for c in cons), f"seed {seed}: a violated constraint"
            assert objective.value() == model.objective_value()
    assert results[0] == results[1], f"seed {seed}: {cons}"


def _ortools_optimum(cons: list, objective: object) -> tuple[int, int]:
    """The maximum of ``objective`` and the number of solutions that reach it."""
    model = cp.Model(cons)
    model.maximize(objective)
    assert model.solve("ortools")
    best = model.objective_value()
    return best, cp.Model(cons + [objective == best]).solveAll("ortools")


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_objective_search_leaves_the_solver_reusable() -> None:
    x = cp.intvar(0, 9, shape=3, name="x")
    cons = [cp.sum(x) <= 12, x[0] - x[1] >= 1]
    objective = 3 * x[0] + 2 * x[1] + x[2]
    s = CPM_corvane(cp.Model(cons))
    s.maximize(objective)
    best, _ = _ortools_optimum(cons, objective)
    assert s.solve() and s.objective_value() == best and s.status().exitstatus == ExitStatus.OPTIMAL
    assert s.solve() and s.objective_value() == best  # the bounds of the first search are switched off
    s += x[0] <= 5
    best, count = _ortools_optimum(cons + [x[0] <= 5], objective)
    assert s.solve() and s.objective_value() == best
    assert s.solveAll() == count and s.status().exitstatus == ExitStatus.OPTIMAL


@pytest.mark.parametrize("subsolver", ["glucose4", "cadical195"])  # interrupted by a timer / in conflict slices
def test_time_limit_status(subsolver: str) -> None:
    n = 13  # pigeonhole: n+1 pigeons into n holes, far beyond a 0.3 s limit for CDCL
    p = cp.boolvar(shape=(n + 1, n), name="p")
    cons = [cp.sum(row) >= 1 for row in p] + [cp.sum(p[:, h]) <= 1 for h in range(n)]
    s = CPM_corvane(cp.Model(cons), subsolver=subsolver)
    start = time.monotonic()
    assert not s.solve(time_limit=0.3)
    assert s.status().exitstatus == ExitStatus.UNKNOWN and time.monotonic() - start < 2
    with pytest.raises(ValueError):
        s.solve(time_limit=0)


def test_solution_hint_sets_integer_phases() -> None:
    x, y = cp.intvar(0, 9, name="x"), cp.intvar(0, 9, name="y")
    for encoding in ("grouped", "order", "binary"):
        s = CPM_corvane(cp.Model(x + y >= 5), encoding=encoding)
        s.solution_hint([x, y], [7, 2])
        assert s.solve() and (x.value(), y.value()) == (7, 2), encoding


def test_register_and_lookup() -> None:
    backend.register()
    backend.register()
    assert [n for n, _ in cp.SolverLookup.base_solvers()].count("corvane") == 1
    b = cp.boolvar(shape=3, name="b")
    model = cp.Model(2 * b[0] + 3 * b[1] + b[2] >= 4, cp.sum(b) <= 2)
    assert model.solveAll("corvane") == 2 and model.status().exitstatus == ExitStatus.OPTIMAL
    assert cp.SolverLookup.get("corvane:glucose4", model).name == "corvane:glucose4"


def test_groups_come_from_one_hot_and_boolean_sums() -> None:
    x = cp.intvar(0, 4, shape=2, name="x")
    b = cp.boolvar(shape=3, name="b")
    s = CPM_corvane(cp.Model(cp.sum(b) == 1, 3 * x[0] - 2 * x[1] + 5 * b[0] + 4 * b[1] + b[2] >= 6))
    merged, groups, _ = s.grouped([(s.solver_var(b[i]), w) for i, w in enumerate([5, 4, 1])])
    assert sorted(map(len, groups)) == [2] and all(w > 0 for _, w in merged)  # shifted by the smallest, 1
    assert len(s.amo_sets) == 3 and s.stats["pb"] == 1


@pytest.mark.parametrize("use_lp", [True, False])
@pytest.mark.parametrize("seed", range(6))
def test_optimum_under_assumptions_matches_ortools(seed: int, use_lp: bool) -> None:
    """Optima under assumptions (with and without the relaxation's bounds and fixings), then the
    same solver without them: what one search fixed must not leak into the next."""
    cons, user = _random_model(200 + seed)
    rng = random.Random(seed)
    objective = cp.sum(rng.randint(-5, 5) * v for v in user)
    flags = cp.boolvar(shape=2, name="a")
    guarded = [flags[0].implies(user[0] >= 1), flags[1].implies(user[1] <= 0)]
    s = CPM_corvane(cp.Model(cons + guarded))
    s.use_lp = use_lp
    s.maximize(objective)
    for assumed in ([flags[0], flags[1]], [flags[0]], []):
        model = cp.Model(cons + guarded + list(assumed))
        model.maximize(objective)
        expected = model.objective_value() if model.solve("ortools") else None
        found = s.solve(assumptions=list(assumed))
        assert (s.objective_value() if found else None) == expected, f"seed {seed}, {len(assumed)} assumed"
        assert s.status().exitstatus == (ExitStatus.OPTIMAL if found else ExitStatus.UNSATISFIABLE)
