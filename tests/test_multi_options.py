"""CurlMulti options, the timer, socket and notify callables, socket
assignments and notifications."""

import ctypes
import gc
import weakref

import pytest

import kelvex
from conftest import run_to_end


# libcurl's CURLM_ABORTED_BY_CALLBACK, which has no module constant.
MULTI_ABORTED_BY_CALLBACK = 11


def transfer(url):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    return c


@pytest.fixture
def silent_url(raw_server):
    """A server that reads the request and never answers."""

    def serve(sock):
        while sock.recv(65536):
            pass

    return f"http://127.0.0.1:{raw_server(serve)}/"


# ---------------------------------------------------------------------------
# setopt
# ---------------------------------------------------------------------------

INTEGER_OPTIONS = [
    "M_PIPELINING",
    "M_MAXCONNECTS",
    "M_MAX_HOST_CONNECTIONS",
    "M_MAX_PIPELINE_LENGTH",
    "M_MAX_TOTAL_CONNECTIONS",
    "M_MAX_CONCURRENT_STREAMS",
    "M_CONTENT_LENGTH_PENALTY_SIZE",
    "M_CHUNK_LENGTH_PENALTY_SIZE",
]


@pytest.fixture(scope="module")
def libcurl_multi_setopt():
    """rc = libcurl_multi_setopt(option, number): libcurl's own answer, from
    the libcurl this process runs kelvex with."""
    from test_libcurl_coverage import loaded_libcurl

    lib = loaded_libcurl()
    lib.curl_multi_init.restype = ctypes.c_void_p
    lib.curl_multi_cleanup.argtypes = [ctypes.c_void_p]

    def answer(option, number):
        multi = lib.curl_multi_init()
        try:
            # Every numeric multi option takes a long (64 bits here) or a curl_off_t.
            return lib.curl_multi_setopt(ctypes.c_void_p(multi), ctypes.c_int(option),
                                         ctypes.c_int64(number))
        finally:
            lib.curl_multi_cleanup(multi)

    return answer


@pytest.mark.parametrize("name", INTEGER_OPTIONS + ["M_RESOLVE_THREADS_MAX"])
@pytest.mark.parametrize("value", [True, False, 0, 1, 5, -1, 2**63 - 1, -(2**63)])
def test_integer_options_answer_as_libcurl_does(libcurl_multi_setopt, name, value):
    # A value libcurl refuses raises its code; one it takes returns None.
    option = getattr(kelvex, name, None)
    if option is None:
        pytest.skip(f"{name} needs newer libcurl headers")
    rc = libcurl_multi_setopt(option, int(value))
    m = kelvex.CurlMulti()
    if rc == 0:
        assert m.setopt(option, value) is None
    else:
        with pytest.raises(kelvex.error) as refused:
            m.setopt(option, value)
        assert refused.value.args[0] == rc and refused.value.args[1]


@pytest.mark.parametrize("name, value", [("M_MAX_HOST_CONNECTIONS", -1),
                                         ("M_MAX_TOTAL_CONNECTIONS", -1),
                                         ("M_RESOLVE_THREADS_MAX", 0)])
def test_refused_values_are_not_reported_as_success(name, value):
    option = getattr(kelvex, name, None)
    if option is None:
        pytest.skip(f"{name} needs newer libcurl headers")
    with pytest.raises(kelvex.error) as refused:
        kelvex.CurlMulti().setopt(option, value)
    assert refused.value.args[0] == kelvex.E_MULTI_BAD_FUNCTION_ARGUMENT


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
def test_integer_outside_64_bits(value):
    with pytest.raises(OverflowError):
        kelvex.CurlMulti().setopt(kelvex.M_MAXCONNECTS, value)


