"""The stand-in's network mode: TLS, the front's round trips and slow start,
ranges under keep-alive, the CONNECT proxy, connection counts, clean stop.

Timings are checked in round trips of a long RTT: the model never delivers
early, so the lower bounds are tight; the upper bounds leave room for a busy
machine."""
import os
import socket
import ssl
import threading
import time

import pytest
import requests

from conftest import native_speed, run_python
from standin import Drive, Faults, StandIn

RTT = 0.2
PREFIX = 131072


def small_drive():
    d = Drive(seed=4)
    d.root.add_file("big.bin", 300000)
    d.root.add_file("empty.bin", 0)
    d.root.add_file("small.bin", 5000)
    return d


def open_tls(s, version=None, host="localhost"):
    ctx = ssl.create_default_context(cafile=s.ca_file)
    if version is not None:
        ctx.minimum_version = ctx.maximum_version = version
    raw = socket.create_connection(("127.0.0.1", s.port), timeout=10)
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return ctx.wrap_socket(raw, server_hostname=host)


def exchange(sock, path, headers=""):
    """One GET on `sock`; (status line, headers text, body)."""
    sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % (path, headers)).encode())
    buf = b""
    while b"\r\n\r\n" not in buf:
        chunk = sock.recv(65536)
        assert chunk, "connection closed before the reply"
        buf += chunk
    head, _, body = buf.partition(b"\r\n\r\n")
    head = head.decode("latin-1")
    length = int([line.split(":", 1)[1] for line in head.split("\r\n")
                  if line.lower().startswith("content-length:")][0])
    while len(body) < length:
        chunk = sock.recv(262144)
        assert chunk, "connection closed inside the body"
        body += chunk
    assert len(body) == length, "more bytes than Content-Length"
    return head.split("\r\n", 1)[0], head, body


def timed(fn, *args):
    t0 = time.monotonic()
    result = fn(*args)
    return (time.monotonic() - t0) / RTT, result


def within(rtts, expected):
    return expected - 0.05 <= rtts <= expected + 0.9


# -- the model's round trips ----------------------------------------------------

@native_speed("the emulated client's first TLS handshake takes up to 0.13 s of the 0.18 s "
              "(0.9 round trip) that the bound leaves")
@pytest.mark.parametrize("version,handshake", [("1.3", 2), ("1.2", 3)])
def test_round_trips_of_fresh_and_reused_tls_connections(serve, version, handshake):
    d = small_drive()
    big = d.files()[0]
    s = serve(d, tls=version, rtt=RTT)

    def fresh_request():
        c = open_tls(s)            # connect + handshake (the TCP round trip is charged here)
        return c, exchange(c, "/files?cid=0")

    rtts, (c, (status, _, _)) = timed(fresh_request)
    assert status.endswith("200 OK") and within(rtts, 1 + handshake)
    assert c.version() == "TLSv%s" % version
    reused, _ = timed(exchange, c, "/files?cid=0")
    assert within(reused, 1)
    c.close()
    # 128 KiB on a fresh connection: the handshake, the request and three
    # more windows of slow start (10, 20, 40, then 80 segments).
    c = open_tls(s)
    body_rtts, (_, _, body) = timed(exchange, c, "/dl/%s" % big.pickcode,
                                    "Range: bytes=0-131071\r\n")
    assert len(body) == PREFIX and within(body_rtts, 4)
    c.close()
    assert s.connections()["accepted"] == 2 and s.connections()["front"] == 2


def test_plain_http_through_the_front_costs_connect_plus_exchange(serve):
    s = serve(small_drive(), rtt=RTT)
    rtts, r = timed(requests.get, s.base_url + "/files?cid=0")
    assert r.json()["count"] == 3 and within(rtts, 2)


