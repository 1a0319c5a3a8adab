"""CurlShare: options, the registry of attached handles, close rules, and
data actually shared between handles over loopback HTTP."""

import gc
import json
import pickle
import threading
import weakref

import pytest

import kelvex
from kelvex import CurlShare

LOCK_KINDS = (
    kelvex.LOCK_DATA_COOKIE,
    kelvex.LOCK_DATA_DNS,
    kelvex.LOCK_DATA_SSL_SESSION,
    kelvex.LOCK_DATA_CONNECT,
    kelvex.LOCK_DATA_PSL,
)


def still_in_use(count):
    return f"cannot close CurlShare: still in use by {count} active Curl object{'' if count == 1 else 's'}"


def error_text(excinfo):
    """The single text value of a kelvex.error raised for a usage error."""
    (text,) = excinfo.value.args
    return text


def attached(share, count=1):
    handles = [kelvex.Curl() for _ in range(count)]
    for c in handles:
        c.setopt(kelvex.SHARE, share)
    return handles


def get(c, url):
    c.setopt(kelvex.URL, url)
    return c.perform_rb()


# -- construction, attributes, protocol ---------------------------------------


def test_constructor_arguments():
    with pytest.raises(TypeError):
        CurlShare(True)
    with pytest.raises(TypeError):
        CurlShare(detach=False)
    # The flag only shows in close(): a kept handle makes close() refuse.
    s = CurlShare(detach_on_close=False)
    (c,) = attached(s)
    with pytest.raises(kelvex.error):
        s.close()
    c.close()
    s.close()


def test_subclass_takes_its_own_arguments_but_cannot_be_attached(curl):
    class Sub(CurlShare):
        def __init__(self, label):
            self.label = label

    s = Sub("x")
    assert s.label == "x"
    with pytest.raises(TypeError, match="(?m)^invalid arguments to setopt$"):
        curl.setopt(kelvex.SHARE, s)
    assert curl.share() is None
    s.close()
    assert s.closed


@pytest.mark.parametrize(
    "name, value",
    [("SH_SHARE", 1), ("SH_UNSHARE", 2), ("LOCK_DATA_COOKIE", 2), ("LOCK_DATA_DNS", 3),
     ("LOCK_DATA_SSL_SESSION", 4), ("LOCK_DATA_CONNECT", 5), ("LOCK_DATA_PSL", 6)],
)
def test_constants_are_attributes(name, value):
    s = CurlShare()
    assert getattr(s, name) == value == getattr(kelvex, name)


def test_instance_attributes():
    s = CurlShare()
    with pytest.raises(AttributeError, match="^trying to obtain a non-existing attribute: URL$"):
        s.URL
    s.note = marker = object()
    assert s.note is marker
    s.SH_SHARE = "shadowed only by the instance"
    assert s.SH_SHARE == "shadowed only by the instance"
    s.close = "never found: the method wins"
    assert callable(s.close)
    del s.note
    with pytest.raises(AttributeError, match="^trying to delete a non-existing attribute: note$"):
        del s.note


def test_pickling_is_refused():
    s = CurlShare()
    with pytest.raises(TypeError, match="^CurlShare objects do not support serialization$"):
        pickle.dumps(s)
    with pytest.raises(TypeError, match="^CurlShare objects do not support deserialization$"):
        s.__setstate__({})


def test_weak_reference_and_collection_of_a_cycle():
    s = CurlShare()
    (c,) = attached(s)
    s.handle = c  # share -> dict -> Curl -> share
    ref = weakref.ref(s)
    assert ref() is s
    del s, c
    gc.collect()
    assert ref() is None


# -- setopt, share, unshare ------------------------------------------------------


