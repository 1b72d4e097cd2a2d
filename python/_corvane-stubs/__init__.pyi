"""CORVANE structured pseudo-Boolean encoders for Ostrel"""

from typing import Final, SupportsIndex

ENC_MDD: Final[str]
ENC_GSWC: Final[str]
ENC_GGPW: Final[str]
ENC_GMTO: Final[str]
ENC_RGGT: Final[str]

def encode_leq(
    wlits: list[tuple[SupportsIndex, int]],
    groups: list[list[SupportsIndex]],
    bound: int,
    top_id: int,
    encoder: str,
    emit_amo: object,
) -> tuple[list[list[int]], int]:
    """Encode one grouped <= pseudo-Boolean constraint."""

def available_encoders() -> list[str]:
    """Return the list of encoder names."""
