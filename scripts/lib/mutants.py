"""Mutation run over the module's C++: draws mutants (universalmutator's
rules for C++), builds each in an incremental meson build, runs the tests
that execute the mutated line, and reports what no test noticed.

Run through scripts/mutants, which makes the environment; `--help` lists the
options. Everything it makes lives under build-mutants/ (or --work).
"""
import argparse
import concurrent.futures
import glob
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COPIED = ["src", "tests", "standin", "bench", "meson.build", "meson_options.txt",
          "fernwick.pyi", "fernwick_command.py", "pyproject.toml"]
EXPLAINED = os.path.join(ROOT, "tests", "mutants_explained.txt")
# Test files that exercise no C++ of their own: the stand-in's and the
# benchmark's tests, and the packaging's, which builds and installs wheels.
NOT_MUTANT_TESTS = {"test_standin.py", "test_standin_network.py", "test_bench_rows.py",
                    "test_packaging.py"}
BUILD_TIMEOUT = 600


# -- the explained survivors -----------------------------------------------------------------
def load_explained(path=EXPLAINED):
    """Records of four lines: the source file ("*": any), "- " and the line
    as written, "+ " and the line as mutated ("+ *": any mutant of that
    line), then the reason. Lines are compared without their indentation."""
    entries = []
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as f:
        blocks = [b for b in re.split(r"\n\s*\n", f.read()) if b.strip()]
    for block in blocks:
        lines = [l for l in block.splitlines() if not l.startswith("#")]
        if not lines:
            continue
        if len(lines) != 4 or not lines[1].startswith("- ") or not lines[2].startswith("+ "):
            raise SystemExit("%s: a record is four lines (file, - line, + line, reason):\n%s"
                             % (path, block))
        entries.append({"file": lines[0].strip(), "before": lines[1][2:].strip(),
                        "after": lines[2][2:].strip(), "why": lines[3].strip()})
    return entries


def gone(entries):
    """Records whose line is no longer in their file: they explain nothing."""
    def lines_of(rel):
        path = os.path.join(ROOT, rel)
        if not os.path.exists(path):
            return set()
        with open(path, encoding="utf-8") as f:
            return {l.strip() for l in f}
    lines = {rel: lines_of(rel) for rel in {e["file"] for e in entries} - {"*"}}
    return [e for e in entries if e["file"] != "*" and e["before"] not in lines[e["file"]]]


def explanation(entries, mutant):
    for e in entries:
        if (e["file"] in ("*", mutant["file"]) and e["before"] == mutant["before"].strip()
                and e["after"] in ("*", mutant["after"].strip())):
            return e["why"]
    return None


