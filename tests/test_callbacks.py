"""Data-path callbacks: body, headers, upload, seek and rewind, the TLS
context filled from set_ca_certs, and how callable results and errors reach
libcurl and the caller."""

import gc
import io
import json
import os
import threading
import time
import tracemalloc
import warnings

import pytest

import kelvex
from conftest import (BODY_LEN, body_url, collect_garbage, expected_body, make_ca,
                      perform_error, rss_bytes, sanitized, settled)


@pytest.fixture
def multi():
    m = kelvex.CurlMulti()
    yield m
    m.close()


def drive(m, between_rounds=lambda: None):
    """Polls a multi until its transfers end, calling between_rounds() after
    every perform() that left transfers running."""
    for _ in range(10000):
        _, running = m.perform()
        if not running:
            return
        between_rounds()
        m.select(0.05)
    raise AssertionError("the transfers did not end")


# ---------------------------------------------------------------------------
# Body and headers
# ---------------------------------------------------------------------------


def test_body_and_header_lines_reach_callables(curl, http_server):
    chunks, lines = [], []
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, chunks.append)
    curl.setopt(kelvex.HEADERFUNCTION, lines.append)
    curl.perform()

    assert all(type(chunk) is bytes for chunk in chunks)
    assert b"".join(chunks) == expected_body()
    # One call per header line, status line first, the empty line last.
    assert all(type(line) is bytes and line.endswith(b"\r\n") for line in lines)
    assert lines[0].startswith(b"HTTP/1.1 200")
    assert lines[-1] == b"\r\n"
    assert any(line.lower().startswith(b"content-length:") for line in lines)


def test_file_like_objects_receive_body_and_headers(curl, http_server):
    body, headers = io.BytesIO(), io.BytesIO()
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEDATA, body)
    curl.setopt(kelvex.WRITEHEADER, headers)
    curl.perform()
    assert body.getvalue() == expected_body()
    assert headers.getvalue().startswith(b"HTTP/1.1 200")
    assert headers.getvalue().endswith(b"\r\n\r\n")


@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION"])
def test_memoryview_delivery_is_released_after_each_call(curl, http_server, option):
    views, copies = [], []

    def take(view):
        assert isinstance(view, memoryview)
        assert view.readonly
        views.append(view)
        copies.append(bytes(view))

    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(getattr(kelvex, option), take, use_memoryview=True)
    curl.setopt(kelvex.WRITEFUNCTION if option == "HEADERFUNCTION" else kelvex.HEADERFUNCTION,
                lambda data: None)
    curl.perform()

    assert views
    if option == "WRITEFUNCTION":
        assert b"".join(copies) == expected_body()
    else:
        assert copies[0].startswith(b"HTTP/1.1 200")
    for view in views:
        with pytest.raises(ValueError):
            bytes(view)


def test_memoryview_flag_is_dropped_when_the_callable_is_set_again(curl, http_server):
    got = []
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, got.append, use_memoryview=True)
    curl.setopt(kelvex.WRITEFUNCTION, got.append)
    curl.perform()
    assert all(type(chunk) is bytes for chunk in got)
    assert b"".join(got) == expected_body()


# ---------------------------------------------------------------------------
# Write results
# ---------------------------------------------------------------------------


def _raise(exc):
    def callback(data):
        raise exc

    return callback


WRITE_RESULTS = [
    # (id, callable, body size, outcome, text printed on stderr)
    ("none", lambda data: None, BODY_LEN, "ok", None),
    ("length", lambda data: len(data), BODY_LEN, "ok", None),
    ("true-for-one-byte", lambda data: True, 1, "ok", None),
    ("zero", lambda data: 0, BODY_LEN, kelvex.E_WRITE_ERROR, None),
    ("short", lambda data: len(data) - 1, BODY_LEN, kelvex.E_WRITE_ERROR, None),
    ("negative", lambda data: -1, BODY_LEN, kelvex.E_WRITE_ERROR, None),
    ("str", lambda data: "taken", BODY_LEN, kelvex.E_WRITE_ERROR,
     "write callback must return int or None"),
    ("float", lambda data: float(len(data)), BODY_LEN, kelvex.E_WRITE_ERROR,
     "write callback must return int or None"),
    ("value-error", _raise(ValueError("write went wrong")), BODY_LEN, kelvex.E_WRITE_ERROR,
     "ValueError: write went wrong"),
    ("beyond-long", lambda data: 2**70, BODY_LEN, OverflowError, None),
    ("keyboard-interrupt", _raise(KeyboardInterrupt), BODY_LEN, KeyboardInterrupt, None),
    ("system-exit", _raise(SystemExit(3)), BODY_LEN, SystemExit, None),
]


