"""libcurl transfers awaited on an asyncio event loop.

A :class:`Multi` owns a :class:`kelvex.CurlMulti` and drives it with
``socket_action``: libcurl's socket callable puts its sockets into an epoll
set that the loop watches with ``add_reader``, its timer callable schedules
the loop's ``call_soon``/``call_at``, and finished transfers are reaped
with ``info_read``::

    async with kelvex.aio.Multi() as multi:
        chunks = []
        c = kelvex.Curl()
        c.setopt(kelvex.URL, "http://127.0.0.1:8080/")
        c.setopt(kelvex.WRITEFUNCTION, chunks.append)
        await multi.perform(c)

A ``Multi`` belongs to one event loop, the one running when it is first
used; each thread runs its own loop with its own ``Multi``.  It works on the
standard loop and on any loop with ``add_reader`` and ``call_at`` (uvloop
too), on Linux (epoll).
"""

from __future__ import annotations

import asyncio
import select
from collections import deque
from collections.abc import AsyncIterator
from types import TracebackType
from typing import Self

from . import _kelvex
from ._kelvex import Curl, CurlMulti, error

__all__ = ["Multi", "BodyStream"]

_POLL_IN = _kelvex.POLL_IN
_POLL_OUT = _kelvex.POLL_OUT
_POLL_REMOVE = _kelvex.POLL_REMOVE
_POLL_INOUT = _kelvex.POLL_IN | _kelvex.POLL_OUT
_CSELECT_IN = _kelvex.CSELECT_IN
_CSELECT_OUT = _kelvex.CSELECT_OUT
_CSELECT_ERR = _kelvex.CSELECT_ERR
_SOCKET_TIMEOUT = _kelvex.SOCKET_TIMEOUT
_PAUSE_RECV = _kelvex.PAUSE_RECV


