"""Turns the raw results of run.py into bench/README.md and the PNG plots."""
from __future__ import annotations

import math
import statistics
from collections import defaultdict
from pathlib import Path

OURS = ["mdd", "gswc", "ggpw", "gmto", "rggt"]
# The targets of the speed work: throughput against the fastest baseline, encode_leq against the
# rebuild of its lists, peak memory against the returned objects.
# Sections appended to bench/README.md by hand or by other scripts go after this line, which a
# regenerated report keeps, together with everything after it.
APPENDED_MARKER = "<!-- Sections below are not generated: bench/report.py keeps them when it rewrites the report. -->"
THROUGHPUT_TARGET = 3.0
BOUNDARY_TARGET = 1.5
MEMORY_TARGET = 1.5
LARGE_LITS = 10_000  # outputs below this many literals are dominated by the call overhead


def is_ours(name: str) -> bool:
    return name in OURS


def fmt(x, digits=2) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "–"
    if isinstance(x, int):
        return f"{x:,}"
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    if abs(x) >= 100:
        return f"{x:.0f}"
    return f"{x:.{digits}f}"


def gmean(xs):
    xs = [x for x in xs if x and x > 0]
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else float("nan")


def quant(xs, q):
    xs = sorted(xs)
    if not xs:
        return float("nan")
    return xs[min(len(xs) - 1, int(q * (len(xs) - 1) + 0.5))]


def table(head, rows) -> str:
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def by_case(rows):
    cases = defaultdict(dict)
    for r in rows:
        cases[(r["family"], r["case"])][r["encoder"]] = r
    return cases


def ok(r):
    return r is not None and r.get("status") == "ok"


def total_clauses(r):  # the encoding plus the pairwise AMO clauses, the same for every encoder
    return r["clauses"] + r.get("amo_pairs", 0)


def size_target(cases, fams):
    lines = []
    stats = []
    for (fam, case), encs in cases.items():
        if fam not in fams:
            continue
        o = [r for n, r in encs.items() if is_ours(n) and ok(r)]
        b = [r for n, r in encs.items() if not is_ours(n) and ok(r)]
        if not o or not b:
            continue
        ov, oc = min(r["vars"] for r in o), min(total_clauses(r) for r in o)
        bv, bc = min(r["vars"] for r in b), min(total_clauses(r) for r in b)
        best_o = min(o, key=lambda r: (total_clauses(r), r["vars"]))["encoder"]
        best_b = min(b, key=lambda r: (total_clauses(r), r["vars"]))["encoder"]
        stats.append(dict(fam=fam, case=case, ov=ov, oc=oc, bv=bv, bc=bc, best_o=best_o, best_b=best_b,
                          enc_o=min(r["clauses"] for r in o), enc_b=min(r["clauses"] for r in b)))
    rows = []
    for fam in fams:
        s = [x for x in stats if x["fam"] == fam]
        if not s:
            continue
        both = sum(1 for x in s if x["ov"] < x["bv"] and x["oc"] < x["bc"])
        vr = [x["ov"] / x["bv"] if x["bv"] else (1.0 if x["ov"] == 0 else float("inf")) for x in s]
        cr = [x["oc"] / x["bc"] for x in s if x["bc"]]
        er = [x["enc_o"] / x["enc_b"] for x in s if x["enc_b"]]
        wins_o = defaultdict(int)
        wins_b = defaultdict(int)
        for x in s:
            wins_o[x["best_o"]] += 1
            wins_b[x["best_b"]] += 1
        rows.append([fam, len(s), f"{both}/{len(s)}",
                     sum(1 for x in s if x["ov"] < x["bv"]), sum(1 for x in s if x["oc"] < x["bc"]),
                     fmt(gmean(vr)), fmt(max(vr)), fmt(gmean(cr)), fmt(max(cr)), fmt(gmean(er)),
                     ", ".join(f"{k} {v}" for k, v in sorted(wins_o.items(), key=lambda kv: -kv[1])),
                     ", ".join(f"{k} {v}" for k, v in sorted(wins_b.items(), key=lambda kv: -kv[1])[:3])])
    lines.append(table(["family", "constraints", "ours smaller in both", "fewer vars", "fewer clauses",
                        "vars ratio (geo-mean)", "vars ratio (worst)", "clauses ratio (geo-mean)",
                        "clauses ratio (worst)", "clauses ratio without AMO pairs",
                        "smallest of ours", "smallest baseline"], rows))
    return "\n".join(lines), stats


