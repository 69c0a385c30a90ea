import email.utils
import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest
import requests

from standin import (Drive, Faults, Limits, Router, StandIn, TokenBucket, expected_line,
                     full_sha1, prefix_sha1)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GiB = 1 << 30


def listing(s, kind, cid, offset=0, limit=115):
    path = "/files" if kind == "api" else "/natsort/files.php"
    url = "%s%s?aid=1&cid=%s&o=user_ptime&offset=%d&show_dir=1&limit=%d&type=&suffix=" % (
        s.base_url, path, cid, offset, limit)
    r = requests.get(url, timeout=5)
    assert r.status_code == 200
    return r.json()


def read_prefix(url, n=131072):
    r = requests.get(url, stream=True, timeout=5)
    r.raise_for_status()
    got = b""
    for chunk in r.iter_content(16384):
        got += chunk
        if len(got) >= n:
            break
    r.close()
    return got[:n]


def sha(data):
    return hashlib.sha1(data).hexdigest().upper() if data else ""


# -- listings ---------------------------------------------------------------

@pytest.mark.parametrize("kind", ["api", "aps"])
@pytest.mark.parametrize("offset,limit,n", [(0, 115, 115), (115, 115, 23), (138, 115, 0),
                                            (1, 2, 2), (0, 1000, 138)])
def test_paging_slices_the_combined_item_list(serve, kind, offset, limit, n):
    s = serve()
    photos = [f for f in s.drive.folders() if f.name == "Photos 2019"][0]
    reply = listing(s, kind, photos.cid, offset, limit)
    assert reply["state"] is True and reply["count"] == 138
    names = [i.name for i in photos.items][offset:offset + limit]
    assert [i["n"] for i in reply["data"]] == names and len(names) == n
    for item in reply["data"]:
        assert ("s" in item) == (item["n"] not in ("Day 1", "Day 2", "Day 3"))


def test_walk_through_listings_yields_every_expected_line(serve):
    s = serve()
    lines, todo = [], [s.root_cid]
    while todo:
        cid = todo.pop()
        offset = 0
        while True:
            reply = listing(s, "api", cid, offset, 50)
            if not reply["state"]:
                assert reply["count"] == 0 and reply["data"] == []
                reply = listing(s, "aps", cid, offset, 50)
            for item in reply["data"]:
                if "s" in item:
                    f = s.drive.file(item["pc"])
                    assert item["sha"] == f.sha and item["cid"] == cid
                    lines.append("%s|%d|%s|%s" % (item["n"], item["s"], item["sha"],
                                                  prefix_sha1(f)))
                else:
                    assert item["pid"] == cid
                    todo.append(item["cid"])
            offset += 50
            if offset >= reply["count"]:
                break
    assert sorted(lines) == sorted(s.drive.expected_lines())
    assert len(s.log.aps_list()) >= 1


def test_api_refuses_aps_only_folder_and_unknown_folders(serve):
    s = serve()
    archive = [f for f in s.drive.folders() if f.api_fails][0]
    assert listing(s, "api", archive.cid) == {"state": False, "count": 0, "data": [],
                                              "error": listing(s, "api", archive.cid)["error"]}
    assert listing(s, "aps", archive.cid)["count"] == 3
    assert listing(s, "aps", "no-such-folder")["state"] is False


@pytest.mark.parametrize("numeric_ids,override,expect", [(True, None, int), (False, None, str),
                                                         (False, True, int), (True, False, str)])
def test_numeric_folder_ids(serve, numeric_ids, override, expect):
    d = Drive(numeric_ids=numeric_ids)
    sub = d.root.add_folder("a", cid="555", numeric=override)
    sub.add_file("x", 3)
    s = serve(d)
    [folder] = listing(s, "api", "0")["data"]
    [f] = listing(s, "api", "555")["data"]
    assert type(folder["cid"]) is expect and type(f["cid"]) is expect
    assert str(folder["cid"]) == "555"


# -- downloads -------------------------------------------------------------

