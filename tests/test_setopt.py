"""Curl.setopt, unsetopt, setopt_string and set_ca_certs: how values are
judged and routed, what is kept alive, how options are reset, and real
transfers over loopback that show the options took effect."""

import ctypes
import gc
import io
import json
import sys
import warnings
import weakref

import pytest

import kelvex
from conftest import fresh_bytes
from kelvex import Curl


def perform_json(c):
    """Runs the transfer and returns the httpbin JSON answer."""
    body = io.BytesIO()
    c.setopt(kelvex.WRITEDATA, body)
    c.perform()
    return json.loads(body.getvalue())


class Sink:
    """A callable that collects what it is given; weak-referenceable."""

    def __init__(self):
        self.chunks = []

    def __call__(self, *args):
        self.chunks.append(args[0] if len(args) == 1 else args)

    def data(self):
        return b"".join(bytes(x) for x in self.chunks)


@pytest.fixture
def c():
    handle = Curl()
    yield handle
    handle.close()


# ---------------------------------------------------------------------------
# Dispatch: option numbers and kinds of values
# ---------------------------------------------------------------------------


# The index of the newest option of the libcurl headers kelvex was built with.
LAST_INDEX = 332 if hasattr(kelvex, "HTTPSIG_HEADERS") else 328


@pytest.mark.parametrize("option", [0, -1, LAST_INDEX + 1, 10001 + LAST_INDEX,
                                    40001 + LAST_INDEX, 2**31 - 1])
def test_option_number_out_of_range(c, option):
    with pytest.raises(TypeError, match="(?m)^invalid arguments to setopt$"):
        c.setopt(option, 1)
    with pytest.raises(TypeError, match="(?m)^invalid arguments to unsetopt$"):
        c.unsetopt(option)


@pytest.mark.parametrize(
    "option, value, exc, message",
    [
        (kelvex.URL, 1, TypeError, "integers are not supported for this option"),
        (10000, 1, TypeError, "integers are not supported for this option"),
        (kelvex.WRITEFUNCTION, 1, TypeError, "integers are not supported for this option"),
        (kelvex.SSLCERT_BLOB, 1, TypeError, "integers are not supported for this option"),
        (kelvex.VERBOSE, "1", TypeError, "strings are not supported for this option"),
        (kelvex.VERBOSE, b"1", TypeError, "strings are not supported for this option"),
        # A long option: a string would reach libcurl as a pointer.
        (kelvex.WILDCARDMATCH, "1", TypeError, "strings are not supported for this option"),
        (kelvex.FNMATCH_DATA, "x", TypeError, "strings are not supported for this option"),
        (kelvex.URL, 1.5, TypeError, "invalid arguments to setopt"),
        (kelvex.URL, bytearray(b"http://x.invalid/"), TypeError, "invalid arguments to setopt"),
        (kelvex.URL, memoryview(b"http://x.invalid/"), TypeError, "invalid arguments to setopt"),
        (kelvex.URL, object(), TypeError, "invalid arguments to setopt"),
        (kelvex.URL, ["a"], TypeError, "lists are not supported for this option"),
        (kelvex.URL, len, TypeError, "functions are not supported for this option"),
        (kelvex.URL, lambda: None, TypeError, "functions are not supported for this option"),
        (20108, lambda: None, TypeError, "functions are not supported for this option"),
        # A callable object given for a file-like option is judged as a function.
        (kelvex.WRITEDATA, Sink(), TypeError, "functions are not supported for this option"),
        (kelvex.HTTPHEADER, [1], TypeError,
         "list items must be byte strings or Unicode strings with ASCII code points only"),
        (kelvex.SHARE, object(), TypeError, "invalid arguments to setopt"),
        (kelvex.VERBOSE, 2**70, OverflowError, None),
        (kelvex.INFILESIZE, 2**64, OverflowError, None),
        (kelvex.URL, "http://\u00e9.invalid/", UnicodeEncodeError, None),
        (kelvex.URL, b"http://a\0b.invalid/", ValueError, None),
        (kelvex.URL, "http://a\0b.invalid/", ValueError, None),
        (kelvex.URL, None, TypeError, r"unsetopt\(\) is not supported for this option"),
        (kelvex.INFILESIZE, None, TypeError, r"unsetopt\(\) is not supported for this option"),
    ],
)
def test_refused_values(c, option, value, exc, message):
    with pytest.raises(exc, match=message):
        c.setopt(option, value)