def ratio_rows(cases, fn, names, min_lits=0):
    out = {}
    for n in names:
        xs = []
        for (fam, case), encs in cases.items():
            r = encs.get(n)
            if not ok(r) or r["lits"] < min_lits:
                continue
            v = fn(r, encs)
            if v is not None:
                xs.append(v)
        out[n] = xs
    return out


def boundary(r, encs):
    if not r.get("t_rebuild"):
        return None
    return r["t_enc"] / r["t_rebuild"]


def throughput(r, encs):
    base = [b["clauses"] / b["t_enc"] for n, b in encs.items() if not is_ours(n) and ok(b) and b["t_enc"] > 0
            and b["clauses"] > 0]
    if not base or r["t_enc"] <= 0 or r["clauses"] == 0:
        return None
    return (r["clauses"] / r["t_enc"]) / max(base)


def memory(r, encs):
    if r.get("peak_kib") is None or not r.get("pyobj_bytes"):
        return None
    return r["peak_kib"] * 1024 / r["pyobj_bytes"]


def summary_table(data, label, target, better):
    rows = []
    for n, xs in data.items():
        if not xs:
            rows.append([n, 0, "–", "–", "–", "–", "–"])
            continue
        met = sum(1 for x in xs if better(x, target))
        rows.append([n, len(xs), fmt(statistics.median(xs)), fmt(quant(xs, 0.1)), fmt(quant(xs, 0.9)),
                     fmt(min(xs)) + " / " + fmt(max(xs)), f"{met}/{len(xs)}"])
    return table(["encoder", "constraints", f"median {label}", "10th pct", "90th pct", "min / max",
                  "meeting the target"], rows)


def slope(points):
    pts = [(math.log(c), math.log(t)) for c, t in points if c > 0 and t > 0]
    if len(pts) < 3:
        return float("nan")
    mx = sum(p[0] for p in pts) / len(pts)
    my = sum(p[1] for p in pts) / len(pts)
    sxx = sum((p[0] - mx) ** 2 for p in pts)
    return sum((p[0] - mx) * (p[1] - my) for p in pts) / sxx if sxx else float("nan")


def plots(data, out: Path, size_stats):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker  # noqa: F401
    rows = [r for r in data["encode"] if r["family"] == "random" and ok(r)]
    weights = sorted({r["wmax"] for r in rows})
    bfrac = 0.5 if any(r["bound_frac"] == 0.5 for r in rows) else (rows[0]["bound_frac"] if rows else 0.5)
    names = [n for n in data["ours"]["ok"]] + [n for n in data["baselines"]["ok"]]
    colors = {}
    ours_cmap, base_cmap = plt.get_cmap("tab10"), plt.get_cmap("tab20b")
    for i, n in enumerate(x for x in names if is_ours(x)):
        colors[n] = ours_cmap(OURS.index(n) if n in OURS else i)
    for i, n in enumerate(x for x in names if not is_ours(x)):
        colors[n] = base_cmap((i * 3) % 20)
    files = []
    if rows and weights:
        fig, axes = plt.subplots(2, len(weights), figsize=(4.2 * len(weights), 7), squeeze=False)
        for j, w in enumerate(weights):
            for n in names:
                pts = sorted((r["n"], r["clauses"] + r["amo_pairs"], r["t_enc"]) for r in rows
                             if r["encoder"] == n and r["wmax"] == w and r["bound_frac"] == bfrac)
                if not pts:
                    continue
                style = dict(color=colors[n], marker="o" if is_ours(n) else "x",
                             linestyle="-" if is_ours(n) else ":", linewidth=2 if is_ours(n) else 1,
                             markersize=4, label=n)
                axes[0][j].plot([p[0] for p in pts], [p[1] for p in pts], **style)
                axes[1][j].plot([p[0] for p in pts], [p[2] for p in pts], **style)
            axes[0][j].set_title(f"random PB(AMO), weights <= {w:.0e}, bound {int(bfrac * 100)}%", fontsize=9)
            axes[1][j].set_xlabel("literals in the constraint")
            for i in range(2):
                axes[i][j].set_xscale("log")
                axes[i][j].set_yscale("log")
                axes[i][j].grid(True, which="major", alpha=0.3)
        axes[0][0].set_ylabel("clauses (with AMO pairs)")
        axes[1][0].set_ylabel("encode time [s]")
        handles, labels = axes[0][0].get_legend_handles_labels()
        for ax in axes.flat:
            for h, l in zip(*ax.get_legend_handles_labels()):
                if l not in labels:
                    handles.append(h)
                    labels.append(l)
        fig.legend(handles, labels, loc="lower center", ncol=9, fontsize=7, frameon=False)
        fig.tight_layout(rect=(0, 0.06, 1, 1))
        p = out / "scaling.png"
        fig.savefig(p, dpi=72)
        plt.close(fig)
        files.append(p.name)
    if size_stats:
        fig, axes = plt.subplots(1, 2, figsize=(9, 4))
        for ax, key, label in ((axes[0], ("oc", "bc"), "clauses"), (axes[1], ("ov", "bv"), "variables")):
            for fam, mk in (("mmlib", "o"), ("auctions", "s")):
                s = [x for x in size_stats if x["fam"] == fam]
                if s:
                    ax.scatter([x[key[1]] for x in s], [x[key[0]] for x in s], s=10, marker=mk, label=fam,
                               alpha=0.6)
            lo = max(1, min(min(x[key[0]], x[key[1]]) for x in size_stats))
            hi = max(max(x[key[0]], x[key[1]]) for x in size_stats)
            ax.plot([lo, hi], [lo, hi], "k--", linewidth=0.8, label="equal")
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
            ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
            ax.set_xlabel(f"smallest baseline, {label}")
            ax.set_ylabel(f"smallest of ours, {label}")
            ax.legend(fontsize=7)
            ax.grid(True, alpha=0.3)
        fig.tight_layout()
        p = out / "size_vs_baselines.png"
        fig.savefig(p, dpi=72)
        plt.close(fig)
        files.append(p.name)
    return files


