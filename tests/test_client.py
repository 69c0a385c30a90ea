"""The service client against a recording stand-in for `requests`: what is
asked for (addresses, headers, keyword arguments), how listings are walked,
and how the prefix of a download is read and hashed."""
import hashlib
import json
import types

import pytest
import requests

PREFIX = 131072
API = "https://api.drive.example"
APS = "https://aps.drive.example"
BROWSER = ("Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
           "Chrome/62.0.3202.94 Safari/537.36")
API_REFERER = API + "/bridge_2.0.html?namespace=Core.DataAccess&api=UDataAPI&_t=v5"
APS_REFERER = APS + "/bridge_2.0.html?namespace=Core.DataAccess&api=DataAPSAPI&_t=v5"
BODY = bytes(range(256)) * 1200  # 307200 bytes, no period aligned with the prefix


def listing_headers(cookie, aps=False):
    return [("Accept", "*/*"), ("Accept-Encoding", "gzip, deflate, br"),
            ("Accept-Language", "zh-CN,zh;q=0.9"), ("Connection", "keep-alive"),
            ("cookie", cookie), ("Host", "aps.drive.example" if aps else "api.drive.example"),
            ("Referer", APS_REFERER if aps else API_REFERER), ("User-Agent", BROWSER),
            ("X-Requested-With", "XMLHttpRequest")]


def files_url(aps, cid, offset, t="", s=""):
    if aps:
        return (APS + "/natsort/files.php?aid=1&cid=%s&o=file_name&asc=1&offset=%d&show_dir=1"
                "&limit=115&code=&scid=&snap=0&natsort=1&record_open_time=1&source=&format=json"
                "&fc_mix=0&type=%s&star=&is_share=&suffix=%s&custom_order=&is_q="
                % (cid, offset, t, s))
    return (API + "/files?aid=1&cid=%s&o=file_name&asc=1&offset=%d&show_dir=1&limit=115&code="
            "&scid=&snap=0&natsort=1&source=&format=json&type=%s&star=&is_share=&suffix=%s"
            "&custom_order=&is_q=" % (cid, offset, t, s))


def folders_url(aps, cid, offset):
    if aps:
        return (APS + "/natsort/files.php?aid=1&cid=%s&o=file_name&asc=1&offset=%d&show_dir=1"
                "&limit=115&code=&scid=&snap=0&natsort=1&source=&format=json&type=&star="
                "&is_share=&suffix=&custom_order=&fc_mix=&is_q=" % (cid, offset))
    return (API + "/files?aid=1&cid=%s&o=user_ptime&asc=0&offset=%d&show_dir=1&limit=115&code="
            "&scid=&snap=0&natsort=1&source=&format=json&type=&star=&suffix=&is_q=&is_share="
            "&custom_order=&fc_mix=" % (cid, offset))


class Chunks:
    """What iter_content returns; counts every chunk asked for."""

    def __init__(self, chunks, fail):
        self.left, self.fail, self.pulled = list(chunks), fail, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.pulled += 1
        if self.left:
            return self.left.pop(0)
        if self.fail is not None:
            raise self.fail
        raise StopIteration


class Reply:
    def __init__(self, text="", status=200, headers=None, chunks=(), fail=None):
        self.text, self.status_code, self.headers = text, status, dict(headers or {})
        self.chunks = Chunks(chunks, fail)
        self.chunk_sizes, self.closed = [], 0

    def iter_content(self, chunk_size=1):
        self.chunk_sizes.append(chunk_size)
        return self.chunks

    def close(self):
        self.closed += 1


class FakeRequests:
    HTTPError = requests.HTTPError
    Timeout = requests.Timeout
    RequestException = requests.RequestException

    def __init__(self, replies):
        self.replies, self.calls = list(replies), []

    def get(self, url, **kwargs):
        self.calls.append((url, kwargs))
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if isinstance(reply, Reply):
            return reply
        return Reply(reply if isinstance(reply, str) else json.dumps(reply))


class Clock:
    """fernwick.time: time() fixed, monotonic() advancing `step` per call."""

    def __init__(self, now=1700000000.1239, step=0.0):
        self.now, self.mono, self.step = now, 5000.0, step

    def time(self):
        return self.now

    def monotonic(self):
        self.mono += self.step
        return self.mono


