"""kelvex.aio: Curl transfers awaited on asyncio event loops (the standard
loop, and uvloop when it is installed), against loopback servers."""

import asyncio
import gc
import inspect
import os
import re
import socket
import threading
import tracemalloc
import weakref
import zlib

import pytest

import kelvex
import kelvex.aio
from conftest import body_url, expected_body, loop_factories
from loopback_servers import read_request, wait_for_close

# Bounds every wait below so that a broken build fails instead of hanging;
# nothing here measures speed.
DEADLINE = 60.0


@pytest.fixture(params=list(loop_factories()))
def run(request):
    """run(coroutine function, *args): runs it to the end on a fresh loop
    of the kind under test, bounded by DEADLINE."""
    factory = request.param

    def run(fn, *args):
        async def bounded():
            async with asyncio.timeout(DEADLINE):
                return await fn(*args)

        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(bounded())

    return run


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def handle(url, body=None, **options):
    """A Curl for url whose body chunks go to the list `body` (if given)."""
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.WRITEFUNCTION, (body if body is not None else []).append)
    for name, value in options.items():
        c.setopt(getattr(kelvex, name), value)
    return c


class Stalling:
    """A raw server that reads a request and answers with `head` (bytes)
    and `part` (bytes), then waits for the client to close.  `.requested`
    is set when a request has arrived, `.closed` when the client hung up."""

    def __init__(self, raw_server, head=b"", part=b""):
        self.requested, self.closed = threading.Event(), threading.Event()
        self.head, self.part = head, part
        self.url = f"http://127.0.0.1:{raw_server(self._serve)}/"

    def _serve(self, sock):
        if read_request(sock):
            self.requested.set()
            if self.head:
                sock.sendall(self.head + self.part)
        wait_for_close(sock, DEADLINE)
        self.closed.set()


HALF_BODY = b"x" * 50_000
PARTIAL = b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"


async def until(event):
    """Waits (without blocking the loop) until a threading.Event is set."""
    async with asyncio.timeout(DEADLINE):
        while not event.is_set():
            await asyncio.sleep(0.005)


# ---------------------------------------------------------------------------
# Transfers that end by themselves


def test_transfer_delivers_the_body(run, http_server):
    body = []
    c = handle(body_url(http_server), body)

    async def main():
        async with kelvex.aio.Multi() as multi:
            assert await multi.perform(c) is None
            assert multi.in_flight == 0 and c not in multi.curl_multi

    run(main)
    assert b"".join(body) == expected_body()
    assert c.getinfo(kelvex.RESPONSE_CODE) == 200


def test_perform_rb_returns_the_body_and_keeps_the_write_target(run, http_server):
    """Bodies of every size come back as bytes, concurrently; the handle's
    write callable takes the body of its next perform() again."""
    lengths = [1, 2, 16_384, 102_400]
    targets = [[] for _ in lengths]
    handles = [handle(body_url(http_server, n), chunks) for n, chunks in zip(lengths, targets)]

    async def main():
        async with kelvex.aio.Multi() as multi:
            bodies = await asyncio.gather(*(multi.perform_rb(c) for c in handles))
            assert await multi.perform_rs(handles[1]) == "ab"
            await multi.perform(handles[2])
            return bodies

    assert run(main) == [expected_body(n) for n in lengths]
    assert [b"".join(chunks) for chunks in targets] == [b"", b"", expected_body(16_384), b""]


@pytest.mark.parametrize("max_transfers", [None, 1])
def test_perform_is_a_coroutine_that_starts_nothing_before_it_runs(run, http_server,
                                                                   max_transfers):
    async def main():
        async with kelvex.aio.Multi(max_transfers=max_transfers) as multi:
            c = handle(body_url(http_server))
            coro = multi.perform_rb(c)
            assert inspect.iscoroutinefunction(kelvex.aio.Multi.perform_rb)
            assert asyncio.iscoroutine(coro)
            await asyncio.sleep(0.05)
            assert multi.in_flight == 0 and c not in multi.curl_multi
            assert await coro == expected_body()

    run(main)


