"""``CPM_corvane``: CPMpy's pysat backend with every linear constraint encoded by ``corvane.PBEnc``.

CPMpy turns integer variables into Booleans (``int2bool``) and linear
constraints into pseudo-Boolean ones. This backend keeps CPMpy's
transformations and its python-sat solver object (it subclasses
``CPM_pysat``), and changes three things:

* Encodings: an integer variable that occurs in a linear sum of two or more
  terms gets the one-hot "direct" encoding when it has at most
  ``direct_limit`` values and the binary one above (decided before CPMpy's
  own choice, which the other variables keep); ``encoding=`` selects one of
  CPMpy's encodings for every variable instead. The limit of 16 is measured
  (bench/README.md): one-hot groups pay off in weighted sums of small
  domains, while the differences of start times over long horizons are
  smaller and faster with bits.
* Groups: the literals of every root-level ``sum(bs) <= 1`` and
  ``sum(bs) == 1`` (the direct encodings' domain constraints among them) are
  at-most-one sets; each PB constraint is covered by those sets, largest
  overlap first, and handed to ``PBEnc`` with the cover as its groups. The
  sets hold in every model because they are posted unconditionally, so the
  grouped encoding has the models of the plain one.
* Exactly-one shift: where a group is an exactly-one set, exactly one of its
  literals is true, so ``sum(w_l * l) = c + sum((w_l - c) * l)`` for any
  ``c``; taking the smallest weight (absent members weigh 0) makes the
  group's weights non-negative without the fresh "none" literal that PBEnc
  needs for a mere AMO group, and turns ``>=`` into ``<=`` the same way.

Objectives go to :func:`corvane.search.search`, the search of ``corvane
solve``: the objective with the groups of its terms (made non-negative, see
``_search_objective``), the unconditional linear constraints, AMO sets and
clauses of the model as rows of its linear relaxation, the caller's
assumptions, and a scope literal that retires every clause the search added
once it returns, so that the solver can be used again. Decisions with a PB
constraint and no assumptions that a plain call of ``BRIEF_CONFLICTS`` does
not settle go there too: the relaxations of the largest rows refute many at
once and fix literals by reduced costs (on the knapsack benchmarks they turn
seconds of CDCL into hundredths; the brief call spares the small models the
relaxation's fixed cost of a few hundredths of a second). Values, status,
time limits, ``solveAll`` and hints follow CPMpy's conventions. Python work
per constraint is linear in its terms; the clauses are PBEnc's.
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import cpmpy as cp  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.exceptions import NotSupportedError  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.expressions.core import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    BoolVal, Comparison, Expression, Operator,
)
from cpmpy.expressions.globalconstraints import DirectConstraint  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.expressions.utils import flatlist, is_any_list, is_num  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.expressions.variables import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    NegBoolView, _BoolVarImpl, _IntVarImpl, _NumVarImpl,
)
from cpmpy.solvers.pysat import CPM_pysat  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.solvers.solver_interface import ExitStatus, SolverStatus  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.transformations.flatten_model import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    flatten_constraint, flatten_objective,
)
from cpmpy.transformations.get_variables import get_variables  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.transformations.int2bool import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    IntVarEncDirect, IntVarEncLog, IntVarEncOrder, int2bool,
)
from cpmpy.transformations.linearize import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    decompose_linear, decompose_linear_objective, linearize_constraint, linearize_reified_variables,
)
from cpmpy.transformations.negation import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    push_down_negation, push_down_negation_objective,
)
from cpmpy.transformations.normalize import simplify_boolean, toplevel_list  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.transformations.reification import only_bv_reifies, only_implies  # type: ignore[import-untyped,import-not-found,unused-ignore]
from cpmpy.transformations.safening import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    no_partial_functions, safen_objective,
)

from .. import search as _search
from ..amo import amo_clauses
from ..pb import PBEnc, resolve_encoding

__all__ = ["CPM_corvane", "ENCODINGS"]

#: Values of ``encoding``: "grouped" is this backend's per-variable choice, the others are CPMpy's.
ENCODINGS = ("grouped", "auto", "direct", "order", "binary")

#: CPMpy's ``auto`` gives the binary encoding from this many values on.
_BINARY_FROM = 100

_Term = tuple[int, int]  # (solver literal, weight)


def _is_int_var(x: Any) -> bool:
    return isinstance(x, _IntVarImpl) and not isinstance(x, _BoolVarImpl)


def _sum_terms(expr: Any) -> tuple[list[Any], list[Any]] | None:
    """(weights, variables) of a ``sum``/``wsum`` operator, else None."""
    if isinstance(expr, Operator):
        if expr.name == "sum":
            return [1] * len(expr.args), list(expr.args)
        if expr.name == "wsum":
            return list(expr.args[0]), list(expr.args[1])
    return None


def _linear_int_vars(constraints: Iterable[Any]) -> list[Any]:
    """Integer variables of every sum of two or more variable terms, in order of appearance."""
    found: dict[str, Any] = {}
    stack: list[Any] = list(reversed(list(constraints)))
    while stack:
        expr = stack.pop()
        if is_any_list(expr):
            stack.extend(reversed(list(expr)))
            continue
        terms = _sum_terms(expr)
        if terms is not None:
            xs = [x for x in terms[1] if not is_num(x)]
            if len(xs) >= 2:
                for x in xs:
                    if _is_int_var(x):
                        found.setdefault(x.name, x)
        if isinstance(expr, Expression) and not isinstance(expr, _NumVarImpl):
            stack.extend(reversed(list(expr.args)))
    return list(found.values())


class CPM_corvane(CPM_pysat):  # type: ignore[misc]
    """CPMpy solver "corvane": python-sat with AMO-aware PB encodings.

    ``CPM_corvane(model, subsolver=None, encoding="grouped", pb_encoding="auto",
    direct_limit=16)``:

    - ``subsolver``: a python-sat solver name (default glucose4, as CPMpy's
      pysat backend; time limits hold for every one, CaDiCaL included).
    - ``encoding``: "grouped" (direct for integer variables in linear sums of
      up to ``direct_limit`` values, binary for larger ones there, CPMpy's
      auto for the variables in no sum) or one of
      CPMpy's "auto", "direct", "order", "binary" for every variable; the
      attribute of the same name may be changed before constraints are added.
    - ``pb_encoding``: ``PBEnc``'s encoder ("auto", "mdd", "gswc", ...).

    Attributes beyond ``CPM_pysat``'s: ``amo_sets`` (the at-most-one sets
    found, as solver literals), ``stats`` (clauses and PB constraints posted).
    """

    @staticmethod
    def supported() -> bool:
        """python-sat is importable (pypblib is not needed)."""
        return bool(CPM_pysat.supported())

    @staticmethod
    def version() -> str | None:
        """The installed corvane version."""
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("corvane")
        except PackageNotFoundError:
            return None

    def __init__(self, cpm_model: Any = None, subsolver: str | None = None, encoding: str = "grouped",
                 pb_encoding: int | str = "auto", direct_limit: int = 16) -> None:
        """Create the solver and post ``cpm_model``'s constraints and objective."""
        if encoding not in ENCODINGS:
            raise ValueError(f"unknown encoding {encoding!r}; expected one of {', '.join(ENCODINGS)}")
        if subsolver is not None and subsolver.startswith("corvane"):
            subsolver = subsolver[len("corvane:"):] or None
        super().__init__(None, subsolver=subsolver)
        native: str = str(getattr(self, "name")).split(":", 1)[1]
        self.name: str = "corvane:" + native
        self.cpm_status = SolverStatus(self.name)
        self.encoding = encoding
        self.pb_encoding = pb_encoding
        self.direct_limit = direct_limit
        self.amo_sets: list[tuple[int, ...]] = []
        self._exactly_one: list[bool] = []
        self._sets_of: dict[int, list[int]] = {}
        self._objective: tuple[list[tuple[int, Any]], int, bool] | None = None
        self.objective_: Any = None
        self.objective_value_: int | None = None
        self.stats: dict[str, int] = {"clauses": 0, "pb": 0, "amo": 0}
        self._hint: list[int] = []
        #: Valid linear rows of the model (unconditional PB constraints, AMO sets, clauses) for the
        #: relaxation that bounds objectives and refutes decisions; ``use_lp=False`` turns it off.
        self._rows: list[_search.Row] = []
        self.use_lp = True
        if cpm_model is not None:
            self.add(cpm_model.constraints)
            if cpm_model.objective_ is not None:
                self.objective(cpm_model.objective_, minimize=cpm_model.objective_is_min)

    # ---------------------------------------------------------------- encodings

    def _new_encoding(self, x: Any, kind: str) -> list[Any]:
        """Encode ``x`` with ``kind`` ("direct", "order", "binary") into ``ivarmap``; its domain constraints."""
        cls = {"direct": IntVarEncDirect, "order": IntVarEncOrder, "binary": IntVarEncLog}[kind]
        enc = cls(x, csemap=self._csemap)
        self.ivarmap[x.name] = enc
        return list(enc.encode_domain_constraint())

    def _default_kind(self, x: Any) -> str:
        size = x.ub - x.lb + 1
        if self.encoding in ("direct", "order", "binary"):
            return str(self.encoding)
        return "binary" if size >= _BINARY_FROM else "order"

    def _encode_direct(self, xs: Iterable[Any]) -> list[Any]:
        """Give the not yet encoded integer variables among ``xs`` the direct encoding (grouped mode)."""
        if self.encoding != "grouped":
            return []
        domain: list[Any] = []
        for x in xs:
            if x.name not in self.ivarmap:
                kind = "direct" if x.ub - x.lb + 1 <= self.direct_limit else "binary"
                domain += self._new_encoding(x, kind)
        return domain

    def _int2bool_encoding(self) -> str:
        return "auto" if self.encoding == "grouped" else str(self.encoding)

    def transform(self, cpm_expr: Any) -> list[Any]:
        """CPMpy's pysat transformations, with the direct encodings decided first and signed weights kept.

        Returns the constraints as ``_post`` takes them: clauses, implications,
        and comparisons of Boolean sums and weighted sums (weights of any sign:
        PBEnc rewrites negative ones itself, and flipping them to positive
        literals as CPMpy's pysat backend does would break the groups).
        """
        cons = toplevel_list(cpm_expr)
        cons = no_partial_functions(cons)
        cons = push_down_negation(cons)
        cons = decompose_linear(cons, supported=self.supported_global_constraints,
                                supported_reified=self.supported_reified_global_constraints, csemap=self._csemap)
        cons = simplify_boolean(cons)
        cons = flatten_constraint(cons, csemap=self._csemap)
        linear = _linear_int_vars(cons)
        # CPMpy's own choice comes first where it replaces reified (x == v) or (x >= v) by an encoding:
        # a variable encoded before it would keep those reifications as PB constraints.
        cons = linearize_reified_variables(cons, min_values=2, csemap=self._csemap, ivarmap=self.ivarmap)
        domain = self._encode_direct(linear)
        cons = only_bv_reifies(cons, csemap=self._csemap)
        cons = only_implies(cons, csemap=self._csemap)
        cons = linearize_constraint(cons, supported=frozenset({"sum", "wsum", "->", "and", "or"}),
                                    csemap=self._csemap)
        domain += self._encode_direct(_linear_int_vars(cons))
        result: list[Any] = list(int2bool(domain + cons, self.ivarmap, encoding=self._int2bool_encoding(),
                                          csemap=self._csemap))
        return result

    def add(self, cpm_expr: Any) -> CPM_corvane:
        """Transform and post constraints; their variables become user variables."""
        get_variables(cpm_expr, collect=self.user_vars)
        self._post_all(self.transform(cpm_expr))
        return self

    __add__ = add

    def _post_all(self, cons: list[Any]) -> None:
        # The at-most-one sets first, so that every PB constraint of this batch can use all of them.
        for con in cons:
            self._collect_amo(con)
        for con in cons:
            self._post(con)

    # ---------------------------------------------------------------- posting

    def solver_var(self, cpm_var: Any) -> Any:
        """The literal of a Boolean variable (as ``CPM_pysat``), the encoding's literals of an integer one.

        An integer variable that no constraint has encoded yet is encoded here
        (as it would be for a user variable at ``solve``).
        """
        if _is_int_var(cpm_var):
            self._encode_vars([cpm_var])
            return [self._lit(b) for b in self.ivarmap[cpm_var.name].vars().flatten()]
        return super().solver_var(cpm_var)

    def _lit(self, x: Any) -> int:
        return int(super().solver_var(x))

    def _clause(self, lits: Sequence[int], row: bool = False) -> None:
        """Add a clause; with ``row`` also as a row of the relaxation (the model's own clauses, not
        the auxiliary ones of an encoding)."""
        self.pysat_solver.add_clause(list(lits))
        self.stats["clauses"] += 1
        if row and lits:
            self._rows.append(_search.Row(list(lits), [], 0, clause=True))

    def _clauses(self, clauses: Iterable[Sequence[int]]) -> None:
        for clause in clauses:
            self._clause(clause)

    def _linear(self, comparison: Any) -> tuple[list[_Term], str, int] | None:
        """(terms, comparator, right-hand side) of a comparison of a Boolean (weighted) sum."""
        lhs, rhs = comparison.args
        if isinstance(lhs, _BoolVarImpl):
            ws, xs = [1], [lhs]
        else:
            found = _sum_terms(lhs)
            if found is None:
                return None
            ws, xs = found
        if not is_num(rhs):
            return None
        const = 0
        terms: list[_Term] = []
        for w, x in zip(ws, xs):
            if is_num(x):
                const += int(w) * int(x)
            elif isinstance(x, _BoolVarImpl):
                terms.append((self._lit(x), int(w)))
            else:
                return None
        return terms, comparison.name, int(rhs) - const

    def _collect_amo(self, con: Any) -> None:
        """Record ``sum(bs) <= 1`` and ``sum(bs) == 1`` at the root as at-most-one sets."""
        if not isinstance(con, Comparison):
            return
        linear = self._linear(con)
        if linear is not None and self._is_amo_root(*linear):
            self._add_amo_set(tuple(lit for lit, _ in linear[0]), linear[1] == "==")

    def _add_amo_set(self, lits: tuple[int, ...], exactly_one: bool) -> None:
        index = len(self.amo_sets)
        self.amo_sets.append(lits)
        self._exactly_one.append(exactly_one)
        for lit in lits:
            self._sets_of.setdefault(lit, []).append(index)

    def _is_amo_root(self, terms: list[_Term], cmp: str, rhs: int) -> bool:
        lits = [lit for lit, _ in terms]
        return (cmp in ("<=", "==") and rhs == 1 and len(lits) >= 2 and all(w == 1 for _, w in terms)
                and len(set(lits)) == len(lits) and not any(-lit in lits for lit in lits))

    def _post(self, con: Any, condition: list[int] | None = None) -> None:
        """Post one transformed constraint, under ``condition`` (literals that must all be true)."""
        cond = condition or []
        if isinstance(con, BoolVal):
            if not con.args[0]:
                self._clause([-c for c in cond], row=True)
        elif isinstance(con, _BoolVarImpl):
            self._clause([-c for c in cond] + [self._lit(con)], row=True)
        elif isinstance(con, DirectConstraint):
            if cond:
                raise NotSupportedError(f"CPM_corvane: a reified direct constraint {con} is not supported")
            con.callSolver(self, self.pysat_solver)
        elif isinstance(con, Operator) and con.name == "or":
            self._clause([-c for c in cond] + [self._lit(x) for x in con.args], row=True)
        elif isinstance(con, Operator) and con.name == "and":
            for arg in con.args:
                self._post(arg, cond)
        elif isinstance(con, Operator) and con.name == "->":
            antecedent, consequent = con.args
            if not isinstance(antecedent, _BoolVarImpl):
                raise NotSupportedError(f"CPM_corvane: implication {con} not supported")
            self._post(consequent, cond + [self._lit(antecedent)])
        elif isinstance(con, Comparison):
            linear = self._linear(con)
            if linear is None:
                raise NotSupportedError(f"CPM_corvane: comparison {con} not supported")
            self._post_linear(*linear, cond)
        else:
            raise NotImplementedError(f"CPM_corvane: non supported constraint {con}")

    def _post_linear(self, terms: list[_Term], cmp: str, rhs: int, cond: list[int]) -> None:
        if not cond and self._is_amo_root(terms, cmp, rhs):
            lits = [lit for lit, _ in terms]
            clauses, top = amo_clauses([lits], "auto", self.pysat_vpool.top)
            self.pysat_vpool.top = top
            self._clauses(clauses)
            self._rows.append(_search.Row(lits, [1] * len(lits), 1))
            if cmp == "==":
                self._clause(lits, row=True)
            self.stats["amo"] += 1
            return
        if cmp == "!=":
            # sum != k: a fresh z chooses between sum <= k - 1 and sum >= k + 1.
            z = self.pysat_vpool.id()
            self._post_linear(terms, "<=", rhs - 1, cond + [z])
            self._post_linear(terms, ">=", rhs + 1, cond + [-z])
            return
        if cmp in ("<=", "<", "=="):
            self._post_atmost(terms, rhs - 1 if cmp == "<" else rhs, cond)
        if cmp in (">=", ">", "=="):
            self._post_atmost([(lit, -w) for lit, w in terms], -(rhs + 1 if cmp == ">" else rhs), cond)
        if cmp not in ("<=", "<", "==", ">=", ">"):
            raise ValueError(f"CPM_corvane: unknown comparison {cmp}")

    def grouped(self, terms: Iterable[_Term]) -> tuple[list[_Term], list[list[int]], int]:
        """Merge the terms, cover them by the known at-most-one sets, and shift exactly-one groups.

        Returns (terms, groups, constant) with ``sum(terms) + constant`` equal to
        the input sum in every model; every group lies in one at-most-one set,
        and the groups of exactly-one sets have non-negative weights.
        """
        weight: dict[int, int] = {}
        for lit, w in terms:
            weight[lit] = weight.get(lit, 0) + w
        weight = {lit: w for lit, w in weight.items() if w != 0}
        groups: list[list[int]] = []
        constant = 0
        for index, members in self._cover_sets([lit for lit in weight if -lit not in weight]):
            every = self.amo_sets[index]
            taken = set(members)
            # The shift needs the whole exactly-one set in this group: members absent from the sum weigh 0.
            whole = self._exactly_one[index] and all(
                lit in taken or (lit not in weight and -lit not in weight) for lit in every)
            low = min(weight.get(lit, 0) for lit in every)
            if whole and low != 0:
                constant += low
                for lit in every:
                    weight[lit] = weight.get(lit, 0) - low
                    if weight[lit] == 0:
                        del weight[lit]
                members = [lit for lit in every if lit in weight]
            if len(members) >= 2:
                groups.append(members)
        return list(weight.items()), groups, constant

    def _cover_sets(self, lits: Iterable[int]) -> list[tuple[int, list[int]]]:
        """Disjoint groups of two or more of ``lits``, each inside one AMO set (by index), chosen
        largest overlap first."""
        free = set(lits)
        overlap: dict[int, int] = {}
        for lit in free:
            for index in self._sets_of.get(lit, ()):
                overlap[index] = overlap.get(index, 0) + 1
        found: list[tuple[int, list[int]]] = []
        for index in sorted((i for i, n in overlap.items() if n >= 2), key=lambda i: (-overlap[i], i)):
            members = [lit for lit in self.amo_sets[index] if lit in free]
            if len(members) >= 2:
                free.difference_update(members)
                found.append((index, members))
        return found

    def cover(self, lits: Sequence[int]) -> list[list[int]]:
        """A partition of ``lits`` (distinct, none with its complement) into AMO groups."""
        groups = [members for _, members in self._cover_sets(lits)]
        grouped = {lit for g in groups for lit in g}
        return groups + [[lit] for lit in lits if lit not in grouped]

    def _post_atmost(self, terms: list[_Term], bound: int, cond: list[int]) -> None:
        if not cond:
            self._rows.append(_search.Row([lit for lit, _ in terms], [w for _, w in terms], bound))
        merged, groups, constant = self.grouped(terms)
        cnf = PBEnc.atmost([lit for lit, _ in merged], [w for _, w in merged], bound - constant,
                           vpool=self.pysat_vpool, encoding=self.pb_encoding, groups=groups,
                           conditionals=cond or None)
        self.pysat_solver.append_formula(cnf.clauses)
        self.stats["clauses"] += len(cnf.clauses)
        self.stats["pb"] += 1

    # ---------------------------------------------------------------- objective

    def objective(self, expr: Any, minimize: bool) -> None:
        """Minimise or maximise ``expr`` (replacing an earlier objective)."""
        get_variables(expr, collect=self.user_vars)
        obj, safe_cons = safen_objective(expr)
        obj = push_down_negation_objective(obj)
        obj, decomp_cons = decompose_linear_objective(obj, supported=self.supported_global_constraints,
                                                      supported_reified=self.supported_reified_global_constraints,
                                                      csemap=self._csemap)
        obj, flat_cons = flatten_objective(obj, csemap=self._csemap)
        self._post_all(self.transform(safe_cons + decomp_cons + flat_cons))
        found = _sum_terms(obj)
        weights, xs = found if found is not None else ([1], [obj])
        const = 0
        pairs: list[tuple[int, Any]] = []
        domain = self._encode_direct([x for x in xs if _is_int_var(x)])
        for w, x in zip(weights, xs):
            if is_num(x):
                const += int(w) * int(x)
            elif isinstance(x, _BoolVarImpl):
                pairs.append((int(w), x))
            elif _is_int_var(x):
                if x.name not in self.ivarmap:
                    domain += self._new_encoding(x, self._default_kind(x))
                enc_terms, k = self.ivarmap[x.name].encode_term(int(w))
                pairs += [(int(ew), b) for ew, b in enc_terms]
                const += int(k)
            else:
                raise NotSupportedError(f"CPM_corvane: objective term {x} not supported")
        self._post_all(self.transform(domain))
        self._objective = (pairs, const, bool(minimize))
        self.objective_ = expr

    def has_objective(self) -> bool:
        """Whether an objective was posted."""
        return self._objective is not None

    def _objective_terms(self) -> tuple[list[_Term], list[list[int]], int, int]:
        """Terms to minimise, their groups, the constant, and the sign (-1 when maximising)."""
        assert self._objective is not None
        pairs, const, is_min = self._objective
        sign = 1 if is_min else -1
        terms = [(self._lit(b), sign * w) for w, b in pairs]
        merged, groups, shift = self.grouped(terms)
        return merged, groups, sign * const + shift, sign

    def _search_objective(self) -> tuple[_search.Objective, int]:
        """The objective as the search takes it (positive weights, one term per variable, AMO
        groups over its literals) with the same value in every model, and the sign (-1 when
        maximising).

        A group with negative weights gets a fresh literal ``n`` for "none of the group", defined
        by ``n or l1 or ... or lk`` and ``n -> -li``: the group with ``n`` is an exactly-one set,
        so its weights can be shifted by the smallest (``n`` weighs 0 before the shift). A term
        outside every group is ``w·l = w + |w|·(-l)`` when ``w < 0``; a variable met in both
        signs is merged first (``a·x + b·(-x) = b + (a - b)·x``).
        """
        terms, groups, const, sign = self._objective_terms()
        weight = dict(terms)
        positive: list[_Term] = []
        search_groups: list[list[int]] = []
        for group in groups:
            members = [(lit, weight.pop(lit)) for lit in group]
            low = min(w for _, w in members)
            if low < 0:
                none = self.pysat_vpool.id()
                self._clause([none, *group])
                for lit in group:
                    self._clause([-none, -lit])
                members.append((none, 0))
                const += low
                members = [(lit, w - low) for lit, w in members]
            members = [(lit, w) for lit, w in members if w != 0]
            positive += members
            if members:
                search_groups.append([lit for lit, _ in members])
        by_var: dict[int, int] = {}  # variable -> weight of its positive literal
        for lit, w in weight.items():
            if lit < 0:  # w·(-x) = w - w·x
                const += w
                w = -w
            by_var[abs(lit)] = by_var.get(abs(lit), 0) + w
        for var, w in sorted(by_var.items()):
            if w > 0:
                positive.append((var, w))
            elif w < 0:
                const += w
                positive.append((-var, -w))
            else:
                continue
            search_groups.append([positive[-1][0]])
        return _search.Objective(positive, search_groups, const), sign

    # ---------------------------------------------------------------- solving

    def _encode_vars(self, xs: Iterable[Any]) -> None:
        """Encode the integer variables among ``xs`` that no constraint encoded; number the Boolean ones."""
        domain: list[Any] = []
        for x in sorted(xs, key=lambda v: v.name):
            if _is_int_var(x):
                if x.name not in self.ivarmap:
                    domain += self._new_encoding(x, self._default_kind(x))
            else:
                self._lit(x)
        if domain:
            self._post_all(self.transform(domain))

    def _encode_user_vars(self) -> None:
        self._encode_vars(self.user_vars)

    def _decide_by_search(self, assumed: list[int]) -> bool:
        """Whether a decision goes through the search: with a PB row for its relaxation (a least
        value of the row above its bound refutes the model at once, reduced costs fix literals),
        and without assumptions, whose core CPMpy reads from the last SAT call."""
        return self.use_lp and not assumed and any(not r.clause and len(set(r.weights)) > 1 for r in self._rows)

    #: Conflicts of the plain call that a decision gets before the relaxations of its rows.
    BRIEF_CONFLICTS = 1000

    def _solve_briefly(self, assumed: list[int]) -> bool | None:
        """A plain call within ``BRIEF_CONFLICTS`` (None when it did not answer)."""
        self.pysat_solver.conf_budget(self.BRIEF_CONFLICTS)
        found = self.pysat_solver.solve_limited(assumptions=assumed)
        self.pysat_solver.conf_budget(-1)
        return None if found is None else bool(found)

    def _solve_once(self, assumptions: list[int], deadline: float | None) -> bool | None:
        return _search.solve_until(self.pysat_solver, assumptions, deadline)

    #: Conflicts that a solve under the hint as assumptions may spend before the hint is dropped.
    HINT_CONFLICTS = 2000

    def _try_hint(self, assumed: list[int]) -> bool:
        """Solve under the hinted literals as assumptions, within a small conflict budget.

        Phases alone do not steer the search here: the auxiliary variables of
        the AMO ladders and PB encodings are decided first with CDCL's default
        false phase, which propagates the one-hot literals false. A model
        found under the hint is kept (phase saving makes an objective search
        start from it); otherwise the hint costs at most the budget.
        """
        if not self._hint:
            return False
        self.pysat_solver.conf_budget(self.HINT_CONFLICTS)
        found = self.pysat_solver.solve_limited(assumptions=[*assumed, *self._hint])
        self.pysat_solver.conf_budget(-1)  # no budget for the calls that follow
        return bool(found)

    def solve(self, time_limit: float | None = None, assumptions: Any = None) -> bool:
        """Solve (and optimise, with an objective); True when a solution was found.

        ``assumptions``: Boolean variables assumed true (see ``get_core``).
        With an objective, the status is OPTIMAL only when optimality was
        proven, FEASIBLE when the time limit stopped the search after a model.
        """
        if time_limit is not None and time_limit <= 0:
            raise ValueError("Time limit must be positive")
        self._encode_user_vars()
        assumed: list[int] = []
        if assumptions is not None:
            assumptions = flatlist(assumptions)
            assumed = [self._lit(a) for a in assumptions]
            self.assumption_vars = assumptions
        deadline = None if time_limit is None else time.monotonic() + time_limit
        start = time.monotonic()
        self.cpm_status = SolverStatus(self.name)
        model: list[int] | None = None
        hinted = self._try_hint(assumed)
        by_search = self._objective is not None or (not hinted and self._decide_by_search(assumed))
        found: bool | None = True if hinted else None
        if self._objective is None and by_search:
            found = self._solve_briefly(assumed)  # settles a small model before the relaxation's fixed cost
        if self._objective is None and (found is not None or not by_search):
            if found is None:
                found = self._solve_once(assumed, deadline)
            status = {True: ExitStatus.FEASIBLE, False: ExitStatus.UNSATISFIABLE, None: ExitStatus.UNKNOWN}[found]
            if found:
                model = list(self.pysat_solver.get_model())
        else:
            status, model = self._search(assumed, deadline, hinted)
        self.cpm_status.exitstatus = status
        self.cpm_status.solve_time = time.monotonic() - start
        return self._fill_values(model)

    def _search(self, assumed: list[int], deadline: float | None, hinted: bool) -> tuple[Any, list[int] | None]:
        """The shared search on the objective, or on none for a decision: its status and model.

        Every clause it adds is conditioned on a fresh scope literal, fixed false when it returns:
        its bounds and fixings hold only for models better than one it found.
        """
        objective, sign = self._search_objective() if self._objective is not None else (None, 1)
        vpool = self.pysat_vpool
        scope = vpool.id()
        try:
            result = _search.search(
                self.pysat_solver, vpool.top, objective, rows=self._rows, use_lp=self.use_lp,
                time_limit=None if deadline is None else max(deadline - time.monotonic(), 1e-3),
                encoding=resolve_encoding(self.pb_encoding), lp_phases=not hinted, cover=self.cover,
                assumptions=assumed, scope=scope)
        finally:
            self.pysat_solver.add_clause([-scope])
        vpool.top = max(vpool.top, result.top)
        status = {"OPTIMUM": ExitStatus.OPTIMAL, "SATISFIABLE": ExitStatus.FEASIBLE,
                  "UNSATISFIABLE": ExitStatus.UNSATISFIABLE, "UNKNOWN": ExitStatus.UNKNOWN}[result.status]
        if objective is not None and result.model is not None and result.value is not None:
            self.objective_value_ = sign * result.value
        return status, result.model

    def _fill_values(self, model: list[int] | None) -> bool:
        """Give the user variables their values in ``model`` (or None)."""
        has_sol = bool(self._solve_return(self.cpm_status)) and model is not None
        if not has_sol:
            self.objective_value_ = None
            for x in self.user_vars:
                x._value = None
            return False
        true = frozenset(model or ())
        for x in self.user_vars:
            if isinstance(x, _BoolVarImpl):
                x._value = self._lit(x) in true
            else:
                terms, k = self.ivarmap[x.name].encode_term()
                x._value = int(k) + sum(int(w) for w, b in terms if self._lit(b) in true)
        return True

    def _blocking_clause(self, model: list[int]) -> list[int]:
        """A clause that ``model`` violates and that only constrains the user variables' values."""
        true = frozenset(model)
        clause: list[int] = []
        for x in sorted(self.user_vars, key=lambda v: v.name):
            if isinstance(x, _BoolVarImpl):
                lit = self._lit(x)
                clause.append(-lit if lit in true else lit)
                continue
            enc = self.ivarmap[x.name]
            bits = [self._lit(b) for b in enc.vars().flatten()]
            if isinstance(enc, IntVarEncDirect):
                clause += [-lit for lit in bits if lit in true]  # the one-hot literal of the value
            else:
                clause += [-lit if lit in true else lit for lit in bits]
        return clause

    def solveAll(self, display: Any = None, time_limit: float | None = None, solution_limit: int | None = None,
                 call_from_model: bool = False, **kwargs: Any) -> int:
        """Enumerate the solutions (the optimal ones, with an objective) with blocking clauses.

        Each solution is blocked by one clause over the literals of the user
        variables (for a direct encoding the literal of the value, otherwise
        every bit). Status: OPTIMAL when all were found, FEASIBLE when a limit
        stopped the enumeration after a solution, UNSATISFIABLE or UNKNOWN
        without one. The solver keeps the blocking clauses afterwards.
        """
        if kwargs:
            raise TypeError(f"CPM_corvane.solveAll: unexpected arguments {sorted(kwargs)}")
        if not call_from_model:
            warnings.warn("Adding constraints to solver object to find all solutions, "
                          "solver state will be invalid after this call!")
        start = time.monotonic()
        deadline = None if time_limit is None else start + time_limit
        count = 0
        if self._objective is not None:
            if not self.solve(time_limit=time_limit):
                return 0
            if self.cpm_status.exitstatus != ExitStatus.OPTIMAL:
                raise NotSupportedError("CPM_corvane.solveAll: the optimum was not proven within the time limit")
            terms, _, const, sign = self._objective_terms()
            assert self.objective_value_ is not None
            best = sign * self.objective_value_ - const
            self._objective = None  # from here on: every solution of the optimal value
            self._post_atmost(terms, best, [])
        self._encode_user_vars()
        exhausted = False
        while deadline is None or time.monotonic() < deadline:
            found = self._solve_once([], deadline)
            if found is None:
                break
            if not found:
                exhausted = True
                break
            self.cpm_status = SolverStatus(self.name)
            self.cpm_status.exitstatus = ExitStatus.FEASIBLE
            model = list(self.pysat_solver.get_model())
            self._fill_values(model)
            self.print_display(display)
            count += 1
            if count == solution_limit:
                break
            self._clause(self._blocking_clause(model))
        self.cpm_status = SolverStatus(self.name)
        self.cpm_status.solve_time = time.monotonic() - start
        if count == 0:
            self.cpm_status.exitstatus = ExitStatus.UNSATISFIABLE if exhausted else ExitStatus.UNKNOWN
        else:
            self.cpm_status.exitstatus = ExitStatus.OPTIMAL if exhausted else ExitStatus.FEASIBLE
        return count

    def solution_hint(self, cpm_vars: Any, vals: Any) -> None:
        """Phases for Boolean and integer variables: the solver tries these values first."""
        cpm_vars = flatlist(cpm_vars)
        vals = flatlist(vals)
        if len(cpm_vars) != len(vals):
            raise ValueError("Variables and values must have the same size for hinting")
        self._encode_vars(v for v in cpm_vars if isinstance(v, _NumVarImpl) and not isinstance(v, NegBoolView))
        phases: list[int] = []
        for x, val in zip(cpm_vars, vals):
            if isinstance(x, _BoolVarImpl):
                lit = self._lit(x)
                phases.append(lit if val else -lit)
                continue
            enc = self.ivarmap[x.name]
            bits = [self._lit(b) for b in enc.vars().flatten()]
            offset = int(val) - int(x.lb)
            if isinstance(enc, IntVarEncDirect):
                on = [i == offset for i in range(len(bits))]
            elif isinstance(enc, IntVarEncOrder):
                on = [offset >= i + 1 for i in range(len(bits))]
            else:
                on = [bool((offset >> i) & 1) for i in range(len(bits))]
            phases += [lit if flag else -lit for lit, flag in zip(bits, on)]
        self.pysat_solver.set_phases(phases)
        self._hint = phases
