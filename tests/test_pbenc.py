"""corvane.PBEnc against the meaning of <=, >= and = with a SAT solver.

Instances come from the shared generator of semantic.py (signs, x and -x in
different groups, bounds around the total), with some weights made negative
and bounds spread over the whole range of the sum. For every assignment of
the input variables that respects the groups (or every assignment, when the
AMO clauses are written), the result must be satisfiable exactly when the
relation holds.
"""

from __future__ import annotations

import itertools
import random

import pytest
from pysat.formula import CNF, IDPool
from pysat.solvers import Solver

import corvane
from corvane import EncType, PBEnc
from semantic import ENCODERS, random_instance

RELATIONS = {
    "atmost": lambda total, k: total <= k,
    "atleast": lambda total, k: total >= k,
    "equals": lambda total, k: total == k,
}


def refused(wlits, groups) -> bool:
    """x and -x in two different groups of several literals cannot be summed over groups."""
    owner = {lit: i for i, g in enumerate(groups) for lit in g}
    lits = {lit for lit, _ in wlits}
    return any(
        -lit in lits and owner[lit] != owner[-lit] and len(groups[owner[lit]]) > 1 and len(groups[owner[-lit]]) > 1
        for lit in lits
    )


def check(cnf, wlits, groups, relation: str, bound: int, emit_amo: bool, top: int, context: str) -> None:
    variables = sorted({abs(lit) for lit, _ in wlits})
    used = {abs(lit) for clause in cnf.clauses for lit in clause}
    assert cnf.nv >= max(used | {top}), context
    assert all(v in variables or v > top for v in used), f"a clause uses a foreign variable ({context})"
    holds = RELATIONS[relation]
    with Solver(name="minisat22", bootstrap_with=cnf.clauses) as solver:
        for values in itertools.product((False, True), repeat=len(variables)):
            true = {v: value for v, value in zip(variables, values)}

            def is_true(lit: int) -> bool:
                return true[abs(lit)] == (lit > 0)

            if any(sum(map(is_true, g)) > 1 for g in groups):
                if not emit_amo:
                    continue
                want = False
            else:
                want = holds(sum(w for lit, w in wlits if is_true(lit)), bound)
            assumptions = [v if value else -v for v, value in true.items()]
            assert solver.solve(assumptions=assumptions) == want, f"assignment {assumptions} ({context})"


def random_case(rng: random.Random):
    inst = random_instance(rng, max_vars=7)
    wlits = [(lit, -w if rng.random() < 0.25 else w) for lit, w in inst.wlits]
    if rng.random() < 0.2 and wlits:
        wlits.append(rng.choice(wlits))  # a repeated literal
    low = sum(min(0, *(w for lit, w in wlits if lit in g)) for g in inst.groups)
    high = sum(max(0, *(w for lit, w in wlits if lit in g)) for g in inst.groups)
    if rng.random() < 0.8 and high - low >= 2:
        bound = rng.randint(low + 1, high - 1)
    else:
        bound = rng.choice([low - 1, low, high, high + 1, inst.bound])
    return wlits, inst.groups, bound, inst.emit_amo


@pytest.mark.parametrize("seed", range(100))
@pytest.mark.parametrize("relation", RELATIONS)
@pytest.mark.parametrize("encoding", [*ENCODERS, "auto", "smallest"])
def test_random_relations(encoding: str, relation: str, seed: int) -> None:
    rng = random.Random(f"pbenc-{encoding}-{relation}-{seed}")
    wlits, groups, bound, emit_amo = random_case(rng)
    amo = rng.choice(["pairwise", "sequential", "auto"])
    top = max([abs(lit) for lit, _ in wlits] + [0]) + rng.choice((0, 2))
    context = f"seed={seed} {relation} wlits={wlits} groups={groups} bound={bound} amo={emit_amo}/{amo}"
    call = getattr(PBEnc, relation)
    args = dict(lits=[lit for lit, _ in wlits], weights=[w for _, w in wlits], bound=bound, top_id=top,
                encoding=encoding, groups=groups, emit_amo=emit_amo, amo=amo)
    try:
        cnf = call(**args)
    except ValueError as error:
        # Only x and -x in two groups of several literals may be refused (unless a group with
        # both x' and -x' already forces one of them false, which the package then accepts).
        assert refused(wlits, groups) and "two different AMO groups" in str(error), context
        return
    check(cnf, wlits, groups, relation, bound, emit_amo, top, context)


