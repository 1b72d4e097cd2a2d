#!/usr/bin/env python3
"""Golden-output corpus: pins the exact output of every encoder.

A seeded generator makes a few thousand grouped at-most constraints (small to
medium sizes, small and huge weights, bounds at the interesting places,
emit_amo on and off, several top ids, a few invalid ones). For each encoder
the exact outputs, the clause list and new top id of every call, or the
error message where the call refuses, are hashed with sha256, both as a
whole and in blocks so that a mismatch can be narrowed down to a few
hundred instances. tests/golden/checksums.json holds the pinned digests and
tests/test_golden.py recomputes them.

Usage (the module _corvane must be importable, e.g. PYTHONPATH=build):
  python tools/golden.py            compare with the pinned digests
  python tools/golden.py --write    pin the current outputs (a deliberate act:
                                    only after a reviewed change of output)
  python tools/golden.py --show N   print instance N and each encoder's output
"""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CHECKSUMS = ROOT / "tests" / "golden" / "checksums.json"
sys.path.insert(0, str(ROOT / "tests"))

CORPUS_VERSION = 1
CORPUS_SEED = "corvane-golden-1"
CORPUS_SIZE = 3000
BLOCK_SIZE = 250
U64 = 2**64 - 1
MAX_ID = 2**31 - 1

Call = tuple  # (wlits, groups, bound, top_id, emit_amo)


def _weights(rng: random.Random, count: int, mode: str) -> list[int]:
    if mode == "small":
        return [rng.randint(1, 10) for _ in range(count)]
    if mode == "equal":
        return [rng.randint(1, 5)] * count
    if mode == "medium":
        return [rng.randint(1, 1000) for _ in range(count)]
    kind = rng.choice(("scaled", "scaled", "any", "near_top"))
    if kind == "scaled":
        factor = rng.choice((2**31 + 11, 10**12 + 39, 2**48 - 5, 2**60 + 3))
        return [min(rng.randint(1, 20) * factor, U64) for _ in range(count)]
    if kind == "any":
        return [rng.randint(1, U64) for _ in range(count)]
    return [rng.choice((2**63 - 1, 2**63, 2**63 + 1, U64 - rng.randint(0, 3))) for _ in range(count)]


def _valid_call(rng: random.Random) -> Call:
    mode = rng.choices(("small", "equal", "medium", "large"), weights=(60, 10, 10, 20))[0]
    # Distinct huge weights make the number of partial sums grow as 2^groups.
    max_groups = {"medium": 6, "large": 10}.get(mode, rng.choice((3, 6, 12, 24)))
    num_groups = rng.randint(0, max_groups)
    sizes = [rng.choice((1, 1, 2, 2, 3, 4, 6)) for _ in range(num_groups)]
    if sizes and rng.random() < 0.05:
        sizes[rng.randrange(len(sizes))] = rng.randint(10, 24)  # one large group
    literals: list[int] = []
    var = 0
    for _ in range(sum(sizes)):
        if literals and rng.random() < 0.1 and -literals[-1] not in literals:
            literals.append(-literals[-1])  # a variable next to its negation
            continue
        var += 1
        literals.append(var if rng.random() < 0.6 else -var)
    rng.shuffle(literals)
    groups: list[list[int]] = []
    start = 0
    for size in sizes:
        groups.append(literals[start : start + size])
        start += size
    weights = _weights(rng, len(literals), mode)
    wlits = list(zip(literals, weights))
    rng.shuffle(wlits)
    weight = dict(wlits)
    total = sum(max(weight[lit] for lit in group) for group in groups)
    heaviest = max(weights, default=0)
    bound = rng.choice(
        (0, 0, total, total + 1, total - 1, heaviest - 1, rng.randint(0, total), rng.randint(0, total), U64)
    )
    bound = min(max(bound, 0), U64)
    largest_var = max((abs(lit) for lit in literals), default=0)
    if rng.random() < 0.02:
        top_id = MAX_ID - rng.randint(0, 40)  # near the end of the id space
    else:
        top_id = largest_var + rng.choice((0, 0, 0, 1, 100, 10**6))
    return wlits, groups, bound, top_id, rng.random() < 0.5


