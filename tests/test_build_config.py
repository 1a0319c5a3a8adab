"""The configure-time checks of CMakeLists.txt: the interpreter kelvex is
built against must export the argument parsers that src/args.h declares
itself."""

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


def configure(tmp_path, *defines):
    return subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "b"), f"-DPython_EXECUTABLE={sys.executable}",
         *defines],
        capture_output=True, text=True)


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
