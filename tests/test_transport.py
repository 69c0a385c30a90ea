"""How requests reach the service: one shared kept-alive session and a
ranged download while the module's `requests` is the installed package,
every call as it is made to whoever replaces it."""
import gc
import hashlib
import http.server
import os
import queue
import types
import threading
import time
from unittest import mock

import pytest
import requests

from conftest import beyond_the_emulator, beyond_thread_sanitizer, run_python
from standin import Drive, StandIn

PREFIX = 131072
BODY = bytes(range(251)) * 1200  # 301200 bytes, no period aligned with the prefix
WHOLE = ("200 OK", [], BODY)


def sha(data):
    return hashlib.sha1(data).hexdigest().upper() if data else ""


class Scripted(http.server.ThreadingHTTPServer):
    """Answers each request with the next reply of `script` (the last one
    repeats); records every request's headers and counts connections."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), ScriptedHandler)
        self.script, self.requests, self.connections, self.open = [], [], 0, 0
        self.lock = threading.Condition()

    def handle_error(self, request, client_address):
        pass  # a client that drops a connection with a body unread resets it

    @property
    def url(self):
        return "http://127.0.0.1:%d/dl/file" % self.server_address[1]


class ScriptedHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        with self.server.lock:
            self.server.connections += 1
            self.server.open += 1

    def finish(self):
        super().finish()
        with self.server.lock:
            self.server.open -= 1
            self.server.lock.notify_all()

    def log_message(self, *args):
        pass

    def do_GET(self):
        with self.server.lock:
            self.server.requests.append(list(self.headers.items()))
            script = self.server.script
            status, headers, body = script.pop(0) if len(script) > 1 else script[0]
        self.send_response(int(status.split()[0]), status.partition(" ")[2])
        names = {name.lower() for name, _ in headers}
        for name, value in headers:
            self.send_header(name, value)
        if "transfer-encoding" in names:
            self.end_headers()
            for at in range(0, len(body), 8192):
                piece = body[at:at + 8192]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            if "content-length" not in names:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)


@pytest.fixture
def scripted():
    server = Scripted()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.fixture
def real(fw, monkeypatch):
    monkeypatch.setattr(fw, "requests", requests)
    return fw


def partial(first, last, size, body=None, extra=()):
    return ("206 Partial Content",
            [("Content-Range", "bytes %d-%d/%s" % (first, last, size))] + list(extra),
            BODY[first:last + 1] if body is None else body)


def without_range(headers):
    return [(k, v) for k, v in headers if k != "Range"]


# Answers that stand for the prefix: one request, no second one.
@pytest.mark.parametrize("reply, data", [
    (partial(0, PREFIX - 1, len(BODY)), BODY[:PREFIX]),
    (partial(0, PREFIX - 1, "*"), BODY[:PREFIX]),
    (partial(0, 999, 1000, extra=[("Content-Encoding", "Identity")]), BODY[:1000]),
    (("206 Partial Content", [("content-range", "BYTES 0-131071/301200"),
                              ("Transfer-Encoding", "chunked")], BODY[:PREFIX]), BODY[:PREFIX]),
    (("416 Range Not Satisfiable", [("Content-Range", "bytes */0")], b"<p>empty</p>"), b""),
    (WHOLE, BODY[:PREFIX]),  # the range ignored
])
def test_answer_used_as_it_comes(real, scripted, reply, data):
    scripted.script = [reply]
    assert real.get_preid(scripted.url, "uid=1", 5) == sha(data)
    assert len(scripted.requests) == 1
    assert ("Range", "bytes=0-131071") in scripted.requests[0]


# Answers that cannot stand for the prefix: dropped, and the file fetched
# again with the plain request.
@pytest.mark.parametrize("reply", [
    partial(5, PREFIX + 4, len(BODY)),                                 # not from the start
    partial(0, 999, len(BODY)),                                        # short of the prefix
    partial(0, PREFIX - 1, len(BODY), extra=[("Content-Encoding", "gzip")]),
    ("206 Partial Content", [("Content-Range", "bytes 0-x/301200")], BODY[:PREFIX]),
    ("206 Partial Content", [("Content-Range", "bytez 0-131071/301200")], BODY[:PREFIX]),
    ("206 Partial Content", [("Content-Range", "bytes 0-131071/1000")], BODY[:PREFIX]),
    ("206 Partial Content", [], BODY[:PREFIX]),
    ("416 Range Not Satisfiable", [("Content-Range", "bytes */301200")], b""),
    ("416 Range Not Satisfiable", [], b""),
])
def test_unusable_answer_is_fetched_again_without_range(real, scripted, reply):
    scripted.script = [reply, WHOLE]
    assert real.get_preid(scripted.url, "uid=1", 5) == sha(BODY[:PREFIX])
    first, second = scripted.requests
    assert first[-1] == ("Range", "bytes=0-131071")
    assert second == without_range(first)


@pytest.mark.parametrize("reply, error", [
    (partial(0, PREFIX - 1, len(BODY), body=BODY[:1000],
             extra=[("Content-Length", "1000")]), requests.RequestException),
    (("206 Partial Content", [("Content-Range", "bytes 0-131071/301200"),
                              ("Transfer-Encoding", "chunked")], BODY[:1000]),
     requests.RequestException),
    (("404 Not Found", [], b"<p>gone</p>"), requests.HTTPError),
    (("503 Busy", [], b"<p>later</p>"), requests.HTTPError),
])
def test_failures_raise_on_the_ranged_path(real, scripted, reply, error):
    scripted.script = [reply]
    with pytest.raises(error):
        real.get_preid(scripted.url, "uid=1", 5)


def test_connection_serves_file_after_file_and_keeps_no_cookie(real, scripted):
    set_cookie = ("Set-Cookie", "session=from-the-server; Path=/")
    scripted.script = [partial(0, PREFIX - 1, len(BODY), extra=[set_cookie])]
    threads = [threading.Thread(target=lambda: [real.get_preid(scripted.url, "uid=1", 5)
                                                for _ in range(10)]) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(scripted.requests) == 30
    assert scripted.connections <= 3
    assert all(dict(headers)["cookie"] == "uid=1" for headers in scripted.requests)


@pytest.mark.parametrize("replace", ["module", "patched get"])
def test_a_replaced_requests_sees_every_call_as_made(fw, monkeypatch, scripted, replace):
    calls = []

    def get(url, **kwargs):
        calls.append((url, kwargs))
        return requests.api.get(url, **kwargs)
    if replace == "module":
        monkeypatch.setattr(fw, "requests", mock.Mock(get=get))
    else:
        monkeypatch.setattr(fw, "requests", requests)
        monkeypatch.setattr(requests, "get", get)
    scripted.script = [WHOLE]
    assert fw.get_preid(scripted.url, "uid=1", 5) == sha(BODY[:PREFIX])
    [(url, kwargs)] = calls
    assert url == scripted.url and list(kwargs) == ["headers", "stream", "timeout"]
    assert "Range" not in kwargs["headers"] and kwargs["stream"] is True


def test_a_replaced_requests_without_errors_still_gets_the_package_errors(fw, monkeypatch,
                                                                           scripted):
    plain = mock.Mock(spec=["get"], get=requests.api.get)  # no HTTPError, no Timeout
    monkeypatch.setattr(fw, "requests", plain)
    scripted.script = [("500 Oops", [], b"<p>oops</p>")]
    with pytest.raises(requests.HTTPError):
        fw.get_preid(scripted.url, "uid=1", 5)


def watchdogs():
    return [t for t in threading.enumerate() if t.name == "fernwick-watchdog"]


@pytest.mark.parametrize("config", [None, "[必须参数]\ncid = 1\n"], ids=["returns", "raises"])
def test_main_leaves_no_connection_and_no_thread(real, scripted, tmp_path, monkeypatch, config):
    scripted.script = [partial(0, PREFIX - 1, len(BODY))]
    for _ in range(3):
        real.get_preid(scripted.url, "uid=1", 5)
    assert scripted.open == 1
    monkeypatch.chdir(tmp_path)  # no config.ini, or one without a key: the batch ends at once
    if config is None:
        real.main()
    else:
        (tmp_path / "config.ini").write_text(config, encoding="utf-8")
        with pytest.raises(Exception, match="No option 'type'"):
            real.main()
    assert not watchdogs()  # stopped and joined before main ends
    with scripted.lock:  # the server sees the closed connection in its own time
        assert scripted.lock.wait_for(lambda: scripted.open == 0, 5)
    real.get_preid(scripted.url, "uid=1", 5)  # a later batch opens a new session
    assert scripted.connections == 2


@pytest.mark.parametrize("ranges", [True, False])
def test_prefix_bytes_only_on_the_wire(real, ranges):
    drive = Drive(seed=5)
    sizes = [0, 1, PREFIX - 1, PREFIX, PREFIX + 1, 3 << 20, 64 << 30]
    files = [drive.root.add_file("f%d" % i, size, ranges=ranges) for i, size in enumerate(sizes)]
    with StandIn(drive) as s:
        for f in files:
            data = f.read(0, PREFIX)
            assert real.get_preid(s.download_url(f), "uid=1", 5) == sha(data)
        assert s.wait_idle()
        records = s.log.download()
    assert [r.status for r in records] == (
        [416 if f.size == 0 else 206 for f in files] if ranges else [200] * len(files))
    if ranges:
        assert max(r.sent for r in records) <= PREFIX + 1024
        assert len({r.client for r in records}) == 1



class HeldRead:
    """A reply whose body waits until it is let go; its raw stream can be
    shut down, so the watchdog watches it."""

    def __init__(self, on_shutdown=None):
        self.status_code, self.headers = 200, {}
        self.let_go, self.on_shutdown = threading.Event(), on_shutdown
        self.reading = threading.Event()  # watched: the read has begun
        self.raw = self

    def shutdown(self):
        self.let_go.set()
        if self.on_shutdown:
            self.on_shutdown()

    def iter_content(self, chunk_size):
        self.reading.set()
        assert self.let_go.wait(10)
        yield b"data"

    def close(self):
        pass


@pytest.mark.parametrize("ending", ["tie", "main ends"])
def test_a_read_the_watchdog_cut_off_is_never_hashed(fw, monkeypatch, tmp_path, ending):
    # The watchdog cuts a read off once its deadline is not in the future;
    # with a coarse clock the read then sees the same instant, and a body
    # without a length ends as if whole. The watchdog stays on duty too when
    # a batch ends while a read runs elsewhere.
    now = [0.0]
    monkeypatch.setattr(fw, "time", mock.Mock(monotonic=lambda: now[0], time=time.time))
    reply = HeldRead()
    monkeypatch.setattr(fw, "requests", mock.Mock(get=lambda url, **kw: reply))
    results = []
    reader = threading.Thread(target=lambda: results.append(
        pytest.raises(requests.Timeout, fw.get_preid, "http://h/held", "uid=1", 5)))
    reader.start()
    assert reply.reading.wait(10)  # watched
    if ending == "main ends":
        monkeypatch.chdir(tmp_path)  # no config.ini: main ends at once
        fw.main()
    now[0] = 60.0  # the deadline to the tick
    reader.join(15)
    assert len(results) == 1 and "longer than 60 seconds" in str(results[0].value)


def test_watchdog_survives_a_read_that_ends_while_it_cuts_another_off(fw, monkeypatch):
    """The watchdog cuts off an overdue read; cutting it off lets a younger
    read end at that very moment, and its entry leaves the watched set while
    the watchdog is still going through it."""
    now = [0.0]
    monkeypatch.setattr(fw, "time", mock.Mock(monotonic=lambda: now[0], time=time.time))
    young_done = threading.Event()
    young = HeldRead()

    def end_the_young_read():
        young.let_go.set()
        assert young_done.wait(10)
    old = HeldRead(on_shutdown=end_the_young_read)
    replies = {"http://h/old": old, "http://h/young": young}
    monkeypatch.setattr(fw, "requests", mock.Mock(get=lambda url, **kw: replies[url],
                                                  Timeout=requests.Timeout))
    results = {}

    def read(name, done=None):
        try:
            results[name] = fw.get_preid("http://h/" + name, "uid=1", 5)
        except requests.Timeout as error:
            results[name] = error
        if done:
            done.set()
    threads = [threading.Thread(target=read, args=("old",))]
    threads[0].start()
    assert old.reading.wait(10) and watchdogs()
    now[0] = 50.0  # the young read's deadline is 50 s after the old one's
    threads.append(threading.Thread(target=read, args=("young", young_done)))
    threads[1].start()
    assert young.reading.wait(10)
    now[0] = 100.0  # the old read is overdue, the young one is not
    for t in threads:
        t.join(10)
    assert isinstance(results["old"], requests.Timeout)
    assert results["young"] == sha(b"data")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@beyond_thread_sanitizer
@beyond_the_emulator("it aborts the forked child of a process with threads once the child "
                     "starts one (cpu_exec: cpu == current_cpu), with or without the module")
def test_a_child_forked_while_a_read_is_watched_watches_its_own():
    # The child has neither the parent's reading thread nor its watchdog:
    # its own read, past its deadline, is cut off all the same.
    result = run_python("""if 1:
        import os, sys, threading, time, types, requests, fernwick
        sys.path.insert(0, %r)
        from test_transport import HeldRead
        now, replies = [0.0], {"http://h/parent": HeldRead(), "http://h/child": HeldRead()}
        fernwick.time = types.SimpleNamespace(monotonic=lambda: now[0], time=time.time)
        fernwick.requests = types.SimpleNamespace(get=lambda url, **kw: replies[url],
                                                  Timeout=requests.Timeout)

        def read(url):
            try:
                return fernwick.get_preid(url, "uid=1", 5)
            except requests.Timeout:
                return "cut off"
        threading.Thread(target=read, args=("http://h/parent",), daemon=True).start()
        assert replies["http://h/parent"].reading.wait(10)
        pid = os.fork()
        if pid == 0:
            threading.Timer(0.2, now.__setitem__, (0, 60.0)).start()
            print(read("http://h/child"), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        now[0] = 60.0
        """ % os.path.dirname(os.path.abspath(__file__)))
    assert result.stdout == "cut off\n", result.stderr


CONFIG = "[必须参数]\ncid = {cid}\ntype = 0\ncookie = uid=7\n[功能参数]\nrecursion = {recursion}\n"


@pytest.fixture
def over_tls(real, monkeypatch, prompt_queue, tmp_path):
    """main() of the installed module with the installed requests, its hosts
    reached over TLS through a proxy given by the environment, as a user
    behind a proxy runs it."""
    servers = []

    def run(drive, recursive, **options):
        s = StandIn(drive, proxy=True, **options).start()
        servers.append(s)
        for name in ("NO_PROXY", "no_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY",
                     "all_proxy", "https_proxy"):
            monkeypatch.delenv(name, raising=False)
        monkeypatch.setenv("HTTPS_PROXY", s.proxy_url)
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", s.ca_bundle)
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr("sys.stdin", __import__("io").StringIO(""))
        (tmp_path / "config.ini").write_text(
            CONFIG.format(cid=s.root_cid, recursion="是" if recursive else "否"), encoding="utf-8")
        real.main()
        assert s.wait_idle()
        return s, (tmp_path / "QuillsiftBYOskel.txt").read_text(encoding="utf-8").splitlines()
    yield run
    for s in servers:
        s.stop()


def open_connections(s, timeout=5.0):
    # A socket nobody refers to closes when it is freed. On a free-threaded
    # interpreter that may wait for the thread that made it, whose id a
    # stand-in handler blocked in a read can have taken over; a collection
    # frees it. (A socket still referred to stays open, and fails the count.)
    deadline = time.monotonic() + timeout
    while s._conns and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.05)
    return len(s._conns)


@pytest.mark.parametrize("recursive, drive", [
    (False, lambda: Drive.flat(150, seed=4)),
    (True, lambda: Drive.tree(12, 4, seed=4)),
])
def test_batch_keeps_connections_alive_and_reads_only_prefixes(over_tls, recursive, drive):
    drive = drive()
    s, lines = over_tls(drive, recursive)
    assert sorted(lines) == sorted(drive.expected_lines())
    downloads = s.log.download()
    assert len(downloads) == len(drive.files())
    assert max(r.sent for r in downloads) <= PREFIX + 1024
    assert all(r.header("cookie") == "uid=7" for r in s.log.records())
    # one listing connection and a few per worker, whatever the folder count
    assert s.connections()["proxy"] <= 1 + 2 * 6
    assert open_connections(s) == 0 and not watchdogs()


def test_batch_where_ranges_are_ignored(over_tls):
    drive = Drive.flat(40, seed=6)
    s, lines = over_tls(drive, False, ranges=False)
    assert sorted(lines) == sorted(drive.expected_lines())
    assert {r.status for r in s.log.download()} == {200}
    assert open_connections(s) == 0 and not watchdogs()


class SlowChunks(HeldRead):
    """A reply that gives one chunk and then, past the deadline, another."""

    def __init__(self, clock):
        super().__init__()
        self.clock = clock

    def iter_content(self, chunk_size):
        yield b"first"
        self.clock[0] += 61.0
        yield b"second"


@pytest.mark.parametrize("reply, error", [
    (lambda clock: SlowChunks(clock), requests.Timeout),
    (lambda clock: types.SimpleNamespace(status_code=503, headers={}, close=lambda: None),
     requests.HTTPError),
])
def test_errors_of_the_module_are_the_package_errors_under_any_requests(
        fw, monkeypatch, tmp_path, capsys, reply, error):
    """A replacement without the package's error classes still gets them,
    and so does the give-up line of a file."""
    clock = [0.0]
    monkeypatch.setattr(fw, "time", mock.Mock(monotonic=lambda: clock[0], time=time.time,
                                              sleep=lambda s: None))
    monkeypatch.setattr(fw, "requests", mock.Mock(spec=["get"], get=lambda url, **kw: reply(clock)))
    with pytest.raises(error):
        fw.get_preid("http://h/f", "uid=1", 5)
    monkeypatch.setattr(fw, "get_url", lambda pickcode, cookie: "http://h/" + pickcode)
    monkeypatch.chdir(tmp_path)
    q = queue.Queue()
    q.put("name|10|S|pc")
    fw.run_down(q, "uid=1", 5)
    assert "（%s: " % error.__name__ in capsys.readouterr().out
