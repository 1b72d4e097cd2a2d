"""The search core against brute force: every optimum and every bound it proves (the linear
relaxation's, the reduced-cost fixings) holds for all solutions of small random problems, the
objective encoded once states exactly each bound its assumptions select, and ``corvane solve``
reports where its time went."""

from __future__ import annotations

import itertools
import random
import subprocess
import sys

import _corvane
import pytest

from corvane import lp
from corvane.search import Objective, Row, _ObjectiveBound, search

pytest.importorskip("highspy")


def random_problem(rng: random.Random):
    """(n, clauses, pb rows [(wlits, bound)], objective) with AMO groups stated by clauses."""
    n = rng.randint(4, 10)
    free = list(range(1, n + 1))
    rng.shuffle(free)
    clauses, groups = [], []
    while free:
        g = [free.pop() for _ in range(min(len(free), rng.randint(1, 3)))]
        groups.append(g)
        clauses += [[-a, -b] for a, b in itertools.combinations(g, 2)]
        if len(g) > 1 and rng.random() < 0.5:
            clauses.append(list(g))
    for _ in range(rng.randint(0, 3)):
        clauses.append([v if rng.random() < 0.6 else -v for v in rng.sample(range(1, n + 1), rng.randint(1, 3))])
    pbs = []
    for _ in range(rng.randint(0, 2)):
        wl = [(v if rng.random() < 0.7 else -v, rng.randint(1, 6)) for v in rng.sample(range(1, n + 1), rng.randint(2, n))]
        pbs.append((wl, rng.randint(0, sum(w for _, w in wl))))
    terms, obj_groups = [], []
    for g in groups:
        if len(g) == 1 and rng.random() < 0.4:  # a negated literal, in a group of its own
            terms.append((-g[0], rng.randint(1, 9)))
            obj_groups.append([-g[0]])
        elif rng.random() < 0.8:
            terms += [(v, rng.randint(1, 9)) for v in g]
            obj_groups.append(list(g))
    return n, clauses, pbs, Objective(terms, obj_groups, rng.randint(-5, 5))


def solutions(n, clauses, pbs, objective):
    """Every (assignment as a set of true variables, objective value) of the problem."""
    out = []
    for bits in itertools.product((False, True), repeat=n):
        true = {v for v, b in zip(range(1, n + 1), bits) if b}

        def holds(lit):
            return (lit in true) if lit > 0 else (-lit not in true)
        if all(any(holds(l) for l in c) for c in clauses) and \
                all(sum(w for l, w in wl if holds(l)) <= b for wl, b in pbs):
            out.append((true, objective.value(sorted(true))))
    return out


def cnf_of(n, clauses, pbs):
    cnf, top = [list(c) for c in clauses], n
    for wl, bound in pbs:
        new, top = _corvane.encode(wl, [[l] for l, _ in wl], bound, top_id=top)
        cnf += new
    return cnf, top


def lp_rows(clauses, pbs):
    return [Row(c, [1] * len(c), 0, True) for c in clauses] + [Row([l for l, _ in wl], [w for _, w in wl], b) for wl, b in pbs]


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("use_lp", [True, False])
def test_search_proves_the_brute_force_optimum(seed, use_lp):
    rng = random.Random(seed)
    n, clauses, pbs, objective = random_problem(rng)
    sols = solutions(n, clauses, pbs, objective)
    cnf, top = cnf_of(n, clauses, pbs)
    seen = []
    if seed % 2:  # a solver that already holds the clauses, as the CPMpy backend passes it
        from pysat.solvers import Solver
        cnf = Solver(name="cadical195", bootstrap_with=cnf)
    result = search(cnf, top, objective, rows=lp_rows(clauses, pbs), num_vars=n, use_lp=use_lp,
                    reencode_below=rng.choice([0.0, 0.5, 1.0]), encoding=rng.choice(["auto", "mdd", "gmto", "ggpw"]),
                    on_model=lambda model, value: seen.append(value))
    if not sols:
        assert result.status == "UNSATISFIABLE", f"seed {seed}"
        return
    best = min(v for _, v in sols)
    assert result.status == "OPTIMUM" and result.value == best == result.lower_bound, f"seed {seed}"
    assert seen == sorted(seen, reverse=True) and len(set(seen)) == len(seen) and seen[-1] == best
    true = {l for l in result.model if 0 < l <= n}
    assert any(t == true for t, _ in sols), f"seed {seed}: the model is no solution"
    if use_lp:
        assert result.lp_bound is not None and result.lp_bound <= best, f"seed {seed}"


