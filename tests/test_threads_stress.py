"""Threads calling into the same objects at the same instant.

Each scenario runs its workers in threads until a deadline (and a cap on
calls). A worker's call either does its job or is refused with one of the
state errors the scenario allows; anything else (another exception, a
transfer whose body is not what the server sent, an interpreter abort) is a
fault. KELVEX_STRESS_SECONDS sets how long each scenario runs (`make stress`
runs them for longer).
"""

import gc
import json
import os
import random
import re
import sys
import threading
import time

import pytest

import kelvex
from conftest import body_url, expected_body

SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "1.0"))
MAX_CALLS = 200_000  # per worker, whatever the deadline
BODY = expected_body()

# What the scenarios of this run did, for the run's summary.
FIGURES = {"scenarios": 0, "calls": 0, "refused": 0}

CURL_BUSY = r"cannot invoke \w+\(\) - perform\(\) is currently running"
MULTI_BUSY = r"cannot invoke \w+\(\) - multi_perform\(\) is currently running"
ADD_REMOVE = (
    r"cannot add/remove handle - (multi_perform\(\) already running"
    r"|perform\(\) of curl object already running"
    r"|curl object already on another multi-stack|multi-stack is closed)"
)
SEND_BUSY = r"cannot invoke \w+\(\) - perform\(\) is currently running outside WRITEFUNCTION callback"
NO_CURL = r"cannot invoke \w+\(\) - no curl handle"
NO_MULTI = r"cannot invoke \w+\(\) - no multi handle"


