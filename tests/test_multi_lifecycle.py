"""CurlMulti objects: creation, membership, closing, destruction, garbage
collection, attributes, pickling and context management."""

import gc
import pickle
import sys
import threading
import weakref

import pytest

import kelvex
from conftest import error_text


def drive(m, limit=2000):
    """Runs the multi's transfers to the end with perform and select."""
    for _ in range(limit):
        _, running = m.perform()
        if running == 0:
            return
        m.select(1.0)
    raise AssertionError("transfers did not finish")


def handle(url, chunks=None):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.WRITEFUNCTION, (chunks if chunks is not None else []).append)
    return c


@pytest.fixture
def hanging_url(raw_server):
    """A server that reads the request and never answers, so transfers stay
    open until the client gives up on them."""

    def serve(sock):
        while sock.recv(65536):
            pass

    return f"http://127.0.0.1:{raw_server(serve)}/"


# ---------------------------------------------------------------------------
# Creation
# ---------------------------------------------------------------------------


def test_new_multi_is_open_and_empty():
    m = kelvex.CurlMulti()
    assert m.closed is False
    assert (kelvex.Curl() in m) is False
    assert isinstance(m, kelvex.CurlMulti)


@pytest.mark.parametrize(
    "args, kwargs",
    [((True,), {}), ((), {"close_handles": True, "other": 1}), ((), {"nonsense": 1})],
)
def test_constructor_arguments(args, kwargs):
    with pytest.raises(TypeError):
        kelvex.CurlMulti(*args, **kwargs)


def test_constructor_takes_a_truth_value():
    # "p" accepts any object with a truth value.
    assert kelvex.CurlMulti(close_handles=[1]).closed is False


# ---------------------------------------------------------------------------
# Membership
# ---------------------------------------------------------------------------


def test_add_and_remove():
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    assert m.add_handle(c) is None
    assert c in m
    assert c.multi() is m
    assert m.remove_handle(c) is None
    assert c not in m
    assert c.multi() is None
    assert c.closed is False
    m.add_handle(c)  # can be added again
    assert c in m


def test_add_twice_and_to_another_multi():
    m1, m2 = kelvex.CurlMulti(), kelvex.CurlMulti()
    c = kelvex.Curl()
    m1.add_handle(c)
    with pytest.raises(kelvex.error) as excinfo:
        m1.add_handle(c)
    assert error_text(excinfo) == "curl object already on this multi-stack"
    for call in (m2.add_handle, m2.remove_handle):
        with pytest.raises(kelvex.error) as excinfo:
            call(c)
        assert error_text(excinfo) == (
            "cannot add/remove handle - curl object already on another multi-stack"
        )
    assert c in m1 and c not in m2


def test_remove_handle_not_added():
    m = kelvex.CurlMulti()
    with pytest.raises(kelvex.error) as excinfo:
        m.remove_handle(kelvex.Curl())
    assert error_text(excinfo) == "curl object not on this multi-stack"


def test_closed_curl():
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    c.close()
    with pytest.raises(kelvex.error) as excinfo:
        m.add_handle(c)
    assert error_text(excinfo) == "curl object already closed"
    assert m.remove_handle(c) is None


def test_curl_close_leaves_the_multi():
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    m.add_handle(c)
    c.close()
    assert c not in m
    assert c.multi() is None
    assert m.remove_handle(c) is None


@pytest.mark.parametrize("method", ["add_handle", "remove_handle"])
@pytest.mark.parametrize("arg", [None, 5, "curl", kelvex.CurlMulti])
def test_membership_needs_a_curl(method, arg):
    with pytest.raises(TypeError):
        getattr(kelvex.CurlMulti(), method)(arg)


@pytest.mark.parametrize("method", ["add_handle", "remove_handle"])
def test_membership_argument_count(method):
    with pytest.raises(TypeError):
        getattr(kelvex.CurlMulti(), method)()
    with pytest.raises(TypeError):
        getattr(kelvex.CurlMulti(), method)(kelvex.Curl(), kelvex.Curl())