def test_slow_start_keeps_its_window_and_restarts_after_idle(serve):
    d = small_drive()
    big = d.files()[0]
    s = serve(d, tls="1.3", rtt=RTT)
    c = open_tls(s)
    exchange(c, "/files?cid=0")
    rng = "Range: bytes=0-131071\r\n"
    # cwnd 10 -> 20 -> 40 -> 80 segments: four windows; the last one, not
    # filled to half, leaves cwnd at 80 segments (115840 bytes) for the next
    # prefix: two windows, the first of them full, so cwnd doubles again.
    rtts = [timed(exchange, c, "/dl/" + big.pickcode, rng)[0] for _ in range(3)]
    time.sleep(RTT + 0.2 + 0.15)           # idle past the retransmission timeout
    after_idle, _ = timed(exchange, c, "/dl/" + big.pickcode, rng)
    c.close()
    assert [within(r, n) for r, n in zip(rtts + [after_idle], [4, 2, 1, 4])] == [True] * 4, rtts


def test_slow_start_can_be_switched_off(serve):
    d = small_drive()
    s = serve(d, tls="1.3", rtt=RTT, slow_start=False)
    c = open_tls(s)
    exchange(c, "/files?cid=0")
    rtts, _ = timed(exchange, c, "/dl/" + d.files()[0].pickcode, "Range: bytes=0-131071\r\n")
    c.close()
    assert within(rtts, 1)


# -- TLS -------------------------------------------------------------------------

@pytest.mark.parametrize("server,client,ok", [
    ("1.3", ssl.TLSVersion.TLSv1_3, True), ("1.2", ssl.TLSVersion.TLSv1_2, True),
    ("1.3", ssl.TLSVersion.TLSv1_2, False), ("1.2", ssl.TLSVersion.TLSv1_3, False)])
def test_tls_version_is_exactly_the_one_chosen(serve, server, client, ok):
    s = serve(small_drive(), tls=server)
    if not ok:
        with pytest.raises(ssl.SSLError):
            open_tls(s, client)
        assert wait_for(lambda: s.connections()["handshake_failures"] == 1)
        return
    c = open_tls(s, client)
    assert c.version() == "TLSv" + server and exchange(c, "/files?cid=0")[0].endswith("200 OK")
    c.close()


@pytest.mark.parametrize("host,ok", [("localhost", True), ("127.0.0.1", True),
                                     ("api.drive.example", True), ("dl.other.example", True),
                                     ("elsewhere.example", False)])
def test_certificate_names_and_bundle(serve, host, ok):
    s = serve(small_drive(), tls="1.3", names=("localhost", "127.0.0.1", "api.drive.example",
                                                "dl.other.example"))
    if ok:
        open_tls(s, host=host).close()
    else:
        with pytest.raises(ssl.CertificateError):
            open_tls(s, host=host)
    with open(s.ca_bundle, "rb") as f:
        bundle = f.read()
    with open(s.ca_file, "rb") as f:
        assert bundle.rstrip().endswith(f.read().rstrip())
    assert bundle.count(b"BEGIN CERTIFICATE") > 50     # certifi's store is in it


def test_tls_must_be_a_known_version():
    with pytest.raises(ValueError):
        StandIn(small_drive(), tls="1.1")


# -- ranges over keep-alive ------------------------------------------------------

def test_range_replies_are_exact_and_keep_the_connection(serve):
    d = small_drive()
    big, empty, small = d.files()
    s = serve(d, tls="1.3")
    with requests.Session() as http:
        http.trust_env, http.verify = False, s.ca_file   # REQUESTS_CA_BUNDLE would win
        url = lambda f: s.download_url(f)
        r = http.get(url(big), headers={"Range": "bytes=0-131071"}, timeout=5)
        assert (r.status_code, r.headers["Content-Range"]) == (206, "bytes 0-131071/300000")
        assert r.content == big.read(0, PREFIX) and r.headers["Content-Length"] == "131072"
        r = http.get(url(small), headers={"Range": "bytes=0-131071"}, timeout=5)
        assert r.status_code == 206 and r.content == small.read(0, 5000)
        r = http.get(url(empty), headers={"Range": "bytes=0-131071"}, timeout=5)
        assert (r.status_code, r.headers["Content-Range"]) == (416, "bytes */0")
        r.content
        assert http.get(s.base_url + "/files?cid=0", timeout=5).json()["count"] == 3
    assert {r.conn for r in s.log} == {1} and s.connections()["accepted"] == 1
    assert [r.status for r in s.log] == [206, 206, 416, 200]
    assert [r.sent for r in s.log.download()][:2] == [PREFIX, 5000]


