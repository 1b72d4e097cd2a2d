"""The module's budgeted, interruptible and flat entry points.

encode, encode_flat, sizes and choose against encode_leq; the size budget
refusing before memory is spent (checked in child interpreters under an
address-space limit); Ctrl-C and other threads during a long encode; the
argument errors that name their position; NumPy integers as inputs.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import textwrap

import pytest

import _corvane
from semantic import ENCODERS

TOO_LARGE = "quillet: encoding too large"


def random_constraint(rng: random.Random) -> tuple[list[tuple[int, int]], list[list[int]], int]:
    sizes = [rng.randint(1, 3) for _ in range(rng.randint(1, 6))]
    lits = list(range(1, sum(sizes) + 1))
    rng.shuffle(lits)
    lits = [lit if rng.random() < 0.7 else -lit for lit in lits]
    groups, at = [], 0
    for size in sizes:
        groups.append(lits[at : at + size])
        at += size
    wlits = [(lit, rng.randint(1, 12)) for lit in lits]
    return wlits, groups, rng.randint(0, sum(w for _, w in wlits))


def flat(clauses: list[list[int]]) -> list[int]:
    return [lit for clause in clauses for lit in [*clause, 0]]


@pytest.mark.parametrize("seed", range(20))
def test_new_entry_points_agree_with_encode_leq(seed: int) -> None:
    rng = random.Random(seed)
    wlits, groups, bound = random_constraint(rng)
    top = max(abs(lit) for lit, _ in wlits)
    emit_amo = rng.random() < 0.5
    outputs = {name: _corvane.encode_leq(wlits, groups, bound, top, name, emit_amo) for name in ENCODERS}
    sizes = _corvane.sizes(wlits, groups, bound, emit_amo=emit_amo)
    for name, (clauses, new_top) in outputs.items():
        assert _corvane.encode(wlits, groups, bound, encoder=name, emit_amo=emit_amo) == (clauses, new_top), seed
        buffer, flat_top = _corvane.encode_flat(wlits, groups, bound, top, name, emit_amo)
        assert memoryview(buffer).format == "i" and memoryview(buffer).tolist() == flat(clauses), seed
        assert flat_top == new_top
        assert sizes[name] == (new_top - top, len(clauses), sum(map(len, clauses))), (seed, name)
    smallest = min(sizes[name][2] for name in ENCODERS)
    chosen = _corvane.choose(wlits, groups, bound, top, emit_amo)
    # Exact among the four; rggt's trial may give up on a value-set estimate.
    assert sizes[chosen][2] == min(sizes[name][2] for name in ENCODERS if name != "rggt" or name == chosen)
    assert _corvane.encode(wlits, groups, bound, top, "auto", emit_amo) == outputs[chosen]
    picked, _ = _corvane.encode(wlits, groups, bound, top, "smallest", emit_amo)
    assert sum(map(len, picked)) == smallest


@pytest.mark.parametrize("encoder", ENCODERS)
def test_clean_drops_repeats_and_tautologies_only(encoder: str) -> None:
    rng = random.Random(3)
    for _ in range(10):
        wlits, groups, bound = random_constraint(rng)
        raw, top = _corvane.encode(wlits, groups, bound, encoder=encoder)
        cleaned, clean_top = _corvane.encode(wlits, groups, bound, encoder=encoder, clean=True)
        expected = [list(dict.fromkeys(c)) for c in raw if not any(-lit in c for lit in c)]
        assert (cleaned, clean_top) == (expected, top)


def test_budget_and_top_id_checks() -> None:
    wlits, groups = [(1, 3), (2, 5), (3, 2), (4, 6)], [[1, 2], [3, 4]]
    with pytest.raises(RuntimeError, match="^quillet: top_id must be at least the largest input variable$"):
        _corvane.encode_leq(wlits, groups, 7, 0, "gmto", False)
    # validation comes first, then the top_id checks
    with pytest.raises(RuntimeError, match="^quillet: AMO groups must be non-empty$"):
        _corvane.encode_leq(wlits, [*groups, []], 7, 0, "gmto", False)
    sizes = _corvane.sizes(wlits, groups, 7, max_literals=20)
    assert all(size is None or size[2] <= 20 for size in sizes.values()) and None in sizes.values()
    for name in ENCODERS:
        needed = sum(map(len, _corvane.encode(wlits, groups, 7, encoder=name)[0]))
        assert _corvane.encode(wlits, groups, 7, encoder=name, max_literals=needed)[1] >= 4
        with pytest.raises(_corvane.EncodingTooLarge, match=TOO_LARGE):
            _corvane.encode(wlits, groups, 7, encoder=name, max_literals=needed - 1)
    with pytest.raises(_corvane.EncodingTooLarge, match=TOO_LARGE):
        _corvane.encode(wlits, groups, 7, max_literals=1)


@pytest.mark.parametrize(
    "call, error",
    [
        ("encode_leq([(1, 2), (2, -1)], [[1], [2]], 1, 2, 'mdd', False)",
         "OverflowError: weight of wlits[1] is out of range (1..18446744073709551615)"),
        ("encode_leq([(1, 2), (2, 2**64)], [[1], [2]], 1, 2, 'mdd', False)",
         "OverflowError: weight of wlits[1] is out of range (1..18446744073709551615)"),
        ("encode_leq([(1, 2.0)], [[1]], 1, 2, 'mdd', False)", "TypeError: weight of wlits[0] must be int, not float"),
        ("encode_leq([(1.0, 2)], [[1]], 1, 2, 'mdd', False)", "TypeError: literal of wlits[0] must be int, not float"),
        ("encode_leq([(1, 2)], [[None]], 1, 2, 'mdd', False)", "TypeError: groups[0][0] must be int, not NoneType"),
        ("encode_leq([(1, 2)], [[1]], 1, 2, 5, False)", "TypeError: encoder must be str, not int"),
        ("encode_leq([(1, 2)], [[1]], 1.5, 2, 'mdd', False)", "TypeError: bound must be int, not float"),
        ("encode_leq([(1, 2)], [[1]], 1, '2', 'mdd', False)", "TypeError: top_id must be int, not str"),
        ("encode_leq([(10**5000, 2)], [[1]], 1, 2, 'mdd', False)", "OverflowError: literal <int of 16610 bits> is out"),
        ("encode_leq([(1, 10**5000)], [[1]], 1, 2, 'mdd', False)", "OverflowError: weight of wlits[0] is out of range"),
        ("encode_leq([(1, 2)], [[1]], 10**5000, 2, 'mdd', False)", "OverflowError: bound <int of 16610 bits> is out"),
        ("encode([(1, 2)], [[1]], 1, max_literals=-1)", "OverflowError: max_literals -1 is out of range"),
    ],
)
def test_argument_errors_name_the_argument(call: str, error: str) -> None:
    with pytest.raises((TypeError, OverflowError)) as info:
        eval(call, vars(_corvane))
    assert f"{type(info.value).__name__}: {info.value}".startswith(error)


def test_numpy_integers_are_accepted() -> None:
    numpy = pytest.importorskip("numpy")
    wlits = [(numpy.int32(1), numpy.int64(3)), (numpy.int16(2), numpy.uint64(5))]
    assert _corvane.encode_leq(wlits, [[1], [numpy.int8(2)]], numpy.uint32(4), 2, "mdd", False) == (
        _corvane.encode_leq([(1, 3), (2, 5)], [[1], [2]], 4, 2, "mdd", False)
    )
    buffer, _ = _corvane.encode_flat([(1, 3), (2, 5)], [[1], [2]], 4, encoder="gswc")
    assert numpy.frombuffer(buffer, dtype=numpy.int32).tolist() == memoryview(buffer).tolist()
    with pytest.raises(TypeError):
        _corvane.encode_leq([(1, numpy.float64(3))], [[1]], 4, 1, "mdd", False)


def run_child(code: str, timeout: float = 120) -> str:
    """Runs `code` in a fresh interpreter; a signal or a non-zero exit fails the test."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, f"child failed (exit {proc.returncode}):\n{proc.stderr[-4000:]}"
    return proc.stdout


