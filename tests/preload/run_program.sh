#!/usr/bin/env bash
# run_program.sh PRELOAD_SO WORKLOAD SCALE
# Runs a workload of bench/program_workloads.sh with glibc's allocator and
# with the preload library; the outputs must match and the report must show
# real traffic.
# Exit 77 (skipped) when a program the workload needs is missing.
set -euo pipefail
preload=$1 name=$2 scale=$3
source "$(dirname "$0")/../../bench/program_workloads.sh"

for prog in $(wl_${name}_needs); do
    command -v "$prog" >/dev/null 2>&1 || { echo "skipped: $prog not found"; exit 77; }
done

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
wl_${name}_prepare "$dir" "$scale"

wl_${name}_run "$dir" "$scale" >"$dir/out.glibc"
LD_PRELOAD=$preload AUTO_PLEX_REPORT=$dir/report.txt wl_${name}_run "$dir" "$scale" \
    >"$dir/out.pmem" 2>"$dir/err.pmem" || { cat "$dir/err.pmem"; exit 1; }
cmp -s "$dir/out.glibc" "$dir/out.pmem" ||
    { echo "output differs under the preload:"; diff "$dir/out.glibc" "$dir/out.pmem" | head -20; exit 1; }
[ ! -s "$dir/err.pmem" ] || { echo "unexpected messages under the preload:"; cat "$dir/err.pmem"; exit 1; }

report=$dir/report.txt
[ -s "$report" ] || { echo "no report written"; exit 1; }
# Every process of the run appends its own pmem report, pool report and
# bypass line; at least one must have served allocations from the pools.
fail() { echo "report: $1"; cat "$report" | head -80; exit 1; }
grep -Eq '^\[summary\]---total_allocated_mem:[1-9][0-9]* total_freed_mem:[1-9]' "$report" ||
    fail "no process counted allocated and freed bytes"
grep -Eq '^pmem_pool_[0-9]+ +[1-9][0-9]* +[0-9]+ +0 ' "$report" || fail "no pool served a request"
grep -Eq '^\[summary\]---total_max_mem:[0-9]+ allocated_mem:[1-9]' "$report" ||
    fail "no pool report with block memory"
grep -q '^\[preload\]---served_by_glibc' "$report" || fail "no bypass line"
echo "$name: same output, $(grep -c '^\[preload\]' "$report") process report(s)"
