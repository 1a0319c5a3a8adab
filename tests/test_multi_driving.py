"""Driving transfers through CurlMulti: perform and select, socket_action
from an event loop, fdset, timeout and info_read."""

import math
import selectors
import socket
import threading
import time
import warnings

import pytest

import kelvex
from conftest import run_to_end

# Bounds the loops below so that a broken build fails instead of hanging;
# nothing here measures speed.
LOOP_DEADLINE = 120.0


def closed_port():
    """A loopback port with nothing listening: connecting is refused."""
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def silent_port(raw_server):
    """A loopback server that accepts, reads and never answers: the
    transfer waits for its answer."""

    def serve(sock):
        while sock.recv(65536):
            pass

    return raw_server(serve)


class Transfer:
    """One Curl handle and the body it receives."""

    def __init__(self, url):
        self.url = url
        self.chunks = []
        self.curl = kelvex.Curl()
        self.curl.setopt(kelvex.URL, url)
        self.curl.setopt(kelvex.WRITEFUNCTION, self.chunks.append)

    @property
    def body(self):
        return b"".join(self.chunks)


def transfer_table(base, count, refused):
    """`count` downloads of various sizes and `refused` to a closed port."""
    sizes = [(i * 37) % 2000 for i in range(count)]
    ok = [Transfer(f"{base}/bytes/{size}") for size in sizes]
    port = closed_port()
    bad = [Transfer(f"http://127.0.0.1:{port}/{i}") for i in range(refused)]
    return ok, sizes, bad


class Results:
    """Everything info_read reported, checked against what was added."""

    def __init__(self):
        self.ok = []
        self.failed = []

    def collect(self, m):
        while True:
            queued, ok, failed = m.info_read()
            self.ok.extend(ok)
            self.failed.extend(failed)
            if not queued:
                return

    @property
    def count(self):
        return len(self.ok) + len(self.failed)


def check_results(results, ok, sizes, bad):
    assert sorted(map(id, results.ok)) == sorted(id(t.curl) for t in ok)
    assert [len(t.body) for t in ok] == sizes
    assert all(t.curl.getinfo(kelvex.RESPONSE_CODE) == 200 for t in ok)
    by_handle = {id(c): (code, message) for c, code, message in results.failed}
    assert sorted(by_handle) == sorted(id(t.curl) for t in bad)
    for t in bad:
        code, message = by_handle[id(t.curl)]
        assert code == kelvex.E_COULDNT_CONNECT
        assert isinstance(message, str) and message


@pytest.mark.parametrize("wait", ["select", "poll"])
def test_many_transfers_with_perform_and_a_wait(http_server, wait):
    ok, sizes, bad = transfer_table(http_server.url, 200, 5)
    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_MAX_TOTAL_CONNECTIONS, 16)
    for t in ok + bad:
        m.add_handle(t.curl)
    assert set(m.get_handles()) == {t.curl for t in ok + bad}
    results = Results()
    deadline = time.monotonic() + LOOP_DEADLINE
    while results.count < len(ok) + len(bad):
        assert time.monotonic() < deadline, "transfers did not finish"
        code, running = m.perform()
        assert code in (kelvex.E_MULTI_OK, kelvex.E_CALL_MULTI_PERFORM)
        results.collect(m)
        if running:
            assert getattr(m, wait)(1.0) >= -1  # -1: select() cut short by a signal
    check_results(results, ok, sizes, bad)
    assert m.perform() == (0, 0)
    assert len(m.get_handles()) == len(ok) + len(bad)  # finished, not removed
    for t in ok + bad:
        m.remove_handle(t.curl)
    assert m.get_handles() == []
    m.close()


