"""kelvex, the client under test: every workload, with the delivery styles
its users choose between (a write callable with bytes or memoryviews,
perform_rb, a file object; CurlMulti polled or driven by socket events, or
awaited on an asyncio loop through kelvex.aio)."""

import asyncio
import os
import select
import sys
import threading
import time

import kelvex

from bench.measure import Span, new_loop, settled_rss_kib


def _counting_sink():
    """A write callable that counts the bytes it is given and drops them,
    like the C++ program's write callback."""
    total = 0

    def sink(chunk):
        nonlocal total
        total += len(chunk)

    def count():
        return total

    return sink, count


def _check(c: kelvex.Curl):
    code = c.getinfo(kelvex.RESPONSE_CODE)
    if code != 200:
        raise RuntimeError(f"HTTP status {code}")


def _no_mark():
    pass


def _mark():
    # Cut point for callgrind's --dump-before=curl_easy_init (bench/run.py).
    kelvex.Curl().close()


# W1, W4, W5, W6: sequential GETs on one handle, so on one keep-alive
# connection.  One untimed request opens the connection first.

def _sequential(url: str, variant: str):
    """Returns (handle, run, byte_count) for a variant; run(k) makes k
    requests in a loop of its own, so that the harness adds no Python call
    per request beyond what a user's loop would make."""
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    if variant == "callback":
        sink, count = _counting_sink()
        c.setopt(kelvex.WRITEFUNCTION, sink)
        perform = c.perform

        def run(k):
            for _ in range(k):
                perform()

        return c, run, count
    if variant == "perform_rb":
        total = 0
        perform_rb = c.perform_rb

        def run(k):
            nonlocal total
            for _ in range(k):
                total += len(perform_rb())

        return c, run, lambda: total
    raise ValueError(f"unknown variant {variant!r}")


def w1(job: dict) -> dict:
    mark = _mark if job.get("marks") else _no_mark
    c, run, count = _sequential(job["url"], job["variant"])
    run(1)
    start_bytes = count()
    n = job["count"]
    mark()
    with Span() as span:
        run(n)
    mark()
    _check(c)
    c.close()
    return span.result(n, count() - start_bytes)


def _threaded(url: str, variant: str, count: int, nthreads: int) -> tuple[int, float]:
    """W1 on nthreads threads at once, each with its own Curl; returns the
    bytes received and the seconds taken."""
    barrier = threading.Barrier(nthreads + 1)
    received = [0] * nthreads
    errors = []

    def client(i):
        try:
            c, run, count_bytes = _sequential(url, variant)
            run(1)
            start_bytes = count_bytes()
            barrier.wait()
            run(count)
            _check(c)
            received[i] = count_bytes() - start_bytes
            c.close()
        except BaseException as e:
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    try:
        barrier.wait()
    except threading.BrokenBarrierError:
        pass
    start = time.perf_counter()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - start
    if errors:
        raise errors[0]
    return sum(received), seconds


def w5(job: dict) -> dict:
    """One thread, two threads, one thread again: the speed-up is judged
    against the mean of the runs on either side, so that a slow phase of the
    machine does not land on one side only."""
    url, variant, n = job["url"], job["variant"], job["count"]
    with Span() as span:
        b1, s1 = _threaded(url, variant, n, 1)
        b2, s2 = _threaded(url, variant, n, 2)
        b3, s3 = _threaded(url, variant, n, 1)
    # Whether the threads really ran in parallel: on a free-threaded build an
    # extension module that does not declare free-threading support enables
    # the GIL when imported.
    return span.result(4 * n, b1 + b2 + b3, rps_one=[n / s1, n / s3], rps_two=2 * n / s2,
                       gil_enabled=sys._is_gil_enabled())


def w6(job: dict) -> dict:
    """Resident memory after the first requests and after all of them."""
    c, run, count = _sequential(job["url"], job["variant"])
    first, n = job["first"], job["count"]
    with Span() as span:
        run(first)
        rss_first = settled_rss_kib()
        run(n - first)
        rss_last = settled_rss_kib()
    _check(c)
    c.close()
    return span.result(n, count(), rss_first_kib=rss_first, rss_last_kib=rss_last,
                       drift_kib=rss_last - rss_first)


# W2: one large download.

def w2(job: dict) -> dict:
    c = kelvex.Curl()
    c.setopt(kelvex.URL, job["url"])
    if job["buffersize"]:
        c.setopt(kelvex.BUFFERSIZE, job["buffersize"])
    variant = job["variant"]
    sink = devnull = None
    if variant in ("bytes", "memoryview"):
        sink, count = _counting_sink()
        c.setopt(kelvex.WRITEFUNCTION, sink, use_memoryview=variant == "memoryview")
    elif variant == "file":
        devnull = open(os.devnull, "wb")
        c.setopt(kelvex.WRITEDATA, devnull)
    else:
        raise ValueError(f"unknown variant {variant!r}")
    with Span() as span:
        c.perform()
    _check(c)
    nbytes = count() if sink else c.getinfo(kelvex.SIZE_DOWNLOAD_T)
    c.close()
    if devnull:
        devnull.close()
    return span.result(1, nbytes)


