"""Encoder-independent semantic check of a grouped at-most constraint.

For every assignment of the input variables, the clauses of an encoding
(plus that assignment as assumptions) must be satisfiable exactly when the
assignment respects the AMO groups and the weights of its true literals sum
to at most the bound. Assignments that break a group are only judged when
the encoding was asked to write the AMO relation itself.
"""

from __future__ import annotations

import itertools
import random
from dataclasses import dataclass, field

from pysat.solvers import Solver

import _corvane

# The encoders that the shared semantic and property suites run on.
ENCODERS = _corvane.available_encoders()


@dataclass
class Instance:
    wlits: list[tuple[int, int]]
    groups: list[list[int]]
    bound: int
    emit_amo: bool = False
    top_id: int = field(default=-1)

    def __post_init__(self) -> None:
        if self.top_id < 0:
            self.top_id = max((abs(lit) for lit, _ in self.wlits), default=0)

    def encode(self, encoder: str) -> tuple[list[list[int]], int]:
        return _corvane.encode_leq(self.wlits, self.groups, self.bound, self.top_id, encoder, self.emit_amo)


def encode_as_tuples(encoder: str, wlits, groups, bound: int, top_id: int, emit_amo: bool = False):
    """The clauses as tuples (easy to compare with expected outputs) and the top id."""
    clauses, top = _corvane.encode_leq(wlits, groups, bound, top_id, encoder, emit_amo)
    return [tuple(c) for c in clauses], top


def input_variables(instance: Instance) -> list[int]:
    return sorted({abs(lit) for lit, _ in instance.wlits})


def expected(instance: Instance, true_vars: set[int]) -> bool | None:
    """True/False when the assignment is judged, None when it is not."""
    weight = dict(instance.wlits)

    def holds(lit: int) -> bool:
        return (abs(lit) in true_vars) == (lit > 0)

    if any(sum(holds(lit) for lit in group) > 1 for group in instance.groups):
        return False if instance.emit_amo else None
    return sum(w for lit, w in weight.items() if holds(lit)) <= instance.bound


def check_semantics(instance: Instance, encoder: str, label: str = "") -> None:
    """Raise AssertionError naming the instance and the first wrong assignment."""
    clauses, top = instance.encode(encoder)
    variables = input_variables(instance)
    largest = max((abs(lit) for clause in clauses for lit in clause), default=0)
    context = f"{label} encoder={encoder} instance={instance!r}"
    assert top >= max(largest, instance.top_id), f"top id {top} below a used variable ({context})"
    for clause in clauses:
        for lit in clause:
            assert lit != 0 and (abs(lit) in variables or abs(lit) > instance.top_id), (
                f"clause {clause} uses a variable that is neither input nor fresh ({context})"
            )
    with Solver(name="minisat22", bootstrap_with=clauses) as solver:
        for values in itertools.product((False, True), repeat=len(variables)):
            true_vars = {v for v, value in zip(variables, values) if value}
            want = expected(instance, true_vars)
            if want is None:
                continue
            assumptions = [v if value else -v for v, value in zip(variables, values)]
            got = solver.solve(assumptions=assumptions)
            assert got == want, (
                f"assignment {assumptions}: satisfiable={got}, expected {want} ({context})"
            )


def random_instance(
    rng: random.Random,
    *,
    max_vars: int = 8,
    max_weight: int = 10,
    weight_scale: int = 1,
    emit_amo: bool | None = None,
) -> Instance:
    """A random PB(AMO) constraint over at most `max_vars` variables.

    Literals get random signs and a variable may appear positively in one
    group and negatively in another. The bound lands on 0, the total, just
    around it, or somewhere in between.
    """
    num_vars = rng.randint(1, max_vars)
    literals: list[int] = []
    for var in range(1, num_vars + 1):
        choice = rng.random()
        if choice < 0.15 and len(literals) + 2 <= max_vars:
            literals += [var, -var]
        else:
            literals.append(var if choice < 0.6 else -var)
    rng.shuffle(literals)
    groups: list[list[int]] = []
    i = 0
    while i < len(literals):
        size = rng.choice((1, 1, 2, 2, 3, 4))
        groups.append(literals[i : i + size])
        i += size
    wlits = [(lit, rng.randint(1, max_weight) * weight_scale) for lit in literals]
    rng.shuffle(wlits)
    total = sum(max(dict(wlits)[lit] for lit in group) for group in groups)
    bound = rng.choice(
        [0, total, total + 1, max(total - 1, 0), rng.randint(0, total), rng.randint(0, total), rng.randint(0, total)]
    )
    if emit_amo is None:
        emit_amo = rng.random() < 0.5
    top_id = num_vars + rng.choice((0, 0, 3))
    return Instance(wlits, groups, bound, emit_amo, top_id)
