"""The C++ reference program (bench/native/curlbench.cpp): how it is built
against the environment's libcurl and how a job becomes its command line."""

import os
import subprocess

from bench.nginx import plain_env

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native", "curlbench.cpp")
FLAGS = ["-O2", "-g", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-pthread"]


def build(folder: str) -> str:
    """Compiles the program into folder (again only when the source is newer)
    and returns its path."""
    os.makedirs(folder, exist_ok=True)
    binary = os.path.join(folder, "curlbench")
    if os.path.exists(binary) and os.path.getmtime(binary) >= os.path.getmtime(SOURCE):
        return binary
    curl = subprocess.run(["pkg-config", "--cflags", "--libs", "libcurl"], check=True,
                          capture_output=True, text=True).stdout.split()
    tmp = f"{binary}.tmp.{os.getpid()}"
    subprocess.run(["g++", *FLAGS, SOURCE, *curl, "-o", tmp], check=True, env=plain_env())
    os.replace(tmp, binary)
    return binary


def command(binary: str, job: dict) -> list[str]:
    w, url = job["workload"], job["url"]
    if w == "w1":
        cmd = [binary, "w1", url, str(job["count"])]
        return cmd + ["--mark"] if job.get("marks") else cmd
    if w == "w5":
        return [binary, "w5", url, str(job["count"])]
    if w == "w2":
        return [binary, "w2", url, str(job["buffersize"])]
    if w == "w3":
        cmd = [binary, f"w3-{job['variant']}", url, str(job["count"]), str(job["inflight"])]
        return cmd + ["--mark"] if job.get("marks") else cmd
    if w == "w8":
        return [binary, f"w8-{job['variant']}", url, str(job["count"]), str(job["inflight"]),
                job["cafile"]]
    raise ValueError(f"the C++ program does not run {w}")


def version(binary: str) -> dict:
    import json

    out = subprocess.run([binary, "version"], check=True, capture_output=True, text=True,
                         env=plain_env())
    return json.loads(out.stdout)
