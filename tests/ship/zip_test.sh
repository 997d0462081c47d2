#!/usr/bin/env bash
# Makes the Windows .zip from the cross-build next to TOLVANER_EXE and checks
# that it holds the program and its documents, and no simulator (the Windows
# build has none). Skipped (77) when there is no cross-build.
# Usage: zip_test.sh CPACK TOLVANER_EXE VERSION
set -euo pipefail
cpack=$1 exe=$2 version=$3

config=$(dirname "$exe")/CPackConfig.cmake
if [[ ! -f $exe || ! -f $config ]]; then
    echo "SKIP: no Windows cross-build at $(dirname "$exe")"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-zip.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if ! timeout 180 "$cpack" --config "$config" -G ZIP -B "$work/pkg" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack could not make the .zip"
fi
zip=$work/pkg/tolvaner-$version-win64.zip
[[ -f $zip ]] || fail "no $(basename "$zip"); made: $(ls "$work/pkg")"

# cmake reads zip archives itself: no unzip needed.
(cd "$work" && timeout 60 cmake -E tar xf "$zip") || fail "cannot unpack $zip"
top=$work/tolvaner-$version-win64
for file in tolvaner.exe README.md docs/protocol.md LICENSE CHANGELOG.md; do
    [[ -f $top/$file ]] || fail "the zip has no $file at its top"
done
[[ ! -e $top/tolvaner-sim.exe ]] || fail "the zip holds a simulator"
# A Windows program, not a Linux one that happens to be named .exe.
[[ $(head -c 2 "$top/tolvaner.exe") == MZ ]] || fail "tolvaner.exe is no Windows program"
# Loaded at a random, high-entropy address with no code run from data, and
# needing only DLLs every Windows has.
headers=$(objdump -p "$top/tolvaner.exe") || fail "objdump cannot read tolvaner.exe"
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    grep -qw "$flag" <<<"$headers" || fail "tolvaner.exe is not marked $flag"
done
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort | xargs)
[[ $dlls == "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SETUPAPI.DLL WINMM.DLL" ]] ||
    fail "tolvaner.exe needs other DLLs: $dlls"
cmp -s "$top/README.md" "$(dirname "$0")/../../README.md" || fail "README.md differs from the source"
# shellcheck source=tests/ship/links.sh
source "$(dirname "$0")/links.sh"
check_links "$top"
echo "PASS: $(basename "$zip"): $(cd "$top" && echo *)"
