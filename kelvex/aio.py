"""libcurl transfers awaited on an asyncio event loop.

A :class:`Multi` owns a :class:`kelvex.CurlMulti` and the
:class:`kelvex.EventCore` that drives it: libcurl's sockets and timer are
handled in C++, the loop watches the core's one descriptor with
``add_reader``, and each finished transfer resolves its future from C++::

    async with kelvex.aio.Multi() as multi:
        chunks = []
        c = kelvex.Curl()
        c.setopt(kelvex.URL, "http://127.0.0.1:8080/")
        c.setopt(kelvex.WRITEFUNCTION, chunks.append)
        await multi.perform(c)
        body = await multi.perform_rb(c)  # the body, collected in C++

A ``Multi`` belongs to one event loop, the one running when it is first
used; each thread runs its own loop with its own ``Multi``.  It works on the
standard loop and on any loop with ``add_reader`` (uvloop too), on Linux
(epoll).
"""

from __future__ import annotations

import asyncio
import inspect
import weakref
from asyncio import Future
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine
from types import TracebackType
from typing import Any, NamedTuple, Self

from . import _kelvex
from ._kelvex import Curl, CurlMulti, EventCore

__all__ = ["Multi", "BodyStream"]

_PAUSE_RECV = _kelvex.PAUSE_RECV


