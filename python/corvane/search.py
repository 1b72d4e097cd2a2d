"""The search core of ``corvane solve``: CaDiCaL (from python-sat) on a CNF, with an objective over
literals partitioned into AMO groups, lower bounds from the linear relaxation, and an objective
encoding built once and tightened by assumptions.

    result = search(clauses, top, Objective(terms, groups, offset), rows=rows, time_limit=10,
                    on_model=lambda model, value: ...)

How it proves an optimum:

- The linear relaxation of the problem (``rows``, solved by HiGHS when ``highspy`` is installed)
  gives a lower bound before the first model; the search stops as soon as the incumbent meets
  it. With an incumbent of value ``U`` only solutions of value ``U - 1`` or less matter, so every
  literal whose reduced cost rules it out of those is fixed by a unit clause (see ``lp``).
- The objective bound ``sum w·[l] <= B`` is encoded once, with the objective's AMO groups, as
  ``sum w·[l] + sum 2^i·s_i <= B0`` over fresh slack literals ``s_i`` in groups of their own;
  assuming the bits of ``B0 - B`` on the ``s_i`` states exactly ``sum w·[l] <= B``, so every
  tighter bound is a new set of assumptions on the same clauses, and what the solver learnt
  stays. When the bound has fallen far below ``B0`` the objective is encoded again with the
  smaller ``B0`` (smaller clauses for the encoders whose size grows with the bound); the slack
  literals of the old encoding are then fixed false, which leaves the old clauses as
  ``sum w·[l] <= B0_old``, true of every better solution.
- The reduced costs summed over all literals give the reduced-cost row (``lp``), true of every
  solution of value ``U - 1`` or less; it is encoded beside the objective bound, with the AMO
  groups that ``cover`` finds on its literals and slack bits of its own, and tightened with it.
  On the assignment problems of the benchmark it is what closes the gap (9 of 15 solved
  against 4 without it).
- After every model the solver's phases are set to it, so that the search for a better model
  starts next to the best one.
- Between the slices of a bound's call, neighbourhoods of the incumbent (``lns``): most of the
  objective's groups fixed to the incumbent's literal by assumptions, the rest free, a thousand
  conflicts each. They only find models (any model under more assumptions is a model); the
  bound's own call is what proves. On the largest assignment problem of the benchmark they take
  the incumbent at 10 s from 981 to 836-848 (optimum 819).
- Each bound is asked until the solver answers (or time runs out); ``UNSAT`` under the bound's
  assumptions proves that no better model exists: the optimum. (Probing the middle of the gap
  first, ``bisect``, each probe for a while, measured no better.)
- A decision problem gets the relaxations of up to four of its largest PB rows, each row in turn
  the relaxation's objective: a least value above a row's bound proves it unsatisfiable, and
  the rows' reduced-cost fixings and one reduced-cost row are added.

The time limit is kept by a timer that interrupts the solver where python-sat can, and for
CaDiCaL (which it cannot interrupt) by slices of a conflict budget that double from slice to slice,
the last one cut to the time left at the rate measured so far (see ``_Sliced``).
``search`` is what the CPMpy backend and ``corvane solve`` (in a child process) both call. A
caller that keeps using its solver afterwards passes ``scope``: every clause the search adds is
then conditioned on that literal, which every call assumes, so that fixing it false afterwards
takes them all back (the bounds and fixings only hold for models better than one already found).
"""

from __future__ import annotations

import time
from threading import Timer
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

from . import _native
from . import lp as _lp
from .lns import Neighbourhoods
from .lp import Row

__all__ = ["Objective", "Row", "SearchResult", "Status", "search", "solve_until"]

Status = Literal["OPTIMUM", "SATISFIABLE", "UNSATISFIABLE", "UNKNOWN"]
SOLVER = "cadical195"
_LNS = True  # neighbourhoods of the incumbent between the slices of a bound's call
_LNS_CONFLICTS = 1000  # the conflict budget of one neighbourhood
# At most this many conflicts of neighbourhoods after each slice of a bound's call: as the slices
# double, the bound's own call (the only one that can prove it) gets the larger share.
_LNS_SLICE = 16_000
_FIRST_SLICE = 2000  # the first conflict slice of a call that goes on in doubling slices
_DECISION_ROWS = 4  # the PB rows whose relaxations a decision problem gets
_DECISION_ROWS_SECONDS = 0.1  # ... the rows after the first only while the relaxations took less


