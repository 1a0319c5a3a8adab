"""WebSocket frames: ws_send, ws_recv, ws_recv_into, ws_meta and ws_close,
on a detached CONNECT_ONLY connection and from inside WRITEFUNCTION, against
a websockets server on loopback."""

import array
import asyncio
import errno
import itertools
import select
import ssl
import threading
import time

import pytest
import websockets
from websockets.asyncio.server import serve

import kelvex
from conftest import run_to_end

# ---------------------------------------------------------------------------
# Server
# ---------------------------------------------------------------------------


class WebSocketServer:
    """A websockets server in a thread with its own event loop.

    The first path segment picks the behaviour; every connection then echoes
    what it receives (text as text, binary as binary) until it closes, and
    the close code and reason the server saw are kept under the full path.

    - ``/echo/...``: echo only.
    - ``/fragments/...``: first sends "abcdef" as three fragments.
    - ``/ping/...``: pings with b"are you there", waits for the matching pong,
      then sends "pong received".
    - ``/close/...``: closes with 4001 "scripted".
    - ``/big/N/...``: first sends one binary frame of N bytes (a multiple of
      256: the byte values 0..255 repeated).
    """

    def __init__(self, ssl_context=None):
        self._closes = {}
        self._cond = threading.Condition()
        self._loop = asyncio.new_event_loop()
        self._ssl = ssl_context
        ready = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(ready,), daemon=True,
                                        name="ws-server")
        self._thread.start()
        ready.wait()
        scheme = "wss" if ssl_context is not None else "ws"
        self.url = f"{scheme}://127.0.0.1:{self.port}"

    def _run(self, ready):
        asyncio.set_event_loop(self._loop)

        async def main():
            self._server = await serve(self._handler, "127.0.0.1", 0, ssl=self._ssl,
                                       compression=None, close_timeout=2)
            self.port = self._server.sockets[0].getsockname()[1]
            ready.set()
            await self._server.wait_closed()

        self._loop.run_until_complete(main())
        self._loop.close()

    async def _handler(self, ws):
        path = ws.request.path
        parts = path.strip("/").split("/")
        try:
            if parts[0] == "fragments":
                await ws.send(iter(["ab", "cd", "ef"]))
            elif parts[0] == "ping":
                await (await ws.ping(b"are you there"))
                await ws.send("pong received")
            elif parts[0] == "close":
                await ws.close(4001, "scripted")
            elif parts[0] == "big":
                await ws.send(bytes(range(256)) * (int(parts[1]) // 256))
            async for message in ws:
                await ws.send(message)
        except websockets.ConnectionClosed:
            pass
        with self._cond:
            self._closes[path] = (ws.close_code, ws.close_reason)
            self._cond.notify_all()

    def close_seen(self, path, timeout=30):
        """(code, reason) of the close the server saw on `path`, once the
        client has gone."""
        with self._cond:
            assert self._cond.wait_for(lambda: path in self._closes, timeout)
            return self._closes.pop(path)

    def stop(self):
        self._loop.call_soon_threadsafe(self._server.close)
        self._thread.join()


@pytest.fixture(scope="session")
def ws_server():
    server = WebSocketServer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def wss_server(tls_ca):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls_ca.issue_cert("127.0.0.1").configure_cert(context)
    server = WebSocketServer(context)
    yield server
    server.stop()


_paths = itertools.count()


@pytest.fixture
def connect(ws_server):
    """connect(kind, ws_options=0) -> (Curl, path): a detached WebSocket
    connection to a fresh path of the given kind."""
    handles = []

    def open_connection(kind, ws_options=0, server=ws_server, **setup):
        path = f"/{kind}/{next(_paths)}"
        c = kelvex.Curl()
        handles.append(c)
        c.setopt(kelvex.URL, server.url + path)
        c.setopt(kelvex.CONNECT_ONLY, 2)
        if ws_options:
            c.setopt(kelvex.WS_OPTIONS, ws_options)
        for option, value in setup.items():
            c.setopt(getattr(kelvex, option), value)
        c.perform()
        return c, path

    yield open_connection
    for c in handles:
        c.close()


def wait_readable(c):
    select.select([c.getinfo(kelvex.ACTIVESOCKET)], [], [], 1.0)


def recv_frame(c, size):
    """ws_recv(size), waiting on the socket while libcurl has nothing."""
    end = time.monotonic() + 30
    while True:
        try:
            return c.ws_recv(size)
        except BlockingIOError:
            assert time.monotonic() < end, "no WebSocket data arrived"
            wait_readable(c)


def recv_message(c):
    """The payload and flags of one whole frame."""
    data, meta = recv_frame(c, 4096)
    chunks = [data]
    while meta.bytesleft:
        data, more = recv_frame(c, 4096)
        chunks.append(data)
    return b"".join(chunks), meta.flags


@pytest.fixture
def closed_curl():
    c = kelvex.Curl()
    c.close()
    return c


# ---------------------------------------------------------------------------
# Sending
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, kwargs, payload, kind",
    [
        ("hi", {}, b"hi", kelvex.WS_TEXT),
        ("h\u00e9", {}, "h\u00e9".encode(), kelvex.WS_TEXT),
        ("", {}, b"", kelvex.WS_TEXT),
        (b"hi", {}, b"hi", kelvex.WS_BINARY),
        (b"", {}, b"", kelvex.WS_BINARY),
        (bytearray(b"\x00\xff"), {}, b"\x00\xff", kelvex.WS_BINARY),
        (memoryview(b"xyzw")[1:3], {}, b"yz", kelvex.WS_BINARY),
        (array.array("B", [1, 2, 3]), {}, b"\x01\x02\x03", kelvex.WS_BINARY),
        (b"hi", {"flags": kelvex.WS_TEXT}, b"hi", kelvex.WS_TEXT),
        ("hi", {"flags": kelvex.WS_TEXT, "encoding": "ascii"}, b"hi", kelvex.WS_TEXT),
    ],
    ids=["str", "str-utf8", "str-empty", "bytes", "bytes-empty", "bytearray",
         "memoryview-slice", "array", "bytes-as-text", "str-ascii"],
)
def test_send_frame_is_echoed(connect, data, kwargs, payload, kind):
    c, _ = connect("echo")
    assert c.ws_send(data, **kwargs) == len(payload)
    received, meta = recv_frame(c, 100)
    assert received == payload
    assert meta.flags == kind
    assert (meta.len, meta.offset, meta.bytesleft) == (len(payload), 0, 0)


@pytest.mark.parametrize("data", [b"", b"pp", "x"], ids=["empty", "bytes", "str"])
def test_ping_is_answered_with_pong(connect, data):
    c, _ = connect("echo")
    c.ws_send(data, flags=kelvex.WS_PING)
    received, meta = recv_frame(c, 100)
    assert meta.flags == kelvex.WS_PONG
    assert received == (data.encode() if isinstance(data, str) else data)


def test_fragments_make_one_message(connect):
    c, _ = connect("echo")
    assert c.ws_send("ab", flags=kelvex.WS_TEXT | kelvex.WS_CONT) == 2
    assert c.ws_send("cd", flags=kelvex.WS_CONT) == 2
    assert c.ws_send("ef", flags=0) == 2
    assert recv_message(c) == (b"abcdef", kelvex.WS_TEXT)


def test_offset_sends_one_frame_in_pieces(connect):
    c, _ = connect("echo")
    flags = kelvex.WS_BINARY | kelvex.WS_OFFSET
    assert c.ws_send(b"abc", flags=flags, fragsize=6) == 3
    assert c.ws_send(memoryview(b"def"), flags=flags) == 3
    assert recv_message(c) == (b"abcdef", kelvex.WS_BINARY)


# ---------------------------------------------------------------------------
# Receiving
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [lambda c: c.ws_recv(1024), lambda c: c.ws_recv_into(bytearray(8)),
     lambda c: c.ws_recv(0)],
    ids=["ws_recv", "ws_recv_into", "ws_recv-zero"],
)
def test_recv_before_data_would_block(connect, call):
    c, _ = connect("echo")
    with pytest.raises(BlockingIOError) as info:
        call(c)
    assert info.value.errno == errno.EAGAIN


