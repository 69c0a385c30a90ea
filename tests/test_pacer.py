"""One pacer for a batch: a unit's first refusal (429, 503) costs it a short
wait; a unit refused again while its endpoint serves others fails an
attempt; when nothing was served, a request answered before tells whether
the endpoint is down, and an endpoint that is down pauses and is probed one
request at a time; refusals recurring across units while the service serves
set a pace. A rejected cookie or a run of files given up stops the batch
with exit status 5. A scripted service over real sockets, and a clock whose
sleep only moves it on, so nothing here sleeps for real; where the order of
the network and a pause matters, real time sped up."""
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
from standin import API_HOST, Router

OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = 7\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"
PAUSE = "请求过于频繁，暂停"
COOKIE_LINE = "cookie已失效（HTTP 401），请在config.ini中更新cookie后，以resume = 是重新运行"
EPOCH = 1700000000.0
LOOKALIKE = "https://%s.cdn" % API_HOST  # a download host whose name starts like the API's


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
    download) to the replies its next requests get, (status, headers),
    "state-false" or "reset"; `dies_after` API requests the cookie is dead
    (401 or state-false). `bucket` = (rate, burst) limits the API on
    `clock`."""
    daemon_threads = True

    def __init__(self, files, clock):
        super().__init__(("127.0.0.1", 0), Handler)
        self.pcs = ["pc%02d" % i for i in range(files)]
        self.clock, self.script, self.log, self.lock = clock, {}, [], threading.Lock()
        self.times = []  # of the requests in the log, on the clock
        self.dies_after, self.death, self.bucket, self.tokens, self.filled = None, 401, None, 0, None
        self.outage = None  # (kinds, reply, from request, until): those kinds refused
        self.count = None  # the listing's count, when not the files'
        self.latency = 0.0  # of an API request, on the clock
        self.limit_reply = (429, {"Retry-After": "1"})  # the bucket's refusal
        self.download_base = None  # of the addresses given, when not this server

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
        # full at the first request, as a service's bucket is at a client's
        self.tokens = min(burst, self.tokens + (now - self.filled) * rate if self.filled is not None else burst)
        self.filled = now
        if self.tokens < 1:
            return self.limit_reply
        self.tokens -= 1
        return None

    def decide(self, kind, pc):
        """The special reply of this request, if any, and logs it."""
        with self.lock:
            api = kind != "download"
            if api and self.latency:
                self.clock.sleep(self.latency)
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
            if isinstance(reply, tuple):  # its Retry-After as sent
                reply = (reply[0], {k: v(self.clock) if callable(v) else v
                                    for k, v in reply[1].items()})
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
        if reply == "reset":  # the connection closed with no reply
            self.close_connection = True
            return None
        if reply is not None:
            status, headers = reply
            headers = {k: v(service.clock) if callable(v) else v for k, v in headers.items()}
            return self.send(status, b"<p>no</p>", headers.items())
        if kind == "download":
            return self.send(200, body(pc))
        if kind == "address":
            host = service.download_base or service.base
            answer = {"state": True, "file_url": host + "/dl/" + pc}
        else:
            offset = int(query["offset"][0])
            data = [{"n": pc + ".bin", "s": len(body(pc)), "sha": "S" + pc, "pc": pc, "cid": "7"}
                    for pc in service.pcs[offset:offset + 115]]
            answer = {"state": True, "count": service.count or len(service.pcs), "data": data}
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


def waits_asked(headers, at):
    """The wait a refusal's Retry-After names, or None."""
    value = headers.get("Retry-After")
    if value is None:
        return None
    if value.isdigit():
        return min(int(value), 600)  # a wait of more than 10 minutes is cut to 10
    stamp = email.utils.mktime_tz(email.utils.parsedate_tz(value)) if \
        email.utils.parsedate_tz(value) else None
    return 0 if stamp is None else max(0.0, stamp - (EPOCH + at))