@pytest.mark.parametrize("size", [0, 1000, 131072, 1000000, 64 * GiB])
def test_download_prefix_and_bounded_sending(serve, capfd, size):
    d = Drive.sizes([size], seed=3)
    s = serve(d)
    [f] = d.files()
    addr = requests.get("%s/files/download?pickcode=%s&_=%d" % (s.base_url, f.pickcode, 1),
                        timeout=5).json()
    assert addr["state"] and addr["file_url"].startswith(s.base_url + "/dl/")
    assert sha(read_prefix(addr["file_url"])) == prefix_sha1(f)
    assert s.wait_idle()
    [sent] = s.sent_bytes(f.pickcode)
    assert min(size, 131072) <= sent <= min(size, 2 << 20)
    assert "Traceback" not in capfd.readouterr().err


def test_content_is_lazy_deterministic_and_consistent():
    a, b = Drive.sizes([1000000, 64 * GiB], seed=5), Drive.sizes([1000000, 64 * GiB], seed=5)
    small, big = a.files()
    assert a.expected_lines() == b.expected_lines()
    whole = small.read(0, small.size)
    assert full_sha1(small) == sha(whole) and prefix_sha1(small) == sha(whole[:131072])
    assert small.read(70000, 5000) == whole[70000:75000]
    assert b"".join(small.iter_content(123, 456789, piece=1000)) == whole[123:456789]
    assert len(big.read(64 * GiB - 10, 100)) == 10
    assert len(full_sha1(big)) == 40 and full_sha1(big) == full_sha1(b.files()[1])
    assert small.read(0, 4096) != big.read(0, 4096)
    assert Drive.sizes([1000], seed=6).files()[0].read(0, 64) != small.read(0, 64)
    assert expected_line(big) == "size-%d.bin|%d|%s|%s" % (64 * GiB, 64 * GiB, big.sha,
                                                             big.prefix_sha1)


@pytest.mark.parametrize("options,header,value", [
    ({"chunked": True}, "Transfer-Encoding", "chunked"),
    ({"gzip": True}, "Content-Encoding", "gzip"),
    ({"gzip": True, "chunked": True}, "Transfer-Encoding", "chunked"),
    ({"trickle": [4096, 0.0]}, "Content-Length", "300001"),
])
def test_encodings_decode_to_the_content(serve, options, header, value):
    d = Drive(seed=9)
    f = d.root.add_file("x.bin", 300001, **options)
    s = serve(d)
    r = requests.get(s.download_url(f), timeout=5)
    assert r.headers[header] == value
    assert r.content == f.read(0, f.size)


@pytest.mark.parametrize("rng,status,start,end", [
    ("bytes=0-131071", 206, 0, 131072), ("bytes=1000-", 206, 1000, 5000),
    ("bytes=-10", 206, 4990, 5000), ("bytes=4999-9999", 206, 4999, 5000),
    ("bytes=7000-", 416, 0, 0), ("lines=1-2", 200, 0, 5000)])
def test_range_requests(serve, rng, status, start, end):
    d = Drive()
    f = d.root.add_file("r.bin", 5000)
    s = serve(d)
    r = requests.get(s.download_url(f), headers={"Range": rng}, timeout=5)
    assert r.status_code == status
    if status != 416:
        assert r.content == f.read(start, end - start)


@pytest.mark.parametrize("status", [403, 404, 500])
def test_error_status_with_html_page(serve, status):
    d = Drive()
    f = d.root.add_file("bad", 10, status=status, address_status=status + 1)
    s = serve(d)
    r = requests.get(s.download_url(f), timeout=5)
    assert r.status_code == status and r.text.startswith("<!DOCTYPE html>")
    assert requests.get(s.base_url + "/dl/unknown", timeout=5).status_code == 404
    r = requests.get(s.base_url + "/files/download", params={"pickcode": f.pickcode}, timeout=5)
    assert r.status_code == status + 1 and r.text.startswith("<!DOCTYPE html>")


def test_truncated_body_is_detected_and_latency_applies(serve):
    d = Drive()
    f = d.root.add_file("t", 200000, truncate=150000, latency=0.2)
    s = serve(d)
    t0 = time.time()
    assert sha(read_prefix(s.download_url(f))) == prefix_sha1(f)
    assert time.time() - t0 >= 0.2
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        requests.get(s.download_url(f), timeout=5).content


