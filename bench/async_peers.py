"""The asyncio Python HTTP clients: aiohttp, httpx's AsyncClient and
curl_cffi's AsyncSession, on the standard event loop or, for W7, on uvloop.
Concurrent requests run as that many tasks sharing one session, whose pool
allows that many connections.

W8 (HTTP/2 over TLS, many streams on one connection) runs httpx with its
HTTP/2 support (the h2 package) on one connection, and curl_cffi's
AsyncSession (its own bundled libcurl) asked for HTTP/2; curl_cffi runs here
only as a peer, as a user would install it."""

import asyncio

from bench.measure import Span, new_loop

CHUNK = 1024 * 1024


class _Aiohttp:
    def __init__(self, connections: int):
        import aiohttp

        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=connections))

    async def get(self, url) -> int:
        async with self.session.get(url) as r:
            r.raise_for_status()
            return len(await r.read())

    async def stream(self, url) -> int:
        async with self.session.get(url) as r:
            r.raise_for_status()
            n = 0
            async for chunk in r.content.iter_chunked(CHUNK):
                n += len(chunk)
            return n

    async def close(self):
        await self.session.close()


class _HttpxAsync:
    def __init__(self, connections: int):
        import httpx

        limits = httpx.Limits(max_connections=connections, max_keepalive_connections=connections)
        self.client = httpx.AsyncClient(limits=limits)

    async def get(self, url) -> int:
        r = await self.client.get(url)
        r.raise_for_status()
        return len(r.content)

    async def stream(self, url) -> int:
        async with self.client.stream("GET", url) as r:
            r.raise_for_status()
            n = 0
            async for chunk in r.aiter_raw(CHUNK):
                n += len(chunk)
            return n

    async def close(self):
        await self.client.aclose()


class _HttpxH2:
    def __init__(self, connections: int, cafile: str):
        import httpx

        # One connection, its streams multiplexed, as kelvex does in W8.
        limits = httpx.Limits(max_connections=1, max_keepalive_connections=1)
        self.client = httpx.AsyncClient(http2=True, verify=cafile, limits=limits)

    async def get(self, url) -> int:
        r = await self.client.get(url)
        r.raise_for_status()
        if r.http_version != "HTTP/2":
            raise RuntimeError(f"httpx used {r.http_version}")
        return len(r.content)

    async def close(self):
        await self.client.aclose()


class _CurlCffi:
    """curl_cffi's asyncio session, run as a peer only; with a CA file (W8)
    over TLS and asked for HTTP/2."""

    def __init__(self, connections: int, cafile: str | None = None):
        from curl_cffi import CurlHttpVersion
        from curl_cffi.requests import AsyncSession

        if cafile is None:
            self.session = AsyncSession(max_clients=connections)
        else:
            self.session = AsyncSession(max_clients=connections, verify=cafile,
                                        http_version=CurlHttpVersion.V2TLS)

    async def get(self, url) -> int:
        r = await self.session.get(url)
        r.raise_for_status()
        return len(r.content)

    async def close(self):
        await self.session.close()


CLIENTS = {"aiohttp": _Aiohttp, "httpx-async": _HttpxAsync, "httpx-h2": _HttpxH2,
           "curl_cffi": _CurlCffi}


async def _concurrent(client, url: str, count: int, inflight: int) -> int:
    """count GETs, inflight at a time."""
    left = count

    async def worker():
        nonlocal left
        n = 0
        while left > 0:
            left -= 1
            n += await client.get(url)
        return n

    return sum(await asyncio.gather(*(worker() for _ in range(min(inflight, count)))))


async def _run(job: dict) -> dict:
    url, workload = job["url"], job["workload"]
    if workload == "w8":
        client = CLIENTS[job["client"]](job["inflight"], job["cafile"])
    else:
        client = CLIENTS[job["client"]](job.get("inflight", 1))
    try:
        if workload == "w1":
            await client.get(url)
            n, nbytes = job["count"], 0
            with Span() as span:
                for _ in range(n):
                    nbytes += await client.get(url)
        elif workload == "w2":
            n = 1
            with Span() as span:
                nbytes = await client.stream(url)
        elif workload in ("w3", "w7", "w8"):
            n, inflight = job["count"], job["inflight"]
            await _concurrent(client, url, inflight, inflight)
            with Span() as span:
                nbytes = await _concurrent(client, url, n, inflight)
        else:
            raise ValueError(f"{job['client']} does not run {workload}")
    finally:
        await client.close()
    return span.result(n, nbytes)


def run(job: dict) -> dict:
    loop = new_loop(job.get("loop", "asyncio"))
    try:
        return loop.run_until_complete(_run(job))
    finally:
        loop.close()
