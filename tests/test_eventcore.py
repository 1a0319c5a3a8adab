"""EventCore: a CurlMulti driven in C++ behind one descriptor, without an
event loop, against loopback servers."""

import concurrent.futures
import io
import select
import socket
import threading

import pytest

import kelvex
from conftest import body_url, expected_body
from loopback_servers import read_request, wait_for_close

# Bounds every wait below so that a broken build fails instead of hanging;
# nothing here measures speed.
DEADLINE = 60.0


def handle(url, body=None, **options):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    if body is not None:
        c.setopt(kelvex.WRITEFUNCTION, body.append)
    for name, value in options.items():
        c.setopt(getattr(kelvex, name), value)
    return c


def drain(core, count):
    """Runs process() until `count` transfers without a waiter came back,
    waiting on the core's descriptor as an event loop would."""
    finished = []
    while len(finished) < count:
        ready, _, _ = select.select([core.fileno()], [], [], DEADLINE)
        assert ready, "the core's descriptor never turned readable"
        finished += core.process()
    assert len(finished) == count
    return dict(finished)


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


class Stalling:
    """Reads a request, answers nothing, and notes when the client hangs up."""

    def __init__(self, raw_server):
        self.requested, self.closed = threading.Event(), threading.Event()
        self.url = f"http://127.0.0.1:{raw_server(self._serve)}/"

    def _serve(self, sock):
        if read_request(sock) is not None:
            self.requested.set()
        wait_for_close(sock, DEADLINE)
        self.closed.set()


# ---------------------------------------------------------------------------
# Transfers and their results


def test_bodies_collected_and_delivered_side_by_side(core, http_server):
    """Collected bodies come back as bytes; the others reach the handle's
    own write callable, and the collecting handles get theirs back."""
    lengths = [1, 1000, 70_000, 102_400]
    collected = {n: handle(body_url(http_server, n), body=[]) for n in lengths}
    delivered = {}
    for n in lengths:
        chunks = []
        delivered[n] = (chunks, handle(body_url(http_server, n), chunks))
    for c in collected.values():
        core.add(c, body=True)
    for _, c in delivered.values():
        core.add(c)
    assert len(core) == 2 * len(lengths)
    results = drain(core, 2 * len(lengths))
    assert len(core) == 0
    for n, c in collected.items():
        assert results[c] == expected_body(n)
        assert c not in core.multi
    for n, (chunks, c) in delivered.items():
        assert results[c] is None and b"".join(chunks) == expected_body(n)
    # The write callable set before the collected transfer is in place again.
    c = collected[1000]
    chunks = []
    c.setopt(kelvex.WRITEFUNCTION, chunks.append)
    core.add(c)
    assert drain(core, 1) == {c: None}
    assert b"".join(chunks) == expected_body(1000)


def _perform_in_a_multi(c):
    multi = kelvex.CurlMulti()
    multi.add_handle(c)
    try:
        while multi.perform()[1]:
            multi.select(1.0)
        assert multi.info_read()[1] == [c]
    finally:
        multi.remove_handle(c)
        multi.close()


@pytest.mark.parametrize("then", ["perform", "a CurlMulti", "the core"])
def test_progress_calls_come_back_after_a_quiet_core_transfer(core, http_server, then):
    """The core runs a handle without a progress callable with libcurl's
    progress calls off and leaves them so; whatever runs the handle next
    with a progress callable (or a signal to check) has them again."""
    c = handle(body_url(http_server, 70_000), body=[])
    for _ in range(2):
        core.add(c, body=True)
        assert drain(core, 1) == {c: expected_body(70_000)}
    calls = []
    c.setopt(kelvex.NOPROGRESS, 0)
    c.setopt(kelvex.XFERINFOFUNCTION, lambda *args: calls.append(args))
    if then == "perform":
        assert c.perform_rb() == expected_body(70_000)
    elif then == "a CurlMulti":
        _perform_in_a_multi(c)
    else:
        core.add(c, body=True)
        assert drain(core, 1) == {c: expected_body(70_000)}
    assert calls and calls[-1][1] == 70_000  # (dltotal, dlnow, ...)
    # And off again, then on for a copy made meanwhile.
    c.unsetopt(kelvex.XFERINFOFUNCTION)
    core.add(c, body=True)
    assert drain(core, 1) == {c: expected_body(70_000)}
    copy = c.duphandle()
    copy.setopt(kelvex.XFERINFOFUNCTION, lambda *args: calls.append(args))
    calls.clear()
    assert copy.perform_rb() == expected_body(70_000)
    assert calls


