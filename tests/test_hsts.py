"""HSTS callbacks: entries fed into libcurl's cache by HSTSREADFUNCTION, the
cache handed to HSTSWRITEFUNCTION when libcurl saves it at cleanup, the
expiry conversions both ways, and how results and errors reach libcurl."""

import datetime
import threading
import weakref

import pytest

import kelvex
from conftest import run_to_end

UTC = datetime.timezone.utc
PLUS_2H = datetime.timezone(datetime.timedelta(hours=2))
FUTURE = datetime.datetime(2099, 1, 2, 3, 4, 5)
PAST = datetime.datetime(2001, 1, 1)
ABORTED_BY_CALLBACK = 42
# libcurl announces room for host names of this many bytes.
HOST_ROOM = 2048


def feeder(entries):
    """A read callable handing out `entries`, then None; `.calls` counts."""
    pending = list(entries)

    def read():
        read.calls += 1
        return pending.pop(0) if pending else None

    read.calls = 0
    return read


@pytest.fixture
def hsts_curl(https_server, http_server):
    """Factory: a Curl with HSTS on, trusting the test CA, with localhost
    and sub.localhost resolving to the loopback servers. Closed at teardown
    unless the test closed or dropped it."""
    handles = []

    def make(read=None, write=None):
        c = kelvex.Curl()
        c.setopt(kelvex.HSTS_CTRL, kelvex.CURLHSTS_ENABLE)
        c.setopt(kelvex.CAINFO, https_server.ca_path)
        c.setopt(kelvex.RESOLVE, [
            f"{host}:{port}:127.0.0.1"
            for host in ("localhost", "sub.localhost")
            for port in (https_server.port, http_server.port)
        ])
        c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
        if read is not None:
            c.setopt(kelvex.HSTSREADFUNCTION, read)
        if write is not None:
            c.setopt(kelvex.HSTSWRITEFUNCTION, write)
        handles.append(weakref.ref(c))
        return c

    yield make
    for ref in handles:
        c = ref()
        if c is not None:
            c.close()


@pytest.fixture
def plain_url(http_server):
    """A URL that HSTS leaves alone (an address, not a host name)."""
    return f"{http_server.url}/get"


def load(make, plain_url, entries, write):
    """Loads `entries` through the read callable with one transfer and
    returns the handle, whose close() then saves the cache to `write`."""
    c = make(read=feeder(entries), write=write)
    c.setopt(kelvex.URL, plain_url)
    c.perform()
    return c


# ---------------------------------------------------------------------------
# Loading entries
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "entry, host, upgraded",
    [
        (("localhost", None, False), "localhost", True),
        ((b"localhost", FUTURE.replace(tzinfo=UTC), 0), "localhost", True),
        (("localhost", FUTURE, False), "localhost", True),
        (("localhost", PAST, False), "localhost", False),
        (("localhost", None, True), "sub.localhost", True),
        (("localhost", None, 1), "sub.localhost", True),
        (("localhost", None, False), "sub.localhost", False),
        (("localhost", None, ""), "sub.localhost", False),
        (("other.invalid", None, True), "localhost", False),
    ],
)
def test_loaded_entry_decides_the_scheme(hsts_curl, https_server, http_server,
                                         entry, host, upgraded):
    # A request that is upgraded keeps its port: it goes to the TLS server,
    # and one that is not goes to the plain one (a wrong upgrade fails there).
    port = https_server.port if upgraded else http_server.port
    read = feeder([entry])
    c = hsts_curl(read=read)
    c.setopt(kelvex.URL, f"http://{host}:{port}/get")
    # The test certificate names localhost only; the scheme is what counts.
    c.setopt(kelvex.SSL_VERIFYHOST, 0)
    c.perform()
    scheme = "https" if upgraded else "http"
    assert c.getinfo(kelvex.EFFECTIVE_URL) == f"{scheme}://{host}:{port}/get"
    assert c.getinfo(kelvex.RESPONSE_CODE) == 200
    assert read.calls == 2  # one entry, then None


def test_read_callable_is_asked_until_it_says_done(hsts_curl, plain_url):
    entries = [(f"h{i}.invalid", None, False) for i in range(5)]
    saved = []
    c = load(hsts_curl, plain_url, entries, lambda e, i: saved.append(e.host))
    c.close()
    assert sorted(saved) == sorted(e[0].encode() for e in entries)