@pytest.mark.parametrize(
    "option", ["FNMATCH_DATA", "RESOLVER_START_DATA", "TRAILERDATA", "HSTSREADDATA", "HSTSWRITEDATA"]
)
def test_data_options_are_the_modules_own(c, option):
    number = getattr(kelvex, option)
    with pytest.raises(TypeError, match="(?m)^invalid arguments to setopt$"):
        c.setopt(number, object())
    with pytest.raises(TypeError, match="(?m)^strings are not supported for this option$"):
        c.setopt(number, "x")


@pytest.mark.parametrize(
    "option, value",
    [
        (kelvex.VERBOSE, True),
        (kelvex.VERBOSE, False),
        (41, 1),
        (kelvex.INFILESIZE, 2**40),
        (kelvex.WILDCARDMATCH, 1),
        (kelvex.URL, "http://example.invalid/"),
        (kelvex.URL, b"http://example.invalid/"),
        (kelvex.CAINFO_BLOB, b"no\0pem"),
        (kelvex.COPYPOSTFIELDS, "a=b"),
    ],
)
def test_accepted_values(c, option, value):
    assert c.setopt(option, value) is None


def test_keywords(c):
    c.setopt(option=kelvex.VERBOSE, value=0)
    with pytest.raises(TypeError):
        c.setopt(kelvex.VERBOSE, 0, True)  # use_memoryview is keyword-only


@pytest.mark.parametrize("flag", [True, False, 0])
def test_use_memoryview_only_for_write_and_header(c, flag):
    with pytest.raises(
        TypeError, match="(?m)^use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION$"
    ):
        c.setopt(kelvex.URL, "http://example.invalid/", use_memoryview=flag)
    # None resets the function and ignores the flag.
    c.setopt(kelvex.WRITEFUNCTION, None, use_memoryview=True)
    c.setopt(kelvex.HEADERFUNCTION, print, use_memoryview=flag)


def test_unknown_option_is_libcurls_error(c):
    # In range for the module, unknown to libcurl: libcurl alone judges it.
    with pytest.raises(kelvex.error) as info:
        c.setopt(2, 1)
    assert info.value.args[0] == kelvex.E_UNKNOWN_OPTION
    assert isinstance(info.value.args[1], str) and info.value.args[1]


def test_libcurl_refuses_value(c):
    with pytest.raises(kelvex.error) as info:
        c.setopt(kelvex.SSLVERSION, 999)
    assert info.value.args[0] == kelvex.E_BAD_FUNCTION_ARGUMENT


# ---------------------------------------------------------------------------
# Resets
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "option",
    ["PROXY", "USERPWD", "RANGE", "COOKIE", "CUSTOMREQUEST", "CAINFO", "ACCEPT_ENCODING",
     "HSTS", "SSLCERT_BLOB", "PROXY_CAINFO_BLOB", "OPT_CERTINFO", "HTTPHEADER", "RESOLVE",
     "CONNECT_TO", "HTTPPOST", "MIMEPOST", "SHARE", "WRITEHEADER", "WRITEFUNCTION",
     "READFUNCTION", "DEBUGFUNCTION", "PREREQFUNCTION"],
)
def test_unset_resettable(c, option):
    number = getattr(kelvex, option)
    assert c.unsetopt(number) is None
    assert c.setopt(number, None) is None


@pytest.mark.parametrize("how", ["unsetopt", "setopt_none"])
def test_unset_share_detaches(c, how):
    share = kelvex.CurlShare(detach_on_close=False)
    c.setopt(kelvex.SHARE, share)
    assert c.share() is share
    if how == "unsetopt":
        c.unsetopt(kelvex.SHARE)
    else:
        c.setopt(kelvex.SHARE, None)
    assert c.share() is None
    share.close()  # no handle attached any more
    assert share.closed
    c.setopt(kelvex.SHARE, kelvex.CurlShare())


