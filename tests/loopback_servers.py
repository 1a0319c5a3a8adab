"""Servers for the protocol tests, each on loopback and started by the suite:
nginx (HTTP/1.1, HTTP/2 over TLS and cleartext, HTTP/3 over QUIC, a Unix
socket), pproxy (HTTP CONNECT and SOCKS5 proxies), the helpers of raw-socket
servers, and the suite's one certificate factory: a certificate authority
made with the ``openssl`` command (``OpensslCA``, with trustme's interface),
so that no test needs the ``cryptography`` package (which free-threaded
CPython cannot install)."""

import contextlib
import http.client
import ipaddress
import json
import os
import secrets
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

# Names every test certificate is valid for.  ``*.test`` names are resolved
# by the tests themselves (RESOLVE, CONNECT_TO, DNS over HTTPS).
CERT_NAMES = ("localhost", "127.0.0.1", "::1", "origin.test", "doh.test", "elsewhere.test")


def plain_env() -> dict:
    """The environment for programs other than the Python under test: no
    sanitizer runtime preloaded (the sanitizer run preloads it for the
    interpreter only)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def _openssl(folder, *args):
    proc = subprocess.run(["openssl", *args], cwd=folder, env=plain_env(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(args)} failed:\n{proc.stderr}")


class PemBlob:
    """PEM data, as trustme.Blob: ``bytes()`` and ``write_to_path()``."""

    def __init__(self, data):
        self._data = data

    def bytes(self):
        return self._data

    def write_to_path(self, path, append=False):
        with open(path, "ab" if append else "wb") as f:
            f.write(self._data)


_OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
subjectAltName = {san}
"""

_EC_KEY = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")


class OpensslLeafCert:
    """A certificate issued by an OpensslCA, as trustme.LeafCert."""

    def __init__(self, key_pem, cert_pem):
        self.private_key_pem = PemBlob(key_pem)
        self.cert_chain_pems = [PemBlob(cert_pem)]  # the issuing CA is the root
        self.private_key_and_cert_chain_pem = PemBlob(key_pem + cert_pem)

    def configure_cert(self, context):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "leaf.pem")
            self.private_key_and_cert_chain_pem.write_to_path(path)
            context.load_cert_chain(path)


class OpensslCA:
    """A certificate authority made with the openssl command line, with
    trustme.CA's interface (``cert_pem``, ``issue_cert(*identities)``) so
    that it stands in where cryptography cannot be installed. EC P-256 keys;
    certificates valid from now for ten years unless ``issue_cert`` is given
    other bounds."""

    def __init__(self):
        with tempfile.TemporaryDirectory() as folder:
            self._write_config(folder, "DNS:unused.invalid")
            _openssl(folder, "req", "-x509", "-config", "openssl.cnf", "-extensions", "ca",
                     *_EC_KEY, "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
                     "-set_serial", self._serial(),
                     "-subj", f"/O=kelvex tests/OU={secrets.token_hex(8)}/CN=kelvex test CA")
            self._key = self._read(folder, "ca.key")
            self.cert_pem = PemBlob(self._read(folder, "ca.pem"))

    def issue_cert(self, *identities, not_before=None, not_after=None):
        """A leaf certificate for `identities` (host names or IP addresses;
        the first is its common name). `not_before` and `not_after`, both
        in openssl's YYYYMMDDHHMMSSZ form, replace the ten years from now
        (for an expired certificate, say)."""
        if not identities:
            raise ValueError("a certificate needs at least one identity")
        names = []
        for identity in identities:
            try:
                names.append(f"IP:{ipaddress.ip_address(identity)}")
            except ValueError:
                names.append(f"DNS:{identity}")
        if (not_before is None) != (not_after is None):
            raise ValueError("give both bounds of the validity or neither")
        validity = (["-days", "3650"] if not_before is None
                    else ["-not_before", not_before, "-not_after", not_after])
        with tempfile.TemporaryDirectory() as folder:
            self._write_config(folder, ", ".join(names))
            with open(os.path.join(folder, "ca.key"), "wb") as f:
                f.write(self._key)
            self.cert_pem.write_to_path(os.path.join(folder, "ca.pem"))
            _openssl(folder, "req", "-new", "-config", "openssl.cnf", *_EC_KEY,
                     "-keyout", "leaf.key", "-out", "leaf.csr",
                     "-subj", f"/O=kelvex tests/CN={identities[0]}")
            _openssl(folder, "x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem",
                     "-CAkey", "ca.key", "-set_serial", self._serial(), *validity,
                     "-extfile", "openssl.cnf", "-extensions", "leaf", "-out", "leaf.pem")
            return OpensslLeafCert(self._read(folder, "leaf.key"), self._read(folder, "leaf.pem"))

    @staticmethod
    def _serial():
        return f"0x{secrets.randbits(127) | 1:x}"

    @staticmethod
    def _write_config(folder, san):
        with open(os.path.join(folder, "openssl.cnf"), "w") as f:
            f.write(_OPENSSL_CONFIG.format(san=san))

    @staticmethod
    def _read(folder, name):
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()


