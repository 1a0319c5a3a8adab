"""A libcurl handle is reached only through a guard (src/access/access.h), and the
compiler keeps it so: each refused case below is a small source, compiled
with the build's compiler, flags and include folders, that must fail at the
line marked REFUSED. The control source uses the same headers the right way
and must compile, so a refusal cannot come from a missing include or a
broken flag."""

import os
import re
import subprocess

import pytest

from cxx_compile import compile_command

HEADERS = ("access.h", "easy.h", "multi.h", "share.h", "mime.h", "mimepart.h", "callbacks.h")
PRELUDE = "".join(f'#include "{name}"\n' for name in HEADERS)
MARK = "// REFUSED"


COMMAND = compile_command()
pytestmark = pytest.mark.skipif(COMMAND is None, reason="needs the source tree, a C++ compiler "
                                                        "and libcurl's headers")


def compile_source(tmp_path, body):
    path = tmp_path / "example.cpp"
    path.write_text(PRELUDE + body)
    # Plain quotes and English in the messages, whatever the locale.
    env = {**os.environ, "LC_ALL": "C"}
    return path, subprocess.run([*COMMAND, str(path)], capture_output=True, text=True, env=env)


def error_lines(path, done):
    """The line numbers of example.cpp that the compiler reports errors at."""
    found = re.findall(rf"^{re.escape(str(path))}:(\d+):\d+: error:", done.stderr, re.M)
    return {int(line) for line in found}


CONTROL = """
PyObject* do_curl_example(CurlObject* self, PyObject* body) {
  CurlAccess access(self, CHECK_HANDLE, "example");
  if (!access) return nullptr;
  if (!self->handle.open()) return nullptr;
  curl_set_progress_calls(self, access.handle(), true);
  if (self->mime != nullptr) (void)access.document(self->mime);
  return curl_setopt_filelike_claimed(access, CURLOPT_WRITEDATA, body);
}

void do_curl_example_close(CurlObject* self) {
  TeardownGuard own(self);
  if (CURL* handle = teardown_handle(own, self->handle)) {
    curl_easy_cleanup(handle);
    self->handle.forget();
  }
}

PyObject* do_multi_example(CurlMultiObject* self, CurlObject* curl) {
  MultiAccess access(self, CHECK_HANDLE, "example");
  if (!access) return nullptr;
  (void)curl_multi_add_handle(access.handle(), access.member(curl));
  Py_RETURN_NONE;
}

PyObject* do_share_example(CurlShareObject* self) {
  ShareAccess access(self, CHECK_HANDLE, "example");
  if (!access) return nullptr;
  (void)curl_share_setopt(access.handle(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  Py_RETURN_NONE;
}

PyObject* do_mime_example(CurlMimeObject* self, CurlMimePartObject* part) {
  MimeAccess access(self, "example");
  if (!access) return nullptr;
  (void)curl_mime_addpart(access.handle());
  MimeAccess part_access(part, "example");
  if (!part_access) return nullptr;
  (void)curl_mime_name(part_access.part_handle(), "field");
  Py_RETURN_NONE;
}
"""


def test_the_guarded_ways_compile(tmp_path):
    _, done = compile_source(tmp_path, CONTROL)
    assert done.returncode == 0, done.stderr


# Each body is a function whose line marked REFUSED must not compile.
REFUSED = {
    "method passes the handle to libcurl": """
PyObject* do_curl_example(CurlObject* self, PyObject*) {
  (void)curl_easy_perform(self->handle);  // REFUSED
  Py_RETURN_NONE;
}
""",
    "method copies the pointer out": """
PyObject* do_curl_example(CurlObject* self, PyObject*) {
  CURL* handle = self->handle.raw_;  // REFUSED
  (void)handle;
  Py_RETURN_NONE;
}
""",
    "method uses the lookup key as a handle": """
PyObject* do_curl_example(CurlObject* self, PyObject*) {
  (void)curl_easy_perform(self->handle.key());  // REFUSED
  Py_RETURN_NONE;
}
""",
    "multi method reads its handle": """
PyObject* do_multi_example(CurlMultiObject* self, PyObject*) {
  int running = 0;
  (void)curl_multi_perform(self->multi_handle, &running);  // REFUSED
  Py_RETURN_NONE;
}
""",
    "share method reads its handle": """
PyObject* do_share_example(CurlShareObject* self, PyObject*) {
  (void)curl_share_cleanup(self->share_handle);  // REFUSED
  Py_RETURN_NONE;
}
""",
    "document method reads its handle": """
PyObject* do_mime_example(CurlMimeObject* self, PyObject*) {
  (void)curl_mime_addpart(self->mime_handle);  // REFUSED
  Py_RETURN_NONE;
}
""",
    "part method reads its handle": """
PyObject* do_part_example(CurlMimePartObject* self, PyObject*) {
  (void)curl_mime_name(self->part, "field");  // REFUSED
  Py_RETURN_NONE;
}
""",
    "helper called without the guard": """
PyObject* do_curl_example(CurlObject* self, PyObject* body) {
  return curl_setopt_filelike_claimed(self, CURLOPT_WRITEDATA, body);  // REFUSED
}
""",
    "share attached without the guard": """
PyObject* do_curl_example(CurlObject* self, PyObject* share) {
  return do_curl_setopt_share(self, share);  // REFUSED
}
""",
    "slot claimed outside the access layer": """
PyObject* do_curl_example(CurlObject* self, PyObject*) {
  (void)slot_try_claim(&self->state, PyThreadState_Get());  // REFUSED
  Py_RETURN_NONE;
}
""",
    "teardown guard on a slot of its own choosing": """
void do_curl_example(CurlObject* self) {
  TeardownGuard held(&self->state, nullptr);  // REFUSED
}
""",
}


@pytest.mark.parametrize("body", REFUSED.values(), ids=REFUSED.keys())
def test_a_handle_reached_outside_a_guard_does_not_compile(tmp_path, body):
    path, done = compile_source(tmp_path, body)
    assert done.returncode != 0, "compiled"
    marked = PRELUDE.count("\n") + next(
        number for number, line in enumerate(body.splitlines(), 1) if MARK in line)
    assert error_lines(path, done) == {marked}, done.stderr