def test_unset_long_upload_size(c):
    c.unsetopt(14)  # libcurl's long-valued upload size, which has no constant
    with pytest.raises(TypeError, match=r"^unsetopt\(\) is not supported for this option$"):
        c.unsetopt(kelvex.INFILESIZE)
    with pytest.raises(TypeError, match=r"^unsetopt\(\) is not supported for this option$"):
        c.unsetopt(kelvex.URL)


def test_unset_argument_parsing(c):
    with pytest.raises(TypeError, match="^unsetopt"):
        c.unsetopt()
    with pytest.raises(TypeError):
        c.unsetopt("URL")
    with pytest.raises(TypeError):
        c.unsetopt(option=kelvex.PROXY)


# ---------------------------------------------------------------------------
# State checks
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda h: h.setopt(kelvex.VERBOSE, 1), "setopt"),
        (lambda h: h.setopt(kelvex.WRITEDATA, io.BytesIO()), "setopt"),
        (lambda h: h.unsetopt(kelvex.PROXY), "unsetopt"),
        (lambda h: h.setopt_string(kelvex.URL, "http://x.invalid/"), "setopt"),
        (lambda h: h.set_ca_certs(b""), "set_ca_certs"),
    ],
)
def test_refused_on_closed_handle(call, name):
    h = Curl()
    h.close()
    with pytest.raises(kelvex.error) as info:
        call(h)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda h: h.setopt(kelvex.VERBOSE, 1), "setopt"),
        (lambda h: h.setopt(kelvex.WRITEDATA, io.BytesIO()), "setopt"),
        (lambda h: h.setopt(kelvex.WRITEFUNCTION, None), "setopt"),
        (lambda h: h.unsetopt(kelvex.PROXY), "unsetopt"),
        (lambda h: h.setopt_string(kelvex.URL, "http://x.invalid/"), "setopt"),
        (lambda h: h.set_ca_certs(b""), "set_ca_certs"),
    ],
)
def test_refused_inside_own_transfer(http_server, c, call, name):
    seen = []

    def write(data):
        if not seen:
            try:
                call(c)
            except kelvex.error as exc:
                seen.append(exc.args)
            else:
                seen.append(None)
        return len(data)

    c.setopt(kelvex.URL, http_server.url + "/bytes/64")
    c.setopt(kelvex.WRITEFUNCTION, write)
    c.perform()
    assert seen == [(f"cannot invoke {name}() - perform() is currently running",)]


# ---------------------------------------------------------------------------
# Strings, post data and deprecated options in transfers
# ---------------------------------------------------------------------------


def test_setopt_string(http_server, c):
    assert c.setopt_string(10002, http_server.url + "/get?via=setopt_string") is None
    assert perform_json(c)["args"] == {"via": "setopt_string"}
    with pytest.raises(TypeError, match="(?m)^strings are not supported for this option$"):
        c.setopt_string(41, "1")
    with pytest.raises(TypeError, match="(?m)^invalid arguments to setopt_string$"):
        c.setopt_string(kelvex.URL, 1)
    with pytest.raises(TypeError, match="setopt"):
        c.setopt_string(kelvex.URL)


@pytest.mark.parametrize(
    "data", [b"a\0b", "x=1&y=\0", b"", b"\xff" * 70000], ids=["nul", "str", "empty", "large"]
)
def test_postfields_sent_whole(http_server, c, data):
    c.setopt(kelvex.URL, http_server.url + "/post")
    c.setopt(kelvex.POSTFIELDS, data)
    c.setopt(kelvex.HTTPHEADER, ["Content-Type: application/octet-stream"])
    answer = perform_json(c)
    raw = data.encode("ascii") if isinstance(data, str) else data
    assert answer["headers"]["Content-Length"] == str(len(raw))
    if raw.isascii():
        assert answer["data"] == raw.decode()


@pytest.mark.parametrize(
    "steps, sent",
    [
        ([("POSTFIELDS", b"long body " * 10), ("COPYPOSTFIELDS", b"short")], "short"),
        ([("COPYPOSTFIELDS", "copied " * 10), ("POSTFIELDS", b"a\0b")], "a\0b"),
        ([("POSTFIELDS", b"x" * 100), ("POSTFIELDS", b"y")], "y"),
    ],
)
def test_post_data_size_follows_last_value(http_server, c, steps, sent):
    # Each value brings its own size: none is read with an earlier, longer one.
    for option, value in steps:
        c.setopt(getattr(kelvex, option), value)
    c.setopt(kelvex.URL, http_server.url + "/post")
    c.setopt(kelvex.HTTPHEADER, ["Content-Type: application/octet-stream"])
    assert perform_json(c)["data"] == sent


