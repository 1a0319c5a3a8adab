"""Every pair of one object's operations, run from two threads at once:
those of Curl (response headers read beside a transfer among them),
CurlMulti, CurlShare, CurlMime and its parts, CurlUrl, and EventCore with
the futures of its transfers (completed on one thread while another cancels
them).

For each type, each operation (a public method, `in`, attribute get and
set, a collection) is called in a loop on one thread while another calls
the same or another operation on the same object, for a bounded time. An
operation either does its job or answers with one of the refusals listed
for it (the object busy or closed, or what libcurl answers for a handle
in that state); anything else, a hang or an interpreter abort is a fault.

Each pair runs for KELVEX_STRESS_SECONDS / 40 seconds (0.01 s by default:
the short form; `make stress` runs the long one).
"""

import asyncio
import copy
import gc
import itertools
import os
import re
import threading
import time
import warnings

import pytest

import kelvex
from conftest import body_url

PAIR_SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "0.4")) / 40
MAX_CALLS = 2_000 + int(50_000 * PAIR_SECONDS)  # per thread and pair, whatever the deadline

CURL_BUSY = r"cannot invoke \w+\(\) - perform\(\) is currently running( outside WRITEFUNCTION callback)?"
MULTI_BUSY = r"cannot invoke \w+\(\) - multi_perform\(\) is currently running"
NO_CURL = r"cannot invoke \w+\(\) - no curl handle"
NO_MULTI = r"cannot invoke \w+\(\) - no multi handle"
NO_SHARE = r"cannot invoke \w+\(\) - no share handle"
NO_MIME = r"cannot invoke \w+\(\) - no (mime handle|mime part)"
# What libcurl answers a handle that made no CONNECT_ONLY connection (the
# text is the error buffer's, whatever the last failure wrote there).
CONNECT_ONLY = r"\((1|55), '.*'\)"
PAUSE_FAILED = r"\(43, 'pause/unpause failed'\)"
NO_URL = r"\(3, '(No URL set|URL using bad/illegal format or missing URL)'\)"
ADD_REMOVE = (
    r"cannot add/remove handle - (multi_perform\(\) already running"
    r"|perform\(\) of curl object already running"
    r"|curl object already on another multi-stack|multi-stack is closed)"
    r"|curl object (already|not) on this multi-stack"
)


class Op:
    """One operation: `call(obj, env)`, and the refusals it may answer."""

    def __init__(self, name, call, *allowed):
        self.name = name
        self.call = call
        self.allowed = allowed


def common_ops(attributes=True):
    def get_attr(obj, env):
        getattr(obj, "tag", None)

    def set_attr(obj, env):
        obj.tag = env["n"]
        env["n"] += 1

    ops = [Op("getattr", get_attr), Op("gc.collect", lambda obj, env: gc.collect())]
    if attributes:  # CurlMime takes no attributes of its own
        ops.append(Op("setattr", set_attr))
    return ops


# ---------------------------------------------------------------------------
# The tables
# ---------------------------------------------------------------------------


def curl_ops():
    def setopt_url(c, env):
        c.setopt(kelvex.URL, env["url"])

    def duphandle(c, env):
        c.duphandle().close()

    return [
        Op("perform", lambda c, e: (setopt_url(c, e), c.perform_rb()), NO_URL),
        Op("perform_rs", lambda c, e: c.perform_rs(), NO_URL),
        Op("setopt", lambda c, e: c.setopt(kelvex.VERBOSE, 0)),
        Op("setopt_string", lambda c, e: c.setopt_string(kelvex.URL, e["url"])),
        Op("unsetopt", lambda c, e: c.unsetopt(kelvex.USERPWD)),
        Op("set_ca_certs", lambda c, e: c.set_ca_certs(b"")),
        Op("getinfo", lambda c, e: c.getinfo(kelvex.RESPONSE_CODE)),
        Op("getinfo_raw", lambda c, e: c.getinfo_raw(kelvex.EFFECTIVE_URL)),
        Op("errstr", lambda c, e: (c.errstr(), c.errstr_raw())),
        Op("reset", lambda c, e: c.reset()),
        Op("duphandle", duphandle, "cloning curl failed"),
        Op("pause", lambda c, e: c.pause(kelvex.PAUSE_CONT), PAUSE_FAILED),
        Op("unpause", lambda c, e: c.unpause(), PAUSE_FAILED),
        Op("multi/share", lambda c, e: (c.multi(), c.share(), c.closed)),
        Op("send", lambda c, e: c.send(b"x"), CONNECT_ONLY),
        Op("recv", lambda c, e: c.recv(16), CONNECT_ONLY),
        Op("recv_into", lambda c, e: c.recv_into(bytearray(16)), CONNECT_ONLY),
        Op("ws_send", lambda c, e: c.ws_send(b"x"), CONNECT_ONLY),
        Op("ws_recv", lambda c, e: c.ws_recv(16), CONNECT_ONLY),
        Op("ws_recv_into", lambda c, e: c.ws_recv_into(bytearray(16)), CONNECT_ONLY),
        Op("ws_meta", lambda c, e: c.ws_meta()),
        Op("ws_close", lambda c, e: c.ws_close(), CONNECT_ONLY),
        *HEADER_OPS,
        Op("close", lambda c, e: c.close()),
        *common_ops(),
    ], (CURL_BUSY, NO_CURL)


