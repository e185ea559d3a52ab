#!/usr/bin/env bash
# leak_report.sh PRELOAD_SO LEAKY
# The leak list at exit under the preload, to a file named relative to the
# directory at start-up: the program's seven leaked blocks, and no message.
set -euo pipefail
preload=$1 leaky=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
(cd "$dir" && LD_PRELOAD=$preload AUTO_PLEX_CONF=leak_report=leaks.txt "$leaky") 2>"$dir/err" ||
    { echo "program failed"; cat "$dir/err"; exit 1; }
[ ! -s "$dir/err" ] || { echo "unexpected messages:"; cat "$dir/err"; exit 1; }
grep -q '^leaks: pmem module=default pool=pmem_pool_3072 count=7 bytes=21504$' "$dir/leaks.txt" ||
    { echo "leak list:"; cat "$dir/leaks.txt"; exit 1; }