@pytest.fixture
def net(fw, monkeypatch):
    def install(*replies):
        fake = FakeRequests(replies)
        monkeypatch.setattr(fw, "requests", fake)
        return fake
    return install


NO_STATE = object()


def page(count, data=(), state=True):
    reply = {"count": count, "data": list(data)}
    if state is not NO_STATE:
        reply["state"] = state
    return reply


def a_file(name, s=1, sha="AB12", pc="pc1"):
    return {"n": name, "s": s, "sha": sha, "pc": pc, "cid": "parent"}


# -- listings ----------------------------------------------------------------

@pytest.mark.parametrize("count, offsets", [
    (0, [0]), (115, [0]), (116, [0, 115]), (230, [0, 115]), (231, [0, 115, 230])])
def test_sha1list_requests_each_page_once(fw, net, capsys, count, offsets):
    fake = net(*[page(count, [a_file("f%d" % o)]) for o in offsets])
    assert fw.get_sha1list("42", "0", "ck") == count
    assert [url for url, _ in fake.calls] == [files_url(False, "42", o) for o in offsets]
    total = len(offsets)
    assert capsys.readouterr().out == "".join(
        "正在获取第%d页/总共%d页\n" % (mun, total) for mun in range(2, total + 1))
    assert fw.sha1list == ["f%d|1|AB12|pc1" % o for o in offsets]


@pytest.mark.parametrize("which", ["sha1list", "cidlist"])
@pytest.mark.parametrize("state, aps", [
    (True, False), (1, False), (False, True), (0, True), (None, True), ("text", True)])
def test_listing_walk(fw, net, which, state, aps):
    def items(tag):
        return [{"cid": "c" + tag, "n": "dir " + tag, "sha": "S", "pc": "P"}, a_file(tag)]
    # The page count comes from the first reply of the listing in use: a
    # later page's count is not looked at, nor a state it does not have.
    later = [page(116, items("2"), state=NO_STATE)]
    if aps:
        later = [page(116, items("1b"), state=NO_STATE), page(999, items("2"), state=NO_STATE)]
    fake = net(page(116, items("1"), state), *later)
    if which == "sha1list":
        assert fw.get_sha1list(7, "0", "ck") == (999 if aps else 116)
        assert fw.sha1list == ["%s|1|AB12|pc1" % t for t in (["1b", "2"] if aps else ["1", "2"])]
        url = files_url
    else:
        assert fw.get_cidlist(7, "ck") is None
        assert fw.cidlist == (["c1b", "c2"] if aps else ["c1", "c2"])
        url = folders_url
    offsets = [(False, 0)] + ([(True, 0), (True, 115)] if aps else [(False, 115)])
    assert [u for u, _ in fake.calls] == [url(a, 7, o) for a, o in offsets]
    for _, kwargs in fake.calls:
        assert sorted(kwargs) == ["headers", "timeout"] and kwargs["timeout"] == 30
    assert list(fake.calls[0][1]["headers"].items()) == listing_headers("ck")
    assert fake.calls[-1][1]["headers"] is fake.calls[-2][1]["headers"]
    assert list(fake.calls[-1][1]["headers"].items()) == listing_headers("ck", aps)


@pytest.mark.parametrize("kind, t, s", [
    ("1", "1", ""), ("6", "6", ""), ("0", "", ""), ("", "", ""), ("mp4", "", "mp4"),
    ("7", "", "7"), ("12", "", "12")])
def test_sha1list_type_filter(fw, net, kind, t, s):
    fake = net(page(0, state=False), page(0))
    fw.get_sha1list("5", kind, "ck")
    assert [u for u, _ in fake.calls] == [files_url(False, "5", 0, t, s),
                                          files_url(True, "5", 0, t, s)]


def test_sha1list_entries(fw, net):
    net(page(9, [a_file("a|b.txt", s=0, sha="DA39", pc="p|q"),
                 {"n": "folder", "sha": "X", "pc": "Y", "cid": "3"},
                 a_file("big.iso", s="68719476736"), a_file("a|b.txt", s=12)]))
    assert fw.get_sha1list("1", "0", "") == 9
    assert fw.sha1list == ["a|b.txt|0|DA39|p|q", "big.iso|68719476736|AB12|pc1",
                           "a|b.txt|12|AB12|pc1"]


