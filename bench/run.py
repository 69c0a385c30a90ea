"""Benchmark of fernwick.main() against the local stand-in.

    .venv/bin/python bench/run.py [--latency 0.02] [--quick] [--repeat N]
                                  [--profile A] [--no-profile]
    .venv/bin/python bench/run.py --network [--quick]     (bench/netbench.py)
    .venv/bin/python bench/run.py --throttle [--quick]    (bench/throttle.py)

The stand-in serves from this process (a thread of its own, with `latency`
seconds added before every reply); each run of a workload is a fresh client
process (bench/client.py), so the client's CPU and RSS are its own. Workloads
A and B are also run as the "floor": the same HTTP traffic from plain Python
without the module. One more run of A is sampled with py-spy (installed with
pip into bench/.tools on first use). Results go to bench/results.json and
bench/results.md and are printed as tables. See bench/README.md for what each
figure means.
"""

import argparse
import json
import math
import re
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from standin import Drive, StandIn  # noqa: E402
from netbench import client_figures  # noqa: E402

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30
PAGE = 115                  # items per listing page
WORKERS = 6                 # worker threads per folder dispatch
PREFIX = 131072             # bytes of each file the client hashes
READ_SLACK = 64 * KiB       # allowed read-ahead past the prefix
SLOW_END = 1.0              # a dispatch end this late after its last entry is "slow"
TOOLS = os.path.join(HERE, ".tools")   # venv holding the profiler

C_SIZES = [1 * KiB, 1 * MiB, 100 * MiB, 4 * GiB, 64 * GiB]


# -- workloads -----------------------------------------------------------------
def workloads(quick):
    per_size = 2 if quick else 3
    big = [s for s in C_SIZES for _ in range(per_size)]
    return [
        {"name": "A", "what": "one folder, %d files, single-folder mode" % (300 if quick else 600),
         "drive": lambda: Drive.flat(300 if quick else 600), "recursive": False, "floor": True},
        {"name": "B", "what": "tree of %d folders x 5 files, recursive" % (30 if quick else 100),
         "drive": lambda: Drive.tree(29 if quick else 99, 5), "recursive": True, "floor": True},
        {"name": "C", "what": "one folder, 1 KiB..64 GiB files (%d of each size)" % per_size,
         "drive": lambda: Drive.sizes(big), "recursive": False, "by_size": True},
        {"name": "C1", "what": "as C, every file 1 MiB (control for C's RSS)",
         "drive": lambda: Drive.sizes([1 * MiB] * len(big)), "recursive": False,
         "by_size": True},
    ]


def pages(folder):
    """Listing requests one folder takes: the first page always, then one per
    further page of sub-folders and files (the type filter is not applied)."""
    items = len(folder.folders) + len(folder.files)
    return max(1, math.ceil(items / PAGE))


def lower_bound(drive, recursive, latency):
    """Listing pages + walk pages, one after another, plus per folder dispatch
    ceil(files/6) rounds of two requests (address, download), all x latency."""
    folders = drive.folders() if recursive else [drive.root]
    walk = sum(pages(f) for f in folders) if recursive else 0
    listing = sum(pages(f) for f in folders)
    rounds = sum(math.ceil(len(f.files) / WORKERS) for f in folders)
    return {
        "walk_pages": walk,
        "listing_pages": listing,
        "dispatch_rounds": rounds,
        "folders": len(folders),
        "files": sum(len(f.files) for f in folders),
        "bound": (walk + listing + 2 * rounds) * latency,
    }


# -- one client run ------------------------------------------------------------
def client_command(base_url, cid, recursive, workdir, out, floor=False):
    return [sys.executable, os.path.join(HERE, "client.py"), "--base-url", base_url,
            "--cid", cid, "--recursion", "是" if recursive else "否",
            "--workdir", workdir, "--out", out] + (["--floor"] if floor else [])


def run_client(workload, drive, latency, scratch, tag, profiler=None, floor=False):
    """One fresh client process against a fresh stand-in; returns its figures
    merged with what the stand-in saw."""
    workdir = os.path.join(scratch, tag)
    out = os.path.join(scratch, tag + ".json")
    log = os.path.join(scratch, tag + ".log")
    env = dict(os.environ, PYTHONIOENCODING="utf-8", PYTHONUNBUFFERED="0")
    with StandIn(drive, latency=latency) as s:
        cmd = client_command(s.base_url, s.root_cid, workload["recursive"], workdir, out, floor)
        if profiler is not None:
            cmd = profiler + ["--"] + cmd
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.monotonic()
        with open(log, "wb") as logf:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=logf,
                                  stderr=subprocess.STDOUT, env=env, timeout=900)
        process_wall = time.monotonic() - t0
        idle = s.wait_idle(10.0)
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        records = s.log.records()
    fig = client_figures(proc, out, log, tag)
    fig["process_wall"] = process_wall
    fig["standin_cpu"] = (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime)
    fig["standin_idle"] = idle
    kinds = Counter(r.kind for r in records)
    fig["requests"] = dict(kinds)
    fig["sent"] = [{"pickcode": r.pickcode, "sent": r.sent, "error": r.error}
                   for r in records if r.kind == "download"]
    fig["check"] = check_output(drive, workdir)
    fig["workdir"] = workdir
    return fig


def check_output(drive, workdir):
    """The output file against the stand-in's expected lines."""
    path = os.path.join(workdir, "QuillsiftBYOskel.txt")
    try:
        with open(path, encoding="utf-8") as f:
            got = Counter(f.read().splitlines())
    except OSError:
        got = Counter()
    want = Counter(drive.expected_lines())
    return {"lines": sum(got.values()), "expected": sum(want.values()),
            "missing": sum((want - got).values()), "unexpected": sum((got - want).values())}


