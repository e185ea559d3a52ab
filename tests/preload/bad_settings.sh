#!/usr/bin/env bash
# bad_settings.sh PRELOAD_SO TORTURE
# A bad AUTO_PLEX_REPORT must be named on stderr while the program runs on
# unharmed (same output, exit status 0).
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
echo "bad settings reported"
