"""The exact output of every encoder on a seeded corpus, against pinned checksums.

Any change of one clause, one literal order or one variable number fails
here. When a change of output is intended, review it and regenerate the pins
with `python tools/golden.py --write` (see the README).
"""

import importlib.util
from pathlib import Path

import pytest

from semantic import ENCODERS

_spec = importlib.util.spec_from_file_location("golden", Path(__file__).resolve().parent.parent / "tools" / "golden.py")
golden = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(golden)

PINNED = golden.load_pinned()
REGENERATE = "if the change of output is intended, regenerate with `python tools/golden.py --write`"


@pytest.fixture(scope="module")
def calls():
    return golden.corpus()


def test_pins_belong_to_this_corpus():
    assert PINNED["corpus"] == golden.corpus_description(), f"corpus generator changed: {REGENERATE}"


@pytest.mark.parametrize("encoder", sorted(set(ENCODERS) | set(PINNED["checksums"])))
def test_output_matches_the_pinned_checksum(encoder, calls):
    assert encoder in PINNED["checksums"], f"{encoder} has no pinned output: {REGENERATE}"
    report = golden.mismatch_report(encoder, PINNED["checksums"][encoder], golden.digests(encoder, calls))
    assert not report, f"{report} (`python tools/golden.py --show N` prints one); {REGENERATE}"


def test_corpus_is_reproducible_and_varied(calls):
    assert golden.corpus() == calls
    valid = [c for c in calls if c[3] >= 0]
    assert len(calls) >= 2000
    assert any(c[4] for c in calls) and not all(c[4] for c in calls)
    assert any(w >= 2**63 for c in valid for _, w in c[0])
    assert any(c[2] == 2**64 - 1 for c in calls)
    assert any(len(c[1]) >= 20 for c in calls)
