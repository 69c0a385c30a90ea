"""resume = 是: files whose line the output file already has are not done
again."""
import io
import sys
import types

import pytest

OUT = "QuillsiftBYOskel.txt"
CONFIG = "[必须参数]\ncid = 1\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"
A, B = "A" * 40, "0123456789ABCDEF0123456789ABCDEF01234567"


@pytest.fixture
def resumed(fw, restore_module_attrs, monkeypatch, prompt_queue, tmp_path):
    """main over a fake folder `entries` with `resume` set to `value` (None:
    no key) and the output file holding `existing` (None: no file). Returns
    the pickcodes asked for and the output file's lines."""
    monkeypatch.chdir(tmp_path)

    def run(entries, existing, value="是"):
        """entries: a list, or {folder id: list} for a recursive run below 1;
        existing: text, or bytes written as they are."""
        config = CONFIG + ("" if value is None else "resume = %s\n" % value)
        folders = entries if isinstance(entries, dict) else {"1": entries}
        if isinstance(entries, dict):
            config = config.replace("recursion = 否", "recursion = 是")
            fw.get_cidlist = lambda cid, cookie: fw.cidlist.extend(
                [child for child in folders if child != "1"] if cid == "1" else [])
        (tmp_path / "config.ini").write_text(config, encoding="utf-8")
        if existing is not None:
            (tmp_path / OUT).write_bytes(existing if isinstance(existing, bytes) else
                                         existing.encode("utf-8", "surrogatepass"))
        monkeypatch.setattr(sys, "stdin", io.StringIO("\n"))
        asked = []
        fw.get_sha1list = lambda cid, type2, cookie: fw.sha1list.extend(folders.get(cid, []))
        fw.get_url = lambda pickcode, cookie: asked.append(pickcode) or "u"
        fw.get_preid = lambda url, cookie, cid: B
        fw.time = types.SimpleNamespace(sleep=lambda seconds: None)
        assert fw.main() is None
        path = tmp_path / OUT
        return asked, path.read_bytes().decode("utf-8", "replace").split("\n") if path.exists() else []

    return run


@pytest.mark.parametrize("existing, entry, skipped", [
    ("n|5|S|%s\n" % A, "n|5|S|pc", True),
    ("n|5|S|\n", "n|5|S|pc", True),                           # an empty file's line
    ("a|b|5|S|%s\n" % A, "a|b|5|S|pc", True),                 # a bar in the name
    ("two\\r\\nrows|5|S|%s\n" % A, "two\r\nrows|5|S|pc", True),  # escaped line breaks
    ("badname|5|S|%s\n" % A, "bad\udcffname|5|S|pc", True),   # written without the surrogate
    ("名字|5|S|%s\r\n" % A, "名字|5|S|pc", True),              # a line ended as on Windows
    ("n|5|S|%s" % A, "n|5|S|pc", False),                      # cut: no line break
    ("n|5|S|%s\n" % A[:39], "n|5|S|pc", False),               # cut inside the hash
    ("n|5|S|%sA\n" % A, "n|5|S|pc", False),                   # a digit too many
    ("n|5|S|%s\n" % A.lower(), "n|5|S|pc", False),            # not a hash this module writes
    ("n|5|%s\n" % A, "n|5|S|pc", False),                      # a field short
    ("n|6|S|%s\n" % A, "n|5|S|pc", False),                    # another size
    ("n|5|T|%s\n" % A, "n|5|S|pc", False),                    # another SHA-1
    ("N|5|S|%s\n" % A, "n|5|S|pc", False),                    # names are compared exactly
], ids=["plain", "empty-file", "bar-in-name", "escaped", "surrogate", "crlf", "cut",
        "cut-hash", "long-hash", "lower-hash", "short", "size", "sha", "case"])
def test_entry_skipped_only_for_a_complete_matching_line(resumed, capsys, existing, entry,
                                                         skipped):
    asked, lines = resumed([entry, "other|1|S|pother"], existing)
    said = capsys.readouterr().out.split("\n")
    assert asked == (["pother"] if skipped else ["pc", "pother"])
    assert said[-2:] == ["跳过%d个已完成文件" % skipped, "任务完成"]


