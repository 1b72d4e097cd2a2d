"""Property-based tests: generated grouped at-most constraints on every encoder.

Each property draws a PB(AMO) constraint (negative literals, a variable next to
its negation, singleton and large groups, equal weights, weights above the
bound, bounds at 0 / total / total +- 1 / 2^64-1, emit_amo on and off, top_id
at or above the largest input variable, weights scaled by large factors) and
checks the encoding against the meaning of the constraint with a SAT solver.

Profiles: "ci" (default: few examples, derandomized, no example database) and
"thorough" (many examples, random). Pick one with CORVANE_HYPOTHESIS_PROFILE.
"""

from __future__ import annotations

import os
import warnings

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from semantic import ENCODERS, Instance, check_semantics

settings.register_profile(
    "ci",
    max_examples=60,
    deadline=None,
    derandomize=True,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "thorough",
    max_examples=2000,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink],
)
settings.load_profile(os.environ.get("CORVANE_HYPOTHESIS_PROFILE", "ci"))

# Reporting a failing example imports this module, whose dependencies raise a
# DeprecationWarning that the warnings-as-errors setting would turn into an
# internal pytest error hiding the real failure. Import it once, quietly.
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    try:
        import hypothesis.extra._patching  # noqa: F401
    except ImportError:
        pass

U64 = 2**64 - 1
SMALL_LIMIT = 2**31  # below this every encoder must encode, never refuse
LARGE_FACTORS = [2**31 + 11, 10**12 + 39, 2**48 - 5, 2**60 + 3]
# Messages of broken internal invariants: never an acceptable answer to valid input.
INTERNAL_ERRORS = ("lookup failed", "missing", "literal 0")


def refusal_is_allowed(instance: Instance, error: RuntimeError) -> bool:
    """An encoder may refuse an input past its limits with a clear "quillet: " message.

    Ids running out is acceptable anywhere; any other refusal only when some
    weight or the bound does not fit in 31 bits (counter size, radix width).
    """
    message = str(error)
    if not message.startswith("quillet: ") or any(part in message for part in INTERNAL_ERRORS):
        return False
    if message.startswith("quillet: variable ids exhausted"):
        return True
    wide = instance.bound >= SMALL_LIMIT or any(w >= SMALL_LIMIT for _, w in instance.wlits)
    return wide


def encode_or_refusal(instance: Instance, encoder: str):
    try:
        return instance.encode(encoder)
    except RuntimeError as error:
        assert refusal_is_allowed(instance, error), f"{encoder} refused {instance!r}: {error}"
        return None


def check_or_refusal(instance: Instance, encoder: str) -> None:
    try:
        instance.encode(encoder)
    except RuntimeError as error:
        assert refusal_is_allowed(instance, error), f"{encoder} refused {instance!r}: {error}"
        return
    check_semantics(instance, encoder)


@st.composite
def literal_lists(draw, max_vars: int = 7) -> list[int]:
    """Signed literals over variables 1..n, some variables with both signs, in any order."""
    n = draw(st.integers(1, max_vars))
    literals: list[int] = []
    for var in range(1, n + 1):
        kind = draw(st.sampled_from(("pos", "neg", "both")))
        if kind != "neg":
            literals.append(var)
        if kind != "pos":
            literals.append(-var)
    return draw(st.permutations(literals))


@st.composite
def partitions(draw, literals: list[int]) -> list[list[int]]:
    shape = draw(st.sampled_from(("singletons", "one_group", "random")))
    if shape == "singletons":
        return [[lit] for lit in literals]
    if shape == "one_group":
        return [list(literals)]
    groups: list[list[int]] = [[literals[0]]]
    for lit in literals[1:]:
        if draw(st.booleans()):
            groups.append([lit])
        else:
            groups[-1].append(lit)
    return groups


def group_total(weight: dict[int, int], groups: list[list[int]]) -> int:
    return sum(max(weight[lit] for lit in group) for group in groups)