def test_perform_rb_failure_and_cancellation(run, raw_server, http_server):
    server = Stalling(raw_server, PARTIAL, HALF_BODY)
    failing = handle(f"http://127.0.0.1:{closed_port()}/")
    cut_chunks = []
    cut = handle(server.url, cut_chunks)

    async def main():
        async with kelvex.aio.Multi() as multi:
            with pytest.raises(kelvex.error) as info:
                await multi.perform_rb(failing)
            assert info.value.args[0] == kelvex.E_COULDNT_CONNECT
            task = asyncio.create_task(multi.perform_rb(cut))
            await until(server.requested)
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert multi.in_flight == 0 and cut not in multi.curl_multi
            # The cut handle has its write callable back.
            cut.setopt(kelvex.URL, body_url(http_server))
            assert await multi.perform(cut) is None

    run(main)
    assert server.closed.wait(DEADLINE)
    assert b"".join(cut_chunks) == expected_body()


@pytest.mark.parametrize("status", [404, 500])
def test_http_errors(run, http_server, status):
    url = f"{http_server.url}/status/{status}"
    plain, failing = handle(url), handle(url, FAILONERROR=1)

    async def main():
        async with kelvex.aio.Multi() as multi:
            await multi.perform(plain)
            with pytest.raises(kelvex.error) as info:
                await multi.perform(failing)
            return info.value.args

    args = run(main)
    assert plain.getinfo(kelvex.RESPONSE_CODE) == status
    # The same error, code and message, as the blocking perform().
    sync = handle(url, FAILONERROR=1)
    with pytest.raises(kelvex.error) as info:
        sync.perform()
    assert args == info.value.args
    assert args[0] == kelvex.E_HTTP_RETURNED_ERROR and str(status) in args[1]


async def failed_transfer(c):
    """The arguments of the kelvex.error that awaiting c's transfer raises;
    the transfer must have left the multi."""
    async with kelvex.aio.Multi() as multi:
        with pytest.raises(kelvex.error) as info:
            await multi.perform(c)
        assert multi.in_flight == 0 and c not in multi.curl_multi
        return info.value.args


def test_connection_refused(run):
    c = handle(f"http://127.0.0.1:{closed_port()}/")
    code, message = run(failed_transfer, c)
    assert code == kelvex.E_COULDNT_CONNECT and message


def test_libcurl_timeout_fires_on_the_loop(run, raw_server):
    # Only the loop's timer can end this transfer: the server never answers.
    server = Stalling(raw_server)
    c = handle(server.url, TIMEOUT_MS=300)
    assert run(failed_transfer, c)[0] == kelvex.E_OPERATION_TIMEDOUT
    assert server.closed.wait(DEADLINE)


def test_write_callable_raising_fails_the_transfer(run, http_server, capfd):
    def write(data):
        raise ValueError("bad data")

    c = handle(body_url(http_server))
    c.setopt(kelvex.WRITEFUNCTION, write)
    # As in a CurlMulti: the exception is printed, libcurl's error raised.
    assert run(failed_transfer, c)[0] == kelvex.E_WRITE_ERROR
    assert "ValueError: bad data" in capfd.readouterr().err


def test_handle_busy_elsewhere_is_refused(run, raw_server):
    server = Stalling(raw_server)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi() as multi:
            first = asyncio.create_task(multi.perform(c))
            await until(server.requested)
            with pytest.raises(kelvex.error):
                await multi.perform(c)
            assert multi.in_flight == 1
            first.cancel()
            with pytest.raises(asyncio.CancelledError):
                await first

    run(main)


def client_fds(url):
    """This process's descriptors of sockets connected to url's port (the
    suite's servers run in the process too; their sockets do not count)."""
    port = int(url.split(":")[2].split("/")[0])
    found = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            if not os.readlink(f"/proc/self/fd/{name}").startswith("socket:"):
                continue
            with socket.socket(fileno=os.dup(int(name))) as s:
                peer = s.getpeername()
            found += isinstance(peer, tuple) and peer[1] == port
        except OSError:
            pass
    return found


def ok_server(raw_server, keep_alive):
    """A raw server of its own (so that only this test's sockets connect
    to it) answering "ok" to every request; it closes each connection after
    one answer, without saying so in the response, unless keep_alive."""

    def serve(sock):
        while read_request(sock):
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
            if not keep_alive:
                return

    return f"http://127.0.0.1:{raw_server(serve)}/"


