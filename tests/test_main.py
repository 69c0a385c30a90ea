"""main: the folder walk, one dispatch per folder, its messages and prompts."""
import ast
import io
import queue
import sys
import types

import pytest

from conftest import run_python

CONFIG = "[必须参数]\ncid = 1\ntype = 4\ncookie = k=v\n[功能参数]\nrecursion = {}\n"
OUT = "QuillsiftBYOskel.txt"


def entry(name):
    return f"{name}|10|S|PC{name}"


def line(name, cid):
    return f"{name}|10|S|PC{name}@{cid}"


@pytest.fixture
def batch(fw, restore_module_attrs, monkeypatch, prompt_queue, tmp_path):
    """Writes config.ini and installs a fake drive: `children` and `files`
    per folder id; the pickcode FAIL never gets an address."""
    monkeypatch.chdir(tmp_path)

    def setup(recursion, children, files, stdin="\n"):
        (tmp_path / "config.ini").write_text(CONFIG.format(recursion), encoding="utf-8")
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        drive = types.SimpleNamespace(children=children, files=files, calls=[])

        def get_cidlist(cid, cookie):
            drive.calls.append(("get_cidlist", cid, cookie))
            fw.cidlist.extend(drive.children.get(cid, []))

        def get_sha1list(cid, type2, cookie):
            drive.calls.append(("get_sha1list", cid, type2, cookie))
            fw.sha1list.extend(drive.files.get(cid, []))

        def get_url(pickcode, cookie):
            if pickcode == "FAIL" or cookie != "k=v":
                raise ValueError("no address")
            return "http://h/dl/" + pickcode

        fw.get_cidlist, fw.get_sha1list, fw.get_url = get_cidlist, get_sha1list, get_url
        fw.get_preid = lambda url, cookie, cid: url.rsplit("/", 1)[1] + "@" + cid
        fw.time = types.SimpleNamespace(sleep=lambda seconds: None)
        return drive

    return setup


def written(tmp_path):
    path = tmp_path / OUT
    return path.read_bytes().decode("utf-8").splitlines() if path.exists() else []


def messages(out):
    """What main said, without the workers' output lines."""
    return [text for text in out.split("\n") if "|" not in text]


def test_recursive_run_walks_breadth_first_then_each_folder(fw, batch, capsys, tmp_path):
    drive = batch("是", children={"1": ["2", "3"], "2": ["4"], "3": ["5"]},
                  files={"1": [entry("a")], "2": [entry("b"), entry("c")], "4": [entry("d")]})
    assert fw.main() is None
    assert drive.calls == ([("get_cidlist", c, "k=v") for c in "12345"] +
                           [("get_sha1list", c, "4", "k=v") for c in "12345"])
    assert messages(capsys.readouterr().out) == [
        "初步递归计算中", "计算完成", "总共5个文件夹",
        "获取数据完成，总共1条数据", "获取数据完成，总共2条数据", "获取数据完成，总共0条数据",
        "获取数据完成，总共1条数据", "获取数据完成，总共0条数据", "任务完成"]
    lines = written(tmp_path)
    assert lines[0] == line("a", "1")
    assert sorted(lines[1:3]) == [line("b", "2"), line("c", "2")]
    assert lines[3:] == [line("d", "4")]


def test_single_folder_run(fw, batch, capsys, tmp_path):
    drive = batch("否", children={"1": ["2"]},
                  files={"1": [entry("a"), entry("b")], "2": [entry("c")]})
    assert fw.main() is None
    assert drive.calls == [("get_sha1list", "1", "4", "k=v")]
    assert messages(capsys.readouterr().out) == ["获取数据完成，总共2条数据", "任务完成"]
    assert sorted(written(tmp_path)) == [line("a", "1"), line("b", "1")]


@pytest.mark.parametrize("recursion", ["yes", "1", ""])
def test_other_recursion_values_only_prompt(fw, batch, capsys, recursion):
    drive = batch(recursion, {}, {"1": [entry("a")]})
    assert fw.main() is None
    assert capsys.readouterr().out == "recursion非法"
    assert drive.calls == []


@pytest.mark.parametrize("recursion, prompt", [("否", "任务完成"), ("yes", "recursion非法")])
def test_end_of_input_at_the_prompt_ends_main(fw, batch, capsys, recursion, prompt):
    batch(recursion, {}, {}, stdin="")
    assert fw.main() is None
    assert capsys.readouterr().out.endswith(prompt)


