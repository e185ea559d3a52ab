# Real-program workloads: the figures of bench/real_programs.sh, and the
# programs tests/preload/run_program.sh runs with and without the preload
# library to compare their output.
#
# For each workload NAME:
#   wl_NAME_needs          prints the programs it needs, one per line
#   wl_NAME_prepare DIR S  writes its input into DIR at scale S (not measured)
#   wl_NAME_run DIR S      the measured run; its stdout is compared between
#                          allocators, so it prints only deterministic text
# $WL_SRC is the directory of this file; $WL_TORTURE and $WL_LARGE the
# programs built from alloc_torture.c and large_blocks.c beside it.

export LC_ALL=C
WL_SRC=${WL_SRC:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}
WL_PYTHON=${WL_PYTHON:-/usr/bin/python3}
WL_NAMES=${WL_NAMES:-"python sqlite3 sort gzip xz torture loop jq large"}

wl_python_needs() { echo "$WL_PYTHON"; }
wl_python_prepare() { :; }
wl_python_run() { PYTHONHASHSEED=0 "$WL_PYTHON" "$WL_SRC/program_workload.py" "$2"; }

wl_sqlite3_needs() { echo sqlite3; }
wl_sqlite3_prepare() {
    local rows=$(($2 * 100000))
    rm -f "$1/db.sqlite"
    cat >"$1/script.sql" <<SQL
PRAGMA journal_mode=OFF;
PRAGMA synchronous=OFF;
PRAGMA cache_size=-65536;
CREATE TABLE item(id INTEGER PRIMARY KEY, grp INTEGER, name TEXT, price REAL);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO item SELECT i, (i * 7919) % 1000, printf('item-%08x-%s', (i * 2654435761) % 4294967296,
    substr('abcdefghijklmnopqrstuvwxyz', 1 + i % 26)), (i % 997) * 1.25 FROM n;
CREATE INDEX item_grp ON item(grp, price);
CREATE INDEX item_name ON item(name);
SELECT grp, count(*), round(sum(price), 2), min(name) FROM item GROUP BY grp ORDER BY 3 DESC LIMIT 5;
UPDATE item SET price = price * 1.1 WHERE grp % 3 = 0;
DELETE FROM item WHERE id % 5 = 0;
SELECT count(*), round(avg(price), 4) FROM item;
SELECT a.grp, count(*) FROM item a JOIN item b ON a.grp = b.grp AND b.id = a.id + 1000
  GROUP BY a.grp ORDER BY 2 DESC, 1 LIMIT 3;
SELECT group_concat(name, ',') IS NOT NULL, length(group_concat(name, ',')) FROM
  (SELECT name FROM item ORDER BY name DESC LIMIT 20000);
SQL
}
wl_sqlite3_run() { sqlite3 "$1/db.sqlite" <"$1/script.sql" && rm -f "$1/db.sqlite"; }

# Text lines with a random key, a number and some filler.
wl_text_input() {
    [ -s "$1/input.txt" ] && return
    awk -v n=$(($2 * 400000)) 'BEGIN { srand(7); for (i = 0; i < n; i++)
        printf "%08x %d %s\n", int(rand() * 2147483647), i % 9973,
            substr("the quick brown fox jumps over the lazy dog", 1 + i % 20) }' >"$1/input.txt"
}

wl_sort_needs() { echo sort; echo cksum; }
wl_sort_prepare() { wl_text_input "$@"; }
wl_sort_run() {
    sort --parallel=2 -S 256M -k2,2n -k1,1 "$1/input.txt" | cksum
    sort --parallel=2 -S 256M -u -k3 "$1/input.txt" | cksum
}

wl_gzip_needs() { echo gzip; echo cksum; }
wl_gzip_prepare() { wl_text_input "$@"; }
wl_gzip_run() {
    gzip -6 -c "$1/input.txt" >"$1/input.gz"
    cksum <"$1/input.gz"
    gzip -dc "$1/input.gz" | cksum
}

# Multithreaded: two compression threads on 1 MiB blocks.
wl_xz_needs() { echo xz; echo cksum; }
wl_xz_prepare() { wl_text_input "$@"; }
wl_xz_run() {
    xz -T2 --block-size=1MiB -1 -c "$1/input.txt" >"$1/input.xz"
    cksum <"$1/input.xz"
    xz -T2 -dc "$1/input.xz" | cksum
}

# Four threads allocating and releasing each other's blocks, with forks.
wl_torture_needs() { echo "$WL_TORTURE"; }
wl_torture_prepare() { :; }
# WL_TORTURE_ARGS=threads leaves out the single-threaded contract checks.
wl_torture_run() { "$WL_TORTURE" $(($2 * 100000)) ${WL_TORTURE_ARGS:-}; }

# The shape of a malloc micro-benchmark: one thread, 4096 live blocks, each
# step frees one at random and allocates a replacement (mostly 16-128 bytes).
wl_loop_needs() { echo "$WL_TORTURE"; }
wl_loop_prepare() { :; }
wl_loop_run() { "$WL_TORTURE" $(($2 * 5000000)) loop; }

# A parser: jq reads a JSON array of records and builds a filtered one, about
# ten small allocations per record.
wl_jq_needs() { echo jq; echo "$WL_PYTHON"; }
wl_jq_prepare() {
    "$WL_PYTHON" -c "
import json, random, sys
random.seed(1)
json.dump([{'id': i, 'name': 'user%d' % i, 'tags': ['t%d' % (i % 7), 'x'],
            'score': random.random(), 'nested': {'a': i, 'b': [i, i + 1]}}
           for i in range($2 * 100000)], sys.stdout)" >"$1/records.json"
}
wl_jq_run() {
    jq -c '[.[] | select(.score > 0.5) | {id, name, s: (.nested.b | add)}]' "$1/records.json" | cksum
}

# Large blocks: 5 to 25 MiB, at most 20 live, each zero-filled.  The count
# grows with the fourth power of the scale: 125 blocks at the tests' scale 1,
# 2,000 at scale 2.
wl_large_needs() { echo "$WL_LARGE"; }
wl_large_prepare() { :; }
wl_large_run() { "$WL_LARGE" $(($2 ** 4 * 125)); }