# W3: many GETs with a fixed number in flight on one CurlMulti.  A finished
# handle is removed and added again for the next request, so the multi's
# connection pool carries the keep-alive connections.

class _Pool:
    def __init__(self, url: str, inflight: int, cafile: str | None = None):
        """With a CA file: HTTPS over HTTP/2, every transfer waiting for the
        first connection to multiplex on it (PIPEWAIT), up to ``inflight``
        streams (W8)."""
        self.multi = kelvex.CurlMulti()
        self.sink, self.count = _counting_sink()
        self.handles = []
        if cafile:
            self.multi.setopt(kelvex.M_MAX_CONCURRENT_STREAMS, inflight)
        for _ in range(inflight):
            c = kelvex.Curl()
            c.setopt(kelvex.URL, url)
            c.setopt(kelvex.WRITEFUNCTION, self.sink)
            if cafile:
                c.setopt(kelvex.CAINFO, cafile)
                c.setopt(kelvex.HTTP_VERSION, kelvex.CURL_HTTP_VERSION_2TLS)
                c.setopt(kelvex.PIPEWAIT, 1)
            self.handles.append(c)

    def start(self, count: int):
        self.total, self.started, self.done = count, 0, 0
        for c in self.handles:
            if self.started < count:
                self.multi.add_handle(c)
                self.started += 1

    def reap(self):
        """Collects finished transfers and starts the next ones."""
        multi = self.multi
        _, ok, failed = multi.info_read()
        if failed:
            c, code, message = failed[0]
            raise RuntimeError(f"transfer failed: {code} {message}")
        for c in ok:
            self.done += 1
            multi.remove_handle(c)
            if self.started < self.total:
                multi.add_handle(c)
                self.started += 1

    def close(self):
        self.multi.close()
        for c in self.handles:
            c.close()


def _drive_poll(pool: _Pool, count: int):
    """perform(), info_read(), then timeout() and select() to wait."""
    pool.start(count)
    multi = pool.multi
    while pool.done < count:
        multi.perform()
        pool.reap()
        if pool.done >= count:
            break
        timeout_ms = multi.timeout()
        if timeout_ms == 0:
            continue
        multi.select(1.0 if timeout_ms < 0 or timeout_ms > 1000 else timeout_ms / 1000)


class _EventLoop:
    """Socket and timer callables feeding epoll, as an application's own
    event loop would."""

    def __init__(self, multi):
        self.ep = select.epoll()
        self.registered = set()
        self.deadline = None
        multi.setopt(kelvex.M_SOCKETFUNCTION, self.on_socket)
        multi.setopt(kelvex.M_TIMERFUNCTION, self.on_timer)

    def on_socket(self, what, fd, multi, socketp):
        if what == kelvex.POLL_REMOVE:
            if fd in self.registered:
                self.registered.discard(fd)
                try:
                    self.ep.unregister(fd)
                except OSError:
                    pass
            return
        mask = (select.EPOLLIN if what & kelvex.POLL_IN else 0) | (
            select.EPOLLOUT if what & kelvex.POLL_OUT else 0)
        if fd in self.registered:
            self.ep.modify(fd, mask)
        else:
            self.ep.register(fd, mask)
            self.registered.add(fd)

    def on_timer(self, timeout_ms):
        self.deadline = None if timeout_ms < 0 else time.monotonic() + timeout_ms / 1000


_EPOLL_TO_CSELECT = {}


def _cselect(events: int) -> int:
    flags = _EPOLL_TO_CSELECT.get(events)
    if flags is None:
        flags = ((kelvex.CSELECT_IN if events & select.EPOLLIN else 0)
                 | (kelvex.CSELECT_OUT if events & select.EPOLLOUT else 0)
                 | (kelvex.CSELECT_ERR if events & (select.EPOLLERR | select.EPOLLHUP) else 0))
        _EPOLL_TO_CSELECT[events] = flags
    return flags


def _drive_socket(pool: _Pool, count: int, loop: _EventLoop):
    """socket_action() for each ready socket and for libcurl's timer."""
    multi = pool.multi
    pool.start(count)
    poll = loop.ep.poll
    action = multi.socket_action
    timeout_socket = kelvex.SOCKET_TIMEOUT
    monotonic = time.monotonic
    while pool.done < count:
        wait = 1.0
        if loop.deadline is not None:
            wait = min(max(loop.deadline - monotonic(), 0.0), 1.0)
        for fd, events in poll(wait):
            action(fd, _cselect(events))
        if loop.deadline is not None and monotonic() >= loop.deadline:
            loop.deadline = None
            action(timeout_socket, 0)
        pool.reap()


