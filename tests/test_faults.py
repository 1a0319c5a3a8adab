"""Servers that misbehave: every fault reaches Python as kelvex.error (or as
a failure in info_read) with libcurl's code and message, nothing hangs, and
every byte delivered before the fault reached the write callable intact and
in order.

Each server is a short script on a raw loopback socket (conftest's
raw_server) that records what it sent, so that the bytes the callable got
can be compared with them. Every case runs in the easy style (perform) and
in the multi style (CurlMulti perform/select/info_read).
"""

import base64
import gzip
import hashlib
import os
import select
import socket
import ssl
import struct
import threading
import time

import pytest

import kelvex
from conftest import run_to_end
from loopback_servers import OpensslCA, read_request

# A bound on every transfer of this file, whatever the case: a fault that
# made a transfer hang fails as a timeout instead of hanging the suite.
SAFETY_MS = 15_000


def send_quietly(sock, data):
    """sendall that tolerates a client which has already given up."""
    try:
        sock.sendall(data)
        return True
    except OSError:
        return False


def drain(sock, seconds=5.0):
    """Waits (bounded) for the client to hang up."""
    sock.settimeout(seconds)
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


def reset(sock):
    """Closes with an RST instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


class Case:
    """A scripted server and what the client must see.

    ``serve(sock, sent)`` talks to one connection and appends to ``sent``
    the body bytes (as the client's callable must see them) it delivered
    before the fault. ``options`` are set on the handle; ``codes`` are the
    libcurl errors allowed; ``exact`` says the callable must have got all of
    ``sent`` (the server paused before its fault so that nothing was in
    flight), otherwise a prefix of it."""

    def __init__(self, serve, codes, options=(), exact=True, words=()):
        self.serve = serve
        self.codes = codes
        self.options = options
        self.exact = exact
        self.words = words


BODY = bytes(range(256)) * 200  # 51200 bytes, every byte value


def serve_reset_mid_body(sock, sent):
    read_request(sock)
    head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (len(BODY) * 4)
    sock.sendall(head + BODY)
    sent.append(BODY)
    time.sleep(0.3)
    reset(sock)


def serve_truncated_chunked(sock, sent):
    read_request(sock)
    sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    for size in (1, 1000, 30000):
        piece = BODY[:size]
        sock.sendall(b"%x\r\n" % size + piece + b"\r\n")
        sent.append(piece)
    # A chunk announced as 0x8000 bytes, cut after 100, then end of stream.
    sock.sendall(b"8000\r\n" + BODY[:100])
    sent.append(BODY[:100])
    time.sleep(0.3)


def serve_bad_chunk_size(sock, sent):
    read_request(sock)
    sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    sock.sendall(b"10\r\n" + BODY[:16] + b"\r\n")
    sent.append(BODY[:16])
    time.sleep(0.3)
    sock.sendall(b"zz-not-hex\r\nxxxx\r\n")
    drain(sock)


def serve_garbage_status(sock, sent):
    read_request(sock)
    sock.sendall(b"\x00\xffGARBAGE 200 \x07\r\nX: y\r\n\r\nbody")
    drain(sock)


def serve_huge_header_block(sock, sent):
    read_request(sock)
    send_quietly(sock, b"HTTP/1.1 200 OK\r\n")
    line = b"X-Filler: " + b"f" * 1000 + b"\r\n"
    for _ in range(4 * 1024):  # about 4 MiB of headers
        if not send_quietly(sock, line):
            return
    send_quietly(sock, b"Content-Length: 2\r\n\r\nok")
    drain(sock)


def serve_huge_header_line(sock, sent):
    read_request(sock)
    if send_quietly(sock, b"HTTP/1.1 200 OK\r\nX-Long: "):
        send_quietly(sock, b"L" * (3 * 1024 * 1024))
    drain(sock)


def serve_silence(sock, sent):
    read_request(sock)
    drain(sock, 10)


def serve_stall_mid_body(sock, sent):
    read_request(sock)
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + BODY[:50])
    sent.append(BODY[:50])
    drain(sock, 10)


def serve_redirect_loop(sock, sent):
    while read_request(sock):
        if not send_quietly(sock, b"HTTP/1.1 302 Found\r\nLocation: /again\r\n"
                                  b"Content-Length: 0\r\n\r\n"):
            return


# libcurl 8.6's code for a header line past its limit; the module names
# only the codes of its own constant table.
CURLE_TOO_LARGE = 100

BOMB_PLAIN = 64 * 1024 * 1024  # zeros, about 64 KiB once compressed
BOMB = gzip.compress(b"\0" * BOMB_PLAIN, 9)
BOMB_LIMIT = 1024 * 1024


def serve_bomb(sock, sent):
    read_request(sock)
    # No length: the size is known only while the body arrives.
    head = b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n"
    sent.append(b"\0" * BOMB_PLAIN)  # before the client can see any of it
    if send_quietly(sock, head):
        send_quietly(sock, BOMB)


def serve_declared_too_big(sock, sent):
    read_request(sock)
    send_quietly(sock, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (BOMB_LIMIT * 2))
    drain(sock)


HTTP_CASES = {
    "reset-mid-body": Case(serve_reset_mid_body, {kelvex.E_RECV_ERROR}, words=("reset",)),
    "truncated-chunked": Case(serve_truncated_chunked, {kelvex.E_PARTIAL_FILE}),
    "bad-chunk-size": Case(serve_bad_chunk_size, {kelvex.E_RECV_ERROR}, words=("chunk",)),
    "garbage-status-line": Case(serve_garbage_status,
                                {kelvex.E_UNSUPPORTED_PROTOCOL, kelvex.E_FTP_WEIRD_SERVER_REPLY}),
    "header-block-of-mebibytes": Case(serve_huge_header_block, {kelvex.E_RECV_ERROR},
                                      words=("header",)),
    "header-line-of-mebibytes": Case(serve_huge_header_line,
                                     {kelvex.E_RECV_ERROR, CURLE_TOO_LARGE}),
    "never-answers": Case(serve_silence, {kelvex.E_OPERATION_TIMEDOUT},
                          [(kelvex.TIMEOUT_MS, 400)], words=("timed out",)),
    "stalls-below-low-speed": Case(serve_stall_mid_body, {kelvex.E_OPERATION_TIMEDOUT},
                                   [(kelvex.LOW_SPEED_LIMIT, 100), (kelvex.LOW_SPEED_TIME, 1)]),
    "redirect-loop": Case(serve_redirect_loop, {kelvex.E_TOO_MANY_REDIRECTS},
                          [(kelvex.FOLLOWLOCATION, 1), (kelvex.MAXREDIRS, 5)],
                          words=("redirect",)),
    "compression-bomb": Case(serve_bomb, {kelvex.E_FILESIZE_EXCEEDED},
                             [(kelvex.ACCEPT_ENCODING, ""), (kelvex.MAXFILESIZE, BOMB_LIMIT)],
                             exact=False),
    "declared-too-big": Case(serve_declared_too_big, {kelvex.E_FILESIZE_EXCEEDED},
                             [(kelvex.MAXFILESIZE, BOMB_LIMIT)]),
}

STYLES = ["easy", "multi"]


def prepare(url, options):
    c = kelvex.Curl()
    got = []
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.TIMEOUT_MS, SAFETY_MS)
    c.setopt(kelvex.CONNECTTIMEOUT_MS, SAFETY_MS)
    c.setopt(kelvex.WRITEFUNCTION, got.append)
    for option, value in options:
        c.setopt(option, value)
    return c, got


def fail(c, style):
    """Runs the transfer, which must fail, and returns (code, message)."""
    start = time.monotonic()
    if style == "easy":
        with pytest.raises(kelvex.error) as info:
            c.perform()
        code, message = info.value.args
    else:
        m = kelvex.CurlMulti()
        m.add_handle(c)
        run_to_end(m, deadline=SAFETY_MS / 1000 + 10)
        queued, ok, failed = m.info_read()
        assert (queued, ok) == (0, [])
        [(handle, code, message)] = failed
        assert handle is c
        m.remove_handle(c)
        m.close()
    assert time.monotonic() - start < SAFETY_MS / 1000, "the safety timeout fired"
    assert isinstance(message, str)
    if style == "easy":
        assert message  # the error buffer, or libcurl's text for the code
    else:
        assert message == c.errstr()  # the error buffer, empty or not
    return code, message


def check(case, style, url, sent):
    c, got = prepare(url, case.options)
    code, message = fail(c, style)
    assert code in case.codes, (code, message)
    for word in case.words:
        assert word in message.lower(), message
    delivered = b"".join(got)
    expected = b"".join(sent)
    if case.exact:
        assert delivered == expected, (len(delivered), len(expected))
    else:
        assert expected.startswith(delivered), len(delivered)
    # The handle is still good for the next transfer.
    c.close()


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("name", list(HTTP_CASES))
def test_http_server_faults(raw_server, name, style):
    case = HTTP_CASES[name]
    sent = []
    port = raw_server(lambda sock: case.serve(sock, sent))
    check(case, style, f"http://127.0.0.1:{port}/x", sent)


def test_compression_bomb_stops_near_the_limit(raw_server):
    """What MAXFILESIZE bounds is what reaches the callable, decoded."""
    sent = []
    port = raw_server(lambda sock: serve_bomb(sock, sent))
    c, got = prepare(f"http://127.0.0.1:{port}/",
                     [(kelvex.ACCEPT_ENCODING, "gzip"), (kelvex.MAXFILESIZE, BOMB_LIMIT)])
    code, _ = fail(c, "easy")
    assert code == kelvex.E_FILESIZE_EXCEEDED
    delivered = sum(map(len, got))
    assert delivered <= BOMB_LIMIT + 256 * 1024, delivered
    c.close()


# ---------------------------------------------------------------------------
# TLS: a certificate for the wrong name, an expired one, an unknown CA
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tls_material():
    trusted, unknown = OpensslCA(), OpensslCA()
    return {
        "trusted": trusted.cert_pem.bytes(),
        "wrong-name": trusted.issue_cert("wrong.name.invalid"),
        "expired": trusted.issue_cert("127.0.0.1", not_before="20200101000000Z",
                                      not_after="20210101000000Z"),
        "unknown-ca": unknown.issue_cert("127.0.0.1"),
    }


def tls_server(leaf, sent):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    leaf.configure_cert(context)

    def serve(sock):
        try:
            with context.wrap_socket(sock, server_side=True) as tls:
                read_request(tls)
                tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nno")
        except (ssl.SSLError, OSError):
            pass  # the client refused the certificate, as it must

    return serve


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("name", ["wrong-name", "expired", "unknown-ca"])
def test_tls_refused_certificates(raw_server, tls_material, name, style):
    sent = []
    port = raw_server(tls_server(tls_material[name], sent))
    case = Case(None, {kelvex.E_PEER_FAILED_VERIFICATION},
                [(kelvex.CAINFO_BLOB, tls_material["trusted"])])
    check(case, style, f"https://127.0.0.1:{port}/", sent)


# ---------------------------------------------------------------------------
# WebSocket: a peer that sends a malformed frame
# ---------------------------------------------------------------------------

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC11B65"


def ws_handshake(sock):
    head = read_request(sock)
    key = next(line.split(b":", 1)[1].strip() for line in head.split(b"\r\n")
               if line.lower().startswith(b"sec-websocket-key:"))
    accept = base64.b64encode(hashlib.sha1(key + WS_GUID).digest())
    sock.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")


def ws_frame(opcode, payload, first=0x80):
    assert len(payload) < 126
    return bytes([first | opcode, len(payload)]) + payload


BAD_FRAMES = {
    "reserved-opcode": ws_frame(0x3, b"xx"),
    "reserved-bits": ws_frame(0x1, b"xx", first=0x80 | 0x40),
    "oversized-control": bytes([0x89, 126, 0, 200]) + b"p" * 200,
    "masked-by-server": bytes([0x81, 0x82, 1, 2, 3, 4, ord("x") ^ 1, ord("x") ^ 2]),
}


def ws_bad_peer(bad, sent):
    def serve(sock):
        ws_handshake(sock)
        good = ws_frame(0x2, b"good bytes before the fault")
        sock.sendall(good)
        sent.append(b"good bytes before the fault")
        time.sleep(0.3)
        send_quietly(sock, bad)
        drain(sock)

    return serve


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("frame", list(BAD_FRAMES))
def test_websocket_malformed_frame(raw_server, frame, style):
    sent = []
    port = raw_server(ws_bad_peer(BAD_FRAMES[frame], sent))
    case = Case(None, {kelvex.E_RECV_ERROR})
    check(case, style, f"ws://127.0.0.1:{port}/", sent)


def test_websocket_malformed_frame_detached(raw_server):
    """The same through ws_recv on a CONNECT_ONLY connection."""
    sent = []
    port = raw_server(ws_bad_peer(BAD_FRAMES["reserved-opcode"], sent))
    with kelvex.Curl() as c:
        c.setopt(kelvex.URL, f"ws://127.0.0.1:{port}/")
        c.setopt(kelvex.CONNECT_ONLY, 2)
        c.perform()
        got = b""
        end = time.monotonic() + 10
        with pytest.raises(kelvex.error) as info:
            while time.monotonic() < end:
                try:
                    data, meta = c.ws_recv(1024)
                    got += data
                except BlockingIOError:
                    select.select([c.getinfo(kelvex.ACTIVESOCKET)], [], [], 0.5)
        assert info.value.args[0] == kelvex.E_RECV_ERROR
        assert got == b"".join(sent)


# ---------------------------------------------------------------------------
# FTP: a server that drops the data connection part way
# ---------------------------------------------------------------------------


def ftp_dropping_data(sent, size):
    """A scripted FTP server whose RETR data connection closes after a
    third of the announced size."""

    def serve(sock):
        f = sock.makefile("rb")
        sock.sendall(b"220 hostile ftp\r\n")
        data_listener = None
        try:
            for raw in f:
                command = raw.decode().strip().split(" ", 1)[0].upper()
                if command == "USER":
                    sock.sendall(b"331 password please\r\n")
                elif command == "PASS":
                    sock.sendall(b"230 in\r\n")
                elif command == "PWD":
                    sock.sendall(b'257 "/"\r\n')
                elif command == "EPSV":
                    data_listener = socket.create_server(("127.0.0.1", 0))
                    port = data_listener.getsockname()[1]
                    sock.sendall(b"229 Entering Extended Passive Mode (|||%d|)\r\n" % port)
                elif command == "TYPE":
                    sock.sendall(b"200 binary\r\n")
                elif command == "SIZE":
                    sock.sendall(b"213 %d\r\n" % size)
                elif command == "RETR":
                    data_listener.settimeout(10)
                    conn, _ = data_listener.accept()
                    sock.sendall(b"150 Opening BINARY data connection (%d bytes)\r\n" % size)
                    part = BODY[: size // 3]
                    conn.sendall(part)
                    sent.append(part)
                    time.sleep(0.3)
                    conn.close()
                    sock.sendall(b"426 Connection closed; transfer aborted\r\n")
                elif command == "QUIT":
                    sock.sendall(b"221 bye\r\n")
                    return
                else:
                    sock.sendall(b"502 no\r\n")
        except OSError:
            pass
        finally:
            if data_listener is not None:
                data_listener.close()

    return serve


@pytest.mark.parametrize("style", STYLES)
def test_ftp_drops_data_connection(raw_server, style):
    sent = []
    port = raw_server(ftp_dropping_data(sent, 30000))
    case = Case(None, {kelvex.E_PARTIAL_FILE, kelvex.E_FTP_COULDNT_RETR_FILE, kelvex.E_RECV_ERROR})
    check(case, style, f"ftp://127.0.0.1:{port}/file.bin", sent)


# ---------------------------------------------------------------------------
# Many faults at once on one multi handle
# ---------------------------------------------------------------------------


def test_every_fault_at_once_on_one_multi(raw_server):
    """All the HTTP cases side by side on one CurlMulti: each handle gets
    its own error, and the transfers that did not fail are untouched."""
    handles = {}
    m = kelvex.CurlMulti()
    for name, case in HTTP_CASES.items():
        sent = []
        port = raw_server(lambda sock, case=case, sent=sent: case.serve(sock, sent))
        c, got = prepare(f"http://127.0.0.1:{port}/", case.options)
        handles[c] = (name, case, sent, got)
        m.add_handle(c)
    run_to_end(m, deadline=SAFETY_MS / 1000 + 10)
    queued, ok, failed = m.info_read()
    assert ok == []
    assert sorted(id(c) for c, _, _ in failed) == sorted(map(id, handles))
    for c, code, message in failed:
        name, case, sent, got = handles[c]
        assert code in case.codes, (name, code, message)
        assert message == c.errstr()
        delivered, expected = b"".join(got), b"".join(sent)
        assert expected.startswith(delivered), name
        if case.exact:
            assert delivered == expected, name
        m.remove_handle(c)
        c.close()
    m.close()


# ---------------------------------------------------------------------------
# The long form: every case over and over (make stress)
# ---------------------------------------------------------------------------

STRESS_SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "0") or 0)


@pytest.mark.skipif(not STRESS_SECONDS, reason="the long form runs under make stress")
def test_faults_long(raw_server, stress_report):
    """The HTTP and WebSocket cases in both styles, round after round, for
    the set time (the slow timeout cases once per round)."""
    tried = 0
    rounds = 0
    end = time.monotonic() + STRESS_SECONDS
    while time.monotonic() < end and rounds < 10_000:
        rounds += 1
        for style in STYLES:
            for name, case in HTTP_CASES.items():
                sent = []
                port = raw_server(lambda sock, case=case, sent=sent: case.serve(sock, sent))
                check(case, style, f"http://127.0.0.1:{port}/x", sent)
                tried += 1
            for frame in BAD_FRAMES.values():
                sent = []
                port = raw_server(ws_bad_peer(frame, sent))
                check(Case(None, {kelvex.E_RECV_ERROR}), style, f"ws://127.0.0.1:{port}/", sent)
                tried += 1
    plural = "s" if rounds != 1 else ""
    stress_report(f"faults: {tried} hostile-server faults tried in {rounds} round{plural} "
                  f"({len(HTTP_CASES) + len(BAD_FRAMES)} cases x {len(STYLES)} styles), "
                  "each reaching Python with its code and every byte before it intact")
