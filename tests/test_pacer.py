"""One pacer for a batch: a passing refusal (429, 503) delays its request
alone; refusals the batch meets pause every worker and are sent again without
using up an attempt; a request refused while others are served fails as an
attempt; a rejected cookie or a run of files given up stops the batch with
exit status 5. A scripted service over real sockets, and a clock whose sleep
only moves it on, so nothing here sleeps for real; where the order of the
network and a pause matters, real time sped up."""
import email.utils
import hashlib
import http.server
import io
import json
import signal
import subprocess
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

import pytest
import requests

from conftest import native_speed, python_env
from standin import Router

OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = 7\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"
PAUSE = "请求过于频繁，暂停"
COOKIE_LINE = "cookie已失效（HTTP 401），请在config.ini中更新cookie后，以resume = 是重新运行"
EPOCH = 1700000000.0


class Clock:
    """fernwick.time: sleep moves the clock on at once."""

    def __init__(self):
        self.now, self.lock = 0.0, threading.Lock()

    def monotonic(self):
        return self.now

    def time(self):
        return EPOCH + self.now

    def sleep(self, seconds):
        with self.lock:
            self.now += seconds


class SpedClock(Clock):
    """fernwick.time: real time, 20 times faster. Records what it is asked to
    sleep."""

    def __init__(self, factor=20.0):
        super().__init__()
        self.factor, self.start, self.asked = factor, time.monotonic(), []

    def monotonic(self):
        return (time.monotonic() - self.start) * self.factor

    def time(self):
        return EPOCH + self.monotonic()

    def sleep(self, seconds):
        self.asked.append(seconds)
        time.sleep(seconds / self.factor)


def body(pc):
    return pc.encode() * 300


def line(pc):
    return "%s.bin|%d|S%s|%s" % (pc, len(body(pc)), pc,
                                  hashlib.sha1(body(pc)).hexdigest().upper())


class Service(http.server.ThreadingHTTPServer):
    """The API and download hosts of one folder of `files` files. `script`
    maps a kind (list, address, download, or a pickcode's address or
    download) to the replies its next requests get, (status, headers) or
    "state-false"; `dies_after` API requests the cookie is dead (401 or
    state-false). `bucket` = (rate, burst) limits the API on `clock`."""
    daemon_threads = True

    def __init__(self, files, clock):
        super().__init__(("127.0.0.1", 0), Handler)
        self.pcs = ["pc%02d" % i for i in range(files)]
        self.clock, self.script, self.log, self.lock = clock, {}, [], threading.Lock()
        self.times = []  # of the requests in the log, on the clock
        self.dies_after, self.death, self.bucket, self.tokens, self.filled = None, 401, None, 0, 0.0
        self.outage = None  # (kinds, reply, from request, until): those kinds refused

    def handle_error(self, request, client_address):
        pass  # a client that closes its kept-alive connections resets them

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.server_address[1]

    def plan(self, script):
        self.script = {key: list(replies) for key, replies in script.items()}

    def scripted(self, keys):
        for key in keys:
            if self.script.get(key):
                return self.script[key].pop(0)
        return None

    def limited(self):
        rate, burst = self.bucket
        now = self.clock.monotonic()
        self.tokens = min(burst, self.tokens + (now - self.filled) * rate)
        self.filled = now
        if self.tokens < 1:
            return (429, {"Retry-After": "1"})
        self.tokens -= 1
        return None

    def decide(self, kind, pc):
        """The special reply of this request, if any, and logs it."""
        with self.lock:
            api = kind != "download"
            reply = self.scripted([(kind, pc), kind])
            if reply is None and self.outage and kind in self.outage[0] and \
                    len(self.log) >= self.outage[2] and self.clock.monotonic() < self.outage[3]:
                reply = self.outage[1]
            if reply is None and api and self.bucket:
                reply = self.limited()
            dead = api and self.dies_after is not None and (
                sum(1 for k, _, _ in self.log if k != "download") >= self.dies_after)
            if reply is None and dead:
                reply = self.death
            self.log.append((kind, pc, reply))
            self.times.append(self.clock.monotonic())
            return reply


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, data, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        service = self.server
        if url.path.startswith("/dl/"):
            kind, pc = "download", url.path[4:]
        else:
            kind = "address" if url.path == "/files/download" else "list"
            pc = query.get("pickcode", query.get("offset", [None]))[0]
        reply = service.decide(kind, pc)
        if reply == "state-false":
            return self.send(200, b'{"state": false, "msg": "login"}')
        if reply is not None:
            status, headers = reply
            headers = {k: v(service.clock) if callable(v) else v for k, v in headers.items()}
            return self.send(status, b"<p>no</p>", headers.items())
        if kind == "download":
            return self.send(200, body(pc))
        if kind == "address":
            answer = {"state": True, "file_url": service.base + "/dl/" + pc}
        else:
            offset = int(query["offset"][0])
            data = [{"n": pc + ".bin", "s": len(body(pc)), "sha": "S" + pc, "pc": pc, "cid": "7"}
                    for pc in service.pcs[offset:offset + 115]]
            answer = {"state": True, "count": len(service.pcs), "data": data}
        self.send(200, json.dumps(answer).encode())


