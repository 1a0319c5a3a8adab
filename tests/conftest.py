import os

# scripts/test and scripts/sanitize name the folder the compiled module must
# come from, so that a run never tests a different build by mistake.
_expect = os.environ.get("KELVEX_EXPECT_PATH")
if _expect:
    from kelvex import _kelvex

    _got = os.path.dirname(os.path.realpath(_kelvex.__file__))
    if _got != os.path.realpath(_expect):
        raise RuntimeError(f"kelvex._kelvex was imported from {_got}, expected {_expect}")

import importlib.abc
import platform
import socket
import sys
import sysconfig
import threading
import time
import types

import pytest

# KELVEX_TEST_NO_CRYPTOGRAPHY=1 runs the suite as where cryptography and cffi
# cannot be installed (free-threaded CPython 3.13, which cffi does not
# support): importing them fails, so the certificates come from the openssl
# command line and the tests that need such a package skip.
_NO_CRYPTOGRAPHY = os.environ.get("KELVEX_TEST_NO_CRYPTOGRAPHY", "") not in ("", "0")
_BLOCKED = ("cryptography", "cffi", "_cffi_backend")


class _BlockedImports(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in _BLOCKED:
            raise ModuleNotFoundError(
                f"No module named {name!r} (hidden by KELVEX_TEST_NO_CRYPTOGRAPHY)", name=name)
        return None


if _NO_CRYPTOGRAPHY:
    _early = sorted(m for m in sys.modules if m.partition(".")[0] in _BLOCKED)
    if _early:
        raise RuntimeError(f"KELVEX_TEST_NO_CRYPTOGRAPHY: already imported before the suite: {_early}")
    sys.meta_path.insert(0, _BlockedImports())

try:
    import trustme
except ImportError as exc:  # cryptography is missing
    trustme = None
    _trustme_missing = str(exc)

from cheroot import wsgi
from cheroot.ssl.builtin import BuiltinSSLAdapter
from loopback_servers import Nginx, OpensslCA, TestCertificates

import kelvex


# ---------------------------------------------------------------------------
# Which interpreter runs the suite
# ---------------------------------------------------------------------------

FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _interpreter_line(when):
    build = "free-threaded" if FREE_THREADED_BUILD else "GIL"
    gil = "enabled" if sys._is_gil_enabled() else "disabled"
    return (f"kelvex: {build} build of {platform.python_implementation()} "
            f"{platform.python_version()}, GIL {gil} {when}; libcurl {kelvex.version_info()[1]}")


def pytest_report_header(config):
    certs = ("trustme" if trustme is not None
             else f"the openssl command line (trustme cannot import: {_trustme_missing})")
    return [_interpreter_line("at start"),
            f"kelvex: interpreter {sys.executable}, module {kelvex._kelvex.__file__}",
            f"kelvex: test certificates made with {certs}"]


# Figures the long forms of the fault, fuzzing and soak tests report (`make
# stress`), printed at the end of the run.
_STRESS_FIGURES = []


@pytest.fixture(scope="session")
def stress_report():
    """``stress_report(line)``: a figure printed in the run's summary."""
    return _STRESS_FIGURES.append


def pytest_collection_modifyitems(items):
    """Under `make stress` a test may run for several times STRESS_SECONDS:
    the hang detector's limit (pytest-timeout's) grows with it, unless the
    test sets its own."""
    seconds = float(os.environ.get("KELVEX_STRESS_SECONDS", "0") or 0)
    if not seconds:
        return
    for item in items:
        if item.get_closest_marker("timeout") is None:
            item.add_marker(pytest.mark.timeout(300 + 3 * seconds))


def pytest_terminal_summary(terminalreporter):
    for line in _STRESS_FIGURES:
        terminalreporter.write_line(line)
    # On a free-threaded build an extension module that does not declare
    # free-threading support enables the GIL when it is imported; say so.
    if FREE_THREADED_BUILD:
        terminalreporter.write_line(_interpreter_line("at the end"))


# ---------------------------------------------------------------------------
# Objects made at run time
# ---------------------------------------------------------------------------


# Names the stubs list that exist only when kelvex is compiled against a
# libcurl at least this new (the wheels carry libcurl 8.22), with that
# version number.
NEWER_LIBCURL_NAMES = {"SIZE_DELIVERED": 0x081700}


def names_missing_for_older_libcurl():
    """The names of NEWER_LIBCURL_NAMES this build of kelvex lacks because
    its libcurl headers predate them."""
    from kelvex import _kelvex

    return {name for name in NEWER_LIBCURL_NAMES if not hasattr(_kelvex, name)}


def fresh_bytes(data):
    """A new bytes object equal to `data`, for tests that count references:
    literals (and the constants folded from them) are immortal on the
    free-threaded build, where sys.getrefcount gives a huge constant."""
    if len(data) < 2:
        raise ValueError("empty and one-byte bytes objects are shared")
    return bytes(bytearray(data))


# ---------------------------------------------------------------------------
# Test certificates
# ---------------------------------------------------------------------------


def make_ca():
    """A new test certificate authority: a trustme.CA, or where
    cryptography is missing an OpensslCA (loopback_servers) with the same
    interface."""
    return trustme.CA() if trustme is not None else OpensslCA()


# ---------------------------------------------------------------------------
# Loopback servers shared by the whole suite
# ---------------------------------------------------------------------------


class LoopbackHTTPServer:
    """A WSGI app served on 127.0.0.1 by a threaded cheroot server, which
    keeps HTTP/1.1 connections alive between requests as production servers
    do (so connection reuse can be observed)."""

    def __init__(self, app, tls_files=None):
        self._server = wsgi.Server(
            ("127.0.0.1", 0), app, numthreads=16, request_queue_size=256
        )
        if tls_files is not None:
            self._server.ssl_adapter = BuiltinSSLAdapter(*tls_files)
        self._server.prepare()
        self.port = self._server.bind_addr[1]
        scheme = "https" if tls_files is not None else "http"
        self.url = f"{scheme}://127.0.0.1:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve, name=f"{scheme}-server", daemon=True
        )
        self._thread.start()

    def close(self):
        self._server.stop()
        self._thread.join()


