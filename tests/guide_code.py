"""The Python code blocks of the user guide (docs/*.rst), for the tests that
run them (test_guide.py) and type-check them (test_typing.py).

Every ``.. code-block:: python`` in the guide is a whole program.  The
guide's examples talk to the addresses below; the tests start loopback
servers and put their addresses in place of these.
"""

import pathlib
import re
import textwrap
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

HTTP_BASE = "http://127.0.0.1:8000"
HTTPS_BASE = "https://127.0.0.1:8443"
WS_BASE = "ws://127.0.0.1:8765"
# The pages on HTTP/2, proxies and SSH talk to these as well.
H2_BASE = "https://127.0.0.1:9443"   # HTTP/1.1, HTTP/2 and HTTP/3 (nginx)
PROXY = "http://127.0.0.1:3128"      # an HTTP proxy
TLS_PROXY = "https://127.0.0.1:3129"  # an HTTP proxy spoken to over TLS
SFTP_BASE = "sftp://127.0.0.1:2222"
SCP_BASE = "scp://127.0.0.1:2222"

_DIRECTIVE = re.compile(r"^(?P<indent>[ \t]*)\.\. code-block::[ \t]*python3?[ \t]*$")
_OPTION = re.compile(r"^[ \t]+:[\w-]+:")


@dataclass(frozen=True)
class Block:
    path: pathlib.Path
    line: int  # line of the directive, from 1
    code: str

    @property
    def name(self) -> str:
        return f"{self.path.relative_to(DOCS)}:{self.line}"

    @property
    def module(self) -> str:
        """A module name unique to this block."""
        stem = re.sub(r"\W", "_", str(self.path.relative_to(DOCS).with_suffix("")))
        return f"guide_{stem}_{self.line}"


def parse(path: pathlib.Path) -> list[Block]:
    lines = path.read_text().splitlines()
    found = []
    i = 0
    while i < len(lines):
        m = _DIRECTIVE.match(lines[i])
        if not m:
            i += 1
            continue
        start, indent = i + 1, len(m["indent"].expandtabs())
        i += 1
        while i < len(lines) and _OPTION.match(lines[i]):
            i += 1
        body = []
        while i < len(lines) and (
            not lines[i].strip() or len(lines[i].expandtabs()) - len(lines[i].expandtabs().lstrip()) > indent
        ):
            body.append(lines[i])
            i += 1
        code = textwrap.dedent("\n".join(body)).strip("\n") + "\n"
        found.append(Block(path, start, code))
    return found


def blocks() -> list[Block]:
    return [block for path in sorted(DOCS.rglob("*.rst")) for block in parse(path)]