@dataclass(frozen=True)
class Objective:
    """``minimise offset + sum of the weights of the true literals``.

    ``terms`` are (literal, weight) pairs with distinct variables and positive weights;
    ``groups`` partition the literals into AMO groups (at most one literal of a group is true in
    every model of the clauses: the caller guarantees it, the encoding relies on it)."""

    terms: Sequence[tuple[int, int]]
    groups: Sequence[Sequence[int]]
    offset: int = 0

    def value(self, model: Sequence[int]) -> int:
        """The objective's value in a model (a list of DIMACS literals)."""
        true = {lit for lit in model if lit > 0}
        return self.offset + sum(w for lit, w in self.terms if (lit in true if lit > 0 else -lit not in true))


@dataclass
class SearchResult:
    """The outcome of ``search``.

    ``status``: OPTIMUM (``value`` proven least), SATISFIABLE (a model, no proof: time ran out,
    or there is no objective), UNSATISFIABLE, UNKNOWN. ``lower_bound`` is the best proven lower
    bound on the objective (equal to ``value`` for OPTIMUM, None without an objective or for
    UNSATISFIABLE). ``seconds`` says where the time went: ``lp`` (the relaxation),
    ``objective`` (encoding the objective bounds), ``search`` (SAT calls that found models or
    ran out of time), ``proof`` (the SAT call that proved the last bound unsatisfiable)."""

    status: Status
    model: list[int] | None = None
    value: int | None = None
    lower_bound: int | None = None
    lp_bound: int | None = None
    fixed: int = 0
    models: int = 0
    seconds: dict[str, float] = field(default_factory=dict)
    top: int = 0  # the largest variable in use afterwards (the fresh ones of the encodings included)


class _Scoped:
    """A python-sat solver seen through the caller's assumptions and scope literal: every call
    assumes them, every added clause gets ``-scope``; records the largest variable it met."""

    def __init__(self, solver: Any, assumptions: Sequence[int], scope: int | None, top: int) -> None:
        self.inner = solver
        self.base = ([] if scope is None else [scope]) + list(assumptions)
        self.scope = scope
        self.top = max([top, *(abs(lit) for lit in self.base)])

    def add_clause(self, clause: Sequence[int]) -> None:
        self.top = max([self.top, *(abs(lit) for lit in clause)])
        self.inner.add_clause(list(clause) if self.scope is None else [*clause, -self.scope])

    def solve(self, assumptions: Sequence[int] = ()) -> bool:
        return bool(self.inner.solve(assumptions=self._assumed(assumptions)))

    def solve_limited(self, assumptions: Sequence[int] = (), **kwargs: Any) -> bool | None:
        answer: bool | None = self.inner.solve_limited(assumptions=self._assumed(assumptions), **kwargs)
        return answer

    def _assumed(self, assumptions: Sequence[int]) -> list[int]:
        self.top = max([self.top, *(abs(lit) for lit in assumptions)])
        return [*self.base, *assumptions]

    def __getattr__(self, name: str) -> Any:  # get_model, set_phases, conf_budget, interrupt, ...
        return getattr(self.inner, name)


