"""One CurlShare used by handles on many threads at once: transfers stay
right under libcurl's locking, and close() keeps to its refusals while
handles come and go around it."""

import gc
import json
import re
import threading
import weakref

import pytest
from conftest import LoopbackHTTPServer, _httpbin_app

import kelvex
from kelvex import CurlShare

THREADS = 8
# Generous bounds on joins and waits, so that a deadlock fails the test
# instead of hanging the suite; they measure nothing.
JOIN_TIMEOUT = 240
WAIT_TIMEOUT = 60

REFUSAL = re.compile(r"cannot close CurlShare: still in use by (\d+) active Curl object(s?)")


def join_all(threads):
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a worker thread is stuck"


def start_workers(target, count=THREADS):
    """Runs target(index) on `count` threads; an exception in one is kept
    and re-raised by the returned check()."""
    errors = []

    def run(index):
        try:
            target(index)
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,), name=f"share-worker-{i}") for i in range(count)]
    for t in threads:
        t.start()

    def check():
        join_all(threads)
        if errors:
            raise errors[0]

    return threads, check


def get(c, url):
    c.setopt(kelvex.URL, url)
    return c.perform_rb()


def assert_refusal(exc, most):
    (text,) = exc.args
    match = REFUSAL.fullmatch(text)
    assert match, text
    count = int(match.group(1))
    assert 1 <= count <= most
    assert match.group(2) == ("" if count == 1 else "s")
    return count


@pytest.fixture(scope="module")
def own_servers(tls_ca, tmp_path_factory):
    """Plain and TLS servers of this module's own, so that connections and
    failed handshakes that other tests leave with the shared servers cannot
    make these servers refuse keep-alive or drop fresh connections."""
    folder = tmp_path_factory.mktemp("share-tls")
    leaf = tls_ca.issue_cert("127.0.0.1")
    cert, key = str(folder / "server.pem"), str(folder / "server.key")
    leaf.cert_chain_pems[0].write_to_path(cert)
    leaf.private_key_pem.write_to_path(key)
    ca = str(folder / "ca.pem")
    tls_ca.cert_pem.write_to_path(ca)
    plain = LoopbackHTTPServer(_httpbin_app())
    tls = LoopbackHTTPServer(_httpbin_app(), tls_files=(cert, key))
    yield {"http": (plain, {}), "https": (tls, {kelvex.CAINFO: ca})}
    plain.close()
    tls.close()


@pytest.fixture(params=["http", "https"])
def server(request, own_servers):
    """A server of this module and the options a handle needs to trust it."""
    return own_servers[request.param]


@pytest.fixture
def http_server(own_servers):
    return own_servers["http"][0]


def test_threads_transfer_through_one_share(server):
    http_server, options = server
    transfers = 200
    s = CurlShare()
    # Everything but the connection pool: libcurl does not support sharing
    # connections between concurrently running threads.
    s.share(kelvex.LOCK_DATA_COOKIE, kelvex.LOCK_DATA_DNS, kelvex.LOCK_DATA_SSL_SESSION,
            kelvex.LOCK_DATA_PSL)
    handles = [kelvex.Curl() for _ in range(THREADS)]
    for c in handles:
        for option, value in options.items():
            c.setopt(option, value)
        c.setopt(kelvex.COOKIEFILE, "")
        c.setopt(kelvex.SHARE, s)
    done = [0] * THREADS

    def work(index):
        c = handles[index]
        for n in range(transfers):
            if n % 4 == 3:
                # Each thread's cookie lands in the one shared jar.
                get(c, f"{http_server.url}/cookies/set?t{index}={n}")
                assert c.getinfo(kelvex.RESPONSE_CODE) == 302
            else:
                body = json.loads(get(c, f"{http_server.url}/get?t={index}&n={n}"))
                assert body["args"] == {"t": str(index), "n": str(n)}
            done[index] += 1

    threads, check = start_workers(work)
    # The main thread keeps taking the share's mutex while the workers'
    # transfers take its data locks.
    while any(t.is_alive() for t in threads):
        assert not s.closed
        threads[0].join(0.05)
    check()
    assert done == [transfers] * THREADS

    jar = json.loads(get(handles[0], http_server.url + "/cookies"))["cookies"]
    last = max(n for n in range(transfers) if n % 4 == 3)
    assert jar == {f"t{i}": str(last) for i in range(THREADS)}

    s.close()  # every handle is idle: all are detached
    assert all(c.share() is None for c in handles)
    for c in handles:
        c.close()
    ref = weakref.ref(s)
    del s
    assert ref() is None