# -- faults ------------------------------------------------------------------

def fault_request(s, kind, timeout=5):
    f = [f for f in s.drive.files() if 0 < f.size < 100000][0]
    url = {"api_list": "/files?cid=0", "aps_list": "/natsort/files.php?cid=0",
           "address": "/files/download?pickcode=" + f.pickcode}.get(kind)
    return requests.get(s.base_url + url if url else s.download_url(f), timeout=timeout)


@pytest.mark.parametrize("kind,fault,check", [
    ("api_list", "reset", requests.exceptions.ConnectionError),
    ("download", "reset", requests.exceptions.ConnectionError),
    ("address", "slow", requests.exceptions.Timeout),
    ("aps_list", "http500", lambda r: r.status_code == 500 and "<html>" in r.text),
    ("api_list", "badjson", lambda r: pytest.raises(ValueError, json.loads, r.text)),
    ("address", "badurl", lambda r: r.json()["file_url"] == "not-a-url"),
    ("download", "http503", lambda r: r.status_code == 503 and "Retry-After" not in r.headers),
])
def test_faults_are_observable_and_consumed(serve, capfd, kind, fault, check):
    faults = Faults(slow_seconds=1.5)
    s = serve(faults=faults)
    faults.add(kind, fault, times=1)
    if isinstance(check, type):
        with pytest.raises(check):
            fault_request(s, kind, timeout=0.5)
    else:
        assert check(fault_request(s, kind))
    assert fault_request(s, kind).status_code == 200
    assert [(r.kind, r.fault) for r in s.log if r.fault] == [(kind, fault)]
    if fault == "badurl":
        with pytest.raises(requests.exceptions.MissingSchema):
            requests.get("not-a-url")
    s.stop()
    assert "Traceback" not in capfd.readouterr().err


def test_fault_rules_match_and_validate():
    class Req(object):
        path, query, params = "/files", "cid=7&offset=0", {"cid": ["7"], "offset": ["0"]}
    other = Req()
    other.params = {"cid": ["8"]}
    fa = Faults()
    fa.add("api_list", "reset", times=2, match={"cid": 7})
    fa.add(None, "http500", match=lambda r: r is other)
    fa.add("aps_list", "slow", match="cid=7", seconds=0.1)
    assert fa.decide("api_list", other).fault == "http500"
    assert fa.decide("api_list", other) is None
    assert [getattr(fa.decide("api_list", Req()), "fault", None) for _ in range(3)] == [
        "reset", "reset", None]
    hit = fa.decide("aps_list", Req())
    assert (hit.fault, hit.seconds) == ("slow", 0.1) and fa.pending() == 0
    for bad in [("download", "badjson"), ("api_list", "badurl"), ("nope", "reset"),
                ("download", "nope")]:
        with pytest.raises(ValueError):
            fa.add(*bad)


@pytest.mark.parametrize("rate,kinds,expect", [(0.0, None, 0), (1.0, None, 400),
                                              (1.0, ["download"], 100), (0.5, None, None)])
def test_random_faults_are_seeded(rate, kinds, expect):
    def run():
        fa = Faults(rate=rate, seed=4, kinds=kinds)
        return [(k, h and h.fault) for k in ("api_list", "aps_list", "address", "download")
                for h in (fa.decide(k) for _ in range(100))]
    first = run()
    assert first == run()
    hits = [h for h in first if h[1]]
    assert ("download", "badjson") not in hits and ("download", "badurl") not in hits
    assert len(hits) == expect if expect is not None else 120 < len(hits) < 280


def test_random_soak_leaves_the_server_serving(serve, capfd):
    s = serve(Drive.flat(20, seed=2), faults=Faults(rate=0.3, seed=1, slow_seconds=0.3))
    outcomes = set()
    for f in s.drive.files():
        try:
            r = requests.get(s.download_url(f), timeout=0.2)
            outcomes.add(r.status_code)
        except requests.exceptions.RequestException as e:
            outcomes.add(type(e).__name__)
    assert len(s.log) == 20 and len(s.log.faulted()) == len(s.faults.applied) > 0
    assert 200 in outcomes and len(outcomes) > 1
    s.stop()
    assert "Traceback" not in capfd.readouterr().err