def _drive_core(pool: _Pool, count: int, core):
    """The socket style through an EventCore: libcurl's sockets and timer
    handled in C++, bodies collected there; one process() call per wake-up
    returns the finished transfers."""
    pool.total, pool.started, pool.done = count, 0, 0
    add, process = core.add, core.process
    for c in pool.handles:
        if pool.started < count:
            add(c, None, True)
            pool.started += 1
    received = 0
    while pool.done < count:
        for c, body in process(1.0):
            if type(body) is not bytes:
                raise RuntimeError(f"transfer failed: {body!r}")
            received += len(body)
            pool.done += 1
            if pool.started < count:
                add(c, None, True)
                pool.started += 1
    pool.core_bytes = getattr(pool, "core_bytes", 0) + received


def w3(job: dict) -> dict:
    """W3, and W8 when the job names a CA file (HTTP/2 over TLS)."""
    inflight, n = job["inflight"], job["count"]
    pool = _Pool(job["url"], inflight, job.get("cafile"))
    core = None
    if job["variant"] == "core":
        core = kelvex.EventCore(pool.multi)

        def drive(pool, count):
            _drive_core(pool, count, core)

        pool.core_bytes = 0
        pool.count = lambda: pool.core_bytes
    elif job["variant"] == "poll":
        drive = _drive_poll
    elif job["variant"] == "socket":
        loop = _EventLoop(pool.multi)

        def drive(pool, count):
            _drive_socket(pool, count, loop)
    else:
        raise ValueError(f"unknown variant {job['variant']!r}")
    mark = _mark if job.get("marks") else _no_mark
    drive(pool, inflight)
    start_bytes = pool.count()
    mark()
    with Span() as span:
        drive(pool, n)
    mark()
    nbytes = pool.count() - start_bytes
    # Connections opened by the last transfers of each handle (all of them
    # after the warm-up round should be 0 on one multiplexed connection).
    opened = sum(c.getinfo(kelvex.NUM_CONNECTS) for c in pool.handles)
    versions = sorted({c.getinfo(kelvex.INFO_HTTP_VERSION) for c in pool.handles})
    if core is not None:
        core.close()
    pool.close()
    if job.get("cafile") and (versions != [kelvex.CURL_HTTP_VERSION_2_0] or opened):
        raise RuntimeError(f"W8 ran on HTTP versions {versions} and opened {opened} connections")
    return span.result(n, nbytes, connections_opened_last_round=opened, http_versions=versions)


# W7: W3 through kelvex.aio on an asyncio loop: as many tasks as transfers
# in flight, each awaiting one handle after the other.  A failed transfer
# raises; the status is checked once after each task's loop, as W1 and the
# C++ program do.

async def _aio_concurrent(multi, handles: list, count: int, body: bool = False) -> int:
    """Returns the bytes of the bodies awaited with perform_rb (body=True)."""
    left = count
    received = 0

    async def worker(c):
        nonlocal left, received
        perform = multi.perform
        while left > 0:
            left -= 1
            await perform(c)
        _check(c)

    async def body_worker(c):
        nonlocal left, received
        perform_rb = multi.perform_rb
        while left > 0:
            left -= 1
            body = await perform_rb(c)
            received += len(body)
        _check(c)

    await asyncio.gather(*((body_worker if body else worker)(c) for c in handles[:count]))
    return received


def w7(job: dict) -> dict:
    import kelvex.aio

    inflight, n = job["inflight"], job["count"]
    sink, count = _counting_sink()
    handles = []
    for _ in range(inflight):
        c = kelvex.Curl()
        c.setopt(kelvex.URL, job["url"])
        c.setopt(kelvex.WRITEFUNCTION, sink)
        handles.append(c)

    mark = _mark if job.get("marks") else _no_mark

    body = bool(job.get("body"))

    async def main():
        async with kelvex.aio.Multi() as multi:
            await _aio_concurrent(multi, handles, inflight, body)
            start_bytes = count()
            mark()
            with Span() as span:
                collected = await _aio_concurrent(multi, handles, n, body)
            mark()
            return span, count() - start_bytes + collected

    loop = new_loop(job["loop"])
    try:
        span, nbytes = loop.run_until_complete(main())
    finally:
        loop.close()
    for c in handles:
        c.close()
    return span.result(n, nbytes)


WORKLOADS = {"w1": w1, "w2": w2, "w3": w3, "w5": w5, "w6": w6, "w7": w7, "w8": w3}


def run(job: dict) -> dict:
    return WORKLOADS[job["workload"]](job)
