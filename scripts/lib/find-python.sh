# Sourced by the scripts that take interpreters by version (test-interpreters,
# build-wheels).

# find_python 3.X: the path of that CPython on this machine, or nothing (and
# a failure) when it has none: pyenv's, then one on PATH, then the one
# scripts/get-python-sid unpacked. 3.13t: the free-threaded build of
# scripts/build-python-ft. Whatever is found must report that version.
find_python() {
    local v=$1 python="" prefix cache="${FERNWICK_CACHE:-$HOME/.cache/fernwick}"
    if [ "$v" = 3.13t ]; then
        python="$cache/python3.13t/bin/python3.13t"
    elif prefix=$(pyenv prefix "$v" 2>/dev/null); then
        python="$prefix/bin/python3"
    fi
    [ -x "$python" ] || python=$(command -v "python$v" || true)
    [ -n "$python" ] || python="$cache/python$v-sid/usr/bin/python$v"
    [ -x "$python" ] && "$python" - "$v" <<'PY' 2>/dev/null && echo "$python"
import sys, sysconfig
t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
sys.exit("%d.%d%s" % (sys.version_info[:2] + (t,)) != sys.argv[1])
PY
}
