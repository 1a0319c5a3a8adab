"""MIME documents: building parts from fields, data, files and nested
documents, posting them with MIMEPOST to servers that parse the multipart
body, the life of documents and part wrappers, and parts fed by Python
read, seek and free callables."""

import email.parser
import email.policy
import gc
import io
import json
import sys
import threading
import weakref

import pytest
from werkzeug.wrappers import Response

import kelvex
from kelvex import Curl, CurlMime, CurlMimePart


# ---------------------------------------------------------------------------
# A server that answers with what it parsed from the multipart body
# ---------------------------------------------------------------------------


def describe(part):
    entry = {"headers": {key.lower(): value for key, value in part.items()}}
    if part.is_multipart():
        entry["parts"] = [describe(sub) for sub in part.get_payload()]
    else:
        entry["raw"] = part.get_payload()
        entry["body"] = part.get_payload(decode=True).decode("latin-1")
    return entry


def echo_multipart(request):
    head = f"Content-Type: {request.headers.get('Content-Type', '')}\r\n\r\n".encode()
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(
        head + request.get_data()
    )
    answer = {
        "method": request.method,
        "chunked": request.headers.get("Transfer-Encoding") == "chunked",
        "type": message.get_content_type(),
        "parts": [describe(sub) for sub in message.get_payload()] if message.is_multipart() else [],
    }
    return Response(json.dumps(answer), content_type="application/json")


@pytest.fixture
def echo_url(httpserver):
    httpserver.expect_request("/echo").respond_with_handler(echo_multipart)
    return httpserver.url_for("/echo")


@pytest.fixture
def c(echo_url):
    handle = Curl()
    handle.setopt(kelvex.URL, echo_url)
    yield handle
    handle.close()


def perform(c):
    body = io.BytesIO()
    c.setopt(kelvex.WRITEDATA, body)
    c.perform()
    return body.getvalue()


def post(c, mime):
    c.setopt(kelvex.MIMEPOST, mime)
    return json.loads(perform(c))


def disposition(entry):
    return entry["headers"]["content-disposition"]


def error_args(excinfo):
    return excinfo.value.args


# ---------------------------------------------------------------------------
# Construction and the types
# ---------------------------------------------------------------------------


def test_construction_takes_a_curl_by_keyword_too():
    with Curl() as curl:
        for mime in (CurlMime(curl), CurlMime(curl=curl)):
            assert isinstance(mime, CurlMime)
            assert mime.closed is False
            mime.close()
            assert mime.closed is True


@pytest.mark.parametrize("args", [(), ("http://x.invalid/",), (None,), (object(),)])
def test_construction_refuses_anything_but_a_curl(args):
    with pytest.raises(TypeError):
        CurlMime(*args)


def test_construction_on_closed_curl():
    curl = Curl()
    curl.close()
    with pytest.raises(kelvex.error, match=r"^cannot invoke CurlMime\(\) - no curl handle$"):
        CurlMime(curl)


def test_docstrings():
    assert CurlMime.__doc__ == "Python wrapper for libcurl MIME API."
    assert CurlMimePart.__doc__ == "A MIME part belonging to a CurlMime object."
    assert CurlMime.add.__doc__ == "Add a part using a keyword-oriented builder API."
    assert CurlMime.closed.__doc__ == "Whether this CurlMime object is closed."
    assert CurlMimePart.data_cb.__doc__ == "Set callback-based data for this MIME part."


def test_types_may_be_subclassed(c):
    class Document(CurlMime):
        pass

    mime = Document(c)
    mime.add_field("a", "1")
    assert isinstance(mime.addpart(), CurlMimePart)
    assert [disposition(p) for p in post(c, mime)["parts"]][0] == 'form-data; name="a"'


# ---------------------------------------------------------------------------
# What reaches the server
# ---------------------------------------------------------------------------


def test_fields_data_and_files_are_posted(c, tmp_path):
    upload = tmp_path / "report.txt"
    upload.write_bytes(b"file body\x00\xff")
    mime = CurlMime(c)
    mime.add_field("greeting", "hello", content_type="text/plain")
    mime.add(name="blob", data=bytearray(b"\x00\x01binary"), filename="b.bin",
             content_type="application/octet-stream", headers=["X-Extra: 1", b"X-Other: two"])
    mime.add(name="view", data=memoryview(b"abcdef")[1:4])
    mime.add_file("upload", str(upload))
    mime.add_file(b"renamed", str(upload).encode(), filename="other.txt", content_type="text/csv")
    answer = post(c, mime)

    assert answer["method"] == "POST"
    assert answer["type"] == "multipart/form-data"
    greeting, blob, view, plain, renamed = answer["parts"]
    assert disposition(greeting) == 'form-data; name="greeting"'
    assert greeting["headers"]["content-type"] == "text/plain"
    assert greeting["body"] == "hello"
    assert disposition(blob) == 'form-data; name="blob"; filename="b.bin"'
    assert blob["headers"]["x-extra"] == "1"
    assert blob["headers"]["x-other"] == "two"
    assert blob["body"] == "\x00\x01binary"
    assert view["body"] == "bcd"
    assert disposition(plain) == 'form-data; name="upload"; filename="report.txt"'
    assert plain["body"] == "file body\x00\xff"
    assert disposition(renamed) == 'form-data; name="renamed"; filename="other.txt"'
    assert renamed["headers"]["content-type"] == "text/csv"