# -- drawing mutants -------------------------------------------------------------------------
def code_only(line):
    """The line without its comments and literals, for the balance check."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    line = re.sub(r"/\*.*?\*/", "", line)
    return line.split("//")[0]


def balanced_like(before, after):
    """A mutant that changes the count of any bracket cannot compile; it is
    counted as not compiling without a build."""
    a, b = code_only(before), code_only(after)
    return all(a.count(c) == b.count(c) for c in "{}()[]")


def mutant_key(rel, original, line, after):
    """One mutant of one state of its file."""
    h = hashlib.sha256(original.encode())
    for part in (rel, str(line), after):
        h.update(b"\0" + part.encode())
    return h.hexdigest()


class Results(object):
    """What earlier runs found (build-mutants/results.jsonl, one line a
    mutant): a mutant killed, timed out, not compiling or building to the
    same module stays so until its file changes, and is not run again; a
    survivor is run again, since tests may have come for it."""

    FINAL = ("killed", "timed out", "not compiling", "same code")

    def __init__(self, path):
        self.path, self.known = path, {}
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    entry = json.loads(line)
                    self.known[entry["key"]] = entry["result"]
        self.lock = threading.Lock()

    def earlier(self, mutant, survivors_too=False):
        r = self.known.get(mutant["key"])
        if r and (survivors_too or r["status"] in self.FINAL):
            return dict(r, cached=True)
        return None

    def add(self, mutant, result):
        with self.lock, open(self.path, "a") as f:
            f.write(json.dumps({"key": mutant["key"], "file": mutant["file"],
                                "result": result}) + "\n")


def draw(path, seed, mutate):
    """Every mutant of one source file, in the seeded order of this run: dicts
    of file, line (1-based), before, after and the mutated text."""
    rel = os.path.relpath(path, ROOT)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    orig_lines = original.splitlines(keepends=True)
    out = os.path.join(WORK, "draw", rel.replace(os.sep, "_"))
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    # In its folder: the mutator leaves temporary files where it runs.
    subprocess.run([mutate, path, "cpp", "--noCheck", "--mutantDir", out], cwd=out,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mutants = []
    for name in sorted(os.listdir(out), key=lambda n: int(n.split(".")[-2])):
        with open(os.path.join(out, name), encoding="utf-8") as f:
            text = f.read()
        lines = text.splitlines(keepends=True)
        if len(lines) != len(orig_lines):
            continue  # the rules for C++ replace one line by one line
        changed = [i for i, (a, b) in enumerate(zip(orig_lines, lines)) if a != b]
        if len(changed) != 1:
            continue
        i = changed[0]
        if re.match(r"\s*(//|#\s*(pragma|include))", orig_lines[i]):
            continue  # a comment, or a line that only the preprocessor reads
        mutants.append({"file": rel, "line": i + 1, "before": orig_lines[i].rstrip("\n"),
                        "after": lines[i].rstrip("\n"), "text": text,
                        "key": mutant_key(rel, original, i + 1, lines[i].rstrip("\n"))})
    shutil.rmtree(out, ignore_errors=True)
    random.Random("%s:%s" % (seed, rel)).shuffle(mutants)
    return mutants


# -- builds ----------------------------------------------------------------------------------
def copy_tree(dest):
    """The tree's sources and tests into `dest`, every file with a new time:
    a copy that kept the times of the originals would look older than the
    objects an interrupted run built from a mutant, and ninja would keep
    those."""
    os.makedirs(dest, exist_ok=True)
    for name in COPIED:
        src, dst = os.path.join(ROOT, name), os.path.join(dest, name)
        if os.path.isdir(src):
            shutil.rmtree(dst, ignore_errors=True)
            shutil.copytree(src, dst, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"),
                            copy_function=shutil.copyfile)
        else:
            shutil.copyfile(src, dst)


def setup_build(tree, build, *options):
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.run([MESON, "setup", build, tree] + list(options), check=True,
                       stdout=subprocess.DEVNULL)
    ninja(build, check=True)


def ninja(build, check=False):
    r = subprocess.run([NINJA, "-C", build], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=BUILD_TIMEOUT)
    if check and r.returncode:
        sys.stdout.write(r.stdout.decode(errors="replace"))
        raise SystemExit("mutants: the unmutated build failed in %s" % build)
    return r.returncode == 0


def module_digest(build):
    (so,) = glob.glob(os.path.join(build, "fernwick*.so")) or glob.glob(
        os.path.join(build, "fernwick*.pyd"))
    with open(so, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def source_key():
    h = hashlib.sha256()
    for pattern in ("src/**/*", "tests/*.py", "standin/**/*.py"):
        for p in sorted(glob.glob(os.path.join(ROOT, pattern), recursive=True)):
            if os.path.isfile(p):
                h.update(p.encode())
                with open(p, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


# -- which tests run which line --------------------------------------------------------------
def test_files():
    names = sorted(os.path.basename(p) for p in glob.glob(os.path.join(ROOT, "tests", "test_*.py")))
    return [n for n in names if n not in NOT_MUTANT_TESTS]


def pytest_cmd(files, extra=(), first_failure=True):
    return ([PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rf"]
            + (["-x"] if first_failure else []) + list(extra) + files)


def coverage(log):
    """Per test: the lines of src/ it runs, its time and whether it failed,
    from one run of the suite against a build with gcov's counters. Cached
    under the work folder for one state of the sources and tests."""
    cache = os.path.join(WORK, "coverage.json")
    key = source_key()
    if os.path.exists(cache):
        with open(cache) as f:
            data = json.load(f)
        if data.get("key") == key:
            return data
    tree = os.path.join(WORK, "coverage")
    copy_tree(tree)
    build = os.path.join(tree, "build")
    log("coverage: the suite against a build with counters, test by test (minutes)")
    # The plugin resets and writes the counters between tests, through the
    # two functions of gcov's library the link keeps and exports.
    exported = ",".join("-u,%s,--export-dynamic-symbol=%s" % (s, s)
                        for s in ("__gcov_reset", "__gcov_dump"))
    setup_build(tree, build, "-Db_coverage=true", "-Dbuildtype=debug",
                "-Dcpp_link_args=-Wl," + exported)
    out = os.path.join(WORK, "coverage-tests.json")
    env = test_env(build)
    env["PYTHONPATH"] += os.pathsep + os.path.join(ROOT, "scripts", "lib")
    env["MUTANTS_COVERAGE"] = out
    with open(os.path.join(WORK, "coverage.log"), "wb") as log_file:
        status = subprocess.run(pytest_cmd(test_files(), ["-p", "mutants_coverage"],
                                           first_failure=False),
                                cwd=os.path.join(tree, "tests"), env=env, stdout=log_file,
                                stderr=subprocess.STDOUT).returncode
    with open(out) as f:
        data = json.load(f)
    # Without the tests of each line every mutant would survive untried.
    if status not in (0, 1) or not data["tests"]:
        raise SystemExit("mutants: the coverage run failed (pytest status %d, %d tests); see %s"
                         % (status, len(data["tests"]), os.path.join(WORK, "coverage.log")))
    data["key"] = key
    with open(cache, "w") as f:
        json.dump(data, f)
    failing = [t for t, r in data["tests"].items() if r["failed"]]
    log("coverage: %d tests, %.0f s; failing unmutated (left out): %s" % (
        len(data["tests"]), sum(r["seconds"] for r in data["tests"].values()), failing or "none"))
    return data


def file_digest(rel):
    with open(os.path.join(ROOT, rel), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def write_map(cov, killers, path):
    """For a run with --map: the tests with their times, fastest first; per
    source file the digest of the text it was made from, and for each line
    the counters know, the tests that run it (a set of tests written once as
    a hexadecimal mask of their indices, and each line pointing at its set);
    and per source file the tests that killed its mutants in this run, with
    how many (a run with the map tries them first)."""
    tests = sorted(((t, r) for t, r in cov["tests"].items() if not r["failed"]),
                   key=lambda tr: (tr[1]["seconds"], tr[0]))
    index = {t: i for i, (t, _) in enumerate(tests)}
    masks = {}
    for i, (_, r) in enumerate(tests):
        for source, lines in r["lines"].items():
            for line in lines:
                key = (source, line)
                masks[key] = masks.get(key, 0) | (1 << i)
    sets = {0: 0}
    # Every source file, those with no line the counters know too (a header
    # of declarations): a quick run knows it has nothing to run.
    lines = {os.path.relpath(p, ROOT): {} for p in sources([])}
    for source, executable in cov["executable"].items():
        for line in executable:
            mask = masks.get((source, line), 0)
            lines.setdefault(source, {})[str(line)] = sets.setdefault(mask, len(sets))
    killed = {source: {str(index[t]): n for t, n in by.items() if t in index}
              for source, by in killers.items() if by}
    compact = lambda value: json.dumps(value, separators=(",", ":"), sort_keys=True)
    with open(path, "w") as f:
        rows = lambda table: ",\n".join("%s: %s" % (json.dumps(key), compact(value))
                                        for key, value in sorted(table.items()))
        f.write('{"tests": [\n%s\n],\n"digests": %s,\n"sets": [\n%s\n],\n"lines": {\n%s\n},\n'
                '"killers": {\n%s\n}}\n' % (
                    ",\n".join(json.dumps([t, round(r["seconds"], 3)]) for t, r in tests),
                    compact({source: file_digest(source) for source in lines}),
                    ",\n".join('"%x"' % mask for mask, _ in sorted(sets.items(), key=lambda m: m[1])),
                    rows(lines), rows(killed)))


def coverage_from_map(path, collected):
    """What --map gives in place of the coverage run: for a source file whose
    text is the one the map was made from, the tests of each line; for one
    changed since, the tests of any of its lines (a file the map does not
    know is run against every test; tests the suite no longer has are
    dropped); and the killers of each file's mutants in the run that wrote
    the map."""
    with open(path) as f:
        data = json.load(f)
    names = [t for t, _ in data["tests"]]
    tests = {t: {"seconds": s, "failed": False, "lines": {}}
             for t, s in data["tests"] if t in collected}
    masks = [int(m, 16) for m in data["sets"]]
    executable = {}
    for source, lines in data["lines"].items():
        same = os.path.exists(os.path.join(ROOT, source)) and \
            data["digests"].get(source) == file_digest(source)
        if same:
            executable[source] = sorted(int(line) for line in lines)
        any_line = 0
        for line, set_index in lines.items():
            any_line |= masks[set_index]
            if same:
                for i in bits(masks[set_index]):
                    if names[i] in tests:
                        tests[names[i]]["lines"].setdefault(source, []).append(int(line))
        if not same:
            for i in bits(any_line):
                if names[i] in tests:
                    tests[names[i]]["lines"][source] = [0]
    killers = {source: {names[int(i)]: n for i, n in by.items()}
               for source, by in data.get("killers", {}).items()}
    return {"tests": tests, "executable": executable}, killers


def bits(mask):
    i = 0
    while mask:
        if mask & 1:
            yield i
        mask >>= 1
        i += 1


def collect(tree, build):
    r = subprocess.run([PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--collect-only"]
                       + test_files(), cwd=os.path.join(tree, "tests"), env=test_env(build),
                       stdout=subprocess.PIPE, check=True)
    # Ids as the tests folder names them (pytest prints them from the root).
    return {os.path.basename(l[:l.index("::")]) + l[l.index("::"):]
            for l in r.stdout.decode().splitlines() if "::" in l}


def tests_for(cov, mutant):
    """The tests that run the mutated line, fastest first; where the line is
    not one the counters know (a declaration, a constant), those that run
    any line of its file; where none runs its file, all. Tests that fail
    unmutated are left out."""
    path, line = mutant["file"], mutant["line"]
    tests = {t: r for t, r in cov["tests"].items() if not r["failed"]}
    if line in cov["executable"].get(path, []):
        chosen = [t for t, r in tests.items() if line in r["lines"].get(path, [])]
        if not chosen:
            return [], "no test runs this line"
    else:
        chosen = [t for t, r in tests.items() if r["lines"].get(path)] or list(tests)
    return sorted(chosen, key=lambda t: tests[t]["seconds"]), None


def test_env(build):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    env["PYTHONPATH"] = os.pathsep.join([build, os.path.dirname(build)])  # and the command's module
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


DEADLINE = [float("inf")]  # --budget: no mutant runs past it
REFERENCE = [None]  # the unmutated build a kill is checked against


def run_watched(cmd, cwd, env, quiet_limit):
    """Runs the tests in a session of their own; (exit status, output), or
    (None, output) when nothing came out for `quiet_limit` seconds: a test
    hung where pytest's own timeout cannot reach (a loop in C++ holding the
    interpreter), and the whole session with the servers it started is
    killed."""
    env = dict(env, PYTHONUNBUFFERED="1")  # a dot as each test ends
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, start_new_session=True)
    chunks, last = [], [time.monotonic()]

    def read():
        for chunk in iter(lambda: p.stdout.read1(4096), b""):
            chunks.append(chunk)
            last[0] = time.monotonic()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    while p.poll() is None:
        if time.monotonic() - last[0] > quiet_limit or time.monotonic() > DEADLINE[0]:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            reader.join(5)
            return None, b"".join(chunks).decode(errors="replace")
        time.sleep(0.5)
    reader.join(5)
    try:
        os.killpg(p.pid, signal.SIGKILL)  # what the tests left running
    except ProcessLookupError:
        pass
    return p.returncode, b"".join(chunks).decode(errors="replace")


# -- one mutant ------------------------------------------------------------------------------
def syntax_commands(build, tree):
    """For each source file, a compiler command that only checks its
    syntax (for a header, that of the unit named like it, or else of the
    first that includes it): a mutant that cannot compile fails it in a
    fraction of a build."""
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    by_unit = {}
    for e in entries:
        unit = os.path.relpath(os.path.normpath(os.path.join(e["directory"], e["file"])), tree)
        args, out, skip = e["command"].split(), [], 0
        for a in args:
            if skip:
                skip -= 1
            elif a in ("-o", "-MQ", "-MF"):
                skip = 1
            elif a != "-MD":
                out.append(a)
        by_unit[unit] = out + ["-fsyntax-only"]
    commands = dict(by_unit)
    texts = {}
    for unit in sorted(by_unit):
        with open(os.path.join(tree, unit), encoding="utf-8") as f:
            texts[unit] = f.read()
    for header in glob.glob(os.path.join(tree, "src", "**", "*.h"), recursive=True):
        rel = os.path.relpath(header, tree)
        twin = rel[:-2] + ".cpp"
        included = '#include "%s"' % os.path.relpath(header, os.path.join(tree, "src"))
        users = [u for u, text in texts.items() if included in text]
        unit = twin if twin in by_unit else (users[0] if users else None)
        if unit:
            commands[rel] = by_unit[unit]
    return commands


class Worker(object):
    """A copy of the tree with its own build; one mutant at a time."""

    def __init__(self, index):
        self.tree = os.path.join(WORK, "w%s" % index)
        self.build = os.path.join(self.tree, "build")
        copy_tree(self.tree)
        # Warnings as errors, as CI builds: a mutant the project's own build
        # would refuse (a function that falls off its end) does not compile.
        setup_build(self.tree, self.build, "-Dwerror=true")
        self.digest = module_digest(self.build)
        self.syntax = syntax_commands(self.build, self.tree)

    def run(self, mutant, cov, killers, timeout_factor, explained=False):
        target = os.path.join(self.tree, mutant["file"])
        with open(target, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(target, "w", encoding="utf-8") as f:
                f.write(mutant["text"])
            check = self.syntax.get(mutant["file"])
            if check and subprocess.run(check, cwd=self.build, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode != 0:
                return {"status": "not compiling"}
            if not ninja(self.build):
                return {"status": "not compiling"}
            if module_digest(self.build) == self.digest:
                return {"status": "same code"}
            if explained:  # built, so that one that cannot compile is not counted as explained
                return {"status": "survived", "note": "explained, not run"}
            tests, why = tests_for(cov, mutant)
            if not tests:
                return {"status": "survived", "tests": [], "note": why}
            # The tests that killed this file's mutants so far go first: most
            # mutants of a file fall to the same few.
            tests.sort(key=lambda t: -killers.get(t, 0))
            times = [cov["tests"][t]["seconds"] for t in tests]
            # A mutant that hangs a test fails that test at its own limit.
            each = max(30.0, timeout_factor * max(times))
            start = time.monotonic()
            exit_status, out = run_watched(pytest_cmd(tests, ["--timeout", "%.0f" % each]),
                                           os.path.join(self.tree, "tests"),
                                           test_env(self.build), each + 30)
            if exit_status is None and time.monotonic() > DEADLINE[0]:
                return {"status": "unfinished"}
            if exit_status is None:
                return {"status": "timed out", "tests": tests, "seconds": time.monotonic() - start}
            took = time.monotonic() - start
            if exit_status == 0:
                return {"status": "survived", "tests": tests, "seconds": took}
            # A test id the suite no longer has, or none collected: no verdict.
            # (A module that cannot be imported fails conftest, status 4: a kill.)
            if exit_status == 5 or "ERROR: not found:" in out:
                return {"status": "unfinished", "trouble": out[-500:]}
            killer = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", out, re.M)
            status = "timed out" if "+++ Timeout" in out else "killed"
            if killer and not passes_unmutated(killer[0], each):
                return {"status": "unfinished", "flaky": killer[0]}
            return {"status": status, "tests": tests, "seconds": took,
                    "by": killer[0] if killer else "pytest status %d" % exit_status}
        finally:
            with open(target, "w", encoding="utf-8") as f:
                f.write(original)


def passes_unmutated(test, each):
    """Whether `test` passes on the unmutated build: one that fails there
    too (a timing test on a loaded machine) killed nothing."""
    ref = REFERENCE[0]
    status, _ = run_watched(pytest_cmd([test], ["--timeout", "%.0f" % each]),
                            os.path.join(ref.tree, "tests"), test_env(ref.build), each + 30)
    return status == 0


# -- the run ---------------------------------------------------------------------------------
def sources(named):
    if named:
        return [os.path.abspath(p) for p in named]
    found = glob.glob(os.path.join(ROOT, "src", "**", "*.cpp"), recursive=True)
    found += glob.glob(os.path.join(ROOT, "src", "**", "*.h"), recursive=True)
    return sorted(found)


def main(argv=None):
    global WORK, PYTHON, MESON, NINJA
    ap = argparse.ArgumentParser(prog="scripts/mutants", description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="*", help="source files to mutate (default: all of src/)")
    ap.add_argument("--per-file", type=int, default=40, metavar="N",
                    help="mutants a file, drawn in the seeded order, that build to a module of "
                         "their own (default 40)")
    ap.add_argument("--seed", default="1", help="the draw's seed (default 1)")
    # The tests mostly wait on sockets and clocks: two mutants a core keep
    # the cores busy without slowing the tests that time themselves.
    ap.add_argument("--jobs", type=int, default=2 * (os.cpu_count() or 1),
                    help="mutants built and tested at once (default: twice the machine's cores)")
    ap.add_argument("--timeout-factor", type=float, default=4.0,
                    help="a test times out at this many times its unmutated time (30 s at least); "
                         "a run that prints nothing for 30 s longer is killed")
    ap.add_argument("--work", default=os.path.join(ROOT, "build-mutants"),
                    help="where the copies, builds and reports go (default build-mutants/)")
    ap.add_argument("--write-map", metavar="FILE",
                    help="at the end, write which tests run each source file and which killed "
                         "its mutants (for --map)")
    ap.add_argument("--map", metavar="FILE",
                    help="choose each mutant's tests from this map (tests that run its file) "
                         "instead of a coverage run: minutes sooner, more tests a mutant")
    ap.add_argument("--budget", type=float, metavar="SECONDS",
                    help="start no mutant after this many seconds of mutants, and stop those "
                         "running then; the report counts the mutants done")
    ap.add_argument("--executable-only", action="store_true",
                    help="draw only mutants of lines the counters know, the statements that run "
                         "(most compile); a file the map does not know as it is now is drawn whole")
    ap.add_argument("--report-only", action="store_true",
                    help="build and run nothing: the report (and map) from what earlier runs found")
    ap.add_argument("--fail-on-survivors", action="store_true",
                    help="exit 1 when a survivor is not in tests/mutants_explained.txt")
    args = ap.parse_args(argv)
    if args.report_only and args.map:
        ap.error("--report-only takes what earlier runs found, not a map")
    WORK = os.path.abspath(args.work)
    bindir = os.path.dirname(sys.executable)
    PYTHON = sys.executable
    MESON, NINJA = os.path.join(bindir, "meson"), os.path.join(bindir, "ninja")
    mutate = os.path.join(bindir, "mutate")
    os.makedirs(WORK, exist_ok=True)
    log_lock = threading.Lock()
    started = time.monotonic()

    def log(text):
        with log_lock:
            print("[%5.0f s] %s" % (time.monotonic() - started, text), flush=True)

    explained = load_explained()
    for e in gone(explained):
        log("%s names a line gone from %s: %s" % (os.path.relpath(EXPLAINED, ROOT), e["file"],
                                                 e["before"]))
    if args.report_only and not args.write_map:
        cov = {"tests": {}, "executable": {}}  # what is known needs no coverage run
    elif not args.map:
        cov = coverage(log)
    log("drawing mutants")
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as ex:
        named = sources(args.files)
        pools = dict(zip((os.path.relpath(p, ROOT) for p in named),
                         ex.map(lambda p: draw(p, args.seed, mutate), named)))
    if not args.report_only:
        log("setting up %d builds, and an unmutated one" % args.jobs)
    workers = [Worker(i) for i in range(0 if args.report_only else args.jobs)]
    if workers:
        REFERENCE[0] = Worker("ref")
        workers_and_reference = workers + [REFERENCE[0]]
    else:
        workers_and_reference = []
    if len({w.digest for w in workers_and_reference}) > 1:
        raise SystemExit("mutants: the unmutated builds differ; remove %s and run again" % WORK)
    if args.budget is not None:
        DEADLINE[0] = time.monotonic() + args.budget
    known_killers = {}
    if args.map:
        cov, known_killers = coverage_from_map(args.map, collect(workers[0].tree, workers[0].build))
    if args.executable_only:
        for rel, pool in pools.items():
            if rel in cov["executable"]:  # else unknown to the counters, or changed since the map
                lines = set(cov["executable"][rel])
                pools[rel] = [m for m in pool if m["line"] in lines]
    free = list(workers)
    free_lock = threading.Lock()
    results = {rel: {} for rel in pools}
    killers = {rel: dict(known_killers.get(rel, {})) for rel in pools}
    earlier = Results(os.path.join(WORK, "results.jsonl"))
    lock = threading.Lock()

    def wanted(rel, index):
        """Whether this file still needs its index-th mutant: fewer than N of
        its mutants before it compiled (counted as results come in)."""
        with lock:
            done = sorted(i for i, r in results[rel].items() if counts_toward_n(r))
            return len([i for i in done if i < index]) < args.per_file

    def run_on_free_worker(mutant, file_killers, explained=False):
        with free_lock:
            w = free.pop()
        try:
            return w.run(mutant, cov, file_killers, args.timeout_factor, explained)
        finally:
            with free_lock:
                free.append(w)

    def one(rel, index):
        mutant = pools[rel][index]
        if not balanced_like(mutant["before"], mutant["after"]):
            result = {"status": "not compiling", "unbuilt": True}
        elif not wanted(rel, index) or time.monotonic() > DEADLINE[0]:
            return
        else:
            # An explained mutant is built (one that cannot compile is no
            # survivor) but not tested.
            known_reason = explanation(explained, mutant) is not None
            result = earlier.earlier(mutant, args.report_only)
            if result is None and args.report_only:
                if not known_reason:
                    return
                result = {"status": "survived", "note": "explained, not run"}
            if result is None:
                result = run_on_free_worker(mutant, killers[rel], known_reason)
                if result.get("trouble"):
                    log("%s:%d pytest could not run its tests: %s"
                        % (rel, mutant["line"], result["trouble"].strip().splitlines()[-1:]))
                if result.get("flaky"):
                    log("%s:%d its killer %s fails unmutated too: left for another run"
                        % (rel, mutant["line"], result["flaky"]))
                if result["status"] == "unfinished":
                    return
                earlier.add(mutant, result)
        with lock:
            results[rel][index] = result
            if result.get("by") in cov["tests"]:
                killers[rel][result["by"]] = killers[rel].get(result["by"], 0) + 1
        if not result.get("unbuilt") and not result.get("cached"):
            shown = "explained" if result.get("note") == "explained, not run" else result["status"]
            log("%s:%d %-13s %s -> %s" % (rel, mutant["line"], shown,
                                          mutant["before"].strip()[:60], mutant["after"].strip()[:60]))

    # Files interleaved, each in its own seeded order; a file's draw stops
    # once N of its mutants compiled.
    order = []
    longest = max((len(p) for p in pools.values()), default=0)
    for i in range(longest):
        order += [(rel, i) for rel, p in pools.items() if i < len(p)]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as ex:
        for f in [ex.submit(one, rel, i) for rel, i in order]:
            f.result()
    report = write_report(args, pools, results, explained, time.monotonic() - started)
    if args.write_map:
        write_map(cov, killers, args.write_map)
    log("report: %s" % report)
    unexplained = [1 for rel in results for i, r in kept(results[rel], args.per_file)
                   if r["status"] == "survived" and not explanation(explained, pools[rel][i])]
    return 1 if args.fail_on_survivors and unexplained else 0


def counts_toward_n(result):
    """A file's N mutants are N that built to a module of their own."""
    return result["status"] not in ("not compiling", "same code")


