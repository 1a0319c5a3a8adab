"""HTTP/2 server push through M_PUSHFUNCTION, against a small h2 server of
the suite (cleartext HTTP/2 with prior knowledge) that pushes /pushed.css
with every answer to /index."""

import select
import time

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import pytest

import kelvex
from conftest import run_to_end

INDEX = b"<html>index</html>" * 50
PUSHED = bytes(range(256)) * 40


def serve_h2(sock):
    try:
        serve_connection(sock)
    except (BrokenPipeError, ConnectionResetError):
        pass  # the client went first


def serve_connection(sock):
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False,
                                                                header_encoding="utf-8"))
    conn.initiate_connection()
    sock.sendall(conn.data_to_send())
    while True:
        data = sock.recv(65535)
        if not data:
            return
        try:
            events = conn.receive_data(data)
        except h2.exceptions.ProtocolError:
            return
        for event in events:
            if isinstance(event, h2.events.RequestReceived):
                answer(conn, event)
            elif isinstance(event, h2.events.ConnectionTerminated):
                sock.sendall(conn.data_to_send())
                return
        out = conn.data_to_send()
        if out:
            sock.sendall(out)


def answer(conn, event):
    headers = dict(event.headers)
    stream = event.stream_id
    if headers[":path"] == "/index" and conn.remote_settings.enable_push:
        promised = conn.get_next_available_stream_id()
        conn.push_stream(stream, promised, [
            (":method", "GET"), (":scheme", "http"), (":authority", headers[":authority"]),
            (":path", "/pushed.css"), ("x-pushed-by", "suite"), (b"x-label", b"caf\xe9 \xff")])
        send(conn, stream, INDEX)
        try:
            send(conn, promised, PUSHED)
        except h2.exceptions.StreamClosedError:
            pass  # the client refused the push
    else:
        send(conn, stream, INDEX if headers[":path"] == "/index" else b"")


def send(conn, stream, body):
    conn.send_headers(stream, [(":status", "200"), ("content-length", str(len(body)))])
    conn.send_data(stream, body, end_stream=True)


@pytest.fixture
def push_url(raw_server):
    return f"http://127.0.0.1:{raw_server(serve_h2)}/index"


@pytest.fixture
def parent(push_url):
    c = kelvex.Curl()
    c.body = []
    c.setopt(kelvex.URL, push_url)
    c.setopt(kelvex.HTTP_VERSION, kelvex.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE)
    c.setopt(kelvex.WRITEFUNCTION, c.body.append)
    yield c
    c.close()


def finished(multi):
    done = []
    while True:
        queued, ok, failed = multi.info_read()
        done += ok + [(c, code) for c, code, _ in failed]
        if queued == 0:
            return done


def refused_push_leaves_the_parent_whole(parent, on_push):
    """Runs `parent` on a multi whose push callable is `on_push`: the
    parent alone finishes, with the whole page."""
    with kelvex.CurlMulti() as multi:
        multi.setopt(kelvex.M_PUSHFUNCTION, on_push)
        multi.add_handle(parent)
        run_to_end(multi)
        assert finished(multi) == [parent]
        multi.remove_handle(parent)
    assert b"".join(parent.body) == INDEX


def test_accepted_push_arrives_on_its_own_curl(parent):
    pushes = []

    def on_push(from_curl, pushed, headers):
        pushed.body = []
        pushed.setopt(kelvex.WRITEFUNCTION, pushed.body.append)
        pushes.append((from_curl, pushed, headers))
        return kelvex.PUSH_OK

    with kelvex.CurlMulti(close_handles=True) as multi:
        multi.setopt(kelvex.M_PUSHFUNCTION, on_push)
        multi.add_handle(parent)
        run_to_end(multi)
        [(from_curl, pushed, headers)] = pushes
        assert from_curl is parent
        assert (":path", "/pushed.css") in headers and ("x-pushed-by", "suite") in headers
        assert set(finished(multi)) == {parent, pushed}
        assert pushed.multi() is multi
        assert b"".join(pushed.body) == PUSHED
        assert pushed.getinfo(kelvex.EFFECTIVE_URL).endswith("/pushed.css")
    assert b"".join(parent.body) == INDEX
    assert pushed.closed


@pytest.mark.parametrize("answer", [kelvex.PUSH_DENY, None, "nonsense", RuntimeError])
def test_refused_push_is_freed_by_libcurl_and_the_parent_goes_on(parent, answer, capfd):
    kept = []

    def on_push(from_curl, pushed, headers):
        kept.append(pushed)
        if answer is RuntimeError:
            raise RuntimeError("push refused here")
        return answer

    refused_push_leaves_the_parent_whole(parent, on_push)
    [pushed] = kept
    assert pushed.closed and pushed.multi() is None
    if answer is RuntimeError:
        assert "RuntimeError: push refused here" in capfd.readouterr().err


