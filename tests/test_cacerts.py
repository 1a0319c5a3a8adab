"""How a wheel's kelvex finds the system's certificate authorities: the
bundle files of the usual layouts, and the variables a user set first."""

import os
import subprocess
import sys

import pytest

import kelvex
from kelvex import _cacerts

LAYOUTS = {
    "debian": "/etc/ssl/certs/ca-certificates.crt",
    "fedora": "/etc/pki/tls/certs/ca-bundle.crt",
    "rhel-extracted": "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "suse": "/etc/ssl/ca-bundle.pem",
    "alpine": "/etc/ssl/cert.pem",
}


def lay_out(root, *paths):
    for path in paths:
        full = root / path.lstrip("/")
        full.parent.mkdir(parents=True, exist_ok=True)
        full.write_text("-----BEGIN CERTIFICATE-----\n")


@pytest.mark.parametrize("path", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_each_layout_is_found(tmp_path, path):
    lay_out(tmp_path, path)
    environ = {}
    _cacerts.use_system_bundle(environ, root=str(tmp_path))
    assert environ == {"SSL_CERT_FILE": str(tmp_path / path.lstrip("/"))}


def test_debian_bundle_wins_over_the_bare_openssl_file(tmp_path):
    # Alpine with ca-certificates has both; the bundle its tools maintain wins.
    lay_out(tmp_path, LAYOUTS["alpine"], LAYOUTS["debian"])
    assert _cacerts.find_bundle(str(tmp_path)) == str(tmp_path / LAYOUTS["debian"].lstrip("/"))


def test_a_folder_of_that_name_is_not_a_bundle(tmp_path):
    (tmp_path / "etc/ssl/cert.pem").mkdir(parents=True)
    environ = {}
    _cacerts.use_system_bundle(environ, root=str(tmp_path))
    assert environ == {}


@pytest.mark.parametrize("preset", [{"SSL_CERT_FILE": "/mine.pem"}, {"SSL_CERT_DIR": "/my/certs"}])
def test_what_the_user_set_stays(tmp_path, preset):
    lay_out(tmp_path, LAYOUTS["debian"])
    environ = dict(preset)
    _cacerts.use_system_bundle(environ, root=str(tmp_path))
    assert environ == preset


def test_a_checkout_build_leaves_the_environment_alone():
    # Only a wheel (kelvex.libs/ beside the package) sets the variable.
    env = {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}
    if os.path.isdir(os.path.join(os.path.dirname(os.path.dirname(kelvex.__file__)), "kelvex.libs")):
        pytest.skip("this kelvex is installed from a wheel")
    out = subprocess.run([sys.executable, "-c", "import os, kelvex; print(os.environ.get('SSL_CERT_FILE'))"],
                         env=env, capture_output=True, text=True, check=True).stdout
    assert out.strip() == "None"
