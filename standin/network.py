"""A TCP front that puts a network between clients and the stand-in.

Clients connect to the front; the front connects to the stand-in's server on
127.0.0.1 and relays bytes both ways (TLS included: it never looks inside)
through two delay lines per connection:

* every byte reaches the other side rtt/2 after it was read (one round trip
  per exchange);
* a new connection's first bytes from the client reach the server no earlier
  than 1.5 rtt after the accept: the TCP handshake's round trip, which
  loopback does not charge (the client's connect() returns at once, its
  first bytes wait here instead);
* server -> client goes out in windows of cwnd bytes, one window per rtt
  (slow start): cwnd starts at init_cwnd segments of mss bytes, grows by the
  bytes of each window that used at least half of it (that is, doubles per
  round trip while the sender has more to send), and falls back to
  init_cwnd when the connection has sent nothing for longer than the
  retransmission timeout, rto = rtt + 0.2 s (Linux's 200 ms minimum on top
  of a steady round trip).

With proxy=True a listener is an HTTP CONNECT proxy: the first request on a
connection (after the same delays) must be `CONNECT host:port` for one of the
allowed names; the front answers 200 and tunnels the rest to the server.

One thread runs everything with a selector; every socket has TCP_NODELAY.
How late the loop released bytes against the model is kept (`lateness`).
"""

import collections
import heapq
import itertools
import selectors
import socket
import struct
import threading
import time

MSS = 1448
INIT_CWND = 10
MIN_RTO = 0.2
READ_SIZE = 262144
QUEUE_LIMIT = 262144        # bytes a line holds before it stops reading its source
CONNECT_LIMIT = 8192        # longest CONNECT request head accepted

EOF, RST = "eof", "rst"     # markers travelling in a line after the data


def nodelay(sock):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except OSError:
        pass


