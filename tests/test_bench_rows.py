"""The benchmark's judging of the tree-limit rows (bench/throttle.py) and the
long run's pieces it shares with bench/refusals.py: which runs count as
meeting a target, when a long run is resumed, what a run's requests are
counted as. Pure Python; no command is run."""
import os
import sys
import types

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
if BENCH not in sys.path:
    sys.path.append(BENCH)

import refusals  # noqa: E402
import throttle  # noqa: E402
from standin import Drive  # noqa: E402

NEEDED, RATE = 1332, 60.0       # the tree of 111 x 10 under 60 requests/s: ideal 22.2 s


def row(name, walls, refused=None, strays=None, met_bad=None):
    n = len(walls)
    return {"row": name, "walls": walls, "wall": sorted(walls)[(n - 1) // 2],
            "needed": NEEDED, "ideal": NEEDED / RATE, "refused": refused or [0] * n,
            "strays": strays or [0] * n, "met_bad": met_bad or [0] * n}


def judged(clean, other):
    rows = throttle.tree_limit_targets([row("clean", [clean]), other])
    return rows[1]


@pytest.mark.parametrize("clean, other, met, ratio", [
    # the limit rows against 1.3 x max(clean, ideal) with at most 3 % refused
    (30.0, row("limit 503", [38.9], refused=[39]), True, 38.9 / 30),
    (30.0, row("limit 503", [39.1], refused=[0]), False, 39.1 / 30),
    (30.0, row("limit 429", [35.0], refused=[40]), False, 35 / 30),      # 40 of 1332 > 3 %
    (30.0, row("limit 429", [35.0, 35.0, 35.0], refused=[0, 41, 0]), False, 35 / 30),
    (10.0, row("limit 429", [28.8], refused=[5]), True, 28.8 / 22.2),    # the ideal is longer
    (10.0, row("limit 503", [29.0], refused=[5]), False, 29.0 / 22.2),
    # strays: 1.3 x clean + 0.6 s a stray refusal, whatever the ideal
    (10.0, row("strays", [20.75], strays=[13]), True, 2.075),
    (10.0, row("strays", [20.85], strays=[13]), False, 2.085),
    # long: every round by its own strays and meetings
    (30.0, row("long", [76.9], strays=[14], met_bad=[4]), True, 76.9 / 30),
    (30.0, row("long", [60.0, 78.0, 60.0], strays=[14, 14, 14], met_bad=[4, 4, 4]), False, 2.0),
    (30.0, row("long", [60.0, 78.0, 60.0], strays=[14, 15, 14], met_bad=[4, 4, 4]), True, 2.0),
])
def test_targets(clean, other, met, ratio):
    r = judged(clean, other)
    assert r["target"].startswith("met" if met else "missed")
    assert r["ratio"] == pytest.approx(ratio, abs=0.005)


@pytest.mark.parametrize("statuses, max_resumes, ran", [
    ([5, 3], 3, 2),             # the cookie died, the resumed run finished with files given up
    ([0], 3, 1),                # finished at once: nothing to resume
    ([3], 3, 1),
    ([5, 5, 0], 3, 3),          # stopped twice
    ([None, 3], 3, 2),          # killed at the cap: resumed like a stop
    ([5, 5, 5, 5, 5, 5], 3, 4), # at most three resumes
    ([5, 5], 1, 2),             # the long row of bench/refusals.py: one resume at most
    ([4, 0], 3, 2),             # a listing failed on every attempt
])
def test_resumed_until_it_finishes(statuses, max_resumes, ran):
    runs = []

    def run(k):
        assert k == len(runs)   # the k-th run is asked for in turn
        runs.append({"status": statuses[k]})
        return runs[-1]

    got = refusals.resumes_until_done(run, run(0), max_resumes)
    assert [r["status"] for r in got] == statuses[:ran]


def rec(kind, pickcode=None, status=200, refused=None):
    return types.SimpleNamespace(kind=kind, pickcode=pickcode, status=status, refused=refused)


def test_requests_counted_by_why_they_were_refused():
    bad = types.SimpleNamespace(pickcode="bad")
    records = [
        rec("api_list"), rec("aps_list", status=503, refused="blip"),
        rec("address", "bad", 429, "rate"),        # over the limit: not yet the file's refusal
        rec("address", "bad", 503),                 # the file refused for good
        rec("address", "bad", 503),
        rec("address", "ok"), rec("download", "ok", 503, "outage"),
        rec("download", "gone", 503),               # a download's refusal is no API request
    ]
    assert refusals.request_counts(records) == {
        "api": 6, "refused": 4, "by_why": {"blip": 1, "rate": 1, "file": 2}}
    assert refusals.met_bad([(bad, "address")], records) == 1
    # its download was never refused, and a limit's refusal is no meeting
    assert refusals.met_bad([(bad, "download")], records) == 0
    assert refusals.met_bad([(bad, "address")], records[:3]) == 0


@pytest.mark.parametrize("folders, per_folder, bad_count, needed", [
    (111, 10, 2, 1332),         # the tree-limit rows: 111 walk pages, 111 listings, 1110 addresses
    (101, 5, 6, 707),           # the long row of bench/refusals.py
])
def test_long_tree_refuses_files_spread_over_it(folders, per_folder, bad_count, needed):
    from run import lower_bound
    drive, bad = refusals.long_drive(Drive, folders, per_folder, bad_count)
    assert len(drive.folders()) == folders
    assert len(drive.files()) == folders * per_folder
    assert [kind for _, kind in bad] == ["address", "download"] * (bad_count // 2)
    homes = [next(d for d in drive.folders() if f in d.files) for f, _ in bad]
    assert len(set(map(id, homes))) == bad_count      # each in a folder of its own
    assert drive.root not in homes
    assert refusals.long_needed(drive, lower_bound) == needed
