"""Every code block of the user guide (docs/*.rst) runs, as the reader
would run it, against loopback servers put in place of the addresses the
guide uses: httpbin's endpoints over HTTP and HTTPS, a WebSocket echo
server, and for the pages that need them nginx (HTTP/2 and HTTP/3), two
proxies and an SSH server.  Each block runs as a program of its own, in a
folder holding the files the guide's examples name (ca.pem, the test
certificate authority; report.csv, a small file to upload; proxy-ca.pem,
known_hosts and host_key.pub for the proxy and SSH pages)."""

import asyncio
import re
import shutil
import subprocess
import sys
import threading
import types

import pytest

from guide_code import (DOCS, H2_BASE, HTTP_BASE, HTTPS_BASE, PROXY, SCP_BASE, SFTP_BASE,
                        TLS_PROXY, WS_BASE, blocks, parse)
from loopback_servers import Nginx, Pproxy


class EchoWebSocketServer:
    """A websockets server in a thread of its own that echoes every
    message."""

    def __init__(self):
        from websockets.asyncio.server import serve

        self._loop = asyncio.new_event_loop()
        ready = threading.Event()

        async def echo(ws):
            try:
                async for message in ws:
                    await ws.send(message)
            except Exception:  # the client went away
                pass

        async def main():
            self._server = await serve(echo, "127.0.0.1", 0, compression=None, close_timeout=2)
            self.url = f"ws://127.0.0.1:{self._server.sockets[0].getsockname()[1]}"
            ready.set()
            await self._server.wait_closed()

        def run():
            asyncio.set_event_loop(self._loop)
            self._loop.run_until_complete(main())
            self._loop.close()

        self._thread = threading.Thread(target=run, name="guide-ws", daemon=True)
        self._thread.start()
        assert ready.wait(30)

    def stop(self):
        self._loop.call_soon_threadsafe(self._server.close)
        self._thread.join(30)


@pytest.fixture(scope="module")
def ws_echo():
    server = EchoWebSocketServer()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def guide_nginx(tls_ca, tmp_path_factory):
    """nginx with a certificate of the authority in ca.pem, so that the
    examples trust it as they trust the HTTPS server."""
    folder = tmp_path_factory.mktemp("guide-nginx")
    leaf = tls_ca.issue_cert("127.0.0.1", "localhost")
    certs = types.SimpleNamespace(cert_path=str(folder / "server.pem"),
                                  key_path=str(folder / "server.key"))
    leaf.cert_chain_pems[0].write_to_path(certs.cert_path)
    leaf.private_key_pem.write_to_path(certs.key_path)
    server = Nginx(certs)
    yield server
    server.close()


@pytest.fixture(scope="module")
def guide_proxies(protocol_certs):
    """An HTTP proxy, and one spoken to over TLS whose certificate comes from
    another authority than the origin servers' (proxy-ca.pem, not ca.pem)."""
    plain = Pproxy("http")
    try:
        tls = Pproxy("http", certs=protocol_certs)
    except BaseException:
        plain.close()
        raise
    yield plain, tls
    plain.close()
    tls.close()


class SSHServer:
    """An SFTP and SCP server on 127.0.0.1 (asyncssh, on an event loop
    thread of its own) serving a folder, with an Ed25519 host key made for
    the run; any user and password log in."""

    def __init__(self, root):
        import asyncssh

        class Server(asyncssh.SSHServer):
            def begin_auth(self, username):
                return True

            def password_auth_supported(self):
                return True

            def validate_password(self, username, password):
                return True

        self.host_key = asyncssh.generate_private_key("ssh-ed25519")
        self._loop = asyncio.new_event_loop()
        ready = threading.Event()

        async def main():
            self._server = await asyncssh.listen(
                "127.0.0.1", 0, server_host_keys=[self.host_key], server_factory=Server,
                sftp_factory=lambda chan: asyncssh.SFTPServer(chan, chroot=root),
                allow_scp=True)
            ready.set()

        def run():
            asyncio.set_event_loop(self._loop)
            self._loop.run_until_complete(main())
            self._loop.run_forever()

        self._thread = threading.Thread(target=run, name="guide-ssh", daemon=True)
        self._thread.start()
        assert ready.wait(30)
        self.port = self._server.sockets[0].getsockname()[1]
        # "ssh-ed25519 AAAA...", as in a .pub file and a known_hosts line.
        self.public_key = b" ".join(self.host_key.export_public_key("openssh").split()[:2])

    def close(self):
        async def stop():
            self._server.close()
            await self._server.wait_closed()

        asyncio.run_coroutine_threadsafe(stop(), self._loop).result(30)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(30)
        self._loop.close()


