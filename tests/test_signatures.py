"""Signatures: every public callable of the module and of its types has one
that inspect reads, and it tells the truth about how arguments are taken."""

import inspect
import types

import pytest

import kelvex
from kelvex import _kelvex

TYPES = (_kelvex.Curl, _kelvex.CurlMulti, _kelvex.CurlShare, _kelvex.CurlMime,
         _kelvex.CurlMimePart)


def _public_callables():
    for name in sorted(dir(_kelvex)):
        obj = getattr(_kelvex, name)
        if name.startswith("_") or not callable(obj):
            continue
        if isinstance(obj, type) and issubclass(obj, BaseException):
            continue
        yield name, obj
    for cls in TYPES:
        for name, attr in sorted(vars(cls).items()):
            if isinstance(attr, types.MethodDescriptorType):
                yield f"{cls.__name__}.{name}", attr


CALLABLES = list(_public_callables())


@pytest.mark.parametrize("name, obj", CALLABLES, ids=[name for name, _ in CALLABLES])
def test_signature_is_readable(name, obj):
    inspect.signature(obj)
    # The text signature is taken off the documentation, never left in it.
    assert "\n--\n\n" not in (obj.__doc__ or "")


@pytest.mark.parametrize("obj, expected", [
    (_kelvex.Curl, "()"),
    (_kelvex.CurlMulti, "(*, close_handles=False)"),
    (_kelvex.CurlShare, "(*, detach_on_close=True)"),
    (_kelvex.CurlMime, "(curl)"),
    (_kelvex.version_info, "(stamp=11, /)"),
    (_kelvex.global_cleanup, "()"),
    (_kelvex.easy_strerror, "(errornum, /)"),
    (_kelvex.Curl.setopt, "(self, /, option, value, *, use_memoryview=False)"),
    (_kelvex.Curl.getinfo, "(self, option, /)"),
    (_kelvex.Curl.pause, f"(self, bitmask={kelvex.PAUSE_ALL}, /)"),
    (_kelvex.Curl.ws_send, "(self, /, data, flags=None, fragsize=0, encoding='utf-8')"),
    (_kelvex.Curl.__exit__, "(self, /, *args)"),
    (_kelvex.CurlMulti.add_handle, "(self, curl, /)"),
    (_kelvex.CurlMulti.info_read, "(self, max_objects=2147483647, /)"),
    (_kelvex.CurlMulti.notify_enable, "(self, /, *notifications)"),
    (_kelvex.CurlMulti.__exit__, "(self, exc_type, exc, tb, /)"),
    (_kelvex.CurlShare.share, "(self, /, *data)"),
    (_kelvex.Curl.header, "(self, /, name, index=0, origin=1, request=-1)"),
    (_kelvex.Curl.headers, "(self, /, origin=1, request=-1)"),
    (_kelvex.CurlUrl, "(url=None, flags=0)"),
    (_kelvex.CurlUrl.get, "(self, /, part, flags=0)"),
    (_kelvex.CurlUrl.set, "(self, /, part, value, flags=0)"),
    (_kelvex.CurlUrl.dup, "(self, /)"),
    (_kelvex.CurlMimePart.data_cb,
     "(self, /, datasize, read, seek=None, free=None, userdata=None)"),
])
def test_signature_text(obj, expected):
    assert str(inspect.signature(obj)) == expected


def test_documentation_keeps_its_text():
    assert _kelvex.Curl.setopt.__doc__.startswith("setopt(option, value, *, use_memoryview")
    assert _kelvex.CurlMime.__doc__ == "Python wrapper for libcurl MIME API."
    # Methods documented by their signature alone have no text.
    assert _kelvex.CurlMulti.__enter__.__doc__ is None


# ---------------------------------------------------------------------------
# Truthfulness: parameters said to take keywords take them, positional-only
# ones refuse them. Closed objects parse their arguments and then refuse
# with kelvex.error, so nothing is done.
# ---------------------------------------------------------------------------