def test_received_fragments_keep_their_flags(connect):
    c, _ = connect("fragments")
    frames = [recv_frame(c, 100) for _ in range(3)]
    assert b"".join(data for data, _ in frames) == b"abcdef"
    assert all(meta.flags & kelvex.WS_TEXT for _, meta in frames)
    assert frames[0][1].flags & kelvex.WS_CONT


def test_frame_larger_than_the_receive_buffer(connect):
    c, _ = connect("big/1024")
    expected = bytes(range(256)) * 4
    first, meta = recv_frame(c, 300)
    assert first == expected[:300]
    assert (meta.flags, meta.offset, meta.bytesleft, meta.len) == (kelvex.WS_BINARY, 0, 724, 300)
    buffer = bytearray(1000)
    while True:
        try:
            count, meta = c.ws_recv_into(buffer)
            break
        except BlockingIOError:
            wait_readable(c)
    assert count == 724
    assert bytes(buffer[:count]) == expected[300:]
    assert (meta.offset, meta.bytesleft, meta.len) == (300, 0, 724)


def test_recv_zero_reports_the_pending_frame(connect):
    c, _ = connect("echo")
    c.ws_send("abc")
    data, meta = recv_frame(c, 0)
    assert data == b""
    assert (meta.flags, meta.bytesleft) == (kelvex.WS_TEXT, 3)
    data, meta = recv_frame(c, 10)
    assert data == b"abc"
    assert type(data) is bytes


