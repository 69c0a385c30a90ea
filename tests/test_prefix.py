"""The prefix hash over real sockets, with the real requests module, against
the local stand-in of the drive."""
import hashlib
import time

import pytest
import requests
import urllib3.response

from standin import Drive, StandIn

PREFIX = 131072

FILES = {  # name: (size, serving options)
    "empty": (0, {}),
    "small": (1000, {}),
    "mega": (1000000, {}),
    "chunked": (1000000, {"chunked": True}),
    "gzip": (1000000, {"gzip": True}),
    "huge": (64 << 30, {}),
    "huge-chunked": (64 << 30, {"chunked": True}),
    "missing": (1000, {"status": 404}),
    "failing": (1000, {"status": 500}),
    "cut": (1000000, {"truncate": 50000}),
    "trickle": (1000000, {"trickle": [1024, 0.05]}),
    "trickle-chunked": (1000000, {"trickle": [1024, 0.05], "chunked": True}),
}


@pytest.fixture(scope="module")
def server():
    drive = Drive(seed=3)
    files = {name: drive.root.add_file(name, size, **options)
             for name, (size, options) in FILES.items()}
    with StandIn(drive) as standin:
        yield standin, files


@pytest.fixture
def download(fw, monkeypatch, server):
    """get_preid of one stand-in file; returns (result, the request as received)."""
    monkeypatch.setattr(fw, "requests", requests)
    standin, files = server

    def run(name):
        f = files[name]
        try:
            return fw.get_preid(standin.download_url(f), "uid=7", 77), f
        finally:
            assert standin.wait_idle()
    return run


def last_request(server, f):
    standin, _ = server
    return [r for r in standin.log.download() if r.pickcode == f.pickcode][-1]


@pytest.mark.parametrize("name", ["empty", "small", "mega", "chunked", "gzip", "huge",
                                  "huge-chunked"])
def test_prefix_over_http(server, download, name):
    preid, f = download(name)
    data = f.read(0, PREFIX)
    assert preid == (hashlib.sha1(data).hexdigest().upper() if data else "")
    rec = last_request(server, f)
    assert rec.header("Host") == "127.0.0.1:%d" % server[0].port
    assert rec.header("Referer") == "https://site.drive.example/?cid=77&offset=0&mode=wangpan"
    assert rec.header("cookie") == "uid=7"
    assert rec.sent < 8 << 20  # the rest of a large file is never fetched


@pytest.mark.parametrize("name, status", [("missing", 404), ("failing", 500)])
def test_error_page_is_not_hashed(download, name, status):
    with pytest.raises(requests.HTTPError) as caught:
        download(name)
    assert caught.value.response.status_code == status


def test_cut_off_body_raises(download):
    with pytest.raises(requests.RequestException):
        download("cut")


class ScaledClock:
    """fernwick.time running 100 times faster than the wall clock."""

    def monotonic(self):
        return time.monotonic() * 100

    def time(self):
        return time.time()

    def sleep(self, seconds):
        time.sleep(seconds / 100)


# A server trickling 1 KiB every 50 ms would need 6.4 s for the prefix, and
# every single read is well within the request timeout: only the whole-prefix
# deadline (here 0.6 s of wall clock) stops it.
@pytest.mark.parametrize("name", [
    pytest.param("trickle", marks=pytest.mark.skipif(
        not hasattr(urllib3.response.HTTPResponse, "shutdown"),
        reason="this urllib3 cannot cut a read off; the deadline is checked between chunks")),
    "trickle-chunked"])
def test_trickling_server_hits_the_deadline(server, download, fw, monkeypatch, name):
    monkeypatch.setattr(fw, "time", ScaledClock())
    started = time.monotonic()
    with pytest.raises(requests.Timeout):
        download(name)
    assert time.monotonic() - started < 3
    assert server[0].sent_bytes(server[1][name].pickcode)[-1] < PREFIX
