"""CPMpy models with integer linear constraints, solved by corvane and by CPMpy's pysat, exact and ortools backends.

Families (seeded, a few sizes each): bounded knapsack with integer counts,
multi-dimensional knapsack, assignment of tasks to agents with capacities,
magic squares, and a small job-shop-like scheduling model with integer start
times. Each instance with an objective is solved as a decision problem twice (the
objective within 5% of the optimum, "sat", and just beyond the optimum,
"unsat": a tight refutation) and as an optimisation problem; magic squares
are decision problems ("decide", the seed fixes a corner). The optimum that sets the targets is
computed once with OR-Tools.

Every (instance, backend) run is a child process under a wall-clock limit and
a memory cap. The child reports the CPU time of model construction plus
solving (``time.process_time``, this process only; OR-Tools runs with one
worker so that its CPU time is comparable), the status, the objective, and for
the python-sat based backends the clauses and variables in the solver after
construction. Each run is repeated and the median CPU time kept. Optimisation
with the pysat backend is not possible (it refuses objectives), so CPMpy's
``rc2`` MaxSAT backend stands for the pysat family there. ``--encodings``
also runs corvane with each integer encoding on the smallest size (both
magic squares), to measure the per-variable choice. Runs of more than 3 s CPU
are not repeated.

Usage: python bench/cpmpy_bench.py [--quick] [--repeat N] [--limit S] [--encodings] [--out FILE]
Writes JSON lines (one per run) to --out and prints Markdown tables.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

BACKENDS = ["corvane", "pysat", "exact", "ortools"]
OPT_BACKENDS = ["corvane", "rc2", "exact", "ortools"]
ENCODINGS = ["grouped", "auto", "direct", "order", "binary"]
MEMORY_CAP = 6 * 2**30


# ----------------------------------------------------------------- models

def knapsack(n: int, seed: int) -> tuple[Any, Any, list[Any]]:
    """Bounded knapsack: counts 0..u_i, one capacity; objective: the value."""
    import cpmpy as cp

    rng = random.Random(seed)
    w = [rng.randint(5, 30) for _ in range(n)]
    v = [rng.randint(5, 30) for _ in range(n)]
    u = [rng.randint(3, 9) for _ in range(n)]
    x = cp.intvar(0, 9, shape=n, name="x")
    cap = sum(wi * ui for wi, ui in zip(w, u)) * 2 // 5
    cons = [cp.sum(w[i] * x[i] for i in range(n)) <= cap] + [x[i] <= u[i] for i in range(n)]
    return cp.sum(v[i] * x[i] for i in range(n)), "max", cons


def mdknapsack(n: int, seed: int) -> tuple[Any, Any, list[Any]]:
    """Multi-dimensional knapsack: counts 0..5, three capacity constraints; objective: the value."""
    import cpmpy as cp

    rng = random.Random(seed)
    m = 3
    x = cp.intvar(0, 5, shape=n, name="x")
    cons = []
    for _ in range(m):
        w = [rng.randint(1, 40) for _ in range(n)]
        cons.append(cp.sum(w[i] * x[i] for i in range(n)) <= sum(w) * 5 // 3)
    v = [rng.randint(10, 60) for _ in range(n)]
    return cp.sum(v[i] * x[i] for i in range(n)), "max", cons


def assignment(n: int, seed: int) -> tuple[Any, Any, list[Any]]:
    """Tasks to agents: a[t] in 0..m-1, agent loads within capacities; objective: the assignment cost."""
    import cpmpy as cp

    rng = random.Random(seed)
    m = 4
    size = [rng.randint(2, 12) for _ in range(n)]
    cost = [[rng.randint(1, 20) for _ in range(m)] for _ in range(n)]
    a = cp.intvar(0, m - 1, shape=n, name="a")
    load = cp.intvar(0, sum(size), shape=m, name="load")
    cap = sum(size) * 3 // (2 * m)
    cons = [load[j] == cp.sum(size[t] * (a[t] == j) for t in range(n)) for j in range(m)]
    cons += [load[j] <= cap for j in range(m)]
    return cp.sum(cp.cpm_array(cost[t])[a[t]] for t in range(n)), "min", cons


def magic(n: int, seed: int) -> tuple[Any, Any, list[Any]]:
    """Magic square of order n (no objective; the seed fixes one cell)."""
    import cpmpy as cp

    sq = cp.intvar(1, n * n, shape=(n, n), name="sq")
    total = n * (n * n + 1) // 2
    cons = [cp.AllDifferent(sq)]
    cons += [cp.sum(sq[i, :]) == total for i in range(n)] + [cp.sum(sq[:, j]) == total for j in range(n)]
    cons += [cp.sum(sq[i, i] for i in range(n)) == total, cp.sum(sq[i, n - 1 - i] for i in range(n)) == total]
    cons.append(sq[0, 0] == 1 + seed % (n * n))
    return None, None, cons


def scheduling(n: int, seed: int) -> tuple[Any, Any, list[Any]]:
    """Jobs of 3 tasks on 3 machines (a small job shop): integer starts, precedences, no overlap."""
    import cpmpy as cp

    rng = random.Random(seed)
    machines = 3
    dur = [[rng.randint(1, 6) for _ in range(machines)] for _ in range(n)]
    order = [rng.sample(range(machines), machines) for _ in range(n)]
    horizon = sum(map(sum, dur))
    s = cp.intvar(0, horizon, shape=(n, machines), name="s")
    makespan = cp.intvar(0, horizon, name="makespan")
    cons = []
    for j in range(n):
        for k in range(machines - 1):
            a, b = order[j][k], order[j][k + 1]
            cons.append(s[j, a] + dur[j][a] <= s[j, b])
        last = order[j][-1]
        cons.append(s[j, last] + dur[j][last] <= makespan)
    for mach in range(machines):
        for i in range(n):
            for j in range(i + 1, n):
                cons.append((s[i, mach] + dur[i][mach] <= s[j, mach]) | (s[j, mach] + dur[j][mach] <= s[i, mach]))
    return makespan, "min", cons


FAMILIES: dict[str, tuple[Callable[[int, int], tuple[Any, Any, list[Any]]], list[int], list[int]]] = {
    # name: (builder, sizes (quick: the first), seeds)
    "knapsack": (knapsack, [10, 20, 30], [1, 2]),
    "mdknapsack": (mdknapsack, [8, 12, 16], [1, 2]),
    "assignment": (assignment, [10, 16, 24], [1, 2]),
    "magic": (magic, [3, 4], [1, 4]),
    "scheduling": (scheduling, [3, 4, 5], [1, 2]),
}


def build(family: str, size: int, seed: int, kind: str, target: int | None) -> Any:
    """The CPMpy model of one run: the constraints, plus the objective or the target as a constraint."""
    import cpmpy as cp

    objective, sense, cons = FAMILIES[family][0](size, seed)
    model = cp.Model(cons)
    if objective is None:
        return model
    if kind == "opt":
        if sense == "max":
            model.maximize(objective)
        else:
            model.minimize(objective)
    elif target is not None:
        model += (objective >= target) if sense == "max" else (objective <= target)
    return model


# ----------------------------------------------------------------- one run (child process)

def run_one(job: dict[str, Any]) -> dict[str, Any]:
    import cpmpy as cp

    import corvane.cpmpy as backend

    backend.register()
    start = time.process_time()
    model = build(job["family"], job["size"], job["seed"], job["kind"], job.get("target"))
    name = job["backend"]
    if name == "corvane":
        solver = backend.CPM_corvane(model, encoding=job.get("encoding", "grouped"))
    else:
        solver = cp.SolverLookup.get(name, model)
    built = time.process_time()
    clauses = variables = None
    if name in ("corvane", "pysat"):
        clauses, variables = solver.pysat_solver.nof_clauses(), solver.pysat_solver.nof_vars()
    kwargs: dict[str, Any] = {"num_workers": 1} if name == "ortools" else {}
    found = solver.solve(time_limit=job["limit"], **kwargs)
    end = time.process_time()
    status = solver.status().exitstatus.name
    return {"status": status, "found": bool(found), "objective": solver.objective_value() if found else None,
            "cpu": end - start, "build_cpu": built - start, "clauses": clauses, "vars": variables}


def child(job: dict[str, Any]) -> dict[str, Any]:
    """Run one job in a fresh interpreter under the memory cap and a wall-clock limit."""
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))

    wall = job["limit"] * 2 + 60
    try:
        proc = subprocess.run([sys.executable, __file__, "--child", json.dumps(job)], capture_output=True,
                              text=True, timeout=wall, preexec_fn=limit, check=False)
    except subprocess.TimeoutExpired:
        return {"status": "TIMEOUT", "cpu": None}
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"status": "ERROR", "cpu": None, "error": tail[:200]}
    result: dict[str, Any] = json.loads(lines[-1])
    return result


# ----------------------------------------------------------------- driver

def optimum(family: str, size: int, seed: int) -> int | None:
    import cpmpy as cp

    model = build(family, size, seed, "opt", None)
    if model.objective_ is None:
        return None
    solver = cp.SolverLookup.get("ortools", model)
    assert solver.solve(time_limit=120), (family, size, seed)
    assert solver.status().exitstatus.name == "OPTIMAL", (family, size, seed)
    return int(solver.objective_value())


def jobs(quick: bool, limit: float, encodings: bool) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    for family, (builder, sizes, seeds) in FAMILIES.items():
        sense = builder(2, 0)[1]
        for size in sizes[:1] if quick else sizes:
            for seed in seeds[:1] if quick else seeds:
                best = optimum(family, size, seed)
                base = {"family": family, "size": size, "seed": seed, "limit": limit}
                kinds: list[tuple[str, int | None]] = [("decide", None)]
                if best is not None:
                    # "sat": within 5% of the optimum; "unsat": just beyond it (a tight refutation).
                    loose = best * 95 // 100 if sense == "max" else -(-best * 105 // 100)
                    kinds = [("sat", loose), ("unsat", best + 1 if sense == "max" else best - 1), ("opt", None)]
                for kind, target in kinds:
                    for name in OPT_BACKENDS if kind == "opt" else BACKENDS:
                        out.append({**base, "kind": kind, "target": target, "backend": name, "optimum": best})
                    if encodings and kind != "opt" and (size == sizes[0] or family == "magic"):
                        for enc in ENCODINGS[1:]:
                            out.append({**base, "kind": kind, "target": target, "backend": "corvane",
                                        "encoding": enc, "optimum": best})
    return out


def _cell(rows: list[dict[str, Any]], limit: float) -> str:
    cpus = [r["cpu"] for r in rows if r.get("cpu") is not None and r["status"] not in ("UNKNOWN", "ERROR")]
    if not rows:
        return "—"
    if len(cpus) < len(rows):
        bad = next(r for r in rows if r.get("cpu") is None or r["status"] in ("UNKNOWN", "ERROR"))
        if bad["status"] in ("UNKNOWN", "TIMEOUT"):
            return f"> {limit:.0f} s"
        # CPMpy 1.1.1's rc2 backend raises this TypeError when its time limit stops it without a model.
        if bad["backend"] == "rc2" and "NoneType" in bad.get("error", ""):
            return f"> {limit:.0f} s (raises)"
        return str(bad["status"]).lower()
    return f"{statistics.median(cpus):.2f} s"


def report(results: list[dict[str, Any]], limit: float) -> str:
    def key(r: dict[str, Any]) -> tuple[Any, ...]:
        return (r["family"], r["size"], r["seed"], r["kind"])

    instances = sorted({key(r) for r in results}, key=lambda k: (list(FAMILIES).index(k[0]), *k[1:3],
                                                                 ["decide", "sat", "unsat", "opt"].index(k[3])))
    lines = ["| instance | run | corvane | pysat / rc2 | exact | ortools | clauses corvane | clauses pysat | "
             "fewer clauses | corvane / exact |", "|---|---|---|---|---|---|---|---|---|---|"]
    for inst in instances:
        group = [r for r in results if key(r) == inst and r.get("encoding", "grouped") == "grouped"]
        by = {name: [r for r in group if r["backend"] == name] for name in ("corvane", "pysat", "rc2", "exact", "ortools")}
        base = by["rc2"] if inst[3] == "opt" else by["pysat"]
        ours_c = next((r["clauses"] for r in by["corvane"] if r.get("clauses")), None)
        theirs_c = next((r["clauses"] for r in by["pysat"] if r.get("clauses")), None)
        ratio = f"{theirs_c / ours_c:.0f}×" if ours_c and theirs_c else "—"

        def med(rows: list[dict[str, Any]]) -> float | None:
            cpus = [r["cpu"] for r in rows if r.get("cpu") is not None and r["status"] not in ("UNKNOWN", "ERROR")]
            return statistics.median(cpus) if cpus and len(cpus) == len(rows) else None

        ours, exact = med(by["corvane"]), med(by["exact"])
        vs_exact = f"{ours / exact:.2f}" if ours is not None and exact else "—"
        name = f"{inst[0]} n={inst[1]} seed={inst[2]}"
        lines.append(f"| {name} | {inst[3]} | {_cell(by['corvane'], limit)} | {_cell(base, limit)} | "
                     f"{_cell(by['exact'], limit)} | {_cell(by['ortools'], limit)} | {ours_c or '—'} | "
                     f"{theirs_c or '—'} | {ratio} | {vs_exact} |")
    enc_rows = [r for r in results if r["backend"] == "corvane" and r["kind"] != "opt"]
    if any(r.get("encoding", "grouped") != "grouped" for r in enc_rows):
        lines += ["", "| instance | run | " + " | ".join(ENCODINGS) + " |", "|---|---|" + "---|" * len(ENCODINGS)]
        for inst in instances:
            if inst[3] == "opt":
                continue
            cells = []
            for enc in ENCODINGS:
                rows = [r for r in enc_rows if key(r) == inst and r.get("encoding", "grouped") == enc]
                clauses = next((r["clauses"] for r in rows if r.get("clauses")), None)
                cells.append(f"{_cell(rows, limit)}, {clauses} cl." if clauses else _cell(rows, limit))
            lines.append(f"| {inst[0]} n={inst[1]} seed={inst[2]} | {inst[3]} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="the smallest size and first seed of each family")
    parser.add_argument("--repeat", type=int, default=3, help="runs per (instance, backend); the median CPU counts")
    parser.add_argument("--limit", type=float, default=60.0, help="solver time limit per run (s)")
    parser.add_argument("--encodings", action="store_true", help="also corvane with each integer encoding")
    parser.add_argument("--out", default="bench/results/cpmpy_bench.jsonl")
    parser.add_argument("--families", default=",".join(FAMILIES), help="comma-separated families to run")
    parser.add_argument("--report-only", action="store_true")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(run_one(json.loads(args.child))), flush=True)
        return 0
    results: list[dict[str, Any]] = []
    if args.report_only:
        with open(args.out) as f:
            results = [json.loads(line) for line in f]
        print(report(results, args.limit))
        return 0
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    start = time.monotonic()
    todo = [s for s in jobs(args.quick, args.limit, args.encodings) if s["family"] in args.families.split(",")]
    with open(args.out, "w") as out:
        for i, job in enumerate(todo):
            for rep in range(args.repeat):
                result = {**job, "repeat": rep, **child(job)}
                results.append(result)
                out.write(json.dumps(result) + "\n")
                out.flush()
                # A run that hit the limit would hit it again, and a long one varies little: one is enough.
                if result["status"] in ("UNKNOWN", "TIMEOUT", "ERROR") or (result.get("cpu") or 0) > 3:
                    break
            print(f"[{i + 1}/{len(todo)}] {job['family']} n={job['size']} seed={job['seed']} {job['kind']} "
                  f"{job['backend']} {job.get('encoding', '')}: {result['status']} {result.get('cpu')}",
                  file=sys.stderr, flush=True)
    print(report(results, args.limit))
    print(f"\n{len(todo)} runs x up to {args.repeat} in {(time.monotonic() - start) / 60:.1f} min", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