# Each case needs far more than the budget, most of them gigabytes; under a
# 1 GiB address space a refusal after allocating would end in MemoryError or
# bad_alloc instead of the too-large error.
OVERSIZED = {
    "gswc_huge_bound": "encode_leq([(1, 1), (2, 1), (3, 1)], [[1], [2], [3]], 10**9, 3, 'gswc', False)",
    "gswc_heavy_pair": "encode_leq([(1, 2**29), (2, 1)], [[1], [2]], 2**29, 2, 'gswc', False)",
    "ggpw_many_groups": "encode_leq([(i, 1) for i in range(1, 150001)], [[i] for i in range(1, 150001)], 75000,"
                        " 150000, 'ggpw', False)",
    "amo_pairs": "encode_leq([(i, 1) for i in range(1, 50001)], [list(range(1, 50001))], 0, 50000, 'mdd', True)",
    "ggpw_wide_weights": "encode([(i, 2**64 - 1) for i in range(1, 1001)], [[i] for i in range(1, 1001)], 2**64 - 2,"
                         " encoder='ggpw', max_literals=10**7)",
    "mdd_random_41_bit": "encode([(i, w) for i, w in enumerate(WEIGHTS, 1)], [[i] for i in range(1, 29)], "
                         "sum(WEIGHTS) // 2, encoder='mdd', max_literals=10**7)",
    "gmto_coprime_pair": "encode([(1, 16777213), (2, 16777259)], [[1], [2]], 16777260, encoder='gmto',"
                         " max_literals=10**7)",
    "rggt_many_groups": "encode([(i, i) for i in range(1, 3001)], [[i] for i in range(1, 3001)], 3000,"
                        " encoder='rggt', max_literals=10**6)",
}