def test_the_pushed_curl_cannot_be_closed_or_reset_inside_the_callable(parent):
    refusals = []

    def on_push(from_curl, pushed, headers):
        for method in (pushed.close, pushed.reset):
            try:
                method()
            except kelvex.error as exc:
                refusals.append(str(exc))
        return kelvex.PUSH_DENY

    refused_push_leaves_the_parent_whole(parent, on_push)
    assert refusals == ["cannot invoke close() - the push callback is running",
                        "cannot invoke reset() - the push callback is running"]


def test_without_a_push_callable_the_server_may_not_push(parent):
    with kelvex.CurlMulti() as multi:
        multi.add_handle(parent)
        run_to_end(multi)
        assert finished(multi) == [parent]
        multi.setopt(kelvex.M_PUSHFUNCTION, lambda *args: kelvex.PUSH_OK)
        multi.setopt(kelvex.M_PUSHFUNCTION, None)
        multi.remove_handle(parent)
    assert b"".join(parent.body) == INDEX


def test_pushed_stream_comes_back_from_an_event_core(parent):
    """Under an EventCore the accepted stream ends like a transfer added
    without a waiter, and leaves the multi; the parent's body is collected
    by the core, which the pushed copy must not inherit."""
    pushes = []

    def on_push(from_curl, pushed, headers):
        pushed.body = []
        pushed.setopt(kelvex.WRITEFUNCTION, pushed.body.append)
        pushes.append(pushed)
        return kelvex.PUSH_OK

    multi = kelvex.CurlMulti()
    multi.setopt(kelvex.M_PUSHFUNCTION, on_push)
    with kelvex.EventCore(multi) as core:
        core.add(parent, None, True)
        results = {}
        deadline = time.monotonic() + 60
        while len(results) < 2 and time.monotonic() < deadline:
            select.select([core.fileno()], [], [], 1)
            results.update(core.process())
        [pushed] = pushes
        assert results == {parent: INDEX, pushed: None}
        assert b"".join(pushed.body) == PUSHED
        assert parent not in multi and pushed not in multi and len(core) == 0
    multi.close()
    pushed.close()


@pytest.mark.parametrize("call", [
    lambda pushed, other: pushed.perform(),
    lambda pushed, other: pushed.perform_rb(),
    lambda pushed, other: other.add_handle(pushed),
], ids=["perform", "perform_rb", "add_handle"])
def test_the_pushed_curl_cannot_run_or_join_another_multi_inside_the_callable(parent, call):
    refusals = []

    def on_push(from_curl, pushed, headers):
        pushed.body = []
        pushed.setopt(kelvex.WRITEFUNCTION, pushed.body.append)
        try:
            call(pushed, other)
        except kelvex.error as exc:
            refusals.append(exc.args)
        pushes.append(pushed)
        return kelvex.PUSH_OK

    pushes = []
    with kelvex.CurlMulti() as other, kelvex.CurlMulti(close_handles=True) as multi:
        multi.setopt(kelvex.M_PUSHFUNCTION, on_push)
        multi.add_handle(parent)
        run_to_end(multi)
        [pushed] = pushes
        assert set(finished(multi)) == {parent, pushed}
        assert pushed.multi() is multi
        assert b"".join(pushed.body) == PUSHED
    assert len(refusals) == 1 and "the push callback is running" in str(refusals[0])


@pytest.mark.parametrize("tie", ["share", "mime"])
def test_a_refused_push_lets_go_of_what_the_callable_tied_it_to(parent, tie):
    def on_push(from_curl, pushed, headers):
        if tie == "share":
            pushed.setopt(kelvex.SHARE, kelvex.CurlShare())
        else:
            mime = kelvex.CurlMime(pushed)
            mime.add_field("field", b"unsent")
            pushed.setopt(kelvex.MIMEPOST, mime)
        return kelvex.PUSH_DENY

    refused_push_leaves_the_parent_whole(parent, on_push)


def test_pushed_header_values_keep_every_byte(parent):
    seen = []

    def on_push(from_curl, pushed, headers):
        seen.extend(headers)
        return kelvex.PUSH_DENY

    refused_push_leaves_the_parent_whole(parent, on_push)
    assert ("x-label", "caf\xe9 \xff") in seen
