"""HTTP/2 and HTTP/3 against Debian's nginx on loopback, name and address
overrides (RESOLVE, CONNECT_TO) and HTTP over a Unix socket."""

import io
import os
import time
import uuid

import pytest

import kelvex
from conftest import perform_error, run_to_end


def _get(certs, url, **options):
    """One GET; returns (status, the version libcurl used, body, handle
    info dict)."""
    c = kelvex.Curl()
    try:
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.CAINFO, certs.ca_path)
        for name, value in options.items():
            c.setopt(getattr(kelvex, name), value)
        body = c.perform_rb()
        return (c.getinfo(kelvex.RESPONSE_CODE), c.getinfo(kelvex.INFO_HTTP_VERSION), body,
                {"primary_port": c.getinfo(kelvex.PRIMARY_PORT)})
    finally:
        c.close()


def _tag():
    return uuid.uuid4().hex


def _log_for(nginx, tag, deadline=10.0, count=1):
    """The access-log lines of requests whose URI carries ``tag``, once there
    are ``count`` of them (nginx writes a line once the response is sent,
    which may trail the client's end of the transfer by a moment)."""
    end = time.monotonic() + deadline
    while True:
        lines = [f for f in nginx.access_log() if tag in f[3]]
        if len(lines) >= count or time.monotonic() > end:
            return lines
        time.sleep(0.02)


