"""The main job on the bundled sample drive: python -m standin.demo

Starts the stand-in with the sample drive, writes config.ini in a scratch
directory, runs fernwick.main() there in recursive mode with the module's
traffic routed to the stand-in, then shows the output file and how many
files were done."""

import argparse
import io
import os
import sys
import tempfile

from .drive import Drive
from .server import StandIn

OUTPUT = "QuillsiftBYOskel.txt"
CONFIG = u"""[必须参数]
cid = {cid}
type = 0
cookie = UID=demo_user; CID=0123456789abcdef; SEID=demo%7Csession
[功能参数]
recursion = 是
"""


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m standin.demo", description=__doc__)
    parser.add_argument("--workdir", help="directory for config.ini and the output file "
                        "(default: a new temporary directory)")
    parser.add_argument("--latency", type=float, default=0.0,
                        help="seconds the stand-in adds to every reply")
    args = parser.parse_args(argv)

    import fernwick

    drive = Drive.sample()
    workdir = os.path.abspath(args.workdir or tempfile.mkdtemp(prefix="fernwick-demo-"))
    if not os.path.isdir(workdir):
        os.makedirs(workdir)
    with StandIn(drive, latency=args.latency) as standin:
        with io.open(os.path.join(workdir, "config.ini"), "w", encoding="utf-8") as f:
            f.write(CONFIG.format(cid=drive.root.cid))
        print("stand-in at %s, sample drive of %d folders and %d files"
              % (standin.base_url, len(drive.folders()), len(drive.files())))
        print("working directory: %s" % workdir)
        print("--- fernwick.main() ---")
        sys.stdout.flush()
        real_requests = fernwick.requests
        fernwick.requests = standin.router(real_requests)
        old_cwd = os.getcwd()
        os.chdir(workdir)
        try:
            fernwick.main()
        finally:
            os.chdir(old_cwd)
            fernwick.requests = real_requests
    print()
    print("--- %s ---" % os.path.join(workdir, OUTPUT))
    with io.open(os.path.join(workdir, OUTPUT), encoding="utf-8") as f:
        lines = f.read().splitlines()
    for line in lines:
        print(line)
    expected = set(drive.expected_lines())
    done = len(expected & set(lines))
    print("--- %d of %d files done ---" % (done, len(expected)))
    return 0 if done == len(expected) else 1


if __name__ == "__main__":
    sys.exit(main())