@pytest.mark.parametrize("limit, expected", [(None, 2), (1, 1), (True, 1)])
def test_integer_option_reaches_libcurl(raw_server, limit, expected):
    # Two transfers to two silent servers: both connect, unless the total
    # connection limit keeps the second one waiting for the first.
    accepted = []

    def serve(sock):
        accepted.append(sock)
        while sock.recv(65536):
            pass

    urls = [f"http://127.0.0.1:{raw_server(serve)}/" for _ in range(2)]
    m = kelvex.CurlMulti()
    if limit is not None:
        m.setopt(kelvex.M_MAX_TOTAL_CONNECTIONS, limit)
    for url in urls:
        m.add_handle(transfer(url))
    for _ in range(100):
        m.perform()
        if len(accepted) == 2:
            break
        m.select(0.02)
    assert len(accepted) == expected
    m.close()


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("M_PIPELINING", "1", "invalid arguments to setopt"),
        ("M_PIPELINING", 1.0, "invalid arguments to setopt"),
        ("M_PIPELINING", b"1", "invalid arguments to setopt"),
        ("M_PIPELINING", {}, "invalid arguments to setopt"),
        ("M_SOCKETFUNCTION", 5, "integers are not supported for this option"),
        ("M_PIPELINING_SITE_BL", 5, "integers are not supported for this option"),
        ("M_MAXCONNECTS", print, "callables are not supported for this option"),
        ("M_PIPELINING_SITE_BL", print, "callables are not supported for this option"),
        ("M_MAXCONNECTS", [], "lists/tuples are not supported for this option"),
        ("M_TIMERFUNCTION", ("a",), "lists/tuples are not supported for this option"),
        ("M_MAXCONNECTS", None, "unsetting is not supported for this option"),
    ],
)
def test_values_of_the_wrong_kind(option, value, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        kelvex.CurlMulti().setopt(getattr(kelvex, option), value)


@pytest.mark.parametrize("option", [10002, 10005, 10019])
def test_user_data_options_are_reserved(option):
    m = kelvex.CurlMulti()
    with pytest.raises(TypeError, match="^invalid arguments to setopt$"):
        m.setopt(option, object())
    with pytest.raises(TypeError, match="^unsetting is not supported for this option$"):
        m.setopt(option, None)
    with pytest.raises(TypeError, match="^integers are not supported for this option$"):
        m.setopt(option, 0)


@pytest.mark.parametrize("option", [0, -1, 22, 10022, 20022, 30022, 40000, 2**31 - 1])
@pytest.mark.parametrize("value", [1, None, [], print])
def test_option_numbers_out_of_range(option, value):
    with pytest.raises(TypeError, match="^invalid arguments to setopt$"):
        kelvex.CurlMulti().setopt(option, value)


@pytest.mark.parametrize("args", [(), (3,), ("3", 1), (3, 1, 2)])
def test_setopt_argument_errors(args):
    with pytest.raises(TypeError):
        kelvex.CurlMulti().setopt(*args)


@pytest.mark.parametrize("name", ["M_PIPELINING_SITE_BL", "M_PIPELINING_SERVER_BL"])
@pytest.mark.parametrize(
    "value", [[], (), None, ["example.invalid:80"], ("a", b"b"), ["x"] * 100]
)
def test_string_list_options(name, value):
    assert kelvex.CurlMulti().setopt(getattr(kelvex, name), value) is None


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (["a", 1], kelvex.error, "list/tuple items must be strings"),
        ([None], kelvex.error, "list/tuple items must be strings"),
        ([bytearray(b"a")], kelvex.error, "list/tuple items must be strings"),
        (["caf\u00e9"], UnicodeEncodeError, None),
        (["a\0b"], ValueError, None),
        ([b"a\0b"], ValueError, None),
    ],
)
def test_string_list_items(value, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        kelvex.CurlMulti().setopt(kelvex.M_PIPELINING_SITE_BL, value)
    if message is not None:
        assert excinfo.value.args == (message,)


class Recorder:
    """A callable that weak references can track."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


@pytest.mark.parametrize("name", ["M_SOCKETFUNCTION", "M_TIMERFUNCTION", "M_NOTIFYFUNCTION"])
def test_callables_are_held_and_released(name):
    m = kelvex.CurlMulti()
    option = getattr(kelvex, name)
    assert m.setopt(option, None) is None  # unsetting what was never set
    first, second = Recorder(), Recorder()
    refs = [weakref.ref(first), weakref.ref(second)]
    m.setopt(option, first)
    m.setopt(option, second)
    del first, second
    assert refs[0]() is None and refs[1]() is not None
    m.setopt(option, None)
    assert refs[1]() is None


@pytest.mark.parametrize(
    "callable_value",
    [lambda *a: None, print, Recorder(), Recorder().__call__, type("C", (), {})],
)
def test_any_callable_is_accepted(callable_value):
    assert kelvex.CurlMulti().setopt(kelvex.M_TIMERFUNCTION, callable_value) is None


def test_callables_stay_after_close():
    m = kelvex.CurlMulti()
    timer = Recorder()
    ref = weakref.ref(timer)
    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    del timer
    m.close()
    assert ref() is not None
    del m
    assert ref() is None


def test_unset_callable_is_no_longer_called(http_server):
    m = kelvex.CurlMulti()
    timer = Recorder()
    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.setopt(kelvex.M_TIMERFUNCTION, None)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    run_to_end(m)
    assert timer.calls == []


# ---------------------------------------------------------------------------
# Timer and socket callables
# ---------------------------------------------------------------------------


def test_timer_callable_gets_milliseconds(http_server):
    m = kelvex.CurlMulti()
    timer = Recorder()
    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    assert timer.calls == [(0,)]  # adding asks to be driven at once
    run_to_end(m)
    assert all(len(args) == 1 and isinstance(args[0], int) for args in timer.calls)
    assert timer.calls[-1] == (-1,)  # nothing left to time


def first_socket(m, calls):
    """Drives m until its socket callable, which appends (what, fd, obj) to
    calls, has been told of a socket; returns that socket."""
    for _ in range(200):
        m.perform()
        if calls:
            break
        m.select(0.05)
    return calls[0][1]


def test_socket_callable_arguments(http_server):
    m = kelvex.CurlMulti()
    sockets = Recorder()
    m.setopt(kelvex.M_SOCKETFUNCTION, sockets)
    c = transfer(f"{http_server.url}/bytes/1")
    m.add_handle(c)
    run_to_end(m)
    assert sockets.calls
    for what, fd, multi, obj in sockets.calls:
        assert what in (kelvex.POLL_IN, kelvex.POLL_OUT, kelvex.POLL_INOUT, kelvex.POLL_REMOVE)
        assert isinstance(fd, int) and fd >= 0
        assert multi is m and obj is None
    m.close()  # the cached connection goes: its socket is removed
    assert sockets.calls[-1][0] == kelvex.POLL_REMOVE


class LateFailure:
    """Succeeds on the first `skip` calls (the timer's first one is made by
    add_handle) and then answers libcurl with `result`, or raises it when it
    is an exception."""

    def __init__(self, result, skip=1):
        self.result = result
        self.skip = skip
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        if self.calls <= self.skip:
            return None
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def run_expecting_abort(m):
    """A callable that fails makes libcurl abort what the multi runs."""
    with pytest.raises(kelvex.error) as excinfo:
        run_to_end(m)
    assert excinfo.value.args == (MULTI_ABORTED_BY_CALLBACK, "perform failed")


@pytest.mark.parametrize("result", ["0", 1.5, b"", [0]])
def test_non_integer_results_are_reported(http_server, c_stderr, result):
    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_TIMERFUNCTION, LateFailure(result))
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    run_expecting_abort(m)
    assert f"multi timer callback returned {result!r} which is not an integer\n" in c_stderr()


@pytest.mark.parametrize("name, skip", [("M_TIMERFUNCTION", 1), ("M_SOCKETFUNCTION", 0)])
def test_failing_callable_fails_the_transfers(http_server, c_stderr, name, skip):
    m = kelvex.CurlMulti()
    m.setopt(getattr(kelvex, name), LateFailure(ValueError(f"{name} failed"), skip))
    c = transfer(f"{http_server.url}/bytes/1")
    m.add_handle(c)
    run_expecting_abort(m)
    assert f"ValueError: {name} failed" in c_stderr()


@pytest.mark.parametrize("result", [None, 0])
def test_integer_and_none_results_are_success(http_server, result):
    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_TIMERFUNCTION, Recorder(result))
    m.setopt(kelvex.M_SOCKETFUNCTION, Recorder(result))
    c = transfer(f"{http_server.url}/bytes/1")
    m.add_handle(c)
    run_to_end(m)
    assert m.info_read() == (0, [c], [])


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_timer_surfaces_from_add_handle(exc_type):
    # libcurl refuses the add when its timer callback fails; the exception
    # the callable raised is what the caller sees.
    def timer(ms):
        raise exc_type("timer")

    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    c = kelvex.Curl()
    with pytest.raises(exc_type, match="timer"):
        m.add_handle(c)
    assert c not in m and c.multi() is None


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_timer_surfaces_from_perform(http_server, exc_type):
    m = kelvex.CurlMulti()
    m.setopt(kelvex.M_TIMERFUNCTION, LateFailure(exc_type("timer")))
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    with pytest.raises(exc_type, match="timer"):
        run_to_end(m)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_socket_callable_surfaces_from_perform(http_server, exc_type):
    m = kelvex.CurlMulti()

    def on_socket(*args):
        raise exc_type("socket")

    m.setopt(kelvex.M_SOCKETFUNCTION, on_socket)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    with pytest.raises(exc_type, match="socket"):
        run_to_end(m)
    m.setopt(kelvex.M_SOCKETFUNCTION, None)
    m.close()


@pytest.mark.parametrize(
    "method, args",
    [
        ("setopt", (kelvex.M_MAXCONNECTS, 1)),
        ("notify_enable", (kelvex.M_NOTIFY_INFO_READ,)),
        ("notify_disable", (kelvex.M_NOTIFY_INFO_READ,)),
        ("perform", ()),
        ("timeout", ()),
        ("fdset", ()),
    ],
)
def test_methods_refused_inside_the_timer(http_server, method, args):
    m = kelvex.CurlMulti()
    seen = []

    def timer(ms):
        try:
            getattr(m, method)(*args)
        except kelvex.error as exc:
            seen.append(exc.args[0])

    m.setopt(kelvex.M_TIMERFUNCTION, timer)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    run_to_end(m)
    assert seen and set(seen) == {f"cannot invoke {method}() - multi_perform() is currently running"}
    m.setopt(kelvex.M_TIMERFUNCTION, None)


# ---------------------------------------------------------------------------
# assign and unassign
# ---------------------------------------------------------------------------


def test_assigned_object_reaches_the_socket_callable(silent_url):
    m = kelvex.CurlMulti()
    calls = []
    token = object()

    def on_socket(what, fd, multi, obj):
        calls.append((what, fd, obj))
        if obj is None and what != kelvex.POLL_REMOVE:
            m.assign(fd, token)  # assigning from inside the callback works

    m.setopt(kelvex.M_SOCKETFUNCTION, on_socket)
    c = transfer(silent_url)
    m.add_handle(c)
    for _ in range(200):
        m.perform()
        if any(obj is token for _, _, obj in calls):
            break
        m.select(0.05)
    fd = calls[0][1]
    assert calls[0][2] is None
    assert [obj for _, s, obj in calls[1:] if s == fd] == [token] * (len(calls) - 1)
    m.unassign(fd)
    m.remove_handle(c)  # the socket goes, announced without the object
    assert calls[-1] == (kelvex.POLL_REMOVE, fd, None)


def test_assigned_object_is_kept_alive(silent_url):
    m = kelvex.CurlMulti()
    calls = []

    def on_socket(what, fd, multi, obj):
        calls.append((what, fd, obj))

    class Token:
        pass

    m.setopt(kelvex.M_SOCKETFUNCTION, on_socket)
    c = transfer(silent_url)
    m.add_handle(c)
    fd = first_socket(m, calls)
    token = Token()
    ref = weakref.ref(token)
    m.assign(fd, token)
    del token
    gc.collect()
    assert ref() is not None  # libcurl holds only a raw pointer to it
    m.assign(fd, "replacement")
    assert ref() is None
    m.remove_handle(c)
    assert calls[-1] == (kelvex.POLL_REMOVE, fd, "replacement")


def test_finalizer_of_an_assigned_object_may_use_the_closing_multi(silent_url):
    # close() drops the assigned objects after libcurl's handle is gone but
    # before it lets go of the multi: their finalizers find it closed.
    m = kelvex.CurlMulti()
    calls, answers = [], []

    class Token:
        def __del__(self):
            try:
                m.timeout()
            except kelvex.error as exc:
                answers.append(exc.args[0])

    # The callable keeps no reference to the object it is given.
    m.setopt(kelvex.M_SOCKETFUNCTION, lambda what, fd, multi, obj: calls.append((what, fd, None)))
    c = transfer(silent_url)
    m.add_handle(c)
    m.assign(first_socket(m, calls), Token())
    m.close()
    assert answers == ["cannot invoke timeout() - no multi handle"]
    assert m.closed
    c.close()


def test_assigning_an_unknown_socket_fails_and_changes_nothing(silent_url):
    m = kelvex.CurlMulti()
    calls = []
    m.setopt(kelvex.M_SOCKETFUNCTION, lambda what, fd, multi, obj: calls.append((what, fd, obj)))
    c = transfer(silent_url)
    m.add_handle(c)
    fd = first_socket(m, calls)
    m.assign(fd, "kept")
    unknown = 2**31 - 1
    for method, args in (("assign", (unknown, "x")), ("unassign", (unknown,))):
        with pytest.raises(kelvex.error) as excinfo:
            getattr(m, method)(*args)
        assert excinfo.value.args == (kelvex.E_MULTI_BAD_SOCKET, f"{method} failed")
    m.remove_handle(c)
    assert calls[-1] == (kelvex.POLL_REMOVE, fd, "kept")


@pytest.mark.parametrize("sock", [2**40, -2, 2**31])
@pytest.mark.parametrize("closed", [False, True])
def test_assign_socket_range_checked_first(sock, closed):
    m = kelvex.CurlMulti()
    if closed:
        m.close()
    with pytest.raises(OverflowError, match="^socket value is out of range$"):
        m.assign(sock, None)
    with pytest.raises(OverflowError, match="^socket value is out of range$"):
        m.unassign(sock)


@pytest.mark.parametrize(
    "method, args", [("assign", ()), ("assign", (1,)), ("assign", ("1", None)), ("unassign", ())]
)
def test_assign_argument_errors(method, args):
    with pytest.raises(TypeError):
        getattr(kelvex.CurlMulti(), method)(*args)


# ---------------------------------------------------------------------------
# Notifications
# ---------------------------------------------------------------------------


def test_notifications_arrive_during_a_run(http_server):
    m = kelvex.CurlMulti()
    notes = Recorder()
    m.setopt(kelvex.M_NOTIFYFUNCTION, notes)
    assert m.notify_enable(kelvex.M_NOTIFY_INFO_READ, kelvex.M_NOTIFY_EASY_DONE) is None
    handles = [transfer(f"{http_server.url}/bytes/{n}") for n in (1, 2, 3)]
    for c in handles:
        m.add_handle(c)
    run_to_end(m)
    done = [curl for kind, curl in notes.calls if kind == kelvex.M_NOTIFY_EASY_DONE]
    assert sorted(map(id, done)) == sorted(map(id, handles))
    # The queue-has-messages notification names no handle.
    info = [curl for kind, curl in notes.calls if kind == kelvex.M_NOTIFY_INFO_READ]
    assert info and info == [None] * len(info)
    assert len(notes.calls) == len(done) + len(info)
    _, ok, failed = m.info_read()
    assert sorted(map(id, ok)) == sorted(map(id, handles)) and failed == []


def test_disabled_notifications_stay_quiet(http_server):
    m = kelvex.CurlMulti()
    notes = Recorder()
    m.setopt(kelvex.M_NOTIFYFUNCTION, notes)
    m.notify_enable(kelvex.M_NOTIFY_INFO_READ, kelvex.M_NOTIFY_EASY_DONE)
    m.notify_disable(kelvex.M_NOTIFY_EASY_DONE)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    run_to_end(m)
    assert notes.calls and all(kind == kelvex.M_NOTIFY_INFO_READ for kind, _ in notes.calls)


@pytest.mark.parametrize("method", ["notify_enable", "notify_disable"])
def test_notify_argument_edges(method):
    m = kelvex.CurlMulti()
    call = getattr(m, method)
    with pytest.raises(TypeError, match=f"^{method} requires at least one notification$"):
        call()
    with pytest.raises(OverflowError, match=f"^{method} notification value out of range$"):
        call(2**32)
    with pytest.raises(OverflowError):
        call(-1)
    with pytest.raises(TypeError):
        call("1")


@pytest.mark.parametrize("method", ["notify_enable", "notify_disable"])
def test_unknown_notification(method):
    with pytest.raises(kelvex.error) as excinfo:
        getattr(kelvex.CurlMulti(), method)(99)
    code, message = excinfo.value.args
    assert code != 0 and message == f"{method} failed"


def test_notifications_before_an_error_stay_applied(http_server):
    m = kelvex.CurlMulti()
    notes = Recorder()
    m.setopt(kelvex.M_NOTIFYFUNCTION, notes)
    with pytest.raises(kelvex.error):
        m.notify_enable(kelvex.M_NOTIFY_INFO_READ, 99)
    m.add_handle(transfer(f"{http_server.url}/bytes/1"))
    run_to_end(m)
    assert notes.calls == [(kelvex.M_NOTIFY_INFO_READ, None)]


def test_failing_notify_callable_is_printed(http_server, c_stderr):
    m = kelvex.CurlMulti()

    def notify(kind, curl):
        raise ValueError("notify failed")

    m.setopt(kelvex.M_NOTIFYFUNCTION, notify)
    m.notify_enable(kelvex.M_NOTIFY_EASY_DONE)
    c = transfer(f"{http_server.url}/bytes/1")
    m.add_handle(c)
    run_to_end(m)
    assert "ValueError: notify failed" in c_stderr()
    assert m.info_read() == (0, [c], [])
