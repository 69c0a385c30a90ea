"""Cost of the status line: main over a tree of FILES files (default 10 000,
100 folders) on the local stand-in with no latency, standard output and
error on one pseudo-terminal, with `progress` 是 and 否 in turn, each run in
a fresh interpreter. Prints the median wall time and CPU time of main and
what reached the terminal. POSIX only (a pseudo-terminal).

    .venv/bin/python bench/progress_cost.py [FILES] [--repeat N]
"""
import argparse
import os
import pty
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from standin import Drive, StandIn  # noqa: E402

CHILD = r"""
import resource, sys, time, fernwick
from standin import Router
fernwick.requests = Router(sys.argv[1])
used = lambda: sum(getattr(resource.getrusage(resource.RUSAGE_SELF), f) for f in ("ru_utime", "ru_stime"))
cpu, start = used(), time.perf_counter()
fernwick.main()
took, cpu = time.perf_counter() - start, used() - cpu
sys.stderr.write("\nRESULT %.3f %.3f\n" % (took, cpu))
"""
CONFIG = "[必须参数]\ncid = {}\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 是\nprogress = {}\n"


def run(work, server, progress):
    with open(os.path.join(work, "config.ini"), "w", encoding="utf-8") as f:
        f.write(CONFIG.format(server.root_cid, progress))
    out = os.path.join(work, "QuillsiftBYOskel.txt")
    if os.path.exists(out):
        os.remove(out)
    master, slave = pty.openpty()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(HERE)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    child = subprocess.Popen([sys.executable, "-c", CHILD, server.base_url], cwd=work, env=env,
                             stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    shown = []

    def drain():  # the terminal's side: read everything, as a console would
        while True:
            try:
                chunk = os.read(master, 1 << 16)
            except OSError:
                return
            if not chunk:
                return
            shown.append(chunk)
    reader = threading.Thread(target=drain)
    reader.start()
    child.wait()
    reader.join()
    os.close(master)
    text = b"".join(shown).decode("utf-8", "replace")
    took, cpu = map(float, text.rsplit("RESULT ", 1)[1].split())
    return took, cpu, len(text.encode()), text.count("files/s")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("files", nargs="?", type=int, default=10000)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()
    per_folder = 100
    drive = Drive.tree(max(1, args.files // per_folder) - 1, per_folder, size=1000)
    results = {"是": [], "否": []}
    with tempfile.TemporaryDirectory() as work, StandIn(drive) as server:
        for _ in range(args.repeat):
            for progress in results:  # alternated, so drift hits both alike
                results[progress].append(run(work, server, progress))
    print("%d files in %d folders, %d runs each" % (len(drive.files()), len(drive.folders()),
                                                     args.repeat))
    for progress, runs in results.items():
        print("progress=%s: main %.2f s (median; runs %s), CPU %.2f s, %.0f KB to the terminal, "
              "%d status lines drawn" % (
                  progress, statistics.median(r[0] for r in runs),
                  " ".join("%.2f" % r[0] for r in runs), statistics.median(r[1] for r in runs),
                  runs[-1][2] / 1e3, runs[-1][3]))


if __name__ == "__main__":
    main()
