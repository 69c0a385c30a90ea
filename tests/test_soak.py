"""Fault soak: whole recursive runs of main with the real requests, over real
sockets, against the stand-in misbehaving on many per-file requests.

FERNWICK_SOAK_FILES sets the size of the soak tree (default 1000 files, 250
under the sanitizers); e.g. FERNWICK_SOAK_FILES=20000 for a long run."""
import collections
import os
import re
import time

import pytest

from conftest import run_python
from standin import Drive, Faults, StandIn

SANITIZED = os.environ.get("FERNWICK_SANITIZED") == "1"
SLOWER = 4 if SANITIZED else 1
FILES = int(os.environ.get("FERNWICK_SOAK_FILES", 250 if SANITIZED else 1000))
CONFIG = "[必须参数]\ncid = {}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 是\n"
OUT = "QuillsiftBYOskel.txt"
# main with the stand-in's router as `requests`, and retry pauses that only
# let the other threads run.
RUN = """
    import sys, time, types, fernwick
    from standin import Router
    fernwick.requests = Router({url!r})
    fernwick.time = types.SimpleNamespace(time=time.time, monotonic=time.monotonic,
                                          sleep=lambda seconds: time.sleep(0))
    try:
        fernwick.main()
    except Exception as error:
        print("RAISED", type(error).__module__, type(error).__name__)
"""
GIVE_UP = re.compile(r"放弃文件：(.*)（(\w+): .*）$")
# What the injected faults can end in; anything else is the module's own fault.
FAILURES = {"ConnectionError", "HTTPError", "JSONDecodeError", "IndexError", "ReadTimeout"}


def run_main(tmp_path, server, timeout):
    (tmp_path / "config.ini").write_text(CONFIG.format(server.root_cid), encoding="utf-8")
    started = time.monotonic()
    result = run_python(RUN.format(url=server.base_url), cwd=tmp_path, stdin="\n", timeout=timeout)
    out = tmp_path / OUT
    lines = out.read_bytes().decode("utf-8").split("\n")[:-1] if out.exists() else []
    return result, lines, time.monotonic() - started


