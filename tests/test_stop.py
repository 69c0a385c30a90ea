"""A stop belongs to its batch: a new main() neither restarts nor inherits an
earlier one's workers; a file cut short by a stop is never given up; a file
whose address was fetched finishes at a stop."""
import io
import os
import queue
import subprocess
import sys
import threading
import time
import types

import fernwick
import fernwick_command
import pytest
import requests

from conftest import WorkerHooks, beyond_the_emulator, beyond_thread_sanitizer, python_env
from standin import Router
from test_pacer import (COOKIE_LINE, CONFIG, Clock, clock, line, service,  # noqa: F401 (fixtures)
                        written)
from test_progress import TRACE, screen

fernwick_get_url = fernwick.get_url

STATUS = fernwick_command._status_module()


class Interrupting(WorkerHooks):
    """mythread, with main's first join raising KeyboardInterrupt once
    `ready` is set (after `before_raise` ran)."""

    def __init__(self, fw, ready, before_raise=lambda: None):
        super().__init__(fw)
        self.ready, self.before_raise = ready, before_raise

    def join(self, worker):
        if worker is self.workers[0]:
            assert self.ready.wait(10)
            self.before_raise()
            raise KeyboardInterrupt
        worker.join()


class InterruptedWait:
    def wait(self, timeout=None):
        raise KeyboardInterrupt


@pytest.fixture
def stopped(fw, restore_module_attrs, monkeypatch, tmp_path):
    """A main in tmp_path/first ended by three Ctrl-Cs while six of its files
    are in flight: their addresses wait for `gate`, then come from `answer`
    (old1 and old3 fail once first). Every other address is answered at
    once; stdin has the Enter for the next main's prompt."""
    first = tmp_path / "first"
    first.mkdir()
    (first / "config.ini").write_text(CONFIG, encoding="utf-8")
    batch = types.SimpleNamespace(first=first, gate=threading.Event(),
                                  answer=lambda pickcode, cookie: "http://h/" + pickcode)
    all_in, in_flight, failed = threading.Event(), [], set()

    def get_url(pickcode, cookie):
        if not pickcode.startswith("old"):
            return "http://h/" + pickcode
        in_flight.append(pickcode)
        if len(in_flight) == 6:
            all_in.set()
        batch.gate.wait(10)
        if pickcode in ("old1", "old3") and pickcode not in failed:
            failed.add(pickcode)
            raise ValueError("no address")  # a failure after the stop: no give-up
        return batch.answer(pickcode, cookie)

    fw.get_url, fw.get_preid = get_url, lambda url, cookie, cid: PREFIX
    fw.time = types.SimpleNamespace(sleep=lambda s: None, time=lambda: 0.0, monotonic=lambda: 0.0)
    fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(
        "old%d|1|S|old%d" % (i, i) for i in range(30))
    fw.threading = types.SimpleNamespace(Thread=threading.Thread, Event=InterruptedWait)
    fw.mythread = old = Interrupting(fw, all_in)
    batch.finish = lambda: [worker.join(10) for worker in old.workers]
    monkeypatch.chdir(first)
    with pytest.raises(KeyboardInterrupt):
        fw.main()
    assert any(worker.is_alive() for worker in old.workers)
    fw.threading, fw.mythread = threading, old.worker_class
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    yield batch
    batch.finish()


PREFIX = "F" * 40
OLD_DONE = ["old%d|1|S|%s" % (i, PREFIX) for i in (0, 2, 4, 5)]


# A second main runs while the stopped batch's files finish: in another
# folder, where a refused cookie of theirs is not the second batch's to tell;
# or resumed in the same folder, where it waits for them before it reads the
# output file (else it does them again).
@pytest.mark.parametrize("case", ["another folder", "cookie refused", "resumed"])
def test_a_new_main_leaves_the_stopped_batch_stopped(stopped, fw, monkeypatch, tmp_path, capsys,
                                                    service, case):
    second = stopped.first if case == "resumed" else tmp_path / "second"
    second.mkdir(exist_ok=True)
    (second / "config.ini").write_text(CONFIG + "resume = 是\n" * (case == "resumed"),
                                       encoding="utf-8")
    if case == "cookie refused":
        server = service()
        server.dies_after, server.death = 0, (401, {})
        fw.requests, stopped.answer = Router(server.base), fernwick_get_url
    entries = ["old%d" % i for i in range(30)] if case == "resumed" else [
        "new%d" % i for i in range(8)]

    def second_listing(cid, type2, cookie):
        stopped.gate.set()  # the old workers go on while this batch runs
        if case == "cookie refused":
            stopped.finish()  # their 401s come now
        fw.sha1list.extend("%s|1|S|%s" % (name, name) for name in entries)

    if case == "resumed":  # the old workers go on while main waits for them
        threading.Timer(0.3, stopped.gate.set).start()
    fw.get_sha1list = second_listing
    monkeypatch.chdir(second)
    fw.main()
    stopped.finish()
    said = capsys.readouterr().out
    assert STATUS.last_status() == 0 and "放弃" not in said and COOKIE_LINE not in said
    if case == "resumed":
        assert sorted(written(second)) == sorted("%s|1|S|%s" % (name, PREFIX) for name in entries)
        assert "跳过4个已完成文件" in said
        return
    assert sorted(written(stopped.first)) == ([] if case == "cookie refused" else OLD_DONE)
    assert sorted(written(second)) == sorted("%s|1|S|%s" % (name, PREFIX) for name in entries)


