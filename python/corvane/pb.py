"""PySAT-compatible pseudo-Boolean encodings with at-most-one groups.

``PBEnc.atmost/atleast/equals`` take PySAT's arguments (``lits``, ``weights``,
``bound``, ``top_id``, ``vpool``, ``encoding``, ``conditionals``) plus the AMO
``groups`` of the literals, and return a ``CNF`` whose ``nv`` is the new top
id. Every relation is brought to the one form the native encoders take,
``sum of positive weights <= bound`` over groups that partition distinct
literals, by exact rewriting:

* repeated literals add their weights; ``x`` and ``-x`` fold into one term
  (``w1*x + w2*-x = w2 + (w1-w2)*x``) when one of them stands alone or both
  share a group (then the other members of that group are false);
* each group contributes one of its values ``{0, a_1, .., a_m}`` ("none" or
  one literal), so shifting all of them by the group's smallest value ``c``
  keeps the relation and makes every weight non-negative, at the price of a
  literal for "none" of weight ``-c``: ``-l`` for a single literal, otherwise a
  fresh ``s`` with ``l_1 v .. v l_m v s`` (none true forces ``s``) and
  ``-s v -l_i`` (the new group stays AMO). ``atleast`` is ``atmost`` of the
  negated sum, so this shift is exactly the complement construction
  ``M_g - w_i``, ``M_g`` for ``s``, bound ``sum M_g - k``; ``equals`` is both;
* a literal heavier than the bound is false (a unit clause); a bound below 0
  is the empty clause and one at least the largest possible sum needs no
  clause, neither calling an encoder.

Python work is linear in the input; the clauses of the encoders are used as
the native module returns them, without copies.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Final, Union

from . import _native
from .amo import AMO_METHODS, amo_clauses
from .formula import CNFPlus, VarPool, make_cnf

__all__ = ["EncType", "PBEnc", "sizes", "resolve_encoding", "PYSAT_ENCODINGS"]

_MAX_VAR: Final[int] = 2**31 - 1
_MAX_U64: Final[int] = 2**64 - 1


class EncType:
    """Encoding identifiers: PySAT's integers and corvane's names.

    The integers are those of ``pysat.pb.EncType`` and map onto our encoders
    as :data:`PYSAT_ENCODINGS` says; ``native`` (a solver-side constraint) has
    no CNF and is refused. The names select an encoder directly (one
    attribute per encoder of the library's registry, ``EncType.gmto ==
    "gmto"``), ``auto`` the one with the fewest literals (counted or tried
    under a shrinking budget by the library), ``smallest`` the smallest after
    building every encoder.
    """

    best: Final = 0
    bdd: Final = 1
    seqcounter: Final = 2
    sortnetwrk: Final = 3
    adder: Final = 4
    binmerge: Final = 5
    native: Final = 6
    watchdog: Final = 7
    totalizer: Final = 8
    mixedradix: Final = 9
    auto: Final = "auto"
    smallest: Final = "smallest"


for _name in _native.ENCODER_NAMES:
    setattr(EncType, _name, _name)


#: PySAT's encoding number -> the corvane encoder of the same construction family.
#: bdd -> mdd (decision diagram), seqcounter -> gswc (sequential counter),
#: sortnetwrk -> gmto (unary counters merged in a tree), adder, binmerge and
#: watchdog -> ggpw (base-2 digits counted per bit, the watchdog scheme),
#: totalizer -> rggt (generalised totalizer), mixedradix -> gmto (mixed-radix
#: digits), best -> auto.
PYSAT_ENCODINGS: Final[dict[int, str]] = {
    0: "auto", 1: "mdd", 2: "gswc", 3: "gmto", 4: "ggpw", 5: "ggpw", 7: "ggpw", 8: "rggt", 9: "gmto",
}

_NAMES: Final[frozenset[str]] = frozenset((*_native.ENCODER_NAMES, "auto", "smallest"))
assert set(PYSAT_ENCODINGS.values()) <= _NAMES, "a PySAT number maps to an encoder the registry lacks"


def resolve_encoding(encoding: int | str) -> str:
    """The corvane encoder name for a PySAT ``EncType`` number or one of our names."""
    if isinstance(encoding, str):
        if encoding in _NAMES:
            return encoding
        raise ValueError(f"unknown encoding {encoding!r}; expected one of {', '.join(sorted(_NAMES))} "
                         "or a pysat.pb.EncType value")
    number = operator.index(encoding)
    if number == 6:
        raise ValueError("EncType.native is a solver-side cardinality constraint, not a CNF encoding; "
                         "corvane only produces clauses")
    if number not in PYSAT_ENCODINGS:
        raise ValueError(f"unknown encoding number {number}; pysat.pb.EncType values are 0..9")
    return PYSAT_ENCODINGS[number]


# A literal of a normalised group: a real literal, or None for the fresh
# "none of the group" variable that is only numbered when it is needed.
_Lit = Union[int, None]


@dataclass
class _Prepared:
    """Distinct literals in groups, an additive constant, and the AMO groups to write."""

    groups: list[list[tuple[int, int]]]
    constant: int
    amo_groups: list[list[int]]
    max_var: int


@dataclass
class _Part:
    """One ``<=`` constraint ready for an encoder, or its trivial outcome."""

    status: str  # "encode", "true" or "false"
    units: list[list[int]] = field(default_factory=list)
    # per group: every literal of it (for the at-least-one clause of "none") and the weighted ones
    groups: list[tuple[list[int], list[tuple[_Lit, int]]]] = field(default_factory=list)
    bound: int = 0


def _literal(value: Any) -> int:
    lit = operator.index(value)
    if lit == 0 or abs(lit) > _MAX_VAR:
        raise ValueError(f"literal {lit} is invalid: literals are non-zero ints within ±{_MAX_VAR}")
    return lit


def _terms(lits: Iterable[Any], weights: Iterable[int] | None) -> list[tuple[int, int]]:
    items = list(lits)
    if weights is None:
        if items and all(isinstance(item, (tuple, list)) for item in items):
            return [(_literal(lit), operator.index(w)) for lit, w in items]
        return [(_literal(lit), 1) for lit in items]
    ws = [operator.index(w) for w in weights]
    if len(ws) != len(items):
        raise ValueError(f"{len(items)} literals but {len(ws)} weights")
    return [(_literal(lit), w) for lit, w in zip(items, ws)]


def _prepare(lits: Iterable[Any], weights: Iterable[int] | None, groups: Iterable[Iterable[int]] | None) -> _Prepared:
    weight: dict[int, int] = {}
    for lit, w in _terms(lits, weights):
        weight[lit] = weight.get(lit, 0) + w
    max_var = max(map(abs, weight), default=0)
    owner: dict[int, int] = {}
    members: list[list[int]] = []
    if groups is not None:
        for group in groups:
            seen = list(dict.fromkeys(_literal(lit) for lit in group))
            for lit in seen:
                if lit not in weight:
                    raise ValueError(f"group literal {lit} is not among lits")
                if lit in owner:
                    raise ValueError(f"literal {lit} is in two AMO groups; groups must partition lits")
                owner[lit] = len(members)
            if seen:
                members.append(seen)
    amo_groups = [g for g in members if len(g) > 1]
    for lit in weight:
        if lit not in owner:
            owner[lit] = len(members)
            members.append([lit])

    constant = 0
    for x in list(weight):
        if x < 0 or x not in weight or -x not in weight:
            continue
        gx, gn = owner[x], owner[-x]
        wx, wn = weight[x], weight[-x]
        if gx == gn:
            # Exactly one of x, -x is true, so the rest of the group is false.
            constant += wn
            weight[x] = wx - wn
            for other in members[gx]:
                if other != x:
                    del weight[other]
            members[gx] = [x]
        elif len(members[gn]) == 1:
            constant += wn
            weight[x] = wx - wn
            del weight[-x]
            members[gn] = []
        elif len(members[gx]) == 1:
            constant += wx
            weight[-x] = wn - wx
            del weight[x]
            members[gx] = []
        else:
            raise ValueError(f"literals {x} and {-x} are in two different AMO groups of several literals; "
                             "their sum cannot be written over AMO groups (merge the groups or split one)")
    return _Prepared([[(lit, weight[lit]) for lit in g] for g in members if g], constant, amo_groups, max_var)


def _reduce(groups: list[list[tuple[int, int]]], bound: int, negate: bool) -> _Part:
    """``sum(group values) <= bound`` (of the negated weights if ``negate``) as a positive-weight part."""
    out: list[tuple[list[int], list[tuple[_Lit, int]]]] = []
    for group in groups:
        values = [(lit, -w if negate else w) for lit, w in group]
        low = min(0, min(w for _, w in values))
        bound -= low
        weighted: list[tuple[_Lit, int]] = [(lit, w - low) for lit, w in values if w != low]
        if low < 0:
            none_lit: _Lit = -values[0][0] if len(values) == 1 else None
            weighted.append((none_lit, -low))
        if weighted:
            out.append(([lit for lit, _ in values], weighted))
    if bound < 0:
        return _Part("false")
    units: list[list[int]] = []
    kept: list[tuple[list[int], list[tuple[_Lit, int]]]] = []
    total = 0
    for every, weighted in out:
        light: list[tuple[_Lit, int]] = []
        for lit, w in weighted:
            if w <= bound:
                light.append((lit, w))
            elif lit is None:
                # "None of the group" alone breaks the bound: one of its literals is true.
                units.append(list(every))
            else:
                units.append([-lit])
        if light:
            kept.append((every, light))
            total += max(w for _, w in light)
    if total <= bound:
        return _Part("true", units)
    return _Part("encode", units, kept, bound)


@dataclass
class _Plan:
    """Everything of one call but the encoders' clauses."""

    parts: list[_Part]
    prefix: list[list[int]]  # AMO clauses of the groups, when asked for
    top: int  # highest id in use after the prefix
    base_top: int  # highest id in use before the call
    conditions: list[int]
    native_amo: bool  # the native encoder writes the (pairwise) AMO clauses itself


