"""Callers passing anything at all in any order: a hypothesis state machine
creates, configures, drives, duplicates, resets and closes Curl, CurlMulti,
CurlShare and CurlMime objects with valid and invalid arguments (wrong
types, huge and negative integers, NUL in text, closed objects, objects of
the wrong type, callables that raise, return the wrong type or call back
into the API) against the loopback servers.

Every call must return or raise one of the exceptions the API documents
for bad input or state; anything else (SystemError, an exception of a kind
the API never raises, an interpreter abort, a sanitizer report under `make
sanitize`) is a fault. The short form runs a fixed, derandomized set of
examples; KELVEX_STRESS_SECONDS (set by `make stress`) runs fresh random
examples for that long and prints the number of calls.
"""

import gc
import os
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
POOL = 4  # at most this many objects of each type at once


class Raised(Exception):
    """What the fuzzer's own callables raise."""


# Exceptions the API raises for bad arguments or state, and those the
# fuzzer's callables raise (which a transfer passes on).
ALLOWED = (kelvex.error, TypeError, ValueError, OverflowError, BlockingIOError,
           Raised, RuntimeError)


class Calls:
    count = 0
    refused = 0


def attempt(fn, *args, **kwargs):
    Calls.count += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn(*args, **kwargs)
    except SystemError:
        raise
    except ALLOWED:
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


class Machine(RuleBasedStateMachine):
    base_url = None  # set by the test: a loopback httpbin

    def __init__(self):
        super().__init__()
        self.curls = []
        self.multis = []
        self.shares = []
        self.mimes = []
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
        everything = self.curls + self.multis + self.shares + self.mimes
        return everything[i % len(everything)] if everything else None

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
        return lambda *args, **kw: len(args)

    CALLABLE_KINDS = st.sampled_from(["ok", "raise", "wrong", "string", "huge", "not-callable",
                                      "reenter-setopt", "reenter-perform", "reenter-close",
                                      "reenter-reset", "reenter-getinfo", "reenter-multi",
                                      "reenter-remove", "count"])

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
        # Whatever the fuzzer set, every transfer ends soon (loopback answers
        # in milliseconds; a transfer left waiting, on a paused handle or an
        # FTP URL on the HTTP port, would otherwise eat the fuzzing time).
        attempt(c.setopt, kelvex.TIMEOUT_MS, 500)
        attempt(c.setopt, kelvex.CONNECTTIMEOUT_MS, 500)
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
                                "M_SOCKETFUNCTION"]),
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

    # -- every step ----------------------------------------------------------

    @invariant()
    def objects_answer(self):
        for obj in self.curls + self.multis + self.shares + self.mimes:
            assert obj.closed in (True, False)

    def teardown(self):
        for obj in self.mimes + self.curls + self.multis + self.shares:
            attempt(obj.close)
        self.curls = self.multis = self.shares = self.mimes = []
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
    end = time.monotonic() + STRESS_SECONDS
    rounds = 0
    while time.monotonic() < end and rounds < 100_000:
        rounds += 1
        run_machine(http_server.url, max_examples=20, stateful_step_count=50)
        c_stderr()
    plural = "s" if rounds != 1 else ""
    stress_report(f"fuzz: {Calls.count} calls fuzzed ({Calls.refused} refused as bad input "
                  f"or state) in {rounds} round{plural} of random examples, {STRESS_SECONDS:.0f} s"
                  + (", under AddressSanitizer and UndefinedBehaviorSanitizer" if sanitized() else ""))
