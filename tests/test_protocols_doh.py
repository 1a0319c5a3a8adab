"""DNS over HTTPS: libcurl asks a small DoH endpoint of this suite (DNS wire
format by dnspython, served over TLS by werkzeug) instead of the system
resolver, then connects to the address it answered."""

import threading

import dns.message
import dns.rcode
import dns.rdatatype
import dns.rrset
import pytest

import kelvex
from conftest import LoopbackTLSServer, perform_error

# The endpoint's zone: names it knows, all on loopback.
ZONE = {"doh.test.": "127.0.0.1", "origin.test.": "127.0.0.1"}


class DohEndpoint:
    """WSGI app answering RFC 8484 POST and GET queries; ``queries`` lists
    (name, type name) pairs in arrival order."""

    def __init__(self):
        self.queries = []
        self.lock = threading.Lock()

    def __call__(self, environ, start_response):
        if environ["REQUEST_METHOD"] == "POST":
            length = int(environ.get("CONTENT_LENGTH") or 0)
            wire = environ["wsgi.input"].read(length)
        else:
            import base64
            from urllib.parse import parse_qs

            value = parse_qs(environ.get("QUERY_STRING", ""))["dns"][0]
            wire = base64.urlsafe_b64decode(value + "=" * (-len(value) % 4))
        query = dns.message.from_wire(wire)
        question = query.question[0]
        name, rdtype = question.name.to_text().lower(), question.rdtype
        with self.lock:
            self.queries.append((name, dns.rdatatype.to_text(rdtype)))
        answer = dns.message.make_response(query)
        if name not in ZONE:
            answer.set_rcode(dns.rcode.NXDOMAIN)
        elif rdtype == dns.rdatatype.A:
            answer.answer.append(dns.rrset.from_text(name, 60, "IN", "A", ZONE[name]))
        # Other types of a known name: no records (NOERROR, empty answer).
        body = answer.to_wire()
        start_response("200 OK", [("Content-Type", "application/dns-message"),
                                  ("Content-Length", str(len(body)))])
        return [body]

    def take(self):
        with self.lock:
            out, self.queries = self.queries, []
            return out


@pytest.fixture(scope="module")
def doh(protocol_certs):
    app = DohEndpoint()
    server = LoopbackTLSServer(app, protocol_certs.cert_path, protocol_certs.key_path)
    server.app = app
    server.doh_url = f"{server.url}/dns-query"
    yield server
    server.close()


def _setup(curl, certs, url, doh_url, **options):
    curl.setopt(kelvex.URL, url)
    curl.setopt(kelvex.CAINFO, certs.ca_path)
    curl.setopt(kelvex.DOH_URL, doh_url)
    for name, value in options.items():
        curl.setopt(getattr(kelvex, name), value)


@pytest.mark.parametrize("version", [kelvex.CURL_HTTP_VERSION_2TLS,
                                     kelvex.CURL_HTTP_VERSION_3ONLY], ids=["h2", "h3"])
def test_name_is_resolved_by_the_doh_endpoint(curl, nginx, protocol_certs, doh, version):
    doh.app.take()
    _setup(curl, protocol_certs, f"https://doh.test:{nginx.tls_port}/protocol", doh.doh_url,
           HTTP_VERSION=version)
    body = curl.perform_rb()
    assert body.endswith(b" https doh.test\n")
    assert curl.getinfo(kelvex.PRIMARY_IP) == "127.0.0.1"
    asked = doh.app.take()
    assert ("doh.test.", "A") in asked
    assert {name for name, _ in asked} == {"doh.test."}


def test_name_unknown_to_the_doh_endpoint_does_not_resolve(curl, nginx, protocol_certs, doh):
    doh.app.take()
    _setup(curl, protocol_certs, f"https://missing.test:{nginx.tls_port}/", doh.doh_url)
    assert perform_error(curl)[0] == kelvex.E_COULDNT_RESOLVE_HOST
    assert ("missing.test.", "A") in doh.app.take()


def test_resolve_entries_take_precedence_over_doh(curl, nginx, protocol_certs, doh):
    doh.app.take()
    port = nginx.tls_port
    _setup(curl, protocol_certs, f"https://elsewhere.test:{port}/protocol", doh.doh_url,
           RESOLVE=[f"elsewhere.test:{port}:127.0.0.1"])
    assert curl.perform_rb().endswith(b" https elsewhere.test\n")
    assert doh.app.take() == []


@pytest.mark.parametrize("doh_host, trusted", [("elsewhere.test", True), ("unnamed.test", False)])
def test_doh_endpoint_certificate_is_verified(curl, nginx, protocol_certs, doh, doh_host, trusted):
    """The DoH endpoint is reached by a name (given its address by RESOLVE);
    when its certificate does not carry that name, the TLS handshake fails,
    no query is asked and the transfer's name does not resolve."""
    doh.app.take()
    _setup(curl, protocol_certs, f"https://doh.test:{nginx.tls_port}/protocol",
           doh.doh_url.replace("127.0.0.1", doh_host),
           RESOLVE=[f"{doh_host}:{doh.port}:127.0.0.1"])
    if trusted:
        assert curl.perform_rb().endswith(b" https doh.test\n")
        assert ("doh.test.", "A") in doh.app.take()
    else:
        assert perform_error(curl)[0] == kelvex.E_COULDNT_RESOLVE_HOST
        assert doh.app.take() == []