def test_entries_load_under_a_multi(hsts_curl, https_server):
    read = feeder([("localhost", None, False)])
    c = hsts_curl(read=read)
    c.setopt(kelvex.URL, f"http://localhost:{https_server.port}/get")
    m = kelvex.CurlMulti()
    try:
        m.add_handle(c)
        run_to_end(m)
        m.remove_handle(c)
    finally:
        m.close()
    assert c.getinfo(kelvex.EFFECTIVE_URL).startswith("https://")
    assert read.calls == 2


# ---------------------------------------------------------------------------
# Saving entries
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "given, saved",
    [
        (None, None),
        (FUTURE, FUTURE.replace(tzinfo=UTC)),
        (FUTURE.replace(microsecond=123456), FUTURE.replace(tzinfo=UTC)),
        (datetime.datetime(2031, 6, 1, 12, 30, tzinfo=PLUS_2H),
         datetime.datetime(2031, 6, 1, 10, 30, tzinfo=UTC)),
        (datetime.datetime(9999, 12, 31, 23, 59, 59),
         datetime.datetime(9999, 12, 31, 23, 59, 59, tzinfo=UTC)),
    ],
)
def test_expiry_round_trip(hsts_curl, plain_url, given, saved):
    got = []
    c = load(hsts_curl, plain_url, [("a.invalid", given, True)], lambda e, i: got.append((e, i)))
    c.close()
    [(entry, index)] = got
    assert entry == (b"a.invalid", saved, True)
    assert type(entry) is kelvex.HstsEntry and type(index) is kelvex.HstsIndex
    assert index == (0, 1)
    if saved is not None:
        assert entry.expire.tzinfo is UTC


def test_host_of_the_full_room_is_kept(hsts_curl, plain_url):
    host = "a" * HOST_ROOM
    got = []
    c = load(hsts_curl, plain_url, [(host, FUTURE, False)], lambda e, i: got.append(e.host))
    c.close()
    assert got == [host.encode()]


def test_index_counts_the_saved_entries(hsts_curl, plain_url):
    entries = [(f"h{i}.invalid", FUTURE, bool(i % 2)) for i in range(4)]
    got = []
    c = load(hsts_curl, plain_url, entries, lambda e, i: got.append((e, i)))
    c.close()
    assert [i for _, i in got] == [(n, 4) for n in range(4)]
    assert sorted((e.host, e.include_subdomains) for e, _ in got) == [
        (h.encode(), sub) for h, _, sub in entries
    ]


def close_by_del(c):
    pass  # the test's own reference is the last one


def close_by_with(c):
    with c:
        pass


def close_by_multi(c):
    m = kelvex.CurlMulti(close_handles=True)
    m.add_handle(c)
    m.close()
    assert c.closed


@pytest.mark.parametrize("close", [kelvex.Curl.close, close_by_with, close_by_del,
                                   close_by_multi])
def test_learned_entry_is_saved_at_cleanup(hsts_curl, https_server, close):
    got = []
    c = hsts_curl(write=lambda e, i: got.append((e, i)))
    c.setopt(kelvex.URL, f"https://localhost:{https_server.port}/response-headers"
                         "?Strict-Transport-Security=max-age%3D3600%3B%20includeSubDomains")
    before = datetime.datetime.now(UTC)
    c.perform()
    after = datetime.datetime.now(UTC)
    assert got == []  # libcurl saves its cache only when the handle goes
    close(c)
    del c
    [(entry, index)] = got
    assert entry.host == b"localhost" and entry.include_subdomains is True
    assert index == (0, 1)
    # The stamp has whole seconds; max-age counts from the response.
    hour = datetime.timedelta(seconds=3600)
    assert before.replace(microsecond=0) + hour <= entry.expire <= after + hour


def test_learned_entry_is_not_taken_from_an_address(hsts_curl, https_server):
    got = []
    c = hsts_curl(write=lambda e, i: got.append(e))
    c.setopt(kelvex.URL, f"{https_server.url}/response-headers"
                         "?Strict-Transport-Security=max-age%3D3600")
    c.perform()
    c.close()
    assert got == []


