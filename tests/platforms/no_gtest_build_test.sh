#!/usr/bin/env bash
# The build a newcomer runs first must work with only a compiler and CMake:
# configured as if GoogleTest and libmosquitto were absent, it leaves the
# tests and --mqtt out with a status line each and still builds both programs,
# and the program says so when asked to publish.
# Usage: no_gtest_build_test.sh CMAKE SOURCE_DIR CXX_COMPILER
set -euo pipefail
cmake=$1 source=$2 cxx=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-nogtest.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cmake" -S "$source" -B "$work/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_Mosquitto=ON \
    -DCMAKE_CXX_COMPILER="$cxx" -DTOLVANER_WERROR=ON >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configure failed without GoogleTest"; }
grep -q "GoogleTest not found" "$work/configure.log" ||
    { cat "$work/configure.log" >&2; fail "no status line says the tests are left out"; }
grep -q "libmosquitto not found.*--mqtt left out" "$work/configure.log" ||
    { cat "$work/configure.log" >&2; fail "no status line says --mqtt is left out"; }
"$cmake" --build "$work/build" -j2 >"$work/build.log" 2>&1 ||
    { tail -50 "$work/build.log" >&2; fail "build failed without GoogleTest"; }
for program in tolvaner tolvaner-sim; do
    [[ -x $work/build/$program ]] || fail "no $program built"
done
said=$("$work/build/tolvaner" --mqtt mqtt://127.0.0.1 "$work/no-port" 2>&1) &&
    fail "tolvaner took --mqtt without libmosquitto"
[[ $said == *"--mqtt is not built into this program"* ]] ||
    fail "tolvaner does not say --mqtt is left out: $said"
echo "PASS: both programs built without GoogleTest and libmosquitto"