@pytest.fixture(params=[Clock])
def clock(request):
    return request.param()


@pytest.fixture
def service(clock):
    started = []

    def start(files=6):
        server = Service(files, clock)
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                         daemon=True).start()
        started.append(server)
        return server
    yield start
    for server in started:
        server.shutdown()
        server.server_close()


@pytest.fixture
def batch(fw, restore_module_attrs, monkeypatch, tmp_path, capsys, clock):
    """run(server, session=False): main on the server's folder on the fake
    clock, through the stand-in's router; or, with `session`, through the
    installed requests, listing and addresses made up in Python (so only the
    downloads go through the module). Returns its console lines."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    fw.time = clock

    def run(server, session=False):
        monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
        fw.requests = Router(server.base)
        if session:
            fw.requests = requests
            fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(
                "%s.bin|%d|S%s|%s" % (pc, len(body(pc)), pc, pc) for pc in server.pcs)
            fw.get_url = lambda pickcode, cookie: server.base + "/dl/" + pickcode
        fw.main()
        return capsys.readouterr().out.split("\n")
    return run


def written(tmp_path):
    path = tmp_path / OUT
    return path.read_text(encoding="utf-8").splitlines() if path.exists() else []


def every_line(server, but=None):
    return sorted(line(pc) for pc in server.pcs if pc != but)


def refused(server):
    return [entry for entry in server.log if entry[2] is not None]


def date_in(seconds):
    return lambda clock: email.utils.formatdate(clock.time() + seconds, usegmt=True)


# The listing is main's alone, so its pauses come in a known order: each
# refusal after a pause starts the next one, a line at most every 10 s.
@pytest.mark.parametrize("script, pauses", [
    ({"list": [(429, {"Retry-After": "3"})] * 5}, [3, 3]),              # at 0 and 12 s
    ({"list": [(429, {"Retry-After": date_in(7)})] * 3}, [7, 7]),       # at 0 and 14 s
    ({"list": [(503, {"Retry-After": "86400"})]}, [600]),
    ({"list": [(429, {"Retry-After": "00003"})]}, [3]),
    ({"list": [(503, {"Retry-After": "000000000000120"})]}, [120]),
    # alone (1 s), then shared, growing by half: 1, 1.5, 2.25, … 11.4, 17.1 s
    # (lines at 1, 14.2 and 33.3 s); two addresses refused together are
    # shared, and the success reset the backoff
    ({"list": [(503, {})] * 8 + [(503, {"Retry-After": "soon"})],
      ("address", "pc03"): [(503, {})], ("address", "pc04"): [(503, {})]}, [1, 8, 18, 1]),
])
def test_refusals_pause_and_are_sent_again(batch, service, tmp_path, script, pauses):
    server = service()
    server.plan(script)
    said = batch(server)
    assert [text for text in said if text.startswith(PAUSE)] == [PAUSE + "%d秒" % n for n in pauses]
    assert sorted(written(tmp_path)) == every_line(server)
    assert len(refused(server)) == sum(len(replies) for replies in script.values())
    assert "放弃" not in "".join(said)


# A host, or the whole service, refuses every request for 20 s after the
# listing: the files in flight wait it out without using an attempt, and are
# done, on both paths: the router, and the installed package's shared session
# (downloads). Once the six in flight are refused, one request at a time
# tests the service, one a pause, which lasts as long as the test's reply
# asks. On real time sped up: on a clock that moves only when asked to wait,
# a file's retry pauses take no time while the other workers wait for a
# test's answer in real time, and a file could run through its attempts
# alone.
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("session, kinds, reply", [
    (False, "address", (429, {"Retry-After": "1"})), (False, "download", (503, {})),
    (False, "list address download", (503, {})),
    (True, "download", (503, {})), (True, "download", (429, {"Retry-After": "1"}))])
def test_an_outage_is_waited_out_one_request_at_a_time(batch, service, tmp_path, session, kinds,
                                                       reply):
    server = service(files=20)
    server.outage = (kinds.split(), reply, 1, 20.0)
    said = batch(server, session)
    assert sorted(written(tmp_path)) == every_line(server)
    assert "放弃" not in "".join(said)
    pauses = [text for text in said if text.startswith(PAUSE)]
    backoff = (1, 2, 3, 4, 6, 8, 12, 18, 26, 39, 58, 60)  # 1.5 ** n s, rounded up
    asked = (1,) if reply[1] else backoff  # Retry-After: 1, the tests' replies included
    assert pauses and set(pauses) <= {PAUSE + "%d秒" % n for n in asked}
    tests = len(refused(server)) - 6
    assert 1 <= tests <= (30 if reply[1] else 10)  # six at a time: about 100 and 30


def test_spacing_keeps_refusals_rare(batch, service, tmp_path):
    """The API at 60 requests/s, burst 6, on the batch's clock: without
    spacing a refusal would follow every sixth request after each pause,
    about 53 of the 370 requests. On this clock a request takes no time, so
    lone refusals come every seventh request until two workers meet the limit
    together and the rate is cut; the interleaving of the threads decides
    when (3 to 19 refusals seen)."""
    server = service(files=360)
    server.bucket = (60, 6)
    said = batch(server)
    assert sorted(written(tmp_path)) == every_line(server)
    assert "放弃" not in "".join(said)
    assert 1 <= len(refused(server)) <= 26


def test_refused_for_fifteen_minutes_the_file_is_given_up(batch, service, tmp_path):
    """After the listing the service refuses everything, asking for 10 minutes."""
    server = service(files=1)
    server.outage = ({"list", "address"}, (503, {"Retry-After": "600"}), 1, float("inf"))
    said = batch(server)
    assert [kind for kind, _, _ in server.log] == ["list", "address", "address", "list"]
    url = "https://api.drive.example/files/download?pickcode=pc00&_=1700000000000"
    assert "放弃文件：pc00.bin（HTTPError: the service answered 503 for '%s', refusing it for " \
           "more than 15 minutes）" % url in said
    assert written(tmp_path) == []


# A passing refusal, on a listing page or on one address among the workers',
# delays its own request by the first backoff: no pause of the batch, no
# spacing after it; the other workers go on meanwhile.
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("key", [("list", "115"), ("address", "pc53")])
def test_a_passing_refusal_delays_its_request_alone(batch, service, tmp_path, clock, key):
    server = service(files=130)
    server.plan({key: [(503, {})]})
    said = batch(server)
    assert sorted(written(tmp_path)) == every_line(server)
    assert not [text for text in said if text.startswith(PAUSE) or "放弃" in text]
    # the refused request's own second, in pieces; a loaded machine that
    # sleeps a piece late needs fewer of them
    assert 0 < sum(clock.asked) <= 1.25
    api = [(k, pc) for k, pc, _ in server.log if k != "download"]
    first, again = [i for i, entry in enumerate(api) if entry == key]
    assert again - first > 1 if key[0] == "address" else again == first + 1


# One file's download (or address) is refused whenever it is asked for: after
# its first refusal is sent again once, each refusal is one of its attempts,
# and the others never wait for it, also when it is alone (the one file a
# resumed run has left: the service answers a request it answered before),
# when another file meets a passing refusal meanwhile, and when the service
# names a wait of none, which is no license to send it again sooner than
# 1 s. A
# Retry-After pauses the batch; when the file is the first sent after that
# pause, nothing was served meanwhile and its second refusal may be shared
# too (its pause is not announced again within 10 s).
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("kind, reply, pauses, shared_again", [
    ("download", (503, {}), 0, [0]), ("address", (503, {}), 0, [0]),
    ("download", (429, {"Retry-After": "1"}), 1, [0, 1]),
    ("address", (503, {"Retry-After": "0"}), 0, [0]),
    ("download", (429, {"Retry-After": date_in(-30)}), 0, [0])])
@pytest.mark.parametrize("case", ["among others", "alone", "with a passing refusal"])
def test_a_file_refused_alone_fails_on_its_attempts(batch, service, tmp_path, clock, kind, reply,
                                                    pauses, shared_again, case):
    server = service(files=20)
    script = {(kind, "pc02"): [reply] * 40}
    if case == "alone":
        (tmp_path / "config.ini").write_text(CONFIG + "resume = 是\n", encoding="utf-8")
        (tmp_path / OUT).write_text("".join(l + "\n" for l in every_line(server, but="pc02")),
                                    encoding="utf-8")
    if case == "with a passing refusal":  # when it meets the file's refusals: shared
        script[("address", "pc05")] = [(503, {})]
        shared_again = shared_again + [shared_again[-1] + 1, shared_again[-1] + 2]
        pauses = [pauses, pauses + 1, pauses + 2]
    server.plan(script)
    said = batch(server)
    url = server.base + "/dl/pc02" if kind == "download" else \
        "https://api.drive.example/files/download?pickcode=pc02&_="
    given_up = [text for text in said if text.startswith("放弃文件")]
    assert len(given_up) == 1 and given_up[0].startswith(
        "放弃文件：pc02.bin（HTTPError: the service answered %d for '%s" % (reply[0], url))
    assert given_up[0].endswith("' again, while it serves other requests）")
    assert sorted(written(tmp_path)) == every_line(server, but="pc02")
    times = [when for (k, pc, _), when in zip(server.log, server.times) if (k, pc) == (kind, "pc02")]
    assert len(times) - (1 + 4) in shared_again
    assert min(b - a for a, b in zip(times, times[1:])) >= 1
    paused = len([text for text in said if text.startswith(PAUSE)])
    assert paused in (pauses if isinstance(pauses, list) else [pauses])


# Outside main (here after one) every call is as it always was: a refusal or
# a 401 raises at once, and nothing stops.
@pytest.mark.parametrize("call, reply, error", [
    ("get_preid", (503, {}), requests.HTTPError),
    ("get_url", (429, {"Retry-After": "1"}), ValueError),
    ("get_url", (401, {}), ValueError)])
def test_alone_a_refusal_raises_at_once(batch, service, fw, clock, capsys, call, reply, error):
    server = service()
    server.plan({"list": [(429, {"Retry-After": "2"})]})
    batch(server)
    server.log.clear()
    server.plan({"download": [reply], "address": [reply]})
    before = clock.now
    with pytest.raises(error):
        if call == "get_preid":
            fw.get_preid(server.base + "/dl/pc00", "c", "7")
        else:
            fw.get_url("pc00", "c")
    assert len(server.log) == 1 and clock.now == before
    assert capsys.readouterr().out == ""


COMMAND = """
import sys, threading, fernwick, fernwick_command
from standin import Router

