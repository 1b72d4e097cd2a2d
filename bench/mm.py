"""Multi-mode project scheduling: the PSPLIB ``.mm`` reader and the time-indexed SAT model.

Model (all literals positive DIMACS ids):
- x[j][m]: job j runs in mode m; exactly one per job (ALO clause plus pairwise AMO).
- b[j][t] for t in the job's start window [es, ls]: "job j starts at or before t", with
  b[j][t] -> b[j][t+1] and b[j][ls] true (order encoding of the start time).
- precedence i -> j: when i runs in mode m (duration d), j cannot start before start_i + d:
  for every t, x[i][m] and b[j][t+d-1] imply b[i][t-1] (b outside the window is constant).
- r[j][m][t]: job j runs in mode m at time t, forced true by x[j][m], b[j][t], not b[j][t-d].
  The r of one job at one time step form an AMO group (pairwise clauses).
- every non-renewable resource k: sum over jobs and modes of usage * x[j][m] <= capacity,
  one group per job (its modes of non-zero usage);
- every renewable resource k and time step t: sum of usage * r[j][m][t] <= capacity,
  one group per job (its modes of non-zero usage and duration that may run at t).
The makespan limit is the horizon: every job finishes by ``horizon``.
"""
from __future__ import annotations

import random
from dataclasses import dataclass, field

from encoders import Leq


@dataclass
class Project:
    name: str
    n_jobs: int
    succ: list  # succ[j] -> list of successor jobs (0-based)
    modes: list  # modes[j] -> list of (duration, [renewable usages], [nonrenewable usages])
    ren_cap: list
    nonren_cap: list


def parse_mm(text: str, name: str = "") -> Project:
    lines = text.splitlines()

    def find(prefix: str) -> int:
        for i, ln in enumerate(lines):
            if ln.strip().startswith(prefix):
                return i
        raise ValueError(f"{name}: no line starting with {prefix!r}")

    n_jobs = int(lines[find("jobs")].split(":")[1])
    n_ren = int(lines[find("- renewable")].split(":")[1].split()[0])
    n_non = int(lines[find("- nonrenewable")].split(":")[1].split()[0])
    i = find("PRECEDENCE RELATIONS") + 2
    succ: list = [None] * n_jobs
    n_modes = [0] * n_jobs
    for _ in range(n_jobs):
        f = [int(x) for x in lines[i].split()]
        i += 1
        j, nm, ns = f[0] - 1, f[1], f[2]
        if len(f) != 3 + ns:
            raise ValueError(f"{name}: job {j + 1}: {ns} successors announced, {len(f) - 3} given")
        succ[j] = [s - 1 for s in f[3:]]
        n_modes[j] = nm
    i = find("REQUESTS/DURATIONS") + 3  # header line and dashes
    modes: list = [[] for _ in range(n_jobs)]
    j = -1
    while len(modes[n_jobs - 1]) < n_modes[n_jobs - 1]:
        f = [int(x) for x in lines[i].split()]
        i += 1
        if len(f) == 3 + n_ren + n_non:  # a new job: jobnr, mode, dur, usages
            j = f[0] - 1
            f = f[1:]
        if len(f) != 2 + n_ren + n_non or j < 0:
            raise ValueError(f"{name}: malformed mode line {i}")
        if f[0] != len(modes[j]) + 1:
            raise ValueError(f"{name}: job {j + 1}: mode {f[0]} out of order")
        modes[j].append((f[1], f[2:2 + n_ren], f[2 + n_ren:]))
    for j in range(n_jobs):
        if len(modes[j]) != n_modes[j]:
            raise ValueError(f"{name}: job {j + 1}: {len(modes[j])} modes, {n_modes[j]} announced")
    i = find("RESOURCE AVAILABILITIES") + 2
    caps = [int(x) for x in lines[i].split()]
    if len(caps) != n_ren + n_non:
        raise ValueError(f"{name}: {len(caps)} capacities for {n_ren + n_non} resources")
    return Project(name, n_jobs, succ, modes, caps[:n_ren], caps[n_ren:])


def read_mm(path) -> Project:
    from pathlib import Path
    p = Path(path)
    return parse_mm(p.read_text(), p.stem)


