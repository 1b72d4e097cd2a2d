"""Typed access to the encoding functions of the native module ``_corvane``.

The package's encoding code (``pb.py``, ``amo.py``, ``search.py``) calls the
native module only through this file; it works on normalised constraints (positive
weights, distinct literals, groups that partition them) and asks for
clauses through :func:`encode` and for sizes through :func:`sizes`. Size
prediction, "auto", "smallest", the literal budget and the clean-up all run
in C++. The command (``corvane.command``) calls the native file functions
directly.
"""

from __future__ import annotations

from typing import Final

import _corvane

#: The encoder names of the library's registry, in its order.
ENCODER_NAMES: Final[tuple[str, ...]] = tuple(_corvane.available_encoders())

#: The default literal budget of the package: a list of clauses of this many
#: literals takes about 3.5 GB. Pass ``max_literals=`` to raise it.
DEFAULT_MAX_LITERALS: Final[int] = 2**26

#: The names accepted for AMO clauses.
AMO_METHODS: Final[tuple[str, ...]] = tuple(_corvane.AMO_METHODS)

# The errors of the library, by kind (all RuntimeError).
InvalidConstraint = _corvane.InvalidConstraint
EncodingTooLarge = _corvane.EncodingTooLarge
EncoderLimit = _corvane.EncoderLimit
IdsExhausted = _corvane.IdsExhausted
InternalError = _corvane.InternalError

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


def amo_clauses(groups: list[list[int]], method: str, top: int) -> tuple[list[list[int]], int]:
    """The AMO clauses of every group and the new top id (fresh ids above ``top``)."""
    return _corvane.amo_clauses(groups, method, top)
