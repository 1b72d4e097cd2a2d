#!/usr/bin/env python3
"""Benchmark suite: corvane's five AMO-aware encoders against PBLib and pindakaas.

    PYTHONPATH=build-bench python bench/run.py --mmlib DIR [--quick] [--out bench]

DIR is the folder of the MMLIB50 ``.mm`` files (or set ``CORVANE_MMLIB50``);

runs every family, writes the raw results to ``bench/results/results-<mode>.json`` (not
committed) and regenerates ``bench/README.md`` and the plots ``bench/*.png``.
``--report-only`` rebuilds the report from the saved results. See bench/README.md.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import encoders  # noqa: E402
import families  # noqa: E402
import measure  # noqa: E402
import mm  # noqa: E402
from isolate import run_many  # noqa: E402

MMLIB_ENV = "CORVANE_MMLIB50"


def mmlib_files(option: str | None) -> list:
    """The MMLIB50 instance files, from --mmlib or $CORVANE_MMLIB50; exits with a clear message
    when neither names a folder holding .mm files."""
    folder = option or os.environ.get(MMLIB_ENV)
    if not folder:
        raise SystemExit(f"the MMLIB50 data folder is not set: pass --mmlib DIR or set {MMLIB_ENV}=DIR "
                         "(DIR holds the .mm files of MMLIB50)")
    files = sorted(Path(folder).glob("*.mm"))
    if not files:
        raise SystemExit(f"no MMLIB50 .mm files in {folder} (from "
                         f"{'--mmlib' if option else MMLIB_ENV})")
    return files

PSEUDO_POLY = {"gswc", "pblib:swc", "pkaas:seqcount"}  # about one clause per literal and unit of bound
DIAGRAMS = {"mdd", "pblib:bdd", "pkaas:dd"}  # states bounded by the distinct partial sums

CONFIG = {
    "quick": dict(
        mm_instances=6, mm_solve=2, mm_variants=[(0, 4)],
        auction_sizes=[25, 50, 100], auction_seeds=[1], auction_solve=[(20, 1), (40, 2)],
        random_sizes=[10, 100, 1000], random_weights=[10, 10**4, 10**12], random_bounds=[0.5],
        timeout=6.0, predict_limit=1.5, clause_limit=3e6, solve_limit=2.0, solve_encode_limit=10.0, jobs=2,
    ),
    # Trimmed to finish within an hour on 2 cores: more MMLIB50 instances and copies, auctions and random
    # constraints up to 400 items and 10,000 groups with every bound; the 800-item auctions and 100,000-group
    # random constraints are left out: they extend the scaling series of the sizes below them at many times the cost.
    "full": dict(
        mm_instances=20, mm_solve=4, mm_variants=[(0, 4), (0, 16), (60, 16)],
        auction_sizes=[25, 50, 100, 200, 400], auction_seeds=[1, 2],
        auction_solve=[(n, s) for n in (20, 40, 60) for s in (1, 2)],
        random_sizes=[10, 100, 1000, 10000], random_weights=[10, 10**4, 10**12],
        random_bounds=[0.1, 0.5, 0.9],
        timeout=10.0, predict_limit=3.0, clause_limit=1e7, solve_limit=3.0, solve_encode_limit=20.0, jobs=2,
    ),
}


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def max_var(leq) -> int:
    return max((abs(l) for l, _ in leq.wlits), default=0)


def estimate_clauses(name: str, leq) -> float | None:
    """A rough estimate of the output of the encoders whose size is pseudo-polynomial or
    exponential in the worst case (None for the others): used to skip hopeless runs."""
    cap = leq.capacity()
    span = float(min(leq.bound + 1, cap - leq.bound + 1))
    if name in PSEUDO_POLY:
        return leq.n_lits * float(min(leq.bound, cap) + 1)
    if name == "mdd":  # states per level: at most the span and the number of prefix choices
        est, prefix = 0.0, 1.0
        for g in leq.groups:
            est += len(g) * min(span, prefix)
            prefix = min(prefix * (len(g) + 1), 1e30)
        return est
    if name in DIAGRAMS:  # one level per literal
        return sum(min(span, 2.0 ** min(i, 100)) for i in range(leq.n_lits))
    if name == "pkaas:totalizer":  # the root merges two value sets
        return min(span, 2.0 ** min(leq.n_lits / 2, 100)) ** 2
    if name == "pkaas:sortnet":  # unary weights through a sorting network
        tot = float(sum(w for _, w in leq.wlits))
        return tot * math.log2(tot + 2) ** 2 / 4
    return None


class Series:
    """Skips, for one encoder, the sizes of a growing series that would not finish: after a
    timeout or memory-out, and when extrapolating the last two sizes predicts too much."""

    def __init__(self):
        self.dead: dict = {}
        self.hist: dict = {}

    def verdict(self, name, n, cfg):
        if name in self.dead:
            return f"skipped (too large): {self.dead[name]} at a smaller size"
        h = self.hist.get(name, [])
        if h:
            n2, t2, c2 = h[-1]
            e = 1.0
            if len(h) >= 2:
                n1, t1, _ = h[-2]
                if t1 > 2e-3 and t2 > t1 and n2 > n1:
                    e = max(1.0, math.log(t2 / t1) / math.log(n2 / n1))
            pred = t2 * (n / n2) ** e
            if pred > cfg["predict_limit"]:
                return f"skipped (too large): predicted {pred:.0f} s"
            if c2 * (n / n2) > 4 * cfg["clause_limit"]:
                return f"skipped (too large): predicted {c2 * n / n2:.1e} clauses"
        return None

    def record(self, name, n, res):
        if res["status"] in ("timeout", "memout", "crash"):
            self.dead[name] = res["status"]
        elif res["status"] == "ok":
            self.hist.setdefault(name, []).append((n, res["t_first"], res["clauses"]))


def encode_cases(cases, names, cfg, results, family):
    """cases: list of (case_id, params, leq, series_key or None), increasing size per series."""
    series: dict = {}
    for case_id, params, leq, skey in cases:
        top = max_var(leq)
        ser = series.setdefault(skey, Series()) if skey is not None else None
        row_base = dict(family=family, case=case_id, groups=leq.n_groups, n=leq.n_lits,
                        bound=leq.bound, capacity=leq.capacity(), amo_pairs=leq.amo_pair_count(),
                        **params)
        tasks = []
        for name in names:
            est = estimate_clauses(name, leq)
            reason = None
            if est is not None and est > cfg["clause_limit"]:
                reason = f"skipped (too large): about {est:.1e} clauses"
            elif ser is not None:
                reason = ser.verdict(name, leq.n_lits, cfg)
            if reason:
                results.append(dict(row_base, encoder=name, status="skipped", reason=reason))
                continue
            tasks.append((name, (lambda name=name: measure.encode_one(name, leq, top, budget=cfg["timeout"] / 2)),
                          cfg["timeout"]))
        for name, res in run_many(tasks, jobs=1, mem_cap_mib=cfg.get("mem_cap", 6144)):
            if ser is not None:
                ser.record(name, leq.n_lits, res)
            results.append(dict(row_base, encoder=name, **res))
        log(f"{family} {case_id}: G={leq.n_groups} n={leq.n_lits} done")


def solve_cases(models, names, cfg, results, family):
    tasks = []
    for model in models:
        for name in names:
            tasks.append(((model, name), (lambda name=name, model=model:
                                          measure.solve_model(name, model, cfg["solve_limit"])),
                          cfg["solve_limit"] + cfg["solve_encode_limit"]))
    for (model, name), res in run_many(tasks, jobs=cfg["jobs"]):
        if res["status"] == "timeout":
            res["answer"] = "UNKNOWN"
            res["note"] = "encoding and loading took the time"
        results.append(dict(family=family, case=model.name, encoder=name, pb_constraints=len(model.leqs),
                            base_vars=model.top, base_clauses=len(model.clauses), **model.info, **res))
        log(f"solve {family} {model.name} {name}: {res.get('answer', res['status'])} "
            f"{res.get('t_solve', float('nan')):.2f}s")


def machine() -> dict:
    cpu = platform.processor()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = ""
    try:
        mem = f"{int(open('/proc/meminfo').readline().split()[1]) / 2**20:.0f} GiB"
    except OSError:
        pass
    import importlib.metadata as md
    vers = {}
    for pkg in ("python-sat", "pypblib", "pindakaas", "matplotlib"):
        try:
            vers[pkg] = md.version(pkg)
        except md.PackageNotFoundError:
            vers[pkg] = "not installed"
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    return dict(cpu=cpu, cores=os.cpu_count(), memory=mem, python=platform.python_version(),
                system=f"{platform.system()} {platform.release()}", packages=vers, commit=commit,
                load=os.getloadavg()[0])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="a few minutes: smaller families, shorter limits")
    ap.add_argument("--report-only", action="store_true", help="rebuild the report from saved results")
    ap.add_argument("--out", default=str(HERE), help="where README.md and the plots go")
    ap.add_argument("--mmlib", default=None, metavar="DIR",
                    help=f"folder of the MMLIB50 .mm files (default: ${MMLIB_ENV})")
    ap.add_argument("--families", default="mmlib,auctions,random,solve",
                    help="comma-separated subset of mmlib,auctions,random,solve")
    args = ap.parse_args(argv)
    mode = "quick" if args.quick else "full"
    cfg = CONFIG[mode]
    res_dir = HERE / "results"
    res_dir.mkdir(exist_ok=True)
    res_path = res_dir / f"results-{mode}.json"
    import report
    if args.report_only:
        report.write(json.loads(res_path.read_text()), Path(args.out))
        return 0

    t_start = time.time()
    ours = {"ok": list(encoders.OURS)}
    base = encoders.available_baselines()
    names = ours["ok"] + base["ok"]
    log(f"mode {mode}; ours {ours['ok']}; baselines {base['ok']} (missing {base['missing']})")
    fams = set(args.families.split(","))
    rows: list = []
    solves: list = []
    files = mmlib_files(args.mmlib) if fams & {"mmlib", "solve"} else []
    step = max(1, len(files) // cfg["mm_instances"])
    mm_files = files[::step][:cfg["mm_instances"]]
    projects = [mm.read_mm(f) for f in files]

    if "mmlib" in fams:
        cases = []
        for f in mm_files:
            p = mm.read_mm(f)
            x, v = [], 0
            for ms in p.modes:
                x.append(list(range(v + 1, v + 1 + len(ms))))
                v += len(ms)
            for k, leq in enumerate(mm.nonrenewable_constraints(p, x)):
                cases.append((f"{p.name}/N{k + 1}", {"instance": p.name, "kind": "nonrenewable"}, leq, None))
        for base_i, copies in cfg["mm_variants"]:
            p = mm.enlarged(projects[base_i], copies, seed=copies)
            x, v = [], 0
            for ms in p.modes:
                x.append(list(range(v + 1, v + 1 + len(ms))))
                v += len(ms)
            for k, leq in enumerate(mm.nonrenewable_constraints(p, x)):
                cases.append((f"{p.name}/N{k + 1}", {"instance": p.name, "kind": "enlarged"}, leq,
                              f"var{base_i}-N{k}"))
        encode_cases(cases, names, cfg, rows, "mmlib")

    def save(final=False):
        data = dict(mode=mode, command=" ".join(["python bench/run.py"] + (["--quick"] if args.quick else [])),
                    machine=machine(), ours=ours, baselines=base, config=cfg,
                    seconds=time.time() - t_start, encode=rows, solve=solves, complete=final)
        res_path.write_text(json.dumps(data, default=str))
        return data

    save()
    if "auctions" in fams:
        cases = []
        for seed in cfg["auction_seeds"]:
            for n in cfg["auction_sizes"]:
                leq, _ = families.auction(n, seed)
                cases.append((f"auc{n}-s{seed}", {"items": n}, leq, f"auc-s{seed}"))
        encode_cases(cases, names, cfg, rows, "auctions")
        save()

    if "random" in fams:
        cases = []
        for wmax in cfg["random_weights"]:
            for frac in cfg["random_bounds"]:
                for G in cfg["random_sizes"]:
                    leq = families.random_leq(G, wmax, frac, seed=G * 7 + int(frac * 100))
                    cases.append((f"G{G}-w{wmax:.0e}-b{int(frac * 100)}",
                                  {"wmax": wmax, "bound_frac": frac}, leq, f"w{wmax}-b{frac}"))
        # a fixed small bound: value ranges stay small, so the growth in G shows the tree shaping
        for G in cfg["random_sizes"]:
            leq = families.random_leq(G, 10, 0.0, seed=G * 7 + 1)
            leq.bound = 50
            cases.append((f"G{G}-w1e+01-K50", {"wmax": 10, "bound_frac": 0.0, "bound_abs": 50}, leq, "K50"))
        encode_cases(cases, names, cfg, rows, "random")
        save()

    if "solve" in fams:
        step = max(1, len(files) // cfg["mm_solve"])
        models = []
        for f in files[step // 2::step][:cfg["mm_solve"]]:
            p = mm.read_mm(f)
            models.append(mm.time_indexed_model(p, mm.decision_horizon(p)))
        solve_cases(models, names, cfg, solves, "mmlib")
        save()
        models = [families.auction(n, s)[1] for n, s in cfg["auction_solve"]]
        solve_cases(models, names, cfg, solves, "auctions")

    data = save(final=True)
    log(f"results in {res_path}; {time.time() - t_start:.0f} s")
    report.write(data, Path(args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
