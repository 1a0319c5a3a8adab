"""Figures from the runs: medians and spreads, ratios to the C++ program,
the targets, and the three outputs (markdown table, JSON, PNG plot)."""

import json
import math
import os
import statistics

# Figures are compared with the C++ program driving libcurl the same way.
TARGETS_TEXT = {
    "W1": "kelvex >= 0.90 of C++",
    "W2": "memoryview >= 0.95, bytes >= 0.80 of C++ at the same buffer size",
    "W3": "kelvex >= 0.85 of C++ and >= 2x aiohttp",
    "W4": "instructions per request <= 1.15x C++",
    "W5": "speed-up >= 1.8 on a free-threaded interpreter",
    "W6": "drift < 1 MiB",
    "W7": "kelvex.aio >= 0.75 of C++ socket and >= 3x aiohttp on the same loop",
    "W8": "kelvex >= 0.90 of C++ and >= 3x httpx (HTTP/2)",
}

TITLES = {
    "W1": "W1: sequential GETs of 1 KiB on one keep-alive connection",
    "W2": "W2: one large download",
    "W3": "W3: GETs of 1 KiB with many in flight",
    "W4": "W4: client cost per W1 request",
    "W5": "W5: W1 on two threads, each with its own handle",
    "W6": "W6: resident memory drift over W1 requests",
    "W7": "W7: GETs of 1 KiB with many in flight, awaited on an asyncio loop",
    "W8": "W8: GETs of 1 KiB as HTTP/2 streams over one TLS connection",
}

UNITS = {
    "requests_per_s": "req/s",
    "mb_per_s": "MB/s",
    "cpu_us_per_request": "µs CPU",
    "instructions_per_request": "instructions",
    "speedup": "x",
    "drift_kib": "KiB",
}


def format_value(workload: str, value: float, callgrind: bool = False) -> str:
    if callgrind:
        return f"{value:,.0f} instructions/request"
    if workload == "W5":
        return f"{value:.2f}x speed-up"
    if workload == "W6":
        return f"{value:,.0f} KiB drift"
    return f"{value:,.1f} {'MB/s' if workload == 'W2' else 'req/s'}"


def _stats(values: list[float]) -> dict:
    if not values:
        return {}
    med = statistics.median(values)
    lo, hi = min(values), max(values)
    spread = (hi - lo) / abs(med) * 100 if med else 0.0
    return {"median": med, "min": lo, "max": hi, "spread_pct": spread, "samples": values,
            "n": len(values)}


def _figure(job, metric: str, samples: list[tuple[int, float]], variant=None, workload=None,
            **extra) -> dict:
    """A figure from (repetition, value) pairs; the repetitions are kept so
    that ratios can pair runs made in the same repetition."""
    fig = {"workload": workload or job.workload, "client": job.client,
           "variant": job.variant if variant is None else variant,
           "metric": metric, "unit": UNITS[metric], **_stats([v for _, v in samples]),
           "reps": [r for r, _ in samples], **extra}
    if not samples:
        fig["error"] = job.errors[0] if job.errors else "no run"
    elif job.errors:
        fig["failed_runs"] = job.errors
    return fig