# -- log, keep-alive, router ----------------------------------------------------

def test_log_keeps_headers_as_received_over_keep_alive(serve):
    s = serve()
    req = ("GET /files?aid=1&cid=0&offset=0&limit=2&type=4&suffix=jpg HTTP/1.1\r\n"
           "Host: api.drive.example\r\nZ-Last: 1\r\nUser-Agent: ua\r\nCookie: a=1\r\n"
           "Cookie: b=2\r\nReferer: https://site.drive.example/\r\n\r\n")
    with socket.create_connection(("127.0.0.1", s.port), timeout=5) as c:
        c.sendall(req.encode() * 2)
        data = b""
        while data.count(b"HTTP/1.1 200") < 2 or not data.endswith(b"}"):
            data += c.recv(65536)
    first, second = s.log.api_list()
    assert first.headers == [("Host", "api.drive.example"), ("Z-Last", "1"), ("User-Agent", "ua"),
                             ("Cookie", "a=1"), ("Cookie", "b=2"),
                             ("Referer", "https://site.drive.example/")]
    assert first.client == second.client and first.status == 200
    assert (first.param("type"), first.param("suffix"), first.query) == (
        "4", "jpg", "aid=1&cid=0&offset=0&limit=2&type=4&suffix=jpg")


class FakeRequests(object):
    HTTPError = requests.HTTPError

    def __init__(self):
        self.calls = []

    def get(self, url, *args, **kwargs):
        self.calls.append((url, args, kwargs))
        return "reply"


@pytest.mark.parametrize("url,routed", [
    ("https://api.drive.example/files?cid=0", "http://127.0.0.1:9/files?cid=0"),
    ("https://aps.drive.example/natsort/files.php?x=1", "http://127.0.0.1:9/natsort/files.php?x=1"),
    ("https://site.drive.example", "http://127.0.0.1:9"),
    ("https://api.drive.example.evil/files", "https://api.drive.example.evil/files"),
    ("http://api.drive.example/files", "http://api.drive.example/files"),
    ("http://127.0.0.1:5/dl/x?t=1", "http://127.0.0.1:5/dl/x?t=1"),
])
def test_router_rewrites_only_service_hosts(url, routed):
    fake = FakeRequests()
    router = Router("http://127.0.0.1:9/", fake)
    headers = {"Host": "api.drive.example", "Referer": "https://site.drive.example/"}
    assert router.get(url, headers=headers, timeout=(3, 30), stream=True) == "reply"
    [(got, args, kwargs)] = fake.calls
    assert got == routed and args == ()
    assert kwargs == {"headers": headers, "timeout": (3, 30), "stream": True}
    assert kwargs["headers"] is headers and router.HTTPError is requests.HTTPError


def test_router_custom_hosts_and_real_module(serve):
    s = serve()
    router = Router(s.base_url, hosts={"files.other.example": None})
    assert router.exceptions is requests.exceptions
    assert router.rewrite("https://api.drive.example/x") == "https://api.drive.example/x"
    r = router.get("https://files.other.example/files?cid=0", headers={"X-A": "1"}, timeout=5)
    assert r.json()["count"] == 8 and s.log[0].header("x-a") == "1"
    assert s.router().get("https://aps.drive.example/natsort/files.php?cid=0").json()["state"]


# -- drive building, CLI ------------------------------------------------------