class Hammer:
    """Runs workers on threads until the deadline and collects every
    exception that is not one of the allowed refusals."""

    def __init__(self, *allowed, seconds=SECONDS):
        self.allowed = re.compile("^(?:" + "|".join(allowed) + ")$")
        self.seconds = seconds
        self.faults = []
        self.refused = 0
        self.calls = 0
        self._lock = threading.Lock()

    def _loop(self, worker, end):
        calls = refused = 0
        # Two calls at least, past the deadline if need be: on a loaded
        # machine (or under the sanitizers) one call of a slow worker can
        # outlast a short deadline, and the scenario would not overlap.
        while (time.monotonic() < end or calls < 2) and calls < MAX_CALLS:
            calls += 1
            try:
                worker()
            except kelvex.error as exc:
                text = exc.args[0] if len(exc.args) == 1 else repr(exc.args)
                if isinstance(text, str) and self.allowed.match(text):
                    refused += 1
                    continue
                self._fault(exc)
                return
            except BaseException as exc:
                self._fault(exc)
                return
        with self._lock:
            self.calls += calls
            self.refused += refused

    def _fault(self, exc):
        with self._lock:
            self.faults.append(exc)

    def run(self, *workers):
        end = time.monotonic() + self.seconds
        threads = [threading.Thread(target=self._loop, args=(w, end)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join(self.seconds + 120)
            assert not t.is_alive(), "a worker hung"
        if self.faults:
            raise self.faults[0]
        assert self.calls > len(workers)
        FIGURES["scenarios"] += 1
        FIGURES["calls"] += self.calls
        FIGURES["refused"] += self.refused
        return self


@pytest.fixture(scope="module", autouse=True)
def figures(stress_report):
    """Under `make stress` and `make tsan`: what the scenarios did."""
    yield
    if FIGURES["scenarios"] and "KELVEX_STRESS_SECONDS" in os.environ:
        stress_report(f"threads: {FIGURES['scenarios']} thread scenarios run for {SECONDS:g} s each, "
                      f"{FIGURES['calls']} calls ({FIGURES['refused']} refused as busy or closed), "
                      "every result as the server sent it")


def fetch(c, url):
    """One whole transfer on `c`, whose body must be the server's."""
    c.setopt(kelvex.URL, url)
    body = c.perform_rb()
    assert body == BODY, f"body of {len(body)} bytes differs from what was sent"


@pytest.fixture
def url(http_server):
    return body_url(http_server)


# ---------------------------------------------------------------------------
# One Curl, several threads
# ---------------------------------------------------------------------------


def test_perform_beside_close_and_replace(url):
    holder = [kelvex.Curl()]

    def perform():
        fetch(holder[0], url)

    def replace():
        old, holder[0] = holder[0], kelvex.Curl()
        old.close()

    Hammer(CURL_BUSY, NO_CURL).run(perform, perform, replace)
    holder[0].close()


def test_quick_failures_beside_close_and_replace():
    """The same with transfers that fail at once (nothing listens on the
    port), so that the threads meet many thousand times a second."""
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    holder = [kelvex.Curl()]

    def perform():
        c = holder[0]
        c.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
        c.perform()

    def replace():
        old, holder[0] = holder[0], kelvex.Curl()
        old.close()

    Hammer(CURL_BUSY, NO_CURL, r"\(7, '.*'\)").run(perform, perform, replace)
    holder[0].close()


def test_perform_beside_reset(url):
    c = kelvex.Curl()
    done = []

    def perform():
        try:
            fetch(c, url)
            done.append(1)
        except kelvex.error as exc:
            # A reset between setting the URL and the transfer leaves none.
            if exc.args[0] != kelvex.E_URL_MALFORMAT:
                raise

    Hammer(CURL_BUSY).run(perform, c.reset)
    c.close()
    assert done


def test_perform_beside_setopt_and_getinfo(url):
    c = kelvex.Curl()
    headers = [f"X-Test: {i}" for i in range(5)]
    workers = (
        lambda: fetch(c, url),
        lambda: c.setopt(kelvex.URL, url),
        lambda: c.setopt(kelvex.HTTPHEADER, headers),
        lambda: c.getinfo(kelvex.RESPONSE_CODE) in (0, 200) or pytest.fail("bad code"),
        lambda: c.getinfo(kelvex.EFFECTIVE_URL),
    )
    Hammer(CURL_BUSY).run(*workers)
    c.close()


def test_setopt_unsetopt_and_duphandle_of_an_idle_handle(url):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    chunks = []

    def callables():
        c.setopt(kelvex.WRITEFUNCTION, chunks.append)
        c.unsetopt(kelvex.WRITEFUNCTION)

    def header_list():
        c.setopt(kelvex.HTTPHEADER, ["X-A: 1", "X-B: 2"])
        c.setopt(kelvex.HTTPHEADER, None)

    def duplicate():
        copy = c.duphandle()
        copy.setopt(kelvex.URL, url)
        assert copy.perform_rb() == BODY
        copy.close()

    Hammer(CURL_BUSY).run(callables, header_list, duplicate, duplicate)
    c.close()


def test_duphandle_pause_and_websocket_calls_from_other_threads(url):
    """While one thread transfers, another duplicates, pauses, unpauses and
    asks for WebSocket frames of the same handle: each is refused or done."""
    c = kelvex.Curl()
    copies = []

    def other():
        for call in (c.duphandle, c.pause, c.unpause, lambda: c.ws_send(b"x"), c.ws_meta):
            try:
                result = call()
            except kelvex.error as exc:
                # Refused while the transfer runs; between transfers, what
                # libcurl answers (a WebSocket send on an HTTP handle fails).
                if isinstance(exc.args[0], int) or re.match(f"{CURL_BUSY}|{SEND_BUSY}", exc.args[0]):
                    continue
                raise
            if isinstance(result, kelvex.Curl):
                copies.append(result)

    Hammer(CURL_BUSY, SEND_BUSY).run(lambda: fetch(c, url), other)
    for copy in copies:
        copy.setopt(kelvex.URL, url)
        assert copy.perform_rb() == BODY
        copy.close()
    c.close()


def test_callables_that_close_or_reset_their_handle(url):
    """A write callable tries to close and reset its own handle (refused,
    whatever other threads do meanwhile) while other threads use it."""
    c = kelvex.Curl()
    refusals = []

    def write(data):
        for call in (c.close, c.reset):
            try:
                call()
            except kelvex.error as exc:
                refusals.append(exc.args[0])
        chunks.append(data)

    chunks = []

    def perform():
        chunks.clear()
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.WRITEFUNCTION, write)
        c.perform()
        assert b"".join(chunks) == BODY

    def touch():
        c.getinfo(kelvex.RESPONSE_CODE)
        c.setopt(kelvex.VERBOSE, 0)

    Hammer(CURL_BUSY).run(perform, touch, touch)
    assert refusals and all(re.match(CURL_BUSY, r) for r in refusals)
    c.close()


# ---------------------------------------------------------------------------
# CurlMulti
# ---------------------------------------------------------------------------


class Pool:
    """Handles for a multi, each collecting its own body."""

    def __init__(self, url, n):
        self.handles = []
        self.bodies = {}
        for _ in range(n):
            c = kelvex.Curl()
            chunks = []
            c.setopt(kelvex.URL, url)
            c.setopt(kelvex.WRITEFUNCTION, chunks.append)
            self.handles.append(c)
            self.bodies[c] = chunks
        self.completed = 0
        # Reaped handles whose removal was refused while another thread
        # drove the multi: finished, their message read, so the multi will
        # never report them again; taken out at the next chance.
        self.reaped = set()
        # The bodies are the test's own state, shared by the threads that
        # reap and those that remove handles: it needs a lock of its own.
        self.lock = threading.Lock()

    def check_finished(self, multi):
        with self.lock:
            self._check_finished(multi)

    def _take_out(self, multi, c):
        """Removes a reaped handle: True once it is out of the multi, False
        when the removal is refused as busy (tried again later)."""
        try:
            multi.remove_handle(c)
        except kelvex.error as exc:
            if exc.args[0] == "curl object not on this multi-stack":
                return True
            if re.match(ADD_REMOVE, exc.args[0]):
                return False
            raise
        # Added again meanwhile by another thread, it may have been mid-way:
        # its next transfer starts from the first byte.
        self.bodies[c].clear()
        return True

    def _check_finished(self, multi):
        """Reaps finished transfers: each delivered the whole body. They are
        taken out so they can be added again."""
        self.reaped = {c for c in self.reaped if not self._take_out(multi, c)}
        _, ok, failed = multi.info_read()
        assert not failed, failed
        for c in ok:
            assert b"".join(self.bodies[c]) == BODY
            self.bodies[c].clear()
            self.completed += 1
            if not self._take_out(multi, c):
                self.reaped.add(c)

    def complete_all(self, multi):
        """However the threads left them, every handle then completes a
        transfer with the whole body (on a slow run the threads alone may
        have finished none)."""
        with self.lock:
            self.reaped = {c for c in self.reaped if not self._take_out(multi, c)}
            assert not self.reaped
        for c in self.handles:
            if c not in multi:
                multi.add_handle(c)
        before = self.completed
        end = time.monotonic() + 120
        while self.completed - before < len(self.handles) and time.monotonic() < end:
            drive(multi, self)
        assert self.completed - before == len(self.handles)

    def close(self):
        for c in self.handles:
            c.close()


def drive(multi, pool):
    _, running = multi.perform()
    if running:
        multi.select(0.01)
    else:
        # Nothing to wait for: idle a moment, as an event loop would,
        # instead of taking the multi back at once.
        time.sleep(0.0005)
    pool.check_finished(multi)


def test_driver_beside_add_remove_and_setopt(url):
    m = kelvex.CurlMulti()
    pool = Pool(url, 20)

    def add_remove():
        c = random.choice(pool.handles)
        try:
            with pool.lock:
                if c in m:
                    m.remove_handle(c)
                    # Removed mid-transfer: it starts again from the first byte.
                    pool.bodies[c].clear()
                else:
                    m.add_handle(c)
        finally:
            time.sleep(0.001)  # leaves transfers time to finish, now and then

    def setopt():
        m.setopt(kelvex.M_MAXCONNECTS, random.randint(1, 10))

    Hammer(MULTI_BUSY, ADD_REMOVE, CURL_BUSY, r"curl object (already|not) on this multi-stack",
           r"curl object not on this multi-stack").run(
        lambda: drive(m, pool), add_remove, add_remove, setopt)
    pool.complete_all(m)
    m.close()
    pool.close()


def test_driver_beside_add_and_close_of_the_multi(url):
    holder = [kelvex.CurlMulti()]
    made = []

    def run_current():
        m = holder[0]
        _, running = m.perform()
        if running:
            m.select(0.01)
        else:
            time.sleep(0.0005)
        m.info_read()

    def add_then_close():
        m = holder[0]
        c = kelvex.Curl()
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
        made.append(c)
        m.add_handle(c)
        m.close()
        holder[0] = kelvex.CurlMulti()

    Hammer(MULTI_BUSY, ADD_REMOVE, NO_MULTI).run(run_current, add_then_close)
    holder[0].close()
    for c in made:
        assert c.multi() is None or c.multi() is holder[0]
        c.close()


def test_membership_tests_beside_add_and_close_of_the_multi(url):
    """`c in m` while another thread adds handles to m, closes it and makes
    a new one: the answer is True or False, never a crash."""
    holder = [kelvex.CurlMulti()]
    pool = [kelvex.Curl() for _ in range(8)]

    def contains():
        m = holder[0]
        for _ in range(20):
            for c in pool:
                assert (c in m) in (True, False)

    def add_then_close():
        m = holder[0]
        try:
            m.add_handle(random.choice(pool))
            m.close()
        finally:
            holder[0] = kelvex.CurlMulti()

    Hammer(MULTI_BUSY, ADD_REMOVE, NO_MULTI, r"curl object already on this multi-stack").run(
        contains, contains, add_then_close)
    holder[0].close()
    for c in pool:
        assert c.multi() is None
        c.close()


def test_two_drivers_readding_finished_handles(url):
    m = kelvex.CurlMulti()
    pool = Pool(url, 10)
    for c in pool.handles:
        m.add_handle(c)

    def drive_and_readd():
        drive(m, pool)
        for c in pool.handles:
            if c not in m:
                m.add_handle(c)

    Hammer(MULTI_BUSY, ADD_REMOVE, r"curl object already on this multi-stack").run(
        drive_and_readd, drive_and_readd)
    pool.complete_all(m)
    m.close()
    pool.close()


def test_handles_of_a_driven_multi_touched_from_other_threads(url):
    """setopt, getinfo, pause/unpause, duphandle and close of handles while
    another thread drives their multi."""
    m = kelvex.CurlMulti()
    pool = Pool(url, 8)
    for c in pool.handles:
        m.add_handle(c)
    closed = []

    def touch():
        c = random.choice(pool.handles)
        c.getinfo(kelvex.RESPONSE_CODE)
        c.setopt(kelvex.VERBOSE, 0)
        try:
            c.pause(kelvex.PAUSE_CONT)
        except kelvex.error as exc:
            # libcurl's answer for a handle with no transfer under way.
            if exc.args != (kelvex.E_BAD_FUNCTION_ARGUMENT, "pause/unpause failed"):
                raise
        c.duphandle().close()

    def close_one():
        c = random.choice(pool.handles)
        c.close()
        closed.append(c)

    # A handle closed by close_one between touch's calls: duphandle of a
    # closed handle answers "cloning curl failed".
    Hammer(CURL_BUSY, MULTI_BUSY, NO_CURL, "cloning curl failed").run(
        lambda: drive(m, pool), touch, touch, close_one)
    for c in closed:
        assert c.multi() is None and c not in m
    m.close()
    pool.close()


@pytest.mark.parametrize("make", [kelvex.Curl, kelvex.CurlMulti, kelvex.CurlShare],
                         ids=["Curl", "CurlMulti", "CurlShare"])
def test_attributes_set_on_a_fresh_object_by_two_threads(make):
    """Round after round, two threads store an attribute each on a new
    object (whose dictionary the first store makes) at the same instant:
    both stores are kept."""
    step = threading.Barrier(3)
    current = [None]
    lost = []

    def store(name):
        while True:
            step.wait()
            obj = current[0]
            if obj is None:
                return
            setattr(obj, name, 1)
            step.wait()

    def make_and_check():
        end = time.monotonic() + SECONDS
        rounds = 0
        while rounds < 200 or (time.monotonic() < end and rounds < MAX_CALLS):
            rounds += 1
            current[0] = make()
            step.wait()
            step.wait()
            for name in ("first", "second"):
                if getattr(current[0], name, None) != 1:
                    lost.append(name)
            current[0].close()
        current[0] = None
        step.wait()

    threads = [threading.Thread(target=store, args=("first",)),
               threading.Thread(target=store, args=("second",)),
               threading.Thread(target=make_and_check)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 120)
        assert not t.is_alive(), "a worker hung"
    assert not lost, f"{len(lost)} stores lost"


# ---------------------------------------------------------------------------
# CurlShare and CurlMime
# ---------------------------------------------------------------------------


def test_share_used_while_another_thread_shares_and_unshares(url):
    s = kelvex.CurlShare()
    kinds = (kelvex.LOCK_DATA_COOKIE, kelvex.LOCK_DATA_DNS)

    def transfer():
        c = kelvex.Curl()
        c.setopt(kelvex.SHARE, s)
        c.setopt(kelvex.COOKIEFILE, "")
        fetch(c, url)
        c.close()

    def toggle():
        kind = random.choice(kinds)
        s.setopt(kelvex.SH_SHARE, kind)
        s.setopt(kelvex.SH_UNSHARE, kind)

    # libcurl will not change what a share holds while handles use it.
    Hammer(r"\(2, 'Share currently in use'\)").run(transfer, transfer, toggle)
    s.close()


def test_share_closed_while_handles_transfer(url):
    holder = [kelvex.CurlShare()]
    handles = [kelvex.Curl() for _ in range(3)]

    def transfer(c):
        def work():
            try:
                c.setopt(kelvex.SHARE, holder[0])
            except kelvex.error as exc:
                if exc.args[0] not in ("CurlShare is closed",
                                       "Curl object already sharing. Unshare first."):
                    raise
            fetch(c, url)
        return work

    def close_and_replace():
        s = holder[0]
        s.close()
        holder[0] = kelvex.CurlShare()
        # Handles detached by the close can attach to the new share.
        for c in handles:
            assert c.share() in (None, s, holder[0])

    Hammer(r"cannot close CurlShare: still in use by \d+ active Curl objects?", CURL_BUSY).run(
        *(transfer(c) for c in handles), close_and_replace)
    for c in handles:
        c.close()
    holder[0].close()


def test_addpart_on_one_document_from_two_threads(url):
    c = kelvex.Curl()
    mime = kelvex.CurlMime(c)
    counts = [0, 0]

    def add(i):
        def work():
            if counts[i] < 200:  # the server takes at most 1,000 form parts
                part = mime.addpart()
                counts[i] += 1
                # The other thread may hold the handle between the two calls;
                # a part left without its name would reach the server nameless.
                while True:
                    try:
                        part.name(f"field{i}")
                        break
                    except kelvex.error as exc:
                        if not re.match(CURL_BUSY, str(exc.args[0])):
                            raise
        return work

    Hammer(CURL_BUSY).run(add(0), add(1))
    c.setopt(kelvex.URL, url.rsplit("/", 2)[0] + "/post")
    c.setopt(kelvex.MIMEPOST, mime)
    form = json.loads(c.perform_rb())["form"]
    c.close()
    # Every part made reached the server, none twice.
    for i in (0, 1):
        values = form.get(f"field{i}", [])
        assert (len(values) if isinstance(values, list) else 1) == counts[i]


def test_document_grown_and_replaced_while_its_handle_posts(url):
    """One thread posts a Curl's document; another adds parts to the
    current document; a third makes a new document and sets it. Every
    transfer sends a whole document, whatever the others did between two
    of them. (Each part is made whole in one call: libcurl cannot send a
    document again once one of its parts went out without content.)"""
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url.rsplit("/", 2)[0] + "/post")
    holder = [kelvex.CurlMime(c)]
    part = holder[0].addpart()
    part.name("first")
    part.data(b"x")
    c.setopt(kelvex.MIMEPOST, holder[0])

    def post():
        form = json.loads(c.perform_rb())["form"]
        assert "first" in form or "again" in form, form

    grown = {}

    def grow():
        m = holder[0]
        if grown.get(id(m), 0) < 500:  # the server takes at most 1,000 form parts
            m.add(name="more", data=b"y" * 100)
            grown[id(m)] = grown.get(id(m), 0) + 1

    def replace():
        m = kelvex.CurlMime(c)
        m.add(name="again", data=b"z")
        c.setopt(kelvex.MIMEPOST, m)
        holder[0] = m

    Hammer(CURL_BUSY).run(post, grow, replace)
    c.close()


