"""Seeded fault schedules (bench/scenarios.py): a few quick seeds run end to
end through the installed command and break no invariant; the checker's
own rules on hand-made request logs."""
import importlib.util
import os

import pytest

from conftest import ROOT, native_speed
from standin.log import Record

# bench/ is not put on the path: its modules' names are common ones
_spec = importlib.util.spec_from_file_location("scenarios", os.path.join(ROOT, "bench",
                                                                         "scenarios.py"))
scenarios = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(scenarios)

# Fast-profile seeds of 5-15 s each, between them: a rate limit (503; 429
# with Retry-After 1 s and with a date), stray 503s, files refused for good
# (Retry-After none, 0, 1 s, 2 s, a past date), an outage of the service, of
# the listings and of the downloads, a dead cookie and the resumed run, a
# listing page failing once; seed 10's listing outage once found a page
# refused twice sent again at once, as its own test.
SEEDS = [2, 10, 22, 25, 26, 30]


@native_speed("the schedules' time budgets and paces are real time")
@pytest.mark.parametrize("seed", SEEDS)
def test_a_fault_schedule_breaks_no_invariant(seed):
    outcome = scenarios.run(scenarios.Scenario.draw(seed, fast=True))
    sc = outcome.scenario
    assert not outcome.broken, "seed %d (%s), exit %s:\n%s\nrerun: %s" % (
        seed, sc.describe(), outcome.statuses, "\n".join(outcome.broken), sc.rerun())


def record(when, status, after=None, kind="address", pickcode="pc1"):
    r = Record(0, when, None, "GET", "/", "/", "", {}, [], kind)
    r.pickcode, r.status = pickcode, status
    r.reply_headers = [("Retry-After", after)] if after is not None else []
    return r


# (status, Retry-After) of each request of one address and the time it came,
# whether the checker must find one sent too soon
@pytest.mark.parametrize("log,flagged", [
    ([(0.0, 503, None), (0.1, 200, None)], False),          # a first refusal: at once
    ([(0.0, 429, None), (0.1, 429, None), (0.6, 200, None)], True),  # second in a row: 1 s
    ([(0.0, 429, None), (0.1, 429, None), (1.1, 200, None)], False),
    ([(0.0, 429, "2"), (1.5, 200, None)], True),
    ([(0.0, 429, "2"), (2.0, 200, None)], False),
    ([(0.0, 503, "0"), (0.4, 200, None)], True),            # 0 counts as 1 s
    ([(0.0, 503, "Sun, 06 Nov 1994 08:49:37 GMT"), (0.5, 503, None)], True),   # so does the past
    ([(0.0, 503, None), (0.1, 200, None), (0.2, 200, None), (0.3, 503, None), (0.4, 200, None)],
     False),                    # asked again once served: not a refused request sent again
    ([(0.0, 503, None), (0.1, 503, None), (1.2, 200, None), (1.3, 503, None), (1.4, 200, None)],
     False),
])
def test_the_checker_finds_a_refused_request_sent_too_soon(log, flagged):
    records = [record(t, status, after) for t, status, after in log]
    # another file in between, asked again 0.2 s after its second refusal
    other = [record(t + 0.01, 503, pickcode="pc2") for t in (0.0, 0.2, 0.4)]
    found = scenarios.too_soon(sorted(records + other, key=lambda r: r.time))
    assert [sum(pc in text for text in found) for pc in ("pc1", "pc2")] == [flagged, 1], found


# A download refused with Retry-After: 2, sent again after `gap`; the batch
# stopped by a dead cookie meanwhile lets it go after 1 s.
@pytest.mark.parametrize("dies,gap,flagged", [
    (True, 1.05, False), (True, 0.5, True), (False, 1.05, True)])
def test_the_checker_lets_a_stopped_batch_finish_its_downloads(dies, gap, flagged):
    records = [record(0.0, 429, "2", kind="download"), record(gap, 200, kind="download")]
    if dies:
        records.insert(1, record(0.3, 401, pickcode="pc9"))
        records[1].refused = "cookie"
    assert bool(scenarios.too_soon(records)) == flagged


@pytest.mark.parametrize("served_before,every,flagged", [
    (True, 1.0, False), (True, 0.2, True), (False, 0.2, False)])
def test_the_checker_holds_an_outage_to_a_request_a_second(served_before, every, flagged):
    start, end = 100.0, 110.0
    records = [record(99.0, 200 if served_before else 503)]
    t = start
    while t < end:
        records.append(record(t, 503, pickcode="pc%d" % int(t * 10)))
        t += every
    run = scenarios.Run(0, 90.0, 120.0, [], "", records)
    assert bool(scenarios.outage_pace(run, (start, end), "addresses")) is flagged
    assert scenarios.outage_pace(run, (start, end), "downloads") == []