@pytest.mark.parametrize(
    "make_buffer, nbytes, got",
    [
        (lambda: bytearray(10), 0, b"hello"),
        (lambda: bytearray(10), 2, b"he"),
        (lambda: memoryview(bytearray(10))[4:], 0, b"hello"),
        (lambda: array.array("B", bytes(3)), 0, b"hel"),
    ],
    ids=["whole-bytearray", "nbytes", "memoryview-slice", "array"],
)
def test_recv_into_buffers(connect, make_buffer, nbytes, got):
    c, _ = connect("echo")
    c.ws_send(b"hello")
    buffer = make_buffer()
    while True:
        try:
            count, meta = c.ws_recv_into(buffer, nbytes=nbytes)
            break
        except BlockingIOError:
            wait_readable(c)
    assert count == len(got)
    assert bytes(buffer)[:count] == got
    assert (meta.flags, meta.len, meta.bytesleft) == (kelvex.WS_BINARY, len(got), 5 - len(got))


# ---------------------------------------------------------------------------
# Closing
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, payload, seen",
    [
        ((), {}, b"", (1005, "")),
        ((1000,), {}, b"\x03\xe8", (1000, "")),
        ((1000, "bye"), {}, b"\x03\xe8bye", (1000, "bye")),
        ((1000, ""), {}, b"\x03\xe8", (1000, "")),
        ((3000, b"r\xc3\xa9"), {}, b"\x0b\xb8r\xc3\xa9", (3000, "r\u00e9")),
        ((), {"code": 4999, "reason": "x" * 123}, b"\x13\x87" + b"x" * 123,
         (4999, "x" * 123)),
        ((1011, bytearray(b"oops")), {}, b"\x03\xf3oops", (1011, "oops")),
    ],
    ids=["empty", "code", "reason", "empty-reason", "bytes-reason", "longest", "bytearray"],
)
def test_close_payload(ws_server, connect, args, kwargs, payload, seen):
    c, path = connect("echo")
    assert c.ws_close(*args, **kwargs) == len(payload)
    # The server answers with the same close frame.
    assert recv_message(c) == (payload, kelvex.WS_CLOSE)
    c.close()
    assert ws_server.close_seen(path) == seen


