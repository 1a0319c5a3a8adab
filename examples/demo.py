"""A first look at kelvex (run with: make demo).

Starts a small HTTP server on loopback and runs real transfers through it:
a GET timed with getinfo, an upload fed from Python, response headers
streamed to a callable, and many downloads at once through CurlMulti.
"""

import http.server
import threading
import time

import kelvex
from kelvex import _kelvex


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; without this the body of
    # each kept-alive response waits for the client's delayed ACK.
    disable_nagle_algorithm = True

    def do_GET(self) -> None:
        size = int(self.path.rsplit("/", 1)[-1]) if self.path.startswith("/bytes/") else 13
        body = b"x" * size if self.path.startswith("/bytes/") else b"hello, world\n"
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Demo", "kelvex")
        self.end_headers()
        self.wfile.write(body)

    def do_PUT(self) -> None:
        length = int(self.headers.get("Content-Length", 0))
        received = self.rfile.read(length)
        body = f"received {len(received)} bytes\n".encode()
        self.send_response(201)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass


class Server(http.server.ThreadingHTTPServer):
    # Room for every connection CurlMulti opens at once; the default backlog
    # of 5 drops the rest and libcurl retries them a second later.
    request_queue_size = 128


def start_server() -> tuple[Server, str]:
    server = Server(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


def show_facts() -> None:
    info = _kelvex.version_info()
    print(f"kelvex on libcurl {info[1]} with {info[5]}")
    print(f"  user agent: {_kelvex.version}")


def timed_get(base: str) -> None:
    with kelvex.Curl() as c:
        c.setopt(c.URL, f"{base}/bytes/1048576")
        body = c.perform_rb()
        print(f"GET 1 MiB: status {c.getinfo(c.RESPONSE_CODE)}, {len(body)} bytes, "
              f"connect {c.getinfo(c.CONNECT_TIME_T)} us, "
              f"total {c.getinfo(c.TOTAL_TIME_T)} us")


def upload(base: str) -> None:
    chunks = [b"a" * 4096 for _ in range(16)]

    def read(size: int) -> bytes:
        return chunks.pop() if chunks else b""

    with kelvex.Curl() as c:
        c.setopt(c.URL, f"{base}/upload")
        c.setopt(c.UPLOAD, 1)
        c.setopt(c.READFUNCTION, read)
        c.setopt(c.INFILESIZE, 16 * 4096)
        answer = c.perform_rs()
        print(f"PUT 64 KiB from a read callable: {c.getinfo(c.RESPONSE_CODE)} {answer.strip()}")


def headers(base: str) -> None:
    lines: list[bytes] = []
    with kelvex.Curl() as c:
        c.setopt(c.URL, f"{base}/")
        c.setopt(c.HEADERFUNCTION, lines.append)
        c.setopt(c.WRITEFUNCTION, lambda data: None)
        c.perform()
    print("headers streamed to a callable:")
    for line in lines:
        if line.strip():
            print("   ", line.decode().rstrip())


def concurrent(base: str, count: int = 200, in_flight: int = 20) -> None:
    if not hasattr(_kelvex, "CurlMulti"):
        return
    multi = kelvex.CurlMulti()
    handles = []
    for _ in range(in_flight):
        c = kelvex.Curl()
        c.setopt(c.WRITEFUNCTION, lambda data: None)
        handles.append(c)
    queue = [f"{base}/bytes/1024"] * count
    idle = list(handles)
    done = 0
    start = time.perf_counter()
    while done < count:
        while idle and queue:
            c = idle.pop()
            c.setopt(c.URL, queue.pop())
            multi.add_handle(c)
        multi.perform()
        while True:
            left, ok, failed = multi.info_read()
            for c in ok:
                multi.remove_handle(c)
                idle.append(c)
                done += 1
            for c, code, message in failed:
                raise SystemExit(f"transfer failed: {code} {message}")
            if not left:
                break
        if done < count:
            multi.select(0.1)
    elapsed = time.perf_counter() - start
    multi.close()
    for c in handles:
        c.close()
    print(f"CurlMulti: {count} downloads, {in_flight} at a time, "
          f"{count / elapsed:.0f} transfers/s")


def main() -> None:
    server, base = start_server()
    try:
        show_facts()
        timed_get(base)
        upload(base)
        headers(base)
        concurrent(base)
    finally:
        server.shutdown()


if __name__ == "__main__":
    main()