@pytest.mark.parametrize("case", WRITE_RESULTS, ids=[case[0] for case in WRITE_RESULTS])
def test_write_callable_results(curl, http_server, perform_expect, case):
    _, callback, n, outcome, printed = case
    curl.setopt(kelvex.URL, body_url(http_server, n))
    curl.setopt(kelvex.WRITEFUNCTION, callback)
    # An exception that is not an Exception stays pending and wins over
    # libcurl's write error.
    perform_expect(curl, outcome, printed, unprinted=("Traceback", "write callback must return"))
    if outcome == "ok":
        assert curl.getinfo(kelvex.SIZE_DOWNLOAD_T) == n


def test_header_callable_result_is_judged_like_the_body(curl, http_server, perform_expect):
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.HEADERFUNCTION, lambda line: "no")
    perform_expect(curl, kelvex.E_WRITE_ERROR, "write callback must return int or None")


@pytest.mark.parametrize("driver", ["easy", "multi"])
def test_callable_may_pause_but_not_setopt_its_own_handle(curl, multi, http_server, driver):
    seen = []

    def write(data):
        if not seen:
            with pytest.raises(kelvex.error) as info:
                curl.setopt(kelvex.URL, http_server.url)
            seen.append(info.value.args)
            curl.pause()
            curl.unpause()
        seen.append(data)

    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, write)
    if driver == "easy":
        curl.perform()
    else:
        multi.add_handle(curl)
        drive(multi)
        multi.remove_handle(curl)
    assert seen[0] == ("cannot invoke setopt() - perform() is currently running",)
    assert b"".join(seen[1:]) == expected_body()
    # The handle is usable again once the transfer ended.
    curl.setopt(kelvex.URL, body_url(http_server, 10))


def test_write_pause_result_holds_the_data_until_unpaused(curl, multi, http_server):
    size = 100 * 1024
    chunks, paused, rounds_paused = [], [], []

    def write(data):
        if not paused:
            paused.append(len(data))
            return kelvex.WRITEFUNC_PAUSE
        chunks.append(data)

    def between_rounds():
        if paused and not chunks:
            rounds_paused.append(True)
            if len(rounds_paused) == 3:
                curl.unpause()

    curl.setopt(kelvex.URL, body_url(http_server, size))
    curl.setopt(kelvex.WRITEFUNCTION, write)
    multi.add_handle(curl)
    drive(multi, between_rounds)
    # Nothing arrived over three rounds while paused; the chunk refused with
    # the pause is delivered again after unpause(), so nothing is lost.
    assert len(rounds_paused) >= 3
    assert b"".join(chunks) == expected_body(size)


# ---------------------------------------------------------------------------
# Upload
# ---------------------------------------------------------------------------


def put_echo(c, server, payload_len):
    """Configures a PUT to httpbin's echo; returns the collected response."""
    out = io.BytesIO()
    c.setopt(kelvex.URL, f"{server.url}/put")
    c.setopt(kelvex.UPLOAD, 1)
    c.setopt(kelvex.INFILESIZE, payload_len)
    c.setopt(kelvex.HTTPHEADER, ["Expect:", "Content-Type: application/octet-stream"])
    c.setopt(kelvex.WRITEDATA, out)
    return out


def echoed(out):
    return json.loads(out.getvalue())["data"].encode("latin-1")


def chunked_reader(payload, kind=bytes):
    src = io.BytesIO(payload)

    def read(n):
        assert type(n) is int and n > 0
        return kind(src.read(n))

    return read


