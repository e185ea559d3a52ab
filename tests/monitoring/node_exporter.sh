#!/usr/bin/env bash
# node_exporter.sh DEMO_HOST: promtool accepts the demo's metrics file, and
# node_exporter's textfile collector, started on a loopback port and stopped
# by its pid, serves every series with the file's value.  77: tools missing.
set -euo pipefail
exporter=$(command -v prometheus-node-exporter || command -v node_exporter) || exit 77
command -v promtool >/dev/null || exit 77
dir=$(mktemp -d) pid=
trap '[ -n "$pid" ] && kill "$pid"; rm -rf "$dir"' EXIT
"$1" --seconds 0.5 --out "$dir" >/dev/null
promtool check metrics <"$dir/metrics/auto_plex.prom"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$dir/metrics" >"$dir/log" 2>&1 &
pid=$!
python3 - "$port" "$dir/metrics/auto_plex.prom" <<'PY'
import sys, time, urllib.request
def samples(text):
    return {l.rsplit(" ", 1)[0]: float(l.rsplit(" ", 1)[1]) for l in text.splitlines()
            if l.startswith("auto_plex_")}
for _ in range(100):
    try:
        got = samples(urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics").read().decode())
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("node_exporter did not answer")
want = samples(open(sys.argv[2]).read())
wrong = [k for k in want if got.get(k) != want[k]]
if not want or wrong:
    sys.exit(f"{len(wrong)} of {len(want)} series missing or different, e.g. {wrong[:3]}")
print(f"node_exporter serves all {len(want)} series of the metrics file")
PY
