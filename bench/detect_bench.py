#!/usr/bin/env python3
"""AMO detection on time-indexed scheduling: the same projects in the direct and the order encoding.

    python bench/detect_bench.py generate            writes the OPB files into bench/opb_work/detect/
    python bench/detect_bench.py measure [--base PYTHON] [--time-limit S] [--reuse]
                                                     groups found, CNF size and CaDiCaL time per file
    python bench/detect_bench.py report              the markdown table of the saved results

The projects are the single-mode projections (first mode of every job) of MMLIB50 instances, as
resource-constrained project scheduling with a makespan limit between the critical path and a
serial schedule. The direct encoding has one variable per job and start time (exactly one per
job, precedences as PB rows over the start times); the order encoding has ``y[j,t]`` = "job j
started by t", chained ``y[j,t] -> y[j,t+1]``, precedences as binary clauses and resource rows
``sum u_j (y[j,t] - y[j,t-d_j]) <= C``, where no AMO is stated at all. ``--base`` names a Python
(a venv's bin/python) with another build of corvane to compare with, e.g. the one before the
implication-graph detection. Times are CPU seconds of the child processes (the machine is shared).
"""
from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
WORK = HERE / "opb_work" / "detect"  # generated, not committed
RESULTS = HERE / "results" / "detect.json"
MMLIB = Path(os.environ.get("MMLIB50", "/work/shared/data/mmlib50"))


# ----------------------------------------------------------------------------- projects
def single_mode(p):
    """(durations, successors, usages per renewable resource, capacities) of the first modes."""
    durations = [p.modes[j][0][0] for j in range(p.n_jobs)]
    usages = [list(p.modes[j][0][1]) for j in range(p.n_jobs)]
    return durations, [list(s) for s in p.succ], usages, list(p.ren_cap)


def windows(durations, succ, order, horizon):
    es = [0] * len(durations)
    for j in order:
        for s in succ[j]:
            es[s] = max(es[s], es[j] + durations[j])
    ls = [horizon - durations[j] for j in range(len(durations))]
    for j in reversed(order):
        for s in succ[j]:
            ls[j] = min(ls[j], ls[s] - durations[j])
    return es, ls


def serial_schedule(durations, succ, order, usages, caps):
    """Makespan of the serial schedule generation scheme in topological order."""
    n = len(durations)
    pred = [[] for _ in range(n)]
    for i in range(n):
        for s in succ[i]:
            pred[s].append(i)
    horizon = sum(durations) + 1
    used = [[0] * horizon for _ in caps]
    finish = [0] * n
    for j in order:
        t = max([finish[i] for i in pred[j]], default=0)
        while any(used[k][u] + usages[j][k] > caps[k] for k in range(len(caps)) for u in range(t, t + durations[j])):
            t += 1
        for k in range(len(caps)):
            for u in range(t, t + durations[j]):
                used[k][u] += usages[j][k]
        finish[j] = t + durations[j]
    return max(finish)


class Opb:
    """OPB text built term by term; literals are x<n> or ~x<n> by sign."""

    def __init__(self) -> None:
        self.top = 0
        self.lines: list[str] = []

    def new(self) -> int:
        self.top += 1
        return self.top

    def row(self, terms, relation: str, degree: int) -> None:
        self.lines.append(" ".join(f"{c:+d} {'~' if l < 0 else ''}x{abs(l)}" for c, l in terms)
                          + f" {relation} {degree} ;")

    def write(self, path: Path, comment: str, objective=None) -> None:
        with open(path, "w") as f:
            f.write(f"* #variable= {self.top} #constraint= {len(self.lines)}\n* {comment}\n")
            if objective:
                f.write("min: " + " ".join(f"{c:+d} {'~' if l < 0 else ''}x{abs(l)}" for c, l in objective) + " ;\n")
            f.write("\n".join(self.lines) + "\n")