def test_wakeup_from_another_thread_ends_poll_early(raw_server):
    # A transfer that waits on a silent server: nothing ends the wait but
    # the other thread's wakeup().
    m = kelvex.CurlMulti()
    t = Transfer(f"http://127.0.0.1:{silent_port(raw_server)}/")
    m.add_handle(t.curl)
    wait_for_the_answer(m)
    waker = threading.Timer(0.2, m.wakeup)
    started = time.monotonic()
    waker.start()
    try:
        assert m.poll(30.0) == 0
    finally:
        waker.join()
    assert time.monotonic() - started < 15.0
    # A wakeup with nobody waiting ends the next wait at once.
    m.wakeup()
    started = time.monotonic()
    assert m.poll(30.0) == 0
    assert time.monotonic() - started < 15.0
    m.close()


def test_waitfds_lists_what_libcurl_waits_on(raw_server):
    m = kelvex.CurlMulti()
    t = Transfer(f"http://127.0.0.1:{silent_port(raw_server)}/")
    m.add_handle(t.curl)
    m.perform()
    connecting = dict(m.waitfds())
    readable, writable, _ = m.fdset()
    # The descriptors are fdset()'s (libcurl may wait on one of its own too).
    assert sorted(connecting) == sorted(set(readable) | set(writable))
    assert {fd for fd, events in connecting.items() if events & kelvex.WAIT_POLLOUT} == set(writable)
    fds = wait_for_the_answer(m)
    assert all(events == kelvex.WAIT_POLLIN for events in fds.values())
    assert sorted(fds) == m.fdset()[0]
    m.close()


def wait_for_the_answer(m):
    """Drives m until its one transfer has sent its request and waits to
    read; returns waitfds() as a dict."""
    for _ in range(200):
        m.perform()
        fds = dict(m.waitfds())
        if fds and all(events == kelvex.WAIT_POLLIN for events in fds.values()):
            return fds
        m.poll(0.05)
    raise AssertionError("the transfer never waited for its answer")


@pytest.mark.parametrize("timeout", [-0.001, 1e300, math.inf, math.nan])
def test_poll_refuses_invalid_timeouts(timeout):
    with pytest.raises(OverflowError):
        kelvex.CurlMulti().poll(timeout)


def test_closed_multi_refuses_the_new_calls():
    m = kelvex.CurlMulti()
    m.close()
    for call in (lambda: m.poll(0.0), m.wakeup, m.waitfds, m.get_handles):
        with pytest.raises(kelvex.error, match="no multi handle"):
            call()


class SocketLoop:
    """A selectors-based event loop fed by the multi's socket and timer
    callables, the way an application drives libcurl with socket_action."""

    def __init__(self, m):
        self.m = m
        self.selector = selectors.DefaultSelector()
        self.deadline = None
        self.foreign = []  # socket-callable calls naming some other multi
        m.setopt(kelvex.M_SOCKETFUNCTION, self.on_socket)
        m.setopt(kelvex.M_TIMERFUNCTION, self.on_timer)

    def on_socket(self, what, fd, multi, obj):
        if multi is not self.m:
            self.foreign.append(multi)
        events = {
            kelvex.POLL_IN: selectors.EVENT_READ,
            kelvex.POLL_OUT: selectors.EVENT_WRITE,
            kelvex.POLL_INOUT: selectors.EVENT_READ | selectors.EVENT_WRITE,
        }
        registered = fd in self.selector.get_map()
        if what == kelvex.POLL_REMOVE:
            if registered:
                self.selector.unregister(fd)
        elif registered:
            self.selector.modify(fd, events[what])
        else:
            self.selector.register(fd, events[what])

    def on_timer(self, timeout_ms):
        self.deadline = None if timeout_ms < 0 else time.monotonic() + timeout_ms / 1000

    def action(self, fd, mask):
        code, running = self.m.socket_action(fd, mask)
        assert code == 0
        return running

    def run(self, results, expected):
        give_up = time.monotonic() + LOOP_DEADLINE
        while results.count < expected:
            assert time.monotonic() < give_up, "transfers did not finish"
            wait = 1.0
            if self.deadline is not None:
                wait = max(0.0, min(wait, self.deadline - time.monotonic()))
            for key, mask in self.selector.select(wait):
                bits = (kelvex.CSELECT_IN if mask & selectors.EVENT_READ else 0) | (
                    kelvex.CSELECT_OUT if mask & selectors.EVENT_WRITE else 0
                )
                self.action(key.fd, bits)
            if self.deadline is not None and time.monotonic() >= self.deadline:
                self.deadline = None
                self.action(kelvex.SOCKET_TIMEOUT, 0)
            results.collect(self.m)