class LoopbackTLSServer:
    """The WSGI app over TLS on 127.0.0.1, one thread per connection (the
    standard library's socketserver under werkzeug). Connections close after
    each response; the TLS tests open fresh connections anyway."""

    def __init__(self, app, cert_path, key_path):
        import ssl

        from werkzeug.serving import make_server

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert_path, key_path)
        self._server = make_server("127.0.0.1", 0, app, threaded=True, ssl_context=context)
        self._server.daemon_threads = True
        self.port = self._server.server_port
        self.url = f"https://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, name="https-server",
                                        daemon=True)
        self._thread.start()

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


def _httpbin_app():
    try:
        import brotlicffi  # noqa: F401
    except ImportError:
        # httpbin imports brotlicffi (cffi-based) for its /brotli endpoint
        # alone, which the suite does not use; where it cannot be installed a
        # stand-in that refuses to compress lets httpbin load.
        sys.modules["brotlicffi"] = _brotlicffi_stand_in()
    from httpbin import app

    def accept_chunked_uploads(environ, start_response):
        # The server de-chunks request bodies itself and says so with
        # wsgi.input_terminated; httpbin trusts that only from gunicorn and
        # refuses chunked uploads from any other server.
        if environ.get("wsgi.input_terminated"):
            environ["SERVER_SOFTWARE"] = "gunicorn/" + environ.get("SERVER_SOFTWARE", "")
        return app(environ, start_response)

    return accept_chunked_uploads


def _brotlicffi_stand_in():
    module = types.ModuleType("brotlicffi", "stand-in: brotlicffi is not installed")

    def compress(data, *args, **kwargs):
        raise RuntimeError("brotlicffi is not installed for this interpreter")

    module.compress = compress
    return module