def _plan(
    relation: str, lits: Iterable[Any], weights: Iterable[int] | None, bound: int, top_id: int | None,
    vpool: VarPool | None, groups: Iterable[Iterable[int]] | None, emit_amo: bool, amo: str,
    conditionals: Iterable[int] | None,
) -> _Plan:
    if top_id is not None and vpool is not None:
        raise ValueError("use either a top id or a pool of variables, not both")
    prepared = _prepare(lits, weights, groups)
    conditions = [_literal(c) for c in conditionals] if conditionals is not None else []
    base = vpool.top if vpool is not None else (operator.index(top_id) if top_id is not None else 0)
    base = max(base, prepared.max_var, max(map(abs, conditions), default=0))
    k = operator.index(bound)
    parts: list[_Part] = []
    if relation in ("atmost", "equals"):
        parts.append(_reduce(prepared.groups, k - prepared.constant, negate=False))
    if relation in ("atleast", "equals"):
        parts.append(_reduce(prepared.groups, prepared.constant - k, negate=True))
    native_amo = (
        emit_amo and amo == "pairwise" and len(parts) == 1 and parts[0].status == "encode" and not parts[0].units
        and not conditions and all(lit is not None for _, ws in parts[0].groups for lit, _ in ws)
        and [g for g in ([lit for lit, _ in ws] for _, ws in parts[0].groups) if len(g) > 1] == prepared.amo_groups
    )
    prefix: list[list[int]] = []
    top = base
    if emit_amo and not native_amo:
        prefix, top = amo_clauses(prepared.amo_groups, amo, base)
    return _Plan(parts, prefix, top, base, conditions, native_amo)