@pytest.mark.parametrize("option", ["POSTFIELDSIZE", "POSTFIELDSIZE_LARGE", 60])
def test_post_size_cannot_reach_past_postfields(http_server, c, option):
    # libcurl sends as many bytes as the size says from memory it does not
    # own: a larger size would send whatever lies after the data.
    option = getattr(kelvex, option) if isinstance(option, str) else option
    c.setopt(kelvex.POSTFIELDS, b"abc")
    with pytest.raises(ValueError, match="post size exceeds the POSTFIELDS data"):
        c.setopt(option, 4)
    c.setopt(option, 2)
    c.setopt(kelvex.URL, http_server.url + "/post")
    c.setopt(kelvex.HTTPHEADER, ["Content-Type: application/octet-stream"])
    assert perform_json(c)["data"] == "ab"


def test_postfields_kept_alive_until_replaced(c):
    first = fresh_bytes(bytes(range(50)) * 3)
    second = fresh_bytes(b"second" * 10)
    base = sys.getrefcount(first)
    c.setopt(kelvex.POSTFIELDS, first)
    assert sys.getrefcount(first) == base + 1
    c.setopt(kelvex.POSTFIELDS, second)
    assert sys.getrefcount(first) == base
    # COPYPOSTFIELDS is copied by libcurl and leaves the kept object alone.
    base2 = sys.getrefcount(second)
    c.setopt(kelvex.COPYPOSTFIELDS, b"copied")
    assert sys.getrefcount(second) == base2
    c.close()
    assert sys.getrefcount(second) == base2 - 1


def test_postfields_survive_caller(http_server, c):
    c.setopt(kelvex.URL, http_server.url + "/post")
    c.setopt(kelvex.POSTFIELDS, b"k=" + b"v" * 1000)
    gc.collect()
    assert perform_json(c)["form"] == {"k": "v" * 1000}


@pytest.mark.parametrize("option", ["RANDOM_FILE", "EGDSOCKET", "KRB4LEVEL", "SOCKS5_GSSAPI_SERVICE"])
def test_deprecated_string_option_fails_under_error_filter(c, option):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="^setopt option is deprecated$"):
            c.setopt(getattr(kelvex, option), "value")


def test_deprecated_string_option_warns(c):
    with pytest.warns(DeprecationWarning, match="^setopt option is deprecated$") as record:
        c.setopt(kelvex.RANDOM_FILE, "/dev/urandom")
    assert record[0].filename == __file__


# ---------------------------------------------------------------------------
# Callables and file-like objects
# ---------------------------------------------------------------------------

FUNCTION_OPTIONS = [
    "WRITEFUNCTION", "READFUNCTION", "PROGRESSFUNCTION", "HEADERFUNCTION", "DEBUGFUNCTION",
    "IOCTLFUNCTION", "SOCKOPTFUNCTION", "OPENSOCKETFUNCTION", "SEEKFUNCTION", "SSH_KEYFUNCTION",
    "FNMATCH_FUNCTION", "CLOSESOCKETFUNCTION", "XFERINFOFUNCTION", "RESOLVER_START_FUNCTION",
    "TRAILERFUNCTION", "HSTSREADFUNCTION", "HSTSWRITEFUNCTION", "PREREQFUNCTION",
]


@pytest.mark.parametrize("option", FUNCTION_OPTIONS)
def test_callable_held_until_reset(c, option):
    number = getattr(kelvex, option)
    fn = Sink()
    ref = weakref.ref(fn)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        c.setopt(number, fn)
    del fn
    assert ref() is not None
    c.unsetopt(number)
    assert ref() is None


@pytest.mark.parametrize("option", FUNCTION_OPTIONS)
def test_callable_released_when_replaced_and_on_close(option):
    number = getattr(kelvex, option)
    h = Curl()
    first, second = Sink(), Sink()
    refs = weakref.ref(first), weakref.ref(second)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        h.setopt(number, first)
        del first
        h.setopt(number, second)
    del second
    assert refs[0]() is None
    assert refs[1]() is not None
    h.close()
    assert refs[1]() is None


