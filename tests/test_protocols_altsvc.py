"""Alt-Svc: an Alt-Svc header from nginx moves the next transfer to HTTP/3,
through ALTSVC (the cache file) and ALTSVC_CTRL (which protocols may be
taken up)."""

import pytest

import kelvex

EVERY_VERSION = kelvex.ALTSVC_H1 | kelvex.ALTSVC_H2 | kelvex.ALTSVC_H3


def fetch(nginx, certs, cache, ctrl):
    """One GET of /altsvc on a handle of its own; (protocol nginx saw,
    version libcurl reports)."""
    with kelvex.Curl() as c:
        c.setopt(kelvex.URL, nginx.url("/altsvc"))
        c.setopt(kelvex.CAINFO, certs.ca_path)
        c.setopt(kelvex.ALTSVC, str(cache))
        c.setopt(kelvex.ALTSVC_CTRL, ctrl)
        body = c.perform_rb()
        return body.decode().strip(), c.getinfo(kelvex.INFO_HTTP_VERSION)


@pytest.fixture(autouse=True)
def needs_http3():
    features = kelvex.version_info()[4]
    if not features & kelvex.VERSION_HTTP3 or not features & kelvex.VERSION_ALTSVC:
        pytest.skip("this libcurl has no HTTP/3 or no Alt-Svc")


def test_alt_svc_header_moves_the_next_transfer_to_http3(nginx, protocol_certs, tmp_path):
    cache = tmp_path / "altsvc.txt"
    assert fetch(nginx, protocol_certs, cache, EVERY_VERSION) == (
        "HTTP/2.0", kelvex.CURL_HTTP_VERSION_2_0)
    # libcurl wrote what it learnt to the cache file when the handle closed.
    entries = [line.split() for line in cache.read_text().splitlines()
               if line and not line.startswith("#")]
    assert [e[:6] for e in entries] == [
        ["h2", "127.0.0.1", str(nginx.tls_port), "h3", "127.0.0.1", str(nginx.tls_port)]]
    # A new handle reads the cache and goes straight to QUIC.
    assert fetch(nginx, protocol_certs, cache, EVERY_VERSION) == (
        "HTTP/3.0", kelvex.CURL_HTTP_VERSION_3)


def test_without_h3_in_the_control_bits_the_offer_is_ignored(nginx, protocol_certs, tmp_path):
    cache = tmp_path / "altsvc.txt"
    ctrl = kelvex.ALTSVC_H1 | kelvex.ALTSVC_H2
    for _ in range(2):
        assert fetch(nginx, protocol_certs, cache, ctrl) == ("HTTP/2.0", kelvex.CURL_HTTP_VERSION_2_0)


def test_a_read_only_cache_is_used_but_not_written(nginx, protocol_certs, tmp_path):
    cache = tmp_path / "altsvc.txt"
    fetch(nginx, protocol_certs, cache, EVERY_VERSION)
    learnt = cache.read_text()
    cache.write_text("")
    ctrl = EVERY_VERSION | kelvex.ALTSVC_READONLYFILE
    assert fetch(nginx, protocol_certs, cache, ctrl)[0] == "HTTP/2.0"
    assert cache.read_text() == ""
    cache.write_text(learnt)
    assert fetch(nginx, protocol_certs, cache, ctrl)[0] == "HTTP/3.0"
    assert cache.read_text() == learnt