@pytest.mark.parametrize("operand", [5, None, "x", kelvex.CurlMulti()])
def test_contains_needs_a_curl(operand):
    with pytest.raises(TypeError, match="^__contains__ expects a Curl object$"):
        operand in kelvex.CurlMulti()


def test_subclassed_curl_is_a_member():
    class MyCurl(kelvex.Curl):
        pass

    m = kelvex.CurlMulti()
    c = MyCurl()
    m.add_handle(c)
    assert c in m
    m.remove_handle(c)
    assert c not in m


def test_membership_refused_inside_the_handles_own_perform(http_server):
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    seen = []

    def write(data):
        for call in (m.add_handle, m.remove_handle):
            try:
                call(c)
            except kelvex.error as exc:
                seen.append(exc.args[0])

    c.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    c.perform()
    assert seen == ["cannot add/remove handle - perform() of curl object already running"] * 2
    assert c not in m


def test_membership_refused_while_the_multi_runs(http_server):
    m = kelvex.CurlMulti()
    other = kelvex.Curl()
    seen = []

    def write(data):
        for call in (m.add_handle, m.remove_handle):
            try:
                call(other)
            except kelvex.error as exc:
                seen.append(exc.args[0])

    c = kelvex.Curl()
    c.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(c)
    drive(m)
    assert seen == ["cannot add/remove handle - multi_perform() already running"] * 2
    assert other not in m


def test_handle_being_added_counts_as_running():
    # The timer callable runs inside curl_multi_add_handle; the handle it
    # tries to close is in the middle of being linked in.
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    seen = []

    def timer(ms):
        try:
            c.close()
        except kelvex.error as exc:
            seen.append(exc.args[0])

    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.add_handle(c)
    assert seen == ["cannot invoke close() - perform() is currently running"]
    assert c.closed is False and c in m
    m.close()


def test_handle_in_a_driven_multi_counts_as_running(http_server):
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    seen = []

    def write(data):
        try:
            c.setopt(kelvex.URL, "http://127.0.0.1:1/")
        except kelvex.error as exc:
            seen.append(exc.args[0])

    c.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    c.setopt(kelvex.WRITEFUNCTION, write)
    m.add_handle(c)
    drive(m)
    assert seen == ["cannot invoke setopt() - perform() is currently running"]


# ---------------------------------------------------------------------------
# Closing
# ---------------------------------------------------------------------------


def test_close_twice():
    m = kelvex.CurlMulti()
    assert m.close() is None
    assert m.closed is True
    assert m.close() is None
    assert m.closed is True


def test_closed_multi_refuses_membership_and_contains_nothing():
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    m.add_handle(c)
    m.close()
    assert c not in m
    assert c.multi() is None
    for call in (m.add_handle, m.remove_handle):
        with pytest.raises(kelvex.error) as excinfo:
            call(c)
        assert error_text(excinfo) == "cannot add/remove handle - multi-stack is closed"


@pytest.mark.parametrize(
    "method, args",
    [
        ("perform", ()),
        ("socket_action", (kelvex.SOCKET_TIMEOUT, 0)),
        ("fdset", ()),
        ("select", (0.0,)),
        ("info_read", ()),
        ("timeout", ()),
        ("setopt", (kelvex.M_MAXCONNECTS, 1)),
        ("assign", (3, None)),
        ("unassign", (3,)),
        ("notify_enable", (kelvex.M_NOTIFY_INFO_READ,)),
        ("notify_disable", (kelvex.M_NOTIFY_INFO_READ,)),
    ],
)
def test_closed_multi_refuses_methods(method, args):
    m = kelvex.CurlMulti()
    m.close()
    with pytest.raises(kelvex.error) as excinfo:
        getattr(m, method)(*args)
    assert error_text(excinfo) == f"cannot invoke {method}() - no multi handle"