@pytest.mark.parametrize(
    "option, message",
    [
        ("PROGRESSFUNCTION", "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"),
        ("IOCTLFUNCTION", "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"),
    ],
)
def test_deprecated_function_options(c, option, message):
    number = getattr(kelvex, option)
    for _ in range(2):  # warns on every call
        with pytest.warns(DeprecationWarning, match=f"(?m)^{message}$"):
            c.setopt(number, Sink())
    kept = Sink()
    c.setopt(number, None)
    ref = weakref.ref(kept)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=f"(?m)^{message}$"):
            c.setopt(number, kept)
    del kept
    assert ref() is None  # nothing was stored


def test_xferinfo_does_not_warn(c):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c.setopt(kelvex.XFERINFOFUNCTION, Sink())


def test_write_callable_receives_bytes_and_memoryview(http_server, c):
    seen = []

    def write(data):
        seen.append(type(data))

    c.setopt(kelvex.URL, http_server.url + "/bytes/100")
    c.setopt(kelvex.WRITEFUNCTION, write, use_memoryview=True)
    c.perform()
    assert set(seen) == {memoryview}
    seen.clear()
    # Without the keyword the flag goes back to bytes.
    c.setopt(kelvex.WRITEFUNCTION, write)
    c.perform()
    assert set(seen) == {bytes}


@pytest.mark.parametrize(
    "option, message",
    [
        ("WRITEDATA", "object given without a write method"),
        ("WRITEHEADER", "object given without a write method"),
        ("FILE", "object given without a write method"),
        ("READDATA", "object given without a read method"),
        ("INFILE", "object given without a read method"),
    ],
)
def test_file_like_without_method(c, option, message):
    with pytest.raises(TypeError, match=f"(?m)^{message}$"):
        c.setopt(getattr(kelvex, option), object())


def test_write_data_delivers_bytes(http_server, c):
    received = []

    class File:
        def write(self, data):
            received.append(data)
            return len(data)

    c.setopt(kelvex.URL, http_server.url + "/bytes/300")
    c.setopt(kelvex.WRITEDATA, File())
    c.perform()
    assert all(type(x) is bytes for x in received)
    assert len(b"".join(received)) == 300


def test_writeheader_replaces_header_function(http_server, c):
    function = Sink()
    headers = io.BytesIO()
    c.setopt(kelvex.URL, http_server.url + "/get")
    c.setopt(kelvex.WRITEFUNCTION, Sink())
    c.setopt(kelvex.HEADERFUNCTION, function)
    c.setopt(kelvex.WRITEHEADER, headers)
    c.perform()
    assert function.chunks == []
    assert headers.getvalue().startswith(b"HTTP/1.1 200")
    # And back: a header function replaces the file.
    headers.seek(0)
    headers.truncate()
    c.setopt(kelvex.HEADERFUNCTION, function)
    c.perform()
    assert headers.getvalue() == b""
    assert function.data().startswith(b"HTTP/1.1 200")


@pytest.mark.parametrize("reset", ["WRITEHEADER", "HEADERFUNCTION"])
def test_unset_header_target(http_server, c, reset):
    headers = io.BytesIO()
    c.setopt(kelvex.URL, http_server.url + "/get")
    c.setopt(kelvex.WRITEFUNCTION, Sink())
    c.setopt(kelvex.WRITEHEADER, headers)
    ref = weakref.ref(headers)
    del headers
    c.unsetopt(getattr(kelvex, reset))
    # The header target is gone and later transfers still succeed.
    assert ref() is None
    c.perform()
    assert c.getinfo(kelvex.RESPONSE_CODE) == 200


def test_write_function_reset_restores_standard_output(http_server, c, capfd):
    c.setopt(kelvex.URL, http_server.url + "/base64/a2VsdmV4LXN0ZG91dA==")
    c.setopt(kelvex.WRITEFUNCTION, Sink())
    c.setopt(kelvex.WRITEFUNCTION, None)
    c.setopt(kelvex.WRITEFUNCTION, None)
    c.perform()
    # libcurl's default writer goes through C stdio, which buffers.
    ctypes.CDLL(None).fflush(None)
    assert "kelvex-stdout" in capfd.readouterr().out