def test_parts_built_while_another_thread_closes_their_document():
    """Threads add parts to a document and fill them while another closes
    it and makes the next: each call is done or refused as closed, and
    none reaches the parts libcurl freed with the document."""
    c = kelvex.Curl()
    holder = [kelvex.CurlMime(c)]
    parts = []

    def build():
        part = holder[0].addpart()
        part.name("field")
        part.data(b"value")
        parts.append(part)
        if len(parts) > 64:
            del parts[:32]

    def fill_old():
        recent = parts[-8:]
        if recent:
            random.choice(recent).type("text/plain")

    def close_and_replace():
        old, holder[0] = holder[0], kelvex.CurlMime(c)
        old.close()

    Hammer(CURL_BUSY, r"cannot invoke \w+\(\) - no mime (handle|part)").run(
        build, build, fill_old, close_and_replace)
    holder[0].close()
    c.close()


def test_document_of_another_curl_offered_while_its_thread_closes_it():
    """A document that its own thread closes and replaces is offered
    meanwhile to another Curl (as its MIMEPOST, as a part's subparts) and
    read through `closed`: each call is refused, as closed or as another
    Curl's. The other Curl's claim does not cover the document, so those
    checks read it under the document's own lock."""
    owner, other = kelvex.Curl(), kelvex.Curl()
    holder = [kelvex.CurlMime(owner)]
    document = kelvex.CurlMime(other)
    part = document.addpart()

    def offer_as_mimepost():
        with pytest.raises(ValueError, match=r"setopt\(option=MIMEPOST\) (received a closed "
                           r"mime object|requires a CurlMime created with this Curl handle)"):
            other.setopt(kelvex.MIMEPOST, holder[0])

    def offer_as_subparts():
        with pytest.raises(ValueError, match=r"subparts\(\) (received a closed mime object"
                           r"|requires both mime objects to use the same Curl handle)"):
            part.subparts(holder[0])

    def read_closed():
        assert holder[0].closed in (False, True)

    def close_and_replace():
        old, holder[0] = holder[0], kelvex.CurlMime(owner)
        old.close()

    # The two offers claim the other Curl: one may find the other's claim.
    Hammer(CURL_BUSY).run(offer_as_mimepost, offer_as_subparts, read_closed, close_and_replace)
    for obj in (holder[0], document, owner, other):
        obj.close()


