"""The type stubs agree with the compiled module (mypy.stubtest), and the
examples and every code block of the user guide pass mypy --strict against
them."""

import subprocess
import sys

import pytest

from conftest import names_missing_for_older_libcurl
from guide_code import ROOT, blocks

ALLOWLIST = ROOT / "tests" / "stubtest-allowlist.txt"


def run(args, **kwargs):
    # From the checkout, so that mypy reads the stubs of the source folder
    # kelvex/ while the runtime module is the build's.
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True,
                          text=True, timeout=600, **kwargs)


def test_stubs_match_the_compiled_module(tmp_path):
    # A build against older libcurl headers lacks the names that need newer
    # ones; the stubs still list them.
    older = tmp_path / "older-libcurl-allowlist.txt"
    older.write_text("".join(f"kelvex._kelvex.{name}\n" for name in names_missing_for_older_libcurl()))
    done = run(["mypy.stubtest", "kelvex._kelvex", "--allowlist", str(ALLOWLIST),
                "--allowlist", str(older)])
    assert done.returncode == 0, done.stdout + done.stderr


def test_allowlist_entries_each_carry_a_reason():
    reason = False
    for line in ALLOWLIST.read_text().splitlines():
        if line.startswith("#"):
            reason = True
        elif line.strip():
            assert reason, f"{line} has no comment above it saying why"
        else:
            reason = False


def test_examples_and_guide_pass_mypy_strict(tmp_path):
    guide = blocks()
    assert guide, "the guide has no Python code blocks"
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    for block in guide:
        path = tmp_path / f"{block.module}.py"
        path.write_text(block.code)
        files.append(str(path))
    done = run(["mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"),
                "--no-error-summary", "--show-error-codes", *files])
    out = done.stdout
    for block in guide:
        out = out.replace(str(tmp_path / f"{block.module}.py"), f"docs/{block.name}+")
    assert done.returncode == 0, out + done.stderr


@pytest.mark.parametrize("code, expected", [
    ('kelvex.Curl().setopt(kelvex.URL, "x", "y")', 'No overload variant of "setopt"'),
    ("x: str = kelvex.Curl().perform_rb()", "Incompatible types in assignment"),
    ("kelvex.CurlMulti(True)", 'Too many positional arguments for "CurlMulti"'),
    ('kelvex.CurlMime("not a handle")', 'Argument 1 to "CurlMime" has incompatible type'),
    ("kelvex.CurlShare().share(kelvex.LOCK_DATA_DNS, None)", 'Argument 2 to "share"'),
    ("kelvex.Curl().setopt(kelvex.TIMEOUT, 1.5)", 'No overload variant of "setopt"'),
    ('kelvex.Curl().setopt(kelvex.WRITEDATA, "out.txt")', 'No overload variant of "setopt"'),
    ("kelvex.Curl().setopt(kelvex.URL, 80)", 'No overload variant of "setopt"'),
    ("kelvex.Curl().setopt(kelvex.WRITEFUNCTION, 5)", 'No overload variant of "setopt"'),
    ("kelvex.Curl().setopt(kelvex.HTTPHEADER, 'Accept: */*')", 'No overload variant of "setopt"'),
    ("kelvex.Curl().setopt(kelvex.TIMEOUT, 1, use_memoryview=True)",
     'No overload variant of "setopt"'),
    ("status: str = kelvex.Curl().getinfo(kelvex.RESPONSE_CODE)",
     "Incompatible types in assignment"),
    ("total: int = kelvex.Curl().getinfo(kelvex.TOTAL_TIME)", "Incompatible types in assignment"),
    ("url: bytes | None = kelvex.Curl().getinfo(kelvex.EFFECTIVE_URL)",
     "Incompatible types in assignment"),
    ("kelvex.Curl().getinfo(kelvex.COOKIELIST)", 'No overload variant of "getinfo"'),
], ids=["extra-argument", "wrong-result-type", "keyword-only", "wrong-argument-type",
        "wrong-star-argument", "float-for-int-option", "name-for-writedata", "int-for-text-option",
        "int-for-function-option", "str-for-list-option", "memoryview-for-int-option",
        "int-info-as-str", "float-info-as-int", "text-info-as-bytes", "option-as-info"])
