"""Fault injection: decides, request by request, whether to misbehave."""

import random
import threading

KINDS = ("api_list", "aps_list", "address", "download")
FAULTS = ("http500", "reset", "badjson", "slow", "badurl", "refused", "nolist", "http503")
# What a random soak draws from unless told otherwise: the replies that
# report a failure in their JSON, and the service's refusals, only come from
# rules.
SOAK_FAULTS = FAULTS[:5]

# Which faults make sense for which request kind.
ALLOWED = {
    "api_list": ("http500", "reset", "badjson", "slow", "refused", "nolist", "http503"),
    "aps_list": ("http500", "reset", "badjson", "slow", "refused", "nolist", "http503"),
    "address": ("http500", "reset", "badjson", "slow", "badurl", "http503"),
    "download": ("http500", "reset", "slow", "http503"),
}


class Hit(object):
    """A fault to apply to one request."""
    __slots__ = ("fault", "seconds")

    def __init__(self, fault, seconds):
        self.fault = fault
        self.seconds = seconds

    def __repr__(self):
        return "Hit(%r, seconds=%r)" % (self.fault, self.seconds)


class Rule(object):
    """`fault` for the next `times` requests of `kind` (None: any kind that
    allows the fault) that satisfy `match`."""

    def __init__(self, kind, fault, times, match, seconds):
        self.kind = kind
        self.fault = fault
        self.remaining = times
        self.match = match
        self.seconds = seconds

    def matches(self, kind, request):
        if self.remaining <= 0:
            return False
        if self.kind is None:
            if self.fault not in ALLOWED.get(kind, ()):
                return False
        elif self.kind != kind:
            return False
        m = self.match
        if m is None:
            return True
        if callable(m):
            return bool(m(request))
        if request is None:
            return False
        if isinstance(m, dict):
            params = getattr(request, "params", {})
            for key, want in m.items():
                got = params.get(key)
                if not got or got[0] != str(want):
                    return False
            return True
        target = request.path + ("?" + request.query if request.query else "")
        return str(m) in target


class Faults(object):
    """Deterministic rules (add) plus an optional seeded random soak.

    Faults(rate=0.1, seed=1) hits about 10% of the requests of `kinds` with a
    fault drawn from `faults` (restricted to what the kind allows).
    """

    def __init__(self, rate=0.0, seed=0, kinds=None, faults=None, slow_seconds=7.0):
        self.rate = float(rate)
        self.kinds = tuple(kinds) if kinds is not None else KINDS
        self.faults = tuple(faults) if faults is not None else SOAK_FAULTS
        for k in self.kinds:
            if k not in KINDS:
                raise ValueError("unknown request kind %r" % k)
        for f in self.faults:
            if f not in FAULTS:
                raise ValueError("unknown fault %r" % f)
        self.slow_seconds = float(slow_seconds)
        self._random = random.Random(seed)
        self._rules = []
        self._lock = threading.Lock()
        self.applied = []       # (kind, fault) in the order applied

    def add(self, kind, fault, times=1, match=None, seconds=None):
        """Apply `fault` to the next `times` matching requests of `kind`.

        match: None, a dict of query parameters ({"cid": "101"}), a substring of
        path?query, or a callable(record) -> bool.  seconds: sleep for "slow"
        (default slow_seconds).
        """
        if fault not in FAULTS:
            raise ValueError("unknown fault %r" % fault)
        if kind is not None:
            if kind not in KINDS:
                raise ValueError("unknown request kind %r" % kind)
            if fault not in ALLOWED[kind]:
                raise ValueError("fault %r does not apply to %r" % (fault, kind))
        rule = Rule(kind, fault, int(times), match, seconds)
        with self._lock:
            self._rules.append(rule)
        return rule

    def pending(self):
        """Applications left in the deterministic rules."""
        with self._lock:
            return sum(max(0, r.remaining) for r in self._rules)

    def clear(self):
        with self._lock:
            self._rules = []
            self.applied = []

    def decide(self, kind, request=None):
        """The Hit to apply to this request, or None."""
        with self._lock:
            for rule in self._rules:
                if rule.matches(kind, request):
                    rule.remaining -= 1
                    self.applied.append((kind, rule.fault))
                    secs = rule.seconds if rule.seconds is not None else self.slow_seconds
                    return Hit(rule.fault, secs)
            if self.rate <= 0 or kind not in self.kinds:
                return None
            choices = [f for f in self.faults if f in ALLOWED.get(kind, ())]
            if not choices:
                return None
            if self._random.random() >= self.rate:
                return None
            fault = self._random.choice(choices)
            self.applied.append((kind, fault))
            return Hit(fault, self.slow_seconds)