@st.composite
def instances(draw, weights: str) -> Instance:
    literals = draw(literal_lists())
    groups = draw(partitions(literals))
    if weights == "small":
        mode = draw(st.sampled_from(("varied", "equal")))
        if mode == "equal":
            common = draw(st.integers(1, 6))
            values = [common] * len(literals)
        else:
            values = [draw(st.integers(1, 12)) for _ in literals]
    else:
        mode = draw(st.sampled_from(("scaled", "scaled", "near_2^63", "near_2^64", "equal_huge")))
        if mode == "scaled":
            factor = draw(st.sampled_from(LARGE_FACTORS))
            values = [draw(st.integers(1, 12)) * factor for _ in literals]
            values = [min(v, U64) for v in values]
        elif mode == "near_2^63":
            values = [2**63 + draw(st.integers(-3, 3)) for _ in literals]
        elif mode == "near_2^64":
            values = [U64 - draw(st.integers(0, 5)) for _ in literals]
        else:
            values = [draw(st.sampled_from((2**62, 2**63, U64)))] * len(literals)
    wlits = list(zip(literals, values))
    wlits = draw(st.permutations(wlits))
    weight = dict(wlits)
    total = group_total(weight, groups)
    heaviest = max(values)
    bound = draw(
        st.sampled_from(
            (
                0,
                max(total - 1, 0),
                total,
                total + 1,
                U64,
                U64 - 1,
                max(heaviest - 1, 0),  # some weights above the bound
                None,  # anywhere in between
            )
        )
    )
    if bound is None:
        bound = draw(st.integers(0, total))
    bound = min(bound, U64)
    emit_amo = draw(st.booleans())
    top_id = max(abs(lit) for lit in literals) + draw(st.sampled_from((0, 0, 1, 37, 2**20)))
    return Instance(wlits, groups, bound, emit_amo, top_id)


@pytest.mark.parametrize("encoder", ENCODERS)
@given(instance=instances("small"))
def test_small_weights_mean_the_constraint(encoder: str, instance: Instance) -> None:
    check_or_refusal(instance, encoder)


@pytest.mark.parametrize("encoder", ENCODERS)
@given(instance=instances("large"))
def test_large_weights_mean_the_constraint(encoder: str, instance: Instance) -> None:
    # Sums of these weights overflow 64 bits; the meaning is the exact sum.
    if encoder == "gswc":
        pytest.skip("the counter has one variable per unit of the bound")
    check_or_refusal(instance, encoder)


def amo_pairs(groups: list[list[int]]) -> list[list[int]]:
    return [[-g[a], -g[b]] for g in groups for a in range(len(g)) for b in range(a + 1, len(g))]


@pytest.mark.parametrize("encoder", ENCODERS)
@given(instance=instances("small"), data=st.data())
def test_emit_amo_only_prepends_the_pair_clauses(encoder: str, instance: Instance, data) -> None:
    if encoder != "gswc" and data.draw(st.booleans(), label="large weights"):
        instance = data.draw(instances("large"), label="large instance")
    instance.emit_amo = False
    plain = encode_or_refusal(instance, encoder)
    instance.emit_amo = True
    with_amo = encode_or_refusal(instance, encoder)
    assert (plain is None) == (with_amo is None)
    if plain is None:
        return
    assert with_amo[0] == amo_pairs(instance.groups) + plain[0]
    assert with_amo[1] == plain[1]


@pytest.mark.parametrize("encoder", ENCODERS)
@given(instance=instances("small"), shift=st.sampled_from((1, 5, 1000, 2**24)), data=st.data())
def test_raising_top_id_renumbers_fresh_variables_only(encoder: str, instance: Instance, shift: int, data) -> None:
    if encoder != "gswc" and data.draw(st.booleans(), label="large weights"):
        instance = data.draw(instances("large"), label="large instance")
    low = encode_or_refusal(instance, encoder)
    high_instance = Instance(instance.wlits, instance.groups, instance.bound, instance.emit_amo, instance.top_id + shift)
    high = encode_or_refusal(high_instance, encoder)
    if low is None or high is None:
        return
    base = instance.top_id

    def moved(lit: int) -> int:
        if abs(lit) <= base:
            return lit
        return lit + shift if lit > 0 else lit - shift

    assert high[0] == [[moved(lit) for lit in clause] for clause in low[0]]
    assert high[1] == low[1] + shift
    # The same call twice gives the same answer.
    assert instance.encode(encoder) == low
