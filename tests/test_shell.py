"""The module shell: what import does and leaves behind, re-import, a failed
import, a second interpreter, and the worker class."""
import json
import sys
import textwrap
import threading

import pytest

from conftest import run_python

# Everything the checks below print goes out on one line after this marker,
# so anything else on stdout is output of the module itself.
MARK = "@@facts@@"


def facts_of(result):
    assert result.returncode == 0, result.stderr
    out, _, tail = result.stdout.rpartition(MARK)
    return out, json.loads(tail)


def test_import_is_quiet_and_binds_the_module_namespace(tmp_path):
    result = run_python("""
        import builtins, json, os, socket, sys, threading
        import requests

        attempts = []
        def refuse(*args, **kwargs):
            attempts.append(repr(args[1:2]))
            raise OSError("no network during import")
        socket.socket.connect = refuse
        socket.create_connection = refuse
        requests.sessions.Session.request = refuse

        threads_before = threading.active_count()
        import fernwick
        ns = vars(fernwick)
        modules = ["requests", "json", "time", "hashlib", "math", "queue",
                   "threading", "configparser"]
        functions = ["run_down", "get_url", "get_preid", "get_sha1list",
                     "get_cidlist", "main"]
        facts = {
            "requests sent": attempts,
            "files": sorted(os.listdir(".")),
            "threads started": threading.active_count() - threads_before,
            "modules bound": [n for n in modules if ns.get(n) is sys.modules[n]],
            "sha1list": [type(ns["sha1list"]).__name__, ns["sha1list"]],
            "cidlist": [type(ns["cidlist"]).__name__, ns["cidlist"]],
            "encodinglist": ns["encodinglist"],
            "lock": [type(ns["lock"]) is type(threading.Lock()), ns["lock"].locked()],
            "__test__": [type(ns["__test__"]).__name__, ns["__test__"]],
            "__builtins__ is builtins": ns["__builtins__"] is builtins,
            "__doc__": ns["__doc__"],
            "has __all__": "__all__" in ns,
            "functions": [n for n in functions if callable(ns.get(n))],
            "in sys.modules": sys.modules.get("fernwick") is fernwick,
        }
        print("@@facts@@" + json.dumps(facts))
        """, cwd=str(tmp_path))
    out, facts = facts_of(result)
    assert out == "" and result.stderr == ""
    assert facts == {
        "requests sent": [],
        "files": [],
        "threads started": 0,
        "modules bound": ["requests", "json", "time", "hashlib", "math", "queue",
                          "threading", "configparser"],
        "sha1list": ["list", []],
        "cidlist": ["list", []],
        "encodinglist": ["utf-8", "utf-8-sig", "ANSI", "utf-16"],
        "lock": [True, False],
        "__test__": ["dict", {}],
        "__builtins__ is builtins": True,
        "__doc__": None,
        "has __all__": False,
        "functions": ["run_down", "get_url", "get_preid", "get_sha1list",
                      "get_cidlist", "main"],
        "in sys.modules": True,
    }


def test_reimport_and_reload_keep_the_one_module():
    result = run_python("""
        import importlib, json, sys
        import fernwick as first
        first.sha1list.append("kept|1|A|pc")
        first.cidlist.append(7)
        names = ["mythread", "run_down", "get_url", "get_preid", "get_sha1list",
                 "get_cidlist", "main", "sha1list", "cidlist", "lock"]
        before = {n: getattr(first, n) for n in names}

        del sys.modules["fernwick"]
        import fernwick as second
        after_import = [second is first, sys.modules["fernwick"] is first,
                        second.sha1list, second.cidlist]
        reloaded = importlib.reload(second)
        after_reload = [reloaded is first, reloaded.sha1list, reloaded.cidlist,
                        [n for n in names if getattr(reloaded, n) is not before[n]]]
        print("@@facts@@" + json.dumps([after_import, after_reload]))
        """)
    out, (after_import, after_reload) = facts_of(result)
    assert out == ""
    assert after_import == [True, True, ["kept|1|A|pc"], [7]]
    assert after_reload == [True, ["kept|1|A|pc"], [7], []]


BLOCK_WITH_NONE = """
    sys.modules["requests"] = None
    def unblock():
        del sys.modules["requests"]
"""
BLOCK_WITH_FINDER = """
    class Refuse:
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == "requests" or name.startswith("requests."):
                raise ModuleNotFoundError("requests is switched off", name=name)
            return None
    sys.meta_path.insert(0, Refuse)
    def unblock():
        sys.meta_path.remove(Refuse)
"""


