"""One benchmark run of fernwick.main() against a stand-in that is already
serving, in this process alone; its own figures are written as JSON.

    python bench/client.py --base-url http://127.0.0.1:PORT --cid CID \
        --recursion 是|否 --workdir DIR --out figures.json

The run happens in DIR (config.ini is written there, the output file lands
there); standard output goes wherever the caller sends it and standard input
should be at end of file, so the final prompt returns at once.

What is measured here:
  * wall and CPU time (resource.getrusage) of fernwick.main() alone, and of
    the whole process; peak RSS (VmHWM, see peak_rss) before and after main();
  * per download: the bytes taken out of the kernel by the reply's socket
    (socket.SocketIO.readinto is wrapped; http.client reads every reply,
    status line and headers included, through it), and the bytes that
    iter_content handed to the module;
  * per folder dispatch: when each of the six workers ended and when its
    last entry was done (fernwick.mythread and fernwick.run_down are
    replaced by thin timing wrappers; the module looks both up at each use);
  * time spent in the listing calls (get_cidlist, get_sha1list);
  * thread CPU time (time.thread_time) of the main thread in main() and of
    each worker, and the part of it spent inside requests (the get call and
    the reply's text, iter_content steps and close), inside json.loads and
    inside hashlib.sha1 (the module's json and hashlib attributes are
    replaced by thin proxies);
  * the module's watchdog thread (the threads it starts under the name
    "fernwick-watchdog" through its threading attribute, whose Thread is
    replaced by a subclass): how many were started, the wall time the
    starting thread spent in their start() and join(), and their own
    thread CPU time and lifetime;
  * with --floor, the same HTTP traffic without the module (floor_main).
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


def count_socket_reads():
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


class Meter(object):
    """Thread CPU time (time.thread_time) and wall time spent inside given
    calls, added up by kind, with the number of calls."""

    def __init__(self):
        self.lock = threading.Lock()
        self.kinds = {}

    @staticmethod
    def start():
        return time.thread_time(), time.monotonic()

    def stop(self, kind, token, by_thread=False):
        if by_thread:
            main = threading.current_thread() is threading.main_thread()
            kind = "%s (%s)" % (kind, "main thread" if main else "workers")
        cpu = time.thread_time() - token[0]
        wall = time.monotonic() - token[1]
        with self.lock:
            k = self.kinds.get(kind)
            if k is None:
                k = self.kinds[kind] = {"calls": 0, "cpu": 0.0, "wall": 0.0}
            k["calls"] += 1
            k["cpu"] += cpu
            k["wall"] += wall

    def timed(self, kind, fn):
        def call(*args, **kwargs):
            token = self.start()
            try:
                return fn(*args, **kwargs)
            finally:
                self.stop(kind, token)
        return call


def counting_router(Router, Response, base_url, downloads, lock, meter):
    """The stand-in's router. The thread CPU spent in requests (the get call,
    and on the replies: text, iter_content steps, close) is added up, and
    download replies (stream=True) are tracked."""

    class TimedResponse(Response):
        @property
        def text(self):
            token = meter.start()
            try:
                return Response.text.fget(self)
            finally:
                meter.stop("requests", token, True)

        def iter_content(self, *args, **kwargs):
            record = self.__dict__.get("fw_download")
            chunks = Response.iter_content(self, *args, **kwargs)
            while True:
                token = meter.start()
                try:
                    chunk = next(chunks)
                except StopIteration:
                    meter.stop("requests", token, True)
                    return
                meter.stop("requests", token, True)
                if record is not None:
                    record.delivered += len(chunk)
                yield chunk

        def close(self):
            token = meter.start()
            try:
                return Response.close(self)
            finally:
                meter.stop("requests", token, True)

    class CountingRouter(Router):
        def get(self, url, *args, **kwargs):
            token = meter.start()
            try:
                response = Router.get(self, url, *args, **kwargs)
            finally:
                meter.stop("requests", token, True)
            if type(response) is Response:
                response.__class__ = TimedResponse
            if not kwargs.get("stream"):
                return response
            try:
                io = response.raw._fp.fp.raw
            except AttributeError:
                io = None
            path = url.split("?", 1)[0]
            length = response.headers.get("Content-Length")
            record = Download(path.rsplit("/", 1)[-1], int(length) if length else None, io)
            response.__dict__["fw_download"] = record
            with lock:
                downloads.append(record)
            return response

    return CountingRouter(base_url)


class PassThrough(object):
    """The requests package as the module used it before it pooled
    connections: get is the package's module-level get (a new session and
    connection per call); every other attribute is the package's own."""

    def __init__(self, real):
        self.__dict__["_real"] = real

    def get(self, url, *args, **kwargs):
        return self._real.get(url, *args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.__dict__["_real"], name)