@pytest.mark.parametrize("target", ["callable", "file object"])
def test_a_copy_made_while_the_body_is_collected_writes_to_its_target(core, http_server, target):
    """duphandle() during a collected transfer: the copy must not inherit
    the core's collector, whose record is not its own."""
    sink = io.BytesIO()
    c = handle(body_url(http_server))
    if target == "callable":
        c.setopt(kelvex.WRITEFUNCTION, sink.write)
    else:
        c.setopt(kelvex.WRITEDATA, sink)
    core.add(c, body=True)
    copy = c.duphandle()
    copy.setopt(kelvex.URL, body_url(http_server, 5))
    copy.perform()
    assert sink.getvalue() == b"abcde"
    assert drain(core, 1)[c] == expected_body()
    assert sink.getvalue() == b"abcde"


@pytest.mark.parametrize("body", [False, True])
def test_failure_becomes_the_result(core, body):
    c = handle(f"http://127.0.0.1:{closed_port()}/", body=[])
    core.add(c, body=body)
    result = drain(core, 1)[c]
    assert isinstance(result, kelvex.error)
    assert result.args[0] == kelvex.E_COULDNT_CONNECT


def test_libcurl_timeout_wakes_the_descriptor(core, raw_server):
    """Nothing arrives on any socket: only the timer can end the transfer."""
    server = Stalling(raw_server)
    c = handle(server.url, body=[], TIMEOUT_MS=200)
    core.add(c)
    result = drain(core, 1)[c]
    assert result.args[0] == kelvex.E_OPERATION_TIMEDOUT
    assert server.closed.wait(DEADLINE)


def test_waiters_are_completed_and_not_returned(core, http_server):
    ok, failed, cancelled = (concurrent.futures.Future() for _ in range(3))
    good = handle(body_url(http_server), body=[])
    bad = handle(f"http://127.0.0.1:{closed_port()}/", body=[])
    late = handle(body_url(http_server), body=[])
    core.add(good, ok, True)
    core.add(bad, failed)
    core.add(late, waiter=cancelled)
    assert cancelled.cancel()
    while len(core):
        select.select([core.fileno()], [], [], DEADLINE)
        assert core.process() == []
    assert ok.result(0) == expected_body()
    assert failed.exception(0).args[0] == kelvex.E_COULDNT_CONNECT
    assert cancelled.cancelled()


def test_a_write_callable_interrupt_keeps_the_result(core, http_server):
    """A KeyboardInterrupt from a write callable reaches the caller of
    process(), and the transfer it ended still comes back."""
    def write(chunk):
        raise KeyboardInterrupt

    c = handle(body_url(http_server))
    c.setopt(kelvex.WRITEFUNCTION, write)
    core.add(c)
    with pytest.raises(KeyboardInterrupt):
        while True:
            select.select([core.fileno()], [], [], DEADLINE)
            assert core.process() == []
    result = drain(core, 1)[c]
    assert result.args[0] == kelvex.E_WRITE_ERROR


# ---------------------------------------------------------------------------
# Cutting and closing


def test_remove_cuts_the_transfer(core, raw_server, http_server):
    server = Stalling(raw_server)
    c = handle(server.url, body=[])
    waiter = concurrent.futures.Future()
    core.add(c, waiter, True)
    while not server.requested.is_set():
        select.select([core.fileno()], [], [], 0.05)
        core.process()
    assert core.remove(c) is True
    assert core.remove(c) is False
    assert len(core) == 0 and c not in core.multi
    assert server.closed.wait(DEADLINE)
    assert not waiter.done()
    # The handle works again, with its own write target.
    chunks = []
    c.setopt(kelvex.WRITEFUNCTION, chunks.append)
    c.setopt(kelvex.URL, body_url(http_server))
    c.perform()
    assert b"".join(chunks) == expected_body()


@pytest.mark.parametrize("with_waiter", [False, True])
def test_closing_a_curl_in_flight_ends_its_transfer(core, raw_server, with_waiter):
    """The transfer of a Curl closed mid-way ends with an error instead of
    being waited for forever."""
    server = Stalling(raw_server)
    c = handle(server.url, body=[])
    waiter = concurrent.futures.Future() if with_waiter else None
    core.add(c, waiter, True)
    while not server.requested.is_set():
        select.select([core.fileno()], [], [], 0.05)
        core.process()
    c.close()
    assert len(core) == 0 and c not in core.multi
    assert server.closed.wait(DEADLINE)
    if with_waiter:
        select.select([core.fileno()], [], [], DEADLINE)
        assert core.process() == []
        error = waiter.exception(0)
    else:
        error = drain(core, 1)[c]
    assert isinstance(error, kelvex.error)
    assert "closed during the transfer" in str(error)