def test_write_data_to_bytesio_and_reset(http_server, c):
    body = io.BytesIO()
    ref = weakref.ref(body)
    c.setopt(kelvex.URL, http_server.url + "/bytes/10")
    c.setopt(kelvex.WRITEDATA, body)
    c.perform()
    assert len(body.getvalue()) == 10
    del body
    assert ref() is not None  # kept alive through its bound write
    c.unsetopt(kelvex.WRITEFUNCTION)
    assert ref() is None


# ---------------------------------------------------------------------------
# Uploads, redirects, headers, resolve lists, cookies
# ---------------------------------------------------------------------------


UPLOAD = b"upload\0body " * 200


@pytest.mark.parametrize("how", ["READFUNCTION", "READDATA"])
def test_put_upload(http_server, c, how):
    source = io.BytesIO(UPLOAD)
    c.setopt(kelvex.URL, http_server.url + "/put")
    c.setopt(kelvex.UPLOAD, 1)
    c.setopt(kelvex.INFILESIZE, len(UPLOAD))
    c.setopt(kelvex.HTTPHEADER, ["Content-Type: application/octet-stream"])
    if how == "READFUNCTION":
        c.setopt(kelvex.READFUNCTION, source.read)
    else:
        c.setopt(kelvex.READDATA, source)
    answer = perform_json(c)
    assert answer["headers"]["Content-Length"] == str(len(UPLOAD))
    assert answer["data"].encode("latin-1") == UPLOAD


def test_redirects_followed(http_server, c):
    c.setopt(kelvex.URL, http_server.url + "/redirect/3")
    c.setopt(kelvex.FOLLOWLOCATION, True)
    answer = perform_json(c)
    assert answer["url"].endswith("/get")
    assert c.getinfo(kelvex.REDIRECT_COUNT) == 3


def sent_headers(c, http_server):
    c.setopt(kelvex.URL, http_server.url + "/headers")
    return perform_json(c)["headers"]


@pytest.mark.parametrize("kind", [list, tuple])
def test_header_list_and_tuple(http_server, c, kind):
    c.setopt(kelvex.HTTPHEADER, kind(["X-One: 1", b"X-Two: 2"]))
    headers = sent_headers(c, http_server)
    assert headers["X-One"] == "1" and headers["X-Two"] == "2"


def test_header_list_edges(http_server, c):
    c.setopt(kelvex.HTTPHEADER, ("X-Kept: yes",))
    # Empty, non-ASCII and non-text lists all leave the earlier list in force.
    c.setopt(kelvex.HTTPHEADER, [])
    with pytest.raises(UnicodeEncodeError):
        c.setopt(kelvex.HTTPHEADER, ["X-New: 1", "X-Bad: \u00e9"])
    with pytest.raises(ValueError):
        c.setopt(kelvex.HTTPHEADER, ["X-New: 1", b"X-Nul: \0"])
    with pytest.raises(
        TypeError, match="(?m)^list items must be byte strings or Unicode strings with ASCII code points only$"
    ):
        c.setopt(kelvex.HTTPHEADER, ["X-New: 1", 2])
    headers = sent_headers(c, http_server)
    assert headers["X-Kept"] == "yes" and "X-New" not in headers
    c.unsetopt(kelvex.HTTPHEADER)
    assert "X-Kept" not in sent_headers(c, http_server)


def test_header_list_not_shared_after_duphandle(http_server, c):
    c.setopt(kelvex.HTTPHEADER, ["X-Which: old"])
    d = c.duphandle()
    try:
        c.setopt(kelvex.HTTPHEADER, ["X-Which: new"])
        assert sent_headers(c, http_server)["X-Which"] == "new"
        assert sent_headers(d, http_server)["X-Which"] == "old"
        c.close()
        assert sent_headers(d, http_server)["X-Which"] == "old"
    finally:
        d.close()


