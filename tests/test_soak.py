"""Soak: many transfers through the easy and the multi style, with callables
that raise at random points and handles reused, reset and duplicated; the
resident memory and the count of live objects settle after a warm-up.

The transfers run in a child interpreter (tests/soak_driver.py) against the
loopback server in this process, so that the figures are the transfers'
alone. The short form runs a few thousand transfers; under `make stress`
(KELVEX_STRESS_SECONDS set) KELVEX_SOAK_TRANSFERS of them (100,000 by
default), and the drift figures are printed.
"""

import json
import os
import subprocess
import sys

import pytest

from conftest import sanitized

STRESS_SECONDS = float(os.environ.get("KELVEX_STRESS_SECONDS", "0") or 0)
LONG_TRANSFERS = int(os.environ.get("KELVEX_SOAK_TRANSFERS", "100000"))
LONG_SECONDS = 3600  # for the long form's transfers; it fails if they take longer
DRIVER = os.path.join(os.path.dirname(__file__), "soak_driver.py")


def soak(server, warmup, measured, checkpoints, seconds):
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", DRIVER, server.url, str(warmup), str(measured),
         str(checkpoints), str(seconds), "12"],
        capture_output=True, text=True, timeout=seconds + 120)
    assert proc.returncode == 0, f"the soak ended with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def drift(figures, key):
    """How far a reading moved from the end of the warm-up to the end."""
    readings = figures["readings"]
    return readings[-1][key] - readings[0][key]


def describe(figures):
    first = figures["readings"][0]
    return (f"{figures['transfers']} transfers soaked ({figures['failed']} failed on purpose) in "
            f"{figures['seconds']:.0f} s; drift after {first['transfers']} warm-up transfers: "
            f"live objects {drift(figures, 'objects'):+d} (the module's {drift(figures, 'ours'):+d}), "
            f"traced memory {drift(figures, 'traced') / 1024:+.1f} KiB, resident "
            f"{drift(figures, 'rss') / 1024:+.0f} KiB; at each checkpoint, resident (MiB) "
            + " ".join(f"{r['rss'] / 2**20:.1f}" for r in figures["readings"])
            + ", traced (KiB) "
            + " ".join(f"{r['traced'] / 1024:.0f}" for r in figures["readings"]))


def check_settled(figures):
    # Leaking one object, or a hundred bytes, per transfer exceeds these
    # bounds many times over even in the short form.
    figures_text = describe(figures)
    assert drift(figures, "ours") <= 5, figures_text
    assert drift(figures, "objects") <= 100, figures_text
    assert drift(figures, "traced") <= 128 * 1024, figures_text
    if not sanitized():  # the sanitizer's quarantine keeps freed memory resident
        assert drift(figures, "rss") <= 4 * 1024 * 1024, figures_text


def test_soak_short(http_server):
    figures = soak(http_server, warmup=300, measured=2000, checkpoints=2, seconds=300)
    assert figures["transfers"] >= 2300, describe(figures)
    assert figures["failed"] > 0, describe(figures)
    assert figures["stderr_writes"] > 0, describe(figures)  # the callables' tracebacks
    check_settled(figures)


@pytest.mark.skipif(not STRESS_SECONDS, reason="the long form runs under make stress")
@pytest.mark.timeout(LONG_SECONDS + 300)
def test_soak_long(http_server, stress_report):
    warmup = min(5000, LONG_TRANSFERS // 10)
    figures = soak(http_server, warmup=warmup, measured=LONG_TRANSFERS - warmup, checkpoints=10,
                   seconds=LONG_SECONDS)
    stress_report("soak: " + describe(figures))
    assert figures["transfers"] >= LONG_TRANSFERS, "the soak ran out of time: " + describe(figures)
    check_settled(figures)
