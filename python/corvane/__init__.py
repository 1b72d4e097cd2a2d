"""corvane: AMO-aware pseudo-Boolean encodings for SAT and MaxSAT solvers.

``from corvane import PBEnc`` is a drop-in for ``from pysat.pb import PBEnc``
that also takes the at-most-one groups of the literals (``groups=``) and picks
among five AMO-aware encoders per constraint (``encoding="auto"``). The
native module ``_corvane`` stays available for the raw ``<=`` encoders. Every
public name is documented where it is defined. The library's errors are
raised by kind: :class:`InvalidConstraint`, :class:`EncodingTooLarge`,
:class:`EncoderLimit` (and its subclass :class:`IdsExhausted`) and
:class:`InternalError`, all subclasses of ``RuntimeError``.
"""

from __future__ import annotations

from _corvane import (
    EncoderLimit,
    EncodingTooLarge,
    IdsExhausted,
    InternalError,
    InvalidConstraint,
    __version__,
    available_encoders,
)

from .amo import amo_clauses
from .formula import CNF, CNFPlus, IDPool, SimpleCNF, SimpleIDPool
from .pb import PYSAT_ENCODINGS, EncType, PBEnc, sizes

__all__ = [
    "__version__",
    "available_encoders",
    "amo_clauses",
    "CNF",
    "CNFPlus",
    "EncoderLimit",
    "EncodingTooLarge",
    "IdsExhausted",
    "InternalError",
    "InvalidConstraint",
    "EncType",
    "IDPool",
    "PBEnc",
    "PYSAT_ENCODINGS",
    "SimpleCNF",
    "SimpleIDPool",
    "sizes",
]