def test_cidlist_keeps_ids_as_parsed(fw, net):
    net(page(5, [{"cid": 12}, {"cid": "12"}, {"cid": 12}, a_file("x"), {"cid": 0, "n": "z"}]))
    fw.get_cidlist("0", "ck")
    assert fw.cidlist == [12, "12", 12, 0]
    assert [type(c) for c in fw.cidlist] == [int, str, int, int]


@pytest.mark.parametrize("which, replies, error, kept", [
    ("sha1list", [{"count": 0, "data": []}], KeyError, []),
    ("sha1list", [{"state": True, "data": []}], KeyError, []),
    ("sha1list", [page(575, [a_file("p1")]), page(575, [a_file("p2")]),
                  {"state": True, "count": 575}], KeyError, ["p1", "p2"]),
    ("cidlist", [page(575, [{"cid": "p1"}]), page(575, [{"cid": "p2"}]),
                 page(575, [{"n": "no id"}])], KeyError, ["p1", "p2"]),
    ("sha1list", [page(575, [a_file("p1")]), page(575, [a_file("p2")])] + ["{"] * 4,
     json.JSONDecodeError, ["p1", "p2"]),
    ("sha1list", [page(575, [a_file("p1")]), page(575, [a_file("p2")])] +
     [requests.Timeout("slow")] * 4, requests.Timeout, ["p1", "p2"]),
    ("cidlist", [requests.ConnectionError("reset")] * 4, requests.ConnectionError, []),
])
def test_listing_failure_keeps_earlier_pages(fw, net, monkeypatch, which, replies, error, kept):
    # A reply that parses but lacks what the walk needs is not retried; a
    # request that raises or a reply that is not JSON fails all four attempts.
    sleeps = []
    monkeypatch.setattr(fw, "time", types.SimpleNamespace(sleep=sleeps.append))
    fake = net(*replies, page(575), page(575))
    with pytest.raises(error):
        if which == "sha1list":
            fw.get_sha1list("1", "0", "ck")
        else:
            fw.get_cidlist("1", "ck")
    assert len(fake.calls) == len(replies)
    assert sleeps == ([0.5, 1, 2] if error is not KeyError else [])
    if which == "sha1list":
        assert fw.sha1list == ["%s|1|AB12|pc1" % k for k in kept]
    else:
        assert fw.cidlist == kept


FAILURES = {"raises": requests.ConnectionError("reset"), "not-json": "<html>busy</html>",
            "timeout": requests.ReadTimeout("slow")}


@pytest.mark.parametrize("failures", [1, 3])
@pytest.mark.parametrize("kind", sorted(FAILURES))
@pytest.mark.parametrize("which, at", [("sha1list", 0), ("sha1list", 1), ("cidlist", 2),
                                       ("aps", 1)])
def test_failed_listing_request_is_tried_again(fw, net, monkeypatch, capsys, which, at, kind,
                                               failures):
    sleeps = []
    monkeypatch.setattr(fw, "time", types.SimpleNamespace(sleep=sleeps.append))
    items = [[a_file("p%d" % n), {"cid": "c%d" % n, "n": "d"}] for n in range(3)]
    replies = [page(300, items[n]) for n in range(3)]
    if which == "aps":  # the API does not report success: its reply is read once
        replies.insert(0, page(0, state=False))
        at += 1
    replies[at:at] = [FAILURES[kind]] * failures
    fake = net(*replies)
    if which == "cidlist":
        fw.get_cidlist("1", "ck")
        assert fw.cidlist == ["c0", "c1", "c2"]
    else:
        assert fw.get_sha1list("1", "0", "ck") == 300
        assert fw.sha1list == ["p0|1|AB12|pc1", "p1|1|AB12|pc1", "p2|1|AB12|pc1"]
    assert sleeps == [0.5, 1, 2][:failures]
    urls = [url for url, _ in fake.calls]
    assert len(urls) == len(replies) and urls[at:at + failures + 1] == [urls[at]] * (failures + 1)
    assert capsys.readouterr().out == "正在获取第2页/总共3页\n正在获取第3页/总共3页\n"