@pytest.mark.parametrize("block", [BLOCK_WITH_NONE, BLOCK_WITH_FINDER],
                         ids=["none-in-sys.modules", "meta-path-finder"])
def test_failed_import_reports_init_and_can_be_retried(block):
    result = run_python(textwrap.dedent("""
        import json, sys, traceback
        """) + textwrap.dedent(block) + textwrap.dedent("""
        try:
            import fernwick
        except ImportError as error:
            first = [type(error).__name__, traceback.format_exc(),
                     "fernwick" in sys.modules]
        else:
            first = ["imported", "", True]
        unblock()
        import fernwick, requests

        class Probe(Exception):
            pass
        class Fake:
            @staticmethod
            def get(*args, **kwargs):
                raise Probe("new namespace")
        fernwick.requests = Fake
        try:
            fernwick.get_url("pc", "c")
        except Probe:
            lookup = "new namespace"
        except Exception as error:
            lookup = repr(error)
        else:
            lookup = "no error"
        second = [callable(fernwick.main), sys.modules["requests"] is requests,
                  fernwick.get_url.__globals__ is vars(fernwick),
                  fernwick.sha1list, lookup]
        print("@@facts@@" + json.dumps([first, second]))
        """))
    out, (first, second) = facts_of(result)
    kind, trace, registered = first
    assert kind == "ModuleNotFoundError"
    assert "in init fernwick" in trace
    assert not registered
    assert second == [True, True, True, [], "new namespace"]


def test_second_interpreter_is_refused(tmp_path):
    report = tmp_path / "sub.txt"
    result = run_python("""
        import importlib, sys
        import fernwick

        run = None
        try:
            from _testcapi import run_in_subinterp as run
        except ImportError:
            for name in ("_xxsubinterpreters", "_interpreters"):
                try:
                    mod = importlib.import_module(name)
                except ImportError:
                    continue
                def run(code, mod=mod):
                    interp = mod.create()
                    try:
                        mod.run_string(interp, code)
                    finally:
                        mod.destroy(interp)
                break
        if run is None:
            print("@@facts@@\\"no subinterpreters\\"")
            sys.exit(0)
        run('''if 1:
            try:
                import fernwick
            except ImportError as error:
                outcome = type(error).__name__ + ": " + str(error)
            else:
                outcome = "imported"
            with open(%r, "w") as out:
                out.write(outcome)
            ''')
        first = fernwick
        del sys.modules["fernwick"]
        import fernwick
        print("@@facts@@\\"ran, same module: %%s\\"" %% (fernwick is first))
        """ % str(report))
    _, state = facts_of(result)
    if state == "no subinterpreters":
        pytest.skip("this interpreter offers no way to start a second interpreter")
    assert state == "ran, same module: True"
    # A subinterpreter that leaves the check to the module gets the module's
    # refusal; one that checks what modules declare (a free-threaded build's)
    # refuses before the module is created.
    assert report.read_text() in (
        "ImportError: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process.",
        "ImportError: module fernwick does not support loading in subinterpreters")


@pytest.mark.skipif(sys.version_info < (3, 12), reason="declared from 3.12 on")
def test_isolated_interpreter_refuses_by_the_declaration():
    result = run_python("""
        import importlib, sys
        import fernwick
        for name in ("_interpreters", "_xxsubinterpreters"):
            try:
                mod = importlib.import_module(name)
                break
            except ImportError:
                pass
        interp = mod.create()
        try:
            outcome = mod.run_string(interp, "import fernwick")
        except Exception as error:  # 3.12 raises what the subinterpreter raised
            outcome = error
        finally:
            mod.destroy(interp)
        print(outcome)
        print(sys.modules["fernwick"] is fernwick)
        """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "module fernwick does not support loading in subinterpreters" in result.stdout
    assert result.stdout.rstrip().endswith("True")


def test_worker_class_shape(fw):
    cls = fw.mythread
    assert type(cls) is type
    assert cls.__bases__ == (threading.Thread,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "mythread", "mythread", "fernwick")
    assert cls.__doc__ is None
    own = set(vars(cls)) - {"__module__", "__qualname__", "__doc__", "__dict__",
                            "__weakref__"}
    assert own == {"__init__", "run"}