def sent_too_soon(server):
    """Requests sent again sooner than a refusal allows: its Retry-After, at
    least 1 s when it names one, and 1 s after any refusal but a request's
    first."""
    wrong, refusals, earliest = [], {}, {}
    for (kind, pc, reply), at in zip(server.log, server.times):
        key = (kind, pc)
        if at < earliest.get(key, at) - 1e-6:
            wrong.append((key, at, earliest[key]))
        earliest.pop(key, None)
        if isinstance(reply, tuple) and reply[0] in (429, 503):
            refusals[key] = refusals.get(key, 0) + 1
            asked = waits_asked(reply[1], at)
            floor = max(asked, 1) if asked is not None else 1 if refusals[key] > 1 else 0
            earliest[key] = at + floor
    return wrong


class RecordingClock(SpedClock):
    """fernwick.time at real speed, recording the sleeps: a wait that others
    must be seen to work through needs real time on a slow machine."""

    def __init__(self):
        super().__init__(factor=1.0)


# A stray refusal, of a listing page or of one address among the workers',
# costs its request a quarter second: no pause of the batch, no pace after
# it; the other workers go on meanwhile.
@pytest.mark.parametrize("clock", [RecordingClock], indirect=True)
@pytest.mark.parametrize("key", [("list", "115"), ("address", "pc53")])
def test_a_stray_refusal_delays_its_request_alone(batch, service, tmp_path, clock, key):
    server = service(files=130)
    server.plan({key: [(503, {})]})
    said = batch(server)
    assert sorted(written(tmp_path)) == every_line(server)
    assert not [text for text in said if text.startswith(PAUSE) or "放弃" in text]
    # the refused request's own wait, in pieces; a loaded machine that sleeps
    # a piece late needs fewer of them
    assert 0 < sum(clock.asked) <= 0.3
    api = [(k, pc) for k, pc, _ in server.log if k != "download"]
    first, again = [i for i, entry in enumerate(api) if entry == key]
    assert again - first > 1 if key[0] == "address" else again == first + 1


# The listing is main's alone, so what it meets comes in a known order: page
# 2 refused twice; nothing else was served since, so page 1, answered
# before, is asked again; its refusal pauses the listings, and after the
# pause page 1 is asked again, one request a pause, until it is answered.
# Every pause longer than the last one announced is announced. A page that
# failed (state false) is no evidence the service answers: never its own.
@pytest.mark.parametrize("page2, probes, pauses", [
    ([], [(429, {"Retry-After": "3"})] * 5, [3, 3]),              # at 0 and 12 s
    ([], [(429, {"Retry-After": date_in(7)})] * 3, [7, 7]),       # at 0 and 14 s
    ([], [(503, {"Retry-After": "86400"})], [600]),
    ([], [(429, {"Retry-After": "00003"})], [3]),
    ([], [(503, {"Retry-After": "000000000000120"})], [120]),
    ([], [(503, {"Retry-After": "9" * 400})], [600]),
    ([], [(429, {"Retry-After": "1"}), (429, {"Retry-After": "30"})], [1, 30]),
    ([], [(503, {})] * 6 + [(503, {"Retry-After": "soon"})], [1, 2, 3, 4, 6, 8, 12]),
    ([], ["reset"] * 3, [1, 2, 3]),  # a probe with no reply is no answer
    ([], [(503, {"Retry-After": "1"})] * 3 + [(503, {})] * 2, [1, 2]),  # asked waits: no backoff
    ([], [(503, {"Retry-After": "0"})] * 2 + [(503, {})] * 2, [1, 2]),  # nor a wait of 0
    (["state-false"], [(503, {})] * 2, [1, 2]),
])
def test_refused_listings_pause_and_are_probed(batch, service, tmp_path, page2, probes, pauses):
    server = service(files=120)
    server.plan({("list", "115"): page2 + [(503, {})] * 2, ("list", "0"): [None] + probes})
    said = batch(server)
    assert [text for text in said if text.startswith(PAUSE)] == [PAUSE + "%d秒" % n for n in pauses]
    assert sorted(written(tmp_path)) == every_line(server)
    listings = [pc for kind, pc, _ in server.log if kind == "list"]
    assert listings == ["0"] + ["115"] * (len(page2) + 2) + ["0"] * (len(probes) + 1) + ["115"]
    assert sent_too_soon(server) == [] and "放弃" not in "".join(said)


