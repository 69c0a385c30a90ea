"""A drop-in for the requests module that sends the service's hosts to the stand-in."""

import threading

API_HOST = "api.drive.example"
APS_HOST = "aps.drive.example"
SITE_HOST = "site.drive.example"
DEFAULT_HOSTS = (API_HOST, APS_HOST, SITE_HOST)


class Router(object):
    """Router(base_url) behaves like the requests module, except that
    get/head/request rewrite "https://<host>" for the routed hosts into the
    stand-in's base URL.  Everything else (kwargs, headers, other URLs) passes
    through unchanged to the real module.

    hosts: iterable of host names (all sent to standin_base_url) or a mapping
    host -> base url (None: standin_base_url).
    """

    def __init__(self, standin_base_url, real_requests_module=None, hosts=None):
        if real_requests_module is None:
            import requests as real_requests_module
        base = standin_base_url.rstrip("/")
        if hosts is None:
            hosts = DEFAULT_HOSTS
        if isinstance(hosts, dict):
            pairs = [(h, (b or base).rstrip("/")) for h, b in hosts.items()]
        else:
            pairs = [(h, base) for h in hosts]
        # Attributes set through __dict__ so __getattr__ never sees them missing.
        self.__dict__["_real"] = real_requests_module
        self.__dict__["_map"] = [("https://" + h, b) for h, b in pairs]
        self.__dict__["calls"] = []       # (original url, url actually requested)
        self.__dict__["_lock"] = threading.Lock()

    def rewrite(self, url):
        for prefix, base in self._map:
            if url.startswith(prefix):
                rest = url[len(prefix):]
                if rest == "" or rest[0] in "/?#":
                    return base + rest
        return url

    def _note(self, url):
        routed = self.rewrite(url)
        with self._lock:
            self.calls.append((url, routed))
        return routed

    def get(self, url, *args, **kwargs):
        return self._real.get(self._note(url), *args, **kwargs)

    def head(self, url, *args, **kwargs):
        return self._real.head(self._note(url), *args, **kwargs)

    def request(self, method, url, *args, **kwargs):
        return self._real.request(method, self._note(url), *args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.__dict__["_real"], name)

    def __dir__(self):
        return sorted(set(dir(self._real)) | set(self.__dict__) | {"get", "head", "request",
                                                                   "rewrite"})

    def __repr__(self):
        return "<Router %s>" % ", ".join("%s -> %s" % m for m in self._map)
