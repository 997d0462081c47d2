#!/bin/sh
# The C++ compiler for the macOS cross-build: zig-c++.sh ZIG ARGUMENTS...
# zig's linker refuses two options CMake passes: room to rewrite install names
# later (Darwin platform; never needed here) and a verbose linker while CMake
# probes the compiler.
zig=$1
shift
for arg do
    shift
    case $arg in
    -Wl,-headerpad_max_install_names | -Wl,-v) ;;
    *) set -- "$@" "$arg" ;;
    esac
done
exec "$zig" c++ "$@"
