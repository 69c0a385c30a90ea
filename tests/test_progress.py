"""The status line on a terminal's standard error: drawn with its counts while
files are done, never inside a printed line, gone at the prompt and however
main ends; nothing at all when standard error is not a terminal."""
import io
import os
import re
import select
import signal
import struct
import subprocess
import sys
import types

import pytest

import fernwick_command
from conftest import python_env
from standin import Drive, Faults, StandIn

OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = {cid}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = {recursion}\n"
CHILD = """
import io, sys, time, types, fernwick
from standin import Router
fernwick.requests = Router(sys.argv[1])
fernwick.time = types.SimpleNamespace(time=time.time, monotonic=time.monotonic,
                                      sleep=lambda seconds: None)
exec(sys.argv[2])
try:
    fernwick.main()
except KeyboardInterrupt:
    print("INTERRUPTED", flush=True)
"""
DRAW = re.compile(r"(?:folders (\d+)/(\d+) \| )?(?:files (\d+)/(\d+) \| |listing \| )?"
                  r"done (\d+), given up (\d+)(?:, skipped (\d+))? \| (?:-|[\d.]+) files/s"
                  r"(?: \| left \d+:\d\d(?:, run ~?\d+:\d\d)?)?")
STATUS = re.compile(r"(folders|files|listing) ")  # how every status line starts
TRACE = re.compile(r"files/s|given up|(files|folders) \d+/\d+|listing( folders)? \|")
terminal_only = pytest.mark.skipif(sys.platform == "win32", reason="pseudo-terminals")


def drive_of(kind):
    """A drive, and a pickcode whose download always fails (one give-up)."""
    drive = Drive.tree(3, 15) if kind == "tree" else Drive.flat(600 if kind == "long" else 60)
    broken = drive.root.add_file("broken", 10, status=500)
    return drive, broken.pickcode


def write_config(tmp_path, cid, recursive, progress=None, resume=False):
    config = CONFIG.format(cid=cid, recursion="是" if recursive else "否")
    config += "resume = 是\n" if resume else ""
    config += "" if progress is None else "progress = %s\n" % progress
    (tmp_path / "config.ini").write_text(config, encoding="utf-8")


def on_terminal(tmp_path, server, columns, interrupt=False, setup="", stdout=None):
    """The batch in a child whose standard output (unless `stdout`, a
    descriptor) and error are one pseudo-terminal of `columns` columns, after
    `setup` ran in it; everything it shows, as text."""
    import fcntl
    import pty
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
    child = subprocess.Popen([sys.executable, "-c", CHILD, server.base_url, setup],
                             cwd=str(tmp_path),
                             env=python_env({"PYTHONIOENCODING": "utf-8"}),
                             stdin=subprocess.DEVNULL, stdout=slave if stdout is None else stdout,
                             stderr=slave)
    os.close(slave)
    raw, sent = b"", False
    try:
        while select.select([master], [], [], 120)[0]:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the child's end is closed
                break
            if not chunk:
                break
            raw += chunk
            if interrupt and not sent and any(int(fields[4]) >= 10 for fields
                                              in draws(raw.decode("utf-8", "replace"))):
                child.send_signal(signal.SIGINT)
                sent = True
    finally:
        os.close(master)
        child.wait(60)
    return raw.decode("utf-8")


def status_lines(shown):
    """Every status line drawn: what lies between carriage returns, on no
    line of its own."""
    pieces = shown.replace("\r\n", "\n").split("\r")
    return [p.rstrip(" ") for p in pieces if "\n" not in p and STATUS.match(p)]


def draws(shown):
    """The fields of every whole status line drawn."""
    return [m.groups() for m in map(DRAW.fullmatch, status_lines(shown)) if m]


def screen(shown):
    """The lines a terminal keeps for `shown` (a carriage return goes back to
    the line's start, text overwrites), and the line the cursor is on."""
    lines, line, column = [], [], 0
    for char in shown:
        if char == "\n":
            lines.append("".join(line).rstrip(" "))
            line, column = [], 0
        elif char == "\r":
            column = 0
        else:
            line[column:column + 1] = [char]
            column += 1
    return lines, "".join(line).rstrip(" ")