@pytest.mark.parametrize(
    "result, calls, message",
    [
        (None, 3, None),
        (kelvex.CURLSTS_OK, 3, None),
        (kelvex.CURLSTS_DONE, 1, None),
        (kelvex.CURLSTS_FAIL, 1, None),
        (True, 1, None),  # an int subclass: CURLSTS_DONE
        (5, 1, "hstswrite callback returned an invalid CURLSTScode"),
        (-1, 1, "hstswrite callback returned an invalid CURLSTScode"),
        (2**40, 1, "OverflowError"),
        ("x", 1, "hstswrite callback returned 'x' which is not an integer"),
    ],
)
def test_write_callable_results(hsts_curl, plain_url, c_stderr, result, calls, message):
    got = []

    def write(entry, index):
        got.append(index)
        return result

    c = load(hsts_curl, plain_url, [(f"h{i}.invalid", None, False) for i in range(3)], write)
    c_stderr()
    c.close()  # a failed save is not an error of close()
    assert len(got) == calls
    err = c_stderr()
    if message is None:
        assert err == ""
    else:
        assert message in err


# ---------------------------------------------------------------------------
# Refused entries
# ---------------------------------------------------------------------------

class LongStamp(datetime.datetime):
    def strftime(self, fmt):
        return "2030010100:00:00:00"


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "result, message",
    [
        (["localhost", None, False],
         "hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)"),
        (("localhost", None),
         "hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)"),
        ("localhost",
         "hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)"),
        (0, "hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)"),
        (("h\u00e9.invalid", None, False), "UnicodeEncodeError"),
        ((42, None, False), "TypeError: hstsread callback: host must be bytes or str, not int"),
        ((b"local\0host", None, False), "ValueError"),
        (("", None, False), "hstsread callback: host must not be empty"),
        (("a" * (HOST_ROOM + 1), None, False),
         f"hstsread callback: host length {HOST_ROOM + 1} exceeds libcurl maximum {HOST_ROOM}"),
        (("localhost", "20990101 00:00:00", False),
         "hstsread callback: expire must be a datetime or None"),
        (("localhost", datetime.date(2099, 1, 1), False),
         "hstsread callback: expire must be a datetime or None"),
        (("localhost", LongStamp(2030, 1, 1), False),
         "hstsread callback: formatted expire does not fit in libcurl's buffer"),
        (("localhost", None, BadTruth()), "ZeroDivisionError: no truth"),
    ],
)
def test_refused_read_result_aborts(hsts_curl, plain_url, perform_expect, result, message):
    read = feeder([result])
    saved = []
    c = hsts_curl(read=read, write=lambda e, i: saved.append(e))
    c.setopt(kelvex.URL, plain_url)
    perform_expect(c, ABORTED_BY_CALLBACK, message)
    assert read.calls == 1
    c.close()
    assert saved == []  # nothing of the refused entry reached the cache


# ---------------------------------------------------------------------------
# Exceptions and removal
# ---------------------------------------------------------------------------

def test_read_callable_exception(hsts_curl, plain_url, perform_expect):
    def read():
        raise ValueError("no entries today")

    c = hsts_curl(read=read)
    c.setopt(kelvex.URL, plain_url)
    err = perform_expect(c, ABORTED_BY_CALLBACK, "ValueError: no entries today")
    assert "Traceback" in err


def test_read_callable_keyboard_interrupt(hsts_curl, plain_url, perform_expect):
    def read():
        raise KeyboardInterrupt

    c = hsts_curl(read=read)
    c.setopt(kelvex.URL, plain_url)
    assert perform_expect(c, KeyboardInterrupt) == ""


def test_write_callable_exception_stops_the_save(hsts_curl, plain_url, c_stderr):
    got = []

    def write(entry, index):
        got.append(index)
        raise ValueError("disk full")

    c = load(hsts_curl, plain_url, [("a.invalid", None, False), ("b.invalid", None, False)], write)
    c.close()
    assert len(got) == 1
    assert "ValueError: disk full" in c_stderr()


def test_write_callable_keyboard_interrupt_is_raised_by_close(hsts_curl, plain_url):
    got = []

    def write(entry, index):
        got.append(index)
        raise KeyboardInterrupt

    c = load(hsts_curl, plain_url, [("a.invalid", None, False), ("b.invalid", None, False)], write)
    with pytest.raises(KeyboardInterrupt):
        c.close()
    assert c.closed
    assert len(got) == 1


def unset_by_unsetopt(c, option):
    c.unsetopt(option)


def unset_by_none(c, option):
    c.setopt(option, None)


def unset_by_reset(c, option):
    c.reset()


@pytest.mark.parametrize("unset", [unset_by_unsetopt, unset_by_none, unset_by_reset])
def test_unset_write_callable_is_not_called(hsts_curl, plain_url, unset):
    got = []
    c = load(hsts_curl, plain_url, [("a.invalid", None, False)], lambda e, i: got.append(e))
    unset(c, kelvex.HSTSWRITEFUNCTION)
    c.close()
    assert got == []


