"""corvane: AMO-aware pseudo-Boolean encodings for SAT and MaxSAT solvers.

The package wraps the native module ``_corvane``. Its public names are
documented where they are defined.
"""

from __future__ import annotations

from _corvane import __version__, available_encoders

__all__ = ["__version__", "available_encoders"]
