"""Reference-count neutrality: every callable, called many times through its
successes, its binding errors and the errors of its body, leaves no object,
memory block or reference behind."""
import ctypes
import gc
import hashlib
import io
import json
import os
import queue
import sys
import threading
import time
import types

import pytest
import requests

from standin import Drive, StandIn

SANITIZED = os.environ.get("FERNWICK_SANITIZED") == "1"
CALLS = 100 if SANITIZED else 200
NOISE = CALLS // 4  # a leak of one object per call grows a round by CALLS
COOKIE = "".join(["ck=", "v1"])  # not interned: only the module's calls refer to it
CID = "".join(["7", "7"])
PY_CALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                            ctypes.py_object)(("PyObject_Call", ctypes.pythonapi))
NO_SLEEP = types.SimpleNamespace(time=time.time, monotonic=time.monotonic, sleep=lambda s: None)


def page(count, items):
    return json.dumps({"state": True, "count": count, "data": items})


FILE = {"n": "a|b.txt", "s": 10, "sha": "AB", "pc": "PC", "fid": "1", "cid": "0"}
PAGES = {  # cid -> (first page, second page)
    "0": (page(2, [{"cid": "9", "n": "d", "pid": "0"}, FILE]), None),
    "9": (page(1, [FILE]), None),
    "P": (page(130, [FILE, FILE]), page(130, [FILE])),
    "T": (json.dumps({"state": True, "count": 1, "data": 5}), None),
}


class Body:
    """A download reply: `size` bytes of which `sent` arrive, a raw stream
    that can be shut down (so the watchdog timer runs)."""

    def __init__(self, status=200, size=1000, sent=1000):
        self.status_code = status
        self.headers = {"Content-Length": str(size)}
        self.raw = types.SimpleNamespace(shutdown=lambda: None)
        self.sent = sent

    def iter_content(self, chunk_size):
        return iter([b"x" * self.sent])

    def close(self):
        pass


class FakeRequests:
    """Answers by address; keeps a count, not a record, so it holds nothing."""
    exceptions, HTTPError, Timeout = requests.exceptions, requests.HTTPError, requests.Timeout
    RequestException, ConnectionError = requests.RequestException, requests.ConnectionError

    def __init__(self):
        self.count = 0

    def get(self, url, **kwargs):
        self.count += 1
        if "FAIL" in url:
            raise requests.ConnectionError("refused")
        if "/dl/" in url:
            return Body(*{"E500": (500,), "SHORT": (200, 5000)}.get(url.rsplit("/", 1)[1], ()))
        if "pickcode=" in url:
            text = '{"state": false}' if "NOKEY" in url else '{"file_url": "http://h.example/dl/%s"}' % (
                url.split("pickcode=")[1].split("&")[0])
            return types.SimpleNamespace(text=text)
        cid = url.split("cid=")[1].split("&")[0]
        first, second = PAGES[cid]
        return types.SimpleNamespace(text=second if "offset=115" in url else first)


def equal(got, wanted):
    assert got == wanted


