"""Encode a grouped at-most constraint from a JSON file and print it as DIMACS CNF.

    python examples/encode.py examples/budget.json --encoder gmto --amo

The JSON object holds "wlits" (a list of [literal, weight] pairs), "groups"
(a list of literal lists that partition the literals) and "bound".
"""

from __future__ import annotations

import argparse
import json
import sys

import _corvane


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("constraint", help="JSON file with wlits, groups and bound")
    parser.add_argument("--encoder", default=_corvane.ENC_MDD, choices=_corvane.available_encoders())
    parser.add_argument("--amo", action="store_true", help="also write the AMO clauses of the groups")
    args = parser.parse_args(argv)

    with open(args.constraint, encoding="utf-8") as handle:
        data = json.load(handle)
    wlits = [(int(lit), int(weight)) for lit, weight in data["wlits"]]
    groups = [[int(lit) for lit in group] for group in data["groups"]]
    top_id = max((abs(lit) for lit, _ in wlits), default=0)

    try:
        clauses, top = _corvane.encode_leq(wlits, groups, int(data["bound"]), top_id, args.encoder, args.amo)
    except (RuntimeError, TypeError, OverflowError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1

    lines = [
        f"c {args.encoder}: sum of weights <= {data['bound']} over {len(groups)} AMO groups",
        f"c input variables 1..{top_id}, auxiliary variables {top_id + 1}..{top}",
        f"p cnf {top} {len(clauses)}",
    ]
    lines += [" ".join(map(str, clause)) + " 0" for clause in clauses]
    try:
        sys.stdout.write("\n".join(lines) + "\n")
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped early (e.g. `| head`)
        sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
