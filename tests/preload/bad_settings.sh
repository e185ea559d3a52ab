#!/usr/bin/env bash
# bad_settings.sh PRELOAD_SO TORTURE
# A bad AUTO_PLEX_REPORT or AUTO_PLEX_CONF must be named on stderr while the
# program runs on unharmed (same output, exit status 0).
set -euo pipefail
preload=$1 torture=$2
expected=$("$torture" 2000)

check() {  # check VALUE EXPECTED_MESSAGE
    local out err
    err=$(mktemp)
    out=$(LD_PRELOAD=$preload AUTO_PLEX_REPORT=$1 "$torture" 2000 2>"$err") ||
        { echo "AUTO_PLEX_REPORT='$1': program failed"; cat "$err"; exit 1; }
    [ "$out" = "$expected" ] || { echo "AUTO_PLEX_REPORT='$1': output differs"; exit 1; }
    grep -q "^libauto_plex_preload: .*$2" "$err" ||
        { echo "AUTO_PLEX_REPORT='$1': no message '$2', got:"; cat "$err"; exit 1; }
    rm -f "$err"
}

check "" "AUTO_PLEX_REPORT is empty"
check "/nonexistent-dir/report.txt" "cannot append the report to AUTO_PLEX_REPORT=/nonexistent-dir/report.txt"
check "$(printf 'x%.0s' $(seq 5000))" "AUTO_PLEX_REPORT is longer than"
# The settings text: one line for the bad pair, the good one still applies.
dir=$(mktemp -d)
err=$(LD_PRELOAD=$preload AUTO_PLEX_CONF="bogus=1,report=$dir/r.txt" "$torture" 2000 2>&1 >/dev/null)
[ "$(printf '%s\n' "$err" | wc -l)" = 1 ] && [[ $err == 'libauto_plex: AUTO_PLEX_CONF: unknown key in "bogus=1"; expected one of '* ]] ||
    { echo "AUTO_PLEX_CONF=bogus=1: expected one line, got:"; echo "$err"; exit 1; }
grep -q '^\[preload\]---served_by_glibc' "$dir/r.txt" || { echo "report= of AUTO_PLEX_CONF not written"; exit 1; }
rm -rf "$dir"
echo "bad settings reported"
