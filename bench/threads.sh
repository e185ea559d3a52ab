#!/usr/bin/env bash
# Multi-threaded throughput: bench_threads (auto_plex, pmem and malloc in
# one process), then the same malloc rows with libauto_plex_preload.so, then
# the mt_* programs with glibc's allocator and with the preload: at 1 and 2
# threads the median of RUNS runs each (glibc and preload alternating), at 4
# and 8 threads one run each, only to check that every program prints the
# same checksum line under both.  Ratios above 1.5 at 2 threads are starred.
# With perf installed, the 2-thread runs are also counted by perf stat
# (task-clock, context switches): waiting shows as switches and idle CPUs.
#
#   bench/threads.sh [BUILD_DIR [RUNS [BENCH_THREADS_OPTION...]]]
#
# BUILD_DIR is configured with -DAUTO_PLEX_BENCH=ON (default: build), RUNS
# defaults to 3; the options go to both bench_threads runs (e.g. --seconds
# 0.2 for a quick look).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
so=$build/src/so/preload/libauto_plex_preload.so
progs=(mt_larson mt_prodcons mt_false_sharing)
for f in "$so" "$build/bench/bench_threads" "${progs[@]/#/$build/bench/}"; do
    [ -e "$f" ] || { echo "no $f: configure with -DAUTO_PLEX_BENCH=ON and build" >&2; exit 1; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export LC_ALL=C

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# ratio A B [THREADS]: A / B, starred when above 1.5 at 2 threads.
ratio() { awk -v a="$1" -v b="$2" -v t="${3:-0}" 'BEGIN { printf "%.2f%s", a / b, (t == 2 && a / b > 1.5) ? " *" : "" }'; }

echo "### bench_threads"
echo
"$build/bench/bench_threads" --runs "$runs" "$@" | tee "$dir/glibc"
LD_PRELOAD=$so "$build/bench/bench_threads" --runs "$runs" "$@" --alloc malloc >"$dir/preload"
echo
echo "malloc preloaded against glibc's (same binary, another process):"
echo
echo "| scenario | threads | glibc Mops/s | preload Mops/s | preload / glibc (time) |"
echo "|---|---|---|---|---|"
# Rows "| scenario | threads | malloc | Mops/s | ..." and "| malloc | alone |
# beside | ratio |" of both runs, matched by scenario and threads.
awk -F' *[|] *' 'function row(name, t, g, p) {
        printf "| %s | %s | %s | %s | %.2f%s |\n", name, t, g, p, g / p, (t == 2 && g / p > 1.5) ? " *" : "" }
    $2 == "malloc" && NF == 6 { if (NR == FNR) { ga = $3; gb = $4 } else {
        row("one thread, alone in the process", 1, ga, $3); row("one thread, beside an idle thread", 1, gb, $4) } }
    $4 == "malloc" { if (NR == FNR) g[$2 "|" $3] = $5; else row($2, $3, g[$2 "|" $3], $5) }' \
    "$dir/glibc" "$dir/preload"

echo
echo "### mt_ programs (seconds; scale 1)"
echo
echo "| program | threads | glibc s | preload s | preload / glibc | same output |"
echo "|---|---|---|---|---|---|"
for prog in "${progs[@]}"; do
    bin=$build/bench/$prog
    for t in 1 2 4 8; do
        n=$runs && [ "$t" -gt 2 ] && n=1
        : >"$dir/g" && : >"$dir/p"
        same=yes
        for ((r = 0; r < n; r++)); do
            "$bin" "$t" 1 >"$dir/out.g" 2>"$dir/err.g"
            LD_PRELOAD=$so "$bin" "$t" 1 >"$dir/out.p" 2>"$dir/err.p" || same="no: exit $?"
            cmp -s "$dir/out.g" "$dir/out.p" || [ "$same" != yes ] || same="no: $(cat "$dir/out.p")"
            awk '/^mt_/ { print $2 }' "$dir/err.g" >>"$dir/g"
            awk '/^mt_/ { print $2 }' "$dir/err.p" >>"$dir/p"
        done
        g=$(median <"$dir/g") && p=$(median <"$dir/p")
        label=$t && [ "$t" -gt 2 ] && label="$t (check)"
        echo "| $prog | $label | $g | ${p:--} | $( [ -n "$p" ] && ratio "$p" "$g" "$t" || echo -) | $same |"
    done
done

command -v perf >/dev/null || exit 0
echo
echo "### Where the 2-thread runs spend their time (perf stat)"
echo
echo "| program | allocator | elapsed s | CPUs used | user s | sys s | context switches / s |"
echo "|---|---|---|---|---|---|---|"
for prog in "${progs[@]}"; do
    for alloc in glibc preload; do
        pre= && [ "$alloc" = preload ] && pre=$so
        perf stat -e task-clock,context-switches -o "$dir/perf" \
            env LD_PRELOAD="$pre" "$build/bench/$prog" 2 1 >/dev/null 2>&1
        awk -v p="$prog" -v a="$alloc" '/task-clock/ { tc = $1 / 1000 } /context-switches/ { cs = $1 }
            /seconds time elapsed/ { el = $1 } /seconds user/ { us = $1 } /seconds sys/ { sy = $1 }
            END { printf "| %s | %s | %.3f | %.2f | %.3f | %.3f | %.0f |\n", p, a, el, tc / el, us, sy, cs / el }' "$dir/perf"
    done
done