def mutate(case, runs, output, good, bad):
    """One fault the checker must name, put into a finished scenario's runs."""
    last = runs[-1]
    if case == "twice":
        output.append(output[0])
    elif case == "bad line":
        output.append("%s|%d|%s|" % (bad.name, bad.size, "0" * 40))
    elif case == "missing":
        output.pop()
    elif case == "ended 0":
        last.status = 0
    elif case == "no give-up line":
        last.lines = []
    elif case == "good given up":
        last.lines.append((last.end, "放弃文件：%s（HTTPError: 503）" % good.name))
    elif case == "traceback":
        last.err = "Traceback (most recent call last):\n  ...\nSystemError: x\n"
    elif case == "hang":
        last.status = None
    elif case == "slow":
        last.end += 1000
    elif case in ("5, cookie alive", "cookie dies, 3", "cookie dies, stops late"):
        dead = record(last.start + 0.5, 401)
        dead.refused = "cookie"
        first = scenarios.Run(5, last.start - 10, last.start - 9, [], "", [])
        if case == "cookie dies, 3":
            last.records.append(dead)
            return
        if case == "cookie dies, stops late":
            dead.time, first.end = first.start + 0.1, first.start + 6
            first.records.append(dead)
        runs.insert(0, first)


@pytest.mark.parametrize("case,kind", [
    (None, None), ("twice", "output"), ("bad line", "output"), ("missing", "output"),
    ("ended 0", "status"), ("no give-up line", "status"), ("good given up", "given up"),
    ("traceback", "traceback"), ("hang", "hang"), ("slow", "wall"),
    ("5, cookie alive", "status"), ("cookie dies, 3", "cookie"),
    ("cookie dies, stops late", "cookie")])
def test_the_checker_names_what_went_wrong(case, kind):
    sc = scenarios.Scenario.draw(2, fast=True)
    drive, _, bad = sc.build()
    assert len(bad) == 1    # this seed: one bad download among 24 files
    good = [f for f in drive.files() if f is not bad[0]]
    output = [scenarios.expected_line(f) for f in good]
    runs = [scenarios.Run(3, 1000.0, 1001.0, [(1000.9, "放弃文件：%s（HTTPError: 503）" % bad[0].name)],
                          "", [])]
    mutate(case, runs, output, good[-1], bad[0])
    broken = scenarios.check(sc, drive, bad, runs, {"output": output}).broken
    assert {text.split(":")[0] for text in broken} == ({kind} if kind else set()), broken


def test_the_draws_cover_every_kind_of_schedule():
    drawn = [scenarios.Scenario.draw(seed) for seed in range(1, 201)]
    assert [d.describe() for d in drawn[:3]] == [
        scenarios.Scenario.draw(seed).describe() for seed in (1, 2, 3)]
    assert all(1 <= len(d.files) <= 12 and max(d.files) <= 115 + 45 for d in drawn if not d.big)
    assert 10 <= sum(d.big for d in drawn) <= 45        # about one seed in eight
    assert {d.outage[2] for d in drawn if d.outage} == {"all", "listings", "addresses",
                                                         "downloads"}
    assert {d.rate["limit_reply"] for d in drawn if d.rate} == {"429", "429-date", "429-bare",
                                                                 "503"}
    bad = [b for d in drawn for b in d.bad]
    assert {b[2] for b in bad} == {"address", "download"} and {None, 0, "past"} <= {
        b[4] for b in bad} and any(b[1] == "lone" for b in bad)
    for what in ("cookie_life", "page_fail", "blip_every"):
        assert 20 <= sum(getattr(d, what) is not None for d in drawn) <= 120, what
    assert any(max(d.files) > 115 for d in drawn) and any(0 in d.files for d in drawn)
    fast = [scenarios.Scenario.draw(seed, fast=True) for seed in range(1, 101)]
    assert max(len(d.files) for d in fast) <= 4 and max(sum(d.files) for d in fast) <= 4 * 125
    assert max(d.outage[1] for d in fast if d.outage) <= 4


@pytest.mark.parametrize("served_before", [False, True])
def test_a_good_file_is_given_up_only_where_its_endpoint_never_served(served_before):
    """In an outage of the addresses before any was served, a good file may
    be given up (and the run resumed); once one was served, never."""
    sc = scenarios.Scenario.draw(2, fast=True)
    sc.outage = (1, 30, "addresses")
    drive, _, bad = sc.build()
    good = [f for f in drive.files() if f is not bad[0]]
    records = [record(101.0, 503, pickcode=good[0].pickcode)]
    if served_before:
        records.insert(0, record(100.5, 200, pickcode=good[1].pickcode))
    gave_up = [(130.0 + n, "放弃文件：%s（HTTPError: 503）" % f.name) for n, f in enumerate(
        [good[0], bad[0]])]
    runs = [scenarios.Run(3, 100.0, 131.0, gave_up, "", records),
            scenarios.Run(3, 140.0, 141.0, gave_up[1:], "", [])]
    facts = {"output": [scenarios.expected_line(f) for f in good], "outage": (100.8, 130.8)}
    broken = scenarios.check(sc, drive, bad, runs, facts).broken
    assert {text.split(":")[0] for text in broken} == ({"given up"} if served_before else set())
