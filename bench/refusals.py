"""Refusal rows of the throttle part (bench/run.py --throttle --only
alone,mixed,zero,outage,long): how the batch treats a file the service keeps
refusing, a Retry-After of nothing, an outage of the whole service, and all
of them in one long run.

Every run is the installed `fernwick` command (bench/.venv-net, built by
netbench.ensure_module for localhost:PORT) in a scratch directory, against
the stand-in in this process over real sockets: TLS 1.3 behind the network
front (RTT 40 ms), certifi's store plus our CA. Its standard output goes
through a pipe, each line stamped as it arrives (PYTHONUNBUFFERED=1), so the
time of a give-up line is known. A run still going after --give-up-cap
seconds is killed and counted as capped.

  alone   a resumed run whose output file holds every line but one file's:
          that file's address (second case: download) always 503.
  mixed   one such file (its address) and one passing 503 on another file's
          address, in folders of 20 and 600 files, against the same folder
          with the passing 503 alone.
  zero    one file's address always refused, 503 with Retry-After: 0 or an
          HTTP date a minute gone, in the folder and alone (resumed).
  outage  a 20 s outage of everything, of the addresses alone, of the
          downloads alone, from the 100th API request; and of the downloads
          from the start, with one or two files.
  long    a tree of 101 folders x 5 files under a rate limit of 60 API
          requests/s (burst 6), every 100th API request refused in passing,
          six files refused for good, the cookie dying after 60 % of the API
          requests a clean run makes; then the same command resumed with a
          good cookie; against a clean run (no limit, no refusal).

Cases alternate within each of --repeat rounds; medians.
"""

import os
import statistics
import subprocess
import sys
import threading
import time

from standin import Faults
from throttle import (API_KINDS, GIVEN_UP_LINE, PAUSE_LINE, SKIPPED_TOTAL, client_env, fernwick_command,
                      given_up, once, others_done, output_cell, wait_or_kill, walls_line,
                      write_config)

PARTS = ("alone", "mixed", "zero", "outage", "long")
OUTPUT = "QuillsiftBYOskel.txt"
REFUSED = (429, 503)
OUTAGE = (100, 20.0)        # from the 100th API request, 20 s
LONG_BAD = 6
LONG_BLIP_EVERY = 100
LONG_COOKIE_SHARE = 0.6
FINISHED = (0, 3)           # exit statuses of a batch that ran to its end
MAX_RESUMES = 3             # a long run is resumed at most this often


def sizes(args):
    quick = args.quick
    return {"folder": 120 if quick else 600, "alone": 600, "small": 20,
            "long_folders": 31 if quick else 101, "long_files": 5,
            "cap": args.give_up_cap or (90.0 if quick else 180.0)}


# -- the cases -----------------------------------------------------------------------
def case(name, files, base=None, bad=None, retry_after=None, passing=False, resume=False,
         outage=None):
    """One command run on a folder of `files`: `bad` "address" or "download"
    for a file a third of the way in that is always refused (503 with
    `retry_after`), `passing` for one 503 on the address of a file two thirds
    in, `resume` for an output file that already holds every other line,
    `outage` as the stand-in's. `base`: the case it is compared with."""
    return {"name": name, "files": files, "base": base, "bad": bad,
            "retry_after": retry_after, "passing": passing, "resume": resume, "outage": outage}


def cases(part, size):
    folder, small, alone = size["folder"], size["small"], size["alone"]
    if part == "alone":
        return [case("address always 503, alone", alone, bad="address", resume=True),
                case("download always 503, alone", alone, bad="download", resume=True)]
    if part == "mixed":
        out = []
        for n in (small, folder):
            out += [case("passing 503", n, passing=True),
                    case("bad address + passing 503", n, base="passing 503", bad="address",
                         passing=True)]
        return out
    if part == "zero":
        out = [case("none", folder)]
        for when in (0, "past"):
            label = "Retry-After: 0" if when == 0 else "Retry-After: a past date"
            out += [case("address 503, " + label, folder, base="none", bad="address",
                         retry_after=when),
                     case("address 503, %s, alone" % label, alone, bad="address",
                          retry_after=when, resume=True)]
        return out
    if part == "outage":  # of the service, of one endpoint, of the downloads from the start
        out = [case("none", folder)]
        for of in ("all", "addresses", "downloads"):
            out.append(case("%g s outage of %s from API request %d" % (
                OUTAGE[1], "the service" if of == "all" else "the " + of, OUTAGE[0]), folder,
                base="none", outage=OUTAGE + (of,)))
        for n in (1, 2):
            out += [case("none", n), case("%g s outage of the downloads from the start" % OUTAGE[1],
                                          n, base="none", outage=(1, OUTAGE[1], "downloads"))]
        return out
    raise ValueError(part)


