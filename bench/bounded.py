#!/usr/bin/env python3
"""Bounded work of the single-encoder entry points on constraints whose encodings pass the budget.

    python bench/bounded.py [--limit-mb 1024] [--timeout 60]

The inputs are G groups of 2 literals with weights uniform in 1..10^6 (seed 1) and a bound of 30% of
the sum of the group maxima. Each (input, entry point, budget) runs in a child process under an
address-space limit (RLIMIT_AS) and a time limit; the child reports its CPU seconds and peak resident
memory, and the outcome: answered (with the encoding's literals), too large (EncodingTooLarge), an
EncoderLimit with its message, or the error it met.
Then the same for tiny OPB files with huge variable numbers, through `corvane encode`, `stats` and
`solve`. Prints the Markdown tables of bench/README.md's section "Bounded work".
"""
from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys

CHILD = r"""
import json, random, resource, sys, time
import _corvane
what, groups, budget = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(1)
wlits, grps, v, total = [], [], 0, 0
for _ in range(groups):
    g, m = [], 0
    for _ in range(2):
        v += 1
        w = rng.randint(1, 10**6)
        wlits.append((v, w)); g.append(v); m = max(m, w)
    grps.append(g); total += m
bound = int(0.3 * total)
start = time.process_time()
try:
    if what == "sizes":
        r = _corvane.sizes(wlits, grps, bound, max_literals=budget)
        out = "answered: " + ", ".join(f"{k} {'-' if s is None else s[2]}" for k, s in r.items())
    elif what == "choose":
        out = "answered: " + _corvane.choose(wlits, grps, bound, max_literals=budget)
    elif what.startswith("encode "):
        clauses, _ = _corvane.encode(wlits, grps, bound, encoder=what.split()[1], max_literals=budget)
        out = f"answered: {sum(map(len, clauses))} literals"
    elif what.startswith("encode_leq "):
        clauses, _ = _corvane.encode_leq(wlits, grps, bound, v, what.split()[1], False)
        out = f"answered: {sum(map(len, clauses))} literals"
    elif what.startswith("PBEnc "):
        import corvane
        cnf = corvane.PBEnc.atmost([l for l, _ in wlits], [w for _, w in wlits], bound, groups=grps,
                                   encoding=what.split()[1], max_literals=budget)
        out = f"answered: {sum(map(len, cnf.clauses))} literals"
    else:
        buf, _ = _corvane.encode_flat(wlits, grps, bound, encoder=what, max_literals=budget)
        out = f"answered: {len(memoryview(buf)) } entries"
except _corvane.EncodingTooLarge:
    out = "too large"
except _corvane.EncoderLimit as e:
    out = f"{type(e).__name__}: {str(e).removeprefix('quillet: ')}"
except MemoryError:
    out = "MemoryError"
except RuntimeError as e:  # encode_leq's plain errors
    out = "RuntimeError: " + str(e).removeprefix("quillet: ")[:60]
seconds = time.process_time() - start
print(json.dumps({"seconds": seconds, "mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024, "outcome": out}))
"""