def _native_input(part: _Part, top: int) -> tuple[list[list[int]], list[tuple[int, int]], list[list[int]], int]:
    """Number the fresh "none" literals; their definitions, the weighted literals and groups, the new top."""
    defs: list[list[int]] = []
    wlits: list[tuple[int, int]] = []
    groups: list[list[int]] = []
    for every, weighted in part.groups:
        group: list[int] = []
        for lit, w in weighted:
            if lit is None:
                top += 1
                lit = top
                defs.append([*every, lit])
                defs.extend([-lit, -other] for other, _ in weighted if other is not None)
            wlits.append((lit, w))
            group.append(lit)
        if group:
            groups.append(group)
    return defs, wlits, groups, top


def _guard(lits: int, max_literals: int) -> None:
    if lits > max_literals:
        raise _native.EncodingTooLarge(f"quillet: encoding too large: it would hold more than {max_literals} literals")


def _build(
    plan: _Plan, encoding: str, max_literals: int, clean: bool
) -> tuple[list[list[int]], int]:
    if any(part.status == "false" for part in plan.parts):
        return [*plan.prefix, [-c for c in plan.conditions]], plan.top
    budget = max_literals
    clauses = plan.prefix
    top = plan.top
    for part in plan.parts:
        side = list(part.units)
        if part.status == "encode":
            defs, wlits, groups, top = _native_input(part, top)
            side.extend(defs)
        if plan.conditions:
            neg = [-c for c in plan.conditions]
            side = [neg + c for c in side]
        used = sum(map(len, clauses)) + sum(map(len, side))
        _guard(used, max_literals)
        clauses = clauses + side if clauses else side
        if part.status != "encode":
            continue
        if part.bound > _MAX_U64:
            raise ValueError(f"bound {part.bound} of the normalised constraint is beyond 2^64-1")
        native, top = _native.encode(wlits, groups, part.bound, top, encoding, plan.native_amo,
                                     budget - used, clean)
        if plan.conditions:
            neg = [-c for c in plan.conditions]
            native = [neg + c for c in native]
        if clauses:
            clauses.extend(native)
        else:
            clauses = native
    return clauses, top