def test_each_folder_gets_its_own_queue_and_six_workers(fw, batch, capsys):
    batch("是", children={"1": ["2"]}, files={"1": ["x|1|S|P", "y|1|S|P"], "2": ["z|1|S|P"]})
    events, queues, workers = [], [], []

    class Queue:
        def __init__(self, *args, **kwargs):
            queues.append(self)
            events.append(("Queue", args, kwargs))

        def put(self, item):
            events.append(("put", item))

    class Worker:
        def __init__(self, *args):
            self.args = args
            workers.append(self)

        def start(self):
            events.append(("start", workers.index(self)))

        def join(self, timeout):
            events.append(("join", workers.index(self)))

        def is_alive(self):  # ends during its second piece of join
            return events.count(("join", workers.index(self))) < 2

    fw.queue = types.SimpleNamespace(Queue=Queue, Empty=queue.Empty)
    fw.mythread = Worker
    fw.main()

    def folder(first, puts):
        return ([("Queue", (), {"maxsize": 0})] + [("put", p) for p in puts] +
                [("start", first + t) for t in range(6)] +
                [("join", first + t // 2) for t in range(12)])

    assert events == folder(0, ["x|1|S|P", "y|1|S|P"]) + folder(6, ["z|1|S|P"])
    assert [w.args for w in workers] == ([(queues[0], "k=v", "1")] * 6 +
                                         [(queues[1], "k=v", "2")] * 6)


@pytest.mark.parametrize("recursion", ["是", "否"])
def test_each_run_starts_from_empty_lists(fw, batch, tmp_path, recursion):
    lists = fw.sha1list, fw.cidlist
    fw.sha1list.append("stale|1|S|STALE")
    fw.cidlist.append("9")
    drive = batch(recursion, {}, {"1": [entry("a")]})
    fw.main()
    drive.files["1"] = [entry("b")]
    fw.main()
    assert fw.sha1list is lists[0] and fw.cidlist is lists[1]
    assert written(tmp_path) == [line("a", "1"), line("b", "1")]
    one_run = [("get_sha1list", "1", "4", "k=v")]
    if recursion == "是":
        one_run.insert(0, ("get_cidlist", "1", "k=v"))
    assert drive.calls == one_run * 2


def test_given_up_files_counted_before_the_last_prompt(fw, batch, capsys, tmp_path):
    drive = batch("否", {}, {"1": [entry("a"), "lost|1|S|FAIL", entry("b")]})
    fw.main()
    said = messages(capsys.readouterr().out)
    assert said[-2:] == ["放弃1个文件", "任务完成"]
    assert "放弃文件：lost（ValueError: no address）" in said
    assert sorted(written(tmp_path)) == [line("a", "1"), line("b", "1")]
    drive.files["1"] = [entry("c")]
    fw.main()
    assert messages(capsys.readouterr().out) == ["获取数据完成，总共1条数据", "任务完成"]


def test_every_message_is_one_print_of_one_text(tmp_path):
    (tmp_path / "config.ini").write_text(CONFIG.format("是"), encoding="utf-8")
    result = run_python("""
        import builtins, types
        calls, real_print = [], builtins.print
        builtins.print = lambda *args, **kwargs: calls.append((args, kwargs))
        import fernwick

        def get_url(pickcode, cookie):
            if pickcode == "P3":
                raise ValueError("no")
            return "http://h/" + pickcode

        fernwick.get_cidlist = lambda cid, c: fernwick.cidlist.extend(["2", "3"] * (cid == "1"))
        fernwick.get_sha1list = lambda cid, t, c: fernwick.sha1list.append(f"f{cid}|1|S|P{cid}")
        fernwick.get_url = get_url
        fernwick.get_preid = lambda url, cookie, cid: "H" + cid
        fernwick.time = types.SimpleNamespace(sleep=lambda s: None)
        fernwick.main()
        real_print("RESULT", repr(calls))
    """, cwd=tmp_path, stdin="\n")
    assert result.returncode == 0, result.stderr
    calls = ast.literal_eval(result.stdout.split("RESULT ", 1)[1])
    assert calls == [((text,), {}) for text in [
        "初步递归计算中", "计算完成\n总共3个文件夹",
        "获取数据完成，总共1条数据", "f1|1|S|H1",
        "获取数据完成，总共1条数据", "f2|1|S|H2",
        "获取数据完成，总共1条数据", "放弃文件：f3（ValueError: no）",
        "放弃1个文件"]]


@pytest.mark.parametrize("name", ["input", "print", "open"])
def test_builtins_are_held_once_resolved(tmp_path, name):
    # open and input are resolved at import, print at its first use; a later
    # swap of the builtin does not reach the module.
    result = run_python(f"""
        import builtins, os
        import fernwick
        fernwick.main()  # no config.ini yet
        with open("config.ini", "w", encoding="utf-8") as f:
            f.write({CONFIG.format("bad")!r})
        fernwick.main()
        real, calls = getattr(builtins, {name!r}), []

        def recording(*args, **kwargs):
            calls.append(args[:1])
            return real(*args, **kwargs)

        setattr(builtins, {name!r}, recording)
        fernwick.main()
        os.remove("config.ini")
        fernwick.main()
        setattr(builtins, {name!r}, real)
        print("RESULT", repr(calls))
    """, cwd=tmp_path, stdin="")
    assert result.returncode == 0, result.stderr
    calls = ast.literal_eval(result.stdout.split("RESULT ", 1)[1])
    assert calls == []