@pytest.mark.parametrize("close_handles", [False, True])
def test_close_with_and_without_closing_handles(http_server, close_handles):
    m = kelvex.CurlMulti(close_handles=close_handles)
    handles = [kelvex.Curl() for _ in range(3)]
    for c in handles:
        m.add_handle(c)
    m.close()
    assert [c.closed for c in handles] == [close_handles] * 3
    assert [c.multi() for c in handles] == [None] * 3
    if not close_handles:
        chunks = []
        handles[0].setopt(kelvex.URL, f"{http_server.url}/bytes/5")
        handles[0].setopt(kelvex.WRITEFUNCTION, chunks.append)
        handles[0].perform()
        assert len(b"".join(chunks)) == 5


def test_subclass_gets_no_close_handles_from_the_base():
    class MyMulti(kelvex.CurlMulti):
        pass

    m = MyMulti(close_handles=True)
    c = kelvex.Curl()
    m.add_handle(c)
    m.close()
    assert c.closed is False


def test_subclass_close_runs_from_exit():
    calls = []

    class MyMulti(kelvex.CurlMulti):
        def close(self):
            calls.append("close")
            super().close()

    with MyMulti() as m:
        pass
    assert calls == ["close"] and m.closed


class RaisingCurl(kelvex.Curl):
    def close(self):
        super().close()
        raise RuntimeError("close failed")


def test_handle_close_error_leaves_the_multi_open():
    m = kelvex.CurlMulti(close_handles=True)
    bad = RaisingCurl()
    good = [kelvex.Curl() for _ in range(3)]
    for c in [bad, *good]:
        m.add_handle(c)
    with pytest.raises(RuntimeError, match="close failed"):
        m.close()
    assert m.closed is False
    assert bad.closed is True and bad not in m
    assert m.close() is None
    assert m.closed is True
    assert all(c.closed for c in good)


def test_handle_close_may_add_handles_to_the_closing_multi():
    # Python code run by close() may add handles; none may be left pointing
    # at the multi once it is closed.
    m = kelvex.CurlMulti(close_handles=True)
    late = kelvex.Curl()

    class AddingCurl(kelvex.Curl):
        def close(self):
            super().close()
            if late.multi() is None and not late.closed:
                m.add_handle(late)

    m.add_handle(AddingCurl())
    m.close()
    assert m.closed
    assert late.multi() is None and late.closed is True


def test_multi_driven_by_another_thread_during_a_handle_close(http_server):
    # close() lets the multi go while a handle's close() runs; when another
    # thread is driving the multi as that close() returns, the multi's
    # close() is refused rather than going on under a claim it lost, and a
    # later close() finishes the work.
    m = kelvex.CurlMulti(close_handles=True)
    inside, release = threading.Event(), threading.Event()
    failures = []
    late = kelvex.Curl()
    late.setopt(kelvex.URL, f"{http_server.url}/bytes/5")
    late.setopt(kelvex.WRITEFUNCTION, lambda data: None)

    def hold(*_):
        # Called once connected, inside the driving thread's perform().
        inside.set()
        release.wait(30)
        return kelvex.PREREQFUNC_OK

    late.setopt(kelvex.PREREQFUNCTION, hold)

    def drive():
        try:
            while not inside.is_set():
                m.perform()
                m.select(0.05)
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)
            inside.set()

    driver = threading.Thread(target=drive)

    class HandingOverCurl(kelvex.Curl):
        def close(self):
            super().close()
            if not driver.is_alive() and late.multi() is None:
                m.add_handle(late)
                driver.start()
                assert inside.wait(60) and not failures, failures

    m.add_handle(HandingOverCurl())
    try:
        with pytest.raises(kelvex.error) as excinfo:
            m.close()
        assert error_text(excinfo) == "cannot invoke close() - multi_perform() is currently running"
        assert m.closed is False and late in m
    finally:
        release.set()
        driver.join(30)
    assert m.close() is None
    assert m.closed and late.closed and late.multi() is None