@pytest.mark.parametrize("switch,options,expect", [
    (True, {}, 206), (False, {}, 200), (True, {"ranges": False}, 200)])
def test_ranges_can_be_ignored_stand_in_wide_or_per_file(serve, switch, options, expect):
    d = Drive(seed=1)
    f = d.root.add_file("f.bin", 200000, **options)
    s = serve(d, ranges=switch)
    r = requests.get(s.download_url(f), headers={"Range": "bytes=0-131071"}, timeout=5)
    assert r.status_code == expect
    assert r.content == f.read(0, PREFIX if expect == 206 else f.size)
    assert ("Accept-Ranges" in r.headers) == (expect == 206)


# -- the CONNECT proxy -----------------------------------------------------------

@pytest.fixture
def via_proxy(serve, monkeypatch):
    def start(drive=None, **kw):
        s = serve(drive, proxy=True, **kw)
        monkeypatch.setenv("HTTPS_PROXY", s.proxy_url)
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", s.ca_bundle)
        for name in ("NO_PROXY", "no_proxy", "https_proxy", "ALL_PROXY", "all_proxy"):
            monkeypatch.delenv(name, raising=False)
        return s
    return start


def test_proxy_tunnels_service_hosts_with_plain_requests(via_proxy):
    s = via_proxy(small_drive())
    big = s.drive.files()[0]
    assert requests.get("https://api.drive.example/files?cid=0", timeout=5).json()["count"] == 3
    addr = requests.get("https://api.drive.example/files/download?pickcode=" + big.pickcode,
                        timeout=5).json()
    assert addr["file_url"].startswith("https://dl.drive.example/dl/")
    r = requests.get(addr["file_url"], headers={"Range": "bytes=0-131071"}, timeout=5)
    assert r.status_code == 206 and r.content == big.read(0, PREFIX)
    assert requests.get("https://aps.drive.example/natsort/files.php?cid=0",
                        timeout=5).json()["state"]
    conns = s.connections()
    assert conns["tunnels"] == [("api.drive.example", 443), ("api.drive.example", 443),
                                ("dl.drive.example", 443), ("aps.drive.example", 443)]
    assert conns["accepted"] == conns["proxy"] == 4
    assert conns["first_request"] == {"api_list": 1, "address": 1, "download": 1, "aps_list": 1}
    assert s.log[0].header("Host") == "api.drive.example"


def test_proxy_refuses_other_hosts(via_proxy):
    s = via_proxy(small_drive())
    with pytest.raises(requests.exceptions.ProxyError):
        requests.get("https://elsewhere.example/", timeout=5)
    assert s.connections()["refused"] == [("elsewhere.example", 443)]
    assert s.connections()["accepted"] == 0


def test_proxy_passes_resets_on(via_proxy):
    faults = Faults()
    faults.add("api_list", "reset")
    via_proxy(small_drive(), faults=faults)
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.get("https://api.drive.example/files?cid=0", timeout=5)
    assert requests.get("https://api.drive.example/files?cid=0", timeout=5).status_code == 200


def test_installed_module_runs_through_the_proxy(via_proxy, tmp_path):
    d = Drive.flat(14, seed=8)
    s = via_proxy(d, rtt=0.01)
    (tmp_path / "config.ini").write_text(
        "[必须参数]\ncid = %s\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n" % s.root_cid,
        encoding="utf-8")
    env = {k: os.environ[k] for k in ("HTTPS_PROXY", "REQUESTS_CA_BUNDLE")}
    p = run_python("import fernwick; fernwick.main()", cwd=str(tmp_path), env=env, stdin="")
    assert p.returncode == 0, p.stderr
    lines = (tmp_path / "QuillsiftBYOskel.txt").read_text(encoding="utf-8").splitlines()
    assert sorted(lines) == sorted(d.expected_lines())
    hosts = {h for h, _ in s.connections()["tunnels"]}
    assert hosts == {"api.drive.example", "dl.drive.example"}
    assert all(r.header("Host") in ("api.drive.example", "dl.drive.example") for r in s.log)