@pytest.mark.parametrize("which", ["sha1list", "cidlist"])
def test_interrupted_listing_request_is_not_tried_again(fw, net, monkeypatch, which):
    sleeps = []
    monkeypatch.setattr(fw, "time", types.SimpleNamespace(sleep=sleeps.append))
    fake = net(page(300), KeyboardInterrupt(), page(300), page(300))
    with pytest.raises(KeyboardInterrupt):
        fw.get_sha1list("1", "0", "ck") if which == "sha1list" else fw.get_cidlist("1", "ck")
    assert (len(fake.calls), sleeps) == (2, [])


# -- download address --------------------------------------------------------

@pytest.mark.parametrize("pickcode", ["abc123", "a&b c"])
def test_get_url_request(fw, net, monkeypatch, pickcode):
    monkeypatch.setattr(fw, "time", Clock(now=1700000000.1239))
    fake = net({"state": True, "file_url": "https://cdn.example/f?x=1"})
    assert fw.get_url(pickcode, "ck=1") == "https://cdn.example/f?x=1"
    [(url, kwargs)] = fake.calls
    assert url == API + "/files/download?pickcode=" + pickcode + "&_=1700000000123"
    assert sorted(kwargs) == ["headers", "timeout"] and kwargs["timeout"] == 6
    assert list(kwargs["headers"].items()) == [
        ("Host", "api.drive.example"), ("Connection", "keep-alive"), ("Accept", "*/*"),
        ("X-Requested-With", "XMLHttpRequest"), ("User-Agent", BROWSER),
        ("Referer", API_REFERER), ("Accept-Encoding", "gzip, deflate, br"),
        ("Accept-Language", "zh-CN,zh;q=0.9"), ("cookie", "ck=1")]


@pytest.mark.parametrize("status, file_url", [(200, ""), (200, None), (200, 5), (500, "u")])
def test_get_url_returns_file_url_unchanged(fw, net, status, file_url):
    net(Reply(json.dumps({"file_url": file_url}), status=status))
    assert fw.get_url("pc", "ck") == file_url


@pytest.mark.parametrize("pickcode, reply, error", [
    ("pc", {"state": False, "msg": "file not found"}, KeyError),
    (5, None, TypeError), (None, None, TypeError), (b"pc", None, TypeError)])
def test_get_url_failures(fw, net, pickcode, reply, error):
    fake = net(reply)
    with pytest.raises(error):
        fw.get_url(pickcode, "ck")
    assert len(fake.calls) == (error is KeyError)  # a bad pickcode is never sent


# -- prefix hash -------------------------------------------------------------

def sha1(data):
    return hashlib.sha1(data).hexdigest().upper() if data else ""


def body_reply(size, step, **kw):
    return Reply(chunks=[BODY[i:min(i + step, size)] for i in range(0, size, step)], **kw)


@pytest.mark.parametrize("url, host, cookie, cid, folder", [
    ("https://cdn.example/f/x?t=1", "cdn.example", "ck=1", 0, "0"),
    ("http://127.0.0.1:8080/dl/pc", "127.0.0.1:8080", "", "0", "0"),
    ("https://a.example/c", "a.example", "k", 12345, "12345")])
def test_get_preid_request(fw, net, url, host, cookie, cid, folder):
    reply = body_reply(10, 10)
    fake = net(reply)
    assert fw.get_preid(url, cookie, cid) == sha1(BODY[:10])
    [(sent, kwargs)] = fake.calls
    assert sent == url
    assert sorted(kwargs) == ["headers", "stream", "timeout"]
    assert kwargs["stream"] is True and kwargs["timeout"] == 6
    assert list(kwargs["headers"].items()) == [
        ("Host", host), ("User-Agent", BROWSER), ("Accept", "*/*"),
        ("Referer", "https://site.drive.example/?cid=" + folder + "&offset=0&mode=wangpan"),
        ("cookie", cookie), ("Accept-Encoding", "gzip, deflate, br"),
        ("Accept-Language", "zh-CN,zh;q=0.9")]
    assert reply.chunk_sizes == [PREFIX] and reply.closed == 1


@pytest.mark.parametrize("url", ["nohost", "a/b", "http:/x"])
def test_get_preid_url_without_host(fw, net, url):
    fake = net()
    with pytest.raises(IndexError):
        fw.get_preid(url, "ck", 0)
    assert fake.calls == []


