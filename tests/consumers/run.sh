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

fail() {
    echo "consumers: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "cmake --install failed"
}
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
cmake -S "$here" -B "$work/cxx" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_FLAGS=-Werror >"$work/cxx.log" || {
    cat "$work/cxx.log" >&2
    fail "configuring the C++ host failed"
}
grep -q "^auto_plex_DIR:PATH=$prefix/" "$work/cxx/CMakeCache.txt" ||
    fail "find_package found auto_plex outside the temporary prefix"
cmake --build "$work/cxx" >"$work/cxx-build.log" || {
    cat "$work/cxx-build.log" >&2
    fail "building the C++ host failed"
}
"$work/cxx/host_cxx"