def topo_order(p: Project) -> list:
    indeg = [0] * p.n_jobs
    for j in range(p.n_jobs):
        for s in p.succ[j]:
            indeg[s] += 1
    order, stack = [], [j for j in range(p.n_jobs) if indeg[j] == 0]
    while stack:
        j = stack.pop()
        order.append(j)
        for s in p.succ[j]:
            indeg[s] -= 1
            if indeg[s] == 0:
                stack.append(s)
    if len(order) != p.n_jobs:
        raise ValueError(f"{p.name}: precedence graph has a cycle")
    return order


def nonrenewable_constraints(p: Project, x) -> list:
    """One Leq per non-renewable resource over the mode literals ``x[j][m]``."""
    out = []
    for k, cap in enumerate(p.nonren_cap):
        wlits, groups = [], []
        for j in range(p.n_jobs):
            g = [(x[j][m], md[2][k]) for m, md in enumerate(p.modes[j]) if md[2][k] > 0]
            if g:
                wlits += g
                groups.append([l for l, _ in g])
        out.append(Leq(wlits, groups, cap))
    return out


def heuristic_schedule(p: Project) -> tuple:
    """A feasible (modes, makespan) from a greedy mode choice and a serial schedule generation
    scheme; modes is None when the greedy choice violates a non-renewable capacity."""
    def ratio(md):
        return sum(u / max(c, 1) for u, c in zip(md[2], p.nonren_cap))
    mode = [min(range(len(ms)), key=lambda m: (ratio(ms[m]), ms[m][0])) for ms in p.modes]
    used = [sum(p.modes[j][mode[j]][2][k] for j in range(p.n_jobs)) for k in range(len(p.nonren_cap))]
    # shorten jobs while the non-renewable budget allows it, longest first
    for j in sorted(range(p.n_jobs), key=lambda j: -p.modes[j][mode[j]][0]):
        for m in sorted(range(len(p.modes[j])), key=lambda m: p.modes[j][m][0]):
            if p.modes[j][m][0] >= p.modes[j][mode[j]][0]:
                break
            new = [used[k] - p.modes[j][mode[j]][2][k] + p.modes[j][m][2][k] for k in range(len(used))]
            if all(u <= c for u, c in zip(new, p.nonren_cap)):
                used, mode[j] = new, m
                break
    if any(u > c for u, c in zip(used, p.nonren_cap)):
        return None, sum(max(md[0] for md in ms) for ms in p.modes)
    pred = [[] for _ in range(p.n_jobs)]
    for j in range(p.n_jobs):
        for s in p.succ[j]:
            pred[s].append(j)
    horizon = sum(p.modes[j][mode[j]][0] for j in range(p.n_jobs)) + 1
    profile = [[0] * horizon for _ in p.ren_cap]
    finish = [0] * p.n_jobs
    for j in topo_order(p):
        d, ru, _ = p.modes[j][mode[j]]
        t = max((finish[i] for i in pred[j]), default=0)
        while any(profile[k][tt] + ru[k] > p.ren_cap[k] for k in range(len(ru)) for tt in range(t, t + d)):
            t += 1
        for k in range(len(ru)):
            for tt in range(t, t + d):
                profile[k][tt] += ru[k]
        finish[j] = t + d
    return mode, max(finish)


def critical_path(p: Project) -> int:
    es = [0] * p.n_jobs
    for j in topo_order(p):
        dmin = min(md[0] for md in p.modes[j])
        for s in p.succ[j]:
            es[s] = max(es[s], es[j] + dmin)
    return max(es[j] + min(md[0] for md in p.modes[j]) for j in range(p.n_jobs))


@dataclass
class Model:
    """A complete decision problem: shared clauses plus the PB constraints to encode."""
    name: str
    top: int
    clauses: list
    leqs: list = field(default_factory=list)  # the PB(AMO) constraints, AMO clauses already in clauses
    kinds: list = field(default_factory=list)  # "nonrenewable" / "renewable" per leq
    info: dict = field(default_factory=dict)


