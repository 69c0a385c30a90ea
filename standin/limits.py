"""What the service does to a client that asks too much or too long: a rate
limit on the API requests (token bucket), passing refusals, an outage of the
whole service or of one endpoint, refused downloads, and a cookie that dies after a number of
API requests."""

import threading
import time
from email.utils import formatdate

API_KINDS = ("api_list", "aps_list", "address")   # the rate limit spares downloads
# What an outage takes down: the whole service, or one endpoint of it.
OUTAGE_OF = {"all": API_KINDS + ("download",), "listings": ("api_list", "aps_list"),
             "addresses": ("address",), "downloads": ("download",)}
LIMIT_REPLIES = ("429", "429-date", "429-bare", "503")
DEAD_REPLIES = ("401", "state")
REFUSAL_STATUSES = (429, 503)
PAST = "past"               # a Retry-After date already gone by ...
PAST_SECONDS = 60           # ... by this much


def check_retry_after(value):
    """None (no header), whole seconds >= 0, or "past"; ValueError otherwise."""
    if value is None or value == PAST:
        return value
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("a refusal's Retry-After is None, seconds >= 0 or %r" % PAST)
    return value


def retry_after_headers(value):
    """The header for a refusal's Retry-After (see check_retry_after)."""
    if value is None:
        return []
    if value == PAST:
        return [("Retry-After", formatdate(time.time() - PAST_SECONDS, usegmt=True))]
    return [("Retry-After", str(value))]


class TokenBucket(object):
    """`rate` tokens a second, at most `burst` held; a request takes one or is
    refused. Starts full. `clock` is for tests."""

    def __init__(self, rate, burst=1, clock=time.monotonic):
        if rate <= 0 or burst < 1:
            raise ValueError("rate must be > 0 and burst >= 1")
        self.rate = float(rate)
        self.burst = float(burst)
        self._clock = clock
        self._tokens = self.burst
        self._last = clock()
        self._lock = threading.Lock()

    def take(self):
        """True if a token was there (and is now spent)."""
        with self._lock:
            now = self._clock()
            self._tokens = min(self.burst, self._tokens + (now - self._last) * self.rate)
            self._last = now
            if self._tokens >= 1.0:
                self._tokens -= 1.0
                return True
            return False


class CookieLife(object):
    """Each distinct cookie (the Cookie header's value; no header counts as
    one more) is good for `life` API requests, then dead for good. A new
    value is a new sign-in with a life of its own."""

    def __init__(self, life):
        if life < 0:
            raise ValueError("cookie life must be >= 0")
        self.life = int(life)
        self._used = {}
        self._lock = threading.Lock()

    def use(self, cookie):
        """True while the cookie is alive (the request counts against it)."""
        with self._lock:
            used = self._used.get(cookie, 0)
            if used >= self.life:
                return False
            self._used[cookie] = used + 1
            return True


class Limits(object):
    """The rate limit, the passing refusals, the outage, the refused
    downloads and the cookie's life of one stand-in, and what they did: API
    requests served, requests refused and API requests answered as dead, by
    kind."""

    def __init__(self, rate=None, burst=1, limit_reply="429", retry_after=1,
                 cookie_life=None, dead_reply="401", blip=None, blip_every=None,
                 outage=None, refuse_downloads=0, refusal_status=503,
                 refusal_retry_after=None):
        if limit_reply not in LIMIT_REPLIES:
            raise ValueError("limit_reply must be one of %s" % ", ".join(LIMIT_REPLIES))
        if dead_reply not in DEAD_REPLIES:
            raise ValueError("dead_reply must be one of %s" % ", ".join(DEAD_REPLIES))
        if int(refusal_status) not in REFUSAL_STATUSES:
            raise ValueError("refusal_status must be one of %s" % ", ".join(
                map(str, REFUSAL_STATUSES)))
        if outage is not None and (int(outage[0]) < 1 or float(outage[1]) < 0
                                   or len(outage) > 3 or tuple(outage[2:]) and
                                   outage[2] not in OUTAGE_OF):
            raise ValueError("outage is (the API request it starts at, >= 1; seconds >= 0"
                             "[, one of %s])" % ", ".join(OUTAGE_OF))
        if blip_every is not None and int(blip_every) < 1:
            raise ValueError("blip_every must be >= 1")
        self.bucket = TokenBucket(rate, burst) if rate is not None else None
        self.cookies = CookieLife(cookie_life) if cookie_life is not None else None
        self.limit_reply = limit_reply
        self.retry_after = int(retry_after)
        self.dead_reply = dead_reply
        self.blip = blip        # the API request (1 for the first) answered 503 once
        self.blip_every = blip_every    # every blip_every-th API request answered 503
        self.outage = (int(outage[0]), float(outage[1])) if outage is not None else None
        self.outage_of = outage[2] if outage is not None and len(outage) > 2 else "all"
        self.outage_window = None   # (start, end) in time.time(), once it began
        self.refuse_downloads = int(refuse_downloads)
        self.refusal_status = int(refusal_status)
        self.refusal_retry_after = check_retry_after(refusal_retry_after)
        self._outage_end = None
        self._downloads = 0
        self._lock = threading.Lock()
        self._seen = 0
        self._served = 0
        self._refused = {}
        self._dead = {}

    def decide(self, kind, cookie):
        """None to serve a request of `kind`; else why it is refused:
        "outage" (any API request or download while the service is down),
        "download" (one of the first refuse_downloads downloads), "blip" (an
        API request refused in passing), "rate" (beyond the rate limit), or
        "cookie" (an API request answered as from a dead cookie). Other kinds
        are always served."""
        if kind not in API_KINDS and kind != "download":
            return None
        with self._lock:
            verdict = self._verdict(kind, cookie, time.monotonic())
            if verdict is None:
                self._served += kind in API_KINDS
            else:
                counts = self._dead if verdict == "cookie" else self._refused
                counts[kind] = counts.get(kind, 0) + 1
            return verdict

    def _verdict(self, kind, cookie, now):
        """decide's answer, under the lock: every request is judged in the
        order it came, so the N-th API request is the N-th counted."""
        if kind in API_KINDS:
            self._seen += 1
            if self.outage is not None and self._seen == self.outage[0]:
                self._outage_end = now + self.outage[1]
                wall = time.time()
                self.outage_window = (wall, wall + self.outage[1])
        if (self._outage_end is not None and now < self._outage_end
                and kind in OUTAGE_OF[self.outage_of]):
            return "outage"
        if kind == "download":
            self._downloads += 1
            return "download" if self._downloads <= self.refuse_downloads else None
        if self._seen == self.blip or (
                self.blip_every is not None and self._seen % self.blip_every == 0):
            return "blip"
        if self.bucket is not None and not self.bucket.take():
            return "rate"
        if self.cookies is not None and not self.cookies.use(cookie):
            return "cookie"
        return None

    def counts(self):
        """{"served": API requests served, "refused": {kind: n} by the rate
        limit, the passing refusals, the outage and the refused downloads,
        "dead": {kind: n} answered as from a dead cookie}."""
        with self._lock:
            return {"served": self._served, "refused": dict(self._refused),
                    "dead": dict(self._dead)}
