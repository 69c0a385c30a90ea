"""Ctrl-C during a batch: no file is started after it, the files in flight
finish, main waits for them and raises the interrupt again."""
import _thread
import io
import os
import queue
import signal
import subprocess
import sys
import threading
import time
import types

import pytest

from conftest import WorkerHooks, python_env
from standin import Drive, StandIn

SANITIZED = os.environ.get("FERNWICK_SANITIZED") == "1"
SLOWER = 3 if SANITIZED else 1
OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = {}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"
# A batch in a child process, with the stand-in's router as `requests`;
# prints when main has raised the interrupt.
CHILD = """
import sys, time, fernwick
from standin import Router
fernwick.requests = Router(sys.argv[1])
try:
    fernwick.main()
except KeyboardInterrupt:
    print("INTERRUPTED %.3f" % time.time(), flush=True)
    sys.exit(130)
"""
unix_signals = pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")


def start_batch(tmp_path, server, resume=False):
    config = CONFIG.format(server.root_cid) + ("resume = 是\n" if resume else "")
    (tmp_path / "config.ini").write_text(config, encoding="utf-8")
    return subprocess.Popen([sys.executable, "-u", "-c", CHILD, server.base_url], cwd=str(tmp_path),
                            env=python_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def written(tmp_path):
    path = tmp_path / OUT
    return path.read_bytes().decode("utf-8") if path.exists() else ""


def wait_for(condition, timeout=30 * SLOWER):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def check_output(tmp_path, drive, started):
    """Every line whole and correct, none twice, and exactly the files whose
    address was asked for: each file started was finished."""
    text = written(tmp_path)
    assert text.endswith("\n")
    lines = text[:-1].split("\n")
    expected = {f.pickcode: f.expected_line for f in drive.files()}
    assert len(lines) == len(set(lines))
    assert sorted(lines) == sorted(expected[pc] for pc in started)
    return lines


@unix_signals
def test_ctrl_c_ends_the_batch_within_two_seconds(tmp_path):
    drive = Drive.flat(600)
    with StandIn(drive, latency=0.05) as server:
        child = start_batch(tmp_path, server)
        wait_for(lambda: written(tmp_path).count("\n") >= 30)
        interrupted = time.time()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30 * SLOWER)
        took = time.time() - interrupted
        server.wait_idle()
        addresses = server.log.address()
    assert child.returncode == 130, err
    assert "INTERRUPTED" in out and "Traceback" not in err
    assert took < 2 * SLOWER
    lines = check_output(tmp_path, drive, {r.param("pickcode") for r in addresses})
    assert 30 <= len(lines) < 300
    # No file was started once the interrupt reached main (one reply's
    # latency for a request already on its way).
    assert [r for r in addresses if r.time > interrupted + 0.2 * SLOWER] == []


# Prints, when main has raised, how many lines the output file had then.
CHILD_COUNTING = CHILD.replace(
    'print("INTERRUPTED %.3f" % time.time(), flush=True)',
    'import os; print("INTERRUPTED %d" % (open(OUT, encoding="utf-8").read().count("\\n")'
    ' if os.path.exists(OUT) else 0), flush=True)').replace(
    "import sys,", 'OUT = "%s"\nimport sys,' % OUT)