@pytest.mark.parametrize("relation", RELATIONS)
def test_vpool_never_collides(relation: str) -> None:
    rng = random.Random(7)
    pool = IDPool(occupied=[[30, 40]])
    x = [pool.id(f"x{i}") for i in range(6)]
    groups = [x[:3], x[3:]]
    for _ in range(5):
        weights = [rng.randint(1, 9) for _ in x]
        before = pool.top
        cnf = getattr(PBEnc, relation)(x, weights, bound=12, vpool=pool, groups=groups, encoding="gmto")
        fresh = {abs(lit) for c in cnf.clauses for lit in c} - set(x)
        assert all(v > before and not 30 <= v <= 40 for v in fresh)
        assert pool.top >= cnf.nv >= max(fresh, default=0)
        assert pool.id("later") not in fresh
        check(cnf, list(zip(x, weights)), groups, relation, 12, False, before, relation)


def test_trivial_bounds_call_no_encoder(monkeypatch) -> None:
    def boom(*args, **kwargs):
        raise AssertionError("an encoder was called")

    monkeypatch.setattr(corvane.pb._native, "encode", boom)
    assert PBEnc.atmost([1, 2, 3], [1, 2, 3], bound=6).clauses == []
    assert PBEnc.atmost([1, 2, 3], [1, 2, 3], bound=-1).clauses == [[]]
    assert PBEnc.atleast([1, 2, 3], [1, 2, 3], bound=4, groups=[[1, 2, 3]]).clauses == [[]]
    assert PBEnc.atleast([1, 2, 3], [1, 2, 3], bound=7, conditionals=[9]).clauses == [[-9]]
    # x1 + x2 + x3 <= 2**24 never breaks; neither do 10,000 weight-1 literals against 10,000.
    assert PBEnc.atmost([1, 2, 3], bound=2**24, encoding="gswc").clauses == []
    assert PBEnc.atmost(list(range(1, 10001)), bound=10000, encoding="ggpw").nv == 10000


def test_auto_avoids_exploding_encoders() -> None:
    # gmto writes 33.5 million clauses here, gswc 16.8 million.
    cnf = PBEnc.atmost([1, 2], [16777213, 16777259], bound=16777260)
    assert len(cnf.clauses) <= 4
    check(cnf, [(1, 16777213), (2, 16777259)], [], "atmost", 16777260, False, 2, "coprime")


def test_conditionals_reify() -> None:
    cnf = PBEnc.atmost([1, 2, 3], [2, 2, 3], bound=3, conditionals=[4])
    with Solver(name="minisat22", bootstrap_with=cnf.clauses) as s:
        assert s.solve(assumptions=[1, 2, 3, -4])
        assert not s.solve(assumptions=[1, 2, -3, 4])
        assert s.solve(assumptions=[-1, -2, 3, 4])


@pytest.mark.parametrize(
    "encoding, name",
    [(EncType.best, "auto"), (EncType.bdd, "mdd"), (EncType.seqcounter, "gswc"), (EncType.totalizer, "rggt"),
     (EncType.binmerge, "ggpw"), (EncType.mixedradix, "gmto"), ("rggt", "rggt")],
)
def test_pysat_encodings_map(monkeypatch, encoding, name: str) -> None:
    seen = []
    real = corvane.pb._native.encode
    monkeypatch.setattr(corvane.pb._native, "encode", lambda *a: seen.append(a[4]) or real(*a))
    PBEnc.atmost([1, 2, 3], [1, 2, 3], bound=3, encoding=encoding)
    assert seen == [name]


@pytest.mark.parametrize("encoding", [EncType.native, 42, "bdd"])
def test_unknown_encodings_are_refused(encoding) -> None:
    with pytest.raises(ValueError):
        PBEnc.atmost([1, 2], bound=1, encoding=encoding)


