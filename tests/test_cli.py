"""The corvane command: encode and solve agree with brute force, malformed
input gives one located error line and no output, compressed and piped input
read like plain files."""

from __future__ import annotations

import bz2
import gzip
import itertools
import json
import lzma
import pathlib
import random
import subprocess
import sys

import _corvane
import pytest
from pysat.formula import CNF
from pysat.solvers import Solver

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.opb"))


def corvane(*args, stdin: bytes | None = None, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "corvane", *map(str, args)], input=stdin,
                            capture_output=True, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(result.stderr.decode())
    return result


def random_problem(rng: random.Random):
    """Returns (opb text, constraints, objective) with AMO structure: groups of
    variables under '= 1' or '<= 1', a binary conflict, and PB constraints."""
    n = rng.randint(5, 9)
    cons = []  # (terms [(coef, lit)], relation, degree)
    order = list(range(1, n + 1))
    rng.shuffle(order)
    cut = rng.randint(2, n - 2)
    cons.append(([(1, v) for v in order[:cut]], rng.choice(["=", "<="]), 1))
    cons.append(([(1, -order[cut]), (1, -order[cut + 1])], ">=", 1))
    for _ in range(rng.randint(1, 3)):
        terms = [(rng.randint(-3, 7), v if rng.random() < 0.8 else -v) for v in rng.sample(range(1, n + 1), rng.randint(2, n))]
        cons.append((terms, rng.choice([">=", "<=", "="]), rng.randint(-2, 9)))
    objective = [(rng.randint(-5, 9), v) for v in rng.sample(range(1, n + 1), rng.randint(1, n))] if rng.random() < 0.6 else None

    def lit(l):
        return f"x{l}" if l > 0 else f"~x{-l}"

    lines = [f"* #variable= {n} #constraint= {len(cons)}"]
    if objective is not None:
        lines.append("min: " + " ".join(f"{c:+d} {lit(l)}" for c, l in objective) + " ;")
    for terms, rel, degree in cons:
        lines.append(" ".join(f"{c:+d} {lit(l)}" for c, l in terms) + f" {rel} {degree} ;")
    return "\n".join(lines) + "\n", n, cons, objective


def holds(cons, assignment) -> bool:
    def value(l):
        return assignment[abs(l)] == (l > 0)

    for terms, rel, degree in cons:
        lhs = sum(c for c, l in terms if value(l))
        if not {">=": lhs >= degree, "<=": lhs <= degree, "=": lhs == degree}[rel]:
            return False
    return True


def brute_force(n, cons, objective):
    best = None
    for bits in itertools.product([False, True], repeat=n):
        assignment = dict(zip(range(1, n + 1), bits))
        if holds(cons, assignment):
            value = sum(c for c, l in objective if assignment[abs(l)] == (l > 0)) if objective else 0
            best = value if best is None else min(best, value)
    return best