def multi_ops():
    def pick(env):
        env["i"] = (env["i"] + 1) % len(env["pool"])
        return env["pool"][env["i"]]

    def drive(m, env):
        _, running = m.perform()
        if running:
            m.select(0.001)
        m.info_read()

    return [
        Op("add_handle", lambda m, e: m.add_handle(pick(e)), ADD_REMOVE),
        Op("remove_handle", lambda m, e: m.remove_handle(pick(e)), ADD_REMOVE),
        Op("perform", drive),
        Op("fdset", lambda m, e: m.fdset()),
        Op("select", lambda m, e: m.select(0)),
        Op("poll", lambda m, e: m.poll(0.001)),
        Op("wakeup", lambda m, e: m.wakeup()),
        Op("waitfds", lambda m, e: m.waitfds()),
        Op("get_handles", lambda m, e: m.get_handles()),
        Op("info_read", lambda m, e: m.info_read()),
        Op("socket_action", lambda m, e: m.socket_action(kelvex.SOCKET_TIMEOUT, 0)),
        Op("socket_all", lambda m, e: m.socket_all()),
        Op("timeout", lambda m, e: m.timeout()),
        Op("setopt", lambda m, e: m.setopt(kelvex.M_MAXCONNECTS, 5)),
        Op("assign", lambda m, e: m.assign(12345, None), r"\(5, 'assign failed'\)"),
        Op("unassign", lambda m, e: m.unassign(12345), r"\(5, 'unassign failed'\)"),
        Op("notify", lambda m, e: (m.notify_enable(kelvex.M_NOTIFY_INFO_READ),
                                   m.notify_disable(kelvex.M_NOTIFY_INFO_READ))),
        Op("in", lambda m, e: e["pool"][0] in m),
        Op("closed", lambda m, e: m.closed),
        Op("close", lambda m, e: m.close()),
        *common_ops(),
    ], (MULTI_BUSY, NO_MULTI, CURL_BUSY)


def share_ops():
    kind = kelvex.LOCK_DATA_COOKIE
    return [
        Op("setopt", lambda s, e: (s.setopt(kelvex.SH_SHARE, kind),
                                   s.setopt(kelvex.SH_UNSHARE, kind))),
        Op("share", lambda s, e: s.share(kind)),
        Op("unshare", lambda s, e: s.unshare(kind)),
        Op("closed", lambda s, e: s.closed),
        Op("close", lambda s, e: s.close()),
        *common_ops(),
    ], (NO_SHARE,)


def mime_ops():
    def part(env):
        return env["part"]

    return [
        Op("addpart", lambda m, e: m.addpart()),
        Op("add", lambda m, e: m.add(name="a", data=b"x")),
        Op("add_field", lambda m, e: m.add_field("f", "v")),
        Op("add_file", lambda m, e: m.add_file("f", e["path"])),
        Op("add_multipart", lambda m, e: m.add_multipart(name="sub")),
        Op("closed", lambda m, e: m.closed),
        Op("close", lambda m, e: m.close()),
        Op("part.name", lambda m, e: part(e).name("n")),
        Op("part.data", lambda m, e: part(e).data(b"d")),
        Op("part.filedata", lambda m, e: part(e).filedata(e["path"])),
        Op("part.filename", lambda m, e: part(e).filename("f.txt")),
        Op("part.type", lambda m, e: part(e).type("text/plain")),
        Op("part.encoder", lambda m, e: part(e).encoder("base64")),
        Op("part.headers", lambda m, e: part(e).headers(["X-A: 1"])),
        Op("part.subparts", lambda m, e: part(e).subparts(kelvex.CurlMime(e["curl"])), NO_CURL),
        Op("part.data_cb", lambda m, e: part(e).data_cb(1, lambda n, u: b"x")),
        *common_ops(attributes=False),
    ], (CURL_BUSY, NO_MIME, NO_CURL)