# -- counting and stopping ---------------------------------------------------------

def wait_for(cond, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_connections_are_counted_by_first_request(serve):
    d = small_drive()
    s = serve(d, tls="1.2", rtt=0.01)
    with requests.Session() as http:
        http.trust_env, http.verify = False, s.ca_file   # REQUESTS_CA_BUNDLE would win
        for _ in range(3):
            http.get(s.base_url + "/files?cid=0", timeout=5)
    for f in d.files()[:2]:
        requests.get(s.download_url(f), verify=s.ca_file, timeout=5)
    c = s.connections()
    assert c["accepted"] == c["front"] == 3
    assert c["first_request"] == {"api_list": 1, "download": 2}
    assert [r.conn for r in s.log] == [1, 1, 1, 2, 3]


@pytest.mark.parametrize("options", [{}, {"tls": "1.3"}, {"tls": "1.3", "rtt": 0.05},
                                     {"proxy": True, "rtt": 0.05}])
def test_stop_leaves_no_threads_or_listeners(options):
    before = set(threading.enumerate())
    s = StandIn(small_drive(), **options).start()
    ports = [p for p in (s.port, s.proxy_port) if p]
    idle = socket.create_connection(("127.0.0.1", ports[0]), timeout=5)   # left open
    time.sleep(0.1)
    s.stop()
    assert wait_for(lambda: set(threading.enumerate()) <= before)
    for port in ports:
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
    idle.settimeout(5)
    try:
        assert idle.recv(10) == b""
    except ConnectionResetError:
        pass
    idle.close()


class _WakeSpy(object):
    """The front's wake socket, made to send its byte only after `before`."""

    def __init__(self, sock, before):
        self.sock, self.before, self.open_when_sent = sock, before, None

    def send(self, data):
        self.before()
        self.open_when_sent = self.sock.fileno() != -1
        return self.sock.send(data)

    def close(self):
        self.sock.close()


def test_stop_wakes_the_front_through_a_socket_still_open():
    # The loop can end on its own between stop() telling it to and the wake
    # byte: here it does, woken by a connection, before the byte is sent.
    s = StandIn(small_drive(), rtt=0.01).start()
    net = s._net
    loop = net._thread

    def loop_ends_first():
        socket.create_connection(("127.0.0.1", s.port), timeout=5).close()
        loop.join(5)

    spy = net._wake_w = _WakeSpy(net._wake_w, loop_ends_first)
    s.stop()
    assert not loop.is_alive()
    assert spy.open_when_sent
    assert spy.sock.fileno() == -1      # and closed by stop() after that


def test_stop_never_shuts_down_a_socket_its_handler_has_closed(monkeypatch):
    # A handler whose client leaves closes its socket; stop() must not be
    # shutting that descriptor down meanwhile (its number may be reused).
    s = StandIn(small_drive()).start()
    client = socket.create_connection(("127.0.0.1", s.port), timeout=5)
    client.sendall(b"GET /files?cid=0 HTTP/1.1\r\nHost: localhost\r\n\r\n")
    assert client.recv(65536).startswith(b"HTTP/1.1 200")
    me, real, seen = threading.current_thread(), socket.socket.shutdown, []

    def shutdown(sock, how):
        if threading.current_thread() is me and not seen:
            client.close()          # the handler reads the end and closes its side
            wait_for(lambda: sock.fileno() == -1, 0.5)
            seen.append(sock.fileno())
        return real(sock, how)

    monkeypatch.setattr(socket.socket, "shutdown", shutdown)
    s.stop()
    assert seen and seen[0] != -1


def test_fixed_port_is_used_and_reusable():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    for _ in range(2):
        with StandIn(small_drive(), tls="1.3", rtt=0.01, port=port) as s:
            assert s.port == port and s.base_url == "https://127.0.0.1:%d" % port
            r = requests.get(s.base_url + "/files?cid=0", verify=s.ca_file, timeout=5)
            assert r.json()["count"] == 3
