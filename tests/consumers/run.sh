#!/usr/bin/env bash
# Installs a built tree into a temporary prefix, then builds and runs the two
# hosts of examples/installed against it, seeing nothing but that prefix: a C
# program compiled with a plain command line and pkg-config, and a C++ program
# configured with find_package(auto_plex CONFIG).
#
# usage: tests/consumers/run.sh BUILD_DIR      (a built tree of this project)
set -euo pipefail
here="$(cd "$(dirname "$0")/../../examples/installed" && pwd)"
build="$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/auto_plex_consumers.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "consumers: $*" >&2; exit 1; }
# step LOG WHAT COMMAND...: the command's output kept in LOG, shown if it fails.
step() { "${@:3}" >"$1" || { cat "$1" >&2; fail "$2 failed"; }; }

step "$work/install.log" "cmake --install" cmake --install "$build" --prefix "$prefix"
pc="$(find "$prefix" -name auto_plex.pc -print -quit)"
[ -n "$pc" ] || fail "no auto_plex.pc installed"
lib="$(find "$prefix" -name 'libauto_plex.so.1' -print -quit)"
[ -n "$lib" ] || fail "no libauto_plex.so.1 installed"
readelf -d "$lib" | grep -q 'SONAME.*\[libauto_plex\.so\.1\]' || fail "SONAME is not libauto_plex.so.1"

# C, pkg-config.  -Wl,-rpath stands in for ldconfig or LD_LIBRARY_PATH.
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir="$(pkg-config --variable=libdir auto_plex)"
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror -pedantic "$here/host.c" -o "$work/host_c" \
    $(pkg-config --cflags --libs auto_plex) -Wl,-rpath,"$libdir"
readelf -d "$work/host_c" | grep -q 'NEEDED.*\[libauto_plex\.so\.1\]' ||
    fail "the C host does not link libauto_plex.so.1"
"$work/host_c"

# C++, find_package.  No package registry, so only the prefix can answer.
step "$work/cxx.log" "configuring the C++ host" cmake -S "$here" -B "$work/cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_FLAGS=-Werror
grep -q "^auto_plex_DIR:PATH=$prefix/" "$work/cxx/CMakeCache.txt" ||
    fail "find_package found auto_plex outside the temporary prefix"
step "$work/cxx-build.log" "building the C++ host" cmake --build "$work/cxx"
"$work/cxx/host_cxx"