@pytest.mark.skipif(os.environ.get("CORVANE_SANITIZED") == "1", reason="the sanitizers reserve terabytes of address space")
@pytest.mark.parametrize("case", OVERSIZED)
def test_oversized_encodings_are_refused_before_allocating(case: str) -> None:
    out = run_child(f"""
        import random, resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from _corvane import encode, encode_leq
        rng = random.Random(1)
        WEIGHTS = [rng.getrandbits(41) for _ in range(28)]
        try:
            {OVERSIZED[case]}
        except RuntimeError as error:
            print(error)
    """)
    assert out.startswith(TOO_LARGE), out


def test_long_encode_lets_threads_run_and_stops_on_ctrl_c() -> None:
    out = run_child("""
        import os, random, signal, threading, time
        import _corvane
        rng = random.Random(1)
        weights = [rng.getrandbits(41) for _ in range(28)]
        ticks = 0
        def tick():
            global ticks
            while True:
                time.sleep(0.005)
                ticks += 1
        threading.Thread(target=tick, daemon=True).start()
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            _corvane.encode([(i, w) for i, w in enumerate(weights, 1)], [[i] for i in range(1, 29)],
                            sum(weights) // 2, encoder="mdd", max_literals=2**40)
        except KeyboardInterrupt:
            print(time.monotonic() - start, ticks)
    """)
    elapsed, ticks = out.split()
    assert float(elapsed) < 2.5, out  # the signal came at 1 s
    assert int(ticks) > 20, out  # the other thread ran meanwhile


@pytest.mark.parametrize("function", ["encode", "encode_flat", "sizes", "choose"])
def test_new_entry_points_keep_refcounts_on_every_path(function: str) -> None:
    import gc

    wlits = [(int(str(1000 + i)), int(str(7 + i % 3))) for i in range(30)]
    groups = [[lit for lit, _ in wlits[i : i + 3]] for i in range(0, 30, 3)]
    bound = int(str(40))
    bad = (int(str(5000)), 2.5)
    calls = [
        (dict(), None),
        (dict(max_literals=int(str(3))), RuntimeError),  # too large, or nothing fits
        (dict(wlits=[*wlits, bad]), TypeError),
        (dict(top_id=int(str(10))), RuntimeError),
        (dict(groups=groups[:-1]), RuntimeError),
    ]
    if function.startswith("encode"):
        calls.append((dict(encoder="nope"), RuntimeError))
    tracked = [wlits, groups, bound, bad, *wlits, *groups, *(w for _, w in wlits), *(lit for lit, _ in wlits)]

    def run_all() -> None:
        for changes, expected in calls:
            args = {"wlits": wlits, "groups": groups, "bound": bound, **changes}
            try:
                getattr(_corvane, function)(**args)
            except Exception as error:
                assert expected is not None and isinstance(error, expected), (changes, error)
            else:
                assert expected is None or function == "sizes", changes

    run_all()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(200):
        run_all()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


GOOD = ([(1, 3), (2, 5), (3, 2)], [[1, 2], [3]], 4)


@pytest.mark.parametrize("args, kwargs, kind", [
    (([(1, 3), (2, 5)], [[1], [1, 2]], 4), {}, "InvalidConstraint"),
    (([(1, 0)], [[1]], 4), {}, "InvalidConstraint"),
    (GOOD, {"encoder": "nope"}, "InvalidConstraint"),
    (GOOD, {"max_literals": 1}, "EncodingTooLarge"),
    (GOOD, {"top_id": 2**31 - 2, "encoder": "mdd"}, "IdsExhausted"),
    (([(1, 3), (2, 5)], [[1], [2]], 2**40), {"encoder": "gswc"}, "IdsExhausted"),
])
def test_each_failure_kind_has_its_class(args: tuple, kwargs: dict, kind: str) -> None:
    expected = getattr(_corvane, kind)
    for function in (_corvane.encode, _corvane.encode_flat):
        with pytest.raises(expected) as caught:
            function(*args, **kwargs)
        assert type(caught.value) is expected and str(caught.value).startswith("quillet: ")
    assert issubclass(expected, RuntimeError)
    # encode_leq keeps the plain RuntimeError with the same message.
    leq = dict(top_id=kwargs.get("top_id", 5), encoder=kwargs.get("encoder", "gmto"), emit_amo=False)
    if "max_literals" not in kwargs:
        with pytest.raises(RuntimeError) as plain:
            _corvane.encode_leq(*args, **leq)
        assert type(plain.value) is RuntimeError and str(plain.value) == str(caught.value)


def test_amo_clauses_are_the_encoders_own() -> None:
    group = [4, -7, 9]
    assert _corvane.amo_clauses([group], "pairwise")[0] == _corvane.encode_leq(
        [(lit, 1) for lit in group], [group], 3, 9, "gswc", True)[0][:3]
    clauses, top = _corvane.amo_clauses([list(range(1, 9))], "ladder", 8)
    assert (top, len(clauses)) == (15, 3 * 8 - 4)
    assert _corvane.amo_clauses([list(range(1, 9))], "sequential", 8) == (clauses, top)
    with pytest.raises(ValueError, match="unknown AMO method"):
        _corvane.amo_clauses([[1, 2]], "clique")
