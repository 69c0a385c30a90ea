"""The module's function objects: their attributes, argument binding, the
traceback entries they add, and module-level name lookup at each call."""
import builtins
import ctypes
import inspect
import queue
import traceback

import pytest

# qualified name -> (parameters, locals)
CALLABLES = {
    "mythread.__init__": (("self", "q", "cookie", "cid"), ()),
    "mythread.run": (("self",), ()),
    "run_down": (("q", "cookie", "cid"), ("a", "sha1old", "url", "preid", "sha1new", "f")),
    "get_url": (("pickcode", "cookie"), ("header", "url", "response", "htmljson", "file_url")),
    "get_preid": (("url", "cookie", "cid"), ("preid", "header", "response", "data")),
    "get_sha1list": (("cid", "type", "cookie"),
                     ("suffix", "url", "header1", "response", "htmljson", "page", "each",
                      "mun", "header2")),
    "get_cidlist": (("cid", "cookie"),
                    ("url", "header1", "response", "htmljson", "page", "each", "mun",
                     "header2")),
    "main": ((), ("config", "encoding", "cid", "type2", "cookie", "recursion", "i", "eachcid",
                  "workqueue", "threads", "each", "eachthread", "thread", "t", "a")),
}


def lookup(fw, qualname):
    owner, _, name = qualname.rpartition(".")
    return getattr(fw.mythread if owner else fw, name)


def entries(excinfo):
    """Function names of the traceback below the test's own frame."""
    return [frame.name for frame in traceback.extract_tb(excinfo.tb)][1:]


class Response:
    def __init__(self, text):
        self.text = text


class FakeRequests:
    """Records each get and answers every one with the same JSON text."""

    def __init__(self, reply):
        self.reply = reply
        self.calls = []

    def get(self, url, **kwargs):
        self.calls.append((url, kwargs))
        return Response(self.reply)


class Refused(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refused("no service")


class RefusingRequests:
    get = staticmethod(refuse)


EMPTY_LISTING = '{"state": true, "count": 0, "data": []}'


def worker(fw):
    return fw.mythread(queue.Queue(), "c", 1)


# ---- the function objects ----------------------------------------------------

def test_all_callables_share_one_native_type(fw):
    kinds = {type(lookup(fw, q)) for q in CALLABLES}
    assert len(kinds) == 1
    assert kinds != {type(refuse)}


@pytest.mark.parametrize("qualname", list(CALLABLES))
def test_function_attributes(fw, qualname):
    params, local_names = CALLABLES[qualname]
    fn = lookup(fw, qualname)
    name = qualname.rpartition(".")[2]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, qualname, "fernwick")
    assert fn.__doc__ is None
    assert fn.__globals__ is vars(fw)
    assert (fn.__defaults__, fn.__kwdefaults__, fn.__closure__) == (None, None, None)
    assert fn.__annotations__ == {}
    code = fn.__code__
    assert (code.co_name, code.co_argcount, code.co_kwonlyargcount) == (name, len(params), 0)
    assert code.co_varnames == params + local_names
    assert str(inspect.signature(fn)) == "(%s)" % ", ".join(params)


def test_worker_methods_bind_like_python_methods(fw):
    cls = fw.mythread
    init, run = vars(cls)["__init__"], vars(cls)["run"]
    assert cls.__init__ is init and cls.run is run
    assert str(inspect.signature(cls)) == "(q, cookie, cid)"
    w = worker(fw)
    for method, fn in ((w.run, run), (w.__init__, init)):
        assert method.__func__ is fn and method.__self__ is w


# ---- argument binding ----------------------------------------------------------

def target(fw, what):
    return worker(fw).run if what == "worker.run" else lookup(fw, what)


def entry_of(what):
    """The traceback entry a binding error adds: none for main and run."""
    if what in ("main", "mythread.run", "worker.run"):
        return []
    return ["fernwick." + ("mythread.__init__" if what == "mythread" else what)]


COUNT = "%s() takes exactly %d positional arguments (%d given)"
MULTIPLE = "%s() got multiple values for keyword argument '%s'"
UNEXPECTED = "%s() got an unexpected keyword argument '%s'"

