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

class OpbError(ValueError):
    """Malformed OPB input; the message is 'FILE:LINE:COLUMN: what is wrong'."""

def opb_convert(
    fd: int,
    name: str,
    output: str,
    encoding: str = "auto",
    format: str = "dimacs",
    amo: str = "auto",
    detect: bool = True,
    threads: int = 1,
    comments: bool = True,
    progress: bool = False,
) -> dict[str, object]:
    """Convert OPB read from a file descriptor into DIMACS CNF or WCNF written to a path ('-' for stdout)."""

def opb_stats(fd: int, name: str, detect: bool = True, threads: int = 1, progress: bool = False) -> dict[str, object]:
    """Rows, AMO groups and per-encoder sizes of an OPB file read from a file descriptor."""

def opb_load(
    fd: int, name: str, encoding: str = "auto", amo: str = "auto", detect: bool = True, threads: int = 1
) -> tuple[object, list[list[int]], dict[str, object]]:
    """Load an OPB file for solving: (handle, clauses, info)."""

def opb_objective_bound(handle: object, bound: int, top: int, encoding: str = "auto") -> tuple[list[list[int]], int, str]:
    """Clauses for 'objective sum <= bound': (clauses, top, encoder)."""

def opb_check(handle: object, model: list[int]) -> tuple[str | None, int | None]:
    """Check a model against the constraints as written: (violation or None, objective value or None)."""