class TestCertificates:
    """A certificate authority (an OpensslCA) and one server certificate it
    issued for `names`, written to files in ``folder``: ``.ca_path``,
    ``.cert_path`` (the leaf then the CA), ``.key_path``; ``.ca_pem`` holds
    the CA's bytes."""

    __test__ = False  # not a test class, despite its name

    def __init__(self, folder: str, names=CERT_NAMES):
        os.makedirs(folder, exist_ok=True)
        ca = OpensslCA()
        leaf = ca.issue_cert(*names)
        self.ca_pem = ca.cert_pem.bytes()
        self.ca_path = os.path.join(folder, "ca.pem")
        self.key_path = os.path.join(folder, "server.key")
        self.cert_path = os.path.join(folder, "server.pem")
        ca.cert_pem.write_to_path(self.ca_path)
        leaf.private_key_pem.write_to_path(self.key_path)
        leaf.cert_chain_pems[0].write_to_path(self.cert_path)
        ca.cert_pem.write_to_path(self.cert_path, append=True)


def free_port(kind=socket.SOCK_STREAM) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_pair() -> int:
    """A port free for both TCP and UDP (HTTP/3 and HTTP/2 on one number)."""
    for _ in range(50):
        port = free_port(socket.SOCK_DGRAM)
        try:
            with socket.socket() as s:
                s.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
    raise RuntimeError("found no port free for TCP and UDP")


NGINX_CONFIG = """\
worker_processes 1;
daemon off;
master_process on;
pid {run}/nginx.pid;
error_log {run}/error.log warn;
{user}
events {{
    worker_connections 1024;
}}
http {{
    # One line per request: the connection's serial number first, so a test
    # can count the connections its requests came on (over HTTP/3 nginx
    # numbers every stream apart: the client's port then tells instead).
    log_format conns '$connection $server_protocol $request_method $request_uri $status '
                     '$request_length $bytes_sent $remote_port';
    access_log {run}/access.log conns;
    keepalive_requests 100000;
    http2_max_concurrent_streams 128;
    default_type application/octet-stream;
    client_body_temp_path {run}/tmp/body;
    proxy_temp_path {run}/tmp/proxy;
    fastcgi_temp_path {run}/tmp/fastcgi;
    uwsgi_temp_path {run}/tmp/uwsgi;
    scgi_temp_path {run}/tmp/scgi;
    client_max_body_size 64m;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    server {{
        listen 127.0.0.1:{tls_port} ssl;
        listen 127.0.0.1:{tls_port} quic reuseport;
        listen 127.0.0.1:{h2c_port};
        listen unix:{unix_path};
        http2 on;
        http3 on;
        root {run}/www;
        location /dav/ {{
            dav_methods PUT DELETE;
            create_full_put_path on;
        }}
        location = /protocol {{
            default_type text/plain;
            return 200 "$server_protocol $scheme $host\\n";
        }}
        # Offers HTTP/3 on the same port, as a server does that clients
        # should move to QUIC.
        location = /altsvc {{
            add_header Alt-Svc 'h3=":{tls_port}"; ma=3600' always;
            default_type text/plain;
            return 200 "$server_protocol\\n";
        }}
        location / {{ }}
    }}
}}
"""


def spawn_until_serving(argv, serves, name: str, seconds: float):
    """Starts `argv` and waits until `serves()` is true: the process, or
    None with the reason it died or stayed silent (say "in use" for a port
    taken meanwhile, which the caller answers with another port)."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=plain_env())
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            with proc.stderr:
                return None, proc.stderr.read().decode(errors="replace")
        if serves():
            return proc, ""
        time.sleep(0.05)
    stop_process(proc)
    return None, f"{name} did not answer within {seconds:g} s"


def start_on_free_ports(attempt, name: str):
    """Calls `attempt()`, which picks free ports and returns what
    spawn_until_serving does, until a process serves; again (five tries in
    all) only while the failure is a port taken meanwhile."""
    last_error = ""
    for _ in range(5):
        proc, last_error = attempt()
        if proc is not None:
            return proc
        if "in use" not in last_error:
            break
    raise RuntimeError(f"cannot start {name}: {last_error.strip()}")


@contextlib.contextmanager
def mail_server(script: str, tmp_path, messages, name: str, **config):
    """Runs one of the suite's mail servers (tests/SCRIPT, in its own
    process) over `messages`, each written to a file of `tmp_path`, with
    `config` beside them in its JSON configuration; yields the port the
    server printed on its first line, and stops it afterwards."""
    paths = []
    for i, message in enumerate(messages):
        path = tmp_path / f"message{i}.eml"
        path.write_bytes(message)
        paths.append(str(path))
    config_path = tmp_path / f"{os.path.splitext(script)[0]}.json"
    config_path.write_text(json.dumps({**config, "messages": paths}))
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.Popen([sys.executable, os.path.join(here, script), str(config_path)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=plain_env())
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        line = proc.stdout.readline() if ready else b""
        if not line.strip().isdigit():
            proc.kill()
            raise RuntimeError(f"{name} server did not start: "
                               + proc.stderr.read().decode(errors="replace")[-2000:])
        yield int(line)
    finally:
        stop_process(proc)


def stop_process(proc):
    """Stops a server started here: a polite stop first (nginx's master takes
    its workers down with it), a kill if it does not end; closes its pipes."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for pipe in (proc.stdout, proc.stderr):
        if pipe is not None:
            pipe.close()


