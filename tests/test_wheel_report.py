"""scripts/wheel-report, which names the files and symbols of a wheel that
set its glibc version, read against the compiled module and a wheel made
from it."""

import importlib.machinery
import importlib.util
import re
import subprocess
import sys
import zipfile

import pytest

from guide_code import ROOT

pytest.importorskip("elftools")
from kelvex import _kelvex  # noqa: E402

SCRIPT = ROOT / "scripts" / "wheel-report"


def load_report():
    loader = importlib.machinery.SourceFileLoader("wheel_report", str(SCRIPT))
    found = importlib.util.spec_from_loader("wheel_report", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def undefined_glibc_symbols(path):
    """(symbol, version) pairs nm reads from the dynamic symbol table."""
    out = subprocess.run(["nm", "-D", "--undefined-only", str(path)], capture_output=True,
                         text=True, check=True).stdout
    found = set()
    for line in out.splitlines():
        m = re.search(r"(\S+)@GLIBC_(\d+(?:\.\d+)+)$", line)
        if m:
            found.add((m[1], tuple(int(p) for p in m[2].split("."))))
    return found


def test_glibc_needs_agrees_with_nm():
    path = _kelvex.__file__
    with open(path, "rb") as f:
        needs = load_report().glibc_needs(f.read())
    got = {(symbol, version) for version, symbols in needs.items() for symbol in symbols}
    assert got == undefined_glibc_symbols(path)
    assert got, "the module calls no versioned glibc function?"


def test_report_names_the_newest_version_and_its_files(tmp_path):
    path = _kelvex.__file__
    newest = max(version for _, version in undefined_glibc_symbols(path))
    wheel = tmp_path / "kelvex-0.1.0-cp313-cp313-manylinux_2_99_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(path, "kelvex/_kelvex.so")
        z.write(path, "kelvex.libs/libcopy-0123abcd.so.1")
        z.writestr("kelvex/__init__.py", "")
    done = subprocess.run([sys.executable, str(SCRIPT), str(wheel)], capture_output=True,
                          text=True, check=True)
    out = done.stdout
    assert "platform tag: manylinux_2_99_x86_64" in out
    assert "bundled libraries (1):\n    libcopy-0123abcd.so.1" in out
    version = ".".join(map(str, newest))
    assert f"newest glibc symbol version asked for: GLIBC_{version}, by:" in out
    assert "    _kelvex.so: " in out and "    libcopy-0123abcd.so.1: " in out