def _let_go_close(c):
    c.close()


def _let_go_unset(c):
    c.setopt(kelvex.SHARE, None)
    c.close()


def _let_go_drop(c):
    pass  # the worker's reference is the last one


@pytest.mark.parametrize("let_go", [_let_go_close, _let_go_unset, _let_go_drop],
                         ids=["close", "unset", "drop"])
def test_close_races_handles_letting_go(http_server, let_go):
    """Workers transfer, then let go of the share in their own time while the
    main thread keeps trying to close it. A refusal always names how many
    handles still hold the share, a number that only falls, and close()
    succeeds exactly when the last one is gone."""
    transfers = 40
    s = CurlShare(detach_on_close=False)
    s.share(kelvex.LOCK_DATA_DNS, kelvex.LOCK_DATA_COOKIE)
    attached = threading.Barrier(THREADS + 1)
    refused = threading.Event()
    released = []
    refs = []

    def work(index):
        c = kelvex.Curl()
        refs.append(weakref.ref(c))
        c.setopt(kelvex.SHARE, s)
        attached.wait(WAIT_TIMEOUT)
        for n in range(transfers + 5 * index):
            body = json.loads(get(c, f"{http_server.url}/get?n={n}"))
            assert body["args"] == {"n": str(n)}
        assert refused.wait(WAIT_TIMEOUT)
        let_go(c)
        del c
        released.append(index)

    threads, check = start_workers(work)
    attached.wait(WAIT_TIMEOUT)
    counts = []
    while True:
        try:
            s.close()
            break
        except kelvex.error as exc:
            counts.append(assert_refusal(exc, THREADS))
            refused.set()
        # Let the workers run between attempts.
        threads[0].join(0.001)
    check()
    assert s.closed
    assert sorted(released) == list(range(THREADS))
    # No handle lets go before the first refusal.
    assert counts[0] == THREADS
    assert counts == sorted(counts, reverse=True)
    gc.collect()
    assert all(ref() is None for ref in refs)
    # Every reference a handle took to the share was given back.
    share_ref = weakref.ref(s)
    del s
    assert share_ref() is None


def test_busy_handles_refuse_then_idle_ones_detach(http_server):
    """Every worker sits inside its own transfer: close() refuses with all of
    them counted, even though the share detaches idle handles. Once they
    are idle, close() detaches them all and they go on working alone."""
    s = CurlShare()
    s.share(kelvex.LOCK_DATA_COOKIE, kelvex.LOCK_DATA_DNS)
    inside = threading.Barrier(THREADS + 1)
    resume = threading.Event()
    finished = threading.Barrier(THREADS + 1)
    closed = threading.Event()
    after = [None] * THREADS
    handles = [kelvex.Curl() for _ in range(THREADS)]
    for c in handles:
        c.setopt(kelvex.SHARE, s)

    def work(index):
        c = handles[index]
        chunks = []

        def write(data):
            if not chunks:
                inside.wait(WAIT_TIMEOUT)
                assert resume.wait(WAIT_TIMEOUT)
            chunks.append(data)

        c.setopt(kelvex.WRITEFUNCTION, write)
        c.setopt(kelvex.URL, f"{http_server.url}/get?w={index}")
        c.perform()
        assert json.loads(b"".join(chunks))["args"] == {"w": str(index)}
        finished.wait(WAIT_TIMEOUT)
        assert closed.wait(WAIT_TIMEOUT)
        after[index] = (c.share(), json.loads(get(c, f"{http_server.url}/get?a={index}"))["args"])
        c.close()

    threads, check = start_workers(work)
    inside.wait(WAIT_TIMEOUT)
    with pytest.raises(kelvex.error) as excinfo:
        s.close()
    assert assert_refusal(excinfo.value, THREADS) == THREADS
    assert not s.closed
    resume.set()
    finished.wait(WAIT_TIMEOUT)
    s.close()
    assert s.closed
    closed.set()
    check()
    assert after == [(None, {"a": str(i)}) for i in range(THREADS)]
