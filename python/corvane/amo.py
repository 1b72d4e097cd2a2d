"""Clauses stating that at most one literal of a group is true.

``pairwise`` writes ``[-a, -b]`` for every pair: no new variables, n(n-1)/2
clauses. ``sequential`` (also called ``ladder``) is the sequential-counter
encoding: fresh variables s_1..s_{n-1}, where s_i means "one of the first i
literals is true"; the clauses ``-x_i v s_i``, ``-s_{i-1} v s_i`` and
``-x_i v -s_{i-1}`` make a second true literal contradict the prefix flag,
which is sound and complete for "at most one" with 3n-4 clauses. ``auto``
takes pairwise up to :data:`PAIRWISE_LIMIT` literals (where it is no larger)
and sequential above.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Final

__all__ = ["AMO_METHODS", "PAIRWISE_LIMIT", "amo_clauses"]

#: The names accepted by ``amo=``.
AMO_METHODS: Final[tuple[str, ...]] = ("pairwise", "sequential", "ladder", "auto")

#: Largest group that ``amo="auto"`` writes pairwise (15 pairs against 14 sequential clauses at 6).
PAIRWISE_LIMIT: Final[int] = 6


def _pairwise(group: Sequence[int], out: list[list[int]]) -> None:
    neg = [-lit for lit in group]
    for i, a in enumerate(neg):
        for b in neg[i + 1 :]:
            out.append([a, b])


def _sequential(group: Sequence[int], top: int, out: list[list[int]]) -> int:
    n = len(group)
    # s_i (1-based) is top + i; the last literal needs no flag of its own.
    out.append([-group[0], top + 1])
    for i in range(1, n - 1):
        x, prev, cur = group[i], top + i, top + i + 1
        out.append([-x, cur])
        out.append([-prev, cur])
        out.append([-x, -prev])
    out.append([-group[n - 1], -(top + n - 1)])
    return top + n - 1


def amo_clauses(groups: Sequence[Sequence[int]], method: str, top: int) -> tuple[list[list[int]], int]:
    """The AMO clauses of every group and the new top id (fresh ids above ``top``)."""
    if method not in AMO_METHODS:
        raise ValueError(f"unknown amo method {method!r}; expected one of {', '.join(AMO_METHODS)}")
    out: list[list[int]] = []
    for group in groups:
        n = len(group)
        if n < 2:
            continue
        if method == "pairwise" or (method == "auto" and n <= PAIRWISE_LIMIT) or n == 2:
            _pairwise(group, out)
        else:
            top = _sequential(group, top, out)
    return out, top
