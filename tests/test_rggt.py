"""Exact outputs of the rggt encoder, clause for clause with the new top id."""

import pytest

import _corvane

U64 = 2**64 - 1

# name: (wlits, groups, bound, top_id, emit_amo, clauses, top)
CASES = {
    "worked_example": (
        [(1, 3), (2, 3), (3, 2), (4, 1), (5, 4)],
        [[1, 2], [3, 4], [5]],
        5,
        5,
        True,
        [[-1, -2], [-3, -4], [-1, 6], [-2, 6], [-6, 7], [-3, 7], [-6, -3, 7], [-5, -7, 8], [-8]],
        8,
    ),
    "single_group_forbids_heavy_literals": (
        [(1, 5), (2, 3), (3, 9)], [[1, 2, 3]], 4, 3, True, [[-1, -2], [-1, -3], [-2, -3], [-1], [-3]], 3
    ),
    "bound_at_least_the_total": ([(1, 5), (2, 7), (3, 9)], [[1, 2], [3]], 100, 3, False, [], 3),
    "literals_that_never_matter_are_dropped": (
        [(1, 3), (2, 3), (3, 1), (4, 5)], [[1, 2], [3, 4]], 4, 4, False, [[-4]], 4
    ),
    "heavy_literal_through_the_overflow_interval": (
        [(1, 9), (2, 3), (3, 3)], [[1, 2], [3]], 5, 3, False, [[-1, 4], [-2, -3, 4], [-1, -3, 4], [-4]], 4
    ),
    "heavy_literal_left_alone": ([(1, 9), (2, 1)], [[1], [2]], 5, 2, False, [[-1]], 2),
    "largest_bound_that_nothing_reaches": (
        [(1, 2**62), (2, 2**62), (3, 2**63)], [[1, 2], [3]], U64, 3, True, [[-1, -2]], 3
    ),
    # The cap of this bound needs 65 bits; literal 3 can never matter.
    "largest_bound_reached_by_two_halves": (
        [(1, 2**63), (2, 2**63), (3, 1)], [[1], [2, 3]], U64, 3, False, [[-1, -2, 4], [-4]], 4
    ),
    "negative_literals_share_a_leaf_interval": (
        [(-1, 2), (2, 2), (3, 3)], [[-1, 2], [3]], 4, 3, False, [[1, 4], [-2, 4], [-4, -3, 5], [-5]], 5
    ),
    "nothing_at_all": ([], [], 0, 7, True, [], 7),
}


@pytest.mark.parametrize("name", CASES)
def test_exact_output(name: str) -> None:
    wlits, groups, bound, top_id, emit_amo, clauses, top = CASES[name]
    assert _corvane.encode_leq(wlits, groups, bound, top_id, "rggt", emit_amo) == (clauses, top)
