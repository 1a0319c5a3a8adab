"""What every Python client reports about one run: wall time, the CPU time
of the whole process (user and system, every thread) and its resident
memory, in the same JSON shape as the C++ reference program."""

import gc
import os
import resource
import time

_PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def rss_kib() -> int:
    """Resident memory now (not the peak), in KiB."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE_KIB


def settled_rss_kib() -> int:
    """Resident memory after a full collection, so that garbage waiting for
    the cycle collector does not count as growth."""
    gc.collect()
    return rss_kib()


class Span:
    """Measures the block it brackets."""

    def __enter__(self):
        ru = resource.getrusage(resource.RUSAGE_SELF)
        self._start = (time.perf_counter(), ru.ru_utime, ru.ru_stime)
        return self

    def __exit__(self, *exc):
        ru = resource.getrusage(resource.RUSAGE_SELF)
        end = (time.perf_counter(), ru.ru_utime, ru.ru_stime)
        self.seconds, self.user, self.sys = (b - a for a, b in zip(self._start, end))
        return False

    def result(self, requests: int, nbytes: int, **extra) -> dict:
        return {"requests": requests, "bytes": nbytes, "seconds": self.seconds,
                "user": self.user, "sys": self.sys, "rss_kib": rss_kib(), **extra}


def new_loop(name: str):
    """A fresh event loop: "asyncio" (the standard one) or "uvloop"."""
    import asyncio

    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
    if name == "asyncio":
        return asyncio.new_event_loop()
    raise ValueError(f"unknown event loop {name!r}")
