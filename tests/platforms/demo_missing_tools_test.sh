#!/usr/bin/env bash
# scripts/demo on a machine without CMake, or without a C++ compiler, must say
# which is missing instead of failing somewhere inside the build.
# Usage: demo_missing_tools_test.sh SOURCE_DIR CMAKE
set -euo pipefail
source=$1 cmake=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A copy of the script alone: it must stop before it touches a build.
mkdir -p "$work/src/scripts" "$work/bin"
cp "$source/scripts/demo" "$work/src/scripts/demo"
ln -s "$(command -v dirname)" "$work/bin/dirname"

status=0
expect() { # LABEL EXPECTED-WORDS
    local out rc=0
    out=$(env -u CXX PATH="$work/bin" /bin/bash "$work/src/scripts/demo" 2>&1) || rc=$?
    if [[ $rc -ne 0 && $out == *"$2"* ]]; then
        echo "PASS: $1: $out"
    else
        echo "FAIL: $1: exit $rc, said '$out', expected '$2'" >&2
        status=1
    fi
}
expect "no CMake" "CMake is not installed"
ln -s "$cmake" "$work/bin/cmake"
expect "no compiler" "no C++ compiler found"
exit $status
