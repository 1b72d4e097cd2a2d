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

import sys
import threading
import time
from typing import TextIO

import _corvane

from ._inputs import open_input

SOLVER = "cadical195"


class ModelCheckError(RuntimeError):
    """A model that violates the problem: a bug, never an answer."""


def _print_model(model: list[int], num_vars: int, out: TextIO) -> None:
    values = set(lit for lit in model if lit > 0)
    line = ["v"]
    width = 1
    for v in range(1, num_vars + 1):
        token = f"x{v}" if v in values else f"-x{v}"
        if width + len(token) + 1 > 2000:
            print(" ".join(line), file=out)
            line, width = ["v"], 1
        line.append(token)
        width += len(token) + 1
    print(" ".join(line), file=out)


class _Limited:
    """Runs solve calls under one overall deadline."""

    def __init__(self, solver, deadline: float | None) -> None:
        self.solver = solver
        self.deadline = deadline

    def solve(self) -> bool | None:
        if self.deadline is None:
            return self.solver.solve()
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            return None
        timer = threading.Timer(remaining, self.solver.interrupt)
        timer.start()
        try:
            result = self.solver.solve_limited(expect_interrupt=True)
        finally:
            timer.cancel()
            self.solver.clear_interrupt()
        return result


def solve(path: str, *, encoding: str = "auto", amo: str = "auto", detect: bool = True, threads: int = 1,
          time_limit: float | None = None, out: TextIO | None = None, err: TextIO | None = None) -> int:
    """Solves the OPB file and prints the answer; returns the exit status
    (0 for any answer, including UNKNOWN)."""
    from pysat.solvers import Solver

    out = out or sys.stdout
    err = err or sys.stderr
    start = time.monotonic()
    deadline = None if time_limit is None else start + time_limit
    with open_input(path) as (fd, name):
        handle, clauses, info = _corvane.opb_load(fd, name, encoding=encoding, amo=amo, detect=detect,
                                                  threads=threads)
    num_vars = info["input_vars"]
    top = info["num_vars"]
    print(f"c corvane: {info['constraints']} constraints, {top} variables, {len(clauses)} clauses, "
          f"{info['groups']} AMO groups in encodings, {info['objective_groups']} in the objective", file=out)
    with Solver(name=SOLVER, bootstrap_with=clauses) as solver:
        del clauses
        limited = _Limited(solver, deadline)
        result = limited.solve()
        if result is None:
            print("s UNKNOWN", file=out)
            return 0
        if result is False:
            print("s UNSATISFIABLE", file=out)
            return 0
        model = solver.get_model()
        best, value = _checked(handle, model)
        if not info["has_objective"]:
            print("s SATISFIABLE", file=out)
            _print_model(best, num_vars, out)
            return 0
        print(f"o {value}", file=out)
        out.flush()
        offset = info["objective_offset"]
        while True:
            bound = value - 1 - offset  # sum of weights of the true objective literals
            if bound < 0:
                break  # nothing is below the smallest possible value
            new, top, chosen = _corvane.opb_objective_bound(handle, bound, top, encoding)
            for clause in new:
                solver.add_clause(clause)
            print(f"c bound {value - 1}: {len(new)} clauses ({chosen}), "
                  f"{time.monotonic() - start:.2f} s", file=err)
            result = limited.solve()
            if result is None:
                print("s SATISFIABLE", file=out)
                _print_model(best, num_vars, out)
                return 0
            if result is False:
                break
            model, improved = _checked(handle, solver.get_model())
            if improved >= value:
                raise ModelCheckError(f"the solver returned objective {improved}, not below the bound {value - 1}")
            best, value = model, improved
            print(f"o {value}", file=out)
            out.flush()
        print("s OPTIMUM FOUND", file=out)
        _print_model(best, num_vars, out)
        return 0


def _checked(handle, model: list[int]) -> tuple[list[int], int | None]:
    violation, value = _corvane.opb_check(handle, model)
    if violation is not None:
        raise ModelCheckError(f"internal error: the model violates the input: {violation}")
    return model, value