@pytest.mark.parametrize("case", ["server closes", "forbid reuse", "keep-alive"])
def test_sequential_transfers_on_new_and_reused_sockets(run, raw_server, case):
    # libcurl closes sockets and opens new ones under the same descriptor
    # numbers, or keeps them in its pool; every transfer must run, and no
    # descriptor may outlive the multi.
    url = ok_server(raw_server, keep_alive=case != "server closes")
    options = {"FORBID_REUSE": 1} if case == "forbid reuse" else {}

    async def main():
        multi = kelvex.aio.Multi()
        for _ in range(20):
            body = []
            c = handle(url, body, **options)
            await multi.perform(c)
            assert (c.getinfo(kelvex.RESPONSE_CODE), b"".join(body)) == (200, b"ok")
            if options:
                # libcurl closed the connection: nothing keeps it open.
                assert client_fds(url) == 0
            c.close()
        multi.close()
        assert client_fds(url) == 0

    run(main)


def test_idle_connection_keeps_one_descriptor(run, raw_server):
    url = ok_server(raw_server, keep_alive=True)

    async def main():
        async with kelvex.aio.Multi() as multi:
            for _ in range(3):
                await multi.perform(handle(url))
                # The pooled connection, reused, and nothing else.
                assert client_fds(url) == 1
        assert client_fds(url) == 0

    run(main)


# ---------------------------------------------------------------------------
# Many at once


def test_a_thousand_transfers_at_once(run, http_server):
    sizes = [100 + i for i in range(1000)]
    bodies = [[] for _ in sizes]
    handles = [handle(body_url(http_server, n), b) for n, b in zip(sizes, bodies)]

    async def main():
        async with kelvex.aio.Multi() as multi:
            # libcurl queues the transfers beyond its connection cap itself;
            # all thousand are in the multi at once.
            multi.curl_multi.setopt(kelvex.M_MAX_TOTAL_CONNECTIONS, 32)
            tasks = [asyncio.create_task(multi.perform(c)) for c in handles]
            await asyncio.sleep(0)
            assert multi.in_flight == len(handles)
            await asyncio.gather(*tasks)

    run(main)
    for n, b in zip(sizes, bodies):
        assert b"".join(b) == expected_body(n)


def test_max_transfers_caps_the_transfers_in_flight(run, http_server):
    cap, seen = 5, []

    async def main():
        async with kelvex.aio.Multi(max_transfers=cap) as multi:

            def write(data):
                seen.append(multi.in_flight)

            handles = []
            for _ in range(40):
                c = handle(body_url(http_server))
                c.setopt(kelvex.WRITEFUNCTION, write)
                handles.append(c)
            async with asyncio.TaskGroup() as group:
                for c in handles:
                    group.create_task(multi.perform(c))

    run(main)
    assert len(seen) >= 40 and max(seen) <= cap


def test_failures_do_not_disturb_the_others(run, http_server):
    good = [handle(body_url(http_server, n)) for n in (10, 20, 30)]
    bad = handle(f"http://127.0.0.1:{closed_port()}/")

    async def main():
        async with kelvex.aio.Multi(max_transfers=2) as multi:
            return await asyncio.gather(*(multi.perform(c) for c in good + [bad]),
                                        return_exceptions=True)

    *oks, failure = run(main)
    assert oks == [None, None, None]
    assert isinstance(failure, kelvex.error) and failure.args[0] == kelvex.E_COULDNT_CONNECT


def test_one_loop_and_multi_per_thread(http_server):
    results, errors = {}, []

    def work(i):
        async def main():
            async with kelvex.aio.Multi() as multi:
                bodies = [[] for _ in range(10)]
                await asyncio.gather(*(multi.perform(handle(body_url(http_server, 50 + i), b))
                                       for b in bodies))
                return [b"".join(b) for b in bodies]

        try:
            results[i] = asyncio.run(main())
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    assert not errors
    for i in range(3):
        assert results[i] == [expected_body(50 + i)] * 10