class Terminal:
    """Standard output and error as one terminal shows them: every write,
    in order. An old worker's first line waits, a second at most, for main
    to write before its line feed; main's write then waits for it."""

    def __init__(self, fd):
        self.writes, self.held = [], False
        self.holding, self.main_wrote, self.worker_wrote = (threading.Event() for _ in range(3))
        self.isatty, self.fileno, self.flush = (lambda: True), (lambda: fd), (lambda: None)

    def write(self, text):
        self.writes.append(text)
        if threading.current_thread() is not threading.main_thread():
            if text.strip() and not self.held:
                self.held = True
                self.worker_wrote.clear()
                self.holding.set()
                self.main_wrote.wait(1)
            else:
                self.worker_wrote.set()
        elif self.holding.is_set() and not self.main_wrote.is_set():
            self.main_wrote.set()
            self.worker_wrote.wait(1)
        return len(text)


# The old workers print while the second main writes its message (the gate
# opens in its listing), or draws its status line (as it makes the folder's
# queue, the last draw a quarter second old): nothing of main's comes between
# a line and its line feed.
@pytest.mark.parametrize("progress, gate_in", [("否", "listing"), ("是", "queue")])
def test_main_writes_between_the_old_workers_lines(stopped, fw, monkeypatch, tmp_path,
                                                   progress, gate_in):
    second = tmp_path / "second"
    second.mkdir()
    (second / "config.ini").write_text(CONFIG + "progress = %s\n" % progress, encoding="utf-8")
    with open(str(second / "tty"), "w") as tty:
        terminal = Terminal(tty.fileno())
        monkeypatch.setattr(sys, "stdout", terminal)
        monkeypatch.setattr(sys, "stderr", terminal)

        def let_old_workers_print(pause=0.0):
            stopped.gate.set()
            assert terminal.holding.wait(10)
            time.sleep(pause)

        def second_listing(cid, type2, cookie):
            if gate_in == "listing":
                let_old_workers_print()
            fw.sha1list.extend("new%d|1|S|new%d" % (i, i) for i in range(8))

        def new_queue(maxsize=0):
            if gate_in == "queue":
                let_old_workers_print(0.3)
            return queue.Queue(maxsize)

        fw.get_sha1list = second_listing
        fw.queue = types.SimpleNamespace(Queue=new_queue, Empty=queue.Empty)
        monkeypatch.chdir(second)
        fw.main()
        stopped.finish()
    kept, _ = screen("".join(terminal.writes))
    assert set(OLD_DONE) <= set(kept) and "获取数据完成，总共8条数据" in kept
    assert not any(TRACE.search(line) for line in kept), kept