@pytest.mark.parametrize(
    "kind",
    [bytes, bytearray, memoryview, lambda b: b.decode("ascii")],
    ids=["bytes", "bytearray", "memoryview", "ascii-str"],
)
def test_read_callable_uploads_its_chunks(curl, http_server, kind):
    payload = b"kelvex upload " * 500
    out = put_echo(curl, http_server, len(payload))
    curl.setopt(kelvex.READFUNCTION, chunked_reader(payload, kind))
    curl.perform()
    assert echoed(out) == payload


def test_read_data_file_object_is_read(curl, http_server):
    payload = b"from a file object"
    out = put_echo(curl, http_server, len(payload))
    curl.setopt(kelvex.READDATA, io.BytesIO(payload))
    curl.perform()
    assert echoed(out) == payload


@pytest.fixture
def chunked_upload(curl, raw_server):
    """A PUT of unknown size, so sent chunked, to a raw server; returns the
    list that receives the request body as it came over the wire."""
    bodies = []

    def handler(sock):
        data = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return
            data += chunk
            head, sep, body = data.partition(b"\r\n\r\n")
            if sep and (body == b"0\r\n\r\n" or body.endswith(b"\r\n0\r\n\r\n")):
                break
        bodies.append(body)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    curl.setopt(kelvex.URL, f"http://127.0.0.1:{raw_server(handler)}/upload")
    curl.setopt(kelvex.UPLOAD, 1)
    return bodies


@pytest.mark.parametrize(
    "answers, wire",
    [(["abc", b""], b"3\r\nabc\r\n0\r\n\r\n"),
     ([b""], b"0\r\n\r\n"),
     ([b"12345", bytearray(b"67"), b"", b"never asked for"], b"5\r\n12345\r\n2\r\n67\r\n0\r\n\r\n")],
    ids=["three-character-str", "empty-at-once", "empty-ends-early"],
)
def test_empty_result_ends_a_chunked_upload(curl, chunked_upload, answers, wire):
    remaining = iter(answers)
    curl.setopt(kelvex.READFUNCTION, lambda n: next(remaining))
    curl.perform()
    assert chunked_upload == [wire]
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200


def test_read_pause_result_holds_the_upload_until_unpaused(curl, multi, http_server):
    payload = b"resumed upload"
    src = io.BytesIO(payload)
    calls, rounds_paused = [], []

    def read(n):
        calls.append(n)
        if len(calls) == 1:
            return kelvex.READFUNC_PAUSE
        return src.read(n)

    def between_rounds():
        if len(calls) == 1:
            rounds_paused.append(True)
            if len(rounds_paused) == 3:
                curl.unpause()

    out = put_echo(curl, http_server, len(payload))
    curl.setopt(kelvex.READFUNCTION, read)
    multi.add_handle(curl)
    drive(multi, between_rounds)
    assert len(rounds_paused) >= 3
    assert echoed(out) == payload