@pytest.fixture(scope="module")
def guide_ssh(tmp_path_factory):
    try:
        import asyncssh  # noqa: F401
    except ImportError as exc:  # it needs cryptography, missing on free-threaded 3.13
        pytest.skip(f"the SSH server needs asyncssh, which cannot be imported here: {exc}")
    root = tmp_path_factory.mktemp("guide-ssh")
    (root / "notes.txt").write_text("hello over SSH\n")
    server = SSHServer(str(root))
    yield server
    server.close()


@pytest.fixture
def servers(request, tmp_path):
    """The folder an example runs in, and the address substitutions: the
    servers an example names are started the first time one does."""
    def started(name):
        return request.getfixturevalue(name)

    def addresses(code):
        found = {}
        if HTTP_BASE in code:
            found[HTTP_BASE] = started("http_server").url
        if HTTPS_BASE in code:
            found[HTTPS_BASE] = started("https_server").url
        if WS_BASE in code:
            found[WS_BASE] = started("ws_echo").url
        if H2_BASE in code:
            found[H2_BASE] = started("guide_nginx").url("")
        if PROXY in code or TLS_PROXY in code:
            plain, tls = started("guide_proxies")
            found[PROXY] = f"http://127.0.0.1:{plain.port}"
            found[TLS_PROXY] = f"https://127.0.0.1:{tls.port}"
            shutil.copy(started("protocol_certs").ca_path, tmp_path / "proxy-ca.pem")
        if SFTP_BASE in code or SCP_BASE in code:
            ssh = started("guide_ssh")
            found[SFTP_BASE] = f"sftp://127.0.0.1:{ssh.port}"
            found[SCP_BASE] = f"scp://127.0.0.1:{ssh.port}"
            (tmp_path / "host_key.pub").write_bytes(ssh.public_key + b" guide\n")
            (tmp_path / "known_hosts").write_bytes(b"127.0.0.1 " + ssh.public_key + b"\n")
        return found

    shutil.copy(started("https_server").ca_path, tmp_path / "ca.pem")
    (tmp_path / "report.csv").write_text("day,requests\nmonday,120\ntuesday,98\n")
    return tmp_path, addresses


_blocks = blocks()


def test_every_python_block_of_the_guide_is_collected():
    # A block the parser missed would never run; so would Python in a page
    # format the parser does not read.
    assert _blocks, "no Python code blocks found in docs/"
    for path in sorted(DOCS.rglob("*.rst")):
        text = path.read_text()
        written = len(re.findall(r"^[ \t]*\.\. (?:code-block|code|sourcecode)::[ \t]*python",
                                 text, re.M))
        found = [b for b in _blocks if b.path == path]
        assert len(found) == written, path
        assert all(b.code.strip() for b in found), path
    for path in sorted(DOCS.rglob("*.md")):
        assert not re.search(r"^```+\s*(\{code-block\}\s*)?python", path.read_text(), re.M), path


@pytest.mark.parametrize("text, expected", [
    (".. code-block:: python\n\n   x = 1\n\n   y = 2\n\nAfter.\n", ["x = 1\n\ny = 2\n"]),
    ("- item\n\n  .. code-block:: python\n     :caption: c\n\n     a = 1\n\n  More item.\n",
     ["a = 1\n"]),
    ("::\n\n   not_python()\n\n.. code-block:: console\n\n   $ ls\n", []),
    (".. code-block:: python\n\n   last = True", ["last = True\n"]),
], ids=["two-paragraphs", "nested-with-option", "other-blocks", "at-end-of-file"])
def test_block_parser(tmp_path, text, expected):
    page = tmp_path / "page.rst"
    page.write_text(text)
    assert [b.code for b in parse(page)] == expected


@pytest.mark.parametrize("block", _blocks, ids=[b.name for b in _blocks])
def test_guide_example_runs(block, servers):
    folder, addresses = servers
    code = block.code
    for placeholder, real in addresses(code).items():
        code = code.replace(placeholder, real)
    script = folder / f"{block.module}.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, f"docs/{block.name}\n{done.stdout}\n{done.stderr}"
    assert "Traceback" not in done.stderr, done.stderr
