# Sourced by the scripts that fetch from Debian's archive (build-python-ft,
# get-python-sid): which archive this machine's apt uses, read from its own
# configuration, so that no archive's address is written anywhere else.

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