class _Line(object):
    """One direction of a connection: bytes read from `src` are released into
    the wire (at once, or window by window under slow start) and written to
    `dst` when due."""

    def __init__(self, conn, src, dst, floor=0.0, slow_start=False):
        net = conn.net
        self.conn, self.net = conn, net
        self.src, self.dst = src, dst
        self.delay = net.rtt / 2.0
        self.floor = floor               # nothing is due before this
        self.slow_start = slow_start and net.rtt > 0
        self.ready = collections.deque()     # read, not yet sent (slow start)
        self.wire = collections.deque()      # [due, data or marker]
        self.queued = 0                  # bytes in ready + wire
        self.blocked = False             # dst would block; waiting for writable
        self.src_done = False            # src gave EOF or an error
        self.timer_due = None
        self.cwnd = net.init_cwnd * net.mss
        self.win_end = float("-inf")
        self.win_sent = 0
        self.last_send = None
        self.windows = 0                 # windows opened (round trips of sending)

    # -- reading -----------------------------------------------------------
    def wants_read(self):
        limit = max(QUEUE_LIMIT, 2 * self.cwnd) if self.slow_start else QUEUE_LIMIT
        return not self.src_done and self.src is not None and self.queued < limit

    def on_readable(self, now):
        try:
            data = self.src.recv(READ_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self.src_done = True
            self.take(RST, now)
            return
        if not data:
            self.src_done = True
            self.take(EOF, now)
        else:
            self.take(data, now)

    def take(self, data, now):
        """Hand data (or a marker) to the line at time `now`."""
        if not isinstance(data, str):
            self.queued += len(data)
        if self.slow_start:
            self.ready.append(data)
            self.transmit(now)
        else:
            self._to_wire(max(now + self.delay, self.floor), data)
        self.service(now)

    # -- slow start ----------------------------------------------------------
    def _new_window(self, now):
        if self.last_send is not None and now - self.last_send > self.net.rto:
            self.cwnd = self.net.init_cwnd * self.net.mss
        elif 2 * self.win_sent >= self.cwnd:
            self.cwnd += self.win_sent
        self.win_end = now + self.net.rtt
        self.win_sent = 0
        self.windows += 1

    def transmit(self, now):
        ready = self.ready
        while ready:
            item = ready[0]
            if isinstance(item, str):
                ready.popleft()
                self._to_wire(now + self.delay, item)
                continue
            if now >= self.win_end:
                self._new_window(now)
            room = self.cwnd - self.win_sent
            if room <= 0:
                return                   # the rest waits for the next window
            if len(item) <= room:
                ready.popleft()
                piece = item
            else:
                piece, ready[0] = item[:room], item[room:]
            self.win_sent += len(piece)
            self.last_send = now
            self._to_wire(now + self.delay, piece)

    # -- writing -------------------------------------------------------------
    def _to_wire(self, due, data):
        self.wire.append([due, data])

    def service(self, now):
        """Release what slow start allows, write what is due, and arrange to
        be called again when more falls due."""
        if self.slow_start and self.ready and now >= self.win_end:
            self.transmit(now)
        if self.wire and not self.blocked and self.wire[0][0] <= now:
            self.deliver(now)
        if self.conn.closed:
            return
        due = self.wire[0][0] if self.wire and not self.blocked else None
        if self.slow_start and self.ready:
            due = self.win_end if due is None else min(due, self.win_end)
        if due is not None:
            self.schedule(due)
        self.conn.update()

    def deliver(self, now):
        wire = self.wire
        self.net.note_lateness(now - wire[0][0])
        while wire and wire[0][0] <= now:
            data = wire[0][1]
            if isinstance(data, str):
                wire.popleft()
                self.conn.end(self, data)
                return
            pieces = []
            while wire and wire[0][0] <= now and not isinstance(wire[0][1], str):
                pieces.append(wire.popleft()[1])
            blob = pieces[0] if len(pieces) == 1 else b"".join(pieces)
            sent = self.conn.write(self, blob)
            if sent is None:
                return                   # the connection was dropped
            self.queued -= sent
            if sent < len(blob):
                wire.appendleft([now, memoryview(blob)[sent:]])
                self.blocked = True
                return

    def on_writable(self, now):
        self.blocked = False
        self.service(now)

    def schedule(self, due):
        if self.timer_due is None or due < self.timer_due:
            self.timer_due = due
            self.net.at(due, self)

    def on_timer(self, due, now):
        if self.timer_due == due:
            self.timer_due = None
            self.service(now)


class _Conn(object):
    def __init__(self, net, client, proxy, now):
        self.net = net
        self.id = next(net._ids)
        self.client = client
        self.server = None
        self.proxy = proxy
        self.head = b""                  # CONNECT request read so far
        self.closed = False
        floor = now + 1.5 * net.rtt
        self.up = _Line(self, client, None, floor=floor)
        self.down = _Line(self, None, client, slow_start=net.slow_start)
        self.masks = {}
        if not proxy:
            self._open_server()

    def _open_server(self):
        s = socket.create_connection(self.net.target, timeout=5)
        s.setblocking(False)
        nodelay(s)
        self.server = s
        self.up.dst = s
        self.down.src = s

    # -- events from the loop ------------------------------------------------
    def update(self):
        """Register each socket for what its lines wait for."""
        if self.closed:
            return
        for sock, reader, writer in ((self.client, self.up, self.down),
                                     (self.server, self.down, self.up)):
            if sock is None:
                continue
            mask = ((selectors.EVENT_READ if reader.wants_read() else 0)
                    | (selectors.EVENT_WRITE if writer.blocked else 0))
            old = self.masks.get(sock, 0)
            if mask == old:
                continue
            sel = self.net.selector
            if old and mask:
                sel.modify(sock, mask, self)
            elif mask:
                sel.register(sock, mask, self)
            else:
                sel.unregister(sock)
            self.masks[sock] = mask

    def on_event(self, sock, mask, now):
        if mask & selectors.EVENT_WRITE:
            (self.down if sock is self.client else self.up).on_writable(now)
        if not self.closed and mask & selectors.EVENT_READ:
            (self.up if sock is self.client else self.down).on_readable(now)

    # -- writing ---------------------------------------------------------------
    def write(self, line, data):
        """Send to the line's destination; bytes accepted, or None when the
        connection had to be dropped."""
        if line is self.up and self.server is None:
            return self._proxy_head(data)
        try:
            return line.dst.send(data)
        except (BlockingIOError, InterruptedError):
            return 0
        except OSError:
            self.abort()
            return None

    def end(self, line, marker):
        """A line delivered the end of its source's stream."""
        if marker == RST or (line is self.up and self.server is None):
            self.abort()
            return
        try:
            line.dst.shutdown(socket.SHUT_WR)
        except OSError:
            self.abort()
            return
        if self.server is None or self.up.src_done and self.down.src_done and not self.up.wire and not self.down.wire:
            self.close()

    # -- CONNECT proxy -------------------------------------------------------
    def _proxy_head(self, data):
        self.head += bytes(data)
        end = self.head.find(b"\r\n\r\n")
        if end < 0:
            if len(self.head) > CONNECT_LIMIT:
                self._refuse(b"431 Request Header Fields Too Large")
            return len(data)
        rest = self.head[end + 4:]
        line = self.head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split()
        target = parts[1] if len(parts) == 3 and parts[0] == "CONNECT" else ""
        host, _, port = target.rpartition(":")
        if not host or not port.isdigit():
            self._refuse(b"405 Method Not Allowed")
            return len(data)
        if host.lower().strip("[]") not in self.net.names:
            self.net.refused.append((host, int(port)))
            self._refuse(b"403 Forbidden")
            return len(data)
        try:
            self._open_server()
        except OSError:
            self._refuse(b"502 Bad Gateway")
            return len(data)
        self.net.tunnels.append((host, int(port)))
        self.down.take(b"HTTP/1.1 200 Connection established\r\n\r\n", self.net.now())
        if rest:
            self.up.wire.appendleft([self.net.now(), rest])
        self.up.floor = 0.0
        return len(data)

    def _refuse(self, status):
        self.up.src_done = True
        self.down.take(b"HTTP/1.1 " + status + b"\r\nContent-Length: 0\r\n"
                       b"Connection: close\r\n\r\n", self.net.now())
        self.down.take(EOF, self.net.now())

    # -- closing ---------------------------------------------------------------
    def abort(self):
        """Drop the connection; both peers see a reset."""
        for s in (self.client, self.server):
            if s is not None:
                try:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                 struct.pack("ii", 1, 0))
                except OSError:
                    pass
        self.close()

    def close(self):
        if self.closed:
            return
        self.closed = True
        for s in (self.client, self.server):
            if s is None:
                continue
            if self.masks.get(s):
                self.net.selector.unregister(s)
            try:
                s.close()
            except OSError:
                pass
        self.masks.clear()
        self.up.wire.clear()
        self.down.wire.clear()
        self.up.ready.clear()
        self.down.ready.clear()
        self.net.conns.discard(self)


