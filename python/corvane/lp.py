"""The linear relaxation of a 0-1 problem, solved by HiGHS, and what the search takes from it:
a lower bound on the objective and the literals that reduced costs rule out.

The problem is ``min offset + sum w·[l]`` over literals (``[-v] = 1 - x_v``) subject to rows
``sum w·[l] <= bound`` and clauses ``sum [l] >= 1``, relaxed to ``0 <= x_v <= 1``. HiGHS's row
duals are only used as Lagrange multipliers: for any ``λ >= 0``

    objective(x) >= L(λ) = const - λ·b + sum_v min(0, d_v),   d = c + Aᵀλ

holds for every x of the box that satisfies the rows, so the bound is sound whatever the LP
solver's tolerances were; it is evaluated again here, in floating point with a margin far above
its rounding error, and rounded up to an integer because every objective value is one.
Reduced-cost fixing follows from the same inequality: a solution with ``x_v = 1`` (where
``d_v > 0``) costs at least ``L + d_v``, one with ``x_v = 0`` (where ``d_v < 0``) at least
``L - d_v``; when that passes ``limit`` (the value a better solution may have at most), the
literal is fixed the other way. Summed over all literals it is the reduced-cost row
``sum_{d_v > 0} d_v·x_v + sum_{d_v < 0} |d_v|·(1 - x_v) <= limit - L``, true of every solution of value
at most ``limit``, which the search encodes (scaled and rounded down to integers) beside the
objective bound.

Size: one column per variable, one row per row, one nonzero per term; HiGHS's dual simplex
does the work, with a time limit, in a few hundred milliseconds for the benchmark's problems
of tens of thousands of nonzeros.
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class Row:
    """``sum of weights of the true literals <= bound``, or with ``clause`` the disjunction of the
    literals (weights and bound unused)."""

    lits: Sequence[int]
    weights: Sequence[int]
    bound: int
    clause: bool = False


@dataclass
class Relaxation:
    """What the linear relaxation proves: ``bound`` is an integer lower bound on the objective, None
    when the LP was not solved to optimality (infeasible, out of time); infeasibility is left to the
    SAT solver, which proves it exactly."""

    bound: int | None
    value: float | None = None      # L(λ) before rounding
    seconds: float = 0.0
    status: str = ""
    reduced: dict[int, float] = field(default_factory=dict)  # variable -> d_v, for d_v != 0
    solution: dict[int, float] = field(default_factory=dict)  # the LP's point, variable -> value

    def fixings(self, limit: int) -> list[int]:
        """Literals true in every solution of value at most ``limit`` (by reduced costs)."""
        if self.value is None:
            return []
        out = []
        for v, d in self.reduced.items():
            if d > 0 and self.value + d > limit + _margin(self.value + d):
                out.append(-v)
            elif d < 0 and self.value - d > limit + _margin(self.value - d):
                out.append(v)
        out.sort(key=abs)
        return out


    def reduced_cost_row(self, limit: int, size: int = 1000) -> tuple[list[tuple[int, int]], float] | None:
        """``(terms, scale)`` of the reduced-cost row: every solution of value at most ``limit``
        satisfies ``sum W·[t] <= self.row_bound(limit, scale)``, with ``t = v`` where ``d_v > 0``,
        ``t = -v`` where ``d_v < 0`` and ``W = floor(scale·|d_v|)`` (rounded down, so the row stays
        true of them); ``scale`` makes the bound at ``limit`` about ``size``. None when there is no
        such row (no relaxation, or nothing left between its bound and ``limit``)."""
        if self.value is None or limit - self.value <= 0:
            return None
        scale = size / (limit - self.value)
        terms = [(v if d > 0 else -v, math.floor(scale * abs(d))) for v, d in sorted(self.reduced.items())]
        terms = [(t, w) for t, w in terms if w > 0]
        return (terms, scale) if terms else None

    def row_bound(self, limit: int, scale: float) -> int:
        """The bound of the reduced-cost row of ``scale`` for solutions of value at most ``limit``
        (negative: there is none)."""
        assert self.value is not None
        gap = limit - self.value + _margin(self.value)
        return math.floor(scale * gap * (1 + 1e-9))


def _margin(value: float) -> float:
    # The bound is a sum of a few hundred thousand float products at most: its rounding error is
    # far below 1e-9 of its magnitude; HiGHS's own tolerances do not enter (see above).
    return 1e-6 * (1.0 + abs(value))


def available() -> bool:
    """True when highspy can be imported."""
    try:
        import highspy  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


def _quiet_highs() -> Any:
    """A HiGHS instance with its output off. Its first construction in a process prints a banner
    on the C-level standard output, which carries the solver's answer: it goes to /dev/null."""
    import highspy  # type: ignore[import-untyped,import-not-found,unused-ignore]

    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        h = highspy.Highs()  # type: ignore[no-untyped-call,unused-ignore]
        h.setOptionValue("output_flag", False)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    return h