class Multi:
    """Runs ``Curl`` transfers concurrently on the running event loop.

    ``max_transfers`` caps the transfers in flight at once (``None``: no
    cap); further ``perform`` calls wait for a free slot in call order.
    The underlying ``CurlMulti`` is :attr:`curl_multi`, for its options
    (connection limits, pipelining...); its socket and timer callables
    belong to this object and must not be replaced.
    """

    __slots__ = ("_multi", "_loop", "_transfers", "_epoll", "_watched", "_watching", "_timer",
                 "_timer_when", "_soon", "_limit", "_waiters", "_reserved", "_closed",
                 "__weakref__")

    def __init__(self, *, max_transfers: int | None = None) -> None:
        if max_transfers is not None and max_transfers < 1:
            raise ValueError("max_transfers must be at least 1")
        self._limit = max_transfers
        self._waiters: deque[asyncio.Future[None]] = deque()
        # Waiters woken for a slot that have not yet added their handle.
        self._reserved = 0
        # Curl -> future resolved when its transfer ends.
        self._transfers: dict[Curl, asyncio.Future[None]] = {}
        # libcurl's sockets are watched by an epoll instance of this object,
        # and the loop watches that: see _on_socket.
        self._epoll = select.epoll()
        self._watched: dict[int, int] = {}  # fd -> epoll event mask
        self._watching = False  # the loop watches the epoll instance
        self._timer: asyncio.TimerHandle | None = None
        self._timer_when = 0.0
        self._soon = False
        self._closed = False
        try:
            self._loop: asyncio.AbstractEventLoop | None = asyncio.get_running_loop()
        except RuntimeError:
            self._loop = None  # bound on first use
        self._multi = CurlMulti()
        self._multi.setopt(_kelvex.M_SOCKETFUNCTION, self._on_socket)
        self._multi.setopt(_kelvex.M_TIMERFUNCTION, self._on_timer)

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
        return len(self._transfers)

    async def perform(self, curl: Curl) -> None:
        """Runs the configured transfer of ``curl`` and returns when it has
        ended.  A failed transfer raises ``kelvex.error(code, message)``
        like ``Curl.perform()`` (an exception raised by one of the handle's
        callables is printed, as a ``CurlMulti`` does, and fails the
        transfer with libcurl's error).  When the awaiting task is cancelled, the
        handle leaves the multi at once (libcurl closes a connection whose
        transfer was cut) and ``curl`` can be used again."""
        # _begin's steps, written out: this is the path of every transfer,
        # and an awaited coroutine more per request shows in W7.
        loop = asyncio.get_running_loop()
        if loop is not self._loop or self._closed:
            loop = self._bind()
        if self._limit is not None and len(self._transfers) + self._reserved >= self._limit:
            await self._wait_for_slot(loop)
        future = loop.create_future()
        try:
            self._multi.add_handle(curl)
        except BaseException:
            self._release()
            raise
        self._transfers[curl] = future
        try:
            await future
        except asyncio.CancelledError:
            self._abort(curl)
            raise

    async def _begin(self, curl: Curl) -> asyncio.Future[None]:
        """Starts a transfer whose end resolves the returned future."""
        loop = self._bind()
        if self._limit is not None and len(self._transfers) + self._reserved >= self._limit:
            await self._wait_for_slot(loop)
        future = loop.create_future()
        try:
            self._multi.add_handle(curl)
        except BaseException:
            self._release()
            raise
        self._transfers[curl] = future
        return future

    def stream(self, curl: Curl, *, high_water: int = 1 << 20) -> BodyStream:
        """An async iterator over the response body of ``curl``'s transfer,
        in the chunks libcurl delivers (``bytes``).  The transfer starts at
        the first iteration (or on ``async with``) and pauses while more
        than ``high_water`` bytes wait for the consumer, so memory stays
        bounded however large the body.  The stream sets ``curl``'s
        ``WRITEFUNCTION``.  Leaving ``async with`` (or ``aclose()``) before
        the end cuts the transfer."""
        return BodyStream(self, curl, high_water)

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
        transfers, self._transfers = self._transfers, {}
        for curl, future in transfers.items():
            try:
                self._multi.remove_handle(curl)
            except error:
                pass
            if alive and not future.done():
                future.set_exception(
                    RuntimeError("kelvex.aio.Multi was closed during the transfer"))
        waiters, self._waiters = self._waiters, deque()
        for waiter in waiters:
            if alive and not waiter.done():
                waiter.set_exception(RuntimeError("kelvex.aio.Multi was closed"))
        self._multi.close()
        if alive and loop is not None:
            if self._watching:
                loop.remove_reader(self._epoll.fileno())
            if self._timer is not None:
                self._timer.cancel()
        self._watching = False
        self._timer = None
        self._watched.clear()
        self._epoll.close()

    async def __aenter__(self) -> Self:
        self._bind()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._transfers)} in flight"
        return f"<kelvex.aio.Multi {state}>"

    # ------------------------------------------------------------------
    # Loop binding

    def _bind(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if loop is not self._loop:
            if self._loop is None:
                self._loop = loop
            elif self._loop.is_closed():
                raise RuntimeError("kelvex.aio.Multi: the event loop it belongs to is closed")
            else:
                raise RuntimeError("kelvex.aio.Multi belongs to another event loop "
                                   "(make one per loop, and so one per thread)")
        if self._closed:
            raise RuntimeError("kelvex.aio.Multi is closed")
        return loop

    # ------------------------------------------------------------------
    # Slots

    async def _wait_for_slot(self, loop: asyncio.AbstractEventLoop) -> None:
        waiter = loop.create_future()
        self._waiters.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                # Woken and cancelled in the same turn: pass the slot on.
                self._reserved -= 1
                self._release()
            else:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            raise
        self._reserved -= 1

    def _release(self) -> None:
        """Wakes waiters while slots are free; a woken waiter holds its slot
        until it adds its handle."""
        waiters, limit = self._waiters, self._limit
        while waiters and limit is not None and len(self._transfers) + self._reserved < limit:
            waiter = waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                self._reserved += 1

    # ------------------------------------------------------------------
    # Ending transfers

    def _abort(self, curl: Curl) -> None:
        """The awaiting task was cancelled: the handle leaves the multi now."""
        if self._transfers.pop(curl, None) is None:
            return  # already reaped, or closed
        try:
            self._multi.remove_handle(curl)
        except error:
            if not self._multi.closed:
                raise
        if self._waiters:
            self._release()

    def _reap(self) -> None:
        multi, transfers = self._multi, self._transfers
        while True:
            queued, done, failed = multi.info_read()
            for curl in done:
                multi.remove_handle(curl)
                future = transfers.pop(curl, None)
                if future is not None and not future.done():
                    future.set_result(None)
            for curl, code, message in failed:
                multi.remove_handle(curl)
                future = transfers.pop(curl, None)
                if future is not None and not future.done():
                    future.set_exception(error(code, message))
            if self._waiters:
                self._release()
            if not queued:
                return

    # ------------------------------------------------------------------
    # libcurl's callables and the loop's callbacks

    # libcurl's sockets go into an epoll instance of this object, and the
    # loop watches that one descriptor: it turns readable when any of
    # libcurl's sockets is ready, and one callback then runs socket_action
    # for every ready socket.  Starting and ending transfers on pooled
    # connections so costs an epoll_ctl each, as in C, and not a loop
    # (un)registration; and a socket libcurl closes leaves the epoll set
    # by itself, without touching the loop, whose own registrations
    # (another library's sockets under a reused number) never meet
    # libcurl's.

    def _on_socket(self, what: int, fd: int, multi: CurlMulti, socketp: object) -> None:
        if self._closed:
            return
        watched = self._watched
        if what == _POLL_REMOVE:
            if watched.pop(fd, None) is not None:
                try:
                    self._epoll.unregister(fd)
                except OSError:  # closed meanwhile: epoll let go of it
                    pass
            return
        mask = _EPOLL_MASKS[what]
        old = watched.get(fd)
        if old == mask:
            return
        watched[fd] = mask
        epoll = self._epoll
        if old is None:
            try:
                epoll.register(fd, mask)
            except FileExistsError:
                epoll.modify(fd, mask)
        else:
            try:
                epoll.modify(fd, mask)
            except FileNotFoundError:  # closed and opened again unseen
                epoll.register(fd, mask)
        if not self._watching:
            # Sockets come only from transfers started on the bound loop.
            assert self._loop is not None
            self._watching = True
            self._loop.add_reader(epoll.fileno(), self._on_ready)

    def _on_ready(self) -> None:
        if self._closed:
            return
        action = self._multi.socket_action
        running = -1
        for fd, events in self._epoll.poll(0, _MAX_EVENTS):
            flags = _CSELECT_FLAGS.get(events)
            if flags is None:
                flags = _cselect_flags(events)
            _, running = action(fd, flags)
        if 0 <= running < len(self._transfers):
            self._reap()

    def _on_timer(self, timeout_ms: int) -> None:
        # A timer that fires early costs one socket_action that finds no
        # expired timeout; a late one would stall transfers.  So a pending
        # timer due no later than asked is kept, and -1 (no timeout) keeps
        # it too: libcurl tolerates the extra call.
        loop = self._loop
        if timeout_ms < 0 or loop is None or self._closed:
            return
        if timeout_ms == 0:
            if not self._soon:
                self._soon = True
                loop.call_soon(self._on_soon)
            return
        when = loop.time() + timeout_ms / 1000
        timer = self._timer
        if timer is not None:
            if self._timer_when <= when:
                return
            timer.cancel()
        self._timer_when = when
        self._timer = loop.call_at(when, self._on_timer_fired)

    def _on_soon(self) -> None:
        self._soon = False
        self._action(_SOCKET_TIMEOUT, 0)

    def _on_timer_fired(self) -> None:
        self._timer = None
        self._action(_SOCKET_TIMEOUT, 0)

    def _action(self, fd: int, mask: int) -> None:
        if self._closed:
            return
        _, running = self._multi.socket_action(fd, mask)
        if running < len(self._transfers):
            self._reap()


_EPOLL_MASKS = {
    _POLL_IN: select.EPOLLIN,
    _POLL_OUT: select.EPOLLOUT,
    _POLL_INOUT: select.EPOLLIN | select.EPOLLOUT,
}
_MAX_EVENTS = 256


def _cselect_flags(events: int) -> int:
    flags = ((_CSELECT_IN if events & select.EPOLLIN else 0)
             | (_CSELECT_OUT if events & select.EPOLLOUT else 0)
             | (_CSELECT_ERR if events & (select.EPOLLERR | select.EPOLLHUP) else 0))
    _CSELECT_FLAGS[events] = flags
    return flags


# epoll event mask -> socket_action's flags, filled as masks are met.
_CSELECT_FLAGS: dict[int, int] = {}


class BodyStream(AsyncIterator[bytes]):
    """The body of one transfer as an async iterator of ``bytes`` chunks,
    with back-pressure: see :meth:`Multi.stream`."""

    __slots__ = ("_owner", "_curl", "_high", "_low", "_chunks", "_buffered", "_paused",
                 "_waiter", "_future", "_started", "__weakref__")

    def __init__(self, owner: Multi, curl: Curl, high_water: int) -> None:
        if high_water < 1:
            raise ValueError("high_water must be at least 1")
        self._owner = owner
        self._curl = curl
        self._high = high_water
        self._low = high_water // 2
        self._chunks: deque[bytes] = deque()
        self._buffered = 0
        self._paused = False
        self._waiter: asyncio.Future[None] | None = None
        self._future: asyncio.Future[None] | None = None
        self._started = False

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

    async def _start(self) -> asyncio.Future[None]:
        if self._future is None:
            if self._started:
                raise RuntimeError("the stream was closed before its transfer started")
            self._started = True
            self._curl.setopt(_kelvex.WRITEFUNCTION, self._write)
            future = await self._owner._begin(self._curl)
            future.add_done_callback(self._wake)
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
            waiter = future.get_loop().create_future()
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
            self._owner._abort(self._curl)
            future.cancel()
        self._chunks.clear()
        self._buffered = 0

    async def __aenter__(self) -> Self:
        await self._start()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()