# Ctrl-C while a listing's probe is out ends main with it: the probe, never
# answered, is taken for neither a pause nor the endpoint serving.
def test_ctrl_c_during_a_probe_ends_main(batch, service, monkeypatch):
    server = service(files=120)
    server.plan({("list", "115"): [(503, {})] * 2})
    real_get, first_pages = requests.get, []

    def get(url, *args, **kwargs):
        if "&offset=0&" in url:
            first_pages.append(url)
            if len(first_pages) == 2:
                raise KeyboardInterrupt
        return real_get(url, *args, **kwargs)
    monkeypatch.setattr(requests, "get", get)
    with pytest.raises(KeyboardInterrupt):
        batch(server)
    assert [pc for _, pc, _ in server.log] == ["0", "115", "115"]


# A refused reply that cannot be closed costs only its connection; Ctrl-C
# while it closes ends main with it.
@pytest.mark.parametrize("error", [OSError, KeyboardInterrupt])
def test_a_refused_reply_that_cannot_close(batch, service, tmp_path, monkeypatch, error):
    server = service(files=120)
    server.plan({("list", "115"): [(503, {})]})
    real_get = requests.get

    def get(url, *args, **kwargs):
        reply = real_get(url, *args, **kwargs)
        if reply.status_code == 503:
            def close():
                raise error("close")
            reply.close = close
        return reply
    monkeypatch.setattr(requests, "get", get)
    if error is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            batch(server)
        assert [pc for _, pc, _ in server.log] == ["0", "115"]
    else:
        batch(server)
        assert sorted(written(tmp_path)) == every_line(server)


# An outage after a while (so each endpoint has a request answered before):
# the files in flight wait it out without using an attempt, on both paths
# (the router, and the installed package's shared session); once each has
# been refused twice, each endpoint down is asked one request a pause. On real
# time sped up: on a clock that moves only when asked to wait, a file's
# retry pauses take no time while the others wait for a probe in real time.
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("session, kinds, reply", [
    (False, "address", (429, {"Retry-After": "1"})), (False, "address", (503, {})),
    (False, "download", (503, {})), (False, "list address download", (503, {})),
    (True, "download", (503, {})), (True, "download", (429, {"Retry-After": "1"}))])
def test_an_outage_is_waited_out_one_probe_at_a_time(batch, service, tmp_path, clock, session,
                                                     kinds, reply):
    server = service(files=40)
    server.outage = (kinds.split(), reply, 20, 20.0)
    said = batch(server, session)
    assert sorted(written(tmp_path)) == every_line(server)
    assert "放弃" not in "".join(said) and sent_too_soon(server) == []
    pauses = [text for text in said if text.startswith(PAUSE)]
    backoff = (1, 2, 3, 4, 6, 8, 12, 18, 26, 39, 58, 60)  # 1.5 ** n s, rounded up
    assert pauses and set(pauses) <= {PAUSE + "%d秒" % n for n in ((1,) if reply[1] else backoff)}
    start = server.times[20]
    during = [k for (k, _, r), at in zip(server.log, server.times) if r and at >= start]
    for kind in kinds.split():  # each file in flight twice, then one a pause (1 s, or growing)
        assert during.count(kind) - 2 * 6 <= (21 if reply[1] else 8), during


# Downloads refused from the start, before any was ever served: nothing tells
# a file's trouble from the hosts', so each file spreads its attempts over
# half a minute and outlasts a 20 s outage; refused for good, it is given up
# then, saying so.
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("files", [1, 2])
@pytest.mark.parametrize("until, given_up", [(20.0, 0), (float("inf"), 1)])
def test_downloads_refused_before_any_was_served(batch, service, tmp_path, files, until, given_up):
    server = service(files=files)
    server.outage = (["download"], (429, {"Retry-After": "1"}), 0, until)
    said = batch(server)
    gave_up = [text for text in said if text.startswith("放弃文件")]
    assert len(gave_up) == given_up * files
    assert all(text.endswith("and has answered no other request of its kind）") for text in gave_up)
    assert len(written(tmp_path)) == files * (1 - given_up) and sent_too_soon(server) == []
    assert len([k for k, _, _ in server.log if k == "download"]) <= files * (5 + 1 - given_up)
    if given_up:  # its five requests spread over 1 + 3 + 9 + 19 s of waits
        times = [at for (kind, pc, _), at in zip(server.log, server.times)
                 if (kind, pc) == ("download", "pc00")]
        assert len(times) == 5 and times[-1] - times[0] >= 32 - 0.01, times


