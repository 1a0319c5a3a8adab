"""nginx on loopback serving the static files of the benchmarks.

The files are made at start in a private folder: /1k (1 KiB), /1m (1 MiB)
and /big (1 GiB in a full run, sparse, so it costs neither disk nor time to
make).  Keep-alive connections live long and serve any number of requests,
so that a whole workload runs on the connections it opened first.  The same
files are served over TLS with HTTP/2 on a second port, with a certificate
made at start by the openssl command (``ca_path`` is its authority).
"""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

# The machine has two cores, shared by the client and the server: two
# workers keep the server off the critical path of a single client
# connection without crowding the client out.
WORKERS = 2

CONFIG = """\
worker_processes {workers};
daemon off;
master_process on;
pid {run}/nginx.pid;
error_log {run}/error.log warn;
{user}
events {{
    worker_connections 4096;
}}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 600s;
    keepalive_requests 100000000;
    open_file_cache max=16 inactive=600s;
    default_type application/octet-stream;
    client_body_temp_path {run}/tmp/body;
    proxy_temp_path {run}/tmp/proxy;
    fastcgi_temp_path {run}/tmp/fastcgi;
    uwsgi_temp_path {run}/tmp/uwsgi;
    scgi_temp_path {run}/tmp/scgi;
    server {{
        listen 127.0.0.1:{port} backlog=4096;
        root {run}/www;
        location / {{ }}
    }}
    server {{
        listen 127.0.0.1:{tls_port} ssl backlog=4096;
        http2 on;
        # Every stream of one connection in flight at once, and the
        # connection kept for a whole workload.
        http2_max_concurrent_streams 1000;
        ssl_certificate {run}/tls/server.pem;
        ssl_certificate_key {run}/tls/server.key;
        ssl_protocols TLSv1.3;
        root {run}/www;
        location / {{ }}
    }}
}}
"""

KIB = 1024
MIB = 1024 * 1024


def version() -> str:
    out = subprocess.run(["nginx", "-v"], capture_output=True, text=True, env=plain_env())
    m = re.search(r"nginx/(\S+)", out.stderr + out.stdout)
    return m.group(1) if m else "unknown"


def plain_env() -> dict:
    """The environment for programs that are not the Python client: no
    sanitizer runtime preloaded (the sanitizer test run preloads it for the
    interpreter only)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def _make_certificate(folder: str):
    """A CA (ca.pem) and a certificate for 127.0.0.1 it signed (server.pem,
    server.key), valid for two days."""
    os.makedirs(folder)

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True,
                       env=plain_env(), timeout=60)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=kelvex bench CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(os.path.join(folder, "leaf.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "leaf.ext", "-out", "server.pem")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """Context manager: makes the files, starts nginx, stops it at exit."""

    def __init__(self, big_size: int):
        self.big_size = big_size
        self.run = None
        self.proc = None
        self.port = None
        self.tls_port = None

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def tls_url(self, name: str) -> str:
        return f"https://127.0.0.1:{self.tls_port}/{name}"

    @property
    def ca_path(self) -> str:
        return os.path.join(self.run, "tls", "ca.pem")

    def __enter__(self):
        self.run = tempfile.mkdtemp(prefix="kelvex-bench-")
        try:
            self._make_files()
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _make_files(self):
        www = os.path.join(self.run, "www")
        os.makedirs(www)
        os.makedirs(os.path.join(self.run, "tmp"))
        with open(os.path.join(www, "1k"), "wb") as f:
            f.write(bytes(range(256)) * 4)
        with open(os.path.join(www, "1m"), "wb") as f:
            f.write(os.urandom(MIB))
        with open(os.path.join(www, "big"), "wb") as f:
            f.truncate(self.big_size)
        # nginx's workers drop to an unprivileged user when started as root.
        for d in (self.run, www):
            os.chmod(d, 0o755)
        _make_certificate(os.path.join(self.run, "tls"))

    def _start(self):
        user = "user nobody nogroup;" if os.geteuid() == 0 else ""
        last_error = ""
        for _ in range(5):
            self.port, self.tls_port = _free_port(), _free_port()
            conf = os.path.join(self.run, "nginx.conf")
            with open(conf, "w") as f:
                f.write(CONFIG.format(workers=WORKERS, run=self.run, port=self.port,
                                      tls_port=self.tls_port, user=user))
            self.proc = subprocess.Popen(
                ["nginx", "-p", self.run, "-c", conf, "-e", os.path.join(self.run, "error.log")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                env=plain_env(),
            )
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    last_error = self.proc.stderr.read().decode(errors="replace")
                    break
                if self._serves():
                    return
                time.sleep(0.05)
            else:
                last_error = "nginx did not answer within 15 s"
            self._stop()
            if "in use" not in last_error:
                break
        raise RuntimeError(f"cannot start nginx: {last_error.strip()}")

    def _serves(self) -> bool:
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=2)
            conn.request("GET", "/1k")
            ok = conn.getresponse().read() == bytes(range(256)) * 4
            conn.close()
            return ok
        except OSError:
            return False

    def _stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr:
            self.proc.stderr.close()
        self.proc = None

    def __exit__(self, *exc):
        self._stop()
        if self.run:
            shutil.rmtree(self.run, ignore_errors=True)
            self.run = None
        return False
