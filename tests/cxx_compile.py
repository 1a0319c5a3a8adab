"""How the build compiles kelvex's sources (CMakeLists.txt), for the tests
that compile small sources against its headers and expect them to compile
or to be refused."""

import functools
import os
import pathlib
import shlex
import shutil
import subprocess
import sysconfig
import tempfile

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# The layers' folders, as CMakeLists.txt puts them on the include path.
LAYERS = ("base", "access", "objects", "eventcore", "module")

# CMakeLists.txt's check of the public argument parsers, word for word.
_PUBLIC_PARSERS = """
#define PY_SSIZE_T_CLEAN
#include <Python.h>
using Positional = int (*)(PyObject* const*, Py_ssize_t, const char*, ...);
using Keywords = int (*)(PyObject* const*, Py_ssize_t, PyObject*, const char*,
                         const char* const*, ...);
Positional positional = PyArg_ParseArray;
Keywords keywords = PyArg_ParseArrayAndKeywords;
"""


@functools.cache
def compile_command() -> list[str] | None:
    """The compiler and the build's flags, for a syntax check only; None
    when this machine cannot compile the sources."""
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    pkg_config = shutil.which("pkg-config")
    if compiler is None or pkg_config is None or not SRC.is_dir():
        return None
    curl = subprocess.run([pkg_config, "--cflags", "libcurl"], capture_output=True, text=True)
    if curl.returncode != 0:
        return None
    python = sysconfig.get_paths()["include"]
    command = [compiler, "-std=c++20", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra",
               "-Werror", "-fsyntax-only", *(f"-I{SRC / layer}" for layer in LAYERS),
               "-isystem", python,
               *shlex.split(curl.stdout)]
    # The argument parsers are picked as the build picks them: by what the
    # interpreter's headers declare.
    with tempfile.TemporaryDirectory() as folder:
        probe = pathlib.Path(folder) / "probe.cpp"
        probe.write_text(_PUBLIC_PARSERS)
        public = subprocess.run([*command, str(probe)], capture_output=True).returncode == 0
    return [*command, f"-DKELVEX_PUBLIC_ARRAY_PARSERS={int(public)}"]
