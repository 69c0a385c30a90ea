"""Request log of the stand-in."""

import threading


class Record(object):
    """One request as received, and what the stand-in did with it."""

    def __init__(self, seq, when, client, method, target, path, query, params, headers, kind,
                 conn=None):
        self.seq = seq
        self.time = when
        self.client = client        # (host, port) of the peer
        self.method = method
        self.target = target        # request target exactly as on the request line
        self.path = path
        self.query = query          # raw query string
        self.params = params        # parse_qs(query, keep_blank_values=True)
        self.headers = headers      # [(name, value)] in the order received
        self.kind = kind            # api_list | aps_list | address | download | other
        self.conn = conn            # number of the connection it came on (1, 2, ...)
        self.fault = None           # fault applied, or None
        self.refused = None         # "rate" (over the limit), "cookie" (dead cookie) or None
        self.status = None          # status sent (None: no reply, e.g. reset)
        self.pickcode = None        # for address/download
        self.sent = 0               # body bytes accepted by the socket
        self.error = None           # e.g. "client gone"
        self.done = False
        self.reply_headers = []     # [(name, value)] sent besides Content-Type/-Length

    @property
    def key(self):
        """What the request asks for, the same however often it is sent:
        ("listing", cid, offset) on either listing host, (kind, pickcode)
        for an address or a download, else (kind, path)."""
        if self.kind in ("api_list", "aps_list"):
            return ("listing", self.param("cid", ""), self.param("offset", "0"))
        if self.kind in ("address", "download"):
            return (self.kind, self.pickcode)
        return (self.kind, self.path)

    def header(self, name, default=None):
        """First value of header `name` (case-insensitive)."""
        low = name.lower()
        for k, v in self.headers:
            if k.lower() == low:
                return v
        return default

    @property
    def header_names(self):
        return [k for k, _ in self.headers]

    def param(self, name, default=None):
        values = self.params.get(name)
        return values[0] if values else default

    def __repr__(self):
        return "Record(#%d %s %s kind=%s fault=%s refused=%s status=%s sent=%d)" % (
            self.seq, self.method, self.target, self.kind, self.fault, self.refused,
            self.status, self.sent)


class Log(object):
    """Thread-safe, append-only list of Records."""

    def __init__(self):
        self._lock = threading.Lock()
        self._records = []

    def new(self, **kw):
        with self._lock:
            rec = Record(len(self._records), **kw)
            self._records.append(rec)
            return rec

    def records(self):
        with self._lock:
            return list(self._records)

    def __iter__(self):
        return iter(self.records())

    def __len__(self):
        with self._lock:
            return len(self._records)

    def __getitem__(self, i):
        with self._lock:
            return self._records[i]

    def of_kind(self, *kinds):
        return [r for r in self.records() if r.kind in kinds]

    def api_list(self):
        return self.of_kind("api_list")

    def aps_list(self):
        return self.of_kind("aps_list")

    def address(self):
        return self.of_kind("address")

    def download(self):
        return self.of_kind("download")

    def faulted(self):
        return [r for r in self.records() if r.fault is not None]

    def refused(self, why=None):
        """Requests the limits refused ("rate", "cookie"; None: either)."""
        return [r for r in self.records() if r.refused and why in (None, r.refused)]

    def clear(self):
        with self._lock:
            self._records = []