def _claim(vpool: VarPool, base: int, top: int, clauses: list[list[int]]) -> int:
    """Take the fresh ids ``base+1..top`` from ``vpool``, renumbering them where the pool skips ids.

    Only the pool's public interface is used: ``top`` and ``id()``, which hands
    out the next free id (stepping over ranges given to ``occupy``). When the
    ids it hands out are exactly ``base+1..top`` the clauses stay as they are.
    """
    count = top - base
    if count <= 0:
        return max(vpool.top, top) if count == 0 else vpool.top
    # Input variables above the pool's top are in use as well.
    vpool.top = max(vpool.top, base)
    fresh = [vpool.id() for _ in range(count)]
    if fresh[0] == base + 1 and fresh[-1] == top:  # increasing, so exactly base+1..top
        return top
    remap = {base + 1 + i: v for i, v in enumerate(fresh)}
    for clause in clauses:
        for i, lit in enumerate(clause):
            v = remap.get(abs(lit))
            if v is not None:
                clause[i] = v if lit > 0 else -v
    return fresh[-1]


def _encode(
    relation: str, lits: Iterable[Any], weights: Iterable[int] | None, bound: int, top_id: int | None,
    vpool: VarPool | None, encoding: int | str, groups: Iterable[Iterable[int]] | None, emit_amo: bool,
    amo: str, max_literals: int, clean: bool, conditionals: Iterable[int] | None,
) -> CNFPlus:
    name = resolve_encoding(encoding)
    if amo not in AMO_METHODS:
        raise ValueError(f"unknown amo method {amo!r}; expected one of {', '.join(AMO_METHODS)}")
    lits = list(lits)
    weights = None if weights is None else list(weights)
    group_lists = None if groups is None else [list(g) for g in groups]
    fast = None
    if relation == "atmost" and conditionals is None and (amo == "pairwise" or not emit_amo):
        fast = _fast_atmost(lits, weights, bound, top_id, vpool, group_lists, emit_amo, name, max_literals, clean)
    if fast is not None:
        clauses, top, base = fast
    else:
        plan = _plan(relation, lits, weights, bound, top_id, vpool, group_lists, emit_amo, amo, conditionals)
        clauses, top = _build(plan, name, max_literals, clean)
        base = plan.base_top
    if vpool is not None:
        top = _claim(vpool, base, top, clauses)
    return make_cnf(clauses, top)


