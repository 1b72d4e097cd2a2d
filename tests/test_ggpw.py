"""Exact output of the GGPW encoder."""

import pytest

from semantic import encode_as_tuples, Instance, check_semantics

WORKED = [(-1, 4), (-2, 4), (-2, 5), (-3, 5), (-2, -3, 6), (-4, 7), (-6, 7), (-4, -6, 8), (-8,)]
TOTALIZER_1_2 = [(-1, 3), (-2, 3), (-1, -2, 4)]


def encode(wlits, groups, bound, top_id, emit_amo=False):
    return encode_as_tuples("ggpw", wlits, groups, bound, top_id, emit_amo)


@pytest.mark.parametrize(
    "args, clauses, top",
    [
        (([(1, 2), (2, 3), (3, 1)], [[1, 2], [3]], 3, 3, True), [(-1, -2)] + WORKED, 8),
        # offset 3 rounds the threshold 5 up to 8 = 2 * 2^2
        (
            ([(1, 5)], [[1]], 4, 1),
            [(2,), (-1, 3), (-2, 3), (-1, -2, 4), (-2, 5), (-4, 5), (-2, -4, 6), (-1, 7), (-6, 7), (-1, -6, 8), (-8,)],
            8,
        ),
        # offset 2: the top count has one entry, below the threshold 2
        (([(1, 5)], [[1]], 5, 1), [(2,)], 2),
        (([], [], 0, 4, True), [], 4),
        # all weights 1: one totalizer, comparator on output `bound`
        (([(1, 1), (2, 1)], [[1], [2]], 1, 2), TOTALIZER_1_2 + [(-4,)], 4),
        (([(1, 1), (2, 1)], [[1], [2]], 2, 2), TOTALIZER_1_2, 4),
        # bound 0: the threshold 1 caps the first output
        (([(1, 1), (2, 1)], [[1], [2]], 0, 2), TOTALIZER_1_2 + [(-3,)], 4),
        # one group, all bits distinct: no group bit variable, pass-throughs only
        (([(1, 1), (2, 2)], [[1, 2]], 1, 2, True), [(-1, -2), (-2,)], 2),
        # bound 2^64 - 1: the threshold lies past every count
        (([(1, 3), (2, 2)], [[1], [2]], 2**64 - 1, 2), [(-1, 3), (-2, 3), (-1, -2, 4)], 4),
    ],
    ids=["worked_amo", "offset_bound4", "offset_bound5", "empty", "unit_weights", "unit_weights_no_cap",
         "bound0", "distinct_bits", "bound_max"],
)
def test_exact_output(args, clauses, top):
    assert encode(*args) == (clauses, top)


def test_two_weights_of_2_63_exceed_the_largest_bound():
    # bound + 1 = 2^64: the top position's count of 2 must still be forbidden
    assert encode([(1, 2**63), (2, 2**63)], [[1], [2]], 2**64 - 1, 2) == (TOTALIZER_1_2 + [(-4,)], 4)
    check_semantics(Instance([(1, 2**63), (2, 2**63), (3, 2**63 - 1)], [[1], [2, 3]], 2**64 - 1), "ggpw")
    check_semantics(Instance([(1, 2**63 + 7), (2, 2**63 - 9)], [[1], [2]], 2**64 - 3), "ggpw")


def test_fresh_ids_past_the_largest_id_fail_cleanly():
    args = ([(1, 2), (2, 3), (3, 1)], [[1, 2], [3]], 3)
    assert encode(*args, 2**31 - 6)[1] == 2**31 - 1
    with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
        encode(*args, 2**31 - 5)