@pytest.mark.parametrize("seed", range(30))
def test_decisions_and_scoped_searches_under_assumptions_match_brute_force(seed):
    """A decision (the relaxations of its PB rows may refute it), then an optimum under an assumed
    literal on a solver that is used again: the scope literal must take back every bound and
    fixing, so the problem without the assumption has all its solutions left."""
    from pysat.solvers import Solver

    rng = random.Random(1000 + seed)
    n, clauses, pbs, objective = random_problem(rng)
    sols = solutions(n, clauses, pbs, objective)
    cnf, top = cnf_of(n, clauses, pbs)
    rows = lp_rows(clauses, pbs)
    decided = search(cnf, top, None, rows=rows, num_vars=n)
    assert decided.status == ("SATISFIABLE" if sols else "UNSATISFIABLE"), f"seed {seed}"
    if sols:
        assert {l for l in decided.model if 0 < l <= n} in [t for t, _ in sols], f"seed {seed}"
    lit = rng.choice([1, -1]) * rng.randint(1, n)
    under = [v for t, v in sols if (lit in t if lit > 0 else -lit not in t)]
    with Solver(name="cadical195", bootstrap_with=cnf) as solver:
        for assumed, values in (([lit], under), ([], [v for _, v in sols])):
            scope = top + 1
            result = search(solver, scope, objective, rows=rows, num_vars=n, assumptions=assumed, scope=scope)
            solver.add_clause([-scope])
            top = result.top
            assert result.status == ("OPTIMUM" if values else "UNSATISFIABLE"), f"seed {seed}, {assumed}"
            if values:
                assert result.value == min(values), f"seed {seed}, {assumed}"


@pytest.mark.parametrize("seed", range(40))
def test_relaxation_bound_and_fixings_hold_for_every_solution(seed):
    rng = random.Random(1000 + seed)
    n, clauses, pbs, objective = random_problem(rng)
    sols = solutions(n, clauses, pbs, objective)
    relaxation = lp.relax(objective.terms, objective.offset, lp_rows(clauses, pbs), n)
    if not sols or relaxation.bound is None:
        return
    values = sorted({v for _, v in sols})
    assert relaxation.bound <= values[0], f"seed {seed}"
    for limit in values[:3] + [values[0] - 1]:
        fixed = relaxation.fixings(limit)
        for true, v in sols:
            if v <= limit:
                assert all((l in true) if l > 0 else (-l not in true) for l in fixed), f"seed {seed}, limit {limit}"


def test_relaxation_bound_is_tight_on_an_integral_relaxation():
    # An assignment problem (bipartite matching) has an integral relaxation: the bound must be the
    # optimum itself, which catches multipliers of the wrong sign (they give weaker bounds).
    rng = random.Random(5)
    k = 6
    var = {(i, j): i * k + j + 1 for i in range(k) for j in range(k)}
    rows = [Row([var[i, j] for j in range(k)], [1] * k, 0, True) for i in range(k)]
    rows += [Row([var[i, j] for i in range(k)], [1] * k, 1) for j in range(k)]
    cost = {key: rng.randint(1, 30) for key in var}
    relaxation = lp.relax([(var[key], c) for key, c in cost.items()], 0, rows, k * k)
    best = min(sum(cost[i, p[i]] for i in range(k)) for p in itertools.permutations(range(k)))
    assert relaxation.bound == best


