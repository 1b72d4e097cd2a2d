"""The optimisation-proof families of the solving benchmark: generalised assignment and
time-indexed scheduling, written as OPB files by seeded generators and from MMLIB50.

- Generalised assignment (``gap``): every job goes to exactly one agent (``= 1`` rows, the AMO
  groups of the objective), every agent has a capacity row over the jobs it may take (one
  literal per job: no groups there), and the objective is the total cost. Weights and costs are
  those of the Chu-Beasley type C generator (weights 5..25, costs 10..50, capacities 80 % of the
  mean load), seeded.
- Scheduling from MMLIB50 projects (``rc``: single-mode, the first mode of every job and the
  renewable resources only; ``mr``: multi-mode with the non-renewable resources), in two
  time-indexed encodings with a horizon:
  - direct (``…d``): s[j,m,t] "job j starts at t in mode m", exactly one per job; a resource row
    per resource and time step sums the usages of the starts that make a job run at t (one AMO
    group per job); a precedence i -> k is the PB row ``sum (t + d) s[i,·,t] - sum t s[k,·,t] <= 0``
    over two groups; a non-renewable row sums the usage of every start;
  - order (``…o``): y[j,m,t] "job j started by t in mode m", ``y[t] -> y[t+1]``, exactly one mode
    ``sum_m y[j,m,last] = 1``; a resource row sums ``u y[j,m,t] - u y[j,m,t-d]`` (the jobs running
    at t), a precedence says ``sum_m y[i,m,t-d_m] >= sum_m y[k,m,t]`` (a clause with one mode);
    its AMO structure ({y[t], ~y[t-d]}) is only implied by the chains of binary clauses.
  Makespan: within a horizon 20 % above the optimum (or a greedy schedule's makespan, when
  that is less), the start of the dummy sink job, ``sum t s[sink,t]`` (direct) or the number of
  steps before the sink has started, ``sum ~y[sink,t]`` plus its earliest start (order).

Every family comes as optimisation problems (cost or makespan minimisation) and as decision
problems at the optimum (satisfiable) and one below it (unsatisfiable). The optima are computed
once by CP-SAT on its own models (the assignment as such, scheduling with interval variables and
cumulative constraints) and kept in ``optima.json`` beside this file, so that the problem set
does not depend on how fast the machine is.
"""
from __future__ import annotations

import json
import random
from dataclasses import dataclass, field
from pathlib import Path

import mm

HERE = Path(__file__).resolve().parent
OPTIMA = HERE / "optima.json"


@dataclass
class Opb:
    """An OPB problem under construction: rows as (terms [(coef, lit)], relation, degree)."""
    n_vars: int = 0
    rows: list = field(default_factory=list)
    objective: list | None = None
    comment: str = ""

    def new(self) -> int:
        self.n_vars += 1
        return self.n_vars

    def write(self, path: Path) -> Path:
        def lit(v: int) -> str:
            return f"x{v}" if v > 0 else f"~x{-v}"
        with open(path, "w") as f:
            f.write(f"* #variable= {self.n_vars} #constraint= {len(self.rows)}\n")
            if self.comment:
                f.write(f"* {self.comment}\n")
            if self.objective is not None:
                f.write("min: " + " ".join(f"{c:+d} {lit(v)}" for c, v in self.objective) + " ;\n")
            for terms, rel, degree in self.rows:
                f.write(" ".join(f"{c:+d} {lit(v)}" for c, v in terms) + f" {rel} {degree} ;\n")
        return path


# ----------------------------------------------------------------------------- assignment
@dataclass
class Gap:
    name: str
    weight: list  # weight[a][j]
    cost: list    # cost[a][j]
    capacity: list


def gap_instance(agents: int, jobs: int, seed: int) -> Gap:
    rng = random.Random(seed)
    weight = [[rng.randint(5, 25) for _ in range(jobs)] for _ in range(agents)]
    cost = [[rng.randint(10, 50) for _ in range(jobs)] for _ in range(agents)]
    capacity = [int(0.8 * sum(weight[a]) / agents) for a in range(agents)]
    return Gap(f"gap-{agents}x{jobs}-s{seed}", weight, cost, capacity)


