"""Seeded generators of the benchmark constraints and decision problems.

- auctions: a procurement auction (the buyer needs every item exactly once, each bid offers a
  bundle of items for a price). The bids whose lowest item is the same share that item, so at
  most one of them wins: one AMO group per item. The budget bounds the total price. A planted
  partition of the items into bundles guarantees a solution at ``planted cost``; the budget is
  a fraction of it, so the decision problem may be satisfiable or not.
- random: PB(AMO) constraints for scaling, G groups of 1..20 literals, weights up to 10, 10^4 or
  10^12, bound a given fraction of the capacity (the sum of the group maxima).
"""
from __future__ import annotations

import random

from encoders import Leq
from mm import Model


def auction(n_items: int, seed: int, bids_per_item: float = 4.0, budget_factor: float = 0.97):
    rng = random.Random(seed)
    value = [rng.randint(50, 150) for _ in range(n_items)]
    items = list(range(n_items))
    rng.shuffle(items)
    bundles, planted = [], 0
    i = 0
    while i < n_items:
        k = rng.randint(1, 3)
        b = sorted(items[i:i + k])
        price = round(sum(value[x] for x in b) * rng.uniform(0.9, 1.1))
        bundles.append((b, price))
        planted += price
        i += k
    n_extra = int(bids_per_item * n_items) - len(bundles)
    for _ in range(max(0, n_extra)):
        k = rng.randint(1, 3)
        first = rng.randrange(n_items)
        b = sorted({first} | {min(n_items - 1, max(0, first + rng.randint(-8, 8))) for _ in range(k - 1)})
        price = round(sum(value[x] for x in b) * rng.uniform(0.8, 1.3))
        bundles.append((b, price))
    rng.shuffle(bundles)
    # variables 1..n: bid accepted
    wlits, by_first, containing = [], {}, [[] for _ in range(n_items)]
    for v, (b, price) in enumerate(bundles, start=1):
        wlits.append((v, price))
        by_first.setdefault(b[0], []).append(v)
        for x in b:
            containing[x].append(v)
    groups = [by_first[x] for x in sorted(by_first)]
    budget = int(planted * budget_factor)
    leq = Leq(wlits, groups, budget)
    clauses = []
    for x in range(n_items):  # every item bought exactly once
        bs = containing[x]
        clauses.append(list(bs))
        for a in range(len(bs)):
            for b_ in range(a + 1, len(bs)):
                clauses.append([-bs[a], -bs[b_]])
    name = f"auc{n_items}-s{seed}"
    model = Model(name, len(bundles), clauses, [leq], ["budget"],
                  {"planted": planted, "budget": budget, "bids": len(bundles)})
    return leq, model


def random_leq(n_groups: int, max_weight: int, bound_frac: float, seed: int,
               max_group: int = 20) -> Leq:
    rng = random.Random(seed)
    wlits, groups, v, cap = [], [], 0, 0
    for _ in range(n_groups):
        g = []
        gmax = 0
        for _ in range(rng.randint(1, max_group)):
            v += 1
            w = rng.randint(1, max_weight)
            gmax = max(gmax, w)
            wlits.append((v, w))
            g.append(v)
        cap += gmax
        groups.append(g)
    return Leq(wlits, groups, int(cap * bound_frac))
