"""A stop belongs to its batch: a new main() neither restarts nor inherits an
earlier one's workers; a file cut short by a stop is never given up; a file
whose address was fetched finishes at a stop."""
import io
import sys
import threading
import types

import fernwick_command
import pytest
import requests

from conftest import WorkerHooks
from standin import Router
from test_pacer import CONFIG, Clock, clock, line, service, written  # noqa: F401 (fixtures)

STATUS = fernwick_command._status_module()


class Interrupting(WorkerHooks):
    """mythread, with main's first join raising KeyboardInterrupt once
    `ready` is set (after `before_raise` ran)."""

    def __init__(self, fw, ready, before_raise=lambda: None):
        super().__init__(fw)
        self.ready, self.before_raise = ready, before_raise

    def join(self, worker):
        if worker is self.workers[0]:
            assert self.ready.wait(10)
            self.before_raise()
            raise KeyboardInterrupt
        worker.join()


def test_a_new_main_leaves_the_stopped_batch_stopped(fw, restore_module_attrs, monkeypatch,
                                                    tmp_path, capsys):
    """Three Ctrl-Cs end the first main while six files are in flight; a
    second main in another folder runs while they finish."""
    first, second = tmp_path / "first", tmp_path / "second"
    for folder in (first, second):
        folder.mkdir()
        (folder / "config.ini").write_text(CONFIG, encoding="utf-8")
    gate, in_flight = threading.Event(), []
    all_in = threading.Event()

    def get_url(pickcode, cookie):
        if pickcode.startswith("old"):
            in_flight.append(pickcode)
            if len(in_flight) == 6:
                all_in.set()
            gate.wait(10)
            if pickcode in ("old1", "old3"):
                raise ValueError("no address")  # a failure after the stop: no give-up
        return "http://h/" + pickcode

    class InterruptedWait:
        def wait(self, timeout=None):
            raise KeyboardInterrupt

    fw.get_url, fw.get_preid = get_url, lambda url, cookie, cid: "P"
    fw.time = types.SimpleNamespace(sleep=lambda s: None, time=lambda: 0.0, monotonic=lambda: 0.0)
    fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(
        "old%d|1|S|old%d" % (i, i) for i in range(30))
    fw.threading = types.SimpleNamespace(Thread=threading.Thread, Event=InterruptedWait)
    fw.mythread = old = Interrupting(fw, all_in)
    monkeypatch.chdir(first)
    with pytest.raises(KeyboardInterrupt):
        fw.main()
    assert any(worker.is_alive() for worker in old.workers)

    def second_listing(cid, type2, cookie):
        gate.set()  # the old workers go on while this batch runs
        fw.sha1list.extend("new%d|1|S|new%d" % (i, i) for i in range(8))

    fw.threading, fw.mythread, fw.get_sha1list = threading, old.worker_class, second_listing
    monkeypatch.chdir(second)
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    fw.main()
    for worker in old.workers:
        worker.join(10)
    assert STATUS.last_status() == 0
    assert sorted(written(first)) == ["old%d|1|S|P" % i for i in (0, 2, 4, 5)]
    assert sorted(written(second)) == sorted("new%d|1|S|P" % i for i in range(8))
    assert "放弃" not in capsys.readouterr().out


@pytest.fixture
def folder(fw, restore_module_attrs, monkeypatch, tmp_path):
    """config.ini in the current directory, and the module on `clock`."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    return fw


# The cookie dies on the file's (n+1)-th address request: its halt stops the
# batch inside that attempt, the last one included.
@pytest.mark.parametrize("failed_attempts", [0, 1, 3])
def test_a_file_cut_short_by_a_halt_is_not_given_up(folder, service, clock, tmp_path, capsys,
                                                    failed_attempts):
    server = service(files=1)
    server.plan({"address": [(500, {})] * failed_attempts})
    server.dies_after, server.death = 1 + failed_attempts, (401, {})
    folder.time, folder.requests = clock, Router(server.base)
    with pytest.raises(requests.HTTPError):
        folder.main()
    assert [kind for kind, _, _ in server.log] == ["list"] + ["address"] * (failed_attempts + 1)
    assert "放弃" not in capsys.readouterr().out
    assert STATUS.last_status() == 5 and written(tmp_path) == []


def test_a_file_with_its_address_finishes_at_a_stop(folder, service, tmp_path):
    """Its download waits out a ten-minute pause when Ctrl-C comes: it is
    sent at once and its line written."""
    server = service(files=1)
    server.plan({"download": [(429, {"Retry-After": "600"})]})
    refused, release = threading.Event(), threading.Event()

    class HeldClock(Clock):
        def sleep(self, seconds):
            refused.set()
            assert release.wait(10)
            super().sleep(seconds)

    folder.time, folder.requests = HeldClock(), Router(server.base)
    folder.mythread = Interrupting(folder, refused,
                                   lambda: threading.Timer(0.1, release.set).start())
    with pytest.raises(KeyboardInterrupt):
        folder.main()
    assert [kind for kind, _, _ in server.log] == ["list", "address", "download", "download"]
    assert written(tmp_path) == [line("pc00")]
    assert STATUS.last_status() == 130
