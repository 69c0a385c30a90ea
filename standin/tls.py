"""Certificates for the stand-in's TLS mode.

A throw-away certificate authority and one server certificate signed by it
(ECDSA P-256, 30 days) are made with the openssl command line, once per
process and set of names. Clients get a CA bundle that is certifi's bundle
(the store requests uses by default) with our CA appended, so that a client
pointed at it through REQUESTS_CA_BUNDLE loads a store of the real size.
"""

import atexit
import os
import shutil
import ssl
import subprocess
import tempfile
import threading

OPENSSL = os.environ.get("STANDIN_OPENSSL") or shutil.which("openssl") or "/usr/bin/openssl"
VERSIONS = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}

_cache = {}
_lock = threading.Lock()
_dirs = []


class Certs(object):
    """Paths of one generated set: ca (our CA alone), bundle (certifi + our
    CA), cert and key of the server, and the names the certificate covers."""

    def __init__(self, directory, names):
        self.dir = directory
        self.names = tuple(names)
        self.ca = os.path.join(directory, "ca.pem")
        self.bundle = os.path.join(directory, "bundle.pem")
        self.cert = os.path.join(directory, "server.pem")
        self.key = os.path.join(directory, "server.key")


def _openssl(*args, cwd):
    r = subprocess.run((OPENSSL,) + args, cwd=cwd, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], r.stderr.decode(errors="replace")))


def _san(names):
    entries = []
    for n in names:
        is_ip = n.replace(".", "").isdigit() or ":" in n
        entries.append(("IP:" if is_ip else "DNS:") + n)
    return ",".join(entries)


def _make(names):
    d = tempfile.mkdtemp(prefix="standin-tls-")
    _dirs.append(d)
    c = Certs(d, names)
    curve = ("-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")
    _openssl("genpkey", *curve, "-out", "ca.key", cwd=d)
    _openssl("req", "-x509", "-new", "-key", "ca.key", "-sha256", "-days", "30",
             "-subj", "/CN=standin test CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash", "-out", "ca.pem", cwd=d)
    _openssl("genpkey", *curve, "-out", "server.key", cwd=d)
    # Python 3.13 verifies strictly (VERIFY_X509_STRICT): AKI, critical
    # basicConstraints, key usage.
    with open(os.path.join(d, "ext.cnf"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectKeyIdentifier=hash\n"
                "authorityKeyIdentifier=keyid\n"
                "subjectAltName=%s\n" % _san(names))
    _openssl("req", "-new", "-key", "server.key", "-subj", "/CN=%s" % names[0],
             "-out", "server.csr", cwd=d)
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", "30", "-sha256", "-extfile", "ext.cnf",
             "-out", "server.pem", cwd=d)
    with open(c.bundle, "wb") as out:
        out.write(_certifi_bundle())
        with open(c.ca, "rb") as f:
            out.write(b"\n# standin test CA\n" + f.read())
    return c


def _certifi_bundle():
    try:
        import certifi
        with open(certifi.where(), "rb") as f:
            data = f.read()
    except (ImportError, OSError):
        return b""
    return data if data.endswith(b"\n") else data + b"\n"


def certs(names):
    """The certificate set covering `names` (made on first use in this process)."""
    key = tuple(names)
    with _lock:
        c = _cache.get(key)
        if c is None:
            c = _cache[key] = _make(key)
        return c


def server_context(c, version):
    """A server context with the certificate of `c`, speaking exactly TLS
    `version` ("1.2" or "1.3")."""
    if version not in VERSIONS:
        raise ValueError("tls must be one of %s, not %r" % (", ".join(VERSIONS), version))
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(c.cert, c.key)
    ctx.minimum_version = ctx.maximum_version = VERSIONS[version]
    return ctx


@atexit.register
def _cleanup():
    for d in _dirs:
        shutil.rmtree(d, ignore_errors=True)
