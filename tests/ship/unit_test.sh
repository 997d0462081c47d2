#!/usr/bin/env bash
# The service unit of --serve as `cmake --install` puts it: under
# lib/systemd/system of the prefix, naming the program installed beside it,
# and enabled nowhere. systemd-analyze verify accepts it for the instances the
# manual shows (a device path escaped with --path, a usb: selector), its
# Documentation= included; and its offline security rating is low. Skipped
# (77), saying why, where systemd-analyze is missing.
# Usage: unit_test.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
if ! command -v systemd-analyze >/dev/null || ! command -v systemd-escape >/dev/null; then
    echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/usr" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }
unit=$work/usr/lib/systemd/system/tolvaner-serve@.service
[[ -f $unit ]] || fail "no $unit"
# shellcheck disable=SC2016 # the unit's own variables, as written in it
expected='ExecStart='$work'/usr/bin/tolvaner --serve ${TOLVANER_SERVE} --watch ${TOLVANER_WATCH} %I $TOLVANER_MORE_PORTS'
grep -qxF -- "$expected" "$unit" || fail "the unit does not start the installed program: $(grep ExecStart "$unit")"
enabled=$(find "$work" -path '*/systemd/system/*.wants*' -o -path '*/etc/systemd*' | head -1)
[[ -z $enabled ]] || fail "the unit is enabled: $enabled"

# The manual of Documentation=man:tolvaner(1) is the one installed.
man_option=()
if command -v man >/dev/null; then
    export MANPATH=$work/usr/share/man
else
    man_option=(--man=no)
    echo "man is not installed (Debian package man-db): Documentation= is not checked"
fi
# UNIT:NAME verifies the template under an instance's name.
for port in --path=/dev/ttyUSB0 usb:0403:6001:A10K1234 \
    --path=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0; do
    if [[ $port == --path=* ]]; then
        instance=$(systemd-escape --path "${port#--path=}")
    else
        instance=$(systemd-escape "$port")
    fi
    name="tolvaner-serve@$instance.service"
    out=$(systemd-analyze verify "${man_option[@]}" "$unit:$name" 2>&1) ||
        fail "systemd-analyze verify refuses $name: $out"
    [[ -z $out ]] || fail "systemd-analyze verify warns about $name: $out"
done

rating=$(systemd-analyze security --offline=true "$unit:tolvaner-serve@dev-ttyUSB0.service" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
[[ -n $rating ]] || fail "systemd-analyze security gave no rating"
awk -v r="$rating" 'BEGIN { exit !(r <= 2.0) }' || fail "exposure $rating, above 2.0"
echo "PASS: verified for 3 instances; exposure $rating"
