"""``corvane solve``: an OPB solver on top of CaDiCaL (from python-sat).

The constraints are encoded once by the native pipeline; the search (``corvane.search``) runs in
a forked child process: the linear relaxation's bound and reduced-cost fixings (HiGHS, when
``highspy`` is installed), the objective encoded once with the AMO groups detected on it and
tightened by assumptions after every model, until the solver proves that no better model
exists (the optimum) or time runs out. This process checks every model against the
constraints as written in the file before it is reported, and never reports a model better than
a proven bound. Output is in the format of the pseudo-Boolean competitions: ``s``, ``v`` and
``o`` lines on standard output, ``c`` lines for comments, among them one line saying where the
time went (``c time: read … detect … encode … lp … objective … search … proof … total …``).
"""

from __future__ import annotations

import multiprocessing
import signal
import sys
import time
from multiprocessing.connection import Connection
from typing import Any, TextIO, cast

import _corvane

from ..search import Objective, Row, search
from .inputs import open_input

# Seconds the child may overrun the time limit (it keeps the limit itself, to within a slice of
# its conflict budget) before it is stopped.
_GRACE = 2.0


class SearchFailed(RuntimeError):
    """The search process failed or died: the message says how."""


class ModelCheckError(RuntimeError):
    """A model that violates the problem, or an answer that contradicts a proof: a bug, never an
    answer."""


def _print_model(model: list[int], num_vars: int, file_numbers: list[int] | None, out: TextIO) -> None:
    """The `v` lines: every variable 1..num_vars under the file's own number."""
    values = set(lit for lit in model if lit > 0)
    line = ["v"]
    width = 1
    for v in range(1, num_vars + 1):
        name = v if file_numbers is None else file_numbers[v - 1]
        token = f"x{name}" if v in values else f"-x{name}"
        if width + len(token) + 1 > 2000:
            print(" ".join(line), file=out)
            line, width = ["v"], 1
        line.append(token)
        width += len(token) + 1
    print(" ".join(line), file=out)


def _rows(handle: object) -> tuple[list[Row], list[list[int]]]:
    raw, groups = _corvane.opb_rows(handle)
    rows = [Row(lits, weights, bound, kind == "clause") for kind, lits, weights, bound in raw]
    return rows, groups


def _child(conn: Connection, clauses: list[list[int]], handle: object, info: dict[str, Any], encoding: str,
           time_limit: float | None, use_lp: bool) -> None:
    """Runs the search; sends ("model", model) for every model, then ("result", fields)."""
    try:
        t = time.monotonic()
        objective = None
        rows: list[Row] = []
        if info["has_objective"] or use_lp:
            rows, groups = _rows(handle)
            if info["has_objective"]:
                objective = Objective(info["objective_terms"], groups, info["objective_offset"])
            if not use_lp:
                rows = []
        prepare = time.monotonic() - t

        def report(line: str) -> None:
            # One write per line, so that lines stay whole when stdout and stderr share a pipe.
            sys.stderr.write(line + "\n")
            sys.stderr.flush()

        result = search(clauses, info["num_vars"], objective, rows=rows, num_vars=info["input_vars"],
                        time_limit=None if time_limit is None else max(0.0, time_limit - prepare),
                        on_model=lambda model, value: conn.send(("model", model)), encoding=encoding,
                        cover=lambda lits: _corvane.opb_cover(handle, lits), log=report)
        del clauses[:]
        seconds = dict(result.seconds)
        seconds["lp"] += prepare
        conn.send(("result", {"status": result.status, "value": result.value, "lower_bound": result.lower_bound,
                              "lp_bound": result.lp_bound, "fixed": result.fixed, "seconds": seconds}))
    except BaseException as error:  # noqa: BLE001 - reported by the parent
        conn.send(("error", f"{type(error).__name__}: {error}"))
    finally:
        conn.close()