def gap_opb(g: Gap, cost_limit: int | None) -> Opb:
    """Minimise the cost, or (``cost_limit``) find an assignment of cost at most that."""
    agents, jobs = len(g.weight), len(g.weight[0])
    p = Opb(comment=f"generalised assignment {g.name}" + ("" if cost_limit is None else f", cost <= {cost_limit}"))
    x = [[p.new() for _ in range(jobs)] for _ in range(agents)]
    for j in range(jobs):
        p.rows.append(([(1, x[a][j]) for a in range(agents)], "=", 1))
    for a in range(agents):
        p.rows.append(([(g.weight[a][j], x[a][j]) for j in range(jobs)], "<=", g.capacity[a]))
    cost = [(g.cost[a][j], x[a][j]) for j in range(jobs) for a in range(agents)]
    if cost_limit is None:
        p.objective = cost
    else:
        p.rows.append((cost, "<=", cost_limit))
    return p


def gap_optimum(g: Gap, time_limit: float = 60.0) -> int | None:
    from ortools.sat.python import cp_model
    agents, jobs = len(g.weight), len(g.weight[0])
    m = cp_model.CpModel()
    x = [[m.NewBoolVar("") for _ in range(jobs)] for _ in range(agents)]
    for j in range(jobs):
        m.AddExactlyOne(x[a][j] for a in range(agents))
    for a in range(agents):
        m.Add(sum(g.weight[a][j] * x[a][j] for j in range(jobs)) <= g.capacity[a])
    m.Minimize(sum(g.cost[a][j] * x[a][j] for a in range(agents) for j in range(jobs)))
    return _solve_optimum(m, time_limit)


def _solve_optimum(m, time_limit: float) -> int | None:
    from ortools.sat.python import cp_model
    solver = cp_model.CpSolver()
    solver.parameters.max_time_in_seconds = time_limit
    solver.parameters.num_workers = 2
    if solver.Solve(m) != cp_model.OPTIMAL:
        return None
    return int(round(solver.ObjectiveValue()))


# ----------------------------------------------------------------------------- scheduling
def single_mode(p: mm.Project) -> mm.Project:
    """The first mode of every job, renewable resources only."""
    modes = [[(ms[0][0], list(ms[0][1]), [])] for ms in p.modes]
    return mm.Project(p.name, p.n_jobs, p.succ, modes, p.ren_cap, [])


def windows(p: mm.Project, horizon: int) -> tuple[list, list]:
    """Earliest starts and, per job and mode, latest starts within the horizon (shortest
    durations along the precedences)."""
    dmin = [min(md[0] for md in p.modes[j]) for j in range(p.n_jobs)]
    order = mm.topo_order(p)
    es = [0] * p.n_jobs
    for j in order:
        for s in p.succ[j]:
            es[s] = max(es[s], es[j] + dmin[j])
    tail = [0] * p.n_jobs  # shortest time from the start of j to the end of the project
    for j in reversed(order):
        tail[j] = dmin[j] + max((tail[s] for s in p.succ[j]), default=0)
    ls = []
    for j in range(p.n_jobs):
        after = max((tail[s] for s in p.succ[j]), default=0)
        ls.append([horizon - after - d for d, _, _ in p.modes[j]])
    return es, ls


