"""The exit status of the `fernwick` command, run as its console entry point
runs it, with the stand-in's router as `requests`."""
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import python_env
from standin import Drive, Faults, StandIn

SANITIZED = os.environ.get("FERNWICK_SANITIZED") == "1"
SLOWER = 3 if SANITIZED else 1
OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = {cid}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = {recursion}\n"
COMMAND = """
import sys, time, types, fernwick, fernwick_command
from standin import Router
fernwick.requests = Router(sys.argv[1])
fernwick.time = types.SimpleNamespace(time=time.time, monotonic=time.monotonic,
                                      sleep=lambda seconds: time.sleep(0))
sys.exit(fernwick_command.main())
"""


def drive_of(files):
    drive = Drive(seed=4)
    below = drive.root.add_folder("below")
    for i in range(files):
        (drive.root if i % 2 else below).add_file("f%03d" % i, 100 + i)
    return drive


# case: config.ini (None: none), faults (kind, fault, times, match), files, status
CASES = {
    "done": (CONFIG, [], 10, 0),
    "given-up": (CONFIG, [("address", "badurl", 4, "first file")], 10, 3),
    "listing": (CONFIG, [("api_list", "reset", 4, {"o": "user_ptime"})], 10, 4),
    "files-listing": (CONFIG, [("api_list", "http500", 4, {"o": "file_name"})], 10, 4),
    "listing-recovered": (CONFIG, [("api_list", "reset", 3, {"o": "file_name"})], 10, 0),
    "listing-no-list": (CONFIG, [("api_list", "nolist", 4, {"o": "file_name"})], 10, 4),
    "no-config": (None, [], 10, 2),
    "recursion": (CONFIG.replace("{recursion}", "maybe"), [], 10, 2),
    "resume": (CONFIG + "resume = 可能\n", [], 10, 2),
    "missing-key": (CONFIG.replace("type = 0\n", ""), [], 10, 1),
    "interrupted": (CONFIG, [], 600, 130),
}


@pytest.mark.parametrize("case", [
    pytest.param(case, marks=pytest.mark.skipif(
        case == "interrupted" and sys.platform == "win32", reason="SIGINT to a child process"))
    for case in CASES])
def test_exit_status(tmp_path, case):
    config, faults_wanted, files, status = CASES[case]
    drive = drive_of(files)
    faults = Faults()
    for kind, fault, times, match in faults_wanted:
        if match == "first file":
            match = {"pickcode": drive.files()[0].pickcode}
        faults.add(kind, fault, times=times, match=match)
    with StandIn(drive, faults=faults, latency=0.05 if case == "interrupted" else 0) as server:
        if config is not None:
            (tmp_path / "config.ini").write_text(
                config.format(cid=server.root_cid, recursion="是"), encoding="utf-8")
        child = subprocess.Popen(
            [sys.executable, "-c", COMMAND, server.base_url], cwd=str(tmp_path), env=python_env(),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if case == "interrupted":
            out = tmp_path / OUT
            while child.poll() is None and not (out.exists() and
                                                out.read_bytes().count(b"\n") >= 10):
                time.sleep(0.01)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60 * SLOWER)
    assert child.returncode == status, err
    if status in (1, 4):  # the error in one line, no traceback
        assert err.count("\n") == 1 and err.startswith("fernwick: ") and "Traceback" not in err
    else:
        assert err == ""
    assert out.endswith("任务完成") == (status in (0, 3))
    assert ("放弃1个文件\n" in out) == (status == 3)


@pytest.mark.parametrize("recursion, status, prompt", [
    ("是", 0, "任务完成"), ("maybe", 2, "recursion非法")])
def test_a_console_without_chinese_shows_escapes_and_runs(tmp_path, recursion, status, prompt):
    # Output redirected on a Windows whose code page has no Chinese: every
    # message and the prompt come out escaped, and the batch is done.
    drive = drive_of(6)
    with StandIn(drive) as server:
        (tmp_path / "config.ini").write_text(
            CONFIG.format(cid=server.root_cid, recursion=recursion), encoding="utf-8")
        child = subprocess.run(
            [sys.executable, "-c", COMMAND, server.base_url], cwd=str(tmp_path),
            env=python_env({"PYTHONIOENCODING": "cp1252:strict"}), stdin=subprocess.DEVNULL,
            capture_output=True, timeout=60 * SLOWER)
    assert child.returncode == status, child.stderr
    out = child.stdout.decode("cp1252")
    assert out.endswith(prompt.encode("cp1252", "backslashreplace").decode("cp1252"))
    if status == 0:
        assert "\\u83b7\\u53d6\\u6570\\u636e\\u5b8c\\u6210" in out  # 获取数据完成
        lines = (tmp_path / OUT).read_text(encoding="utf-8").splitlines()
        assert sorted(lines) == sorted(drive.expected_lines())