def test_collector_beside_transfers_with_callbacks(url):
    def transfer():
        c = kelvex.Curl()
        chunks = []
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.WRITEFUNCTION, chunks.append)
        c.setopt(kelvex.HEADERFUNCTION, lambda line: None)
        c.setopt(kelvex.XFERINFOFUNCTION, lambda *a: 0)
        c.setopt(kelvex.NOPROGRESS, 0)
        c.cycle = c  # left for the collector
        c.perform()
        assert b"".join(chunks) == BODY

    Hammer().run(transfer, transfer, gc.collect)



def test_callable_error_reports_whole_beside_other_writers(url, capsys):
    """A callable's error report reaches standard error in one piece while
    other threads write there too."""
    failures = []

    def failing(data):
        raise ValueError("callable failed on purpose")

    def transfer():
        c = kelvex.Curl()
        c.setopt(kelvex.URL, url)
        c.setopt(kelvex.WRITEFUNCTION, failing)
        try:
            c.perform()
        except kelvex.error as exc:
            assert exc.args[0] == kelvex.E_WRITE_ERROR, exc.args
            failures.append(1)
        finally:
            c.close()

    def noise():
        sys.stderr.write("noise from another thread\n")

    Hammer().run(transfer, transfer, noise, noise)
    err = capsys.readouterr().err
    reports = re.findall(r"Traceback \(most recent call last\):\n(?:  .*\n)+"
                         r"ValueError: callable failed on purpose\n", err)
    assert len(reports) == len(failures) > 0
    # Nothing but whole reports and whole lines of the other writers.
    rest = re.sub(r"Traceback \(most recent call last\):\n(?:  .*\n)+"
                  r"ValueError: callable failed on purpose\n", "", err)
    assert set(rest.splitlines()) <= {"noise from another thread"}