def sched_opb(p: mm.Project, horizon: int, order: bool, minimise: bool) -> Opb:
    es, ls = windows(p, horizon)
    kind = "order" if order else "direct"
    o = Opb(comment=f"{p.name}, time-indexed {kind} encoding, horizon {horizon}"
            + (", minimise the makespan" if minimise else ""))
    n = p.n_jobs
    modes = [range(len(p.modes[j])) for j in range(n)]
    if any(max(ls[j]) < es[j] for j in range(n)):
        o.rows.append(([(1, o.new())], ">=", 2))  # no schedule fits the horizon
        return o
    v: dict = {}
    for j in range(n):
        for m in modes[j]:
            for t in range(es[j], ls[j][m] + 1):
                v[j, m, t] = o.new()
    usable = [[m for m in modes[j] if ls[j][m] >= es[j]] for j in range(n)]
    sink = n - 1
    if order:
        def started(j, m, t):  # literal of "j started by t in m": None is false, "T" is true
            if t < es[j]:
                return None
            return v[j, m, min(t, ls[j][m])] if ls[j][m] >= es[j] else None
        for j in range(n):
            for m in usable[j]:
                for t in range(es[j], ls[j][m]):
                    o.rows.append(([(1, -v[j, m, t]), (1, v[j, m, t + 1])], ">=", 1))
            o.rows.append(([(1, v[j, m, ls[j][m]]) for m in usable[j]], "=", 1))
        for i in range(n):
            for k in p.succ[i]:
                for t in range(es[k], max(ls[k][m] for m in usable[k]) + 1):
                    need = [started(i, m, t - p.modes[i][m][0]) for m in usable[i]]
                    have = [started(k, m, t) for m in usable[k]]
                    terms = [(1, l) for l in need if l] + [(-1, l) for l in have if l]
                    if any(have):
                        o.rows.append((terms, ">=", 0))
        for r, cap in enumerate(p.ren_cap):
            for t in range(horizon):
                terms = []
                for j in range(n):
                    for m in usable[j]:
                        d, ru, _ = p.modes[j][m]
                        if ru[r] == 0 or d == 0:
                            continue
                        a, b = started(j, m, t), started(j, m, t - d)
                        if a is None or (b is not None and a == b):
                            continue
                        terms.append((ru[r], a))
                        if b is not None:
                            terms.append((-ru[r], b))
                if sum(c for c, _ in terms if c > 0) > cap:
                    o.rows.append((terms, "<=", cap))
        for r, cap in enumerate(p.nonren_cap):
            terms = [(p.modes[j][m][2][r], v[j, m, ls[j][m]]) for j in range(n) for m in usable[j]
                     if p.modes[j][m][2][r] > 0]
            o.rows.append((terms, "<=", cap))
        if minimise:
            o.objective = [(1, -v[sink, m, t]) for m in usable[sink] for t in range(es[sink], ls[sink][m])]
        return o
    for j in range(n):
        o.rows.append(([(1, v[j, m, t]) for m in usable[j] for t in range(es[j], ls[j][m] + 1)], "=", 1))
    for i in range(n):
        for k in p.succ[i]:
            terms = [(t + p.modes[i][m][0], v[i, m, t]) for m in usable[i] for t in range(es[i], ls[i][m] + 1)]
            terms += [(-t, v[k, m, t]) for m in usable[k] for t in range(es[k], ls[k][m] + 1) if t > 0]
            o.rows.append(([(c, l) for c, l in terms if c != 0], "<=", 0))
    for r, cap in enumerate(p.ren_cap):
        for t in range(horizon):
            terms, peak = [], 0
            for j in range(n):
                most = 0
                for m in usable[j]:
                    d, ru, _ = p.modes[j][m]
                    if ru[r] == 0:
                        continue
                    for s in range(max(es[j], t - d + 1), min(t, ls[j][m]) + 1):
                        terms.append((ru[r], v[j, m, s]))
                        most = max(most, ru[r])
                peak += most
            if peak > cap:
                o.rows.append((terms, "<=", cap))
    for r, cap in enumerate(p.nonren_cap):
        terms = [(p.modes[j][m][2][r], v[j, m, t]) for j in range(n) for m in usable[j]
                 for t in range(es[j], ls[j][m] + 1) if p.modes[j][m][2][r] > 0]
        o.rows.append((terms, "<=", cap))
    if minimise:
        o.objective = [(t, v[sink, m, t]) for m in usable[sink] for t in range(es[sink], ls[sink][m] + 1) if t > 0]
    return o


