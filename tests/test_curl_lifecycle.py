"""Curl objects: creation, closing, duplication, reset, attributes, pickling,
context management, weak references and garbage collection."""

import copy
import ctypes
import gc
import json
import pickle
import sys
import weakref

import pytest

import kelvex


def fetch(c):
    """Runs the transfer and returns the body, collected by a callable."""
    chunks = []
    c.setopt(kelvex.WRITEFUNCTION, chunks.append)
    c.perform()
    return b"".join(chunks)


class Collector:
    """A write callable that weak references can track."""

    def __init__(self):
        self.chunks = []

    def __call__(self, data):
        self.chunks.append(data)

    @property
    def body(self):
        return b"".join(self.chunks)


# ---------------------------------------------------------------------------
# Creation and closing
# ---------------------------------------------------------------------------


def test_close_is_idempotent():
    c = kelvex.Curl()
    assert c.closed is False
    assert c.close() is None
    assert c.closed is True
    assert c.close() is None
    assert c.closed is True


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        kelvex.Curl(*args, **kwargs)


class TaggedCurl(kelvex.Curl):
    def __init__(self, tag, *, colour=None):
        super().__init__()
        self.tag = tag
        self.colour = colour


def test_subclass_takes_its_own_arguments():
    c = TaggedCurl("t", colour="red")
    assert (c.tag, c.colour) == ("t", "red")
    assert c.closed is False
    assert c.URL == kelvex.URL
    dup = c.duphandle()
    assert type(dup) is TaggedCurl
    assert (dup.tag, dup.colour) == ("t", "red")


def test_closed_is_read_only_through_instance_attributes():
    c = kelvex.Curl()
    c.closed = True  # lands among the instance attributes
    assert c.closed is False
    c.close()
    assert c.closed is True


@pytest.mark.parametrize(
    "name, call",
    [
        ("setopt", lambda c: c.setopt(kelvex.URL, "http://127.0.0.1/")),
        ("perform", lambda c: c.perform()),
        ("reset", lambda c: c.reset()),
        ("pause", lambda c: c.pause()),
        ("unpause", lambda c: c.unpause()),
        ("send", lambda c: c.send(b"x")),
        ("recv", lambda c: c.recv(1)),
        ("recv_into", lambda c: c.recv_into(bytearray(1))),
        # the body collectors install their write callable through setopt
        ("setopt", lambda c: c.perform_rb()),
        ("setopt", lambda c: c.perform_rs()),
    ],
)
def test_methods_after_close_name_themselves(name, call):
    c = kelvex.Curl()
    c.close()
    with pytest.raises(kelvex.error) as info:
        call(c)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


def test_accessors_after_close():
    c = kelvex.Curl()
    c.close()
    assert c.multi() is None
    assert c.share() is None
    c.colour = "blue"
    assert c.colour == "blue"
    with c as entered:
        assert entered is c


# ---------------------------------------------------------------------------
# Context manager
# ---------------------------------------------------------------------------


def test_with_block_closes():
    with kelvex.Curl() as c:
        assert c.closed is False
    assert c.closed is True


def test_with_block_closes_and_propagates_exception():
    with pytest.raises(ZeroDivisionError):
        with kelvex.Curl() as c:
            1 / 0
    assert c.closed is True


# ---------------------------------------------------------------------------
# Attributes and constants
# ---------------------------------------------------------------------------


def test_constants_are_attributes():
    c = kelvex.Curl()
    assert c.URL == kelvex.URL
    assert c.WRITEFUNCTION == kelvex.WRITEFUNCTION


def test_unknown_attribute_message():
    c = kelvex.Curl()
    with pytest.raises(AttributeError) as info:
        c.no_such_thing
    assert str(info.value) == "trying to obtain a non-existing attribute: no_such_thing"


def test_attribute_round_trip_and_delete():
    c = kelvex.Curl()
    value = object()
    c.payload = value
    assert c.payload is value
    c.payload = 2
    assert c.payload == 2
    del c.payload
    with pytest.raises(AttributeError) as info:
        del c.payload
    assert str(info.value) == "trying to delete a non-existing attribute: payload"
    with pytest.raises(AttributeError):
        c.payload


def test_instance_attribute_never_hides_method():
    c = kelvex.Curl()
    c.perform = "shadow"
    assert callable(c.perform)
    c.URL = "mine"
    assert c.URL == "mine"  # instance attributes come before constants


# ---------------------------------------------------------------------------
# Pickling and weak references
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_is_refused(protocol):
    with pytest.raises(TypeError, match="^Curl objects do not support serialization$"):
        pickle.dumps(kelvex.Curl(), protocol=protocol)


def test_copy_and_setstate_are_refused():
    c = kelvex.Curl()
    with pytest.raises(TypeError, match="^Curl objects do not support serialization$"):
        copy.copy(c)
    with pytest.raises(TypeError, match="^Curl objects do not support deserialization$"):
        c.__setstate__({})