def case_drive(Drive, c, drives):
    """The folder (shared by the runs of a case), its refused file, and the
    file refused once in passing."""
    key = (c["files"], c["bad"], c["retry_after"])
    if key not in drives:
        drive = Drive.flat(c["files"])
        bad = None
        if c["bad"]:
            bad = drive.files()[c["files"] // 3]
            bad.refuse(c["bad"], retry_after=c["retry_after"])
        drive.expected_lines()
        drives[key] = (drive, bad)
    drive, bad = drives[key]
    passing = drive.files()[2 * c["files"] // 3] if c["passing"] else None
    return drive, bad, passing


# -- one command run ------------------------------------------------------------------
def run_stamped(cmd, env, log, cap, cwd):
    """Runs cmd with standard input at its end; its standard output is
    written to `log` and kept as (time.time(), line) pairs, its standard
    error to log + ".err". Killed after `cap` seconds. Returns (exit status
    or None when capped, time.time() at its end, the stamped lines)."""
    env = dict(env, PYTHONUNBUFFERED="1")
    lines = []
    with open(log + ".err", "wb") as err:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=err, env=env, cwd=cwd)

    def read():
        with open(log, "wb") as out:
            for raw in proc.stdout:
                lines.append((time.time(), raw.decode("utf-8", "replace").rstrip("\r\n")))
                out.write(raw)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    status, killed, end = wait_or_kill(proc, cap)
    reader.join(10)
    proc.stdout.close()
    return None if killed else status, end, lines


def max_per_second(times):
    """The most of `times` within any 1 s window."""
    times = sorted(times)
    best, lo = 0, 0
    for hi, t in enumerate(times):
        while t - times[lo] >= 1.0:
            lo += 1
        best = max(best, hi - lo + 1)
    return best


def paused(lines):
    """Pause lines and the seconds they announced."""
    seconds = [int("".join(ch for ch in text[len(PAUSE_LINE):] if ch.isdigit()) or 0)
               for _, text in lines if text.startswith(PAUSE_LINE)]
    return len(seconds), sum(seconds)


def bad_figures(bad, kind, records, lines, t0):
    """A file refused for good: its requests of the refused kind, the most
    in any second, and from its first refusal to its give-up line."""
    mine = [r for r in records if r.pickcode == bad.pickcode and r.kind == kind]
    refused = [r.time for r in mine if r.status in REFUSED]
    gave_up = [t for t, text in lines if text.startswith(GIVEN_UP_LINE) and bad.name in text]
    return {"tries": len(mine), "per_s": max_per_second(r.time for r in mine),
            "first_refusal": min(refused) - t0 if refused else None,
            "give_up": gave_up[0] - min(refused) if refused and gave_up else None}


def command_run(python, args, StandIn, drive, workdir, log, cap, faults=None, cookie="c",
                recursive=False, resume=False, **limits):
    write_config(workdir, drive.root.cid, cookie, "是" if resume else None, recursive)
    with StandIn(drive, tls="1.3", rtt=args.rtt, port=args.port, faults=faults, **limits) as s:
        t0 = time.time()
        status, end, lines = run_stamped(fernwick_command(python), client_env(s.ca_bundle), log,
                                         cap, workdir)
        s.wait_idle(10.0)
        records = s.log.records()
    text = "\n".join(line for _, line in lines)
    pause_lines, pause_s = paused(lines)
    skipped = SKIPPED_TOTAL.search(text)
    return {"status": status, "capped": status is None, "wall": end - t0, "t0": t0,
            "pause_lines": pause_lines, "paused_s": pause_s,
            "refused": sum(1 for r in records if r.status in REFUSED),
            "given_up": given_up(text), "skipped": int(skipped.group(1)) if skipped else None,
            "lines": lines, "records": records}


def case_run(python, args, Drive, StandIn, check_output, scratch, tag, c, drives, cap):
    drive, bad, passing = case_drive(Drive, c, drives)
    workdir, log = os.path.join(scratch, tag), os.path.join(scratch, tag + ".log")
    os.makedirs(workdir, exist_ok=True)
    if c["resume"]:
        with open(os.path.join(workdir, OUTPUT), "w", encoding="utf-8") as f:
            f.writelines(line + "\n" for g, line in zip(drive.files(), drive.expected_lines())
                         if g is not bad)
    faults = None
    if passing is not None:
        faults = Faults()
        faults.add("address", "http503", times=1, match={"pickcode": passing.pickcode})
    fig = command_run(python, args, StandIn, drive, workdir, log, cap, faults=faults,
                      resume=c["resume"], outage=c["outage"])
    records, lines, t0 = fig.pop("records"), fig.pop("lines"), fig["t0"]
    fig["others_done"] = others_done(records, bad, t0)
    if bad is not None:
        fig["bad"] = bad_figures(bad, c["bad"], records, lines, t0)
    fig["check"] = check_output(drive, workdir)
    return fig


# -- the long run --------------------------------------------------------------------
def long_drive(Drive, folders, per_folder, bad_count=LONG_BAD):
    """The tree of `folders` folders of `per_folder` files, and `bad_count`
    files refused for good spread evenly over it (addresses and downloads in
    turn, an address first)."""
    drive = Drive.tree(folders - 1, per_folder)
    files = drive.files()
    bad = []
    for k in range(bad_count):
        f = files[(2 * k + 1) * len(files) // (2 * bad_count)]
        kind = "address" if k % 2 == 0 else "download"
        f.refuse(kind)
        bad.append((f, kind))
    drive.expected_lines()
    return drive, bad


def long_needed(drive, lower_bound):
    """API requests a clean run makes: walk and listing pages, one address
    per file."""
    b = lower_bound(drive, True, 1.0)
    return b["walk_pages"] + b["listing_pages"] + b["files"]


def long_limits(args):
    """The service of a long run: the rate limit (429 + Retry-After: 1, the
    stand-in's default reply) and every LONG_BLIP_EVERY-th API request
    refused in passing."""
    return {"rate": args.throttle_rate, "burst": args.throttle_burst,
            "blip_every": LONG_BLIP_EVERY}


def cookie_life(needed):
    """API requests the dying cookie is served: a share of a clean run's."""
    return int(LONG_COOKIE_SHARE * needed)


def met_bad(bad, records):
    """How many of the files refused for good were refused in a run (each
    such meeting holds its folder until the file is given up)."""
    refused = {(r.pickcode, r.kind) for r in records
               if r.refused is None and r.status in REFUSED}
    return sum(1 for f, kind in bad if (f.pickcode, kind) in refused)


def resumes_until_done(run, first, max_resumes=MAX_RESUMES):
    """`first` = run(0), then run(1), run(2) ... (each resumed with a renewed
    cookie) while the last did not finish (exit 0 or 3; a run killed at the
    cap did not), at most `max_resumes` times. Returns the runs."""
    runs = [first]
    while runs[-1]["status"] not in FINISHED and len(runs) <= max_resumes:
        runs.append(run(len(runs)))
    return runs


def long_sequence(python, args, StandIn, drive, bad, workdir, log, cap, life, limits,
                  max_resumes=MAX_RESUMES):
    """A long run: the command with a cookie that dies after `life` API
    requests, then again in the same directory with resume = 是 and a
    renewed cookie (which lives on), until it finishes (resumes_until_done).
    Each run's figures, with the stray refusals it met, the refused files it
    met, and per refused file (bad_figures) what it did."""

    def one(k):
        more = "" if k < 2 else str(k)     # the k-th resume's log and cookie
        if k == 0:
            fig = command_run(python, args, StandIn, drive, workdir, log, cap, cookie="dying",
                              recursive=True, cookie_life=life, **limits)
        else:
            fig = command_run(python, args, StandIn, drive, workdir, log + "-resume" + more,
                              cap, cookie="fresh" + more, recursive=True, resume=True,
                              **limits)
        records, lines = fig.pop("records"), fig.pop("lines")
        fig["strays"] = sum(1 for r in records if r.refused == "blip")
        fig["met_bad"] = met_bad(bad, records)
        fig["requests"] = request_counts(records)
        fig["bad_figures"] = [bad_figures(f, kind, records, lines, fig["t0"])
                              for f, kind in bad]
        return fig

    return resumes_until_done(one, one(0), max_resumes)


def request_counts(records):
    """API requests sent and refused, the refused ones by why: the rate
    limit, a stray refusal (blip), a file refused for good (file)."""
    api = [r for r in records if r.kind in API_KINDS]
    why = {}
    for r in api:
        if r.status in REFUSED:
            key = r.refused if r.refused in ("rate", "blip", "outage") else "file"
            why[key] = why.get(key, 0) + 1
    return {"api": len(api), "refused": sum(why.values()), "by_why": why}


def long_run(python, args, StandIn, check_output, scratch, tag, drive, bad, clean, cap,
             needed):
    workdir, log = os.path.join(scratch, tag), os.path.join(scratch, tag + ".log")
    if clean:
        fig = command_run(python, args, StandIn, clean, workdir, log, cap, recursive=True)
        fig.pop("records"), fig.pop("lines")
        fig["check"] = check_output(clean, workdir)
        return fig
    life = cookie_life(needed)
    # At most one resume: the row as first measured.
    runs = long_sequence(python, args, StandIn, drive, bad, workdir, log, cap, life,
                         long_limits(args), max_resumes=1)
    first, resumed = runs[0], runs[1:]
    second = {"wall": sum(r["wall"] for r in resumed),
              "status": resumed[-1]["status"] if resumed else "-",
              "capped": any(r["capped"] for r in resumed),
              "pause_lines": sum(r["pause_lines"] for r in resumed),
              "given_up": resumed[-1]["given_up"] if resumed else None,
              "skipped": resumed[0]["skipped"] if resumed else None,
              "runs": len(resumed)}
    figs = resumed[0]["bad_figures"] if resumed else []
    check = check_output(drive, workdir)
    good = check["expected"] - len(bad)
    return {"cookie_life": life, "first": first, "second": second,
            "wall": first["wall"] + second["wall"],
            "check": check, "every_good_once": (check["unexpected"] == 0 and
                                                check["missing"] == len(bad) and
                                                check["lines"] == good),
            "bad_give_up": [b["give_up"] for b in figs],
            "bad_per_s": [b["per_s"] for b in figs] or [0]}


# -- rounds -----------------------------------------------------------------------------
def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def summarize(c, runs, cap, rtt):
    row = {"case": c["name"], "files": c["files"], "base": c["base"], "cap": cap, "rtt": rtt,
           "wall": statistics.median(f["wall"] for f in runs),
           "walls": [f["wall"] for f in runs],
           "statuses": [f["status"] for f in runs], "capped": sum(f["capped"] for f in runs),
           "pause_lines": [f["pause_lines"] for f in runs],
           "paused_s": [f["paused_s"] for f in runs], "refused": [f["refused"] for f in runs],
           "given_up_runs": [f["given_up"] for f in runs],
           "others_done": median_or_none(f["others_done"] for f in runs),
           "checks": [f["check"] for f in runs]}
    if c["bad"]:
        row["bad"] = c["bad"]
        row["give_up"] = median_or_none(f["bad"]["give_up"] for f in runs)
        row["give_ups"] = [f["bad"]["give_up"] for f in runs]
        row["first_refusal"] = median_or_none(f["bad"]["first_refusal"] for f in runs)
        row["bad_tries"] = [f["bad"]["tries"] for f in runs]
        row["bad_per_s"] = max(f["bad"]["per_s"] for f in runs)
    return row


def run_parts(python, args, chosen, Drive, StandIn, lower_bound, check_output, scratch, repeat):
    """{part + "_rows": rows} for each chosen part; every case of every
    chosen part runs once per round, in turn."""
    size = sizes(args)
    cap = size["cap"]
    plan = [(part, c) for part in chosen if part != "long" for c in cases(part, size)]
    figs = {i: [] for i in range(len(plan))}
    drives = {}
    long_figs = {"clean": [], "run": []}
    if "long" in chosen:
        drive, bad = long_drive(Drive, size["long_folders"], size["long_files"])
        clean = Drive.tree(size["long_folders"] - 1, size["long_files"])
        clean.expected_lines()
        needed = long_needed(drive, lower_bound)
    for i in range(repeat):
        for k, (part, c) in enumerate(plan):
            tag = "%s-%d-%d" % (part, k, i)
            fig = case_run(python, args, Drive, StandIn, check_output, scratch, tag, c, drives,
                           cap)
            figs[k].append(fig)
            print("bench: %s: %s, %d files, run %d: exit %s, wall %.2f s, %d pause lines "
                  "(%d s), %d refused, %d given up%s" % (
                      part, c["name"], c["files"], i + 1,
                      "capped" if fig["capped"] else fig["status"], fig["wall"],
                      fig["pause_lines"], fig["paused_s"], fig["refused"], fig["given_up"],
                      ", bad file: %d tries, give-up %s s after its first refusal" % (
                          fig["bad"]["tries"], "%.2f" % fig["bad"]["give_up"]
                          if fig["bad"]["give_up"] is not None else "-")
                      if "bad" in fig else ""), file=sys.stderr)
        if "long" in chosen:
            for which in ("clean", "run"):
                tag = "long-%s-%d" % (which, i)
                fig = long_run(python, args, StandIn, check_output, scratch, tag, drive, bad,
                               clean if which == "clean" else None, cap, needed)
                long_figs[which].append(fig)
                if which == "clean":
                    print("bench: long clean run %d: exit %s, wall %.2f s" % (
                        i + 1, "capped" if fig["capped"] else fig["status"], fig["wall"]),
                        file=sys.stderr)
                else:
                    print("bench: long run %d: exit %s then %s, walls %.2f + %.2f s, %s" % (
                        i + 1, *["capped" if r["capped"] else r["status"]
                                 for r in (fig["first"], fig["second"])],
                        fig["first"]["wall"], fig["second"]["wall"], once(fig["check"])),
                        file=sys.stderr)
    results = {"give_up_cap": cap, "refusal_sizes": size}
    for part in chosen:
        if part == "long":
            continue
        rows = [summarize(c, figs[k], cap, args.rtt) for k, (p, c) in enumerate(plan)
                if p == part]
        base = {(r["case"], r["files"]): r for r in rows}
        for r in rows:
            b = base.get((r["base"], r["files"]))
            r["base_wall"] = b["wall"] if b else None
        results[part + "_rows"] = rows
    if "long" in chosen:
        results["long_rows"] = long_rows(long_figs, drive, args, size, needed)
    return results


def long_rows(figs, drive, args, size, needed):
    runs, clean = figs["run"], figs["clean"]
    return [{
        "folders": len(drive.folders()), "files": len(drive.files()), "bad": LONG_BAD,
        "per_folder": size["long_files"], "rtt": args.rtt, "rate": args.throttle_rate,
        "burst": args.throttle_burst, "cap": size["cap"],
        "needed": needed, "ideal": needed / args.throttle_rate,
        "cookie_life": runs[0]["cookie_life"],
        "clean_wall": statistics.median(f["wall"] for f in clean),
        "clean_walls": [f["wall"] for f in clean],
        "clean_checks": [f["check"] for f in clean],
        "clean_statuses": [f["status"] for f in clean],
        "first_walls": [f["first"]["wall"] for f in runs],
        "second_walls": [f["second"]["wall"] for f in runs],
        "wall": statistics.median(f["wall"] for f in runs),
        "first_statuses": [f["first"]["status"] for f in runs],
        "second_statuses": [f["second"]["status"] for f in runs],
        "capped": sum(f["first"]["capped"] + f["second"]["capped"] for f in runs),
        "pause_lines": [f["first"]["pause_lines"] + f["second"]["pause_lines"] for f in runs],
        "given_up": [f["second"]["given_up"] for f in runs],
        "skipped": [f["second"]["skipped"] for f in runs],
        "every_good_once": [f["every_good_once"] for f in runs],
        "checks": [f["check"] for f in runs],
        "bad_give_up": [f["bad_give_up"] for f in runs],
        "bad_per_s": max(max(f["bad_per_s"]) for f in runs)}]


# -- report -------------------------------------------------------------------------------
def seconds(value):
    return "%.2f" % value if value is not None else "-"


def statuses(values):
    return "+".join("cap" if v is None else str(v) for v in values)


TITLES = {
    "alone": "A file refused for good, alone: a resumed run whose output file holds every "
             "other line",
    "mixed": "A file refused for good (its address) and one passing 503 on another file's "
             "address, against the folder with the passing 503 alone",
    "zero": "One file's address refused for good with a Retry-After of nothing, in the "
            "folder and alone (a resumed run), against the folder without it",
    "outage": "An outage of the whole service (API and downloads, 503 without Retry-After)",
}


def report(results, table):
    out = []
    for part in PARTS[:-1]:
        rows = results.get(part + "_rows")
        if not rows:
            continue
        cells = []
        for r in rows:
            capped = "cap %d s hit %d×" % (r["cap"], r["capped"]) if r["capped"] else ""
            vs = ("%.2f (%+.2f s)" % (r["wall"] / r["base_wall"], r["wall"] - r["base_wall"])
                  if r["base_wall"] else "-")
            cells.append([
                r["case"], r["files"], seconds(r["wall"]), vs, seconds(r["others_done"]),
                statuses(r["statuses"]),
                "%s (%s s)" % ("+".join(map(str, r["pause_lines"])),
                               "+".join(map(str, r["paused_s"]))),
                "+".join(map(str, r["refused"])),
                "%s; %d/s at most" % ("+".join(map(str, r["bad_tries"])), r["bad_per_s"])
                if "bad" in r else "-",
                seconds(r.get("give_up")) + (" (%s)" % capped if capped else "")
                if "bad" in r else capped or "-",
                output_cell(r["checks"], r["given_up_runs"])])
        out += ["", TITLES[part] + "; the `fernwick` command, RTT %.0f ms, TLS 1.3; wall = "
                "the command's, others done = when every other file had been downloaded once "
                "(both from its start); a run still going after %d s is killed (cap):" % (
                    1000 * rows[0]["rtt"], rows[0]["cap"]), ""]
        out.append(table(["case", "files", "wall s", "wall vs base", "others done s",
                          "exit status", "pause lines (s paused)", "refused",
                          "refused file: requests; in any 1 s",
                          "first refusal to give-up line s", "output"], cells))
        out.append("")
        out.append(walls_line(rows, lambda r: "%s/%d" % (r["case"], r["files"])))
    for r in results.get("long_rows") or []:
        bound = max(r["clean_wall"], r["ideal"])
        out += ["", "A long run: a tree of %d folders x %d files (%d files), recursive, RTT "
                "%.0f ms, TLS 1.3, %g API requests/s (burst %d), every %dth API request 503 "
                "in passing, %d files refused for good (3 addresses, 3 downloads), the cookie "
                "dying after %d API requests; then resumed with a good cookie. Clean: the same "
                "tree with no limit and no refusal; the limit's ideal: %d API requests / rate "
                "= %.2f s; cap %d s a run:" % (
                    r["folders"], r["per_folder"], r["files"], 1000 * r["rtt"], r["rate"],
                    r["burst"], LONG_BLIP_EVERY, r["bad"], r["cookie_life"], r["needed"],
                    r["ideal"], r["cap"]), ""]
        out.append(table(
            ["clean wall s", "first run wall s", "resumed wall s", "both s",
             "both vs max(clean, ideal)", "exit statuses", "pause lines", "given up (resumed)",
             "every good file once", "refused files: first refusal to give-up s",
             "capped runs"],
            [[seconds(r["clean_wall"]), " ".join("%.2f" % w for w in r["first_walls"]),
              " ".join("%.2f" % w for w in r["second_walls"]), seconds(r["wall"]),
              "%.2f" % (r["wall"] / bound), " ".join(
                  "%s then %s" % (statuses([a]), statuses([b]))
                  for a, b in zip(r["first_statuses"], r["second_statuses"])),
              "+".join(map(str, r["pause_lines"])), "+".join(map(str, r["given_up"])),
              "+".join("yes" if ok else "no" for ok in r["every_good_once"]),
              "; ".join(" ".join(seconds(v) for v in run) for run in r["bad_give_up"]),
              r["capped"]]]))
    return "\n".join(out)
