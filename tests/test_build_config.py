"""The configure-time checks of CMakeLists.txt: a libcurl that is missing or
too old stops the build with one line that points at the wheels, and the
interpreter kelvex is built against must export the argument parsers that
src/args.h declares itself."""

import os
import shutil
import subprocess
import sys

import pytest

from guide_code import ROOT

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or not (ROOT / "CMakeLists.txt").exists(),
    reason="needs cmake and the source tree")

PARSERS = ("_PyArg_ParseStack", "_PyArg_ParseStackAndKeywords")


def configure(tmp_path, *defines, env=None):
    return subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "b"), f"-DPython_EXECUTABLE={sys.executable}",
         *defines],
        capture_output=True, text=True, env=env)


def error_lines(done):
    """The lines of CMake's error message, less its "CMake Error at" header."""
    return [line.strip() for line in done.stderr.splitlines()
            if line.strip() and not line.startswith("CMake Error") and not line.startswith("--")]


def pkg_config_dir(tmp_path, version=None):
    """A pkg-config folder that has no libcurl, or one of `version` whose
    headers say so."""
    folder = tmp_path / "pc"
    folder.mkdir()
    if version is not None:
        include = tmp_path / "include"
        (include / "curl").mkdir(parents=True)
        major, minor, patch = map(int, version.split("."))
        (include / "curl" / "curlver.h").write_text(
            f'#define LIBCURL_VERSION "{version}"\n'
            f"#define LIBCURL_VERSION_NUM 0x{major:02x}{minor:02x}{patch:02x}\n")
        (folder / "libcurl.pc").write_text(
            f"includedir={include}\nName: libcurl\nDescription: x\nVersion: {version}\n"
            f"Libs: -lcurl\nCflags: -I${{includedir}}\n")
    return folder


@pytest.mark.parametrize("version, says", [
    (None, "pkg-config found no libcurl here."),
    ("8.14.1", "are libcurl 8.14.1."),
], ids=["missing", "too-old"])
def test_libcurl_missing_or_old_stops_with_one_line(tmp_path, version, says):
    env = {**os.environ, "PKG_CONFIG_LIBDIR": str(pkg_config_dir(tmp_path, version)), "PKG_CONFIG_PATH": ""}
    done = configure(tmp_path, env=env)
    assert done.returncode != 0
    lines = error_lines(done)
    assert lines and lines[0].startswith("kelvex needs libcurl 8.21.0 or newer"), done.stderr
    assert says in lines[0] and "The kelvex wheels carry their own libcurl" in lines[0], lines
    assert not any("kelvex" in line for line in lines[1:]), lines


@pytest.mark.skipif(sys.version_info >= (3, 15), reason="3.15 makes the parsers public")
def test_interpreter_exporting_the_parsers_configures(tmp_path):
    done = configure(tmp_path)
    assert done.returncode == 0, done.stderr
    assert "exports the argument parsers kelvex uses" in done.stdout


@pytest.mark.skipif(sys.version_info >= (3, 15), reason="3.15 makes the parsers public")
def test_interpreter_without_the_parsers_stops_configure_by_name(tmp_path):
    # An ELF file that exports neither: the check reads it as the interpreter.
    elf = os.path.realpath(shutil.which("sh"))
    done = configure(tmp_path, f"-DKELVEX_PYTHON_SYMBOLS={elf}")
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert f"CPython's {', '.join(PARSERS)}, which {elf}" in message
    assert "does not export" in message