class Nginx:
    """Debian's nginx serving one site on four listeners: TLS on ``tls_port``
    (HTTP/1.1 and HTTP/2 by ALPN, and HTTP/3 over QUIC on the same UDP
    port), cleartext on ``h2c_port`` (HTTP/1.1, and HTTP/2 with prior
    knowledge) and the Unix socket ``unix_path``.  Files: /1k (1 KiB of
    bytes 0..255), /dav/ accepts PUT; /protocol answers the protocol the
    request came on, and /altsvc does too with an Alt-Svc header offering
    HTTP/3 on ``tls_port``."""

    def __init__(self, certs: TestCertificates):
        self.certs = certs
        self.run = tempfile.mkdtemp(prefix="kelvex-nginx-")
        self.proc = None
        try:
            www = os.path.join(self.run, "www")
            for d in (www, os.path.join(www, "dav"), os.path.join(self.run, "tmp")):
                os.makedirs(d)
            with open(os.path.join(www, "1k"), "wb") as f:
                f.write(self.ONE_K)
            # The workers drop to nobody when started as root: they must
            # read the files and the key, and write PUT uploads.
            os.chmod(self.run, 0o755)
            os.chmod(www, 0o755)
            for d in (os.path.join(www, "dav"), os.path.join(self.run, "tmp")):
                os.chmod(d, 0o777)
            self._start()
        except BaseException:
            self.close()
            raise

    ONE_K = bytes(range(256)) * 4

    def url(self, path="/", scheme="https", host="127.0.0.1"):
        port = self.tls_port if scheme == "https" else self.h2c_port
        return f"{scheme}://{host}:{port}{path}"

    def _start(self):
        user = "user nobody nogroup;" if os.geteuid() == 0 else ""
        # The certificate files are read by the master, which stays root.
        self.unix_path = os.path.join(self.run, "nginx.sock")

        def attempt():
            self.tls_port, self.h2c_port = free_port_pair(), free_port()
            conf = os.path.join(self.run, "nginx.conf")
            with open(conf, "w") as f:
                f.write(NGINX_CONFIG.format(
                    run=self.run, user=user, cert=self.certs.cert_path, key=self.certs.key_path,
                    tls_port=self.tls_port, h2c_port=self.h2c_port, unix_path=self.unix_path))
            return spawn_until_serving(
                ["nginx", "-p", self.run, "-c", conf, "-e", os.path.join(self.run, "error.log")],
                self._serves, "nginx", 15)

        self.proc = start_on_free_ports(attempt, "nginx")

    def _serves(self) -> bool:
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.h2c_port, timeout=2)
            conn.request("GET", "/1k")
            ok = conn.getresponse().read() == self.ONE_K
            conn.close()
            return ok and os.path.exists(self.unix_path)
        except OSError:
            return False

    def access_log(self) -> list[list[str]]:
        """The access log's lines so far, split into fields: connection,
        protocol, method, path, status, request length, bytes sent, client
        port."""
        try:
            with open(os.path.join(self.run, "access.log")) as f:
                return [line.split() for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def close(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None
        shutil.rmtree(self.run, ignore_errors=True)


# pproxy's main() switches to uvloop when that is installed, then asks for
# the current loop the way uvloop refuses; run it on the standard loop.
_PPROXY_MAIN = """\
import asyncio, sys
sys.modules["uvloop"] = None
asyncio.set_event_loop(asyncio.new_event_loop())
from pproxy.server import main
sys.argv[0] = "pproxy"
main()
"""


class Pproxy:
    """pproxy (from PyPI) in its own process, listening on 127.0.0.1 with
    one scheme: ``Pproxy("socks5")``, ``Pproxy("http", auth="user:pass")``;
    with ``certs`` (TestCertificates) it speaks TLS to its clients (an HTTPS
    proxy).  It connects onward directly."""

    def __init__(self, scheme: str, auth: str | None = None, certs=None):
        self.proc = None
        tls = ["--ssl", f"{certs.cert_path},{certs.key_path}"] if certs else []

        def attempt():
            self.port = free_port()
            uri = (f"{scheme}{'+ssl' if certs else ''}://127.0.0.1:{self.port}"
                   + (f"#{auth}" if auth else ""))
            # --auth 0: pproxy otherwise lets a client address that once
            # authenticated in for the next 30 days without credentials.
            return spawn_until_serving(
                [sys.executable, "-c", _PPROXY_MAIN, "-l", uri, "--auth", "0", *tls],
                self._listens, "pproxy", 20)

        self.proc = start_on_free_ports(attempt, "pproxy")

    def _listens(self) -> bool:
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def close(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None


def read_request(sock):
    """Reads one request head from a raw socket: the bytes up to and with
    the blank line, or None when the peer closes first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    return data


def wait_for_close(sock, deadline: float):
    """Blocks until the peer closes the connection (or the deadline)."""
    sock.settimeout(deadline)
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass
