"""Progress and notification callbacks: progress and transfer information,
the debug trace, the pre-request hook, FTP wildcard matching, the start of
name resolution and the trailers of a chunked upload; their arguments, how
their results steer libcurl, and how errors raised in them end up."""

import logging
import sys
import threading
import warnings

import pytest
from conftest import BODY_LEN, body_url, expected_body, run_to_end

import kelvex


def setopt_quietly(c, option, value):
    # PROGRESSFUNCTION warns on every setopt; that is tested in test_setopt.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        c.setopt(option, value)


# ---------------------------------------------------------------------------
# Servers: FTP for wildcard matching, a raw socket for chunked uploads
# ---------------------------------------------------------------------------

FTP_FILES = {"alpha.txt": b"first file\n", "bravo.txt": b"second file\n", "charlie.log": b"log\n"}


@pytest.fixture(scope="module")
def ftp_server(tmp_path_factory):
    """An anonymous, read-only FTP server on 127.0.0.1 serving FTP_FILES
    under /files; ``.url`` is the folder's URL with a trailing slash."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    root = tmp_path_factory.mktemp("ftp")
    (root / "files").mkdir()
    for name, data in FTP_FILES.items():
        (root / "files" / name).write_bytes(data)
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(str(root))
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    server = FTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2},
                              daemon=True)
    thread.start()
    server.url = f"ftp://127.0.0.1:{server.address[1]}/files/"
    yield server
    server.close_all()
    thread.join(10)


def _read_chunked_request(sock):
    """Reads one request with a chunked body, trailers included; returns the
    bytes seen, or what came before the peer hung up."""
    data = b""
    while True:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            last_chunk = data.find(b"\r\n0\r\n", head_end)
            if last_chunk >= 0 and data.find(b"\r\n\r\n", last_chunk + 2) >= 0:
                return data, True
        chunk = sock.recv(65536)
        if not chunk:
            return data, False
        data += chunk


@pytest.fixture
def chunked_sink(raw_server):
    """A raw HTTP server that takes chunked uploads: ``.url`` and
    ``.requests`` (the bytes of each complete request)."""

    class Sink:
        requests = []

    def handle(sock):
        data, complete = _read_chunked_request(sock)
        if complete:
            Sink.requests.append(data)
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    Sink.url = f"http://127.0.0.1:{raw_server(handle)}/upload"
    return Sink


def arrange_chunked_upload(c, url, body=b"payload"):
    pieces = [body]
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.UPLOAD, 1)
    c.setopt(kelvex.READFUNCTION, lambda size: pieces.pop() if pieces else b"")
    # No "Expect: 100-continue" round trip: the sink answers once, at the end.
    c.setopt(kelvex.HTTPHEADER, ["Transfer-Encoding: chunked", "Expect:"])
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)


def trailer_block(request):
    """The trailer lines after the last chunk of a chunked request."""
    tail = request[request.index(b"\r\n0\r\n") + len(b"\r\n0\r\n"):]
    return [line for line in tail.split(b"\r\n") if line]


# ---------------------------------------------------------------------------
# One set-up per callback kind, for the tables that cover them all
# ---------------------------------------------------------------------------


class Env:
    """What a set-up needs: the servers, started only when asked for."""

    def __init__(self, request):
        self._request = request

    def __getattr__(self, name):
        return self._request.getfixturevalue(name)


@pytest.fixture
def env(request):
    return Env(request)


def _http_get(c, env):
    c.setopt(kelvex.URL, body_url(env.http_server))
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)


def _progress(c, env):
    _http_get(c, env)
    c.setopt(kelvex.NOPROGRESS, 0)


def _debug(c, env):
    _http_get(c, env)
    c.setopt(kelvex.VERBOSE, 1)


def _fnmatch(c, env):
    c.setopt(kelvex.URL, env.ftp_server.url + "*.txt")
    c.setopt(kelvex.WILDCARDMATCH, 1)
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)


def _trailer(c, env):
    arrange_chunked_upload(c, env.chunked_sink.url)


# name: (option, set-up, what the callable returns to let the transfer go on)
KINDS = {
    "progress": ("PROGRESSFUNCTION", _progress, None),
    "xferinfo": ("XFERINFOFUNCTION", _progress, None),
    "debug": ("DEBUGFUNCTION", _debug, None),
    "prereq": ("PREREQFUNCTION", _http_get, kelvex.PREREQFUNC_OK),
    "fnmatch": ("FNMATCH_FUNCTION", _fnmatch, kelvex.FNMATCHFUNC_MATCH),
    "resolver_start": ("RESOLVER_START_FUNCTION", _http_get, None),
    "trailer": ("TRAILERFUNCTION", _trailer, None),
}


def arrange(kind, c, env, callable_):
    option, set_up, _ = KINDS[kind]
    set_up(c, env)
    setopt_quietly(c, getattr(kelvex, option), callable_)


def recorder(kind):
    calls = []
    answer = KINDS[kind][2]

    def callback(*args):
        calls.append(args)
        return answer

    return calls, callback


@pytest.mark.parametrize("kind", KINDS)
def test_each_callable_is_called_and_lets_the_transfer_finish(curl, env, kind):
    calls, callback = recorder(kind)
    arrange(kind, curl, env, callback)
    curl.perform()
    assert calls


@pytest.mark.parametrize("remove", ["none", "unsetopt"])
@pytest.mark.parametrize("kind", KINDS)
def test_removed_callable_is_no_longer_called(curl, env, kind, remove):
    calls, callback = recorder(kind)
    arrange(kind, curl, env, callback)
    option = getattr(kelvex, KINDS[kind][0])
    if remove == "none":
        curl.setopt(option, None)
        curl.setopt(option, None)  # a second reset is fine too
    else:
        curl.unsetopt(option)
    curl.perform()
    assert calls == []


@pytest.mark.parametrize("kind", KINDS)
def test_duplicate_calls_the_callable_after_the_source_is_gone(env, kind):
    calls, callback = recorder(kind)
    source = kelvex.Curl()
    arrange(kind, source, env, callback)
    copy = source.duphandle()
    # The copy's data pointers must lead to the copy, not to the source.
    source.close()
    del source
    try:
        copy.perform()
    finally:
        copy.close()
    assert calls


# How an exception raised inside each callable ends: "printed" means the
# traceback goes to stderr and the callable's failure value steers libcurl
# (None: the transfer completes anyway); "raised" means it stays pending and
# perform() raises it in place of libcurl's code.
VALUE_ERROR_OUTCOMES = {
    "progress": ("printed", kelvex.E_ABORTED_BY_CALLBACK),
    "xferinfo": ("printed", kelvex.E_ABORTED_BY_CALLBACK),
    "debug": ("printed", None),
    "prereq": ("raised", None),
    "fnmatch": ("raised", None),
    "resolver_start": ("printed", kelvex.E_ABORTED_BY_CALLBACK),
    "trailer": ("printed", kelvex.E_ABORTED_BY_CALLBACK),
}


class Boom(ValueError):
    pass


@pytest.mark.parametrize("kind", KINDS)
def test_exception_in_callable(curl, env, perform_expect, kind):
    def callback(*args):
        raise Boom(f"{kind} went wrong")

    arrange(kind, curl, env, callback)
    how, code = VALUE_ERROR_OUTCOMES[kind]
    if how == "raised":
        perform_expect(curl, Boom)
        return
    err = perform_expect(curl, "ok" if code is None else code, f"Boom: {kind} went wrong")
    assert "Traceback" in err


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("kind", KINDS)
def test_base_exception_in_callable_reaches_perform(curl, env, perform_expect, kind, exc):
    calls = []

    def callback(*args):
        calls.append(args)
        raise exc

    arrange(kind, curl, env, callback)
    perform_expect(curl, exc)
    # The pending exception makes every later callback of the transfer step
    # aside instead of running Python code on top of it.
    assert len(calls) == 1


def test_callables_of_handles_driven_by_a_multi(env):
    # The callbacks re-attach through the multi's thread state, and each
    # answer steers only its own transfer.
    stopped, finished = kelvex.Curl(), kelvex.Curl()
    stops, traces, prereqs = [], [], []
    arrange("xferinfo", stopped, env, lambda *args: stops.append(args) or 1)
    arrange("debug", finished, env, lambda t, data: traces.append(t))
    finished.setopt(kelvex.PREREQFUNCTION, lambda *args: prereqs.append(args) or 0)
    m = kelvex.CurlMulti()
    try:
        for c in (stopped, finished):
            m.add_handle(c)
        run_to_end(m)
        _, ok, failed = m.info_read()
        assert ok == [finished]
        assert [(c, code) for c, code, _ in failed] == [(stopped, kelvex.E_ABORTED_BY_CALLBACK)]
    finally:
        m.close()
        stopped.close()
        finished.close()
    assert len(stops) == 1
    assert kelvex.INFOTYPE_HEADER_OUT in traces
    assert len(prereqs) == 1


def test_transfers_on_two_threads_keep_their_callables_apart(http_server):
    # Each callback re-attaches with the thread state of the thread whose
    # perform() runs its handle.
    results = {}

    def run(name, n):
        seen = {"threads": set(), "progress": []}
        c = kelvex.Curl()
        try:
            c.setopt(kelvex.URL, body_url(http_server, n))
            c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
            c.setopt(kelvex.NOPROGRESS, 0)
            c.setopt(kelvex.VERBOSE, 1)

            def xferinfo(*args):
                seen["threads"].add(threading.get_ident())
                seen["progress"].append(args)

            c.setopt(kelvex.XFERINFOFUNCTION, xferinfo)
            c.setopt(kelvex.DEBUGFUNCTION,
                     lambda t, data: seen["threads"].add(threading.get_ident()))
            for _ in range(5):
                c.perform()
        finally:
            c.close()
        results[name] = (threading.get_ident(), seen)

    threads = [threading.Thread(target=run, args=(name, n))
               for name, n in (("small", 1000), ("large", 50000))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, n in (("small", 1000), ("large", 50000)):
        ident, seen = results[name]
        assert seen["threads"] == {ident}
        assert seen["progress"][-1][:2] == (n, n)


class Marker:
    """A result that each callable hands back, to count its references."""

    def __bool__(self):
        return False

    def __iter__(self):
        return iter(())


RESULT_HOLDERS = {
    # kind: how the marker is returned, so that libcurl sees "go on"
    "progress": lambda marker: marker,
    "xferinfo": lambda marker: marker,
    "debug": lambda marker: marker,
    "trailer": lambda marker: [b"X-Marker: 1"],
}


@pytest.mark.parametrize("kind", RESULT_HOLDERS)
def test_callables_leak_neither_arguments_nor_results(curl, env, kind):
    marker = Marker()
    wrap = RESULT_HOLDERS[kind]
    kept = []

    def callback(*args):
        kept.append(args)
        return wrap(marker)

    arrange(kind, curl, env, callback)
    before = sys.getrefcount(marker)
    curl.perform()
    curl.perform()
    assert kept
    assert sys.getrefcount(marker) == before
    # Only the list above holds the arguments each call received (small ints
    # and one-byte bytes are shared singletons and not counted).
    control = (float("nan"),)  # held like the arguments: by one tuple only
    fresh = [arg for args in kept[-3:] + [control] for arg in args
             if not (isinstance(arg, int) and arg <= 256)
             and not (isinstance(arg, bytes) and len(arg) <= 1)]
    counts = [sys.getrefcount(arg) for arg in fresh]
    assert len(counts) > 1 or kind == "trailer"  # the trailer callable takes none
    assert set(counts) == {counts[-1]}


# ---------------------------------------------------------------------------
# Progress and transfer information
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("option, number_type", [("PROGRESSFUNCTION", float),
                                                 ("XFERINFOFUNCTION", int)])
def test_progress_arguments(curl, http_server, option, number_type):
    calls = []
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.NOPROGRESS, 0)
    setopt_quietly(curl, getattr(kelvex, option), lambda *args: calls.append(args))
    curl.perform()

    assert calls
    assert all(len(args) == 4 and all(type(v) is number_type for v in args) for args in calls)
    dltotal, dlnow, ultotal, ulnow = calls[-1]
    assert (dltotal, dlnow, ultotal, ulnow) == (BODY_LEN, BODY_LEN, 0, 0)
    assert [args[1] for args in calls] == sorted(args[1] for args in calls)


@pytest.mark.parametrize("option", ["PROGRESSFUNCTION", "XFERINFOFUNCTION"])
def test_progress_is_silent_while_noprogress_is_on(curl, http_server, option):
    calls = []
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    setopt_quietly(curl, getattr(kelvex, option), lambda *args: calls.append(args))
    curl.perform()  # a new handle starts with NOPROGRESS 1
    assert calls == []
    curl.setopt(kelvex.NOPROGRESS, 0)
    curl.perform()
    assert calls


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


PROGRESS_RESULTS = [
    # (id, result, outcome, text on stderr)
    ("none", None, "ok", None),
    ("zero", 0, "ok", None),
    ("false", False, "ok", None),
    ("empty-list", [], "ok", None),
    ("falsy-object", Truth(False), "ok", None),
    ("one", 1, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("true", True, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("negative", -1, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("str", "stop", kelvex.E_ABORTED_BY_CALLBACK, None),
    ("list", [0], kelvex.E_ABORTED_BY_CALLBACK, None),
    # Not cut to 32 bits, where it would read as 0.
    ("two-to-the-32", 2**32, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("beyond-long", 2**70, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("truth-raises", Truth(ValueError("no truth")), kelvex.E_ABORTED_BY_CALLBACK,
     "ValueError: no truth"),
    ("truth-interrupted", Truth(KeyboardInterrupt()), KeyboardInterrupt, None),
]


@pytest.mark.parametrize("option", ["PROGRESSFUNCTION", "XFERINFOFUNCTION"])
@pytest.mark.parametrize("case", PROGRESS_RESULTS, ids=[case[0] for case in PROGRESS_RESULTS])
def test_progress_results(curl, http_server, perform_expect, option, case):
    _, result, outcome, printed = case
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.NOPROGRESS, 0)
    setopt_quietly(curl, getattr(kelvex, option), lambda *args: result)
    perform_expect(curl, outcome, printed)
    if outcome == "ok":
        assert curl.getinfo(kelvex.SIZE_DOWNLOAD_T) == BODY_LEN


@pytest.mark.parametrize("option", ["PROGRESSFUNCTION", "XFERINFOFUNCTION"])
def test_progress_continue_hands_back_to_libcurls_meter(curl, http_server, c_stderr, option):
    calls = []

    def progress(*args):
        calls.append(args)
        return 0x10000001  # CURL_PROGRESSFUNC_CONTINUE

    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.NOPROGRESS, 0)
    setopt_quietly(curl, getattr(kelvex, option), progress)
    curl.perform()
    assert calls
    assert curl.getinfo(kelvex.SIZE_DOWNLOAD_T) == BODY_LEN
    # libcurl's own meter starts with its column headings.
    assert "% Total" in c_stderr()


@pytest.mark.parametrize("removed, kept", [("PROGRESSFUNCTION", "XFERINFOFUNCTION"),
                                           ("XFERINFOFUNCTION", "PROGRESSFUNCTION")])
def test_progress_and_xferinfo_share_their_data_option(curl, http_server, removed, kept):
    # libcurl has one data option for both; resetting one callable must not
    # leave the other's trampoline without its handle.
    calls = {"PROGRESSFUNCTION": [], "XFERINFOFUNCTION": []}
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.NOPROGRESS, 0)
    for name, record in calls.items():
        setopt_quietly(curl, getattr(kelvex, name), lambda *args, record=record: record.append(args))
    curl.unsetopt(getattr(kelvex, removed))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        curl.perform()
    assert calls[kept]
    assert calls[removed] == []


def test_xferinfo_reports_upload_progress(curl, http_server):
    calls = []
    payload = b"u" * 10000
    curl.setopt(kelvex.URL, f"{http_server.url}/post")
    curl.setopt(kelvex.POSTFIELDS, payload)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.NOPROGRESS, 0)
    curl.setopt(kelvex.XFERINFOFUNCTION, lambda *args: calls.append(args))
    curl.perform()
    assert calls[-1][2:] == (len(payload), len(payload))


# ---------------------------------------------------------------------------
# Debug trace
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("result", [None, 1, "stop", kelvex.E_ABORTED_BY_CALLBACK],
                         ids=["none", "one", "str", "abort-code"])
def test_debug_sees_the_whole_exchange_and_cannot_stop_it(curl, http_server, result):
    seen = {}

    def debug(infotype, data):
        assert type(infotype) is int and type(data) is bytes
        seen.setdefault(infotype, []).append(data)
        return result

    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.VERBOSE, 1)
    curl.setopt(kelvex.DEBUGFUNCTION, debug)
    curl.perform()

    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200
    request = b"".join(seen[kelvex.INFOTYPE_HEADER_OUT])
    assert request.startswith(f"GET /range/{BODY_LEN} HTTP/1.1\r\n".encode())
    assert request.endswith(b"\r\n\r\n")
    assert seen[kelvex.INFOTYPE_HEADER_IN][0].startswith(b"HTTP/1.1 200")
    assert b"".join(seen[kelvex.INFOTYPE_DATA_IN]) == expected_body()
    assert seen[kelvex.INFOTYPE_TEXT]
    assert kelvex.INFOTYPE_DATA_OUT not in seen


def test_debug_sees_tls_records(curl, https_server):
    types = set()
    curl.setopt(kelvex.URL, body_url(https_server, 10))
    curl.setopt(kelvex.CAINFO, https_server.ca_path)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.VERBOSE, 1)
    curl.setopt(kelvex.DEBUGFUNCTION, lambda t, data: types.add(t))
    curl.perform()
    assert {kelvex.INFOTYPE_SSL_DATA_OUT, kelvex.INFOTYPE_SSL_DATA_IN,
            kelvex.INFOTYPE_HEADER_OUT} <= types


def test_debug_sees_the_upload_body(curl, http_server):
    sent = []
    curl.setopt(kelvex.URL, f"{http_server.url}/post")
    curl.setopt(kelvex.POSTFIELDS, b"field=value")
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.VERBOSE, 1)
    curl.setopt(kelvex.DEBUGFUNCTION,
                lambda t, data: sent.append(data) if t == kelvex.INFOTYPE_DATA_OUT else None)
    curl.perform()
    assert b"".join(sent) == b"field=value"


# ---------------------------------------------------------------------------
# Before the request
# ---------------------------------------------------------------------------


def test_prereq_arguments(curl, http_server):
    calls = []

    def prereq(*args):
        calls.append(args)
        return kelvex.PREREQFUNC_OK

    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.PREREQFUNCTION, prereq)
    curl.perform()
    assert calls == [("127.0.0.1", "127.0.0.1", http_server.port,
                      curl.getinfo(kelvex.LOCAL_PORT))]


PREREQ_RESULTS = [
    # (id, result, outcome, text on stderr)
    ("ok", kelvex.PREREQFUNC_OK, "ok", None),
    ("abort", kelvex.PREREQFUNC_ABORT, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("other-int", 7, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("str", "go", kelvex.E_ABORTED_BY_CALLBACK,
     "prereq callback returned 'go' which is not an integer\n"),
    ("none", None, kelvex.E_ABORTED_BY_CALLBACK,
     "prereq callback returned None which is not an integer\n"),
    # Refused instead of cut to 32 bits, where 2**32 would read as OK.
    ("two-to-the-32", 2**32, OverflowError, None),
]


@pytest.mark.parametrize("case", PREREQ_RESULTS, ids=[case[0] for case in PREREQ_RESULTS])
def test_prereq_results(curl, http_server, perform_expect, case):
    _, result, outcome, printed = case
    requests = []
    curl.setopt(kelvex.URL, body_url(http_server))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.VERBOSE, 1)
    curl.setopt(kelvex.DEBUGFUNCTION,
                lambda t, data: requests.append(data) if t == kelvex.INFOTYPE_HEADER_OUT else None)
    curl.setopt(kelvex.PREREQFUNCTION, lambda *args: result)
    perform_expect(curl, outcome, printed)
    if outcome == "ok":
        assert requests
    else:
        # Refused before a byte of the request went out.
        assert requests == []


# ---------------------------------------------------------------------------
# Wildcard matching
# ---------------------------------------------------------------------------


def test_fnmatch_arguments_and_choice(curl, ftp_server):
    calls, body = [], []

    def fnmatch(pattern, name):
        calls.append((pattern, name))
        return kelvex.FNMATCHFUNC_MATCH if name == b"bravo.txt" else kelvex.FNMATCHFUNC_NOMATCH

    curl.setopt(kelvex.URL, ftp_server.url + "*.txt")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, body.append)
    curl.setopt(kelvex.FNMATCH_FUNCTION, fnmatch)
    curl.perform()

    # Asked about every regular file of the listing, the pattern as given.
    assert sorted(calls) == sorted((b"*.txt", name.encode()) for name in FTP_FILES)
    assert b"".join(body) == FTP_FILES["bravo.txt"]


def test_wildcard_download_without_fnmatch_uses_libcurls_matching(curl, ftp_server):
    body = []
    curl.setopt(kelvex.URL, ftp_server.url + "*.txt")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, body.append)
    curl.perform()
    assert b"".join(body) == FTP_FILES["alpha.txt"] + FTP_FILES["bravo.txt"]


# libcurl downloads only the names answered with FNMATCHFUNC_MATCH; with none
# of them matched the transfer ends with "remote file not found".
FNMATCH_RESULTS = [
    # (id, result, text on stderr)
    ("nomatch", kelvex.FNMATCHFUNC_NOMATCH, None),
    ("fail", kelvex.FNMATCHFUNC_FAIL, None),
    ("str", "yes", "fnmatch callback returned 'yes' which is not an integer\n"),
    ("bytes", b"\xff", "fnmatch callback returned b'\\xff' which is not an integer\n"),
    ("beyond-int", 2**32, None),
]


@pytest.mark.parametrize("case", FNMATCH_RESULTS, ids=[case[0] for case in FNMATCH_RESULTS])
def test_fnmatch_results(curl, ftp_server, perform_expect, case):
    _, result, printed = case
    body = []
    curl.setopt(kelvex.URL, ftp_server.url + "*")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, body.append)
    curl.setopt(kelvex.FNMATCH_FUNCTION, lambda pattern, name: result)
    # Beyond int: refused instead of cut to 32 bits, where it would read as a
    # match.
    beyond_int = isinstance(result, int) and result > 2
    perform_expect(curl, OverflowError if beyond_int else kelvex.E_REMOTE_FILE_NOT_FOUND, printed)
    assert body == []


# ---------------------------------------------------------------------------
# Start of name resolution
# ---------------------------------------------------------------------------


RESOLVER_START_RESULTS = [
    # (id, result, outcome, text on stderr)
    ("none", None, "ok", None),
    ("zero", 0, "ok", None),
    ("one", 1, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("true", True, kelvex.E_ABORTED_BY_CALLBACK, None),
    ("str", "stop", kelvex.E_ABORTED_BY_CALLBACK,
     "resolver_start callback returned 'stop' which is not an integer\n"),
    ("beyond-int", 2**32, kelvex.E_ABORTED_BY_CALLBACK, "OverflowError"),
]


@pytest.mark.parametrize("case", RESOLVER_START_RESULTS,
                         ids=[case[0] for case in RESOLVER_START_RESULTS])
def test_resolver_start_results(curl, http_server, perform_expect, case):
    _, result, outcome, printed = case
    calls = []

    def resolver_start(*args):
        calls.append(args)
        return result

    curl.setopt(kelvex.URL, body_url(http_server).replace("127.0.0.1", "localhost"))
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.RESOLVER_START_FUNCTION, resolver_start)
    perform_expect(curl, outcome, printed)
    assert calls == [()]


# ---------------------------------------------------------------------------
# Trailing headers
# ---------------------------------------------------------------------------


TRAILER_RESULTS = [
    # (id, result, trailer lines sent, or the text printed when aborted)
    ("two-lines", ["X-Checksum: 1234", b"X-Signed: yes"], [b"X-Checksum: 1234", b"X-Signed: yes"]),
    ("tuple", ("X-One: 1",), [b"X-One: 1"]),
    ("empty-list", [], []),
    ("empty-tuple", (), []),
    ("none", None, []),
    ("dict", {"X-Checksum": "1234"},
     "trailer callback must return None or a list/tuple of header strings"),
    ("str", "X-Checksum: 1234",
     "trailer callback must return None or a list/tuple of header strings"),
    ("non-text-item", ["X-Ok: 1", 5],
     "list items must be byte strings or Unicode strings with ASCII code points only"),
    ("non-ascii-item", ["X-Name: caf\u00e9"], "UnicodeEncodeError"),
]


@pytest.mark.parametrize("case", TRAILER_RESULTS, ids=[case[0] for case in TRAILER_RESULTS])
def test_trailer_results(curl, chunked_sink, perform_expect, case):
    _, result, expected = case
    calls = []

    def trailer(*args):
        calls.append(args)
        return result

    arrange_chunked_upload(curl, chunked_sink.url, b"chunked body")
    curl.setopt(kelvex.TRAILERFUNCTION, trailer)
    if isinstance(expected, list):
        perform_expect(curl, "ok")
        assert calls == [()]
        [request] = chunked_sink.requests
        assert b"chunked body" in request
        assert trailer_block(request) == expected
    else:
        perform_expect(curl, kelvex.E_ABORTED_BY_CALLBACK, expected)
        assert chunked_sink.requests == []


def test_xferinfo_may_unpause_the_transfer_it_watches(curl, http_server):
    # libcurl's way to resume a paused easy transfer: unpause from the
    # progress callable, which runs while the body is held back.
    size = 64 * 1024
    chunks, paused, unpaused = [], [], []

    def write(data):
        if not paused:
            paused.append(len(data))
            return kelvex.WRITEFUNC_PAUSE
        chunks.append(data)

    def xferinfo(*args):
        if paused and not unpaused:
            unpaused.append(args)
            curl.unpause()

    curl.setopt(kelvex.URL, body_url(http_server, size))
    curl.setopt(kelvex.WRITEFUNCTION, write)
    curl.setopt(kelvex.NOPROGRESS, 0)
    curl.setopt(kelvex.XFERINFOFUNCTION, xferinfo)
    curl.perform()
    assert len(unpaused) == 1
    assert b"".join(chunks) == expected_body(size)


# ---------------------------------------------------------------------------
# Chunk callables of wildcard transfers
# ---------------------------------------------------------------------------


def test_chunk_callables_frame_each_matching_file(curl, ftp_server):
    events = []

    def begin(info, remains):
        assert isinstance(info, kelvex.CurlFileInfo)
        events.append(("begin", info.filename, info.filetype, info.size, remains))

    curl.setopt(kelvex.URL, ftp_server.url + "*.txt")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: events.append(("data", data)))
    curl.setopt(kelvex.CHUNK_BGN_FUNCTION, begin)
    curl.setopt(kelvex.CHUNK_END_FUNCTION, lambda: events.append(("end",)))
    curl.perform()
    # Each matching file: announced with what the listing says and how many
    # files are left, its data, then its end.
    assert events == [
        ("begin", b"alpha.txt", kelvex.FILETYPE_FILE, 11, 2),
        ("data", FTP_FILES["alpha.txt"]), ("end",),
        ("begin", b"bravo.txt", kelvex.FILETYPE_FILE, 12, 1),
        ("data", FTP_FILES["bravo.txt"]), ("end",),
    ]


@pytest.mark.parametrize("answer, downloaded", [
    (kelvex.CHUNK_BGN_FUNC_SKIP, []), (kelvex.CHUNK_BGN_FUNC_OK, ["alpha.txt", "bravo.txt"])])
def test_chunk_begin_may_skip_files(curl, ftp_server, answer, downloaded):
    body = []
    curl.setopt(kelvex.URL, ftp_server.url + "*.txt")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, body.append)
    curl.setopt(kelvex.CHUNK_BGN_FUNCTION, lambda info, remains: answer)
    curl.perform()
    assert b"".join(body) == b"".join(FTP_FILES[name] for name in downloaded)


def test_a_failing_chunk_begin_ends_the_transfer(curl, ftp_server, perform_expect):
    def boom(info, remains):
        raise KeyError("chunk refused")

    curl.setopt(kelvex.URL, ftp_server.url + "*.txt")
    curl.setopt(kelvex.WILDCARDMATCH, 1)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.setopt(kelvex.CHUNK_BGN_FUNCTION, boom)
    curl.setopt(kelvex.CHUNK_END_FUNCTION, lambda: None)
    perform_expect(curl, kelvex.E_CHUNK_FAILED, "KeyError: 'chunk refused'")
    # Dropping the begin callable keeps the end one working: the two share
    # libcurl's user data.
    ends = []
    curl.setopt(kelvex.CHUNK_BGN_FUNCTION, None)
    curl.setopt(kelvex.CHUNK_END_FUNCTION, lambda: ends.append(1))
    curl.perform()
    assert ends == [1, 1]