@pytest.mark.parametrize("size, step, pulled", [
    (0, 8192, 1), (1, 8192, 2), (PREFIX - 1, 8192, 17), (PREFIX, 8192, 16),
    (PREFIX + 1, 8192, 16), (300000, 8192, 16), (300000, 1000, 132), (300000, 100000, 2),
    (300000, 300000, 1)])
def test_get_preid_hashes_the_prefix_only(fw, net, size, step, pulled):
    reply = body_reply(size, step)
    net(reply)
    assert fw.get_preid("https://cdn.example/x", "ck", 0) == sha1(BODY[:min(size, PREFIX)])
    assert reply.chunks.pulled == pulled
    assert reply.closed == 1


@pytest.mark.parametrize("status", [200, 206, 302, 399, 400, 404, 500])
def test_get_preid_error_status(fw, net, status):
    reply = Reply(status=status, chunks=[b"<html>page</html>"])
    net(reply)
    if status < 400:
        assert fw.get_preid("https://cdn.example/x", "ck", 0) == sha1(b"<html>page</html>")
    else:
        with pytest.raises(requests.HTTPError) as caught:
            fw.get_preid("https://cdn.example/x", "ck", 0)
        assert caught.value.response is reply
    assert reply.closed == 1


@pytest.mark.parametrize("size, headers, short", [
    (1000, {"Content-Length": "200000"}, True),
    (1000, {"Content-Length": "200000", "Content-Encoding": "identity"}, True),
    (1000, {"Content-Length": "200000", "Content-Encoding": "gzip"}, False),
    (1000, {"Content-Length": "1000"}, False),
    (1000, {}, False),
    (300000, {"Content-Length": str(64 << 30)}, False)])
def test_get_preid_body_shorter_than_announced(fw, net, size, headers, short):
    reply = body_reply(size, 8192, headers=headers)
    net(reply)
    if short:
        with pytest.raises(requests.RequestException) as caught:
            fw.get_preid("https://cdn.example/x", "ck", 0)
        assert not isinstance(caught.value, (requests.HTTPError, requests.Timeout))
    else:
        assert fw.get_preid("https://cdn.example/x", "ck", 0) == sha1(BODY[:min(size, PREFIX)])
    assert reply.closed == 1


# A chunk every `step` seconds: 61 s at once, or many quick chunks adding up
# past the 60 s the whole prefix may take, times out; 16 chunks 3 s apart do not.
@pytest.mark.parametrize("step, chunk, late", [
    (61.0, 1000, True), (4.5, 8192, True), (3.0, 8192, False), (0.0, 1000, False)])
def test_get_preid_deadline(fw, net, monkeypatch, step, chunk, late):
    monkeypatch.setattr(fw, "time", Clock(step=step))
    reply = body_reply(300000, chunk)
    net(reply)
    if late:
        with pytest.raises(requests.Timeout):
            fw.get_preid("https://cdn.example/x", "ck", 0)
        assert reply.chunks.pulled < PREFIX // chunk
    else:
        assert fw.get_preid("https://cdn.example/x", "ck", 0) == sha1(BODY[:PREFIX])
    assert reply.closed == 1


# A clock that fails, or tells no time: its error ends the call as raised.
@pytest.mark.parametrize("reading, error", [(lambda: 1 / 0, ZeroDivisionError),
                                            (lambda: "noon", TypeError)])
def test_get_preid_clock_error(fw, net, monkeypatch, reading, error):
    monkeypatch.setattr(fw, "time", types.SimpleNamespace(monotonic=reading, time=reading))
    net(body_reply(10, 10))
    with pytest.raises(error):
        fw.get_preid("https://cdn.example/x", "ck", 0)


# A read that fails within the deadline keeps its error; one that fails once
# the deadline has passed was cut off, and is a timeout.
@pytest.mark.parametrize("step, error", [(0.0, requests.ConnectionError),
                                         (61.0, requests.Timeout)])
def test_get_preid_read_error(fw, net, monkeypatch, step, error):
    monkeypatch.setattr(fw, "time", Clock(step=step))
    reply = Reply(fail=requests.ConnectionError("reset by peer"))
    net(reply)
    with pytest.raises(requests.RequestException) as caught:
        fw.get_preid("https://cdn.example/x", "ck", 0)
    assert type(caught.value) is error
    assert reply.closed == 1
