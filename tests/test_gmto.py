"""The gmto encoder from Python: exact encodings, early exits, large weights and failures."""

import time

import pytest

import _corvane
from semantic import Instance, check_semantics


def gmto(wlits, groups, bound, top_id, emit_amo=False):
    return _corvane.encode_leq(wlits, groups, bound, top_id, "gmto", emit_amo)


# The main example: weight 9 is dropped, radices [3, 3], true_var 5, one
# parent over the leaves of [1, 2] and [3] with variables 6 to 13.
MAIN_CLAUSES = [
    [-1, -2], [-3, -4],  # AMO pairs
    [-4],  # weight 9 exceeds the bound
    [5],  # true_var
    [-1, 6], [-2, 6],  # leaf [1, 2], position 1, value 1
    # parent, position 0 (radix 3, carry 7)
    [-5, -5, 5, 7], [-5, -3, 8, 7], [-2, -5, 8, 7], [-2, -3, 9, 7], [-2, -5, 9, 7], [-2, -3, 7],
    # position 1 (radix 3, carry in 7, carry 10)
    [-5, -5, 5, 10], [-7, -5, -5, 11, 10], [-5, -3, 11, 10], [-7, -5, -3, 12, 10],
    [-6, -5, 11, 10], [-7, -6, -5, 12, 10], [-6, -3, 12, 10], [-7, -6, -3, 10],
    # top position (carry in 10)
    [-5, -5, 5], [-10, -5, -5, 13],
    # comparison with 8 = digits [2, 2, 0]
    [-13], [-12, -9],
]

WORKED = {
    "main": (([(1, 3), (2, 5), (3, 4), (4, 9)], [[1, 2], [3, 4]], 7, 4, True), (MAIN_CLAUSES, 13)),
    # No radices: the single position counts whole weights.
    "bound_one": (
        ([(1, 1), (2, 1), (3, 1)], [[1], [2], [3]], 1, 3, False),
        (
            [[4], [-4, -4, 4], [-4, -2, 5], [-1, -4, 5], [-1, -2, 6],
             [-4, -4, 4], [-4, -3, 7], [-5, -4, 7], [-5, -3, 8], [-6, -4, 8], [-6, -3, 9],
             [-8], [-9]],
            9,
        ),
    ),
    # Radices [4, 2]; the sum carries into the top position.
    "carry_into_top_with_negative_literal": (
        ([(1, 4), (-2, 4), (3, 4)], [[1, -2], [3]], 4, 3, False),
        (
            [[4], [-1, 5], [2, 5], [-4, -4, 4], [-4, -4, 4, 6], [-4, -3, 7, 6], [-5, -4, 7, 6], [-5, -3, 6],
             [-4, -4, 4], [-6, -4, -4, 8], [-8]],
            8,
        ),
    ),
    # Radix [5] from weights 3, 3, 5, 10; the digits 3 + 3 pass the radix:
    # carry 6, values 1..4 are 7..10, the carried top value is 11. bound + 1 = 5
    # has digits [0, 1], so "carry and any value at position 0" is forbidden.
    "pair_sum_passes_the_radix": (
        ([(1, 3), (2, 3), (3, 5), (4, 10)], [[1], [2], [3], [4]], 4, 4, False),
        (
            [[-3], [-4], [5],
             [-5, -5, 5, 6], [-5, -2, 7, 6], [-5, -2, 8, 6], [-5, -2, 9, 6],
             [-1, -5, 7, 6], [-1, -2, 8, 6], [-1, -2, 9, 6], [-1, -2, 10, 6],
             [-1, -5, 8, 6], [-1, -2, 9, 6], [-1, -2, 10, 6], [-1, -2, 6],
             [-1, -5, 9, 6], [-1, -2, 10, 6], [-1, -2, 6], [-1, -2, 6], [-1, -2, 7],
             [-5, -5, 5], [-6, -5, -5, 11],
             [-11, -5], [-11, -7], [-11, -8], [-11, -9], [-11, -10]],
            11,
        ),
    ),
    # Early exits: no variable is allocated.
    "every_literal_too_heavy": (([(1, 5), (-2, 3)], [[1, -2]], 2, 2, True), ([[-1, 2], [-1], [2]], 2)),
    "bound_zero": (([(1, 1), (2, 4)], [[1], [2]], 0, 6, False), ([[-1], [-2]], 6)),
    "bound_covers_capacity_after_dropping": (([(1, 2), (2, 9)], [[1, 2]], 5, 2, True), ([[-1, -2], [-2]], 2)),
    "bound_equals_capacity": (([(1, 2), (2, 3)], [[1], [2]], 5, 2, False), ([], 2)),
    "one_kept_group": (([(1, 3), (2, 4), (3, 9)], [[1, 2], [3]], 5, 3, True), ([[-1, -2], [-3]], 3)),
    "nothing": (([], [], 0, 7, True), ([], 7)),
}


@pytest.mark.parametrize("name", WORKED)
def test_worked_encodings(name):
    args, expected = WORKED[name]
    assert gmto(*args) == expected


def test_large_radices_encode_soundly():
    # 2^63 twice gives the radix 2^63, far beyond 32 bits; the digits stay small.
    check_semantics(Instance([(1, 2**63), (2, 2**63), (3, 1)], [[1], [2, 3]], 2**63), "gmto")
    check_semantics(Instance([(1, 3 * 2**40), (2, 5 * 2**40), (3, 2**40)], [[1, 2], [3]], 5 * 2**40), "gmto")


def test_group_maxima_past_64_bits_are_still_constrained():
    # A capacity saturated at 2^64 - 1 would let this bound cover it.
    clauses, _ = gmto([(1, 2**63), (2, 2**63)], [[1], [2]], 2**64 - 1, 2)
    assert clauses
    check_semantics(Instance([(1, 2**63), (2, 2**63)], [[1], [2]], 2**64 - 1), "gmto")


@pytest.mark.parametrize("other", [2**61 - 1, 3])
def test_weight_of_a_large_prime_returns_promptly(other):
    # Trying every candidate up to 2^61 - 1 would never finish.
    instance = Instance([(1, 2**61 - 1), (2, other), (3, 7)], [[1], [2, 3]], 2**61)
    start = time.monotonic()
    check_semantics(instance, "gmto")
    assert time.monotonic() - start < 5


def test_weight_of_a_large_prime_beside_a_large_digit_fails_promptly():
    # The radix is 2^61 - 1, under which 2^40 is a single digit of 2^40.
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="^quillet: gmto digit value does not fit"):
        gmto([(1, 2**61 - 1), (2, 2**40), (3, 7)], [[1], [2, 3]], 2**61, 3)
    assert time.monotonic() - start < 5


def test_digit_beyond_32_bits_is_an_error():
    big = 3 * 2**40
    with pytest.raises(RuntimeError, match="^quillet: gmto digit value does not fit"):
        gmto([(1, big), (2, big), (3, 2**40 + 1)], [[1], [2], [3]], big, 3)


def test_ids_past_the_limit_are_an_error():
    args, _ = WORKED["main"]
    with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
        gmto(*args[:3], 2**31 - 9)