def url_ops():
    url = kelvex.UPART_URL
    return [
        Op("set", lambda u, e: u.set(kelvex.UPART_PATH, f"/p{e['n']}")),
        Op("set_url", lambda u, e: u.set(url, "../up?q=1")),
        Op("set_none", lambda u, e: u.set(kelvex.UPART_QUERY, None)),
        Op("set_encoded", lambda u, e: u.set(kelvex.UPART_QUERY, "a b",
                                             kelvex.U_APPENDQUERY | kelvex.U_URLENCODE)),
        Op("get", lambda u, e: u.get(url)),
        Op("get_flags", lambda u, e: u.get(kelvex.UPART_PORT, kelvex.U_DEFAULT_PORT)),
        Op("dup", lambda u, e: u.dup().get(url)),
        Op("copy", lambda u, e: (copy.copy(u), copy.deepcopy(u))),
        *common_ops(attributes=False),
    ], ()


def _missing_is_no_header(call):
    """header() and headers() answer KeyError and IndexError for what the
    handle has not (yet) received: a fine answer beside anything."""
    def op(c, env):
        try:
            call(c, env)
        except (KeyError, IndexError):
            pass
    return op


# header() and headers() beside every operation of a Curl, perform among them.
HEADER_OPS = [
    Op("header", _missing_is_no_header(lambda c, e: c.header("content-type"))),
    Op("header_indexed", _missing_is_no_header(
        lambda c, e: c.header("Content-Length", 0, kelvex.H_HEADER | kelvex.H_1XX, 0))),
    Op("headers", _missing_is_no_header(lambda c, e: c.headers(kelvex.H_HEADER, None))),
]

CORE_CLOSED = r"cannot invoke \w+\(\) - no event core"
CORE_ADD = (
    r"cannot add/remove handle - (multi_perform\(\) already running"
    r"|perform\(\) of curl object already running"
    r"|curl object already on another multi-stack)"
    r"|curl object already on this multi-stack"
)


def core_ops():
    """The core's methods, and those of the futures of its transfers: one
    thread completes futures (process) while the other cancels, completes
    or reads them."""
    def pick(env):
        env["i"] = (env["i"] + 1) % len(env["pool"])
        return env["pool"][env["i"]]

    def future(core, env):
        f = core.future(pick(env), env["loop"], env["i"] % 2 == 0)
        env["futures"].append(f)

    def each_future(act):
        def op(core, env):
            for f in env["futures"][-4:]:
                try:
                    act(f)
                except (asyncio.InvalidStateError, asyncio.CancelledError, kelvex.error):
                    pass
        return op

    def step(core, env):
        run = core.awaitable(pick(env), env["loop"], True)
        try:
            run.send(None)
        finally:
            run.close()

    return [
        Op("add", lambda core, e: core.add(pick(e)), CORE_ADD),
        Op("add_body", lambda core, e: core.add(pick(e), None, True), CORE_ADD),
        Op("future", future, CORE_ADD),
        Op("awaitable", step, CORE_ADD),
        Op("remove", lambda core, e: core.remove(pick(e))),
        Op("process", lambda core, e: core.process(0.001)),
        Op("fileno", lambda core, e: core.fileno()),
        Op("len/multi/closed", lambda core, e: (len(core), core.multi, core.closed)),
        Op("close", lambda core, e: core.close()),
        Op("cancel", each_future(lambda f: f.cancel())),
        Op("set_result", each_future(lambda f: f.set_result(b""))),
        Op("result", each_future(lambda f: (f.done(), f.cancelled(), f.result()))),
        Op("done_callback", each_future(lambda f: (f.add_done_callback(len),
                                                   f.remove_done_callback(len)))),
        *common_ops(attributes=False),
    ], (CORE_CLOSED, MULTI_BUSY, CURL_BUSY)


# ---------------------------------------------------------------------------
# Running a pair
# ---------------------------------------------------------------------------


