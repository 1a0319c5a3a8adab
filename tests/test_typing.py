"""The type stubs agree with the compiled module (mypy.stubtest), and the
examples and every code block of the user guide pass mypy --strict against
them."""

import subprocess
import sys

import pytest

from guide_code import ROOT, blocks

ALLOWLIST = ROOT / "tests" / "stubtest-allowlist.txt"


def run(args, **kwargs):
    # From the checkout, so that mypy reads the stubs of the source folder
    # kelvex/ while the runtime module is the build's.
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True,
                          text=True, timeout=600, **kwargs)


def test_stubs_match_the_compiled_module():
    done = run(["mypy.stubtest", "kelvex._kelvex", "--allowlist", str(ALLOWLIST)])
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
    ('kelvex.Curl().setopt(kelvex.URL, "x", "y")', 'Too many positional arguments for "setopt"'),
    ("x: str = kelvex.Curl().perform_rb()", "Incompatible types in assignment"),
    ("kelvex.CurlMulti(True)", 'Too many positional arguments for "CurlMulti"'),
    ('kelvex.CurlMime("not a handle")', 'Argument 1 to "CurlMime" has incompatible type'),
    ("kelvex.CurlShare().share(kelvex.LOCK_DATA_DNS, None)", 'Argument 2 to "share"'),
], ids=["extra-argument", "wrong-result-type", "keyword-only", "wrong-argument-type",
        "wrong-star-argument"])
def test_mypy_sees_mistakes_through_the_stubs(tmp_path, code, expected):
    # The strict run above could pass because the stubs say Any everywhere;
    # these must fail.
    path = tmp_path / "wrong.py"
    path.write_text("import kelvex\n" + code + "\n")
    done = run(["mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"), str(path)])
    assert done.returncode == 1 and expected in done.stdout, done.stdout + done.stderr
