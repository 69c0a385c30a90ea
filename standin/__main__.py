"""python -m standin: serve a virtual drive, or print its expected output lines."""

import argparse
import os
import signal
import sys
import threading

from .drive import REFUSABLE, load
from .faults import FAULTS, KINDS, Faults
from .limits import DEAD_REPLIES, LIMIT_REPLIES, OUTAGE_OF, PAST, REFUSAL_STATUSES
from .server import StandIn


def _csv(value):
    return [v for v in value.split(",") if v]


def _outage(value):
    parts = value.split(":")
    if len(parts) not in (2, 3) or parts[2:] and parts[2] not in OUTAGE_OF:
        raise argparse.ArgumentTypeError("K:SECONDS[:%s], for example 100:20"
                                         % "|".join(OUTAGE_OF))
    return (int(parts[0]), float(parts[1])) + tuple(parts[2:])


def _retry_after(value):
    return value if value == PAST else int(value)


def _bad_file(value):
    """INDEX, INDEX:download or INDEX:address -> (index, what is refused)."""
    index, _, what = value.partition(":")
    if what not in ("",) + tuple(REFUSABLE):
        raise argparse.ArgumentTypeError("INDEX, INDEX:download or INDEX:address")
    return int(index), what or "download"


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m standin",
                                description="Serve a virtual drive on 127.0.0.1.")
    p.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    p.add_argument("--drive", default="sample",
                   help="sample | flat:N | tree:FOLDERS:FILES[:FANOUT] | sizes[:N,...] | "
                        "path.json (default: sample)")
    p.add_argument("--seed", type=int, default=0, help="content seed for generated drives")
    p.add_argument("--latency", type=float, default=0.0, help="seconds before every reply")
    p.add_argument("--fault-rate", type=float, default=0.0,
                   help="probability of a fault per request")
    p.add_argument("--fault-seed", type=int, default=0)
    p.add_argument("--fault-kinds", type=_csv, default=None,
                   help="comma list of %s" % ",".join(KINDS))
    p.add_argument("--faults", type=_csv, default=None,
                   help="comma list of %s" % ",".join(FAULTS))
    p.add_argument("--slow-seconds", type=float, default=7.0,
                   help="sleep of the 'slow' fault (default 7)")
    p.add_argument("--host-alias", default=None, help="host written in download addresses")
    p.add_argument("--json-utf8", action="store_true",
                   help="raw UTF-8 in JSON replies instead of \\u escapes")
    p.add_argument("--no-ranges", action="store_true",
                   help="ignore Range headers (200 with the whole body)")
    p.add_argument("--tls", choices=["1.2", "1.3"], default=None,
                   help="serve https with exactly this TLS version")
    p.add_argument("--rtt", type=float, default=0.0,
                   help="round-trip time of the network front, seconds (0: none)")
    p.add_argument("--proxy", action="store_true",
                   help="also open an HTTP CONNECT proxy for the service hosts")
    p.add_argument("--rate", type=float, default=None,
                   help="API requests per second before refusing (token bucket; "
                        "default: no limit)")
    p.add_argument("--burst", type=int, default=1, help="requests the bucket holds (default 1)")
    p.add_argument("--limit-reply", choices=LIMIT_REPLIES, default="429",
                   help="a refusal: 429 with Retry-After seconds, 429 with Retry-After as a "
                        "date, or 503 without (default 429)")
    p.add_argument("--retry-after", type=int, default=1, help="Retry-After seconds (default 1)")
    p.add_argument("--cookie-life", type=int, default=None,
                   help="API requests each cookie is served before it dies (default: never)")
    p.add_argument("--dead-reply", choices=DEAD_REPLIES, default="401",
                   help="reply to a dead cookie: 401, or 200 with {\"state\": false} "
                        "(default 401)")
    p.add_argument("--blip", type=int, default=None, metavar="N",
                   help="answer the N-th API request 503, once (default: none)")
    p.add_argument("--blip-every", type=int, default=None, metavar="N",
                   help="answer every N-th API request 503 (default: none)")
    p.add_argument("--outage", type=_outage, default=None, metavar="K:SECONDS[:OF]",
                   help="from the K-th API request on, answer every request (API and "
                        "downloads; OF: only listings, addresses or downloads) 503 "
                        "without Retry-After for SECONDS")
    p.add_argument("--refuse-downloads", type=int, default=0, metavar="N",
                   help="answer the first N downloads with --refusal-status")
    p.add_argument("--bad-file", type=_bad_file, action="append", default=[],
                   metavar="INDEX[:address]",
                   help="the INDEX-th file (from 0, in --print-expected order) always "
                        "answers its download (or its address) with --refusal-status; "
                        "may be given more than once")
    p.add_argument("--refusal-status", type=int, choices=REFUSAL_STATUSES, default=503,
                   help="status of --refuse-downloads and --bad-file (default 503)")
    p.add_argument("--refusal-retry-after", type=_retry_after, default=None,
                   metavar="SECONDS|past",
                   help="their Retry-After: seconds, or past (an HTTP date a minute ago); "
                        "default none")
    p.add_argument("--print-expected", action="store_true",
                   help="print name|size|sha|prefix for every file and exit")
    p.add_argument("--verbose", action="store_true", help="log each request to stderr")
    args = p.parse_args(argv)

    try:
        drive = load(args.drive, seed=args.seed)
        files = drive.files()
        for index, what in args.bad_file:
            if not 0 <= index < len(files):
                raise ValueError("--bad-file %d: the drive has %d files" % (index, len(files)))
            files[index].refuse(what, args.refusal_status, args.refusal_retry_after)
    except (ValueError, OSError) as e:
        p.error(str(e))

    if args.print_expected:
        out = sys.stdout
        if hasattr(out, "reconfigure"):
            out.reconfigure(encoding="utf-8")
        try:
            for line in drive.expected_lines():
                out.write(line + "\n")
            out.flush()
        except BrokenPipeError:     # e.g. piped into head
            os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return 0

    faults = None
    if args.fault_rate > 0:
        try:
            faults = Faults(rate=args.fault_rate, seed=args.fault_seed, kinds=args.fault_kinds,
                            faults=args.faults, slow_seconds=args.slow_seconds)
        except ValueError as e:
            p.error(str(e))

    try:
        standin = StandIn(drive, latency=args.latency, faults=faults, port=args.port,
                          host_alias=args.host_alias, json_ascii=not args.json_utf8,
                          verbose=args.verbose, ranges=not args.no_ranges, tls=args.tls,
                          rtt=args.rtt, proxy=args.proxy, rate=args.rate, burst=args.burst,
                          limit_reply=args.limit_reply, retry_after=args.retry_after,
                          cookie_life=args.cookie_life, dead_reply=args.dead_reply,
                          blip=args.blip, blip_every=args.blip_every, outage=args.outage,
                          refuse_downloads=args.refuse_downloads,
                          refusal_status=args.refusal_status,
                          refusal_retry_after=args.refusal_retry_after)
    except ValueError as e:
        p.error(str(e))
    done = threading.Event()

    def on_term(signum, frame):
        done.set()

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, signal.default_int_handler)   # even if inherited as ignored
    standin.start()
    try:
        print("%s %s" % (standin.base_url, standin.root_cid))
        if standin.proxy_url:
            print("proxy %s" % standin.proxy_url)
        if standin.ca_bundle:
            print("ca-bundle %s" % standin.ca_bundle)
        sys.stdout.flush()
        while not done.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        standin.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
