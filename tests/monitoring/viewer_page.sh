#!/usr/bin/env bash
# viewer_page.sh DEMO_HOST
# The history page the demo draws, opened in headless Chromium: it renders (a
# screenshot that is not blank), its DOM names every module of the history
# and has a chart in every section, and it requests nothing from the network
# (Chromium's own net log of the load, the browser's background traffic set
# aside).  Exit 77 (skipped) when Chromium is missing.
set -euo pipefail
demo=$1
chromium=$(command -v chromium || command -v chromium-browser) ||
    { echo "skipped: no chromium"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$demo" --seconds 1 --out "$dir" >/dev/null
page=$dir/history.html
[ -s "$page" ] || { echo "the demo drew no page"; exit 1; }
browse() {
    timeout 120 "$chromium" --headless=new --no-sandbox --disable-gpu --no-first-run \
        --disable-background-networking --user-data-dir="$dir/profile" "$@" "file://$page"
}
browse --window-size=1280,2400 --hide-scrollbars --screenshot="$dir/shot.png" \
    --log-net-log="$dir/net.json" >/dev/null 2>&1
browse --dump-dom >"$dir/dom.html" 2>/dev/null

python3 - "$dir" <<'PY'
import json, re, struct, sys, zlib
d = sys.argv[1]
fail = []
# The screenshot: decompressed pixel rows of a blank page are nearly all one value.
png = open(f"{d}/shot.png", "rb").read()
pos, idat = 8, b""
while pos < len(png):
    n, kind = struct.unpack(">I4s", png[pos:pos + 8])
    idat += png[pos + 8:pos + 8 + n] if kind == b"IDAT" else b""
    pos += 12 + n
pixels = zlib.decompress(idat)
if len(set(pixels)) < 16:
    fail.append("the screenshot is blank")
# The DOM: every module of the last sample, and a chart in every section.
dom = open(f"{d}/dom.html", encoding="utf-8").read()
last = json.loads(open(f"{d}/history.jsonl").read().splitlines()[-1])
names = [m["name"] for m in last["modules"]] + [m["module_name"] for m in last["accounted"]]
fail += [f"module {n} is not on the page" for n in names if n not in dom]
for section in ("held", "occupancy", "peaks", "suspects"):
    m = re.search(f'<section id="{section}">(.*?)</section>', dom, re.S)
    if not m or '<svg class="chart"' not in m.group(1):
        fail.append(f"section {section} has no chart")
# The net log: a request the page made carries its (opaque, file) origin.
log = json.load(open(f"{d}/net.json"))
types = {v: k for k, v in log["constants"]["logEventTypes"].items()}
for e in log["events"]:
    p = e.get("params", {})
    if types.get(e["type"]) == "URL_REQUEST_START_JOB" and "url" in p \
            and p.get("initiator") != "not an origin" and not p["url"].startswith("file:"):
        fail.append(f"the page requested {p.get('url')}")
if fail:
    sys.exit("\n".join(fail))
print(f"page renders, names {len(names)} modules, 4 sections with charts, no network")
PY