# A value each parameter's converter accepts.
VALUES = {
    "option": kelvex.VERBOSE, "value": b"x", "use_memoryview": False,
    "buffer": bytearray(4), "nbytes": 0, "buffersize": 1, "data": b"x",
    "flags": None, "fragsize": 0, "encoding": "utf-8", "code": None, "reason": None,
    "name": "n", "file": None, "filename": None, "content_type": None,
    "headers": None, "encoder": None, "path": "p", "subtype": None,
    "datasize": 1, "read": lambda *args: b"", "seek": None, "free": None,
    "userdata": None, "bitmask": 0, "cadata": b"", "curl": None,
    "max_objects": 1, "sock_fd": 0, "ev_bitmask": 0, "object": None, "timeout": 0.0,
    "errornum": 0, "stamp": 11, "exc_type": None, "exc": None, "tb": None,
    "index": 0, "origin": kelvex.H_HEADER, "request": -1, "part": kelvex.UPART_URL,
}


def _closed(cls):
    if cls is _kelvex.CurlMimePart:
        mime = _kelvex.CurlMime(_kelvex.Curl())
        part = mime.addpart()
        mime.close()
        return part
    obj = cls(_kelvex.Curl()) if cls is _kelvex.CurlMime else cls()
    obj.close()
    return obj


def _methods_with(kinds):
    for cls in TYPES:
        for name, attr in sorted(vars(cls).items()):
            if not isinstance(attr, types.MethodDescriptorType):
                continue
            params = list(inspect.signature(attr).parameters.values())[1:]
            if any(p.kind in kinds for p in params):
                yield cls, name, params


KEYWORD_KINDS = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
KEYWORD_METHODS = list(_methods_with(KEYWORD_KINDS))
POSITIONAL_METHODS = list(_methods_with((inspect.Parameter.POSITIONAL_ONLY,)))


@pytest.mark.parametrize("cls, name, params", KEYWORD_METHODS,
                         ids=[f"{c.__name__}.{n}" for c, n, _ in KEYWORD_METHODS])
def test_keyword_parameters_take_keywords(cls, name, params):
    kwargs = {p.name: VALUES[p.name] for p in params if p.kind in KEYWORD_KINDS}
    if "curl" in kwargs:
        kwargs["curl"] = _kelvex.Curl()
    # Parsed without complaint, then refused: the object is closed.
    with pytest.raises(kelvex.error):
        getattr(_closed(cls), name)(**kwargs)


@pytest.mark.parametrize("cls, name, params", POSITIONAL_METHODS,
                         ids=[f"{c.__name__}.{n}" for c, n, _ in POSITIONAL_METHODS])
def test_positional_parameters_refuse_keywords(cls, name, params):
    first = next(p for p in params if p.kind is inspect.Parameter.POSITIONAL_ONLY)
    with pytest.raises(TypeError, match="keyword"):
        getattr(_closed(cls), name)(**{first.name: VALUES[first.name]})


@pytest.mark.parametrize("name", ["global_init", "version_info", "easy_strerror",
                                  "multi_strerror", "share_strerror", "url_strerror"])
def test_functions_refuse_keywords(name):
    param = next(iter(inspect.signature(getattr(_kelvex, name)).parameters))
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
        getattr(_kelvex, name)(**{param: VALUES[param]})


def _closes_its_handles(multi, curl):
    multi.add_handle(curl)
    multi.close()
    assert curl.closed


def _keeps_its_handles_attached(share, curl):
    curl.setopt(kelvex.SHARE, share)
    with pytest.raises(kelvex.error):
        share.close()
    assert curl.share() is share and not share.closed
    curl.close()
    share.close()


def _belongs_to_the_curl(mime, curl):
    curl.setopt(kelvex.MIMEPOST, mime)
    with pytest.raises(ValueError, match="created with this Curl handle"):
        _kelvex.Curl().setopt(kelvex.MIMEPOST, mime)
    mime.close()


@pytest.mark.parametrize("cls, kwargs, took_effect", [
    (_kelvex.CurlMulti, {"close_handles": True}, _closes_its_handles),
    (_kelvex.CurlShare, {"detach_on_close": False}, _keeps_its_handles_attached),
    (_kelvex.CurlMime, {"curl": None}, _belongs_to_the_curl),
], ids=["CurlMulti", "CurlShare", "CurlMime"])
def test_constructors_take_their_keywords(cls, kwargs, took_effect):
    """A constructor's keyword is taken by the name its signature gives, and
    does what it says (the defaults of the first two do otherwise)."""
    curl = _kelvex.Curl()
    if "curl" in kwargs:
        kwargs = {**kwargs, "curl": curl}
    took_effect(cls(**kwargs), curl)
