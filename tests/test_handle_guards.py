"""scripts/check_guards.py: code reaches a libcurl handle only through a
guard (src/access.h), or in a function listed with the reason it may."""

import importlib.util
import re
import subprocess
import sys

import pytest

from guide_code import ROOT

SCRIPT = ROOT / "scripts" / "check_guards.py"
SRC = ROOT / "src"

pytestmark = pytest.mark.skipif(not SCRIPT.exists() or not SRC.is_dir(),
                                reason="needs the source tree")


def check(*paths):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, paths)],
                          capture_output=True, text=True)


def test_sources_use_handles_only_through_guards():
    done = check()
    assert done.returncode == 0, done.stdout + done.stderr


def test_every_listed_function_exists():
    """A function renamed or removed leaves no stale permission behind."""
    found = importlib.util.spec_from_file_location("check_guards", SCRIPT)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    for file, function in module.ALLOWED:
        text = (SRC / file).read_text()
        assert re.search(rf"^\S[^\n]*\b{re.escape(function)}\s*\(", text, re.M), (file, function)


BAD = {
    "call": "  curl_easy_perform(self->handle);",
    "copied": "  CURL* h = self->handle;",
    "continued": "  (void)curl_multi_remove_handle(access.handle(),\n      curl->handle);",
    "multi": "  curl_multi_perform(multi->multi_handle, &running);",
    "mime": "  curl_mime_addpart(doc->mime_handle);",
    "part": "  curl_mime_name(self->part, text);",
    "share": "  curl_share_setopt(self->share_handle, option, kind);",
}
GOOD = {
    "guard": "  curl_easy_perform(access.handle());",
    "null test": "  if (self->handle == nullptr) return nullptr;",
    "address": "  if (as_curl(item)->handle != easy) continue;",
    "store": "  self->mime_handle = curl_mime_init(access.CurlAccess::handle());",
}


def source(tmp_path, body, name="do_curl_example"):
    path = tmp_path / "example.cpp"
    path.write_text(f"PyObject* {name}(CurlObject* self) {{\n  CurlAccess access(self, 0, \"x\");\n"
                    f"{body}\n  return nullptr;\n}}\n")
    return path


@pytest.mark.parametrize("body", BAD.values(), ids=BAD.keys())
def test_a_handle_read_outside_a_guard_fails(tmp_path, body):
    done = check(source(tmp_path, body))
    assert done.returncode == 1
    assert "example.cpp:" in done.stdout and "do_curl_example" in done.stdout
    assert "outside a guard" in done.stderr


@pytest.mark.parametrize("body", GOOD.values(), ids=GOOD.keys())
def test_guarded_and_harmless_uses_pass(tmp_path, body):
    done = check(source(tmp_path, body))
    assert done.returncode == 0, done.stdout


def test_a_permission_is_for_its_own_file_and_function(tmp_path):
    # util_curl_close may use the raw handle in easy.cpp, not elsewhere.
    done = check(source(tmp_path, BAD["call"], name="util_curl_close"))
    assert done.returncode == 1
