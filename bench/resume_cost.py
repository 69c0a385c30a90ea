"""Start-up cost of `resume = 是`: main over an output file of LINES lines
(default one million) against an empty folder listing, with resume on and
off, each in a fresh interpreter. Prints wall time of main and peak RSS.

    .venv/bin/python bench/resume_cost.py [LINES]
"""
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys, time, fernwick
fernwick.get_sha1list = lambda cid, type2, cookie: fernwick.sha1list.extend(
    ["IMG_%07d.JPG|%d|%040X|pc" % (i, 1000 + i, i) for i in range(0, 2000, 2)])
fernwick.get_url = lambda pickcode, cookie: "u"
fernwick.get_preid = lambda url, cookie, cid: "0" * 40
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
fernwick.main()
took = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("\nRESULT %.3f %.1f %.1f" % (took, before / 1024, after / 1024))
"""
CONFIG = "[必须参数]\ncid = 1\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\nresume = {}\n"


def main():
    lines = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "QuillsiftBYOskel.txt")
        with open(out, "w", encoding="utf-8") as f:
            for i in range(lines):
                f.write("照片/IMG_%07d.JPG|%d|%040X|%040X\n" % (i, 1000 + i, i, i * 7))
        size = os.path.getsize(out)
        for resume in ("否", "是"):
            with open(os.path.join(work, "config.ini"), "w", encoding="utf-8") as f:
                f.write(CONFIG.format(resume))
            with open(out, "rb+") as f:  # the same file for both runs
                f.truncate(size)
            result = subprocess.run([sys.executable, "-c", CHILD], cwd=work, input="",
                                    capture_output=True, text=True, check=True)
            took, before, after = result.stdout.rsplit("RESULT ", 1)[1].split()
            print("resume=%s: %d lines (%.0f MB), main %s s, peak RSS %s MiB (%s MiB before main)"
                  % (resume, lines, size / 1e6, took, after, before))


if __name__ == "__main__":
    main()
