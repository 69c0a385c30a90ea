"""HTTP/1.1 stand-in for the drive's web API, APS listing and download hosts."""

import json
import math
import socket
import struct
import sys
import threading
import time
import zlib
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

from . import network
from . import tls as tlsmod
from .drive import Drive
from .faults import KINDS
from .limits import Limits, retry_after_headers
from .log import Log
from .route import DEFAULT_HOSTS

PIECE = 65536               # bytes per socket write of a download body
CHUNK = 8192                # chunk size with Transfer-Encoding: chunked
GZIP_BUFFER_LIMIT = 4 << 20  # gzip bodies of files up to this size get a Content-Length
SNDBUF = 131072             # default SO_SNDBUF of download connections
BAD_JSON = b'{"state":true,"count":3,"data":[{"n":"trunc'

ROUTES = {
    "/files": "api_list",
    "/natsort/files.php": "aps_list",
    "/files/download": "address",
}
DL_PREFIX = "/dl/"
DOWNLOAD_HOST = "dl.drive.example"   # host of download addresses in proxy mode
HANDSHAKE_TIMEOUT = 10.0

REASONS = {401: "Unauthorized", 403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed",
           416: "Range Not Satisfiable", 429: "Too Many Requests", 500: "Internal Server Error",
           502: "Bad Gateway", 503: "Service Unavailable"}


def request_kind(path):
    if path.startswith(DL_PREFIX):
        return "download"
    return ROUTES.get(path, "other")


def parse_range(value, size):
    """(start, end) for a single "bytes=a-b" range; None when the header should
    be ignored; "unsatisfiable" for a range past the end."""
    value = value.strip()
    if not value.startswith("bytes=") or "," in value:
        return None
    first, sep, last = value[6:].strip().partition("-")
    if not sep:
        return None
    try:
        if first == "":
            n = int(last)
            if n <= 0:
                return "unsatisfiable"
            return max(0, size - n), size
        start = int(first)
        end = int(last) + 1 if last else size
    except ValueError:
        return None
    if start >= size or start < 0:
        return "unsatisfiable"
    if end <= start:
        return None
    return start, min(end, size)


def _gzip_pieces(pieces):
    comp = zlib.compressobj(6, zlib.DEFLATED, 31)
    for piece in pieces:
        out = comp.compress(piece)
        if out:
            yield out
    yield comp.flush()


