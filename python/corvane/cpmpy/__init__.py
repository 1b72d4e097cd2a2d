"""corvane as a CPMpy solver: ``CPM_corvane``, registered under the name "corvane".

``CPM_corvane(model).solve()`` works as it is; after ``corvane.cpmpy.register()``
also ``model.solve("corvane")`` and ``cpmpy.SolverLookup.get("corvane", model)``.
Needs the optional dependency ``cpmpy`` (``pip install 'corvane[cpmpy]'``).
Objectives are optimised by :func:`corvane.search.search`, the search of
``corvane solve``.
"""

from __future__ import annotations

from typing import Any

from .solver import ENCODINGS, CPM_corvane

__all__ = ["CPM_corvane", "ENCODINGS", "register"]

_NAME = "corvane"


def register() -> None:
    """Make "corvane" a solver name of ``cpmpy.SolverLookup`` (and so of ``Model.solve``).

    CPMpy has no registration call: its lookup lists the solvers in the
    classmethod ``SolverLookup.base_solvers``, so that method is wrapped to
    append this backend. Calling it again changes nothing.
    """
    from cpmpy.solvers.utils import SolverLookup  # type: ignore[import-untyped,import-not-found,unused-ignore]

    if any(name == _NAME for name, _ in SolverLookup.base_solvers()):
        return
    original = SolverLookup.base_solvers

    def base_solvers(cls: Any) -> list[tuple[str, Any]]:
        return [*original(), (_NAME, CPM_corvane)]

    SolverLookup.base_solvers = classmethod(base_solvers)
