"""A kelvex installed from its wheel (scripts/wheel-test runs these in
plain Debian roots): the files it brought need no glibc newer than its tag
promises, and its libcurl trusts the system's certificate authorities
without being told where they are."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kelvex

PACKAGE = Path(kelvex.__file__).resolve().parent
LIBS = PACKAGE.parent / "kelvex.libs"
pytestmark = pytest.mark.skipif(not LIBS.is_dir(), reason="kelvex is not installed from a wheel")


def wheel_tags():
    """The tags the installed wheel's metadata lists."""
    dist_info = next(PACKAGE.parent.glob("kelvex-*.dist-info"))
    return [line.split(":", 1)[1].strip() for line in (dist_info / "WHEEL").read_text().splitlines()
            if line.startswith("Tag:")]


def load_report():
    path = os.environ.get("KELVEX_WHEEL_REPORT") or str(
        Path(__file__).resolve().parents[1] / "scripts" / "wheel-report")
    loader = importlib.machinery.SourceFileLoader("wheel_report", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("wheel_report", loader))
    loader.exec_module(module)
    return module


def test_no_file_needs_a_newer_glibc_than_the_tag():
    pytest.importorskip("elftools")
    report = load_report()
    promised = report.tag_glibc(".".join(wheel_tags()))
    assert promised is not None, wheel_tags()
    files = [p for p in [*PACKAGE.rglob("*.so*"), *LIBS.iterdir()] if p.is_file()]
    assert any("libcurl" in p.name for p in files)
    needs = {}
    for path in files:
        for version in report.glibc_needs(path.read_bytes()):
            needs.setdefault(version, []).append(path.name)
    newest = max(needs)
    assert newest <= promised, f"{needs[newest]} need glibc {newest}, the tag promises {promised}"


def run_fetch(url, env):
    code = ("import kelvex\nc = kelvex.Curl()\nc.setopt(kelvex.URL, %r)\n"
            "try:\n    print(c.perform_rb().decode())\n"
            "except kelvex.error as e:\n    print('error', e.args[0])\n" % url)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True, timeout=60).stdout.strip()


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}


def test_import_points_openssl_at_the_system_bundle():
    out = subprocess.run([sys.executable, "-c", "import os, kelvex; print(os.environ['SSL_CERT_FILE'])"],
                         env=clean_env(), capture_output=True, text=True, check=True).stdout.strip()
    assert out == "/etc/ssl/certs/ca-certificates.crt"  # the Debian roots of the wheel tests


def test_https_trusts_the_default_bundle_and_only_it(https_server):
    # With no CAINFO, the bundle OpenSSL is pointed at decides: the test CA
    # as the bundle is trusted; the system's, which lacks it, is not.
    url = https_server.url + "/range/5"
    assert run_fetch(url, {**clean_env(), "SSL_CERT_FILE": https_server.ca_path}) == "abcde"
    assert run_fetch(url, clean_env()) == f"error {kelvex.E_PEER_FAILED_VERIFICATION}"