BINDING_ERRORS = [
    ("get_url", (1,), {}, COUNT % ("get_url", 2, 1)),
    ("get_url", (1, 2, 3), {}, COUNT % ("get_url", 2, 3)),
    ("get_url", (), {"cookie": 1}, COUNT % ("get_url", 2, 0)),
    ("get_url", (), {"pickcode": 1}, COUNT % ("get_url", 2, 1)),
    ("get_url", (1,), {"x": 3}, COUNT % ("get_url", 2, 1)),
    ("get_url", (1,), {"cookie": 2, "x": 3}, UNEXPECTED % ("get_url", "x")),
    ("get_url", (1, 2), {"pickcode": 3}, MULTIPLE % ("get_url", "pickcode")),
    ("get_url", (1, 2), {"x": 1, "pickcode": 3}, UNEXPECTED % ("get_url", "x")),
    ("get_url", (1, 2), {"pickcode": 3, "x": 1}, MULTIPLE % ("get_url", "pickcode")),
    ("get_preid", (1,), {"cid": 3}, COUNT % ("get_preid", 3, 1)),
    ("get_preid", (), {"url": 1, "cid": 3, "y": 0}, COUNT % ("get_preid", 3, 1)),
    ("get_preid", (1, 2), {"cid": 3, "cookie": 4}, MULTIPLE % ("get_preid", "cookie")),
    ("get_preid", (1,), {"cookie": 2, "cid": 3, "url": 4}, MULTIPLE % ("get_preid", "url")),
    ("run_down", (1, 2, 3, 4), {}, COUNT % ("run_down", 3, 4)),
    ("get_sha1list", (), {}, COUNT % ("get_sha1list", 3, 0)),
    ("get_cidlist", (1, 2), {"cid": 1}, MULTIPLE % ("get_cidlist", "cid")),
    ("mythread", (1, 2), {}, COUNT % ("__init__", 4, 3)),
    ("mythread", (1, 2, 3, 4), {}, COUNT % ("__init__", 4, 5)),
    ("mythread", (1, 2, 3), {"self": 4}, MULTIPLE % ("__init__", "self")),
    ("main", (1,), {}, "main() takes no arguments (1 given)"),
    ("main", (1,), {"x": 2}, "main() takes no keyword arguments"),
    ("main", (), {"x": 2}, "main() takes no keyword arguments"),
    ("worker.run", (1,), {}, "run() takes exactly one argument (2 given)"),
    ("mythread.run", (), {}, "run() takes exactly one argument (0 given)"),
    ("worker.run", (), {"x": 1}, "run() takes no keyword arguments"),
]


