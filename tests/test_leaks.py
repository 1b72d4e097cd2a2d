"""Reference counts and memory of the module on success and on every error path.

A leaked reference shows as a changed refcount of an input object or as a
growing number of GC-tracked objects; a leaked C++ or Python allocation shows
as resident memory growing over thousands of calls after a warm-up (the
inputs are large enough that one leaked constraint or result per call adds
tens of megabytes). Memory checks are skipped under AddressSanitizer, whose
quarantine makes the resident size grow by design.
"""

from __future__ import annotations

import gc
import os
import random
import sys
from collections import Counter

import pytest

import _corvane
from semantic import ENCODERS

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_LIMIT = 8 * 2**20


def fresh_int(value: int) -> int:
    """An int object of its own, not one of the interpreter's shared small ints."""
    return int(str(value))


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Truthy:
    def __bool__(self):
        return True


class BrokenTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


class Inputs:
    """A valid call of 36 literals in 12 groups built from objects of its own."""

    def __init__(self, encoder: str = "mdd") -> None:
        rng = random.Random(7)
        self.literals = [fresh_int(1001 + i) for i in range(36)]
        self.wlits = [(lit, fresh_int(rng.randint(300, 305) - 299)) for lit in self.literals]
        self.groups = [self.literals[i : i + 3] for i in range(0, 36, 3)]
        self.bound = fresh_int(20)
        self.top_id = fresh_int(2000)
        self.encoder = "".join(encoder)  # a str object of its own
        self.emit_amo = Truthy()

    def args(self, **changes) -> dict:
        args = dict(
            wlits=self.wlits,
            groups=self.groups,
            bound=self.bound,
            top_id=self.top_id,
            encoder=self.encoder,
            emit_amo=self.emit_amo,
        )
        args.update(changes)
        return args

    def tracked(self) -> list[object]:
        objects = [self.wlits, self.groups, self.bound, self.top_id, self.encoder, self.emit_amo]
        objects += self.wlits + self.groups + self.literals
        objects += [w for _, w in self.wlits]
        # the interpreter's shared small ints change their counts on their own
        return [o for o in objects if not (type(o) is int and -5 <= o <= 256)]


def last_item_bad(items: list, bad) -> list:
    """The items followed by one bad item, so that the error comes after conversions."""
    return [*items, bad]


def error_cases(inp: Inputs) -> dict[str, tuple[dict, type]]:
    wl, gr = inp.wlits, inp.groups
    missing = fresh_int(99999)
    return {
        "wlits_not_list": (dict(wlits=tuple(wl)), TypeError),
        "groups_not_list": (dict(groups=tuple(gr)), TypeError),
        "item_not_tuple": (dict(wlits=last_item_bad(wl, [5, 1])), TypeError),
        "tuple_too_long": (dict(wlits=last_item_bad(wl, (5, 1, 1))), TypeError),
        "literal_not_int": (dict(wlits=last_item_bad(wl, (5.0, 1))), TypeError),
        "weight_not_int": (dict(wlits=last_item_bad(wl, (5, "1"))), TypeError),
        "group_not_list": (dict(groups=last_item_bad(gr, (5,))), TypeError),
        "group_literal_not_int": (dict(groups=[*gr[:-1], [*gr[-1], None]]), TypeError),
        "encoder_not_str": (dict(encoder=b"mdd"), TypeError),
        "bound_not_int": (dict(bound=20.0), TypeError),
        "top_id_not_int": (dict(top_id="2000"), TypeError),
        "truth_test_raises": (dict(emit_amo=BrokenTruth()), ZeroDivisionError),
        "literal_too_large": (dict(wlits=last_item_bad(wl, (2**31, 1))), OverflowError),
        "group_literal_too_small": (dict(groups=[*gr[:-1], [*gr[-1], -(2**31)]]), OverflowError),
        "weight_negative": (dict(wlits=last_item_bad(wl, (5, -1))), OverflowError),
        "weight_too_large": (dict(wlits=last_item_bad(wl, (5, 2**64))), OverflowError),
        "bound_negative": (dict(bound=-1), OverflowError),
        "bound_too_large": (dict(bound=2**64), OverflowError),
        "top_id_too_large": (dict(top_id=2**31), OverflowError),
        "unknown_encoder": (dict(encoder="MDD"), RuntimeError),
        "literal_zero": (dict(wlits=last_item_bad(wl, (0, 1))), RuntimeError),
        "weight_zero": (dict(wlits=last_item_bad(wl, (5, 0))), RuntimeError),
        "duplicate_literal": (dict(wlits=last_item_bad(wl, wl[0])), RuntimeError),
        "empty_group": (dict(groups=last_item_bad(gr, [])), RuntimeError),
        "group_literal_unknown": (dict(groups=[*gr[:-1], [*gr[-1], missing]]), RuntimeError),
        "literal_in_two_groups": (dict(groups=last_item_bad(gr, [gr[0][0]])), RuntimeError),
        "literal_in_no_group": (dict(groups=gr[:-1]), RuntimeError),
        "top_id_negative": (dict(top_id=-1), RuntimeError),
        "ids_exhausted": (dict(top_id=2**31 - 3), RuntimeError),
    }