@pytest.mark.parametrize("kind", LOCK_KINDS)
def test_setopt_accepts_every_kind(kind):
    s = CurlShare()
    assert s.setopt(kelvex.SH_SHARE, kind) is None
    if kind != kelvex.LOCK_DATA_PSL:  # libcurl has no way back for this one
        assert s.setopt(kelvex.SH_UNSHARE, kind) is None


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((kelvex.SH_SHARE, 7), TypeError, "invalid arguments to setopt"),
        ((kelvex.SH_SHARE, 1), TypeError, "invalid arguments to setopt"),
        ((kelvex.SH_SHARE, True), TypeError, "invalid arguments to setopt"),
        ((kelvex.SH_SHARE, "3"), TypeError, "invalid arguments to setopt"),
        ((kelvex.SH_SHARE, 3.0), TypeError, "invalid arguments to setopt"),
        ((0, kelvex.LOCK_DATA_DNS), TypeError, "invalid arguments to setopt"),
        ((30329, kelvex.LOCK_DATA_DNS), TypeError, "invalid arguments to setopt"),
        ((10329, kelvex.LOCK_DATA_DNS), TypeError, "invalid arguments to setopt"),
        ((3, kelvex.LOCK_DATA_DNS), TypeError, "integers are not supported for this option"),
        ((10000, kelvex.LOCK_DATA_DNS), TypeError, "integers are not supported for this option"),
        ((kelvex.SH_SHARE, 2**70), OverflowError, None),
        (("1", kelvex.LOCK_DATA_DNS), TypeError, None),
        ((kelvex.SH_SHARE,), TypeError, None),
    ],
)
def test_setopt_refusals(args, exc, message):
    with pytest.raises(exc) as excinfo:
        CurlShare().setopt(*args)
    if message is not None:
        assert str(excinfo.value) == message


@pytest.mark.parametrize("method", ["share", "unshare"])
@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((), TypeError, "at least one LOCK_DATA_* argument required"),
        (([kelvex.LOCK_DATA_DNS],), TypeError,
         "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (((kelvex.LOCK_DATA_DNS,),), TypeError,
         "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (("dns",), TypeError, "arguments must be LOCK_DATA_* integers"),
        ((kelvex.LOCK_DATA_DNS, 1), TypeError, "invalid arguments to setopt"),
        ((kelvex.LOCK_DATA_DNS, 2**70), OverflowError, None),
    ],
)
def test_share_and_unshare_refusals(method, args, exc, message):
    with pytest.raises(exc) as excinfo:
        getattr(CurlShare(), method)(*args)
    if message is not None:
        assert str(excinfo.value) == message


def test_libcurl_refusal_carries_code_and_share_text(curl):
    s = CurlShare()
    curl.setopt(kelvex.SHARE, s)
    # libcurl refuses to change what is shared while a handle is attached.
    for change in (lambda: s.share(kelvex.LOCK_DATA_DNS),
                   lambda: s.setopt(kelvex.SH_UNSHARE, kelvex.LOCK_DATA_DNS)):
        with pytest.raises(kelvex.error) as excinfo:
            change()
        code, text = excinfo.value.args
        assert code == 2
        assert text == kelvex.share_strerror(2)
    curl.setopt(kelvex.SHARE, None)
    s.share(kelvex.LOCK_DATA_DNS)


# -- attaching -------------------------------------------------------------------


def test_attach_twice_is_refused_until_unshared(curl):
    s, other = CurlShare(), CurlShare()
    assert curl.setopt(kelvex.SHARE, s) is None
    assert curl.share() is s
    for target in (s, other):
        with pytest.raises(kelvex.error) as excinfo:
            curl.setopt(kelvex.SHARE, target)
        assert error_text(excinfo) == "Curl object already sharing. Unshare first."
    curl.setopt(kelvex.SHARE, None)
    assert curl.share() is None
    curl.setopt(kelvex.SHARE, other)
    assert curl.share() is other
    curl.unsetopt(kelvex.SHARE)
    assert curl.share() is None


def test_unhashable_handle_subclass_attaches():
    class Picky(kelvex.Curl):
        # __eq__ without __hash__ makes instances unhashable.
        def __eq__(self, other):
            raise AssertionError("a handle was compared")

    s = CurlShare(detach_on_close=False)
    handles = [Picky(), Picky()]
    for c in handles:
        c.setopt(kelvex.SHARE, s)
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert error_text(excinfo) == still_in_use(2)
    handles[0].setopt(kelvex.SHARE, None)
    handles[1].close()
    s.close()


def test_attach_keeps_the_share_alive(curl):
    s = CurlShare()
    ref = weakref.ref(s)
    curl.setopt(kelvex.SHARE, s)
    del s
    gc.collect()
    assert ref() is not None
    curl.setopt(kelvex.SHARE, None)
    gc.collect()
    assert ref() is None


