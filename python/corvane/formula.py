"""Formula and variable-pool types, PySAT's when python-sat is installed.

``corvane.CNF`` and ``corvane.IDPool`` are ``pysat.formula.CNF`` and
``pysat.formula.IDPool`` whenever python-sat can be imported, so results mix
freely with PySAT code; ``corvane.CNFPlus`` is ``pysat.formula.CNFPlus``, the
type of what ``PBEnc`` returns, as PySAT's own ``PBEnc`` does. Without it they are the small classes below, which
keep the parts of PySAT's interface that a clause producer needs: a CNF with
``clauses``, ``nv``, ``append``, ``extend``, iteration and DIMACS text, and an
id pool with ``top``, ``id``, ``obj``, ``occupy`` and ``restart``. Static type
checkers always see these classes, the common interface of both.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Protocol

__all__ = ["CNF", "CNFPlus", "IDPool", "SimpleCNF", "SimpleIDPool", "VarPool", "HAVE_PYSAT"]


class SimpleCNF:
    """A list of clauses and the largest variable id in use (PySAT's ``CNF`` subset)."""

    def __init__(self, from_clauses: Iterable[Iterable[int]] = ()) -> None:
        """Start with a copy of ``from_clauses``; ``nv`` is the largest variable they use."""
        self.clauses: list[list[int]] = []
        self.nv: int = 0
        #: Native cardinality constraints of PySAT's CNFPlus; corvane writes none.
        self.atmosts: list[tuple[list[int], int]] = []
        self.extend(from_clauses)

    def append(self, clause: Iterable[int]) -> None:
        """Add one clause, raising ``nv`` to its largest variable."""
        c = list(clause)
        self.clauses.append(c)
        self.nv = max([self.nv, *map(abs, c)])

    def extend(self, clauses: Iterable[Iterable[int]]) -> None:
        """Add several clauses."""
        for clause in clauses:
            self.append(clause)

    def __iter__(self) -> Iterator[list[int]]:
        """Iterate over the clauses."""
        return iter(self.clauses)

    def __len__(self) -> int:
        """The number of clauses."""
        return len(self.clauses)

    def to_dimacs(self) -> str:
        """The formula as DIMACS CNF text."""
        lines = [f"p cnf {self.nv} {len(self.clauses)}"]
        lines += [" ".join(map(str, c)) + " 0" for c in self.clauses]
        return "\n".join(lines)

    def __repr__(self) -> str:
        """Show the size, not the clauses."""
        return f"SimpleCNF(nv={self.nv}, clauses={len(self.clauses)})"


class SimpleIDPool:
    """Hands out variable ids for objects (PySAT's ``IDPool`` semantics).

    ``top`` is the largest id handed out so far; the next fresh id is the
    smallest above it that no interval given to ``occupy`` covers.
    """

    def __init__(self, start_from: int = 1, occupied: Iterable[Iterable[int]] = (), with_neg: bool = False) -> None:
        """Ids start at ``start_from``; ``occupied`` lists inclusive ``[start, stop]`` ranges to skip."""
        self.with_neg = with_neg
        self.restart(start_from, occupied)

    def restart(self, start_from: int = 1, occupied: Iterable[Iterable[int]] = ()) -> None:
        """Forget every assignment and start again."""
        self.top: int = start_from - 1
        self._occupied: list[list[int]] = sorted([list(iv) for iv in occupied], key=lambda iv: iv[0])
        self.obj2id: dict[Hashable, int] = {}
        self.id2obj: dict[int, Hashable] = {}

    def occupy(self, start: int, stop: int) -> None:
        """Never hand out the ids ``start`` to ``stop`` (inclusive)."""
        self._occupied.append([start, stop])
        self._occupied.sort(key=lambda iv: iv[0])

    def _next(self) -> int:
        self.top += 1
        while self._occupied and self._occupied[0][0] <= self.top:
            start, stop = self._occupied.pop(0)
            if start <= self.top <= stop:
                self.top = stop + 1
        return self.top

    def id(self, obj: Hashable | None = None) -> int:
        """The id of ``obj``, a new one if it has none; a fresh anonymous id when ``obj`` is None."""
        if obj is None:
            return self._next()
        vid = self.obj2id.get(obj)
        if vid is not None:
            return vid
        if self.with_neg and hasattr(obj, "__neg__"):
            neg: Any = obj
            other = self.obj2id.get(-neg)
            if other is not None:
                self.obj2id[obj] = -other
                return -other
        vid = self._next()
        self.obj2id[obj] = vid
        self.id2obj[vid] = obj
        return vid

    def obj(self, vid: int) -> Hashable | None:
        """The object that ``vid`` was handed out for, or None."""
        if vid < 0 and self.with_neg and -vid in self.id2obj:
            owner: Any = self.id2obj[-vid]
            result: Hashable = -owner
            return result
        return self.id2obj.get(vid)


class VarPool(Protocol):
    """What ``vpool=`` needs from a pool: ``top`` and fresh ids from ``id()``."""

    top: int

    def id(self, obj: Any = None) -> int:  # noqa: D102 (documented by the class)
        ...


HAVE_PYSAT: bool
if TYPE_CHECKING:
    CNF = SimpleCNF
    CNFPlus = SimpleCNF
    IDPool = SimpleIDPool
else:
    try:
        from pysat.formula import CNF, CNFPlus, IDPool

        HAVE_PYSAT = True
    except ImportError:
        CNF = SimpleCNF
        CNFPlus = SimpleCNF
        IDPool = SimpleIDPool
        HAVE_PYSAT = False


def make_cnf(clauses: list[list[int]], nv: int) -> CNFPlus:
    """Wrap clauses (taken by reference) and the top id into the result type."""
    cnf = CNFPlus()
    cnf.clauses = clauses
    cnf.nv = nv
    return cnf
