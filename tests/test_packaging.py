"""The installed module as a user's tools see it: the stub beside it, the
console command."""
import os
import subprocess
import sys

import pytest

import fernwick
from conftest import ROOT

INSTALLED = "site-packages" in fernwick.__file__


def test_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy")
    # stubtest compares every name and signature of the stub with the module
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "fernwick"], cwd=str(tmp_path),
        env=dict(os.environ, MYPYPATH=ROOT), capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(not INSTALLED, reason="module not installed by pip")
def test_stub_is_installed_beside_the_module():
    beside = os.path.join(os.path.dirname(fernwick.__file__), "fernwick.pyi")
    with open(beside) as installed, open(os.path.join(ROOT, "fernwick.pyi")) as source:
        assert installed.read() == source.read()


@pytest.mark.skipif(not INSTALLED, reason="module not installed by pip")
@pytest.mark.parametrize("config, said", [
    (None, "读取配置文件错误\n"),
    ("recursion = maybe\n", "recursion非法"),
    ("recursion = 否\nresume = maybe\n", "resume非法"),
])
def test_console_command_runs_main_in_the_current_directory(tmp_path, config, said):
    # Nothing done: status 2 (the statuses of a batch that ran are in test_command.py).
    command = os.path.join(os.path.dirname(sys.executable), "fernwick")
    if config is not None:
        (tmp_path / "config.ini").write_text(
            "[必须参数]\ncid = 0\ntype = 0\ncookie = c\n[功能参数]\n" + config, encoding="utf-8")
    result = subprocess.run([command], cwd=str(tmp_path), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (2, said, "")