class Network(object):
    """The front: listeners, connections and the loop thread.

    rtt: round-trip time in seconds (0: relay without delays).
    target: (host, port) of the server behind.  names: host names a CONNECT
    may ask for (proxy listeners).  slow_start, init_cwnd, mss: the sending
    model of server -> client.
    """

    def __init__(self, target, rtt=0.0, names=(), slow_start=True, init_cwnd=INIT_CWND,
                 mss=MSS, host="127.0.0.1"):
        self.target = target
        self.rtt = float(rtt)
        self.rto = self.rtt + MIN_RTO
        self.names = {n.lower() for n in names}
        self.slow_start = slow_start
        self.init_cwnd = init_cwnd
        self.mss = mss
        self.host = host
        self.selector = None
        self.listeners = {}              # socket -> {"proxy", "accepted"}
        self.conns = set()
        self.tunnels = []                # (host, port) of every CONNECT tunnelled
        self.refused = []                # (host, port) of CONNECTs refused
        self.late_max = 0.0
        self.late_sum = 0.0
        self.late_n = 0
        self._timers = []
        self._seq = itertools.count()
        self._ids = itertools.count(1)
        self._thread = None
        self._stop = False
        self._stop_lock = threading.Lock()
        self._wake_r = self._wake_w = None   # the loop reads _wake_r; stop() writes _wake_w

    now = staticmethod(time.monotonic)

    # -- set-up ----------------------------------------------------------------
    def listen(self, port=0, proxy=False):
        """Opens a listener (before start()); returns its port."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((self.host, port))
            sock.listen(128)
        except OSError:
            sock.close()
            raise
        sock.setblocking(False)
        self.listeners[sock] = {"proxy": proxy, "accepted": 0, "port": sock.getsockname()[1]}
        return sock.getsockname()[1]

    def start(self):
        self.selector = selectors.DefaultSelector()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self.selector.register(self._wake_r, selectors.EVENT_READ, None)
        for sock in self.listeners:
            self.selector.register(sock, selectors.EVENT_READ, None)
        self._thread = threading.Thread(target=self._run, name="standin-network")
        self._thread.daemon = True
        self._thread.start()

    def stop(self):
        """Ends the loop and waits for it (5 s at most). The wake socket's
        writing end belongs to start() and stop(): the loop only reads the
        other end, so the byte sent here can never land on a descriptor the
        loop has closed (and the system may have handed to another socket)."""
        with self._stop_lock:
            thread, self._thread = self._thread, None
            if thread is None:
                return
            self._stop = True
            try:
                self._wake_w.send(b"x")
            except OSError:
                pass
            thread.join(5)
            self._wake_w.close()

    # -- facts -----------------------------------------------------------------
    def accepted(self, proxy=None):
        return sum(l["accepted"] for l in self.listeners.values()
                   if proxy is None or l["proxy"] == proxy)

    def lateness(self):
        """(mean, max) seconds by which deliveries came after their due time."""
        mean = self.late_sum / self.late_n if self.late_n else 0.0
        return mean, self.late_max

    def note_lateness(self, late):
        if late > 0:
            self.late_sum += late
            if late > self.late_max:
                self.late_max = late
        self.late_n += 1

    # -- the loop --------------------------------------------------------------
    def at(self, due, line):
        heapq.heappush(self._timers, (due, next(self._seq), line))

    def _accept(self, lsock, now):
        info = self.listeners[lsock]
        while True:
            try:
                sock, _ = lsock.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            sock.setblocking(False)
            nodelay(sock)
            info["accepted"] += 1
            try:
                conn = _Conn(self, sock, info["proxy"], now)
            except OSError:
                sock.close()
                continue
            self.conns.add(conn)
            conn.update()

    def _run(self):
        sel = self.selector
        timers = self._timers
        try:
            while not self._stop:
                timeout = None
                if timers:
                    timeout = max(0.0, timers[0][0] - time.monotonic())
                for key, mask in sel.select(timeout):
                    now = time.monotonic()
                    if key.data is None:
                        if key.fileobj is self._wake_r:
                            continue
                        self._accept(key.fileobj, now)
                    elif not key.data.closed:
                        key.data.on_event(key.fileobj, mask, now)
                now = time.monotonic()
                while timers and timers[0][0] <= now:
                    due, _, line = heapq.heappop(timers)
                    if not line.conn.closed:
                        line.on_timer(due, now)
        finally:
            for conn in list(self.conns):
                conn.close()
            for sock in list(self.listeners):
                sel.unregister(sock)
                sock.close()
            sel.unregister(self._wake_r)
            self._wake_r.close()
            sel.close()