def test_part_setters_build_a_part(c, tmp_path):
    upload = tmp_path / "in.dat"
    upload.write_bytes(b"on disk")
    mime = CurlMime(c)
    part = mime.addpart()
    assert part.name("first") is None
    assert part.data("in memory") is None
    assert part.filename(b"given.txt") is None
    assert part.type("text/x-test") is None
    assert part.headers(("X-A: 1",)) is None
    on_disk = mime.addpart()
    on_disk.name("second")
    on_disk.filedata(str(upload))
    first, second = post(c, mime)["parts"]
    assert disposition(first) == 'form-data; name="first"; filename="given.txt"'
    assert first["headers"]["content-type"] == "text/x-test"
    assert first["headers"]["x-a"] == "1"
    assert first["body"] == "in memory"
    assert disposition(second) == 'form-data; name="second"; filename="in.dat"'
    assert second["body"] == "on disk"


@pytest.mark.parametrize("value", [[], (), None])
def test_headers_cleared(c, value):
    mime = CurlMime(c)
    part = mime.add(name="a", data=b"x", headers=["X-Gone: yes"])
    part.headers(value)
    (only,) = post(c, mime)["parts"]
    assert "x-gone" not in only["headers"]


def test_encoder_is_applied(c):
    mime = CurlMime(c)
    mime.add(name="a", data=b"hello world", encoder="base64")
    mime.add_field("q", "caf=E9", encoder=b"quoted-printable")
    encoded, printable = post(c, mime)["parts"]
    assert encoded["headers"]["content-transfer-encoding"] == "base64"
    assert encoded["raw"].strip() == "aGVsbG8gd29ybGQ="
    assert encoded["body"] == "hello world"
    assert printable["headers"]["content-transfer-encoding"] == "quoted-printable"


def test_unknown_encoder_is_refused_by_libcurl(c):
    mime = CurlMime(c)
    with pytest.raises(kelvex.error) as excinfo:
        mime.addpart().encoder("rot13")
    assert error_args(excinfo)[0] == 43


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, "multipart/mixed"),
        ({"subtype": "alternative"}, "multipart/alternative"),
        ({"subtype": b"related"}, "multipart/related"),
        ({"subtype": None}, None),
    ],
)
def test_add_multipart_nests_a_document(c, kwargs, expected):
    mime = CurlMime(c)
    child = mime.add_multipart(name="inner", **kwargs)
    assert isinstance(child, CurlMime) and not child.closed
    child.add(data=b"one", content_type="text/plain")
    child.add(data=b"<b>two</b>", content_type="text/html")
    (outer,) = post(c, mime)["parts"]
    assert disposition(outer) == 'form-data; name="inner"'
    if expected is None:
        # Without a content type libcurl still sends a multipart body, with
        # the type it chooses for a nested document.
        assert outer["headers"]["content-type"].startswith("multipart/mixed")
    else:
        assert outer["headers"]["content-type"].startswith(expected + ";")
        assert [p["body"] for p in outer["parts"]] == ["one", "<b>two</b>"]


def test_subparts_attaches_a_document_created_with_the_same_curl(c):
    mime = CurlMime(c)
    child = CurlMime(c)
    child.add_field("deep", "value")
    part = mime.addpart()
    part.name("outer")
    part.subparts(child)
    (outer,) = post(c, mime)["parts"]
    (deep,) = outer["parts"]
    assert deep["body"] == "value"


@pytest.mark.parametrize(
    "kwargs",
    [
        {"method": "add_field", "args": ("empty", None)},
        {"method": "add_file", "args": ("empty", None)},
        {"method": "add", "args": (), "kw": {"name": "empty", "data": None, "file": None}},
    ],
)
def test_builders_treat_none_as_not_given(c, kwargs):
    mime = CurlMime(c)
    getattr(mime, kwargs["method"])(*kwargs["args"], **kwargs.get("kw", {}))
    (only,) = post(c, mime)["parts"]
    assert disposition(only) == 'form-data; name="empty"'
    assert only["body"] == ""


def test_add_without_arguments_appends_an_empty_part(c):
    mime = CurlMime(c)
    assert isinstance(mime.add(), CurlMimePart)
    assert len(post(c, mime)["parts"]) == 1


def test_a_part_sent_without_content_cannot_be_sent_again(c):
    """libcurl cannot rewind a part that went out before it had content:
    the next transfer of the document fails before sending anything."""
    mime = CurlMime(c)
    mime.add(name="full", data=b"x")
    c.setopt(kelvex.MIMEPOST, mime)
    post(c, mime)
    late = mime.addpart()
    late.name("late")
    post(c, mime)  # sent empty
    with pytest.raises(kelvex.error) as info:
        c.perform_rb()
    assert info.value.args[0] == kelvex.E_SEND_FAIL_REWIND


# ---------------------------------------------------------------------------
# Argument errors
# ---------------------------------------------------------------------------

