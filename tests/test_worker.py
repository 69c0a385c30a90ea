"""The worker class and run_down: one queue entry, one output line."""
import collections
import io
import queue
import sys
import threading
import types

import pytest
import requests

from conftest import TakeAtOnce

OUT = "QuillsiftBYOskel.txt"


@pytest.fixture
def work(fw, restore_module_attrs, monkeypatch, tmp_path):
    """Fake download address and prefix hash, and pauses that return at once.
    fail_url / fail_preid: errors raised by the next calls; bad: pickcodes
    whose address always fails."""
    monkeypatch.chdir(tmp_path)
    w = types.SimpleNamespace(sleeps=[], urls=[], preids=[], fail_url=[], fail_preid=[],
                              bad=set(), preid="PRE")
    fw.time = types.SimpleNamespace(sleep=w.sleeps.append)

    def get_url(pickcode, cookie):
        w.urls.append((pickcode, cookie))
        if pickcode in w.bad:
            raise ValueError("bad pickcode")
        if w.fail_url:
            raise w.fail_url.pop()
        return "http://h/dl/" + pickcode

    def get_preid(url, cookie, cid):
        w.preids.append((url, cookie, cid))
        if w.fail_preid:
            raise w.fail_preid.pop()
        return w.preid

    fw.get_url, fw.get_preid = get_url, get_preid
    return w


def output(tmp_path):
    path = tmp_path / OUT
    return path.read_bytes().decode("utf-8") if path.is_file() else ""


def run_one(fw, entry):
    q = queue.Queue()
    q.put(entry)
    return fw.run_down(q, "ck", "7")


def run_aside(fw, entry):
    """run_one in another thread: a lock left held fails the test instead of
    hanging it. Returns what run_down returned or raised."""
    result = []

    def body():
        try:
            result.append(run_one(fw, entry))
        except BaseException as error:  # noqa: B036 - handed to the test
            result.append(error)

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    thread.join(10)
    assert result, "run_down did not return"
    return result[0]


# ---- the worker class ----------------------------------------------------------

def test_workers_on_an_empty_queue_end_without_taking(fw, restore_module_attrs):
    taken = []
    fw.run_down = lambda *args: taken.append(args)
    q = queue.Queue()
    workers = [fw.mythread(q, "ck", "7") for _ in range(6)]
    assert isinstance(workers[0], threading.Thread)
    assert (workers[0].q, workers[0].cookie, workers[0].cid) == (q, "ck", "7")
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(5)
    assert not any(worker.is_alive() for worker in workers)
    assert taken == []


def test_worker_takes_through_the_current_run_down_until_empty(fw, restore_module_attrs):
    q = queue.Queue()
    for item in "abc":
        q.put(item)
    first, later = [], []

    def run_first(*args):
        first.append(args)
        args[0].get()
        fw.run_down = lambda *a: (later.append(a), a[0].get())

    fw.run_down = run_first
    fw.mythread(q, "ck", "7").run()
    assert first == [(q, "ck", "7")]
    assert later == [(q, "ck", "7")] * 2


class Racing(queue.Queue):
    """Looks non-empty, but the take finds it emptied by another worker."""
    def empty(self):
        return False

    def get(self, *args, **kwargs):
        raise queue.Empty


def raising(error):
    def run_down(q, cookie, cid):
        raise error
    return run_down


@pytest.mark.parametrize("make_queue, run_down, reported", [
    (Racing, None, None),
    (queue.Queue, raising(queue.Empty()), None),
    (queue.Queue, raising(ValueError("broken")), ValueError),
], ids=["taken-by-others", "run_down-empty", "run_down-error"])
def test_how_a_worker_ends_on_an_error(fw, work, monkeypatch, capsys, make_queue, run_down,
                                       reported):
    hooked = []
    has_hook = hasattr(threading, "excepthook")  # 3.8 and later
    if has_hook:
        monkeypatch.setattr(threading, "excepthook", lambda args: hooked.append(args.exc_type))
    calls = []
    inner = run_down or fw.run_down
    fw.run_down = lambda *args: (calls.append(args), inner(*args))
    q = make_queue()
    q.put("x|1|S|pc")
    q.put("y|1|S|pc")
    worker = fw.mythread(q, "ck", "7")
    worker.start()
    worker.join(5)
    assert not worker.is_alive()
    assert len(calls) == 1
    err = capsys.readouterr().err
    if has_hook:
        assert (hooked, err) == ([reported] if reported else [], "")
    else:  # the thread machinery writes the report to standard error itself
        assert (reported.__name__ in err) if reported else err == ""


# ---- run_down ------------------------------------------------------------------

def test_take_waits_two_seconds_on_an_empty_queue(fw):
    q = TakeAtOnce()
    with pytest.raises(queue.Empty):
        fw.run_down(q, "ck", "7")
    assert q.takes == [(True, 2)]