def solve_table(data):
    rows = []
    fams = sorted({r["family"] for r in data["solve"]})
    head = ["encoder"]
    for fam in fams:
        head += [f"{fam}: solved", f"{fam}: median time [s]", f"{fam}: mean clauses added"]
    names = data["ours"]["ok"] + data["baselines"]["ok"]
    wrong = []
    for n in names:
        row = [n]
        for fam in fams:
            rs = [r for r in data["solve"] if r["family"] == fam and r["encoder"] == n]
            solved = [r for r in rs if r.get("answer") in ("SAT", "UNSAT")]
            times = [r["t_enc"] + r["t_solve"] for r in solved]
            cls = [r["clauses"] + r.get("amo_pairs", 0) for r in rs if "clauses" in r]
            row += [f"{len(solved)}/{len(rs)}", fmt(statistics.median(times)) if times else "–",
                    fmt(statistics.mean(cls)) if cls else "–"]
            wrong += [(fam, r["case"], n) for r in rs if r.get("model_ok") is False]
        rows.append(row)
    # disagreement: a SAT and an UNSAT answer on the same problem
    answers = defaultdict(set)
    for r in data["solve"]:
        if r.get("answer") in ("SAT", "UNSAT"):
            answers[(r["family"], r["case"])].add(r["answer"])
    clash = [k for k, v in answers.items() if len(v) > 1]
    text = table(head, rows)
    per = defaultdict(lambda: defaultdict(int))
    for r in data["solve"]:
        per[(r["family"], r["case"])][r.get("answer", r["status"])] += 1
    text += "\n\nAnswers per problem (over all encoders): " + "; ".join(
        f"{c} " + "/".join(f"{k} {v}" for k, v in sorted(d.items())) for (f, c), d in sorted(per.items()))
    if wrong:
        text += "\n\n**Models violating a PB constraint:** " + ", ".join(f"{n} on {c}" for f, c, n in wrong)
    if clash:
        text += "\n\n**SAT and UNSAT answers on the same problem:** " + ", ".join(c for f, c in clash)
    return text