def _fast_atmost(
    lits: list[Any], weights: list[int] | None, bound: int, top_id: int | None, vpool: VarPool | None,
    groups: list[list[int]] | None, emit_amo: bool, name: str, max_literals: int, clean: bool,
) -> tuple[list[list[int]], int, int] | None:
    """The common case straight to the native encoder: positive weights, every one within a bound that
    the sum can pass, distinct literals (the native module checks them and the groups); None otherwise,
    and then the general path decides (and words the errors)."""
    if weights is None or not lits or top_id is not None and vpool is not None:
        return None
    if len(weights) != len(lits) or not 0 < min(weights) <= max(weights) <= bound <= _MAX_U64:
        return None
    weight = dict(zip(lits, weights))
    if len(weight) != len(lits):
        return None
    if groups is None:
        groups = [[lit] for lit in lits]
    try:
        if sum(max(map(weight.__getitem__, g)) for g in groups) <= bound:
            return None
        base = max(map(abs, lits))
        if vpool is not None:
            base = max(base, vpool.top)
        elif top_id is not None:
            base = max(base, operator.index(top_id))
        clauses, top = _native.encode(list(zip(lits, weights)), groups, bound, base, name, emit_amo,
                                      max_literals, clean)
    except (KeyError, ValueError, TypeError, OverflowError, _native.InvalidConstraint):
        return None  # the general path words the error or rewrites the constraint
    return clauses, top, base


class PBEnc:
    """Pseudo-Boolean constraints over AMO groups as CNF, with PySAT's ``PBEnc`` interface.

    ``PBEnc.atmost(lits, weights, bound)`` encodes ``sum(w_i * l_i) <= bound``,
    ``atleast`` ``>=`` and ``equals`` ``=``. Arguments beyond PySAT's:

    - ``groups``: lists of literals of ``lits`` of which at most one is true
      (a literal of no group is a group of its own). The encoding relies on
      it; ``emit_amo=True`` also writes it as clauses, with ``amo``
      ("pairwise", "sequential"/"ladder" of linear size, or "auto":
      pairwise up to 6 literals).
    - ``max_literals``: the size budget (default 2^26 literals, which a list
      of clauses holds in about 3.5 GB); a call that would exceed it raises
      :class:`corvane.EncodingTooLarge` (a ``RuntimeError``) and "auto" never
      picks an encoder predicted to exceed it.
    - ``clean``: drop tautologies and repeated literals inside clauses.

    ``encoding`` is a ``pysat.pb.EncType``/``EncType`` number (mapped by
    :data:`PYSAT_ENCODINGS`) or a name: "auto", "smallest", "mdd", "gswc",
    "ggpw", "gmto", "rggt". ``conditionals`` (PySAT's reification) adds the
    negation of every listed literal to the constraint's clauses (not to the
    AMO clauses). The result is a ``pysat.formula.CNFPlus`` (with no native
    ``atmosts``), as PySAT's own ``PBEnc`` returns, when python-sat is
    installed, else :class:`corvane.formula.SimpleCNF`; ``nv`` is the new top
    id and, with ``vpool``, the pool's ``top`` is advanced past every fresh id.
    A constraint an encoder cannot represent raises :class:`corvane.EncoderLimit`
    (or its subclass :class:`corvane.IdsExhausted`).
    Ids above ``top_id`` (default: the largest variable in ``lits``) are fresh.
    """

    @classmethod
    def atmost(
        cls, lits: Iterable[Any], weights: Iterable[int] | None = None, bound: int = 1,
        top_id: int | None = None, vpool: VarPool | None = None, encoding: int | str = "auto",
        conditionals: Iterable[int] | None = None, *, groups: Iterable[Iterable[int]] | None = None,
        emit_amo: bool = False, amo: str = "pairwise", max_literals: int = _native.DEFAULT_MAX_LITERALS,
        clean: bool = True,
    ) -> CNFPlus:
        """Encode ``sum(weights[i] * lits[i]) <= bound``."""
        return _encode("atmost", lits, weights, bound, top_id, vpool, encoding, groups, emit_amo, amo,
                       max_literals, clean, conditionals)

    @classmethod
    def atleast(
        cls, lits: Iterable[Any], weights: Iterable[int] | None = None, bound: int = 1,
        top_id: int | None = None, vpool: VarPool | None = None, encoding: int | str = "auto",
        conditionals: Iterable[int] | None = None, *, groups: Iterable[Iterable[int]] | None = None,
        emit_amo: bool = False, amo: str = "pairwise", max_literals: int = _native.DEFAULT_MAX_LITERALS,
        clean: bool = True,
    ) -> CNFPlus:
        """Encode ``sum(weights[i] * lits[i]) >= bound``."""
        return _encode("atleast", lits, weights, bound, top_id, vpool, encoding, groups, emit_amo, amo,
                       max_literals, clean, conditionals)

    @classmethod
    def equals(
        cls, lits: Iterable[Any], weights: Iterable[int] | None = None, bound: int = 1,
        top_id: int | None = None, vpool: VarPool | None = None, encoding: int | str = "auto",
        conditionals: Iterable[int] | None = None, *, groups: Iterable[Iterable[int]] | None = None,
        emit_amo: bool = False, amo: str = "pairwise", max_literals: int = _native.DEFAULT_MAX_LITERALS,
        clean: bool = True,
    ) -> CNFPlus:
        """Encode ``sum(weights[i] * lits[i]) == bound`` (both directions, ids shared)."""
        return _encode("equals", lits, weights, bound, top_id, vpool, encoding, groups, emit_amo, amo,
                       max_literals, clean, conditionals)

    #: PySAT's synonyms.
    leq = atmost
    geq = atleast