@pytest.mark.parametrize("entry, preid, pickcode, line", [
    ("电影.mkv|1024|AB12|pc1", "FF00", "pc1", "电影.mkv|1024|AB12|FF00"),
    ("a|b|5|SHA|PC", "P", "PC", "a|b|5|SHA|P"),
    ("x|1|S|pc", "", "pc", "x|1|S|"),
    ("two\r\nrows|1\n2|S|pc", "P", "pc", "two\\r\\nrows|1\\n2|S|P"),
    ("bad\udcffname|1|S|pc", "P", "pc", "badname|1|S|P"),
], ids=["plain", "bar-in-name", "empty-preid", "line-breaks", "lone-surrogate"])
def test_one_entry_one_line(fw, work, capsys, tmp_path, entry, preid, pickcode, line):
    (tmp_path / OUT).write_bytes("旧|1|S|P\n".encode())
    work.preid = preid
    assert run_one(fw, entry) is None
    assert work.urls == [(pickcode, "ck")]
    assert work.preids == [("http://h/dl/" + pickcode, "ck", "7")]
    assert output(tmp_path) == "旧|1|S|P\n" + line + "\n"
    if "\udcff" not in entry:
        assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("failures", [1, 3, 4])
@pytest.mark.parametrize("step", ["url", "preid"])
def test_failed_attempts_are_retried_then_given_up(fw, work, capsys, tmp_path, step, failures):
    getattr(work, "fail_" + step).extend([requests.HTTPError("503 Server Error")] * failures)
    assert run_one(fw, "名\n字|9|S|pc") is None
    assert work.sleeps == [0.5, 1, 2][:min(failures, 3)]
    assert len(getattr(work, step + "s")) == min(failures + 1, 4)
    out = capsys.readouterr().out
    if failures < 4:
        assert output(tmp_path) == out == "名\\n字|9|S|PRE\n"
    else:
        assert output(tmp_path) == ""
        assert out == "放弃文件：名\\n字（HTTPError: 503 Server Error）\n"


def test_lock_released_when_the_output_file_cannot_be_opened(fw, work, capsys, tmp_path):
    (tmp_path / OUT).mkdir()
    assert run_aside(fw, "n|1|S|pc") is None
    assert not fw.lock.locked()
    last = capsys.readouterr().out.splitlines()[-1]
    assert last.startswith("放弃文件：n（IsADirectoryError: ")


def test_lock_released_when_print_is_interrupted(fw, work, monkeypatch):
    class Interrupting(io.StringIO):
        def write(self, text):
            raise KeyboardInterrupt

    monkeypatch.setattr(sys, "stdout", Interrupting())
    assert isinstance(run_aside(fw, "n|1|S|pc"), KeyboardInterrupt)
    assert not fw.lock.locked()


@pytest.mark.parametrize("kind", ["ascii-console", "broken-console"])
def test_line_written_once_when_the_console_fails(fw, work, monkeypatch, tmp_path, kind):
    if kind == "ascii-console":
        console = io.TextIOWrapper(io.BytesIO(), encoding="ascii", errors="strict")
    else:
        console = types.SimpleNamespace(write=lambda text: 1 / 0, flush=lambda: None)
    monkeypatch.setattr(sys, "stdout", console)
    assert run_one(fw, "名字|1|S|pc") is None
    monkeypatch.undo()
    assert output(tmp_path) == "名字|1|S|PRE\n"
    assert len(work.urls) == 1 and work.sleeps == []
    if kind == "ascii-console":
        console.flush()
        assert b"|1|S|PRE" in console.buffer.getvalue()


def test_print_and_append_happen_under_the_lock(fw, work, monkeypatch, tmp_path):
    seen = []

    class Watched:
        held = False

        def acquire(self, *args):
            self.held = True
            seen.append(("acquire", output(tmp_path)))
            return True

        def release(self):
            seen.append(("release", output(tmp_path)))
            self.held = False

        __enter__ = acquire

        def __exit__(self, *exc):
            self.release()

    fw.lock = lock = Watched()

    class Console(io.StringIO):
        def write(self, text):
            seen.append(("write", lock.held))
            return super().write(text)

    monkeypatch.setattr(sys, "stdout", Console())
    run_one(fw, "n|1|S|pc")
    assert seen[0] == ("acquire", "")
    assert seen[-1] == ("release", "n|1|S|PRE\n")
    assert len(seen) > 2 and set(seen[1:-1]) == {("write", True)}


def test_six_workers_write_one_intact_line_per_entry(fw, work, capsys, tmp_path):
    q = TakeAtOnce()
    good, lost = [], []
    for i in range(300):
        name, pickcode = f"文件{i:03d}", ("BAD" if i % 100 == 7 else "pc") + str(i)
        q.put(f"{name}|{i}|{'S' * 40}|{pickcode}")
        if pickcode.startswith("BAD"):
            work.bad.add(pickcode)
            lost.append(f"放弃文件：{name}（ValueError: bad pickcode）")
        else:
            good.append(f"{name}|{i}|{'S' * 40}|PRE")
    work.preid = "PRE"
    workers = [fw.mythread(q, "ck", "7") for _ in range(6)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(30)
    assert not any(worker.is_alive() for worker in workers)
    assert set(q.takes) == {(True, 2)}
    written = output(tmp_path)
    assert written.endswith("\n")
    assert collections.Counter(written[:-1].split("\n")) == collections.Counter(good)
    shown = capsys.readouterr().out.splitlines()
    assert collections.Counter(shown) == collections.Counter(good + lost)