def test_close_from_server_is_received(ws_server, connect):
    c, path = connect("close")
    assert recv_message(c) == (b"\x0f\xa1scripted", kelvex.WS_CLOSE)
    assert c.ws_close(4001) == 2
    c.close()
    # The server reports the close frame it received: our answer.
    assert ws_server.close_seen(path) == (4001, "")


def test_wss_echo(wss_server, tls_ca, connect, tmp_path):
    ca_path = tmp_path / "ca.pem"
    tls_ca.cert_pem.write_to_path(str(ca_path))
    c, _ = connect("echo", server=wss_server, CAINFO=str(ca_path))
    assert c.ws_send("over tls") == 8
    assert recv_message(c) == (b"over tls", kelvex.WS_TEXT)


# ---------------------------------------------------------------------------
# Inside WRITEFUNCTION
# ---------------------------------------------------------------------------


def _drive_with_multi(c):
    m = kelvex.CurlMulti()
    m.add_handle(c)
    try:
        run_to_end(m)
    finally:
        m.remove_handle(c)
        m.close()


@pytest.mark.parametrize("drive", [lambda c: c.perform(), _drive_with_multi],
                         ids=["perform", "multi"])
@pytest.mark.threads
def test_write_callback_answers_on_the_connection(ws_server, drive):
    path = f"/ping/{next(_paths)}"
    c = kelvex.Curl()
    c.setopt(kelvex.URL, ws_server.url + path)
    # Without this libcurl answers pings itself.
    c.setopt(kelvex.WS_OPTIONS, kelvex.WS_NOAUTOPONG)
    events = []

    def attempt(name, call):
        try:
            events.append((name, call()))
        except kelvex.error as exc:
            events.append((name, exc.args[0]))

    def from_other_thread():
        attempt("thread ws_send", lambda: c.ws_send(b"x", flags=kelvex.WS_PONG))
        attempt("thread ws_close", lambda: c.ws_close(1000))
        attempt("thread ws_recv_into", lambda: c.ws_recv_into(bytearray(4)))
        events.append(("thread ws_meta", c.ws_meta()))

    def on_header(line):
        if not events:
            attempt("header ws_send", lambda: c.ws_send(b"x", flags=kelvex.WS_PONG))

    def on_data(data):
        meta = c.ws_meta()
        events.append(("frame", bytes(data), meta.flags, meta.len))
        attempt("ws_recv", lambda: c.ws_recv(10))
        if meta.flags & kelvex.WS_PING:
            attempt("ws_send", lambda: c.ws_send(data, flags=kelvex.WS_PONG))
            thread = threading.Thread(target=from_other_thread)
            thread.start()
            thread.join()
        elif meta.flags & kelvex.WS_TEXT:
            attempt("ws_close", lambda: c.ws_close(1000, "done"))

    c.setopt(kelvex.HEADERFUNCTION, on_header)
    c.setopt(kelvex.WRITEFUNCTION, on_data)
    drive(c)
    outside = ("cannot invoke ws_send() - perform() is currently running outside "
               "WRITEFUNCTION callback")
    running = "cannot invoke ws_recv() - perform() is currently running"
    assert events == [
        ("header ws_send", outside),
        ("frame", b"are you there", kelvex.WS_PING, 13),
        ("ws_recv", running),
        ("ws_send", 13),
        ("thread ws_send", outside),
        ("thread ws_close", outside.replace("ws_send", "ws_close")),
        ("thread ws_recv_into", running.replace("ws_recv", "ws_recv_into")),
        # The frame is this thread's; libcurl's record of it is not read
        # from elsewhere while the transfer runs.
        ("thread ws_meta", None),
        ("frame", b"pong received", kelvex.WS_TEXT, 13),
        ("ws_recv", running),
        ("ws_close", 6),
        ("frame", b"\x03\xe8done", kelvex.WS_CLOSE, 6),
        ("ws_recv", running),
    ]
    # No frame is being delivered once the transfer is over.
    assert c.ws_meta() is None
    c.close()
    assert ws_server.close_seen(path) == (1000, "done")


