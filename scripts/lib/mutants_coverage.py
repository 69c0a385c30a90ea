"""A pytest plugin for scripts/mutants: which lines of src/ each test runs.

Loaded (-p mutants_coverage) into a suite run against a module built with
gcov's counters and with __gcov_reset and __gcov_dump exported. Before each
test the counters and their files are cleared; after it the counters are
written (children the test started wrote theirs as they exited) and gcov
reads them. MUTANTS_COVERAGE names the JSON file written at the end:
{"tests": {test id: {"seconds": s, "failed": f, "lines": {source: [line, ...]}}},
 "executable": {source: [line, ...]}}.
"""
import ctypes
import glob
import json
import os
import subprocess
import time

import pytest

_results = {}
_executable = {}


def _module():
    import fernwick
    return fernwick


def _library():
    return ctypes.CDLL(_module().__file__)


def _gcda_files(objdir):
    return glob.glob(os.path.join(objdir, "*.gcda"))


def lines_of(build, tree):
    """{source relative to the tree: {line: count}} of the counters written."""
    objdir = glob.glob(os.path.join(build, "fernwick*.p"))[0]
    gcda = _gcda_files(objdir)
    if not gcda:
        return {}
    out = subprocess.run(["gcov", "--json-format", "--stdout"] + gcda, cwd=build,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    found = {}
    for doc in out.decode().splitlines():
        if not doc.strip():
            continue
        data = json.loads(doc)
        cwd = data.get("current_working_directory", build)
        for f in data["files"]:
            path = os.path.relpath(os.path.normpath(os.path.join(cwd, f["file"])), tree)
            if not path.startswith("src" + os.sep):
                continue
            seen = found.setdefault(path, {})
            for line in f["lines"]:
                n = line["line_number"]
                seen[n] = seen.get(n, 0) + line["count"]
    return found


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    lib = _library()
    build = os.path.dirname(_module().__file__)
    objdir = glob.glob(os.path.join(build, "fernwick*.p"))[0]
    for p in _gcda_files(objdir):
        os.remove(p)
    lib.__gcov_reset()
    start = time.monotonic()
    outcome = {}
    item.mutants_outcome = outcome
    yield
    took = time.monotonic() - start
    lib.__gcov_dump()
    counts = lines_of(build, os.path.dirname(build))
    # Ids as the tests folder, where the runs start, names them.
    test_id = os.path.relpath(str(item.fspath), str(item.session.config.invocation_params.dir))
    test_id += item.nodeid[item.nodeid.index("::"):]
    _results[test_id] = {
        "seconds": took, "failed": outcome.get("failed", False),
        "lines": {p: sorted(l for l, n in c.items() if n > 0) for p, c in counts.items()},
    }
    for p, c in counts.items():
        _executable.setdefault(p, set()).update(c)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    rep = (yield).get_result()
    if rep.failed and hasattr(item, "mutants_outcome"):
        item.mutants_outcome["failed"] = True


def pytest_sessionfinish(session):
    with open(os.environ["MUTANTS_COVERAGE"], "w") as f:
        json.dump({"tests": _results,
                   "executable": {p: sorted(l) for p, l in _executable.items()}}, f)