@pytest.mark.parametrize("seed", range(12))
def test_encode_and_solve_agree_with_brute_force(tmp_path, seed):
    rng = random.Random(seed)
    text, n, cons, objective = random_problem(rng)
    path = tmp_path / "p.opb"
    path.write_text(text)
    expected = brute_force(n, cons, objective)
    encoding = rng.choice(["auto", *_corvane.available_encoders()])
    cnf_path = tmp_path / "p.cnf"
    corvane("encode", path, "-o", cnf_path, "--encoding", encoding, "--amo", rng.choice(["pairwise", "ladder"]))
    with Solver(name="cadical195", bootstrap_with=CNF(from_file=str(cnf_path)).clauses) as solver:
        sat = solver.solve()
        assert sat == (expected is not None), text
        if sat:
            model = solver.get_model()
            assignment = {v: model[v - 1] > 0 for v in range(1, n + 1)}
            assert holds(cons, assignment)
    out = corvane("solve", path, "--encoding", encoding).stdout.decode().splitlines()
    status = [line for line in out if line.startswith("s ")]
    if expected is None:
        assert status == ["s UNSATISFIABLE"], text
    elif objective is None:
        assert status == ["s SATISFIABLE"]
    else:
        assert status == ["s OPTIMUM FOUND"], text
        assert [line for line in out if line.startswith("o ")][-1] == f"o {expected}"
        model = " ".join(line[2:] for line in out if line.startswith("v ")).split()
        assignment = {int(t.lstrip("-x")): not t.startswith("-") for t in model}
        assert holds(cons, assignment)
        assert sum(c for c, l in objective if assignment[abs(l)] == (l > 0)) == expected


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_examples_solve_and_wcnf_carries_the_objective(tmp_path, example):
    out = corvane("solve", example).stdout.decode()
    assert "s OPTIMUM FOUND" in out or "s SATISFIABLE" in out
    wcnf = tmp_path / "e.wcnf"
    corvane("encode", example, "--format", "wcnf", "-o", wcnf)
    lines = wcnf.read_text().splitlines()
    assert not any(line.startswith("p ") for line in lines)
    assert all(line.startswith(("c ", "h ")) or line.split()[0].isdigit() for line in lines)


MALFORMED = [
    ("+1 x1 +1 x2 >= 1\n+1 x3 >= 1 ;\n", "2:1: expected ';' after the degree, found '+'"),
    ("+1 x1 x2 >= 1 ;\n", "1:7: non-linear term (a product of literals) is not supported"),
    ("+1 x1 >= 1 ;\n+2 y3 <= 1 ;\n", "2:4: expected a literal x<number> or ~x<number>, found 'y'"),
    ("+1.5 x1 >= 1 ;\n", "1:3: malformed a coefficient: only integers are allowed"),
    ("+1 x1 +1 x2 >= 1", "1:17: expected ';' after the degree, found end of file"),
    ("+1 x1 >= 99999999999999999999999999999999 ;\n", "1:10: the degree is too large: magnitudes up to 2^96 are supported"),
]


@pytest.mark.parametrize(("text", "where"), MALFORMED)
def test_malformed_input_gives_one_located_line_and_no_output(tmp_path, text, where):
    path = tmp_path / "bad.opb"
    path.write_text(text)
    target = tmp_path / "out.cnf"
    result = corvane("encode", path, "-o", target, check=False)
    assert result.returncode == 2
    assert result.stderr.decode() == f"corvane: {path}:{where}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.opb"]
    stdout = corvane("encode", path, check=False)
    assert stdout.returncode == 2 and stdout.stdout == b""


def test_wcnf_refuses_weights_above_2_63(tmp_path):
    path = tmp_path / "w.opb"
    path.write_text("min: +9223372036854775809 x1 ;\n+1 x1 +1 x2 >= 1 ;\n")
    result = corvane("encode", path, "--format", "wcnf", "-o", tmp_path / "w.wcnf", check=False)
    assert result.returncode == 2
    assert "exceeds 2^63" in result.stderr.decode()
    assert not (tmp_path / "w.wcnf").exists()


def test_compressed_and_piped_input_read_like_the_file(tmp_path):
    example = ROOT / "examples" / "jobs.opb"
    data = example.read_bytes()
    plain = corvane("encode", example, "--no-comments").stdout
    for suffix, compress in ((".gz", gzip.compress), (".xz", lzma.compress), (".bz2", bz2.compress)):
        path = tmp_path / f"jobs.opb{suffix}"
        path.write_bytes(compress(data))
        assert corvane("encode", path, "--no-comments").stdout.replace(str(path).encode(), b"X") == \
            plain.replace(str(example).encode(), b"X")
    piped = corvane("encode", "-", "--no-comments", stdin=data).stdout
    assert piped.replace(b"<stdin>", b"X") == plain.replace(str(example).encode(), b"X")
    broken = tmp_path / "broken.opb.gz"
    broken.write_bytes(gzip.compress(data)[:-30])
    result = corvane("encode", broken, check=False)
    assert result.returncode == 2 and "cannot decompress" in result.stderr.decode()