def _chunked(pieces):
    for piece in pieces:
        frames = []
        for i in range(0, len(piece), CHUNK):
            part = piece[i:i + CHUNK]
            frames.append(b"%x\r\n" % len(part) + part + b"\r\n")
        if frames:
            yield b"".join(frames)
    yield b"0\r\n\r\n"


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    _rec = None

    def version_string(self):
        return "standin/1"

    # -- plumbing ----------------------------------------------------------
    def setup(self):
        st = self.server.standin
        sock = self.request
        st._track(sock, True)
        self.conn_id, self.requests_seen = st._count_connection(), 0
        if st._context is not None:
            # The handshake runs here, in the connection's own thread.
            try:
                sock.settimeout(HANDSHAKE_TIMEOUT)
                sock.do_handshake()
                sock.settimeout(None)
            except (OSError, ValueError):
                st._track(sock, False)
                st._count_handshake_failure()
                raise
        BaseHTTPRequestHandler.setup(self)

    def finish(self):
        # Out of stop()'s reach before anything here or in the server's
        # shutdown_request closes the socket.
        self.server.standin._track(self.connection, False)
        try:
            BaseHTTPRequestHandler.finish(self)
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if self.server.standin.verbose:
            BaseHTTPRequestHandler.log_message(self, fmt, *args)

    def send_response(self, code, message=None):
        if self._rec is not None:
            self._rec.status = code
        BaseHTTPRequestHandler.send_response(self, code, message)

    def do_GET(self):
        self._dispatch()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_GET

    def _dispatch(self):
        st = self.server.standin
        st._enter()
        self._rec = None
        try:
            self._handle(st)
        except OSError:
            # The client went away (reset, broken pipe) or we reset it.
            self.close_connection = True
            if self._rec is not None and self._rec.error is None:
                self._rec.error = "client gone"
        finally:
            if self._rec is not None:
                self._rec.done = True
            st._leave()

    # -- writing -----------------------------------------------------------
    def _write(self, data):
        """Send all of `data`, counting what the socket accepted."""
        view = memoryview(data)
        sock = self.connection
        while len(view):
            n = sock.send(view)
            self._rec.sent += n
            view = view[n:]

    def _send_body(self, status, ctype, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        if self._rec is not None:
            self._rec.reply_headers = list(headers)
        self.end_headers()
        if self.command != "HEAD":
            self._write(body)

    def _html(self, status, headers=()):
        reason = REASONS.get(status) or self.responses.get(status, ("Error",))[0]
        body = ("<!DOCTYPE html>\n<html><head><title>%d %s</title></head>"
                "<body><h1>%d %s</h1><hr><p>standin</p></body></html>\n"
                % (status, reason, status, reason)).encode("utf-8")
        self._send_body(status, "text/html; charset=utf-8", body, headers)

    def _json(self, obj):
        st = self.server.standin
        body = json.dumps(obj, ensure_ascii=st.json_ascii, separators=(",", ":"))
        self._send_body(200, "application/json; charset=utf-8", body.encode("utf-8"))

    def _reset(self):
        """Drop the connection with a TCP RST and no reply."""
        self.close_connection = True
        sock = self.connection
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.server.standin._forget(sock)
        self.rfile.close()
        sock.close()

    # -- requests ----------------------------------------------------------
    def _handle(self, st):
        split = urlsplit(self.path)
        path, query = split.path, split.query
        kind = request_kind(path)
        rec = st.log.new(when=time.time(), client=self.client_address, method=self.command,
                         target=self.path, path=path, query=query,
                         params=parse_qs(query, keep_blank_values=True),
                         headers=list(self.headers.items()), kind=kind, conn=self.conn_id)
        # Known at once, so that a request refused before it is served
        # still says which file it was for.
        if kind == "address":
            rec.pickcode = rec.param("pickcode", "")
        elif kind == "download":
            rec.pickcode = unquote(path[len(DL_PREFIX):])
        self._rec = rec
        self.requests_seen += 1
        if self.requests_seen == 1:
            st._count_first_request(kind)
        if self.command != "GET":
            self.close_connection = True
            self._html(405, [("Allow", "GET")])
            return
        rec.refused = st.limits.decide(kind, self.headers.get("Cookie"))
        hit = None
        if rec.refused is None and st.faults is not None and kind in KINDS:
            hit = st.faults.decide(kind, rec)
        if hit is not None:
            rec.fault = hit.fault
        if st.latency:
            st._sleep(st.latency)
        if rec.refused == "rate":
            return self._limited(st.limits)
        if rec.refused in ("blip", "outage"):
            return self._html(503)
        if rec.refused == "download":
            return self._html(st.limits.refusal_status,
                              retry_after_headers(st.limits.refusal_retry_after))
        if rec.refused == "cookie":
            if st.limits.dead_reply == "401":
                return self._html(401)
            return self._json({"state": False})
        if hit is not None:
            if hit.fault == "slow":
                st._sleep(hit.seconds)
            elif hit.fault == "reset":
                self._reset()
                return
            elif hit.fault in ("http500", "http503"):
                self._html(int(hit.fault[4:]))
                return
            elif hit.fault == "badjson":
                self._send_body(200, "application/json; charset=utf-8", BAD_JSON)
                return
            elif hit.fault == "refused":  # a passing failure the service reports in JSON
                self._json({"state": False, "count": 0, "data": []})
                return
            elif hit.fault == "nolist":
                self._json({"state": True, "count": 0, "data": None})
                return
        if kind in ("api_list", "aps_list"):
            self._listing(st, rec)
        elif kind == "address":
            self._address(st, rec, hit is not None and hit.fault == "badurl")
        elif kind == "download":
            self._download(st, rec)
        else:
            self._html(404)

    def _limited(self, limits):
        if limits.limit_reply in ("503", "429-bare"):
            return self._html(int(limits.limit_reply[:3]))
        wait = limits.retry_after
        if limits.limit_reply == "429-date":
            # whole seconds on the wire: round up, so the date is never sooner
            wait = formatdate(math.ceil(time.time()) + wait, usegmt=True)
        self._html(429, [("Retry-After", str(wait))])

    def _listing(self, st, rec):
        def fail(msg):
            self._json({"state": False, "error": msg, "count": 0, "data": []})
        try:
            offset = int(rec.param("offset") or 0)
            limit = int(rec.param("limit") or 115)
        except ValueError:
            return fail("invalid offset or limit")
        if offset < 0 or limit < 0:
            return fail("invalid offset or limit")
        folder = st.drive.folder(rec.param("cid") or st.drive.root.cid)
        if folder is None:
            return fail("folder does not exist")
        if rec.kind == "api_list" and folder.api_fails:
            return fail("this folder can only be listed by the other service")
        count, data = st.drive.listing(folder.cid, offset, limit)
        self._json({"state": True, "count": count, "offset": offset, "limit": limit,
                    "data": data})

    def _address(self, st, rec, badurl):
        pc = rec.param("pickcode", "")
        rec.pickcode = pc
        f = st.drive.file(pc)
        if f is None:
            return self._json({"state": False, "msg": "file not found"})
        if f.address_status:
            return self._html(int(f.address_status), retry_after_headers(f.retry_after))
        self._json({"state": True,
                    "file_url": "not-a-url" if badurl else st.download_url(f),
                    "file_name": f.name, "file_size": f.size, "pickcode": pc})

    def _download(self, st, rec):
        pc = unquote(rec.path[len(DL_PREFIX):])
        rec.pickcode = pc
        f = st.drive.file(pc)
        if f is None:
            return self._html(404)
        if f.latency:
            st._sleep(f.latency)
        if f.status:
            return self._html(int(f.status), retry_after_headers(f.retry_after))
        if st.sndbuf:
            # A small send buffer keeps what a reader that stops early makes us push small.
            try:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, st.sndbuf)
            except OSError:
                pass

        status, start, end, headers = 200, 0, f.size, []
        want = self.headers.get("Range")
        if want and st.ranges and f.ranges and not f.gzip:
            r = parse_range(want, f.size)
            if r == "unsatisfiable":
                return self._html(416, [("Content-Range", "bytes */%d" % f.size)])
            if r is not None:
                status, (start, end) = 206, r
                headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end - 1, f.size)))

        pieces = f.iter_content(start, end, PIECE)
        length = end - start
        if f.gzip:
            headers.append(("Content-Encoding", "gzip"))
            if f.size <= GZIP_BUFFER_LIMIT:
                body = b"".join(_gzip_pieces(pieces))
                length = len(body)
                pieces = (body[i:i + PIECE] for i in range(0, len(body), PIECE))
            else:
                pieces, length = _gzip_pieces(pieces), None
        chunked = f.chunked or length is None
        if chunked:
            pieces = _chunked(pieces)
            headers.append(("Transfer-Encoding", "chunked"))
        else:
            headers.append(("Content-Length", str(length)))

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if f.ranges and st.ranges:
            self.send_header("Accept-Ranges", "bytes")
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()

        budget = f.truncate
        for piece in pieces:
            if budget is not None:
                piece = piece[:budget]
                budget -= len(piece)
            if f.trickle is None:
                self._write(piece)
            else:
                n, pause = f.trickle
                for i in range(0, len(piece), n):
                    self._write(piece[i:i + n])
                    st._sleep(pause)
            if budget is not None and budget <= 0:
                break
        if budget is not None:
            self.close_connection = True
            rec.error = "truncated"


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 128

    def get_request(self):
        sock, addr = self.socket.accept()
        # Replies go out as header and body writes; Nagle's algorithm would
        # hold the second one for the client's delayed ACK on a kept-alive
        # connection.
        network.nodelay(sock)
        context = self.standin._context
        if context is not None:
            sock = context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, OSError):
            return          # disconnects are business as usual here
        ThreadingHTTPServer.handle_error(self, request, client_address)


