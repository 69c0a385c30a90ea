# Sourced by the scripts that make virtual environments (test, build-wheels).

# make_venv PYTHON DIR: a virtual environment with pip in it. Where the
# interpreter's ensurepip cannot install pip (Debian's installs the
# machine's own pip wheel, which a newer CPython cannot run: see
# scripts/get-python-sid), the environment is made without pip, and pip is
# installed from the index's pip wheel, fetched by the tools interpreter
# (FERNWICK_TOOLS_PYTHON, default python3.11) under the machine's pip
# configuration.
make_venv() {
    local python=$1 dir=$2 log wheels wheel version
    log=$(mktemp)
    if "$python" -m venv "$dir" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    echo "venv: the ensurepip of $python failed; pip from the index instead" >&2
    rm -rf "$dir" "$log"
    "$python" -m venv --without-pip "$dir" || return 1
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
    wheels=$(mktemp -d)
    "${FERNWICK_TOOLS_PYTHON:-python3.11}" -m pip download --quiet --disable-pip-version-check \
        --only-binary=:all: --no-deps --python-version "$version" -d "$wheels" pip &&
        wheel=$(ls "$wheels"/pip-*.whl) &&
        "$dir/bin/python" "$wheel/pip" install --quiet --disable-pip-version-check --no-index "$wheel"
    local status=$?
    rm -rf "$wheels"
    return $status
}

# own_pip_cache PYTHON: for a free-threaded interpreter, pip's cache moves
# beside the interpreter (PIP_CACHE_DIR). A wheel pip builds from source is
# tagged with the interpreter's version and ABI only: one built on the
# ThreadSanitizer 3.13t links libtsan, carries the plain 3.13t's tag, and
# fails to load there.
own_pip_cache() {
    local prefix
    prefix=$("$1" -c 'import sys, sysconfig
if sysconfig.get_config_var("Py_GIL_DISABLED"): print(sys.base_prefix)') || return 1
    if [ -n "$prefix" ]; then export PIP_CACHE_DIR="$prefix/pip-cache"; fi
}