def relax(objective: Sequence[tuple[int, int]], offset: int, rows: Sequence[Row], num_vars: int,
          time_limit: float | None = None) -> Relaxation:
    """Solves the linear relaxation of ``min offset + sum w·[l]`` (objective as (literal, weight)
    pairs, weights of any sign) over the rows, on variables 1..num_vars."""
    import highspy  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import numpy as np

    start = time.monotonic()
    cost = [0.0] * (num_vars + 1)
    const = offset
    for lit, w in objective:
        if lit > 0:
            cost[lit] += w
        else:
            cost[-lit] -= w
            const += w
    starts = [0]
    index: list[int] = []
    value: list[float] = []
    upper: list[float] = []
    for row in rows:
        if row.clause:  # sum [l] >= 1  is  sum -[l] <= -1
            weights: Sequence[int] = [-1] * len(row.lits)
            b = -1
        else:
            weights, b = row.weights, row.bound
        coef: dict[int, float] = {}
        for lit, w in zip(row.lits, weights):
            if lit > 0:
                coef[lit] = coef.get(lit, 0.0) + w
            else:  # w·(1 - x) = w - w·x
                coef[-lit] = coef.get(-lit, 0.0) - w
                b -= w
        for v, a in coef.items():
            if a != 0.0:
                index.append(v - 1)
                value.append(a)
        starts.append(len(index))
        upper.append(float(b))
    h = _quiet_highs()
    lp = highspy.HighsLp()
    lp.num_col_ = num_vars
    lp.num_row_ = len(upper)
    lp.col_cost_ = np.array(cost[1:], dtype=np.float64)
    lp.col_lower_ = np.zeros(num_vars)
    lp.col_upper_ = np.ones(num_vars)
    lp.row_lower_ = np.full(len(upper), -highspy.kHighsInf)
    lp.row_upper_ = np.array(upper, dtype=np.float64)
    lp.a_matrix_.format_ = highspy.MatrixFormat.kRowwise
    lp.a_matrix_.start_ = np.array(starts, dtype=np.int32)
    lp.a_matrix_.index_ = np.array(index, dtype=np.int32)
    lp.a_matrix_.value_ = np.array(value, dtype=np.float64)
    h.passModel(lp)
    if time_limit is not None:
        h.setOptionValue("time_limit", max(0.01, float(time_limit)))
    h.run()
    status = h.modelStatusToString(h.getModelStatus())
    solution = h.getSolution()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal or not solution.dual_valid:
        return Relaxation(None, seconds=time.monotonic() - start, status=status)
    duals = np.maximum(0.0, -np.asarray(solution.row_dual, dtype=np.float64))
    d = np.array(cost[1:], dtype=np.float64)
    counts = [starts[i + 1] - starts[i] for i in range(len(upper))]
    rows_of_nz = np.repeat(np.arange(len(upper)), counts)
    np.add.at(d, np.array(index, dtype=np.int64), np.array(value) * duals[rows_of_nz])
    bound_value = float(const) - float(np.dot(duals, np.array(upper, dtype=np.float64))) + float(np.minimum(d, 0.0).sum())
    reduced = {int(v) + 1: float(d[v]) for v in np.nonzero(np.abs(d) > 1e-9)[0]}
    x = np.asarray(solution.col_value, dtype=np.float64)
    return Relaxation(math.ceil(bound_value - _margin(bound_value)), value=bound_value,
                      seconds=time.monotonic() - start, status=status, reduced=reduced,
                      solution={v + 1: float(x[v]) for v in range(num_vars)})
