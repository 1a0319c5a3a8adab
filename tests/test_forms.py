"""The legacy HTTPPOST form: how (name, value) items and form option
sequences are judged, what the form keeps alive, and what reaches a server
that parses the multipart body."""

import gc
import io
import json
import sys
import warnings

import pytest
from werkzeug.wrappers import Response

import kelvex
from conftest import fresh_bytes
from kelvex import Curl

pytestmark = pytest.mark.filterwarnings("ignore:HTTPPOST is deprecated:DeprecationWarning")


def echo_form(request):
    files = {
        name: {
            "filename": part.filename,
            "content_type": part.content_type,
            "data": part.read().decode("latin-1"),
        }
        for name, part in request.files.items()
    }
    form = {name: value for name, value in request.form.items()}
    answer = {"method": request.method, "form": form, "files": files}
    return Response(json.dumps(answer), content_type="application/json")


@pytest.fixture
def form_url(httpserver):
    httpserver.expect_request("/form").respond_with_handler(echo_form)
    return httpserver.url_for("/form")


@pytest.fixture
def c(form_url):
    handle = Curl()
    handle.setopt(kelvex.URL, form_url)
    yield handle
    handle.close()


def post(c):
    body = io.BytesIO()
    c.setopt(kelvex.WRITEDATA, body)
    c.perform()
    return json.loads(body.getvalue())


def test_text_field_warns_and_is_sent(c):
    with pytest.warns(DeprecationWarning, match="^HTTPPOST is deprecated; use MIMEPOST$") as record:
        c.setopt(kelvex.HTTPPOST, [("greeting", "hello")])
    assert record[0].filename == __file__
    assert post(c) == {"method": "POST", "form": {"greeting": "hello"}, "files": {}}


def test_deprecation_as_error_sets_nothing(c):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="^HTTPPOST is deprecated; use MIMEPOST$"):
            c.setopt(kelvex.HTTPPOST, [("a", "1")])
    assert post(c)["method"] == "GET"


@pytest.mark.parametrize("outer", [list, tuple])
@pytest.mark.parametrize("inner", [list, tuple])
def test_fields_with_nul_bytes(c, outer, inner):
    c.setopt(
        kelvex.HTTPPOST,
        outer(
            [
                inner([b"plain", b"a\0b"]),
                inner(["contents", inner([kelvex.FORM_CONTENTS, b"x\0y\0"])]),
                inner([b"empty", b""]),
            ]
        ),
    )
    assert post(c)["form"] == {"plain": "a\0b", "contents": "x\0y\0", "empty": ""}


def test_file_part(c, tmp_path):
    path = tmp_path / "upload.txt"
    path.write_bytes(b"file\0contents\n" * 100)
    c.setopt(
        kelvex.HTTPPOST,
        [
            ("plain", (kelvex.FORM_FILE, str(path))),
            (
                "named",
                (kelvex.FORM_FILE, str(path).encode(), kelvex.FORM_FILENAME, "other.bin",
                 kelvex.FORM_CONTENTTYPE, "application/x-kelvex"),
            ),
        ],
    )
    files = post(c)["files"]
    assert files["plain"] == {
        "filename": "upload.txt",
        "content_type": "text/plain",
        "data": (b"file\0contents\n" * 100).decode("latin-1"),
    }
    assert files["named"]["filename"] == "other.bin"
    assert files["named"]["content_type"] == "application/x-kelvex"


@pytest.mark.parametrize("data", [b"\x00\xffbuffer\x00" * 50, "text buffer\0"], ids=["bytes", "str"])
def test_buffer_part(c, data):
    c.setopt(
        kelvex.HTTPPOST,
        [("up", [kelvex.FORM_BUFFER, "memory.bin", kelvex.FORM_BUFFERPTR, data])],
    )
    expected = data if isinstance(data, bytes) else data.encode("ascii")
    # A str travels through a temporary encoding that only the form holds.
    gc.collect()
    files = post(c)["files"]
    assert files["up"]["filename"] == "memory.bin"
    assert files["up"]["data"] == expected.decode("latin-1")


def test_bufferptr_kept_until_form_replaced_or_closed(c):
    data = fresh_bytes(b"kept by the form" * 20)
    base = sys.getrefcount(data)
    c.setopt(kelvex.HTTPPOST, [("up", (kelvex.FORM_BUFFER, "a", kelvex.FORM_BUFFERPTR, data))])
    assert sys.getrefcount(data) == base + 1
    c.setopt(kelvex.HTTPPOST, [("other", "x")])
    assert sys.getrefcount(data) == base
    c.setopt(kelvex.HTTPPOST, [("up", (kelvex.FORM_BUFFER, "a", kelvex.FORM_BUFFERPTR, data))])
    d = c.duphandle()  # the copy shares the form and its buffers
    c.close()
    assert sys.getrefcount(data) == base + 1
    d.close()
    assert sys.getrefcount(data) == base