def test_many_transfers_with_socket_action(http_server):
    ok, sizes, bad = transfer_table(http_server.url, 200, 5)
    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_MAX_TOTAL_CONNECTIONS, 16)
    loop = SocketLoop(m)
    for t in ok + bad:
        m.add_handle(t.curl)
    results = Results()
    loop.run(results, len(ok) + len(bad))
    check_results(results, ok, sizes, bad)
    assert loop.foreign == []
    m.close()
    assert loop.selector.get_map() == {}


# ---------------------------------------------------------------------------
# Edges of the driving calls
# ---------------------------------------------------------------------------


def test_empty_multi():
    m = kelvex.CurlMulti()
    assert m.perform() == (0, 0)
    assert m.timeout() == -1
    assert m.fdset() == ([], [], [])
    assert m.info_read() == (0, [], [])
    assert m.socket_action(kelvex.SOCKET_TIMEOUT, 0) == (0, 0)


@pytest.mark.parametrize("timeout", [0.0, 1.0, 31535999.0])
def test_select_with_nothing_to_wait_for(timeout):
    # Returns at once: libcurl has no descriptor, so there is no wait.
    assert kelvex.CurlMulti().select(timeout) == 0


@pytest.mark.parametrize("timeout", [-0.001, -1.0, 31536000.0, 1e300, math.inf, math.nan])
def test_select_refuses_invalid_timeouts(timeout):
    with pytest.raises(OverflowError, match="^invalid timeout period$"):
        kelvex.CurlMulti().select(timeout)


@pytest.mark.parametrize("args", [(), ("1",), (1.0, 2.0)])
def test_select_argument_errors(args):
    with pytest.raises(TypeError):
        kelvex.CurlMulti().select(*args)


def test_select_and_fdset_see_a_pending_transfer(raw_server):
    # A server that accepts and stays silent: the transfer waits to read.
    port = silent_port(raw_server)
    m = kelvex.CurlMulti()
    t = Transfer(f"http://127.0.0.1:{port}/")
    m.add_handle(t.curl)
    for _ in range(200):
        m.perform()
        readable, writable, exceptional = m.fdset()
        if not writable:  # connected, request sent
            break
        m.select(0.05)
    assert readable and writable == [] and exceptional == []
    assert readable == sorted(readable) and all(isinstance(fd, int) for fd in readable)
    assert m.select(0.01) == 0  # nothing arrives
    assert isinstance(m.timeout(), int)
    m.close()


@pytest.mark.parametrize("sock", [2**31, -2, 2**40, -(2**63)])
def test_socket_action_socket_range(sock):
    with pytest.raises(OverflowError, match="^socket value is out of range$"):
        kelvex.CurlMulti().socket_action(sock, 0)


@pytest.mark.parametrize("args", [(), (1,), ("1", 0), (1, "0"), (1.5, 0)])
def test_socket_action_argument_errors(args):
    with pytest.raises(TypeError):
        kelvex.CurlMulti().socket_action(*args)


def test_socket_action_on_unknown_socket():
    # libcurl ignores a socket it does not know; the result is still (0, n).
    m = kelvex.CurlMulti()
    assert m.socket_action(2**31 - 1, kelvex.CSELECT_IN) == (0, 0)


def test_socket_all_warns_before_anything_else(raw_server):
    port = silent_port(raw_server)
    m = kelvex.CurlMulti()
    events = []
    m.setopt(kelvex.M_SOCKETFUNCTION, lambda what, fd, multi, obj: events.append(what))
    m.add_handle(Transfer(f"http://127.0.0.1:{port}/").curl)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="^socket_all is deprecated; use socket_action$"):
            m.socket_all()
    assert events == []  # libcurl was not called
    with pytest.warns(DeprecationWarning, match="^socket_all is deprecated; use socket_action$"):
        assert m.socket_all() == (0, 1)
    assert events  # the transfer started and announced its socket
    m.close()
    with pytest.warns(DeprecationWarning):
        with pytest.raises(kelvex.error, match="no multi handle"):
            m.socket_all()


