"""Soak: many transfers through the easy and the multi style, with callables
that raise at random points and handles reused, reset and duplicated.

Run as a child process by tests/test_soak.py, so that what is measured is
this interpreter alone: the loopback server stays in the parent, whose
threads (and what pytest keeps of the errors they meet when a client hangs
up early) would otherwise be counted with the transfers.
`python soak_driver.py URL WARMUP MEASURED CHECKPOINTS SECONDS SEED`

After WARMUP transfers the live objects, the module's own objects, the
memory traced by tracemalloc and the resident memory are read; then again
after each of CHECKPOINTS equal parts of MEASURED further transfers.
Prints one JSON line: the counts and the readings.
"""

import gc
import json
import os
import random
import sys
import time
import tracemalloc

import kelvex

SIZES = (1, 512, 4096, 20000)
LETTERS = b"abcdefghijklmnopqrstuvwxyz"
BODIES = {n: bytes(LETTERS[i % 26] for i in range(n)) for n in SIZES}


class Boom(Exception):
    pass


class Sink:
    """sys.stderr while the soak runs: the module prints the traceback of
    every callable that raised, tens of thousands of them; they are counted
    here instead of piling up in the parent's pipe."""

    def __init__(self):
        self.writes = 0

    def write(self, text):
        self.writes += 1
        return len(text)

    def flush(self):
        pass


class Soak:
    """Runs transfers on a small pool of handles, each set up afresh in a
    random way: a plain body, a callable that raises after some chunks, a
    header callable that raises, a progress callable that aborts; the
    handle is at random reset or replaced by its duplicate first."""

    def __init__(self, url, seed):
        self.url = url
        self.rng = random.Random(seed)
        self.pool = [kelvex.Curl() for _ in range(4)]
        self.multi = kelvex.CurlMulti()
        self.transfers = 0
        self.failed = 0

    def close(self):
        self.multi.close()
        for c in self.pool:
            c.close()

    def prepare(self, i):
        rng = self.rng
        c = self.pool[i]
        roll = rng.random()
        if roll < 0.05:
            copy = c.duphandle()
            c.close()
            c = self.pool[i] = copy
        elif roll < 0.10:
            c.reset()
        size = rng.choice(SIZES)
        got = []
        fail = rng.choice(["none", "none", "none", "write", "header", "progress"])
        after = rng.randrange(3)

        def write(data):
            if fail == "write" and len(got) >= after:
                raise Boom("write")
            got.append(bytes(data))

        def header(line):
            if fail == "header" and rng.random() < 0.3:
                raise Boom("header")

        def progress(*args):
            if fail == "progress" and args[1] > 0:
                raise Boom("progress")
            return 0

        c.setopt(kelvex.URL, f"{self.url}/range/{size}")
        c.setopt(kelvex.TIMEOUT_MS, 20_000)
        c.setopt(kelvex.WRITEFUNCTION, write, use_memoryview=rng.random() < 0.5)
        c.setopt(kelvex.HEADERFUNCTION, header)
        c.setopt(kelvex.XFERINFOFUNCTION, progress)
        c.setopt(kelvex.NOPROGRESS, 0 if fail == "progress" else 1)
        return c, got, size, fail

    def check(self, got, size, fail, error):
        body = b"".join(got)
        assert BODIES[size].startswith(body), "bytes lost or out of order"
        if error is None:
            assert body == BODIES[size], "a transfer that succeeded lost bytes"
        else:
            self.failed += 1
            assert fail != "none", f"a transfer with nothing to fail failed: {error!r}"

    def easy_round(self):
        c, got, size, fail = self.prepare(self.rng.randrange(len(self.pool)))
        error = None
        try:
            c.perform()
        except (Boom, kelvex.error) as exc:
            error = exc
        self.transfers += 1
        self.check(got, size, fail, error)

    def multi_round(self):
        entries = {}
        for i in range(len(self.pool)):
            c, got, size, fail = self.prepare(i)
            entries[c] = (got, size, fail)
            self.multi.add_handle(c)
        end = time.monotonic() + 60
        done = {}
        while len(done) < len(entries):
            assert time.monotonic() < end, "multi transfers did not finish"
            _, running = self.multi.perform()
            while True:
                queued, ok, failed = self.multi.info_read()
                for c in ok:
                    done[c] = None
                for c, code, message in failed:
                    done[c] = (code, message)
                if not queued:
                    break
            if running:
                self.multi.select(0.5)
        for c, error in done.items():
            self.multi.remove_handle(c)
            self.transfers += 1
            self.check(*entries[c], error)

    def run(self, transfers, deadline):
        while self.transfers < transfers and time.monotonic() < deadline:
            if self.rng.random() < 0.5:
                self.easy_round()
            else:
                self.multi_round()


def ours():
    """The module's objects alive now."""
    count = 0
    for o in gc.get_objects():
        module = getattr(type(o), "__module__", "")
        if isinstance(module, str) and module.startswith("kelvex"):
            count += 1
    return count


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reading(transfers):
    gc.collect()
    return {
        "transfers": transfers,
        "objects": len(gc.get_objects()),
        "ours": ours(),
        "traced": tracemalloc.get_traced_memory()[0],
        "rss": rss_bytes(),
    }


def main():
    url, warmup, measured, checkpoints, seconds, seed = sys.argv[1:7]
    warmup, measured, checkpoints = int(warmup), int(measured), int(checkpoints)
    deadline = time.monotonic() + float(seconds)
    sink = Sink()
    s = Soak(url, int(seed))
    readings = []
    start = time.monotonic()
    tracemalloc.start(1)
    sys.stderr = sink
    try:
        s.run(warmup, deadline)
        readings.append(reading(s.transfers))
        for k in range(1, checkpoints + 1):
            s.run(warmup + measured * k // checkpoints, deadline)
            readings.append(reading(s.transfers))
    finally:
        sys.stderr = sys.__stderr__
        tracemalloc.stop()
        s.close()
    print(json.dumps({
        "transfers": s.transfers,
        "failed": s.failed,
        "stderr_writes": sink.writes,
        "seconds": time.monotonic() - start,
        "readings": readings,
    }))


if __name__ == "__main__":
    main()