@pytest.fixture(scope="session")
def http_server():
    """httpbin-compatible endpoints over plain HTTP: ``.url``, ``.port``."""
    server = LoopbackHTTPServer(_httpbin_app())
    yield server
    server.close()


@pytest.fixture(scope="session")
def tls_ca():
    """The test-time certificate authority (see make_ca)."""
    return make_ca()


@pytest.fixture(scope="session")
def https_server(tls_ca, tmp_path_factory):
    """The same endpoints over TLS, with a certificate made for this run.

    ``.url``, ``.port``, ``.ca_path`` (the CA's PEM file) and ``.ca_pem``
    (its bytes).
    """
    folder = tmp_path_factory.mktemp("tls")
    leaf = tls_ca.issue_cert("127.0.0.1", "localhost")
    cert_path, key_path = folder / "server.pem", folder / "server.key"
    leaf.cert_chain_pems[0].write_to_path(str(cert_path))
    leaf.private_key_pem.write_to_path(str(key_path))
    server = LoopbackTLSServer(_httpbin_app(), str(cert_path), str(key_path))
    server.ca_pem = tls_ca.cert_pem.bytes()
    server.ca_path = str(folder / "ca.pem")
    tls_ca.cert_pem.write_to_path(server.ca_path)
    yield server
    server.close()


