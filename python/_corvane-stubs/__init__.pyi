"""CORVANE structured pseudo-Boolean encoders for Ostrel"""

from typing import Final, SupportsIndex, final

__version__: Final[str]

# The encoder constants (ENC_<NAME>, one per row of encoder_table()) are made
# from the library's registry when the module loads.
def __getattr__(name: str) -> str: ...

AMO_METHODS: Final[tuple[str, ...]]

class InvalidConstraint(RuntimeError):
    """The constraint breaks a rule of the encoders."""

class EncodingTooLarge(RuntimeError):
    """The encoding would hold more literals than the size budget allows."""

class EncoderLimit(RuntimeError):
    """The encoder cannot represent this constraint, or would pass a limit on its own work."""

class IdsExhausted(EncoderLimit):
    """The encoding would need variable ids above 2147483647."""

class InternalError(RuntimeError):
    """A broken invariant inside the library."""

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
    max_literals: SupportsIndex = 67108864,
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
    max_literals: SupportsIndex = 67108864,
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
    max_literals: SupportsIndex = 67108864,
) -> dict[str, tuple[int, int, int] | None]:
    """The exact (variables, clauses, literals) of every encoder's output, or None over the budget."""

def choose(
    wlits: _WLits,
    groups: _Groups,
    bound: SupportsIndex,
    top_id: SupportsIndex | None = None,
    emit_amo: object = False,
    *,
    max_literals: SupportsIndex = 67108864,
) -> str:
    """The name of the encoder that encoder='auto' uses for these arguments."""

def available_encoders() -> list[str]:
    """Return the list of encoder names."""

def encoder_table() -> tuple[tuple[str, str, str, str, int, int], ...]:
    """(name, constant, summary, auto_trial, auto_rank, auto_max_groups) per encoder."""

def amo_clauses(
    groups: _Groups, method: str = "auto", top_id: SupportsIndex | None = None
) -> tuple[_Clauses, int]:
    """At-most-one clauses of every group and the new top id."""

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

def opb_objective_bound(
    handle: object, bound: SupportsIndex, top: SupportsIndex, encoding: str = "auto"
) -> tuple[list[list[int]], int, str]:
    """Clauses for 'objective sum <= bound': (clauses, top, encoder)."""

def opb_check(handle: object, model: list[int]) -> tuple[str | None, int | None]:
    """Check a model against the constraints as written: (violation or None, objective value or None).

    The value is that of the objective as minimised: for a 'max:' file, the negation of its objective."""

def opb_rows(handle: object) -> tuple[list[tuple[str, list[int], list[int], int]], list[list[int]]]:
    """The normalised rows of a loaded problem and its objective's AMO groups: (rows, objective_groups).

    Each row is (kind, literals, weights, bound): kind "clause" is the disjunction of the literals,
    "amo", "cardinality" and "pb" say that the weights of the true literals add up to at most bound."""

def opb_cover(handle: object, lits: list[int]) -> list[list[int]]:
    """A partition of literals (of distinct problem variables) into AMO groups by the conflict graph of a loaded
    problem, as the pipeline groups a row; one literal per group when detection was off."""
