"""Large-neighbourhood search around the incumbent, for ``corvane.search``: the neighbourhoods of a
model over the objective's AMO groups, as assumptions for the SAT solver.

A neighbourhood keeps most groups as the incumbent has them (its true literal of the group assumed
true) and frees the rest: either groups chosen at random, or the groups whose true literal lies in
a few rows chosen at random (on an assignment problem: the jobs of a few agents, which can then be
exchanged between them within the agents' capacities), or, given the linear relaxation's point,
the groups where the incumbent and the point disagree (topped up with random ones). The solver, called under these assumptions
and the objective bound below the incumbent with a short conflict budget, either finds a better
model, which is a model of the whole problem (assumptions only narrow the search), or proves the
neighbourhood holds none, or runs out of conflicts. Only models are taken from it: an
unsatisfiable neighbourhood proves nothing about the problem, so no bound ever comes from here.

The size of the neighbourhoods adapts: larger after a neighbourhood without a better model, smaller
after one that ran out of conflicts. The choices come from a ``random.Random`` seeded by the
caller, so a search is repeatable for a given sequence of answers. Each round is linear in the
size of the objective and of the chosen rows.
"""

from __future__ import annotations

import random
from collections.abc import Sequence

from .lp import Row

__all__ = ["Neighbourhoods"]


class Neighbourhoods:
    """Neighbourhoods of a model over AMO ``groups`` (lists of literals); ``rows`` are the problem's
    linear rows, used to free the groups that meet them."""

    def __init__(self, groups: Sequence[Sequence[int]], rows: Sequence[Row], seed: int = 0,
                 point: dict[int, float] | None = None) -> None:
        self.groups = [list(g) for g in groups if g]
        where: dict[int, int] = {lit: i for i, g in enumerate(self.groups) for lit in g}
        # For each row, its literals that lie in the groups: freeing a row frees the groups whose
        # incumbent literal is among them (the row's other groups keep their literals).
        self.row_lits = [set(r.lits) & where.keys() for r in rows if not r.clause]
        self.row_lits = [s for s in self.row_lits if s]
        self.where = where
        self.rng = random.Random(seed)
        self.fraction = 0.2
        self.point = point or {}
        self._model: Sequence[int] | None = None
        self._current: list[int] = []
        self._true: set[int] = set()
        self.rounds = 0

    def assumptions(self, model: Sequence[int]) -> list[int]:
        """The assumptions of one neighbourhood of ``model`` (a list of DIMACS literals): the
        incumbent's true literal of every group that stays fixed."""
        if model is not self._model:  # the incumbent's literal of each group, once per incumbent
            true = set(model)
            self._model = model
            self._current = [next((lit for lit in g if lit in true), 0) for g in self.groups]
            self._true = {lit for lit in self._current if lit}
        current, true = self._current, self._true
        want = max(1, int(self.fraction * len(self.groups)))
        free: set[int] = set()
        self.rounds += 1
        if self.point and self.rounds % 3 == 0:
            # Where the relaxation's point does not have the incumbent's literal of the group.
            free.update(i for i, lit in enumerate(current) if lit and self._at(lit) < 0.5)
            if len(free) > want:
                free = set(self.rng.sample(sorted(free), want))
        elif self.row_lits and self.rng.random() < 0.5:
            # The groups of random rows until enough are free.
            for _ in range(4 * len(self.row_lits)):
                if len(free) >= want:
                    break
                row = self.row_lits[self.rng.randrange(len(self.row_lits))]
                free.update(self.where[lit] for lit in row if lit in true)
        if len(free) < want:
            rest = [i for i in range(len(self.groups)) if i not in free]
            free.update(self.rng.sample(rest, min(len(rest), want - len(free))))
        return [lit for i, lit in enumerate(current) if lit and i not in free]

    def _at(self, lit: int) -> float:
        x = self.point.get(abs(lit), 0.0)
        return x if lit > 0 else 1.0 - x

    def answered(self, answer: bool | None) -> None:
        """Adapts the size of the next neighbourhoods to the last one's answer: no better model
        in it (False) -> larger, out of conflicts (None) -> smaller."""
        if answer is False:
            self.fraction = min(0.8, self.fraction * 1.25)
        elif answer is None:
            self.fraction = max(0.02, self.fraction / 1.25)