def raises(error, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except error:
        return
    raise AssertionError("%s not raised" % error.__name__)


X1000 = hashlib.sha1(b"x" * 1000).hexdigest().upper()


def run_down(fw, entry):
    q = queue.Queue()
    q.put(entry)
    fw.run_down(q, COOKIE, CID)


def worker(fw, entry):
    q = queue.Queue()
    q.put(entry)
    fw.mythread(q, COOKIE, CID).run()


def listing(fw, fn, *args):
    fn(*args)
    assert len(fw.sha1list) + len(fw.cidlist) in (1, 3)
    fw.sha1list.clear()
    fw.cidlist.clear()


CASES = {
    "get_url": lambda fw: equal(fw.get_url("PC", COOKIE), "http://h.example/dl/PC"),
    "get_url KeyError": lambda fw: raises(KeyError, fw.get_url, "NOKEY", COOKIE),
    "get_url request fails": lambda fw: raises(requests.ConnectionError, fw.get_url, "FAIL", COOKIE),
    "get_preid": lambda fw: equal(fw.get_preid("http://h.example/dl/PC", COOKIE, CID), X1000),
    "get_preid status": lambda fw: raises(requests.HTTPError, fw.get_preid,
                                          "http://h.example/dl/E500", COOKIE, CID),
    "get_preid short": lambda fw: raises(requests.RequestException, fw.get_preid,
                                         "http://h.example/dl/SHORT", COOKIE, CID),
    "get_preid no host": lambda fw: raises(IndexError, fw.get_preid, "nohost", COOKIE, CID),
    "get_sha1list pages": lambda fw: listing(fw, fw.get_sha1list, "P", "mp4", COOKIE),
    "get_cidlist": lambda fw: listing(fw, fw.get_cidlist, "0", COOKIE),
    "get_sha1list bad data": lambda fw: raises(TypeError, fw.get_sha1list, "T", "0", COOKIE),
    "run_down": lambda fw: run_down(fw, "a|b.txt|10|AB|PC"),
    "run_down gives up": lambda fw: run_down(fw, "lost|1|S|FAIL"),
    "mythread": lambda fw: worker(fw, "a|b.txt|10|AB|PC"),
    "too many positional": lambda fw: raises(TypeError, fw.get_url, 1, 2, 3),
    "missing": lambda fw: raises(TypeError, fw.get_preid, "u", cookie=COOKIE),
    "multiple values": lambda fw: raises(TypeError, fw.get_url, "p", COOKIE, pickcode=1),
    "unexpected keyword": lambda fw: raises(TypeError, fw.get_cidlist, CID, COOKIE, x=1),
    "keyword not str": lambda fw: raises(TypeError, PY_CALL, fw.get_url, ("p", COOKIE), {1: 2}),
    "main positional": lambda fw: raises(TypeError, fw.main, COOKIE),
    "main keyword": lambda fw: raises(TypeError, fw.main, x=COOKIE),
    "run arguments": lambda fw: raises(TypeError, fw.mythread.run, 1, 2),
    "run keyword": lambda fw: raises(TypeError, fw.mythread.run, None, x=1),
    "init missing": lambda fw: raises(TypeError, fw.mythread, queue.Queue(), COOKIE),
    "main": lambda fw: fw.main(),
}
CONFIG = "[必须参数]\ncid = 0\ntype = 0\ncookie = ck\n[功能参数]\nrecursion = 是\n"


@pytest.fixture
def quiet(fw, restore_module_attrs, monkeypatch, tmp_path):
    """Output to /dev/null, config.ini in a fresh directory, no pauses."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    devnull = open(os.devnull, "w", encoding="utf-8")
    monkeypatch.setattr(sys, "stdout", devnull)
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    fw.time = NO_SLEEP
    yield fw
    devnull.close()


def shared(fw):
    """Objects every call touches, with the module's functions."""
    objects = [fw.sha1list, fw.cidlist, fw.lock, fw.encodinglist, fw.requests, fw.mythread,
               COOKIE, CID, vars(fw)]
    objects += [getattr(fw, n) for n in ("run_down", "get_url", "get_preid", "get_sha1list",
                                         "get_cidlist", "main")]
    return objects + [vars(fw.mythread)["__init__"], vars(fw.mythread)["run"]]


def settle(threads):
    deadline = time.monotonic() + 10
    while threading.active_count() > threads and time.monotonic() < deadline:
        time.sleep(0.01)  # watchdog timers and workers wind down
    gc.collect()


def growth(call, calls, refs):
    """Objects, memory blocks and reference counts added by the second of two
    equal rounds of `calls` calls, after a warm-up round."""
    threads = threading.active_count()

    def round_():
        for _ in range(calls):
            call()
        settle(threads)
        return len(gc.get_objects()), sys.getallocatedblocks()

    round_()
    counts = [sys.getrefcount(obj) for obj in refs]
    first = round_()
    second = round_()
    after = [sys.getrefcount(obj) for obj in refs]
    return second[0] - first[0], second[1] - first[1], [a - b for a, b in zip(after, counts)]


def check_flat(objects, blocks, refs, noise):
    assert objects < noise and refs == [0] * len(refs)
    if sys.getallocatedblocks():  # 0 when the interpreter uses plain malloc
        assert blocks < noise


@pytest.mark.parametrize("case", list(CASES))
def test_calls_leave_nothing_behind(quiet, case):
    quiet.requests = FakeRequests()
    call = CASES[case]
    objects, blocks, refs = growth(lambda: call(quiet), CALLS, shared(quiet))
    check_flat(objects, blocks, refs, NOISE)


def test_the_measure_sees_a_leak_of_one_object_per_call(quiet):
    quiet.requests = FakeRequests()
    kept = []
    quiet.get_preid = lambda url, cookie, cid: kept.append(([cookie], url + "x")) or "H"
    objects, blocks, refs = growth(lambda: run_down(quiet, "a|1|S|PC"), CALLS, [COOKIE])
    assert objects >= 2 * CALLS and refs == [2 * CALLS]  # two rounds
    if sys.getallocatedblocks():
        assert blocks >= 3 * CALLS


def test_main_runs_against_the_stand_in_leave_nothing_behind(quiet, tmp_path):
    drive = Drive.tree(2, 20, size=1000)  # 60 files a run
    (tmp_path / "config.ini").write_text(CONFIG.replace("cid = 0", "cid = " + drive.root.cid),
                                         encoding="utf-8")
    runs = 2 if SANITIZED else 4
    with StandIn(drive) as server:
        quiet.requests = server.router()

        def run():
            sys.stdin = io.StringIO("")
            quiet.main()
            quiet.requests.calls.clear()
            server.log.clear()

        objects, blocks, refs = growth(run, runs, shared(quiet))
    assert len((tmp_path / "QuillsiftBYOskel.txt").read_text("utf-8").splitlines()) == 3 * runs * 60
    check_flat(objects, blocks, refs, runs * 60 // 2)