# ---------------------------------------------------------------------------
# Argument and state errors
# ---------------------------------------------------------------------------

_control = [kelvex.WS_CONT | kelvex.WS_PING, kelvex.WS_CONT | kelvex.WS_PONG,
            kelvex.WS_CONT | kelvex.WS_CLOSE]
_two_controls = [kelvex.WS_PING | kelvex.WS_PONG, kelvex.WS_PING | kelvex.WS_CLOSE,
                 kelvex.WS_PONG | kelvex.WS_CLOSE]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.ws_send(b"x", flags=-1, fragsize=-1), ValueError,
         "negative fragsize in ws_send"),
        (lambda c: c.ws_send(b"x", flags=-1), ValueError, "flags must be non-negative"),
        (lambda c: c.ws_send(b"x", flags=2**32), OverflowError,
         "flags out of range for curl_ws_send"),
        (lambda c: c.ws_send(b"x", flags=2**64), OverflowError, None),
        (lambda c: c.ws_send(b"x", flags="1"), TypeError, None),
        (lambda c: c.ws_send(b"x", flags=kelvex.WS_TEXT | kelvex.WS_BINARY), ValueError,
         "ws_send: cannot set both WS_TEXT and WS_BINARY"),
        *[(lambda c, f=f: c.ws_send(b"x", flags=f), ValueError,
           "ws_send: control frames cannot be fragmented (WS_CONT forbidden with "
           "WS_PING/WS_PONG/WS_CLOSE)") for f in _control],
        *[(lambda c, f=f: c.ws_send(b"x", flags=f), ValueError,
           "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set")
          for f in _two_controls],
        (lambda c: c.ws_send(None), TypeError,
         'ws_send: data must be str or bytes-like, not NoneType (use b"" for an empty '
         'payload)'),
        (lambda c: c.ws_send("x", flags=kelvex.WS_BINARY), TypeError,
         "ws_send: str data is incompatible with WS_BINARY; pass bytes-like data for "
         "binary frames"),
        (lambda c: c.ws_send("x", flags=kelvex.WS_CLOSE), TypeError,
         "ws_send: str data is incompatible with WS_CLOSE; use ws_close() or pass a "
         "bytes-like payload"),
        (lambda c: c.ws_send(object()), TypeError, None),
        (lambda c: c.ws_send(12), TypeError, None),
        (lambda c: c.ws_send("\u00e9", encoding="ascii"), UnicodeEncodeError, None),
        (lambda c: c.ws_send("x", encoding="no-such-codec"), LookupError, None),
        (lambda c: c.ws_close(reason="x"), ValueError,
         "ws_close: reason requires code (RFC 6455 \u00a75.5.1)"),
        *[(lambda c, code=code: c.ws_close(code), ValueError,
           "ws_close: code must be a valid wire close status code")
          for code in (-1, 0, 999, 1004, 1005, 1006, 1015, 2000, 2999, 5000, 2**40)],
        (lambda c: c.ws_close(2**64), OverflowError, None),
        (lambda c: c.ws_close("1000"), TypeError, None),
        (lambda c: c.ws_close(1000, "x" * 124), ValueError,
         "ws_close: payload too large (126 bytes, max 125 including 2-byte status code)"),
        (lambda c: c.ws_close(1000, b"\xff"), UnicodeDecodeError, None),
        (lambda c: c.ws_close(1000, "\u00e9", encoding="latin-1"), UnicodeDecodeError, None),
        (lambda c: c.ws_close(1000, "\u00e9", encoding="ascii"), UnicodeEncodeError, None),
        (lambda c: c.ws_close(1000, 5), TypeError, None),
        (lambda c: c.ws_recv(-1), ValueError, "negative buffersize in ws_recv"),
        (lambda c: c.ws_recv("1"), TypeError, None),
        (lambda c: c.ws_recv_into(bytearray(1), -1), ValueError,
         "negative buffersize in ws_recv_into"),
        (lambda c: c.ws_recv_into(bytearray(10), 20), ValueError,
         "buffer too small for requested bytes"),
        (lambda c: c.ws_recv_into(b"read-only"), TypeError, None),
    ],
)
def test_argument_errors_come_before_the_state_check(closed_curl, call, exc, message):
    # On a closed handle: the argument error, not "no curl handle", is raised.
    with pytest.raises(exc) as info:
        call(closed_curl)
    if message is not None:
        assert str(info.value) == message


