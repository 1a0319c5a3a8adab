"""One benchmark run of one Python client, in its own process so that CPU
time and memory are the client's alone.

    python -m bench.worker '{"client": "kelvex", "workload": "w1", ...}'

The argument is a JSON object naming the client, the workload and its
parameters; the result is printed as one JSON line.  The client "meta"
reports the versions of the interpreter, kelvex and the peers instead.
"""

import importlib
import json
import sys

# Module of each client family.
CLIENTS = {
    "kelvex": "bench.kelvex_client",
    "urllib3": "bench.sync_peers",
    "requests": "bench.sync_peers",
    "httpx": "bench.sync_peers",
    "aiohttp": "bench.async_peers",
    "httpx-async": "bench.async_peers",
    "httpx-h2": "bench.async_peers",
    "curl_cffi": "bench.async_peers",
}

PEERS = ("urllib3", "requests", "httpx", "h2", "aiohttp", "curl_cffi", "uvloop", "matplotlib")


def meta() -> dict:
    import importlib.metadata as md
    import sysconfig

    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    out = {
        "python": sys.version.split()[0],
        "python_build": sys.version,
        "build": "free-threaded" if free else "GIL",
        "free_threaded_build": free,
        "gil_enabled": sys._is_gil_enabled(),
        "packages": {},
    }
    for name in PEERS:
        try:
            out["packages"][name] = md.version(name)
        except md.PackageNotFoundError:
            out["packages"][name] = None
    try:
        import kelvex

        # The state the kelvex workers run in: after importing kelvex.
        out["gil_enabled"] = sys._is_gil_enabled()
        info = kelvex.version_info()
        out["kelvex"] = {
            "version": kelvex.version,
            "file": kelvex._kelvex.__file__,
            "libcurl": info[1],
            "ssl": info[5],
        }
    except Exception as e:  # reported, so a run without kelvex still says why
        out["kelvex"] = {"error": f"{type(e).__name__}: {e}"}
    return out


def main(argv: list[str]) -> int:
    job = json.loads(argv[0])
    if job["client"] == "meta":
        result = meta()
    else:
        module = importlib.import_module(CLIENTS[job["client"]])
        result = module.run(job)
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
