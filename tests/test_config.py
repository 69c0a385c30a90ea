"""config.ini: tried under each encoding in turn, then read value by value."""
import ast
import configparser
import io
import sys
import types

import pytest

from conftest import run_python

GOOD = "[必须参数]\ncid = 42\ntype = 视频\ncookie = UID=7; CID=甲\n[功能参数]\nrecursion = 否\n"
READ = ("42", "视频", "UID=7; CID=甲")


@pytest.fixture
def listed(fw, restore_module_attrs, monkeypatch, tmp_path):
    """main with its listing calls recorded; nothing to download."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
    calls = []
    fw.get_sha1list = lambda *args: calls.append(args)
    fw.get_cidlist = lambda *args: calls.append(("get_cidlist",) + args)
    return calls


def write(tmp_path, text, encoding="utf-8"):
    (tmp_path / "config.ini").write_bytes(text.encode(encoding))


@pytest.mark.parametrize("encoding, text", [
    ("utf-8", GOOD),
    ("utf-8-sig", GOOD),
    ("utf-16", GOOD),
    ("utf-8", GOOD.replace("cid =", "CID =").replace("recursion", "Recursion")),
    ("utf-8", GOOD.replace("= 否", "= 否  \t")),
    ("utf-8", "# settings\n" + GOOD.replace("type", "; the filter\n  # indented too\ntype")),
], ids=["utf-8", "utf-8-bom", "utf-16-bom", "mixed-case-keys", "blanks-after-value", "comments"])
def test_settings_read(fw, listed, tmp_path, capsys, encoding, text):
    write(tmp_path, text, encoding)
    assert fw.main() is None
    assert listed == [READ]
    assert capsys.readouterr().out == "获取数据完成，总共0条数据\n任务完成"


@pytest.mark.parametrize("text", [None, GOOD.replace("type", "cid = 43\ntype"), "cid = 1\n"],
                         ids=["missing", "duplicate-key", "no-section-header"])
def test_unreadable_config(fw, listed, tmp_path, capsys, text):
    if text is not None:
        write(tmp_path, text)
    assert fw.main() is None
    assert capsys.readouterr().out == "读取配置文件错误\n"
    assert listed == []


@pytest.mark.parametrize("text, error, attribute, name", [
    (GOOD.split("[功能参数]")[0], configparser.NoSectionError, "section", "功能参数"),
    (GOOD.replace("cookie", "cook"), configparser.NoOptionError, "option", "cookie"),
])
def test_missing_setting_raises(fw, listed, tmp_path, text, error, attribute, name):
    write(tmp_path, text)
    with pytest.raises(error) as caught:
        fw.main()
    assert getattr(caught.value, attribute) == name
    assert listed == []


@pytest.mark.parametrize("cookie, read", [
    ("a%7Cb%3Dc", "a%7Cb%3Dc"),
    ("50%%", "50%"),
    ("a%%b%7C", "a%%b%7C"),
    ("%(cid)s-%(type)s", "42-视频"),  # another key's value
])
def test_percent_signs_in_values(fw, listed, tmp_path, cookie, read):
    write(tmp_path, GOOD.replace("UID=7; CID=甲", cookie))
    fw.main()
    assert listed == [("42", "视频", read)]


@pytest.mark.parametrize("encodinglist, file_encoding, tried", [
    (None, "utf-16", [(1, "utf-8"), (2, "utf-8-sig"), (4, "utf-16")]),
    (["utf-16", "utf-8"], "utf-8", [(1, "utf-16"), (2, "utf-8")]),
])
def test_one_new_parser_per_encoding_then_four_reads(fw, listed, tmp_path, encodinglist,
                                                     file_encoding, tried):
    log = []

    class Recording(configparser.ConfigParser):
        made = 0

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            Recording.made += 1
            self.number = Recording.made

        def read_file(self, f, source=None):
            log.append((self.number, f.encoding))
            return super().read_file(f, source)

        def get(self, section, option, **kwargs):
            if not kwargs:  # interpolation asks again with raw=True
                log.append((self.number, section, option))
            return super().get(section, option, **kwargs)

    fw.configparser = types.SimpleNamespace(ConfigParser=Recording,
                                            InterpolationError=configparser.InterpolationError)
    if encodinglist is not None:
        fw.encodinglist = encodinglist
    write(tmp_path, GOOD, file_encoding)
    fw.main()
    last = tried[-1][0]
    assert log == tried + [(last, "必须参数", "cid"), (last, "必须参数", "type"),
                           (last, "必须参数", "cookie"), (last, "功能参数", "recursion")]
    assert listed == [READ]


def test_config_opened_under_each_encoding_and_closed(tmp_path):
    write(tmp_path, GOOD, "utf-16")
    result = run_python("""
        import builtins
        real_open, calls, files = builtins.open, [], []

        def recording_open(*args, **kwargs):
            if args[:1] == ("config.ini",):
                calls.append((args, kwargs))
                files.append(real_open(*args, **kwargs))
                return files[-1]
            return real_open(*args, **kwargs)

        builtins.open = recording_open
        import fernwick
        builtins.open = real_open
        fernwick.get_sha1list = lambda *args: None
        fernwick.main()
        print("RESULT", repr((calls, [f.closed for f in files])))
    """, cwd=tmp_path, stdin="\n")
    assert result.returncode == 0, result.stderr
    calls, closed = ast.literal_eval(result.stdout.split("RESULT ", 1)[1])
    assert calls == [(("config.ini", "r"), {"encoding": e})
                     for e in ["utf-8", "utf-8-sig", "ANSI", "utf-16"]]
    assert closed == [True, True, True]