class StandIn(object):
    """The stand-in server; use as a context manager or start()/stop().

    latency: seconds added before every reply.  faults: a Faults object.
    host_alias: host written into download addresses instead of `host`.
    json_ascii: escape non-ASCII in JSON replies as \\uXXXX (else raw UTF-8).
    sndbuf: SO_SNDBUF of download connections (None: kernel default).
    ranges: False ignores Range headers everywhere (200 with the whole body).

    Network mode (see standin/network.py and the README):
    tls: None (plain HTTP), "1.2" or "1.3": the server speaks TLS of exactly
    that version, with a certificate for `names` (default the service hosts,
    the download host, localhost and 127.0.0.1) from a CA of our own;
    `ca_bundle` is certifi's bundle with that CA appended.
    rtt: seconds of round-trip time; > 0 puts the network front (TCP
    handshake, rtt/2 each way, slow start) between clients and the server.
    proxy: also open an HTTP CONNECT proxy (`proxy_url`) that tunnels to the
    server for any of `names` (implies tls="1.3" unless tls is given); download
    addresses are then https://<download_host>/dl/...
    slow_start, init_cwnd, mss: the sending model of the front.

    Limits on the API requests (listings of both hosts, download addresses;
    downloads are never limited), see standin/limits.py:
    rate, burst: a token bucket of `rate` requests a second holding at most
    `burst`; a request beyond it is refused with `limit_reply`: "429" (with
    Retry-After: `retry_after` seconds), "429-date" (Retry-After as an HTTP
    date that many seconds ahead), "429-bare" (429 without Retry-After) or
    "503" (no Retry-After).
    blip: the blip-th API request (1 for the first) is answered 503 without
    Retry-After, once: a passing refusal. blip_every: so is every
    blip_every-th API request.
    outage: (k, seconds) or (k, seconds, of): from the k-th API request on,
    every API request and download is answered 503 without Retry-After for
    that many seconds; `of` limits it to one endpoint: "listings" (both
    hosts), "addresses" or "downloads" ("all", the default, is everything).
    `limits.outage_window` is then its (start, end) in time.time().
    refuse_downloads: the first that many downloads are answered
    `refusal_status` (503 or 429) with Retry-After `refusal_retry_after`
    (None: no header; seconds; "past": an HTTP date a minute ago). A file's
    own `status` or `address_status` reply carries its `retry_after` alike.
    cookie_life: each distinct cookie is served that many API requests
    (those the limit let through); after that every API request with it gets
    `dead_reply`: "401" (a small HTML page) or "state" (200 with
    {"state": false} and nothing else).
    """

    def __init__(self, drive=None, latency=0.0, faults=None, port=0, host="127.0.0.1",
                 host_alias=None, json_ascii=True, verbose=False, sndbuf=SNDBUF,
                 ranges=True, tls=None, rtt=0.0, proxy=False, names=None,
                 download_host=None, slow_start=True, init_cwnd=network.INIT_CWND,
                 mss=network.MSS, proxy_port=0, rate=None, burst=1, limit_reply="429",
                 retry_after=1, cookie_life=None, dead_reply="401", blip=None,
                 blip_every=None, outage=None, refuse_downloads=0, refusal_status=503,
                 refusal_retry_after=None):
        self.drive = drive if drive is not None else Drive.sample()
        self.latency = float(latency)
        self.faults = faults
        self.limits = Limits(rate=rate, burst=burst, limit_reply=limit_reply,
                             retry_after=retry_after, cookie_life=cookie_life,
                             dead_reply=dead_reply, blip=blip, blip_every=blip_every,
                             outage=outage, refuse_downloads=refuse_downloads,
                             refusal_status=refusal_status,
                             refusal_retry_after=refusal_retry_after)
        self.host = host
        self.host_alias = host_alias
        self.json_ascii = json_ascii
        self.verbose = verbose
        self.sndbuf = sndbuf
        self.ranges = ranges
        self.proxy = proxy
        self.tls = tls if tls is not None or not proxy else "1.3"
        if self.tls is not None and self.tls not in tlsmod.VERSIONS:
            raise ValueError("tls must be None, %s" % ", ".join(map(repr, tlsmod.VERSIONS)))
        self.rtt = float(rtt)
        self.download_host = download_host or (DOWNLOAD_HOST if proxy else None)
        extra = [self.download_host] if self.download_host else []
        self.names = tuple(names) if names is not None else (
            tuple(DEFAULT_HOSTS) + tuple(extra) + ("localhost", "127.0.0.1"))
        self._net_options = {"slow_start": slow_start, "init_cwnd": init_cwnd, "mss": mss}
        self.log = Log()
        self._want_port = port
        self._want_proxy_port = proxy_port
        self._server = None
        self._thread = None
        self._net = None
        self._ports = {}
        self._context = None
        self.certs = None
        self._stopping = threading.Event()
        self._idle = threading.Condition()
        self._active = 0
        self._conns = set()
        self._threads = set()
        self._conns_lock = threading.Lock()
        self._counts_lock = threading.Lock()
        self._accepted = 0
        self._handshake_failures = 0
        self._first_kinds = {}

    # -- lifecycle ---------------------------------------------------------
    def start(self):
        if self._server is not None:
            return self
        self._stopping.clear()
        if self.tls is not None:
            self.certs = tlsmod.certs(self.names)
            self._context = tlsmod.server_context(self.certs, self.tls)
        front = self.rtt > 0 or self.proxy
        self._server = _Server((self.host, 0 if front else self._want_port), _Handler)
        self._server.standin = self
        self._ports = {"service": self._server.server_address[1]}
        if front:
            try:
                self._start_front()
            except OSError:
                self._server.server_close()
                self._server = None
                raise
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="standin-%d" % self.port)
        self._thread.daemon = True
        self._thread.start()
        return self

    def _start_front(self):
        net = network.Network(self._server.server_address, rtt=self.rtt, names=self.names,
                              host=self.host, **self._net_options)
        try:
            if self.rtt > 0:
                self._ports["service"] = net.listen(self._want_port)
            if self.proxy:
                self._ports["proxy"] = net.listen(self._want_proxy_port, proxy=True)
        except OSError:
            for sock in net.listeners:
                sock.close()
            raise
        net.start()
        self._net = net

    def stop(self):
        server = self._server
        if server is None:
            return
        self._stopping.set()
        if self._net is not None:
            self._net.stop()
        server.shutdown()
        server.server_close()
        # Under the lock: a handler takes its socket out of _conns (under
        # the lock too) before it closes it, so none of these descriptors
        # can be closed, and its number reused, while it is shut down here.
        with self._conns_lock:
            for c in self._conns:
                try:
                    # the plain socket's shutdown: an SSLSocket's own would drop
                    # its TLS state under a thread still reading
                    socket.socket.shutdown(c, socket.SHUT_RDWR)
                except OSError:
                    pass
        self._thread.join(5)
        deadline = time.time() + 5
        for t in self._handler_threads():
            t.join(max(0.0, deadline - time.time()))
        self._server = None

    def _handler_threads(self):
        with self._conns_lock:
            return list(self._threads)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- facts -------------------------------------------------------------
    @property
    def port(self):
        """The port where the service answers (through the front when rtt > 0)."""
        return self._ports.get("service") if self._server is not None else None

    @property
    def proxy_port(self):
        return self._ports.get("proxy") if self._server is not None else None

    @property
    def scheme(self):
        return "https" if self.tls else "http"

    @property
    def base_url(self):
        return "%s://%s:%d" % (self.scheme, self.host, self.port)

    @property
    def proxy_url(self):
        return "http://%s:%d" % (self.host, self.proxy_port) if self.proxy_port else None

    @property
    def ca_bundle(self):
        """certifi's CA bundle with our CA appended (TLS mode)."""
        return self.certs.bundle if self.certs else None

    @property
    def ca_file(self):
        """Our CA alone (TLS mode)."""
        return self.certs.ca if self.certs else None

    @property
    def root_cid(self):
        return self.drive.root.cid

    def download_url(self, f):
        path = "%s%s?t=%d" % (DL_PREFIX, quote(f.pickcode, safe=""), int(time.time()) + 3600)
        if self.proxy:
            return "https://%s%s" % (self.download_host, path)
        host = self.host_alias or self.host
        return "%s://%s:%d%s" % (self.scheme, host, self.port, path)

    def sent_bytes(self, pickcode):
        """Body bytes accepted by the socket, one entry per download request."""
        return [r.sent for r in self.log.of_kind("download") if r.pickcode == pickcode]

    def connections(self):
        """Connections the server accepted: {"accepted", "handshake_failures",
        "first_request": {kind: count}} and, with the front, "front" (client
        connections it accepted), "tunnels" (CONNECTs tunnelled, as
        (host, port)), "refused" (CONNECTs refused) and "lateness" ((mean,
        max) seconds the front released bytes after their modelled time)."""
        with self._counts_lock:
            out = {"accepted": self._accepted, "handshake_failures": self._handshake_failures,
                   "first_request": dict(self._first_kinds)}
        net = self._net
        if net is not None:
            out.update({"front": net.accepted(proxy=False), "proxy": net.accepted(proxy=True),
                        "tunnels": list(net.tunnels), "refused": list(net.refused),
                        "lateness": net.lateness()})
        return out

    def api_counts(self):
        """API requests {"served": n, "refused": {kind: n} by the rate limit,
        "dead": {kind: n} answered as from a dead cookie}."""
        return self.limits.counts()

    def wait_idle(self, timeout=5.0):
        """Wait until no request is being handled; False on timeout."""
        deadline = time.time() + timeout
        with self._idle:
            while self._active:
                left = deadline - time.time()
                if left <= 0:
                    return False
                self._idle.wait(left)
        return True

    def router(self, real_requests_module=None, hosts=None):
        from .route import Router
        return Router(self.base_url, real_requests_module, hosts)

    # -- used by the handler ------------------------------------------------
    def _sleep(self, seconds):
        if seconds > 0:
            self._stopping.wait(seconds)

    def _enter(self):
        with self._idle:
            self._active += 1

    def _leave(self):
        with self._idle:
            self._active -= 1
            self._idle.notify_all()

    def _track(self, conn, add):
        """A handler's connection (which stop() shuts down) and its thread
        (which stop() joins); a connection leaves before its socket closes."""
        me = threading.current_thread()
        with self._conns_lock:
            if add:
                self._conns.add(conn)
                self._threads.add(me)
            else:
                self._conns.discard(conn)
                self._threads.discard(me)

    def _forget(self, conn):
        """The handler is about to close this connection itself."""
        with self._conns_lock:
            self._conns.discard(conn)

    def _count_connection(self):
        with self._counts_lock:
            self._accepted += 1
            return self._accepted

    def _count_handshake_failure(self):
        with self._counts_lock:
            self._handshake_failures += 1

    def _count_first_request(self, kind):
        with self._counts_lock:
            self._first_kinds[kind] = self._first_kinds.get(kind, 0) + 1
