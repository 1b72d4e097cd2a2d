"""Extreme inputs, each run in a child interpreter so that a crash shows as a crash.

Every case must end in a correct result (checked with a SAT solver where that
is cheap) or a clear Python exception. Outside AddressSanitizer the child's
address space is capped, so that an encoding too large for memory ends in an
allocation error instead of exhausting the machine.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _corvane
from semantic import ENCODERS

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
MEMORY_CAP = 3 << 30
PATHS = [str(Path(_corvane.__file__).resolve().parent), str(Path(__file__).resolve().parent)]

PRELUDE = f"""
import os, resource, sys
sys.path[:0] = {PATHS!r}
if os.environ.get("CORVANE_SANITIZED") != "1":
    resource.setrlimit(resource.RLIMIT_AS, ({MEMORY_CAP}, {MEMORY_CAP}))
import _corvane
from pysat.solvers import Solver
U64 = 2**64 - 1
TOP = 2**31 - 1

def encode(wlits, groups, bound, top_id, encoder, emit_amo=False):
    return _corvane.encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)

def clean_refusal(error):
    # a library refusal or an allocation failure, never an internal invariant
    if isinstance(error, MemoryError):
        return True
    text = str(error)
    if text == "std::bad_alloc":
        return True
    return text.startswith("quillet: ") and "lookup failed" not in text and "missing" not in text

_solver = [None, None]

def satisfiable(clauses, assumptions):
    # one solver per clause list, reused across the checks of that list
    if _solver[0] is not clauses:
        if _solver[1] is not None:
            _solver[1].delete()
        _solver[:] = [clauses, Solver(name="minisat22", bootstrap_with=clauses)]
    return _solver[1].solve(assumptions=assumptions)
