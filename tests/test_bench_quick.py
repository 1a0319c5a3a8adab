"""The benchmark harness, run once in quick mode into a temporary folder:
every workload produces every figure for every client, and the table, the
JSON file and the plot are written.  No speed is judged here; speed
belongs to `make bench`."""

import importlib.util
import json
import math
import os
import subprocess
import sys
import sysconfig

import pytest

pytestmark = pytest.mark.bench

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEERS_W1_W2 = ["urllib3", "requests", "httpx", "aiohttp", "httpx-async"]
BUFFERS = ["default buffer", "1 MiB buffer"]

# (workload, metric) -> the (client, variant) pairs that must have a figure.
EXPECTED = {
    ("W1", "requests_per_s"): [("native", "easy"), ("kelvex", "callback"), ("kelvex", "perform_rb")]
    + [(p, "") for p in PEERS_W1_W2],
    ("W2", "mb_per_s"): [("native", b) for b in BUFFERS]
    + [("kelvex", f"{s}, {b}") for b in BUFFERS for s in ("bytes", "memoryview", "file")]
    + [(p, "") for p in PEERS_W1_W2],
    ("W3", "requests_per_s"): [("native", "poll"), ("native", "socket"), ("kelvex", "poll"),
                               ("kelvex", "socket"), ("aiohttp", ""), ("httpx-async", "")],
    ("W4", "cpu_us_per_request"): [("native", "easy"), ("kelvex", "callback"), ("kelvex", "perform_rb")]
    + [(p, "") for p in PEERS_W1_W2],
    ("W4", "instructions_per_request"): [("native", "easy"), ("kelvex", "callback"),
                                         ("kelvex", "perform_rb")],
    ("W5", "requests_per_s"): [(c, t) for t in ("1 thread", "2 threads") for c in ("native", "kelvex")],
    ("W5", "speedup"): [("native", "speed-up"), ("kelvex", "speed-up")],
    ("W6", "drift_kib"): [("kelvex", "callback"), ("kelvex", "perform_rb")],
    ("W7", "requests_per_s"): [("native", "socket"), ("httpx-async", "asyncio")]
    + [(c, loop) for c in ("kelvex", "aiohttp", "curl_cffi") for loop in ("asyncio", "uvloop")
       if importlib.util.find_spec(c) and importlib.util.find_spec(loop)],
    ("W8", "requests_per_s"): [("native", "poll"), ("native", "socket"), ("kelvex", "poll"),
                               ("kelvex", "socket"), ("httpx-h2", ""), ("curl_cffi", "")],
}


def _installed(name):
    import importlib.util

    return importlib.util.find_spec(name) is not None


# Peers whose package may be missing for this interpreter (curl_cffi has no
# free-threaded build): their figures then say they were skipped.
OPTIONAL_PEERS = {"curl_cffi": "curl_cffi"}


def sanitizer_preloaded():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def peers_missing():
    """Why the peers and the plot library cannot be imported, or None. Asked
    of another process: on a free-threaded interpreter an extension module
    that does not declare free-threading support enables the GIL in the
    process that imports it."""
    proc = subprocess.run([sys.executable, "-c", "import urllib3, requests, httpx, aiohttp, matplotlib"],
                          capture_output=True, text=True, timeout=120)
    if proc.returncode == 0:
        return None
    return (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    missing = peers_missing()
    if missing:
        pytest.skip(f"the benchmark harness needs its peers and matplotlib: {missing}")
    out = tmp_path_factory.mktemp("bench")
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "run.py"), "--quick", "--out", str(out)],
        capture_output=True, text=True, timeout=280, cwd=ROOT,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    with open(out / "results.json") as f:
        return out, json.load(f)


def _figure(results, workload, metric, client, variant):
    found = [f for f in results["figures"]
             if (f["workload"], f["metric"], f["client"], f["variant"]) == (workload, metric, client, variant)]
    assert len(found) == 1, (workload, metric, client, variant)
    return found[0]


@pytest.mark.parametrize("key", sorted(EXPECTED), ids=lambda k: f"{k[0]}-{k[1]}")
def test_every_figure_is_produced(quick_run, key):
    _, results = quick_run
    for client, variant in EXPECTED[key]:
        f = _figure(results, *key, client, variant)
        if key[1] == "instructions_per_request" and client == "kelvex" and sanitizer_preloaded():
            # valgrind cannot run a process holding the AddressSanitizer runtime.
            assert f["error"].startswith("skipped"), f
            continue
        if client in OPTIONAL_PEERS and not _installed(OPTIONAL_PEERS[client]):
            assert f["error"].startswith("skipped"), f
            continue
        assert "error" not in f, f
        assert isinstance(f["median"], (int, float)) and math.isfinite(f["median"]), f
        assert f["min"] <= f["median"] <= f["max"], f
        assert len(f["samples"]) == f["n"] >= 1, f
        if key[0] in ("W1", "W2", "W3", "W7", "W8") and client != "native":
            assert math.isfinite(f["ratio"]) and f["reference"].startswith("native"), f


def test_memory_figures_come_from_both_checkpoints(quick_run):
    _, results = quick_run
    for variant in ("callback", "perform_rb"):
        f = _figure(results, "W6", "drift_kib", "kelvex", variant)
        assert f["rss_last_kib"] > 0 and f["rss_first_kib"] > 0
        assert f["requests"] > f["first_requests"] > 0


def test_every_target_has_a_value(quick_run):
    _, results = quick_run
    workloads = {t["workload"] for t in results["targets"]}
    assert workloads == {"W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8"}
    for t in results["targets"]:
        if t["workload"] == "W4" and sanitizer_preloaded():
            assert t["value"] is None and t["met"] is None
            continue
        assert isinstance(t["value"], (int, float)) and math.isfinite(t["value"]), t
        assert t["met"] in (True, False, None)


def test_versions_and_machine_are_recorded(quick_run):
    _, results = quick_run
    meta = results["meta"]
    for name in ("python", "libcurl", "openssl", "nginx", "cores"):
        assert meta[name], name
    assert isinstance(meta["gil_enabled"], bool)
    # Which build ran the benchmarks, recorded with the two-thread figures too.
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    assert meta["build"] == build
    for variant in ("1 thread", "2 threads"):
        f = _figure(results, "W5", "requests_per_s", "kelvex", variant)
        assert f["build"] == build
        assert f["gil_enabled"] and set(f["gil_enabled"]) <= {True, False}
        if build == "GIL":
            assert f["gil_enabled"] == [True]
    for peer in ("urllib3", "requests", "httpx", "aiohttp", "curl_cffi", "uvloop"):
        assert meta["packages"][peer] or not importlib.util.find_spec(peer), peer
    assert meta["kelvex"]["version"].startswith("Kelvex/")
    expect = os.environ.get("KELVEX_EXPECT_PATH")
    if expect:
        # The harness measured the build under test, not some other copy.
        got = os.path.dirname(os.path.realpath(meta["kelvex"]["file"]))
        assert got == os.path.realpath(expect)


def test_table_and_plot_are_written(quick_run):
    out, results = quick_run
    table = (out / "results.md").read_text()
    header = table.split("## Targets")[0]
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert f"Python {results['meta']['python']} ({'free-threaded build' if free else 'GIL build'}" in header
    for title in ("## Targets", "## W1:", "## W2:", "## W3:", "## W4:", "## W5:", "## W6:", "## W7:",
                  "## W8:"):
        assert title in table
    with open(out / "results.png", "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
