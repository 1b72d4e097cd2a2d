"""Opening OPB inputs for the native reader: a plain file, standard input
(``-``) or a ``.gz``/``.xz``/``.bz2`` file, each handed over as a file
descriptor. Compressed input is decompressed by a thread that streams into a
pipe, so the native reader works on it while it is being decompressed."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import lzma
import os
import stat
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

_OPENERS: dict[str, Callable[..., Any]] = {".gz": gzip.open, ".xz": lzma.open, ".bz2": bz2.open}
_CHUNK = 1 << 20


class InputError(Exception):
    """An input that cannot be read; the message names the file."""


def _opener(path: str) -> Callable[..., Any] | None:
    for suffix, opener in _OPENERS.items():
        if path.endswith(suffix):
            return opener
    return None


@contextlib.contextmanager
def open_input(path: str) -> Iterator[tuple[int, str]]:
    """Yields (file descriptor, name for messages). Raises InputError when the
    file cannot be opened or decompressed."""
    if path == "-":
        yield sys.stdin.buffer.fileno(), "<stdin>"
        return
    opener = _opener(path)
    if opener is None:
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError as error:
            raise InputError(f"{path}: {error.strerror}") from None
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            os.close(fd)
            raise InputError(f"{path}: is a directory")
        try:
            yield fd, path
        finally:
            os.close(fd)
        return
    try:
        source = opener(path, "rb")
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    read_end, write_end = os.pipe()
    failure: list[BaseException] = []

    def pump() -> None:
        try:
            with source, os.fdopen(write_end, "wb", buffering=0) as sink:
                while True:
                    chunk = source.read(_CHUNK)
                    if not chunk:
                        break
                    sink.write(chunk)
        except BrokenPipeError:
            pass  # the reader stopped early (an error in the file)
        except BaseException as error:  # noqa: BLE001 - reported by the caller
            failure.append(error)

    thread = threading.Thread(target=pump, name="corvane-decompress", daemon=True)
    thread.start()
    def finish() -> None:
        os.close(read_end)
        thread.join()
        if failure:  # a decompression error explains whatever the reader saw
            raise InputError(f"{path}: cannot decompress: {failure[0]}")

    try:
        yield read_end, path
    except BaseException:
        finish()
        raise
    finish()