ERROR_NAMES = list(error_cases(Inputs()))


def call_many(inp: Inputs, changes: dict, expected: type | None, times: int) -> None:
    args = inp.args(**changes)
    for _ in range(times):
        if expected is None:
            _corvane.encode_leq(**args)
        else:
            try:
                _corvane.encode_leq(**args)
            except expected:
                pass
            else:
                raise AssertionError(f"{changes} did not raise {expected.__name__}")


@pytest.mark.parametrize("case", ERROR_NAMES)
def test_error_paths_keep_refcounts(case: str) -> None:
    inp = Inputs()
    changes, expected = error_cases(inp)[case]
    tracked = inp.tracked() + [v for v in changes.values() if not (type(v) is int and -5 <= v <= 256)]
    call_many(inp, changes, expected, 10)
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    objects_before = len(gc.get_objects())
    call_many(inp, changes, expected, 1000)
    gc.collect()
    after = [sys.getrefcount(o) for o in tracked]
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(tracked, before, after) if a != b]
    assert not changed, f"{case}: refcounts changed (object, before, after): {changed[:5]}"
    assert len(gc.get_objects()) - objects_before < 50, f"{case}: tracked objects pile up"


@pytest.mark.parametrize("encoder", ENCODERS)
def test_success_keeps_refcounts(encoder: str) -> None:
    inp = Inputs(encoder)
    tracked = inp.tracked()
    call_many(inp, {}, None, 10)
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    objects_before = len(gc.get_objects())
    call_many(inp, {}, None, 500)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
    assert len(gc.get_objects()) - objects_before < 50


def reference_surplus(clauses: list[list[int]]) -> list[tuple[int, int]]:
    """(value, references beyond the result's own slots) of every non-small int of a result.

    The surplus is measured against a replica built in Python, whose ints
    are held by its slots only, so that the bookkeeping of this function
    itself cancels out.
    """

    def counts(rows):
        occurrences = Counter(id(lit) for row in rows for lit in row)
        objects = {id(lit): lit for row in rows for lit in row if abs(lit) > 256}
        return [(obj, sys.getrefcount(obj) - occurrences[key]) for key, obj in objects.items()]

    shared = fresh_int(123456)
    replica = [[shared], [shared, fresh_int(-123457)], [shared]]
    del shared
    baseline = {ref for _, ref in counts(replica)}
    assert len(baseline) == 1
    expected = baseline.pop()
    return [(value, ref - expected) for value, ref in counts(clauses) if ref != expected]


@pytest.mark.parametrize("top_id", [1036, 10**9], ids=["dense_ids", "sparse_ids"])
@pytest.mark.parametrize("encoder", ENCODERS)
def test_result_ints_are_owned_by_the_result_only(encoder: str, top_id: int) -> None:
    # Dense ids let the module share one int object per literal value across
    # clauses; sparse ones give every occurrence its own. Either way every
    # reference to an int of the result must come from a slot of the result.
    inp = Inputs(encoder)
    clauses, top = _corvane.encode_leq(**inp.args(top_id=top_id))
    assert sum(len(c) for c in clauses) > 100
    surplus = reference_surplus(clauses)
    assert not surplus, f"(value, extra references): {surplus[:5]}"
    assert sys.getrefcount(top) == 2  # the name and the argument
    first = clauses[0]
    assert sys.getrefcount(first) == 3  # the list slot, the name and the argument
    del first
    assert sys.getrefcount(clauses) == 2


def test_available_encoders_owns_nothing_extra() -> None:
    for _ in range(5):
        _corvane.available_encoders()
    gc.collect()
    objects_before = len(gc.get_objects())
    names = [_corvane.available_encoders() for _ in range(1000)]
    first = names[0]
    name = first[0]
    assert sys.getrefcount(name) == 3  # the list slot, the name and the argument
    assert sys.getrefcount(first) == 3
    del names
    gc.collect()
    assert len(gc.get_objects()) - objects_before < 50