# One or two files whose download (or address) is refused whenever asked
# for: after its first refusal is sent again once, each refusal is one of
# its attempts, and the others never wait for it: among others; as the last
# two of the folder, each refused while the other waits (two refused units
# are no evidence for each other: a request answered before tells); or
# alone, all a resumed run has left, where nothing of their kind was ever
# answered. A Retry-After of 0 or a past date is no license to send again
# sooner than 1 s.
@pytest.mark.parametrize("clock", [SpedClock], indirect=True)
@pytest.mark.parametrize("kind, reply", [
    ("download", (503, {})), ("address", (503, {})),
    ("download", (429, {"Retry-After": "1"})), ("address", (429, {"Retry-After": "1"})),
    ("address", (503, {"Retry-After": "0"})), ("download", (429, {"Retry-After": date_in(-30)}))])
@pytest.mark.parametrize("case", ["among others", "the last two", "alone"])
def test_a_file_refused_for_good_fails_on_its_attempts(batch, service, tmp_path, clock, kind,
                                                       reply, case):
    server = service(files=20)
    bad = ["pc02"] if case == "among others" else ["pc18", "pc19"]
    if case == "alone":
        (tmp_path / "config.ini").write_text(CONFIG + "resume = 是\n", encoding="utf-8")
        (tmp_path / OUT).write_text("".join(line(pc) + "\n" for pc in server.pcs if pc not in bad),
                                    encoding="utf-8")
    server.plan({(kind, pc): [reply] * 40 for pc in bad})
    said = batch(server)
    given_up = sorted(text for text in said if text.startswith("放弃文件"))
    reason = "and has answered no other request of its kind" if case == "alone" else \
        "while it serves other requests"
    assert len(given_up) == len(bad)
    for pc, text in zip(bad, given_up):
        url = server.base + "/dl/" + pc if kind == "download" else \
            "https://api.drive.example/files/download?pickcode=%s&_=" % pc
        assert text.startswith("放弃文件：%s.bin（HTTPError: the service answered %d for '%s" % (
            pc, reply[0], url)) and text.endswith("' again, %s）" % reason)
        assert [(k, p) for k, p, _ in server.log].count((kind, pc)) == 1 + 4
    assert sorted(written(tmp_path)) == sorted(line(pc) for pc in server.pcs if pc not in bad)
    assert sent_too_soon(server) == []
    assert not [text for text in said if text.startswith(PAUSE)]


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


# One folder's listing, main's alone, so in a known order: 60 pages (a count
# of 6900, one file on the first page), each request taking 10 ms of the
# clock, against a token bucket (a rate a second, a burst; full at the
# start), refused with a bare 503. Unspaced the listing runs at 100 a second;
# the pace is learned from what the service delivered per second the listing
# wanted it, and cut until it holds: every page served once, 45 refusals at
# most, and the listing within its row's share of the limit's time. The
# clock is the batch's, so the times are exact, and each share is what the
# row takes (1.12 to 1.64) and a little more: counting only the time in
# flight took 2.4 times at 0.8 a second, and a first refusal's wait left out
# 1.71 at 2 a second. Under a small burst the known request asked again may
# be refused while the pace is learned: pauses of a second or two, three at
# most. Under 0.4 a second with a burst of one the probe that ends a pause
# takes the one token: the page refused right after it is not its own (it
# failed the listing so), and goes again once the service's last replies'
# gap has passed.
@pytest.mark.parametrize("rate, burst, slack", [(40, 6, 1.7), (10, 3, 1.65), (5, 2, 1.6),
                                                (2, 1, 1.3), (1.5, 3, 1.2), (0.8, 1, 1.25),
                                                (0.4, 1, 1.4)])
def test_a_listing_under_a_limit_learns_its_pace(batch, service, tmp_path, rate, burst, slack):
    listing_under_a_limit(batch, service, tmp_path, rate, burst, latency=0.01, slack=slack)