def test_weak_reference():
    c = kelvex.Curl()
    ref = weakref.ref(c)
    assert ref() is c
    del c
    assert ref() is None


@pytest.mark.parametrize("link", ["attribute", "write callable"])
def test_reference_cycle_is_collected(link):
    c = kelvex.Curl()
    if link == "attribute":
        c.myself = c
    else:
        c.setopt(kelvex.WRITEFUNCTION, lambda data: c)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------------------
# What a handle keeps alive
# ---------------------------------------------------------------------------


def unique_bytes(tag):
    # A fresh object (not interned or cached) whose references can be counted.
    return (tag + "-" + "x" * 64).encode()


HELD_VALUES = {
    "postfields": lambda c, v: c.setopt(kelvex.POSTFIELDS, v),
    "ca_certs": lambda c, v: c.set_ca_certs(v),
    "form buffer": lambda c, v: c.setopt(
        kelvex.HTTPPOST, [("field", (kelvex.FORM_BUFFER, "f.bin", kelvex.FORM_BUFFERPTR, v))]
    ),
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("kind", list(HELD_VALUES))
@pytest.mark.parametrize("release", ["close", "reset", "collect", "dealloc"])
def test_held_data_is_released(kind, release):
    value = unique_bytes(kind)
    base = sys.getrefcount(value)
    c = kelvex.Curl()
    HELD_VALUES[kind](c, value)
    assert sys.getrefcount(value) == base + 1
    dup = c.duphandle()  # shares the object, or the form holder that keeps it
    dup.close()
    assert sys.getrefcount(value) == base + 1
    if release == "close":
        c.close()
    elif release == "reset":
        c.reset()
    elif release == "collect":
        c.myself = c
        del c
        gc.collect()
    else:
        del c
    assert sys.getrefcount(value) == base


@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION", "READFUNCTION"])
@pytest.mark.parametrize("release", ["close", "reset", "collect"])
def test_callables_are_released(option, release):
    callable_ = Collector()
    ref = weakref.ref(callable_)
    c = kelvex.Curl()
    c.setopt(getattr(kelvex, option), callable_)
    dup = c.duphandle()
    del callable_
    dup.close()
    assert ref() is not None
    if release == "close":
        c.close()
    elif release == "reset":
        c.reset()
    else:
        c.myself = c
        del c
        gc.collect()
    assert ref() is None


def test_cycle_through_a_multi_is_collected(http_server, capfd):
    """A handle in a multi that it references itself: the collector breaks
    the cycle and both libcurl handles are released without complaint."""
    c = kelvex.Curl()
    m = kelvex.CurlMulti()
    c.setopt(kelvex.URL, http_server.url + "/range/10")
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    m.add_handle(c)
    c.multi_of_mine = m
    running = 1
    while running:
        _, running = m.perform()
        if running:
            m.select(1.0)
    refs = weakref.ref(c), weakref.ref(m)
    del c, m
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------
# duphandle
# ---------------------------------------------------------------------------


def test_duphandle_of_closed_handle_fails():
    c = kelvex.Curl()
    c.close()
    with pytest.raises(kelvex.error) as info:
        c.duphandle()
    assert info.value.args == ("cloning curl failed",)


def test_duphandle_delivers_to_the_same_callable(http_server):
    c = kelvex.Curl()
    sink = Collector()
    c.setopt(kelvex.URL, http_server.url + "/bytes/64")
    c.setopt(kelvex.WRITEFUNCTION, sink)
    dup = c.duphandle()
    assert dup is not c and dup.closed is False
    dup.perform()
    assert len(sink.body) == 64


def test_duphandle_outlives_its_source(http_server):
    """Callables, post data and header lists stay valid for the copy after
    the source is gone, and the copy's callbacks find the copy."""
    seen = []
    refusals = []

    def write(data):
        seen.append(data)
        try:
            dup.setopt(kelvex.VERBOSE, 0)
        except kelvex.error as exc:
            refusals.append(exc.args)

    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/post")
    c.setopt(kelvex.POSTFIELDS, b"a=1&b=\x002")
    c.setopt(kelvex.HTTPHEADER, ["X-Kelvex-Test: dup", "Content-Type: application/octet-stream"])
    c.setopt(kelvex.WRITEFUNCTION, write)
    dup = c.duphandle()
    c.close()
    del c
    gc.collect()
    dup.perform()
    echoed = json.loads(b"".join(seen))
    assert echoed["headers"]["X-Kelvex-Test"] == "dup"
    assert echoed["data"] == "a=1&b=\x002"
    # The copy's own transfer was running while its callable ran.
    assert set(refusals) == {("cannot invoke setopt() - perform() is currently running",)}


def test_duphandle_copies_attributes_independently():
    c = kelvex.Curl()
    c.colour = "red"
    dup = c.duphandle()
    assert dup.colour == "red"
    c.colour = "green"
    dup.size = 3
    assert dup.colour == "red"
    with pytest.raises(AttributeError):
        c.size


def test_duphandle_has_no_multi_or_share():
    c = kelvex.Curl()
    m = kelvex.CurlMulti()
    s = kelvex.CurlShare()
    c.setopt(kelvex.SHARE, s)
    m.add_handle(c)
    assert c.multi() is m and c.share() is s
    dup = c.duphandle()
    assert dup.multi() is None
    assert dup.share() is None
    m.remove_handle(c)


# ---------------------------------------------------------------------------
# reset
# ---------------------------------------------------------------------------


def test_reset_drops_callables_and_lists(http_server, capfd):
    sink = Collector()
    sink_ref = weakref.ref(sink)
    c = kelvex.Curl()
    c.colour = "red"
    c.setopt(kelvex.URL, http_server.url + "/headers")
    c.setopt(kelvex.WRITEFUNCTION, sink)
    c.setopt(kelvex.HTTPHEADER, ["X-Before-Reset: 1"])
    c.setopt(kelvex.USERAGENT, "something else")
    c.setopt(kelvex.VERBOSE, 1)
    c.setopt(kelvex.NOPROGRESS, 0)
    del sink
    assert sink_ref() is not None
    c.reset()
    assert sink_ref() is None
    assert c.colour == "red"

    capfd.readouterr()
    c.setopt(kelvex.URL, http_server.url + "/headers")
    echoed = json.loads(fetch(c))
    headers = echoed["headers"]
    assert "X-Before-Reset" not in headers
    assert headers["User-Agent"].startswith("Kelvex/7.47.0 ")
    # verbose output and the progress meter are off again
    assert capfd.readouterr().err == ""


def test_reset_restores_default_output(http_server, capfd):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, http_server.url + "/bytes/16")
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    c.reset()
    c.setopt(kelvex.URL, http_server.url + "/base64/a2VsdmV4LXN0ZG91dA==")
    capfd.readouterr()
    c.perform()
    ctypes.CDLL(None).fflush(None)  # libcurl writes through C stdio
    assert capfd.readouterr().out == "kelvex-stdout"