def solve(path: str, *, encoding: str = "auto", amo: str = "auto", detect: bool = True, threads: int = 1,
          time_limit: float | None = None, use_lp: bool = True, out: TextIO | None = None,
          err: TextIO | None = None) -> int:
    """Solves the OPB file and prints the answer; returns the exit status (0 for any answer,
    including UNKNOWN).

    CaDiCaL cannot be interrupted through python-sat, so the search runs in a forked child
    process that keeps the time limit in slices and reports each model; this process checks
    every model against the file, prints the `o` lines, and stops the child if it overruns."""
    import pysat.solvers  # type: ignore[import-untyped,unused-ignore]  # noqa: F401 - fail early when python-sat is missing

    out = out or sys.stdout
    err = err or sys.stderr
    start = time.monotonic()
    deadline = None if time_limit is None else start + time_limit
    with open_input(path) as (fd, name):
        handle, clauses, info = _corvane.opb_load(fd, name, encoding=encoding, amo=amo, detect=detect,
                                                  threads=threads)
    num_vars = cast(int, info["input_vars"])
    file_numbers = cast("list[int] | None", info["file_numbers"])
    # Values are those of the objective as minimised; a "max:" file reads its own sense.
    sense = -1 if info["maximize"] else 1
    print(f"c corvane: {info['constraints']} constraints, {info['num_vars']} variables, {len(clauses)} clauses, "
          f"{info['groups']} AMO groups in encodings, {info['objective_groups']} in the objective", file=out)
    out.flush()
    err.flush()
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    left = None if deadline is None else max(0.0, deadline - time.monotonic())
    child = context.Process(target=_child, args=(send, clauses, handle, info, encoding, left, use_lp), daemon=True)
    child.start()
    send.close()
    del clauses
    best: list[int] | None = None
    value: int | None = None
    final: dict[str, Any] | None = None
    try:
        while True:
            timeout = None if deadline is None else max(0.0, deadline + _GRACE - time.monotonic())
            if not receive.poll(timeout):
                break
            try:
                message = receive.recv()
            except EOFError:
                child.join(timeout=5)
                raise SearchFailed(_death(child.exitcode)) from None
            if message[0] == "model":
                best, improved = _checked(handle, message[1])
                if value is not None and improved is not None and improved >= value:
                    raise ModelCheckError(f"the solver returned objective {improved}, not below {value}")
                value = improved
                if value is not None:
                    out.write(f"o {sense * value}\n")
                    out.flush()
            elif message[0] == "result":
                final = message[1]
                break
            elif message[1].startswith("MemoryError"):
                raise MemoryError("out of memory in the search")
            else:
                raise SearchFailed(f"the search failed: {message[1]}")
    finally:
        if child.is_alive():
            child.kill()
        child.join()
        receive.close()
    status = "UNKNOWN" if final is None else final["status"]
    lower = None if final is None else final["lower_bound"]
    if final is not None and final["value"] != value:
        raise ModelCheckError(f"the search reports objective {final['value']}, the file gives {value}")
    if lower is not None and value is not None and value < lower:
        raise ModelCheckError(f"a model of objective {value} is below the proven bound {lower}")
    if status == "OPTIMUM" and (best is None or lower != value):
        raise ModelCheckError("an optimum without a model meeting its bound")
    if status == "UNSATISFIABLE" and best is not None:
        raise ModelCheckError("a problem with a model reported unsatisfiable")
    _print_timings(info, final, sense, time.monotonic() - start, out)
    if lower is not None and status != "OPTIMUM":
        print(f"c {'lower' if sense > 0 else 'upper'} bound {sense * lower}", file=out)
    if status == "UNSATISFIABLE":
        print("s UNSATISFIABLE", file=out)
    elif status == "OPTIMUM" and best is not None:
        print("s OPTIMUM FOUND", file=out)
        _print_model(best, num_vars, file_numbers, out)
    elif best is not None:
        print("s SATISFIABLE", file=out)
        _print_model(best, num_vars, file_numbers, out)
    else:
        print("s UNKNOWN", file=out)
    return 0


def _death(exitcode: int | None) -> str:
    """Why the search process ended without an answer, in words."""
    if exitcode is not None and exitcode in (-signal.SIGKILL, -signal.SIGABRT):
        return f"the search process ran out of memory or was killed (signal {-exitcode})"
    if exitcode is not None and exitcode < 0:
        return f"the search process was stopped by signal {-exitcode}"
    return "the search process ended without an answer"


def _print_timings(info: dict[str, Any], final: dict[str, Any] | None, sense: int, total: float,
                   out: TextIO) -> None:
    seconds = {"read": info["read_seconds"], "detect": info["detect_seconds"], "encode": info["encode_seconds"]}
    if final is not None:
        seconds.update(final["seconds"])
        if final["lp_bound"] is not None:
            print(f"c lp bound {sense * final['lp_bound']}, {final['fixed']} literals fixed by reduced costs",
                  file=out)
    print("c time: " + " ".join(f"{k} {v:.3f}" for k, v in seconds.items()) + f" total {total:.3f}", file=out)


def _checked(handle: object, model: list[int]) -> tuple[list[int], int | None]:
    violation, value = _corvane.opb_check(handle, model)
    if violation is not None:
        raise ModelCheckError(f"internal error: the model violates the input: {violation}")
    return model, value
