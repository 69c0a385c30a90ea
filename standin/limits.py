"""What the service does to a client that asks too much or too long: a rate
limit on the API requests (token bucket), a passing refusal, and a cookie
that dies after a number of them."""

import threading
import time

API_KINDS = ("api_list", "aps_list", "address")   # downloads are never limited
LIMIT_REPLIES = ("429", "429-date", "503")
DEAD_REPLIES = ("401", "state")


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
    """The rate limit, the passing refusal and the cookie's life of one
    stand-in, and what they did: API requests served, refused (by the limit
    or the passing refusal) and answered as dead, by kind."""

    def __init__(self, rate=None, burst=1, limit_reply="429", retry_after=1,
                 cookie_life=None, dead_reply="401", blip=None):
        if limit_reply not in LIMIT_REPLIES:
            raise ValueError("limit_reply must be one of %s" % ", ".join(LIMIT_REPLIES))
        if dead_reply not in DEAD_REPLIES:
            raise ValueError("dead_reply must be one of %s" % ", ".join(DEAD_REPLIES))
        self.bucket = TokenBucket(rate, burst) if rate is not None else None
        self.cookies = CookieLife(cookie_life) if cookie_life is not None else None
        self.limit_reply = limit_reply
        self.retry_after = int(retry_after)
        self.dead_reply = dead_reply
        self.blip = blip        # the API request (1 for the first) answered 503 once
        self._lock = threading.Lock()
        self._seen = 0
        self._served = 0
        self._refused = {}
        self._dead = {}

    def decide(self, kind, cookie):
        """None to serve an API request of `kind`, "rate" to refuse it, "blip"
        to refuse it once in passing, "cookie" to answer it as from a dead
        cookie. Other kinds are always served."""
        if kind not in API_KINDS:
            return None
        with self._lock:
            self._seen += 1
            blip = self._seen == self.blip
        if blip:
            verdict, counts = "blip", self._refused
        elif self.bucket is not None and not self.bucket.take():
            verdict, counts = "rate", self._refused
        elif self.cookies is not None and not self.cookies.use(cookie):
            verdict, counts = "cookie", self._dead
        else:
            with self._lock:
                self._served += 1
            return None
        with self._lock:
            counts[kind] = counts.get(kind, 0) + 1
        return verdict

    def counts(self):
        """{"served": API requests served, "refused": {kind: n} by the rate
        limit, "dead": {kind: n} answered as from a dead cookie}."""
        with self._lock:
            return {"served": self._served, "refused": dict(self._refused),
                    "dead": dict(self._dead)}