def summarise(meta: dict, cfg: dict, jobs: dict, only: set) -> dict:
    figures = []
    profiles, w7_profiles = {}, {}
    for workload, group in jobs.items():
        if only and workload not in only:
            continue
        for job in group:
            samples = [(rep, v) for v, _, rep in job.samples]
            results = [(rep, r) for _, r, rep in job.samples]
            if job.callgrind:
                figures.append(_figure(job, "instructions_per_request", samples))
                if job.samples:
                    # The profile of the run whose count is the median.
                    ordered = sorted(job.samples, key=lambda s: s[0])
                    kept = w7_profiles if workload == "W7" else profiles
                    kept[job.label] = ordered[len(ordered) // 2][1]["profile"]
                continue
            if workload == "W5":
                per_thread = {"requests": job.params["count"]}
                if job.client != "native":
                    # The interpreter build, and the GIL as each run saw it.
                    per_thread["build"] = meta.get("build")
                    per_thread["gil_enabled"] = sorted({r.get("gil_enabled") for _, r in results},
                                                       key=str)
                figures.append(_figure(job, "requests_per_s", [
                    (rep, statistics.mean(r["rps_one"])) for rep, r in results], "1 thread", **per_thread))
                figures.append(_figure(job, "requests_per_s", [
                    (rep, r["rps_two"]) for rep, r in results], "2 threads", **per_thread))
                figures.append(_figure(job, "speedup", samples, "speed-up"))
                continue
            metric = {"W2": "mb_per_s", "W6": "drift_kib"}.get(workload, "requests_per_s")
            extra = {}
            if workload == "W6" and job.samples:
                extra = {"rss_first_kib": statistics.median(r["rss_first_kib"] for _, r in results),
                         "rss_last_kib": statistics.median(r["rss_last_kib"] for _, r in results),
                         "first_requests": job.params["first"]}
            if "count" in job.params:
                extra["requests"] = job.params["count"]
            if "inflight" in job.params:
                extra["inflight"] = job.params["inflight"]
            figures.append(_figure(job, metric, samples, **extra))
            if workload == "W1":
                figures.append(_figure(job, "cpu_us_per_request", [
                    (rep, (r["user"] + r["sys"]) / r["requests"] * 1e6) for rep, r in results], workload="W4"))
    _ratios(figures)
    for kept, base_label in ((profiles, "native easy"), (w7_profiles, "native socket")):
        base = kept.get(base_label)
        for label, prof in kept.items():
            if base and label != base_label:
                prof["more_than_cpp"] = [
                    {"function": fn, "object": obj, "cpp": a, "kelvex": b}
                    for fn, obj, a, b in _profile_deltas(base, prof)[:25]]
        for prof in kept.values():
            del prof["functions"][40:]
    return {"meta": meta, "config": {k: v for k, v in cfg.items()}, "figures": figures,
            "targets": targets(figures, meta), "profiles": profiles, "w7_profiles": w7_profiles}


def _find(figures, workload, metric, client, variant):
    for f in figures:
        if (f["workload"], f["metric"], f["client"], f["variant"]) == (workload, metric, client, variant):
            return f
    return None


def _by_rep(f) -> dict:
    return dict(zip(f.get("reps", []), f.get("samples", [])))


def _reference(figures, f):
    """The C++ figure a figure is compared with: (label, {repetition: value})."""
    w, m, client, variant = f["workload"], f["metric"], f["client"], f["variant"]
    ref = None
    if w in ("W1", "W4"):
        ref = _find(figures, w, m, "native", "easy")
    elif w == "W2":
        buffer = variant.split(", ")[-1] if client in ("native", "kelvex") else "1 MiB buffer"
        ref = _find(figures, w, m, "native", buffer)
    elif w == "W7":
        ref = _find(figures, w, m, "native", "socket")
    elif w == "W3" and client == "kelvex" and variant == "core":
        ref = _find(figures, w, m, "native", "socket")
    elif w in ("W3", "W8") and client in ("native", "kelvex"):
        ref = _find(figures, w, m, "native", variant)
    elif w in ("W3", "W8"):
        # The faster C++ style of each repetition.
        best = {}
        for x in figures:
            if x["workload"] == w and x["client"] == "native":
                for rep, v in _by_rep(x).items():
                    best[rep] = max(best.get(rep, 0.0), v)
        return "native (faster style)", best
    if ref is None:
        return None
    return f"{ref['client']} {ref['variant']}".strip(), _by_rep(ref)


def _paired_ratio(f, ref: dict) -> dict:
    """The median of the ratios of runs made in the same repetition: the
    machine's slow and fast phases then fall on both sides of each ratio."""
    ratios = [v / ref[rep] for rep, v in _by_rep(f).items() if ref.get(rep)]
    if not ratios:
        return {}
    return {"ratio": statistics.median(ratios), "ratio_min": min(ratios), "ratio_max": max(ratios)}


def _ratios(figures):
    for f in figures:
        ref = _reference(figures, f)
        if ref is None:
            continue
        f["reference"] = ref[0]
        f.update(_paired_ratio(f, ref[1]))


def _target(figures, workload, what, value, goal, met, note=None):
    t = {"workload": workload, "what": what, "value": value, "target": goal, "met": met}
    if note:
        t["note"] = note
    figures.append(t)


def targets(figures, meta) -> list[dict]:
    out = []

    def ratio(workload, metric, variant):
        f = _find(figures, workload, metric, "kelvex", variant)
        return f.get("ratio") if f else None

    def check(workload, what, value, op, bound, goal, note=None):
        met = None if value is None else (value >= bound if op == ">=" else
                                          value <= bound if op == "<=" else value < bound)
        _target(out, workload, what, value, goal, met, note)

    for variant in ("callback", "perform_rb"):
        check("W1", f"kelvex {variant} / C++", ratio("W1", "requests_per_s", variant), ">=", 0.90, ">= 0.90")
    for buf in ("default buffer", "1 MiB buffer"):
        check("W2", f"kelvex memoryview / C++, {buf}", ratio("W2", "mb_per_s", f"memoryview, {buf}"),
              ">=", 0.95, ">= 0.95")
        check("W2", f"kelvex bytes / C++, {buf}", ratio("W2", "mb_per_s", f"bytes, {buf}"),
              ">=", 0.80, ">= 0.80")
    aio = _find(figures, "W3", "requests_per_s", "aiohttp", "")
    for style in ("poll", "socket"):
        check("W3", f"kelvex {style} / C++ {style}", ratio("W3", "requests_per_s", style), ">=", 0.85, ">= 0.85")
        k = _find(figures, "W3", "requests_per_s", "kelvex", style)
        x = _paired_ratio(k, _by_rep(aio)).get("ratio") if k and aio else None
        check("W3", f"kelvex {style} / aiohttp", x, ">=", 2.0, ">= 2")
    check("W3", "kelvex core / C++ socket", ratio("W3", "requests_per_s", "core"), ">=", 0.95, ">= 0.95")
    for variant in ("callback", "perform_rb"):
        check("W4", f"kelvex {variant} instructions per request / C++",
              ratio("W4", "instructions_per_request", variant), "<=", 1.15, "<= 1.15")
    sp = _find(figures, "W5", "speedup", "kelvex", "speed-up")
    free = _gil_state(meta, figures) == FREE_THREADED
    value = sp.get("median") if sp else None
    if free:
        check("W5", "kelvex two threads / one thread", value, ">=", 1.8, ">= 1.8")
    else:
        _target(out, "W5", "kelvex two threads / one thread", value, ">= 1.8 (free-threaded only)", None,
                "the interpreter runs with the GIL, so the target does not apply")
    for variant in ("callback", "perform_rb"):
        f = _find(figures, "W6", "drift_kib", "kelvex", variant)
        check("W6", f"kelvex {variant} RSS drift (KiB)", f.get("median") if f else None, "<", 1024, "< 1024")
    for loop in ("asyncio", "uvloop"):
        k = _find(figures, "W7", "requests_per_s", "kelvex", loop)
        if k is None:
            continue
        check("W7", f"kelvex.aio {loop} / C++ socket", k.get("ratio"), ">=", 0.90, ">= 0.90")
        # Counted only when the run profiles W7 (not in the quick run).
        profiled = _find(figures, "W7", "instructions_per_request", "native", "socket")
        for variant in (loop, f"{loop} perform_rb") if profiled else ():
            check("W7", f"kelvex.aio {variant} instructions per request / C++ socket",
                  ratio("W7", "instructions_per_request", variant), "<=", 1.15, "<= 1.15")
        peer = _find(figures, "W7", "requests_per_s", "aiohttp", loop)
        x = _paired_ratio(k, _by_rep(peer)).get("ratio") if peer else None
        check("W7", f"kelvex.aio {loop} / aiohttp {loop}", x, ">=", 3.0, ">= 3")
    hx = _find(figures, "W8", "requests_per_s", "httpx-h2", "")
    for style in ("poll", "socket"):
        check("W8", f"kelvex {style} / C++ {style}", ratio("W8", "requests_per_s", style), ">=", 0.90,
              ">= 0.90")
        k = _find(figures, "W8", "requests_per_s", "kelvex", style)
        x = _paired_ratio(k, _by_rep(hx)).get("ratio") if k and hx else None
        check("W8", f"kelvex {style} / httpx (HTTP/2)", x, ">=", 3.0, ">= 3")
    return out


FREE_THREADED = "free-threaded build, GIL disabled"


def _gil_state(meta, figures) -> str:
    """Which build ran the benchmarks and whether the GIL was off: as the W5
    kelvex runs saw it when there are any, else after importing kelvex."""
    if not meta.get("free_threaded_build"):
        return "GIL build"
    seen = set()
    for f in figures:
        if f["workload"] == "W5" and f["client"] == "kelvex" and "gil_enabled" in f:
            seen.update(f["gil_enabled"])
    if not seen:
        seen = {meta.get("gil_enabled")}
    if seen == {False}:
        return FREE_THREADED
    return "free-threaded build, but the GIL was enabled (by an extension module that needs it)"


# Outputs

def write_all(results: dict, folder: str) -> list[str]:
    paths = [os.path.join(folder, n) for n in ("results.json", "results.md", "results.png")]
    with open(paths[0], "w") as f:
        json.dump(results, f, indent=1, sort_keys=False)
        f.write("\n")
    with open(paths[1], "w") as f:
        f.write(markdown(results))
    plot(results, paths[2])
    return paths


def _num(v, digits=1) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "—"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    return f"{v:,.{digits}f}"


def markdown(results: dict) -> str:
    meta, figs = results["meta"], results["figures"]
    pk = meta.get("packages", {})
    kv = meta.get("kelvex", {})
    interp = _gil_state(meta, figs)
    lines = [
        "# kelvex benchmarks",
        "",
        f"Run {meta['date']} ({results['config'].get('mode', 'full')} mode, {meta.get('duration_s', '?')} s)"
        + (f", kelvex commit {meta['kelvex_commit']}" if meta.get("kelvex_commit") else "") + ".",
        f"Machine: {meta['cores']} cores ({meta['cpu'] or 'unknown CPU'}), Linux {meta['kernel']}; "
        "nothing is pinned: client and nginx share the cores. Load average (1 min) "
        f"{meta['load_average_at_start'][0]:.2f} at start, {meta.get('load_average_at_end', [float('nan')])[0]:.2f} at end.",
        f"Python {meta['python']} ({interp}); kelvex {kv.get('version', '?').split(' ')[0]}; "
        f"libcurl {meta['libcurl']}, {meta['openssl']}; nginx {meta['nginx']} with "
        f"{meta['nginx_workers']} workers (sendfile, keep-alive unlimited); {meta['valgrind']}.",
        "Peers: " + ", ".join(f"{k} {v}" for k, v in pk.items() if k != "matplotlib") + ". "
        "curl_cffi (with the libcurl its wheel bundles) runs only as a peer installed from PyPI: "
        "on asyncio loops in W7, asked for HTTP/2 in W8.",
        "",
    ]
    for r in meta.get("reruns", []):
        lines += [f"Run again for {', '.join(r['workloads'])}: {r['date']} "
                  + (f"(kelvex commit {r['kelvex_commit']}) " if r.get("kelvex_commit") else "")
                  + f"in {r.get('duration_s', '?')} s, load average (1 min) "
                  f"{r['load_average_at_start'][0]:.2f} at start, {r['load_average_at_end'][0]:.2f} at end; "
                  "their figures are from that run, the others from the run above.", ""]
    runs = [meta] + meta.get("reruns", [])
    busy = max(max(r["load_average_at_start"][0], (r.get("load_average_at_end") or [0])[0]) for r in runs)
    if busy > 0.5 * meta["cores"]:
        lines += [f"**The machine was busy during {'these runs' if len(runs) > 1 else 'this run'} (load "
                  f"average up to {busy:.1f} on {meta['cores']} cores): timed figures are noisy, see the "
                  "spreads. The callgrind instruction counts (W4, W7) and the memory drift (W6) do not "
                  "depend on the load.**", ""]
    lines += [
        "Every figure is the median of interleaved repetitions (client A, B, C, then again), each run "
        "in its own process; spread is (max - min) / median. Ratios are to the C++ program "
        "(bench/native/curlbench.cpp) driving libcurl the same way: the median of the ratios of runs "
        "made in the same repetition, so that slow and fast phases of the machine fall on both sides "
        "of each ratio (the range of those ratios is in the last column).",
        "",
        "## Targets",
        "",
        "| workload | figure | value | target | met |",
        "|---|---|---:|---|---|",
    ]
    for t in results["targets"]:
        met = {True: "yes", False: "**no**", None: "n/a"}[t["met"]]
        note = f" ({t['note']})" if t.get("note") else ""
        lines.append(f"| {t['workload']} | {t['what']} | {_num(t['value'], 2)} | {t['target']} | {met}{note} |")

    for w in TITLES:
        rows = [f for f in figs if f["workload"] == w]
        if not rows:
            continue
        lines += ["", f"## {TITLES[w]}", ""]
        lines += _workload_notes(w, results)
        lines += ["| client | variant | metric | median | spread | ratio to C++ | ratio range |",
                  "|---|---|---|---:|---:|---:|---:|"]
        for f in rows:
            if f.get("error"):
                value, spread = f["error"], "—"
            else:
                value, spread = f"{_num(f['median'])} {f['unit']}", f"{f['spread_pct']:.1f}%"
            ratio = _num(f.get("ratio"), 2) if "ratio" in f else "—"
            span = f"{f['ratio_min']:.2f}–{f['ratio_max']:.2f}" if "ratio_min" in f else "—"
            lines.append(f"| {f['client']} | {f['variant'] or '—'} | {f['metric']} | {value} | {spread} "
                         f"| {ratio} | {span} |")

    lines += _profile_section("Profile of the W1 loop", results.get("profiles"))
    lines += _profile_section("Profile of the W7 loop", results.get("w7_profiles"))
    return "\n".join(lines).rstrip() + "\n"


def _profile_section(title: str, profiles: dict | None) -> list[str]:
    if not profiles:
        return []
    lines = ["", f"## {title} (callgrind, instructions per request, own cost)", "", "By shared object:", ""]
    labels = list(profiles)
    objects = {}
    for label in labels:
        for r in profiles[label]["objects"]:
            objects.setdefault(r["object"], {})[label] = r["ir_per_request"]
    lines += ["| object | " + " | ".join(labels) + " |", "|---|" + "---:|" * len(labels)]
    for obj, per in sorted(objects.items(), key=lambda kv: -max(kv[1].values())):
        if max(per.values()) >= 10:
            lines.append(f"| {obj} | " + " | ".join(_num(per.get(lb), 0) for lb in labels) + " |")
    for label in labels:
        lines += ["", f"Top functions, {label}:", "",
                  "| function | object | instructions/request |", "|---|---|---:|"]
        for r in profiles[label]["functions"][:15]:
            lines.append(f"| `{r['function']}` | {r['object']} | {r['ir_per_request']:,.0f} |")
    for label in labels:
        rows = profiles[label].get("more_than_cpp")
        if not rows:
            continue
        lines += ["", f"Where {label} spends more than the C++ program (largest differences):", "",
                  "| function | object | C++ | kelvex | difference |", "|---|---|---:|---:|---:|"]
        for r in rows[:15]:
            lines.append(f"| `{r['function']}` | {r['object']} | {r['cpp']:,.0f} | {r['kelvex']:,.0f} "
                         f"| {r['kelvex'] - r['cpp']:+,.0f} |")
    return lines


def _profile_deltas(base: dict, other: dict) -> list[tuple]:
    a = {(r["function"], r["object"]): r["ir_per_request"] for r in base["functions"]}
    b = {(r["function"], r["object"]): r["ir_per_request"] for r in other["functions"]}
    rows = [(fn, obj, a.get((fn, obj), 0.0), b.get((fn, obj), 0.0)) for fn, obj in set(a) | set(b)]
    rows.sort(key=lambda r: -(r[3] - r[2]))
    return rows


def _workload_notes(w: str, results: dict) -> list[str]:
    cfg = results["config"]
    notes = {
        "W1": f"{cfg['w1_count']:,} requests after one untimed request. kelvex `callback`: a Python "
              "write callable counting the bytes; `perform_rb`: the body returned as bytes.",
        "W2": f"{cfg['big'] / 2**20:,.0f} MiB file (sparse, from the page cache). kelvex delivers bytes or "
              "memoryviews to a write callable, or writes to a file object (/dev/null) through WRITEDATA; "
              "it and the C++ program run with libcurl's default receive buffer (16 KiB) and with "
              "BUFFERSIZE 1 MiB, and compare like with like. The peers stream in 1 MiB pieces and are "
              "compared with C++ at 1 MiB.",
        "W3": f"{cfg['w3_count']:,} requests ({', '.join(f'{k} {v:,}' for k, v in cfg['w3_peer_count'].items())})"
              f" with {cfg['w3_inflight']} in flight, after one untimed round. `poll`: multi perform, "
              "then timeout and select; `socket`: socket and timer callbacks into epoll, and "
              "socket_action; `core`: the socket style through kelvex.EventCore (sockets and timer "
              "handled in C++, one process() call per wake-up returning the finished transfers, "
              "bodies collected as bytes), compared with C++'s socket style. The asyncio peers run "
              "one task per connection on the standard event loop and are compared with the faster "
              "C++ style.",
        "W4": f"CPU time (user + system of the client process) per request, from the W1 runs; "
              f"instructions per request counted by callgrind over exactly the timed loop of "
              f"{cfg['w4_count']:,} W1 requests (lower is better; the ratio is client / C++).",
        "W5": f"{cfg['w5_count']:,} requests per thread; each thread has its own handle and connection. "
              "Each run does one thread, two threads, then one thread again, and its speed-up is two "
              "threads against the mean of the one-thread runs on either side. One connection leaves "
              "client and server idle between requests, and an idle virtual CPU wakes slowly; two "
              "keep the CPUs busy, so on a virtual machine the speed-up can exceed 2 for C++ as well. "
              f"Interpreter: {_gil_state(results['meta'], results['figures'])}"
              f" (sys._is_gil_enabled() = {results['meta'].get('gil_enabled')} after importing kelvex). "
              "With 2 cores shared with "
              "nginx, the C++ program's speed-up is the ceiling of this machine.",
        "W6": f"Resident memory after {cfg['w6_count']:,} requests minus after the first "
              f"{cfg['w6_first']:,}, each read after a full garbage collection.",
        "W7": f"{cfg['w7_count']:,} requests ({', '.join(f'{k} {v:,}' for k, v in cfg['w7_peer_count'].items())})"
              f" with {cfg['w7_inflight']} in flight, after one untimed round, as {cfg['w7_inflight']} "
              "tasks each awaiting one request after the other on one event loop (the variant: the "
              "standard loop, or uvloop). kelvex: `await multi.perform(c)` of kelvex.aio, with a Python "
              "write callable counting the bytes; the peers share one session. A failed transfer "
              "raises; each task checks the HTTP status of its last transfer, as the C++ program "
              "and W1 do (checking it after every request, as earlier runs did, cost kelvex "
              "about 1,450 instructions per request that the C++ program did not spend). All are compared with "
              "the C++ program's socket style (socket and timer callbacks into epoll, socket_action)."
              + (f" Instructions per request: callgrind over the timed loop of {cfg['w7_callgrind_count']:,} "
                 "requests, one run each; the profile is at the end." if cfg.get("w7_callgrind_count") else "")
              + " `perform_rb`: `await multi.perform_rb(c)`, the body collected in C++ and returned as "
              "bytes. What was done for speed: kelvex.aio stands on kelvex.EventCore, which keeps "
              "libcurl's sockets and a timerfd for its timer in one epoll set and runs socket_action, "
              "info_read and the handle removal in C++ with the interpreter detached; the loop watches "
              "that one descriptor, and each finished transfer resolves its future from C++, so Python "
              "sees one completion per transfer instead of two socket and about one timer callback "
              "(callgrind, 5,000 requests, standard loop: 106,000 instructions per request before, "
              "94,000 after). Then the loop's own work per transfer went too: `perform()` returns "
              "the core's coroutine of the transfer (EventCore.awaitable, C++), which waits on the "
              "core's future (TransferFuture), and when process() runs in the loop's reader callback "
              "a completed future steps its waiting task at once instead of through call_soon, a "
              "Handle and a turn of the loop; the core adds handles without detaching and turns "
              "libcurl's progress calls off while it runs a transfer without a progress callable "
              "(standard loop 94,000 to 84,200, uvloop 87,800 to 83,500). Last, with the status "
              "checked as the C++ program checks it (84,200 to 82,800): `perform` and `perform_rb` "
              "of a Multi without a cap are the core's own callables (EventCore.performer), not "
              "Python methods; the core leaves libcurl's progress calls off between its transfers "
              "instead of turning them on and off for each, and finds a finished transfer by its "
              "libcurl handle instead of asking libcurl for its Curl (standard loop 82,800 to "
              "81,800; uvloop 81,450). What remains above C++ is "
              "the interpreter: the task step (its bookkeeping of the current task and the "
              "attributes it asks of a future that is not asyncio's own), the benchmark's own loop "
              "and write callable, the 1 KiB bytes object per body (a malloc that consolidates "
              "libc's fast bins each time), and the multi's membership records; libcurl's own work "
              "is the same. That share of the interpreter (the benchmark's Python and asyncio's "
              "task step: about 6,100 instructions per request, 8.6% of the C++ program's whole "
              "count) alone leaves the timed ratio below 0.92 even at the C++ program's speed per "
              "instruction, and interpreted code runs fewer instructions per cycle (the W3 core "
              "variant: 1.07x the instructions of C++, 1.17-1.22x its CPU time).",
        "W8": f"{cfg['w8_count']:,} requests with {cfg['w8_inflight']} in flight as HTTP/2 streams over "
              "one TLS 1.3 connection to nginx (second listener, `http2 on`), after one untimed round. "
              "kelvex and C++: CurlMulti with PIPEWAIT and M_MAX_CONCURRENT_STREAMS, driven as in W3 "
              "(`poll` or `socket`). httpx: AsyncClient(http2=True) limited to one connection, one "
              "task per stream; curl_cffi: AsyncSession asked for HTTP/2 with as many clients as "
              "streams. Peers are compared with the faster C++ style.",
    }
    return [notes[w], ""]


def plot(results: dict, path: str):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("W1", "requests_per_s", [0.90]), ("W2", "mb_per_s", [0.80, 0.95]),
              ("W3", "requests_per_s", [0.85]), ("W7", "requests_per_s", [0.75]),
              ("W8", "requests_per_s", [0.90])]
    colours = {"native": "#7f7f7f", "kelvex": "#1f77b4"}
    rows = {w: [f for f in results["figures"] if f["workload"] == w and f["metric"] == m]
            for w, m, _ in panels}
    heights = [max(len(r), 1) for r in rows.values()]
    fig, axes = plt.subplots(len(panels), 1, figsize=(9, 1.6 + 0.32 * sum(heights)),
                             gridspec_kw={"height_ratios": heights})
    for ax, (w, m, goals) in zip(axes, panels):
        figs = rows[w]
        labels = [f"{f['client']} {f['variant']}".strip() for f in figs]
        values = [f.get("ratio", 0.0) for f in figs]
        ax.barh(range(len(figs)), values,
                color=[colours.get(f["client"], "#ff7f0e") for f in figs])
        for i, (v, f) in enumerate(zip(values, figs)):
            text = f"{v:.2f}" if "ratio" in f else "failed"
            ax.text(v, i, f" {text}", va="center", fontsize=8)
        ax.set_yticks(range(len(figs)), labels, fontsize=8)
        ax.invert_yaxis()
        ax.axvline(1.0, color="black", linewidth=0.8)
        for g in goals:
            ax.axvline(g, color="#2ca02c", linewidth=0.8, linestyle="--")
        ax.set_title(TITLES[w], fontsize=9, loc="left")
        ax.set_xlim(0, max([1.15] + [v * 1.15 for v in values]))
    axes[-1].set_xlabel("ratio to the C++ program in the same run (higher is better; dashed: targets)")
    meta = results["meta"]
    fig.suptitle(f"kelvex vs libcurl from C++ and Python peers — {meta['date'][:10]}, "
                 f"{meta['cores']} cores, Python {meta['python']}, libcurl {meta['libcurl']}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
