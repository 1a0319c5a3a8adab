"""Ctrl-C, and any Python signal handler that raises, ends a blocking call
on the main thread promptly, whatever libcurl is waiting for, and leaves the
handle usable."""

import select
import signal
import socket
import threading
import time

import pytest

import kelvex

# The transfers below would wait this long for the silent server; a call
# that returns well before it was ended by the signal.
STALL_LIMIT = 30
SIGNAL_AFTER = 0.3


class Interrupted(Exception):
    pass


def _raise_interrupted(signum, frame):
    raise Interrupted(signum)


@pytest.fixture
def silent_server(raw_server):
    """A server that reads the request and never answers; each handler
    returns when the client hangs up."""

    def handler(sock):
        while sock.recv(65536):
            pass

    return f"http://127.0.0.1:{raw_server(handler)}"


@pytest.fixture(params=["SIGINT", "SIGUSR1"])
def send_signal(request):
    """Arms a signal at the main thread SIGNAL_AFTER seconds later and says
    which exception its handler raises: SIGINT with Python's own handler
    (KeyboardInterrupt), SIGUSR1 with a handler raising an Exception."""
    signum = getattr(signal, request.param)
    expected = KeyboardInterrupt if signum == signal.SIGINT else Interrupted
    previous = signal.signal(
        signum, signal.default_int_handler if signum == signal.SIGINT else _raise_interrupted)
    timers = []

    def arm():
        main = threading.main_thread().ident
        timer = threading.Timer(SIGNAL_AFTER, signal.pthread_kill, (main, signum))
        timers.append(timer)
        timer.start()
        return expected

    yield arm
    for timer in timers:
        timer.cancel()
        timer.join()
    signal.signal(signum, previous)


def _silent_transfer(c, url):
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.TIMEOUT, STALL_LIMIT)


@pytest.mark.parametrize("call", ["perform", "perform_rb", "perform_rs"])
@pytest.mark.parametrize("progress", [False, True], ids=["plain", "xferinfo"])
def test_signal_ends_blocking_perform(curl, silent_server, http_server, send_signal, call,
                                      progress):
    _silent_transfer(curl, silent_server)
    if progress:
        # With a callable on the progress path the handler ran already;
        # it must keep doing so with the trampoline underneath.
        curl.setopt(kelvex.NOPROGRESS, 0)
        curl.setopt(kelvex.XFERINFOFUNCTION, lambda *a: 0)
    expected = send_signal()
    start = time.monotonic()
    with pytest.raises(expected):
        getattr(curl, call)()
    assert time.monotonic() - start < STALL_LIMIT / 3
    # The handle is idle again and works.
    curl.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    assert len(curl.perform_rb()) == 10


def test_signal_ends_websocket_connect(curl, silent_server, send_signal):
    _silent_transfer(curl, silent_server.replace("http://", "ws://"))
    curl.setopt(kelvex.CONNECT_ONLY, 2)
    expected = send_signal()
    start = time.monotonic()
    with pytest.raises(expected):
        curl.perform()
    assert time.monotonic() - start < STALL_LIMIT / 3
    assert not curl.closed


def test_signal_ends_multi_driving_loop(curl, silent_server, http_server, send_signal):
    _silent_transfer(curl, silent_server)
    m = kelvex.CurlMulti()
    m.add_handle(curl)
    expected = send_signal()
    start = time.monotonic()
    with pytest.raises(expected):
        while m.perform()[1]:
            m.select(STALL_LIMIT)
    assert time.monotonic() - start < STALL_LIMIT / 3
    m.remove_handle(curl)
    m.close()
    curl.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    assert len(curl.perform_rb()) == 10


def test_signal_handler_that_returns_leaves_transfer_running(curl, http_server):
    # A handler that does not raise runs during the transfer and changes
    # nothing: the body arrives whole.
    seen = []
    previous = signal.signal(signal.SIGUSR2, lambda signum, frame: seen.append(signum))
    try:
        curl.setopt(kelvex.URL, f"{http_server.url}/drip?duration=1&numbytes=5&delay=0")
        main = threading.main_thread().ident
        timer = threading.Timer(SIGNAL_AFTER, signal.pthread_kill, (main, signal.SIGUSR2))
        timer.start()
        body = curl.perform_rb()
        timer.join()
    finally:
        signal.signal(signal.SIGUSR2, previous)
    assert body == b"*" * 5
    assert seen == [signal.SIGUSR2]


def test_signal_during_raw_recv_loop(curl, raw_server, send_signal):
    # recv on a CONNECT_ONLY connection never blocks; a waiting loop built
    # on it is interrupted as any Python loop is.
    port = raw_server(lambda sock: sock.recv(1))
    curl.setopt(kelvex.URL, f"http://127.0.0.1:{port}")
    curl.setopt(kelvex.CONNECT_ONLY, 1)
    curl.perform()
    sock = socket.socket(fileno=curl.getinfo(kelvex.ACTIVESOCKET))
    expected = send_signal()
    try:
        with pytest.raises(expected):
            while True:
                try:
                    curl.recv(10)
                except BlockingIOError:
                    select.select([sock], [], [], STALL_LIMIT)
    finally:
        sock.detach()
    curl.send(b"x")