# -- figures -------------------------------------------------------------------
def by_size(drive, fig):
    """Per file size: bytes the client read from the socket and bytes the
    stand-in pushed, per download."""
    size_of = {f.pickcode: f.size for f in drive.files()}
    read, sent = defaultdict(list), defaultdict(list)
    for d in fig["downloads"]:
        if d["socket_read"] is not None:
            read[size_of.get(d["pickcode"])].append(d["socket_read"])
    for d in fig["sent"]:
        sent[size_of.get(d["pickcode"])].append(d["sent"])
    rows = []
    for size in sorted(set(read) | set(sent), key=lambda s: (s is None, s)):
        r, s = read.get(size, []), sent.get(size, [])
        rows.append({"size": size, "downloads": len(s),
                     "read_max": max(r) if r else None,
                     "read_mean": statistics.mean(r) if r else None,
                     "sent_max": max(s) if s else None,
                     "sent_mean": statistics.mean(s) if s else None})
    return rows


def metered(fig, kind, what):
    return fig["meter"].get(kind, {}).get(what, 0.0)


def both(fig, kind, what):
    """A figure metered by thread (client.py's by_thread), main thread + workers."""
    return metered(fig, kind + " (main thread)", what) + metered(fig, kind + " (workers)", what)


def watchdog(fig):
    """The module's watchdog threads (named fernwick-watchdog): how many were
    started, their CPU and lifetimes added up, and the wall the starting
    threads spent in their start() and join()."""
    calls = lambda kind: sum(fig["meter"].get("%s (%s)" % (kind, who), {}).get("calls", 0)
                             for who in ("main thread", "workers"))
    return {"threads": calls("watchdog start"),
            "joins": calls("watchdog join"),
            "cpu": metered(fig, "watchdog thread", "cpu"),
            "lifetime": metered(fig, "watchdog thread", "wall"),
            "start_wall": both(fig, "watchdog start", "wall"),
            "start_cpu": both(fig, "watchdog start", "cpu"),
            "join_wall": both(fig, "watchdog join", "wall")}


def cpu_split(fig):
    """main() CPU split at call boundaries (thread CPU seconds, see client.py)."""
    cpu = lambda kind: metered(fig, kind, "cpu")
    threads = cpu("main thread") + cpu("worker threads")
    requests_ = cpu("requests (main thread)") + cpu("requests (workers)")
    json_, sha1 = cpu("json"), cpu("sha1")
    return {
        "total": fig["cpu"],
        "main_thread": cpu("main thread"),
        "workers": cpu("worker threads"),
        "other_threads": fig["cpu"] - threads,
        "watchdog_thread": cpu("watchdog thread"),
        "requests": requests_,
        "json": json_,
        "sha1": sha1,
        "watchdog_start": both(fig, "watchdog start", "cpu"),
        "module_rest": threads - requests_ - json_ - sha1,
    }


def worker_time(fig, files):
    """Where a worker's wall time goes, per file handled (seconds): the six
    workers' lifetimes added up, the part inside requests calls, the parts
    in start() and join() of the module's watchdog thread."""
    if not files or "worker threads" not in fig["meter"]:
        return None
    wall = lambda kind: metered(fig, kind, "wall")
    total = wall("worker threads") / files
    in_requests = wall("requests (workers)") / files
    start = wall("watchdog start (workers)") / files
    join = wall("watchdog join (workers)") / files
    return {"total": total, "requests": in_requests, "watchdog_start": start,
            "watchdog_join": join, "rest": total - in_requests - start - join}


def phases(fig, bound, floor):
    """Wall per listing page (walk and file listings, one after another) and
    per dispatch round (ceil(files/6) per folder), for the module and the floor."""
    pages = bound["walk_pages"] + bound["listing_pages"]
    rounds = bound["dispatch_rounds"]
    listing = metered(fig, "get_cidlist", "wall") + metered(fig, "get_sha1list", "wall")
    dispatch = sum(d["duration"] or 0.0 for d in fig["dispatches"])
    out = {"pages": pages, "rounds": rounds,
           "listing_wall": listing, "dispatch_wall": dispatch,
           "page_ms": 1000 * listing / pages if pages else None,
           "round_ms": 1000 * dispatch / rounds if rounds else None,
           "rest_wall": fig["wall"] - listing - dispatch}
    if floor is not None:
        f_listing = metered(floor, "requests (main thread)", "wall")
        f_dispatch = metered(floor, "dispatch", "wall")
        out.update({"floor_listing_wall": f_listing, "floor_dispatch_wall": f_dispatch,
                    "floor_page_ms": 1000 * f_listing / pages if pages else None,
                    "floor_round_ms": 1000 * f_dispatch / rounds if rounds else None,
                    "floor_rest_wall": floor["wall"] - f_listing - f_dispatch})
    return out


