"""Minimising a pseudo-Boolean objective on an incremental SAT solver.

:func:`minimize` takes a python-sat solver that already holds the hard
clauses, the objective as ``(literal, weight)`` terms (weights of any sign)
with the AMO groups of its literals, and searches downwards: every model of
value ``v`` is followed by the bound ``objective <= v - 1``, encoded by
:class:`corvane.PBEnc` with the groups and switched on by a fresh activation
literal that is assumed in the next call. The search is sound because each
bound only removes models no better than one already found, so the last model
is optimal once the solver refutes the next bound under the same user
assumptions that the first model satisfied. Each bound is a single PB
encoding, linear in the size that ``PBEnc`` reports for it; the number of
steps is at most the number of distinct objective values.

When the search ends, every activation literal is fixed false, so the
solver is left as it was given plus inactive clauses and can be reused.
This is the one place where the CPMpy backend optimises; a stronger search
(lower bounds, cores) can replace the body behind the same interface.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from threading import Timer
from typing import Any

from ..formula import VarPool
from ..pb import PBEnc

__all__ = ["SearchResult", "minimize", "objective_floor"]


@dataclass
class SearchResult:
    """The outcome of :func:`minimize`.

    ``status`` is "optimal" (proven), "feasible" (a model, stopped by the time
    limit), "unsat" (no model under the assumptions) or "unknown" (stopped
    before any model). ``value`` is the sum of the weights of the true
    objective literals in ``model``; ``solve_time`` is wall-clock seconds.
    """

    status: str
    model: list[int] | None
    value: int | None
    solve_time: float
    steps: int = 0


def objective_floor(terms: Sequence[tuple[int, int]], groups: Iterable[Iterable[int]] = ()) -> int:
    """The smallest value the terms can take if each group has at most one true literal.

    A group contributes its most negative weight (or 0), a literal outside
    every group its weight when negative. A model of this value is optimal
    without another solver call.
    """
    weight: dict[int, int] = {}
    for lit, w in terms:
        weight[lit] = weight.get(lit, 0) + w
    floor = 0
    grouped: set[int] = set()
    for group in groups:
        members = [lit for lit in dict.fromkeys(group) if lit in weight and lit not in grouped]
        grouped.update(members)
        floor += min([0, *(weight[lit] for lit in members)])
    floor += sum(min(0, w) for lit, w in weight.items() if lit not in grouped)
    return floor


def _value(model: Iterable[int], terms: Sequence[tuple[int, int]]) -> int:
    true = set(model)
    return sum(w for lit, w in terms if lit in true)


def _solve(solver: Any, assumptions: list[int], deadline: float | None) -> bool | None:
    """One solver call, interrupted at the deadline (None when interrupted)."""
    if deadline is None:
        return bool(solver.solve(assumptions=assumptions))
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return None
    timer = Timer(remaining, solver.interrupt)
    timer.start()
    try:
        result = solver.solve_limited(assumptions=assumptions, expect_interrupt=True)
    finally:
        timer.cancel()
        solver.clear_interrupt()
    return None if result is None else bool(result)


def minimize(
    solver: Any, terms: Sequence[tuple[int, int]], groups: Sequence[Sequence[int]] = (), *, vpool: VarPool,
    time_limit: float | None = None, assumptions: Sequence[int] = (), encoding: int | str = "auto",
    on_model: Callable[[list[int], int], None] | None = None,
) -> SearchResult:
    """Minimise ``sum(w * lit for lit, w in terms)`` over the models of ``solver``.

    - ``solver``: a ``pysat.solvers.Solver`` holding the hard clauses (and,
      with ``time_limit``, supporting ``interrupt``); clauses are added to it.
    - ``terms``: ``(literal, weight)`` pairs; repeated literals add up and
      weights may be negative.
    - ``groups``: lists of term literals of which at most one is true in every
      model of ``solver`` (the caller guarantees it, for example with the AMO
      clauses of a one-hot encoding); they partition the literals they cover.
    - ``vpool``: the pool that the fresh activation and encoding ids come from.
    - ``time_limit``: seconds for the whole search; ``assumptions``: literals
      assumed in every call; ``encoding``: ``PBEnc``'s encoder choice.
    - ``on_model(model, value)`` is called for every improving model.
    """
    start = time.monotonic()
    deadline = None if time_limit is None else start + time_limit
    assumed = list(assumptions)
    lits = [lit for lit, _ in terms]
    weights = [w for _, w in terms]
    floor = objective_floor(terms, groups)
    activations: list[int] = []
    best: list[int] | None = None
    value: int | None = None
    status = "unknown"
    steps = 0
    try:
        found = _solve(solver, assumed, deadline)
        while True:
            steps += 1
            if found is None:
                status = "unknown" if best is None else "feasible"
                break
            if not found:
                status = "unsat" if best is None else "optimal"
                break
            best = list(solver.get_model())
            value = _value(best, terms)
            if on_model is not None:
                on_model(best, value)
            if value <= floor:
                status = "optimal"
                break
            act = vpool.id()
            activations.append(act)
            bound = PBEnc.atmost(lits, weights, value - 1, vpool=vpool, encoding=encoding,
                                 conditionals=[act], groups=[list(g) for g in groups])
            solver.append_formula(bound.clauses)
            found = _solve(solver, [*assumed, act], deadline)
    finally:
        for act in activations:
            solver.add_clause([-act])
    return SearchResult(status, best, value, time.monotonic() - start, steps)