@pytest.mark.parametrize("seed", range(6))
def test_objective_bound_assumptions_state_exactly_each_bound(seed):
    rng = random.Random(seed)
    groups, terms, v = [], [], 0
    for _ in range(rng.randint(2, 3)):
        g = []
        for _ in range(rng.randint(1, 2)):
            v += 1
            g.append(v)
            terms.append((v if rng.random() < 0.8 or len(g) > 1 else -v, rng.randint(1, 7)))
        groups.append([l for l, _ in terms[-len(g):]])
    n = v
    objective = Objective(terms, groups)
    base = rng.randint(3, sum(w for _, w in terms))
    enc = _ObjectiveBound(objective, base, n, rng.choice(["auto", "mdd", "gswc", "gmto", "ggpw"]))
    from pysat.solvers import Solver
    amo = [[-a, -b] for g in groups for a, b in itertools.combinations(g, 2)]
    for bound in range(base + 1):
        with Solver(name="cadical195", bootstrap_with=enc.clauses + amo) as s:
            for bits in itertools.product((False, True), repeat=n):
                point = [i if b else -i for i, b in zip(range(1, n + 1), bits)]
                if any(sum(l in point for l in g) > 1 for g in groups):
                    continue  # outside the AMO groups
                fits = objective.value(point) <= bound
                assert s.solve(assumptions=point + enc.assumptions(bound)) == fits, \
                    f"seed {seed}, base {base}, bound {bound}, point {point}"


def test_solve_reports_where_the_time_goes_and_the_lp_bound(tmp_path):
    # Three tasks, two options each, least cost under a shared budget.
    path = tmp_path / "p.opb"
    path.write_text("min: +3 x1 +5 x2 +2 x3 +6 x4 +4 x5 +1 x6 ;\n"
                    "+1 x1 +1 x2 = 1 ;\n+1 x3 +1 x4 = 1 ;\n+1 x5 +1 x6 = 1 ;\n"
                    "+4 x1 +1 x2 +5 x3 +1 x4 +1 x5 +6 x6 <= 8 ;\n")
    out = subprocess.run([sys.executable, "-m", "corvane", "solve", str(path)], capture_output=True, text=True,
                         timeout=120, check=True).stdout.splitlines()
    assert "s OPTIMUM FOUND" in out
    timing = next(line for line in out if line.startswith("c time: ")).split()[2:]
    seconds = dict(zip(timing[::2], map(float, timing[1::2])))
    assert set(seconds) == {"read", "detect", "encode", "lp", "objective", "search", "proof", "total"}
    assert sum(v for k, v in seconds.items() if k != "total") <= seconds["total"]
    best = min(3 * a + 5 * (1 - a) + 2 * b + 6 * (1 - b) + 4 * c + (1 - c)
               for a, b, c in itertools.product((0, 1), repeat=3)
               if 4 * a + (1 - a) + 5 * b + (1 - b) + c + 6 * (1 - c) <= 8)
    assert [line for line in out if line.startswith("o ")][-1] == f"o {best}"
    bound = next(line for line in out if line.startswith("c lp bound "))
    assert int(bound.split()[3].rstrip(",")) <= best


