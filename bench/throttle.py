"""The throttle part of the benchmark (bench/run.py --throttle): what a batch
does when the service pushes back, and what the progress line costs.

Like the network part, the client is the module built from this tree into
bench/.venv-net for the hosts localhost:PORT (netbench.ensure_module), talking
https to the stand-in with the real requests; the stand-in serves from this
process on that port with TLS 1.3.

  rate    one folder (Drive.flat, 600 files) under a rate limit of 60 API
          requests a second (burst 6), refused with 429 + Retry-After: 1 and
          with 503 without Retry-After; the module and today's path (its
          requests replaced by a pass-through whose get calls requests.get)
          side by side, alternating; median of the runs.
  cookie  the same folder with a cookie that dies after 200 API requests,
          answered 401 and 200 {"state": false}; the installed `fernwick`
          command runs the batch; then the command again with resume = 是
          and a good cookie, against a stand-in without limits.
  tree    a tree of 1000 folders x 10 files (Drive.tree) on the network
          model (RTT 40 ms, TLS 1.3), recursive, with the client's standard
          error on a pseudo-terminal (progress on) and on a pipe (off).
  refusal on the network model (RTT 40 ms, TLS 1.3), the `fernwick`
          command on one folder of 600 files: without refusals, with one 503
          on the second listing page, with one 503 on the 54th address, with
          one file whose download (or address) always answers 503; and on a
          folder of 20 files without refusals and with such a file. Cases
          alternate within each round; median of the runs.

  tree-limit  the `fernwick` command, recursive, on a tree of 111 folders x
          10 files (RTT 40 ms, TLS 1.3): clean; under the rate limit
          answered 503 and 429 + Retry-After: 1; with a stray 503 every 100
          API requests; and the long row on the tree (the limit, the strays,
          two files refused for good, a cookie that dies, resumed until it
          finishes). Rows alternate within each round; medians.

The sub-parts alone, mixed, zero, outage and long (a file refused for good
as the only work, Retry-After 0, an outage, a long run) are in
bench/refusals.py.
"""

import fcntl
import json
import os
import pty
import re
import statistics
import struct
import subprocess
import sys
import termios
import threading
import time

from netbench import PROXY_VARIABLES, ensure_module

HERE = os.path.dirname(os.path.abspath(__file__))
MiB = 1 << 20
API_KINDS = ("api_list", "aps_list", "address")
LIMIT_REPLIES = ("429", "503")          # as the stand-in's limit_reply
DEAD_REPLIES = ("401", "state")         # as the stand-in's dead_reply
RETRY_AFTER = 1                         # seconds, with 429
TERMINAL_SIZE = (40, 120)               # rows, columns of the client's pseudo-terminal
GIVEN_UP_LINE = "放弃文件："
GIVEN_UP_TOTAL = re.compile(r"^放弃(\d+)个文件$", re.M)
SKIPPED_TOTAL = re.compile(r"^跳过(\d+)个已完成文件$", re.M)
PARTS = ("rate", "cookie", "tree", "refusal", "tree-limit")  # and bench/refusals.py's
PAUSE_LINE = "请求过于频繁，暂停"
# (case, files, what is refused): None, ("blip", the N-th address or "page 2"),
# ("refuse", "download" or "address") for good on one file.
REFUSAL_CASES = (
    ("none", 600, None), ("503 on listing page 2", 600, ("blip", "page")),
    ("503 on address 54", 600, ("blip", 54)), ("download always 503", 600, ("refuse", "download")),
    ("address always 503", 600, ("refuse", "address")),
    ("none", 20, None), ("download always 503", 20, ("refuse", "download")),
    ("address always 503", 20, ("refuse", "address")))


def sizes(args):
    """Workload sizes: the flags, else the full or the quick default."""
    q = args.quick
    pick = lambda value, full, quick: value if value is not None else (quick if q else full)
    return {"files": pick(args.throttle_files, 600, 120),
            "cookie_files": pick(args.cookie_files, 600, 60),
            "cookie_life": pick(args.cookie_life, 200, 30),
            "tree_folders": pick(args.tree_folders, 1000, 20),
            "tree_files": pick(args.tree_files, 10, 10),
            "refusal_files": 120 if q else 600}


# -- running a client ------------------------------------------------------------
def client_env(ca):
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env.update(PYTHONIOENCODING="utf-8", REQUESTS_CA_BUNDLE=ca, TERM="xterm")
    return env


def run_captured(cmd, env, log, tty, timeout, cwd=None):
    """Runs cmd with standard input at its end, standard output into `log`
    and standard error on a pseudo-terminal (tty) or a pipe that a thread
    drains. Returns (exit status, time.time() at its end, bytes written to
    standard error, the last 2000 of them)."""
    if tty:
        reader, writer = pty.openpty()
        fcntl.ioctl(writer, termios.TIOCSWINSZ, struct.pack("HHHH", TERMINAL_SIZE[0],
                                                            TERMINAL_SIZE[1], 0, 0))
    else:
        reader, writer = os.pipe()
    err = {"bytes": 0, "tail": b""}

    def drain():
        while True:
            try:
                data = os.read(reader, 65536)
            except OSError:         # EIO: a pseudo-terminal whose last writer is gone
                return
            if not data:
                return
            err["bytes"] += len(data)
            err["tail"] = (err["tail"] + data)[-2000:]

    try:
        with open(log, "wb") as logf:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=logf, stderr=writer,
                                    env=env, cwd=cwd)
    finally:
        os.close(writer)
    thread = threading.Thread(target=drain, daemon=True)
    thread.start()
    status, _, end = wait_or_kill(proc, timeout)
    thread.join(10)
    os.close(reader)
    return status, end, err["bytes"], err["tail"].decode("utf-8", "replace")


