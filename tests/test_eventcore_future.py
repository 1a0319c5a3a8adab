"""EventCore.future(): the future of one transfer on an asyncio loop (the
standard loop, and uvloop when it is installed), against loopback servers."""

import asyncio
import contextvars
import socket
import sys

import pytest

import kelvex
from conftest import body_url, expected_body, loop_factories
from loopback_servers import read_request, wait_for_close

# Bounds every wait below so that a broken build fails instead of hanging;
# nothing here measures speed.
DEADLINE = 60.0


@pytest.fixture(params=list(loop_factories()))
def run(request):
    """run(coroutine function, core): runs it on a fresh loop of the kind
    under test, bounded by DEADLINE; the loop calls core.process() whenever
    the core's descriptor is readable, as kelvex.aio does."""

    def run(fn, core):
        async def bounded():
            loop = asyncio.get_running_loop()
            loop.add_reader(core.fileno(), core.process)
            try:
                async with asyncio.timeout(DEADLINE):
                    return await fn()
            finally:
                loop.remove_reader(core.fileno())

        with asyncio.Runner(loop_factory=request.param) as runner:
            return runner.run(bounded())

    return run


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def silent_url(raw_server):
    """A server that reads the request and answers nothing until the client
    hangs up: the transfer stays in flight."""

    def serve(sock):
        read_request(sock)
        wait_for_close(sock, DEADLINE)

    return f"http://127.0.0.1:{raw_server(serve)}/"


def handle(url):
    c = kelvex.Curl()
    c.setopt(kelvex.URL, url)
    c.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    return c


@pytest.mark.parametrize("outcome", ["none", "body", "failure"])
def test_awaiting_returns_the_outcome(run, core, http_server, outcome):
    url = f"http://127.0.0.1:{closed_port()}/" if outcome == "failure" else body_url(http_server)
    c = handle(url)

    async def main():
        future = core.future(c, asyncio.get_running_loop(), outcome == "body")
        assert asyncio.isfuture(future) and not future.done()
        with pytest.raises(asyncio.InvalidStateError):
            future.result()
        if outcome == "failure":
            with pytest.raises(kelvex.error) as info:
                await future
            assert info.value.args[0] == kelvex.E_COULDNT_CONNECT
            assert future.exception() is info.value
        else:
            got = await future
            assert got == (expected_body() if outcome == "body" else None)
            assert future.result() == got and future.exception() is None
        assert future.done() and not future.cancelled() and len(core) == 0

    run(main, core)


# The waiting task is stepped at once only where asyncio's task wakeup is
# known (CPython 3.13); on any other interpreter it is always scheduled
# with call_soon.
STEPS_TASKS = sys.version_info[:2] == (3, 13)


@pytest.mark.parametrize("driver", ["loop callback", "task"])
def test_the_awaiting_task_resumes_inside_process_only_outside_a_task(run, core, http_server,
                                                                      driver):
    """From a loop callback, the completion runs the waiting task's next step
    before process() returns (on 3.13); from inside a task, which must not
    run another task's step, and on other interpreters, the waiting task is
    only scheduled and resumes after process() has returned."""
    c = handle(body_url(http_server))

    async def main():
        loop = asyncio.get_running_loop()
        loop.remove_reader(core.fileno())  # this test drives the core itself
        future = core.future(c, loop)
        steps = []

        async def waiter():
            await future
            steps.append("resumed")

        task = asyncio.create_task(waiter())
        await asyncio.sleep(0)  # the task waits on the future now
        seen_after_process = []
        finished = loop.create_future()

        def process_once():
            core.process()
            if future.done():
                seen_after_process.append(list(steps))
                loop.remove_reader(core.fileno())
                if not finished.done():
                    finished.set_result(None)

        if driver == "loop callback":
            loop.add_reader(core.fileno(), process_once)
            await finished
        else:
            while not future.done():
                readable = loop.create_future()
                loop.add_reader(core.fileno(), readable.set_result, None)
                await readable
                loop.remove_reader(core.fileno())
                process_once()
        await task
        expected = ["resumed"] if driver == "loop callback" and STEPS_TASKS else []
        assert seen_after_process == [expected] and steps == ["resumed"]

    run(main, core)