class Multi:
    """Runs ``Curl`` transfers concurrently on the running event loop.

    ``max_transfers`` caps the transfers in flight at once (``None``: no
    cap); further ``perform`` calls wait for a free slot in call order.
    The underlying ``CurlMulti`` is :attr:`curl_multi`, for its options
    (connection limits, pipelining...); the ``EventCore`` of this object
    drives it, so its driving methods and its socket and timer callables
    are refused.
    """

    # __dict__ holds the per-instance perform and perform_rb of an object
    # without a cap (see _arm).
    __slots__ = ("_multi", "_core", "_loop", "_watching", "_slots", "_closed", "_starter",
                 "__weakref__", "__dict__")

    def __init__(self, *, max_transfers: int | None = None) -> None:
        if max_transfers is not None and max_transfers < 1:
            raise ValueError("max_transfers must be at least 1")
        # A slot is taken before a transfer starts and given back when its
        # future is done; the semaphore binds to the loop on first use.
        self._slots = asyncio.Semaphore(max_transfers) if max_transfers is not None else None
        self._closed = False
        self._watching = False  # the loop watches the core's descriptor
        self._multi = CurlMulti()
        self._core = EventCore(self._multi)
        self._starter = self._start
        try:
            self._loop: asyncio.AbstractEventLoop | None = asyncio.get_running_loop()
        except RuntimeError:
            self._loop = None  # bound on first use
        else:
            self._watch(self._loop)
        self._arm()

    # ------------------------------------------------------------------
    # Public interface

    @property
    def curl_multi(self) -> CurlMulti:
        """The ``CurlMulti`` driven by this object."""
        return self._multi

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def in_flight(self) -> int:
        """The number of transfers running now (not counting waiters)."""
        return len(self._core)

    def perform(self, curl: Curl) -> Coroutine[Any, Any, None]:
        """Runs the configured transfer of ``curl`` and returns when it has
        ended.  A failed transfer raises ``kelvex.error(code, message)``
        like ``Curl.perform()`` (an exception raised by one of the handle's
        callables is printed, as a ``CurlMulti`` does, and fails the
        transfer with libcurl's error).  When the awaiting task is cancelled, the
        handle leaves the multi at once (libcurl closes a connection whose
        transfer was cut) and ``curl`` can be used again."""
        if self._slots is None:
            # The core's own coroutine: _start() runs only when the loop
            # is not the one this object is bound to, or it is closed.
            return self._core.awaitable(curl, self._loop, False, self._starter)
        return self._run_capped(curl, False)

    def perform_rb(self, curl: Curl) -> Coroutine[Any, Any, bytes]:
        """``perform()`` that returns the response body, collected in C++
        rather than handed to the handle's write target (which is left as
        it was, and takes the body again in later transfers)."""
        if self._slots is None:
            return self._core.awaitable(curl, self._loop, True, self._starter)
        return self._run_capped(curl, True)

    async def perform_rs(self, curl: Curl) -> str:
        """``perform_rb()`` with the body decoded as UTF-8."""
        return (await self.perform_rb(curl)).decode("utf-8")

    def stream(self, curl: Curl, *, high_water: int = 1 << 20) -> BodyStream:
        """An async iterator over the response body of ``curl``'s transfer,
        in the chunks libcurl delivers (``bytes``).  The transfer starts at
        the first iteration (or on ``async with``) and pauses while more
        than ``high_water`` bytes wait for the consumer, so memory stays
        bounded however large the body.  The stream sets ``curl``'s
        ``WRITEFUNCTION``.  Leaving ``async with`` (or ``aclose()``) before
        the end cuts the transfer, and so does dropping the stream (an
        ``async for`` left by ``break``): the handle is given back."""
        return BodyStream(_Transfers(self._begin, self._abort), curl, high_water)

    def close(self) -> None:
        """Cuts every transfer in flight (their awaiting tasks get
        ``RuntimeError``), stops watching sockets and timers and closes the
        ``CurlMulti``.  The handles stay open and usable.  Safe to call
        more than once, and after the loop has closed."""
        if self._closed:
            return
        self._closed = True
        loop = self._loop
        alive = loop is not None and not loop.is_closed()
        if alive and loop is not None and self._watching:
            loop.remove_reader(self._core.fileno())
        self._watching = False
        cut = self._core.close()
        for _, future in cut:
            # Each gives its slot back as it ends, waking a waiter, which
            # then finds the object closed and passes the slot on.
            if alive and future is not None and not future.done():
                future.set_exception(
                    RuntimeError("kelvex.aio.Multi was closed during the transfer"))
        self._multi.close()

    async def __aenter__(self) -> Self:
        self._bind()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._core)} in flight"
        return f"<kelvex.aio.Multi {state}>"

    # ------------------------------------------------------------------
    # Loop binding

    def _bind(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if loop is not self._loop:
            if self._loop is None:
                self._loop = loop
                self._watch(loop)
                self._arm()
            elif self._loop.is_closed():
                raise RuntimeError("kelvex.aio.Multi: the event loop it belongs to is closed")
            else:
                raise RuntimeError("kelvex.aio.Multi belongs to another event loop "
                                   "(make one per loop, and so one per thread)")
        if self._closed:
            raise RuntimeError("kelvex.aio.Multi is closed")
        return loop

    def _arm(self) -> None:
        # Without a cap, perform() and perform_rb() are the core's own
        # callables, bound to the loop: each call makes the transfer's
        # coroutine in C++, with no Python function in between. Until a
        # loop is bound they call _start(), which binds it.
        if self._slots is None:
            core, loop, start = self._core, self._loop, self._starter
            self.__dict__["perform"] = core.performer(loop, False, start)
            self.__dict__["perform_rb"] = core.performer(loop, True, start)

    def _watch(self, loop: asyncio.AbstractEventLoop) -> None:
        # The core's descriptor turns readable when any of libcurl's
        # sockets is ready or its timer expires; one callback then does
        # all the work in C++.
        if not self._closed and not self._watching:
            loop.add_reader(self._core.fileno(), self._on_ready)
            self._watching = True

    def _on_ready(self) -> None:
        if self._closed:
            return
        # Every transfer has a future, which the core completes: nothing
        # comes back.
        self._core.process()

    # ------------------------------------------------------------------
    # Starting and ending transfers

    def _start(self, curl: Curl, body: bool) -> Future[Any]:
        """Starts a transfer now and returns the future of its end; under a
        cap, the caller holds a slot for it."""
        loop = asyncio.get_running_loop()
        if loop is not self._loop or self._closed:
            loop = self._bind()
        return self._core.future(curl, loop, body)

    async def _begin(self, curl: Curl, body: bool = False) -> Future[Any]:
        """Starts a transfer, once a slot is free under a cap, and returns
        the future of its end, which holds the slot until it is done."""
        slots = self._slots
        if slots is None:
            return self._start(curl, body)
        self._bind()  # refuses before waiting
        await slots.acquire()
        try:
            if self._closed:
                raise RuntimeError("kelvex.aio.Multi was closed")
            future = self._start(curl, body)
        except BaseException:
            slots.release()
            raise
        future.add_done_callback(self._give_back)
        return future

    async def _run_capped(self, curl: Curl, body: bool) -> Any:
        """A transfer under the cap, from a free slot to its end."""
        future = await self._begin(curl, body)
        try:
            return await future
        except asyncio.CancelledError:
            self._abort(curl)
            raise

    def _give_back(self, _: object) -> None:
        if self._slots is not None:
            self._slots.release()

    def _abort(self, curl: Curl) -> None:
        """The awaiting task was cancelled: the handle leaves the multi now."""
        if not self._closed:
            self._core.remove(curl)


# They return coroutines, as the async methods they stand for did.
inspect.markcoroutinefunction(Multi.perform)
inspect.markcoroutinefunction(Multi.perform_rb)


class _Transfers(NamedTuple):
    """What a BodyStream needs of its Multi: to start a transfer (once a
    slot is free) and to cut it."""

    begin: Callable[[Curl], Awaitable[Future[Any]]]
    cut: Callable[[Curl], None]


class BodyStream(AsyncIterator[bytes]):
    """The body of one transfer as an async iterator of ``bytes`` chunks,
    with back-pressure: see :meth:`Multi.stream`."""

    __slots__ = ("_transfers", "_curl", "_high", "_low", "_chunks", "_buffered", "_paused",
                 "_waiter", "_future", "_started", "_loop", "__weakref__")

    def __init__(self, transfers: _Transfers, curl: Curl, high_water: int) -> None:
        if high_water < 1:
            raise ValueError("high_water must be at least 1")
        self._transfers = transfers
        self._curl = curl
        self._high = high_water
        self._low = high_water // 2
        self._chunks: deque[bytes] = deque()
        self._buffered = 0
        self._paused = False
        self._waiter: asyncio.Future[None] | None = None
        self._future: asyncio.Future[object] | None = None
        self._started = False
        self._loop: asyncio.AbstractEventLoop | None = None

    @property
    def buffered(self) -> int:
        """Bytes received and not yet taken by the consumer."""
        return self._buffered

    @property
    def curl(self) -> Curl:
        return self._curl

    def _write(self, data: bytes) -> None:
        self._chunks.append(data)
        self._buffered += len(data)
        if self._buffered > self._high and not self._paused:
            self._paused = True
            self._curl.pause(_PAUSE_RECV)
        self._wake()

    def _wake(self, _: object = None) -> None:
        waiter = self._waiter
        if waiter is not None:
            self._waiter = None
            if not waiter.done():
                waiter.set_result(None)

    async def _start(self) -> asyncio.Future[object]:
        if self._future is None:
            if self._started:
                raise RuntimeError("the stream was closed before its transfer started")
            self._started = True
            self._loop = asyncio.get_running_loop()
            # The handle and the transfer's future reach the stream only
            # weakly: a stream its consumer dropped is collected, and its
            # finalizer cuts the transfer.
            ref = weakref.ref(self)
            self._curl.setopt(_kelvex.WRITEFUNCTION, _stream_writer(ref))
            future = await self._transfers.begin(self._curl)
            future.add_done_callback(_stream_waker(ref))
            self._future = future
        return self._future

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> bytes:
        future = self._future or await self._start()
        chunks = self._chunks
        while True:
            if chunks:
                chunk = chunks.popleft()
                self._buffered -= len(chunk)
                if self._paused and self._buffered <= self._low:
                    self._paused = False
                    if not future.done():
                        self._curl.unpause()
                return chunk
            if future.done():
                if future.cancelled():
                    raise RuntimeError("the stream was closed")
                exc = future.exception()
                if exc is not None:
                    raise exc
                raise StopAsyncIteration
            waiter = asyncio.get_running_loop().create_future()
            self._waiter = waiter
            await waiter

    async def aclose(self) -> None:
        """Cuts the transfer if it has not ended; buffered chunks are
        dropped."""
        self.close()

    def close(self) -> None:
        """``aclose()`` without awaiting: cuts the transfer now."""
        self._started = True
        future = self._future
        if future is not None and not future.done():
            self._transfers.cut(self._curl)
            future.cancel()
        self._chunks.clear()
        self._buffered = 0

    def __del__(self) -> None:
        # Dropped or collected while its transfer runs (an ``async for``
        # left by ``break`` without ``async with``): the transfer is cut on
        # the stream's loop, which may be another thread's, and the handle
        # given back.
        future = getattr(self, "_future", None)  # None too if __init__ refused
        loop = self._loop if future is not None else None
        if future is None or loop is None or future.done():
            return
        try:
            loop.call_soon_threadsafe(_cut_orphan, self._transfers.cut, self._curl, future)
        except RuntimeError:  # the loop is closed: closing it cut the transfer
            pass

    async def __aenter__(self) -> Self:
        await self._start()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def _stream_writer(ref: weakref.ref[BodyStream]) -> Callable[[bytes], int | None]:
    def write(data: bytes) -> int | None:
        stream = ref()
        if stream is None:
            return 0  # nobody reads any more: a short count fails the transfer
        stream._write(data)
        return None

    return write


def _stream_waker(ref: weakref.ref[BodyStream]) -> Callable[[object], None]:
    def wake(_: object) -> None:
        stream = ref()
        if stream is not None:
            stream._wake()

    return wake


def _cut_orphan(cut: Callable[[Curl], None], curl: Curl, future: Future[Any]) -> None:
    if not future.done():
        cut(curl)
        future.cancel()