@pytest.mark.parametrize("max_objects", [0, -5, -(2**31)])
def test_info_read_argument_must_be_positive(max_objects):
    m = kelvex.CurlMulti()
    for _ in range(2):
        with pytest.raises(kelvex.error) as excinfo:
            m.info_read(max_objects)
        assert excinfo.value.args == ("argument to info_read must be greater than zero",)
        m.close()  # the same after close


@pytest.mark.parametrize("args", [("1",), (1, 2), (2**31,)])
def test_info_read_argument_errors(args):
    with pytest.raises((TypeError, OverflowError)):
        kelvex.CurlMulti().info_read(*args)


def test_info_read_in_batches(http_server):
    m = kelvex.CurlMulti()
    handles = [Transfer(f"{http_server.url}/bytes/{n}").curl for n in (10, 20)]
    for c in handles:
        m.add_handle(c)
    run_to_end(m)
    queued, first, failed = m.info_read(1)
    assert (queued, len(first), failed) == (1, 1, [])
    assert m.info_read(1) == (0, [h for h in handles if h is not first[0]], [])
    assert m.info_read(1) == (0, [], [])


@pytest.mark.parametrize(
    "url, code",
    [
        (None, kelvex.E_COULDNT_CONNECT),  # a refused port: libcurl explains
        (b"http://\xff\xfe.invalid/", kelvex.E_URL_MALFORMAT),  # no text at all
    ],
)
def test_failure_message_comes_from_the_handles_error_buffer(url, code):
    m = kelvex.CurlMulti()
    t = Transfer(url or f"http://127.0.0.1:{closed_port()}/")
    m.add_handle(t.curl)
    run_to_end(m)
    queued, ok, failed = m.info_read()
    assert (queued, ok) == (0, [])
    [(curl, got_code, message)] = failed
    assert curl is t.curl and got_code == code
    assert message == t.curl.errstr()
    assert ("127.0.0.1" in message) if url is None else message == ""


def test_info_read_inside_callbacks(http_server):
    m = kelvex.CurlMulti()
    seen = []

    def timer(ms):
        seen.append(m.info_read())
        try:
            m.perform()
        except kelvex.error as exc:
            seen.append(exc.args[0])

    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.add_handle(Transfer(f"{http_server.url}/bytes/10").curl)
    del seen[:]  # the add ran the timer too; keep what perform runs
    run_to_end(m)
    assert seen
    for result, message in zip(seen[::2], seen[1::2]):
        assert isinstance(result, tuple) and len(result) == 3
        assert message == "cannot invoke perform() - multi_perform() is currently running"


@pytest.mark.parametrize(
    "method, args",
    [
        ("perform", ()),
        ("socket_action", (kelvex.SOCKET_TIMEOUT, 0)),
        ("fdset", ()),
        ("select", (0.0,)),
        ("poll", (0.0,)),
        ("waitfds", ()),
        ("timeout", ()),
        ("setopt", (kelvex.M_MAXCONNECTS, 1)),
        ("notify_enable", (kelvex.M_NOTIFY_INFO_READ,)),
        ("notify_disable", (kelvex.M_NOTIFY_INFO_READ,)),
        ("close", ()),
    ],
)
def test_methods_refused_from_a_write_callback(http_server, method, args):
    m = kelvex.CurlMulti()
    seen = []

    def write(data):
        try:
            getattr(m, method)(*args)
        except kelvex.error as exc:
            seen.append(exc.args[0])

    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(c)
    run_to_end(m)
    assert seen == [f"cannot invoke {method}() - multi_perform() is currently running"]
    assert m.info_read() == (0, [c], [])


