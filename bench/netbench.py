"""The network part of the benchmark (bench/run.py --network).

The module is built from this tree into a venv of its own (bench/.venv-net)
with its three hosts set to localhost:PORT, so it talks to the stand-in
exactly as a user's installation talks to the service: https, the real
requests, no routing shim. The stand-in listens on that fixed port in network
mode (TLS of a given version, a round-trip time, slow start; see
standin/network.py), and the client trusts it through REQUESTS_CA_BUNDLE
(certifi's store plus the stand-in's CA, as big as a real store).

Each workload is run side by side in two forms, alternating:
  module  the installed module as it is;
  today   the same module with its `requests` replaced by a pass-through
          whose get calls the package's module-level requests.get (a new
          session, and so a new connection, per request): the path the
          module took before connections were pooled.
"""

import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SOURCES = ("src", "meson.build", "meson_options.txt", "pyproject.toml", "fernwick.pyi")
CLIENTS = ("module", "today")
PROXY_VARIABLES = ("HTTPS_PROXY", "HTTP_PROXY", "ALL_PROXY", "https_proxy", "http_proxy",
                   "all_proxy", "CURL_CA_BUNDLE")

MiB = 1 << 20


def workloads(quick, Drive):
    n_flat, n_tree = (120, 19) if quick else (600, 99)
    return [
        {"name": "A", "what": "one folder, %d files, single-folder mode" % n_flat,
         "drive": lambda: Drive.flat(n_flat), "recursive": False},
        {"name": "B", "what": "tree of %d folders x 5 files, recursive" % (n_tree + 1),
         "drive": lambda: Drive.tree(n_tree, 5), "recursive": True},
    ]


# -- the module under test ----------------------------------------------------------
def _source_digest(port):
    h = hashlib.sha256(("port=%d\n" % port).encode())
    for top in SOURCES:
        path = os.path.join(ROOT, top)
        files = [path] if os.path.isfile(path) else sorted(
            os.path.join(d, f) for d, _, fs in os.walk(path) for f in fs)
        for name in files:
            h.update(os.path.relpath(name, ROOT).encode() + b"\0")
            with open(name, "rb") as f:
                h.update(f.read())
    return h.hexdigest()


def venv_of(interpreter):
    """bench/.venv-net for the interpreter running the bench, .venv-net-<name>
    for another one (--net-python)."""
    if interpreter == sys.executable:
        return os.path.join(HERE, ".venv-net")
    return os.path.join(HERE, ".venv-net-" + os.path.basename(interpreter))


def ensure_module(port, interpreter=sys.executable, log=sys.stderr):
    """The venv's python, with the module built from this tree for hosts
    localhost:PORT (rebuilt when the sources or the port changed)."""
    venv = venv_of(interpreter)
    build_dir = os.path.join(venv, "build")
    stamp = os.path.join(venv, "fernwick-build.txt")
    python = os.path.join(venv, "bin", "python")
    pip = [python, "-m", "pip", "--disable-pip-version-check", "--quiet"]
    if not os.path.exists(python):
        print("bench: creating %s" % venv, file=log)
        subprocess.run([interpreter, "-m", "venv", venv], check=True)
        subprocess.run(pip + ["install", "meson-python", "meson", "ninja", "requests"],
                       check=True)
    digest = _source_digest(port)
    try:
        with open(stamp) as f:
            built = f.read().strip()
    except OSError:
        built = None
    if built != digest:
        print("bench: building the module for localhost:%d into %s" % (port, venv), file=log)
        host = "localhost:%d" % port
        args = ["-Csetup-args=-D%s_host=%s" % (k, host) for k in ("api", "aps", "site")]
        subprocess.run(pip + ["install", "--no-build-isolation", "--no-deps",
                              "--force-reinstall", "-Cbuild-dir=" + build_dir] + args + [ROOT],
                       check=True)
        with open(stamp, "w") as f:
            f.write(digest + "\n")
    return python


# -- one run ---------------------------------------------------------------------
def client_figures(proc, out, log, tag):
    """The figures a client run wrote; the tail of its log when it failed."""
    if proc.returncode != 0 or not os.path.exists(out):
        with open(log, "rb") as f:
            tail = f.read()[-3000:].decode("utf-8", "replace")
        raise RuntimeError("client run %s failed (exit %s):\n%s" % (tag, proc.returncode, tail))
    with open(out, encoding="utf-8") as f:
        return json.load(f)


def run_client(python, workload, drive, args, tls, client, scratch, tag, StandIn,
               check_output):
    workdir = os.path.join(scratch, tag)
    out = os.path.join(scratch, tag + ".json")
    log = os.path.join(scratch, tag + ".log")
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env.update(PYTHONIOENCODING="utf-8")
    with StandIn(drive, tls=tls, rtt=args.rtt, port=args.port) as s:
        env["REQUESTS_CA_BUNDLE"] = s.ca_bundle
        cmd = [python, os.path.join(HERE, "client.py"), "--network", "--cid", s.root_cid,
               "--recursion", "是" if workload["recursive"] else "否",
               "--workdir", workdir, "--out", out] + (["--today"] if client == "today" else [])
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        with open(log, "wb") as logf:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=logf,
                                  stderr=subprocess.STDOUT, env=env, timeout=1800)
        idle = s.wait_idle(10.0)
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        conns = s.connections()
        records = s.log.records()
    fig = client_figures(proc, out, log, tag)
    if fig.get("error"):
        raise RuntimeError("client run %s: main() raised %s" % (tag, fig["error"]))
    sent = [r.sent for r in records if r.kind == "download"]
    fig.update({
        "client": client,
        "tls": tls,
        "standin_cpu": (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime),
        "standin_idle": idle,
        "requests": dict(Counter(r.kind for r in records)),
        "connections": conns["accepted"],
        "first_request": conns["first_request"],
        "front_connections": conns.get("front"),
        "late_mean": conns["lateness"][0],
        "late_max": conns["lateness"][1],
        "sent": sent,
        "check": check_output(drive, workdir),
    })
    return fig


