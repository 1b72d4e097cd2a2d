"""The one place where the package calls the native module ``_corvane``.

Everything above this module works on normalised constraints (positive
weights, distinct literals, groups that partition them) and asks for clauses
through :func:`encode` and for sizes through :func:`sizes`. Size prediction,
"auto", "smallest", the literal budget and the clean-up all run in C++.
"""

from __future__ import annotations

from typing import Final

import _corvane

#: The encoder names of the native module, in its order.
ENCODER_NAMES: Final[tuple[str, ...]] = tuple(_corvane.available_encoders())

#: The default literal budget of the library (2^30).
DEFAULT_MAX_LITERALS: Final[int] = 2**30

Size = tuple[int, int, int]


def sizes(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, emit_amo: bool,
    max_literals: int,
) -> dict[str, Size | None]:
    """(variables, clauses, literals) per encoder, None where it is refused or over budget."""
    return _corvane.sizes(wlits, groups, bound, top_id, emit_amo, max_literals=max_literals)


def choose(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, emit_amo: bool,
    max_literals: int,
) -> str:
    """The encoder that "auto" uses: the fewest literals within the budget."""
    return _corvane.choose(wlits, groups, bound, top_id, emit_amo, max_literals=max_literals)


def encode(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, encoder: str,
    emit_amo: bool, max_literals: int, clean: bool,
) -> tuple[list[list[int]], int]:
    """Clauses and new top id of one normalised at-most constraint."""
    return _corvane.encode(wlits, groups, bound, top_id, encoder, emit_amo, max_literals=max_literals, clean=clean)
