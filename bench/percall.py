"""Instructions per call of kelvex's short methods, counted by callgrind.

    python bench/percall.py [--count N] [OP ...]

Each operation runs in two processes under callgrind, one making N calls
more than the other; the difference of their instruction totals divided by
N is the cost of one call as Python code makes it (the method's dispatch
included).  No network: the handles are never performed.  Operations:
getinfo (Curl.getinfo(RESPONSE_CODE)), setopt (Curl.setopt(TIMEOUT_MS, 5)),
in (Curl in CurlMulti), part.name (CurlMimePart.name("field")).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SETUP = """
import kelvex
c = kelvex.Curl()
m = kelvex.CurlMulti()
doc = kelvex.CurlMime(c)
part = doc.addpart()
"""

OPS = {
    "getinfo": "c.getinfo(kelvex.RESPONSE_CODE)",
    "setopt": "c.setopt(kelvex.TIMEOUT_MS, 5)",
    "in": "c in m",
    "part.name": 'part.name("field")',
}


def program(op: str, count: int) -> str:
    return SETUP + f"for _ in range({count}):\n    {OPS[op]}\n"


def instructions(op: str, count: int, scratch: str) -> int:
    out = os.path.join(scratch, f"callgrind.{op}.{count}")
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}",
                    sys.executable, "-c", program(op, count)], check=True, env=env)
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise RuntimeError(f"no totals in {out}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("ops", nargs="*", default=list(OPS))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        for op in args.ops:
            low = instructions(op, 1000, scratch)
            high = instructions(op, 1000 + args.count, scratch)
            print(f"{op:10s} {(high - low) / args.count:8.0f} instructions per call", flush=True)


if __name__ == "__main__":
    main()
