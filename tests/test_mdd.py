"""Exact output of the MDD encoder."""

import pytest

import _corvane
from semantic import encode_as_tuples

WORKED = [(-6,), (-3, 4), (-3, 5), (-4, -1, 6), (-5, -2, 6)]


def encode(wlits, groups, bound, top_id, emit_amo=False):
    return encode_as_tuples("mdd", wlits, groups, bound, top_id, emit_amo)


@pytest.mark.parametrize(
    "args, clauses, top",
    [
        # equal sub-diagrams under different capacities stay distinct nodes (4 and 5)
        (([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 3, 3), WORKED, 6),
        (([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 3, 3, True), [(-1, -2)] + WORKED, 6),
        (([(1, 5), (2, 1)], [[1, 2]], 2, 7), [(-8,), (-1, 8)], 8),
        # bound covering the sum of the group maxima: the root is TRUE
        (([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 5, 3), [], 3),
        (([(1, 2), (2, 3), (3, 2)], [[1, 2], [3]], 5, 3, True), [(-1, -2)], 3),
        (([], [], 7, 12), [], 12),
        # bound 0: one node per level, every edge FALSE, root last
        (([(1, 1), (-2, 4), (3, 2)], [[1, -2], [3]], 0, 3), [(-5,), (-3, 4), (-4, 5), (-1, 5), (2, 5)], 5),
        # a heavy literal is not filtered: it becomes an edge into FALSE
        (([(1, 9), (2, 1), (3, 1)], [[1, 2], [3]], 1, 3), [(-5,), (-3, 4), (-1, 5), (-4, -2, 5)], 5),
    ],
    ids=["worked", "worked_amo", "one_group", "bound_covers", "bound_covers_amo", "empty", "bound0", "heavy"],
)
def test_exact_output(args, clauses, top):
    assert encode(*args) == (clauses, top)


def test_two_hundred_thousand_groups():
    n = 200_000
    clauses, top = _corvane.encode_leq([(i, 1) for i in range(1, n + 1)], [[i] for i in range(1, n + 1)], 1, n, "mdd", False)
    # (0, 1) at the top, (i, 1) and (i, 0) on the middle levels, and on the
    # last level only (n - 1, 0): (n - 1, 1) already covers the last group
    assert top == n + 2 * n - 2
    assert clauses[0] == [-top]
