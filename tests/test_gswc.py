"""Exact output of the GSWC encoder."""

import pytest

from semantic import encode_as_tuples, Instance, check_semantics

WORKED = [(-1, 4), (-1, 5), (-2, 4), (-2, 5), (-2, 6), (-6, -3)]
BIG = 2**32 + 1


def encode(wlits, groups, bound, top_id, emit_amo=False):
    return encode_as_tuples("gswc", wlits, groups, bound, top_id, emit_amo)


@pytest.mark.parametrize(
    "args, clauses, top",
    [
        (([(1, 2), (2, 3), (3, 1)], [[1, 2], [3]], 3, 3, True), [(-1, -2)] + WORKED, 6),
        (([(1, 2), (2, 3), (3, 1)], [[1, 2], [3]], 3, 3), WORKED, 6),
        (([], [], 5, 9, True), [], 9),
        # one group: no register, only literals heavier than the bound
        (([(1, 4), (2, 2), (3, 7)], [[1, 2, 3]], 4, 3, True), [(-1, -2), (-1, -3), (-2, -3), (-3,)], 3),
        (([(1, 4), (2, 2)], [[1, 2]], 4, 3), [], 3),
        (([(1, 3), (2, BIG)], [[1, 2]], 2**40, 2), [], 2),
        # bound 0: unit clauses only, no counter whatever the group count
        (([(1, 1), (-2, 4), (3, 2)], [[1, -2], [3]], 0, 3), [(-1,), (2,), (-3,)], 3),
        # a literal above the bound is left out of the registers, in place
        (([(1, 9), (2, 1), (3, 1)], [[1, 2], [3]], 2, 3), [(-1,), (-2, 4), (-5, -3)], 5),
        # 2^32 + 1 is not a weight of 1
        (([(1, BIG), (2, 1)], [[1], [2]], 3, 2), [(-1,), (-5, -2)], 5),
        # a bound above the total still numbers the whole register
        (([(1, 1), (2, 1)], [[1], [2]], 5, 2), [(-1, 3), (-7, -2)], 7),
        # weight equal to K in the middle group: sets, no add, overflow on S(0, 1)
        (
            ([(1, 1), (2, 2), (3, 1)], [[1], [2], [3]], 2, 3),
            [(-1, 4), (-4, 6), (-5, 7), (-2, 6), (-2, 7), (-4, -2), (-7, -3)],
            7,
        ),
    ],
    ids=["worked_amo", "worked", "empty", "one_group_amo", "one_group", "one_group_huge_bound",
         "bound0", "heavy", "weight_2_32_plus_1", "bound_above_total", "weight_equals_k"],
)
def test_exact_output(args, clauses, top):
    assert encode(*args) == (clauses, top)


@pytest.mark.parametrize("bound", [2**31, 2**31 + 3, 2**64 - 1])
def test_register_ids_beyond_32_bits_fail_cleanly(bound):
    with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
        encode([(1, 1), (2, 1)], [[1], [2]], bound, 2)


def test_top_id_near_the_limit():
    # three groups with K = 2 need four counters
    args = ([(1, 1), (2, 1), (3, 1)], [[1], [2], [3]], 2)
    assert encode(*args, 2**31 - 5)[1] == 2**31 - 1
    with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
        encode(*args, 2**31 - 4)


@pytest.mark.parametrize(
    "instance",
    [
        Instance([(1, BIG), (2, 1), (3, 2)], [[1, 2], [3]], 3),
        Instance([(1, 2**32 + 2), (2, 3)], [[1], [2]], 2),
        Instance([(1, 2**63), (2, 5), (-3, 2**35)], [[1, 2, -3]], 2**33, emit_amo=True),
    ],
)
def test_weights_beyond_32_bits_keep_their_meaning(instance):
    check_semantics(instance, "gswc")