# ---------------------------------------------------------------------------
# WebSocket frames
# ---------------------------------------------------------------------------

from test_ws import connect, ws_server  # noqa: E402,F401  (fixtures)


def test_websocket_sent_and_received_on_two_threads(connect):
    """One thread sends numbered frames, another receives the echoes and a
    third asks for frame metadata, all on one connection: every frame comes
    back once, in order."""
    c, _ = connect("echo")
    sent, received = [], bytearray()
    numbers = iter(range(MAX_CALLS * 4))
    # A bytearray is not safe to size on one thread while another extends it.
    received_lock = threading.Lock()

    def send():
        with received_lock:
            behind = len(sent) * 8 - len(received)
        if behind > 65536:
            return  # the echoes are behind: let them catch up
        payload = b"%08d" % next(numbers)
        c.ws_send(payload)
        sent.append(payload)

    def receive():
        try:
            data, _ = c.ws_recv(4096)
        except BlockingIOError:
            return
        with received_lock:
            received.extend(data)

    Hammer(CURL_BUSY, SEND_BUSY).run(send, receive, c.ws_meta)
    expected = b"".join(sent)
    end = time.monotonic() + 30
    while len(received) < len(expected) and time.monotonic() < end:
        try:
            data, _ = c.ws_recv(4096)
            received.extend(data)
        except BlockingIOError:
            time.sleep(0.001)
    assert bytes(received) == expected
