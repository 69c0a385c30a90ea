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