TEXT = "must be a byte string or ascii-unicode string"
DATA = "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object"


@pytest.mark.parametrize(
    "method, args, kwargs, exc, message",
    [
        ("add", (), {"data": b"x", "file": "f"}, ValueError, "add() accepts at most one of data or file"),
        ("add", (), {"name": 1}, TypeError, "name " + TEXT),
        ("add", (), {"data": 1.5}, TypeError, DATA),
        ("add", (), {"data": "caf\u00e9"}, UnicodeEncodeError, None),
        ("add", (), {"file": 3}, TypeError, "file " + TEXT),
        ("add", (), {"filename": 3}, TypeError, "filename " + TEXT),
        ("add", (), {"content_type": []}, TypeError, "content_type " + TEXT),
        ("add", (), {"encoder": 7}, TypeError, "encoder " + TEXT),
        ("add", (), {"headers": "X-A: 1"}, TypeError, "headers must be a list or tuple of strings"),
        ("add", (), {"headers": ["X-A: 1", 2]}, TypeError,
         "headers must contain only byte or ascii-unicode strings"),
        ("add", (), {"headers": ["X-\u00e9: 1"]}, UnicodeEncodeError, None),
        ("add", (), {"name": b"a\x00b"}, ValueError, None),
        ("add_field", ("n",), {}, TypeError, None),
        ("add_field", ("n", 5), {}, TypeError, DATA),
        ("add_file", ("n", 5), {}, TypeError, "file " + TEXT),
        ("add_multipart", (), {"name": 5}, TypeError, "name " + TEXT),
        ("add_multipart", (), {"subtype": 5}, TypeError, "subtype " + TEXT),
        ("add", (), {"bogus": 1}, TypeError, None),
    ],
)
def test_builder_validation_leaves_no_part(c, method, args, kwargs, exc, message):
    mime = CurlMime(c)
    with pytest.raises(exc) as excinfo:
        getattr(mime, method)(*args, **kwargs)
    if message is not None:
        assert str(excinfo.value) == message
    mime.add_field("only", "1")
    assert [disposition(p) for p in post(c, mime)["parts"]] == ['form-data; name="only"']


def test_add_file_that_cannot_be_opened(c, tmp_path):
    # A failed transfer leaves its text in the handle's error buffer; the
    # MIME error must not repeat it.
    c.setopt(kelvex.URL, "http://127.0.0.1:1/")
    with pytest.raises(kelvex.error):
        c.perform()
    mime = CurlMime(c)
    with pytest.raises(kelvex.error) as excinfo:
        mime.add_file("f", str(tmp_path / "missing"))
    assert error_args(excinfo) == (26, kelvex.easy_strerror(26))


@pytest.mark.parametrize("setter", ["name", "filedata", "filename", "type", "encoder"])
@pytest.mark.parametrize("value", [None, 1, ["a"], bytearray(b"a")])
def test_text_setters_refuse_other_types(c, setter, value):
    part = CurlMime(c).addpart()
    with pytest.raises(TypeError, match=f"^{setter} " + TEXT + "$"):
        getattr(part, setter)(value)


@pytest.mark.parametrize("value", ["caf\u00e9", b"nul\x00inside"])
def test_text_setters_refuse_what_libcurl_cannot_take(c, value):
    part = CurlMime(c).addpart()
    with pytest.raises((UnicodeEncodeError, ValueError)):
        part.name(value)


@pytest.mark.parametrize("value, exc", [(1, TypeError), (None, TypeError), ("caf\u00e9", UnicodeEncodeError)])
def test_data_setter_refuses(c, value, exc):
    part = CurlMime(c).addpart()
    with pytest.raises(exc):
        part.data(value)


@pytest.mark.parametrize("method", ["name", "data", "filedata", "subparts"])
def test_part_setters_take_one_argument(c, method):
    part = CurlMime(c).addpart()
    with pytest.raises(TypeError):
        getattr(part, method)()
    with pytest.raises(TypeError):
        getattr(part, method)("a", "b")


# ---------------------------------------------------------------------------
# subparts and MIMEPOST refusals
# ---------------------------------------------------------------------------


def test_subparts_refusals(c):
    mime = CurlMime(c)
    part = mime.addpart()
    with pytest.raises(TypeError, match=r"^subparts\(\) expects a CurlMime object$"):
        part.subparts(object())
    with pytest.raises(ValueError, match=r"^subparts\(\) does not accept the parent mime object$"):
        part.subparts(mime)

    child = CurlMime(c)
    part.subparts(child)
    with pytest.raises(ValueError,
                       match=r"^subparts\(\) received a mime object already attached as subparts$"):
        mime.addpart().subparts(child)

    with Curl() as other:
        foreign = CurlMime(other)
        with pytest.raises(ValueError, match="requires both mime objects to use the same Curl"):
            mime.addpart().subparts(foreign)

    closed = CurlMime(c)
    closed.close()
    with pytest.raises(ValueError, match=r"^subparts\(\) received a closed mime object$"):
        mime.addpart().subparts(closed)

    posted = CurlMime(c)
    c.setopt(kelvex.MIMEPOST, posted)
    with pytest.raises(ValueError,
                       match=r"^subparts\(\) received a mime object currently set as MIMEPOST$"):
        mime.addpart().subparts(posted)


