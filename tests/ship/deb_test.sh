#!/usr/bin/env bash
# Makes the .deb from the build, unpacks it into a temporary root as dpkg
# would install it, and runs what was installed there: the usage check, the
# version and a session of the installed program against the installed
# simulator, and that both programs are hardened. Last, Debian's package
# checker must find no error, no warning and no hardening tag in it. Where
# lintian or hardening-check is missing the test ends as skipped (77), saying so.
# Usage: deb_test.sh CPACK CPACK_CONFIG VERSION
set -euo pipefail
cpack=$1 config=$2 version=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The package staging goes into the temporary folder too, so that this test
# never races a packaging run in the build folder.
if ! timeout 180 "$cpack" --config "$config" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack could not make the .deb"
fi
shopt -s nullglob
debs=("$work"/pkg/*.deb)
((${#debs[@]} == 1)) || fail "expected one .deb, found ${#debs[@]}"
deb=${debs[0]}

[[ $(dpkg-deb -f "$deb" Package) == tolvaner ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "version is not $version"
# dpkg-shlibdeps ran: without it the package would install on systems that
# cannot run it.
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "no dependency on libc6"

# Exactly these files, nothing from the build or the tests.
expected_files=(
    ./usr/bin/tolvaner
    ./usr/bin/tolvaner-sim
    ./usr/lib/systemd/system/tolvaner-serve@.service
    ./usr/share/bash-completion/completions/tolvaner
    ./usr/share/doc/tolvaner/README.md
    ./usr/share/doc/tolvaner/changelog.gz
    ./usr/share/doc/tolvaner/copyright
    ./usr/share/doc/tolvaner/docs/protocol.md
    ./usr/share/man/man1/tolvaner-sim.1.gz
    ./usr/share/man/man1/tolvaner.1.gz
)
actual_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
wanted_files=$(printf '%s\n' "${expected_files[@]}" | sort)
if [[ "$actual_files" != "$wanted_files" ]]; then
    diff <(echo "$wanted_files") <(echo "$actual_files") >&2 || true
    fail "the package holds other files than expected (- wanted, + found)"
fi

dpkg -x "$deb" "$work/root"
bin=$work/root/usr/bin
# The service unit names the program where the package puts it; the package
# enables nothing (it has no maintainer scripts).
grep -q '^ExecStart=/usr/bin/tolvaner --serve ' "$work/root/usr/lib/systemd/system/tolvaner-serve@.service" ||
    fail "the service unit does not start /usr/bin/tolvaner"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm preinst; do
    [[ ! -e $work/control/$script ]] || fail "the package has a $script script"
done
# The web server's library, once the program uses it.
if readelf -d "$bin/tolvaner" | grep -q 'NEEDED.*libcpp-httplib'; then
    [[ $(dpkg-deb -f "$deb" Depends) == *libcpp-httplib* ]] ||
        fail "tolvaner needs libcpp-httplib, but the package does not depend on it"
fi
# The MQTT client's library likewise.
if readelf -d "$bin/tolvaner" | grep -q 'NEEDED.*libmosquitto'; then
    [[ $(dpkg-deb -f "$deb" Depends) == *libmosquitto* ]] ||
        fail "tolvaner needs libmosquitto, but the package does not depend on it"
fi
for page in "$work"/root/usr/share/man/man1/*.gz; do
    gzip -t "$page" || fail "$page is no good gzip file"
done

# The usage check: any argument count but one.
usage=$(printf '%s\n' "Enter: 'tolvaner      COMn' where n = 1-9" \
    "Enter: 'tolvaner  \\\\.\\COMm' where m > 9")
for args in "" "one two"; do
    status=0
    # shellcheck disable=SC2086 # the words of $args are the arguments
    out=$(timeout 10 "$bin/tolvaner" $args) || status=$?
    [[ $status -eq 1 ]] || fail "tolvaner with '$args': exit status $status, not 1"
    [[ "$out" == "$usage" ]] || fail "tolvaner with '$args' printed: $out"
done

# A session: the installed simulator runs the installed program on its port.
# A machine too busy to get a reply across in time gets a few more tries.
for attempt in 1 2 3; do
    status=0
    out=$(timeout 60 "$bin/tolvaner-sim" --id PKG1 --rev -5 -- "$bin/tolvaner" <<<'i c v 1000 r v s 9 x') ||
        status=$?
    echo "$out"
    grep -qF "Packet checksum fault" <<<"$out" || break
    echo "attempt $attempt: a reply was missed, trying again" >&2
done
[[ $status -eq 0 ]] || fail "session exit status $status, not 0"
for line in "Product ID = PKG1" "Code revision level = -5" \
    "Pulse Value = 1000 watt-hours" "invalid entry"; do
    grep -qF -- "$line" <<<"$out" || fail "the session did not print '$line'"
done
[[ $(timeout 10 "$bin/tolvaner" --version) == "tolvaner $version" ]] ||
    fail "tolvaner --version does not say $version"
# This machine's own ports, whatever they are: a port name first on each line.
ports=$(timeout 10 "$bin/tolvaner" --list) || fail "tolvaner --list failed"
grep -qvE '^(/dev/tty(USB|ACM|S)[0-9]+(  .*)?|no serial ports found)$' <<<"$ports" &&
    fail "tolvaner --list printed: $ports"
# Completion, as bash would call it: the installed program's ports after
# `tolvaner `, less the console (in an empty folder, so that no file name
# stands in where there is none), an option after `--s`.
mkdir "$work/empty"
complete_line() {
    (cd "$work/empty" && bash -c 'source "$1"; COMP_LINE=$2 COMP_POINT=${#2}; read -ra COMP_WORDS <<<"$2"
        [[ $2 == *" " ]] && COMP_WORDS+=(""); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tolvaner
        printf "%s\n" "${COMPREPLY[@]}"' _ "$work/root/usr/share/bash-completion/completions/tolvaner" "$1")
}
[[ $(complete_line "$bin/tolvaner ") == "$(grep -v '^no serial' <<<"$ports" | awk '$NF != "console" { print $1 }')" ]] ||
    fail "completing a port does not offer the listed ports: $(complete_line "$bin/tolvaner ")"
[[ $(complete_line "$bin/tolvaner --se") == *--set* ]] || fail "completing --se does not offer --set"
# The licence, in Debian's machine-readable format, and the changelog in
# Debian's format with this version on top.
copyright=$work/root/usr/share/doc/tolvaner/copyright
head -1 "$copyright" | grep -qF "copyright-format/1.0" || fail "copyright is not machine-readable"
grep -qx "Copyright: 2026 The tolvaner authors" "$copyright" || fail "copyright names no holder"
zcat "$work/root/usr/share/doc/tolvaner/changelog.gz" | head -1 |
    grep -qF "tolvaner ($version) " || fail "the changelog does not begin with $version"
# shellcheck source=tests/ship/links.sh
source "$(dirname "$0")/links.sh"
check_links "$work/root/usr/share/doc/tolvaner"

# Both programs hardened as the distribution builds its own. Control-flow
# protection is left out: it needs a C library built for it, which this
# distribution's is not, so no program built here can show it.
missing=()
if command -v hardening-check >/dev/null; then
    hardening-check --nocfprotection "$bin/tolvaner" "$bin/tolvaner-sim" >&2 ||
        fail "hardening-check found a program unhardened"
else
    missing+=("hardening-check (Debian package devscripts)")
fi

# No error and no warning; of the info tags, none about hardening or a
# section a stripped program should not carry.
if command -v lintian >/dev/null; then
    if ! timeout 240 lintian --display-info --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        grep -E "hardening-|binary-has-unneeded-section" "$work/lintian.log" >&2; then
        cat "$work/lintian.log" >&2
        fail "lintian found errors, warnings or missing hardening"
    fi
else
    missing+=("lintian (Debian package lintian)")
fi
if ((${#missing[@]})); then
    echo "SKIP: all else passed, but not installed: ${missing[*]}"
    exit 77
fi
echo "PASS: $(basename "$deb")"