def order_encoding(durations, succ, usages, caps, es, ls, horizon, minimise=False) -> tuple[Opb, list]:
    """y[j,t] = "started by t" for t in [es, ls); constant false before es, true from ls on."""
    opb = Opb()
    y = [{t: opb.new() for t in range(es[j], ls[j])} for j in range(len(durations))]

    def started(j, t):  # a literal, or True / False
        return False if t < es[j] else True if t >= ls[j] else y[j][t]

    for j in range(len(durations)):
        for t in range(es[j], ls[j] - 1):
            opb.row([(1, -y[j][t]), (1, y[j][t + 1])], ">=", 1)
    for i in range(len(durations)):
        for s in succ[i]:
            for t in range(es[s], ls[s]):
                before = started(i, t - durations[i])
                if before is True:
                    continue
                assert before is not False  # the windows rule it out
                opb.row([(1, -y[s][t]), (1, before)], ">=", 1)
    for t in range(horizon):
        for k, cap in enumerate(caps):
            terms, constant, most = [], 0, 0
            for j in range(len(durations)):
                u = usages[j][k]
                if u == 0 or durations[j] == 0:
                    continue
                for lit, sign in ((started(j, t), 1), (started(j, t - durations[j]), -1)):
                    if lit is True:
                        constant += sign * u
                    elif lit is not False:
                        terms.append((sign * u, lit))
                if started(j, t) is not False and started(j, t - durations[j]) is not True:
                    most += u
            if terms and most > cap:
                opb.row(terms, "<=", cap - constant)
    objective = None
    if minimise:  # the start of the sink: the number of times t at which it has not started
        sink = len(durations) - 1
        objective = [(1, -y[sink][t]) for t in range(es[sink], ls[sink])]
    return opb, objective


def direct_encoding(durations, succ, usages, caps, es, ls, horizon, minimise=False) -> tuple[Opb, list]:
    """x[j,t] = "starts at t", exactly one per job; precedences over the start times."""
    opb = Opb()
    x = [{t: opb.new() for t in range(es[j], ls[j] + 1)} for j in range(len(durations))]
    for j in range(len(durations)):
        opb.row([(1, v) for v in x[j].values()], "=", 1)
    for i in range(len(durations)):
        for s in succ[i]:
            if es[s] >= ls[i] + durations[i]:
                continue
            opb.row([(t, v) for t, v in x[s].items()] + [(-t, v) for t, v in x[i].items()], ">=", durations[i])
    for t in range(horizon):
        for k, cap in enumerate(caps):
            terms, most = [], 0
            for j in range(len(durations)):
                u = usages[j][k]
                starts = [x[j][s] for s in range(t - durations[j] + 1, t + 1) if s in x[j]] if u else []
                terms += [(u, v) for v in starts]
                most += u if starts else 0
            if most > cap:  # at most one start of a job in the window
                opb.row(terms, "<=", cap)
    objective = None
    if minimise:
        sink = len(durations) - 1
        objective = [(t, v) for t, v in x[sink].items() if t > 0]
    return opb, objective


def generate(count: int = 12, seed: int = 5) -> list[Path]:
    import mm

    WORK.mkdir(parents=True, exist_ok=True)
    files = sorted(MMLIB.glob("*.mm"))
    picks = random.Random(seed).sample(files, count)
    out = []
    for n, f in enumerate(picks):
        p = mm.read_mm(f)
        durations, succ, usages, caps = single_mode(p)
        order = mm.topo_order(p)
        es0, _ = windows(durations, succ, order, 10**6)
        lb = max(es0[j] + durations[j] for j in range(len(durations)))
        ub = serial_schedule(durations, succ, order, usages, caps)
        minimise = n % 3 == 2
        horizon = ub if minimise else lb + (ub - lb) * (2 if n % 3 else 1) // 3
        es, ls = windows(durations, succ, order, horizon)
        for name, encode in (("order", order_encoding), ("direct", direct_encoding)):
            opb, objective = encode(durations, succ, usages, caps, es, ls, horizon, minimise)
            kind = "opt" if minimise else "dec"
            path = WORK / f"{name}-{kind}-{p.name}.opb"
            opb.write(path, f"MMLIB50 {p.name} first modes, {name} encoding, horizon {horizon} "
                            f"(critical path {lb}, serial schedule {ub})", objective)
            out.append(path)
    return out


# ----------------------------------------------------------------------------- measuring
def child_cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run(command: list[str], timeout: float) -> tuple[subprocess.CompletedProcess, float]:
    before = child_cpu()
    done = subprocess.run(command, capture_output=True, timeout=timeout)
    return done, child_cpu() - before