def test_mypy_sees_mistakes_through_the_stubs(tmp_path, code, expected):
    # The strict run above could pass because the stubs say Any everywhere;
    # these must fail.
    path = tmp_path / "wrong.py"
    path.write_text("import kelvex\n" + code + "\n")
    done = run(["mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"), str(path)])
    assert done.returncode == 1 and expected in done.stdout, done.stdout + done.stderr


def test_mypy_accepts_each_kind_rightly_used(tmp_path):
    # The kinds must not refuse what setopt and getinfo take.
    path = tmp_path / "right.py"
    path.write_text(
        "import io\n"
        "import kelvex\n"
        "c = kelvex.Curl()\n"
        "c.setopt(kelvex.URL, 'http://127.0.0.1/')\n"
        "c.setopt(kelvex.URL, b'http://127.0.0.1/')\n"
        "c.setopt(kelvex.PROXY, None)\n"
        "c.setopt(kelvex.TIMEOUT_MS, 1500)\n"
        "c.setopt(kelvex.INFILESIZE_LARGE, 2**40)\n"
        "c.setopt(kelvex.FOLLOWLOCATION, True)\n"
        "c.setopt(kelvex.HTTPHEADER, ['Accept: */*'])\n"
        "c.setopt(kelvex.HTTPHEADER, (b'Accept: */*',))\n"
        "c.setopt(kelvex.WRITEFUNCTION, io.BytesIO().write, use_memoryview=True)\n"
        "c.setopt(kelvex.WRITEDATA, io.BytesIO())\n"
        "c.setopt(kelvex.READDATA, io.BytesIO(b'x'))\n"
        "c.setopt(kelvex.MIMEPOST, kelvex.CurlMime(c))\n"
        "c.setopt(kelvex.SHARE, kelvex.CurlShare())\n"
        "c.setopt(kelvex.SSLCERT_BLOB, b'pem')\n"
        "code: int = c.getinfo(kelvex.RESPONSE_CODE)\n"
        "total: float = c.getinfo(kelvex.TOTAL_TIME)\n"
        "micros: int = c.getinfo(kelvex.TOTAL_TIME_T)\n"
        "url: str | None = c.getinfo(kelvex.EFFECTIVE_URL)\n"
        "raw: bytes | None = c.getinfo_raw(kelvex.EFFECTIVE_URL)\n"
        "cookies: list[str] = c.getinfo(kelvex.INFO_COOKIELIST)\n"
        "sock: int = c.getinfo(kelvex.ACTIVESOCKET)\n"
        "chain = c.getinfo(kelvex.INFO_CERTINFO)\n"
    )
    done = run(["mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"), str(path)])
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_declares_exactly_the_modules_constants():
    # What stubtest would check for the constants the allowlist above
    # exempts: the same names, each an int at run time, each declared with
    # int or one of the kinds.
    import re

    import kelvex._kelvex as module

    stub = (ROOT / "kelvex" / "_kelvex.pyi").read_text()
    declared = dict(re.findall(r"^([A-Z][A-Z0-9_]*): (\w+)$", stub, re.M))
    runtime = {name for name in dir(module) if re.fullmatch(r"[A-Z][A-Z0-9_]*", name)}
    older = names_missing_for_older_libcurl()
    assert set(declared) - older == runtime
    kinds = set(re.findall(r'^(_\w+) = NewType\("\1", int\)', stub, re.M))
    for name, kind in declared.items():
        if name in older:
            continue
        assert kind in kinds or kind in ("int", "str"), (name, kind)
        assert isinstance(getattr(module, name), int if kind != "str" else str), name
