"""Calls from several Python threads at once give the same results as sequential calls."""

from __future__ import annotations

import random
import sys
import threading

import pytest

import _corvane
from semantic import ENCODERS, random_instance

THREADS = 6
SEED = 4242


def workload(seed: int) -> list[tuple]:
    """Seeded calls of every encoder: small and medium, some invalid, some refused."""
    rng = random.Random(seed)
    calls = []
    for _ in range(120):
        instance = random_instance(rng, max_vars=rng.choice((4, 8, 16)), weight_scale=rng.choice((1, 1, 7)))
        calls.append((instance.wlits, instance.groups, instance.bound, instance.top_id, instance.emit_amo))
    calls.append(([(1, 1), (1, 2)], [[1]], 1, 1, False))  # duplicate literal
    calls.append(([(1, 1)], [[1], []], 1, 1, True))  # empty group
    calls.append(([(1, 3), (2, 3), (3, 3)], [[1], [2], [3]], 4, 2**31 - 2, False))  # ids run out
    return [(call, encoder) for call in calls for encoder in ENCODERS]


def run_call(item):
    (wlits, groups, bound, top_id, emit_amo), encoder = item
    try:
        return _corvane.encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)
    except RuntimeError as error:
        return f"RuntimeError: {error}"


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    yield
    sys.setswitchinterval(old)


def test_concurrent_calls_match_sequential_ones(fast_switching) -> None:
    items = workload(SEED)
    expected = [run_call(item) for item in items]
    results: list[list | None] = [None] * THREADS
    errors: list[BaseException] = []
    barrier = threading.Barrier(THREADS)

    def worker(index: int) -> None:
        try:
            order = list(range(len(items)))
            random.Random(f"{SEED}-{index}").shuffle(order)  # each thread its own order
            barrier.wait()
            got = [None] * len(items)
            for _ in range(2):
                for k in order:
                    got[k] = run_call(items[k])
                    _corvane.available_encoders()
            results[index] = got
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, f"seed {SEED}: {errors[0]!r}"
    for index, got in enumerate(results):
        wrong = [k for k in range(len(items)) if got[k] != expected[k]]
        assert not wrong, f"seed {SEED}, thread {index}: calls {wrong[:5]} differ, first {items[wrong[0]]}"