def test_from_dict_roundtrip_and_generators(tmp_path):
    d = Drive.sample()
    path = tmp_path / "d.json"
    path.write_text(json.dumps(d.to_dict()), encoding="utf-8")
    again = Drive.from_json(str(path))
    assert again.expected_lines() == d.expected_lines()
    assert [f.options for f in again.files()] == [f.options for f in d.files()]
    assert [f.api_fails for f in again.folders()] == [f.api_fails for f in d.folders()]
    assert any(len(f.items) > 115 for f in d.folders()) and max(f.size for f in d.files()) > 4 * GiB
    t = Drive.tree(10, 2, fanout=3)
    assert len(t.folders()) == 11 and len(t.files()) == 22
    assert max(len(f.folders) for f in t.folders()) == 3
    with pytest.raises(ValueError):
        Drive.tree(10, 1, fanout=2, depth=2)
    with pytest.raises(ValueError):
        Drive.from_dict({"root": {"files": [{"name": "a", "size": 1, "pickcode": "p"},
                                            {"name": "b", "size": 1, "pickcode": "p"}]}})
    with pytest.raises(ValueError):
        Drive().root.add_file("a", 1, colour="red")


def test_cli_prints_expected_and_serves_until_interrupted():
    env = dict(os.environ, PYTHONPATH=ROOT)
    out = subprocess.run([sys.executable, "-m", "standin", "--print-expected", "--drive",
                          "sizes:0,1000"], env=env, stdout=subprocess.PIPE, check=True)
    assert out.stdout.decode().splitlines() == Drive.sizes([0, 1000]).expected_lines()
    p = subprocess.Popen([sys.executable, "-m", "standin", "--drive", "flat:3"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        base, root = p.stdout.readline().decode().split()
        assert root == "0"
        assert requests.get(base + "/files?cid=0", timeout=5).json()["count"] == 3
        p.send_signal(signal.SIGINT)
        assert p.wait(10) == 0
        assert b"Traceback" not in p.stderr.read()
    finally:
        if p.poll() is None:
            p.kill()


# -- rate limit and cookie life ---------------------------------------------------

def api_request(s, kind, cookie="c"):
    f = s.drive.files()[0]
    path = {"api_list": "/files?cid=0", "aps_list": "/natsort/files.php?cid=0",
            "address": "/files/download?pickcode=" + f.pickcode}[kind]
    return requests.get(s.base_url + path, headers={"Cookie": cookie}, timeout=5)


def test_token_bucket_refuses_beyond_the_burst_and_recovers():
    now = [100.0]
    bucket = TokenBucket(2, burst=3, clock=lambda: now[0])
    takes = lambda n: [bucket.take() for _ in range(n)]
    assert takes(5) == [True] * 3 + [False] * 2
    now[0] += 0.5                   # one token back
    assert takes(2) == [True, False]
    now[0] += 60                    # refills up to the burst, no further
    assert takes(4) == [True] * 3 + [False]
    for bad in [(0, 1), (1, 0)]:
        with pytest.raises(ValueError):
            TokenBucket(*bad)


def test_limit_comes_before_the_cookie_and_spares_downloads():
    lim = Limits(rate=0.001, burst=2, cookie_life=1)
    assert [lim.decide(k, "c") for k in ("address", "download", "api_list", "aps_list")] == [
        None, None, "cookie", "rate"]
    assert lim.counts() == {"served": 1, "refused": {"aps_list": 1}, "dead": {"api_list": 1}}
    with pytest.raises(ValueError):
        Limits(limit_reply="418")


@pytest.mark.parametrize("kind", ["api_list", "aps_list", "address"])
@pytest.mark.parametrize("reply,status", [("429", 429), ("429-date", 429), ("429-bare", 429),
                                          ("503", 503)])
def test_rate_limit_replies(serve, kind, reply, status):
    s = serve(Drive.flat(2), rate=0.001, burst=1, limit_reply=reply, retry_after=2)
    assert api_request(s, kind).status_code == 200
    t0 = time.time()
    r = api_request(s, kind)
    t1 = time.time()
    assert r.status_code == status and len(r.content) < 512
    after = r.headers.get("Retry-After")
    if reply == "429":
        assert after == "2"
    elif reply == "429-date":
        when = email.utils.parsedate_to_datetime(after).timestamp()
        assert t0 + 2 <= when <= t1 + 3 and after.endswith(" GMT")
    else:
        assert after is None
    assert requests.get(s.download_url(s.drive.files()[0]), timeout=5).status_code == 200
    assert s.api_counts() == {"served": 1, "refused": {kind: 1}, "dead": {}}
    assert [r.refused for r in s.log] == [None, "rate", None]


def test_a_passing_refusal_is_the_nth_api_request_once(serve):
    s = serve(Drive.flat(2), blip=2)
    kinds = ["api_list", "address", "aps_list", "address"]
    assert [api_request(s, kind).status_code for kind in kinds] == [200, 503, 200, 200]
    assert s.api_counts() == {"served": 3, "refused": {"address": 1}, "dead": {}}


@pytest.mark.parametrize("life", [0, 3])
@pytest.mark.parametrize("dead_reply", ["401", "state"])
def test_cookie_dies_after_exactly_n_api_requests(serve, life, dead_reply):
    s = serve(Drive.flat(2), cookie_life=life, dead_reply=dead_reply)
    kinds = ["api_list", "address", "aps_list"] * 2
    replies = [api_request(s, k) for k in kinds[:life + 2]]
    for r in replies[:life]:
        assert r.status_code == 200 and r.json()["state"] is True
    for r in replies[life:]:
        if dead_reply == "401":
            assert r.status_code == 401 and len(r.content) < 512
        else:
            assert r.status_code == 200 and r.json() == {"state": False}
    assert requests.get(s.download_url(s.drive.files()[0]), timeout=5).status_code == 200
    fresh = api_request(s, "address", cookie="fresh")      # a new sign-in lives on its own
    assert (fresh.status_code == 200 and fresh.json()["state"]) is (life > 0)
    counts = s.api_counts()
    assert sum(counts["dead"].values()) == 2 + (life == 0)
    assert counts["served"] == life + (life > 0)
    assert len(s.log.refused("cookie")) == 2 + (life == 0) and not s.log.refused("rate")


def test_every_nth_api_request_is_refused_in_passing(serve):
    s = serve(Drive.flat(2), blip_every=2)
    kinds = ["api_list", "address", "aps_list", "address", "api_list"]
    assert [api_request(s, kind).status_code for kind in kinds] == [200, 503, 200, 503, 200]
    assert requests.get(s.download_url(s.drive.files()[0]), timeout=5).status_code == 200


def test_an_outage_refuses_every_request_from_the_kth_api_request_for_its_seconds(serve):
    s = serve(Drive.flat(2), outage=(2, 1.0))
    f = s.drive.files()[0]
    download = lambda: requests.get(s.download_url(f), timeout=5)
    assert download().status_code == 200           # downloads do not count towards k
    assert api_request(s, "api_list").status_code == 200
    t0 = time.monotonic()
    down = [api_request(s, "address")]
    began = time.monotonic()                        # the outage began before this
    down += [download(), api_request(s, "aps_list")]
    assert time.monotonic() - t0 < 0.9, "too slow to see the outage"
    assert [r.status_code for r in down] == [503] * 3
    assert not any("Retry-After" in r.headers for r in down)
    time.sleep(max(0.0, began + 1.0 - time.monotonic()))
    assert [api_request(s, "address").status_code, download().status_code] == [200, 200]
    assert s.api_counts()["refused"] == {"address": 1, "download": 1, "aps_list": 1}
    assert [r.refused for r in s.log] == [None, None, "outage", "outage", "outage", None, None]


@pytest.mark.parametrize("of,down", [("listings", {"api_list", "aps_list"}),
                                     ("addresses", {"address"}), ("downloads", {"download"})])
def test_an_outage_of_one_endpoint_spares_the_others(serve, of, down):
    s = serve(Drive.flat(2), outage=(2, 1.0, of))
    f = s.drive.files()[0]
    ask = {"download": lambda: requests.get(s.download_url(f), timeout=5)}
    kinds = ["api_list", "aps_list", "address", "download"]
    assert api_request(s, "api_list").status_code == 200 and s.limits.outage_window is None
    got = {k: (ask.get(k) or (lambda: api_request(s, k)))().status_code for k in kinds}
    start, end = s.limits.outage_window
    assert end - start == 1.0 and start <= s.log.records()[1].time + 0.05
    assert {k for k, status in got.items() if status == 503} == down
    time.sleep(max(0.0, end - time.time()))
    assert api_request(s, "address").status_code == ask["download"]().status_code == 200
    refused = [r for r in s.log if r.refused]
    assert {r.kind for r in refused} == down and all(r.refused == "outage" for r in refused)
    keys = {r.kind: r.key for r in s.log}       # a refused request still names its file
    assert keys["address"] == ("address", f.pickcode) == ("address", keys["download"][1])
    assert keys["aps_list"] == keys["api_list"] == ("listing", "0", "0")
    with pytest.raises(ValueError):
        StandIn(outage=(2, 1.0, "address"))


@pytest.mark.parametrize("retry_after", [None, 0, "past"])
@pytest.mark.parametrize("where", ["download", "address", "first downloads"])
def test_refusals_carry_the_retry_after_asked_for(serve, where, retry_after):
    d = Drive.flat(2)
    bad, good = d.files()
    if where == "first downloads":
        s = serve(d, refuse_downloads=2, refusal_status=429, refusal_retry_after=retry_after)
    else:
        setattr(bad, "status" if where == "download" else "address_status", 503)
        bad.retry_after = retry_after
        s = serve(d)
    ask = (lambda: api_request(s, "address")) if where == "address" else (
        lambda: requests.get(s.download_url(bad), timeout=5))
    replies = [ask() for _ in range(3)]
    want = [429, 429, 200] if where == "first downloads" else [503] * 3
    assert [r.status_code for r in replies] == want
    for r in replies[:2]:
        after = r.headers.get("Retry-After")
        if retry_after == "past":
            when = email.utils.parsedate_to_datetime(after).timestamp()
            assert when < time.time() - 30 and after.endswith(" GMT")
        else:
            assert after == (None if retry_after is None else str(retry_after))
    assert requests.get(s.download_url(good), timeout=5).status_code == 200
    with pytest.raises(ValueError):
        StandIn(d, refusal_retry_after=-1)


def test_cli_refusals():
    env = dict(os.environ, PYTHONPATH=ROOT)
    cmd = [sys.executable, "-m", "standin", "--drive", "flat:3", "--bad-file", "0",
           "--bad-file", "1:address", "--refusal-retry-after", "0", "--refuse-downloads", "1",
           "--outage", "3:30", "--blip-every", "100"]
    for wrong, said in (["--bad-file", "3"], b"--bad-file 3"), (["--bad-file", "2:name"], b"INDEX:"):
        bad = subprocess.run(cmd + wrong, env=env, stderr=subprocess.PIPE)
        assert bad.returncode == 2 and said in bad.stderr
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        base = p.stdout.readline().decode().split()[0]
        pcs = [item["pc"] for item in requests.get(base + "/files?cid=0", timeout=5).json()["data"]]
        get = lambda path: requests.get(base + path, timeout=5)
        got = [get("/files/download?pickcode=" + pcs[1]), get("/dl/" + pcs[2]),
               get("/dl/" + pcs[2]), get("/dl/" + pcs[0]), get("/files?cid=0"),
               get("/dl/" + pcs[2])]
        assert [r.status_code for r in got] == [503, 503, 200, 503, 503, 503]
        assert [r.headers.get("Retry-After") for r in got] == ["0", "0", None, "0", None, None]
    finally:
        p.terminate()
        p.wait(10)


def test_cli_limits(tmp_path):
    env = dict(os.environ, PYTHONPATH=ROOT)
    cmd = [sys.executable, "-m", "standin", "--drive", "flat:2", "--rate", "0.001", "--burst",
           "2", "--limit-reply", "503", "--cookie-life", "1", "--dead-reply", "state"]
    bad = subprocess.run(cmd + ["--burst", "0"], env=env, stderr=subprocess.PIPE)
    assert bad.returncode == 2 and b"burst" in bad.stderr
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        base = p.stdout.readline().decode().split()[0]
        got = [requests.get(base + "/files?cid=0", timeout=5) for _ in range(3)]
        assert [r.status_code for r in got] == [200, 200, 503]
        assert got[0].json()["count"] == 2 and got[1].json() == {"state": False}
    finally:
        p.terminate()
        p.wait(10)