def test_subparts_refused_by_libcurl_for_an_ancestor(c):
    root = CurlMime(c)
    child = root.add_multipart()
    with pytest.raises(kelvex.error) as excinfo:
        child.addpart().subparts(root)
    assert error_args(excinfo)[0] == 43
    assert root.closed is False


def test_mimepost_refusals(c):
    with pytest.raises(TypeError, match=r"(?m)^setopt\(option=MIMEPOST\) expects a CurlMime object$"):
        c.setopt(kelvex.MIMEPOST, object())
    mime = CurlMime(c)
    child = mime.add_multipart()
    with pytest.raises(ValueError, match="(?m)received a mime object already attached as subparts$"):
        c.setopt(kelvex.MIMEPOST, child)
    with Curl() as other:
        with pytest.raises(ValueError, match="(?m)requires a CurlMime created with this Curl handle$"):
            other.setopt(kelvex.MIMEPOST, mime)
    mime.close()
    with pytest.raises(ValueError, match=r"(?m)^setopt\(option=MIMEPOST\) received a closed mime object$"):
        c.setopt(kelvex.MIMEPOST, mime)


@pytest.mark.parametrize("detach", [
    lambda c: c.setopt(kelvex.MIMEPOST, None),
    lambda c: c.unsetopt(kelvex.MIMEPOST),
    lambda c: c.reset(),
])
def test_detached_document_is_not_sent_and_can_be_nested(c, echo_url, detach):
    mime = CurlMime(c)
    mime.add_field("a", "1")
    c.setopt(kelvex.MIMEPOST, mime)
    detach(c)
    c.setopt(kelvex.URL, echo_url)
    assert json.loads(perform(c))["parts"] == []
    CurlMime(c).addpart().subparts(mime)


def test_httppost_and_mimepost_replace_each_other(c):
    mime = CurlMime(c)
    mime.add_field("from_mime", "1")
    with pytest.warns(DeprecationWarning):
        c.setopt(kelvex.HTTPPOST, [("from_form", "1")])
    c.setopt(kelvex.MIMEPOST, mime)
    assert [disposition(p) for p in json.loads(perform(c))["parts"]] == ['form-data; name="from_mime"']
    with pytest.warns(DeprecationWarning):
        c.setopt(kelvex.HTTPPOST, [("from_form", "1")])
    assert [disposition(p) for p in json.loads(perform(c))["parts"]] == ['form-data; name="from_form"']
    CurlMime(c).addpart().subparts(mime)  # no longer MIMEPOST


def test_attaching_again_is_allowed(c):
    mime = CurlMime(c)
    mime.add_field("a", "1")
    c.setopt(kelvex.MIMEPOST, mime)
    assert len(post(c, mime)["parts"]) == 1


# ---------------------------------------------------------------------------
# Closing and invalidation
# ---------------------------------------------------------------------------


def test_close_detaches_and_invalidates(c):
    mime = CurlMime(c)
    part = mime.add_field("a", "1")
    child = mime.add_multipart()
    child_part = child.add_field("b", "2")
    c.setopt(kelvex.MIMEPOST, mime)
    assert mime.close() is None
    assert (mime.closed, child.closed) == (True, True)
    assert mime.close() is None
    # The handle no longer holds it, and refuses to send an empty body in
    # its place.
    with pytest.raises(kelvex.error, match="the CurlMime document set as MIMEPOST was closed"):
        perform(c)
    for method, wrapper, args in [
        ("name", part, ("x",)),
        ("data_cb", child_part, (1, len)),
        ("subparts", part, (CurlMime(c),)),
    ]:
        with pytest.raises(kelvex.error, match=rf"^cannot invoke {method}\(\) - no mime handle$"):
            getattr(wrapper, method)(*args)
    for call in (mime.addpart, child.addpart, mime.__enter__, lambda: mime.add(name="a"),
                 lambda: mime.add_multipart()):
        with pytest.raises(kelvex.error, match=r"^cannot invoke (addpart|__enter__)\(\) - no mime handle$"):
            call()


def test_closing_a_nested_document_keeps_the_parent_working(c):
    mime = CurlMime(c)
    child = mime.add_multipart(name="inner")
    child.add_field("b", "2")
    child.close()
    assert child.closed and not mime.closed
    (outer,) = post(c, mime)["parts"]
    assert outer["parts"][0]["body"] == "2"


def test_with_block_closes_and_propagates(c):
    with pytest.raises(ZeroDivisionError):
        with CurlMime(c) as mime:
            mime.add_field("a", "1")
            1 / 0
    assert mime.closed
    with CurlMime(c) as mime:
        pass
    assert mime.closed
    with pytest.raises(TypeError):
        mime.__exit__(None, None)


def test_closed_curl(c):
    mime = CurlMime(c)
    part = mime.addpart()
    c.setopt(kelvex.MIMEPOST, mime)
    c.close()
    assert mime.closed is False
    with pytest.raises(kelvex.error, match=r"^cannot invoke addpart\(\) - no curl handle$"):
        mime.addpart()
    with pytest.raises(kelvex.error, match=r"^cannot invoke name\(\) - no curl handle$"):
        part.name("x")
    with pytest.raises(kelvex.error, match=r"^cannot invoke CurlMime\(\) - no curl handle$"):
        mime.add_multipart()
    mime.close()
    assert mime.closed


