"""The `fernwick` command: fernwick.main() in the current directory, with an
exit status that tells how the batch ended.

    0    every file done
    1    another error ended the batch (printed on standard error)
    2    nothing done: config.ini unreadable, or `recursion`/`resume`/`progress` invalid
    3    finished, with files given up
    4    a folder listing failed on every attempt (its error on standard error)
    5    stopped: the batch cannot succeed (the cookie rejected with HTTP 401, or
         24 files given up in a row; its error on standard error)
    130  interrupted (Ctrl-C)
"""
import importlib.machinery
import importlib.util
import sys

import fernwick


def _status_module():
    # The status is kept by the extension itself; its library has a second
    # entry point, fernwick_status, so fernwick's namespace gains no name.
    name = "fernwick_status"
    loader = importlib.machinery.ExtensionFileLoader(name, fernwick.__file__)
    spec = importlib.util.spec_from_file_location(name, fernwick.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def main():
    status = _status_module()
    try:
        fernwick.main()
    except KeyboardInterrupt:
        pass
    except Exception as error:  # its status says which kind of failure
        print("fernwick: %s: %s" % (type(error).__name__, error), file=sys.stderr)
    return status.last_status()


if __name__ == "__main__":
    sys.exit(main())