def summarize(workload, tls, client, bound, figs):
    walls = [f["wall"] for f in figs]
    fig = sorted(figs, key=lambda f: f["wall"])[(len(figs) - 1) // 2]
    files = bound["files"]
    n_requests = sum(fig["requests"].values())
    return {
        "workload": workload["name"], "what": workload["what"], "tls": tls, "client": client,
        "files": files, "folders": bound["folders"], "walls": walls,
        "wall": statistics.median(walls), "bound": bound["bound"],
        "ratio": statistics.median(walls) / bound["bound"],
        "cpu_per_file": fig["cpu"] / files, "cpu_user": fig["cpu_user"], "cpu_sys": fig["cpu_sys"],
        "connections": fig["connections"], "connections_runs": [f["connections"] for f in figs],
        "requests": n_requests, "first_request": fig["first_request"],
        "sent_max": max(fig["sent"]) if fig["sent"] else None,
        "sent_mean": statistics.mean(fig["sent"]) if fig["sent"] else None,
        "rss_peak": fig["rss_peak"], "standin_cpu": fig["standin_cpu"],
        "late_mean": fig["late_mean"], "late_max": max(f["late_max"] for f in figs),
        "checks": [f["check"] for f in figs], "module": fig["module"],
    }


def run(args, Drive, StandIn, lower_bound, check_output, scratch):
    """All network workloads; returns the results (a dict for results.json)."""
    started = time.monotonic()
    python = ensure_module(args.port, args.net_python or sys.executable)
    clients = [c for c in args.clients.split(",") if c in CLIENTS]
    versions = [v for v in args.tls.split(",") if v]
    chosen = set(args.only.split(",")) if args.only else None
    repeat = args.repeat or (1 if args.quick else 3)
    results = {"rtt": args.rtt, "port": args.port, "interpreter": python,
               "PYTHON_GIL": os.environ.get("PYTHON_GIL"), "mode": "quick" if args.quick else "full",
               "repeat": repeat, "started": time.strftime("%Y-%m-%d %H:%M:%S"),
               "load_before": os.getloadavg(), "rows": []}
    for tls in versions:
        for w in workloads(args.quick, Drive):
            if chosen and w["name"] not in chosen and "%s@%s" % (w["name"], tls) not in chosen:
                continue
            drive = w["drive"]()
            drive.expected_lines()
            bound = lower_bound(drive, w["recursive"], args.rtt)
            figs = {c: [] for c in clients}
            for i in range(repeat):
                for client in clients:
                    tag = "net-%s-%s-%s-%d" % (w["name"], tls, client, i)
                    fig = run_client(python, w, drive, args, tls, client, scratch, tag,
                                     StandIn, check_output)
                    figs[client].append(fig)
                    print("bench: %s TLS %s %s run %d: wall %.2f s (bound %.2f s), cpu %.2f s, "
                          "%d connections" % (w["name"], tls, client, i + 1, fig["wall"],
                                              bound["bound"], fig["cpu"], fig["connections"]),
                          file=sys.stderr)
            for client in clients:
                results["rows"].append(summarize(w, tls, client, bound, figs[client]))
    results["load_after"] = os.getloadavg()
    results["seconds"] = time.monotonic() - started
    return results


# -- report ----------------------------------------------------------------------
def report(results, table, human, output_state):
    rows = []
    for r in results["rows"]:
        rows.append([
            r["workload"], r["tls"], r["client"], r["files"], "%.2f" % r["wall"],
            "%.2f" % r["bound"], "%.2f" % r["ratio"], "%.1f" % (1000 * r["cpu_per_file"]),
            r["connections"], "%.1f" % (r["requests"] / r["connections"]) if r["connections"]
            else "-",
            "%s / %s" % (human(r["sent_max"]), human(r["sent_mean"])),
            "%.1f" % (r["rss_peak"] / MiB),
            "%.1f / %.1f" % (1000 * r["late_mean"], 1000 * r["late_max"]),
            output_state(r["checks"]),
        ])
    head = ("Network mode: RTT %.0f ms, the module built for localhost:%d; %s; wall is the "
            "median of %d run(s), module and today's path alternating; %.0f s in all; machine "
            "load average %.1f before, %.1f after" % (
                1000 * results["rtt"], results["port"], results["mode"], results["repeat"],
                results["seconds"], results["load_before"][0], results["load_after"][0]))
    out = [head, "", table(
        ["workload", "TLS", "client", "files", "wall s", "bound s", "wall/bound", "CPU ms/file",
         "connections", "requests/connection", "sent/dl max / mean", "peak RSS MiB",
         "front late mean / max ms", "output"], rows), ""]
    out.append("Walls of every run (s): " + "; ".join(
        "%s TLS %s %s %s" % (r["workload"], r["tls"], r["client"],
                             " ".join("%.2f" % x for x in r["walls"]))
        for r in results["rows"]))
    out += ["", "client: module = the installed module as it is; today = the same module with "
            "`requests` replaced by a pass-through whose get calls requests.get (a new "
            "connection per request). connections = TCP connections the stand-in accepted; "
            "sent/dl = body bytes the stand-in's server pushed per download; front late = "
            "how long after its modelled time the front released bytes; output = every line "
            "as expected, each exactly once."]
    return "\n".join(out)