class Proxy(object):
    """A module with some functions replaced (fernwick looks its helper
    modules up at each use)."""

    def __init__(self, module, **replaced):
        self.__dict__["_module"] = module
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(self.__dict__["_module"], name)


WATCHDOG = "fernwick-watchdog"   # the name the module gives its watchdog thread


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


def instrument(fernwick, dispatches, lock, meter):
    import hashlib
    import json
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
            token = meter.start()
            try:
                base_thread.run(self)
            finally:
                now = time.monotonic()
                meter.stop("worker threads", token)
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

    class WatchdogThread(threading.Thread):
        """threading.Thread as the module sees it. For threads named
        WATCHDOG: the wall time start() and join() hold up the calling thread
        (a worker, as a rule), and the thread's own CPU time and lifetime
        (its run()). Other threads are left alone."""

        def _metered(self, label, method, *args, wall=False):
            if self.name != WATCHDOG:
                return method(self, *args)
            token = meter.start()
            try:
                return method(self, *args)
            finally:
                meter.stop(label, token, wall)

        def start(self):
            return self._metered("watchdog start", threading.Thread.start, wall=True)

        def join(self, timeout=None):
            return self._metered("watchdog join", threading.Thread.join, timeout, wall=True)

        def run(self):
            return self._metered("watchdog thread", threading.Thread.run)

    fernwick.mythread = TimedThread
    fernwick.run_down = timed_run_down
    fernwick.get_cidlist = meter.timed("get_cidlist", fernwick.get_cidlist)
    fernwick.get_sha1list = meter.timed("get_sha1list", fernwick.get_sha1list)
    fernwick.json = Proxy(json, loads=meter.timed("json", json.loads))
    fernwick.hashlib = Proxy(hashlib, sha1=meter.timed("sha1", hashlib.sha1))
    # mythread's __init__ also looks Thread up here; it inherits __init__.
    fernwick.threading = Proxy(threading, Thread=WatchdogThread)


# -- the floor ----------------------------------------------------------------
API = "https://api.drive.example"


def floor_main(http, cid, recursive, meter):
    """The same HTTP traffic as fernwick.main() -- the same pages, one address
    request and one streamed prefix read per file, six threads per folder,
    module-level get calls -- with as little client work around it as plain
    Python allows: what requests and the stand-in cost on their own."""
    import hashlib
    import json

    def items_of(folder):
        items, offset = [], 0
        while True:
            r = http.get("%s/files?aid=1&cid=%s&offset=%d&limit=115&show_dir=1&format=json"
                         % (API, folder, offset), timeout=6)
            page = json.loads(r.text)
            items += page["data"]
            offset += 115
            if offset >= page["count"]:
                return items

    folders = [cid]
    if recursive:
        i = 0
        while i < len(folders):
            folders += [str(it["cid"]) for it in items_of(folders[i]) if "s" not in it]
            i += 1
    lock = threading.Lock()
    with open("QuillsiftBYOskel.txt", "a", encoding="utf-8") as out:
        for folder in folders:
            work = queue.Queue()
            for it in items_of(folder):
                if "s" in it:
                    work.put(it)

            def worker():
                while True:
                    try:
                        it = work.get_nowait()
                    except queue.Empty:
                        return
                    r = http.get("%s/files/download?pickcode=%s" % (API, it["pc"]), timeout=6)
                    url = json.loads(r.text)["file_url"]
                    r = http.get(url, stream=True, timeout=6)
                    prefix = bytearray()
                    for chunk in r.iter_content(131072):
                        prefix += chunk[:131072 - len(prefix)]
                        if len(prefix) >= 131072:
                            break
                    r.close()
                    digest = hashlib.sha1(prefix).hexdigest().upper() if prefix else ""
                    line = "%s|%s|%s|%s" % (it["n"], it["s"], it["sha"], digest)
                    with lock:
                        print(line)
                        out.write(line + "\n")

            def timed_worker():
                token = meter.start()
                try:
                    worker()
                finally:
                    meter.stop("worker threads", token)

            threads = [threading.Thread(target=timed_worker) for _ in range(6)]
            token = meter.start()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            meter.stop("dispatch", token)