def test_replacing_the_content_of_a_part_closes_the_document_nested_there(c):
    mime = CurlMime(c)
    part = mime.addpart()
    part.name("outer")
    child = CurlMime(c)
    child_part = child.add_field("deep", "1")
    part.subparts(child)
    part.data(b"flat now")
    assert child.closed
    with pytest.raises(kelvex.error, match="no mime handle"):
        child_part.name("x")
    (outer,) = post(c, mime)["parts"]
    assert outer["body"] == "flat now"


@pytest.mark.parametrize("replacement", ["data", "subparts"])
def test_replacing_a_nested_document_frees_its_callback_parts_once(c, replacement):
    feed = Feed(b"")
    mime = CurlMime(c)
    part = mime.addpart()
    part.name("outer")
    first = CurlMime(c)
    first.addpart().data_cb(0, feed.read, free=feed.free)
    part.subparts(first)
    second = CurlMime(c)
    second.add_field("second", "2")
    if replacement == "data":
        part.data(b"flat")
    else:
        part.subparts(second)
    assert first.closed and not second.closed
    assert feed.count("free") == 1
    copy = c.duphandle()  # counts only what libcurl still holds
    copy.close()
    (outer,) = post(c, mime)["parts"]
    if replacement == "data":
        assert outer["body"] == "flat"
    else:
        assert [p["body"] for p in outer["parts"]] == ["2"]
    mime.close()
    assert feed.count("free") == 1
    assert second.closed is (replacement == "subparts")


def test_methods_refused_while_the_transfer_runs(c):
    mime = CurlMime(c)
    part = mime.add_field("a", "1")
    seen = []

    def write(data):
        for call in (mime.addpart, lambda: mime.add_field("b", "2"), lambda: part.name("x"),
                     mime.close, lambda: CurlMime(c)):
            try:
                call()
            except kelvex.error as e:
                seen.append(str(e))

    c.setopt(kelvex.MIMEPOST, mime)
    c.setopt(kelvex.WRITEFUNCTION, write)
    c.perform()
    assert seen == [
        f"cannot invoke {name}() - perform() is currently running"
        for name in ("addpart", "addpart", "name", "close", "CurlMime")
    ]


# ---------------------------------------------------------------------------
# Duplicated handles and the collector
# ---------------------------------------------------------------------------


def test_duplicate_posts_the_same_document(c):
    mime = CurlMime(c)
    mime.add_field("a", "1")
    c.setopt(kelvex.MIMEPOST, mime)
    copy = c.duphandle()
    try:
        mime.close()
        body = io.BytesIO()
        copy.setopt(kelvex.WRITEDATA, body)
        copy.perform()
        assert [p["body"] for p in json.loads(body.getvalue())["parts"]] == ["1"]
    finally:
        copy.close()


def test_cycle_between_curl_and_document_is_collected(echo_url):
    curl = Curl()
    mime = CurlMime(curl)
    mime.add_field("a", "1").name("b")
    mime.add_multipart().add_field("c", "2")
    curl.setopt(kelvex.MIMEPOST, mime)
    curl.mime_ref = mime  # a second path from the Curl to the document
    probe = weakref.ref(curl)
    del curl, mime
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------
# Callback-fed parts
# ---------------------------------------------------------------------------


class Feed:
    """A read/seek/free trio over a bytes object, recording its calls."""

    def __init__(self, data, chunk=None):
        self.data = data
        self.pos = 0
        self.chunk = chunk
        self.calls = []

    def read(self, userdata, size):
        self.calls.append(("read", userdata, size))
        size = min(size, self.chunk or size)
        out = self.data[self.pos:self.pos + size]
        self.pos += len(out)
        return out

    def seek(self, userdata, offset, origin):
        self.calls.append(("seek", userdata, offset, origin))
        self.pos = offset
        return None

    def free(self, userdata):
        self.calls.append(("free", userdata))

    def count(self, kind):
        return sum(1 for call in self.calls if call[0] == kind)


@pytest.mark.parametrize("datasize", [10, None, -1])
def test_data_cb_sends_what_read_returns(c, datasize):
    feed = Feed(b"0123456789", chunk=4)
    mime = CurlMime(c)
    part = mime.addpart()
    part.name("fed")
    assert part.data_cb(datasize, feed.read, userdata="ud") is None
    answer = post(c, mime)
    assert answer["parts"][0]["body"] == "0123456789"
    assert answer["chunked"] is (datasize != 10)
    assert all(call[1] == "ud" and call[2] > 0 for call in feed.calls if call[0] == "read")


def test_data_cb_keywords_and_default_userdata(c):
    feed = Feed(b"ab")
    mime = CurlMime(c)
    mime.addpart().data_cb(datasize=2, read=feed.read, seek=feed.seek, free=feed.free)
    assert post(c, mime)["parts"][0]["body"] == "ab"
    assert feed.calls[0][:2] == ("read", None)