class Clock:
    now, lock = 0.0, threading.Lock()
    def monotonic(self):
        return self.now
    def time(self):
        return 1700000000.0 + self.now
    def sleep(self, seconds):
        with self.lock:
            self.now += seconds

fernwick.requests = Router(sys.argv[1])
if sys.argv[2:] != ["real-time"]:
    fernwick.time = Clock()
sys.exit(fernwick_command.main())
"""
STREAK = "连续放弃24个文件，任务停止（最后的错误：KeyError: 'file_url'）"


def start_command(server, tmp_path, *args, resume=False):
    (tmp_path / "config.ini").write_text(CONFIG + ("resume = 是\n" if resume else ""),
                                         encoding="utf-8")
    return subprocess.Popen([sys.executable, "-u", "-c", COMMAND, server.base] + list(args),
                            cwd=str(tmp_path), env=python_env(), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def command(server, tmp_path, resume=False):
    child = start_command(server, tmp_path, resume=resume)
    out, err = child.communicate(timeout=120)
    return child.returncode, out.split("\n"), err


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")
def test_ctrl_c_is_not_held_up_by_a_pause(service, tmp_path):
    """Real time: the workers wait out no 10-minute pause once stopped."""
    server = service(files=12)
    server.plan({"address": [(429, {"Retry-After": "600"})] * 12})
    child = start_command(server, tmp_path, "real-time")
    assert child.stdout.readline().startswith("获取数据完成")
    assert child.stdout.readline() == PAUSE + "600秒\n"
    child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()  # one held up by the pause fails the test, and goes
    assert child.returncode == 130, err
    assert written(tmp_path) == [] and len(refused(server)) <= 6


# case: (dies after N API requests, answered), script, status, line said once,
# standard error
CASES = {
    "cookie-dead": (20, (401, {}), {}, 5, COOKIE_LINE,
                    "fernwick: HTTPError: the service answered 401 for "
                    "'https://api.drive.example/files/download?pickcode=pc"),
    "cookie-dead-listing": (0, (401, {}), {}, 5, COOKIE_LINE,
                            "fernwick: HTTPError: the service answered 401 for "
                            "'https://api.drive.example/files?aid=1&cid=7&"),
    "state-false": (20, "state-false", {}, 5, STREAK, "fernwick: RequestException: 'file_url'\n"),
    "download-401": (None, None, {("download", "pc03"): [(401, {})] * 4}, 3, "放弃1个文件", ""),
}


@pytest.mark.parametrize("case", CASES)
def test_a_batch_that_cannot_succeed_stops_then_resumes(service, tmp_path, case):
    dies_after, death, script, status, said_once, err_head = CASES[case]
    server = service(files=60)
    server.dies_after, server.death = dies_after, death
    server.plan(script)
    code, said, err = command(server, tmp_path)
    assert code == status, err
    assert said.count(said_once) == 1 and err.startswith(err_head) and err.count("\n") <= 1
    assert ("任务完成" in said[-1]) == (status == 3)
    lines = written(tmp_path)
    assert len(set(lines)) == len(lines) and set(lines) <= {line(pc) for pc in server.pcs}
    given_up = sum(text.startswith("放弃文件：") for text in said)
    api = [entry for entry in server.log if entry[0] != "download"]
    first_death = next((i for i, entry in enumerate(api) if entry[2] == death), None)
    if case.startswith("cookie-dead"):
        assert given_up == 0 and len(api) - first_death - 1 <= 12
    if case == "cookie-dead-listing":
        assert len(server.log) == 1
    if case == "state-false":
        assert 24 <= given_up <= 36
    # With the cookie renewed, a resumed run does the rest, each file once.
    server.dies_after = None
    server.plan({})
    code, said, err = command(server, tmp_path, resume=True)
    assert code == 0, err
    assert sorted(written(tmp_path)) == every_line(server)


@native_speed("the batch must outrun the stand-in's 30 API requests a second; emulated it "
              "sends 15 to 22 and is often never refused")
@pytest.mark.parametrize("limit_reply", ["429", "429-date", "503"])
def test_batch_paced_by_the_stand_ins_rate_limit(fw, restore_module_attrs, monkeypatch, tmp_path,
                                                 limit_reply):
    """End to end, in real time: the real requests through the stand-in's
    router, its API limited to 30 requests/s (burst 6)."""
    from standin import Drive, StandIn
    drive = Drive.flat(90)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG.replace("cid = 7", "cid = %s" % drive.root.cid),
                                         encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    with StandIn(drive, rate=30, burst=6, limit_reply=limit_reply) as server:
        fw.requests = Router(server.base_url)
        fw.main()
        counts = server.api_counts()
    assert sorted(written(tmp_path)) == sorted(drive.expected_lines())  # nothing given up
    refusals = sum(counts["refused"].values())
    assert 1 <= refusals <= 12, counts
