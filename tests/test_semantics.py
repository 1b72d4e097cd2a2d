"""Every encoder against the meaning of the constraint, on seeded random instances."""

import random

import pytest

from semantic import ENCODERS, Instance, check_semantics, random_instance

SEEDS = range(300)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("encoder", ENCODERS)
def test_random_small_instances(encoder: str, seed: int) -> None:
    rng = random.Random(f"{encoder}-{seed}")
    check_semantics(random_instance(rng), encoder, label=f"seed={seed}")


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("encoder", ENCODERS)
def test_random_instances_with_large_weights(encoder: str, seed: int) -> None:
    if encoder == "gswc":
        pytest.skip("the counter has one variable per unit of the bound")
    rng = random.Random(f"large-{encoder}-{seed}")
    scale = rng.choice((10**6, 2**31 + 11, 2**40 - 3, 10**15))
    check_semantics(random_instance(rng, max_vars=7, weight_scale=scale), encoder, label=f"seed={seed}")


HAND_PICKED = {
    "negation_in_other_group": Instance([(1, 3), (-1, 2), (2, 2)], [[1, 2], [-1]], 3),
    "bound_zero": Instance([(1, 1), (2, 5), (-3, 2)], [[1, 2], [-3]], 0, emit_amo=True),
    "heavy_literal": Instance([(1, 9), (2, 1), (3, 1)], [[1, 2], [3]], 2),
    "single_group": Instance([(1, 4), (2, 2), (3, 7)], [[1, 2, 3]], 4, emit_amo=True),
    "bound_is_total": Instance([(1, 4), (2, 3), (3, 5)], [[1, 2], [3]], 9),
    "empty": Instance([], [], 0),
    "huge_bound": Instance([(1, 2**63), (2, 2**63)], [[1], [2]], 2**64 - 1),
    "huge_weights": Instance([(1, 2**63), (2, 2**63), (3, 1)], [[1], [2, 3]], 2**63),
}


@pytest.mark.parametrize("name", HAND_PICKED)
@pytest.mark.parametrize("encoder", ENCODERS)
def test_hand_picked_instances(encoder: str, name: str) -> None:
    instance = HAND_PICKED[name]
    if encoder == "gswc" and instance.bound >= 2**31 and len(instance.groups) >= 2:
        # (groups - 1) * bound counter ids cannot be numbered in 32 bits.
        with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
            instance.encode(encoder)
        return
    check_semantics(instance, encoder, label=name)
