"""Curl.header and Curl.headers: the response headers libcurl parsed,
with repeats, origins and every request of a redirect chain, against a raw
socket server that writes exactly the header bytes the tests look for."""

import threading

import pytest

import kelvex
from loopback_servers import read_request

# Response heads by request path; bodies are "ok".
RESPONSES = {
    "/start": (b"HTTP/1.1 302 Found\r\nLocation: /end\r\nX-Hop: first\r\n"
               b"Set-Cookie: a=1\r\nContent-Length: 0\r\n\r\n"),
    "/end": (b"HTTP/1.1 200 OK\r\nX-Hop: second\r\nx-multi: one\r\nX-Other: between\r\n"
             b"X-MULTI: two\r\nX-Latin: caf\xe9\r\nContent-Length: 2\r\n\r\nok"),
    "/early": (b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
               b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
    "/trailer": (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n"
                 b"2\r\nok\r\n0\r\nX-Sum: 42\r\n\r\n"),
}


def serve(sock):
    """Answers requests on one connection until the client goes; a CONNECT
    is answered as a proxy would, and the tunnel then carries requests."""
    while True:
        head = read_request(sock)
        if not head:
            return
        method, target = head.split(b" ", 2)[:2]
        if method == b"CONNECT":
            sock.sendall(b"HTTP/1.1 200 Tunnel established\r\nX-Proxy: yes\r\n\r\n")
            continue
        path = target.decode()
        if "://" in path:
            path = "/" + path.split("/", 3)[3]
        sock.sendall(RESPONSES[path])


@pytest.fixture
def server(raw_server):
    return f"http://127.0.0.1:{raw_server(serve)}"


def fetch(c, url, **options):
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    for name, value in options.items():
        c.setopt(getattr(kelvex, name), value)
    c.perform()


def test_one_value_by_name_any_case_and_index(curl, server):
    fetch(curl, server + "/end")
    assert curl.header("x-hop") == "second"
    assert curl.header("X-Multi") == "one"
    assert curl.header("x-multi", 1) == "two"
    assert curl.header("X-LATIN") == "caf\xe9"
    with pytest.raises(KeyError):
        curl.header("X-Absent")
    with pytest.raises(IndexError):
        curl.header("X-Multi", 2)


def test_all_headers_keep_order_repeats_and_origin(curl, server):
    fetch(curl, server + "/end")
    headers = curl.headers()
    assert [(h.name, h.value) for h in headers] == [
        ("X-Hop", "second"), ("x-multi", "one"), ("X-Other", "between"),
        ("X-MULTI", "two"), ("X-Latin", "caf\xe9"), ("Content-Length", "2")]
    assert {(h.origin, h.request) for h in headers} == {(kelvex.H_HEADER, 0)}
    assert isinstance(headers[0], kelvex.CurlHeader)


def test_redirect_chain_last_response_by_default_and_every_one_on_request(curl, server):
    fetch(curl, server + "/start", FOLLOWLOCATION=1)
    assert curl.header("X-Hop") == "second"
    assert curl.header("X-Hop", request=0) == "first"
    with pytest.raises(KeyError):
        curl.header("Set-Cookie")
    assert curl.header("Set-Cookie", request=0) == "a=1"
    chain = [(h.request, h.name, h.value) for h in curl.headers(request=None)
             if h.name == "X-Hop"]
    assert chain == [(0, "X-Hop", "first"), (1, "X-Hop", "second")]
    assert [h.request for h in curl.headers()] == [1] * 6
    assert [h.value for h in curl.headers(request=0) if h.name == "Location"] == ["/end"]
    for request in (2, -2):
        with pytest.raises(IndexError, match="request out of range"):
            curl.headers(request=request)
        with pytest.raises(IndexError, match="request out of range"):
            curl.header("X-Hop", request=request)


@pytest.mark.parametrize("path, origin, name, value", [
    ("/early", kelvex.H_1XX, "Link", "</style.css>; rel=preload"),
    ("/trailer", kelvex.H_TRAILER, "X-Sum", "42"),
])
def test_informational_responses_and_trailers_by_origin(curl, server, path, origin, name, value):
    fetch(curl, server + path)
    with pytest.raises(KeyError):
        curl.header(name)
    assert curl.header(name, origin=origin) == value
    both = curl.headers(origin=origin | kelvex.H_HEADER)
    assert (name, value, origin) in [(h.name, h.value, h.origin) for h in both]


def test_connect_response_of_a_tunnel(curl, raw_server):
    proxy = raw_server(serve)
    fetch(curl, "http://origin.invalid/end", PROXY=f"http://127.0.0.1:{proxy}",
          HTTPPROXYTUNNEL=1)
    assert curl.header("X-Proxy", origin=kelvex.H_CONNECT) == "yes"
    assert curl.header("X-Hop") == "second"
    assert "X-Proxy" not in [h.name for h in curl.headers()]


def test_inside_the_write_callable_headers_of_the_response_are_there(curl, server):
    seen = []
    curl.setopt(kelvex.URL, server + "/end")
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: seen.append(curl.header("X-Other")))
    curl.perform()
    assert seen == ["between"]


def test_before_any_transfer_and_bad_arguments(curl):
    assert curl.headers() == [] and curl.headers(request=None) == []
    with pytest.raises(KeyError):
        curl.header("Anything")
    for bad in (0, 1 << 10):
        with pytest.raises(ValueError, match="H_"):
            curl.headers(origin=bad)
        with pytest.raises(ValueError, match="H_"):
            curl.header("X", origin=bad)
    with pytest.raises(IndexError):
        curl.header("X", -1)
    with pytest.raises(TypeError):
        curl.header(b"X")


@pytest.mark.timeout(60)
@pytest.mark.parametrize("request_number", [0, 3, 2**31 - 1])
def test_any_request_of_a_handle_without_headers_has_none(curl, request_number):
    assert curl.headers(request=request_number) == []
    assert curl.headers(kelvex.H_HEADER | kelvex.H_TRAILER, request_number) == []
    with pytest.raises(KeyError):
        curl.header("X", 0, kelvex.H_HEADER, request_number)


def test_closed_handle_and_other_threads_transfer_are_refused(curl, server):
    other = kelvex.Curl()
    other.close()
    with pytest.raises(kelvex.error, match="no curl handle"):
        other.headers()
    errors = []
    started = threading.Event()

    def write(data):
        started.set()
        thread = threading.Thread(target=lambda: errors.append(_try(curl.headers)))
        thread.start()
        thread.join()

    curl.setopt(kelvex.URL, server + "/end")
    curl.setopt(kelvex.WRITEFUNCTION, write)
    curl.perform()
    assert started.is_set()
    assert len(errors) == 1 and "currently running" in str(errors[0])


def _try(call):
    try:
        call()
    except kelvex.error as exc:
        return exc
    return None
