#!/usr/bin/env python3
"""Profiles our encoders with callgrind on representative constraints.

    python bench/profile.py [--encoders mdd,rggt] [--out /tmp/corvane-profile]

Builds ``bench/profile_driver.cpp`` with the library sources (-O2 -g), writes each constraint
to a file, runs ``valgrind --tool=callgrind`` on the driver and prints the top functions
(inclusive and self cost) from ``callgrind_annotate``. Needs valgrind and g++.
"""
from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import families  # noqa: E402

# name -> (constraint, encoders it is representative for)
CASES = {
    "auction80": (lambda: families.auction(80, 1)[0], ["mdd", "gswc", "rggt", "ggpw", "gmto"]),
    "random-G100-w10": (lambda: families.random_leq(100, 10, 0.5, seed=750), ["mdd", "gswc", "rggt", "ggpw", "gmto"]),
    "random-G400-w10": (lambda: families.random_leq(400, 10, 0.5, seed=2850), ["rggt"]),
    "random-G1000-w1e4": (lambda: families.random_leq(1000, 10**4, 0.5, seed=7050), ["ggpw", "gmto"]),
}


def write_case(leq, path: Path) -> None:
    w = dict(leq.wlits)
    top = max(abs(l) for l, _ in leq.wlits)
    lines = [f"{leq.bound} {top}"] + [" ".join(f"{l}:{w[l]}" for l in g) for g in leq.groups]
    path.write_text("\n".join(lines) + "\n")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--encoders", default="mdd,gswc,ggpw,gmto,rggt")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--out", default="/tmp/corvane-profile")
    ap.add_argument("--top", type=int, default=15)
    args = ap.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    exe = out / "profile_driver"
    srcs = sorted(str(p) for p in (ROOT / "src").rglob("*.cpp"))
    subprocess.run(["g++", "-O2", "-g", "-std=c++20", f"-I{ROOT / 'include'}", f"-I{ROOT / 'src'}", str(HERE / "profile_driver.cpp"),
                    *srcs, "-o", str(exe)], check=True)
    wanted = set(args.encoders.split(","))
    for case in args.cases.split(","):
        make, encs = CASES[case]
        f = out / f"{case}.txt"
        write_case(make(), f)
        for enc in encs:
            if enc not in wanted:
                continue
            cg = out / f"callgrind.{case}.{enc}"
            r = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={cg}", str(exe), enc, str(f)],
                               capture_output=True, text=True)
            print(f"## {case} / {enc}: {r.stdout.strip()}")
            if r.returncode != 0:
                print(r.stderr.strip().splitlines()[-1] if r.stderr.strip() else f"exit {r.returncode}")
                continue
            for inclusive in ("no", "yes"):
                ann = subprocess.run(["callgrind_annotate", f"--inclusive={inclusive}", str(cg)],
                                     capture_output=True, text=True).stdout.splitlines()
                start = next((i for i, ln in enumerate(ann) if "file:function" in ln), None)
                print(f"### {'inclusive' if inclusive == 'yes' else 'self'} cost")
                if start is None:
                    print("\n".join(ann[:20]))
                    continue
                total = next((ln for ln in ann if "PROGRAM TOTALS" in ln), "")
                print(total.strip())
                for ln in ann[start + 2:start + 2 + args.top]:
                    print("   " + ln.strip()[:200])
            print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