def peak_rss():
    """This process's peak resident size in bytes: VmHWM, the high-water mark
    of its own address space. ru_maxrss is not used for this: Linux carries
    the parent's peak over fork and exec into it, so a small client started
    from a bigger parent reports the parent's size."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def rusage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    hwm = peak_rss()
    return (r.ru_utime + r.ru_stime, r.ru_utime, r.ru_stime,
            hwm if hwm is not None else r.ru_maxrss * 1024, r.ru_maxrss * 1024)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--base-url", default=None, help="the stand-in (not with --network)")
    p.add_argument("--cid", required=True)
    p.add_argument("--recursion", default="否", choices=["是", "否"])
    p.add_argument("--workdir", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--no-instrument", action="store_true",
                   help="leave mythread/run_down/listings unwrapped")
    p.add_argument("--floor", action="store_true",
                   help="run the same HTTP traffic without the module (see floor_main)")
    p.add_argument("--network", action="store_true",
                   help="the module as installed, to its own hosts with the real requests "
                        "(no router, no instrumentation)")
    p.add_argument("--today", action="store_true",
                   help="with --network: fernwick.requests replaced by a pass-through "
                        "whose get calls requests.get")
    p.add_argument("--progress", default=None, choices=["是", "否"],
                   help="config.ini's progress key (default: none)")
    args = p.parse_args()
    if not args.network:
        if args.base_url is None:
            p.error("--base-url is required without --network")
        count_socket_reads()
    out = os.path.abspath(args.out)

    os.makedirs(args.workdir, exist_ok=True)
    os.chdir(args.workdir)
    with open("config.ini", "w", encoding="utf-8") as f:
        f.write("[必须参数]\ncid = %s\ntype = 0\ncookie = c\n[功能参数]\nrecursion = %s\n"
                % (args.cid, args.recursion))
        if args.progress:
            f.write("progress = %s\n" % args.progress)
    if os.path.exists("QuillsiftBYOskel.txt"):
        os.remove("QuillsiftBYOskel.txt")

    if ROOT not in sys.path:
        sys.path.append(ROOT)
    import fernwick
    import requests

    lock = threading.Lock()
    meter = Meter()
    downloads, dispatches = [], []
    if args.network:
        router = None
        if args.today:
            fernwick.requests = PassThrough(requests)
    else:
        from standin.route import Router
        fernwick.requests = counting_router(Router, requests.Response, args.base_url,
                                            downloads, lock, meter)
        router = fernwick.requests
        if not args.no_instrument and not args.floor:
            instrument(fernwick, dispatches, lock, meter)

    cpu0, user0, sys0, rss0, _ = rusage()
    t0 = time.monotonic()
    main_token = meter.start()
    error = None
    try:
        if args.floor:
            floor_main(router, args.cid, args.recursion == "是", meter)
        else:
            fernwick.main()
    except BaseException as e:  # reported, not hidden
        error = "%s: %s" % (type(e).__name__, e)
    meter.stop("main thread", main_token)
    wall = time.monotonic() - t0
    cpu1, user1, sys1, rss1, maxrss1 = rusage()
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
        "ru_maxrss": maxrss1,
        "downloads": [d.figures() for d in downloads],
        "dispatches": [d.figures() for d in dispatches],
        "meter": meter.kinds,
        "threads_left": threading.active_count(),
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(figures, f)
    return 1 if error else 0


if __name__ == "__main__":
    sys.exit(main())
