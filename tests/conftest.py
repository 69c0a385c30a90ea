"""Shared fixtures: the built module, a recording fake of `requests`, fakes
for the module's waits, and helpers to run process-global cases in a fresh
interpreter."""
import os
import queue
import signal
import subprocess
import sys
import textwrap
import time
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.append(ROOT)  # the stand-in package lives at the top of the tree

import fernwick  # noqa: E402

# A suite started in the background of a script (`scripts/test &`) inherits
# Ctrl-C ignored, and so would every child that a test interrupts: put the
# interpreter's own handler back (a child starts with the default again).
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def fw(monkeypatch):
    """The module, with its lists emptied and every module attribute a test
    replaces put back afterwards."""
    fernwick.sha1list.clear()
    fernwick.cidlist.clear()
    yield fernwick
    fernwick.sha1list.clear()
    fernwick.cidlist.clear()


@pytest.fixture
def restore_module_attrs():
    saved = dict(vars(fernwick))
    yield
    for name in list(vars(fernwick)):
        if name not in saved:
            delattr(fernwick, name)
    for name, value in saved.items():
        setattr(fernwick, name, value)


class TakeAtOnce(queue.Queue):
    """A queue whose take never sits out its timeout: a batch fills its queue
    before the workers start, so a queue found empty stays empty. `takes`
    keeps each take's (block, timeout)."""

    def __init__(self, maxsize=0):
        super().__init__(maxsize)
        self.takes = []

    def get(self, block=True, timeout=None):
        self.takes.append((block, timeout))
        return super().get(block=False)


@pytest.fixture
def prompt_queue(fw, monkeypatch):
    """The module's queues are TakeAtOnce: a worker that finds the last entry
    taken by another ends at once instead of 2 s later."""
    monkeypatch.setattr(fw, "queue", types.SimpleNamespace(Queue=TakeAtOnce, Empty=queue.Empty))


@pytest.fixture
def pauses(fw, monkeypatch):
    """Retry pauses that return at once; the list of the pauses asked for."""
    asked = []
    monkeypatch.setattr(fw, "time", types.SimpleNamespace(time=time.time, monotonic=time.monotonic,
                                                          sleep=asked.append))
    return asked


def python_env(env=None):
    """The environment of a fresh interpreter that imports this module and
    the stand-in."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        p for p in [os.path.dirname(fernwick.__file__), ROOT,
                    full_env.get("PYTHONPATH", "")] if p)
    full_env.update(env or {})
    return full_env


def run_python(code, cwd=None, env=None, stdin=None, timeout=120, args=()):
    """Runs `code` in a fresh interpreter (the one running the tests)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)] + list(args), cwd=cwd, env=python_env(env),
        input=stdin, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def serve():
    """start(drive=None, **options): a started stand-in (the sample drive by
    default), stopped after the test."""
    from standin import Drive, StandIn
    started = []

    def start(drive=None, **kw):
        s = StandIn(drive if drive is not None else Drive.sample(), **kw).start()
        started.append(s)
        return s
    yield start
    for s in started:
        s.stop()


# scripts/test-aarch64 runs the suite under qemu-user, where the module and
# the interpreter run several times slower than on this machine. A test that
# holds only at native speed (a rate the batch must reach, a round trip with
# no room for the client's own work), or that the emulator itself cannot run,
# is skipped there, with the reason; every other leg runs it.
EMULATED = os.environ.get("FERNWICK_EMULATED") == "1"


def native_speed(needs):
    return pytest.mark.skipif(EMULATED, reason="too slow under emulation: " + needs)


def beyond_the_emulator(what):
    return pytest.mark.skipif(EMULATED, reason="qemu-user itself fails: " + what)


# Under scripts/test-tsan: ThreadSanitizer ends a child forked from a process
# with threads as soon as the child starts a thread of its own.
THREAD_SANITIZED = os.environ.get("FERNWICK_TSAN") == "1"
beyond_thread_sanitizer = pytest.mark.skipif(
    THREAD_SANITIZED, reason="ThreadSanitizer does not start threads after a multi-threaded fork")


class WorkerHooks:
    """fernwick.mythread as main sees it, the workers it makes kept in
    `workers`: main's start and join of each go through started() and
    join(), which a test overrides to fail main's dispatch at that point.
    A join waits the worker out, whatever piece main asks for."""

    def __init__(self, fw):
        self.worker_class, self.workers = fw.mythread, []

    def started(self, worker):
        pass

    def join(self, worker):
        worker.join()

    def __call__(self, *args):
        hooks, worker = self, self.worker_class(*args)
        self.workers.append(worker)

        class Handle:
            def start(self):
                worker.start()
                hooks.started(worker)

            def join(self, timeout=None):
                hooks.join(worker)

            def is_alive(self):
                return worker.is_alive()
        return Handle()