def _invalid_call(rng: random.Random) -> Call:
    wlits, groups, bound, top_id, emit_amo = _valid_call(rng)
    wlits, groups = list(wlits), [list(g) for g in groups]
    fault = rng.choice(("zero_lit", "zero_weight", "duplicate", "empty_group", "unknown", "twice", "ungrouped", "top"))
    if fault == "zero_lit":
        wlits.append((0, 1))
    elif fault == "zero_weight":
        wlits.append((len(wlits) + 1000, 0))
    elif fault == "duplicate" and wlits:
        wlits.append(wlits[0])
    elif fault == "empty_group":
        groups.insert(rng.randint(0, len(groups)), [])
    elif fault == "unknown":
        groups.append([10**6 + 1])
    elif fault == "twice" and groups:
        groups[-1].append(groups[0][0])
    elif fault == "ungrouped":
        wlits.append((10**6 + 2, 1))
    else:
        top_id = -1
    return wlits, groups, bound, top_id, emit_amo


def corpus() -> list[Call]:
    rng = random.Random(CORPUS_SEED)
    return [_invalid_call(rng) if rng.random() < 0.03 else _valid_call(rng) for _ in range(CORPUS_SIZE)]


def output_of(encoder: str, call: Call) -> str:
    import _corvane

    wlits, groups, bound, top_id, emit_amo = call
    try:
        return repr(_corvane.encode_leq(wlits, groups, bound, top_id, encoder, emit_amo))
    except RuntimeError as error:
        return f"error: {error}"


def digests(encoder: str, calls: list[Call]) -> dict:
    whole = hashlib.sha256()
    blocks = []
    for start in range(0, len(calls), BLOCK_SIZE):
        block = hashlib.sha256()
        for index in range(start, min(start + BLOCK_SIZE, len(calls))):
            line = f"{index}: {output_of(encoder, calls[index])}\n".encode()
            block.update(line)
            whole.update(line)
        blocks.append(block.hexdigest())
    return {"sha256": whole.hexdigest(), "blocks": blocks}


def corpus_description() -> dict:
    return {"version": CORPUS_VERSION, "seed": CORPUS_SEED, "size": CORPUS_SIZE, "block_size": BLOCK_SIZE}


def load_pinned() -> dict:
    if not CHECKSUMS.exists():
        return {"corpus": corpus_description(), "checksums": {}}
    return json.loads(CHECKSUMS.read_text())


def mismatch_report(encoder: str, pinned: dict, actual: dict) -> str:
    """Empty when equal, else which instance blocks differ."""
    if pinned == actual:
        return ""
    differing = [
        f"{i * BLOCK_SIZE}..{(i + 1) * BLOCK_SIZE - 1}"
        for i, (p, a) in enumerate(zip(pinned.get("blocks", []), actual["blocks"]))
        if p != a
    ]
    return f"{encoder}: output changed on instances {', '.join(differing) or '(block layout differs)'}"


def ready_encoders() -> list[str]:
    from semantic import ENCODERS

    return list(ENCODERS)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--write", action="store_true", help="pin the current outputs")
    parser.add_argument("--encoders", nargs="*", help="encoders to pin (default: the ready ones of tests/semantic.py)")
    parser.add_argument("--show", type=int, metavar="N", help="print instance N and every encoder's output")
    args = parser.parse_args()
    calls = corpus()
    encoders = args.encoders or ready_encoders()

    if args.show is not None:
        print("call:", calls[args.show])
        for encoder in encoders:
            print(f"{encoder}: {output_of(encoder, calls[args.show])}")
        return 0

    pinned = load_pinned()
    if args.write:
        checksums = {} if pinned.get("corpus") != corpus_description() else dict(pinned["checksums"])
        for encoder in encoders:
            checksums[encoder] = digests(encoder, calls)
            print(f"pinned {encoder}: {checksums[encoder]['sha256']}")
        CHECKSUMS.parent.mkdir(parents=True, exist_ok=True)
        data = {"corpus": corpus_description(), "checksums": dict(sorted(checksums.items()))}
        CHECKSUMS.write_text(json.dumps(data, indent=1) + "\n")
        return 0

    failed = False
    if pinned.get("corpus") != corpus_description():
        print("the pinned checksums belong to another corpus; regenerate with --write")
        return 1
    for encoder in encoders:
        if encoder not in pinned["checksums"]:
            print(f"{encoder}: not pinned")
            failed = True
            continue
        report = mismatch_report(encoder, pinned["checksums"][encoder], digests(encoder, calls))
        print(report or f"{encoder}: ok")
        failed |= bool(report)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
