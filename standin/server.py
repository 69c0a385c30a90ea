"""HTTP/1.1 stand-in for the drive's web API, APS listing and download hosts."""

import json
import socket
import struct
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

from .drive import Drive
from .faults import KINDS
from .log import Log

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

REASONS = {403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed",
           416: "Range Not Satisfiable", 500: "Internal Server Error",
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
        BaseHTTPRequestHandler.setup(self)
        self.server.standin._track(self.connection, True)

    def finish(self):
        try:
            BaseHTTPRequestHandler.finish(self)
        except OSError:
            pass
        finally:
            self.server.standin._track(self.connection, False)

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
                         headers=list(self.headers.items()), kind=kind)
        self._rec = rec
        if self.command != "GET":
            self.close_connection = True
            self._html(405, [("Allow", "GET")])
            return
        hit = st.faults.decide(kind, rec) if (st.faults is not None and kind in KINDS) else None
        if hit is not None:
            rec.fault = hit.fault
        if st.latency:
            st._sleep(st.latency)
        if hit is not None:
            if hit.fault == "slow":
                st._sleep(hit.seconds)
            elif hit.fault == "reset":
                self._reset()
                return
            elif hit.fault == "http500":
                self._html(500)
                return
            elif hit.fault == "badjson":
                self._send_body(200, "application/json; charset=utf-8", BAD_JSON)
                return
        if kind in ("api_list", "aps_list"):
            self._listing(st, rec)
        elif kind == "address":
            self._address(st, rec, hit is not None and hit.fault == "badurl")
        elif kind == "download":
            self._download(st, rec)
        else:
            self._html(404)

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
            return self._html(int(f.status))
        if st.sndbuf:
            # A small send buffer keeps what a reader that stops early makes us push small.
            try:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, st.sndbuf)
            except OSError:
                pass

        status, start, end, headers = 200, 0, f.size, []
        want = self.headers.get("Range")
        if want and f.ranges and not f.gzip:
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
        if f.ranges:
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
    """

    def __init__(self, drive=None, latency=0.0, faults=None, port=0, host="127.0.0.1",
                 host_alias=None, json_ascii=True, verbose=False, sndbuf=SNDBUF):
        self.drive = drive if drive is not None else Drive.sample()
        self.latency = float(latency)
        self.faults = faults
        self.host = host
        self.host_alias = host_alias
        self.json_ascii = json_ascii
        self.verbose = verbose
        self.sndbuf = sndbuf
        self.log = Log()
        self._want_port = port
        self._server = None
        self._thread = None
        self._stopping = threading.Event()
        self._idle = threading.Condition()
        self._active = 0
        self._conns = set()
        self._conns_lock = threading.Lock()

    # -- lifecycle ---------------------------------------------------------
    def start(self):
        if self._server is not None:
            return self
        self._stopping.clear()
        self._server = _Server((self.host, self._want_port), _Handler)
        self._server.standin = self
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="standin-%d" % self.port)
        self._thread.daemon = True
        self._thread.start()
        return self

    def stop(self):
        server = self._server
        if server is None:
            return
        self._stopping.set()
        server.shutdown()
        server.server_close()
        with self._conns_lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(5)
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- facts -------------------------------------------------------------
    @property
    def port(self):
        return self._server.server_address[1] if self._server is not None else None

    @property
    def base_url(self):
        return "http://%s:%d" % (self.host, self.port)

    @property
    def root_cid(self):
        return self.drive.root.cid

    def download_url(self, f):
        host = self.host_alias or self.host
        return "http://%s:%d%s%s?t=%d" % (host, self.port, DL_PREFIX,
                                          quote(f.pickcode, safe=""), int(time.time()) + 3600)

    def sent_bytes(self, pickcode):
        """Body bytes accepted by the socket, one entry per download request."""
        return [r.sent for r in self.log.of_kind("download") if r.pickcode == pickcode]

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
        with self._conns_lock:
            if add:
                self._conns.add(conn)
            else:
                self._conns.discard(conn)
