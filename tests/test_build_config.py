"""The configure-time checks of CMakeLists.txt: a libcurl that is missing or
too old stops the build with one line that points at the wheels, and the
argument parsers of src/base/args.h are the public pair where the CPython headers
declare it, and the interpreter kelvex is built against must export the pair
picked."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from guide_code import ROOT

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or not (ROOT / "CMakeLists.txt").exists(),
    reason="needs cmake and the source tree")

PUBLIC = ("PyArg_ParseArray", "PyArg_ParseArrayAndKeywords")
PRIVATE = ("_PyArg_ParseStack", "_PyArg_ParseStackAndKeywords")
PUBLIC_DECLARATIONS = """
PyAPI_FUNC(int) PyArg_ParseArray(PyObject *const *args, Py_ssize_t nargs, const char *format, ...);
PyAPI_FUNC(int) PyArg_ParseArrayAndKeywords(PyObject *const *args, Py_ssize_t nargs,
                                            PyObject *kwnames, const char *format,
                                            const char * const *kwlist, ...);
"""


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


def test_interpreter_running_here_configures(tmp_path):
    done = configure(tmp_path)
    assert done.returncode == 0, done.stderr
    said = re.search(r"arguments parsed with (\w+) and (\w+), which", done.stdout)
    assert said and said.groups() in (PUBLIC, PRIVATE), done.stdout
    assert all(hasattr(ctypes.pythonapi, name) for name in said.groups())


def headers(tmp_path, public):
    """A copy of this interpreter's headers that declares the public argument
    parsers (public=True) or does not, whichever CPython they come from."""
    include = tmp_path / "include"
    shutil.copytree(sysconfig.get_path("include"), include, symlinks=True)
    modsupport = include / "cpython" / "modsupport.h"
    text = re.sub(r"PyAPI_FUNC\(int\) PyArg_ParseArray(AndKeywords)?\([^;]*;\n", "",
                  modsupport.read_text())
    modsupport.write_text(text + (PUBLIC_DECLARATIONS if public else ""))
    return include


def exporting(tmp_path, names):
    """A shared library that exports `names`, read as the interpreter's."""
    source = tmp_path / "exports.c"
    source.write_text("".join(f"int {name}(void) {{ return 0; }}\n" for name in names))
    library = tmp_path / f"lib{names[0]}.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return library


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
@pytest.mark.parametrize("public", [True, False], ids=["headers-declare-public", "headers-without"])
def test_headers_pick_the_parsers_and_the_interpreter_must_export_them(tmp_path, public):
    include = headers(tmp_path, public)
    picked, other = (PUBLIC, PRIVATE) if public else (PRIVATE, PUBLIC)

    done = configure(tmp_path / "exports-picked", f"-DPython_INCLUDE_DIR={include}",
                     f"-DKELVEX_PYTHON_SYMBOLS={exporting(tmp_path, picked)}")
    assert done.returncode == 0, done.stderr
    assert f"arguments parsed with {picked[0]} and {picked[1]}, which" in done.stdout

    elf = exporting(tmp_path, other)
    done = configure(tmp_path / "exports-other", f"-DPython_INCLUDE_DIR={include}",
                     f"-DKELVEX_PYTHON_SYMBOLS={elf}")
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert f"CPython's {', '.join(picked)}" in message and f"{elf} (Python" in message, message
    assert "does not export" in message