class _Sliced:
    """A python-sat solver driven until a deadline: interrupted by a timer where the solver
    supports it, otherwise (CaDiCaL) in slices of a conflict budget that doubles from slice to
    slice.

    CaDiCaL starts its restart, reduction and mode-switching schedules afresh at every call, so
    short slices of a fixed length keep it in its first, focused phase for good. Measured on the
    MMLIB50 decisions (CPU seconds of the whole search, 20 s limit): slices of about 0.2 s took
    12.9 s, more than 20 s and 17.2 s on J507_1, J5010_3 and J5020_4; doubling slices (2,000
    conflicts at first) take 9.3 s, 6.2 s and 2.4 s. Near the deadline a slice is cut to the
    conflicts that fit in the time left at the rate measured so far."""

    def __init__(self, solver: Any, deadline: float | None) -> None:
        self.solver = solver
        self.deadline = deadline
        self.rate = 20_000.0  # conflicts per second, measured as slices run
        self.interruptible = _supports_interrupt(solver)

    def solve(self, assumptions: Sequence[int] = (), budget: int | None = None) -> bool | None:
        """True or False, or None when the deadline passed first (or, with ``budget``, when that
        many conflicts were spent without an answer)."""
        if budget is not None:
            return self._limited(assumptions, budget)
        if self.deadline is None:
            return bool(self.solver.solve(assumptions=list(assumptions)))
        if self.interruptible:
            return self._interrupted(assumptions)
        slice_ = _FIRST_SLICE
        while True:
            if self.deadline <= time.monotonic():
                return None
            answer = self.within(assumptions, slice_)
            if answer is not None:
                return answer
            slice_ = min(2 * slice_, 1 << 30)

    def within(self, assumptions: Sequence[int], budget: int) -> bool | None:
        """One call of at most ``budget`` conflicts, fewer when the deadline is near (then the
        conflicts that fit in the time left at the rate measured so far); None when out of
        conflicts or past the deadline."""
        if self.deadline is not None:
            remaining = self.deadline - time.monotonic()
            if remaining <= 0:
                return None
            budget = int(min(budget, max(100.0, self.rate * remaining)))
        return self._limited(assumptions, budget)

    def _limited(self, assumptions: Sequence[int], budget: int) -> bool | None:
        t = time.monotonic()
        self.solver.conf_budget(budget)
        answer = self.solver.solve_limited(assumptions=list(assumptions))
        spent = time.monotonic() - t
        if answer is None and spent > 0.05:  # the whole budget spent: the rate of this solver here
            self.rate = max(100.0, budget / spent)
        return None if answer is None else bool(answer)

    def _interrupted(self, assumptions: Sequence[int]) -> bool | None:
        assert self.deadline is not None
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            return None
        timer = Timer(remaining, self.solver.interrupt)
        timer.start()
        try:
            answer = self.solver.solve_limited(assumptions=list(assumptions), expect_interrupt=True)
        finally:
            timer.cancel()
            self.solver.clear_interrupt()
        return None if answer is None else bool(answer)


def solve_until(solver: Any, assumptions: Sequence[int] = (), deadline: float | None = None) -> bool | None:
    """One SAT call of a python-sat solver kept to ``deadline`` (a ``time.monotonic()`` value, or
    None for no limit), for any solver, CaDiCaL included: True, False, or None when the deadline
    passed first."""
    return _Sliced(solver, deadline).solve(assumptions)


def _supports_interrupt(solver: Any) -> bool:
    """Whether python-sat can interrupt this solver from another thread (CaDiCaL it cannot)."""
    name = type(getattr(solver, "solver", solver)).__name__.lower()
    return "cadical" not in name


class _ObjectiveBound:
    """``sum w·[l] <= B`` for any B up to ``base``, on one encoding with slack bits."""

    def __init__(self, objective: Objective, base: int, top: int, encoding: str) -> None:
        self.base = base
        self.bits = list(range(top + 1, top + 1 + base.bit_length()))
        wlits = [(lit, w) for lit, w in objective.terms] + [(s, 1 << i) for i, s in enumerate(self.bits)]
        groups = [list(g) for g in objective.groups] + [[s] for s in self.bits]
        top_id = top + len(self.bits)
        self.clauses, self.top = _native.encode(wlits, groups, base, top_id, encoding, False,
                                                _native.DEFAULT_MAX_LITERALS, False)

    def assumptions(self, bound: int) -> list[int]:
        slack = self.base - bound
        return [s if slack >> i & 1 else -s for i, s in enumerate(self.bits)]