def wait_or_kill(proc, timeout):
    """(exit status, whether it was killed for running past `timeout`
    seconds, time.time() at its end)."""
    killed = False
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        killed = True
    return proc.returncode, killed, time.time()


def read_log(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return f.read()


def given_up(text):
    """Files the batch gave up: its closing count, else its give-up lines."""
    m = GIVEN_UP_TOTAL.search(text)
    if m:
        return int(m.group(1))
    return sum(1 for line in text.splitlines() if line.startswith(GIVEN_UP_LINE))


def client_figures(out, log, status, stderr_tail, tag):
    """What bench/client.py wrote; an error with its log's tail when it wrote
    nothing."""
    if not os.path.exists(out):
        raise RuntimeError("client run %s failed (exit %s):\n%s\n%s" % (
            tag, status, read_log(log)[-3000:], stderr_tail))
    with open(out, encoding="utf-8") as f:
        return json.load(f)


def client_command(python, cid, recursive, workdir, out, today=False, progress=None):
    return ([python, os.path.join(HERE, "client.py"), "--network", "--cid", cid,
             "--recursion", "是" if recursive else "否", "--workdir", workdir, "--out", out]
            + (["--today"] if today else []) + (["--progress", progress] if progress else []))


def fernwick_command(python):
    """The installed command of the venv; the same entry point run by its
    interpreter where the venv has no such script."""
    exe = os.path.join(os.path.dirname(python), "fernwick")
    if os.access(exe, os.X_OK):
        return [exe]
    return [python, "-c", "import sys, fernwick_command; sys.exit(fernwick_command.main())"]


def write_config(workdir, cid, cookie, resume=None, recursive=False):
    os.makedirs(workdir, exist_ok=True)
    with open(os.path.join(workdir, "config.ini"), "w", encoding="utf-8") as f:
        f.write("[必须参数]\ncid = %s\ntype = 0\ncookie = %s\n[功能参数]\nrecursion = %s\n"
                % (cid, cookie, "是" if recursive else "否"))
        if resume:
            f.write("resume = %s\n" % resume)


def exact(check):
    """Every line written is an expected one, none twice."""
    return check["unexpected"] == 0


def median_run(figs):
    return sorted(figs, key=lambda f: f["wall"])[(len(figs) - 1) // 2]


# -- rate limit ------------------------------------------------------------------
def rate_run(python, drive, args, reply, client, scratch, tag, StandIn, check_output):
    workdir, out, log = (os.path.join(scratch, tag + ext) for ext in ("", ".json", ".log"))
    with StandIn(drive, tls="1.3", port=args.port, rate=args.throttle_rate,
                 burst=args.throttle_burst, limit_reply=reply, retry_after=RETRY_AFTER) as s:
        # Our CA alone: a store of the real size costs today's path ~40 ms of
        # CPU per connection, which would hold it under the limit on its own.
        cmd = client_command(python, s.root_cid, False, workdir, out, client == "today")
        status, _, _, tail = run_captured(cmd, client_env(s.ca_file), log, False, 1800)
        s.wait_idle(10.0)
        counts = s.api_counts()
    fig = client_figures(out, log, status, tail, tag)
    fig.update({"refused": sum(counts["refused"].values()), "refused_by_kind": counts["refused"],
                "served": counts["served"], "given_up": given_up(read_log(log)),
                "check": check_output(drive, workdir)})
    return fig


def client_pythons(python, args, kinds):
    """The interpreter of each client kind, and the kinds --clients names
    that have one. "base": another build of the module (--base-python), e.g.
    of an earlier commit for the same port, side by side with this one."""
    pythons = {"module": python, "today": python, "base": args.base_python}
    pythons = {k: pythons[k] for k in kinds}
    return pythons, [c for c in args.clients.split(",") if pythons.get(c)]


def rate_part(python, args, size, Drive, StandIn, lower_bound, check_output, scratch, repeat):
    drive = Drive.flat(size["files"])
    drive.expected_lines()
    b = lower_bound(drive, False, 1.0)
    needed = b["walk_pages"] + b["listing_pages"] + b["files"]
    bound = needed / args.throttle_rate
    pythons, clients = client_pythons(python, args, ("module", "today", "base"))
    rows = []
    for reply in LIMIT_REPLIES:
        figs = {c: [] for c in clients}
        for i in range(repeat):
            for client in clients:
                tag = "rate-%s-%s-%d" % (reply, client, i)
                fig = rate_run(pythons[client], drive, args, reply, client, scratch, tag,
                               StandIn, check_output)
                figs[client].append(fig)
                print("bench: rate %s %s run %d: wall %.2f s (bound %.2f s), %d refused, "
                      "%d given up%s" % (reply, client, i + 1, fig["wall"], bound, fig["refused"],
                                         fig["given_up"],
                                         ", main raised " + fig["error"] if fig["error"] else ""),
                      file=sys.stderr)
        for client in clients:
            fig = median_run(figs[client])
            rows.append({
                "reply": reply, "client": client, "files": b["files"], "needed": needed,
                "wall": statistics.median(f["wall"] for f in figs[client]), "bound": bound,
                "ratio": statistics.median(f["wall"] for f in figs[client]) / bound,
                "walls": [f["wall"] for f in figs[client]],
                "refused": fig["refused"], "refused_runs": [f["refused"] for f in figs[client]],
                "refused_by_kind": fig["refused_by_kind"], "share": fig["refused"] / needed,
                "given_up": fig["given_up"],
                "given_up_runs": [f["given_up"] for f in figs[client]],
                "errors": [f["error"] for f in figs[client] if f["error"]],
                "checks": [f["check"] for f in figs[client]],
                "cpu_per_file": fig["cpu"] / b["files"], "module": fig["module"]})
    return rows


# -- dead cookie -----------------------------------------------------------------
def command_run(cmd, drive, workdir, log, StandIn, args, **limits):
    with StandIn(drive, tls="1.3", port=args.port, **limits) as s:
        t0 = time.time()
        status, end, _, tail = run_captured(cmd, client_env(s.ca_file), log, False, 3600,
                                            cwd=workdir)
        s.wait_idle(10.0)
        records = s.log.records()
    return status, end - t0, end, tail, records


def cookie_run(python, drive, args, size, dead_reply, scratch, StandIn, check_output):
    tag = "cookie-%s" % dead_reply
    workdir = os.path.join(scratch, tag)
    cmd = fernwick_command(python)
    write_config(workdir, drive.root.cid, "dying")
    status, wall, end, tail, records = command_run(
        cmd, drive, workdir, os.path.join(scratch, tag + ".log"), StandIn, args,
        cookie_life=size["cookie_life"], dead_reply=dead_reply)
    first = next((r for r in records if r.refused == "cookie"), None)
    later = [r for r in records if first is not None and r.seq > first.seq]
    text = read_log(os.path.join(scratch, tag + ".log"))
    row = {"dead_reply": dead_reply, "files": len(drive.files()),
           "cookie_life": size["cookie_life"], "command": " ".join(cmd), "status": status,
           "wall": wall, "stderr_tail": tail[-500:],
           "after_refusal": end - first.time if first is not None else None,
           "api_after": sum(1 for r in later if r.kind in API_KINDS),
           "downloads_after": sum(1 for r in later if r.kind == "download"),
           "dead": sum(1 for r in records if r.refused == "cookie"),
           "given_up": given_up(text), "check": check_output(drive, workdir)}
    # The same folder again: resume = 是, a good cookie, no limits.
    write_config(workdir, drive.root.cid, "fresh", resume="是")
    status, wall, _, tail, records = command_run(
        cmd, drive, workdir, os.path.join(scratch, tag + "-resume.log"), StandIn, args)
    text = read_log(os.path.join(scratch, tag + "-resume.log"))
    skipped = SKIPPED_TOTAL.search(text)
    row["resume"] = {"status": status, "wall": wall, "stderr_tail": tail[-500:],
                     "skipped": int(skipped.group(1)) if skipped else None,
                     "addresses": sum(1 for r in records if r.kind == "address"),
                     "check": check_output(drive, workdir)}
    print("bench: cookie %s: exit %s, %s s from the first refusal to the end, %d API requests "
          "after it, %d given up; resume: exit %s, %d skipped, %s" % (
              dead_reply, row["status"], "%.2f" % row["after_refusal"]
              if row["after_refusal"] is not None else "-", row["api_after"], row["given_up"],
              status, row["resume"]["skipped"] or 0,
              once(row["resume"]["check"])), file=sys.stderr)
    return row


def once(check):
    """Every expected line exactly once?"""
    if check["missing"] == check["unexpected"] == 0:
        return "every file once"
    return "%d missing, %d unexpected" % (check["missing"], check["unexpected"])


# -- progress on a big tree --------------------------------------------------------
def tree_run(python, drive, args, progress, scratch, tag, StandIn, check_output):
    workdir, out, log = (os.path.join(scratch, tag + ext) for ext in ("", ".json", ".log"))
    with StandIn(drive, tls="1.3", rtt=args.rtt, port=args.port) as s:
        cmd = client_command(python, s.root_cid, True, workdir, out, progress="是")
        status, _, err_bytes, tail = run_captured(cmd, client_env(s.ca_bundle), log,
                                                  progress == "on", 3600)
        s.wait_idle(10.0)
        conns = s.connections()
    fig = client_figures(out, log, status, tail, tag)
    fig.update({"stderr_bytes": err_bytes, "stderr_tail": tail[-300:],
                "connections": conns["accepted"], "check": check_output(drive, workdir)})
    return fig


def tree_part(python, args, size, Drive, StandIn, lower_bound, check_output, scratch, repeat):
    drive = Drive.tree(size["tree_folders"] - 1, size["tree_files"])
    drive.expected_lines()
    b = lower_bound(drive, True, args.rtt)
    figs = {"on": [], "off": []}
    for i in range(repeat):
        for progress in ("on", "off"):
            fig = tree_run(python, drive, args, progress, scratch, "tree-%s-%d" % (progress, i),
                           StandIn, check_output)
            figs[progress].append(fig)
            print("bench: tree progress %s run %d: wall %.2f s (bound %.2f s), cpu %.2f s, "
                  "%d bytes on stderr" % (progress, i + 1, fig["wall"], b["bound"], fig["cpu"],
                                          fig["stderr_bytes"]), file=sys.stderr)
    rows = []
    for progress in ("on", "off"):
        fig = median_run(figs[progress])
        wall = statistics.median(f["wall"] for f in figs[progress])
        rows.append({"progress": progress, "stderr": "pseudo-terminal" if progress == "on"
                     else "pipe", "folders": b["folders"], "files": b["files"], "wall": wall,
                     "walls": [f["wall"] for f in figs[progress]], "bound": b["bound"],
                     "ratio": wall / b["bound"], "cpu_per_file": fig["cpu"] / b["files"],
                     "cpu_user": fig["cpu_user"], "cpu_sys": fig["cpu_sys"],
                     "rss_peak": fig["rss_peak"], "stderr_bytes": fig["stderr_bytes"],
                     "stderr_tail": fig["stderr_tail"], "connections": fig["connections"],
                     "errors": [f["error"] for f in figs[progress] if f["error"]],
                     "checks": [f["check"] for f in figs[progress]], "module": fig["module"]})
    return rows


# -- refusals in passing, and a file refused for good -------------------------------
def walls_line(rows, label):
    """The report's line of every run's wall, a row at a time."""
    return "Walls of every run (s): " + "; ".join(
        "%s %s" % (label(r), " ".join("%.2f" % w for w in r["walls"])) for r in rows)


def others_done(records, bad, t0):
    """Seconds from t0 until every file but `bad` had been downloaded once:
    the pacer's tests ask again for a download already served, which is no
    file's progress."""
    first = {}
    for r in records:
        if r.kind == "download" and r.status in (200, 206) and (
                bad is None or r.pickcode != bad.pickcode):
            first.setdefault(r.pickcode, r.time)
    return max(first.values()) - t0 if first else None


def refusal_drive(Drive, files, fault):
    """The folder, with its refused file (a third of the way in) if any."""
    drive = Drive.flat(files)
    bad = None
    if fault is not None and fault[0] == "refuse":
        bad = drive.files()[files // 3]
        bad.refuse(fault[1])
    drive.expected_lines()
    return drive, bad


def refusal_run(python, Drive, StandIn, check_output, args, case, scratch, tag):
    name, files, fault = case
    drive, bad = refusal_drive(Drive, files, fault)
    limits = {}
    if fault is not None and fault[0] == "blip":
        pages = -(-files // 115)
        limits["blip"] = 2 if fault[1] == "page" else pages + fault[1]
    workdir, log = os.path.join(scratch, tag), os.path.join(scratch, tag + ".log")
    write_config(workdir, drive.root.cid, "c")
    cmd = fernwick_command(python)
    with StandIn(drive, tls="1.3", rtt=args.rtt, port=args.port, **limits) as s:
        t0 = time.time()
        status, end, _, tail = run_captured(cmd, client_env(s.ca_bundle), log, False, 3600,
                                            cwd=workdir)
        s.wait_idle(10.0)
        records = s.log.records()
    text = read_log(log)
    fig = {"case": name, "files": files, "status": status, "wall": end - t0,
           "others_done": others_done(records, bad, t0),
           "refused": sum(1 for r in records if r.status in (429, 503)),
           "pause_lines": sum(1 for line in text.splitlines() if line.startswith(PAUSE_LINE)),
           "given_up": given_up(text), "check": check_output(drive, workdir),
           "stderr_tail": tail[-300:]}
    if bad is not None:
        tries = [r.time for r in records if r.kind == fault[1] and r.pickcode == bad.pickcode]
        fig["bad_tries"] = len(tries)
        fig["bad_span"] = max(tries) - min(tries) if tries else None  # first refusal to last try
    return fig


def refusal_part(python, args, size, Drive, StandIn, check_output, scratch, repeat):
    cases = [(name, size["refusal_files"] if files != 20 else 20, fault)
             for name, files, fault in REFUSAL_CASES]
    figs = {c: [] for c in cases}
    for i in range(repeat):
        for case in cases:
            tag = "refusal-%s-%d-%d" % (case[0].replace(" ", "-"), case[1], i)
            fig = refusal_run(python, Drive, StandIn, check_output, args, case, scratch, tag)
            figs[case].append(fig)
            print("bench: refusal %s, %d files, run %d: exit %s, wall %.2f s, others done %s s, "
                  "%d refused, %d pause lines, %d given up%s" % (
                      case[0], case[1], i + 1, fig["status"], fig["wall"],
                      "%.2f" % fig["others_done"] if fig["others_done"] is not None else "-",
                      fig["refused"], fig["pause_lines"], fig["given_up"],
                      ", bad file: %d tries over %.2f s" % (fig["bad_tries"], fig["bad_span"])
                      if "bad_tries" in fig else ""), file=sys.stderr)
    rows = []
    for case in cases:
        runs = figs[case]
        row = {"case": case[0], "files": case[1], "fault": case[2],
               "wall": statistics.median(f["wall"] for f in runs),
               "walls": [f["wall"] for f in runs],
               "others_done": statistics.median(f["others_done"] for f in runs),
               "statuses": [f["status"] for f in runs],
               "refused": [f["refused"] for f in runs],
               "pause_lines": [f["pause_lines"] for f in runs],
               "given_up_runs": [f["given_up"] for f in runs],
               "checks": [f["check"] for f in runs]}
        if "bad_tries" in runs[0]:
            row["bad_tries"] = [f["bad_tries"] for f in runs]
            row["bad_span"] = statistics.median(f["bad_span"] for f in runs)
        rows.append(row)
    return rows


def refusal_targets(rows):
    """Each row against its folder without refusals: a blip within the same
    wall + its pause (1 s) + 10 %; a file refused for good: every other file
    done within 10 % of the same, that file given up within 10 s of its
    first refusal, exit status 3."""
    base = {r["files"]: r for r in rows if r["case"] == "none"}
    for r in rows:
        b = base.get(r["files"])
        if b is None or r is b:
            r["target"] = "-"
        elif r["fault"][0] == "blip":
            limit = b["wall"] * 1.1 + 1.0
            r["target"] = "%s: wall %.2f <= %.2f" % ("met" if r["wall"] <= limit else "missed",
                                                     r["wall"], limit)
        else:
            limit = b["others_done"] * 1.1
            met = (r["others_done"] <= limit and r["bad_span"] <= 10
                   and set(r["statuses"]) == {3})
            r["target"] = "%s: others done %.2f <= %.2f, given up %.2f s <= 10, exit %s" % (
                "met" if met else "missed", r["others_done"], limit, r["bad_span"],
                "+".join(map(str, r["statuses"])))
    return rows


# -- the shape of a real drive under a limit -----------------------------------------
TREE_LIMIT_ROWS = ("clean", "limit 503", "limit 429", "strays", "long")
TREE_LIMIT_BAD = 2          # files refused for good in the long row: an address, a download
TREE_LIMIT_CAP = 600.0      # s a command may run before it is killed (--give-up-cap)
SLACK = 1.3                 # the rows' targets: 1.3 x what they are held against ...
MAX_REFUSED = 0.03          # ... with at most 3 % of the API requests needed refused
STRAY_COST = 0.6            # s a stray refusal may cost (strays row)
LONG_STRAY_COST = 1.0       # s a stray refusal may cost (long row)
MEETING_COST = 6.0          # s a meeting with a file refused for good may cost (long row)


def tree_limit_size(args):
    folders = 31 if args.quick else 111
    return {"folders": folders, "per_folder": 10,
            "cap": args.give_up_cap or TREE_LIMIT_CAP}


def tree_limit_service(row, args):
    """The stand-in's limits for a row but the long one (refusals.long_limits)."""
    limit = {"rate": args.throttle_rate, "burst": args.throttle_burst}
    import refusals
    return {"clean": {},
            "limit 503": dict(limit, limit_reply="503"),
            "limit 429": dict(limit, limit_reply="429", retry_after=RETRY_AFTER),
            "strays": {"blip_every": refusals.LONG_BLIP_EVERY}}[row]


def tree_limit_run(python, args, StandIn, check_output, row, drives, scratch, tag, cap,
                   needed):
    """One round's run of a row: the command's figures; for the long row
    every command of it (first, then resumed), their walls added."""
    import refusals
    workdir, log = os.path.join(scratch, tag), os.path.join(scratch, tag + ".log")
    if row == "long":
        drive, bad = drives["long"]
        runs = refusals.long_sequence(python, args, StandIn, drive, bad, workdir, log, cap,
                                      refusals.cookie_life(needed), refusals.long_limits(args))
        for r in runs:
            r.pop("bad_figures")
        by_why = {}
        for r in runs:
            for why, n in r["requests"]["by_why"].items():
                by_why[why] = by_why.get(why, 0) + n
        return {"wall": sum(r["wall"] for r in runs), "runs": runs,
                "statuses": [r["status"] for r in runs],
                "capped": any(r["capped"] for r in runs),
                "strays": sum(r["strays"] for r in runs),
                "met_bad": sum(r["met_bad"] for r in runs),
                "api": sum(r["requests"]["api"] for r in runs),
                "refused": sum(by_why.values()), "by_why": by_why,
                "pause_lines": sum(r["pause_lines"] for r in runs),
                "given_up": runs[-1]["given_up"], "check": check_output(drive, workdir)}
    drive = drives["tree"]
    fig = refusals.command_run(python, args, StandIn, drive, workdir, log, cap, recursive=True,
                               **tree_limit_service(row, args))
    records = fig.pop("records")
    fig.pop("lines")
    counts = refusals.request_counts(records)
    fig.update({"statuses": [fig["status"]], "api": counts["api"],
                "refused": counts["refused"], "by_why": counts["by_why"],
                "strays": sum(1 for r in records if r.refused == "blip"), "met_bad": 0,
                "check": check_output(drive, workdir)})
    return fig


def tree_limit_part(python, args, Drive, StandIn, lower_bound, check_output, scratch, repeat):
    import refusals
    size = tree_limit_size(args)
    drives = {"tree": Drive.tree(size["folders"] - 1, size["per_folder"]),
              "long": refusals.long_drive(Drive, size["folders"], size["per_folder"],
                                          TREE_LIMIT_BAD)}
    drives["tree"].expected_lines()
    needed = refusals.long_needed(drives["tree"], lower_bound)
    pythons, clients = client_pythons(python, args, ("module", "base"))
    clients = clients or ["module"]
    # --tree-limit-rows: some of them (clean always, every target needs it)
    chosen = args.tree_limit_rows.split(",") if args.tree_limit_rows else TREE_LIMIT_ROWS
    row_names = [r for r in TREE_LIMIT_ROWS if r == "clean" or r in chosen]
    figs = {(row, c): [] for row in row_names for c in clients}
    for i in range(repeat):
        for row in row_names:
            for client in clients:
                tag = "tree-limit-%s-%s-%d" % (row.replace(" ", "-"), client, i)
                fig = tree_limit_run(pythons[client], args, StandIn, check_output, row, drives,
                                     scratch, tag, size["cap"], needed)
                figs[row, client].append(fig)
                tree_limit_progress(row, client, i, fig)
    rows = []
    for client in clients:
        rows += tree_limit_targets([tree_limit_row(row, client, figs[row, client], size, needed,
                                                   args) for row in row_names])
    return rows


def tree_limit_progress(row, client, i, fig):
    print("bench: tree-limit %s %s run %d: exit %s, wall %.2f s%s, %d of %d API requests "
          "refused %s, %d stray, %d refused files met, %d pause lines, %d given up, %s"
          % (row, client, i + 1, exits(fig["statuses"]),
             fig["wall"], " (%s)" % " + ".join("%.2f" % r["wall"] for r in fig["runs"])
             if "runs" in fig else "", fig["refused"], fig["api"], fig["by_why"],
             fig["strays"], fig["met_bad"], fig["pause_lines"], fig["given_up"],
             once(fig["check"])), file=sys.stderr)


def tree_limit_row(row, client, runs, size, needed, args):
    return {
        "row": row, "client": client, "folders": size["folders"],
        "files": size["folders"] * size["per_folder"],
        "needed": needed, "ideal": needed / args.throttle_rate, "rate": args.throttle_rate,
        "burst": args.throttle_burst, "rtt": args.rtt, "cap": size["cap"],
        "wall": statistics.median(f["wall"] for f in runs),
        "walls": [f["wall"] for f in runs],
        "run_walls": [[r["wall"] for r in f.get("runs", [f])] for f in runs],
        "statuses": [f["statuses"] for f in runs],
        "capped": sum(1 for f in runs if f["capped"]),
        "refused": [f["refused"] for f in runs], "by_why": [f["by_why"] for f in runs],
        "api": [f["api"] for f in runs], "strays": [f["strays"] for f in runs],
        "met_bad": [f["met_bad"] for f in runs],
        "pause_lines": [f["pause_lines"] for f in runs],
        "given_up_runs": [f["given_up"] for f in runs],
        "checks": [f["check"] for f in runs],
        "bad": TREE_LIMIT_BAD if row == "long" else 0}


def exits(statuses):
    """A row's exit statuses in one round: "5>3" for a run resumed once."""
    return ">".join("cap" if v is None else str(v) for v in statuses)


def within(wall, limit):
    return "%.2f %s %.2f s" % (wall, "<=" if wall <= limit else ">", limit)


def tree_limit_targets(rows):
    """Each row's ratio and target. Limit rows: median wall within SLACK x
    max(clean, ideal), every run with at most MAX_REFUSED of the API
    requests needed refused; strays: within SLACK x clean + STRAY_COST a
    stray refusal; long: every round's walls added within SLACK x max(clean,
    ideal) + LONG_STRAY_COST a stray refusal + MEETING_COST a meeting with a
    file refused for good (its strays and meetings)."""
    by = {r["row"]: r for r in rows}
    clean = by["clean"]["wall"]
    for r in rows:
        base = max(clean, r["ideal"])
        r["clean"], r["base"] = clean, base
        r["share"] = max(r["refused"]) / r["needed"]
        if r["row"] == "clean":
            r["ratio"], r["target"] = r["wall"] / r["ideal"], "-"
        elif r["row"].startswith("limit"):
            limit = SLACK * base
            r["ratio"] = r["wall"] / base
            met = r["wall"] <= limit and r["share"] <= MAX_REFUSED
            r["target"] = "%s: %s, refused %.1f%% %s %.0f%%" % (
                "met" if met else "missed", within(r["wall"], limit), 100 * r["share"],
                "<=" if r["share"] <= MAX_REFUSED else ">", 100 * MAX_REFUSED)
        elif r["row"] == "strays":
            limit = SLACK * clean + STRAY_COST * statistics.median(r["strays"])
            r["ratio"] = r["wall"] / clean
            r["target"] = "%s: %s" % ("met" if r["wall"] <= limit else "missed",
                                      within(r["wall"], limit))
        else:
            limits = [SLACK * base + LONG_STRAY_COST * s + MEETING_COST * m
                      for s, m in zip(r["strays"], r["met_bad"])]
            r["ratio"] = r["wall"] / base
            met = all(w <= limit for w, limit in zip(r["walls"], limits))
            r["target"] = "%s: %s" % ("met" if met else "missed", ", ".join(
                within(w, limit) for w, limit in zip(r["walls"], limits)))
    return rows


# -- the part --------------------------------------------------------------------------
def run(args, Drive, StandIn, lower_bound, check_output, scratch):
    started = time.monotonic()
    python = ensure_module(args.port, args.net_python or sys.executable)
    size = sizes(args)
    repeat = args.repeat or (1 if args.quick else 3)
    import refusals
    parts = PARTS + refusals.PARTS
    chosen = [p for p in (args.only.split(",") if args.only else parts) if p in parts]
    results = {"mode": "quick" if args.quick else "full", "repeat": repeat, "port": args.port,
               "interpreter": python, "base_python": args.base_python, "rate": args.throttle_rate, "burst": args.throttle_burst,
               "retry_after": RETRY_AFTER, "rtt": args.rtt, "sizes": size,
               "started": time.strftime("%Y-%m-%d %H:%M:%S"), "load_before": os.getloadavg(),
               "parts": chosen, "rate_rows": [], "cookie_rows": [], "tree_rows": [],
               "refusal_rows": [], "tree-limit_rows": []}
    common = (Drive, StandIn, lower_bound, check_output, scratch, repeat)
    if "rate" in chosen:
        results["rate_rows"] = rate_part(python, args, size, *common)
    if "cookie" in chosen:
        drive = Drive.flat(size["cookie_files"])
        drive.expected_lines()
        results["cookie_rows"] = [cookie_run(python, drive, args, size, reply, scratch, StandIn,
                                             check_output) for reply in DEAD_REPLIES]
    if "tree" in chosen:
        results["tree_rows"] = tree_part(python, args, size, *common)
    if "tree-limit" in chosen:
        results["tree-limit_rows"] = tree_limit_part(python, args, Drive, StandIn, lower_bound,
                                                     check_output, scratch, repeat)
    if "refusal" in chosen:
        results["refusal_rows"] = refusal_targets(refusal_part(
            python, args, size, Drive, StandIn, check_output, scratch, repeat))
    more = [p for p in chosen if p in refusals.PARTS]
    if more:
        results.update(refusals.run_parts(python, args, more, Drive, StandIn, lower_bound,
                                          check_output, scratch, repeat))
    results["load_after"] = os.getloadavg()
    results["seconds"] = time.monotonic() - started
    return results


def tree_limit_report(results, table):
    rows = results["tree-limit_rows"]
    r0 = rows[0]
    what = {"clean": "no limit", "limit 503": "limit, 503",
            "limit 429": "limit, 429 + Retry-After: %d" % RETRY_AFTER,
            "strays": "a stray 503 every 100 API requests",
            "long": "limit (429) + strays + %d files refused for good + cookie dies, "
                    "resumed" % max(r["bad"] for r in rows)}
    cells = []
    for r in rows:
        vs = {"clean": "ideal", "strays": "clean"}.get(r["row"], "max(clean, ideal)")
        cells.append([
            r["row"], r.get("client", "module"), what[r["row"]], "%.2f" % r["wall"],
            " ".join("+".join("%.2f" % w for w in run) for run in r["run_walls"]),
            "%.2f × %s" % (r["ratio"], vs),
            "%s (%.1f%%)" % ("+".join(map(str, r["refused"])), 100 * r["share"]),
            "+".join(map(str, r["api"])), "+".join(map(str, r["strays"])),
            "+".join(map(str, r["met_bad"])), "+".join(map(str, r["pause_lines"])),
            "+".join(map(str, r["given_up_runs"])),
            " ".join(exits(st) for st in r["statuses"]),
            output_cell(r["checks"], r["given_up_runs"]), r["target"]])
    out = ["", "The shape of a drive under the limit: the `fernwick` command, recursive, on a "
           "tree of %d folders x %d files, RTT %.0f ms, TLS 1.3; %g API requests/s, burst %d; "
           "%d API requests needed, the limit's ideal %.2f s, clean %.2f s; walls of the long "
           "row are its commands' (first + resumed); refused of the %d needed, the largest "
           "share of the runs; a command still running after %d s is killed:" % (
               r0["folders"], r0["files"] // r0["folders"], 1000 * r0["rtt"], r0["rate"],
               r0["burst"], r0["needed"], r0["ideal"], r0["clean"], r0["needed"], r0["cap"]),
           ""]
    out.append(table(["row", "client", "service", "wall s", "walls s", "ratio", "refused (share)",
                      "API requests sent", "stray refusals", "refused files met",
                      "pause lines", "given up", "exit statuses", "output", "target"], cells))
    if any(r.get("client") == "base" for r in rows):
        out += ["", "base: the module of %s" % results["base_python"]]
    mine = [r for r in results["rate_rows"] if r["client"] == "module"]
    limited = {r["row"][len("limit "):]: r for r in rows
               if r["row"].startswith("limit") and r.get("client", "module") == "module"}
    if mine and limited:
        side = []
        for r in mine:
            t = limited.get(r["reply"])
            if t is None:
                continue
            side.append(["429 + Retry-After: %d" % RETRY_AFTER if r["reply"] == "429" else "503",
                         "%.2f / %.2f = %.2f" % (r["wall"], r["bound"], r["ratio"]),
                         "%.1f%%" % (100.0 * r["share"]),
                         "%.2f / %.2f = %.2f" % (t["wall"], t["base"], t["ratio"]),
                         "%.1f%%" % (100.0 * t["share"])])
        kept = results.get("kept", {}).get("rate_rows")
        out += ["", "Under the limit, side by side: one folder of %d files (the rate rows, "
                "module; wall / the limit's ideal) and the tree (wall / max(clean, ideal))%s:"
                % (mine[0]["files"], "; the rate rows kept from %s" % kept if kept else ""), ""]
        out.append(table(["refusal", "one folder: wall / ideal", "refused",
                          "tree: wall / max(clean, ideal)", "refused"], side))
    return out


def output_cell(checks, given):
    """exact: every line written is expected, none twice; the missing ones
    are the files given up (or not)."""
    bad = [c for c in checks if not exact(c)]
    if bad:
        return "%d unexpected" % sum(c["unexpected"] for c in bad)
    missing = [c["missing"] for c in checks]
    if not any(missing):
        return "exact, complete"
    return "exact, %s missing%s" % ("+".join(map(str, missing)),
                                    " (= given up)" if missing == given else "")


def report(results, table):
    size = results["sizes"]
    out = ["Throttle part: the module built for localhost:%d, TLS 1.3; %s; %d run(s) where a "
           "median is taken; %.0f s in all; machine load average %.1f before, %.1f after" % (
               results["port"], results["mode"], results["repeat"], results["seconds"],
               results["load_before"][0], results["load_after"][0])]
    if results["rate_rows"]:
        rows = []
        for r in results["rate_rows"]:
            rows.append([
                "429 + Retry-After: %d" % results["retry_after"] if r["reply"] == "429"
                else "503, no Retry-After", r["client"], r["files"], r["needed"],
                "%.2f" % r["wall"], "%.2f" % r["bound"], "%.2f" % r["ratio"],
                "%d (%.0f%%)" % (r["refused"], 100.0 * r["share"]),
                "+".join(map(str, r["given_up_runs"])),
                output_cell(r["checks"], r["given_up_runs"]),
                "; ".join(sorted(set(r["errors"]))) or "-"])
        out += ["", "Rate limit: %d files in one folder (single-folder mode), %g API requests/s, "
                "burst %d; bound = API requests needed / rate:" % (
                    size["files"], results["rate"], results["burst"]), ""]
        out.append(table(["refusal", "client", "files", "API requests needed", "wall s",
                          "bound s", "wall/bound", "refusals (of needed)", "given up",
                          "output", "main() raised"], rows))
        out.append("")
        out.append("Walls of every run (s): " + "; ".join(
            "%s %s %s (refused %s)" % (r["reply"], r["client"],
                                       " ".join("%.2f" % w for w in r["walls"]),
                                       "+".join(map(str, r["refused_runs"])))
            for r in results["rate_rows"]))
        if results.get("base_python"):
            out.append("")
            out.append("base: the module of %s" % results["base_python"])
    if results.get("tree-limit_rows"):
        out += tree_limit_report(results, table)
    if results["cookie_rows"]:
        rows = []
        for r in results["cookie_rows"]:
            res = r["resume"]
            rows.append([
                "401" if r["dead_reply"] == "401" else "200 {\"state\": false}",
                r["files"], r["cookie_life"], r["status"],
                "%.2f" % r["after_refusal"] if r["after_refusal"] is not None else "-",
                r["api_after"], r["downloads_after"], r["given_up"],
                output_cell([r["check"]], [r["given_up"]]),
                res["status"], res["skipped"] if res["skipped"] is not None else "-",
                res["addresses"], once(res["check"])])
        out += ["", "Dead cookie: the `fernwick` command on %d files in one folder, the cookie "
                "dying after %d API requests; then the command again with resume = 是 and a "
                "good cookie:" % (size["cookie_files"], size["cookie_life"]), ""]
        out.append(table(["dead cookie answer", "files", "cookie life", "exit status",
                          "s from first refusal to end", "API requests after it",
                          "downloads after it", "given up", "output", "resume: exit status",
                          "skipped", "address requests", "output after resume"], rows))
    if results["tree_rows"]:
        rows = []
        for r in results["tree_rows"]:
            rows.append([r["progress"], r["stderr"], r["folders"], r["files"], "%.2f" % r["wall"],
                         "%.2f" % r["bound"], "%.2f" % r["ratio"],
                         "%.2f" % (1000 * r["cpu_per_file"]), "%.1f" % (r["rss_peak"] / MiB),
                         r["stderr_bytes"], r["connections"],
                         output_cell(r["checks"], [0] * len(r["checks"])),
                         "; ".join(sorted(set(r["errors"]))) or "-"])
        out += ["", "Progress on a tree: %d folders x %d files, recursive, RTT %.0f ms, TLS 1.3; "
                "config.ini has progress = 是 in both; bound as in the network part:" % (
                    size["tree_folders"], size["tree_files"], 1000 * results["rtt"]), ""]
        out.append(table(["progress", "client's stderr", "folders", "files", "wall s", "bound s",
                          "wall/bound", "CPU ms/file", "peak RSS MiB", "stderr bytes",
                          "connections", "output", "main() raised"], rows))
        out.append("")
        out.append(walls_line(results["tree_rows"], lambda r: "progress %s" % r["progress"]))
    if results.get("refusal_rows"):
        rows = []
        for r in results["refusal_rows"]:
            rows.append([r["case"], r["files"], "%.2f" % r["wall"], "%.2f" % r["others_done"],
                         "+".join(map(str, r["refused"])), "+".join(map(str, r["pause_lines"])),
                         "%s over %.2f s" % ("+".join(map(str, r["bad_tries"])), r["bad_span"])
                         if "bad_tries" in r else "-",
                         "+".join(map(str, r["statuses"])),
                         output_cell(r["checks"], r["given_up_runs"]), r["target"]])
        out += ["", "Refusals in passing and a file refused for good: the `fernwick` command, "
                "RTT %.0f ms, TLS 1.3; wall = the command's, others done = when every other file "
                "had been downloaded once (both from its start):" % (1000 * results["rtt"]), ""]
        out.append(table(["case", "files", "wall s", "others done s", "refused",
                          "pause lines", "refused file: tries over s", "exit status", "output",
                          "target"], rows))
        out.append("")
        out.append(walls_line(results["refusal_rows"], lambda r: "%s/%d" % (r["case"], r["files"])))
    import refusals
    more = refusals.report(results, table)
    return "\n".join(out) + ("\n" + more if more else "")