# -- closing ---------------------------------------------------------------------


def test_close_detaches_idle_handles_by_default(http_server):
    s = CurlShare()
    handles = attached(s, 2)
    assert s.close() is None
    assert s.closed
    for c in handles:
        assert c.share() is None
        # Still a working handle, now on its own.
        assert json.loads(get(c, http_server.url + "/get?a=1"))["args"] == {"a": "1"}
        c.close()


@pytest.mark.parametrize("count", [1, 2, 3])
def test_close_refuses_kept_handles_without_detaching(count):
    s = CurlShare(detach_on_close=False)
    handles = attached(s, count)
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert error_text(excinfo) == still_in_use(count)
    assert not s.closed
    assert all(c.share() is s for c in handles)
    for c in handles:
        c.close()
    s.close()
    assert s.closed


def test_close_while_a_handle_is_being_destroyed():
    # A finalizer run by the Curl's destruction closes the share before the
    # handle has let go of it: the handle is still attached, so close()
    # refuses as for any handle in use, and works once it is gone.
    s = CurlShare()
    answers = []

    class Probe:
        def __del__(self):
            try:
                s.close()
                answers.append("closed")
            except kelvex.error as exc:
                answers.append(exc.args)

    (c,) = attached(s, 1)
    c.probe = Probe()
    del c
    assert answers == [(still_in_use(1),)]
    assert not s.closed
    s.close()
    assert s.closed


def _close(c):
    c.close()


def _set_none(c):
    c.setopt(kelvex.SHARE, None)


def _unsetopt(c):
    c.unsetopt(kelvex.SHARE)


@pytest.mark.parametrize("let_go", [_close, _set_none, _unsetopt])
def test_handle_that_let_go_does_not_hold_the_share(let_go):
    s = CurlShare(detach_on_close=False)
    kept, released = attached(s, 2)
    let_go(released)
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert error_text(excinfo) == still_in_use(1)
    let_go(kept)
    s.close()


def test_reset_keeps_the_share():
    s = CurlShare(detach_on_close=False)
    (c,) = attached(s)
    c.reset()
    assert c.share() is s
    with pytest.raises(kelvex.error):
        s.close()
    c.close()
    s.close()


@pytest.mark.parametrize("cyclic", [False, True], ids=["dropped", "collected"])
def test_dropped_handles_leave_nothing_behind(cyclic):
    s = CurlShare(detach_on_close=False)
    handles = attached(s, 3)
    if cyclic:
        for handle in handles:
            handle.me = handle
        del handle
    refs = [weakref.ref(c) for c in handles]
    del handles
    gc.collect()
    assert all(ref() is None for ref in refs)
    s.close()
    assert s.closed


def test_handle_dropped_while_an_exception_is_pending():
    # The temporary handle dies right after its own setopt() failed, with the
    # TypeError already set: letting go of the share must neither lose that
    # exception nor leave one of its own.
    s = CurlShare(detach_on_close=False)

    def attached_temporary():
        c = kelvex.Curl()
        c.setopt(kelvex.SHARE, s)
        return c

    with pytest.raises(TypeError, match="(?m)^invalid arguments to setopt$"):
        attached_temporary().setopt(kelvex.URL, 1.5)
    s.close()


def test_handle_detached_elsewhere_is_pruned():
    s, other = CurlShare(detach_on_close=False), CurlShare()
    (c,) = attached(s)
    c.setopt(kelvex.SHARE, None)
    c.setopt(kelvex.SHARE, other)
    s.close()
    assert c.share() is other
    c.close()


def test_closed_share(curl):
    s = CurlShare()
    s.close()
    assert s.closed
    assert s.close() is None
    for call, name in [
        (lambda: s.setopt(kelvex.SH_SHARE, kelvex.LOCK_DATA_DNS), "setopt"),
        (lambda: s.share(kelvex.LOCK_DATA_DNS), "share"),
        (lambda: s.unshare(kelvex.LOCK_DATA_DNS), "unshare"),
    ]:
        with pytest.raises(kelvex.error) as excinfo:
            call()
        assert error_text(excinfo) == f"cannot invoke {name}() - no share handle"
    with pytest.raises(kelvex.error) as excinfo:
        curl.setopt(kelvex.SHARE, s)
    assert error_text(excinfo) == "CurlShare is closed"
    assert curl.share() is None
    # The refusal left the handle free to attach elsewhere.
    curl.setopt(kelvex.SHARE, CurlShare())


