"""One benchmark run of fernwick.main() against a stand-in that is already
serving, in this process alone; its own figures are written as JSON.

    python bench/client.py --base-url http://127.0.0.1:PORT --cid CID \
        --recursion 是|否 --workdir DIR --out figures.json

The run happens in DIR (config.ini is written there, the output file lands
there); standard output goes wherever the caller sends it and standard input
should be at end of file, so the final prompt returns at once.

What is measured here:
  * wall and CPU time (resource.getrusage) of fernwick.main() alone, and of
    the whole process; peak RSS (ru_maxrss) before and after main();
  * per download: the bytes taken out of the kernel by the reply's socket
    (socket.SocketIO.readinto is wrapped; http.client reads every reply,
    status line and headers included, through it), and the bytes that
    iter_content handed to the module;
  * per folder dispatch: when each of the six workers ended and when its
    last entry was done (fernwick.mythread and fernwick.run_down are
    replaced by thin timing wrappers; the module looks both up at each use);
  * time spent in the listing calls (get_cidlist, get_sha1list).
"""

import argparse
import json
import os
import queue
import resource
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# -- socket reads ------------------------------------------------------------
# Every byte http.client takes from a socket passes SocketIO.readinto (the raw
# stream under the buffered reader that makefile() gives). The count lives on
# the SocketIO object, so a download's count can be read after it is closed.
_readinto = socket.SocketIO.readinto


def _counting_readinto(self, b):
    n = _readinto(self, b)
    if n:
        self.__dict__["fw_read"] = self.__dict__.get("fw_read", 0) + n
    return n


socket.SocketIO.readinto = _counting_readinto


class Download(object):
    __slots__ = ("pickcode", "length", "io", "delivered", "started", "ended")

    def __init__(self, pickcode, length, io):
        self.pickcode = pickcode
        self.length = length
        self.io = io
        self.delivered = 0
        self.started = time.monotonic()
        self.ended = None

    def figures(self):
        return {
            "pickcode": self.pickcode,
            "length": self.length,
            "socket_read": self.io.__dict__.get("fw_read", 0) if self.io is not None else None,
            "delivered": self.delivered,
        }


def counting_router(Router, base_url, downloads, lock):
    class CountingRouter(Router):
        """The stand-in's router; download replies (stream=True) are tracked."""

        def get(self, url, *args, **kwargs):
            response = Router.get(self, url, *args, **kwargs)
            if not kwargs.get("stream"):
                return response
            try:
                io = response.raw._fp.fp.raw
            except AttributeError:
                io = None
            path = url.split("?", 1)[0]
            length = response.headers.get("Content-Length")
            record = Download(path.rsplit("/", 1)[-1], int(length) if length else None, io)
            with lock:
                downloads.append(record)
            original = response.iter_content

            def iter_content(*a, **k):
                for chunk in original(*a, **k):
                    record.delivered += len(chunk)
                    yield chunk
            response.iter_content = iter_content
            return response

    return CountingRouter(base_url)


# -- dispatch timing ---------------------------------------------------------
class Dispatch(object):
    def __init__(self, q, cid):
        self.q = q              # kept alive, so no two dispatches share an id
        self.cid = cid
        self.created = time.monotonic()
        self.threads = 0
        self.thread_ends = []
        self.last_item = None   # end of the last run_down that took an entry
        self.items = 0
        self.empty_waits = []   # seconds a worker spent in a take that found nothing

    def figures(self):
        end = max(self.thread_ends) if self.thread_ends else None
        last = self.last_item if self.last_item is not None else self.created
        return {
            "cid": str(self.cid),
            "items": self.items,
            "threads": self.threads,
            "duration": (end - self.created) if end is not None else None,
            "tail": (end - last) if end is not None else None,
            "empty_waits": self.empty_waits,
        }