def test_callbacks_go_through_the_loop_in_their_context(run, core, http_server):
    c = handle(body_url(http_server))
    var = contextvars.ContextVar("var", default="outside")

    async def main():
        loop = asyncio.get_running_loop()
        future = core.future(c, loop)
        calls = []

        def callback(f):
            calls.append((f, var.get()))

        def dropped(f):
            calls.append("dropped")

        context = contextvars.copy_context()
        context.run(var.set, "given")
        future.add_done_callback(callback, context=context)
        future.add_done_callback(dropped)
        future.add_done_callback(dropped)
        assert future.remove_done_callback(dropped) == 2
        await future
        # Scheduled before the wakeup of this task, which it came before.
        assert calls == [(future, "given")]
        # Once done, a callback is scheduled at once.
        future.add_done_callback(callback)
        assert calls == [(future, "given")]
        await asyncio.sleep(0)
        assert calls == [(future, "given"), (future, "outside")]

    run(main, core)


def test_cancelling_the_future_leaves_the_transfer_to_remove(run, core, raw_server):
    c = handle(silent_url(raw_server))

    async def main():
        loop = asyncio.get_running_loop()
        future = core.future(c, loop)
        calls = []
        future.add_done_callback(calls.append)
        assert future.cancel("stop") and not future.cancel()
        assert future.cancelled() and future.done() and len(core) == 1
        with pytest.raises(asyncio.CancelledError, match="stop"):
            future.result()
        with pytest.raises(asyncio.CancelledError, match="stop"):
            await future
        with pytest.raises(asyncio.InvalidStateError):
            future.set_result(None)
        assert core.remove(c) and len(core) == 0
        await asyncio.sleep(0)
        assert calls == [future]

    run(main, core)


def test_removing_a_callback_whose_comparison_changes_the_callbacks(core, http_server):
    """remove_done_callback() compares with ==, which runs Python code: one
    that removes or adds callbacks of the same future meanwhile leaves the
    registrations consistent (and nothing freed while it is compared)."""
    loop = asyncio.new_event_loop()
    ran = []  # the callbacks called, by number
    try:
        future = core.future(handle(body_url(http_server)), loop)
        first, second, third = [lambda f, n=n: ran.append(n) for n in (1, 2, 3)]
        compared = []

        class Meddling:
            def __eq__(self, other):
                compared.append(other)
                if len(compared) == 2:  # while the list of the later ones is walked
                    assert future.remove_done_callback(second) == 1
                return False

            __hash__ = object.__hash__

        for fn in (first, second, third):
            future.add_done_callback(fn)
        assert future.remove_done_callback(Meddling()) == 0
        assert future.cancel()
        loop.run_until_complete(asyncio.sleep(0))
        assert ran == [1, 3]
    finally:
        core.close()
        loop.close()


def test_a_task_cancelled_while_awaiting_gets_cancelled_error(run, core, raw_server):
    c = handle(silent_url(raw_server))

    async def main():
        future = core.future(c, asyncio.get_running_loop())
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.2):
                await future
        assert future.cancelled()
        assert core.remove(c)

    run(main, core)


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_an_exception_a_stepped_task_lets_through_leaves_process(core, http_server, exception):
    """As from a loop handle: the exception ends the loop's run, and no
    future is left pending by it."""
    handles = [handle(body_url(http_server)) for _ in range(3)]
    loop = asyncio.new_event_loop()
    futures = []
    try:
        async def main():
            futures.extend(core.future(c, loop) for c in handles)
            escaped = []

            async def escape(future):
                await future
                if not escaped:  # the first one to resume
                    escaped.append(future)
                    raise exception

            tasks = [asyncio.create_task(escape(f)) for f in futures]
            loop.add_reader(core.fileno(), core.process)
            await asyncio.gather(*tasks, return_exceptions=True)

        with pytest.raises(exception):
            loop.run_until_complete(asyncio.wait_for(main(), DEADLINE))
        loop.remove_reader(core.fileno())
        # The core goes on: the transfers still running end here.
        while len(core):
            core.process(1.0)
    finally:
        loop.close()
    assert all(f.done() for f in futures) and len(core) == 0