def sched_optimum(p: mm.Project, horizon: int, time_limit: float = 60.0) -> int | None:
    """The least makespan within the horizon, by CP-SAT on an interval model."""
    from ortools.sat.python import cp_model
    m = cp_model.CpModel()
    n = p.n_jobs
    start = [m.NewIntVar(0, horizon, "") for _ in range(n)]
    end = [m.NewIntVar(0, horizon, "") for _ in range(n)]
    present = [[m.NewBoolVar("") for _ in p.modes[j]] for j in range(n)]
    intervals: list = [[] for _ in p.ren_cap]
    for j in range(n):
        m.AddExactlyOne(present[j])
        for mode, (d, ru, _) in enumerate(p.modes[j]):
            iv = m.NewOptionalFixedSizeIntervalVar(start[j], d, present[j][mode], "")
            m.Add(end[j] == start[j] + d).OnlyEnforceIf(present[j][mode])
            for r, u in enumerate(ru):
                if u and d:
                    intervals[r].append((iv, u))
    for r, cap in enumerate(p.ren_cap):
        if intervals[r]:
            m.AddCumulative([iv for iv, _ in intervals[r]], [u for _, u in intervals[r]], cap)
    for r, cap in enumerate(p.nonren_cap):
        m.Add(sum(p.modes[j][mode][2][r] * present[j][mode] for j in range(n) for mode in range(len(p.modes[j])))
              <= cap)
    for i in range(n):
        for k in p.succ[i]:
            m.Add(start[k] >= end[i])
    m.Minimize(start[n - 1])
    return _solve_optimum(m, time_limit)


# ----------------------------------------------------------------------------- the problem set
def _optima() -> dict:
    return json.loads(OPTIMA.read_text()) if OPTIMA.exists() else {}


def _remember(key: str, compute) -> int | None:
    optima = _optima()
    if key not in optima:
        optima[key] = compute()
        OPTIMA.write_text(json.dumps(optima, indent=1, sort_keys=True) + "\n")
    return optima[key]


GAP_SIZES = [(5, 30, 1), (5, 40, 2), (8, 40, 3), (10, 50, 4), (10, 60, 5)]


def gap_problems(work: Path) -> list[Path]:
    out = []
    for agents, jobs, seed in GAP_SIZES:
        g = gap_instance(agents, jobs, seed)
        best = _remember(g.name, lambda: gap_optimum(g))
        if best is None:
            continue
        out.append(gap_opb(g, None).write(work / f"{g.name}-opt.opb"))
        out.append(gap_opb(g, best).write(work / f"{g.name}-dec-at.opb"))
        out.append(gap_opb(g, best - 1).write(work / f"{g.name}-dec-below.opb"))
    return out


def sched_projects(mmlib: Path, count: int, multi: bool, seed: int) -> list:
    """``count`` MMLIB50 projects (seeded pick) with their horizon (a greedy schedule's makespan)
    and the optimum within it; projects whose optimum CP-SAT does not prove, or whose optimum is
    the critical path (a trivial decision one below it), are passed over."""
    files = sorted(mmlib.glob("*.mm"))
    rng = random.Random(seed)
    rng.shuffle(files)
    picked = []
    for f in files:
        p = mm.read_mm(f)
        if not multi:
            p = single_mode(p)
        modes, horizon = mm.heuristic_schedule(p)
        if modes is None:
            continue
        key = f"{'mr' if multi else 'rc'}-{p.name}-h{horizon}"
        if horizon <= mm.critical_path(p) + 1:
            continue  # the critical path is the optimum, or one below it: trivial decisions
        best = _remember(key, lambda: sched_optimum(p, horizon))
        if best is None or best <= mm.critical_path(p):
            continue
        picked.append((p, horizon, best))
        if len(picked) == count:
            break
    return picked


def sched_problems(work: Path, mmlib: Path, count: int = 3) -> list[Path]:
    out = []
    for multi in (False, True):
        for p, horizon, best in sched_projects(mmlib, count, multi, seed=31 if multi else 17):
            horizon = min(horizon, best + max(2, best // 5))  # the greedy schedule is often far off
            for order in (False, True):
                fam = ("mr" if multi else "rc") + ("o" if order else "d")
                out.append(sched_opb(p, horizon, order, True).write(work / f"{fam}-{p.name}-opt.opb"))
                out.append(sched_opb(p, best, order, False).write(work / f"{fam}-{p.name}-dec-at.opb"))
                out.append(sched_opb(p, best - 1, order, False).write(work / f"{fam}-{p.name}-dec-below.opb"))
    return out