def time_indexed_model(p: Project, horizon: int) -> Model:
    """The decision problem "a schedule with makespan <= horizon exists"."""
    top = 0

    def new():
        nonlocal top
        top += 1
        return top

    cl: list = []
    x = [[new() for _ in p.modes[j]] for j in range(p.n_jobs)]
    for j in range(p.n_jobs):
        cl.append(list(x[j]))
        for a in range(len(x[j])):
            for b_ in range(a + 1, len(x[j])):
                cl.append([-x[j][a], -x[j][b_]])
    # time windows with the shortest durations
    dmin = [min(md[0] for md in p.modes[j]) for j in range(p.n_jobs)]
    order = topo_order(p)
    es = [0] * p.n_jobs
    for j in order:
        for s in p.succ[j]:
            es[s] = max(es[s], es[j] + dmin[j])
    ls = [horizon - dmin[j] for j in range(p.n_jobs)]
    for j in reversed(order):
        for s in p.succ[j]:
            ls[j] = min(ls[j], ls[s] - dmin[j])
    if any(ls[j] < es[j] for j in range(p.n_jobs)):
        return Model(p.name, top, [[]], info={"horizon": horizon, "trivially_unsat": True})
    b = [{t: new() for t in range(es[j], ls[j] + 1)} for j in range(p.n_jobs)]

    def B(j, t):  # literal of "start_j <= t": None for true, 0 for false
        if t < es[j]:
            return 0
        if t >= ls[j]:
            return None
        return b[j][t]

    for j in range(p.n_jobs):
        cl.append([b[j][ls[j]]])
        for t in range(es[j], ls[j]):
            cl.append([-b[j][t], b[j][t + 1]])
        # a mode may not end after the horizon
        for m, (d, _, _) in enumerate(p.modes[j]):
            if horizon - d < ls[j]:
                lit = B(j, horizon - d)
                cl.append([-x[j][m]] + ([lit] if lit else []))
    # precedence: start_s >= start_i + d(i, m)
    for i in range(p.n_jobs):
        for s in p.succ[i]:
            for m, (d, _, _) in enumerate(p.modes[i]):
                for t in range(es[s] - d + 1, ls[s] - d + 2):
                    bs = B(s, t + d - 1)  # start_s <= t + d - 1 ...
                    if bs == 0:
                        continue
                    bi = B(i, t - 1)  # ... requires start_i <= t - 1
                    if bi is None:
                        continue
                    c = [-x[i][m]] + ([-bs] if bs else []) + ([bi] if bi else [])
                    cl.append(c)
    model = Model(p.name, 0, cl, info={"horizon": horizon})
    for k, leq in enumerate(nonrenewable_constraints(p, x)):
        model.leqs.append(leq)
        model.kinds.append("nonrenewable")
    # running indicators and renewable constraints
    r: dict = {}
    for j in range(p.n_jobs):
        for m, (d, ru, _) in enumerate(p.modes[j]):
            if d == 0 or not any(ru):
                continue
            for t in range(es[j], min(horizon, ls[j] + d)):
                v = new()
                r[j, m, t] = v
                c = [-x[j][m], v]
                bt = B(j, t)
                if bt == 0:
                    continue
                if bt:
                    c.append(-bt)
                bd = B(j, t - d)
                if bd is None:
                    continue
                if bd:
                    c.append(bd)
                cl.append(c)
    for t in range(horizon):
        for k, cap in enumerate(p.ren_cap):
            wlits, groups = [], []
            for j in range(p.n_jobs):
                g = [(r[j, m, t], md[1][k]) for m, md in enumerate(p.modes[j])
                     if (j, m, t) in r and md[1][k] > 0]
                if g:
                    wlits += g
                    groups.append([l for l, _ in g])
            wd = dict(wlits)
            if sum(max(wd[l] for l in g) for g in groups) <= cap:
                continue  # can never be exceeded
            for g in groups:
                for a in range(len(g)):
                    for b_ in range(a + 1, len(g)):
                        cl.append([-g[a], -g[b_]])
            model.leqs.append(Leq(wlits, groups, cap))
            model.kinds.append("renewable")
    model.top = top
    return model


def decision_horizon(p: Project, tightness: float = 0.9) -> int:
    """A makespan limit between the critical path (shortest modes) and a greedy schedule."""
    lb = critical_path(p)
    _, ub = heuristic_schedule(p)
    return max(lb, int(lb + tightness * (ub - lb)))


def enlarged(p: Project, copies: int, seed: int) -> Project:
    """``copies`` perturbed copies of the project side by side (sharing the resources, with
    capacities scaled by ``copies``): a larger project with the same structure."""
    rng = random.Random(seed)
    n = p.n_jobs
    succ, modes = [], []
    for c in range(copies):
        for j in range(n):
            succ.append([s + c * n for s in p.succ[j]])
            modes.append([(d, list(ru), [max(0, u + rng.choice((-1, 0, 1))) if u else 0 for u in nu])
                          for d, ru, nu in p.modes[j]])
    return Project(f"{p.name}x{copies}", n * copies, succ, modes,
                   [c * copies for c in p.ren_cap], [c * copies for c in p.nonren_cap])