# ---------------------------------------------------------------------------
# EventCore.awaitable(): the coroutine of one transfer


@pytest.mark.parametrize("how", ["await", "task", "gather"])
def test_the_coroutine_runs_like_one(run, core, http_server, how):
    c = handle(body_url(http_server))

    async def main():
        coro = core.awaitable(c, asyncio.get_running_loop(), True)
        assert asyncio.iscoroutine(coro) and len(core) == 0  # nothing before the first step
        if how == "await":
            body = await coro
        elif how == "task":
            body = await asyncio.create_task(coro)
        else:
            (body,) = await asyncio.gather(coro)
        assert body == expected_body() and len(core) == 0
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await coro

    run(main, core)


@pytest.mark.parametrize("leave", ["task cancelled", "throw", "close"])
def test_leaving_the_coroutine_cuts_the_transfer(run, core, raw_server, leave):
    c = handle(silent_url(raw_server))

    async def main():
        coro = core.awaitable(c, asyncio.get_running_loop())
        if leave == "task cancelled":
            task = asyncio.create_task(coro)
            await asyncio.sleep(0)
            assert len(core) == 1
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            future = coro.send(None)  # started: yields the future it waits for
            assert asyncio.isfuture(future) and len(core) == 1
            if leave == "throw":
                with pytest.raises(ValueError, match="thrown"):
                    coro.throw(ValueError("thrown"))
            else:
                coro.close()
        assert len(core) == 0 and c not in core.multi

    run(main, core)


def test_a_performer_is_awaitable_with_its_arguments_bound(run, core, http_server):
    """performer(loop, body, start)(curl) is awaitable(curl, loop, body, start)."""
    c = handle(body_url(http_server))
    asked = []

    def start(curl, body):
        asked.append(body)
        return core.future(curl, asyncio.get_running_loop(), body)

    async def main():
        loop = asyncio.get_running_loop()
        perform_rb = core.performer(loop, True)
        assert "body=True" in repr(perform_rb)
        assert await perform_rb(c) == expected_body()
        assert await core.performer(loop)(c) is None
        # Off the loop it was bound to, start() makes the future.
        assert await core.performer(None, True, start)(c) == expected_body()
        for args, kwargs in [((), {}), ((c, c), {}), ((c,), {"body": True}), (("url",), {})]:
            with pytest.raises(TypeError, match="TransferPerformer takes"):
                perform_rb(*args, **kwargs)
        assert asked == [True] and len(core) == 0

    run(main, core)


def test_start_is_asked_off_the_given_loop(run, core, http_server):
    """With no loop given (or another one), start(curl, body) makes the future;
    what it raises is what awaiting raises."""
    c = handle(body_url(http_server))
    asked = []

    def start(curl, body):
        asked.append((curl, body))
        if len(asked) == 2:
            raise RuntimeError("refused")
        return core.future(curl, asyncio.get_running_loop(), body)

    async def main():
        assert await core.awaitable(c, None, True, start) == expected_body()
        with pytest.raises(RuntimeError, match="refused"):
            await core.awaitable(c, None, False, start)
        with pytest.raises(TypeError, match="non-None value"):
            core.awaitable(c, None, False, start).send(1)
        assert asked == [(c, True), (c, False)] and len(core) == 0

    run(main, core)
