"""The command's dealings with files a user can trust: outputs that are not
regular files are written, never replaced; the input is never its own
output; an interrupted or killed run leaves nothing behind; tiny files with
huge numbers stay small in memory; no malformed or hostile input ever shows
a traceback."""

from __future__ import annotations

import gzip
import os
import pathlib
import random
import resource
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

SMALL = "* #variable= 4 #constraint= 2\n+3 x1 +2 x2 +4 x3 +1 x4 <= 5 ;\n+1 x1 +1 x2 <= 1 ;\n"


def corvane(*args: object, stdin: bytes | None = None, env: dict[str, str] | None = None,
            memory: int | None = None) -> subprocess.CompletedProcess[bytes]:
    def limit() -> None:
        if memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

    return subprocess.run([sys.executable, "-m", "corvane", *map(str, args)], input=stdin, capture_output=True,
                          timeout=120, env=env, preexec_fn=limit)


@pytest.fixture
def small(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "small.opb"
    path.write_text(SMALL)
    return path


@pytest.fixture
def reference(small: pathlib.Path, tmp_path: pathlib.Path) -> bytes:
    out = tmp_path / "reference.cnf"
    assert corvane("encode", small, "-o", out).returncode == 0
    return out.read_bytes()


def test_a_character_device_is_written_not_replaced(small: pathlib.Path) -> None:
    result = corvane("encode", small, "-o", "/dev/null")
    assert result.returncode == 0, result.stderr
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_a_fifo_is_written_in_place(small: pathlib.Path, reference: bytes, tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received: list[bytes] = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    result = corvane("encode", small, "-o", fifo)
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert received == [reference]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_symlink_writes_its_target(small: pathlib.Path, reference: bytes, tmp_path: pathlib.Path) -> None:
    target = tmp_path / "target.cnf"
    target.write_text("old\n")
    link = tmp_path / "link.cnf"
    link.symlink_to(target)
    assert corvane("encode", small, "-o", link).returncode == 0
    assert link.is_symlink() and target.read_bytes() == reference


def test_standard_output_streams_the_same_text(small: pathlib.Path, reference: bytes, tmp_path: pathlib.Path) -> None:
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    for target in ("-", "/dev/stdout"):
        result = corvane("encode", small, "-o", target, "-q", env=env)
        assert result.returncode == 0 and result.stdout == reference, target
    wcnf = corvane("encode", small, "--format", "wcnf", "-q", env=env)
    assert wcnf.returncode == 0 and b"h " in wcnf.stdout
    assert not list(scratch.iterdir())


@pytest.mark.parametrize("how", ["path", "stdin"])
def test_the_output_is_never_the_input(small: pathlib.Path, how: str) -> None:
    if how == "path":
        result = corvane("encode", small, "-o", small)
    else:
        with small.open("rb") as source:  # corvane encode - -o small.opb < small.opb
            result = subprocess.run([sys.executable, "-m", "corvane", "encode", "-", "-o", str(small)], stdin=source,
                                    capture_output=True, timeout=120)
    assert result.returncode == 2
    assert result.stderr.decode().strip() == f"corvane: {small}: the output is the input file"
    assert small.read_text() == SMALL


@pytest.fixture(scope="module")
def big(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """About a second or more of encoding and writing (hundreds of MB of CNF)."""
    rng = random.Random(1)
    path = tmp_path_factory.mktemp("big") / "big.opb"
    with path.open("w") as out:
        for _ in range(60_000):
            variables = rng.sample(range(1, 5001), 12)
            out.write(" ".join(f"+{rng.randint(1, 30)} x{v}" for v in variables) + f" <= {rng.randint(40, 120)} ;\n")
    return path


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGKILL, -9)])
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_a_signal_mid_write_leaves_nothing(big: pathlib.Path, tmp_path: pathlib.Path, signum: int, status: int,
                                           existing: bool) -> None:
    out = tmp_path / "out.cnf"
    if existing:
        out.write_text("previous\n")
    child = subprocess.Popen([sys.executable, "-m", "corvane", "encode", big, "-o", out], stderr=subprocess.PIPE)
    time.sleep(1.2)
    assert child.poll() is None, "the run ended before the signal: the input is too small for this machine"
    child.send_signal(signum)
    _, err = child.communicate(timeout=60)
    assert child.returncode == status, err
    if signum != signal.SIGKILL:
        assert b"Traceback" not in err and err.decode().startswith("corvane: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == (["out.cnf"] if existing else [])
    if existing:
        assert out.read_text() == "previous\n"


HUGE_NUMBERS = {
    "x268435456": "+1 x268435456 >= 1 ;\n",
    "x100000000": "+1 x100000000 +1 x5 >= 1 ;\n",
    "x2147483647": "min: +1 x2147483647 ;\n+1 x2147483647 +2 x7 >= 1 ;\n",
    "header": "* #variable= 100000000 #constraint= 1\n+1 x1 +1 x2 >= 1 ;\n",
    "constraints": "* #variable= 2 #constraint= 2000000000\n+1 x1 +1 x2 >= 1 ;\n",
}


@pytest.mark.parametrize("command", ["encode", "stats", "solve"])
@pytest.mark.parametrize("case", HUGE_NUMBERS)
def test_tiny_files_with_huge_numbers_stay_small(tmp_path: pathlib.Path, case: str, command: str) -> None:
    path = tmp_path / "huge.opb"
    path.write_text(HUGE_NUMBERS[case])
    result = corvane(command, path, memory=2**30)
    assert result.returncode == 0, result.stderr
    if command == "solve":
        lines = result.stdout.decode().splitlines()
        assert any(line in ("s SATISFIABLE", "s OPTIMUM FOUND") for line in lines), lines
        model = [line for line in lines if line.startswith("v ")]
        numbers = {token.lstrip("-") for line in model for token in line.split()[1:]}
        used = {token.split("x")[-1] for token in HUGE_NUMBERS[case].split() if "x" in token}
        assert {f"x{n}" for n in used} <= numbers


HOSTILE: dict[str, bytes] = {
    "binary": bytes(random.Random(3).randrange(256) for _ in range(4000)),
    "nul": b"+1 x1 \x00>= 1 ;\n",
    "long number": b"+" + b"9" * 100_000 + b" x1 >= 1 ;\n",
    "long variable": b"+1 x" + b"9" * 100_000 + b" >= 1 ;\n",
    "two objectives": b"min: +1 x1 ;\nmax: +1 x2 ;\n",
    "unterminated": b"+1 x1 +1 x2 >= 1",
    "variable zero": b"+1 x0 >= 1 ;\n",
    "past 2^31": b"+1 x2147483648 >= 1 ;\n",
    "bad gzip": b"not gzip at all",
    "truncated gzip": gzip.compress(SMALL.encode())[:30],
}


@pytest.mark.parametrize("command", ["encode", "stats", "solve"])
@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_inputs_give_one_line_and_no_traceback(tmp_path: pathlib.Path, case: str, command: str) -> None:
    path = tmp_path / ("input.opb.gz" if "gzip" in case else "input.opb")
    path.write_bytes(HOSTILE[case])
    result = corvane(command, path, memory=2**30)
    err = result.stderr.decode()
    assert "Traceback" not in err
    assert result.returncode == 2, err
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane: "), err


@pytest.mark.parametrize("args, message", [
    (["nonexistent.opb"], "corvane: nonexistent.opb: No such file or directory"),
    ([".", "-o", "x.cnf"], "corvane: .: is a directory"),
    (["SMALL", "-o", "/nonexistent/folder/x.cnf"], "corvane: cannot create a file in /nonexistent/folder"),
])
def test_unusable_paths_fail_in_one_line(small: pathlib.Path, tmp_path: pathlib.Path, args: list[str],
                                         message: str | None) -> None:
    result = corvane("encode", *[str(small) if a == "SMALL" else a for a in args])
    err = result.stderr.decode()
    assert "Traceback" not in err and len(err.strip().splitlines()) == 1, err
    assert result.returncode == (1 if "/nonexistent/" in " ".join(args) else 2)
    if message is not None:
        assert err.startswith(message), err


def test_a_maximised_objective_is_reported_in_its_own_sense(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "max.opb"
    path.write_text("max: +2 x1 +3 x2 +1 x3 ;\n+1 x1 +1 x2 <= 1 ;\n+2 x2 +2 x3 <= 3 ;\n")
    lines = corvane("solve", path).stdout.decode().splitlines()
    assert "s OPTIMUM FOUND" in lines
    assert [line for line in lines if line.startswith("o ")][-1] == "o 3"
