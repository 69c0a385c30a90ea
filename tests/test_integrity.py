"""How a batch ends: the exit status for each way a listing fails, an
interrupt in every place it can land, main failing while its workers run,
and threads the interpreter ends while they are inside the module."""
import io
import sys
import threading
import time
import types

import pytest
import requests

import fernwick
import fernwick_command
from conftest import WorkerHooks, run_python

CONFIG = "[必须参数]\ncid = 1\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"
OUT = "QuillsiftBYOskel.txt"
PAGE = '{"state": true, "count": %d, "data": [{"n": "f", "s": 1, "sha": "S", "pc": "P"}]}'
STATUS = fernwick_command._status_module()
fernwick_get_preid = fernwick.get_preid


class Replies:
    """`requests` answering each listing request with the next reply (a
    text, or an exception to raise; the last one repeats), and every
    download with one byte through a stream the watchdog watches."""

    def __init__(self, *replies):
        self.replies, self.urls = list(replies), []

    def get(self, url, **kwargs):
        if url.startswith("http://h/"):
            return types.SimpleNamespace(status_code=200, headers={}, close=list,
                                         raw=types.SimpleNamespace(shutdown=list),
                                         iter_content=lambda chunk_size: [b"x"])
        self.urls.append(url)
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, BaseException):
            raise reply
        return types.SimpleNamespace(text=reply, status_code=200)


class BrokenConsole(io.StringIO):
    def write(self, text):
        raise OSError("console gone")


def interrupted(*args):
    raise KeyboardInterrupt


@pytest.fixture
def batch(fw, restore_module_attrs, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    fw.time = types.SimpleNamespace(sleep=lambda seconds: None, time=time.time,
                                    monotonic=time.monotonic)
    fw.get_url = lambda pickcode, cookie: "http://h/" + pickcode
    fw.get_preid = lambda url, cookie, cid: "P"
    return fw


# Status 4 only for a listing page that failed on every attempt; an error
# that is never tried again is status 1. `asked`: the listing requests made.
@pytest.mark.parametrize("replies, error, status, asked", [
    (['{"state": true, "data": []}'], KeyError, 1, 1),
    ([PAGE % 11500001], ValueError, 1, 1),                      # 100001 pages refused
    ([PAGE % 116, "console"], OSError, 1, 1),                   # page message unprintable
    ([PAGE % 116, '{"state": false, "count": 0, "data": []}'], requests.RequestException, 4, 5),
    ([requests.ConnectionError("down")], requests.ConnectionError, 4, 4),
    ([requests.ConnectionError("down"), "pause"], KeyboardInterrupt, 130, 1),
], ids=["no-count", "too-many-pages", "console", "page-refused", "unreachable", "ctrl-c-in-pause"])
def test_status_of_a_failed_listing(batch, monkeypatch, replies, error, status, asked):
    if "console" in replies:
        monkeypatch.setattr(sys, "stdout", BrokenConsole())
    if "pause" in replies:
        batch.time.sleep = interrupted
    batch.requests = Replies(*[r for r in replies if r not in ("console", "pause")])
    with pytest.raises(error):
        batch.main()
    assert STATUS.last_status() == status
    assert len(batch.requests.urls) == asked


def test_a_hundred_thousand_pages_are_read(batch, capsys):
    stop = type("Stop", (BaseException,), {})
    batch.requests = Replies(PAGE % 11500000, stop())
    with pytest.raises(stop):
        batch.main()
    assert capsys.readouterr().out == "正在获取第2页/总共100000页\n"


class JoinInterrupted(threading.Thread):
    """The first join made on the main thread (main's join of the read
    watchdog at its end) is interrupted."""
    interrupted = False

    def join(self, timeout=None):
        if not JoinInterrupted.interrupted and threading.current_thread() is threading.main_thread():
            JoinInterrupted.interrupted = True
            raise KeyboardInterrupt
        return super().join(timeout)


# An interrupt once the work is over is raised, and the status stays the work's.
@pytest.mark.parametrize("where, given_up", [("prompt", False), ("prompt", True),
                                             ("watchdog", False)])
def test_interrupt_after_the_work_keeps_its_status(batch, monkeypatch, tmp_path, where, given_up):
    batch.requests = Replies(PAGE % 1)
    if given_up:
        batch.get_url = lambda pickcode, cookie: 1 / 0
    if where == "prompt":
        monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(readline=interrupted))
    else:
        while any(t.name == "fernwick-watchdog" for t in threading.enumerate()):
            time.sleep(0.01)  # one left by an earlier test ends within a poll
        batch.get_preid = fernwick_get_preid
        batch.threading = types.SimpleNamespace(Thread=JoinInterrupted, Event=threading.Event,
                                                Lock=threading.Lock)
    with pytest.raises(KeyboardInterrupt):
        batch.main()
    assert STATUS.last_status() == (3 if given_up else 0)
    assert (tmp_path / OUT).exists() != given_up
    assert where == "prompt" or JoinInterrupted.interrupted


