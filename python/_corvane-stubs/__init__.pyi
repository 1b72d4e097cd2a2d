"""CORVANE structured pseudo-Boolean encoders for Ostrel"""

from typing import Final, SupportsIndex, final

__version__: Final[str]

ENC_MDD: Final[str]
ENC_GSWC: Final[str]
ENC_GGPW: Final[str]
ENC_GMTO: Final[str]
ENC_RGGT: Final[str]

# list is invariant, so the plain-int form is listed on its own: a variable
# typed list[tuple[int, int]] must be accepted as it is.
_WLits = list[tuple[int, int]] | list[tuple[SupportsIndex, SupportsIndex]]
_Groups = list[list[int]] | list[list[SupportsIndex]]
_Clauses = list[list[int]]

@final
class FlatClauses:
    """The literals of an encoding as one read-only int32 buffer, 0 after every clause."""
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def encode_leq(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex,
    encoder: str,
    emit_amo: object,
) -> tuple[_Clauses, int]:
    """Encode one grouped <= pseudo-Boolean constraint."""

def encode(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex | None = None,
    encoder: str = "auto",
    emit_amo: object = False,
    *,
    max_literals: SupportsIndex = 1073741824,
    clean: object = False,
) -> tuple[_Clauses, int]:
    """Encode one grouped <= constraint like encode_leq, with defaults, 'auto' and 'smallest'."""

def encode_flat(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex | None = None,
    encoder: str = "auto",
    emit_amo: object = False,
    *,
    max_literals: SupportsIndex = 1073741824,
    clean: object = False,
) -> tuple[FlatClauses, int]:
    """Like encode, but the clauses as one flat int32 buffer."""

def sizes(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex | None = None,
    emit_amo: object = False,
    *,
    max_literals: SupportsIndex = 1073741824,
) -> dict[str, tuple[int, int, int] | None]:
    """The exact (variables, clauses, literals) of every encoder's output, or None over the budget."""

def choose(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex | None = None,
    emit_amo: object = False,
    *,
    max_literals: SupportsIndex = 1073741824,
) -> str:
    """The name of the encoder that encoder='auto' uses for these arguments."""

def available_encoders() -> list[str]:
    """Return the list of encoder names."""
