"""Throughput of encode_leq in 1 and 2 threads: the interpreter lock is released
while an encoder runs, so two threads encoding different constraints should
come close to twice the work per second on two cores.

    python bench/threads.py [--calls 8]
"""

from __future__ import annotations

import argparse
import random
import threading
import time

import _corvane


def constraints(count: int) -> list[tuple[list[tuple[int, int]], list[list[int]], int]]:
    """Medium MDD constraints (about a second each), different per call."""
    out = []
    for seed in range(count):
        rng = random.Random(seed)
        groups, wlits, lit = [], [], 0
        for _ in range(60):
            group = []
            for _ in range(3):
                lit += 1
                group.append(lit)
                wlits.append((lit, rng.randint(1, 400)))
            groups.append(group)
        out.append((wlits, groups, sum(w for _, w in wlits) // 4))
    return out


def run(work: list, threads: int, function=_corvane.encode_flat) -> float:
    """Seconds to encode every constraint of `work`, split over `threads` threads."""
    def worker(items: list) -> None:
        for wlits, groups, bound in items:
            function(wlits, groups, bound, encoder="mdd")

    parts = [work[i::threads] for i in range(threads)]
    pool = [threading.Thread(target=worker, args=(part,)) for part in parts]
    start = time.perf_counter()
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=8)
    args = parser.parse_args()
    work = constraints(args.calls)
    run(work[:1], 1)  # warm-up
    # encode_flat spends almost all its time in the encoder; encode also
    # builds the result lists, which needs the lock.
    for function in (_corvane.encode_flat, _corvane.encode):
        one = run(work, 1, function)
        two = run(work, 2, function)
        print(f"{function.__name__}, {args.calls} calls: 1 thread {one:.2f} s, 2 threads {two:.2f} s, "
              f"throughput ratio {one / two:.2f}x")


if __name__ == "__main__":
    main()