@terminal_only
@pytest.mark.parametrize("kind, recursive, resume, columns", [
    ("flat", False, False, 200), ("tree", True, True, 200), ("flat", False, False, 30),
    ("long", False, False, 200)])
def test_status_line_on_a_terminal(tmp_path, kind, recursive, resume, columns):
    drive, broken = drive_of(kind)
    lines = [f.expected_line for f in drive.files() if f.pickcode != broken]
    done_before = lines[:5] if resume else []
    (tmp_path / OUT).write_text("".join(line + "\n" for line in done_before), encoding="utf-8")
    write_config(tmp_path, drive.root.cid, recursive, resume=resume)
    with StandIn(drive, latency=0.02) as server:
        shown = on_terminal(tmp_path, server, columns, interrupt=kind == "long")
    kept, last = screen(shown)
    written = (tmp_path / OUT).read_text(encoding="utf-8").split("\n")[len(done_before):-1]
    # Every line printed is whole, no status text is left in any of them, and
    # none is left on the line of the prompt.
    assert set(written) <= set(kept) and not any(TRACE.search(line) for line in kept), kept
    assert last == ("" if kind == "long" else "任务完成")
    assert ("INTERRUPTED" in kept) == (kind == "long")
    drawn = status_lines(shown)
    assert drawn and max(map(len, drawn)) < columns  # cut to the width: never wrapped
    fields = draws(shown)
    if columns < 40:
        assert fields == [] and any(re.match(r"files \d+/61 \| done", line) for line in drawn)
        return
    done = [int(f[4]) for f in fields]
    assert done == sorted(done) and 0 < done[-1] <= len(written)
    totals = {str(len(folder.files)) for folder in drive.folders()}
    for folders_done, folders, finished, total, _, given_up, skipped in fields:
        assert folders == ("4" if recursive else None) and int(folders_done or 0) <= 4
        assert total is None or int(finished) <= int(total) and total in totals
        assert int(given_up) <= 1 and skipped in (("0", "5") if resume else (None,))
    assert ("5" in [f[6] for f in fields]) == resume
    assert any(" | left " in line for line in drawn)
    assert any(", run " in line for line in drawn) == recursive
    if kind == "long":  # seconds of work left at the start are shown as such
        left = [re.search(r" \| left (\d+):(\d\d)", line) for line in drawn]
        assert max(int(m[1]) * 60 + int(m[2]) for m in left if m) > 0


# A Python shell window's standard error says it is a terminal but has no
# descriptor; a tee to a log is an object without isatty; the terminal shrinks
# to 30 columns at the 20th request (a NUL in what it shows marks when).
SHELL_WINDOW = ("sys.stderr = types.SimpleNamespace(isatty=lambda: True, write=sys.stderr.write,"
                " flush=sys.stderr.flush, fileno=io.StringIO().fileno)")
TEE = "sys.stdout = types.SimpleNamespace(write=sys.stdout.write, flush=sys.stdout.flush)"
SHRINK = """
import fcntl, os, struct, termios
get, calls = fernwick.requests.get, []
def get_and_shrink(url, *args, **kwargs):
    calls.append(url)
    if len(calls) == 20:
        with fernwick.lock:  # between two writes of the line
            fcntl.ioctl(2, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 30, 0, 0))
            os.write(2, b"\\0")
    return get(url, *args, **kwargs)
fernwick.requests.get = get_and_shrink
"""


@terminal_only
@pytest.mark.parametrize("setup, columns, width", [
    (SHELL_WINDOW, 200, 0), (TEE, 200, 200), ("", 1, 0), ("", 9, 0), (SHRINK, 200, 30)],
    ids=["shell window", "tee", "1 column", "9 columns", "shrinks"])
