"""Every code block of the user guide (docs/*.rst) runs, as the reader
would run it, against loopback servers put in place of the addresses the
guide uses: httpbin's endpoints over HTTP and HTTPS, and a WebSocket echo
server.  Each block runs as a program of its own, in a folder holding the
files the guide's examples name (ca.pem, the test certificate authority;
report.csv, a small file to upload)."""

import asyncio
import re
import shutil
import subprocess
import sys
import threading

import pytest

from guide_code import DOCS, HTTP_BASE, HTTPS_BASE, WS_BASE, blocks, parse


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


@pytest.fixture
def servers(http_server, https_server, ws_echo, tmp_path):
    """The folder an example runs in, and the address substitutions."""
    shutil.copy(https_server.ca_path, tmp_path / "ca.pem")
    (tmp_path / "report.csv").write_text("day,requests\nmonday,120\ntuesday,98\n")
    return tmp_path, {HTTP_BASE: http_server.url, HTTPS_BASE: https_server.url,
                      WS_BASE: ws_echo.url}


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
    for placeholder, real in addresses.items():
        code = code.replace(placeholder, real)
    script = folder / f"{block.module}.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, f"docs/{block.name}\n{done.stdout}\n{done.stderr}"
    assert "Traceback" not in done.stderr, done.stderr