def grows(action, warm_up: int, times: int) -> int:
    for _ in range(warm_up):
        action()
    gc.collect()
    start = rss()
    for _ in range(times):
        action()
    gc.collect()
    return rss() - start


memory = pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine grows the resident size by design")


@memory
@pytest.mark.parametrize("encoder", ENCODERS)
def test_memory_is_stable_on_success(encoder: str) -> None:
    inp = Inputs(encoder)
    args = inp.args()
    growth = grows(lambda: _corvane.encode_leq(**args), 500, 10_000)
    assert growth < RSS_LIMIT, f"{encoder}: resident memory grew by {growth / 2**20:.1f} MiB over 10000 calls"


@memory
def test_memory_is_stable_on_error_paths() -> None:
    inp = Inputs()
    cases = error_cases(inp)
    calls = [(inp.args(**changes), expected) for changes, expected in cases.values()]

    def one_round() -> None:
        for args, expected in calls:
            try:
                _corvane.encode_leq(**args)
            except expected:
                pass

    growth = grows(one_round, 50, 1000)  # about 29000 failing calls
    assert growth < RSS_LIMIT, f"resident memory grew by {growth / 2**20:.1f} MiB over {1000 * len(calls)} calls"


@memory
def test_memory_is_stable_for_available_encoders() -> None:
    growth = grows(_corvane.available_encoders, 1000, 100_000)
    assert growth < RSS_LIMIT, f"resident memory grew by {growth / 2**20:.1f} MiB"


def file_calls(tmp_path) -> list[tuple[object, type | None]]:
    """Each file function once on success and on its error paths."""
    good, bad = tmp_path / "good.opb", tmp_path / "bad.opb"
    good.write_text("min: +1 x1 +2 x2 +3 x3 ;\n+1 x1 +1 x2 +1 x3 >= 1 ;\n+2 x1 +3 x2 +4 x3 <= 5 ;\n")
    bad.write_text("+1 x1 +1 x2 >= 1 ;\n+1 x1 x2 >= 1 ;\n")

    def with_fd(path, call):
        def run():
            fd = os.open(path, os.O_RDONLY)
            try:
                return call(fd)
            finally:
                os.close(fd)
        return run

    with_fd(good, lambda fd: None)()
    handle = with_fd(good, lambda fd: _corvane.opb_load(fd, "good.opb"))()[0]
    out = str(tmp_path / "out.cnf")
    return [
        (with_fd(good, lambda fd: _corvane.opb_convert(fd, "good.opb", out)), None),
        (with_fd(bad, lambda fd: _corvane.opb_convert(fd, "bad.opb", out)), _corvane.OpbError),
        (with_fd(good, lambda fd: _corvane.opb_convert(fd, "good.opb", out, threads=0)), OverflowError),
        (with_fd(good, lambda fd: _corvane.opb_convert(fd, "good.opb", out, encoding="nope")), ValueError),
        (with_fd(good, lambda fd: _corvane.opb_stats(fd, "good.opb")), None),
        (with_fd(bad, lambda fd: _corvane.opb_stats(fd, "bad.opb")), _corvane.OpbError),
        (with_fd(good, lambda fd: _corvane.opb_load(fd, "good.opb")), None),
        (with_fd(bad, lambda fd: _corvane.opb_load(fd, "bad.opb")), _corvane.OpbError),
        (lambda: _corvane.opb_convert(-1, "x", out), OverflowError),
        (lambda: _corvane.opb_objective_bound(handle, 3, 10), None),
        (lambda: _corvane.opb_objective_bound(handle, -1, 10), OverflowError),
        (lambda: _corvane.opb_objective_bound(handle, 3, 2**31), OverflowError),
        (lambda: _corvane.opb_objective_bound(object(), 3, 10), TypeError),
        (lambda: _corvane.opb_check(handle, [1, -2, 3]), None),
        (lambda: _corvane.opb_check(handle, [1, "2"]), TypeError),
        (lambda: _corvane.opb_check(handle, 5), TypeError),
    ]


def test_file_functions_keep_refcounts_and_memory(tmp_path) -> None:
    calls = file_calls(tmp_path)

    def one_round() -> None:
        for call, expected in calls:
            if expected is None:
                call()
                continue
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError(f"{call} did not raise {expected.__name__}")

    one_round()
    gc.collect()
    objects_before = len(gc.get_objects())
    growth = grows(one_round, 20, 300)
    assert len(gc.get_objects()) - objects_before < 50, "tracked objects pile up"
    if not SANITIZED:
        assert growth < RSS_LIMIT, f"resident memory grew by {growth / 2**20:.1f} MiB over {300 * len(calls)} calls"