class FailingDispatch(WorkerHooks):
    """mythread, with main's dispatch failing once six entries are in flight:
    an interrupt as the third worker starts (started, but in no list of
    main's), or an error in main's first join. The entries in flight go on
    0.2 s later."""

    def __init__(self, fw, failure):
        super().__init__(fw)
        self.failure, self.in_flight, self.gate = failure, [], threading.Event()

    def fail(self, error, in_flight):
        while len(self.in_flight) < in_flight:
            time.sleep(0.005)
        threading.Timer(0.2, self.gate.set).start()
        raise error

    def started(self, worker):
        if self.failure == "start" and len(self.workers) == 3:
            self.fail(KeyboardInterrupt(), 3)

    def join(self, worker):
        if self.failure == "join":
            self.fail(RuntimeError("join failed"), 6)
        worker.join()


@pytest.mark.parametrize("failure, error, status, in_flight", [
    ("start", KeyboardInterrupt, 130, 3), ("join", RuntimeError, 1, 6)])
def test_main_failing_while_workers_run_stops_them(batch, tmp_path, failure, error, status,
                                                   in_flight):
    batch.get_sha1list = lambda cid, type2, cookie: batch.sha1list.extend(
        "f%02d|1|S|p%02d" % (i, i) for i in range(40))
    dispatch = batch.mythread = FailingDispatch(batch, failure)

    def get_url(pickcode, cookie):
        dispatch.in_flight.append(pickcode)
        assert dispatch.gate.wait(10)
        return "http://h/" + pickcode
    batch.get_url = get_url
    with pytest.raises(error):
        batch.main()
    # Only the files in flight were done, the worker in no list included,
    # and main ended after their lines were written; then every worker ends
    # (a thread may still be tearing down as main returns).
    assert len(dispatch.in_flight) == in_flight
    assert (tmp_path / OUT).read_text(encoding="utf-8").count("\n") == in_flight
    for worker in dispatch.workers:
        if worker.ident:
            worker.join(10)
            assert not worker.is_alive()
    assert STATUS.last_status() == status


# A thread the interpreter ends as it exits (before 3.14 it does so with a
# thread that wants the interpreter back) is unwound through the module's
# frames: closing a reply, or releasing the last reference to one, must let
# the unwinding pass.
@pytest.mark.parametrize("path", ["close", "release"])
def test_a_thread_ended_inside_a_destructor_ends_cleanly(path):
    result = run_python("""
        import sys, threading, time, types, fernwick

        inside = threading.Event()

        def wait_in_the_interpreter(*args):
            inside.set()
            time.sleep(0.5)  # wakes while the interpreter finalizes, and is ended

        class Reply:
            status_code, headers, text = 200, {}, '{"file_url": "u"}'
            raw = types.SimpleNamespace(shutdown=list)
            close = wait_in_the_interpreter if %r == "close" else list

            def iter_content(self, chunk_size):
                return [b"x"]

            def __del__(self):
                if %r == "release":
                    wait_in_the_interpreter()

        fernwick.requests = types.SimpleNamespace(get=lambda url, **kwargs: Reply())
        call = fernwick.get_preid if %r == "close" else fernwick.get_url
        args = ("http://h.example/dl/x", "c", "1") if %r == "close" else ("pc", "c")
        threading.Thread(target=call, args=args, daemon=True).start()
        inside.wait(10)

        class Slow:  # keeps the interpreter finalizing while that thread wakes
            def __del__(self, sleep=time.sleep):
                sleep(1.5)
        sys.modules["holder"] = holder = types.ModuleType("holder")
        holder.slow = Slow()
        print("exiting")
    """ % ((path,) * 4), timeout=60)
    assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr
    assert "terminate" not in result.stderr
