"""Run one measurement in a forked child with a wall-clock limit and a memory cap.

The parent forks, the child runs ``fn()`` and pickles its result dict into a pipe. The parent
watches the child's resident set size while it waits, and kills it when it exceeds the time
limit or the memory cap, returning ``{"status": "timeout"}`` or ``{"status": "memout"}``.
Forking keeps the inputs (built once in the parent) out of any serialisation, and gives every
measurement a fresh peak-memory counter: the child resets the kernel's high-water mark
(``/proc/self/clear_refs``) right before the measured call.
"""
from __future__ import annotations

import os
import pickle
import select
import signal
import time
import traceback


def _status_kib(pid: int | str, key: str) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def rss_kib() -> int:
    return _status_kib("self", "VmRSS:")


def hwm_kib() -> int:
    return _status_kib("self", "VmHWM:")


def reset_peak() -> bool:
    """Reset this process's peak RSS (VmHWM) to its current RSS; False when unsupported."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class _Child:
    def __init__(self, key, fn, timeout):
        self.key, self.timeout = key, timeout
        rfd, wfd = os.pipe()
        pid = os.fork()
        if pid == 0:  # child
            os.close(rfd)
            code = 0
            try:
                res = fn()
                res.setdefault("status", "ok")
            except BaseException as e:  # report every failure to the parent
                res = {"status": "memout" if isinstance(e, MemoryError) or "bad_alloc" in str(e)
                       else "error", "error": f"{type(e).__name__}: {e}",
                       "trace": traceback.format_exc(limit=3)}
                code = 1
            data = pickle.dumps(res)
            with os.fdopen(wfd, "wb") as w:
                w.write(data)
            os._exit(code)
        os.close(wfd)
        self.pid, self.rfd, self.chunks = pid, rfd, []
        self.start = time.monotonic()

    def finish(self, status=None) -> dict:
        if status is not None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _, wstatus = os.waitpid(self.pid, 0)
        os.close(self.rfd)
        wall = time.monotonic() - self.start
        if status is not None:
            return {"status": status, "wall": wall}
        try:
            return pickle.loads(b"".join(self.chunks))
        except Exception:
            how = (f"killed by signal {os.WTERMSIG(wstatus)}" if os.WIFSIGNALED(wstatus)
                   else f"exit code {os.WEXITSTATUS(wstatus)}")
            return {"status": "crash", "error": f"child died without a result ({how})", "wall": wall}


def run_many(tasks, jobs: int = 1, mem_cap_mib: int = 6144):
    """Run ``(key, fn, timeout)`` tasks in forked children, at most ``jobs`` at once; yields
    ``(key, result)`` as they finish."""
    tasks = list(tasks)
    running: dict = {}
    while tasks or running:
        while tasks and len(running) < jobs:
            key, fn, timeout = tasks.pop(0)
            ch = _Child(key, fn, timeout)
            running[ch.rfd] = ch
        now = time.monotonic()
        wait = min(ch.timeout - (now - ch.start) for ch in running.values())
        ready, _, _ = select.select(list(running), [], [], max(0.0, min(0.05, wait)))
        done = []
        for fd in ready:
            ch = running[fd]
            b = os.read(fd, 1 << 20)
            if b:
                ch.chunks.append(b)
            else:
                done.append((ch, None))
        now = time.monotonic()
        for ch in running.values():
            if any(ch is d for d, _ in done):
                continue
            if now - ch.start > ch.timeout:
                done.append((ch, "timeout"))
            elif _status_kib(ch.pid, "VmRSS:") > mem_cap_mib * 1024:
                done.append((ch, "memout"))
        for ch, status in done:
            del running[ch.rfd]
            yield ch.key, ch.finish(status)


def run_isolated(fn, timeout: float, mem_cap_mib: int = 6144) -> dict:
    """``fn()`` in a forked child; its dict result, or a status dict on failure."""
    for _, res in run_many([(None, fn, timeout)], 1, mem_cap_mib):
        return res