def write(data, out: Path):
    out.mkdir(parents=True, exist_ok=True)
    cases = by_case(data["encode"])
    ours = data["ours"]["ok"]
    m = data["machine"]
    md = []
    md.append("# corvane benchmarks\n")
    md.append("Generated by `bench/run.py`; do not edit by hand. Encoders under test: our five AMO-aware "
              "encoders (`_corvane.encode_leq`) and the pseudo-Boolean encoders of PBLib (through "
              "`pypblib`) and pindakaas, which get the same constraints without group structure.\n")
    md.append("## How to run\n")
    md.append("```sh\npip install -r bench/requirements.txt\n"
              "cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench\n"
              "export CORVANE_MMLIB50=/path/to/mmlib50  # the MMLIB50 .mm files (or pass --mmlib DIR)\n"
              "PYTHONPATH=build-bench python bench/run.py          # full suite (see the duration below)\n"
              "PYTHONPATH=build-bench python bench/run.py --quick  # a few minutes\n"
              "PYTHONPATH=build-bench python bench/run.py --report-only [--quick]  # report from saved results\n```\n")
    md.append("With the package installed (`pip install .`) `PYTHONPATH` is not needed. Raw results go to "
              "`bench/results/` (not committed). The MMLIB50 files are read from the folder given by "
              "`--mmlib DIR` or `$CORVANE_MMLIB50`; the run stops with a message when neither is set.\n")
    md.append("## This run\n")
    md.append(f"- command: `PYTHONPATH=build-bench {data['command']}` ({data['mode']} mode), "
              f"took {data['seconds'] / 60:.1f} min; commit {m.get('commit', '')}")
    md.append(f"- machine: {m['cpu']}, {m['cores']} cores, {m['memory']}, {m['system']}, Python {m['python']}, "
              f"load average at the end {m.get('load', 0):.1f}")
    md.append("- packages: " + ", ".join(f"{k} {v}" for k, v in m["packages"].items()))
    md.append(f"- our encoders measured: {', '.join(ours) or 'none'}")
    md.append(f"- baselines: {', '.join(data['baselines']['ok'])}" +
              (f"; could not run: {data['baselines']['missing']}" if data["baselines"]["missing"] else ""))
    md.append("- limits: " + ", ".join(f"{k} {v}" for k, v in data["config"].items()
                                       if k in ("timeout", "predict_limit", "clause_limit", "solve_limit")) + "\n")
    md.append(METHOD)

    # targets
    md.append("## Targets\n")
    size_text, size_stats = size_target(cases, ["mmlib", "auctions"])
    md.append("### Size (families mmlib and auctions)\n")
    md.append("Per constraint, the smallest of our encodings against the smallest baseline encoding, "
              "variables and clauses separately (clauses include the AMO pairs, the same number for every "
              "encoder). Ratios are ours / baseline: below 1 means ours is smaller.\n")
    md.append(size_text + "\n")
    bnd_all = ratio_rows(cases, boundary, ours)
    bnd_big = ratio_rows(cases, boundary, ours, LARGE_LITS)
    md.append(f"### Python boundary: `encode_leq` time / `[list(c) for c in clauses]` time (target <= {BOUNDARY_TARGET} at the 90th percentile)\n")
    md.append(f"All measured constraints of every family, then only outputs of at least {LARGE_LITS:,} "
              "literals (smaller ones are dominated by the fixed cost of a call).\n")
    md.append(summary_table(bnd_all, "ratio", BOUNDARY_TARGET, lambda x, t: x <= t) + "\n")
    md.append(summary_table(bnd_big, "ratio (large)", BOUNDARY_TARGET, lambda x, t: x <= t) + "\n")
    md.append(f"### Throughput: clauses/s of ours / clauses/s of the fastest baseline on the same constraint (target: median >= {THROUGHPUT_TARGET} on the large outputs)\n")
    md.append("The fastest baseline is the one with the most clauses per second among those that finished "
              "on that constraint; its time includes building its input and returning Python lists, like ours.\n")
    md.append(summary_table(ratio_rows(cases, throughput, ours), "ratio", THROUGHPUT_TARGET, lambda x, t: x >= t) + "\n")
    md.append(summary_table(ratio_rows(cases, throughput, ours, LARGE_LITS), "ratio (large)", THROUGHPUT_TARGET,
                            lambda x, t: x >= t) + "\n")
    md.append(f"### Peak memory / size of the returned Python objects (target <= {MEMORY_TARGET})\n")
    md.append(f"Peak RSS growth of the measuring process during the first `encode_leq` call, over the bytes of "
              f"the returned lists and int objects; outputs of at least {LARGE_LITS * 10:,} literals.\n")
    md.append(summary_table(ratio_rows(cases, memory, ours, LARGE_LITS * 10), "ratio", MEMORY_TARGET,
                            lambda x, t: x <= t) + "\n")
    md.append(scaling_section(data) + "\n")
    md.append("## Solving (CaDiCaL 1.9.5 from python-sat, time limit "
              f"{data['config']['solve_limit']} s per problem)\n")
    md.append("MMLIB50 decision problems (makespan limit between the critical path and a greedy schedule) and "
              "procurement auctions (every item bought once, total price within a budget of 97% of a planted "
              "solution). Solved = SAT or UNSAT answered in time; the time is encoding plus solving. Every "
              "SAT model is checked against the PB constraints.\n")
    if data["solve"]:
        md.append(solve_table(data) + "\n")
    md.append(family_tables(data, cases) + "\n")
    files = plots(data, out, size_stats)
    md.append("## Plots\n")
    for f in files:
        md.append(f"![{f}]({f})\n")
    md.append(PROFILE_NOTE)
    readme = out / "README.md"
    text = "\n".join(md) + "\n"
    if readme.exists():
        old = readme.read_text()
        at = old.find(APPENDED_MARKER)
        if at >= 0:
            text += "\n" + old[at:]
    readme.write_text(text)