@pytest.fixture
def folder(fw, restore_module_attrs, monkeypatch, tmp_path):
    """config.ini in the current directory, and the module on `clock`."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    return fw


# The cookie dies on the file's (n+1)-th address request: its halt stops the
# batch inside that attempt, the last one included.
@pytest.mark.parametrize("failed_attempts", [0, 1, 3])
def test_a_file_cut_short_by_a_halt_is_not_given_up(folder, service, clock, tmp_path, capsys,
                                                    failed_attempts):
    server = service(files=1)
    server.plan({"address": [(500, {})] * failed_attempts})
    server.dies_after, server.death = 1 + failed_attempts, (401, {})
    folder.time, folder.requests = clock, Router(server.base)
    with pytest.raises(requests.HTTPError):
        folder.main()
    assert [kind for kind, _, _ in server.log] == ["list"] + ["address"] * (failed_attempts + 1)
    assert "放弃" not in capsys.readouterr().out
    assert STATUS.last_status() == 5 and written(tmp_path) == []


def test_a_file_with_its_address_finishes_at_a_stop(folder, service, tmp_path):
    """Its download waits out a ten-minute pause when Ctrl-C comes: it is
    sent at once and its line written."""
    server = service(files=1)
    server.plan({"download": [(429, {"Retry-After": "600"})]})
    refused, release = threading.Event(), threading.Event()

    class HeldClock(Clock):
        def sleep(self, seconds):
            refused.set()
            assert release.wait(10)
            super().sleep(seconds)

    folder.time, folder.requests = HeldClock(), Router(server.base)
    folder.mythread = Interrupting(folder, refused,
                                   lambda: threading.Timer(0.1, release.set).start())
    with pytest.raises(KeyboardInterrupt):
        folder.main()
    assert [kind for kind, _, _ in server.log] == ["list", "address", "download", "download"]
    assert written(tmp_path) == [line("pc00")]
    assert STATUS.last_status() == 130


# The parent's six workers are inside their files when it forks: in another
# thread, whose child then runs a resumed main (which waits for the files
# earlier workers have in flight), or in main's own join, whose child is
# interrupted there (and waits for its workers). Their threads stayed in the
# parent: the child has none to wait for.
FORKED_WHILE_WORKERS_RUN = """if 1:
    import os, signal, sys, threading, time, fernwick
    held, in_flight, prefix, forked = threading.Event(), [], ["parent"], []

    def get_url(pickcode, cookie):
        if pickcode.startswith("parent"):
            in_flight.append(pickcode)
            held.wait(30)
        return "http://h/" + pickcode
    fernwick.get_url, fernwick.get_preid = get_url, lambda url, cookie, cid: "F" * 40
    fernwick.get_sha1list = lambda cid, type2, cookie: fernwick.sha1list.extend(
        "{0}{1}|1|S|{0}{1}".format(prefix[0], i) for i in range(6))

    def fork():
        # True in the child; the parent's files go on once it ended (20 s at most).
        deadline = time.monotonic() + 20
        while len(in_flight) < 6 and time.monotonic() < deadline:
            time.sleep(0.01)
        sys.stdout.flush()
        forked.append(os.fork())
        if forked[0] == 0:
            return True
        while time.monotonic() < deadline + 20:
            ended, status = os.waitpid(forked[0], os.WNOHANG)
            if ended:
                print("child ended", status)
                break
            time.sleep(0.05)
        else:
            os.kill(forked[0], signal.SIGKILL)
            os.waitpid(forked[0], 0)
        held.set()
        return False

    class ForkingJoin(fernwick.mythread):
        def join(self, timeout=None):
            if not forked and fork():
                raise KeyboardInterrupt
            super().join(timeout)
    os.chdir("parent")
    try:
        if sys.argv[1] == "another thread":
            parent = threading.Thread(target=fernwick.main)
            parent.start()
            if fork():
                os.chdir("../child")
                prefix[0] = "child"
                fernwick.main()
            parent.join(30)
        else:
            fernwick.mythread = ForkingJoin
            fernwick.main()
    except KeyboardInterrupt:
        pass
    if forked == [0]:
        sys.stdout.flush()
        os._exit(0)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.parametrize("where", [
    pytest.param("another thread", marks=[  # whose child starts workers of its own
        beyond_thread_sanitizer,
        beyond_the_emulator("it aborts the forked child of a process with threads once the "
                            "child starts one (cpu_exec: cpu == current_cpu)")]),
    "main's join"])
def test_a_child_forked_while_workers_run_waits_for_none_of_them(tmp_path, where):
    for side in ("parent", "child"):
        (tmp_path / side).mkdir()
        (tmp_path / side / "config.ini").write_text(CONFIG + "resume = 是\n", encoding="utf-8")
    result = subprocess.run([sys.executable, "-c", FORKED_WHILE_WORKERS_RUN, where],
                            cwd=str(tmp_path), env=python_env(), input="", capture_output=True,
                            text=True, timeout=120)
    assert "child ended 0\n" in result.stdout and result.returncode == 0, result.stderr
    for side in ("parent", "child"):
        files = 6 if side == "parent" or where == "another thread" else 0
        assert sorted(written(tmp_path / side)) == ["%s%d|1|S|%s" % (side, i, PREFIX)
                                                     for i in range(files)]
