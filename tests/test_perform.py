"""Transfers: perform and the body collectors, libcurl failures, callbacks
interrupting a transfer, raw I/O on CONNECT_ONLY connections, pause and
unpause."""

import ctypes
import errno
import os
import queue
import select
import signal
import socket
import threading

import pytest

import kelvex
from conftest import LoopbackTLSServer, make_ca
from loopback_servers import OpensslCA, read_request


def closed_port():
    """A loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------
# perform and the body collectors
# ---------------------------------------------------------------------------


def test_get_and_head(http_server):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/range/1000")
    body = c.perform_rb()
    assert len(body) == 1000
    assert body[:26] == b"abcdefghijklmnopqrstuvwxyz"

    headers = []
    c.setopt(kelvex.NOBODY, 1)
    c.setopt(kelvex.HEADERFUNCTION, headers.append)
    assert c.perform_rb() == b""
    assert headers[0].startswith(b"HTTP/1.1 200")
    assert any(h.lower().startswith(b"content-length: 1000") for h in headers)


def test_perform_returns_none(http_server):
    chunks = []
    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/bytes/100")
    c.setopt(kelvex.WRITEFUNCTION, chunks.append)
    assert c.perform() is None
    assert len(b"".join(chunks)) == 100


@pytest.mark.parametrize("method, expected", [("perform_rb", b"kelvex"), ("perform_rs", "kelvex")])
def test_body_collectors(http_server, capfd, method, expected):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/base64/a2VsdmV4")
    result = getattr(c, method)()
    assert type(result) is type(expected) and result == expected
    # The collecting buffer goes with the call: a later perform() writes
    # where the handle wrote before, here to standard output.
    capfd.readouterr()
    c.perform()
    # libcurl wrote with C stdio, which buffers unless the interpreter was
    # told to run unbuffered (PYTHONUNBUFFERED, -u).
    ctypes.CDLL(None).fflush(None)
    assert capfd.readouterr().out == "kelvex"


@pytest.mark.parametrize("method", ["perform_rb", "perform_rs"])
@pytest.mark.parametrize("use_memoryview", [False, True])
@pytest.mark.parametrize("fails", [False, True], ids=["ok", "failed"])
def test_body_collectors_give_the_write_target_back(http_server, method, use_memoryview,
                                                      fails):
    got = []
    c = kelvex.Curl()
    c.setopt(kelvex.WRITEFUNCTION, lambda chunk: got.append((type(chunk), bytes(chunk))),
             use_memoryview=use_memoryview)
    c.setopt(kelvex.URL, http_server.url + "/base64/a2VsdmV4")
    c.perform()
    if fails:
        c.setopt(kelvex.URL, "http://127.0.0.1:1/")
        with pytest.raises(kelvex.error):
            getattr(c, method)()
        c.setopt(kelvex.URL, http_server.url + "/base64/a2VsdmV4")
    else:
        assert getattr(c, method)() in (b"kelvex", "kelvex")
    c.perform()
    kind = memoryview if use_memoryview else bytes
    assert got == [(kind, b"kelvex"), (kind, b"kelvex")]


def respond_with(body):
    """A raw handler answering one request with ``body``."""

    def serve(sock):
        read_request(sock)
        head = f"HTTP/1.1 200 OK\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n"
        sock.sendall(head.encode() + body)

    return serve


def test_perform_rs_refuses_invalid_utf8(raw_server):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"http://127.0.0.1:{raw_server(respond_with(b'ok \xff\xfe'))}/")
    with pytest.raises(UnicodeDecodeError):
        c.perform_rs()


def test_perform_rs_decodes_utf8(http_server):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/base64/w6nDpMOf")  # "éäß"
    assert c.perform_rs() == "\u00e9\u00e4\u00df"


def test_https_with_the_test_ca(https_server):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, https_server.url + "/range/5")
    c.setopt(kelvex.CAINFO, https_server.ca_path)
    assert c.perform_rb() == b"abcde"


def test_https_refuses_unknown_ca(https_server, tmp_path):
    other_ca = tmp_path / "other-ca.pem"
    make_ca().cert_pem.write_to_path(str(other_ca))
    c = kelvex.Curl()
    c.setopt(kelvex.URL, https_server.url + "/range/5")
    c.setopt(kelvex.CAINFO, str(other_ca))
    with pytest.raises(kelvex.error) as info:
        c.perform_rb()
    number, message = info.value.args
    assert number == kelvex.E_PEER_FAILED_VERIFICATION
    assert "certificate" in message


@pytest.mark.parametrize("trusted", [True, False], ids=["its-ca", "another-ca"])
def test_https_with_certificates_from_the_openssl_command_line(tmp_path, trusted):
    # What the suite uses where cryptography cannot be installed, checked
    # wherever it can too.
    ca = OpensslCA()
    leaf = ca.issue_cert("127.0.0.1", "localhost")
    cert, key, ca_file = tmp_path / "server.pem", tmp_path / "server.key", tmp_path / "ca.pem"
    leaf.cert_chain_pems[0].write_to_path(cert)
    leaf.private_key_pem.write_to_path(key)
    (ca if trusted else OpensslCA()).cert_pem.write_to_path(ca_file)

    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"over tls"]

    server = LoopbackTLSServer(app, str(cert), str(key))
    try:
        c = kelvex.Curl()
        c.setopt(kelvex.URL, server.url + "/")
        c.setopt(kelvex.CAINFO, str(ca_file))
        if trusted:
            assert c.perform_rb() == b"over tls"
        else:
            with pytest.raises(kelvex.error) as info:
                c.perform_rb()
            assert info.value.args[0] == kelvex.E_PEER_FAILED_VERIFICATION
        c.close()
    finally:
        server.close()


def test_threads_perform_concurrently(http_server):
    """Each thread drives its own handle; transfers run with the interpreter
    detached and their callbacks re-attach on the right thread."""
    threads_count, transfers = 8, 20
    results = {}

    def work(index):
        c = kelvex.Curl()
        bodies = []
        for n in range(transfers):
            chunks = []

            def write(data, thread=threading.get_ident()):
                assert threading.get_ident() == thread
                chunks.append(data)

            c.setopt(kelvex.URL, f"{http_server.url}/range/{100 + index * transfers + n}")
            c.setopt(kelvex.WRITEFUNCTION, write)
            c.perform()
            bodies.append(len(b"".join(chunks)))
        results[index] = bodies
        c.close()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {
        i: [100 + i * transfers + n for n in range(transfers)] for i in range(threads_count)
    }


# ---------------------------------------------------------------------------
# libcurl failures
# ---------------------------------------------------------------------------


def failure_cases():
    port = closed_port()
    return [
        pytest.param(
            "http://nonexistent.invalid/", {}, "E_COULDNT_RESOLVE_HOST", "nonexistent.invalid",
            id="unresolvable",
        ),
        pytest.param(
            f"http://127.0.0.1:{port}/", {}, "E_COULDNT_CONNECT", str(port), id="refused"
        ),
        pytest.param(
            "{http}/status/404", {"FAILONERROR": 1}, "E_HTTP_RETURNED_ERROR", "404",
            id="http-error",
        ),
        pytest.param("kelvex://x/", {}, "E_UNSUPPORTED_PROTOCOL", "kelvex", id="protocol"),
    ]


@pytest.mark.parametrize("url, options, code, detail", failure_cases())
def test_failure_carries_code_and_buffer_text(http_server, url, options, code, detail):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url.format(http=http_server.url))
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    for name, value in options.items():
        c.setopt(getattr(kelvex, name), value)
    with pytest.raises(kelvex.error) as info:
        c.perform()
    number, message = info.value.args
    assert number == getattr(kelvex, code)
    assert type(message) is str
    # libcurl's detailed text from the error buffer, not the generic one
    assert detail in message
    assert message != kelvex.easy_strerror(number)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_callback_beats_libcurl_error(http_server, exc_type):
    def write(data):
        raise exc_type("from the write callable")

    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    with pytest.raises(exc_type, match="from the write callable"):
        c.perform()
    # The handle stays usable.
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    c.perform()


def test_regular_exception_in_callback_ends_with_libcurl_error(http_server, c_stderr):
    def write(data):
        raise ValueError("printed, not raised")

    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    with pytest.raises(kelvex.error) as info:
        c.perform()
    assert info.value.args[0] == kelvex.E_WRITE_ERROR
    assert "ValueError: printed, not raised" in c_stderr()


def test_signal_handler_exception_beats_result(raw_server):
    """A Python signal handler that raises while the transfer runs detached
    makes perform() raise its exception once the transfer returns."""

    class Interrupted(Exception):
        pass

    def on_signal(signum, frame):
        raise Interrupted

    main_thread = threading.main_thread().ident

    def serve(sock):
        read_request(sock)
        signal.pthread_kill(main_thread, signal.SIGUSR1)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")

    port = raw_server(serve)
    previous = signal.signal(signal.SIGUSR1, on_signal)
    try:
        c = kelvex.Curl()
        c.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
        with pytest.raises(Interrupted):
            c.perform_rb()
    finally:
        signal.signal(signal.SIGUSR1, previous)


# ---------------------------------------------------------------------------
# The running state
# ---------------------------------------------------------------------------


REFUSED_WHILE_RUNNING = [
    ("setopt", lambda c: c.setopt(kelvex.VERBOSE, 0)),
    ("reset", lambda c: c.reset()),
    ("close", lambda c: c.close()),
    ("perform", lambda c: c.perform()),
    ("send", lambda c: c.send(b"x")),
    ("recv", lambda c: c.recv(1)),
]


def test_callback_sees_its_handle_running(http_server):
    outcomes = {}

    def write(data):
        if outcomes:
            return
        for name, call in REFUSED_WHILE_RUNNING:
            try:
                call(c)
            except kelvex.error as exc:
                outcomes[name] = exc.args
        # allowed while running
        outcomes["pause"] = c.pause(kelvex.PAUSE_CONT)
        outcomes["unpause"] = c.unpause()
        outcomes["closed"] = c.closed
        outcomes["multi"] = c.multi()
        outcomes["dup"] = c.duphandle().closed

    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    c.perform()
    for name, _ in REFUSED_WHILE_RUNNING:
        assert outcomes[name] == (f"cannot invoke {name}() - perform() is currently running",)
    assert outcomes["pause"] is None and outcomes["unpause"] is None
    assert outcomes["closed"] is False and outcomes["multi"] is None
    assert outcomes["dup"] is False
    assert c.closed is False


def test_other_thread_sees_handle_running(raw_server):
    request_seen = threading.Event()
    release = threading.Event()

    def serve(sock):
        read_request(sock)
        request_seen.set()
        release.wait(60)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")

    port = raw_server(serve)
    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
    results = queue.Queue()
    worker = threading.Thread(target=lambda: results.put(c.perform_rb()))
    worker.start()
    try:
        assert request_seen.wait(60)
        # pause, unpause and duphandle work inside the transfer's own
        # callbacks only: from here they would swap the running thread's
        # parked state, or read a handle that thread is driving.
        calls = {
            "setopt": lambda: c.setopt(kelvex.VERBOSE, 0),
            "close": c.close,
            "pause": c.pause,
            "unpause": c.unpause,
            "duphandle": c.duphandle,
        }
        for name, call in calls.items():
            with pytest.raises(kelvex.error) as info:
                call()
            assert info.value.args == (f"cannot invoke {name}() - perform() is currently running",)
    finally:
        release.set()
        worker.join()
    assert results.get_nowait() == b"ok"
    c.close()


# ---------------------------------------------------------------------------
# CONNECT_ONLY: send, recv, recv_into
# ---------------------------------------------------------------------------


def connect_only(port):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
    c.setopt(kelvex.CONNECT_ONLY, 1)
    c.perform()
    return c


def wait_readable(c):
    sock = c.getinfo(kelvex.ACTIVESOCKET)
    readable, _, _ = select.select([sock], [], [], 60)
    assert readable


def recv_exactly(c, size):
    data = b""
    while len(data) < size:
        wait_readable(c)
        chunk = c.recv(size - len(data))
        assert chunk
        data += chunk
    return data


@pytest.fixture
def scripted_peer(raw_server):
    """A raw peer driven by the test: ``send(data)`` makes it send,
    ``received(n)`` returns the next n bytes it got, ``hang_up()`` closes."""

    class Peer:
        def __init__(self):
            self.actions = queue.Queue()
            self.incoming = queue.Queue()

        def send(self, data):
            self.actions.put(("send", data))

        def received(self, size):
            self.actions.put(("recv", size))
            return self.incoming.get(timeout=60)

        def hang_up(self):
            self.actions.put(("close", None))

    peer = Peer()

    def serve(sock):
        while True:
            action, arg = peer.actions.get(timeout=60)
            if action == "close":
                return
            if action == "send":
                sock.sendall(arg)
            else:
                data = b""
                while len(data) < arg:
                    data += sock.recv(arg - len(data))
                peer.incoming.put(data)

    peer.port = raw_server(serve)
    yield peer
    peer.hang_up()


def test_send_and_recv(scripted_peer):
    c = connect_only(scripted_peer.port)
    assert c.send(b"hello") == 5
    assert c.send(memoryview(b"-world")[1:]) == 5
    assert scripted_peer.received(10) == b"helloworld"

    with pytest.raises(BlockingIOError) as info:
        c.recv(100)
    assert info.value.errno == errno.EAGAIN
    assert info.value.strerror == os.strerror(errno.EAGAIN)

    scripted_peer.send(b"pong")
    assert recv_exactly(c, 4) == b"pong"


def test_recv_zero_touches_nothing(scripted_peer):
    c = connect_only(scripted_peer.port)
    scripted_peer.send(b"abc")
    wait_readable(c)
    assert c.recv(0) == b""
    assert recv_exactly(c, 3) == b"abc"
    # Not even a handle without a connection is asked.
    assert kelvex.Curl().recv(0) == b""


def test_recv_into(scripted_peer):
    c = connect_only(scripted_peer.port)
    scripted_peer.send(b"abcdef")
    buf = bytearray(10)
    wait_readable(c)
    assert c.recv_into(buf, 4) == 4
    assert buf == b"abcd" + bytes(6)
    view = memoryview(buf)[4:6]
    received = 0
    while received < 2:
        wait_readable(c)
        received += c.recv_into(buffer=view[received:], nbytes=0)
    assert buf == b"abcdef" + bytes(4)
    assert c.recv_into(bytearray(0)) == 0


def test_recv_after_peer_closed(scripted_peer):
    c = connect_only(scripted_peer.port)
    scripted_peer.hang_up()
    wait_readable(c)
    assert c.recv(10) == b""


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda c: c.recv(-1), ValueError, "negative buffersize in recv"),
        (lambda c: c.recv_into(bytearray(4), -1), ValueError, "negative buffersize in recv_into"),
        (lambda c: c.recv_into(bytearray(4), 5), ValueError, "buffer too small for requested bytes"),
        (lambda c: c.recv_into(b"read-only"), TypeError, None),
        (lambda c: c.send("text"), TypeError, None),
    ],
)
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_raw_io_argument_errors_come_first(call, exc_type, message, closed):
    c = kelvex.Curl()
    if closed:
        c.close()
    with pytest.raises(exc_type) as info:
        call(c)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "connect_only_set, message",
    [(False, "CONNECT_ONLY is required"), (True, "Failed to get ")],
)
@pytest.mark.parametrize("call", [lambda c: c.send(b"x"), lambda c: c.recv(1)], ids=["send", "recv"])
def test_raw_io_without_connection(call, connect_only_set, message):
    c = kelvex.Curl()
    if connect_only_set:
        c.setopt(kelvex.CONNECT_ONLY, 1)
    with pytest.raises(kelvex.error) as info:
        call(c)
    number, text = info.value.args
    assert number == kelvex.E_UNSUPPORTED_PROTOCOL
    assert text.startswith(message)


# ---------------------------------------------------------------------------
# pause and unpause
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.pause(),
        lambda c: c.pause(kelvex.PAUSE_RECV),
        lambda c: c.pause(kelvex.PAUSE_SEND),
        lambda c: c.unpause(),
    ],
    ids=["all", "recv", "send", "unpause"],
)
def test_pause_without_transfer_fails_with_fixed_message(http_server, call):
    c = kelvex.Curl()
    # libcurl refuses to pause a handle that has no connection.
    with pytest.raises(kelvex.error) as info:
        call(c)
    assert info.value.args == (kelvex.E_BAD_FUNCTION_ARGUMENT, "pause/unpause failed")
    # The thread-state slot was left empty: the handle is idle.
    c.setopt(kelvex.URL, http_server.url + "/range/3")
    assert c.perform_rb() == b"abc"


def test_pause_argument_must_be_int():
    with pytest.raises(TypeError):
        kelvex.Curl().pause("all")


PAUSED_SIZE = 100_000


def pausing_transfer(http_server):
    """A handle whose write callable pauses and unpauses its own transfer at
    the first chunk; returns the handle, the chunks and the calls' results."""
    chunks = []
    calls = []

    def write(data):
        chunks.append(data)
        if len(chunks) == 1:
            calls.append(c.pause())
            calls.append(c.unpause())

    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + f"/range/{PAUSED_SIZE}?chunk_size=1000")
    c.setopt(kelvex.WRITEFUNCTION, write)
    return c, chunks, calls


def test_pause_and_unpause_inside_write_callback(http_server):
    size = PAUSED_SIZE
    c, chunks, calls = pausing_transfer(http_server)
    c.perform()
    assert calls == [None, None]
    body = b"".join(chunks)
    assert len(body) == size
    assert body == (b"abcdefghijklmnopqrstuvwxyz" * (size // 26 + 1))[:size]
    # The slot was left as found: the handle is idle and usable again.
    c.setopt(kelvex.URL, http_server.url + "/range/10")
    assert c.perform_rb() == b"abcdefghij"


def test_pause_inside_multi_driven_callback(http_server):
    size = PAUSED_SIZE
    c, chunks, calls = pausing_transfer(http_server)
    m = kelvex.CurlMulti()
    m.add_handle(c)
    running = 1
    while running:
        _, running = m.perform()
        if running:
            m.select(1.0)
    assert calls == [None, None]
    assert len(b"".join(chunks)) == size
    # Outside a run, pause goes through the multi's slot and leaves it empty,
    # so the multi is not taken to be running.
    with pytest.raises(kelvex.error) as info:
        c.pause()
    assert info.value.args == (kelvex.E_BAD_FUNCTION_ARGUMENT, "pause/unpause failed")
    m.remove_handle(c)
    m.close()