class Pair:
    def __init__(self, first, second, common):
        self.ops = (first, second)
        self.common = common
        self.faults = []

    def _allowed(self, op, exc):
        if not isinstance(exc, kelvex.error):
            return False
        text = exc.args[0] if len(exc.args) == 1 else repr(exc.args)
        return isinstance(text, str) and any(
            re.fullmatch(pattern, text) for pattern in (*self.common, *op.allowed))

    def _loop(self, op, obj, env, start, end):
        start.wait()
        calls = refused = 0
        try:
            while calls < MAX_CALLS and time.monotonic() < end:
                calls += 1
                try:
                    op.call(obj, env)
                except BaseException as exc:  # noqa: BLE001  (every answer is judged)
                    if not self._allowed(op, exc):
                        self.faults.append(f"{op.name}: {exc!r}")
                        return
                    refused += 1
        finally:
            with _FIGURES_LOCK:
                FIGURES["calls"] += calls
                FIGURES["refused"] += refused

    def run(self, obj, env):
        start = threading.Barrier(2)
        end = time.monotonic() + PAIR_SECONDS + 0.05
        threads = [threading.Thread(target=self._loop, args=(op, obj, dict(env, n=0, i=0),
                                                              start, end))
                   for op in self.ops]
        for t in threads:
            t.start()
        for t in threads:
            t.join(PAIR_SECONDS + 120)
            assert not t.is_alive(), f"{self.ops[0].name} beside {self.ops[1].name} hung"
        with _FIGURES_LOCK:
            FIGURES["pairs"] += 1
        return self.faults


def run_matrix(table, make, env):
    ops, common = table
    faults = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # socket_all
        for first, second in itertools.combinations_with_replacement(ops, 2):
            obj, extra = make()
            try:
                for fault in Pair(first, second, common).run(obj, dict(env, **extra)):
                    faults.append(f"{first.name} beside {second.name}: {fault}")
            finally:
                close = getattr(obj, "close", None)
                if close is not None:
                    close()
                for leftover in extra.get("close", ()):
                    leftover.close()
    assert not faults, "\n".join(faults[:20])


# ---------------------------------------------------------------------------
# The tests
# ---------------------------------------------------------------------------


# What the pairs did, printed under `make stress` and `make tsan`.
FIGURES = {"pairs": 0, "calls": 0, "refused": 0}
_FIGURES_LOCK = threading.Lock()


@pytest.fixture(scope="module", autouse=True)
def figures(stress_report):
    yield
    if FIGURES["pairs"] and "KELVEX_STRESS_SECONDS" in os.environ:
        stress_report(f"thread matrix: {FIGURES['pairs']} pairs of operations run for "
                      f"{PAIR_SECONDS:g} s each, {FIGURES['calls']} calls "
                      f"({FIGURES['refused']} refused as busy, closed or by libcurl)")


@pytest.fixture
def url(http_server):
    return body_url(http_server, 64)


def test_curl_pairs(url):
    def make():
        c = kelvex.Curl()
        c.setopt(kelvex.URL, url)
        return c, {}

    run_matrix(curl_ops(), make, {"url": url})


def test_multi_pairs(url):
    def make():
        pool = []
        for _ in range(3):
            c = kelvex.Curl()
            c.setopt(kelvex.URL, url)
            c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
            pool.append(c)
        return kelvex.CurlMulti(), {"pool": pool, "close": pool}

    run_matrix(multi_ops(), make, {})


def test_share_pairs():
    run_matrix(share_ops(), lambda: (kelvex.CurlShare(), {}), {})


def test_mime_and_part_pairs(tmp_path):
    path = tmp_path / "part.txt"
    path.write_bytes(b"file part")

    def make():
        c = kelvex.Curl()
        mime = kelvex.CurlMime(c)
        return mime, {"curl": c, "part": mime.addpart(), "close": [c]}

    run_matrix(mime_ops(), make, {"path": str(path)})


def test_url_pairs():
    run_matrix(url_ops(), lambda: (kelvex.CurlUrl("http://u:p@example.com/a?x=1#f"), {}), {})


def test_event_core_pairs(url):
    def make():
        multi = kelvex.CurlMulti()
        pool = []
        for _ in range(3):
            c = kelvex.Curl()
            c.setopt(kelvex.URL, url)
            c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
            pool.append(c)
        loop = asyncio.new_event_loop()
        # The core is closed first (run_matrix), then its multi, the handles
        # and the loop its futures were bound to.
        return kelvex.EventCore(multi), {"pool": pool, "loop": loop, "futures": [],
                                         "close": [multi, *pool, loop]}

    run_matrix(core_ops(), make, {})