def test_reset_keeps_multi_and_share():
    c = kelvex.Curl()
    m = kelvex.CurlMulti()
    s = kelvex.CurlShare()
    c.setopt(kelvex.SHARE, s)
    m.add_handle(c)
    c.reset()
    assert c.multi() is m
    assert c.share() is s
    m.remove_handle(c)


def test_close_leaves_multi_and_share():
    c = kelvex.Curl()
    m = kelvex.CurlMulti()
    s = kelvex.CurlShare()
    c.setopt(kelvex.SHARE, s)
    m.add_handle(c)
    c.close()
    assert c.multi() is None and c.share() is None
    assert c not in m
    # Neither holds on to the closed handle: both close cleanly.
    s.close()
    m.close()


# ---------------------------------------------------------------------------
# Docstrings
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, first_line",
    [
        ("close", "close() -> None"),
        ("duphandle", "duphandle() -> Curl"),
        ("reset", "reset() -> None"),
        ("multi", "multi() -> CurlMulti | None"),
        ("share", "share() -> CurlShare | None"),
        ("perform", "perform() -> None"),
        ("perform_rb", "perform_rb() -> response_body"),
        ("perform_rs", "perform_rs() -> response_body"),
        ("send", "send(bytes) -> count"),
        ("recv", "recv(buffersize) -> data"),
        ("recv_into", "recv_into(buffer[, nbytes]) -> nbytes"),
        ("pause", "pause(bitmask=PAUSE_ALL) -> None"),
        ("unpause", "unpause() -> None"),
    ],
)
def test_method_docstrings(name, first_line):
    assert getattr(kelvex.Curl, name).__doc__.splitlines()[0] == first_line


def test_type_and_closed_docstrings():
    assert kelvex.Curl.__doc__.splitlines()[0] == "Curl() -> New Curl object"
    assert kelvex.Curl.closed.__doc__ == "Whether this ``Curl`` object has been closed."
    for name in ("__enter__", "__exit__", "__getstate__", "__setstate__"):
        assert getattr(kelvex.Curl, name).__doc__


def test_repr_shows_url_and_state(http_server):
    c = kelvex.Curl()
    assert repr(c) == "<kelvex.Curl no URL>"
    c.setopt(kelvex.URL, f"{http_server.url}/redirect-to?url=/bytes/3")
    assert repr(c) == f"<kelvex.Curl url='{http_server.url}/redirect-to?url=/bytes/3'>"
    c.setopt(kelvex.FOLLOWLOCATION, 1)
    seen = []
    # Inside its own transfer the handle is busy, and repr does not touch it.
    c.setopt(kelvex.WRITEFUNCTION, lambda chunk: seen.append(repr(c)))
    c.perform()
    assert seen == ["<kelvex.Curl busy>"]
    assert repr(c) == f"<kelvex.Curl url='{http_server.url}/bytes/3'>"  # where it went
    c.close()
    assert repr(c) == "<kelvex.Curl closed>"

    class Sub(kelvex.Curl):
        pass

    assert repr(Sub()).endswith("Sub no URL>")