@pytest.mark.parametrize("seed", range(12))
def test_opb_rows_and_cover_state_the_file(tmp_path, seed):
    # The rows handed to the relaxation have exactly the file's solutions, and every group that
    # opb_cover makes of the objective's literals holds at most one true literal in each of them.
    import os

    from test_cli import holds, random_problem

    rng = random.Random(seed)
    text, n, cons, objective = random_problem(rng)
    path = tmp_path / "p.opb"
    path.write_text(text)
    fd = os.open(path, os.O_RDONLY)
    try:
        handle, _, info = _corvane.opb_load(fd, str(path))
    finally:
        os.close(fd)
    rows, groups = _corvane.opb_rows(handle)
    lits = [lit for lit, _ in info["objective_terms"]]
    cover = _corvane.opb_cover(handle, lits)
    assert sorted(l for g in cover for l in g) == sorted(lits) == sorted(l for g in groups for l in g)
    for bits in itertools.product((False, True), repeat=n):
        assignment = dict(zip(range(1, n + 1), bits))

        def true(lit):
            return assignment[abs(lit)] == (lit > 0)
        by_rows = all(any(true(l) for l in ls) if kind == "clause" else sum(w for l, w in zip(ls, ws) if true(l)) <= b
                      for kind, ls, ws, b in rows)
        assert by_rows == holds(cons, assignment), f"seed {seed}: {text}"
        if by_rows:
            assert all(sum(true(l) for l in g) <= 1 for g in cover), f"seed {seed}"




def assignment_problem(rng: random.Random):
    """A small generalised assignment problem: (n, clauses, pb rows, objective, its optimum or None),
    the optimum by enumerating every assignment of the jobs to the agents."""
    agents, jobs = rng.randint(2, 3), rng.randint(6, 9)
    var = {(a, j): 1 + a * jobs + j for a in range(agents) for j in range(jobs)}
    weight = {k: rng.randint(1, 9) for k in var}
    cost = {k: rng.randint(1, 20) for k in var}
    capacity = [rng.randint(jobs * 2, jobs * 4) // agents for _ in range(agents)]
    clauses, groups = [], []
    for j in range(jobs):
        g = [var[a, j] for a in range(agents)]
        groups.append(g)
        clauses += [g] + [[-x, -y] for x, y in itertools.combinations(g, 2)]
    pbs = [([(var[a, j], weight[a, j]) for j in range(jobs)], capacity[a]) for a in range(agents)]
    best = None
    for choice in itertools.product(range(agents), repeat=jobs):
        if all(sum(weight[a, j] for j in range(jobs) if choice[j] == a) <= capacity[a] for a in range(agents)):
            value = sum(cost[choice[j], j] for j in range(jobs))
            best = value if best is None else min(best, value)
    return agents * jobs, clauses, pbs, Objective([(var[k], cost[k]) for k in var], groups), best


def test_neighbourhoods_find_models_but_never_prove(monkeypatch):
    # One-conflict slices, so that the bounds' calls run out and the neighbourhoods of the
    # incumbent are searched between their slices: every optimum must still be the brute-force
    # one, proven by a bound's own call only (an unsatisfiable neighbourhood proves nothing).
    from corvane import lns, search as search_module
    monkeypatch.setattr(search_module, "_FIRST_SLICE", 1)
    monkeypatch.setattr(search_module, "_LNS_CONFLICTS", 100)
    asked, found = [], []
    original = lns.Neighbourhoods.assumptions

    def checked(self, model):
        out = original(self, model)
        true = set(model)
        assert all(lit in true for lit in out), "a neighbourhood fixes a literal the incumbent lacks"
        assert len(out) < len(self.groups), "a neighbourhood frees no group"
        asked.append(out)
        return out
    monkeypatch.setattr(lns.Neighbourhoods, "assumptions", checked)
    for seed in range(25):
        rng = random.Random(seed)
        n, clauses, pbs, objective, best = assignment_problem(rng)
        cnf, top = cnf_of(n, clauses, pbs)
        result = search(cnf, top, objective, rows=lp_rows(clauses, pbs), num_vars=n, use_lp=seed % 3 != 0,
                        time_limit=60, log=lambda line: found.append(line) if "neighbourhood" in line else None)
        if best is None:
            assert result.status == "UNSATISFIABLE", f"seed {seed}"
            continue
        assert result.status == "OPTIMUM" and result.value == best == result.lower_bound, f"seed {seed}: {result}"
    assert len(asked) >= 5 and found, (len(asked), len(found))  # the neighbourhoods were searched and found models