def test_with_block_closes_and_lets_errors_through():
    with CurlShare() as s:
        assert not s.closed
    assert s.closed

    with pytest.raises(ZeroDivisionError):
        with CurlShare() as s:
            1 / 0
    assert s.closed

    c = kelvex.Curl()
    with pytest.raises(kelvex.error) as excinfo:
        with CurlShare(detach_on_close=False) as s:
            c.setopt(kelvex.SHARE, s)
    assert error_text(excinfo) == still_in_use(1)
    assert not s.closed
    c.close()
    s.close()


def closing_share_once(s, refusals):
    """A write callable that tries s.close() at its first chunk and records
    the refusal's args in refusals."""

    def write(data):
        if not refusals:
            try:
                s.close()
            except kelvex.error as exc:
                refusals.append(exc.args)

    return write


def test_handle_in_its_own_transfer_counts_as_busy(http_server, curl):
    s = CurlShare()  # detaches idle handles, but not a busy one
    curl.setopt(kelvex.SHARE, s)
    refusals = []
    write = closing_share_once(s, refusals)

    curl.setopt(kelvex.URL, http_server.url + "/get")
    curl.setopt(kelvex.WRITEFUNCTION, write)
    curl.perform()
    assert refusals == [(still_in_use(1),)]
    assert curl.share() is s
    s.close()
    assert curl.share() is None


def test_handle_in_a_driven_multi_counts_as_busy(http_server):
    s = CurlShare()
    busy, idle = attached(s, 2)
    m = kelvex.CurlMulti()
    refusals = []
    write = closing_share_once(s, refusals)

    busy.setopt(kelvex.URL, http_server.url + "/get")
    busy.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(busy)
    while m.perform()[1]:
        m.select(1.0)
    # The idle handle outside the multi was detached by the refused close.
    assert refusals == [(still_in_use(1),)]
    assert idle.share() is None
    assert busy.share() is s
    m.remove_handle(busy)
    s.close()
    assert busy.share() is None
    m.close()
    busy.close()
    idle.close()


class _HalfwayTransfer:
    """A Curl attached to `share` whose transfer is under way in a multi,
    between driving calls: the server has sent half the body and holds the
    rest back until finish()."""

    def __init__(self, raw_server, share):
        self.halfway = threading.Event()
        resume = self._resume = threading.Event()
        halfway = self.halfway

        def handler(sock):
            sock.recv(65536)
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello")
            halfway.set()
            assert resume.wait(60)
            sock.sendall(b"world")
            sock.recv(65536)  # until the client closes

        port = raw_server(handler)
        (self.curl,) = attached(share)
        self.chunks = []
        self.curl.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
        self.curl.setopt(kelvex.WRITEFUNCTION, self.chunks.append)
        self.multi = kelvex.CurlMulti()
        self.multi.add_handle(self.curl)
        while not self.chunks:
            self.multi.perform()
            self.multi.select(1.0)

    def finish(self):
        """Lets the server send the rest and drives the transfer to its
        end; the body received."""
        self._resume.set()
        running = 1
        while running:
            _, running = self.multi.perform()
            if running:
                self.multi.select(1.0)
        return b"".join(self.chunks)

    def close(self):
        self.multi.close()
        self.curl.close()


def test_transfer_under_way_in_an_idle_multi_keeps_the_share(raw_server):
    """Between driving calls the multi records no thread state, but libcurl
    will not let a handle whose transfer is half done leave its share: the
    handle stays attached and counts as busy."""
    s = CurlShare()
    s.share(kelvex.LOCK_DATA_CONNECT)
    transfer = _HalfwayTransfer(raw_server, s)
    c = transfer.curl
    assert transfer.halfway.is_set()
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert error_text(excinfo) == still_in_use(1)
    assert c.share() is s
    assert transfer.finish() == b"helloworld"
    # Finished, though still in the multi: now it can be detached.
    s.close()
    assert c.share() is None
    transfer.close()