@pytest.mark.threads
def test_a_multi_refuses_another_loop(http_server):
    async def make():
        return kelvex.aio.Multi()

    multi = asyncio.run(make())
    with pytest.raises(RuntimeError, match="closed"):
        asyncio.run(multi.perform(handle(body_url(http_server))))

    holder = {}

    async def bind():
        holder["multi"] = kelvex.aio.Multi()
        await asyncio.to_thread(other_thread)

    def other_thread():
        with pytest.raises(RuntimeError, match="another event loop"):
            asyncio.run(holder["multi"].perform(handle(body_url(http_server))))

    asyncio.run(bind())
    multi.close()
    holder["multi"].close()


@pytest.mark.parametrize("max_transfers", [0, -1])
def test_max_transfers_must_be_positive(max_transfers):
    with pytest.raises(ValueError):
        kelvex.aio.Multi(max_transfers=max_transfers)


# ---------------------------------------------------------------------------
# Cancellation


async def _cancel_before_the_connection(multi, c, server):
    task = asyncio.create_task(multi.perform(c))
    await asyncio.sleep(0)  # the handle is in the multi; no socket yet
    assert c in multi.curl_multi
    task.cancel()
    return task


async def _cancel_waiting_for_the_response(multi, c, server):
    task = asyncio.create_task(multi.perform(c))
    await until(server.requested)
    task.cancel()
    return task


async def _cancel_mid_body(multi, c, server):
    got = []
    c.setopt(kelvex.WRITEFUNCTION, got.append)
    task = asyncio.create_task(multi.perform(c))
    async with asyncio.timeout(DEADLINE):
        while not got:
            await asyncio.sleep(0.005)
    task.cancel()
    return task


async def _cancel_from_the_write_callable(multi, c, server):
    holder = []

    def write(data):
        holder[0].cancel()

    c.setopt(kelvex.WRITEFUNCTION, write)
    holder.append(asyncio.create_task(multi.perform(c)))
    return holder[0]


async def _cancel_waiting_for_a_slot(multi, c, server):
    blocker = handle(server.url)
    first = asyncio.create_task(multi.perform(blocker))
    await until(server.requested)
    task = asyncio.create_task(multi.perform(c))
    await asyncio.sleep(0.05)
    assert c not in multi.curl_multi and multi.in_flight == 1
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    first.cancel()
    return first


CANCEL_STAGES = {
    "before the connection": (_cancel_before_the_connection, b"", b""),
    "waiting for the response": (_cancel_waiting_for_the_response, b"", b""),
    "mid-body": (_cancel_mid_body, PARTIAL, HALF_BODY),
    "from the write callable": (_cancel_from_the_write_callable, PARTIAL, HALF_BODY),
    "waiting for a slot": (_cancel_waiting_for_a_slot, b"", b""),
}


@pytest.mark.parametrize("stage", list(CANCEL_STAGES))
def test_cancellation(run, raw_server, http_server, stage):
    cancel, head, part = CANCEL_STAGES[stage]
    server = Stalling(raw_server, head, part)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi(max_transfers=1) as multi:
            task = await cancel(multi, c, server)
            with pytest.raises(asyncio.CancelledError):
                await task
            # The handle left the multi at once, its connection closed...
            assert c not in multi.curl_multi and multi.in_flight == 0
            assert client_fds(server.url) == 0
            # ...and runs the next transfer, from the same multi.
            body = []
            c.setopt(kelvex.URL, body_url(http_server))
            c.setopt(kelvex.WRITEFUNCTION, body.append)
            await multi.perform(c)
            assert b"".join(body) == expected_body()

    run(main)
    if server.requested.is_set():
        # A connection whose transfer was cut is closed, not kept for reuse.
        assert server.closed.wait(DEADLINE)


def test_asyncio_timeout_cuts_the_transfer(run, raw_server):
    server = Stalling(raw_server, PARTIAL, HALF_BODY)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi() as multi:
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.3):
                    await multi.perform(c)
            assert c not in multi.curl_multi and client_fds(server.url) == 0

    run(main)
    assert server.closed.wait(DEADLINE)


# ---------------------------------------------------------------------------
# Streaming


