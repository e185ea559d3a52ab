#!/usr/bin/env bash
# Wall time and peak resident memory of real programs with glibc's allocator,
# with pmem (libauto_plex_preload.so) and with jemalloc / mimalloc preloaded
# the same way.  Prints the "Real programs" table of docs/PERFORMANCE.md.
#
#   bench/real_programs.sh [BUILD_DIR [RUNS [SCALE]]]
#
# BUILD_DIR holds a plain (unsanitized) build with the preload library and
# the torture and large-block programs (default: build).  Each cell is the median of RUNS runs
# (default 5); SCALE sizes the workloads of bench/program_workloads.sh
# (default 2).  Peak RSS is that of the largest process of the run (what
# wait4 reports for a shell and its children).  jemalloc and mimalloc come
# from the Debian packages libjemalloc2 and libmimalloc2.0; a missing one is
# left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-5}
scale=${3:-2}

export WL_SRC=$root/bench
export WL_TORTURE=$build/tests/preload/preload_alloc_torture
export WL_TORTURE_ARGS=threads
export WL_LARGE=$build/tests/preload/preload_large_blocks
source "$WL_SRC/program_workloads.sh"

pmem_so=$build/src/so/preload/libauto_plex_preload.so
[ -f "$pmem_so" ] || { echo "no $pmem_so: build the project first" >&2; exit 1; }
[ -x "$WL_TORTURE" ] || { echo "no $WL_TORTURE: build the tests first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

names=(glibc pmem)
libs=("" "$pmem_so")
for cand in jemalloc:/usr/lib/x86_64-linux-gnu/libjemalloc.so.2 \
            mimalloc:/usr/lib/x86_64-linux-gnu/libmimalloc.so.2; do
    if [ -f "${cand#*:}" ]; then
        names+=("${cand%%:*}")
        libs+=("${cand#*:}")
    fi
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

header="| program |"
rule="|---|"
for n in "${names[@]}"; do
    if [ "$n" = glibc ]; then header+=" glibc time |"; else header+=" $n time |"; fi
    rule+="---|"
done
for n in "${names[@]}"; do
    if [ "$n" = glibc ]; then header+=" glibc peak RSS |"; else header+=" $n RSS |"; fi
    rule+="---|"
done
echo "$header"
echo "$rule"

for wl in $WL_NAMES; do
    missing=
    for prog in $(wl_${wl}_needs); do command -v "$prog" >/dev/null 2>&1 || missing=$prog; done
    if [ -n "$missing" ]; then echo "| $wl | skipped: $missing not found |"; continue; fi
    rm -rf "${dir:?}"/*
    wl_${wl}_prepare "$dir" "$scale"
    times=() rss=()
    for i in "${!names[@]}"; do
        : >"$dir/t" && : >"$dir/m"
        for ((r = 0; r < runs; r++)); do
            # Interleaving allocators per run would spread drift; a warm page
            # cache matters more here, so runs of one allocator follow each other.
            /usr/bin/time -f "%e %M" -o "$dir/one" env LD_PRELOAD="${libs[$i]}" \
                bash -c "source '$WL_SRC/program_workloads.sh'; wl_${wl}_run '$dir' '$scale' >/dev/null"
            read -r t m <"$dir/one"
            echo "$t" >>"$dir/t"
            echo "$m" >>"$dir/m"
        done
        times+=("$(median <"$dir/t")")
        rss+=("$(median <"$dir/m")")
    done
    row="| $wl |"
    for i in "${!names[@]}"; do
        if [ "$i" = 0 ]; then row+=" ${times[0]} s |"
        else row+=" $(awk -v a="${times[$i]}" -v b="${times[0]}" 'BEGIN { printf "%.2f", a / b }') |"; fi
    done
    for i in "${!names[@]}"; do
        if [ "$i" = 0 ]; then row+=" $(awk -v k="${rss[0]}" 'BEGIN { printf "%.1f MiB", k / 1024 }') |"
        else row+=" $(awk -v a="${rss[$i]}" -v b="${rss[0]}" 'BEGIN { printf "%.2f", a / b }') |"; fi
    done
    echo "$row"
done