READ_FAILURES = [
    # (id, result maker taking the wanted size, outcome, printed text maker)
    ("too-many-bytes", lambda n: b"x" * (n + 1), kelvex.E_ABORTED_BY_CALLBACK,
     lambda n: f"invalid return value for read callback ({n + 1} bytes returned when at "
               f"most {n} bytes were wanted)"),
    ("too-long-str", lambda n: "x" * (n + 1), kelvex.E_ABORTED_BY_CALLBACK,
     lambda n: f"invalid return value for read callback ({n + 1} bytes returned after "
               f"encoding to ascii when at most {n} bytes were wanted)"),
    ("non-ascii-str", lambda n: "caf\u00e9", kelvex.E_ABORTED_BY_CALLBACK,
     lambda n: "UnicodeEncodeError"),
    ("zero-int", lambda n: 0, kelvex.E_ABORTED_BY_CALLBACK,
     lambda n: "read callback must return an object supporting the buffer protocol "
               "(e.g. a byte string) or an ASCII-only Unicode string"),
    ("none", lambda n: None, kelvex.E_ABORTED_BY_CALLBACK,
     lambda n: "read callback must return an object supporting the buffer protocol"),
    ("abort", lambda n: kelvex.READFUNC_ABORT, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("value-error", None, kelvex.E_ABORTED_BY_CALLBACK, lambda n: "ValueError: no data"),
    ("keyboard-interrupt", None, KeyboardInterrupt, None),
]


@pytest.mark.parametrize("case", READ_FAILURES, ids=[case[0] for case in READ_FAILURES])
def test_read_callable_failures_abort_the_upload(curl, http_server, perform_expect, case):
    name, make_result, outcome, printed = case
    wanted = []

    def read(n):
        wanted.append(n)
        if name == "value-error":
            raise ValueError("no data")
        if name == "keyboard-interrupt":
            raise KeyboardInterrupt
        return make_result(n)

    put_echo(curl, http_server, 10)
    curl.setopt(kelvex.READFUNCTION, read)
    # The printed text names the size libcurl asked for: known once it has.
    err = perform_expect(curl, outcome, None, unprinted=() if printed else ("Traceback",))
    if printed is not None:
        assert printed(wanted[0]) in err


# ---------------------------------------------------------------------------
# Seeking and rewinding
# ---------------------------------------------------------------------------

def _redirected_put(c, server, payload, reader):
    """A PUT that the server answers with 307: libcurl must rewind the upload
    to send it again to the new location."""
    out = put_echo(c, server, len(payload))
    c.setopt(kelvex.URL, f"{server.url}/redirect-to?url=/put&status_code=307")
    c.setopt(kelvex.FOLLOWLOCATION, 1)
    c.setopt(kelvex.READFUNCTION, reader)
    return out


SEEK_RESULTS = [
    # (id, result, the value libcurl got, printed text)
    ("none", None, 0, None),
    ("ok", kelvex.SEEKFUNC_OK, 0, None),
    ("fail", kelvex.SEEKFUNC_FAIL, 1, None),
    ("cantseek", kelvex.SEEKFUNC_CANTSEEK, 2, None),
    ("out-of-set", 3, 2, "invalid return value for seek callback 3 not in (0, 1, 2)"),
    ("wrong-type", "0", 2,
     "seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), "
     "2 (CURL_SEEKFUNC_CANTSEEK) or None"),
    # Not cut to 32 bits, where 2**32 would read as SEEKFUNC_OK.
    ("beyond-int", 2**32, 2, "OverflowError"),
    ("value-error", ValueError("cannot seek"), 2, "ValueError: cannot seek"),
]


@pytest.mark.parametrize("case", SEEK_RESULTS, ids=[case[0] for case in SEEK_RESULTS])
def test_seek_callable_results_when_rewinding(curl, http_server, perform_expect, case):
    _, result, seen, printed = case
    payload = b"sent twice"
    src = io.BytesIO(payload)
    seeks = []

    def seek(offset, origin):
        seeks.append((offset, origin))
        if isinstance(result, BaseException):
            raise result
        src.seek(offset, origin)
        return result

    out = _redirected_put(curl, http_server, payload, lambda n: src.read(n))
    curl.setopt(kelvex.SEEKFUNCTION, seek)
    # On failure libcurl names the value it was given.
    outcome = "ok" if seen == 0 else (kelvex.E_SEND_FAIL_REWIND,
                                      f"seek callback returned error {seen}")
    perform_expect(curl, outcome, printed, unprinted=("Traceback", "seek callback"))
    if seen == 0:
        assert echoed(out) == payload
    assert seeks == [(0, os.SEEK_SET)]


@pytest.fixture(scope="module")
def ftp_server(tmp_path_factory):
    """Anonymous FTP with write access to a fresh folder: ``.url``, ``.root``."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import ThreadedFTPServer

    root = tmp_path_factory.mktemp("ftp")
    authorizer = DummyAuthorizer()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # write access for anonymous is the point here
        authorizer.add_anonymous(str(root), perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    server = ThreadedFTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.05},
                              daemon=True)
    thread.start()
    server.url = f"ftp://127.0.0.1:{server.address[1]}"
    server.root = root
    yield server
    server.close_all()
    thread.join()


@pytest.mark.parametrize(
    "result, served_from, code",
    [(None, 5, None), (kelvex.SEEKFUNC_CANTSEEK, 0, None),
     (kelvex.SEEKFUNC_FAIL, None, kelvex.E_FTP_COULDNT_USE_REST)],
    ids=["ok", "cantseek", "fail"],
)
def test_seek_callable_positions_a_resumed_upload(curl, ftp_server, result, served_from, code):
    payload = b"0123456789abcdefghij"
    target = ftp_server.root / f"resumed-{result}"
    target.write_bytes(payload[:5])
    src = io.BytesIO(payload)
    seeks, served = [], []

    def seek(offset, origin):
        seeks.append((offset, origin))
        if result is None:
            src.seek(offset, origin)
        return result

    def read(n):
        served.append(src.read(n))
        return served[-1]

    curl.setopt(kelvex.URL, f"{ftp_server.url}/{target.name}")
    curl.setopt(kelvex.UPLOAD, 1)
    curl.setopt(kelvex.INFILESIZE, len(payload))
    curl.setopt(kelvex.RESUME_FROM, 5)
    curl.setopt(kelvex.READFUNCTION, read)
    curl.setopt(kelvex.SEEKFUNCTION, seek)
    if code is None:
        curl.perform()
        # The remote file is completed from the resume offset on; after
        # CURL_SEEKFUNC_CANTSEEK libcurl reads the skipped bytes and drops them.
        assert target.read_bytes() == payload
        assert b"".join(served) == payload[served_from:]
    else:
        assert perform_error(curl)[0] == code
    assert seeks == [(5, os.SEEK_SET)]


IOCTL_RESULTS = [
    # (id, result, success, printed text)
    ("none", None, True, None),
    ("ok", kelvex.IOE_OK, True, None),
    ("failrestart", kelvex.IOE_FAILRESTART, False, None),
    ("out-of-set", 7, False, "ioctl callback returned invalid value"),
    ("wrong-type", "0", False, None),
    ("value-error", ValueError("no rewind"), False, "ValueError: no rewind"),
]


@pytest.mark.parametrize("case", IOCTL_RESULTS, ids=[case[0] for case in IOCTL_RESULTS])
def test_ioctl_callable_results_when_rewinding(curl, http_server, c_stderr, case):
    _, result, success, printed = case
    payload = b"rewound"
    src = io.BytesIO(payload)
    commands = []

    def ioctl(cmd):
        commands.append(cmd)
        if isinstance(result, BaseException):
            raise result
        src.seek(0)
        return result

    out = _redirected_put(curl, http_server, payload, lambda n: src.read(n))
    with pytest.warns(DeprecationWarning, match="IOCTLFUNCTION is deprecated"):
        curl.setopt(kelvex.IOCTLFUNCTION, ioctl)
    try:
        curl.perform()
    except kelvex.error as exc:
        failure = exc.args
    else:
        failure = None
    if not commands:
        pytest.skip("this libcurl does not rewind through the ioctl callback")
    assert commands == [kelvex.IOCMD_RESTARTREAD]
    if success:
        assert failure is None
        assert echoed(out) == payload
    else:
        # libcurl names the value it was given.
        assert failure == (kelvex.E_SEND_FAIL_REWIND, "ioctl callback returned error 2")
    err = c_stderr()
    if printed is None:
        assert "Traceback" not in err and "ioctl callback" not in err
    else:
        assert printed in err


# ---------------------------------------------------------------------------
# Integer results of the socket callables
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "result, outcome, printed",
    [("ok", kelvex.error, "sockopt callback returned 'ok' which is not an integer\n"),
     ("caf\u00e9", kelvex.error, "sockopt callback returned 'caf\\xe9' which is not an integer\n"),
     # Refused instead of cut to 32 bits (2**32 would read as SOCKOPT_OK);
     # the error stays pending for perform.
     (2**32, OverflowError, None)],
    ids=["str", "non-ascii-repr", "beyond-int"],
)
def test_sockopt_result_that_is_not_an_integer(curl, http_server, perform_expect, result,
                                               outcome, printed):
    calls = []

    def sockopt(fd, purpose):
        calls.append(purpose)
        return result

    curl.setopt(kelvex.URL, body_url(http_server, 10))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.SOCKOPTFUNCTION, sockopt)
    curl.setopt(kelvex.FRESH_CONNECT, 1)
    perform_expect(curl, outcome, printed)
    assert calls == [kelvex.SOCKTYPE_IPCXN]


# ---------------------------------------------------------------------------
# TLS context from set_ca_certs
# ---------------------------------------------------------------------------


@pytest.fixture
def tls_curl(curl, https_server, tmp_path):
    # A CA file that does not hold the test CA: only set_ca_certs can add it.
    other_ca = tmp_path / "other-ca.pem"
    other_ca.write_bytes(make_ca().cert_pem.bytes())
    curl.setopt(kelvex.URL, f"{https_server.url}/range/16")
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.CAINFO, str(other_ca))
    curl.setopt(kelvex.CAPATH, None)
    curl.ca_file = str(other_ca)
    return curl


def test_without_ca_certs_the_test_server_is_not_trusted(tls_curl):
    code, _ = perform_error(tls_curl)
    assert code == kelvex.E_PEER_FAILED_VERIFICATION


@pytest.mark.parametrize(
    "make_pem",
    [
        lambda ca: ca,
        lambda ca: ca.decode("ascii"),
        lambda ca: ca + ca,
        lambda ca: make_ca().cert_pem.bytes() + ca,
        lambda ca: b"leading text is skipped\n" + ca,
    ],
    ids=["bytes", "ascii-str", "same-twice", "two-cas", "leading-text"],
)
def test_ca_certs_are_added_to_each_tls_context(tls_curl, https_server, make_pem):
    tls_curl.set_ca_certs(make_pem(https_server.ca_pem))
    tls_curl.perform()
    assert tls_curl.getinfo(kelvex.RESPONSE_CODE) == 200
    # A second connection gets a new TLS context and the same certificates.
    tls_curl.setopt(kelvex.FRESH_CONNECT, 1)
    tls_curl.perform()
    assert tls_curl.getinfo(kelvex.RESPONSE_CODE) == 200


def test_duplicate_handle_uses_its_own_ca_certs(tls_curl, https_server):
    tls_curl.set_ca_certs(https_server.ca_pem)
    copy = tls_curl.duphandle()
    try:
        copy.perform()
        assert copy.getinfo(kelvex.RESPONSE_CODE) == 200
    finally:
        copy.close()


@pytest.mark.parametrize(
    "link, other_sessions",
    [("multi", 0), ("multi", 1), ("share", 1)],
    ids=["multi-store", "multi-store-and-sessions", "shared-sessions"],
)
def test_ca_certs_of_one_handle_grant_no_trust_to_another(tls_curl, multi, https_server,
                                                          link, other_sessions):
    # Both handles name the same CA file, so in one multi libcurl would give
    # them one cached certificate store and one TLS session cache, and a
    # share would give them one session cache; none may carry the first
    # handle's extra certificates over to the second.
    other = kelvex.Curl()
    share = kelvex.CurlShare()
    try:
        other.setopt(kelvex.URL, f"{https_server.url}/range/16")
        other.setopt(kelvex.WRITEFUNCTION, lambda data: None)
        other.setopt(kelvex.CAINFO, tls_curl.ca_file)
        other.setopt(kelvex.CAPATH, None)
        other.setopt(kelvex.SSL_SESSIONID_CACHE, other_sessions)
        tls_curl.set_ca_certs(https_server.ca_pem)
        if link == "share":
            share.setopt(kelvex.SH_SHARE, kelvex.LOCK_DATA_SSL_SESSION)
            tls_curl.setopt(kelvex.SHARE, share)
            other.setopt(kelvex.SHARE, share)
        outcomes = []
        for handle in (tls_curl, other, tls_curl, other):
            handle.setopt(kelvex.FRESH_CONNECT, 1)
            if link == "share":
                try:
                    handle.perform()
                    outcomes.append(0)
                except kelvex.error as exc:
                    outcomes.append(exc.args[0])
                continue
            multi.add_handle(handle)
            drive(multi)
            _, ok, failed = multi.info_read()
            outcomes.append(0 if ok else failed[0][1])
            multi.remove_handle(handle)
        refused = kelvex.E_PEER_FAILED_VERIFICATION
        assert outcomes == [0, refused, 0, refused]
    finally:
        other.close()
        tls_curl.close()
        share.close()


@pytest.mark.parametrize(
    "pem, printed",
    [
        (b"", "ValueError: Empty certificate data"),
        (b"no certificate here\n", "no start line"),
        (b"-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n", "kelvex.error"),
    ],
    ids=["empty", "no-certificate", "broken-certificate"],
)
def test_unusable_ca_certs_fail_the_connection(tls_curl, perform_expect, pem, printed):
    tls_curl.set_ca_certs(pem)
    perform_expect(tls_curl, kelvex.E_FAILED_INIT, printed)


# ---------------------------------------------------------------------------
# Nothing is kept: many transfers with callbacks settle in memory
# ---------------------------------------------------------------------------


def test_callbacks_keep_nothing_across_thousands_of_transfers(http_server, https_server, c_stderr):
    payload = b"p" * 300

    def one_transfer(i):
        with kelvex.Curl() as c:
            sink = []
            kind = i % 4
            c.setopt(kelvex.URL, body_url(http_server, 512))
            c.setopt(kelvex.HEADERFUNCTION, lambda line: None, use_memoryview=True)
            if kind == 0:
                c.setopt(kelvex.WRITEFUNCTION, sink.append)
            elif kind == 1:
                c.setopt(kelvex.WRITEFUNCTION, lambda v: sink.append(bytes(v)),
                         use_memoryview=True)
            elif kind == 2:
                c.setopt(kelvex.WRITEFUNCTION, _raise(ValueError("dropped")))
            else:
                src = io.BytesIO(payload)
                put_echo(c, http_server, len(payload))
                c.setopt(kelvex.READFUNCTION, lambda n: src.read(n))
                c.setopt(kelvex.SEEKFUNCTION, lambda offset, origin: src.seek(offset) and None)
            if i % 50 == 0:
                c.setopt(kelvex.URL, f"{https_server.url}/range/64")
                c.set_ca_certs(https_server.ca_pem)
            try:
                c.perform()
            except kelvex.error:
                assert kind == 2
            c.getinfo(kelvex.EFFECTIVE_URL)
            c.getinfo(kelvex.INFO_COOKIELIST)

    def round_of(n, start):
        for i in range(start, start + n):
            one_transfer(i)
        c_stderr()  # drop the printed tracebacks
        collect_garbage()

    round_of(400, 0)  # warm-up: caches, connection pools, interned objects
    # One frame per trace: memory that the module allocates during a call
    # made from this file is charged to this file, while the loopback
    # servers' own churn in their threads is charged to their modules.
    # The collector runs only through collect_garbage() (another file; see
    # there), never on its own while the rounds run.
    here = [tracemalloc.Filter(True, __file__)]

    def ours():
        return sum(t.size for t in tracemalloc.take_snapshot().filter_traces(here).traces)

    tracemalloc.start(1)
    try:
        objects_before = settled(lambda: len(gc.get_objects()))
        traced_before = settled(lambda: tracemalloc.get_traced_memory()[0])
        ours_before = settled(ours)
        rss_before = rss_bytes()
        gc.disable()
        try:
            for r in range(3):
                round_of(600, 400 + r * 600)
        finally:
            gc.enable()
        objects_after = settled(lambda: len(gc.get_objects()))
        traced_after = settled(lambda: tracemalloc.get_traced_memory()[0])
        ours_after = settled(ours)
        rss_after = rss_bytes()
    finally:
        tracemalloc.stop()
    ours_grown = ours_after - ours_before

    # 1800 transfers: one leaked object or a few dozen leaked bytes per
    # transfer would exceed these bounds.
    figures = (f"objects +{objects_after - objects_before}, module +{ours_grown} B, "
               f"traced +{traced_after - traced_before} B, rss +{rss_after - rss_before} B")
    assert objects_after - objects_before < 600, figures
    assert ours_grown < 16 * 1024, figures
    assert traced_after - traced_before < 1024 * 1024, figures
    if not sanitized():  # the sanitizer's quarantine holds freed memory
        assert rss_after - rss_before < 16 * 1024 * 1024, figures
