#!/usr/bin/env bash
# The bash completion, called as bash calls it, against a stand-in program
# whose --list gives a fixed set of ports, one of them the console: what is
# offered after each command line. One row a line: the --list it gets, the
# line typed so far, and the candidates.
# Usage: completion_test.sh COMPLETION_FILE
set -euo pipefail
completion=$(realpath "$1")
[[ -f $completion ]] || {
    echo "FAIL: no completion file $1" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

printf '%s\n' '/dev/ttyUSB0  driver=ftdi_sio usb=0403:6001 serial="A1"' \
    '/dev/ttyACM0  driver=cdc_acm usb=2341:0043' \
    '/dev/ttyS0  driver=serial console' >"$work/usb"
printf '%s\n' '/dev/ttyS0  driver=serial console' >"$work/console"
mkdir "$work/bin" "$work/here"
# shellcheck disable=SC2016 # $LIST is for the stand-in to expand
printf '#!/bin/sh\ncat "%s/$LIST"\n' "$work" >"$work/bin/tolvaner"
chmod +x "$work/bin/tolvaner"
# The names a port can also go by: a link a simulator made, a stable name.
ln -s /dev/null "$work/here/meter"
mkdir "$work/here/by-id"
tolvaner=$work/bin/tolvaner

complete_line() {
    (cd "$work/here" && LIST=$1 bash -c 'source "$1"; COMP_LINE=$2 COMP_POINT=${#2}
        read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tolvaner
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$2")
}

row() {
    local list=$1 line=$2 expected got
    # In any order: file names come in the folder's order.
    expected=$(printf '%s\n' "${@:3}" | sort)
    got=$(complete_line "$list" "$tolvaner $line" | sort)
    if [[ $got != "$expected" ]]; then
        echo "FAIL: after 'tolvaner $line' ($list ports): offered [${got//$'\n'/ }]," \
            "not [${expected//$'\n'/ }]" >&2
        failures=$((failures + 1))
    fi
}

# The listed ports, less the console; where none fits, file names (never
# the console's).
row usb "" /dev/ttyUSB0 /dev/ttyACM0
row usb "/dev/ttyS0" ""
row console "" by-id meter
row usb "--trace wire.log " /dev/ttyUSB0 /dev/ttyACM0
row usb "--read $work/here/b" "$work/here/by-id"
# Only what may follow: nothing after the port, after -- only the port.
row usb "/dev/ttyUSB0 " ""
row usb "--watch 1 -- --" ""
row usb "--watch 1 -- " /dev/ttyUSB0 /dev/ttyACM0
row usb "--s" --set --serve
row usb "--trace wire.log --" --read --json --set --expect --watch --count --csv
row usb "--read --" --json
row usb "--watch 1 --" --json --count --csv --no-reconnect
row usb "--set v=1 --" --json --set --expect
row usb "--json --" --read --set --expect --watch --count
row usb "--json " ""
# --serve and --mqtt: an address or a broker, then their options, then ports.
row usb "--serve 9120 --" --watch --mqtt --mqtt-ca --mqtt-discovery --mqtt-password-file
row usb "--serve 9120 /dev/ttyUSB0 " /dev/ttyUSB0 /dev/ttyACM0
# The keys: after --set the settable ones, and no port before one.
row usb "--set " pulse_value= full_scale= output_mode= average_interval= v= s= m= a=
row usb "--set v=1 --expect p" product_id= pulse_value=

if ((failures > 0)); then
    exit 1
fi
echo "PASS: completion"