class BigBody:
    """A raw server answering every request with `size` bytes of a fixed
    pattern, as fast as the client takes them."""

    PIECE = bytes(range(256)) * 4096  # 1 MiB

    def __init__(self, raw_server, size):
        self.size = size
        self.closed = threading.Event()
        self.url = f"http://127.0.0.1:{raw_server(self._serve)}/"

    def _serve(self, sock):
        if not read_request(sock):
            return
        try:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % self.size)
            left = self.size
            while left:
                n = min(left, len(self.PIECE))
                sock.sendall(self.PIECE[:n])
                left -= n
        except OSError:  # the client cut the transfer
            pass
        wait_for_close(sock, DEADLINE)
        self.closed.set()

    def crc(self):
        crc, left = 0, self.size
        while left:
            n = min(left, len(self.PIECE))
            crc = zlib.crc32(self.PIECE[:n], crc)
            left -= n
        return crc


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def test_stream_with_a_slow_consumer_keeps_memory_bounded(run, raw_server):
    size, high_water = 128 * 1024 * 1024, 1 << 20
    server = BigBody(raw_server, size)
    c = handle(server.url)

    async def main():
        gc.collect()
        start_rss = rss_kib()
        tracemalloc.start()
        peak_rss = peak_buffered = received = crc = count = 0
        async with kelvex.aio.Multi() as multi:
            async with multi.stream(c, high_water=high_water) as body:
                async for chunk in body:
                    received += len(chunk)
                    crc = zlib.crc32(chunk, crc)
                    peak_buffered = max(peak_buffered, body.buffered)
                    count += 1
                    if count % 64 == 0:
                        # Much slower than loopback: the transfer must pause.
                        await asyncio.sleep(0.005)
                        peak_rss = max(peak_rss, rss_kib())
        _, peak_traced = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        return received, crc, peak_buffered, peak_traced, peak_rss - start_rss

    received, crc, peak_buffered, peak_traced, rss_growth_kib = run(main)
    assert received == size and crc == server.crc()
    # The buffer filled up to the mark and no further than one more chunk
    # (at most libcurl's receive buffer, 16 KiB by default)...
    assert high_water // 2 < peak_buffered <= high_water + 64 * 1024
    # ...and so did the memory the interpreter allocated, and the process.
    assert peak_traced < 8 * high_water
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # (AddressSanitizer keeps freed memory resident in its quarantine.)
        assert rss_growth_kib < size // 1024 // 4
    assert c.getinfo(kelvex.RESPONSE_CODE) == 200


def test_stream_left_early_cuts_the_transfer(run, raw_server, http_server):
    server = BigBody(raw_server, 64 * 1024 * 1024)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi() as multi:
            async with multi.stream(c, high_water=65536) as body:
                async for chunk in body:
                    break
            assert c not in multi.curl_multi and multi.in_flight == 0
            # The handle, and the multi, run the next transfer.
            c.setopt(kelvex.URL, body_url(http_server))
            chunks = [chunk async for chunk in multi.stream(c)]
            return b"".join(chunks)

    assert run(main) == expected_body()
    assert server.closed.wait(DEADLINE)


async def _leave_by_break(multi, c):
    async for _ in multi.stream(c, high_water=65536):
        break


async def _drop_in_a_cycle(multi, c):
    holder = [multi.stream(c, high_water=65536)]
    holder.append(holder)  # only the collector frees the stream
    await anext(holder[0])
    del holder
    gc.collect()


@pytest.mark.parametrize("leave", [_leave_by_break, _drop_in_a_cycle])
def test_stream_dropped_without_async_with_cuts_the_transfer(run, raw_server, http_server, leave):
    # A stream its consumer lets go of, without closing it, cuts its
    # transfer: the server sees the connection close, the multi holds
    # nothing and the handle runs the next transfer.
    server = BigBody(raw_server, 64 * 1024 * 1024)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi() as multi:
            await leave(multi, c)
            async with asyncio.timeout(1.0):
                while multi.in_flight:
                    await asyncio.sleep(0.005)
            assert c not in multi.curl_multi
            c.setopt(kelvex.URL, body_url(http_server))
            return await multi.perform_rb(c)

    assert run(main) == expected_body()
    assert server.closed.wait(DEADLINE)


def test_stream_raises_the_transfer_error_at_the_end(run):
    c = handle(f"http://127.0.0.1:{closed_port()}/")

    async def main():
        async with kelvex.aio.Multi() as multi:
            with pytest.raises(kelvex.error) as info:
                async for _ in multi.stream(c):
                    pass
            return info.value.args[0]

    assert run(main) == kelvex.E_COULDNT_CONNECT