def test_pysat_documentation_examples() -> None:
    """The examples of pysat.pb's documentation, run with corvane's names."""
    namespace: dict = {}
    exec("from corvane import *\n"
         "cnf = PBEnc.atmost(lits=[1, 2, 3], weights=[1, 2, 3], bound=3)\n"
         "cnf2 = PBEnc.equals(lits=[1, 2, 3], weights=[1, 2, 3], bound=3, encoding=EncType.bdd)\n", namespace)
    assert isinstance(namespace["cnf"], CNF)
    check(namespace["cnf"], [(1, 1), (2, 2), (3, 3)], [], "atmost", 3, False, 3, "doc atmost")
    check(namespace["cnf2"], [(1, 1), (2, 2), (3, 3)], [], "equals", 3, False, 3, "doc equals")
    with Solver(name="cadical153") as solver:
        pool = IDPool()
        lits = [pool.id(i) for i in range(5)]
        solver.append_formula(PBEnc.atleast(lits, [(i % 3) + 1 for i in range(5)], 5, vpool=pool))
        solver.append_formula(PBEnc.atmost([(lit, 1) for lit in lits], bound=2, vpool=pool))
        assert solver.solve()
        model = set(solver.get_model())
        assert sum(lit in model for lit in lits) <= 2
        assert sum(((i % 3) + 1) for i, lit in enumerate(lits) if lit in model) >= 5


@pytest.mark.parametrize("method", ["pairwise", "sequential", "auto"])
def test_amo_methods_are_exact(method: str) -> None:
    for n in (2, 3, 7, 9):
        group = list(range(1, n + 1))
        clauses, top = corvane.amo_clauses([group], method, n)
        with Solver(name="minisat22", bootstrap_with=clauses) as s:
            for values in itertools.product((False, True), repeat=n):
                assumptions = [v if b else -v for v, b in zip(group, values)]
                assert s.solve(assumptions=assumptions) == (sum(values) <= 1), (method, assumptions)
        assert top == n if method == "pairwise" or (method == "auto" and n <= 6) or n == 2 else top == 2 * n - 1


def test_simple_idpool_matches_pysat() -> None:
    ours, theirs = corvane.SimpleIDPool(occupied=[[3, 5], [8, 8]]), IDPool(occupied=[[3, 5], [8, 8]])
    for obj in ["a", None, "b", "a", None, "c", "d", None]:
        assert ours.id(obj) == theirs.id(obj)
    ours.occupy(14, 16)
    theirs.occupy(14, 16)
    assert [ours.id() for _ in range(5)] == [theirs.id() for _ in range(5)]
    assert ours.top == theirs.top and ours.obj(1) == theirs.obj(1)


def test_simple_cnf_matches_pysat() -> None:
    ours, theirs = corvane.SimpleCNF([[1, -5]]), CNF(from_clauses=[[1, -5]])
    for cnf in (ours, theirs):
        cnf.append([7, -2])
        cnf.extend([[3], [-9, 4]])
    assert (ours.nv, ours.clauses, list(ours)) == (theirs.nv, theirs.clauses, list(theirs))
    assert ours.to_dimacs().split("\n") == [line for line in theirs.to_dimacs().split("\n") if line[:1] != "c"]


def test_sizes_count_the_result() -> None:
    args = dict(lits=[1, 2, 3, 4, -5], weights=[3, 5, 2, 6, -4], bound=7, groups=[[1, 2], [3, 4]])
    for relation in ("atmost", "atleast", "equals"):
        found = corvane.sizes(**args, relation=relation, emit_amo=True)
        for name, size in found.items():
            cnf = getattr(PBEnc, relation)(**args, encoding=name, emit_amo=True, clean=False)
            assert size == (cnf.nv - 5, len(cnf.clauses), sum(map(len, cnf.clauses))), (relation, name)


def test_max_literals_is_enforced() -> None:
    with pytest.raises(corvane.EncodingTooLarge):
        PBEnc.atmost(list(range(1, 41)), bound=20, encoding="gswc", max_literals=100)
    with pytest.raises(corvane.EncodingTooLarge):
        PBEnc.atmost([1, 2, 3], bound=1, groups=[[1, 2, 3]], emit_amo=True, max_literals=2)
