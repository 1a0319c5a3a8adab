"""Callers passing anything at all in any order: a hypothesis state machine
creates, configures, drives, duplicates, resets and closes Curl, CurlMulti,
CurlShare, CurlMime and CurlUrl objects and EventCores with their futures
and coroutines, with valid and invalid arguments (wrong types, huge and
negative integers, NUL in text, closed objects, objects of the wrong type,
callables that raise, return the wrong type or call back into the API)
against the loopback servers. Response headers are read at every point of
a handle's life: before its first transfer, from inside its callables,
after it, after a reset and once it is closed.

Every call must return or raise one of the exceptions the API documents
for bad input or state; anything else (SystemError, an exception of a kind
the API never raises, an interpreter abort, a sanitizer report under `make
sanitize`) is a fault. The short form runs a fixed, derandomized set of
examples; KELVEX_STRESS_SECONDS (set by `make stress`) runs fresh random
examples for that long and prints the number of calls.
"""

import asyncio
import copy
import gc
import json
import os
import threading
import time
import warnings

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule  # noqa: E402

import kelvex  # noqa: E402
from conftest import sanitized  # noqa: E402

STRESS_SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "0") or 0)
# The long campaign (scripts/fuzz-long) collects its figures here.
FIGURES_FILE = os.environ.get("KELVEX_FUZZ_FIGURES")
POOL = 4  # at most this many objects of each type at once


class Raised(Exception):
    """What the fuzzer's own callables raise."""


# Exceptions the API raises for bad arguments or state, and those the
# fuzzer's callables raise (which a transfer passes on).
ALLOWED = (kelvex.error, TypeError, ValueError, OverflowError, BlockingIOError,
           Raised, RuntimeError)


# What header() and headers() answer for a name, index or request that is
# not there; what a future answers when asked before its time, or when it
# was cancelled; what awaiting one for a bounded time answers.
HEADER_REFUSALS = (KeyError, IndexError)
FUTURE_REFUSALS = (asyncio.InvalidStateError, asyncio.CancelledError, TimeoutError,
                   StopIteration)


class Calls:
    count = 0
    refused = 0
    # Each step's abstract state (the objects of each kind, open or closed,
    # the transfers in flight in the cores, the futures done): the campaign
    # counts the distinct ones it reached.
    states = set()


def attempt(fn, *args, also=(), **kwargs):
    Calls.count += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn(*args, **kwargs)
    except SystemError:
        raise
    except ALLOWED + also:
        Calls.refused += 1
        return None


# ---------------------------------------------------------------------------
# Values
# ---------------------------------------------------------------------------

HUGE_INTS = st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -(2**31) - 1, 2**63 - 1, 2**63,
                             -(2**63), 2**64, 10**30, -(10**30)])
TEXT = st.one_of(st.text(max_size=40), st.sampled_from(["a\0b", "\0", "é\udcff", ""]))
BYTES = st.one_of(st.binary(max_size=40), st.just(b"x\0y"))
JUNK = st.sampled_from([None, 1.5, object(), [1, 2], ("a", 3), {"k": "v"}, b"", "",
                        bytearray(b"ba"), memoryview(b"mv"), [b"x", "y"], ["\0"]])
SCALARS = st.one_of(HUGE_INTS, st.integers(-5, 5), TEXT, BYTES, JUNK)

INT_OPTIONS = ["FOLLOWLOCATION", "MAXREDIRS", "NOBODY", "HTTPGET", "BUFFERSIZE", "NOSIGNAL",
               "FAILONERROR", "MAXFILESIZE", "TCP_NODELAY", "HTTP_VERSION", "IPRESOLVE",
               "HEADER", "NOPROGRESS", "INFILESIZE", "IGNORE_CONTENT_LENGTH",
               "TRANSFER_ENCODING", "POSTFIELDSIZE", "CONNECT_ONLY"]
TEXT_OPTIONS = ["USERAGENT", "COOKIE", "CUSTOMREQUEST", "RANGE", "ACCEPT_ENCODING", "REFERER",
                "USERPWD", "POSTFIELDS", "COPYPOSTFIELDS", "COOKIELIST", "DEFAULT_PROTOCOL"]
LIST_OPTIONS = ["HTTPHEADER", "PROXYHEADER", "HTTP200ALIASES", "MAIL_RCPT", "QUOTE"]
CALLABLE_OPTIONS = ["WRITEFUNCTION", "HEADERFUNCTION", "READFUNCTION", "XFERINFOFUNCTION",
                    "PROGRESSFUNCTION", "DEBUGFUNCTION", "SEEKFUNCTION", "IOCTLFUNCTION",
                    "OPENSOCKETFUNCTION", "SOCKOPTFUNCTION", "CLOSESOCKETFUNCTION",
                    "PREREQFUNCTION"]