def test_malformed_and_foreign_lines_are_passed_over(resumed, capsys):
    existing = "garbage\n\n|||\n\x00\x01|\nx|1|S|%s\nlast|1|S|%s\n" % (A, A)
    asked, lines = resumed(["x|1|S|px", "y|1|S|py", "last|1|S|pl"], existing)
    assert asked == ["py"]
    assert lines[-2:] == ["y|1|S|" + B, ""]
    assert capsys.readouterr().out.split("\n")[-2] == "跳过2个已完成文件"


@pytest.mark.parametrize("value, existing", [(None, "n|5|S|%s\n" % A), ("否", "n|5|S|%s\n" % A),
                                             ("是", None)])
def test_without_resume_or_output_nothing_is_skipped(resumed, capsys, value, existing):
    asked, lines = resumed(["n|5|S|pc"], existing, value)
    said = capsys.readouterr().out.split("\n")
    assert asked == ["pc"]
    assert said[-2:] == (["跳过0个已完成文件", "任务完成"] if value == "是" else
                         ["n|5|S|" + B, "任务完成"])


@pytest.mark.parametrize("value", ["yes", "", "是 否", "1"])
def test_invalid_resume_value_does_nothing(fw, resumed, capsys, value):
    asked, lines = resumed(["n|5|S|pc"], "n|5|S|%s\n" % A, value)
    assert capsys.readouterr().out == "resume非法"
    assert asked == [] and fw.sha1list == [] and lines == ["n|5|S|" + A, ""]


@pytest.mark.parametrize("value", ["是", None])
@pytest.mark.parametrize("existing, kept", [
    ("n|5|S|%s" % A, ["n|5|S|" + A]),             # the last line of a killed run: ended first
    ("n|5|S|%s\n" % A, ["n|5|S|" + A]),          # whole: nothing added
    ("名字|5|S|%s\r\n" % A, ["名字|5|S|%s\r" % A]),
    ("", []),
], ids=["cut", "whole", "crlf", "empty"])
def test_new_lines_never_join_a_cut_short_one(resumed, existing, kept, value):
    asked, lines = resumed(["p|5|S|pp", "m|1|S|pm"], existing, value)
    assert sorted(asked) == ["pm", "pp"]
    assert lines[:len(kept)] == kept and lines[-1] == ""
    assert sorted(lines[len(kept):-1]) == ["m|1|S|" + B, "p|5|S|" + B]


def test_resume_reads_a_large_file_across_its_read_chunks(resumed, capsys):
    # The file is read 1 Mi characters at a time: the matching line straddles
    # the first boundary, and undecodable bytes (left out, as they are
    # written) stand in two other lines.
    filler = b"".join(b"filler%07d|1|S|%s\n" % (i, A.encode()) for i in range(20000))
    head = filler[:filler.rindex(b"\n", 0, (1 << 20) - 10) + 1]
    head += b"#" * ((1 << 20) - 10 - len(head)) + b"\n"
    existing = (head + b"straddle|7|S|%s\n" % A.encode() +
                b"bad\xff\xfename|5|S|%s\n" % A.encode() + b"\xc3|9|S|%s\n" % B.encode())
    asked, lines = resumed(["straddle|7|S|p1", "badname|5|S|p2", "|9|S|p3", "new|1|S|p4"],
                           existing)
    assert asked == ["p4"]
    assert capsys.readouterr().out.split("\n")[-2] == "跳过3个已完成文件"


def test_skip_count_covers_every_folder_of_a_recursive_run(resumed, capsys):
    existing = "a|1|S|%s\nc|3|S|%s\nd|4|S|\n" % (A, B)
    asked, lines = resumed({"1": ["a|1|S|pa", "b|2|S|pb"], "2": ["c|3|S|pc"],
                            "3": ["d|4|S|pd", "e|5|S|pe"]}, existing)
    assert sorted(asked) == ["pb", "pe"]
    assert capsys.readouterr().out.split("\n")[-2] == "跳过3个已完成文件"