def scaling_section(data) -> str:
    ours = data["ours"]["ok"]
    rows = [r for r in data["encode"] if r["family"] == "random" and ok(r)]
    lines = ["### Scaling (random family)\n",
             "Slope of log(encode time) against log(clauses) over the constraints with at least 10,000 "
             "clauses (1 = linear), and the time per clause by output size.\n"]
    buckets = [(1e3, 1e4), (1e4, 1e5), (1e5, 1e6), (1e6, 1e7), (1e7, 1e9)]
    trs = []
    for n in ours + data["baselines"]["ok"]:
        rs = [r for r in rows if r["encoder"] == n]
        s = slope([(r["clauses"], r["t_enc"]) for r in rs if r["clauses"] >= 1e4])
        cells = []
        for lo, hi in buckets:
            xs = [r["t_enc"] / r["clauses"] * 1e9 for r in rs if lo <= r["clauses"] < hi]
            cells.append(fmt(statistics.median(xs), 0) if xs else "–")
        trs.append([n, fmt(s)] + cells)
    lines.append(table(["encoder", "slope"] + [f"ns/clause, {lo:.0e}..{hi:.0e} clauses" for lo, hi in buckets],
                       trs))
    if "rggt" in ours:
        rg = [r for r in rows if r["encoder"] == "rggt"]
        lines.append("\nRGGT against G^2 log2 G (G groups), the bound of its tree shaping: encode time per "
                     "random series (ms), the slope of log(time) against log(G) from G = 100 up (G^2 log G "
                     "gives about 2.1 to 2.3 over these sizes), and time / (G^2 log2 G) at the largest G "
                     "that finished. Time grows with the value ranges too, so the series with weights up "
                     "to 10 are the cleanest view of the shaping.\n")
        Gs = sorted({r["groups"] for r in rg})
        g_rows = []
        for w in sorted({r["wmax"] for r in rg}):
            for b in sorted({r["bound_frac"] for r in rg}):
                ser = {r["groups"]: r["t_enc"] for r in rg if r["wmax"] == w and r["bound_frac"] == b}
                if not ser:
                    continue
                pts = [(G, t) for G, t in sorted(ser.items()) if G >= 100]
                sl = slope(pts) if len(pts) >= 2 else float("nan")
                if len(pts) == 2:
                    (g1, t1), (g2, t2) = pts
                    sl = math.log(t2 / t1) / math.log(g2 / g1)
                gmax = max(ser)
                ref = gmax * gmax * max(1.0, math.log2(gmax))
                label = f"bound {int(b * 100)}%" if b else "bound 50 (fixed)"
                g_rows.append([f"w<={w:.0e}, {label}"] +
                              [fmt(ser[G] * 1e3, 3) if G in ser else "–" for G in Gs] +
                              [fmt(sl), fmt(ser[gmax] / ref * 1e9, 3)])
        lines.append(table(["series"] + [f"G={G}" for G in Gs] + ["slope vs G", "ns / (G^2 log2 G)"], g_rows))
        skipped = [r for r in data["encode"] if r["family"] == "random" and r["encoder"] == "rggt"
                   and r.get("status") != "ok"]
        if skipped:
            lines.append(f"\nRGGT did not finish or was skipped on {len(skipped)} random constraints "
                         f"(smallest such G: {min(r['groups'] for r in skipped)}).")
    return "\n".join(lines)


