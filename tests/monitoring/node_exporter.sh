#!/usr/bin/env bash
# node_exporter.sh DEMO_HOST
# The demo's metrics file as Prometheus tools see it: promtool accepts it, and
# node_exporter's textfile collector, started on a loopback port and stopped
# by its process id, serves every series with the file's value.
# Exit 77 (skipped) when promtool or node_exporter is missing.
set -euo pipefail
demo=$1
exporter=$(command -v prometheus-node-exporter || command -v node_exporter) ||
    { echo "skipped: no node_exporter"; exit 77; }
command -v promtool >/dev/null || { echo "skipped: no promtool"; exit 77; }
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

"$demo" --seconds 0.5 --out "$dir" >/dev/null
metrics=$dir/metrics/auto_plex.prom
promtool check metrics <"$metrics"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$dir/metrics" >"$dir/exporter.log" 2>&1 &
pid=$!
python3 - "$port" "$metrics" <<'PY'
import sys, time, urllib.request
port, path = sys.argv[1], sys.argv[2]

def samples(text):
    return {l.rsplit(" ", 1)[0]: float(l.rsplit(" ", 1)[1]) for l in text.splitlines()
            if l.startswith("auto_plex_")}

for _ in range(100):
    try:
        scraped = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2).read().decode()
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("node_exporter did not answer")
want, got = samples(open(path).read()), samples(scraped)
missing = [k for k in want if got.get(k) != want[k]]
if not want or missing:
    sys.exit(f"{len(missing)} of {len(want)} series missing or different, e.g. {missing[:3]}")
print(f"node_exporter serves all {len(want)} series of the metrics file")
PY
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
