"""The one place where the package calls the native module ``_corvane``.

Everything above this module works on normalised constraints (positive
weights, distinct literals, groups that partition them) and asks for clauses
through :func:`encode` and for sizes through :func:`sizes`. When the native
module offers ``encode``/``sizes`` (size prediction, "auto", "smallest" and
the literal budget in C++), these pass through; an older module that only has
``encode_leq`` is served by building the candidate encodings and measuring
them, which costs one full encode per candidate.
"""

from __future__ import annotations

from typing import Any, Final

import _corvane

#: The encoder names of the native module, in its order.
ENCODER_NAMES: Final[tuple[str, ...]] = tuple(_corvane.available_encoders())

#: The default literal budget of the library (2^30).
DEFAULT_MAX_LITERALS: Final[int] = 2**30

# Typed as Any: the stub of _corvane lists only encode_leq, and with invariant list parameters.
_native: Any = _corvane
_HAS_ENCODE: Final[bool] = hasattr(_native, "encode")
_HAS_SIZES: Final[bool] = hasattr(_native, "sizes")
_HAS_CHOOSE: Final[bool] = hasattr(_native, "choose")

Size = tuple[int, int, int]


def clean_clauses(clauses: list[list[int]]) -> list[list[int]]:
    """Drop tautologies and repeated literals, keeping the order of the rest."""
    out: list[list[int]] = []
    for clause in clauses:
        seen = set(clause)
        if len(seen) == len(clause):
            if any(-lit in seen for lit in clause):
                continue
            out.append(clause)
            continue
        if any(-lit in seen for lit in clause):
            continue
        out.append(list(dict.fromkeys(clause)))
    return out


def _size_of(clauses: list[list[int]], top: int, top_id: int) -> Size:
    return (top - top_id, len(clauses), sum(map(len, clauses)))


def _fallback_sizes(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, emit_amo: bool,
    max_literals: int,
) -> dict[str, Size | None]:
    result: dict[str, Size | None] = {}
    for name in ENCODER_NAMES:
        try:
            clauses, top = _native.encode_leq(wlits, groups, bound, top_id, name, emit_amo)
        except (RuntimeError, MemoryError):
            result[name] = None
            continue
        size = _size_of(clauses, top, top_id)
        result[name] = size if size[2] <= max_literals else None
    return result


def sizes(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, emit_amo: bool,
    max_literals: int,
) -> dict[str, Size | None]:
    """(variables, clauses, literals) per encoder, None where it is refused or over budget."""
    if _HAS_SIZES:
        found: dict[str, Size | None] = _native.sizes(
            wlits, groups, bound, top_id, emit_amo, max_literals=max_literals
        )
        return found
    return _fallback_sizes(wlits, groups, bound, top_id, emit_amo, max_literals)


def _smallest(found: dict[str, Size | None]) -> str | None:
    best: str | None = None
    for name, size in found.items():
        if size is not None and (best is None or size[2] < found[best][2]):  # type: ignore[index]
            best = name
    return best


def choose(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, emit_amo: bool,
    max_literals: int,
) -> str:
    """The encoder that "auto" uses: the fewest literals within the budget."""
    if _HAS_CHOOSE:
        name: str = _native.choose(wlits, groups, bound, top_id, emit_amo, max_literals=max_literals)
        return name
    best = _smallest(sizes(wlits, groups, bound, top_id, emit_amo, max_literals))
    if best is None:
        raise RuntimeError(f"quillet: encoding too large: no encoder fits within {max_literals} literals")
    return best


def encode(
    wlits: list[tuple[int, int]], groups: list[list[int]], bound: int, top_id: int, encoder: str,
    emit_amo: bool, max_literals: int, clean: bool,
) -> tuple[list[list[int]], int]:
    """Clauses and new top id of one normalised at-most constraint."""
    if _HAS_ENCODE:
        result: tuple[list[list[int]], int] = _native.encode(
            wlits, groups, bound, top_id, encoder, emit_amo, max_literals=max_literals, clean=clean
        )
        return result
    if encoder in ("auto", "smallest"):
        encoder = choose(wlits, groups, bound, top_id, emit_amo, max_literals)
    clauses, top = _native.encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)
    if sum(map(len, clauses)) > max_literals:
        raise RuntimeError(f"quillet: encoding too large: {encoder} needs more than {max_literals} literals")
    return (clean_clauses(clauses) if clean else clauses), top