@pytest.mark.parametrize("high_water", [0, -5])
def test_stream_high_water_must_be_positive(high_water):
    multi = kelvex.aio.Multi()
    with pytest.raises(ValueError):
        multi.stream(kelvex.Curl(), high_water=high_water)
    multi.close()


# ---------------------------------------------------------------------------
# Closing


def test_asyncio_run_ending_with_transfers_in_flight_cuts_them(run, raw_server):
    server = Stalling(raw_server)
    c = handle(server.url)
    holder = {}

    async def main():
        multi = holder["multi"] = kelvex.aio.Multi()
        holder["task"] = asyncio.create_task(multi.perform(c))
        await until(server.requested)
        # Returns with the task pending: the runner cancels it.

    run(main)
    assert holder["task"].cancelled()
    assert c not in holder["multi"].curl_multi
    assert server.closed.wait(DEADLINE)
    holder["multi"].close()


def test_closing_the_curl_in_flight_fails_the_awaiting_task(run, raw_server):
    server = Stalling(raw_server)
    c = handle(server.url)

    async def main():
        async with kelvex.aio.Multi() as multi:
            task = asyncio.create_task(multi.perform(c))
            await until(server.requested)
            c.close()
            with pytest.raises(kelvex.error, match="closed during the transfer"):
                await task
            assert multi.in_flight == 0

    run(main)
    assert server.closed.wait(DEADLINE)


def test_close_with_transfers_in_flight(run, raw_server):
    server = Stalling(raw_server)
    c = handle(server.url)

    async def main():
        multi = kelvex.aio.Multi()
        task = asyncio.create_task(multi.perform(c))
        await until(server.requested)
        multi.close()
        with pytest.raises(RuntimeError, match="closed during the transfer"):
            await task
        assert multi.closed and multi.curl_multi.closed
        with pytest.raises(RuntimeError, match="closed"):
            await multi.perform(c)

    run(main)
    assert server.closed.wait(DEADLINE)


def test_close_fails_the_tasks_waiting_for_a_slot(run, raw_server):
    server = Stalling(raw_server)

    async def main():
        multi = kelvex.aio.Multi(max_transfers=1)
        tasks = [asyncio.create_task(multi.perform(handle(server.url))) for _ in range(3)]
        await until(server.requested)
        assert multi.in_flight == 1
        multi.close()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert [(type(r), str(r)) for r in results] == [
            (RuntimeError, "kelvex.aio.Multi was closed during the transfer"),
            (RuntimeError, "kelvex.aio.Multi was closed"),
            (RuntimeError, "kelvex.aio.Multi was closed"),
        ]

    run(main)
    assert server.closed.wait(DEADLINE)


def test_loop_closed_with_transfers_in_flight(raw_server, http_server):
    server = Stalling(raw_server)
    c = handle(server.url)
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # the pending task

    async def start():
        multi = kelvex.aio.Multi()
        task = asyncio.create_task(multi.perform(c))
        await until(server.requested)
        return multi, weakref.ref(task)

    multi, task_ref = loop.run_until_complete(start())
    loop.close()
    # The multi says why it cannot run any more...
    with pytest.raises(RuntimeError, match="event loop it belongs to is closed"):
        asyncio.run(multi.perform(handle(body_url(http_server))))
    # ...closes without its loop, and lets go of the handle.
    multi.close()
    assert server.closed.wait(DEADLINE)
    c.setopt(kelvex.URL, body_url(http_server))
    body = []
    c.setopt(kelvex.WRITEFUNCTION, body.append)
    c.perform()
    assert b"".join(body) == expected_body()
    multi_ref = weakref.ref(multi)
    del multi
    gc.collect()
    assert multi_ref() is None and task_ref() is None


# ---------------------------------------------------------------------------
# The README's example


def test_readme_asyncio_example_runs(http_server, capsys):
    with open(os.path.join(os.path.dirname(__file__), os.pardir, "README.md")) as f:
        readme = f.read()
    section = readme.split("## asyncio", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    code = code.replace("http://127.0.0.1:8080", http_server.url)
    exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})
    out = capsys.readouterr().out
    assert "200" in out
