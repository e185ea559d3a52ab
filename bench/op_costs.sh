#!/usr/bin/env bash
# Instructions and simulated cache misses per allocation or release, for
# glibc's malloc, pmem and auto_plex at N = 10^3 and 10^6 live objects, from
# cachegrind (valgrind): this machine's virtual CPU exposes no hardware
# counters to perf.  Each figure is (run with STEPS steps - run with none),
# less the same for the loop without allocations, over 2 * STEPS operations.
# The simulated caches: 48 KiB L1 data, and a 32 MiB last level (this
# machine's own 260 MiB L3 would hold every working set here).
#
#   bench/op_costs.sh [BUILD_DIR [STEPS]]      (BUILD_DIR built with -DAUTO_PLEX_BENCH=ON)
set -euo pipefail
build=${1:-build-bench}
steps=${2:-200000}
bin=$build/bench/op_costs
[ -x "$bin" ] || { echo "no $bin: build with -DAUTO_PLEX_BENCH=ON" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Prints "Ir D1mr D1mw LLdmr LLdmw" for one run.
counts() {
    valgrind --tool=cachegrind --cache-sim=yes --D1=49152,12,64 --LL=33554432,16,64 \
        --cachegrind-out-file="$out/cg" \
        "$bin" "$@" >/dev/null 2>&1
    awk '/^summary:/ { print $2, $6, $9, $7, $10 }' "$out/cg"
}

per_op() {  # per_op BACKEND N
    read -r a0 b0 c0 d0 e0 < <(counts "$1" "$2" 0)
    read -r a1 b1 c1 d1 e1 < <(counts "$1" "$2" "$steps")
    echo $((a1 - a0)) $((b1 + c1 - b0 - c0)) $((d1 + e1 - d0 - e0))
}

echo "| backend | N | instructions / op | L1 data misses / op | last-level misses / op |"
echo "|---|---|---|---|---|"
for n in 1000 1000000; do
    read -r li lm ll < <(per_op none "$n")
    for backend in malloc pmem auto_plex; do
        read -r i m l < <(per_op "$backend" "$n")
        awk -v b="$backend" -v n="$n" -v s="$steps" -v i="$i" -v m="$m" -v l="$l" \
            -v li="$li" -v lm="$lm" -v ll="$ll" 'BEGIN {
            printf "| %s | %d | %.1f | %.2f | %.2f |\n", b, n, (i - li) / (2 * s),
                   (m - lm) / (2 * s), (l - ll) / (2 * s) }'
    done
done
