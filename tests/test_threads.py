"""Calls from many threads at once. On a free-threaded interpreter whose GIL
the module lets stay off, they run truly in parallel: shared state of the
module that is not guarded shows here as a crash or a wrong result. The
case runs in a fresh interpreter, so a crash fails the test, not the run."""
from conftest import run_python


def test_prefix_reads_from_many_threads_share_the_watchdog():
    # Every prefix read registers with the one watchdog and leaves it again.
    result = run_python("""
        import sys, threading, types
        import fernwick

        reply = types.SimpleNamespace(status_code=200, headers={}, close=list,
                                      raw=types.SimpleNamespace(shutdown=list),
                                      iter_content=lambda chunk_size: [b"x"])
        fernwick.requests = types.SimpleNamespace(get=lambda url, **kwargs: reply)
        errors = []

        def work():
            try:
                for _ in range(1500):
                    got = fernwick.get_preid("http://h.example/dl/x", "c", "1")
                    assert got == "11F6AD8EC52A2984ABAAFD7C3B516503785C2072", got
            except BaseException as error:
                errors.append(repr(error))

        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        gil = getattr(sys, "_is_gil_enabled", lambda: True)()
        print("errors:", errors[:3], "gil:", gil)
    """, timeout=180)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("errors: [] "), result.stdout


def test_import_leaves_a_free_threaded_interpreter_free():
    # Both modules of the library declare that they need no GIL: importing
    # them neither warns nor turns the lock back on.
    result = run_python("""
        import sys, sysconfig, warnings
        warnings.simplefilter("error")
        import fernwick, fernwick_command
        fernwick_command._status_module()
        free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        print("free-threaded" if free else "with a GIL",
              getattr(sys, "_is_gil_enabled", lambda: True)())
    """, env={"PYTHON_GIL": ""})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() in (["free-threaded", "False"], ["with", "a", "GIL", "True"])
