"""The interpreter's exit while threads are inside the module: the module's
own thread is joined first, and a thread the interpreter ends mid-call
(before 3.14 it unwinds the thread's frames) touches no object on its way out,
however late in the exit it wakes."""
import os
import subprocess
import sys
import time

import pytest

from conftest import python_env
from standin import Drive, Faults, StandIn

SANITIZED = os.environ.get("FERNWICK_SANITIZED") == "1"
SLOWER = 3 if SANITIZED else 1
RUNS = int(os.environ.get("FERNWICK_EXIT_RUNS", "3"))
WAIT = 1.5 * SLOWER  # each reply's delay: it comes once the interpreter has gone
CONFIG = "[必须参数]\ncid = {}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"

# Every kind of call on daemon threads, main's workers among them, each named
# "fw-call" (as the system shows threads) and waiting for its reply when the
# interpreter exits. The C library's exit then waits for the end of standard
# input, so the replies wake the threads after the interpreter has finished,
# as a slow process exit (a sanitizer's) lets them.
CHILD = """
import ctypes, sys, threading
import fernwick
from standin import Router

base, cid, pickcode, trickling = sys.argv[1:]
libc = ctypes.CDLL(None)
libc.__cxa_atexit(libc.getchar, None, None)
fernwick.requests = Router(base)

def named(target, *args):
    libc.prctl(15, b"fw-call", 0, 0, 0)
    return target(*args)

class Worker(fernwick.mythread):
    def run(self):
        named(super().run)

fernwick.mythread = Worker
print("ready", flush=True)
sys.stdin.readline()
threading.Thread(target=fernwick.main, daemon=True).start()
for call in [(fernwick.get_sha1list, cid, "0", "c"), (fernwick.get_url, pickcode, "c"),
             (fernwick.get_preid, trickling, "c", cid)]:
    threading.Thread(target=named, args=call, daemon=True).start()
sys.stdin.readline()
"""


def calls(pid):
    """How many threads of the child are named fw-call."""
    names = []
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as comm:
                names.append(comm.read().strip())
        except OSError:
            pass  # ended meanwhile
    return names.count("fw-call")


def wait_for(condition, timeout=30 * SLOWER):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


@pytest.fixture(scope="module")
def server():
    drive = Drive(seed=5)
    for i in range(8):
        drive.root.add_file("f%d" % i, 5000 + i, latency=WAIT)
    lone = drive.root.add_folder("lone")
    faults = Faults()
    faults.add("api_list", "slow", times=10 ** 6, match={"cid": lone.cid}, seconds=WAIT)
    address = lone.add_file("address", 100)
    faults.add("address", "slow", times=10 ** 6, match={"pickcode": address.pickcode}, seconds=WAIT)
    # a read the watchdog watches: one byte now and then, never the whole prefix
    trickling = lone.add_file("trickling", 1 << 20, trickle=[1, 0.2])
    with StandIn(drive, faults=faults) as server:
        server.lone, server.address, server.trickling = lone, address, trickling
        yield server


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="thread names in /proc")
@pytest.mark.parametrize("run", range(RUNS))
def test_threads_mid_call_at_exit_end_cleanly(tmp_path, server, run):
    (tmp_path / "config.ini").write_text(CONFIG.format(server.root_cid), encoding="utf-8")
    log = server.log
    seen = len(log)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, server.base_url, server.lone.cid, server.address.pickcode,
         server.download_url(server.trickling)], cwd=str(tmp_path), env=python_env(),
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def new(kind, **params):
        return [r for r in log.records()[seen:] if r.kind == kind and
                all(r.param(k) == v for k, v in params.items())]
    try:
        assert child.stdout.readline() == b"ready\n"
        child.stdin.write(b"\n")
        child.stdin.flush()
        wait_for(lambda: len(new("download")) >= 7 and new("api_list", cid=server.lone.cid) and
                 new("address", pickcode=server.address.pickcode))
        assert calls(child.pid) >= 9  # and the watchdog, named after the thread that started it
        child.stdin.write(b"\n")  # exit, every call waiting for its reply
        child.stdin.flush()
        if (3, 9) <= sys.version_info < (3, 14):
            wait_for(lambda: calls(child.pid) == 0)
        else:  # from 3.14, and on 3.7, such a thread waits for good for the
            time.sleep(2 * WAIT)  # interpreter's lock, which the exit keeps
        out, err = child.communicate(timeout=30 * SLOWER)  # ends standard input
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert (child.returncode, err.decode()) == (0, ""), err.decode()