@pytest.mark.parametrize("unset", [unset_by_unsetopt, unset_by_none])
def test_unset_read_callable_is_not_called(hsts_curl, https_server, unset):
    read = feeder([("localhost", None, False)])
    c = hsts_curl(read=read)
    unset(c, kelvex.HSTSREADFUNCTION)
    c.setopt(kelvex.URL, f"http://localhost:{https_server.port}/get")
    # Not upgraded: plain HTTP to the TLS server gets no HTTP answer.
    with pytest.raises(kelvex.error):
        c.perform()
    assert read.calls == 0
    assert c.getinfo(kelvex.EFFECTIVE_URL).startswith("http://")


def test_duplicate_loads_its_cache_through_the_read_callable(hsts_curl, plain_url):
    read = feeder([("a.invalid", None, False)])
    got = []
    c = hsts_curl(read=read, write=lambda e, i: got.append(e.host))
    d = c.duphandle()  # libcurl fills the copy's cache right away
    assert read.calls == 2
    d.close()
    assert got == [b"a.invalid"]


def test_duplicate_inside_a_callback_keeps_the_cache(hsts_curl, plain_url):
    read = feeder([("a.invalid", None, False)])
    got = []
    c = hsts_curl(read=read, write=lambda e, i: got.append(e.host))
    copies = []
    c.setopt(kelvex.WRITEFUNCTION,
             lambda data: None if copies else copies.append(c.duphandle()))
    c.setopt(kelvex.URL, plain_url)
    c.perform()
    [d] = copies
    d.close()
    # Duplicating inside the transfer asked the read callable once more.
    assert (got, read.calls) == ([b"a.invalid"], 3)


def test_duplicates_made_on_several_threads_at_once(hsts_curl):
    # A copy claims its source while libcurl copies it: one asked for on
    # another thread at that moment is refused as if a transfer ran, and
    # each copy made loads its cache on the thread that made it.
    calls = []
    c = hsts_curl(read=lambda: calls.append(threading.current_thread()))
    made, errors = [], []

    def work():
        for _ in range(1000):
            try:
                c.duphandle().close()
            except kelvex.error as e:
                errors.append(str(e))
            else:
                made.append(threading.current_thread())

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(made) + len(errors) == 4 * 1000
    assert set(errors) <= {"cannot invoke duphandle() - perform() is currently running"}
    assert sorted(map(id, calls)) == sorted(map(id, made))


@pytest.mark.parametrize("name, call", [
    ("close", lambda c: c.close()),
    ("reset", lambda c: c.reset()),
    ("setopt", lambda c: c.setopt(kelvex.HSTS_CTRL, 0)),
])
def test_source_cannot_change_while_it_is_copied(hsts_curl, name, call):
    # The read callable runs while libcurl is copying the source.
    outcomes = []

    def read():
        if not outcomes:
            try:
                call(c)
            except kelvex.error as e:
                outcomes.append(str(e))
        return None

    c = hsts_curl(read=read)
    d = c.duphandle()
    assert outcomes == [f"cannot invoke {name}() - perform() is currently running"]
    assert not c.closed
    d.close()


def test_keyboard_interrupt_while_duplicating_is_raised(hsts_curl):
    def read():
        raise KeyboardInterrupt

    got = []
    c = hsts_curl(read=read, write=lambda e, i: got.append(e))
    with pytest.raises(KeyboardInterrupt):
        c.duphandle()
    c.close()
    assert got == []


def test_saved_entries_load_into_a_new_handle(hsts_curl, https_server):
    # What one handle learned and saved is what the next one reads back:
    # HstsEntry is a tuple of the shape the read callable returns.
    saved = []
    c = hsts_curl(write=lambda e, i: saved.append(e))
    c.setopt(kelvex.URL, f"https://localhost:{https_server.port}/response-headers"
                         "?Strict-Transport-Security=max-age%3D3600")
    c.perform()
    c.close()
    [entry] = saved
    resaved = []
    d = hsts_curl(read=feeder(saved), write=lambda e, i: resaved.append(e))
    d.setopt(kelvex.URL, f"http://localhost:{https_server.port}/get")
    d.perform()
    assert d.getinfo(kelvex.EFFECTIVE_URL).startswith("https://")
    d.close()
    assert resaved == [entry]
