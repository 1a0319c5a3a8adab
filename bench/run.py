"""The benchmark driver: how close kelvex comes to libcurl driven from C++,
and how far ahead it is of the Python HTTP clients.

    python bench/run.py [--quick] [--out DIR] [--only W1,W3 [--merge]]

It starts nginx on loopback, builds the C++ reference program, runs every
workload for every client that can do it (each run in its own process,
repetitions interleaved: client A, B, C, then again), stops nginx and
writes results.md, results.json and results.png into DIR (default
bench/results).  --quick runs everything with tiny counts in seconds.
The exit status is 1 when any run failed; its figure then carries the error.
--merge keeps the figures of the workloads not run from the results already
in DIR, and records the run of the others beside that run's own details.

Workloads:
  W1  sequential GETs of 1 KiB on one keep-alive connection (req/s)
  W2  one large download (MB/s, 10^6 bytes per second)
  W3  GETs of 1 KiB with many in flight (req/s)
  W4  client CPU time per W1 request, and instructions per W1 request
      counted by callgrind
  W5  W1 on two threads, each with its own handle, against one thread
  W6  resident memory after all W1 requests against after the first ones
  W7  W3 awaited on an asyncio event loop (kelvex.aio), on the standard loop
      and on uvloop when it is installed (req/s)
  W8  GETs of 1 KiB as HTTP/2 streams in flight over one TLS connection (req/s)
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field

if __package__ in (None, ""):
    # Run as a script: PYTHONSAFEPATH keeps bench/ off sys.path, so the
    # checkout goes last on it (the kelvex build on PYTHONPATH stays first).
    sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import native_client, report  # noqa: E402
from bench.nginx import KIB, MIB, WORKERS, Nginx, plain_env, version as nginx_version  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CONFIGS = {
    "full": {
        # W8's runs take a fraction of a second each: more of them.
        "reps": {"W1": 5, "W2": 5, "W3": 5, "W4": 3, "W5": 5, "W6": 3, "W7": 5, "W8": 11},
        "w1_count": 20_000,
        "big": 1024 * MIB,
        "w3_count": 50_000,
        # The asyncio clients are an order of magnitude slower; a rate needs
        # no more requests than it takes to be steady.
        "w3_peer_count": {"aiohttp": 20_000, "httpx-async": 2_000},
        "w3_inflight": 100,
        "w7_count": 50_000,
        "w7_peer_count": {"aiohttp": 20_000, "httpx-async": 2_000, "curl_cffi": 20_000},
        "w7_inflight": 100,
        "w7_callgrind_count": 5_000,
        "w4_count": 2_000,
        "w5_count": 20_000,
        "w6_first": 10_000,
        "w6_count": 100_000,
        "w8_count": 10_000,
        "w8_inflight": 100,
        "timeout": 1800,
    },
    "quick": {
        "reps": {"W1": 2, "W2": 2, "W3": 2, "W4": 1, "W5": 2, "W6": 1, "W7": 1, "W8": 2},
        "w1_count": 200,
        "big": 8 * MIB,
        "w3_count": 400,
        "w3_peer_count": {"aiohttp": 200, "httpx-async": 100},
        "w3_inflight": 20,
        "w7_count": 400,
        "w7_peer_count": {"aiohttp": 200, "httpx-async": 100, "curl_cffi": 200},
        "w7_inflight": 20,
        # valgrind starts the interpreter slowly: the quick run leaves the
        # W7 profile out.
        "w7_callgrind_count": 0,
        "w4_count": 30,
        "w5_count": 200,
        "w6_first": 200,
        "w6_count": 2_000,
        "w8_count": 200,
        "w8_inflight": 100,
        "timeout": 300,
    },
}

BUFFERS = {"default buffer": 0, "1 MiB buffer": MIB}
SYNC_PEERS = ("urllib3", "requests", "httpx")
ASYNC_PEERS = ("aiohttp", "httpx-async")
H2_PEERS = ("httpx-h2", "curl_cffi")
# The package each peer needs; a peer whose package is missing (curl_cffi
# has no free-threaded build) is skipped, not failed.
PEER_PACKAGES = {"httpx-h2": "h2", "curl_cffi": "curl_cffi"}
# W7: the asyncio clients, each on the loops it runs on.  httpx's
# AsyncClient is two orders of magnitude slower and runs on the standard
# loop only.  uvloop and curl_cffi may be missing (neither installs on a
# free-threaded interpreter): their runs are then left out.
W7_CLIENTS = {"kelvex": ("asyncio", "uvloop"), "aiohttp": ("asyncio", "uvloop"),
              "curl_cffi": ("asyncio", "uvloop"), "httpx-async": ("asyncio",)}
OPTIONAL = {"uvloop", "curl_cffi"}
WORKLOADS = ("W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8")


def installed(name: str) -> bool:
    import importlib.util

    return name not in OPTIONAL or importlib.util.find_spec(name) is not None


@dataclass
class Job:
    workload: str   # "W1" .. "W7"
    client: str     # "native" is the C++ program
    variant: str
    params: dict
    callgrind: bool = False
    max_reps: int | None = None  # runs at most this many repetitions
    samples: list = field(default_factory=list)
    errors: list = field(default_factory=list)

    @property
    def label(self) -> str:
        return f"{self.client} {self.variant}".strip()


def plan(cfg: dict, server: Nginx) -> dict[str, list[Job]]:
    """Every run of every workload, grouped by workload, in running order."""
    small, big = server.url("1k"), server.url("big")
    w1n = cfg["w1_count"]
    jobs = {w: [] for w in WORKLOADS}

    def add(group, client, variant, /, **params):
        params.setdefault("variant", variant)
        jobs[group].append(Job(group, client, variant, params))
        return jobs[group][-1]

    for client, variant in (("native", "easy"), ("kelvex", "callback"), ("kelvex", "perform_rb")):
        add("W1", client, variant, workload="w1", url=small, count=w1n)
    for peer in SYNC_PEERS + ASYNC_PEERS:
        add("W1", peer, "", workload="w1", url=small, count=w1n)

    for name, size in BUFFERS.items():
        add("W2", "native", name, workload="w2", url=big, buffersize=size)
        for style in ("bytes", "memoryview", "file"):
            add("W2", "kelvex", f"{style}, {name}", workload="w2", url=big, buffersize=size,
                variant=style)
    for peer in SYNC_PEERS + ASYNC_PEERS:
        add("W2", peer, "", workload="w2", url=big)

    inflight = cfg["w3_inflight"]
    for style in ("poll", "socket"):
        add("W3", "native", style, workload="w3", url=small, count=cfg["w3_count"],
            inflight=inflight, variant=style)
        add("W3", "kelvex", style, workload="w3", url=small, count=cfg["w3_count"],
            inflight=inflight, variant=style)
    # The socket style through kelvex.EventCore, compared with C++'s socket style.
    add("W3", "kelvex", "core", workload="w3", url=small, count=cfg["w3_count"],
        inflight=inflight, variant="core")
    for peer in ASYNC_PEERS:
        add("W3", peer, "", workload="w3", url=small, count=cfg["w3_peer_count"][peer],
            inflight=inflight)

    for client, variant in (("native", "easy"), ("kelvex", "callback"), ("kelvex", "perform_rb")):
        add("W4", client, variant, workload="w1", url=small, count=cfg["w4_count"],
            marks=True).callgrind = True

    for client in ("native", "kelvex"):
        add("W5", client, "", workload="w5", url=small, count=cfg["w5_count"], variant="callback")

    for variant in ("callback", "perform_rb"):
        add("W6", "kelvex", variant, workload="w6", url=small, first=cfg["w6_first"],
            count=cfg["w6_count"])

    inflight = cfg["w7_inflight"]
    add("W7", "native", "socket", workload="w3", url=small, count=cfg["w7_count"], inflight=inflight)
    for client, loops in W7_CLIENTS.items():
        count = cfg["w7_count"] if client == "kelvex" else cfg["w7_peer_count"][client]
        for loop in loops:
            if installed(client) and installed(loop):
                add("W7", client, loop, workload="w7", url=small, count=count, inflight=inflight,
                    loop=loop)
                if client == "kelvex":
                    # The body collected in C++, awaited with perform_rb.
                    add("W7", client, f"{loop} perform_rb", workload="w7", url=small, count=count,
                        inflight=inflight, loop=loop, body=True)
    # Where the instructions of a W7 request go, once per run (the counts
    # barely move between runs).
    if cfg["w7_callgrind_count"]:
        profiled = [("native", "socket", "w3", "socket", False)]
        for loop in W7_CLIENTS["kelvex"]:
            if installed(loop):
                profiled += [("kelvex", loop, "w7", loop, False),
                             ("kelvex", f"{loop} perform_rb", "w7", loop, True)]
        for client, variant, workload, loop, body in profiled:
            job = add("W7", client, variant, workload=workload, url=small, count=cfg["w7_callgrind_count"],
                      inflight=inflight, loop=loop, body=body, marks=True)
            job.callgrind, job.max_reps = True, 1
    h2 = dict(workload="w8", url=server.tls_url("1k"), count=cfg["w8_count"],
              inflight=cfg["w8_inflight"], cafile=server.ca_path)
    for style in ("poll", "socket"):
        add("W8", "native", style, **h2, variant=style)
        add("W8", "kelvex", style, **h2, variant=style)
    for peer in H2_PEERS:
        add("W8", peer, "", **h2)
    return jobs


def sanitizer_preloaded() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


class Runner:
    def __init__(self, cfg: dict, binary: str, scratch: str):
        self.cfg, self.binary, self.scratch = cfg, binary, scratch
        path = os.environ.get("PYTHONPATH", "")
        self.python_env = dict(os.environ, PYTHONPATH=f"{path}:{ROOT}" if path else ROOT)
        self.plain_python_env = dict(plain_env(), PYTHONPATH=self.python_env["PYTHONPATH"])

    def command(self, job: Job) -> tuple[list[str], dict]:
        params = dict(job.params, client=job.client)
        if job.client == "native":
            return native_client.command(self.binary, params), plain_env()
        return ([sys.executable, "-m", "bench.worker", json.dumps(params)],
                self.plain_python_env if job.callgrind else self.python_env)

    def run(self, job: Job) -> dict:
        cmd, env = self.command(job)
        out_base = None
        if job.callgrind:
            out_base = os.path.join(self.scratch, f"callgrind.{job.client}.{job.variant}.{time.time_ns()}")
            cmd = ["valgrind", "--tool=callgrind", "--dump-before=curl_easy_init", "--compress-strings=no",
                   f"--callgrind-out-file={out_base}", "--quiet"] + cmd
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True,
                              timeout=self.cfg["timeout"], cwd=ROOT)
        lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
        if proc.returncode != 0 or not lines:
            tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
            raise RuntimeError(f"exit status {proc.returncode}: {tail}")
        result = json.loads(lines[-1])
        if job.callgrind:
            result.update(callgrind_loop(out_base, result["requests"]))
        return result


def expected_bytes(job: Job, cfg: dict) -> int:
    if job.workload == "W2":
        return cfg["big"]
    if job.workload == "W5":
        return job.params["count"] * 4 * KIB  # one, two, then one thread again
    return job.params["count"] * KIB


def sample_of(job: Job, result: dict):
    """The figure one run contributes to its job."""
    if job.callgrind:
        return result["ir_per_request"]
    if job.workload == "W2":
        return result["bytes"] / result["seconds"] / 1e6
    if job.workload == "W5":
        return result["rps_two"] / statistics.mean(result["rps_one"])
    if job.workload == "W6":
        return result["drift_kib"]
    return result["requests"] / result["seconds"]


# Callgrind: the program cuts a profile right before each curl_easy_init
# call, and brackets its timed loop with one such call on each side, so the
# last cut made by that trigger holds exactly the loop.

def _dump_files(base: str) -> list[str]:
    folder, name = os.path.split(base)
    found = []
    for f in os.listdir(folder):
        if f == name or f.startswith(name + "."):
            found.append(os.path.join(folder, f))
    return found


def _read_dump(path: str) -> tuple[str, int, int]:
    trigger, part, total = "", 0, 0
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("desc: Trigger:"):
                trigger = line.split(":", 2)[2].strip()
            elif line.startswith("part:"):
                part = int(line.split()[1])
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    return trigger, part, total


def callgrind_loop(base: str, requests: int) -> dict:
    dumps = []
    for path in _dump_files(base):
        trigger, part, total = _read_dump(path)
        if "curl_easy_init" in trigger:
            dumps.append((part, total, path))
    if len(dumps) < 2:
        raise RuntimeError(f"callgrind made {len(dumps)} cuts at curl_easy_init, expected at least 2")
    part, total, path = max(dumps)
    return {"instructions": total, "ir_per_request": total / requests,
            "profile": profile(path, requests)}


def profile(path: str, requests: int, floor: float = 10.0) -> dict:
    """Instructions per request of a profile (made with --compress-strings=no)
    by function and by shared object, each counting a function's own
    instructions only.  In the callgrind format a cost line belongs to the
    current fn= unless it follows a calls= line, when it is the inclusive
    cost of that call."""
    by_function, by_object = Counter(), Counter()
    fn = ob = None
    call_cost = False
    with open(path, errors="replace") as f:
        for line in f:
            head = line[:1]
            if head.isdigit() or head in "+-*":
                if call_cost:
                    call_cost = False
                    continue
                fields = line.split()
                ir = int(fields[-1]) if len(fields) > 1 else 0
                by_function[(fn, ob)] += ir
                by_object[ob] += ir
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("ob="):
                ob = os.path.basename(line[3:].strip())
            elif line.startswith("calls="):
                call_cost = True
    return {
        "functions": [{"function": name, "object": obj, "ir_per_request": ir / requests}
                      for (name, obj), ir in by_function.most_common() if ir / requests >= floor],
        "objects": [{"object": obj, "ir_per_request": ir / requests}
                    for obj, ir in by_object.most_common() if ir / requests >= 1],
    }


def run_all(cfg: dict, only: set, clients: set, log) -> dict:
    binary = native_client.build(os.path.join(ROOT, "build", "bench"))
    meta = collect_meta(binary, cfg)
    if "error" in meta["kelvex"] and (not clients or "kelvex" in clients):
        raise SystemExit(f"bench: cannot import kelvex: {meta['kelvex']['error']}")
    skip_callgrind_kelvex = sanitizer_preloaded()
    with Nginx(cfg["big"]) as server, tempfile.TemporaryDirectory(prefix="kelvex-bench-cg-") as scratch:
        runner = Runner(cfg, binary, scratch)
        jobs = plan(cfg, server)
        if clients:
            jobs = {w: [j for j in group if j.client in clients] for w, group in jobs.items()}
        for workload, group in jobs.items():
            if only and workload not in only:
                continue
            reps = cfg["reps"][workload]
            for rep in range(reps):
                for job in group:
                    if job.max_reps is not None and rep >= job.max_reps:
                        continue
                    if job.callgrind and job.client == "kelvex" and skip_callgrind_kelvex:
                        if rep == 0:
                            job.errors.append("skipped: valgrind cannot run the AddressSanitizer build")
                        continue
                    package = PEER_PACKAGES.get(job.client)
                    if package and not meta["packages"].get(package):
                        if rep == 0:
                            job.errors.append(f"skipped: {package} is not installed for this interpreter")
                        continue
                    started = time.monotonic()
                    try:
                        result = runner.run(job)
                        want = expected_bytes(job, cfg)
                        if result["bytes"] != want:
                            raise RuntimeError(f"received {result['bytes']} bytes, expected {want}")
                    except (RuntimeError, subprocess.TimeoutExpired, ValueError, KeyError) as e:
                        job.errors.append(str(e))
                        log(f"{workload} {rep + 1}/{reps} {job.label}: FAILED {e}")
                        continue
                    job.samples.append((sample_of(job, result), result, rep))
                    log(f"{workload} {rep + 1}/{reps} {job.label}: "
                        f"{report.format_value(job.workload, sample_of(job, result), job.callgrind)}"
                        f" ({time.monotonic() - started:.1f} s)")
    return report.summarise(meta, cfg, jobs, only)


def collect_meta(binary: str, cfg: dict) -> dict:
    path = os.environ.get("PYTHONPATH", "")
    env = dict(os.environ, PYTHONPATH=f"{path}:{ROOT}" if path else ROOT)
    out = subprocess.run([sys.executable, "-m", "bench.worker", '{"client": "meta"}'],
                         capture_output=True, text=True, env=env, cwd=ROOT, timeout=120)
    if out.returncode != 0:
        raise SystemExit(f"bench: the version probe failed:\n{out.stderr}")
    meta = json.loads(out.stdout.splitlines()[-1])
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True,
                              env=plain_env()).stdout.strip()
    native = native_client.version(binary)
    meta.update({
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "kelvex_commit": os.environ.get("KELVEX_COMMIT") or None,
        "cores": os.cpu_count(),
        "cpu": cpu,
        "kernel": platform.release(),
        "libcurl": native["libcurl"],
        "openssl": native["ssl"],
        "curl_version": native["curl_version"],
        "nginx": nginx_version(),
        "nginx_workers": WORKERS,
        "valgrind": valgrind,
        "sanitizer_preloaded": sanitizer_preloaded(),
        # Other work on the machine shows in the spreads; the load says how much.
        "load_average_at_start": os.getloadavg(),
    })
    return meta


def merge(old: dict, new: dict, only: set) -> dict:
    """The earlier results with the figures of the workloads in `only`
    replaced by the new run's; the new run's details go to meta["reruns"]."""
    meta = dict(old["meta"])
    run = {k: new["meta"].get(k) for k in ("date", "kelvex_commit", "duration_s",
                                          "load_average_at_start", "load_average_at_end")}
    meta["reruns"] = [r for r in meta.get("reruns", []) if not set(r["workloads"]) <= only]
    meta["reruns"].append({"workloads": sorted(only), **run})
    meta["packages"] = {**meta.get("packages", {}), **new["meta"].get("packages", {})}
    figures = [f for f in old["figures"] if f["workload"] not in only
               and not (f["workload"] == "W4" and "W1" in only)] + new["figures"]
    order = {w: i for i, w in enumerate(WORKLOADS)}
    figures.sort(key=lambda f: order.get(f["workload"], len(order)))
    profiles = new["profiles"] if "W4" in only else old.get("profiles", {})
    w7_profiles = new.get("w7_profiles", {}) if "W7" in only else old.get("w7_profiles", {})
    if old["config"].get("mode") != new["config"].get("mode"):
        raise SystemExit(f"bench: cannot merge a {new['config'].get('mode')} run into "
                         f"{old['config'].get('mode')} results")
    # Counts are named after their workload ("w8_count"); "big" is W2's.
    config = {**old["config"],
              **{k: v for k, v in new["config"].items()
                 if k.split("_")[0].upper() in only or (k == "big" and "W2" in only)},
              "reps": {**old["config"].get("reps", {}), **{w: new["config"]["reps"][w] for w in only}}}
    return {"meta": meta, "config": config, "figures": figures,
            "targets": report.targets(figures, meta), "profiles": profiles,
            "w7_profiles": w7_profiles}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny counts, for a check that everything runs")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results"), help="folder for the results")
    ap.add_argument("--only", default="", help="comma-separated workloads, e.g. W1,W3 (default: all)")
    ap.add_argument("--clients", default="", help="comma-separated clients, e.g. native,kelvex (default: all)")
    ap.add_argument("--merge", action="store_true",
                    help="with --only: keep the other workloads' figures from DIR/results.json")
    args = ap.parse_args(argv)
    cfg = CONFIGS["quick" if args.quick else "full"]
    only = {w.strip().upper() for w in args.only.split(",") if w.strip()}
    clients = {c.strip() for c in args.clients.split(",") if c.strip()}
    if args.merge and (not only or clients):
        ap.error("--merge needs --only and runs every client")

    def log(msg):
        print(f"bench: {msg}", file=sys.stderr, flush=True)

    started = time.monotonic()
    results = run_all(cfg, only, clients, log)
    results["config"]["mode"] = "quick" if args.quick else "full"
    results["meta"]["duration_s"] = round(time.monotonic() - started, 1)
    results["meta"]["load_average_at_end"] = os.getloadavg()
    os.makedirs(args.out, exist_ok=True)
    if args.merge:
        if not only:
            raise SystemExit("bench: --merge needs --only")
        with open(os.path.join(args.out, "results.json")) as f:
            results = merge(json.load(f), results, only)
    paths = report.write_all(results, args.out)
    log("wrote " + ", ".join(paths))
    failed = [f for f in results["figures"] if f.get("error") and not f["error"].startswith("skipped")]
    for f in failed:
        log(f"FAILED {f['workload']} {f['client']} {f['variant']}: {f['error']}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