class _RawServer:
    """Accepts connections on 127.0.0.1 and runs ``handler(sock)`` for each
    in its own thread; the socket is closed when the handler returns, or
    shut down when the server closes."""

    def __init__(self, handler):
        self._handler = handler
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._threads = []
        self._conns = []
        self.errors = []
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()

    def _accept_loop(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._conns.append(conn)
            self._threads.append(thread)
            thread.start()

    def _serve(self, conn):
        with conn:
            try:
                self._handler(conn)
            except Exception as exc:  # reported by the fixture's teardown
                self.errors.append(exc)

    def close(self):
        # shutdown() wakes the thread blocked in accept(); close() alone
        # does not on Linux.
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._accept_thread.join()
        # Handlers waiting for the client to hang up (which may outlive the
        # test when a fixture holds the client) see end of stream instead.
        for conn in self._conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in self._threads:
            # A handler still blocked long after its test ended would hang
            # the suite; report it instead.
            thread.join(60)
            if thread.is_alive():
                self.errors.append(RuntimeError("raw server handler did not return"))


@pytest.fixture
def raw_server():
    """Factory: ``raw_server(handler) -> port``. ``handler(sock)`` runs in a
    thread for every accepted connection on 127.0.0.1:port. Handlers must
    return on their own (for example when the peer closes); an exception in
    a handler fails the test at teardown."""
    servers = []

    def start(handler):
        server = _RawServer(handler)
        servers.append(server)
        return server.port

    yield start
    errors = []
    for server in servers:
        server.close()
        errors.extend(server.errors)
    if errors:
        raise errors[0]


@pytest.fixture
def c_stderr(capfd):
    """Returns a function giving what was written to file descriptor 2
    (C-level writes included) since the last call."""

    def read():
        return capfd.readouterr().err

    read()
    return read


@pytest.fixture
def perform_expect(c_stderr):
    """``perform_expect(c, outcome, printed=None, unprinted=("Traceback",))``
    runs ``c.perform()``, checks how it ended and what went to standard
    error meanwhile, and returns that text. `outcome` is "ok", a libcurl
    error code (a kelvex.error with that code), a kelvex.error's whole
    ``args`` tuple, or the exception perform must raise (one a callable
    raised and left pending): its type, or an instance whose exact type and
    args it must have. `printed` must appear on standard error; when it is
    None, no text of `unprinted` may."""

    def run(c, outcome, printed=None, unprinted=("Traceback",)):
        if isinstance(outcome, (int, tuple)):
            with pytest.raises(kelvex.error) as info:
                c.perform()
            assert type(info.value) is kelvex.error
            args = info.value.args
            assert (args[0] if isinstance(outcome, int) else args) == outcome
        elif isinstance(outcome, BaseException):
            with pytest.raises(type(outcome)) as info:
                c.perform()
            assert type(info.value) is type(outcome)
            assert info.value.args == outcome.args
        elif outcome == "ok":
            c.perform()
        else:
            with pytest.raises(outcome):
                c.perform()
        err = c_stderr()
        if printed is None:
            for text in unprinted:
                assert text not in err
        else:
            assert printed in err
        return err

    return run


def run_to_end(multi, deadline=120.0):
    """Drives a CurlMulti with perform() and select() until no transfer
    runs; fails if that takes longer than `deadline` seconds."""
    end = time.monotonic() + deadline
    while True:
        assert time.monotonic() < end, "transfers did not finish"
        _, running = multi.perform()
        if not running:
            return
        multi.select(1.0)


@pytest.fixture
def curl():
    """A fresh handle, closed after the test."""
    c = kelvex.Curl()
    yield c
    c.close()


BODY_LEN = 4096


def body_url(server, n=BODY_LEN):
    # httpbin's /range/N answers N bytes of a fixed letter pattern.
    return f"{server.url}/range/{n}"


def expected_body(n=BODY_LEN):
    letters = b"abcdefghijklmnopqrstuvwxyz"
    return bytes(letters[i % 26] for i in range(n))


def perform_error(c):
    """Runs c.perform(), which must fail, and returns kelvex.error's args."""
    with pytest.raises(kelvex.error) as info:
        c.perform()
    return info.value.args


def error_text(excinfo):
    """The single text value of a kelvex.error raised for a usage error
    (``pytest.raises``' ExceptionInfo)."""
    (text,) = excinfo.value.args
    return text


def collect_garbage():
    """gc.collect() run from this file: on the free-threaded build a
    collection keeps a few blocks of its own for a while, which tracemalloc
    charges to the innermost Python frame, here rather than a test's."""
    import gc

    gc.collect()


def settled(read, readings=10):
    """The lowest of several readings taken a moment apart: what the loopback
    servers still hold for connections they have not finished closing is
    gone from some reading, while leaked memory stays in all of them."""
    values = []
    for _ in range(readings):
        collect_garbage()
        values.append(read())
        time.sleep(0.02)
    return min(values)


def rss_bytes():
    """This process's resident memory."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sanitized():
    """True under the AddressSanitizer build, whose quarantine keeps freed
    memory resident."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


# ---------------------------------------------------------------------------
# Servers of the protocol tests (tests/loopback_servers.py)
# ---------------------------------------------------------------------------


@pytest.fixture(scope="session")
def protocol_certs(tmp_path_factory):
    """A CA and a server certificate made with the openssl command (no
    ``cryptography`` needed): ``.ca_path``, ``.cert_path``, ``.key_path``."""
    return TestCertificates(str(tmp_path_factory.mktemp("protocol-tls")))


@pytest.fixture(scope="session")
def nginx(protocol_certs):
    """Debian's nginx on loopback: HTTP/1.1, HTTP/2 and HTTP/3 over TLS,
    HTTP/1.1 and HTTP/2 cleartext, and a Unix socket (see
    ``loopback_servers.Nginx``)."""
    server = Nginx(protocol_certs)
    yield server
    server.close()


# ---------------------------------------------------------------------------
# Event loops and the event core, for the asyncio tests
# ---------------------------------------------------------------------------

def loop_factories():
    """pytest params of the event loops under test: asyncio's, and
    uvloop's where it is installed (skipped otherwise)."""
    import asyncio
    yield pytest.param(asyncio.new_event_loop, id="asyncio")
    try:
        import uvloop
    except ImportError:
        yield pytest.param(None, id="uvloop",
                           marks=pytest.mark.skip(reason="uvloop is not installed"))
    else:
        yield pytest.param(uvloop.new_event_loop, id="uvloop")


@pytest.fixture
def core():
    """An EventCore over a fresh CurlMulti, both closed afterwards."""
    multi = kelvex.CurlMulti()
    core = kelvex.EventCore(multi)
    yield core
    core.close()
    multi.close()