@unix_signals
@pytest.mark.parametrize("signals", [2, 3])
def test_files_in_flight_outlast_a_second_ctrl_c(tmp_path, signals):
    # Two of the six files in flight take three times as long as the others:
    # before 3.13 a second Ctrl-C used to let the interpreter's exit drop
    # them. Now main waits for them through the second; the third ends the
    # wait while they are still on their way.
    drive = Drive(seed=3)
    for i in range(20):
        # (each within the 6 s a reply may take)
        drive.root.add_file("f%02d" % i, 1000 + i, latency=4 if i < 2 else 1)
    with StandIn(drive) as server:
        (tmp_path / "config.ini").write_text(CONFIG.format(server.root_cid), encoding="utf-8")
        child = subprocess.Popen(
            [sys.executable, "-u", "-c", CHILD_COUNTING, server.base_url], cwd=str(tmp_path),
            env=python_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        wait_for(lambda: len(server.log.download()) == 6)
        for _ in range(signals):
            child.send_signal(signal.SIGINT)
            time.sleep(0.3)  # the interpreter takes one signal at a time
        out, err = child.communicate(timeout=30 * SLOWER)
        server.wait_idle(10)
        addresses = server.log.address()
    assert child.returncode == 130 and "INTERRUPTED" in out, err
    assert len(addresses) == 6
    lines_when_main_ended = int(out.split("INTERRUPTED")[1].split()[0])
    if signals == 2:
        assert lines_when_main_ended == 6
        check_output(tmp_path, drive, {r.param("pickcode") for r in addresses})
    else:
        assert lines_when_main_ended < 6


@unix_signals
def test_resume_after_ctrl_c_does_every_file_once(tmp_path):
    drive = Drive(seed=2)
    for i in range(6):  # listed first, so the stopped run writes them
        drive.root.add_file("line\nbreak\r%d" % i, 10 + i)
    for i in range(300):
        drive.root.add_file("f%03d" % i, 1000 + i)
    foreign = "a line not of this module\n"
    with StandIn(drive, latency=0.02) as server:
        child = start_batch(tmp_path, server)
        wait_for(lambda: written(tmp_path).count("\n") >= 60)
        child.send_signal(signal.SIGINT)
        child.communicate(timeout=30 * SLOWER)  # and its pipes closed
        assert child.returncode == 130
        first = written(tmp_path).split("\n")[:-1]
        with open(str(tmp_path / OUT), "a", encoding="utf-8") as out:
            out.write(foreign)
        server.log.clear()
        child = start_batch(tmp_path, server, resume=True)
        said, err = child.communicate(timeout=60 * SLOWER)
        asked = len(server.log.address())
    assert child.returncode == 0, err
    lines = written(tmp_path).split("\n")[:-1]
    lines.remove(foreign[:-1])
    one_line = [f.expected_line.replace("\r", "\\r").replace("\n", "\\n") for f in drive.files()]
    assert "line\\nbreak\\r5|15|" in "\n".join(first)
    assert sorted(lines) == sorted(one_line)  # every file exactly once across both runs
    assert asked == len(one_line) - len(first)
    assert said.split("\n")[-2:] == ["跳过%d个已完成文件" % len(first), "任务完成"]


class InterruptedJoin(WorkerHooks):
    """A worker class whose first join, in main, raises KeyboardInterrupt once
    the six workers are in their first request (`all_in` set); the requests
    go on (`gate` set) half a second later, main having stopped the batch."""

    def __init__(self, fw, all_in, gate):
        super().__init__(fw)
        self.all_in, self.gate, self.joins = all_in, gate, []

    def join(self, worker):
        self.joins.append(worker)
        if len(self.joins) == 1:
            assert self.all_in.wait(10)
            threading.Timer(0.5, self.gate.set).start()
            raise KeyboardInterrupt
        worker.join()


def test_interrupted_main_starts_no_file_and_no_attempt(fw, restore_module_attrs, monkeypatch,
                                                        prompt_queue, tmp_path, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG.format(1), encoding="utf-8")
    names = ["ok%d" % i if i % 2 else "bad%d" % i for i in range(40)]
    gate, all_in, in_flight, sleeps = threading.Event(), threading.Event(), [], []

    def get_url(pickcode, cookie):
        in_flight.append(pickcode)
        if len(in_flight) >= 6:
            all_in.set()
        gate.wait(10)
        if pickcode.startswith("bad"):
            raise ValueError("no address")
        return "http://h/" + pickcode

    fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(
        "%s|1|S|%s" % (name, name) for name in names)
    fw.get_url, fw.get_preid = get_url, lambda url, cookie, cid: "P"
    fw.time = types.SimpleNamespace(sleep=sleeps.append)
    fw.mythread = workers = InterruptedJoin(fw, all_in, gate)
    with pytest.raises(KeyboardInterrupt):
        fw.main()
    assert all(not worker.is_alive() for worker in workers.joins)
    assert sorted(in_flight) == sorted(names[:6]) and sleeps == []
    assert sorted(written(tmp_path).split("\n")[:-1]) == ["ok1|1|S|P", "ok3|1|S|P", "ok5|1|S|P"]
    assert "放弃" not in capsys.readouterr().out
    # The stop is the batch's: a worker it made takes nothing more after main
    # raised; a call on its own is not stopped.
    q = queue.Queue()
    q.put("bad9|1|S|bad9")
    workers.joins[0].q = q
    workers.joins[0].run()
    assert (sleeps, q.qsize()) == ([], 1)
    fw.run_down(q, "c", "1")
    assert (sleeps, q.empty()) == ([0.5, 1.0, 2.0], True)
    del sleeps[:]
    fw.mythread = workers.worker_class
    fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.append("bad9|1|S|bad9")
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    fw.main()
    assert sleeps == [0.5, 1, 2]


def test_main_waits_for_a_worker_whose_join_the_interrupt_cut_short(tmp_path):
    (tmp_path / "config.ini").write_text(CONFIG.format(1), encoding="utf-8")
    # Before 3.13 a Thread.join cut short by Ctrl-C marks its thread ended
    # while it still runs: later joins return at once, and so does the
    # interpreter's wait at exit. main must still wait for that worker's file.
    result = subprocess.run([sys.executable, "-c", """if 1:
        import threading, time, fernwick
        started, all_in, stopping = [], threading.Event(), threading.Event()
        fernwick.get_sha1list = lambda cid, t, c: fernwick.sha1list.extend(
            "f%d|10|S|pc%d" % (i, i) for i in range(30))
        fernwick.get_url = lambda pickcode, cookie: "http://h/" + pickcode

        def slow_preid(url, cookie, cid):
            started.append(url)
            if len(started) >= 6:
                all_in.set()
            stopping.wait(10)  # in flight until main, interrupted, waits for them
            if threading.current_thread() in cut_short:
                time.sleep(1)  # the worker main has lost track of ends last
            return "P"
        fernwick.get_preid = slow_preid
        real_join, cut_short = threading.Thread.join, []

        def join(self, timeout=None):
            if not cut_short:
                all_in.wait(10)
                cut_short.append(self)
                # main waits on its own count from here, with no other join
                threading.Timer(0.5, stopping.set).start()
                raise KeyboardInterrupt
            stopping.set()
            if self in cut_short:
                return  # what a join cut short leaves behind
            return real_join(self, timeout)
        threading.Thread.join = join
        try:
            fernwick.main()
        except KeyboardInterrupt:
            pass
        with open("QuillsiftBYOskel.txt", encoding="utf-8") as out:
            print("@@%d %d@@" % (len(started), out.read().count("\\n")))
        """], cwd=str(tmp_path), env=python_env(), stdin=subprocess.DEVNULL,
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    started, written_lines = map(int, result.stdout.split("@@")[1].split())
    assert started == written_lines == 6


def test_ctrl_c_is_acted_on_while_a_join_cannot_be_cut_short(fw, restore_module_attrs,
                                                             monkeypatch, prompt_queue, tmp_path):
    # interrupt_main sets the interrupt without a signal, so a plain join
    # sleeps on, as any join does on Windows. It comes at the 30th file, once
    # main joins; from then on six workers do 20 files a second each: main
    # stops the batch within about a second of files, not after all 300.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG.format(1), encoding="utf-8")
    started = []

    def main_joins():
        frame = sys._current_frames()[threading.main_thread().ident]
        return frame.f_code.co_name in ("join", "_wait_for_tstate_lock")

    def get_preid(url, cookie, cid):
        started.append(url)
        if len(started) == 30:
            wait_for(main_joins)
            _thread.interrupt_main()
        time.sleep(0.05 if len(started) > 30 else 0)
        return "P"
    fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(
        "f%03d|1|S|p%03d" % (i, i) for i in range(300))
    fw.get_url, fw.get_preid = (lambda pickcode, cookie: pickcode), get_preid
    with pytest.raises(KeyboardInterrupt):
        fw.main()
    assert written(tmp_path).count("\n") == len(started) < 30 + 6 * 20