CALLABLE_OPTIONS = [name for name in CALLABLE_OPTIONS if hasattr(kelvex, name)]
UNKNOWN_OPTIONS = [-1, 0, 99999, 2**31 - 1, 2**40, 10**30]
INFOS = ["RESPONSE_CODE", "EFFECTIVE_URL", "TOTAL_TIME", "SIZE_DOWNLOAD_T", "INFO_COOKIELIST",
         "CONTENT_TYPE", "PRIMARY_IP", "NUM_CONNECTS", "SSL_ENGINES", "CERTINFO",
         "REDIRECT_URL", "ACTIVESOCKET", "PRIVATE", "HTTP_VERSION", "TOTAL_TIME_T"]
INFOS = [name for name in INFOS if hasattr(kelvex, name)]

UPARTS = [getattr(kelvex, n) for n in dir(kelvex) if n.startswith("UPART_")]
UFLAGS = [getattr(kelvex, n) for n in dir(kelvex) if n.startswith("U_")]
URL_PARTS = st.one_of(st.sampled_from(UPARTS), st.sampled_from([-1, 99, 2**31, 2**64]), JUNK)
URL_FLAGS = st.one_of(st.lists(st.sampled_from(UFLAGS), max_size=3).map(sum),
                      st.sampled_from([-1, 2**32, 2**64, 1 << 31]), JUNK)
URL_TEXT = st.one_of(
    st.sampled_from(["http://example.com/", "https://u:p@[::1]:8443/a/../b?q=1#f", "example.com",
                     "/relative/path", "../up", "?only=query", "http://[::1/", "http://h:99999/",
                     "http://xn--nxasmq6b.com/", "http://ü.example/ä ö", "file:///tmp/x",
                     "http://h/%zz", "a" * 300, "http://127.0.0.1:1/"]),
    TEXT, BYTES)
H_BITS = [kelvex.H_HEADER, kelvex.H_TRAILER, kelvex.H_CONNECT, kelvex.H_1XX, kelvex.H_PSEUDO]
ORIGINS = st.one_of(st.lists(st.sampled_from(H_BITS), min_size=1, max_size=3).map(
    lambda bits: sum(set(bits))), st.sampled_from([0, -1, 1 << 5, 2**31, 2**63]), JUNK)
HEADER_NAMES = st.one_of(
    st.sampled_from(["Content-Type", "content-length", "DATE", "Location", "X-Missing", "",
                     ":status", "Set-Cookie", "a\0b", "é", "Host"]), TEXT, BYTES, JUNK)
REQUESTS = st.one_of(st.integers(-3, 4), HUGE_INTS, st.none(), JUNK)


class RaisingWaiter:
    """A waiter whose every method raises."""

    def done(self):
        raise Raised("done()")

    def set_result(self, result):
        raise Raised("set_result()")

    def set_exception(self, exc):
        raise Raised("set_exception()")


def _repeat(call, times=20, also=()):
    def op(machine, obj, core):
        for _ in range(times):
            attempt(call, machine, obj, core, also=also)
    return op


def _perform(machine, c, core):
    c.perform_rb()


def _header(machine, c, core):
    c.header("content-type")
    c.headers(kelvex.H_HEADER, None)


def _core_add(machine, core, _):
    c = machine.pick(machine.curls, len(core))
    if c is not None:
        core.add(c)


def _core_remove(machine, core, _):
    for c in list(machine.curls):
        core.remove(c)


def _future_complete(machine, f, core):
    if core is not None:
        core.process(0.01)
    f.set_result(None)


# name -> (the kind of object, what one thread does, what the other does)
CONCURRENT = {
    "perform/header": ("curl", _repeat(_perform, 1), _repeat(_header, 50, HEADER_REFUSALS)),
    "perform/reset": ("curl", _repeat(_perform, 1), _repeat(lambda m, c, _: c.reset(), 5)),
    "perform/close": ("curl", _repeat(_perform, 1), _repeat(lambda m, c, _: c.close(), 1)),
    "header/reset": ("curl", _repeat(_header, 50, HEADER_REFUSALS),
                     _repeat(lambda m, c, _: c.reset(), 20)),
    "url set/get": ("url", _repeat(lambda m, u, _: u.set(kelvex.UPART_PATH, "/p")),
                    _repeat(lambda m, u, _: u.get(kelvex.UPART_URL))),
    "url set/dup": ("url", _repeat(lambda m, u, _: u.set(kelvex.UPART_URL, "../x")),
                    _repeat(lambda m, u, _: u.dup())),
    "core process/add": ("core", _repeat(lambda m, core, _: core.process(0.01)),
                         _repeat(_core_add, 5)),
    "core process/remove": ("core", _repeat(lambda m, core, _: core.process(0.01)),
                            _repeat(_core_remove, 5)),
    "core add/close": ("core", _repeat(_core_add, 5), _repeat(lambda m, core, _: core.close(), 1)),
    "core process/close": ("core", _repeat(lambda m, core, _: core.process(0.01)),
                           _repeat(lambda m, core, _: core.close(), 1)),
    "future complete/cancel": ("future", _repeat(_future_complete, 1, FUTURE_REFUSALS),
                               _repeat(lambda m, f, _: f.cancel(), 1)),
    "future result/cancel": ("future", _repeat(lambda m, f, _: f.result(), 20, FUTURE_REFUSALS),
                             _repeat(lambda m, f, _: f.cancel("x"), 1)),
}