"""


def run_child(code: str, timeout: float = 60) -> str:
    """Runs `code` in a fresh interpreter; a signal or a non-zero exit fails the test."""
    try:
        proc = subprocess.run(
            [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"child did not finish within {timeout} s: {expired.stderr}")
    if proc.returncode < 0:
        pytest.fail(f"child crashed with {signal.Signals(-proc.returncode).name}:\n{proc.stderr[-4000:]}")
    assert proc.returncode == 0, f"child failed (exit {proc.returncode}):\n{proc.stderr[-4000:]}"
    return proc.stdout


def outcome(stdout: str) -> str:
    """The last line the child printed: "ok ..." or "refused ..."."""
    return stdout.strip().splitlines()[-1]


@pytest.mark.parametrize("encoder", ENCODERS)
def test_one_huge_group(encoder: str) -> None:
    out = run_child(
        f"""
        n = 200_000
        lits = [i if i % 3 else -i for i in range(1, n + 1)]
        wlits = [(lit, abs(lit)) for lit in lits]
        clauses, top = encode(wlits, [lits], n // 2, n, {encoder!r})
        assert top >= n
        half = n // 2
        heavy = half + 1 if (half + 1) % 3 else -(half + 1)
        light = half if half % 3 else -half
        assert satisfiable(clauses, [light]), "a literal of weight = bound is allowed"
        assert not satisfiable(clauses, [heavy]), "a literal heavier than the bound is forbidden"
        assert satisfiable(clauses, [-abs(l) if l > 0 else abs(l) for l in lits[:1000]])
        print("ok", len(clauses))
        """
    )
    assert outcome(out).startswith("ok")


MANY_GROUPS = """
n = {n}
wlits = [(i, 1 + i % 2) for i in range(1, 2 * n + 1)]
groups = [[2 * g + 1, 2 * g + 2] for g in range(n)]
try:
    clauses, top = encode(wlits, groups, 5, 2 * n, {encoder!r})
except (RuntimeError, MemoryError) as error:
    assert clean_refusal(error), repr(error)
    print("refused", error)
    raise SystemExit(0)
# odd literals weigh 2, even ones 1; group g holds 2g+1 and 2g+2
assert satisfiable(clauses, [1, 3, 6]), "2 + 2 + 1 = 5 is within the bound"
assert not satisfiable(clauses, [1, 3, 5]), "2 + 2 + 2 = 6 exceeds the bound"
assert not satisfiable(clauses, [2, 4, 6, 8, 10, 12]), "six ones exceed the bound"
assert satisfiable(clauses, [-v for v in range(1, 2 * n + 1, 997)])
print("ok", len(clauses))
"""


@pytest.mark.parametrize("encoder", ENCODERS)
def test_hundreds_of_thousands_of_groups(encoder: str) -> None:
    # mdd and gswc are linear here; ggpw and gmto build totalizers quadratic
    # in the number of groups and rggt shapes its tree by comparing all pairs
    # of groups, so for them a clean allocation failure is the expected end.
    if encoder == "gmto":
        pytest.skip("gmto grows its top digit quadratically: minutes before memory runs out")
    if SANITIZED and encoder not in ("mdd", "gswc"):
        pytest.skip("without an address-space cap a quadratic encoding would exhaust the machine")
    out = run_child(MANY_GROUPS.format(n=150_000, encoder=encoder), timeout=45)
    if encoder in ("mdd", "gswc"):
        assert outcome(out).startswith("ok")


@pytest.mark.parametrize("encoder", ENCODERS)
def test_hundreds_of_groups_are_encoded(encoder: str) -> None:
    out = run_child(MANY_GROUPS.format(n=400, encoder=encoder))
    assert outcome(out).startswith("ok")


def test_deep_rggt_chain() -> None:
    # Equal weights and a bound just below the total make every merge of the
    # growing subtree with one more leaf the best one: a chain as deep as
    # there are groups.
    out = run_child(
        """
        n = 1500
        wlits = [(i, 1) for i in range(1, n + 1)]
        clauses, top = encode(wlits, [[i] for i in range(1, n + 1)], n - 1, n, "rggt")
        assert not satisfiable(clauses, list(range(1, n + 1)))
        assert satisfiable(clauses, list(range(1, n)) + [-n])
        assert satisfiable(clauses, [-1] + list(range(2, n + 1)))
        print("ok", len(clauses))
        """
    )
    assert outcome(out).startswith("ok")


@pytest.mark.parametrize("encoder", ENCODERS)
def test_weights_near_the_64_bit_limit(encoder: str) -> None:
    # Exact meaning with sums far past 2^64: checked on every assignment.
    out = run_child(
        f"""
        from semantic import Instance, check_semantics
        cases = [
            ([(1, U64), (2, U64), (3, U64)], [[1], [2], [3]], U64),
            ([(1, U64), (2, U64), (-3, 1)], [[1], [2, -3]], U64 - 1),
            ([(1, 2**63), (2, 2**63), (3, 2**63 - 1), (4, 1)], [[1, 4], [2], [3]], U64),
            ([(1, 2**63 + 1), (-1, 2**63 - 1), (2, 2**63 - 1)], [[1], [-1, 2]], 2**63),
            ([(1, 2**63), (2, 2**63), (3, 2**63)], [[1, 2, 3]], 2**63),
            ([(1, U64), (2, U64 - 1), (3, 2), (4, 3)], [[1, 3], [2, 4]], U64),
            ([(i, U64 - i) for i in range(1, 7)], [[1, 2], [3], [4, 5, 6]], 2**63),
            ([(1, 2**62 * 3), (2, 2**62 * 3), (3, 2**62)], [[1], [2], [3]], U64 - 2**62),
        ]
        refused = 0
        for wlits, groups, bound in cases:
            for emit in (False, True):
                instance = Instance(wlits, groups, bound, emit, 6)
                try:
                    check_semantics(instance, {encoder!r})
                except RuntimeError as error:
                    assert clean_refusal(error), repr(error)
                    refused += 1
        print("ok refused", refused)
        """
    )
    if encoder not in ("gswc", "gmto"):  # a counter per unit, 32-bit digits
        assert outcome(out) == "ok refused 0"


@pytest.mark.parametrize("encoder", ENCODERS)
def test_many_groups_of_the_largest_weight(encoder: str) -> None:
    # 60 groups of weight 2^64-1: the sums wrap 64 bits dozens of times.
    out = run_child(
        f"""
        n = 60
        wlits = [(i, U64) for i in range(1, n + 1)]
        groups = [[i] for i in range(1, n + 1)]
        try:
            clauses, top = encode(wlits, groups, U64, n, {encoder!r})
        except RuntimeError as error:
            assert clean_refusal(error), repr(error)
            print("refused", error)
            raise SystemExit(0)
        assert satisfiable(clauses, [n])
        assert not satisfiable(clauses, [1, n])
        assert not satisfiable(clauses, [5, 50])
        clauses, top = encode(wlits, groups, U64 - 1, n, {encoder!r})
        assert not satisfiable(clauses, [7])
        assert satisfiable(clauses, [-i for i in range(1, n + 1)])
        print("ok")
        """
    )
    if encoder not in ("gswc", "gmto"):
        assert outcome(out) == "ok"


@pytest.mark.parametrize("encoder", ENCODERS)
def test_top_id_at_the_end_of_the_id_space(encoder: str) -> None:
    run_child(
        f"""
        wlits = [(1, 3), (2, 5), (-3, 2), (4, 6), (5, 1)]
        groups = [[1, 2], [-3, 4], [5]]
        low, low_top = encode(wlits, groups, 7, 100, {encoder!r}, True)
        aux = low_top - 100
        assert aux > 0
        # exactly enough ids left: the same clauses, fresh ids moved up
        start = TOP - aux
        high, high_top = encode(wlits, groups, 7, start, {encoder!r}, True)
        assert high_top == TOP
        shift = start - 100
        moved = [[l if abs(l) <= 100 else (l + shift if l > 0 else l - shift) for l in c] for c in low]
        assert high == moved
        # one id short, and no id left at all
        for top_id in (start + 1, TOP):
            try:
                encode(wlits, groups, 7, top_id, {encoder!r}, True)
            except RuntimeError as error:
                assert str(error).startswith("quillet: variable ids exhausted"), error
            else:
                raise AssertionError(f"top_id {{top_id}} should run out of ids")
        # a bound above the total: encoders that allocate nothing then are fine
        # at the very end; the others run out of ids just the same
        try:
            assert encode(wlits, groups, 100, TOP, {encoder!r}, True)[1] == TOP
        except RuntimeError as error:
            assert str(error).startswith("quillet: variable ids exhausted"), error
        print("ok")
        """
    )


@pytest.mark.parametrize("encoder", ENCODERS)
def test_literals_at_the_edges_of_the_32_bit_range(encoder: str) -> None:
    run_child(
        f"""
        from semantic import Instance, check_semantics
        edge = [TOP, -TOP, 1, -1, TOP - 1]
        wlits = [(l, w) for l, w in zip(edge, (4, 3, 2, 5, 1))]
        instance = Instance(wlits, [[TOP, 1], [-TOP], [-1, TOP - 1]], 6, True, TOP)
        try:
            check_semantics(instance, {encoder!r})
        except RuntimeError as error:
            assert str(error).startswith("quillet: variable ids exhausted"), error
        else:
            print("encoded without fresh ids")
        # a bound above the total: no fresh id needed, or a clean refusal
        try:
            clauses, top = encode(wlits, [[TOP, 1], [-TOP], [-1, TOP - 1]], 100, TOP, {encoder!r}, True)
            assert top == TOP and [-TOP, -1] in clauses
        except RuntimeError as error:
            assert str(error).startswith("quillet: variable ids exhausted"), error
        for bad in (2**31, -(2**31), 2**32, 2**32 + 1, -(2**32), 2**63, -(2**63), 2**64, 10**30, -(10**30)):
            for call in (
                lambda: encode([(bad, 1)], [[bad]], 1, 5, {encoder!r}),
                lambda: encode([(1, 1)], [[1, bad]], 1, 5, {encoder!r}),
            ):
                try:
                    call()
                except OverflowError as error:
                    assert "out of range" in str(error), error
                else:
                    raise AssertionError(f"literal {{bad}} was accepted")
        print("ok")
        """
    )


def test_non_int_and_huge_int_arguments() -> None:
    run_child(
        """
        from decimal import Decimal
        from fractions import Fraction

        class Index:
            def __init__(self, value):
                self.value = value
            def __index__(self):
                return self.value

        class RaisingIndex:
            def __index__(self):
                raise KeyError("no index")

        base = dict(wlits=[(1, 2), (2, 3), (3, 2)], groups=[[1, 2], [3]], bound=3, top_id=3, encoder="mdd", emit_amo=False)
        plain = _corvane.encode_leq(**base)

        def attempt(**changes):
            args = dict(base, **changes)
            try:
                return _corvane.encode_leq(**args)
            except Exception as error:
                return type(error)

        huge = [2**64, 2**100, -(2**100), 10**400]
        for value in huge:
            assert attempt(bound=value) is OverflowError, value
            assert attempt(top_id=value) is OverflowError, value
            assert attempt(wlits=[(1, value), (2, 3), (3, 2)]) is OverflowError, value
            assert attempt(wlits=[(value, 2), (2, 3), (3, 2)]) is OverflowError, value
            assert attempt(groups=[[1, 2], [3, value]]) is OverflowError, value
        for value in (1.0, 2.5, float("nan"), float("inf"), "3", b"3", None, Decimal(3), Fraction(3, 1), [3], (3,), 3j):
            assert attempt(bound=value) is TypeError, value
            assert attempt(top_id=value) is TypeError, value
            assert attempt(wlits=[(1, value), (2, 3), (3, 2)]) is TypeError, value
            assert attempt(wlits=[(value, 2), (2, 3), (3, 2)]) is TypeError, value
            assert attempt(groups=[[1, 2], [value]]) is TypeError, value
            if not isinstance(value, str):
                assert attempt(encoder=value) is TypeError, value
        # True and False are ints
        assert attempt(bound=True, wlits=[(1, True), (2, 3), (3, 2)]) == _corvane.encode_leq(
            [(1, 1), (2, 3), (3, 2)], [[1, 2], [3]], 1, 3, "mdd", False)
        # objects with __index__: the literal value they stand for, or a TypeError, never a crash
        for where in ("literal", "group", "weight", "bound", "top_id"):
            wide = 2**40 if where in ("weight", "bound") else None  # in range for weights and bounds only
            for obj, value in ((Index(3), 3), (Index(2**40), wide), (Index("x"), None), (RaisingIndex(), None)):
                args = {
                    "literal": dict(wlits=[(1, 2), (2, 3), (obj, 2)]),
                    "group": dict(groups=[[1, 2], [obj]]),
                    "weight": dict(wlits=[(1, 2), (2, 3), (3, obj)]),
                    "bound": dict(bound=obj),
                    "top_id": dict(top_id=obj),
                }[where]
                got = attempt(**args)
                if value == 3 and where in ("literal", "group"):
                    assert got == plain or got is TypeError, (where, got)
                else:
                    assert got in (TypeError, OverflowError, KeyError) or got == attempt(**{
                        "weight": dict(wlits=[(1, 2), (2, 3), (3, value)]),
                        "bound": dict(bound=value), "top_id": dict(top_id=value),
                        "literal": dict(wlits=[(1, 2), (2, 3), (value, 2)]),
                        "group": dict(groups=[[1, 2], [value]]),
                    }[where]), (where, got)
        # unknown keyword, too many and too few arguments
        try:
            _corvane.encode_leq(**base, extra=1)
        except TypeError:
            pass
        else:
            raise AssertionError("extra keyword accepted")
        for args in ((), tuple(base.values())[:5], tuple(base.values()) + (1,)):
            try:
                _corvane.encode_leq(*args)
            except TypeError:
                pass
            else:
                raise AssertionError(f"{len(args)} arguments accepted")
        print("ok")
        """
    )


def test_subclasses_with_lying_methods() -> None:
    # The module reads the stored items and values, not what overridden
    # methods claim.
    run_child(
        """
        class LyingList(list):
            def __len__(self): return 0
            def __iter__(self): return iter([])
            def __getitem__(self, i): raise IndexError("lying")

        class LyingTuple(tuple):
            def __len__(self): return 5
            def __getitem__(self, i): return 99

        class LyingInt(int):
            def __index__(self): return 77
            def __int__(self): return 77

        class LyingStr(str):
            def __str__(self): return "gswc"
            def encode(self, *a, **k): return b"gswc"

        class HugeInt(int):
            pass

        plain = _corvane.encode_leq([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 3, 3, "mdd", True)
        got = _corvane.encode_leq(
            LyingList([LyingTuple((LyingInt(1), LyingInt(2))), LyingTuple((2, 3)), (3, LyingInt(2))]),
            LyingList([LyingList([LyingInt(1), 2]), LyingList([3])]),
            LyingInt(3), LyingInt(3), LyingStr("mdd"), LyingInt(1),
        )
        assert got == plain, got
        for bad in (HugeInt(2**70), HugeInt(-(2**70))):
            for call in (
                lambda: _corvane.encode_leq([(bad, 1)], [[bad]], 1, 1, "mdd", False),
                lambda: _corvane.encode_leq([(1, bad)], [[1]], 1, 1, "mdd", False),
                lambda: _corvane.encode_leq([(1, 1)], [[1]], bad, 1, "mdd", False),
                lambda: _corvane.encode_leq([(1, 1)], [[1]], 1, bad, "mdd", False),
            ):
                try:
                    call()
                except OverflowError:
                    pass
                else:
                    raise AssertionError("huge int subclass accepted")
        # a str subclass naming no encoder, and one with an embedded NUL
        for name in (LyingStr("nope"), "mdd\\x00x"):
            try:
                _corvane.encode_leq([(1, 1)], [[1]], 1, 1, name, False)
            except (RuntimeError, ValueError):
                pass
        print("ok")
        """
    )


def test_emit_amo_whose_truth_test_fails() -> None:
    run_child(
        """
        class Raises:
            def __bool__(self):
                raise ValueError("no truth")

        class NotBool:
            def __bool__(self):
                return 1

        class LenRaises:
            def __len__(self):
                raise KeyError("no len")

        class Deep:
            def __bool__(self):
                return bool(Deep())

        args = ([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 3, 3, "mdd")
        for obj, expected in ((Raises(), ValueError), (NotBool(), TypeError), (LenRaises(), KeyError),
                              (Deep(), RecursionError)):
            for _ in range(100):
                try:
                    _corvane.encode_leq(*args, obj)
                except expected:
                    pass
                else:
                    raise AssertionError(f"{type(obj).__name__} did not raise")
        # the module still works afterwards
        assert _corvane.encode_leq(*args, True)[0][0] == [-1, -2]
        print("ok")
        """
    )
