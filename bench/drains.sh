#!/usr/bin/env bash
# Page faults and time of 100 lifo and 100 fifo rounds of 10^5 64-byte
# objects, and resident memory after a drain of 10^6, for glibc's malloc,
# mem_statis, pmem and auto_plex under each release policy
# (AUTO_PLEX_RELEASE); prints two markdown tables.  Builds nothing.
#
#   bench/drains.sh [BUILD_DIR [SLEEP_MS [HOOK]]]
#
# BUILD_DIR holds bench/drains (-DAUTO_PLEX_BENCH=ON; default build-bench).
# The resident size is read right after the drain and again after SLEEP_MS
# (default 100) and one call of HOOK (none, malloc_trim or
# auto_plex_release_idle, the default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build-bench}/bench/drains
sleep_ms=${2:-100}
hook=${3:-auto_plex_release_idle}
[ -x "$bin" ] || { echo "no $bin: build with -DAUTO_PLEX_BENCH=ON" >&2; exit 1; }
policies="pages trim delay"

# "<backend> <policy> <lifo|fifo> <faults> <ms>" lines; the policy does not
# touch malloc and statis, so they run once.
runs=$(
    for b in malloc statis; do "$bin" faults "$b" | sed "s/^$b /$b - /"; done
    for b in pmem auto_plex; do
        for p in $policies; do AUTO_PLEX_RELEASE=$p "$bin" faults "$b" | sed "s/^$b /$b $p /"; done
    done
)

echo "Minor page faults and time of 100 rounds, N = 10^5 (ratios to glibc):"
echo
echo "| backend | policy | lifo faults | faults / glibc | time / glibc | fifo faults | faults / glibc | time / glibc |"
echo "|---|---|---|---|---|---|---|---|"
awk '
    function ratio(a, b) { return b > 0 ? sprintf(a / b >= 100 ? "%.0f" : "%.2f", a / b) : (a > 0 ? "-" : "1.00") }
    { key = $1 " " $2; if (!(key in seen)) { seen[key] = 1; order[++n] = key }
      f[key, $3] = $4; t[key, $3] = $5 }
    $1 == "malloc" { gf[$3] = $4; gt[$3] = $5 }
    END {
        for (i = 1; i <= n; i++) {
            k = order[i]; split(k, kp, " "); row = "| " kp[1] " | " kp[2] " |"
            for (j = 1; j <= 2; j++) {
                m = j == 1 ? "lifo" : "fifo"
                if (kp[1] == "malloc") row = row " " f[k, m] " | 1.00 | " t[k, m] " ms |"
                else row = row " " f[k, m] " | " ratio(f[k, m], gf[m]) " | " ratio(t[k, m], gt[m]) " |"
            }
            print row
        }
    }' <<<"$runs"

echo
echo "Resident memory after a lifo drain of 10^6 objects (MiB; after: ${sleep_ms} ms, then $hook):"
echo
echo "| backend | policy | before | peak | drained | after |"
echo "|---|---|---|---|---|---|"
missing=0
for b in pmem auto_plex; do
    for p in $policies; do
        read -r _ before peak drained after called < <(AUTO_PLEX_RELEASE=$p "$bin" rss "$b" 1000000 "$sleep_ms" "$hook")
        [ "$called" = 1 ] || missing=1
        awk -v b="$b" -v p="$p" -v a="$before" -v k="$peak" -v d="$drained" -v f="$after" 'BEGIN {
            printf "| %s | %s | %.1f | %.1f | %.1f | %.1f |\n", b, p, a / 1024, k / 1024, d / 1024, f / 1024 }'
    done
done
if [ "$missing" = 1 ]; then echo; echo "($hook is not in this build: \"after\" is after the sleep alone.)"; fi