_each_method = {
    "ws_send": lambda c: c.ws_send(b"x"),
    "ws_close": lambda c: c.ws_close(1000),
    "ws_recv": lambda c: c.ws_recv(10),
    "ws_recv_into": lambda c: c.ws_recv_into(bytearray(4)),
    "ws_meta": lambda c: c.ws_meta(),
}


@pytest.mark.parametrize("name", _each_method)
def test_closed_handle_is_refused(closed_curl, name):
    with pytest.raises(kelvex.error) as info:
        _each_method[name](closed_curl)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


@pytest.mark.parametrize("name", [n for n in _each_method if n != "ws_meta"])
def test_unconnected_handle_reports_libcurl_error(name):
    c = kelvex.Curl()
    with pytest.raises(kelvex.error) as info:
        _each_method[name](c)
    code, message = info.value.args
    assert isinstance(code, int) and code != 0
    assert isinstance(message, str) and message


def test_meta_without_frame_is_none(http_server):
    c = kelvex.Curl()
    assert c.ws_meta() is None
    # Nor after an ordinary HTTP transfer.
    c.setopt(kelvex.URL, http_server.url + "/get")
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    c.perform()
    assert c.ws_meta() is None


@pytest.mark.parametrize(
    "call",
    [lambda c: c.ws_recv(buffersize=1), lambda c: c.ws_send(b"x", 0, 0, "utf-8", 1),
     lambda c: c.ws_meta(1), lambda c: c.ws_close(1000, "x", "utf-8", 1),
     lambda c: c.ws_send(b"x", nope=1)],
    ids=["ws_recv-keyword", "ws_send-extra", "ws_meta-arg", "ws_close-extra", "ws_send-unknown"],
)
def test_signature_errors(closed_curl, call):
    with pytest.raises(TypeError):
        call(closed_curl)


def test_keywords_are_accepted(connect):
    c, _ = connect("echo")
    assert c.ws_send(data=b"kw", flags=kelvex.WS_BINARY, fragsize=0, encoding="utf-8") == 2
    buffer = bytearray(8)
    while True:
        try:
            count, meta = c.ws_recv_into(buffer=buffer, nbytes=4)
            break
        except BlockingIOError:
            wait_readable(c)
    assert (bytes(buffer[:count]), meta.flags) == (b"kw", kelvex.WS_BINARY)
    assert c.ws_close(code=1000, reason="kw", encoding="ascii") == 4


def test_recv_after_the_peer_hung_up_raises_libcurl_error(connect):
    c, _ = connect("close")
    assert recv_message(c)[1] == kelvex.WS_CLOSE
    c.ws_close(4001)
    # The server drops the connection once the close handshake is done.
    with pytest.raises(kelvex.error) as info:
        recv_frame(c, 100)
    code, message = info.value.args
    assert isinstance(code, int) and code not in (0, kelvex.E_AGAIN)
    assert message


@pytest.mark.parametrize(
    "name, first_line",
    [
        ("ws_send", "ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count"),
        ("ws_recv", "ws_recv(buffersize) -> (data, meta)"),
        ("ws_recv_into", "ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)"),
        ("ws_meta", "ws_meta() -> WsFrame or None"),
        ("ws_close", "ws_close(code=None, reason=None, encoding='utf-8') -> count"),
    ],
)
def test_docstrings(name, first_line):
    assert getattr(kelvex.Curl, name).__doc__.splitlines()[0] == first_line


def test_frame_metadata_type():
    assert kelvex.WsFrame._fields == ("age", "flags", "offset", "bytesleft", "len")
