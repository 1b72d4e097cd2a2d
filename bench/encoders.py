"""The encoders under test (ours and the baselines) behind one calling convention.

Every encoder is a function ``enc(c, top) -> (clauses, new_top)`` that encodes the at-most
constraint ``c`` (a :class:`Leq`) above variable ``top``, returning DIMACS clauses as Python lists.
Ours get the AMO groups; the baselines get the plain weighted sum, without group structure.
None of them writes the AMO clauses here: callers add the same pairwise clauses for everyone
(``amo_pairs``), and the size tables count them for every encoder alike.
"""
from __future__ import annotations

from dataclasses import dataclass

import _corvane

OURS = ["mdd", "gswc", "ggpw", "gmto", "rggt"]


@dataclass
class Leq:
    """sum of w over the true literals of ``wlits`` <= bound, literals partitioned by ``groups``."""
    wlits: list  # [(lit, weight)]
    groups: list  # [[lit]]
    bound: int

    @property
    def n_lits(self) -> int:
        return len(self.wlits)

    @property
    def n_groups(self) -> int:
        return len(self.groups)

    def amo_pair_count(self) -> int:
        return sum(len(g) * (len(g) - 1) // 2 for g in self.groups)

    def capacity(self) -> int:
        w = dict(self.wlits)
        return sum(max(w[l] for l in g) for g in self.groups)


def amo_pairs(groups) -> list:
    out = []
    for g in groups:
        for i in range(len(g)):
            a = -g[i]
            for j in range(i + 1, len(g)):
                out.append([a, -g[j]])
    return out


def ours(name: str):
    enc_leq = _corvane.encode_leq

    def enc(c: Leq, top: int):
        return enc_leq(c.wlits, c.groups, c.bound, top, name, False)
    enc.__name__ = name
    return enc


# ---------------------------------------------------------------- baselines
def _pindakaas(encoder_name: str, options: dict):
    import pindakaas
    from pindakaas.encoding import CNF
    enc_obj = getattr(pindakaas.Encoder, encoder_name)
    lit = pindakaas.Lit.from_raw

    def enc(c: Leq, top: int):
        db = CNF()
        if top:
            db.new_vars(top)
        lhs = 0
        for l, w in c.wlits:
            lhs += w * lit(l)
        try:
            db.add_encoding(lhs <= c.bound, enc_obj, **options)
        except pindakaas.Unsatisfiable:
            return [[]], top
        return db._clauses_as_int(), max(top, len(db.variables()))
    return enc


def _pblib(encoder_name: str):
    from pypblib import pblib
    kind = getattr(pblib, encoder_name)

    def enc(c: Leq, top: int):
        cfg = pblib.PBConfig()
        cfg.set_PB_Encoder(kind)
        formula: list = []
        weights = [w for _, w in c.wlits]
        lits = [l for l, _ in c.wlits]
        mv = pblib.Pb2cnf(cfg).encode_leq(weights, lits, c.bound, formula, top + 1)
        return formula, max(top, mv)
    return enc


# name -> (factory, args); names are "<library>:<encoding>"
BASELINE_SPECS = {
    "pblib:bdd": (_pblib, ("PB_BDD",)),
    "pblib:swc": (_pblib, ("PB_SWC",)),
    "pblib:sortnet": (_pblib, ("PB_SORTINGNETWORKS",)),
    "pblib:adder": (_pblib, ("PB_ADDER",)),
    "pblib:binmerge": (_pblib, ("PB_BINARY_MERGE",)),
    "pkaas:dd": (_pindakaas, ("DECISION_DIAGRAM", {})),
    "pkaas:seqcount": (_pindakaas, ("SEQUENTIAL_COUNTER", {})),
    "pkaas:sortnet": (_pindakaas, ("SORTING_NETWORK", {})),
    "pkaas:adder": (_pindakaas, ("ADDER", {})),
    "pkaas:totalizer": (_pindakaas, ("TOTALIZER", {})),
    "pkaas:watchdog": (_pindakaas, ("WATCHDOG", {})),
    "pkaas:mixedradix": (_pindakaas, ("MIXED_RADIX", {})),
}


def available_baselines() -> dict:
    ok, missing = [], {}
    probe = Leq([(1, 3), (2, 5), (3, 2)], [[1, 2], [3]], 6)
    for name, (factory, args) in BASELINE_SPECS.items():
        try:
            factory(*args)(probe, 3)
            ok.append(name)
        except Exception as e:  # an uninstallable or broken baseline is reported, not fatal
            missing[name] = f"{type(e).__name__}: {e}"
    return {"ok": ok, "missing": missing}


def make(name: str):
    if name in OURS:
        return ours(name)
    factory, args = BASELINE_SPECS[name]
    return factory(*args)
