#!/usr/bin/env bash
# viewer_page.sh DEMO_HOST: the demo's history page in headless Chromium
# renders (a screenshot that is not blank), names every module of the history
# with a chart in every section, and requests nothing from the network (its
# net log; the browser's own background traffic has no page origin).
set -euo pipefail
chromium=$(command -v chromium || command -v chromium-browser) || exit 77
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$1" --seconds 1 --out "$dir" >/dev/null
browse() {
    timeout 120 "$chromium" --headless=new --no-sandbox --disable-gpu --no-first-run \
        --disable-background-networking --user-data-dir="$dir/profile" "$@" "file://$dir/history.html"
}
browse --window-size=1280,2400 --screenshot="$dir/shot.png" --log-net-log="$dir/net.json" >/dev/null 2>&1
browse --dump-dom >"$dir/dom.html" 2>/dev/null
python3 - "$dir" <<'PY'
import json, re, struct, sys, zlib
d, fail = sys.argv[1], []
png, pos, idat = open(f"{d}/shot.png", "rb").read(), 8, b""
while pos < len(png):  # a blank page's pixel rows are nearly all one value
    n, kind = struct.unpack(">I4s", png[pos:pos + 8])
    idat, pos = idat + (png[pos + 8:pos + 8 + n] if kind == b"IDAT" else b""), pos + 12 + n
if len(set(zlib.decompress(idat))) < 16:
    fail.append("the screenshot is blank")
dom = open(f"{d}/dom.html", encoding="utf-8").read()
last = json.loads(open(f"{d}/history.jsonl").read().splitlines()[-1])
names = [m["name"] for m in last["modules"]] + [m["module_name"] for m in last["accounted"]]
fail += [f"module {n} is not on the page" for n in names if n not in dom]
for section in ("held", "occupancy", "peaks", "suspects"):
    m = re.search(f'<section id="{section}">(.*?)</section>', dom, re.S)
    if not m or '<svg class="chart"' not in m.group(1):
        fail.append(f"section {section} has no chart")
log = json.load(open(f"{d}/net.json"))
start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
fail += [f"the page requested {e['params']['url']}" for e in log["events"]
         if e["type"] == start and "url" in e.get("params", {})
         and e["params"].get("initiator") != "not an origin" and not e["params"]["url"].startswith("file:")]
if fail:
    sys.exit("\n".join(fail))
print(f"page renders, names {len(names)} modules, 4 sections with charts, no network")
PY