def kept(file_results, per_file):
    """The results a report counts: in draw order, up to the N-th mutant
    that built to a module of its own (a parallel run may have built more)."""
    out, n = [], 0
    for i in sorted(file_results):
        r = file_results[i]
        if n >= per_file:
            break
        out.append((i, r))
        if counts_toward_n(r):
            n += 1
    return out


STATUSES = ["killed", "timed out", "survived", "explained", "equivalent", "same code",
            "not compiling"]


def write_report(args, pools, results, explained, seconds):
    rows, survivors, totals = [], [], dict.fromkeys(STATUSES, 0)
    for rel in sorted(pools):
        counts = dict.fromkeys(STATUSES, 0)
        for i, r in kept(results[rel], args.per_file):
            m = pools[rel][i]
            status = r["status"]
            why = explanation(explained, m) if status == "survived" else None
            if why:
                status = "equivalent" if why.startswith("equivalent") else "explained"
            counts[status] += 1
            if status == "survived":
                survivors.append("- `%s:%d` `%s` → `%s` (%s)" % (
                    rel, m["line"], m["before"].strip(), m["after"].strip(),
                    r.get("note") or "%d tests ran" % len(r.get("tests", []))))
        for k in STATUSES:
            totals[k] += counts[k]
        rows.append((rel, counts))
    lines = ["# Mutation run", "",
             "Seed %s, %d compiling mutants a file at most, %d jobs, %.0f minutes." % (
                 args.seed, args.per_file, args.jobs, seconds / 60), "",
             "| file | killed | timed out | survived | explained | equivalent | same code "
             "| not compiling | score |",
             "|---|---|---|---|---|---|---|---|---|"]
    for rel, c in rows + [("**all**", totals)]:
        lines.append("| %s | %s | %s |" % (rel, " | ".join(str(c[k]) for k in STATUSES), score(c)))
    lines += ["", "Score: killed and timed out over those, the survivors and the explained. "
              "Explained: a survivor whose reason tests/mutants_explained.txt gives (a path "
              "Python cannot reach); equivalent: one it explains as no input can tell apart; "
              "same code: one that builds to the very same module. The last two are set aside.",
              "",
              "## Survivors", ""] + (survivors or ["None."])
    path = os.path.join(WORK, "report.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    dump = {rel: [dict(pools[rel][i], text=None, **r) for i, r in kept(results[rel], args.per_file)]
            for rel in pools}
    for entries in dump.values():
        for e in entries:
            del e["text"]
    with open(os.path.join(WORK, "report.json"), "w") as f:
        json.dump(dump, f, indent=1)
    return path


def score(c):
    caught = c["killed"] + c["timed out"]
    judged = caught + c["survived"] + c["explained"]
    return "%.0f %%" % (100.0 * caught / judged) if judged else "–"


if __name__ == "__main__":
    sys.exit(main())
