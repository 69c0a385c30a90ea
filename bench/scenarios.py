"""Seeded, randomized fault schedules for the `fernwick` command, each run as
a user runs it and judged by invariants (bench/run.py --scenarios N,
tests/test_scenarios.py).

Scenario.draw(seed) makes a tree (1-12 folders of 0-60 files, empty folders,
now and then a folder of two listing pages, one seed in eight a tree of 100+
small folders), a round trip (0-40 ms: the stand-in's latency or the network
front's rtt) and a mix of faults: a rate limit on the API, stray 503s, files
refused for good, an outage of the service or of one endpoint, Retry-After
of 0 or a past date, a cookie that dies, a listing page that fails once.
run(scenario) starts a fresh stand-in (TLS 1.3 behind its CONNECT proxy, so
the installed command talks to it unmodified), runs the `fernwick` command
in a scratch directory with config.ini (recursive), then again with
resume = 是 (the cookie renewed if it died) until a run ends with 0 or 3, at
most MAX_RUNS runs, and checks every invariant (check()): a list of broken
ones, each "kind: what", empty when all hold.
"""

import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from email.utils import parsedate_to_datetime

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from standin import Drive, Faults, StandIn, expected_line  # noqa: E402

OUTPUT = "QuillsiftBYOskel.txt"
GIVE_UP = "放弃文件："
STREAK = "连续放弃"
PAGE = 115
WORKERS = 6
MAX_RUNS = 4
REFUSED = (429, 503)
SERVED = (200, 206)
TOLERANCE = 0.05            # s: how much sooner than allowed a request may arrive
OUTAGE_SLACK = 2            # requests in flight when an endpoint's outage begins
STOP_WITHIN = 5.0           # s from the first dead-cookie answer to the command's exit
GIVE_UP_WITHIN = 12.0       # s from a bad file's first refusal to its give-up line ("about
GIVE_UP_ALONE = 45.0        # 10 s"), or when nothing of its endpoint had been served ("40")
PROXY_VARIABLES = ("HTTPS_PROXY", "HTTP_PROXY", "ALL_PROXY", "NO_PROXY", "https_proxy",
                   "http_proxy", "all_proxy", "no_proxy", "CURL_CA_BUNDLE")
ENDPOINT = {"api_list": "listings", "aps_list": "listings", "address": "addresses",
            "download": "downloads"}

# The wall-time budget: max(clean estimate, API requests / rate) x SLOWER,
# plus these allowances (seconds).
SLOWER = 1.3
PER_RUN = 2.0               # interpreter start, TLS set-up, the final prompt
PER_REQUEST = 0.012         # a request's own cost beyond the round trip (2 busy cores)
PER_LIMIT = 2.0             # a rate limit, per run: the refusals that teach its pace
PER_STRAY = 1.0             # a stray 503, a listing page failing once: the refused one's wait
PER_BAD = GIVE_UP_WITHIN    # a file refused for good, met in a run ...
PER_BAD_ALONE = GIVE_UP_ALONE   # ... when its endpoint had served nothing before
PER_OUTAGE = 15.0           # an outage: its length plus this
PER_DEATH = STOP_WITHIN     # a dead cookie (the resumed run is counted as a run)