@pytest.mark.parametrize("what, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(fw, what, args, kwargs, message):
    fn = target(fw, what)
    with pytest.raises(TypeError) as excinfo:
        fn(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entries(excinfo) == entry_of(what)


@pytest.mark.parametrize("args, kwargs, message", [
    (("p", "c"), {1: 2}, "get_url() keywords must be strings"),
    (("p", "c"), {2: 3, "x": 1}, "get_url() keywords must be strings"),
    (("p", "c"), {"x": 1, 2: 3}, "get_url() got an unexpected keyword argument 'x'"),
    (("p",), {1: 2}, "get_url() takes exactly 2 positional arguments (1 given)"),
])
def test_keywords_that_are_not_strings(fw, args, kwargs, message):
    call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                             ctypes.py_object)(("PyObject_Call", ctypes.pythonapi))
    with pytest.raises(TypeError) as excinfo:
        call(fw.get_url, args, kwargs)
    assert str(excinfo.value) == message


class FixedClock:
    @staticmethod
    def time():
        return 1.5


@pytest.mark.parametrize("args, kwargs", [
    (("PC", "ck"), {}),
    (("PC",), {"cookie": "ck"}),
    ((), {"pickcode": "PC", "cookie": "ck"}),
    ((), {"cookie": "ck", "pickcode": "PC"}),
])
def test_get_url_keywords_bind_like_positions(fw, monkeypatch, args, kwargs):
    fake = FakeRequests('{"file_url": "https://dl.example/f"}')
    monkeypatch.setattr(fw, "requests", fake)
    monkeypatch.setattr(fw, "time", FixedClock)
    assert fw.get_url(*args, **kwargs) == "https://dl.example/f"
    [(url, options)] = fake.calls
    assert url.endswith("/files/download?pickcode=PC&_=1500")
    assert options["headers"]["cookie"] == "ck"


@pytest.mark.parametrize("args, kwargs", [
    ((7, "2"), {"cookie": "ck"}),
    ((7,), {"cookie": "ck", "type": "2"}),
    ((), {"cookie": "ck", "type": "2", "cid": 7}),
])
def test_get_sha1list_keywords_bind_like_positions(fw, monkeypatch, args, kwargs):
    fake = FakeRequests(EMPTY_LISTING)
    monkeypatch.setattr(fw, "requests", fake)
    assert fw.get_sha1list(7, "2", "ck") == 0
    [(url, options)] = fake.calls
    assert "cid=7&" in url and "&type=2&" in url and options["headers"]["cookie"] == "ck"
    assert fw.get_sha1list(*args, **kwargs) == 0
    assert fake.calls == [(url, options)] * 2


@pytest.mark.parametrize("kwargs", [
    {"q": "Q", "cookie": "ck", "cid": 9},
    {"cookie": "ck", "cid": 9, "q": "Q"},
])
def test_worker_keywords_bind_like_positions(fw, kwargs):
    w = fw.mythread(**kwargs)
    assert (w.q, w.cookie, w.cid) == ("Q", "ck", 9)
    assert not w.is_alive()  # asserts that Thread.__init__ ran


# ---- traceback entries -----------------------------------------------------------

@pytest.mark.parametrize("call, error, expected", [
    (lambda fw: fw.get_sha1list(0, "0", "c"), Refused, ["fernwick.get_sha1list", "refuse"]),
    (lambda fw: fw.get_url("pc", "c"), Refused, ["fernwick.get_url", "refuse"]),
    (lambda fw: fw.mythread.run(object()), AttributeError, ["fernwick.mythread.run"]),
])
def test_body_error_gains_one_entry_with_module_globals(fw, monkeypatch, pauses, call, error,
                                                        expected):
    monkeypatch.setattr(fw, "requests", RefusingRequests)
    with pytest.raises(error) as excinfo:
        call(fw)
    assert entries(excinfo)[1:] == expected
    frame = [frame for frame, _ in traceback.walk_tb(excinfo.tb)][2]
    assert frame.f_code.co_name == expected[0]
    assert frame.f_globals is vars(fw)


CONFIG = "[必须参数]\ncid = 0\ntype = 0\ncookie = c\n[功能参数]\nrecursion = 否\n"


@pytest.mark.parametrize("replace, expected", [
    ("get_sha1list", ["fernwick.main", "refuse"]),
    ("requests", ["fernwick.main", "fernwick.get_sha1list", "refuse"]),
])
def test_nested_entries_outermost_first(fw, monkeypatch, pauses, tmp_path, replace, expected):
    (tmp_path / "config.ini").write_text(CONFIG, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(fw, replace, refuse if replace == "get_sha1list" else RefusingRequests)
    with pytest.raises(Refused) as excinfo:
        fw.main()
    assert entries(excinfo) == expected


# ---- module-level names, looked up at each use -----------------------------------

@pytest.mark.parametrize("name, call, entry", [
    ("math", lambda fw: fw.get_sha1list(0, "0", "c"), "fernwick.get_sha1list"),
    ("threading", lambda fw: fw.mythread(queue.Queue(), "c", 1), "fernwick.mythread.__init__"),
])
def test_deleted_module_name_raises_name_error(fw, monkeypatch, restore_module_attrs,
                                               name, call, entry):
    monkeypatch.setattr(fw, "requests", FakeRequests(EMPTY_LISTING))
    delattr(fw, name)
    with pytest.raises(NameError) as excinfo:
        call(fw)
    assert str(excinfo.value) == "name '%s' is not defined" % name
    assert entries(excinfo)[1:] == [entry]


def test_missing_module_name_falls_back_to_builtins(fw, monkeypatch, restore_module_attrs):
    seen = []

    class Math:
        @staticmethod
        def ceil(x):
            seen.append(x)
            return 1

    monkeypatch.setattr(fw, "requests", FakeRequests(EMPTY_LISTING))
    monkeypatch.setattr(builtins, "math", Math, raising=False)
    del fw.math
    assert fw.get_sha1list(0, "0", "c") == 0
    assert seen == [0]