def sizes(
    lits: Iterable[Any], weights: Iterable[int] | None = None, bound: int = 1, *, relation: str = "atmost",
    groups: Iterable[Iterable[int]] | None = None, top_id: int | None = None, emit_amo: bool = False,
    amo: str = "pairwise", max_literals: int = _native.DEFAULT_MAX_LITERALS,
) -> dict[str, tuple[int, int, int] | None]:
    """Per encoder, (variables, clauses, literals) that ``PBEnc.<relation>`` would produce.

    Takes the arguments of :class:`PBEnc` (``relation`` is "atmost",
    "atleast" or "equals") and counts the whole result before the clean-up
    (fresh variables, clauses, literals); None where the encoder refuses the
    constraint or would exceed ``max_literals``. The encoders' parts are
    predicted by the library without building them when it can.
    """
    if relation not in ("atmost", "atleast", "equals"):
        raise ValueError(f"relation must be 'atmost', 'atleast' or 'equals', not {relation!r}")
    plan = _plan(relation, lits, weights, bound, top_id, None, groups, emit_amo, amo, None)
    fixed = [plan.top - plan.base_top, len(plan.prefix), sum(map(len, plan.prefix))]
    if any(part.status == "false" for part in plan.parts):
        empty = (fixed[0], fixed[1] + 1, fixed[2])
        return {name: empty for name in _native.ENCODER_NAMES}
    result: dict[str, tuple[int, int, int] | None] = {}
    per_part: list[dict[str, tuple[int, int, int] | None]] = []
    top = plan.top
    for part in plan.parts:
        fixed[1] += len(part.units)
        fixed[2] += sum(map(len, part.units))
        if part.status != "encode":
            continue
        defs, wlits, groups_, new_top = _native_input(part, top)
        fixed[0] += new_top - top
        fixed[1] += len(defs)
        fixed[2] += sum(map(len, defs))
        top = new_top
        per_part.append(_native.sizes(wlits, groups_, part.bound, top, plan.native_amo, max_literals))
    for name in _native.ENCODER_NAMES:
        total: tuple[int, int, int] | None = (fixed[0], fixed[1], fixed[2])
        for found in per_part:
            size = found.get(name)
            if size is None or total is None:
                total = None
                break
            total = (total[0] + size[0], total[1] + size[1], total[2] + size[2])
        result[name] = total if total is not None and total[2] <= max_literals else None
    return result