# At 1 ms a request the first pace learned is several times the limit (228 a
# second for 60: a refused page's quarter second counts for as long as the
# last replies came apart, which the burst makes short), and each unit that
# meets it is refused again in its next slot: nothing served since, the
# known request is asked, refused too, and the listing pauses a second. The
# pace comes down 0.8 x a cut, one cut a unit's first refusal, so the
# listing takes about three times the limit's time (2.98 s; 3.88 s when
# delivery was measured per second in flight).
FIRST_PACE_TOO_HIGH = pytest.mark.xfail(strict=True, reason="a burst makes the first pace too high")


@FIRST_PACE_TOO_HIGH
def test_a_fast_listing_learns_the_limit_without_pauses(batch, service, tmp_path):
    listing_under_a_limit(batch, service, tmp_path, 60, 6, latency=0.001, slack=1.3)


def listing_under_a_limit(batch, service, tmp_path, rate, burst, latency, slack):
    server = service(files=1)
    server.count, server.latency, server.bucket = 6900, latency, (rate, burst)
    server.limit_reply = (503, {})
    said = batch(server)
    assert sorted(written(tmp_path)) == every_line(server)
    pages = [(pc, reply) for kind, pc, reply in server.log if kind == "list"]
    assert sorted({int(pc) for pc, reply in pages if reply is None}) == list(range(0, 6900, 115))
    refusals, listed_at = len([1 for _, reply in pages if reply]), server.times[len(pages) - 1]
    assert refusals <= 45 and 60 / rate <= listed_at <= slack * 60 / rate, (refusals, listed_at)
    pauses = [t for t in said if t.startswith(PAUSE)]
    assert len(pauses) <= 3 and set(pauses) <= {PAUSE + "1秒", PAUSE + "2秒"}, pauses
    assert sent_too_soon(server) == []


# A slow API (1.5 s a request) refusing two pages early on, then one request
# in thirty: the pace learned (one request in 2.1 s: three pages served in
# the 6.3 s since the one before them, a refused one among them) is under one
# a second. A refused page is asked again in its slot, with no wait of its
# own, and each later refusal, thirty requests on, still recurs at that pace:
# it takes back the 5 % probe that met it, so the pace learned holds to the
# end, a step or two above it.
def test_a_pace_under_one_a_second_holds(batch, service, tmp_path):
    server = service(files=6)
    server.count, server.latency = 115 * 120, 1.5
    server.plan({"list": ([None] * 4 + [(503, {})]) * 2 + ([None] * 29 + [(503, {})]) * 3})
    batch(server)
    assert sorted(written(tmp_path)) == every_line(server)
    starts = [at for (kind, _, _), at in zip(server.log, server.times) if kind == "list"]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    learned = gaps[10]
    assert 1.6 < learned < 2.2 and max(gaps[10:]) <= learned + 0.01, gaps
    assert sum(gap > 1.55 for gap in gaps[-30:]) >= 10, gaps


# Asked for 7.5 minutes twice, the third try comes 15 minutes after the first
# refusal, not more: it goes, and is answered.
def test_refused_for_exactly_fifteen_minutes_the_file_is_tried_again(batch, service, tmp_path):
    server = service(files=1)
    server.outage = ({"address"}, (503, {"Retry-After": "450"}), 1, 899.0)
    said = batch(server)
    assert [kind for kind, _, _ in server.log] == ["list"] + ["address"] * 3 + ["download"]
    assert server.times[3] - server.times[1] == 900 and written(tmp_path) == every_line(server)
    assert "放弃" not in "".join(said)


def test_refused_for_fifteen_minutes_the_file_is_given_up(batch, service, tmp_path):
    """After the listing the service refuses everything, asking for 10
    minutes: the third try would come 20 minutes after the first."""
    server = service(files=1)
    server.outage = ({"list", "address"}, (503, {"Retry-After": "600"}), 1, float("inf"))
    said = batch(server)
    assert [kind for kind, _, _ in server.log] == ["list", "address", "address"]
    url = "https://api.drive.example/files/download?pickcode=pc00&_=1700000600500"  # its 2nd attempt
    assert "放弃文件：pc00.bin（HTTPError: the service answered 503 for '%s', refusing it for " \
           "more than 15 minutes）" % url in said
    assert written(tmp_path) == []


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
from standin import API_HOST, DEFAULT_HOSTS, Router