def search(clauses: Iterable[Sequence[int]] | Any, top: int, objective: Objective | None = None, *,
           rows: Sequence[Row] = (), time_limit: float | None = None,
           on_model: Callable[[list[int], int | None], None] | None = None, encoding: str = "auto",
           use_lp: bool = True, reencode_below: float = 0.5, bisect: bool = False, first_probe: float = 0.5,
           rc_rows: bool = True, lp_phases: bool = True, cover: Callable[[list[int]], list[list[int]]] | None = None,
           log: Callable[[str], None] | None = None, num_vars: int | None = None,
           assumptions: Sequence[int] = (), scope: int | None = None) -> SearchResult:
    """Finds a model of the clauses, and with an objective a least one.

    ``clauses``: an iterable of DIMACS clauses, or a python-sat solver that already holds them
    (it is used, not closed, and keeps what the search added: the objective's encodings, the
    unit clauses of reduced-cost fixings, valid for models better than the last one found).
    ``top``: the largest variable in use (fresh variables of the objective encoding are numbered
    above it). ``objective``: what to minimise, with its AMO
    groups. ``rows``: the problem's linear rows for the relaxation (any valid rows over the
    problem's variables; none turns the relaxation off, as does ``use_lp=False``);
    ``num_vars``: the largest variable the rows and the objective use (default ``top``).
    ``time_limit`` in seconds, kept to within a fraction of a second. ``on_model(model,
    value)`` is called with every model found, each better than the one before. ``encoding``
    names the encoder of the objective bound (see ``_corvane.encode``). ``reencode_below``: the
    objective is encoded again once its bound falls below this fraction of the encoded one.
    ``bisect``: probe the middle of the gap between the lower bound and the incumbent before
    the next bound, each probe for ``first_probe`` seconds at first, twice as long after a round
    in which no probe answered. ``rc_rows``: encode the relaxation's reduced-cost row beside the
    objective bound, tightened with it; ``cover(literals)`` partitions its literals into AMO
    groups (default: one group per literal). ``lp_phases``: the first SAT call starts from the
    relaxation's point (optimisation only). ``log`` receives one line per step. ``assumptions``:
    literals assumed in every call (UNSATISFIABLE and OPTIMUM then hold under them). ``scope``: a
    fresh literal on which every clause the search adds is conditioned and which every call
    assumes (see above). ``top`` of the result is the largest variable used afterwards."""
    from pysat.solvers import Solver  # type: ignore[import-untyped,unused-ignore]

    start = time.monotonic()
    deadline = None if time_limit is None else start + time_limit
    seconds = {"lp": 0.0, "objective": 0.0, "search": 0.0, "proof": 0.0}
    say = log or (lambda line: None)
    own = not hasattr(clauses, "solve")
    solver: Any = Solver(name=SOLVER, bootstrap_with=clauses) if own else clauses
    scoped = _Scoped(solver, assumptions, scope, top)
    try:
        result = _search(_Sliced(scoped, deadline), scoped.top, objective, rows, on_model, encoding, use_lp,
                         reencode_below, bisect, first_probe, rc_rows, lp_phases, cover, say,
                         num_vars if num_vars is not None else top, seconds, start, deadline)
        result.top = scoped.top
        return result
    finally:
        if own:
            solver.delete()