def test_handle_close_may_close_the_multi_again():
    m = kelvex.CurlMulti(close_handles=True)

    class ClosingCurl(kelvex.Curl):
        def close(self):
            super().close()
            m.close()

    handles = [ClosingCurl() for _ in range(3)]
    for c in handles:
        m.add_handle(c)
    m.close()
    assert m.closed
    assert all(c.closed and c.multi() is None for c in handles)


def test_close_from_a_callback_is_refused(http_server):
    m = kelvex.CurlMulti()
    seen = []

    def timer(ms):
        try:
            m.close()
        except kelvex.error as exc:
            seen.append(exc.args[0])

    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.add_handle(handle(f"{http_server.url}/bytes/10"))
    drive(m)
    assert seen and set(seen) == {"cannot invoke close() - multi_perform() is currently running"}
    assert m.closed is False


# ---------------------------------------------------------------------------
# Destruction and garbage collection
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("close_handles", [False, True])
def test_dropping_the_multi_removes_without_closing(http_server, close_handles):
    m = kelvex.CurlMulti(close_handles=close_handles)
    ref = weakref.ref(m)
    handles = [kelvex.Curl() for _ in range(3)]
    for c in handles:
        m.add_handle(c)
    del m
    assert ref() is None
    assert [(c.closed, c.multi()) for c in handles] == [(False, None)] * 3
    chunks = []
    handles[0].setopt(kelvex.URL, f"{http_server.url}/bytes/7")
    handles[0].setopt(kelvex.WRITEFUNCTION, chunks.append)
    handles[0].perform()
    assert len(b"".join(chunks)) == 7


class SocketLog:
    """Records socket-callable calls; the multi only by identity, so that
    the log does not keep it alive."""

    def __init__(self):
        self.events = []

    def __call__(self, what, fd, multi, obj):
        self.events.append((what, fd, None if multi is None else id(multi)))


def test_dropping_a_running_multi_calls_none_of_its_callables(hanging_url):
    # Destruction cuts the transfer short and libcurl calls back about its
    # socket and timer; the dying multi must not be handed to Python, so
    # its callables are released before that and never run.
    m = kelvex.CurlMulti()
    log = SocketLog()
    timer_calls = []
    m.setopt(kelvex.M_SOCKETFUNCTION, log)
    m.setopt(kelvex.M_TIMERFUNCTION, timer_calls.append)
    c = handle(hanging_url)
    m.add_handle(c)
    for _ in range(200):
        m.perform()
        if log.events:
            break
        m.select(0.05)
    [(what, fd, multi)] = log.events
    assert what != kelvex.POLL_REMOVE and multi == id(m)
    calls = len(timer_calls)
    ref = weakref.ref(m)
    del m
    assert ref() is None
    assert len(log.events) == 1 and len(timer_calls) == calls
    assert c.multi() is None and c.closed is False


def test_dropping_a_running_multi_keeps_the_exception_being_raised(hanging_url):
    # The multi dies while ZeroDivisionError leaves the function, removing a
    # live transfer on the way; the exception reaches the caller intact.
    kept = []

    def fail():
        m = kelvex.CurlMulti()
        c = handle(hanging_url)
        kept.append(c)
        m.add_handle(c)
        for _ in range(200):
            m.perform()
            if m.fdset()[0]:
                break
            m.select(0.05)
        1 / 0

    with pytest.raises(ZeroDivisionError):
        fail()
    assert kept[0].multi() is None and kept[0].closed is False


