"""Small checks of the benchmark's own parsing and models (run: python -m pytest bench/test_bench.py)."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import families  # noqa: E402
import mm  # noqa: E402

MINI = """jobs  (incl. supersource/sink ):\t4
RESOURCES
- renewable                 : 1 R
- nonrenewable              : 1 N
- doubly constrained        : 0 D
****
PRECEDENCE RELATIONS:
jobnr.    #modes  #successors   successors
1\t1\t2\t2 3
2\t2\t1\t4
3\t1\t1\t4
4\t1\t0
****
REQUESTS/DURATIONS
jobnr.\tmode\tdur\tR1\tN1
------
1\t1\t0\t0\t0
2\t1\t2\t3\t4
\t2\t4\t1\t0
3\t1\t3\t2\t2
4\t1\t0\t0\t0
****
RESOURCE AVAILABILITIES
\tR 1\tN 1
\t3\t5
****
"""


def test_parse_mini():
    p = mm.parse_mm(MINI, "mini")
    assert p.n_jobs == 4
    assert p.succ == [[1, 2], [3], [3], []]
    assert p.modes[1] == [(2, [3], [4]), (4, [1], [0])]
    assert p.ren_cap == [3] and p.nonren_cap == [5]


def test_parse_rejects_wrong_successor_count():
    bad = MINI.replace("1\t1\t2\t2 3", "1\t1\t3\t2 3")
    with pytest.raises(ValueError):
        mm.parse_mm(bad, "bad")


def test_nonrenewable_drops_zero_usage_modes():
    p = mm.parse_mm(MINI, "mini")
    x = [[1], [2, 3], [4], [5]]
    (leq,) = mm.nonrenewable_constraints(p, x)
    assert leq.wlits == [(2, 4), (4, 2)]
    assert leq.groups == [[2], [4]]
    assert leq.bound == 5


def _feasible(model) -> bool:
    """Enumerate the solver's models, blocking each assignment of the PB literals, until one
    satisfies every PB constraint."""
    from pysat.solvers import Solver
    pb_vars = sorted({abs(l) for leq in model.leqs for l, _ in leq.wlits})
    with Solver(name="cadical195", bootstrap_with=model.clauses) as s:
        while s.solve():
            true = {l for l in s.get_model() if l > 0}
            if all(sum(w for l, w in leq.wlits if l in true) <= leq.bound for leq in model.leqs):
                return True
            s.add_clause([-v if v in true else v for v in pb_vars])
    return False


@pytest.mark.parametrize("horizon,feasible", [(3, False), (4, True), (6, True)])
def test_time_indexed_model_makespan(horizon, feasible):
    # Job 2's mode 1 (4 units of N) with job 3 (2 units) exceeds N's 5, so job 2 runs in mode 2
    # (4 time units, 1 unit of R) beside job 3 (3 time units, 2 units of R): makespan 4.
    p = mm.parse_mm(MINI, "mini")
    assert _feasible(mm.time_indexed_model(p, horizon)) == feasible


def test_auction_groups_share_an_item_and_partition():
    leq, model = families.auction(30, seed=5)
    lits = [l for l, _ in leq.wlits]
    assert sorted(l for g in leq.groups for l in g) == sorted(lits)
    assert leq.bound < sum(w for _, w in leq.wlits)
    pairs = {tuple(sorted(c)) for c in model.clauses if len(c) == 2 and c[0] < 0 and c[1] < 0}
    for g in leq.groups:
        for i in range(len(g)):
            for j in range(i + 1, len(g)):
                assert tuple(sorted((-g[i], -g[j]))) in pairs


def test_random_leq_bound_fraction():
    leq = families.random_leq(50, 10**4, 0.5, seed=1)
    assert leq.n_groups == 50
    assert all(1 <= len(g) <= 20 for g in leq.groups)
    assert leq.bound == int(leq.capacity() * 0.5)


@pytest.mark.parametrize("horizon,feasible", [(6, False), (7, True)])
def test_time_indexed_model_renewable_capacity(horizon, feasible):
    # With R down to 2, job 2 (mode 2, 1 unit) and job 3 (2 units) cannot overlap: 4 + 3 = 7.
    p = mm.parse_mm(MINI.replace("\t3\t5", "\t2\t5"), "mini")
    assert _feasible(mm.time_indexed_model(p, horizon)) == feasible


@pytest.mark.parametrize("order", [False, True], ids=["direct", "order"])
@pytest.mark.parametrize("multi", [False, True], ids=["single", "multi"])
def test_scheduling_encodings_have_the_interval_models_optimum(tmp_path, multi, order):
    # Both time-indexed encodings, minimised by CP-SAT as written, against CP-SAT's interval model
    # of the same project: a window or a resource row off by one time step changes the optimum.
    pytest.importorskip("ortools")
    import opb_bench
    import solve_families

    p = mm.parse_mm(MINI, "mini")
    p = p if multi else solve_families.single_mode(p)
    best = solve_families.sched_optimum(p, 12)
    es, _ = solve_families.windows(p, 12)
    o = solve_families.sched_opb(p, 12, order, True)
    answer = opb_bench.run_reference(o.write(tmp_path / "m.opb"), "cpsat", 30)
    assert answer["status"] == "OPTIMUM FOUND"
    assert answer["objective"] + (es[-1] if order else 0) == best
    for horizon, feasible in ((best, True), (best - 1, False)):
        o = solve_families.sched_opb(p, horizon, order, False)
        status = opb_bench.run_reference(o.write(tmp_path / "d.opb"), "cpsat", 30)["status"]
        assert status == ("SATISFIABLE" if feasible else "UNSATISFIABLE"), horizon
