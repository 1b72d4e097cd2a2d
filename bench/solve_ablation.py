#!/usr/bin/env python3
"""The measurements behind the choices of ``corvane.search``: each variant of the search on each
problem, one process at a time, with CPU time (user + system of the child) beside the wall clock.

    python bench/solve_ablation.py [--time-limit 10] [--only PREFIXES] VARIANT...

A variant is ``name=key:value,key:value`` over the keyword arguments of ``corvane.search.search``
(``use_lp``, ``encoding`` of the objective bound, ``reencode_below``, ``bisect``, ``rc_rows``), for
example ``base=`` ``nolp=use_lp:0`` ``mdd=encoding:mdd`` ``fresh=reencode_below:1.01``. The
problems are those of ``opb_bench.make_problems`` (generated into ``bench/opb_work``); the
results go to ``bench/results/solve-ablation.json`` and a table to standard output.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def parse_variant(text: str) -> tuple[str, dict]:
    name, _, settings = text.partition("=")
    kwargs: dict = {}
    for item in filter(None, settings.split(",")):
        key, _, value = item.partition(":")
        kwargs[key] = value if key == "encoding" else float(value) if "." in value else int(value)
    return name, kwargs


def child(path: str, kwargs: dict, time_limit: float) -> None:
    import _corvane
    from corvane.command.solve import _rows
    from corvane.search import Objective, search

    fd = os.open(path, os.O_RDONLY)
    try:
        handle, clauses, info = _corvane.opb_load(fd, path)
    finally:
        os.close(fd)
    rows, groups = _rows(handle)
    objective = Objective(info["objective_terms"], groups, info["objective_offset"]) if info["has_objective"] else None
    for key in ("use_lp", "bisect", "rc_rows", "lp_phases"):
        if key in kwargs:
            kwargs[key] = bool(kwargs[key])
    r = search(clauses, info["num_vars"], objective, rows=rows, num_vars=info["input_vars"], time_limit=time_limit,
               cover=lambda lits: _corvane.opb_cover(handle, lits), **kwargs)
    print(json.dumps({"status": r.status, "value": r.value, "lower_bound": r.lower_bound, "seconds": r.seconds}))


def run(path: Path, kwargs: dict, time_limit: float) -> dict:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.monotonic()
    try:
        p = subprocess.run([sys.executable, __file__, "_child", str(path), json.dumps(kwargs), str(time_limit)],
                           capture_output=True, text=True, timeout=time_limit + 60)
        out = json.loads(p.stdout.strip().splitlines()[-1]) if p.returncode == 0 else \
            {"status": "ERROR", "error": p.stderr[-300:]}
    except subprocess.TimeoutExpired:
        out = {"status": "TIMEOUT"}
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    out["wall"] = round(time.monotonic() - t, 3)
    out["cpu"] = round(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, 3)
    return out


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "_child":
        child(sys.argv[2], json.loads(sys.argv[3]), float(sys.argv[4]))
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--time-limit", type=float, default=10)
    ap.add_argument("--only", default="", help="comma-separated name prefixes")
    ap.add_argument("variants", nargs="+")
    args = ap.parse_args()
    import opb_bench
    variants = [parse_variant(v) for v in args.variants]
    prefixes = tuple(args.only.split(",")) if args.only else ("",)
    problems = [p for p in opb_bench.make_problems() if p.name.startswith(prefixes)]
    results: dict = {}
    for path in problems:
        results[path.name] = {name: run(path, kw, args.time_limit) for name, kw in variants}
        print(path.name, {n: (r["status"], r.get("value"), r["cpu"]) for n, r in results[path.name].items()},
              flush=True)
    out = HERE / "results" / "solve-ablation.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps({"time_limit": args.time_limit, "variants": args.variants, "results": results},
                              indent=1))
    print("| variant | solved | CPU seconds over all problems |\n|---|---:|---:|")
    for name, _ in variants:
        rs = [results[p][name] for p in results]
        done = sum(r["status"] in ("OPTIMUM", "UNSATISFIABLE") or (r["status"] == "SATISFIABLE" and r.get(
            "lower_bound") is None) for r in rs)
        print(f"| {name} | {done}/{len(rs)} | {sum(r['cpu'] for r in rs):.1f} |")


if __name__ == "__main__":
    main()