def family_tables(data, cases) -> str:
    names = data["ours"]["ok"] + data["baselines"]["ok"]
    out = ["## Per-family results\n",
           "Per family and encoder: constraints finished (of those attempted), skipped and failed; "
           "geometric means of variables (+1), clauses (with AMO pairs) and encode time over the constraints "
           "it finished (so encoders that finished different sets are not directly comparable there); and "
           "the geometric mean of the ratio to the smallest (fastest) finished encoding on the same "
           "constraint.\n"]
    for fam in ("mmlib", "auctions", "random"):
        fc = {k: v for k, v in cases.items() if k[0] == fam}
        if not fc:
            continue
        rows = []
        for n in names:
            done = [(encs, encs[n]) for encs in fc.values() if n in encs and ok(encs[n])]
            att = sum(1 for encs in fc.values() if n in encs)
            skipped = sum(1 for encs in fc.values() if n in encs and encs[n].get("status") == "skipped")
            fail = att - len(done) - skipped
            if not done:
                rows.append([n, f"0/{att}", skipped, fail, "–", "–", "–", "–", "–", "–"])
                continue
            vr, cr, tr = [], [], []
            for encs, r in done:
                okr = [x for x in encs.values() if ok(x)]
                vr.append((r["vars"] + 1) / (min(x["vars"] for x in okr) + 1))
                cr.append(total_clauses(r) / max(1, min(total_clauses(x) for x in okr)))
                tr.append(r["t_enc"] / max(1e-9, min(x["t_enc"] for x in okr)))
            rows.append([n, f"{len(done)}/{att}", skipped, fail,
                         fmt(gmean([r["vars"] + 1 for _, r in done]), 0),
                         fmt(gmean([total_clauses(r) for _, r in done]), 0),
                         fmt(gmean([r["t_enc"] * 1e3 for _, r in done]), 3),
                         fmt(gmean(vr)), fmt(gmean(cr)), fmt(gmean(tr))])
        out.append(f"### {fam}\n")
        out.append(table(["encoder", "finished", "skipped (too large)", "timeout/memout/error",
                          "vars (geo-mean)", "clauses (geo-mean)", "time [ms] (geo-mean)",
                          "vars / smallest", "clauses / smallest", "time / fastest"], rows) + "\n")
    errs = [r for r in data["encode"] if r.get("status") == "error"]
    if errs:
        out.append("Errors: " + "; ".join(sorted({f"{r['encoder']}: {r.get('error', '')[:120]}" for r in errs})) + "\n")
    return "\n".join(out)


METHOD = """## What is measured

- **Families.** *mmlib*: each of the 2 non-renewable resources of the MMLIB50 instances is one PB(AMO)
  constraint (one group per job: its modes of non-zero usage; bound = capacity), plus enlarged variants
  (k perturbed copies of an instance sharing k times the capacities). *auctions*: seeded procurement
  auctions, bids on bundles of 1 to 3 items, one group per item (the bids whose lowest item it is),
  bounded by a budget. *random*: G groups of 1 to 20 literals (uniform), weights uniform up to 10,
  10^4 or 10^12, bound 10, 50 or 90% of the capacity (the sum of the group maxima).
- **Per constraint and encoder**, in a forked child process: variables (new ids), clauses, literals,
  encode time (median of up to 7 runs; fewer for slow encodings), the time to rebuild the returned
  lists (`[list(c) for c in clauses]`), and the peak RSS growth during the first call
  (`/proc/self/clear_refs` resets the high-water mark). Ours are called with `emit_amo=False` and the
  baselines get the plain weighted sum; every encoder's clause count is then given the same number of
  pairwise AMO clauses.
- **Limits.** Each encoding runs under a wall-clock limit and a memory cap; pseudo-polynomial encodings
  whose estimated size (literals x bound, or x the distinct sums for decision diagrams) is beyond the
  clause limit, and sizes of a growing series that extrapolation from the smaller sizes (or an earlier
  timeout) predicts to be too large, are reported as *skipped (too large)* instead of run.
- **Baselines.** PBLib's BDD, sequential weight counter, sorting network, adder and binary merge through
  `pypblib` (the library behind PySAT's classic `PBEnc`), and pindakaas' decision diagram, sequential
  counter, sorting network, adder, totalizer, watchdog and mixed-radix encoders. PySAT 1.9's own
  `pysat.pb.PBEnc.leq` now delegates to pindakaas (its `bdd`, `seqcounter`, `sortnetwrk`, `adder`,
  `binmerge` map to pindakaas' decision diagram, sequential counter, sorting network, adder and
  watchdog with sorting networks) and adds only a Python wrapper, so it is covered by the pindakaas
  rows.
"""

PROFILE_NOTE = """## Profiling notes

See `bench/PROFILE.md` (callgrind on `bench/profile_driver.cpp`).
"""