@pytest.mark.parametrize("option", ["RESOLVE", "CONNECT_TO"])
def test_resolve_lists(http_server, c, option):
    port = http_server.port
    entry = {
        "RESOLVE": f"kelvex-test.invalid:{port}:127.0.0.1",
        "CONNECT_TO": f"kelvex-test.invalid:{port}:127.0.0.1:{port}",
    }[option]
    c.setopt(getattr(kelvex, option), [entry])
    c.setopt(kelvex.URL, f"http://kelvex-test.invalid:{port}/get")
    answer = perform_json(c)
    assert answer["headers"]["Host"] == f"kelvex-test.invalid:{port}"


def test_without_resolve_list_the_name_fails(http_server, c):
    c.setopt(kelvex.RESOLVE, [f"kelvex-test.invalid:{http_server.port}:127.0.0.1"])
    c.unsetopt(kelvex.RESOLVE)
    c.setopt(kelvex.URL, f"http://kelvex-test.invalid:{http_server.port}/get")
    c.setopt(kelvex.WRITEFUNCTION, Sink())
    with pytest.raises(kelvex.error) as info:
        c.perform()
    assert info.value.args[0] == kelvex.E_COULDNT_RESOLVE_HOST


def test_cookies_from_server_kept(http_server, c):
    c.setopt(kelvex.COOKIEFILE, "")
    c.setopt(kelvex.FOLLOWLOCATION, 1)
    c.setopt(kelvex.URL, http_server.url + "/cookies/set?flavour=oat&size=2")
    assert perform_json(c)["cookies"] == {"flavour": "oat", "size": "2"}
    c.setopt(kelvex.URL, http_server.url + "/cookies")
    assert perform_json(c)["cookies"] == {"flavour": "oat", "size": "2"}
    c.setopt(kelvex.COOKIELIST, "ALL")
    assert perform_json(c)["cookies"] == {}


def test_cookie_reset(http_server, c):
    c.setopt(kelvex.COOKIE, "a=1")
    c.setopt(kelvex.URL, http_server.url + "/cookies")
    assert perform_json(c)["cookies"] == {"a": "1"}
    c.unsetopt(kelvex.COOKIE)
    assert perform_json(c)["cookies"] == {}


# ---------------------------------------------------------------------------
# HTTPS with the test CA
# ---------------------------------------------------------------------------


def test_https_untrusted_without_ca(https_server, c):
    c.setopt(kelvex.URL, https_server.url + "/get")
    c.setopt(kelvex.WRITEFUNCTION, Sink())
    with pytest.raises(kelvex.error) as info:
        c.perform()
    assert info.value.args[0] == kelvex.E_PEER_FAILED_VERIFICATION


@pytest.mark.parametrize("how", ["CAINFO", "CAINFO_BLOB", "set_ca_certs", "set_ca_certs_str"])
def test_https_with_test_ca(https_server, c, how):
    c.setopt(kelvex.URL, https_server.url + "/get?tls=1")
    if how == "CAINFO":
        c.setopt(kelvex.CAINFO, https_server.ca_path)
    elif how == "CAINFO_BLOB":
        c.setopt(kelvex.CAINFO_BLOB, https_server.ca_pem)
    else:
        # Only the added certificates: the default bundle must not be needed.
        c.setopt(kelvex.CAINFO, "/nonexistent/none.pem")
        c.setopt(kelvex.CAINFO, None)
        c.setopt(kelvex.CAPATH, None)
        pem = https_server.ca_pem
        c.set_ca_certs(pem.decode("ascii") if how.endswith("_str") else pem)
    assert perform_json(c)["args"] == {"tls": "1"}


def test_set_ca_certs_arguments(c):
    message = (
        "^set_ca_certs argument must be a byte string or a Unicode string with ASCII code points only$"
    )
    for bad in (123, "caf\u00e9", bytearray(b"x"), None):
        with pytest.raises(TypeError, match=message):
            c.set_ca_certs(bad)
    assert c.set_ca_certs(b"") is None
    with pytest.raises(TypeError):
        c.set_ca_certs()


def test_set_ca_certs_keeps_data(c):
    pem = fresh_bytes(b"-----BEGIN CERTIFICATE-----\n" + b"A" * 64)
    base = sys.getrefcount(pem)
    c.set_ca_certs(pem)
    assert sys.getrefcount(pem) == base + 1
    c.set_ca_certs(b"other")
    assert sys.getrefcount(pem) == base
