"""The ``corvane`` command: OPB files in, DIMACS CNF or WCNF out.

    corvane encode INPUT.opb [-o OUT] [--encoding E] [--format dimacs|wcnf] [--amo METHOD]
    corvane stats INPUT.opb [--json]
    corvane solve INPUT.opb [--encoding E] [--time-limit S]

INPUT may be ``-`` for standard input or end in ``.gz``, ``.xz`` or ``.bz2``.
Every failure is one line ``corvane: ...`` on standard error, never a
traceback, and an exit status: 2 for bad input or arguments (malformed input
reads ``corvane: FILE:LINE:COLUMN: what is wrong``), 1 for any other failure
(out of memory, an output that cannot be written, an internal error), 130
when interrupted (SIGINT) and 143 when terminated (SIGTERM); the output file
is then left as it was.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from types import FrameType
from typing import Any, NoReturn

import _corvane

from .inputs import InputError, open_input

#: The choices of --encoding: the library's two strategies and every encoder of its registry.
ENCODINGS: tuple[str, ...] = ("auto", "smallest", *_corvane.available_encoders())
#: The choices of --amo.
AMO_METHODS: tuple[str, ...] = tuple(_corvane.AMO_METHODS)
EXIT_INPUT = 2
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143


class Terminated(Exception):
    """SIGTERM arrived: raised in the main thread so that everything unwinds."""


def _threads(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", help="OPB file, '-' for standard input; .gz/.xz/.bz2 are decompressed")
    parser.add_argument("--no-detect", action="store_true", help="do not detect AMO groups")
    parser.add_argument("-j", "--jobs", type=_threads, default=1, metavar="N", help="encode in N threads")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvane", description="AMO-aware pseudo-Boolean encodings of OPB files.")
    parser.add_argument("--version", action="version", version=f"corvane {_corvane.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    encode = commands.add_parser("encode", help="write DIMACS CNF or WCNF")
    _common(encode)
    encode.add_argument("-o", "--output", default="-", help="output file (default: standard output)")
    encode.add_argument("--encoding", choices=ENCODINGS, default="auto", help="encoder for PB and cardinality constraints")
    encode.add_argument("--format", choices=("dimacs", "wcnf"), default="dimacs")
    encode.add_argument("--amo", choices=AMO_METHODS, default="auto",
                        help="encoding of at-most-one constraints (auto: pairwise up to 6 literals, else "
                             "sequential, also called ladder)")
    encode.add_argument("--no-comments", action="store_true", help="omit the variable map comment lines")
    encode.add_argument("-q", "--quiet", action="store_true", help="no progress or summary on standard error")

    stats = commands.add_parser("stats", help="AMO groups found and encoding sizes")
    _common(stats)
    stats.add_argument("--json", action="store_true", help="print JSON")

    solve = commands.add_parser("solve", help="solve with CaDiCaL (needs python-sat)")
    _common(solve)
    solve.add_argument("--encoding", choices=ENCODINGS, default="auto")
    solve.add_argument("--amo", choices=AMO_METHODS, default="auto")
    solve.add_argument("--time-limit", type=float, default=None, metavar="S", help="seconds before giving up")
    return parser


def _progress_wanted(args: argparse.Namespace) -> bool:
    return not getattr(args, "quiet", False) and sys.stderr.isatty()


def _check_output(args: argparse.Namespace) -> None:
    """Refuse an output that is a folder or the input itself, before anything is read."""
    if args.output == "-":
        return
    if os.path.isdir(args.output):
        raise InputError(f"{args.output}: is a directory")
    try:
        out = os.stat(args.output)
        source = os.fstat(0) if args.input == "-" else os.stat(args.input)
    except OSError:
        return  # a missing output, or an input that open_input reports
    if (out.st_dev, out.st_ino) == (source.st_dev, source.st_ino):
        raise InputError(f"{args.output}: the output is the input file")


def cmd_encode(args: argparse.Namespace) -> int:
    _check_output(args)
    with open_input(args.input) as (fd, name):
        summary = _corvane.opb_convert(
            fd, name, args.output, encoding=args.encoding, format=args.format, amo=args.amo,
            detect=not args.no_detect, threads=args.jobs, comments=not args.no_comments,
            progress=_progress_wanted(args),
        )
    if not args.quiet and args.output != "-":
        print(f"corvane: {name}: {summary['constraints']} constraints -> {summary['num_vars']} variables, "
              f"{summary['hard_clauses']} clauses"
              + (f", {summary['soft_clauses']} soft" if args.format == "wcnf" else "")
              + f", {summary['groups']} AMO groups used -> {args.output}", file=sys.stderr)
    return 0


def _stats_table(stats: dict[str, Any]) -> str:
    """The human-readable form of ``_corvane.opb_stats``: rows and AMO groups per kind of row (and the
    objective) with the groups by source (stated by AMO rows and binary clauses, implied through
    chains of binary clauses, complemented: at-least-one structure), then the sizes per encoder."""
    sources = ("stated", "implied", "complemented")
    lines = [f"constraints read: {stats['constraints']}  (trivially true {stats['trivially_true']}, "
             f"trivially false {stats['trivially_false']}, unit clauses split off {stats['units']})",
             f"variables: {stats['input_vars']}",
             "",
             f"{'kind':<12} {'rows':>10} {'AMO groups':>11} {'in groups':>10} "
             + " ".join(f"{s:>12}" for s in sources)]
    for kind in ("clause", "amo", "cardinality", "pb", "objective"):
        k = stats["kinds"][kind]
        rows = k.get("rows", k.get("terms"))
        unit = " terms" if kind == "objective" else ""
        by_source = " ".join(f"{k[s]['groups']:>12}" if s in k else f"{'':>12}" for s in sources)
        lines.append(f"{kind:<12} {rows:>10}{unit} {k['groups']:>11} {k['grouped_literals']:>10} {by_source}")
    for kind in ("cardinality", "pb"):
        if stats["kinds"][kind]["rows"] == 0:
            continue
        lines += ["", f"encoding every {kind} row:",
                  f"{'encoder':<8} {'rows':>8} {'skipped':>8} {'variables':>12} {'clauses':>12} {'seconds':>9}"]
        for name, e in stats["encoders"][kind].items():
            lines.append(f"{name:<8} {e['rows']:>8} {e['skipped']:>8} {e['vars']:>12} {e['clauses']:>12} "
                         f"{e['seconds']:>9.3f}")
    return "\n".join(lines)


def cmd_stats(args: argparse.Namespace) -> int:
    with open_input(args.input) as (fd, name):
        stats = _corvane.opb_stats(fd, name, detect=not args.no_detect, threads=args.jobs,
                                   progress=_progress_wanted(args))
    stats["input"] = name
    if args.json:
        print(json.dumps(stats, indent=2, sort_keys=True))
    else:
        print(_stats_table(stats))
    return 0


def cmd_solve(args: argparse.Namespace) -> int:
    from .solve import solve  # python-sat is optional

    return solve(args.input, encoding=args.encoding, amo=args.amo, detect=not args.no_detect,
                 threads=args.jobs, time_limit=args.time_limit)


@contextmanager
def _terminate_by_exception() -> Iterator[None]:
    """Turn SIGTERM into an exception while a command runs, so that the native
    code stops at its next check and the output and every temporary file are
    cleaned up; the default handler would end the process on the spot."""
    def raise_terminated(signum: int, frame: FrameType | None) -> NoReturn:
        raise Terminated()

    try:
        previous = signal.signal(signal.SIGTERM, raise_terminated)
    except ValueError:  # not the main thread: leave the signal alone
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _fail(message: object, status: int) -> int:
    print(f"corvane: {message}", file=sys.stderr)
    return status


def _quiet_stdout() -> None:
    """The reader of standard output went away: make the interpreter's final flush quiet too."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    handler = {"encode": cmd_encode, "stats": cmd_stats, "solve": cmd_solve}[args.command]
    try:
        with _terminate_by_exception():
            return handler(args)
    except (_corvane.OpbError, InputError, ValueError) as error:
        return _fail(error, EXIT_INPUT)
    except MemoryError:
        return _fail("out of memory", EXIT_FAILURE)
    except BrokenPipeError:
        _quiet_stdout()
        return EXIT_FAILURE
    except OSError as error:
        if error.errno == errno.EPIPE:
            _quiet_stdout()
            return EXIT_FAILURE
        where = f"{error.filename}: " if error.filename else ""
        return _fail(f"{where}{error.strerror or error}", EXIT_FAILURE)
    except ImportError as error:
        return _fail(f"{error} (install python-sat: pip install 'corvane[pysat]')", EXIT_FAILURE)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    except Terminated:
        return _fail("terminated", EXIT_TERMINATED)
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        return _fail(f"{type(error).__name__}: {error}" if not isinstance(error, RuntimeError) else error,
                     EXIT_FAILURE)


if __name__ == "__main__":
    sys.exit(main())