def test_read_may_return_ascii_str(c):
    chunks = ["abc", ""]
    mime = CurlMime(c)
    mime.addpart().data_cb(3, lambda ud, size: chunks.pop(0))
    assert post(c, mime)["parts"][0]["body"] == "abc"


@pytest.mark.parametrize(
    "datasize, exc, message",
    [
        (-2, ValueError, "datasize must be >= -1"),
        (1.5, TypeError, "datasize must be an integer >= -1 or None"),
        ("10", TypeError, "datasize must be an integer >= -1 or None"),
        (2**70, OverflowError, None),
    ],
)
def test_datasize_refusals(c, datasize, exc, message):
    with pytest.raises(exc) as excinfo:
        CurlMime(c).addpart().data_cb(datasize, len)
    if message is not None:
        assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"read": 1}, "read must be callable"),
        ({"read": len, "seek": 1}, "seek must be callable or None"),
        ({"read": len, "free": "x"}, "free must be callable or None"),
    ],
)
def test_callables_are_checked(c, kwargs, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        CurlMime(c).addpart().data_cb(1, **kwargs)


@pytest.mark.parametrize(
    "result, message",
    [
        (b"x" * 10**6, "(1000000 bytes returned when at most "),
        ("y" * 10**6, "(1000000 bytes returned after ASCII encoding when at most "),
        (0, "mime read callback must return a buffer object, an ASCII-only Unicode string, "
            "READFUNC_ABORT, or READFUNC_PAUSE"),
        (True, "mime read callback must return a buffer object"),
        (2**80, "mime read callback must return a buffer object"),
        (object(), "mime read callback must return an object supporting the buffer protocol"),
        ("\u00e9", "UnicodeEncodeError"),
    ],
)
def test_bad_read_results_abort_the_transfer(c, c_stderr, result, message):
    def read(userdata, size):
        return result

    mime = CurlMime(c)
    mime.addpart().data_cb(10**6, read)
    c.setopt(kelvex.MIMEPOST, mime)
    with pytest.raises(kelvex.error) as excinfo:
        perform(c)
    assert error_args(excinfo)[0] == 42  # aborted by callback
    assert message in c_stderr()


def test_read_abort_and_exceptions(c, c_stderr):
    mime = CurlMime(c)
    part = mime.addpart()
    part.data_cb(5, lambda ud, size: kelvex.READFUNC_ABORT)
    c.setopt(kelvex.MIMEPOST, mime)
    with pytest.raises(kelvex.error) as excinfo:
        perform(c)
    assert error_args(excinfo)[0] == 42
    assert c_stderr() == ""

    def fails(userdata, size):
        raise RuntimeError("read went wrong")

    part.data_cb(5, fails)
    with pytest.raises(kelvex.error):
        perform(c)
    assert "RuntimeError: read went wrong" in c_stderr()

    def interrupted(userdata, size):
        raise KeyboardInterrupt

    part.data_cb(5, interrupted)
    with pytest.raises(KeyboardInterrupt):
        perform(c)


def test_read_pause_and_unpause(c):
    calls = []

    def read(userdata, size):
        calls.append(size)
        if len(calls) == 1:
            return kelvex.READFUNC_PAUSE
        return b"after" if len(calls) == 2 else b""

    mime = CurlMime(c)
    mime.addpart().data_cb(5, read)
    body = io.BytesIO()
    c.setopt(kelvex.MIMEPOST, mime)
    c.setopt(kelvex.WRITEDATA, body)
    multi = kelvex.CurlMulti()
    multi.add_handle(c)
    try:
        while not calls:
            multi.perform()
            multi.select(0.1)
        for _ in range(3):
            multi.perform()
            assert len(calls) == 1  # paused: libcurl does not ask again
        c.pause(kelvex.PAUSE_CONT)
        while multi.perform()[1]:
            multi.select(0.5)
    finally:
        multi.remove_handle(c)
        multi.close()
    assert json.loads(body.getvalue())["parts"][0]["body"] == "after"


@pytest.fixture
def redirect_url(http_server):
    return f"{http_server.url}/redirect-to?url=/post&status_code=307"


def test_rewind_on_redirect_uses_seek(redirect_url):
    feed = Feed(b"rewound body")
    with Curl() as curl:
        mime = CurlMime(curl)
        fed = mime.addpart()
        fed.name("fed")
        fed.data_cb(len(feed.data), feed.read, feed.seek, userdata=7)
        mime.add_field("plain", "x")
        curl.setopt(kelvex.URL, redirect_url)
        curl.setopt(kelvex.FOLLOWLOCATION, True)
        curl.setopt(kelvex.MIMEPOST, mime)
        body = perform(curl)
    assert ("seek", 7, 0, 0) in feed.calls
    assert json.loads(body)["form"] == {"fed": "rewound body", "plain": "x"}
    assert feed.pos == len(feed.data)


@pytest.mark.parametrize("seek_result, message", [
    (None, None),  # no seek callable at all
    (1, ""),
    (2, ""),
    (3, "invalid return value for mime seek callback 3 not in (0, 1, 2)"),
    (-1, "invalid return value for mime seek callback -1 not in (0, 1, 2)"),
    ("0", "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 "
          "(SEEKFUNC_CANTSEEK) or None"),
    (2**40, "OverflowError"),
])
def test_rewind_fails_without_a_working_seek(redirect_url, c_stderr, seek_result, message):
    feed = Feed(b"body")
    seek = None if message is None else (lambda ud, offset, origin: seek_result)
    with Curl() as curl:
        mime = CurlMime(curl)
        fed = mime.addpart()
        fed.name("fed")
        fed.data_cb(4, feed.read, seek)
        curl.setopt(kelvex.URL, redirect_url)
        curl.setopt(kelvex.FOLLOWLOCATION, True)
        curl.setopt(kelvex.MIMEPOST, mime)
        with pytest.raises(kelvex.error) as excinfo:
            perform(curl)
    assert error_args(excinfo)[0] == 65  # rewind failed
    if message:
        assert message in c_stderr()


def test_free_runs_once_at_close(c):
    feed = Feed(b"")
    mime = CurlMime(c)
    mime.addpart().data_cb(0, feed.read, free=feed.free, userdata="u")
    assert feed.calls == []
    mime.close()
    assert feed.calls == [("free", "u")]
    mime.close()
    assert feed.count("free") == 1


@pytest.mark.parametrize("replacement", ["data", "data_cb", "subparts", "filedata", "missing"])
def test_free_runs_when_the_content_is_replaced(c, tmp_path, replacement):
    upload = tmp_path / "file"
    upload.write_bytes(b"on disk")
    feed = Feed(b"")
    mime = CurlMime(c)
    part = mime.addpart()
    part.data_cb(0, feed.read, free=feed.free)
    replace = {
        "data": lambda: part.data(b"x"),
        "data_cb": lambda: part.data_cb(1, lambda ud, size: b"x"),
        "subparts": lambda: part.subparts(CurlMime(c)),
        "filedata": lambda: part.filedata(str(upload)),
    }
    if replacement == "missing":
        # libcurl drops the old content before it finds the file missing.
        with pytest.raises(kelvex.error) as excinfo:
            part.filedata(str(tmp_path / "missing"))
        assert error_args(excinfo)[0] == 26
    else:
        replace[replacement]()
    assert feed.count("free") == 1
    mime.close()
    assert feed.count("free") == 1


def test_free_exception_is_unraisable(c, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    def free(userdata):
        raise ValueError("free went wrong")

    mime = CurlMime(c)
    mime.addpart().data_cb(0, len, free=free)
    mime.close()
    assert len(reports) == 1
    assert isinstance(reports[0].exc_value, ValueError)
    assert reports[0].object is free


def test_free_cannot_change_the_document_being_changed(c):
    mime = CurlMime(c)
    part = mime.addpart()
    seen = []

    def free(userdata):
        try:
            part.data(b"from free")
        except kelvex.error as e:
            seen.append(str(e))

    part.data_cb(0, len, free=free)
    part.data(b"new")
    assert seen == ["cannot invoke data() - a mime part's content is being replaced"]
    assert post(c, mime)["parts"][0]["body"] == "new"


def test_duplicate_shares_callback_parts_and_free_waits_for_both(c):
    feed = Feed(b"shared")
    mime = CurlMime(c)
    mime.addpart().data_cb(6, feed.read, feed.seek, feed.free)
    c.setopt(kelvex.MIMEPOST, mime)
    copy = c.duphandle()
    try:
        assert post(c, mime)["parts"][0]["body"] == "shared"
        feed.pos = 0
        assert json.loads(perform(copy))["parts"][0]["body"] == "shared"
        mime.close()
        assert feed.count("free") == 0
    finally:
        copy.close()
    assert feed.count("free") == 1


def test_duplicate_of_a_duplicate_after_the_document_changed(c):
    old, new = Feed(b"old"), Feed(b"new")
    mime = CurlMime(c)
    part = mime.addpart()
    part.data_cb(3, old.read, free=old.free)
    c.setopt(kelvex.MIMEPOST, mime)
    first = c.duphandle()
    part.data_cb(3, new.read, free=new.free)  # the copy keeps the old content
    mime.close()
    second = first.duphandle()
    first.close()
    assert old.count("free") == 0
    assert json.loads(perform(second))["parts"][0]["body"] == "old"
    second.close()
    assert (old.count("free"), new.count("free")) == (1, 1)


def test_duplicate_after_a_nested_document_was_closed(c):
    feed = Feed(b"nested data")
    mime = CurlMime(c)
    child = mime.add_multipart(name="inner")
    child.addpart().data_cb(len(feed.data), feed.read, feed.seek, feed.free)
    child.close()  # libcurl keeps it inside the parent
    c.setopt(kelvex.MIMEPOST, mime)
    copy = c.duphandle()
    copy.close()
    assert feed.count("free") == 0
    (outer,) = post(c, mime)["parts"]
    assert outer["parts"][0]["body"] == "nested data"
    mime.close()
    assert feed.count("free") == 1


def test_cycle_through_callback_userdata_is_collected(echo_url):
    freed = []
    curl = Curl()
    mime = CurlMime(curl)

    class Source:
        def read(self, userdata, size):
            return b""

    source = Source()
    source.curl = curl  # the callables reach back to the handle
    # The free callable runs before the collector clears anything, so the
    # user data it gets is still whole.
    free = lambda ud: freed.append(hasattr(ud, "curl"))  # noqa: E731
    mime.addpart().data_cb(None, source.read, free=free, userdata=source)
    curl.setopt(kelvex.MIMEPOST, mime)
    probe = weakref.ref(source)
    del curl, mime, source
    gc.collect()
    assert probe() is None
    assert freed == [True]


def test_callback_parts_in_a_multi_transfer(c):
    feed = Feed(b"driven by a multi", chunk=3)
    mime = CurlMime(c)
    mime.addpart().data_cb(None, feed.read)
    body = io.BytesIO()
    c.setopt(kelvex.MIMEPOST, mime)
    c.setopt(kelvex.WRITEDATA, body)
    multi = kelvex.CurlMulti()
    multi.add_handle(c)
    try:
        while multi.perform()[1]:
            multi.select(0.5)
    finally:
        multi.remove_handle(c)
        multi.close()
    assert json.loads(body.getvalue())["parts"][0]["body"] == "driven by a multi"


def test_transfer_on_another_thread(c):
    feed = Feed(b"from a thread", chunk=5)
    mime = CurlMime(c)
    mime.addpart().data_cb(None, feed.read, free=feed.free)
    c.setopt(kelvex.MIMEPOST, mime)
    result = []
    worker = threading.Thread(target=lambda: result.append(perform(c)))
    worker.start()
    worker.join()
    assert json.loads(result[0])["parts"][0]["body"] == "from a thread"
    worker = threading.Thread(target=mime.close)
    worker.start()
    worker.join()
    assert feed.count("free") == 1


def test_documents_left_at_interpreter_exit():
    # Documents still alive when the interpreter ends are freed during its
    # finalization; their free callables must not crash it.
    import subprocess
    import textwrap

    script = textwrap.dedent("""
        import kelvex
        curl = kelvex.Curl()
        mime = kelvex.CurlMime(curl)
        mime.addpart().data_cb(None, lambda ud, size: b"", free=lambda ud: None)
        curl.setopt(kelvex.MIMEPOST, mime)
        copy = curl.duphandle()
        loose = kelvex.CurlMime(curl).add_multipart()
        loose.addpart().data_cb(1, lambda ud, size: b"x", free=print, userdata="freed")
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok\n")
    assert "Traceback" not in done.stderr


def test_callback_parts_on_several_threads_at_once(echo_url):
    # Each hook attaches the thread it runs on; transfers on other threads
    # keep running meanwhile.
    count = 4
    barrier = threading.Barrier(count)
    results = [None] * count
    feeds = [Feed(f"thread {i} ".encode() * 200, chunk=97) for i in range(count)]

    def run(i):
        with Curl() as curl:
            curl.setopt(kelvex.URL, echo_url)
            mime = CurlMime(curl)
            mime.addpart().data_cb(None, feeds[i].read, free=feeds[i].free, userdata=i)
            curl.setopt(kelvex.MIMEPOST, mime)
            barrier.wait()
            results[i] = json.loads(perform(curl))["parts"][0]["body"]
            mime.close()

    workers = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [feed.data.decode() for feed in feeds]
    assert [feed.calls[-1] for feed in feeds] == [("free", i) for i in range(count)]


@pytest.mark.parametrize("closing", ["with_block", "close"])
def test_closed_document_never_posts_an_empty_body(c, echo_url, closing):
    if closing == "with_block":
        with CurlMime(c) as form:
            form.add_field("city", "Zurich")
            c.setopt(kelvex.MIMEPOST, form)
    else:
        form = CurlMime(c)
        form.add_field("city", "Zurich")
        c.setopt(kelvex.MIMEPOST, form)
        form.close()
    message = r"^cannot invoke perform\(\) - the CurlMime document set as MIMEPOST was closed"
    with pytest.raises(kelvex.error, match=message):
        c.perform()
    with pytest.raises(kelvex.error, match=message):
        c.perform_rb()
    multi = kelvex.CurlMulti()
    with pytest.raises(kelvex.error, match=r"^cannot invoke add_handle\(\) - the CurlMime"):
        multi.add_handle(c)
    multi.close()
    # A new body ends the refusal.
    again = CurlMime(c)
    again.add_field("city", "Geneva")
    (part,) = post(c, again)["parts"]
    assert part["body"] == "Geneva"


@pytest.mark.parametrize("replacement", ["unset", "postfields", "reset"])
def test_refusal_ends_when_the_body_is_replaced(c, echo_url, replacement):
    form = CurlMime(c)
    form.add_field("a", "1")
    c.setopt(kelvex.MIMEPOST, form)
    form.close()
    if replacement == "unset":
        c.unsetopt(kelvex.MIMEPOST)
    elif replacement == "postfields":
        c.setopt(kelvex.POSTFIELDS, "a=1")
    else:
        c.reset()
        c.setopt(kelvex.URL, echo_url)
    assert json.loads(perform(c))["method"] in ("POST", "GET")