def test_soak_every_file_is_written_once_or_given_up(tmp_path):
    drive = Drive.tree(7, FILES // 8, fanout=3)  # 8 folders of two listing pages
    files = drive.files()
    faults = Faults(rate=0.3, seed=11, kinds=("address", "download"), slow_seconds=6.5,
                    faults=("http500", "reset", "badjson", "badurl"))
    # Read timeouts, all in the root folder so that they overlap; one file fails every attempt.
    for f in files[:2]:
        faults.add("address", "slow", match={"pickcode": f.pickcode})
    for f in files[2:4]:
        faults.add("download", "slow", match="/dl/" + f.pickcode)
    faults.add("address", "badurl", times=4, match={"pickcode": files[4].pickcode})
    bound = (60 + FILES * 0.05) * SLOWER
    with StandIn(drive, faults=faults) as server:
        result, lines, took = run_main(tmp_path, server, bound)
        server.wait_idle()
        log = server.log.records()
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr[-3000:]
    assert took < bound

    said = result.stdout.split("\n")
    given_up = collections.Counter(m.group(1) for m in map(GIVE_UP.match, said) if m)
    kinds = {m.group(2) for m in map(GIVE_UP.match, said) if m}
    written = collections.Counter(lines)
    expected = {f.name: f.expected_line for f in files}
    assert set(written) <= set(expected.values()) and max(written.values()) == 1
    done = {line.split("|", 1)[0] for line in written}
    assert not done & set(given_up) and max(given_up.values()) == 1
    assert done | set(given_up) == set(expected)
    assert said[-2:] == ["放弃%d个文件" % len(given_up), "任务完成"]
    assert kinds <= FAILURES and files[4].name in given_up
    listed = re.findall(r"获取数据完成，总共(\d+)条数据", result.stdout)
    assert sum(map(int, listed)) == len(files)

    # Every give-up took four attempts, every written file at most four.
    attempts = collections.Counter(r.param("pickcode") for r in log if r.kind == "address")
    name_of = {f.pickcode: f.name for f in files}
    assert all(attempts[pc] == 4 for pc in name_of if name_of[pc] in given_up)
    assert max(attempts.values()) == 4
    hit = {r.param("pickcode") or r.path[len("/dl/"):] for r in log if r.fault}
    survived = {pc for pc in hit if name_of[pc] in done}
    applied = collections.Counter(faults.applied)
    assert len(survived) > len(given_up) > 10 * FILES // 1000
    assert {fault for _, fault in applied} == {"http500", "reset", "badjson", "badurl", "slow"}
    print("\nsoak: %d files, %d faults %s, %d files survived a fault, %d given up, %.1f s"
          % (len(files), len(faults.applied), dict(applied), len(survived), len(given_up), took))


def listing_drive():
    """Root: 4 files; "a": 120 files (two pages); "b": listed through APS only."""
    drive = Drive(seed=3)
    a = drive.root.add_folder("a")
    b = drive.root.add_folder("b", api_fails=True)
    for folder, n in ((drive.root, 4), (a, 120), (b, 3)):
        for i in range(n):
            folder.add_file("%s-%03d" % (folder.name or "root", i), 1000 + i)
    return drive


@pytest.mark.parametrize("kind, fault, folder, params, written, error", [
    ("api_list", "http500", "a", {"o": "user_ptime"}, 0, "json.decoder JSONDecodeError"),
    ("api_list", "badjson", "a", {"o": "file_name", "offset": "115"}, 4,
     "json.decoder JSONDecodeError"),
    ("aps_list", "reset", "b", {"record_open_time": "1"}, 124,
     "requests.exceptions ConnectionError"),
])
def test_listing_fault_on_every_attempt_ends_main_with_the_error(tmp_path, kind, fault, folder, params, written,
                                                error):
    drive = listing_drive()
    cid = {f.name: f.cid for f in drive.folders()}[folder]
    faults = Faults()
    faults.add(kind, fault, times=4, match=dict(params, cid=cid))  # every attempt
    with StandIn(drive, faults=faults) as server:
        result, lines, took = run_main(tmp_path, server, 60 * SLOWER)
    assert faults.pending() == 0 and result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[-2] == "RAISED " + error
    assert "任务完成" not in result.stdout
    assert sorted(lines) == sorted(drive.expected_lines()[:written])
    assert took < 30 * SLOWER


@pytest.mark.parametrize("kind, fault, params", [
    ("api_list", "reset", {"o": "file_name", "offset": "0"}),
    ("api_list", "badjson", {"o": "file_name", "offset": "115"}),
    ("api_list", "http500", {"o": "user_ptime", "offset": "115"}),
    ("aps_list", "reset", {"record_open_time": "1", "offset": "230"}),
    # Replies that parse but report a failure, or hold no list of items.
    ("api_list", "refused", {"o": "file_name", "offset": "115"}),
    ("api_list", "nolist", {"o": "file_name", "offset": "0"}),
    ("api_list", "refused", {"o": "user_ptime", "offset": "230"}),
    ("aps_list", "refused", {"record_open_time": "1", "offset": "0"}),
    ("aps_list", "nolist", {"record_open_time": "1", "offset": "230"}),
    ("aps_list", "refused", {"o": "file_name", "fc_mix": "", "offset": "115"}),
], ids=["first-page", "middle-page", "folder-walk", "aps-last-page", "refused-middle-page",
        "no-list-first-page", "refused-folder-walk", "aps-refused-first-page",
        "aps-no-list-last-page", "aps-refused-folder-walk"])
def test_listing_fault_is_recovered_with_each_page_once(tmp_path, kind, fault, params):
    # Three failed attempts on one page of folder "a" (three pages), the
    # fourth answered.
    drive = Drive(seed=5)
    a = drive.root.add_folder("a", api_fails=(kind == "aps_list"))
    for i in range(2):
        drive.root.add_file("root-%d" % i, 100 + i)
    for i in range(240):
        a.add_file("a-%03d" % i, 1000 + i)
    faults = Faults()
    faults.add(kind, fault, times=3, match=dict(params, cid=a.cid))
    with StandIn(drive, faults=faults) as server:
        result, lines, took = run_main(tmp_path, server, 60 * SLOWER)
    assert faults.pending() == 0 and result.returncode == 0, result.stderr
    assert sorted(lines) == sorted(drive.expected_lines())
    pages = ["正在获取第2页/总共3页", "正在获取第3页/总共3页"]
    assert [text for text in result.stdout.split("\n") if "|" not in text] == (
        ["初步递归计算中"] + pages + ["计算完成", "总共2个文件夹", "获取数据完成，总共2条数据"] +
        pages + ["获取数据完成，总共240条数据", "任务完成"])


def test_exit_while_the_watchdog_sleeps_is_clean():
    # The prefix read's watchdog thread lives on for a few seconds after the
    # last download. An interpreter that takes a while to finalize (here a
    # module whose object sleeps in __del__) wakes it mid-shutdown.
    result = run_python("""
        import sys, time, types
        import fernwick

        reply = types.SimpleNamespace(status_code=200, headers={}, close=list,
                                      raw=types.SimpleNamespace(shutdown=list),
                                      iter_content=lambda chunk_size: [b"x"])
        fernwick.requests = types.SimpleNamespace(get=lambda url, **kwargs: reply)
        print(fernwick.get_preid("http://h.example/dl/x", "c", "1"))

        class Slow:
            def __del__(self, sleep=time.sleep):
                sleep(1)

        sys.modules["holder"] = holder = types.ModuleType("holder")
        holder.slow = Slow()
    """, timeout=30 * SLOWER)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "11F6AD8EC52A2984ABAAFD7C3B516503785C2072\n", "")