def run(what: str, groups: int, budget: int, limit_mb: int, timeout: float) -> dict[str, object]:
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit_mb << 20, limit_mb << 20))

    try:
        r = subprocess.run([sys.executable, "-c", CHILD, what, str(groups), str(budget)], capture_output=True,
                           text=True, timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return {"seconds": timeout, "mb": None, "outcome": f"no answer within {timeout:g} s"}
    if r.returncode != 0:
        tail = (r.stderr.strip().splitlines() or [f"exit {r.returncode}"])[-1]
        return {"seconds": None, "mb": None, "outcome": f"died: {tail[:80]}"}
    result: dict[str, object] = json.loads(r.stdout)
    return result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--limit-mb", type=int, default=1024)
    ap.add_argument("--timeout", type=float, default=60)
    args = ap.parse_args()
    print(f"| input | entry point | budget | CPU s | peak MB | outcome |")
    print("|---|---|---|---|---|---|")
    for groups in (100, 1000):
        for budget in (2**30, 2**26):
            for what in ("mdd", "gswc", "ggpw", "gmto", "rggt", "sizes", "choose"):
                r = run(what, groups, budget, args.limit_mb, args.timeout)
                secs = "-" if r["seconds"] is None else f"{r['seconds']:.2f}"
                mb = "-" if r["mb"] is None else str(r["mb"])
                entry = what if what in ("sizes", "choose") else f"encode_flat {what}"
                print(f"| {groups} groups | {entry} | 2^{budget.bit_length() - 1} | {secs} | {mb} | {r['outcome']} |",
                      flush=True)
        if groups == 100:
            for what in ("encode mdd", "encode rggt", "encode auto", "encode_leq mdd", "encode_leq rggt",
                         "PBEnc auto", "PBEnc rggt"):
                budget = 2**30 if what.startswith("encode_leq") else 2**26
                r = run(what, groups, budget, args.limit_mb, args.timeout)
                secs = "-" if r["seconds"] is None else f"{r['seconds']:.2f}"
                mb = "-" if r["mb"] is None else str(r["mb"])
                print(f"| {groups} groups | {what} | 2^{budget.bit_length() - 1} | {secs} | {mb} | {r['outcome']} |",
                      flush=True)
    print()
    files_table(args.limit_mb, args.timeout)
    return 0


# Tiny OPB files whose numbers are huge: memory must follow what occurs, not the numbers.
FILES = {
    "`+1 x268435456 >= 1 ;` (21 bytes)": "+1 x268435456 >= 1 ;\n",
    "`+1 x100000000 +1 x5 >= 1 ;` (27 bytes)": "+1 x100000000 +1 x5 >= 1 ;\n",
    "`* #variable= 100000000` header (57 bytes)": "* #variable= 100000000 #constraint= 1\n+1 x1 +1 x2 >= 1 ;\n",
}


# Runs the command in this process and reports (exit status, peak MB, CPU seconds) of it and its
# children (solve's search process) as the last line of standard error.
WRAPPER = r"""
import json, resource, sys
from corvane.command.cli import main
status = main(sys.argv[1:])
me, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
sys.stdout.flush()
sys.stderr.write("\n" + json.dumps([status, max(me.ru_maxrss, kids.ru_maxrss) // 1024,
                                    me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime]) + "\n")
"""


def files_table(limit_mb: int, timeout: float) -> None:
    import os
    import tempfile

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit_mb << 20, limit_mb << 20))

    print("| input | command | seconds | peak MB | outcome |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for label, text in FILES.items():
            path = os.path.join(folder, "tiny.opb")
            with open(path, "w") as out:
                out.write(text)
            for command in ("encode", "stats", "solve"):
                try:
                    r = subprocess.run([sys.executable, "-c", WRAPPER, command, path], capture_output=True,
                                       text=True, timeout=timeout, preexec_fn=limit)
                except subprocess.TimeoutExpired:
                    print(f"| {label} | corvane {command} | - | - | no answer within {timeout:g} s |", flush=True)
                    continue
                lines = r.stderr.strip().splitlines()
                try:
                    status, mb, seconds = json.loads(lines[-1])
                except (IndexError, ValueError):
                    print(f"| {label} | corvane {command} | - | - | died: {(lines or [''])[-1][:60]} |", flush=True)
                    continue
                outcome = f"exit {status}"
                answer = [line for line in r.stdout.splitlines() if line.startswith("s ")]
                if answer:
                    outcome += f", {answer[0]}"
                if status != 0 and len(lines) > 1:
                    outcome += ": " + lines[-2][:60]
                print(f"| {label} | corvane {command} | {seconds:.2f} | {mb} | {outcome} |", flush=True)

if __name__ == "__main__":
    sys.exit(main())
