# Sourced by the scripts of the 64-bit ARM build (get-sysroot-aarch64,
# build-aarch64, test-aarch64): where the aarch64 system root lives, how its
# interpreter runs under qemu-user, and the meson cross file.

fernwick_cache="${FERNWICK_CACHE:-$HOME/.cache/fernwick}"
aarch64_sysroot="$fernwick_cache/sysroot-aarch64"
aarch64_triple=aarch64-linux-gnu
aarch64_version=3.11

# aarch64_python ARG...: the system root's interpreter, emulated.
aarch64_python() {
    qemu-aarch64 -L "$aarch64_sysroot" "$aarch64_sysroot/usr/bin/python$aarch64_version" "$@"
}

# aarch64_launcher FILE [ARGV0]: FILE becomes a host script that runs the
# system root's interpreter under qemu-aarch64. qemu-user emulates one
# program and does not follow execve, so whatever starts a fresh interpreter
# (subprocess with sys.executable, a console script's #! line, ensurepip)
# must find a program the host can run. With ARGV0 ("self": the script's own
# path) the interpreter is told that it was started as ARGV0 (qemu's -0), so
# that sys.executable is the script, and a virtual environment beside it is
# found through its pyvenv.cfg.
aarch64_launcher() {
    local file=$1 argv0=${2:-}
    rm -f "$file"
    {
        echo '#!/bin/sh'
        echo "# The aarch64 CPython of $aarch64_sysroot, under qemu-user."
        if [ "$argv0" = self ]; then
            echo "exec qemu-aarch64 -L '$aarch64_sysroot' -0 \"\$0\" \\"
        else
            echo "exec qemu-aarch64 -L '$aarch64_sysroot' \\"
        fi
        echo "    '$aarch64_sysroot/usr/bin/python$aarch64_version' \"\$@\""
    } >"$file"
    chmod +x "$file"
}

# aarch64_venv DIR: a virtual environment of the emulated interpreter, with
# pip (the one Debian's ensurepip carries), whose python, python3 and
# python3.X are launchers. Reused when it is there.
aarch64_venv() {
    local dir=$1 name
    [ -x "$dir/bin/python" ] && grep -q qemu-aarch64 "$dir/bin/python" && return 0
    rm -rf "$dir"
    aarch64_python -m venv --without-pip "$dir" || return 1
    for name in python python3 "python$aarch64_version"; do
        aarch64_launcher "$dir/bin/$name" self
    done
    "$dir/bin/python" -m ensurepip --default-pip >/dev/null || return 1
}

# aarch64_cross_file FILE: meson's description of the aarch64 build: Debian's
# cross compiler, the system root's interpreter (emulated: meson asks it for
# its paths and extension suffix), and pkg-config inside the system root.
# Without sys_root and the pkg-config entry, meson silently adds the host's
# /usr/include/python3.X (and, through the host's pkg-config, its x86-64
# pyconfig.h): the module would be compiled against x86-64's configuration.
aarch64_cross_file() {
    local file=$1 python
    python="$(dirname "$file")/python-aarch64"
    aarch64_launcher "$python"
    cat >"$file" <<EOF
[binaries]
c = '$aarch64_triple-gcc'
cpp = '$aarch64_triple-g++'
ar = '$aarch64_triple-gcc-ar'
strip = '$aarch64_triple-strip'
pkg-config = 'pkg-config'
python = '$python'
exe_wrapper = ['qemu-aarch64', '-L', '$aarch64_sysroot']

[properties]
sys_root = '$aarch64_sysroot'
pkg_config_libdir = ['$aarch64_sysroot/usr/lib/$aarch64_triple/pkgconfig']

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'aarch64'
endian = 'little'
EOF
}
