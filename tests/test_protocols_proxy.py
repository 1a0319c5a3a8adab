"""Transfers through proxies run by pproxy on loopback: HTTP and HTTPS
proxies (forwarding and CONNECT tunnels, HTTPS through them), SOCKS5 with
and without a password, and NOPROXY."""

import pytest

import kelvex
from conftest import perform_error
from loopback_servers import Pproxy, free_port

USER, PASSWORD = "kelvex", "s3cret:with colon"
CURLE_PROXY = 97  # libcurl's code for a failed proxy handshake; kelvex names no E_PROXY


@pytest.fixture(scope="module")
def proxies(protocol_certs):
    """One pproxy process per kind, kept for the module; "https" is an HTTP
    proxy spoken to over TLS."""
    started = {}

    def get(scheme, auth=False):
        key = (scheme, auth)
        if key not in started:
            started[key] = Pproxy("http" if scheme == "https" else scheme,
                                  f"{USER}:{PASSWORD}" if auth else None,
                                  certs=protocol_certs if scheme == "https" else None)
        return started[key]

    yield get
    for p in started.values():
        p.close()


def _through(curl, certs, url, proxy_url, **options):
    curl.setopt(kelvex.URL, url)
    curl.setopt(kelvex.CAINFO, certs.ca_path)
    curl.setopt(kelvex.PROXY_CAINFO, certs.ca_path)
    curl.setopt(kelvex.PROXY, proxy_url)
    for name, value in options.items():
        curl.setopt(getattr(kelvex, name), value)
    return curl.perform_rb()


# (proxy scheme, URL scheme, tunnel through an HTTP proxy, with a password)
ROUTES = [
    ("http", "http", False, False),    # the proxy forwards the request
    ("http", "http", True, False),     # HTTPPROXYTUNNEL: CONNECT, then plain HTTP
    ("http", "https", False, False),   # CONNECT, then TLS to the origin
    ("http", "https", False, True),    # Proxy-Authorization on the CONNECT
    ("https", "http", False, False),   # TLS to the proxy, which forwards
    ("https", "https", False, True),   # TLS to the proxy, TLS inside the tunnel
    ("socks5", "http", False, False),
    ("socks5", "https", False, False),
    ("socks5", "https", False, True),  # username/password sub-negotiation
    ("socks5h", "https", False, True),  # the proxy resolves the name
]


@pytest.mark.parametrize("proxy_scheme, scheme, tunnel, auth", ROUTES,
                         ids=[f"{r[0]}-{r[1]}{'-tunnel' if r[2] else ''}{'-auth' if r[3] else ''}"
                              for r in ROUTES])
def test_transfer_goes_through_the_proxy(curl, nginx, protocol_certs, proxies,
                                         proxy_scheme, scheme, tunnel, auth):
    proxy = proxies("socks5" if proxy_scheme.startswith("socks5") else proxy_scheme, auth)
    options = {}
    if tunnel:
        options["HTTPPROXYTUNNEL"] = 1
    if auth:
        options.update(PROXYUSERNAME=USER, PROXYPASSWORD=PASSWORD)
    host = "localhost" if proxy_scheme == "socks5h" else "127.0.0.1"
    body = _through(curl, protocol_certs, nginx.url("/protocol", scheme, host),
                    f"{proxy_scheme}://127.0.0.1:{proxy.port}", **options)
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200
    # libcurl's connection was to the proxy, not to nginx.
    assert curl.getinfo(kelvex.PRIMARY_PORT) == proxy.port
    version = "HTTP/2.0" if scheme == "https" else "HTTP/1.1"
    assert body == f"{version} {scheme} {host}\n".encode()
    connect = proxy_scheme in ("http", "https") and (scheme == "https" or tunnel)
    assert curl.getinfo(kelvex.HTTP_CONNECTCODE) == (200 if connect else 0)


@pytest.mark.parametrize("proxy_scheme", ["http", "socks5"])
@pytest.mark.parametrize("credentials", [None, (USER, "wrong")], ids=["none", "wrong"])
def test_proxy_refuses_bad_credentials(curl, nginx, protocol_certs, proxies, proxy_scheme,
                                       credentials):
    proxy = proxies(proxy_scheme, auth=True)
    curl.setopt(kelvex.URL, nginx.url("/1k"))
    curl.setopt(kelvex.CAINFO, protocol_certs.ca_path)
    curl.setopt(kelvex.PROXY, f"{proxy_scheme}://127.0.0.1:{proxy.port}")
    if credentials:
        curl.setopt(kelvex.PROXYUSERNAME, credentials[0])
        curl.setopt(kelvex.PROXYPASSWORD, credentials[1])
    code, _ = perform_error(curl)
    if proxy_scheme == "http":
        # The CONNECT is answered 407 and the tunnel is never made.
        assert code == kelvex.E_COULDNT_CONNECT
        assert curl.getinfo(kelvex.HTTP_CONNECTCODE) == 407
    else:
        assert code == CURLE_PROXY  # the SOCKS handshake failed


@pytest.fixture
def dead_port():
    """A loopback port nothing listens on."""
    return free_port()


@pytest.mark.parametrize("noproxy, via_proxy", [
    ("127.0.0.1", False),
    ("*", False),
    ("localhost,127.0.0.0/8", False),
    ("example.test", True),
    ("", True),
], ids=["exact", "everything", "cidr", "other-host", "empty"])
def test_noproxy_decides_which_hosts_skip_the_proxy(curl, nginx, protocol_certs, proxies,
                                                    noproxy, via_proxy):
    proxy = proxies("http")
    body = _through(curl, protocol_certs, nginx.url("/protocol"),
                    f"http://127.0.0.1:{proxy.port}", NOPROXY=noproxy)
    assert body == b"HTTP/2.0 https 127.0.0.1\n"
    assert curl.getinfo(kelvex.PRIMARY_PORT) == (proxy.port if via_proxy else nginx.tls_port)


def test_noproxy_match_never_touches_a_dead_proxy(curl, nginx, protocol_certs, dead_port):
    body = _through(curl, protocol_certs, nginx.url("/protocol"),
                    f"socks5://127.0.0.1:{dead_port}", NOPROXY="127.0.0.1")
    assert body == b"HTTP/2.0 https 127.0.0.1\n"


def test_dead_proxy_fails_to_connect(curl, nginx, protocol_certs, dead_port):
    curl.setopt(kelvex.URL, nginx.url("/1k"))
    curl.setopt(kelvex.PROXY, f"http://127.0.0.1:{dead_port}")
    assert perform_error(curl)[0] == kelvex.E_COULDNT_CONNECT


def test_https_proxy_certificate_is_checked_against_proxy_cainfo(curl, nginx, protocol_certs,
                                                                 proxies):
    """The origin's CA (CAINFO) does not vouch for the proxy: without
    PROXY_CAINFO the system's CAs are asked, and refuse it."""
    proxy = proxies("https")
    curl.setopt(kelvex.URL, nginx.url("/1k"))
    curl.setopt(kelvex.CAINFO, protocol_certs.ca_path)
    curl.setopt(kelvex.PROXY, f"https://127.0.0.1:{proxy.port}")
    assert perform_error(curl)[0] == kelvex.E_PEER_FAILED_VERIFICATION