class Machine(RuleBasedStateMachine):
    base_url = None  # set by the test: a loopback httpbin

    def __init__(self):
        super().__init__()
        self.curls = []
        self.multis = []
        self.shares = []
        self.mimes = []
        self.curlurls = []
        self.cores = []
        self.futures = []  # TransferFutures, and TransferRuns not yet finished
        self.loop = None  # made when a future first needs one
        port = self.base_url.rsplit(":", 1)[1]
        self.urls = [f"{self.base_url}/range/300", f"{self.base_url}/redirect/2",
                     f"{self.base_url}/status/500", f"{self.base_url}/post",
                     f"{self.base_url}/headers", f"{self.base_url}/bytes/5000",
                     "http://127.0.0.1:1/", "no scheme at all", "http://127.0.0.1:\0/",
                     f"ftp://127.0.0.1:{port}/", "", "http://[::1/"]

    # -- helpers -----------------------------------------------------------

    def pick(self, pool, i):
        return pool[i % len(pool)] if pool else None

    def any_object(self, i):
        everything = self.curls + self.multis + self.shares + self.mimes + self.curlurls
        return everything[i % len(everything)] if everything else None

    def bound(self, c):
        """Whatever the fuzzer set, every transfer ends soon (loopback answers
        in milliseconds; a transfer left waiting, on a paused handle or an
        FTP URL on the HTTP port, would otherwise eat the fuzzing time)."""
        attempt(c.setopt, kelvex.TIMEOUT_MS, 500)
        attempt(c.setopt, kelvex.CONNECTTIMEOUT_MS, 500)

    def event_loop(self):
        if self.loop is None:
            self.loop = asyncio.new_event_loop()
        return self.loop

    def callable_of(self, kind, i):
        """A callable for a libcurl callback: one that does its job, raises,
        returns the wrong type, or calls back into the API."""
        c = self.pick(self.curls, i)
        m = self.pick(self.multis, i)
        if kind == "ok":
            return lambda *args: None
        if kind == "raise":
            def raising(*args):
                raise Raised("from a callable")
            return raising
        if kind == "wrong":
            return lambda *args: object()
        if kind == "string":
            return lambda *args: "text"
        if kind == "huge":
            return lambda *args: 2**70
        if kind == "not-callable":
            return 42
        if kind == "reenter-setopt":
            return lambda *args: c and c.setopt(kelvex.URL, self.urls[0])
        if kind == "reenter-perform":
            return lambda *args: c and c.perform()
        if kind == "reenter-close":
            return lambda *args: c and c.close()
        if kind == "reenter-reset":
            return lambda *args: c and c.reset()
        if kind == "reenter-getinfo":
            return lambda *args: c and c.getinfo(kelvex.RESPONSE_CODE)
        if kind == "reenter-multi":
            return lambda *args: m and m.perform()
        if kind == "reenter-remove":
            return lambda *args: m and c and m.remove_handle(c)
        if kind == "reenter-header":
            def headers_so_far(*args):
                if c is not None:
                    attempt(c.header, "content-type", also=HEADER_REFUSALS)
                    attempt(c.headers, kelvex.H_HEADER | kelvex.H_1XX, None)
            return headers_so_far
        if kind == "reenter-core":
            core = self.pick(self.cores, i)

            def core_calls(*args):
                if core is not None and c is not None:
                    attempt(core.remove, c)
                    attempt(core.process, 0)
                    attempt(core.add, c)
            return core_calls
        return lambda *args, **kw: len(args)

    CALLABLE_KINDS = st.sampled_from(["ok", "raise", "wrong", "string", "huge", "not-callable",
                                      "reenter-setopt", "reenter-perform", "reenter-close",
                                      "reenter-reset", "reenter-getinfo", "reenter-multi",
                                      "reenter-remove", "reenter-header", "reenter-core",
                                      "count"])

    # -- Curl --------------------------------------------------------------

    @precondition(lambda self: len(self.curls) < POOL)
    @rule()
    def new_curl(self):
        self.curls.append(kelvex.Curl())

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=st.sampled_from(INT_OPTIONS),
          value=st.one_of(HUGE_INTS, st.integers(-3, 3), SCALARS))
    def setopt_int(self, i, name, value):
        attempt(self.pick(self.curls, i).setopt, getattr(kelvex, name), value)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=st.sampled_from(TEXT_OPTIONS),
          value=st.one_of(TEXT, BYTES, SCALARS))
    def setopt_text(self, i, name, value):
        attempt(self.pick(self.curls, i).setopt, getattr(kelvex, name), value)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), u=st.integers(0, 99), as_bytes=st.booleans())
    def setopt_url(self, i, u, as_bytes):
        url = self.urls[u % len(self.urls)]
        attempt(self.pick(self.curls, i).setopt, kelvex.URL,
                url.encode("utf-8", "surrogateescape") if as_bytes else url)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=st.sampled_from(LIST_OPTIONS),
          value=st.one_of(st.lists(st.one_of(TEXT, BYTES), max_size=4),
                          st.tuples(TEXT, BYTES), SCALARS))
    def setopt_list(self, i, name, value):
        attempt(self.pick(self.curls, i).setopt, getattr(kelvex, name), value)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=st.sampled_from(CALLABLE_OPTIONS), kind=CALLABLE_KINDS)
    def setopt_callable(self, i, name, kind):
        attempt(self.pick(self.curls, i).setopt, getattr(kelvex, name),
                self.callable_of(kind, i + 1))

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99),
          name=st.sampled_from(["SHARE", "MIMEPOST", "URL", "WRITEFUNCTION", "POSTFIELDS",
                                "HTTPHEADER", "TIMEOUT_MS"]))
    def setopt_object(self, i, j, name):
        """Objects of this module, right or wrong for the option."""
        attempt(self.pick(self.curls, i).setopt, getattr(kelvex, name), self.any_object(j))

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), option=st.one_of(st.sampled_from(UNKNOWN_OPTIONS), SCALARS),
          value=SCALARS)
    def setopt_unknown(self, i, option, value):
        attempt(self.pick(self.curls, i).setopt, option, value)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99),
          option=st.one_of(st.sampled_from(INT_OPTIONS + TEXT_OPTIONS + LIST_OPTIONS
                                           + CALLABLE_OPTIONS).map(lambda n: getattr(kelvex, n)),
                           st.sampled_from(UNKNOWN_OPTIONS)))
    def unsetopt(self, i, option):
        attempt(self.pick(self.curls, i).unsetopt, option)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=st.sampled_from(INFOS + ["UNKNOWN"]), raw=st.booleans())
    def getinfo(self, i, name, raw):
        info = getattr(kelvex, name, 99999)
        c = self.pick(self.curls, i)
        attempt(c.getinfo_raw if raw else c.getinfo, info)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), style=st.sampled_from(["perform", "perform_rb", "perform_rs"]))
    def perform(self, i, style):
        c = self.pick(self.curls, i)
        self.bound(c)
        attempt(getattr(c, style))

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99))
    def duphandle(self, i):
        copy = attempt(self.pick(self.curls, i).duphandle)
        if copy is not None:
            if len(self.curls) < POOL * 2:
                self.curls.append(copy)
            else:
                copy.close()

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), what=st.sampled_from(["reset", "close", "errstr", "errstr_raw",
                                                     "closed", "pause", "unpause"]))
    def curl_method(self, i, what):
        c = self.pick(self.curls, i)
        if what == "pause":
            attempt(c.pause, kelvex.PAUSE_ALL)
        elif what == "closed":
            assert c.closed in (True, False)
        else:
            attempt(getattr(c, what))

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), op=st.sampled_from(["send", "recv", "recv_into", "ws_send",
                                                   "ws_recv", "ws_meta", "ws_close"]),
          value=st.one_of(BYTES, SCALARS))
    def connection_calls(self, i, op, value):
        c = self.pick(self.curls, i)
        if op == "recv_into" or op == "ws_recv" and isinstance(value, bytearray):
            attempt(getattr(c, op), bytearray(8))
        elif op in ("send", "ws_send", "recv", "ws_recv"):
            attempt(getattr(c, op), value)
        else:
            attempt(getattr(c, op))

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), value=st.one_of(BYTES, TEXT, SCALARS))
    def set_ca_certs(self, i, value):
        attempt(self.pick(self.curls, i).set_ca_certs, value)

    # -- CurlMulti ---------------------------------------------------------

    @precondition(lambda self: len(self.multis) < POOL)
    @rule()
    def new_multi(self):
        self.multis.append(kelvex.CurlMulti())

    @precondition(lambda self: self.multis)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99), add=st.booleans())
    def add_or_remove(self, i, j, add):
        m = self.pick(self.multis, i)
        handle = self.any_object(j)
        attempt(m.add_handle if add else m.remove_handle, handle)

    @precondition(lambda self: self.multis)
    @rule(i=st.integers(0, 99), rounds=st.integers(1, 5))
    def drive(self, i, rounds):
        m = self.pick(self.multis, i)
        for c in self.curls:
            attempt(c.setopt, kelvex.TIMEOUT_MS, 500)
        for _ in range(rounds):
            attempt(m.perform)
            attempt(m.select, 0.01)
            attempt(m.info_read)

    @precondition(lambda self: self.multis)
    @rule(i=st.integers(0, 99), what=st.sampled_from(
        ["close", "timeout", "fdset", "info_read-arg", "select-arg", "poll-arg", "socket_action",
         "socket_all", "closed", "assign", "wakeup", "waitfds", "get_handles"]), value=SCALARS)
    def multi_method(self, i, what, value):
        m = self.pick(self.multis, i)
        if what == "info_read-arg":
            attempt(m.info_read, value)
        elif what in ("select-arg", "poll-arg"):
            if isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0.05:
                value = 0.01  # a bounded wait
            attempt(m.select if what == "select-arg" else m.poll, value)
        elif what == "socket_action":
            attempt(m.socket_action, kelvex.SOCKET_TIMEOUT, 0)
        elif what == "assign":
            attempt(m.assign, value, value)
        elif what == "closed":
            assert m.closed in (True, False)
        else:
            attempt(getattr(m, what))

    @precondition(lambda self: self.multis)
    @rule(i=st.integers(0, 99),
          name=st.sampled_from(["M_MAXCONNECTS", "M_PIPELINING", "M_MAX_HOST_CONNECTIONS",
                                "M_MAX_TOTAL_CONNECTIONS", "M_TIMERFUNCTION",
                                "M_SOCKETFUNCTION", "M_PUSHFUNCTION", "M_NOTIFYFUNCTION"]),
          kind=CALLABLE_KINDS, value=SCALARS, use_callable=st.booleans())
    def multi_setopt(self, i, name, kind, value, use_callable):
        m = self.pick(self.multis, i)
        if use_callable:
            value = self.callable_of(kind, i)
        attempt(m.setopt, getattr(kelvex, name), value)

    # -- CurlShare ---------------------------------------------------------

    @precondition(lambda self: len(self.shares) < POOL)
    @rule()
    def new_share(self):
        self.shares.append(kelvex.CurlShare())

    @precondition(lambda self: self.shares)
    @rule(i=st.integers(0, 99),
          option=st.sampled_from(["SH_SHARE", "SH_UNSHARE", None]),
          data=st.one_of(st.sampled_from(["LOCK_DATA_COOKIE", "LOCK_DATA_DNS",
                                          "LOCK_DATA_SSL_SESSION", "LOCK_DATA_CONNECT",
                                          "LOCK_DATA_PSL", "LOCK_DATA_HSTS"]).map(
                                              lambda n: getattr(kelvex, n, 1)), SCALARS))
    def share_setopt(self, i, option, data):
        s = self.pick(self.shares, i)
        attempt(s.setopt, getattr(kelvex, option) if option else 12345, data)

    @precondition(lambda self: self.shares)
    @rule(i=st.integers(0, 99), what=st.sampled_from(["close", "closed"]))
    def share_method(self, i, what):
        s = self.pick(self.shares, i)
        if what == "close":
            attempt(s.close)
        else:
            assert s.closed in (True, False)

    # -- CurlMime ----------------------------------------------------------

    @precondition(lambda self: len(self.mimes) < POOL)
    @rule(j=st.integers(0, 99), right=st.booleans())
    def new_mime(self, j, right):
        owner = self.pick(self.curls, j) if right else self.any_object(j)
        mime = attempt(kelvex.CurlMime, owner)
        if mime is not None:
            self.mimes.append(mime)

    @precondition(lambda self: self.mimes)
    @rule(i=st.integers(0, 99), name=st.one_of(TEXT, BYTES, JUNK),
          value=st.one_of(TEXT, BYTES, JUNK),
          how=st.sampled_from(["add_field", "add", "addpart", "add_file", "add_multipart",
                               "close"]))
    def mime_build(self, i, name, value, how):
        mime = self.pick(self.mimes, i)
        if how == "add_field":
            attempt(mime.add_field, name, value)
        elif how == "add":
            attempt(mime.add, name=name, data=value)
        elif how == "add_file":
            attempt(mime.add_file, name, "/nonexistent/kelvex-fuzz")
        elif how == "add_multipart":
            attempt(mime.add_multipart, name, self.pick(self.mimes, i + 1))
        elif how == "close":
            attempt(mime.close)
        else:
            part = attempt(mime.addpart)
            if part is not None:
                attempt(part.name, name)
                attempt(part.data, value)
                attempt(part.type, value)
                attempt(part.headers, [name] if not isinstance(name, (list, tuple)) else name)
                attempt(part.encoder, value)

    # -- CurlUrl -----------------------------------------------------------

    @precondition(lambda self: len(self.curlurls) < POOL)
    @rule(text=st.one_of(st.none(), URL_TEXT), flags=st.one_of(st.none(), URL_FLAGS))
    def new_url(self, text, flags):
        u = attempt(kelvex.CurlUrl, text) if flags is None else attempt(kelvex.CurlUrl, text, flags)
        if u is not None:
            self.curlurls.append(u)

    @precondition(lambda self: self.curlurls)
    @rule(i=st.integers(0, 99), part=URL_PARTS, value=st.one_of(st.none(), URL_TEXT, JUNK),
          flags=URL_FLAGS, by_name=st.booleans())
    def url_set(self, i, part, value, flags, by_name):
        u = self.pick(self.curlurls, i)
        if by_name:
            attempt(u.set, part=part, value=value, flags=flags)
        else:
            attempt(u.set, part, value, flags)

    @precondition(lambda self: self.curlurls)
    @rule(i=st.integers(0, 99), part=URL_PARTS, flags=st.one_of(st.none(), URL_FLAGS))
    def url_get(self, i, part, flags):
        u = self.pick(self.curlurls, i)
        text = attempt(u.get, part) if flags is None else attempt(u.get, part, flags)
        assert text is None or isinstance(text, str)

    @precondition(lambda self: self.curlurls)
    @rule(i=st.integers(0, 99), how=st.sampled_from(["dup", "copy", "deepcopy", "bad-args"]))
    def url_copy(self, i, how):
        u = self.pick(self.curlurls, i)
        if how == "bad-args":
            attempt(u.dup, 1)
            attempt(u.__deepcopy__)
            return
        v = attempt({"dup": u.dup, "copy": lambda: copy.copy(u),
                     "deepcopy": lambda: copy.deepcopy(u)}[how])
        if v is not None:
            assert type(v) is kelvex.CurlUrl
            if len(self.curlurls) < POOL * 2:
                self.curlurls.append(v)

    @precondition(lambda self: self.curlurls and self.curls)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99), as_object=st.booleans(),
          run=st.booleans())
    def url_as_url(self, i, j, as_object, run):
        """A built URL given to a handle: its text, or the object itself
        (which the option refuses)."""
        u, c = self.pick(self.curlurls, i), self.pick(self.curls, j)
        if as_object:
            attempt(c.setopt, kelvex.URL, u)
        else:
            text = attempt(u.get, kelvex.UPART_URL)
            if text is not None:
                attempt(c.setopt, kelvex.URL, text)
        if run:
            self.bound(c)
            attempt(c.perform_rb)

    # -- response headers ---------------------------------------------------

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), name=HEADER_NAMES,
          index=st.one_of(st.integers(-2, 3), HUGE_INTS, JUNK), origin=ORIGINS,
          request=REQUESTS, how=st.sampled_from(["positional", "keywords", "name only"]))
    def header(self, i, name, index, origin, request, how):
        c = self.pick(self.curls, i)
        if how == "name only":
            value = attempt(c.header, name, also=HEADER_REFUSALS)
        elif how == "keywords":
            value = attempt(c.header, name=name, index=index, origin=origin, request=request,
                            also=HEADER_REFUSALS)
        else:
            value = attempt(c.header, name, index, origin, request, also=HEADER_REFUSALS)
        assert value is None or isinstance(value, str)

    @precondition(lambda self: self.curls)
    @rule(i=st.integers(0, 99), origin=st.one_of(st.none(), ORIGINS), request=REQUESTS)
    def headers(self, i, origin, request):
        c = self.pick(self.curls, i)
        if origin is None:
            got = attempt(c.headers, request=request, also=HEADER_REFUSALS)
        else:
            got = attempt(c.headers, origin, request, also=HEADER_REFUSALS)
        if got is not None:
            for h in got:
                assert isinstance(h, kelvex.CurlHeader) and isinstance(h.value, str)
                assert h.origin & origin if isinstance(origin, int) else True

    # -- EventCore, its futures and coroutines ------------------------------

    @precondition(lambda self: len(self.cores) < POOL)
    @rule(j=st.integers(0, 99), fresh=st.booleans())
    def new_core(self, j, fresh):
        """A core over a fresh multi, or over one the fuzzer has been using
        (which it refuses unless that multi is bare)."""
        multi = kelvex.CurlMulti() if fresh else self.any_object(j)
        core = attempt(kelvex.EventCore, multi)
        if core is not None:
            self.cores.append(core)
            if fresh and len(self.multis) < POOL * 2:
                self.multis.append(multi)
        elif fresh:
            multi.close()

    def start_url(self, c, u):
        """A transfer that answers, fails, times out or stalls."""
        choice = u % 5
        if choice == 0:
            attempt(c.setopt, kelvex.URL, self.urls[u % len(self.urls)])
        elif choice == 1:
            attempt(c.setopt, kelvex.URL, f"{self.base_url}/delay/1")  # cut by the timeout
        elif choice == 2:
            attempt(c.setopt, kelvex.URL, f"{self.base_url}/bytes/20000")
        self.bound(c)
        if choice == 1:
            attempt(c.setopt, kelvex.TIMEOUT_MS, 20 + u % 60)

    @precondition(lambda self: self.cores)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99), u=st.integers(0, 99),
          waiter=st.sampled_from(["none", "future", "junk", "raising", "done", "keywords",
                                  "wrong-type"]),
          body=st.one_of(st.booleans(), JUNK))
    def core_add(self, i, j, u, waiter, body):
        core = self.pick(self.cores, i)
        if waiter == "wrong-type":
            attempt(core.add, self.any_object(j), None, body)
            return
        c = self.pick(self.curls, j)
        if c is None:
            return
        self.start_url(c, u)
        if waiter == "none":
            attempt(core.add, c)
        elif waiter == "keywords":
            attempt(core.add, curl=c, body=body)
        elif waiter == "future":
            loop = self.event_loop()
            w = loop.create_future()
            attempt(core.add, c, w, body)
            self.futures.append(w)
        elif waiter == "done":
            w = self.event_loop().create_future()
            w.set_result("early")
            attempt(core.add, c, w, body)
        elif waiter == "raising":
            attempt(core.add, c, RaisingWaiter(), body)
        else:
            attempt(core.add, c, object(), body)

    @precondition(lambda self: self.cores and self.curls)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99), u=st.integers(0, 99),
          body=st.one_of(st.booleans(), JUNK),
          how=st.sampled_from(["future", "awaitable", "performer", "start", "wrong-loop"]))
    def core_future(self, i, j, u, body, how):
        core, c = self.pick(self.cores, i), self.pick(self.curls, j)
        self.start_url(c, u)
        loop = self.event_loop()
        if how == "future":
            made = attempt(core.future, c, loop, body)
        elif how == "awaitable":
            made = attempt(core.awaitable, c, loop, body)
        elif how == "performer":
            performer = attempt(core.performer, loop, body)
            made = performer and attempt(performer, c)
        elif how == "start":
            def start(curl, body):
                return core.future(curl, loop, body)
            made = attempt(core.awaitable, c, None, body, start)
        else:
            made = attempt(core.future, c, object(), body)
        if made is not None and len(self.futures) < POOL * 4:
            self.futures.append(made)

    @precondition(lambda self: self.cores)
    @rule(i=st.integers(0, 99), j=st.integers(0, 99))
    def core_remove(self, i, j):
        core = self.pick(self.cores, i)
        obj = self.pick(self.curls, j) if j % 4 else self.any_object(j)
        assert attempt(core.remove, obj) in (True, False, None)

    @precondition(lambda self: self.cores)
    @rule(i=st.integers(0, 99),
          timeout=st.one_of(st.sampled_from([0, 0.0, 0.01, 0.05, -1, float("nan"),
                                             float("inf"), 10**9]), JUNK),
          rounds=st.integers(1, 4))
    def core_process(self, i, timeout, rounds):
        core = self.pick(self.cores, i)
        if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and timeout > 0.05:
            rounds = 1  # bounded: a wait this long is refused or cut short below
            timeout = timeout if timeout > 10**8 else 0.05
        for _ in range(rounds):
            done = attempt(core.process, timeout)
            if done is not None:
                for curl, result in done:
                    assert isinstance(curl, kelvex.Curl)
                    assert result is None or isinstance(result, (bytes, kelvex.error))

    @precondition(lambda self: self.cores)
    @rule(i=st.integers(0, 99), what=st.sampled_from(["close", "fileno", "len", "multi",
                                                     "closed", "with", "close-multi"]))
    def core_method(self, i, what):
        core = self.pick(self.cores, i)
        if what == "close":
            cut = attempt(core.close)
            assert cut is None or isinstance(cut, list)
        elif what == "fileno":
            attempt(core.fileno)
        elif what == "len":
            assert len(core) >= 0
        elif what == "multi":
            m = core.multi
            assert m is None or isinstance(m, kelvex.CurlMulti)
        elif what == "closed":
            assert core.closed in (True, False)
        elif what == "with":
            with core:
                pass
        else:
            m = core.multi
            if m is not None:
                attempt(m.close)  # refused while the core drives it

    @precondition(lambda self: self.futures)
    @rule(i=st.integers(0, 99),
          what=st.sampled_from(["cancel", "cancel-msg", "result", "exception", "done",
                                "set_result", "set_exception", "set_exception-junk",
                                "add_done_callback", "remove_done_callback", "get_loop",
                                "send", "throw", "close", "await", "await-cancel"]),
          kind=CALLABLE_KINDS)
    def future_method(self, i, what, kind):
        f = self.pick(self.futures, i)
        is_run = not asyncio.isfuture(f)
        if what in ("send", "throw", "close") or is_run and what not in ("await", "await-cancel"):
            if not is_run:
                return
            if what == "throw":
                attempt(f.throw, Raised("thrown"), also=FUTURE_REFUSALS)
            elif what == "close":
                attempt(f.close, also=FUTURE_REFUSALS)
            else:
                attempt(f.send, None, also=FUTURE_REFUSALS)
            return
        if what == "await" or what == "await-cancel":
            self.await_one(f, cancel=what == "await-cancel")
        elif what == "cancel":
            attempt(f.cancel)
        elif what == "cancel-msg":
            attempt(f.cancel, msg=self.callable_of(kind, i))
        elif what == "set_result":
            attempt(f.set_result, kind, also=FUTURE_REFUSALS)
        elif what == "set_exception":
            attempt(f.set_exception, Raised("set"), also=FUTURE_REFUSALS)
        elif what == "set_exception-junk":
            attempt(f.set_exception, StopIteration if i % 2 else 42, also=FUTURE_REFUSALS)
        elif what == "add_done_callback":
            attempt(f.add_done_callback, self.callable_of(kind, i))
        elif what == "remove_done_callback":
            attempt(f.remove_done_callback, self.callable_of(kind, i))
        elif what == "get_loop":
            assert f.get_loop() is self.loop
        else:
            attempt(getattr(f, what), also=FUTURE_REFUSALS)

    def await_one(self, awaitable, cancel):
        """Awaits a future or coroutine on the loop, with the cores processed
        by it, for a bounded time (or cancels the awaiting task at once)."""
        loop = self.event_loop()
        if loop.is_running() or loop.is_closed():
            return

        async def waiting():
            task = asyncio.ensure_future(awaitable)
            if cancel:
                await asyncio.sleep(0)
                task.cancel()
            async with asyncio.timeout(0.1):
                return await task

        readers = []
        for core in self.cores:
            fd = attempt(core.fileno)
            if fd is not None and fd not in readers:
                loop.add_reader(fd, lambda core=core: attempt(core.process))
                readers.append(fd)
        try:
            attempt(loop.run_until_complete, waiting(), also=FUTURE_REFUSALS)
        finally:
            for fd in readers:
                loop.remove_reader(fd)

    # -- two threads on one object -------------------------------------------

    @precondition(lambda self: self.curls or self.curlurls or self.cores or self.futures)
    @rule(i=st.integers(0, 99), pair=st.sampled_from(list(CONCURRENT)))
    def concurrently(self, i, pair):
        """Two calls on one object from two threads at once; either may be
        refused as busy, neither may fail otherwise."""
        kind, first, second = CONCURRENT[pair]
        pool = {"curl": self.curls, "url": self.curlurls, "core": self.cores,
                "future": [f for f in self.futures if asyncio.isfuture(f)]}[kind]
        obj = self.pick(pool, i)
        if obj is None:
            return
        if kind == "curl":
            self.bound(obj)
        core = self.pick(self.cores, i)
        start = threading.Barrier(2)

        def run(op):
            try:
                start.wait(5)
            except threading.BrokenBarrierError:
                return
            op(self, obj, core)

        other = threading.Thread(target=run, args=(second,))
        other.start()
        try:
            run(first)
        finally:
            other.join(30)
        assert not other.is_alive(), f"{pair} hung"

    # -- every step ----------------------------------------------------------

    @invariant()
    def objects_answer(self):
        for obj in self.curls + self.multis + self.shares + self.mimes + self.cores:
            assert obj.closed in (True, False)
        in_flight = tuple(sorted(len(core) for core in self.cores))
        assert all(n >= 0 for n in in_flight)
        Calls.states.add((
            tuple(sum(1 for o in pool if o.closed) for pool in
                  (self.curls, self.multis, self.shares, self.mimes, self.cores)),
            tuple(len(pool) for pool in (self.curls, self.multis, self.shares, self.mimes,
                                         self.cores, self.curlurls, self.futures)),
            in_flight, sum(1 for f in self.futures if asyncio.isfuture(f) and f.done())))

    def teardown(self):
        for core in self.cores:
            attempt(core.close)
        for obj in self.futures:
            if not asyncio.isfuture(obj):
                attempt(obj.close)  # a coroutine never finished
        for obj in self.mimes + self.curls + self.multis + self.shares:
            attempt(obj.close)
        if self.loop is not None:
            self.loop.close()
        self.curls = self.multis = self.shares = self.mimes = []
        self.curlurls, self.cores, self.futures, self.loop = [], [], [], None
        gc.collect()