# -- drawing ---------------------------------------------------------------------------
class Scenario(object):
    """One seed's tree, round trip and faults; `fast` caps the tree (at most 4
    folders of 30 files, now and then one of two pages, no big tree), the
    round trip (20 ms) and outages (2-4 s), and leaves out the bad file alone
    in a folder of its own (often the first its endpoint meets: 40 s)."""

    def __init__(self, seed, fast, rng):
        self.seed, self.fast = seed, fast
        self.big = not fast and rng.random() < 1 / 8
        if self.big:
            n = rng.randint(100, 130)
            self.files = [rng.randint(5, 10) for _ in range(n)]
            self.parents = [None] + [rng.randrange(i // 3, i) for i in range(1, n)]
        else:
            n = rng.randint(1, 4 if fast else 12)
            most = 30 if fast else 60
            self.files = [0 if rng.random() < 0.15 else rng.randint(1, most) for _ in range(n)]
            if rng.random() < (0.15 if fast else 0.3):      # two listing pages
                self.files[rng.randrange(n)] = rng.randint(PAGE + 1, PAGE + (10 if fast else 45))
            self.parents = [None] + [rng.randrange(i) for i in range(1, n)]
        self.sizes = [[rng.choice([0, 1, 131071, 131072, 131073, rng.randint(2, 300000)])
                       for _ in range(k)] for k in self.files]
        self.bad = []           # (folder, file index or "lone", what, status, retry_after)
        self.net = rng.choice(["latency", "rtt"])
        self.rt = round(rng.uniform(0.0, 0.02 if fast else 0.04), 3)
        api = self.api_requests()
        self.rate = None
        if rng.random() < 0.35:
            reply, after = rng.choice([("429-bare", 1), ("503", 1), ("429", 1), ("429", 1),
                                       ("429", 0), ("429-date", -60)])
            self.rate = {"rate": rng.randint(20, 80), "burst": 6, "limit_reply": reply,
                         "retry_after": after}
        self.blip_every = rng.randint(50, 200) if rng.random() < 0.35 else None
        if rng.random() < 0.4 and sum(self.files):
            for _ in range(rng.randint(1, 3)):
                what = rng.choice(["address", "download"])
                status = rng.choice([503, 503, 429])
                after = rng.choice([None, None, 1, 2, 0, "past"])
                if rng.random() < 0.25:
                    self.bad.append((rng.randrange(n), "lone", what, status, after))
                    continue
                folders = [i for i, k in enumerate(self.files) if k]
                i = rng.choice(folders)
                j = self.files[i] - 1 if rng.random() < 0.3 else rng.randrange(self.files[i])
                if all((b[0], b[1]) != (i, j) for b in self.bad):
                    self.bad.append((i, j, what, status, after))
        self.outage = None
        if rng.random() < 0.3:
            of = rng.choice(["all", "listings", "addresses", "downloads"])
            # from an API request of its own endpoint (downloads follow
            # addresses), so that it meets what it takes down
            ks = [k for k, what in enumerate(self.api_sequence(), 1)
                  if what == ("listing" if of == "listings" else "address")] or [1]
            self.outage = (rng.choice(ks), rng.randint(2, 4 if fast else 20), of)
        self.cookie_life = rng.randint(1, max(1, api - 1)) if rng.random() < 0.2 else None
        self.page_fail = None
        if rng.random() < 0.3:
            i = rng.randrange(n)
            items = self.items(i)
            self.page_fail = (i, rng.choice(range(0, max(1, items), PAGE)))
        if fast:    # a lone bad file may be the first its endpoint meets: 40 s
            self.bad = [b for b in self.bad if b[1] != "lone"]

    @classmethod
    def draw(cls, seed, fast=False):
        return cls(seed, fast, random.Random("fernwick scenario %d%s" % (
            seed, " fast" if fast else "")))

    # -- the tree ------------------------------------------------------------------
    def items(self, i):
        subs = sum(1 for p in self.parents if p == i)
        lone = sum(1 for b in self.bad if b[0] == i and b[1] == "lone")
        return subs + lone + self.files[i]

    def api_sequence(self):
        """The API requests of a clean run in about their order: the walk's
        pages, then per folder its listing pages and its files' addresses."""
        pages = [max(1, math.ceil(self.items(i) / PAGE)) for i in range(len(self.files))]
        seq = ["listing"] * sum(pages)
        for i, k in enumerate(self.files):
            seq += ["listing"] * pages[i] + ["address"] * k
        return seq

    def api_requests(self):
        """API requests of a clean run: the walk's and the listings' pages,
        one address a file."""
        pages = sum(max(1, math.ceil(self.items(i) / PAGE)) for i in range(len(self.files)))
        return 2 * pages + sum(self.files)

    def build(self):
        """The drive, its folders (in the order drawn) and its bad files."""
        drive = Drive(seed=self.seed)
        folders = [drive.root]
        for i, parent in enumerate(self.parents[1:], 1):
            folders.append(folders[parent].add_folder("d%03d" % i))
        for i, sizes in enumerate(self.sizes):
            for j, size in enumerate(sizes):
                folders[i].add_file("s%d-%03d-%03d.bin" % (self.seed, i, j), size)
        bad = []
        for n, (i, j, what, status, after) in enumerate(self.bad):
            if j == "lone":
                f = folders[i].add_folder("lone%d" % n).add_file("lone%d.bin" % n, 1000 + n)
            else:
                f = folders[i].files[j]
            f.refuse(what, status, after)
            bad.append(f)
        return drive, folders, bad

    def standin_options(self, folders):
        opts = {"proxy": True, "latency": self.rt if self.net == "latency" else 0.0,
                "rtt": self.rt if self.net == "rtt" else 0.0, "blip_every": self.blip_every,
                "outage": self.outage, "cookie_life": self.cookie_life}
        opts.update(self.rate or {})
        if self.page_fail is not None:
            faults = Faults()
            key = ("listing", folders[self.page_fail[0]].cid, str(self.page_fail[1]))
            faults.add("api_list", "refused", match=lambda r: r.key == key)
            opts["faults"] = faults
        return opts

    # -- words ---------------------------------------------------------------------
    def describe(self):
        parts = ["%d folders, %d files%s" % (len(self.files), sum(self.files),
                                             " (big tree)" if self.big else ""),
                 "%s %d ms" % (self.net, round(1000 * self.rt))]
        if self.rate:
            r = self.rate
            parts.append("rate %d/s %s%s" % (r["rate"], r["limit_reply"], {
                "429": " Retry-After %d" % r["retry_after"],
                "429-date": " Retry-After a past date"}.get(r["limit_reply"], "")))
        if self.blip_every:
            parts.append("503 every %d API requests" % self.blip_every)
        for i, j, what, status, after in self.bad:
            parts.append("bad %s %d%s (folder %d, file %s)" % (
                what, status, "" if after is None else " Retry-After %s" % after, i, j))
        if self.outage:
            parts.append("outage of %s %d s from API request %d" % (
                self.outage[2], self.outage[1], self.outage[0]))
        if self.cookie_life is not None:
            parts.append("cookie dies after %d API requests" % self.cookie_life)
        if self.page_fail:
            parts.append("listing page (folder %d, offset %d) fails once" % self.page_fail)
        return "; ".join(parts)

    def rerun(self):
        return ".venv/bin/python bench/run.py --scenarios 1 --seed %d%s" % (
            self.seed, " --fast" if self.fast else "")

    def budget(self, runs, met_bad):
        """Seconds the runs may take in all: the clean estimate (pages one
        after another, per folder ceil(files/6) rounds of address+download)
        or the rate limit's ideal, x SLOWER, plus the allowances."""
        cost = self.rt + PER_REQUEST
        pages = sum(max(1, math.ceil(self.items(i) / PAGE)) for i in range(len(self.files)))
        rounds = sum(math.ceil(k / WORKERS) for k in self.files) + len(self.bad)
        clean = (2 * pages + 2 * rounds) * cost
        ideal = self.api_requests() / self.rate["rate"] if self.rate else 0.0
        extra = PER_RUN * runs + 2 * pages * cost * (runs - 1)
        extra += PER_LIMIT * runs if self.rate else 0.0
        if self.blip_every:
            extra += PER_STRAY * (self.api_requests() * runs // self.blip_every + 1)
        extra += PER_STRAY if self.page_fail else 0.0
        extra += sum(PER_BAD_ALONE if alone else PER_BAD for alone in met_bad)
        extra += self.outage[1] + PER_OUTAGE if self.outage else 0.0
        extra += PER_DEATH if self.cookie_life is not None else 0.0
        return max(clean, ideal) * SLOWER + extra


# -- running -----------------------------------------------------------------------------
def command():
    """The installed `fernwick` command of this interpreter's environment (its
    entry point run by the interpreter where there is no such script)."""
    exe = os.path.join(os.path.dirname(sys.executable), "fernwick")
    if os.access(exe, os.X_OK):
        return [exe]
    return [sys.executable, "-c", "import sys, fernwick_command; sys.exit(fernwick_command.main())"]


class Run(object):
    """One command run: exit status (None: killed at its timeout), start and
    end (time.time()), stamped output lines, standard error, the stand-in's
    records of it."""

    def __init__(self, status, start, end, lines, err, records):
        self.status, self.start, self.end = status, start, end
        self.lines, self.err, self.records = lines, err, records


def run_command(workdir, env, timeout):
    lines, err = [], []
    start = time.time()
    proc = subprocess.Popen(command(), cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def read_out():
        for raw in proc.stdout:
            lines.append((time.time(), raw.decode("utf-8", "replace").rstrip("\r\n")))

    def read_err():
        err.append(proc.stderr.read().decode("utf-8", "replace"))

    readers = [threading.Thread(target=f, daemon=True) for f in (read_out, read_err)]
    for t in readers:
        t.start()
    try:
        proc.wait(timeout)
        status = proc.returncode
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        status = None
    end = time.time()
    for t in readers:
        t.join(10)
    proc.stdout.close()
    proc.stderr.close()
    return status, start, end, lines, "".join(err)


def write_config(workdir, cid, cookie, resume):
    with open(os.path.join(workdir, "config.ini"), "w", encoding="utf-8") as f:
        f.write("[必须参数]\ncid = %s\ntype = 0\ncookie = %s\n[功能参数]\nrecursion = 是\n"
                "resume = %s\nprogress = 否\n" % (cid, cookie, "是" if resume else "否"))


class Outcome(object):
    def __init__(self, scenario, runs, broken, wall, budget):
        self.scenario, self.runs, self.broken = scenario, runs, broken
        self.wall, self.budget = wall, budget

    @property
    def statuses(self):
        return [r.status for r in self.runs]


def run(scenario, workdir=None, timeout=None):
    """Runs the scenario and checks it: an Outcome."""
    drive, folders, bad = scenario.build()
    own = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="fernwick-scenario-%d-" % scenario.seed)
    runs = []
    facts = {}
    timeout = timeout or min(600.0, scenario.budget(MAX_RUNS, [True] * len(bad)) + 60.0)
    try:
        with StandIn(drive, **scenario.standin_options(folders)) as s:
            env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
            env.update(HTTPS_PROXY=s.proxy_url, REQUESTS_CA_BUNDLE=s.ca_file,
                       PYTHONUNBUFFERED="1", PYTHONIOENCODING="utf-8")
            cookie = "c1"
            while len(runs) < MAX_RUNS:
                write_config(workdir, drive.root.cid, cookie, resume=bool(runs))
                seen = len(s.log)
                status, start, end, lines, err = run_command(workdir, env, timeout)
                s.wait_idle(5.0)
                runs.append(Run(status, start, end, lines, err, s.log.records()[seen:]))
                if status in (0, None) or status == 3 and not gave_up_good(runs[-1], bad):
                    break
                if any(r.refused == "cookie" for r in runs[-1].records):
                    s.limits.cookies = None     # signed in again: this cookie lives on
                    cookie = "c%d" % (len(runs) + 1)
            facts["outage"] = s.limits.outage_window
        try:
            with open(os.path.join(workdir, OUTPUT), encoding="utf-8", errors="replace") as f:
                facts["output"] = f.read().splitlines()
        except FileNotFoundError:
            facts["output"] = []
    finally:
        if own:
            shutil.rmtree(workdir, ignore_errors=True)
    return check(scenario, drive, bad, runs, facts)


# -- invariants ----------------------------------------------------------------------------
def retry_after(record):
    """The seconds a refusal's Retry-After asks for (None: no header)."""
    for name, value in record.reply_headers:
        if name.lower() == "retry-after":
            if value.strip().isdigit():
                return int(value)
            try:
                return parsedate_to_datetime(value).timestamp() - record.time
            except (TypeError, ValueError):
                return None
    return None


def too_soon(records):
    """Refused requests sent again sooner than allowed: a first refusal
    without Retry-After may be sent again at once; a Retry-After of N >= 1
    holds it N s, of 0 or a date gone by 1 s; a second refusal in a row (no
    reply served between) holds it 1 s. A listing page asked of the second
    listing host after the first refused it is another request, and so is
    the walk's listing of a folder beside the listing of its files. Once
    the cookie died the batch stops, and a refused download, its file's
    last request, goes again after 1 s whatever it was asked to wait."""
    out, last, streak = [], {}, Counter()
    stop = min((r.time for r in records if r.refused == "cookie"), default=None)
    for r in records:
        key = (r.kind,) + r.key[1:]     # a listing page's two hosts apart
        if r.kind in ("api_list", "aps_list"):
            key += (r.query,)  # the walk's and the files' listings ask apart
        prev = last.get(key)
        if prev is not None and prev.status in REFUSED:
            after = retry_after(prev)
            need = max(1.0, after) if after is not None else (1.0 if streak[key] >= 2 else 0.0)
            if r.kind == "download" and stop is not None and r.time >= stop:
                need = min(need, 1.0)
            gap = r.time - prev.time
            if gap < need - TOLERANCE:
                out.append("%s %s sent again %.2f s after refusal %d (%d%s), allowed %.2f s"
                           % (key[0], "/".join(map(str, key[1:])), gap, streak[key],
                              prev.status, "" if after is None else
                              ", Retry-After %.0f s" % after, need))
        if r.status in REFUSED:
            streak[key] += 1
        elif r.status in SERVED:
            streak[key] = 0
        last[key] = r
    return out


def outage_pace(run, window, of):
    """Per endpoint the outage took down and that had served something in
    this run before it: at most one request a second after its first second
    (OUTAGE_SLACK more for those in flight)."""
    start, end = window
    out = []
    for endpoint in (["listings", "addresses", "downloads"] if of == "all" else [of]):
        mine = [r for r in run.records if ENDPOINT.get(r.kind) == endpoint]
        if not any(r.status in SERVED and r.time < start for r in mine):
            continue
        later = [r.time for r in mine if start + 1.0 <= r.time < end]
        allowed = int(max(0.0, end - start - 1.0)) + 1 + OUTAGE_SLACK
        if len(later) > allowed:
            out.append("%d requests of %s in the %.0f s after the outage's first second "
                       "(at most %d)" % (len(later), endpoint, end - start - 1.0, allowed))
    return out


def unserved_outage(run, window, of, endpoint):
    """Whether the outage took `endpoint` down before anything of it was
    served in this run: its files then spread their own attempts, and may be
    given up (a listing too, the run ending 4)."""
    if window is None or of not in ("all", endpoint):
        return False
    return window[0] < run.end and not any(
        ENDPOINT.get(r.kind) == endpoint and r.status in SERVED and r.time < window[0]
        for r in run.records)


def gave_up_good(run, bad):
    return any(not any(name.startswith(b.name + "（") for b in bad)
               for _, name in given_up_names(run))


def given_up_names(run):
    return [(t, text[len(GIVE_UP):]) for t, text in run.lines if text.startswith(GIVE_UP)]


def check(scenario, drive, bad, runs, facts):
    """The broken invariants of a scenario's runs, each "kind: what"."""
    broken = []
    bad_names = {f.name for f in bad}
    good = [f for f in drive.files() if f not in bad]
    want = {expected_line(f) for f in good}
    got = Counter(facts.get("output", []))
    for line, n in sorted(got.items()):
        if line not in want:
            name = line.split("|", 1)[0]
            broken.append("output: %s line %r" % (
                "a bad file's" if name in bad_names else "an unexpected", line[:100]))
        elif n > 1:
            broken.append("output: %r %d times" % (line[:100], n))
    missing = [f.name for f in good if got[expected_line(f)] == 0]
    if missing:
        broken.append("output: %d good files without a line (%s)" % (
            len(missing), ", ".join(missing[:3])))
    met_bad = []
    for n, r in enumerate(runs, 1):
        tag = "run %d" % n
        if r.status is None:
            broken.append("hang: %s still running after %.0f s, killed" % (tag, r.end - r.start))
        if "Traceback" in r.err:
            broken.append("traceback: %s: %s" % (tag, r.err.strip().splitlines()[-1][:200]))
        dead = [x.time for x in r.records if x.refused == "cookie"]
        streak = any(text.startswith(STREAK) for _, text in r.lines)
        window, of = facts.get("outage"), scenario.outage[2] if scenario.outage else None
        if r.status not in (0, 3, 5, None) and not (
                r.status == 4 and unserved_outage(r, window, of, "listings")):
            broken.append("status: %s ended %s (%s)" % (tag, r.status, r.err.strip()[-200:]))
        if r.status == 5 and not dead and not streak:
            broken.append("status: %s ended 5 with the cookie alive" % tag)
        if dead and r.status in (0, 3):
            broken.append("cookie: %s ended %s after the cookie died" % (tag, r.status))
        if dead and r.status == 5 and r.end - min(dead) > STOP_WITHIN:
            broken.append("cookie: %s ended %.1f s after the cookie's first refusal" % (
                tag, r.end - min(dead)))
        for name in {name for _, name in given_up_names(r)}:
            if any(name.startswith(b + "（") for b in bad_names):
                continue
            f = next((g for g in good if name.startswith(g.name + "（")), None)
            refused = [x for x in r.records if f is not None and x.pickcode == f.pickcode
                       and x.status in REFUSED]
            if not (refused and window and window[0] <= refused[0].time < window[1]
                    and unserved_outage(r, window, of, ENDPOINT[refused[0].kind])):
                broken.append("given up: %s gave up a good file: %s" % (tag, name[:100]))
        broken += ["retry: %s: %s" % (tag, text) for text in too_soon(r.records)]
        if facts.get("outage") and scenario.outage:
            start, end = facts["outage"]
            if r.start <= start < r.end:
                broken += ["outage: %s: %s" % (tag, text)
                           for text in outage_pace(r, facts["outage"], scenario.outage[2])]
        for f in bad:
            met_bad += give_up_time(scenario, f, r, tag, broken, facts.get("outage"))
    last = runs[-1] if runs else None
    if last is not None and last.status in (0, 3):
        named = " ".join(name for _, name in given_up_names(last))
        unnamed = [b for b in bad_names if b + "（" not in named]
        if unnamed:
            broken.append("status: the last run ended %s without a give-up line for %s" % (
                last.status, ", ".join(sorted(unnamed))))
        if last.status == 0 and bad:
            broken.append("status: the last run ended 0 with files refused for good")
    elif last is not None and last.status is not None:
        broken.append("runs: %d runs, none ended 0 or 3 (%s)" % (
            len(runs), "+".join(map(str, (r.status for r in runs)))))
    wall = sum(r.end - r.start for r in runs)
    budget = scenario.budget(len(runs), met_bad)
    if wall > budget:
        broken.append("wall: %.1f s for %d runs, budget %.1f s" % (wall, len(runs), budget))
    return Outcome(scenario, runs, broken, wall, budget)


def give_up_time(scenario, f, run, tag, broken, window):
    """A bad file met in a run is given up within GIVE_UP_WITHIN s of its
    first refusal (GIVE_UP_ALONE when nothing of its endpoint had been served
    before it; an outage meanwhile adds its length + PER_OUTAGE). Returns
    [whether it was alone] when the file was met, else []."""
    mine = [r for r in run.records if r.pickcode == f.pickcode and r.status in REFUSED]
    if not mine:
        return []
    first = mine[0]
    endpoint = ENDPOINT[first.kind]
    alone = not any(ENDPOINT.get(r.kind) == endpoint and r.status in SERVED
                    and r.time < first.time for r in run.records)
    allowed = GIVE_UP_ALONE if alone else GIVE_UP_WITHIN
    if window and window[0] < first.time + allowed and window[1] > first.time:
        allowed += window[1] - window[0] + PER_OUTAGE
    when = [t for t, name in given_up_names(run) if name.startswith(f.name + "（")]
    if when and when[0] - first.time > allowed:
        broken.append("give-up: %s gave %s up %.1f s after its first refusal (allowed %.0f s)"
                      % (tag, f.name, when[0] - first.time, allowed))
    elif not when and run.status in (0, 3) and run.end - first.time > allowed:
        broken.append("give-up: %s never gave %s up" % (tag, f.name))
    return [alone]


# -- the bench's entry point ----------------------------------------------------------------
KIND = re.compile(r"^([a-z-]+):")


def summary(outcomes, seconds):
    kinds = Counter()
    for o in outcomes:
        for k in {KIND.match(b).group(1) for b in o.broken}:
            kinds[k] += 1
    failing = [o for o in outcomes if o.broken]
    out = ["%d seeds (%s) in %.0f s; %d with broken invariants" % (
        len(outcomes), ", ".join(str(o.scenario.seed) for o in outcomes[:1]) + (
            "..%d" % outcomes[-1].scenario.seed if len(outcomes) > 1 else ""),
        seconds, len(failing))]
    if kinds:
        out.append("seeds breaking each kind: " + ", ".join(
            "%s %d" % kv for kv in sorted(kinds.items())))
    for o in failing:
        out.append("")
        out.append("seed %d (%s): exit %s, %.1f s of %.1f s budget" % (
            o.scenario.seed, o.scenario.describe(), "+".join(map(str, o.statuses)), o.wall,
            o.budget))
        out += ["  " + b for b in o.broken[:12]]
        if len(o.broken) > 12:
            out.append("  ... %d more" % (len(o.broken) - 12))
        out.append("  rerun: " + o.scenario.rerun())
    return "\n".join(out)


def bench(args):
    """bench/run.py --scenarios N [--seed S] [--fast]: runs the seeds, prints
    the summary, writes scenarios.md and scenarios.json into --out."""
    import json
    first = args.seed if args.seed is not None else 1
    started, t0 = time.strftime("%Y-%m-%d %H:%M:%S"), time.monotonic()
    outcomes = []
    for seed in range(first, first + args.scenarios):
        sc = Scenario.draw(seed, args.fast)
        o = run(sc)
        outcomes.append(o)
        print("bench: seed %d: %s; exit %s, %.1f s (budget %.1f s)%s" % (
            seed, sc.describe(), "+".join(map(str, o.statuses)), o.wall, o.budget,
            "".join("\n  " + b for b in o.broken)), file=sys.stderr, flush=True)
    text = summary(outcomes, time.monotonic() - t0)
    print(text)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "scenarios.md"), "w", encoding="utf-8") as f:
        f.write("# Fault-schedule scenarios\n\nCommand: `.venv/bin/python bench/run.py "
                "--scenarios %d --seed %d%s`, %s.\n\n```\n%s\n```\n" % (
                    args.scenarios, first, " --fast" if args.fast else "", started, text))
    with open(os.path.join(args.out, "scenarios.json"), "w", encoding="utf-8") as f:
        json.dump({"started": started, "fast": args.fast, "seeds": [
            {"seed": o.scenario.seed, "scenario": o.scenario.describe(), "statuses": o.statuses,
             "wall": o.wall, "budget": o.budget, "broken": o.broken,
             "rerun": o.scenario.rerun()} for o in outcomes]}, f, indent=1, ensure_ascii=False)
    return 1 if any(o.broken for o in outcomes) else 0
