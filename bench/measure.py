"""What runs inside a measuring child: one encoding, a group of encodings, or a solve."""
from __future__ import annotations

import gc
import os
import signal
import statistics
import sys
import time

import encoders
from isolate import hwm_kib, reset_peak, rss_kib


def _reps(first: float) -> int:
    if first < 0.002:
        return 7
    if first < 0.02:
        return 5
    if first < 0.5:
        return 3
    if first < 2.0:
        return 2
    return 1


def pyobj_bytes(clauses) -> tuple:
    """Bytes held by the returned Python objects: the outer list, the clause lists and the int
    objects (each distinct non-cached int once). Exact (by object identity) up to 3M literals,
    estimated as one int per occurrence above."""
    total = sys.getsizeof(clauses) + sum(sys.getsizeof(c) for c in clauses)
    n_lits = sum(len(c) for c in clauses)
    if n_lits <= 3_000_000:
        seen = set()
        for c in clauses:
            for x in c:
                if not -5 <= x <= 256:
                    seen.add(id(x))
        return total + 28 * len(seen), len(seen), True
    return total + 28 * n_lits, n_lits, False


def encode_one(name: str, leq, top: int, timing: bool = True, budget: float = 10.0) -> dict:
    """Size, encode time (median), rebuild time, peak memory of one encoding."""
    t_start = time.perf_counter()
    enc = encoders.make(name)
    gc.collect()
    rss0 = rss_kib()
    have_peak = reset_peak()
    t0 = time.perf_counter()
    clauses, new_top = enc(leq, top)
    first = time.perf_counter() - t0
    peak = hwm_kib() - rss0 if have_peak else None
    n_cl = len(clauses)
    n_lits = sum(len(c) for c in clauses)
    res = {"vars": new_top - top, "clauses": n_cl, "lits": n_lits, "t_first": first,
           "peak_kib": peak}
    if name in encoders.OURS:
        res["pyobj_bytes"], res["int_objects"], res["pyobj_exact"] = pyobj_bytes(clauses)
    budget -= time.perf_counter() - t_start
    if not timing:
        res["t_enc"] = first
        return res
    # repeat within the time budget: every repetition costs a run and a rebuild
    reps = max(1, min(_reps(first), int(budget / max(2.5 * first, 1e-9))))
    ts, tr = [], []
    for _ in range(reps):
        t0 = time.perf_counter()
        rebuilt = [list(c) for c in clauses]
        tr.append(time.perf_counter() - t0)
        del rebuilt
    del clauses
    if reps > 1:
        for _ in range(reps):
            t0 = time.perf_counter()
            out = enc(leq, top)
            ts.append(time.perf_counter() - t0)
            del out
    else:
        ts = [first]
    res["t_enc"] = statistics.median(ts)
    res["t_rebuild"] = statistics.median(tr)
    res["reps"] = reps
    return res


def _check_model(model, leqs, assignment) -> bool:
    true = set(l for l in assignment if l > 0)
    for leq in leqs:
        s = sum(w for l, w in leq.wlits if (l in true if l > 0 else -l not in true))
        if s > leq.bound:
            return False
    return True


def solve_model(name: str, model, time_limit: float, solver_name: str = "cadical195") -> dict:
    """Encode every PB constraint of ``model`` with ``name``, add the shared clauses, solve with
    a time limit; sizes count the added encodings only (the shared clauses are the same for all)."""
    from pysat.solvers import Solver
    enc = encoders.make(name)
    t0 = time.perf_counter()
    top = model.top
    added = []
    n_lits = 0
    for leq in model.leqs:
        cl, top = enc(leq, top)
        added.extend(cl)
    t_enc = time.perf_counter() - t0
    n_lits = sum(len(c) for c in added)
    res = {"vars": top - model.top, "clauses": len(added), "lits": n_lits, "t_enc": t_enc,
           "amo_pairs": sum(l.amo_pair_count() for l in model.leqs)}
    if any(len(c) == 0 for c in model.clauses) or any(len(c) == 0 for c in added):
        res.update(answer="UNSAT", t_solve=0.0)
        return res
    # CaDiCaL in python-sat cannot be interrupted: solve in a grandchild that an interval timer
    # ends at the limit; it reports through its exit code (10 SAT, 11 SAT with a model violating
    # a PB constraint, 20 UNSAT).
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            with Solver(name=solver_name, bootstrap_with=model.clauses) as s:
                s.append_formula(added)
                signal.setitimer(signal.ITIMER_REAL, time_limit)
                r = s.solve()
                signal.setitimer(signal.ITIMER_REAL, 0)
                code = 20 if not r else (10 if _check_model(model, model.leqs, s.get_model()) else 11)
        finally:
            os._exit(code)
    t0 = time.perf_counter()
    _, st = os.waitpid(pid, 0)
    res["t_solve"] = time.perf_counter() - t0
    code = os.WEXITSTATUS(st) if os.WIFEXITED(st) else -1
    res["answer"] = {10: "SAT", 11: "SAT", 20: "UNSAT"}.get(code, "UNKNOWN")
    if code in (10, 11):
        res["model_ok"] = code == 10
    if code not in (10, 11, 20) and not (os.WIFSIGNALED(st) and os.WTERMSIG(st) == signal.SIGALRM):
        res["solver_error"] = f"wait status {st}"
    return res