@pytest.mark.parametrize("let_go", [_set_none, _unsetopt])
def test_letting_go_halfway_through_a_transfer_is_refused_and_keeps_the_share(
    raw_server, let_go
):
    """libcurl refuses to let a handle whose transfer is half done leave its
    share: the refusal reaches the caller, and the handle stays attached and
    registered, so close() still counts it until it has let go for real."""
    s = CurlShare(detach_on_close=False)
    s.share(kelvex.LOCK_DATA_COOKIE)
    transfer = _HalfwayTransfer(raw_server, s)
    c = transfer.curl
    with pytest.raises(kelvex.error) as excinfo:
        let_go(c)
    assert excinfo.value.args[0] == kelvex.E_BAD_FUNCTION_ARGUMENT
    assert c.share() is s
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert error_text(excinfo) == still_in_use(1)
    assert transfer.finish() == b"helloworld"
    let_go(c)
    assert c.share() is None
    s.close()
    assert s.closed
    transfer.close()


# -- what is shared --------------------------------------------------------------


def _cookie_seen(server, first, second):
    # A shared jar does not switch a handle's cookie engine on.
    for c in (first, second):
        c.setopt(kelvex.COOKIEFILE, "")
    get(first, server.url + "/cookies/set?flavour=oat")
    return json.loads(get(second, server.url + "/cookies"))["cookies"].get("flavour") == "oat"


def _name_resolved(server, first, second):
    url = f"http://kelvex-share.invalid:{server.port}/get"
    first.setopt(kelvex.RESOLVE, [f"kelvex-share.invalid:{server.port}:127.0.0.1"])
    get(first, url)
    try:
        get(second, url)
    except kelvex.error as exc:
        assert exc.args[0] == kelvex.E_COULDNT_RESOLVE_HOST
        return False
    return True


def _connection_reused(server, first, second):
    get(first, server.url + "/get")
    get(second, server.url + "/get")
    assert first.getinfo(kelvex.NUM_CONNECTS) == 1
    return second.getinfo(kelvex.NUM_CONNECTS) == 0


OBSERVE = {
    kelvex.LOCK_DATA_COOKIE: _cookie_seen,
    kelvex.LOCK_DATA_DNS: _name_resolved,
    kelvex.LOCK_DATA_CONNECT: _connection_reused,
}
KIND_IDS = {kelvex.LOCK_DATA_COOKIE: "cookie", kelvex.LOCK_DATA_DNS: "dns",
            kelvex.LOCK_DATA_CONNECT: "connect"}


def _share_by_setopt(s, kind):
    s.setopt(kelvex.SH_SHARE, kind)


def _share_by_method(s, kind):
    s.share(kind)


def _share_then_fail(s, kind):
    # The kind before the bad argument stays shared.
    with pytest.raises(TypeError):
        s.share(kind, 1)


def _share_then_unshare(s, kind):
    s.share(kind)
    s.unshare(kind)


@pytest.mark.parametrize("kind", list(OBSERVE), ids=KIND_IDS.get)
@pytest.mark.parametrize(
    "configure, shared",
    [(_share_by_setopt, True), (_share_by_method, True), (_share_then_fail, True),
     (_share_then_unshare, False)],
    ids=["setopt", "share", "partial", "unshare"],
)
def test_data_shared_between_handles(http_server, kind, configure, shared):
    s = CurlShare()
    configure(s, kind)
    first, second = attached(s, 2)
    assert OBSERVE[kind](http_server, first, second) is shared
    first.close()
    second.close()
    s.close()


@pytest.mark.parametrize("kind", list(OBSERVE), ids=KIND_IDS.get)
def test_detached_handle_no_longer_shares(http_server, kind):
    s = CurlShare()
    s.share(kind)
    first, second = attached(s, 2)
    second.setopt(kelvex.SHARE, None)
    assert OBSERVE[kind](http_server, first, second) is False
    first.close()
    second.close()
    s.close()


def test_tls_sessions_shared_over_https(https_server):
    # Nothing in the transfer information tells whether a session was
    # resumed; this checks that the TLS path works with a shared cache.
    s = CurlShare()
    s.share(kelvex.LOCK_DATA_SSL_SESSION)
    handles = attached(s, 2)
    for c in handles:
        c.setopt(kelvex.CAINFO, https_server.ca_path)
        assert json.loads(get(c, https_server.url + "/get?t=1"))["args"] == {"t": "1"}
        c.close()
    s.close()