SOLVE = r"""
import sys, time
from pysat.formula import CNF
from pysat.solvers import Solver
cnf = CNF(from_file=sys.argv[1])
with Solver(name="cadical195", bootstrap_with=cnf.clauses) as s:
    start = time.process_time()
    r = s.solve()
    print("SAT" if r else "UNSAT", time.process_time() - start)
"""


def measure_one(python: str, path: Path, detect: bool, time_limit: float) -> dict:
    cnf = WORK / (path.stem + (".cnf" if detect else ".nodetect.cnf"))
    command = [python, "-m", "corvane", "stats", "--json", str(path)] + ([] if detect else ["--no-detect"])
    done, _ = run(command, 600)
    stats = json.loads(done.stdout)
    command = [python, "-m", "corvane", "encode", "-q", "--no-comments", str(path), "-o", str(cnf)]
    done, encode_cpu = run(command + ([] if detect else ["--no-detect"]), 600)
    with open(cnf) as f:
        header = next(line for line in f if line.startswith("p "))
        literals = sum(len(line.split()) - 1 for line in f)
    _, _, nvars, nclauses = header.split()
    try:  # a wall-clock limit: the solve is one call that cannot be interrupted from Python
        solved, _ = run([python, "-c", SOLVE, str(cnf)], time_limit)
        status, seconds = solved.stdout.decode().split()
    except subprocess.TimeoutExpired:
        status, seconds = "UNKNOWN", str(time_limit)
    cnf.unlink()
    kinds = stats["kinds"]
    return {
        "vars": int(nvars), "clauses": int(nclauses), "literals": literals, "encode_cpu": encode_cpu,
        "status": status, "solve_cpu": float(seconds),
        "groups": {kind: {src: kinds[kind][src]["groups"] for src in ("stated", "implied", "complemented")}
                   for kind in ("cardinality", "pb", "objective") if "stated" in kinds[kind]},
        "pb_rows": kinds["pb"]["rows"] + kinds["cardinality"]["rows"],
    }


def cmd_measure(args) -> None:
    files = sorted(WORK.glob("*.opb")) or generate()
    saved = json.loads(RESULTS.read_text()) if args.reuse and RESULTS.exists() else {}
    results = {}
    for path in files:
        row = {"detect": measure_one(sys.executable, path, True, args.time_limit)}
        for column, python, detect in (("no-detect", sys.executable, False), ("base", args.base, True)):
            if column in saved.get(path.stem, {}):
                row[column] = saved[path.stem][column]
            elif python:
                row[column] = measure_one(python, path, detect, args.time_limit)
        results[path.stem] = row
        print(path.stem, json.dumps(row), flush=True)
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(json.dumps(results, indent=1, sort_keys=True))
    print(report())


def report() -> str:
    results = json.loads(RESULTS.read_text())
    columns = [c for c in ("no-detect", "base", "detect") if any(c in r for r in results.values())]
    lines = ["| instance | PB rows | groups stated / implied / complemented | "
             + " | ".join(f"{c}: literals, solve s" for c in columns) + " |",
             "|---|---|---|" + "---|" * len(columns)]
    for name, r in sorted(results.items()):
        g = r["detect"]["groups"]
        found = [sum(g[k][s] for k in g if k != "objective") for s in ("stated", "implied", "complemented")]
        cells = []
        for c in columns:
            m = r[c]
            solve = f"{m['solve_cpu']:.1f}" if m["status"] != "UNKNOWN" else "-"
            cells.append(f"{m['literals']:,}, {solve} {m['status'][:3]}")
        lines.append(f"| {name} | {r['detect']['pb_rows']} | {' / '.join(map(str, found))} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("generate")
    m = sub.add_parser("measure")
    m.add_argument("--base", help="the Python of another corvane build to compare with")
    m.add_argument("--time-limit", type=float, default=20.0)
    m.add_argument("--reuse", action="store_true", help="keep the saved no-detect and base columns")
    sub.add_parser("report")
    args = parser.parse_args()
    if args.command == "generate":
        for path in generate():
            print(path)
    elif args.command == "measure":
        cmd_measure(args)
    else:
        print(report())


if __name__ == "__main__":
    main()