def instrument(fernwick, dispatches, lock, timings):
    base_thread = fernwick.mythread
    run_down = fernwick.run_down
    by_queue = {}

    def dispatch_of(q, cid=None):
        with lock:
            d = by_queue.get(id(q))
            if d is None or d.q is not q:
                d = Dispatch(q, cid)
                by_queue[id(q)] = d
                dispatches.append(d)
            return d

    class TimedThread(base_thread):
        def __init__(self, q, cookie, cid):
            base_thread.__init__(self, q, cookie, cid)
            d = dispatch_of(q, cid)
            with lock:
                d.threads += 1

        def run(self):
            d = dispatch_of(self.q)
            try:
                base_thread.run(self)
            finally:
                now = time.monotonic()
                with lock:
                    d.thread_ends.append(now)

    def timed_run_down(q, cookie, cid):
        d = dispatch_of(q, cid)
        start = time.monotonic()
        try:
            result = run_down(q, cookie, cid)
        except queue.Empty:
            with lock:
                d.empty_waits.append(time.monotonic() - start)
            raise
        now = time.monotonic()
        with lock:
            d.items += 1
            if d.last_item is None or now > d.last_item:
                d.last_item = now
        return result

    def timed(name):
        original = getattr(fernwick, name)
        slot = timings.setdefault(name, {"calls": 0, "seconds": 0.0})

        def call(*args):
            start = time.monotonic()
            try:
                return original(*args)
            finally:
                slot["calls"] += 1
                slot["seconds"] += time.monotonic() - start
        return call

    fernwick.mythread = TimedThread
    fernwick.run_down = timed_run_down
    fernwick.get_cidlist = timed("get_cidlist")
    fernwick.get_sha1list = timed("get_sha1list")


def rusage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime, r.ru_utime, r.ru_stime, r.ru_maxrss * 1024


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--base-url", required=True)
    p.add_argument("--cid", required=True)
    p.add_argument("--recursion", default="否", choices=["是", "否"])
    p.add_argument("--workdir", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--no-instrument", action="store_true",
                   help="leave mythread/run_down/listings unwrapped")
    args = p.parse_args()
    out = os.path.abspath(args.out)

    os.makedirs(args.workdir, exist_ok=True)
    os.chdir(args.workdir)
    with open("config.ini", "w", encoding="utf-8") as f:
        f.write("[必须参数]\ncid = %s\ntype = 0\ncookie = c\n[功能参数]\nrecursion = %s\n"
                % (args.cid, args.recursion))
    if os.path.exists("QuillsiftBYOskel.txt"):
        os.remove("QuillsiftBYOskel.txt")

    if ROOT not in sys.path:
        sys.path.append(ROOT)
    import fernwick
    from standin.route import Router

    lock = threading.Lock()
    downloads, dispatches, timings = [], [], {}
    fernwick.requests = counting_router(Router, args.base_url, downloads, lock)
    if not args.no_instrument:
        instrument(fernwick, dispatches, lock, timings)

    cpu0, user0, sys0, rss0 = rusage()
    t0 = time.monotonic()
    error = None
    try:
        fernwick.main()
    except BaseException as e:  # reported, not hidden
        error = "%s: %s" % (type(e).__name__, e)
    wall = time.monotonic() - t0
    cpu1, user1, sys1, rss1 = rusage()
    sys.stdout.flush()

    figures = {
        "module": fernwick.__file__,
        "python": sys.version.split()[0],
        "error": error,
        "wall": wall,
        "cpu": cpu1 - cpu0,
        "cpu_user": user1 - user0,
        "cpu_sys": sys1 - sys0,
        "cpu_process": cpu1,
        "rss_before": rss0,
        "rss_peak": rss1,
        "downloads": [d.figures() for d in downloads],
        "dispatches": [d.figures() for d in dispatches],
        "timings": timings,
        "threads_left": threading.active_count(),
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(figures, f)
    return 1 if error else 0


if __name__ == "__main__":
    sys.exit(main())
