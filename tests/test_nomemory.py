"""Memory exhaustion: each public entry point, called while CPython's
allocator fails from the Nth allocation on, raises MemoryError or succeeds,
never aborts, leaves its object usable and leaks nothing.

The calls run in a child interpreter (tests/nomemory_driver.py), so that
the failing allocator touches nothing but the code under test (the
loopback servers stay in this process). KELVEX_STRESS_SECONDS (set by `make
stress`) runs more rounds and prints the number of failures injected.
"""

import json
import os
import subprocess
import sys

import pytest

from test_faults import drain, send_quietly, ws_frame, ws_handshake

try:
    import _testcapi  # noqa: F401
except ImportError:
    _testcapi = None
needs_testcapi = pytest.mark.skipif(_testcapi is None,
                                    reason="CPython's test module (_testcapi) is not installed")

STRESS_SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "0") or 0)
DRIVER = os.path.join(os.path.dirname(__file__), "nomemory_driver.py")


def ws_feeder(sock):
    """A WebSocket peer that sends a stock of small frames, then takes in
    whatever the client sends until it hangs up."""
    ws_handshake(sock)
    send_quietly(sock, ws_frame(0x2, b"frame data") * 200)
    drain(sock, 30)


def run_driver(http_server, raw_server, max_n, rounds, only=""):
    port = raw_server(ws_feeder)
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", DRIVER, http_server.url, f"ws://127.0.0.1:{port}/", str(max_n),
         str(rounds), only],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"the driver ended with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@needs_testcapi
def test_every_entry_point_under_failing_allocations(http_server, raw_server):
    figures = run_driver(http_server, raw_server, max_n=400, rounds=2)
    assert figures["faults"] == []
    assert figures["injected"] > 0
    # Every entry point got through once enough memory was there.
    from nomemory_driver import ENTRY_POINTS

    assert sorted(figures["through"]) == sorted(ENTRY_POINTS)
    # The second round allocated and failed the same way as the first: no
    # objects left behind by the failures.
    first, second = figures["objects"]
    assert second - first < 200, figures["objects"]


@needs_testcapi
@pytest.mark.skipif(not STRESS_SECONDS, reason="the long form runs under make stress")
def test_failing_allocations_long(http_server, raw_server, stress_report):
    rounds = max(2, int(STRESS_SECONDS // 10))
    figures = run_driver(http_server, raw_server, max_n=5000, rounds=rounds)
    assert figures["faults"] == []
    drift = figures["objects"][-1] - figures["objects"][0]
    stress_report(f"nomemory: {figures['injected']} allocation failures injected over "
                  f"{len(figures['through'])} entry points in {rounds} rounds; live objects "
                  f"drift {drift:+d} from the first round to the last")
    assert drift < 200, figures["objects"]


class _NoMemoryAttribute:
    """A file-like object whose method lookup runs out of memory."""

    def __getattr__(self, name):
        raise MemoryError


@pytest.mark.parametrize("option", ["WRITEDATA", "WRITEHEADER", "READDATA"])
def test_method_lookup_out_of_memory_is_memory_error(option):
    import kelvex

    with kelvex.Curl() as c:
        with pytest.raises(MemoryError):
            c.setopt(getattr(kelvex, option), _NoMemoryAttribute())
        with pytest.raises(TypeError, match="object given without a"):
            c.setopt(getattr(kelvex, option), object())