# (scheme, HTTP_VERSION asked for, version libcurl reports, protocol nginx saw)
VERSIONS = [
    # An HTTP/1.0 request gets nginx's HTTP/1.1 status line, and libcurl
    # reports the version of the response.
    ("https", kelvex.CURL_HTTP_VERSION_1_0, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.0"),
    ("https", kelvex.CURL_HTTP_VERSION_1_1, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    ("https", None, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),  # ALPN h2 by default
    ("https", kelvex.CURL_HTTP_VERSION_2_0, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
    ("https", kelvex.CURL_HTTP_VERSION_2TLS, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
    ("https", kelvex.CURL_HTTP_VERSION_3ONLY, kelvex.CURL_HTTP_VERSION_3, "HTTP/3.0"),
    ("http", None, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    # nginx does not take the Upgrade: h2c offer, so the answer stays 1.1.
    ("http", kelvex.CURL_HTTP_VERSION_2_0, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    ("http", kelvex.CURL_HTTP_VERSION_2TLS, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    ("http", kelvex.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
]


@pytest.mark.parametrize("scheme, asked, used, seen", VERSIONS,
                         ids=[f"{v[0]}-{v[3]}-asked-{v[1]}" for v in VERSIONS])
def test_http_version_is_negotiated_and_read_back(nginx, protocol_certs, scheme, asked, used, seen):
    tag = _tag()
    options = {} if asked is None else {"HTTP_VERSION": asked}
    status, version, body, _ = _get(protocol_certs, nginx.url(f"/protocol?{tag}", scheme),
                                    **options)
    assert (status, version) == (200, used)
    assert body == f"{seen} {scheme} 127.0.0.1\n".encode()
    assert [f[1] for f in _log_for(nginx, tag)] == [seen]


def test_http3_only_fails_cleanly_without_a_quic_listener(nginx, protocol_certs):
    # The cleartext port has no UDP listener: the kernel answers QUIC's first
    # packet with "port unreachable", and the connection is refused.
    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"https://127.0.0.1:{nginx.h2c_port}/1k")
    c.setopt(kelvex.CAINFO, protocol_certs.ca_path)
    c.setopt(kelvex.HTTP_VERSION, kelvex.CURL_HTTP_VERSION_3ONLY)
    c.setopt(kelvex.CONNECTTIMEOUT_MS, 3000)
    code, _ = perform_error(c)
    c.close()
    assert code == kelvex.E_COULDNT_CONNECT


@pytest.mark.parametrize("scheme, version, used, seen", [
    ("https", kelvex.CURL_HTTP_VERSION_2TLS, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
    ("http", kelvex.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
    ("https", kelvex.CURL_HTTP_VERSION_3ONLY, kelvex.CURL_HTTP_VERSION_3, "HTTP/3.0"),
], ids=["h2-tls-alpn", "h2-cleartext-prior-knowledge", "h3"])
def test_hundred_transfers_share_one_connection(nginx, protocol_certs, scheme, version, used, seen):
    """PIPEWAIT makes every transfer wait for the first connection to say it
    multiplexes instead of opening its own; the server's log shows all the
    requests arriving on one connection, as streams."""
    count = 100
    tag = _tag()
    multi = kelvex.CurlMulti()
    multi.setopt(kelvex.M_PIPELINING, kelvex.PIPE_MULTIPLEX)
    multi.setopt(kelvex.M_MAX_CONCURRENT_STREAMS, count)
    bodies = [[] for _ in range(count)]
    handles = []
    for i in range(count):
        c = kelvex.Curl()
        c.setopt(kelvex.URL, nginx.url(f"/1k?{tag}-{i}", scheme))
        c.setopt(kelvex.CAINFO, protocol_certs.ca_path)
        c.setopt(kelvex.HTTP_VERSION, version)
        c.setopt(kelvex.PIPEWAIT, 1)
        c.setopt(kelvex.WRITEFUNCTION, bodies[i].append)
        multi.add_handle(c)
        handles.append(c)
    try:
        run_to_end(multi, deadline=60)
        _, ok, failed = multi.info_read(count)
        assert failed == []
        assert len(ok) == count
        for c in handles:
            assert c.getinfo(kelvex.RESPONSE_CODE) == 200
            assert c.getinfo(kelvex.INFO_HTTP_VERSION) == used
        assert sum(c.getinfo(kelvex.NUM_CONNECTS) for c in handles) == 1
        assert all(b"".join(b) == nginx.ONE_K for b in bodies)
    finally:
        for c in handles:
            multi.remove_handle(c)
            c.close()
        multi.close()
    lines = _log_for(nginx, tag)
    end = time.monotonic() + 10
    while len(lines) < count and time.monotonic() < end:
        time.sleep(0.05)
        lines = _log_for(nginx, tag)
    assert sorted(f[3] for f in lines) == sorted(f"/1k?{tag}-{i}" for i in range(count))
    assert {f[1] for f in lines} == {seen}
    # One client port: one TCP connection, or one QUIC connection's UDP socket.
    assert len({f[7] for f in lines}) == 1, "requests came from more than one client port"
    if seen == "HTTP/2.0":
        assert len({f[0] for f in lines}) == 1, "requests came on more than one connection"


@pytest.mark.parametrize("pipewait, connections", [(None, 1), (0, None)],
                         ids=["default-waits", "caller-chose-not-to"])
def test_aio_transfers_to_one_http2_origin_share_a_connection(nginx, protocol_certs,
                                                               pipewait, connections):
    """kelvex.aio's transfers wait for a connection that multiplexes, unless
    the caller set PIPEWAIT itself."""
    import asyncio

    import kelvex.aio

    count = 20
    tag = _tag()
    handles = []
    for i in range(count):
        c = kelvex.Curl()
        c.setopt(kelvex.URL, nginx.url(f"/1k?{tag}-{i}", "https"))
        c.setopt(kelvex.CAINFO, protocol_certs.ca_path)
        if pipewait is not None:
            c.setopt(kelvex.PIPEWAIT, pipewait)
        handles.append(c)

    async def main():
        async with kelvex.aio.Multi() as multi:
            return await asyncio.gather(*(multi.perform_rb(c) for c in handles))

    try:
        assert asyncio.run(main()) == [nginx.ONE_K] * count
        assert {c.getinfo(kelvex.INFO_HTTP_VERSION) for c in handles} == {
            kelvex.CURL_HTTP_VERSION_2_0}
        opened = sum(c.getinfo(kelvex.NUM_CONNECTS) for c in handles)
        if connections is not None:
            assert opened == connections
        else:
            assert opened > 1  # each started its own: the caller's choice stands
    finally:
        for c in handles:
            c.close()


def _reader(data):
    stream = io.BytesIO(data)
    return lambda size: stream.read(size)


@pytest.mark.parametrize("scheme, version, seen", [
    ("https", kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    ("https", kelvex.CURL_HTTP_VERSION_2TLS, "HTTP/2.0"),
    ("http", kelvex.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE, "HTTP/2.0"),
    ("https", kelvex.CURL_HTTP_VERSION_3ONLY, "HTTP/3.0"),
], ids=["http1.1", "h2", "h2c", "h3"])
@pytest.mark.parametrize("size_known", [True, False], ids=["sized", "streamed"])
def test_upload_then_download_round_trips(nginx, protocol_certs, scheme, version, seen, size_known):
    """A PUT from a read callable, stored by nginx's WebDAV module, then read
    back over the same protocol: the bytes come back unchanged."""
    data = os.urandom(300_000)
    tag = _tag()
    url = nginx.url(f"/dav/{tag}.bin", scheme)
    c = kelvex.Curl()
    try:
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.CAINFO, protocol_certs.ca_path)
        c.setopt(kelvex.HTTP_VERSION, version)
        c.setopt(kelvex.UPLOAD, 1)
        c.setopt(kelvex.READFUNCTION, _reader(data))
        if size_known:
            c.setopt(kelvex.INFILESIZE, len(data))
        c.perform_rb()
        assert c.getinfo(kelvex.RESPONSE_CODE) == 201
        if size_known:
            # (Streamed over HTTP/1.1 the count includes the chunk framing.)
            assert c.getinfo(kelvex.SIZE_UPLOAD_T) == len(data)
        c.reset()
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.CAINFO, protocol_certs.ca_path)
        c.setopt(kelvex.HTTP_VERSION, version)
        assert c.perform_rb() == data
        assert c.getinfo(kelvex.RESPONSE_CODE) == 200
    finally:
        c.close()
    assert [(f[1], f[2], f[4]) for f in _log_for(nginx, tag, count=2)] == [
        (seen, "PUT", "201"), (seen, "GET", "200")]


@pytest.mark.parametrize("version, used_version, seen", [
    (kelvex.CURL_HTTP_VERSION_1_1, kelvex.CURL_HTTP_VERSION_1_1, "HTTP/1.1"),
    (kelvex.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE, kelvex.CURL_HTTP_VERSION_2_0, "HTTP/2.0"),
], ids=["http1.1", "h2c"])
def test_unix_socket_path_carries_the_request(nginx, protocol_certs, version, used_version, seen):
    """The URL's host names the Host header only; the connection goes to
    the socket file."""
    tag = _tag()
    status, used, body, _ = _get(protocol_certs, f"http://unix.test/protocol?{tag}",
                                 UNIX_SOCKET_PATH=nginx.unix_path, HTTP_VERSION=version)
    assert (status, used) == (200, used_version)
    assert body == f"{seen} http unix.test\n".encode()
    assert [f[1] for f in _log_for(nginx, tag)] == [seen]


def test_unix_socket_path_to_a_missing_file_fails_to_connect(nginx, tmp_path, curl):
    curl.setopt(kelvex.URL, "http://unix.test/")
    curl.setopt(kelvex.UNIX_SOCKET_PATH, str(tmp_path / "nothing.sock"))
    assert perform_error(curl)[0] == kelvex.E_COULDNT_CONNECT


@pytest.mark.parametrize("version", [kelvex.CURL_HTTP_VERSION_2TLS,
                                     kelvex.CURL_HTTP_VERSION_3ONLY], ids=["h2", "h3"])
def test_resolve_gives_a_name_its_address(nginx, protocol_certs, version):
    """RESOLVE fills the DNS cache with origin.test; the certificate is
    checked against that name, and the Host header carries it."""
    port = nginx.tls_port
    status, _, body, _ = _get(protocol_certs, f"https://origin.test:{port}/protocol",
                              RESOLVE=[f"origin.test:{port}:127.0.0.1"], HTTP_VERSION=version)
    assert status == 200
    assert body.endswith(b" https origin.test\n")


@pytest.mark.parametrize("entry", ["elsewhere.test:443:127.0.0.1:{port}",
                                   "::127.0.0.1:{port}",
                                   "elsewhere.test::127.0.0.1:{port}"],
                         ids=["host-and-port", "any-host-any-port", "host-any-port"])
def test_connect_to_sends_the_connection_elsewhere(nginx, protocol_certs, entry):
    """CONNECT_TO keeps the URL's name for TLS and Host but connects to
    another host and port."""
    status, _, body, info = _get(protocol_certs, "https://elsewhere.test/protocol",
                                 CONNECT_TO=[entry.format(port=nginx.tls_port)])
    assert status == 200
    assert body == b"HTTP/2.0 https elsewhere.test\n"
    assert info["primary_port"] == nginx.tls_port


def test_connect_to_still_checks_the_certificate_against_the_url_name(nginx, protocol_certs, curl):
    # The server's certificate does not name notlisted.test.
    curl.setopt(kelvex.URL, "https://notlisted.test/1k")
    curl.setopt(kelvex.CAINFO, protocol_certs.ca_path)
    curl.setopt(kelvex.CONNECT_TO, [f"notlisted.test:443:127.0.0.1:{nginx.tls_port}"])
    assert perform_error(curl)[0] == kelvex.E_PEER_FAILED_VERIFICATION


def test_connect_to_entry_for_another_port_does_not_apply(nginx, protocol_certs):
    """An entry for a port other than the URL's leaves the connection alone;
    with RESOLVE giving the name an address, the request goes there."""
    port = nginx.tls_port
    status, _, body, info = _get(
        protocol_certs, f"https://origin.test:{port}/protocol",
        CONNECT_TO=[f"origin.test:{port + 1}:127.0.0.1:{nginx.h2c_port}"],
        RESOLVE=[f"origin.test:{port}:127.0.0.1"])
    assert status == 200 and info["primary_port"] == port