def test_threads_do_not_change_the_output(tmp_path):
    rng = random.Random(1)
    lines = []
    for _ in range(3000):
        a, b, c = rng.sample(range(1, 200), 3)
        lines.append(f"+1 x{a} +1 x{b} +1 x{c} <= 1 ;")
        lines.append(" ".join(f"+{rng.randint(1, 9)} x{v}" for v in rng.sample(range(1, 200), 6)) + " <= 12 ;")
    path = tmp_path / "t.opb"
    path.write_text("\n".join(lines) + "\n")
    assert corvane("encode", path, "-j", "1").stdout == corvane("encode", path, "-j", "2").stdout


def test_stats_json_reports_groups():
    stats = json.loads(corvane("stats", ROOT / "examples" / "jobs.opb", "--json").stdout)
    assert stats["kinds"]["pb"]["rows"] == 2
    assert stats["kinds"]["pb"]["groups"] == 12  # six jobs, two budgets
    assert stats["kinds"]["objective"]["groups"] == 6
    assert set(stats["encoders"]["pb"]) == set(_corvane.available_encoders())
    table = corvane("stats", ROOT / "examples" / "jobs.opb", "--no-detect").stdout.decode()
    assert "encoding every pb row" in table


def _order_encoded(jobs: int, horizon: int, rng: random.Random) -> tuple[str, int]:
    """Jobs in the order encoding: y[j,t] = "job j started by t", chained y[j,t] -> y[j,t+1]; one
    resource row per time, sum u_j (y[j,t] - y[j,t-d_j]) <= capacity: no AMO row, no AMO clause."""
    lines, var, y = [], 0, []
    for _ in range(jobs):
        y.append(list(range(var + 1, var + horizon + 1)))
        var += horizon
        lines += [f"+1 ~x{a} +1 x{a + 1} >= 1 ;" for a in y[-1][:-1]]
    durations = [rng.randint(2, 4) for _ in range(jobs)]
    for t in range(max(durations), horizon):
        lines.append(" ".join(f"+2 x{y[j][t]} -2 x{y[j][t - durations[j]]}" for j in range(jobs)) + " <= 4 ;")
    return "\n".join(lines) + "\n", horizon - max(durations)


def test_stats_reports_groups_by_source(tmp_path):
    path = tmp_path / "order.opb"
    text, rows = _order_encoded(5, 12, random.Random(3))
    path.write_text(text)
    stats = json.loads(corvane("stats", path, "--json").stdout)
    kind = stats["kinds"]["cardinality"]  # equal weights: y[j,t] + ~y[j,t-d_j] <= 7
    assert kind["rows"] == rows
    # Every job's two literals at t collapse into its "running" literal.
    assert kind["complemented"] == {"groups": 5 * rows, "grouped_literals": 10 * rows}
    assert kind["groups"] == kind["stated"]["groups"] + kind["implied"]["groups"] + 5 * rows
    assert stats["groups_by_source"]["complemented"]["groups"] == 5 * rows
    table = corvane("stats", path).stdout.decode()
    assert "complemented" in table.splitlines()[3]
    plain = json.loads(corvane("stats", path, "--json", "--no-detect").stdout)
    assert plain["groups"] == 0 and plain["kinds"]["cardinality"]["groups"] == 0


def test_solve_stops_at_the_time_limit(tmp_path):
    rng = random.Random(4)
    n = 600  # random 3-SAT at the threshold: far beyond a second for CaDiCaL
    lines = [" ".join(f"+1 {'~' if rng.random() < 0.5 else ''}x{v}" for v in rng.sample(range(1, n + 1), 3)) + " >= 1 ;"
             for _ in range(int(4.26 * n))]
    path = tmp_path / "hard.opb"
    path.write_text("\n".join(lines) + "\n")
    result = corvane("solve", path, "--time-limit", "1")
    assert "s UNKNOWN" in result.stdout.decode().splitlines()