def _search(sat: _Sliced, top: int, objective: Objective | None, rows: Sequence[Row],
            on_model: Callable[[list[int], int | None], None] | None, encoding: str, use_lp: bool,
            reencode_below: float, bisect: bool, first_probe: float, rc_rows: bool, lp_phases: bool,
            cover: Callable[[list[int]], list[list[int]]] | None, say: Callable[[str], None], num_vars: int,
            seconds: dict[str, float], start: float, deadline: float | None) -> SearchResult:
    def timed_solve(assumptions: Sequence[int] = ()) -> bool | None:
        t = time.monotonic()
        answer = sat.solve(assumptions)
        seconds["proof" if answer is False else "search"] += time.monotonic() - t
        return answer

    def remaining() -> float | None:
        return None if deadline is None else max(0.0, deadline - time.monotonic())

    def groups_of(terms: Sequence[tuple[int, int]]) -> list[list[int]]:
        """AMO groups of a reduced-cost row's literals: ``cover``'s, or one literal each."""
        lits = [lit for lit, _ in terms]
        return cover(lits) if cover else [[lit] for lit in lits]

    def descend_with_lns(assumptions: list[int], best: list[int]) -> tuple[bool | None, list[int]]:
        """The call for the next bound in doubling slices of conflicts, each slice followed by
        neighbourhoods of the incumbent for half as many conflicts again (at most _LNS_SLICE):
        (True, a model from a neighbourhood), or the bound's own answer with no model (False
        only from the bound's own call: a neighbourhood without a better model proves
        nothing)."""
        assert lns is not None
        slice_ = _FIRST_SLICE
        while True:
            t = time.monotonic()
            answer = sat.within(assumptions, slice_)
            seconds["proof" if answer is False else "search"] += time.monotonic() - t
            if answer is not None or deadline is None or time.monotonic() >= deadline:
                return answer, []
            t = time.monotonic()
            spent = 0
            while spent < min(slice_ // 2, _LNS_SLICE) and time.monotonic() < deadline:
                found = sat.within(assumptions + lns.assumptions(best), _LNS_CONFLICTS)
                lns.answered(found)
                spent += _LNS_CONFLICTS
                if found:
                    seconds["search"] += time.monotonic() - t
                    return True, sat.solver.get_model() or []
            seconds["search"] += time.monotonic() - t
            slice_ = min(2 * slice_, 1 << 30)

    result = SearchResult("UNKNOWN", seconds=seconds)
    lower = None if objective is None else objective.offset  # weights are positive
    relaxation = None
    if objective is not None and objective.terms and rows and use_lp and _lp.available():
        left = remaining()
        relaxation = _lp.relax(objective.terms, objective.offset, rows, num_vars,
                               None if left is None else 0.3 * left)
        seconds["lp"] = relaxation.seconds
        if relaxation.bound is not None:
            result.lp_bound = relaxation.bound
            lower = max(objective.offset, relaxation.bound)
            if lp_phases:  # start next to the relaxation's point
                sat.solver.set_phases([v if x > 0.5 else -v for v, x in relaxation.solution.items()])
        say(f"c lp: {relaxation.status}, bound {relaxation.bound}, {relaxation.seconds:.2f} s")
    if objective is None and rows and use_lp and _lp.available():
        # A decision problem: each of its largest PB rows in turn as the relaxation's objective
        # (up to _DECISION_ROWS of them). A least value above a row's bound proves the problem
        # unsatisfiable; reduced costs fix literals, the union of every row's fixings is added,
        # and the reduced-cost row of the one that fixes the most. A tenth of the time at most
        # in all: on the benchmark's decisions one takes 0.01-0.4 s where it fixes literals or
        # proves, and 1.6 s of MMLIB50 J507_1, where its least value is 0. Several rows matter
        # where the largest is not the binding one (a knapsack's capacity rows beside its value
        # row: the CPMpy benchmark's multi-dimensional knapsacks, 0.8-0.9 s with the largest row
        # alone, 0.06-0.1 s with four); the rows after the first only while the relaxations so far
        # took under _DECISION_ROWS_SECONDS (on MMLIB50 decisions each takes 0.25 s and fixes
        # nothing: four of them cost 0.7 s a problem).
        candidates = sorted((r for r in rows if not r.clause and len(set(r.weights)) > 1), key=lambda r: -len(r.lits))
        left = remaining()
        budget = None if left is None else 0.1 * left
        chosen: tuple[_lp.Relaxation, Row, list[int]] | None = None
        fixed_lits: set[int] = set()
        for i, row in enumerate(candidates[:_DECISION_ROWS]):
            spent = seconds["lp"]
            if budget is not None and spent >= budget or i > 0 and spent >= _DECISION_ROWS_SECONDS:
                break
            relaxation = _lp.relax(list(zip(row.lits, row.weights)), 0, rows, num_vars,
                                   None if budget is None else budget - spent)
            seconds["lp"] += relaxation.seconds
            say(f"c lp on a row of {len(row.lits)} terms: {relaxation.status}, least {relaxation.bound} of at most "
                f"{row.bound}, {relaxation.seconds:.2f} s")
            if relaxation.bound is None:
                continue
            if relaxation.bound > row.bound:
                result.lp_bound = relaxation.bound
                result.status = "UNSATISFIABLE"
                return result
            fixings = relaxation.fixings(row.bound)
            for lit in fixings:
                if lit not in fixed_lits:
                    fixed_lits.add(lit)
                    sat.solver.add_clause([lit])
            if chosen is None or len(fixings) > len(chosen[2]):
                chosen = (relaxation, row, fixings)
        result.fixed = len(fixed_lits)
        if chosen is not None:
            relaxation, row, fixings = chosen
            result.lp_bound = relaxation.bound
            # The reduced-cost row only where some literal's reduced cost alone exceeds the
            # gap (it fixes literals): elsewhere it propagates late and slows the search (MMLIB50
            # decisions, where it fixes nothing: J507_1 7.1 s of search against 5.1 s without).
            made = relaxation.reduced_cost_row(row.bound) if rc_rows and fixings else None
            if made is not None:
                terms, scale = made
                groups = groups_of(terms)
                rc_clauses, top = _native.encode(terms, groups, max(0, relaxation.row_bound(row.bound, scale)),
                                                 top, encoding, False, _native.DEFAULT_MAX_LITERALS, False)
                for clause in rc_clauses:
                    sat.solver.add_clause(clause)
                say(f"c reduced-cost row of {len(terms)} terms in {len(groups)} groups: {len(rc_clauses)} clauses")
            # No phases from the relaxation's point here: on the scheduling decisions they cost
            # up to half as much time again (bench/solve_ablation.py).
    answer = timed_solve()
    if answer is None:
        result.lower_bound = lower
        return result
    if answer is False:
        result.status = "UNSATISFIABLE"
        return result
    best = sat.solver.get_model() or []
    result.models = 1
    if objective is None:
        if on_model:
            on_model(best, None)
        result.status, result.model = "SATISFIABLE", best
        return result
    value = objective.value(best)
    if on_model:
        on_model(best, value)
    bound: _ObjectiveBound | None = None
    fixed: set[int] = set()
    rc: tuple[_ObjectiveBound, float] | None = None  # the reduced-cost row and its scale
    probe = first_probe
    assert lower is not None
    lns = Neighbourhoods(objective.groups, rows, point=None if relaxation is None else relaxation.solution) \
        if _LNS and len(objective.groups) > 1 else None
    while True:
        result.model, result.value, result.lower_bound = best, value, lower
        if value <= lower:
            if value < lower:
                raise AssertionError(f"a model of value {value} below the proven bound {lower}")
            result.status = "OPTIMUM"
            return result
        target = value - 1 - objective.offset  # on the sum of the weights of the true literals
        if relaxation is not None:
            new = [lit for lit in relaxation.fixings(value - 1) if lit not in fixed]
            for lit in new:
                sat.solver.add_clause([lit])
            fixed.update(new)
            result.fixed = len(fixed)
        if relaxation is not None and rc_rows:
            if rc is not None and relaxation.row_bound(value - 1, rc[1]) < reencode_below * rc[0].base:
                for s_ in rc[0].bits:
                    sat.solver.add_clause([-s_])
                rc = None
            if rc is None:
                made = relaxation.reduced_cost_row(value - 1)
                if made is not None:
                    t = time.monotonic()
                    terms, scale = made
                    groups = groups_of(terms)
                    rc_bound = _ObjectiveBound(Objective(terms, groups), relaxation.row_bound(value - 1, scale), top,
                                          encoding)
                    for clause in rc_bound.clauses:
                        sat.solver.add_clause(clause)
                    top = rc_bound.top
                    rc = (rc_bound, scale)
                    seconds["objective"] += time.monotonic() - t
                    say(f"c reduced-cost row of {len(terms)} terms in {len(groups)} groups: "
                        f"{len(rc_bound.clauses)} clauses")
        if bound is None or target < reencode_below * bound.base:
            t = time.monotonic()
            if bound is not None:
                for s in bound.bits:
                    sat.solver.add_clause([-s])
            bound = _ObjectiveBound(objective, target, top, encoding)
            for clause in bound.clauses:
                sat.solver.add_clause(clause)
            top = bound.top
            seconds["objective"] += time.monotonic() - t
            say(f"c objective encoded for bounds up to {target + objective.offset}: {len(bound.clauses)} clauses, "
                f"{time.monotonic() - t:.2f} s")
        # Probe the middle of the gap, then the next bound, each for a while; when neither answers,
        # both get twice as long. An unsatisfiable middle raises the lower bound.
        goals = [value - 1] if not bisect or value - 1 <= lower else [(lower + value - 1) // 2, value - 1]
        for goal in goals:
            sat.solver.set_phases(best)
            if len(goals) > 1:  # bisecting: each goal for a while; a linear descent waits for its answer
                sat.deadline = time.monotonic() + probe if deadline is None else min(deadline, time.monotonic() + probe)
            extra = [] if rc is None or relaxation is None else \
                rc[0].assumptions(max(0, relaxation.row_bound(goal, rc[1])))
            assumptions = bound.assumptions(goal - objective.offset) + extra
            if len(goals) == 1 and lns is not None and deadline is not None:
                answer, model = descend_with_lns(assumptions, best)
            else:
                answer, model = timed_solve(assumptions), []
            sat.deadline = deadline
            say(f"c bound {goal}: {'sat' if answer else 'unsat' if answer is False else 'open'}"
                f"{' (neighbourhood)' if model else ''}, {len(fixed)} fixed by reduced costs, "
                f"{time.monotonic() - start:.2f} s")
            if answer is False:
                lower = goal + 1
                break
            if answer:
                model = model or sat.solver.get_model() or []
                improved = objective.value(model)
                if improved > goal:
                    raise AssertionError(f"the solver returned a model of value {improved} above the bound {goal}")
                best, value = model, improved
                result.models += 1
                if on_model:
                    on_model(best, value)
                break
        else:
            if deadline is not None and time.monotonic() >= deadline:
                result.status = "SATISFIABLE"
                return result
            probe *= 2
