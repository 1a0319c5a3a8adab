"""libcurl transfers awaited on an asyncio event loop.

A :class:`Multi` owns a :class:`kelvex.CurlMulti` and drives it with
``socket_action``: libcurl's socket callable watches its sockets with the
loop's ``add_reader``/``add_writer``, its timer callable schedules the loop's
``call_at``, and finished transfers are reaped with ``info_read``::

    async with kelvex.aio.Multi() as multi:
        chunks = []
        c = kelvex.Curl()
        c.setopt(kelvex.URL, "http://127.0.0.1:8080/")
        c.setopt(kelvex.WRITEFUNCTION, chunks.append)
        await multi.perform(c)

A ``Multi`` belongs to one event loop, the one running when it is first
used; each thread runs its own loop with its own ``Multi``.  It works on the
standard loop and on any loop with ``add_reader``, ``add_writer`` and
``call_at`` (uvloop too).
"""

from __future__ import annotations

import asyncio
import os
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

    __slots__ = ("_multi", "_loop", "_transfers", "_socks", "_idled", "_epoch", "_sweeper",
                 "_timer", "_timer_when", "_soon", "_limit", "_waiters", "_reserved", "_closed", "__weakref__")

    def __init__(self, *, max_transfers: int | None = None) -> None:
        if max_transfers is not None and max_transfers < 1:
            raise ValueError("max_transfers must be at least 1")
        self._limit = max_transfers
        self._waiters: deque[asyncio.Future[None]] = deque()
        # Waiters woken for a slot that have not yet added their handle.
        self._reserved = 0
        # Curl -> future resolved when its transfer ends.
        self._transfers: dict[Curl, asyncio.Future[None]] = {}
        # libcurl's fd -> _Sock: the loop watches a duplicate of each socket.
        self._socks: dict[int, _Sock] = {}
        # libcurl's fds it stopped watching during the current call.
        self._idled: list[int] = []
        self._epoch = 0
        self._sweeper: asyncio.TimerHandle | None = None
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
                future.set_exception(RuntimeError("kelvex.aio.Multi was closed during the transfer"))
        waiters, self._waiters = self._waiters, deque()
        for waiter in waiters:
            if alive and not waiter.done():
                waiter.set_exception(RuntimeError("kelvex.aio.Multi was closed"))
        self._multi.close()
        for fd, sock in list(self._socks.items()):
            self._drop(fd, sock, alive)
        self._idled.clear()
        for timer in (self._timer, self._sweeper):
            if timer is not None and alive:
                timer.cancel()
        self._timer = self._sweeper = None

    def __del__(self) -> None:
        # A multi dropped without close() after its loop closed: the
        # duplicated descriptors are the only thing the collector misses.
        for sock in getattr(self, "_socks", {}).values():
            try:
                os.close(sock.dup)
            except OSError:
                pass

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
        # libcurl closed the cut transfer's connection: let it go now.
        self._drop_closed()
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
            if failed:
                self._drop_closed()
            if self._waiters:
                self._release()
            if not queued:
                return

    # ------------------------------------------------------------------
    # libcurl's callables and the loop's callbacks

    # The loop watches a duplicate of each of libcurl's sockets rather than
    # the socket itself.  When libcurl stops watching a socket (a finished
    # transfer leaves its connection in the pool), the duplicate stays
    # registered for a while, so that the next transfer on that connection
    # costs no loop (un)registration.  The duplicate keeps the socket open,
    # so its descriptor number cannot pass to another socket meanwhile;
    # should libcurl close its own descriptor and open a new socket under
    # the same number, the socket's inode tells them apart.  A duplicate is
    # closed as soon as libcurl is seen to have closed its socket (checked
    # after each call that stopped watching sockets, and after a cut or
    # failed transfer for every idle one), when it turns readable while
    # idle (the server closed the pooled connection), and otherwise after
    # it has been idle for one to two sweep periods.  (libcurl's own wakeup
    # eventfd shares its inode with every eventfd, but lives as long as
    # the multi.)

    def _on_socket(self, what: int, fd: int, multi: CurlMulti, socketp: object) -> None:
        # Called inside libcurl: only the loop's registrations change here.
        # Once closed, close() itself drops what is still registered.
        if self._closed:
            return
        sock = self._socks.get(fd)
        if what == _POLL_REMOVE:
            if sock is not None and sock.idle_since < 0:
                sock.idle_since = self._epoch
                self._idled.append(fd)
                if self._sweeper is None:
                    self._sweeper = self._loop.call_later(_SWEEP_PERIOD, self._sweep)
            return
        if sock is not None and sock.idle_since >= 0:
            if os.fstat(fd).st_ino == sock.inode:
                sock.idle_since = -1
            else:  # libcurl closed the socket; this is another one
                self._drop(fd, sock, True)
                sock = None
        if sock is None:
            dup = os.dup(fd)
            sock = self._socks[fd] = _Sock(dup, os.fstat(dup).st_ino)
        new = what & _POLL_INOUT
        old = sock.events
        if new == old:
            return
        sock.events = new
        loop, dup = self._loop, sock.dup
        if (old ^ new) & _POLL_IN:
            if new & _POLL_IN:
                loop.add_reader(dup, self._ready, fd, _CSELECT_IN)
            else:
                loop.remove_reader(dup)
        if (old ^ new) & _POLL_OUT:
            if new & _POLL_OUT:
                loop.add_writer(dup, self._ready, fd, _CSELECT_OUT)
            else:
                loop.remove_writer(dup)

    def _drop(self, fd: int, sock: _Sock, alive: bool) -> None:
        del self._socks[fd]
        if alive:
            if sock.events & _POLL_IN:
                self._loop.remove_reader(sock.dup)
            if sock.events & _POLL_OUT:
                self._loop.remove_writer(sock.dup)
        os.close(sock.dup)

    def _drop_closed(self) -> None:
        """Drops the idle duplicates of sockets that libcurl has closed, so
        that their connections close now rather than at the next sweep."""
        self._idled.clear()
        for fd, sock in list(self._socks.items()):
            if sock.idle_since >= 0:
                try:
                    if os.fstat(fd).st_ino == sock.inode:
                        continue
                except OSError:
                    pass
                self._drop(fd, sock, True)

    def _sweep(self) -> None:
        self._sweeper = None
        if self._closed:
            return
        epoch = self._epoch
        self._epoch = epoch + 1
        idle = False
        for fd, sock in list(self._socks.items()):
            if sock.idle_since >= 0:
                if sock.idle_since < epoch:
                    self._drop(fd, sock, True)
                else:
                    idle = True
        if idle:
            self._sweeper = self._loop.call_later(_SWEEP_PERIOD, self._sweep)

    def _ready(self, fd: int, mask: int) -> None:
        sock = self._socks.get(fd)
        if sock is None or sock.idle_since >= 0:
            # An idle duplicate turned ready: libcurl is not watching it.
            if sock is not None:
                self._drop(fd, sock, True)
            return
        # _action, inline: this runs once per ready socket.
        if self._closed:
            return
        _, running = self._multi.socket_action(fd, mask)
        if running < len(self._transfers):
            self._reap()
        if self._idled:
            self._check_idled()

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
        if self._idled:
            self._check_idled()

    def _check_idled(self) -> None:
        """Drops the duplicates of the sockets libcurl stopped watching and
        then closed during the last call (a connection closed rather than
        kept in the pool), so that the connection closes now."""
        idled = self._idled
        socks = self._socks
        for fd in idled:
            sock = socks.get(fd)
            if sock is not None and sock.idle_since >= 0:
                # An open descriptor is taken for the same socket: a new
                # socket libcurl opened under the number in the same call
                # is normally watched already (so no longer idle), and is
                # told apart by its inode when it is watched later on.
                try:
                    os.get_blocking(fd)
                except OSError:  # closed
                    self._drop(fd, sock, True)
        idled.clear()


# Seconds between sweeps of idle duplicates.
_SWEEP_PERIOD = 0.05


class _Sock:
    """The loop's duplicate of one of libcurl's sockets."""

    __slots__ = ("dup", "inode", "events", "idle_since")

    def __init__(self, dup: int, inode: int) -> None:
        self.dup = dup
        self.inode = inode
        self.events = 0  # POLL_IN | POLL_OUT bits registered on the loop
        self.idle_since = -1  # sweep epoch when libcurl let go of it; -1 while watched


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