def test_close_hands_back_the_cut_transfers_and_the_multi(raw_server, http_server):
    server = Stalling(raw_server)
    multi = kelvex.CurlMulti()
    core = kelvex.EventCore(multi)
    waiter = concurrent.futures.Future()
    first, second = handle(server.url, body=[]), handle(server.url, body=[])
    core.add(first, waiter)
    core.add(second, body=True)
    cut = core.close()
    assert sorted(cut, key=lambda pair: pair[0] is second) == [(first, waiter), (second, None)]
    assert not waiter.done()
    assert core.closed and core.multi is None and core.close() == []
    for call in (core.fileno, core.process, lambda: core.add(first), lambda: core.remove(first)):
        with pytest.raises(kelvex.error, match="no event core"):
            call()
    # The multi is free for another driver, and for its own methods.
    assert first not in multi and second not in multi
    multi.add_handle(first)
    multi.remove_handle(first)
    again = kelvex.EventCore(multi)
    again.add(handle(body_url(http_server), body=[]))
    assert list(drain(again, 1).values()) == [None]
    again.close()
    multi.close()


# ---------------------------------------------------------------------------
# One driver per multi


REFUSALS = {
    "perform": lambda multi, c: multi.perform(),
    "socket_action": lambda multi, c: multi.socket_action(kelvex.SOCKET_TIMEOUT, 0),
    "add_handle": lambda multi, c: multi.add_handle(c),
    "remove_handle": lambda multi, c: multi.remove_handle(c),
    "assign": lambda multi, c: multi.assign(0, object()),
    "close": lambda multi, c: multi.close(),
    "setopt": lambda multi, c: multi.setopt(kelvex.M_SOCKETFUNCTION, lambda *a: None),
}


@pytest.mark.parametrize("name", sorted(REFUSALS))
def test_a_driven_multi_refuses_a_second_driver(core, name):
    multi = core.multi
    with pytest.raises(kelvex.error, match=f"{name}\\(\\) - the multi is driven by an EventCore"):
        REFUSALS[name](multi, kelvex.Curl())
    # Its options stay available.
    multi.setopt(kelvex.M_MAXCONNECTS, 4)


@pytest.mark.parametrize("prepare, message", [
    (lambda multi: kelvex.EventCore(multi), "another EventCore"),
    (lambda multi: multi.add_handle(kelvex.Curl()), "has handles added"),
    (lambda multi: multi.setopt(kelvex.M_TIMERFUNCTION, lambda ms: None), "socket or timer"),
])
def test_a_core_takes_only_a_free_multi(prepare, message):
    multi = kelvex.CurlMulti()
    keep = prepare(multi)
    with pytest.raises(kelvex.error, match=message):
        kelvex.EventCore(multi)
    if isinstance(keep, kelvex.EventCore):
        keep.close()
    multi.close()


def test_another_thread_is_refused_while_process_runs(core, http_server):
    """A write callable holds process() on its thread: the core is busy for
    every other thread until it returns."""
    entered, leave = threading.Event(), threading.Event()

    def write(chunk):
        entered.set()
        assert leave.wait(DEADLINE)

    c = handle(body_url(http_server))
    c.setopt(kelvex.WRITEFUNCTION, write)
    core.add(c)
    finished = []
    worker = threading.Thread(target=lambda: finished.extend(drain(core, 1).items()))
    worker.start()
    assert entered.wait(DEADLINE)
    try:
        for call in (lambda: core.add(kelvex.Curl()), core.process, lambda: core.remove(c),
                     core.close):
            with pytest.raises(kelvex.error, match="running"):
                call()
    finally:
        leave.set()
        worker.join(DEADLINE)
    assert finished == [(c, None)]


def test_threads_sharing_a_core_each_get_their_transfers(core, http_server):
    """Several threads add, drive and cut on one core at once; a call that
    finds the core busy is refused and tried again, and every transfer that
    was not cut comes back once, with its body."""
    threads, rounds = 4, 15
    finished, errors, cut = [], [], []
    lock = threading.Lock()

    def busy_retry(call):
        while True:
            try:
                return call()
            except kelvex.error as e:
                if "running" not in str(e):
                    raise

    def client(index):
        try:
            for i in range(rounds):
                c = handle(body_url(http_server, 100 + index))
                busy_retry(lambda: core.add(c, None, True))
                if i % 5 == 4 and busy_retry(lambda: core.remove(c)):
                    cut.append(c)
                results = busy_retry(lambda: core.process(0.01))
                with lock:
                    finished.extend(results)
                assert len(core) >= 0
        except BaseException as e:
            errors.append(e)

    workers = [threading.Thread(target=client, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(DEADLINE)
    assert errors == []
    while len(core):
        select.select([core.fileno()], [], [], DEADLINE)
        finished += core.process()
    assert len(finished) + len(cut) == threads * rounds
    assert len({c for c, _ in finished} | set(cut)) == threads * rounds
    for c, body in finished:
        assert body == expected_body(len(body)) and 100 <= len(body) < 100 + threads