class Clock:
    now, lock = 0.0, threading.Lock()
    def monotonic(self):
        return self.now
    def time(self):
        return 1700000000.0 + self.now
    def sleep(self, seconds):
        with self.lock:
            self.now += seconds

fernwick.requests = Router(sys.argv[1], hosts=DEFAULT_HOSTS + (API_HOST + ".cdn",))
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


# Real time: once stopped, the workers wait out no 10-minute pause; a
# download refused before the stop is its file's last request and still
# goes, but no sooner than a second after its own refusal; refused again,
# it is dropped. A refusal the stop overtakes (the stand-in logs it before
# the worker reads it) drops its file too, so the lines written are those of
# the downloads served.
@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")
@pytest.mark.parametrize("clock", [lambda: SpedClock(1.0)], indirect=True)
@pytest.mark.parametrize("kind, refusals", [("address", 6), ("download", 6), ("download", 12)])
def test_ctrl_c_is_not_held_up_by_a_pause(service, tmp_path, clock, kind, refusals):
    server = service(files=12)
    server.plan({kind: [(429, {"Retry-After": "600"})] * refusals})
    child = start_command(server, tmp_path, "real-time")
    assert child.stdout.readline().startswith("获取数据完成")
    while len(refused(server)) < 6:
        time.sleep(0.05)
    time.sleep(0.3)  # for the workers to read their refusals
    child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()  # one held up by the pause fails the test, and goes
    assert child.returncode == 130, err
    assert len(refused(server)) == (6 if kind == "address" else refusals)
    times = {}
    for (k, pc, _), at in zip(server.log, server.times):
        times.setdefault((k, pc), []).append(at)
    assert all(b - a >= 1 for ats in times.values() for a, b in zip(ats, ats[1:])), server.log
    assert max(len(ats) for ats in times.values()) <= 2, server.log
    served = sorted(line(pc) for k, pc, reply in server.log if k == "download" and reply is None)
    assert sorted(written(tmp_path)) == served
    assert (served == []) if kind == "address" or refusals == 12 else served, server.log


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
    # a 504 is a failed attempt, not a refusal to wait out
    "download-504": (None, None, {("download", "pc03"): [(504, {})] * 4}, 3, "放弃1个文件", ""),
    # the download host's name starts like the API's: a 401 there is no cookie's
    "download-401-lookalike-host": (None, None, {("download", "pc03"): [(401, {})] * 4}, 3,
                                    "放弃1个文件", ""),
}


@pytest.mark.parametrize("case", CASES)
def test_a_batch_that_cannot_succeed_stops_then_resumes(service, tmp_path, case):
    dies_after, death, script, status, said_once, err_head = CASES[case]
    server = service(files=60)
    server.dies_after, server.death = dies_after, death
    server.plan(script)
    if "lookalike" in case:
        server.download_base = LOOKALIKE
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


# End to end, in real time: the real requests through the stand-in's router,
# answering in 20 ms, a tree of small folders (each starts with its listing
# and six addresses at once) under a limit of 60 API requests/s with a burst
# of 6. Refusals recurring across folders set the pace: a few in all, not
# one a folder.
@native_speed("the batch must outrun the stand-in's 60 API requests a second")
@pytest.mark.parametrize("limit_reply", ["429", "503"])
def test_a_limit_met_by_every_folder_is_learned(fw, restore_module_attrs, monkeypatch, tmp_path,
                                                limit_reply):
    from standin import Drive, StandIn
    drive = Drive.tree(39, 8, size=1000)  # each folder: its listing, 8 addresses
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG.replace("cid = 7", "cid = %s" % drive.root.cid)
                                         .replace("recursion = 否", "recursion = 是"),
                                         encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    with StandIn(drive, rate=60, burst=6, limit_reply=limit_reply, latency=0.02) as server:
        fw.requests = Router(server.base_url)
        fw.main()
        counts = server.api_counts()
    assert sorted(written(tmp_path)) == sorted(drive.expected_lines())  # nothing given up
    assert sum(counts["refused"].values()) <= 10, counts  # one a folder: 40