def test_status_line_only_where_it_fits(tmp_path, setup, columns, width):
    drive, _ = drive_of("flat")
    write_config(tmp_path, drive.root.cid, False)
    with StandIn(drive, latency=0.02) as server:
        shown = on_terminal(tmp_path, server, columns, setup=setup)
    kept, last = screen(shown.replace("\0", ""))
    written = (tmp_path / OUT).read_text(encoding="utf-8").splitlines()
    assert len(written) == 60 and set(written) <= set(kept) and last == "任务完成"
    assert not any(TRACE.search(line) for line in kept), kept
    if not width:  # nothing of the line: no carriage return but at line ends
        assert "\r" not in shown.replace("\r\n", ""), shown
        return
    # Once the terminal has its last width, what the line writes (its text
    # and the blanks of its clears) fits in it.
    after = shown.split("\0")[-1]
    own = [piece for piece in re.split("[\r\n]", after) if not piece.strip() or STATUS.match(piece)]
    assert status_lines(after) and max(map(len, own)) < width


# A pipe's reader (`fernwick | tee log`) writes the lines to the terminal
# whenever it runs, maybe over a line drawn since: no line then. A file takes
# the lines at once, out of the terminal's way; a device that is no terminal
# (`> /dev/null`) never shows them.
@terminal_only
@pytest.mark.parametrize("output", ["pipe", "file", os.devnull])
def test_status_line_only_while_output_keeps_out_of_its_way(tmp_path, output):
    drive, _ = drive_of("flat")
    write_config(tmp_path, drive.root.cid, False)
    read_end, write_end = os.pipe() if output == "pipe" else (None, None)
    log_path = output if output == os.devnull else str(tmp_path / "log")
    with open(log_path, "wb") as log, StandIn(drive) as server:
        shown = on_terminal(tmp_path, server, 200, stdout=write_end or log.fileno())
    if output == "pipe":
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            (tmp_path / "log").write_bytes(pipe.read())
    assert len((tmp_path / OUT).read_text(encoding="utf-8").splitlines()) == 60
    if output != os.devnull:
        assert (tmp_path / "log").read_text(encoding="utf-8").endswith("任务完成")
    assert bool(status_lines(shown)) == (output != "pipe")


@pytest.mark.parametrize("progress, terminal", [
    ("是", False), (None, False), pytest.param("否", True, marks=terminal_only)])
def test_nothing_is_added_without_a_terminal_or_with_progress_off(tmp_path, progress, terminal):
    # One file per folder: the same lines in the same order every run.
    drive = Drive.tree(4, 1)
    broken = drive.root.add_folder("last").add_file("broken", 10)

    def run(value):
        write_config(tmp_path, drive.root.cid, True, progress=value)
        if (tmp_path / OUT).exists():
            (tmp_path / OUT).unlink()
        faults = Faults()
        faults.add("address", "badurl", times=4, match={"pickcode": broken.pickcode})
        with StandIn(drive, faults=faults) as server:
            if terminal:
                return on_terminal(tmp_path, server, 200)
            child = subprocess.run([sys.executable, "-c", CHILD, server.base_url, ""],
                                   cwd=str(tmp_path), env=python_env(),
                                   stdin=subprocess.DEVNULL, capture_output=True)
            return child.stdout, child.stderr

    seen = run(progress)
    if terminal:
        assert "\r" not in seen.replace("\r\n", "\n") and seen.endswith("任务完成")
        assert "放弃文件：broken" in seen
    else:
        assert seen == run("否") and seen[1] == b"" and "放弃文件：broken".encode() in seen[0]


@pytest.fixture(scope="module")
def status():
    return fernwick_command._status_module()


@pytest.mark.parametrize("value", ["yes", "", "是 否", "1"])
def test_invalid_progress_value_does_nothing(fw, restore_module_attrs, monkeypatch, tmp_path,
                                             capsys, status, value):
    monkeypatch.chdir(tmp_path)
    write_config(tmp_path, 1, False, progress=value)
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    asked = []
    fw.get_sha1list = lambda cid, type2, cookie: asked.append(cid)
    fw.time = types.SimpleNamespace(sleep=lambda seconds: None)
    assert fw.main() is None
    assert capsys.readouterr() == ("progress非法", "")
    assert asked == [] and status.last_status() == 2 and not (tmp_path / OUT).exists()
