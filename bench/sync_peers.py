"""The blocking Python HTTP clients: urllib3, requests and httpx.  Each
keeps its connection alive between requests (a pool of one, a Session, a
Client) and streams large bodies in 1 MiB pieces."""

from urllib.parse import urlsplit

from bench.measure import Span

CHUNK = 1024 * 1024


def _urllib3(url):
    import urllib3

    parts = urlsplit(url)
    pool = urllib3.HTTPConnectionPool(parts.hostname, parts.port, maxsize=1, retries=False)

    def get(path=parts.path):
        r = pool.request("GET", path)
        if r.status != 200:
            raise RuntimeError(f"HTTP status {r.status}")
        return len(r.data)

    def stream(path=parts.path):
        r = pool.request("GET", path, preload_content=False)
        n = sum(len(chunk) for chunk in r.stream(CHUNK))
        r.release_conn()
        return n

    return get, stream, pool.close


def _requests(url):
    import requests

    session = requests.Session()

    def get():
        r = session.get(url)
        r.raise_for_status()
        return len(r.content)

    def stream():
        with session.get(url, stream=True) as r:
            r.raise_for_status()
            return sum(len(chunk) for chunk in r.iter_content(CHUNK))

    return get, stream, session.close


def _httpx(url):
    import httpx

    client = httpx.Client()

    def get():
        r = client.get(url)
        r.raise_for_status()
        return len(r.content)

    def stream():
        with client.stream("GET", url) as r:
            r.raise_for_status()
            return sum(len(chunk) for chunk in r.iter_raw(CHUNK))

    return get, stream, client.close


FACTORIES = {"urllib3": _urllib3, "requests": _requests, "httpx": _httpx}


def run(job: dict) -> dict:
    get, stream, close = FACTORIES[job["client"]](job["url"])
    if job["workload"] == "w1":
        get()
        n, nbytes = job["count"], 0
        with Span() as span:
            for _ in range(n):
                nbytes += get()
    elif job["workload"] == "w2":
        n = 1
        with Span() as span:
            nbytes = stream()
    else:
        raise ValueError(f"{job['client']} does not run {job['workload']}")
    close()
    return span.result(n, nbytes)