def run_machine(base_url, **kwargs):
    Machine.base_url = base_url
    from hypothesis.stateful import run_state_machine_as_test

    run_state_machine_as_test(
        Machine,
        settings=settings(deadline=None, database=None, print_blob=True,
                          suppress_health_check=list(HealthCheck), **kwargs))


def test_api_state_machine(http_server, c_stderr):
    """The short form: a fixed set of examples, the same every run."""
    Calls.count = Calls.refused = 0
    run_machine(http_server.url, max_examples=25, stateful_step_count=40, derandomize=True)
    c_stderr()  # tracebacks printed for callables that raised
    assert Calls.count > 0


@pytest.mark.skipif(not STRESS_SECONDS, reason="the long form runs under make stress")
def test_api_state_machine_long(http_server, c_stderr, stress_report):
    Calls.count = Calls.refused = 0
    Calls.states = set()
    end = time.monotonic() + STRESS_SECONDS
    rounds = 0
    while time.monotonic() < end and rounds < 100_000:
        rounds += 1
        run_machine(http_server.url, max_examples=20, stateful_step_count=50)
        c_stderr()
    plural = "s" if rounds != 1 else ""
    stress_report(f"fuzz: {Calls.count} calls fuzzed ({Calls.refused} refused as bad input "
                  f"or state), {len(Calls.states)} distinct states, in {rounds} round{plural} of "
                  f"random examples, {STRESS_SECONDS:.0f} s"
                  + (", under AddressSanitizer and UndefinedBehaviorSanitizer" if sanitized() else ""))
    if FIGURES_FILE:
        with open(FIGURES_FILE, "w") as out:
            json.dump({"calls": Calls.count, "refused": Calls.refused, "rounds": rounds,
                       "states": sorted(map(repr, Calls.states))}, out)
