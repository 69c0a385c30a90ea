# Sourced by the scripts that fetch from Debian's archive (build-python-ft,
# get-python-sid, get-sysroot-aarch64): which archive this machine's apt uses,
# read from its own configuration, so that no archive's address is written
# anywhere else.

release_codename() { (. /etc/os-release && echo "${VERSION_CODENAME:-}"); }

# The Debian archive of this machine's own release, as its apt sources name
# it: the first enabled "deb" entry whose suites include the release's
# codename (not its -updates or -security pockets). Prints "URIs: <first
# URI>", then the entry's Signed-By field, if any, in deb822 form.
machine_archive() {
    local codename list parts file
    codename=$(release_codename)
    [ -n "$codename" ] || return 1
    eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
    for file in "$list" "${parts%/}"/*; do
        [ -f "$file" ] || continue
        case "$file" in
            *.sources) awk -v codename="$codename" "$deb822_entry" "$file" ;;
            "$list" | *.list) awk -v codename="$codename" "$one_line_entry" "$file" ;;
        esac | grep . && return 0
    done
    return 1
}

# deb822 stanzas: fields, continuation lines (a leading blank), comments.
deb822_entry='
function pick() {
    if (!found && types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" &&
        (" " suites " ") ~ (" " codename " ") && uris != "") {
        split(uris, uri, " ")
        print "URIs: " uri[1]
        if (signed != "") print "Signed-By:" signed
        found = 1
        exit
    }
    types = suites = uris = signed = enabled = field = ""
}
/^#/ { next }
/^[ \t]*$/ { pick(); next }
/^[ \t]/ { if (field == "signed-by") signed = signed "\n" $0; next }
{
    field = tolower(substr($0, 1, index($0, ":") - 1))
    value = substr($0, index($0, ":") + 1)
    if (field == "signed-by") signed = value
    gsub(/^[ \t]+|[ \t]+$/, "", value)
    gsub(/[ \t]+/, " ", value)
    if (field == "types") types = value
    else if (field == "suites") suites = value
    else if (field == "uris") uris = value
    else if (field == "enabled") enabled = value
}
END { pick() }'

# One-line entries: deb [option=value ...] uri suite component...
one_line_entry='
{
    sub(/#.*/, "")
    if ($1 != "deb") next
    signed = ""
    n = 2
    if ($2 ~ /^\[/) {
        options = ""
        for (; n <= NF; n++) {
            options = options " " $n
            if ($n ~ /\]$/) { n++; break }
        }
        gsub(/[][]/, " ", options)
        k = split(options, option, " ")
        for (i = 1; i <= k; i++)
            if (tolower(option[i]) ~ /^signed-by=/) signed = substr(option[i], 11)
    }
    if ($(n + 1) == codename) {
        print "URIs: " $n
        if (signed != "") print "Signed-By: " signed
        exit
    }
}'


# unpack_closure PREFIX SUITE ARCH PACKAGE...: the packages and everything
# they depend on, as SUITE of this machine's Debian archive declares it for
# the architecture ARCH (arm64, or this machine's own), unpacked with dpkg-deb
# into PREFIX, which is emptied first. Other development packages (-dev,
# -dev-bin) are left out: what is built against them uses the compiler's own
# C library headers. apt runs on a source list, package lists, cache and an
# empty package status of its own in a temporary directory: nothing is
# installed, and the machine's apt configuration and package lists stay as
# they are. Prints one line with the number of packages.
unpack_closure() (
    local prefix=$1 suite=$2 arch=$3 archive apt_dir closure package deb
    shift 3
    local packages=("$@") wanted=("$@")
    if ! archive=$(machine_archive); then
        echo "no Debian archive for this machine's release ($(release_codename)) in its apt sources" >&2
        exit 1
    fi
    apt_dir=$(mktemp -d)  # apt's own files, and the downloaded packages
    trap 'rm -rf "$apt_dir"' EXIT
    chmod 755 "$apt_dir"  # apt downloads as its own unprivileged user
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
        "$apt_dir/debs"
    chmod 777 "$apt_dir/debs"
    : >"$apt_dir/status"
    {
        echo "Types: deb"
        echo "$archive" | sed -n '1p'  # URIs
        echo "Suites: $suite"
        echo "Components: main"
        echo "$archive" | sed '1d'     # Signed-By, as the machine's entry has it
    } >"$apt_dir/private.sources"
    local private_apt=(-o "Dir::Etc::SourceList=$apt_dir/private.sources"
                       -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                       -o "Dir::State::Lists=$apt_dir/lists"
                       -o "Dir::State::status=$apt_dir/status"
                       -o "Dir::Cache=$apt_dir/cache"
                       -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch")
    local log="$apt_dir/apt.log"
    apt-get "${private_apt[@]}" update -qq >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
    closure=$(apt-cache "${private_apt[@]}" depends --recurse --no-recommends --no-suggests \
                  --no-conflicts --no-breaks --no-replaces --no-enhances "${packages[@]}" 2>"$log" |
              grep -v '^[ <]' | sort -u) || { cat "$log" >&2; exit 1; }
    for package in $closure; do
        case " ${packages[*]} " in *" $package "*) continue ;; esac
        case "$package" in
            *-dev | *-dev-bin) ;;
            *) wanted+=("$package") ;;
        esac
    done
    (cd "$apt_dir/debs" && apt-get "${private_apt[@]}" download -qq "${wanted[@]}") >"$log" 2>&1 ||
        { cat "$log" >&2; exit 1; }
    echo "unpacking ${#wanted[@]} packages of $suite ($arch) into $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix"
    for deb in "$apt_dir"/debs/*.deb; do
        dpkg-deb -x "$deb" "$prefix"
    done
)

# multiarch_pyconfig ROOT VERSION: Debian's include/pythonX.Y/pyconfig.h
# only includes the multiarch one (include/TRIPLE/pythonX.Y/pyconfig.h) from
# the compiler's own include path, where an unpacked ROOT is not: the
# multiarch file takes its place. False when ROOT has none.
multiarch_pyconfig() {
    local include="$1/usr/include/python$2" found
    found=$(find "$1/usr/include" -path "*/python$2/pyconfig.h" ! -path "$include/pyconfig.h" |
                head -n1)
    [ -n "$found" ] && cp "$found" "$include/pyconfig.h"
}
