"""Clauses stating that at most one literal of a group is true.

The clauses are written by the library, the same writer that the encoders'
``emit_amo`` and the ``corvane`` command use. ``pairwise`` writes ``[-a, -b]``
for every pair: no new variables, n(n-1)/2 clauses. ``sequential`` (also
called ``ladder``) is the sequential-counter encoding: fresh variables
s_1..s_{n-1}, where s_i means "one of the first i literals is true"; the
clauses ``-x_i v s_i``, ``-s_{i-1} v s_i`` and ``-x_i v -s_{i-1}`` make a second
true literal contradict the prefix flag, which is exact for "at most one" with
3n-4 clauses. ``auto`` takes pairwise up to :data:`PAIRWISE_LIMIT` literals
(where it is no larger) and sequential above. A group of two is always one
pairwise clause.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Final

from . import _native

__all__ = ["AMO_METHODS", "PAIRWISE_LIMIT", "amo_clauses"]

#: The names accepted by ``amo=``.
AMO_METHODS: Final[tuple[str, ...]] = _native.AMO_METHODS

#: Largest group that ``amo="auto"`` writes pairwise (15 pairs against 14 sequential clauses at 6).
PAIRWISE_LIMIT: Final[int] = 6


def amo_clauses(groups: Sequence[Sequence[int]], method: str, top: int) -> tuple[list[list[int]], int]:
    """The AMO clauses of every group and the new top id (fresh ids above ``top``)."""
    if method not in AMO_METHODS:
        raise ValueError(f"unknown amo method {method!r}; expected one of {', '.join(AMO_METHODS)}")
    return _native.amo_clauses([[operator.index(lit) for lit in group] for group in groups], method,
                               operator.index(top))