def test_cycles_through_the_multi_are_collected():
    m = kelvex.CurlMulti()
    c = kelvex.Curl()
    m.add_handle(c)
    c.owner = m  # handle -> multi through the handle's attributes
    m.me = m  # multi -> multi through its own attributes
    m.setopt(kelvex.M_TIMERFUNCTION, lambda ms: m)  # and through a callable
    m.setopt(kelvex.M_SOCKETFUNCTION, lambda *args: m)
    refs = [weakref.ref(m), weakref.ref(c)]
    del m, c
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_handle_outlives_a_collected_multi(http_server):
    # The multi is cyclic garbage, its handle is not: the handle leaves the
    # multi when the collector destroys it, and stays usable.
    m = kelvex.CurlMulti()
    m.me = m
    c = kelvex.Curl()
    m.add_handle(c)
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None
    assert c.multi() is None and c.closed is False
    chunks = []
    c.setopt(kelvex.URL, f"{http_server.url}/bytes/3")
    c.setopt(kelvex.WRITEFUNCTION, chunks.append)
    c.perform()
    assert len(b"".join(chunks)) == 3


def test_collected_multi_with_handles_in_the_same_cycle(monkeypatch):
    # Handles and multi die together, in whatever order the collector picks;
    # each handle's attributes keep the multi alive until they are cleared.
    # Nothing of either outlives the collection, and nothing goes wrong
    # unseen on the way (a failed removal or close would be reported to
    # the unraisable hook).
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    for _ in range(20):
        m = kelvex.CurlMulti()
        m.me = m
        refs = [weakref.ref(m)]
        for _ in range(3):
            c = kelvex.Curl()
            c.owner = m
            m.add_handle(c)
            refs.append(weakref.ref(c))
        del m, c
        gc.collect()
        assert [r() for r in refs] == [None] * 4
    assert reports == []


def test_weak_references():
    m = kelvex.CurlMulti()
    ref = weakref.ref(m)
    assert ref() is m
    del m
    assert ref() is None


# ---------------------------------------------------------------------------
# Attributes, pickling, context manager
# ---------------------------------------------------------------------------


def test_constants_as_attributes():
    m = kelvex.CurlMulti()
    assert m.M_PIPELINING == 3
    assert m.M_TIMERFUNCTION == 20004
    assert m.E_CALL_MULTI_PERFORM == -1
    with pytest.raises(AttributeError):
        m.URL


def test_instance_attributes():
    m = kelvex.CurlMulti()
    m.tag = value = object()
    assert m.tag is value
    m.tag = 5
    assert m.tag == 5
    del m.tag
    with pytest.raises(AttributeError, match="^trying to obtain a non-existing attribute: tag$"):
        m.tag
    with pytest.raises(AttributeError, match="^trying to delete a non-existing attribute: tag$"):
        del m.tag
    m.close()
    m.after = 1  # attributes still work on a closed multi
    assert m.after == 1


def test_attributes_never_hide_methods():
    m = kelvex.CurlMulti()
    m.perform = "shadow"
    assert callable(m.perform)
    assert m.perform() == (0, 0)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_is_refused(protocol):
    with pytest.raises(TypeError, match="^CurlMulti objects do not support serialization$"):
        pickle.dumps(kelvex.CurlMulti(), protocol)


def test_setstate_is_refused():
    with pytest.raises(TypeError, match="^CurlMulti objects do not support deserialization$"):
        kelvex.CurlMulti().__setstate__({})


def test_context_manager():
    c = kelvex.Curl()
    with kelvex.CurlMulti(close_handles=True) as m:
        assert isinstance(m, kelvex.CurlMulti)
        m.add_handle(c)
    assert m.closed and c.closed
    with pytest.raises(KeyError):
        with kelvex.CurlMulti() as m:
            raise KeyError("body")
    assert m.closed


@pytest.mark.parametrize("args", [(), (None,), (None, None), (None, None, None, None)])
def test_exit_wants_three_arguments(args):
    m = kelvex.CurlMulti()
    with pytest.raises(TypeError):
        m.__exit__(*args)
    assert m.closed is False
    assert m.__exit__(None, None, None) is None
    assert m.closed is True


def test_closed_is_read_only():
    m = kelvex.CurlMulti()
    m.closed = True  # lands among the instance attributes
    assert m.closed is False