def add_raising_transfer(m, http_server, exc):
    """Adds to m a transfer whose write callable raises exc."""

    def write(data):
        raise exc

    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"{http_server.url}/bytes/100")
    c.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(c)
    return c


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_write_callback_surfaces_from_perform(http_server, exc_type):
    m = kelvex.CurlMulti()
    c = add_raising_transfer(m, http_server, exc_type("stop"))
    with pytest.raises(exc_type, match="stop"):
        run_to_end(m)
    run_to_end(m)  # the transfer ended with libcurl's write error
    queued, ok, [(curl, code, message)] = m.info_read()
    assert (curl, code) == (c, kelvex.E_WRITE_ERROR)


def test_base_exception_in_write_callback_surfaces_from_socket_action(http_server):
    m = kelvex.CurlMulti()
    loop = SocketLoop(m)
    add_raising_transfer(m, http_server, KeyboardInterrupt("stop"))
    with pytest.raises(KeyboardInterrupt, match="stop"):
        loop.run(Results(), 1)


def test_regular_exception_in_write_callback_is_printed(http_server, capfd):
    m = kelvex.CurlMulti()
    c = add_raising_transfer(m, http_server, ValueError("bad data"))
    run_to_end(m)
    assert "ValueError: bad data" in capfd.readouterr().err
    _, ok, [(curl, code, _)] = m.info_read()
    assert (ok, curl, code) == ([], c, kelvex.E_WRITE_ERROR)


def test_other_threads_are_refused_while_a_callback_runs(http_server):
    # Thread A's perform is parked inside a write callback; thread B finds
    # the multi running, and the handle too.
    import threading

    m = kelvex.CurlMulti()
    inside, release = threading.Event(), threading.Event()

    def write(data):
        inside.set()
        release.wait(LOOP_DEADLINE)

    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(c)
    driver = threading.Thread(target=run_to_end, args=(m,))
    driver.start()
    try:
        assert inside.wait(LOOP_DEADLINE)
        seen = []
        calls = (m.perform, m.close, lambda: m.add_handle(kelvex.Curl()), c.perform,
                 m.info_read)
        for call in calls:
            with pytest.raises(kelvex.error) as excinfo:
                call()
            seen.append(excinfo.value.args[0])
        # info_read is for the driving thread (its callbacks included): the
        # message queue belongs to the call that is running.
        assert seen == [
            "cannot invoke perform() - multi_perform() is currently running",
            "cannot invoke close() - multi_perform() is currently running",
            "cannot add/remove handle - multi_perform() already running",
            "cannot invoke perform() - perform() is currently running",
            "cannot invoke info_read() - multi_perform() is currently running",
        ]
    finally:
        release.set()
        driver.join()
    assert m.info_read() == (0, [c], [])


def test_interrupted_callback_does_not_abort_other_transfers(http_server, raw_server):
    # A KeyboardInterrupt stays pending while libcurl goes on calling the
    # multi's socket and timer callables in the same call; they still run
    # normally, so the transfer that was waiting meanwhile completes once
    # the caller drives on.
    import threading

    answer = threading.Event()

    def serve(sock):
        sock.recv(65536)
        answer.wait(LOOP_DEADLINE)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello")

    m = kelvex.CurlMulti()
    loop = SocketLoop(m)
    interrupted = kelvex.Curl()
    interrupted.setopt(kelvex.URL, f"{http_server.url}/bytes/100")
    interrupted.setopt(kelvex.WRITEFUNCTION, lambda data: (_ for _ in ()).throw(KeyboardInterrupt))
    waiting = Transfer(f"http://127.0.0.1:{raw_server(serve)}/")
    m.add_handle(interrupted)
    m.add_handle(waiting.curl)
    results = Results()
    with pytest.raises(KeyboardInterrupt):
        loop.run(results, 2)
    answer.set()
    loop.run(results, 2)
    assert [(c, code) for c, code, _ in results.failed] == [(interrupted, kelvex.E_WRITE_ERROR)]
    assert results.ok == [waiting.curl] and waiting.body == b"hello"
    assert loop.foreign == []