def test_empty_form_keeps_earlier_and_unset_removes(c):
    c.setopt(kelvex.HTTPPOST, [("a", "1")])
    c.setopt(kelvex.HTTPPOST, [])
    c.setopt(kelvex.HTTPPOST, ())
    assert post(c)["form"] == {"a": "1"}
    c.unsetopt(kelvex.HTTPPOST)
    # libcurl keeps the request method; the form itself is gone.
    assert post(c)["form"] == {}


@pytest.mark.parametrize(
    "form, exc, message",
    [
        ([1], TypeError, "^list items must be list or tuple objects$"),
        (["ab"], TypeError, "^list items must be list or tuple objects$"),
        ([("a",)], TypeError, r"^list or tuple must contain two elements \(name, value\)$"),
        ([("a", "b", "c")], TypeError, r"^list or tuple must contain two elements \(name, value\)$"),
        ([(1, "b")], TypeError, "^list or tuple must contain a byte string or Unicode string with "
         "ASCII code points only as first element$"),
        ([("n\u00e9", "b")], TypeError, "^list or tuple must contain a byte string or Unicode "
         "string with ASCII code points only as first element$"),
        ([("a", 1)], TypeError, "^unsupported second type in tuple$"),
        ([("a", None)], TypeError, "^unsupported second type in tuple$"),
        ([("a", ())], TypeError, "^list or tuple must contain at least one option and one value$"),
        ([("a", (kelvex.FORM_FILE,))], TypeError,
         "^list or tuple must contain at least one option and one value$"),
        ([("a", (kelvex.FORM_FILE, "x", kelvex.FORM_CONTENTTYPE))], TypeError,
         "^list or tuple must contain an even number of items$"),
        ([("a", ("x", "y"))], TypeError, "^option must be an integer$"),
        ([("a", (kelvex.FORM_FILE, 1))], TypeError,
         "^value must be a byte string or a Unicode string with ASCII code points only$"),
        ([("a", (99, "x"))], TypeError, "^unsupported option$"),
        ([("a", (-1, "x"))], TypeError, "^unsupported option$"),
        ([("a", (2**70, "x"))], TypeError, "^unsupported option$"),
        # Not truncated to 32 bits on the way.
        ([("a", (2**32 + kelvex.FORM_CONTENTS, "x"))], TypeError, "^unsupported option$"),
        ([("a", (kelvex.FORM_CONTENTS, "\u00e9"))], UnicodeEncodeError, None),
        # Options that libcurl reads as C strings refuse NUL bytes instead of
        # cutting the value short.
        ([("a", (kelvex.FORM_FILE, b"/dev/null\0.txt"))], ValueError, None),
        ([("a", (kelvex.FORM_CONTENTS, "x", kelvex.FORM_CONTENTTYPE, "text/\0plain"))], ValueError, None),
        ([("ok", "1"), 5], TypeError, "^list items must be list or tuple objects$"),
    ],
)
def test_refused_forms_keep_the_earlier_one(c, form, exc, message):
    c.setopt(kelvex.HTTPPOST, [("earlier", "yes")])
    # Notes follow the message on lines of their own.
    with pytest.raises(exc, match=None if message is None else "(?m)" + message):
        c.setopt(kelvex.HTTPPOST, form)
    assert post(c)["form"] == {"earlier": "yes"}


def test_non_ascii_text_value_is_bad_function_argument(c):
    with pytest.raises(kelvex.error) as info:
        c.setopt(kelvex.HTTPPOST, [("a", "\u00e9")])
    assert info.value.args[0] == kelvex.E_BAD_FUNCTION_ARGUMENT


@pytest.mark.parametrize(
    "item, code",
    [
        (("a", (kelvex.FORM_CONTENTS, "x", kelvex.FORM_CONTENTS, "y")), 2),  # option twice
        ((b"na\0me", "v"), 3),  # libcurl refuses a NUL byte in a name
    ],
)
def test_form_add_failure_is_reported(c, item, code):
    c.setopt(kelvex.HTTPPOST, [("earlier", "yes")])
    with pytest.raises(kelvex.error) as info:
        c.setopt(kelvex.HTTPPOST, [("first", "1"), item])
    assert info.value.args[0] == code
    assert post(c)["form"] == {"earlier": "yes"}


def test_lists_only_for_list_options(c):
    with pytest.raises(TypeError, match="(?m)^lists are not supported for this option$"):
        c.setopt(kelvex.URL, [("a", "b")])