def summarize(workload, drive, bound, figs, latency, floors):
    walls = [f["wall"] for f in figs]
    floor_walls = [f["wall"] for f in floors]
    floor_wall = statistics.median(floor_walls) if floors else None
    median_wall = statistics.median(walls)
    # The run whose wall is the median one speaks for the others.
    median_run = lambda runs: sorted(runs, key=lambda f: f["wall"])[(len(runs) - 1) // 2]
    fig = median_run(figs)
    floor = median_run(floors) if floors else None
    files = bound["files"]
    reads = [d["socket_read"] for d in fig["downloads"] if d["socket_read"] is not None]
    delivered = [d["delivered"] for d in fig["downloads"]]
    sent = [d["sent"] for d in fig["sent"]]
    tails = [d["tail"] for d in fig["dispatches"] if d["tail"] is not None]
    slow = [sum(1 for d in f["dispatches"] if d["tail"] is not None and d["tail"] >= SLOW_END)
            for f in figs]
    empties = [w for d in fig["dispatches"] for w in d["empty_waits"]]
    dispatch_time = sum(d["duration"] or 0.0 for d in fig["dispatches"])
    listing_time = metered(fig, "get_cidlist", "wall") + metered(fig, "get_sha1list", "wall")
    return {
        "name": workload["name"],
        "what": workload["what"],
        "files": files,
        "folders": bound["folders"],
        "latency": latency,
        "walls": walls,
        "wall": median_wall,
        "bound": bound["bound"],
        "bound_terms": {k: bound[k] for k in ("walk_pages", "listing_pages", "dispatch_rounds")},
        "ratio": median_wall / bound["bound"] if bound["bound"] else None,
        "floor_walls": floor_walls,
        "floor_wall": floor_wall,
        "floor_ratio": floor_wall / bound["bound"] if floors and bound["bound"] else None,
        "floor_cpu_per_file": (statistics.median(f["cpu"] for f in floors) / files
                               if floors and files else None),
        "floor_check": [f["check"] for f in floors],
        "cpu_per_file": fig["cpu"] / files if files else None,
        "cpu": fig["cpu"],
        "cpu_process": fig["cpu_process"],
        "standin_cpu": fig["standin_cpu"],
        "rss_before": fig["rss_before"],
        "rss_peak": fig["rss_peak"],
        "rss_peaks": [f["rss_peak"] for f in figs],
        "read_max": max(reads) if reads else None,
        "read_mean": statistics.mean(reads) if reads else None,
        "delivered_max": max(delivered) if delivered else None,
        "sent_max": max(sent) if sent else None,
        "sent_mean": statistics.mean(sent) if sent else None,
        "dispatches": len(fig["dispatches"]),
        "slow_ends": slow,
        "empty_waits": len(empties),
        "empty_wait_seconds": sum(empties),
        "tail_max": max(tails) if tails else None,
        "dispatch_seconds": dispatch_time,
        "listing_seconds": listing_time,
        "listing_calls": {k: fig["meter"].get(k, {}).get("calls", 0)
                          for k in ("get_cidlist", "get_sha1list")},
        "listing_requests_wall": metered(fig, "requests (main thread)", "wall"),
        "cpu_split": cpu_split(fig),
        "watchdog": watchdog(fig),
        "watchdog_threads": [watchdog(f)["threads"] for f in figs],
        "worker_time": worker_time(fig, files),
        "floor_worker_time": worker_time(floor, files) if floor else None,
        "floor_cpu_split": cpu_split(floor) if floor else None,
        "phases": phases(fig, bound, floor),
        "ru_maxrss": fig.get("ru_maxrss"),
        "requests": fig["requests"],
        "pages_seen": fig["requests"].get("api_list", 0) + fig["requests"].get("aps_list", 0),
        "pages_expected": bound["walk_pages"] + bound["listing_pages"],
        "check": fig["check"],
        "by_size": by_size(drive, fig) if workload.get("by_size") else [],
        "module": fig["module"],
        "error": fig["error"],
    }


# -- profile -------------------------------------------------------------------
def ensure_profiler():
    """py-spy in bench/.tools (made with pip on first use); None if unavailable."""
    exe = os.path.join(TOOLS, "bin", "py-spy")
    if os.access(exe, os.X_OK):
        return exe
    try:
        if not os.path.exists(os.path.join(TOOLS, "bin", "python")):
            subprocess.run([sys.executable, "-m", "venv", TOOLS], check=True)
        subprocess.run([os.path.join(TOOLS, "bin", "python"), "-m", "pip", "install",
                        "--disable-pip-version-check", "--quiet", "py-spy"], check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print("bench: no profiler (%s); profile skipped" % e, file=sys.stderr)
        return None
    return exe if os.access(exe, os.X_OK) else None


# Frames a sample stands in when its thread is not on a CPU: blocked in a
# system call, or waiting for a lock or for the interpreter lock after one.
# py-spy's own idle test lets many of those through when the process is busy.
WAIT_FUNCTIONS = {"poll", "select", "epoll_wait", "pthread_cond_timedwait", "pthread_cond_wait",
                  "pthread_cond_clockwait", "sem_wait", "sem_timedwait", "sem_clockwait",
                  "PyThread_acquire_lock_timed", "nanosleep", "clock_nanosleep", "accept",
                  "accept4", "internal_select", "take_gil", "lock_PyThread_acquire_lock",
                  "PyThread_acquire_lock"}
REQUESTS_STACK = ("requests", "urllib3", "http.client", "socket")


def frame_parts(frame):
    name, _, where = frame.rpartition(" (")
    where = where[:-1] if where.endswith(")") else where
    return name, where, where.rsplit(":", 1)[0]


def owner_of(frame):
    """Who a py-spy frame belongs to; None for frames that pass their cost up
    to their caller (the interpreter, libc, the kernel, generic standard
    library helpers such as urllib.parse or os.path)."""
    name, where, path = frame_parts(frame)
    if name.startswith("fw::") or "fernwick" in where:
        return "fernwick"
    if path.endswith(".py"):
        segments = path.split("/")
        rel, std = segments, True
        for i, segment in enumerate(segments):
            if segment in ("site-packages", "dist-packages"):
                rel, std = segments[i + 1:], False
                break
            if re.match(r"python3\.\d+$", segment):
                rel = segments[i + 1:]
        top = rel[0] if len(rel) > 1 else ""
        if path.endswith(("/bench/client.py", "standin/route.py")) or path == "client.py":
            return "bench harness"
        if top in ("requests", "idna", "charset_normalizer", "certifi"):
            return "requests"
        if top == "urllib3":
            return "urllib3"
        if not std:
            return "other package (%s)" % (top or rel[-1])
        if rel[-2:] == ["http", "client.py"]:
            return "http.client"
        if rel in (["socket.py"], ["selectors.py"], ["ssl.py"]):
            return "socket"
        if top == "json":
            return "json"
        if rel in (["threading.py"], ["queue.py"]):
            return "threading/queue"
        if rel == ["hashlib.py"]:
            return "hashlib"
        if rel == ["configparser.py"]:
            return "configparser"
        return None
    if "_hashopenssl" in where or "libcrypto" in where:
        return "hashlib"
    if "_json" in where:
        return "json"
    return None


WATCHDOG_THREAD = "fernwick-watchdog"     # the name of the module's watchdog thread


def watchdog_thread_sample(thread, frames):
    """A sample of the module's watchdog thread: by the thread name py-spy
    reports (--threads), or, without one, by its frames (the bench's
    WatchdogThread.run, or the module's watch function)."""
    if thread is not None:
        return thread == WATCHDOG_THREAD
    return any("WatchdogThread.run" in fr or re.match(r"fw::client::.*\bwatch \(", fr)
               for fr in frames)


def attribute(raw_path):
    """On-CPU samples of a py-spy raw profile, by owner of the innermost
    frame that has one (see owner_of); samples of the module's watchdog
    thread, and samples of a worker inside that thread's start() or join(),
    are counted apart. Samples waiting in a blocking call, stacks with
    neither Python nor module frames (failed unwinds: mostly the main thread
    blocked in join), and samples of imports or of the main thread outside
    fernwick.main() (the bench's set-up and write-up) are left out."""
    owners, module_leaf, waits, watchdog_leaf = Counter(), Counter(), Counter(), Counter()
    startup = total = waiting = unresolved = 0
    with open(raw_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            stack, _, count = line.rstrip("\n").rpartition(" ")
            if not count.isdigit():
                continue
            n = int(count)
            frames = stack.split(";")
            thread = None
            if frames and frames[0].startswith("thread ("):
                # py-spy --threads: "thread (TID): NAME" (no name before the
                # thread has registered with threading)
                thread = frames.pop(0).partition("): ")[2]
            total += n
            named = [fr for fr in frames if not fr.startswith("0x")]
            leaf = frame_parts(named[-1])[0] if named else ""
            tail = [frame_parts(fr)[0] for fr in named[-3:]]
            if leaf in WAIT_FUNCTIONS or "internal_select" in tail:
                waiting += n
                waits[leaf] += n
                continue
            in_module = any(frame_parts(fr)[0].startswith("fw::") or "fernwick" in
                            frame_parts(fr)[1] for fr in named)
            main_thread = (thread == "MainThread" if thread is not None
                           else any(fr.startswith("<module> (") for fr in frames))
            if not any(fr.endswith(")") and (".py:" in fr or "fw::" in fr) for fr in named):
                unresolved += n
                continue
            if any("_find_and_load" in fr for fr in frames) or (main_thread and not in_module):
                startup += n
                continue
            if watchdog_thread_sample(thread, frames):
                owners["fernwick: watchdog thread"] += n
                watchdog_leaf[leaf] += n
                continue
            if any("WatchdogThread.start" in fr or "WatchdogThread.join" in fr for fr in frames):
                # a worker (or main) starting or reaping the watchdog thread
                owners["fernwick: watchdog Thread.start()/join()"] += n
                continue
            owner = threading_frames = None
            for i in range(len(frames) - 1, -1, -1):
                found = owner_of(frames[i])
                if found is None:
                    continue
                if found == "threading/queue":
                    # Thread and queue code belongs to whoever called it.
                    threading_frames = threading_frames or frames[:i + 1]
                    continue
                owner = found
                if owner == "fernwick" and threading_frames is None:
                    module_leaf[frame_parts(frames[i])[0]] += n
                break
            if threading_frames is not None and owner in (None, "fernwick", "bench harness"):
                if owner == "fernwick":
                    owner = "threading/queue: called by fernwick"
                elif owner is None:
                    owner = "threading: thread start-up/exit"
            owners[owner or "interpreter/thread machinery (no owner)"] += n
    return {"samples": total, "waiting_samples": waiting, "startup_samples": startup,
            "unresolved_samples": unresolved, "on_cpu_samples": sum(owners.values()),
            "owners": dict(owners), "waits": dict(waits.most_common(8)),
            "fernwick_functions": dict(module_leaf.most_common(12)),
            "watchdog_functions": dict(watchdog_leaf.most_common(8))}


def profile(workload, drive, latency, scratch, spy, rate, out_dir):
    raw = os.path.join(scratch, "profile-%s.txt" % workload["name"])
    cmd = [spy, "record", "--native", "--threads", "--full-filenames", "--rate", str(rate),
           "--format", "raw", "--output", raw]
    fig = run_client(workload, drive, latency, scratch, "profile-" + workload["name"], cmd)
    prof = attribute(raw)
    prof["workload"] = workload["name"]
    prof["rate"] = rate
    prof["wall"] = fig["wall"]
    prof["cpu"] = fig["cpu"]
    kept = os.path.join(out_dir, "profile-%s.txt" % workload["name"])
    shutil.copyfile(raw, kept)
    prof["raw"] = os.path.relpath(kept, ROOT)
    return prof


# -- report --------------------------------------------------------------------
def human(n):
    if n is None:
        return "-"
    for unit, scale in (("GiB", GiB), ("MiB", MiB), ("KiB", KiB)):
        if n >= scale:
            v = n / scale
            return ("%d %s" % (v, unit)) if v == int(v) else ("%.1f %s" % (v, unit))
    return "%d B" % n


def table(headers, rows):
    widths = [max([len(str(h))] + [len(str(r[i])) for r in rows]) for i, h in enumerate(headers)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    out = [line(headers), "| " + " | ".join("-" * w for w in widths) + " |"]
    out += [line(r) for r in rows]
    return "\n".join(out)


def output_state(checks):
    missing = sum(c["missing"] for c in checks)
    unexpected = sum(c["unexpected"] for c in checks)
    return "ok" if missing == unexpected == 0 else "%d missing, %d unexpected" % (missing,
                                                                                  unexpected)


def report(results):
    lat = results["latency"]
    rows = []
    for w in results["workloads"]:
        rows.append([
            w["name"], w["files"], w["folders"], "%.2f" % w["wall"],
            "%.2f" % w["bound"], "%.2f" % w["ratio"] if w["ratio"] else "-",
            ("%.2f (%s)" % (w["floor_wall"], "%.2f" % w["floor_ratio"] if w["floor_ratio"]
                            else "-")) if w["floor_wall"] is not None else "-",
            "%.2f" % (1000 * w["cpu_per_file"]), "%.1f" % (w["rss_peak"] / MiB),
            "%d / %d" % (w["read_max"], round(w["read_mean"])) if w["read_max"] is not None else "-",
            "%s / %s" % (human(w["sent_max"]), human(w["sent_mean"])),
            "%s of %d" % ("+".join(str(s) for s in w["slow_ends"]), w["dispatches"]),
            output_state([w["check"]]) + (" (floor %s)" % output_state(w["floor_check"])
                                          if w["floor_check"] else ""),
        ])
    main = table(["workload", "files", "folders", "wall s", "bound s", "wall/bound",
                  "floor s (floor/bound)",
                  "CPU ms/file", "peak RSS MiB (VmHWM)", "socket read/dl max / mean B",
                  "sent/dl max / mean", "dispatches ending >=1 s late", "output"], rows)

    size_rows = []
    for w in results["workloads"]:
        for r in w["by_size"]:
            size_rows.append([w["name"], human(r["size"]), r["downloads"],
                              r["read_max"], round(r["read_mean"]) if r["read_mean"] else "-",
                              human(r["sent_max"]), human(r["sent_mean"])])
    sizes = "(no workload C)" if not size_rows else table(["workload", "file size", "downloads", "socket read max B", "mean B",
                   "stand-in sent max", "mean"], size_rows)

    out = ["latency %.3f s per request; %s; wall and CPU are of fernwick.main() alone; "
           "wall is the median of %d run(s); machine load average %.1f before, %.1f after"
           % (lat, results["mode"], results["repeat"], results["load_before"][0],
              results["load_after"][0]),
           "", main, "",
           "Walls of every run (s): " + "; ".join(
               "%s %s%s" % (w["name"], " ".join("%.2f" % x for x in w["walls"]),
                            (" (floor %s)" % " ".join("%.2f" % x for x in w["floor_walls"]))
                            if w["floor_walls"] else "")
               for w in results["workloads"]),
           "", "Per download by file size:", "", sizes]
    cpu_rows = []
    for w in results["workloads"]:
        c = w["cpu_split"]
        pct = lambda v: "%.3f (%d%%)" % (v, round(100.0 * v / c["total"])) if c["total"] else "-"
        cpu_rows.append([w["name"], "%.3f" % c["total"], pct(c["requests"]), pct(c["module_rest"]),
                         pct(c["json"] + c["sha1"]), pct(c["other_threads"]),
                         pct(c["watchdog_thread"]), "%.3f" % w["standin_cpu"]])
    out += ["", "Client CPU of main(), split at call boundaries (thread CPU seconds):", ""]
    out.append(table(["workload", "main() CPU s", "in requests (get, text, iter_content, close)",
                      "module's code + its other calls", "json.loads + hashlib.sha1",
                      "other threads (watchdog thread)", "of which watchdog thread's run()",
                      "stand-in CPU s"], cpu_rows))
    phase_rows = []
    for w in results["workloads"]:
        ph = w["phases"]
        f = lambda v, fmt="%.1f": fmt % v if v is not None else "-"
        phase_rows.append([w["name"], ph["pages"], f(ph["page_ms"]), f(ph.get("floor_page_ms")),
                           ph["rounds"], f(ph["round_ms"]), f(ph.get("floor_round_ms")),
                           f(ph["rest_wall"], "%.2f"), f(ph.get("floor_rest_wall"), "%.2f")])
    out += ["", "Where the wall time goes (the median runs; the bound allows %.0f ms per page and "
            "%.0f ms per round):" % (1000 * lat, 2000 * lat), ""]
    out.append(table(["workload", "pages (walk + listing)", "ms/page", "floor ms/page",
                      "dispatch rounds", "ms/round", "floor ms/round", "rest s", "floor rest s"],
                     phase_rows))
    time_rows = []
    for w in results["workloads"]:
        for label, t in (("fernwick", w["worker_time"]), ("floor", w["floor_worker_time"])):
            if t:
                ms = lambda v: "%.1f" % (1000 * v)
                time_rows.append([w["name"], label, ms(t["total"]), ms(t["requests"]),
                                  ms(t["watchdog_start"]), ms(t["watchdog_join"]),
                                  ms(t["rest"])])
    out += ["", "Worker wall time per file handled, ms (latency %.0f ms per request, "
            "two requests per file):" % (1000 * lat), ""]
    out.append(table(["workload", "client", "worker wall/file", "inside requests calls",
                      "watchdog Thread.start()", "watchdog join()",
                      "rest (module code, GIL waits)"], time_rows))
    dog_rows = []
    for w in results["workloads"]:
        d = w["watchdog"]
        per = lambda v: "%.3f" % (1000 * v / d["threads"]) if d["threads"] else "-"
        dog_rows.append([w["name"], w["dispatches"], "+".join(str(n) for n in w["watchdog_threads"]),
                         "%.1f" % (1000 * d["start_wall"]), per(d["start_wall"]),
                         "%.1f" % (1000 * d["join_wall"]), "%.1f" % (1000 * d["cpu"]),
                         "%.2f" % d["lifetime"]])
    out += ["", "The module's watchdog thread (threads named %s; the median run, the count "
            "of every run):" % WATCHDOG_THREAD, ""]
    out.append(table(["workload", "folder dispatches", "watchdog threads started",
                      "Thread.start() wall ms", "ms per start", "join() wall ms",
                      "watchdog thread CPU ms", "watchdog threads' lifetimes s"], dog_rows))
    for p in results.get("profiles", []):
        on = max(1, p["on_cpu_samples"])
        own = sorted(p["owners"].items(), key=lambda kv: -kv[1])
        stack = sum(v for k, v in p["owners"].items() if k in REQUESTS_STACK)
        out += ["", "Sampled profile of workload %s (py-spy --native --threads, %d Hz): %d "
                "samples, of which %d on a CPU during main() (%d waiting in a blocking call, "
                "%d of the main thread outside main(), %d unresolved stacks left out). "
                "fernwick's own frames %.1f%%, its watchdog thread %.1f%%, the workers' "
                "start()/join() of it %.1f%%, requests/urllib3/http.client/socket %.1f%%:" % (
                    p["workload"], p["rate"], p["samples"], p["on_cpu_samples"],
                    p["waiting_samples"], p["startup_samples"], p["unresolved_samples"],
                    100.0 * p["owners"].get("fernwick", 0) / on,
                    100.0 * p["owners"].get("fernwick: watchdog thread", 0) / on,
                    100.0 * p["owners"].get("fernwick: watchdog Thread.start()/join()", 0) / on,
                    100.0 * stack / on), ""]
        out.append(table(["owner of the innermost attributable frame", "samples", "share"],
                         [[k, v, "%.1f%%" % (100.0 * v / on)] for k, v in own]))
        out += ["", "Innermost fernwick frames of the samples owned by fernwick:", ""]
        out.append(table(["function", "samples"],
                         [[k, v] for k, v in p["fernwick_functions"].items()]))
        if p.get("watchdog_functions"):
            out += ["", "Innermost named frames of the watchdog thread's on-CPU samples:", ""]
            out.append(table(["function", "samples"],
                             [[k, v] for k, v in p["watchdog_functions"].items()]))
    for w in results["workloads"]:
        if w["pages_seen"] != w["pages_expected"]:
            out += ["", "NOTE: %s made %d listing requests, the bound counts %d"
                    % (w["name"], w["pages_seen"], w["pages_expected"])]
    out += ["", "Targets:", ""]
    out += ["- %s %s" % ("PASS" if ok else "MISS", text) for ok, text in results["targets"]]
    return "\n".join(out)


def targets(results):
    ws = {w["name"]: w for w in results["workloads"]}
    t = []
    for name in ("A", "B"):
        w = ws.get(name)
        if w and w["ratio"] is not None:
            t.append((w["ratio"] <= 1.2, "wall/bound <= 1.2 on %s: %.2f (%.2f s vs %.2f s)"
                      % (name, w["ratio"], w["wall"], w["bound"])))
    if "C" in ws and "C1" in ws:
        c, c1 = ws["C"], ws["C1"]
        grow = c["rss_peak"] - c1["rss_peak"]
        t.append((abs(grow) <= 2 * MiB,
                  "peak RSS independent of file size: C (up to 64 GiB) %.1f MiB vs C1 (all "
                  "1 MiB) %.1f MiB; growth during main() %.1f vs %.1f MiB"
                  % (c["rss_peak"] / MiB, c1["rss_peak"] / MiB,
                     (c["rss_peak"] - c["rss_before"]) / MiB,
                     (c1["rss_peak"] - c1["rss_before"]) / MiB)))
    reads = [w["read_max"] for w in results["workloads"] if w["read_max"] is not None]
    if reads:
        t.append((max(reads) <= PREFIX + READ_SLACK,
                  "socket bytes read per download <= 131072 + 64 KiB: max %d" % max(reads)))
    if "C" in ws:
        per = {r["size"]: r for r in ws["C"]["by_size"]}
        small, big = per.get(1 * MiB), per.get(64 * GiB)
        mid = per.get(100 * MiB)
        if small and big and mid:
            ok = big["sent_max"] <= max(mid["sent_max"], small["sent_max"]) * 1.5 + 256 * KiB
            t.append((ok, "bytes sent per download not growing with size: 1 MiB max %s, "
                          "100 MiB max %s, 64 GiB max %s" % (human(small["sent_max"]),
                                                              human(mid["sent_max"]),
                                                              human(big["sent_max"]))))
    return t


def plain_part(args, scratch):
    repeat = args.repeat or (1 if args.quick else 3)
    chosen = set(args.only.split(",")) if args.only else None
    results = {"latency": args.latency, "mode": "quick" if args.quick else "full",
               "repeat": repeat, "python": sys.version.split()[0],
               "started": time.strftime("%Y-%m-%d %H:%M:%S"), "workloads": [], "profiles": []}
    started = time.monotonic()
    results["load_before"] = os.getloadavg()
    results["commit"] = commit()
    for w in workloads(args.quick):
        if chosen and w["name"] not in chosen:
            continue
        drive = w["drive"]()
        drive.expected_lines()      # listed SHA-1s worked out before the clock runs
        bound = lower_bound(drive, w["recursive"], args.latency)
        figs, floors = [], []
        for i in range(repeat):
            # Module and floor runs alternate, so a busy spell of the
            # machine falls on both alike.
            fig = run_client(w, drive, args.latency, scratch, "%s-%d" % (w["name"], i))
            figs.append(fig)
            print("bench: %s run %d: wall %.2f s (bound %.2f s), cpu %.2f s"
                  % (w["name"], i + 1, fig["wall"], bound["bound"], fig["cpu"]),
                  file=sys.stderr)
            if w.get("floor"):
                fig = run_client(w, drive, args.latency, scratch,
                                 "%s-floor-%d" % (w["name"], i), floor=True)
                floors.append(fig)
                print("bench: %s floor run %d: wall %.2f s, cpu %.2f s"
                      % (w["name"], i + 1, fig["wall"], fig["cpu"]), file=sys.stderr)
        results["workloads"].append(summarize(w, drive, bound, figs, args.latency, floors))
    if not args.no_profile:
        spy = ensure_profiler()
        for w in workloads(args.quick):
            if spy and w["name"] in args.profile.split(","):
                try:
                    prof = profile(w, w["drive"](), args.latency, scratch, spy, args.rate,
                                   args.out)
                except (OSError, RuntimeError) as e:
                    print("bench: profile of %s failed: %s" % (w["name"], e), file=sys.stderr)
                    continue
                results["profiles"].append(prof)
                print("bench: profile of %s: %d samples" % (w["name"], prof["samples"]),
                      file=sys.stderr)
    results["load_after"] = os.getloadavg()
    results["targets"] = targets(results)
    results["seconds"] = time.monotonic() - started
    results["command"] = ".venv/bin/python bench/run.py%s%s" % (
        " --latency %g" % args.latency if args.latency != 0.02 else "",
        " --quick" if args.quick else "")
    return results


def network_part(args, scratch):
    import netbench
    results = netbench.run(args, Drive, StandIn, lower_bound, check_output, scratch)
    results["commit"] = commit()
    results["command"] = ".venv/bin/python bench/run.py --network%s%s%s" % (
        " --rtt %g" % args.rtt if args.rtt != 0.04 else "",
        " --quick" if args.quick else "", " --only " + args.only if args.only else "")
    return results


def commit():
    try:
        return subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None


def write_results(out_dir, plain, net, throttled=None):
    """results.json holds every part ("network" and "throttle" beside the
    plain figures); a part not run this time is kept from the previous file."""
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "results.json")
    try:
        with open(path, encoding="utf-8") as f:
            old = json.load(f)
    except (OSError, ValueError):
        old = {}
    if plain is None:
        plain = {k: v for k, v in old.items() if k not in ("network", "throttle")} or None
    if net is None:
        net = old.get("network")
    if throttled is None:
        throttled = old.get("throttle")
    elif old.get("throttle"):  # a sub-part not run keeps its previous rows
        import refusals
        import throttle
        for key in (part + "_rows" for part in throttle.PARTS + refusals.PARTS):
            if not throttled.get(key) and old["throttle"].get(key):
                throttled[key] = old["throttle"][key]
                kept = old["throttle"].get("kept", {})
                throttled.setdefault("kept", {})[key] = kept.get(key, old["throttle"]["started"])
    merged = dict(plain or {})
    if net is not None:
        merged["network"] = net
    if throttled is not None:
        merged["throttle"] = throttled
    with open(path, "w", encoding="utf-8") as f:
        json.dump(merged, f, indent=1, ensure_ascii=False)
    import netbench
    with open(os.path.join(out_dir, "results.md"), "w", encoding="utf-8") as f:
        f.write("# fernwick benchmark results\n")
        if plain:
            f.write("\nCommand: `%s`, %s, %.0f s in all; tree %s; module %s.\n\n" % (
                plain.get("command", ".venv/bin/python bench/run.py"), plain["started"],
                plain["seconds"], plain["commit"],
                plain["workloads"][0]["module"] if plain["workloads"] else "-"))
            f.write(report(plain) + "\n")
        if net:
            f.write("\n## Network mode\n\nCommand: `%s`, %s; tree %s; module %s.\n\n" % (
                net.get("command"), net["started"], net.get("commit"),
                net["rows"][0]["module"] if net["rows"] else "-"))
            f.write(netbench.report(net, table, human, output_state) + "\n")
        if throttled:
            f.write("\n## Throttle, dead cookie, progress\n\nCommand: `%s`, %s; tree %s; "
                    "module %s.\n\n" % (throttled.get("command"), throttled["started"],
                                         throttled.get("commit"), throttled["interpreter"]))
            if throttled.get("kept"):
                f.write("Kept from earlier runs: %s.\n\n" % ", ".join(
                    "%s (%s)" % (key[:-5], when) for key, when in sorted(throttled["kept"].items())))
            f.write(throttle_report(throttled) + "\n")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--latency", type=float, default=0.02, help="seconds per request (0.02)")
    p.add_argument("--quick", action="store_true", help="smaller workloads, one run each")
    p.add_argument("--repeat", type=int, default=None, help="runs per workload (3; quick: 1)")
    p.add_argument("--only", default=None,
                   help="comma list of workloads (A,B,C,C1; with --network A,B or A@1.2 ...; "
                        "with --throttle rate,cookie,tree,refusal,tree-limit,alone,mixed,zero,outage,"
                        "long)")
    p.add_argument("--profile", default="A", help="workloads to profile (A)")
    p.add_argument("--no-profile", action="store_true")
    p.add_argument("--rate", type=int, default=200, help="profile samples per second")
    p.add_argument("--keep", action="store_true", help="keep the scratch directory")
    p.add_argument("--out", default=HERE, help="where results.json/.md go (bench/)")
    p.add_argument("--network", action="store_true",
                   help="the network part alone (TLS, round trips, slow start)")
    p.add_argument("--all", action="store_true", help="the plain part, then the network part")
    p.add_argument("--rtt", type=float, default=0.04, help="network part: round-trip time (0.04)")
    p.add_argument("--tls", default="1.3,1.2", help="network part: TLS versions (1.3,1.2)")
    p.add_argument("--clients", default="module,today",
                   help="network and throttle parts: which clients to run (module,today)")
    p.add_argument("--net-python", default=None,
                   help="network and throttle parts: build and run the module with this "
                        "interpreter (its own venv, bench/.venv-net-<name>); PYTHON_GIL in the "
                        "environment reaches the clients")
    p.add_argument("--base-python", default=None,
                   help="throttle part, rate: the python of another venv with the module "
                        "built for the same --port; its runs are the client 'base' "
                        "(--clients module,base)")
    p.add_argument("--port", type=int, default=47443,
                   help="network and throttle parts: the stand-in's port, built into the "
                        "module (47443)")
    p.add_argument("--throttle", action="store_true",
                   help="the throttle part alone: a rate limit, a dead cookie, progress on a "
                        "big tree, refusals in passing (--only rate,cookie,tree,refusal), a "
                        "tree of small folders under the limit (tree-limit), the "
                        "refusal rows of bench/refusals.py (alone,mixed,zero,outage,long)")
    p.add_argument("--throttle-rate", type=float, default=60.0,
                   help="throttle part: API requests per second the stand-in allows (60)")
    p.add_argument("--throttle-burst", type=int, default=6,
                   help="throttle part: the rate limit's burst (6)")
    p.add_argument("--throttle-files", type=int, default=None,
                   help="throttle part: files in the rate-limited folder (600; quick 120)")
    p.add_argument("--cookie-files", type=int, default=None,
                   help="throttle part: files in the dead cookie's folder (600; quick 60)")
    p.add_argument("--cookie-life", type=int, default=None,
                   help="throttle part: API requests before the cookie dies (200; quick 30)")
    p.add_argument("--tree-folders", type=int, default=None,
                   help="throttle part: folders of the progress tree (1000; quick 20)")
    p.add_argument("--tree-files", type=int, default=None,
                   help="throttle part: files per folder of the progress tree (10)")
    p.add_argument("--tree-limit-rows", default=None, metavar="ROWS",
                   help="throttle part, tree-limit: the rows to run, comma-separated "
                        "(clean, 'limit 503', 'limit 429', strays, long; clean always runs)")
    p.add_argument("--give-up-cap", type=float, default=None,
                   help="throttle part, alone/mixed/zero/outage/long: seconds after which "
                        "a command still running is killed and counted as capped (180; "
                        "quick 90; tree-limit 600)")
    p.add_argument("--scenarios", type=int, default=None, metavar="N",
                   help="N seeded fault schedules, each judged by invariants "
                        "(bench/scenarios.py); results in scenarios.md/.json")
    p.add_argument("--seed", type=int, default=None, help="scenarios: the first seed (1)")
    p.add_argument("--fast", action="store_true",
                   help="scenarios: small trees, short outages (the test suite's profile)")
    args = p.parse_args()
    if args.scenarios:
        import scenarios
        return scenarios.bench(args)
    scratch = tempfile.mkdtemp(prefix="fernwick-bench-")
    plain = net = throttled = None
    try:
        if args.throttle:
            throttled = throttle_part(args, scratch)
            print(throttle_report(throttled))
        else:
            if not args.network or args.all:
                plain = plain_part(args, scratch)
                print(report(plain))
            if args.network or args.all:
                net = network_part(args, scratch)
                print(netbench_report(net))
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
        else:
            print("bench: scratch kept in %s" % scratch, file=sys.stderr)
    write_results(args.out, plain, net, throttled)
    return 0


def throttle_part(args, scratch):
    import throttle
    results = throttle.run(args, Drive, StandIn, lower_bound, check_output, scratch)
    results["commit"] = commit()
    flags = [("--quick", args.quick), ("--only " + str(args.only), args.only),
             ("--repeat %s" % args.repeat, args.repeat),
             ("--throttle-files %s" % args.throttle_files, args.throttle_files),
             ("--cookie-files %s" % args.cookie_files, args.cookie_files),
             ("--cookie-life %s" % args.cookie_life, args.cookie_life),
             ("--tree-folders %s" % args.tree_folders, args.tree_folders),
             ("--tree-files %s" % args.tree_files, args.tree_files),
             ("--give-up-cap %g" % (args.give_up_cap or 0), args.give_up_cap),
             ("--throttle-rate %g" % args.throttle_rate, args.throttle_rate != 60),
             ("--throttle-burst %d" % args.throttle_burst, args.throttle_burst != 6),
             ("--rtt %g" % args.rtt, args.rtt != 0.04)]
    results["command"] = ".venv/bin/python bench/run.py --throttle" + "".join(
        " " + text for text, given in flags if given)
    return results


def throttle_report(results):
    import throttle
    return throttle.report(results, table)


def netbench_report(net):
    import netbench
    return netbench.report(net, table, human, output_state)


if __name__ == "__main__":
    sys.exit(main())
