"""``corvane solve``: an OPB solver on top of CaDiCaL (from python-sat).

The constraints are encoded once; for an objective, every model found gives a
new upper bound ``objective <= value - 1``, encoded with the AMO groups
detected on the objective and added to the same incremental solver, until
the solver proves no better model exists (the optimum) or time runs out.
Every model is checked against the constraints as written in the file before
it is reported. Output is in the format of the pseudo-Boolean competitions:
``s``, ``v`` and ``o`` lines on standard output, ``c`` lines for comments.
"""

from __future__ import annotations

import multiprocessing
import sys
import time
from multiprocessing.connection import Connection
from typing import Any, TextIO, cast

import _corvane

from .inputs import open_input

SOLVER = "cadical195"


class ModelCheckError(RuntimeError):
    """A model that violates the problem: a bug, never an answer."""


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


def _search(conn: Connection, clauses: list[list[int]], handle: object, info: dict[str, Any], encoding: str,
            err: TextIO) -> None:
    """The solving loop, run in a child process: sends ("model", model) for
    every model found, then ("unsat",) when no (better) model exists, or
    ("done",) after the model of a decision problem."""
    from pysat.solvers import Solver  # type: ignore[import-untyped,unused-ignore]

    start = time.monotonic()
    top: int = info["num_vars"]
    offset: int = info["objective_offset"]
    with Solver(name=SOLVER, bootstrap_with=clauses) as solver:
        del clauses[:]
        if not solver.solve():
            conn.send(("unsat",))
            return
        while True:
            model = solver.get_model()
            conn.send(("model", model))
            if not info["has_objective"]:
                conn.send(("done",))
                return
            _, value = _corvane.opb_check(handle, model)
            assert value is not None  # a problem with an objective has a value
            bound = value - 1 - offset  # on the sum of the weights of the true objective literals
            if bound < 0:
                conn.send(("unsat",))  # nothing is below the smallest possible value
                return
            new, top, chosen = _corvane.opb_objective_bound(handle, bound, top, encoding)
            for clause in new:
                solver.add_clause(clause)
            # One write per line, so that lines stay whole when stdout and stderr share a pipe.
            err.write(f"c bound {value - 1} (minimised): {len(new)} clauses ({chosen}), {time.monotonic() - start:.2f} s\n")
            err.flush()
            if not solver.solve():
                conn.send(("unsat",))
                return


def _child(conn: Connection, clauses: list[list[int]], handle: object, info: dict[str, Any], encoding: str) -> None:
    try:
        _search(conn, clauses, handle, info, encoding, sys.stderr)
    except BaseException as error:  # noqa: BLE001 - reported by the parent
        conn.send(("error", f"{type(error).__name__}: {error}"))
    finally:
        conn.close()


def solve(path: str, *, encoding: str = "auto", amo: str = "auto", detect: bool = True, threads: int = 1,
          time_limit: float | None = None, out: TextIO | None = None, err: TextIO | None = None) -> int:
    """Solves the OPB file and prints the answer; returns the exit status
    (0 for any answer, including UNKNOWN).

    CaDiCaL cannot be interrupted through python-sat, so the search runs in a
    forked child process that reports each model; this process checks every
    model against the file, prints the `o` lines, and stops the child when
    the time limit is reached."""
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
    child = context.Process(target=_child, args=(send, clauses, handle, info, encoding), daemon=True)
    child.start()
    send.close()
    del clauses
    best: list[int] | None = None
    value: int | None = None
    outcome = "timeout"
    try:
        while True:
            timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
            if not receive.poll(timeout):
                break
            try:
                message = receive.recv()
            except EOFError:
                outcome = "error"
                raise ModelCheckError("the search process ended without an answer") from None
            if message[0] == "model":
                best, improved = _checked(handle, message[1])
                if value is not None and improved is not None and improved >= value:
                    raise ModelCheckError(f"the solver returned objective {improved}, not below {value}")
                value = improved
                if value is not None:
                    out.write(f"o {sense * value}\n")
                    out.flush()
            elif message[0] in ("unsat", "done"):
                outcome = message[0]
                break
            else:
                outcome = "error"
                raise ModelCheckError(f"the search failed: {message[1]}")
    finally:
        if child.is_alive():
            child.kill()
        child.join()
        receive.close()
    if outcome == "unsat" and best is None:
        print("s UNSATISFIABLE", file=out)
    elif outcome == "unsat" and info["has_objective"] and best is not None:
        print("s OPTIMUM FOUND", file=out)
        _print_model(best, num_vars, file_numbers, out)
    elif best is not None:
        print("s SATISFIABLE", file=out)
        _print_model(best, num_vars, file_numbers, out)
    else:
        print("s UNKNOWN", file=out)
    return 0


def _checked(handle: object, model: list[int]) -> tuple[list[int], int | None]:
    violation, value = _corvane.opb_check(handle, model)
    if violation is not None:
        raise ModelCheckError(f"internal error: the model violates the input: {violation}")
    return model, value
