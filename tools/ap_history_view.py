#!/usr/bin/env python3
"""Turns a history written by ap_history_append into one HTML page.

    tools/ap_history_view.py HISTORY [-o PAGE] [--title TEXT]

Reads HISTORY.1 (the rotated older part, when present) and then HISTORY, one
JSON line per sample, and writes a self-contained page (inline SVG and CSS,
nothing fetched from anywhere): bytes held per module over time, pool
occupancy over time, peaks and refusals, and the growth suspects - modules
whose bytes held rose across most of the samples, with their rate.  Lines
that do not parse (a sample cut short by a crash) are skipped and counted.
"""
import argparse
import html
import json
import os
import sys
from collections import OrderedDict

PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
           "#17becf", "#7f7f7f", "#bcbd22", "#393b79", "#637939", "#843c39", "#7b4173"]


def read_samples(path):
    samples, bad = [], 0
    for name in (path + ".1", path):
        if not os.path.exists(name):
            continue
        with open(name, encoding="utf-8", errors="replace") as f:
            for line in f:
                try:
                    sample = json.loads(line)
                    sample["time_ms"] = int(sample["time_ms"])
                    samples.append(sample)
                except (ValueError, KeyError, TypeError):
                    bad += 1
    samples.sort(key=lambda s: s["time_ms"])
    return samples, bad


def series(samples, key, name_of, value_of):
    """{name: [(seconds, value)]} summed over entries sharing a name."""
    t0 = samples[0]["time_ms"]
    out = OrderedDict()
    for s in samples:
        sums = OrderedDict()
        for e in s.get(key, []):
            n = name_of(e)
            sums[n] = sums.get(n, 0) + value_of(e)
        for n, v in sums.items():
            out.setdefault(n, []).append(((s["time_ms"] - t0) / 1000.0, v))
    return out


def human(v, unit=""):
    for step, suffix in ((1 << 30, " Gi"), (1 << 20, " Mi"), (1 << 10, " Ki")):
        if unit == "B" and abs(v) >= step:
            return f"{v / step:.1f}{suffix}B"
    if unit == "B":
        return f"{v:.0f} B"
    return f"{v:,.0f}"


def chart(title, data, unit="", top=8):
    """An SVG line chart of the `top` series with the largest maximum."""
    data = OrderedDict(sorted(data.items(), key=lambda kv: -max(v for _, v in kv[1]))[:top])
    w, h, left, right, up, down = 900, 280, 80, 210, 20, 36
    xs = [t for pts in data.values() for t, _ in pts] or [0]
    ys = [v for pts in data.values() for _, v in pts] or [0]
    x_max, y_max = max(max(xs), 1e-9), max(max(ys), 1)
    sx = lambda t: left + (w - left - right) * t / x_max
    sy = lambda v: up + (h - up - down) * (1 - v / y_max)
    parts = [f'<svg class="chart" viewBox="0 0 {w} {h}" role="img" '
             f'aria-label="{html.escape(title)}">',
             f'<rect x="{left}" y="{up}" width="{w - left - right}" height="{h - up - down}" '
             'class="plot"/>']
    for k in range(5):
        v = y_max * k / 4
        parts.append(f'<line x1="{left}" x2="{w - right}" y1="{sy(v):.1f}" y2="{sy(v):.1f}" '
                     f'class="grid"/><text x="{left - 6}" y="{sy(v) + 4:.1f}" '
                     f'class="tick" text-anchor="end">{html.escape(human(v, unit))}</text>')
        t = x_max * k / 4
        parts.append(f'<text x="{sx(t):.1f}" y="{h - down + 16}" class="tick" '
                     f'text-anchor="middle">{t:.1f} s</text>')
    for i, (name, pts) in enumerate(data.items()):
        colour = PALETTE[i % len(PALETTE)]
        path = " ".join(f"{sx(t):.1f},{sy(v):.1f}" for t, v in pts)
        parts.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                     'stroke-width="2"/>')
        y = up + 14 + 18 * i
        parts.append(f'<rect x="{w - right + 12}" y="{y - 9}" width="12" height="4" '
                     f'fill="{colour}"/><text x="{w - right + 30}" y="{y - 4}" '
                     f'class="legend">{html.escape(name[:24])}</text>')
    if not data:
        parts.append(f'<text x="{w / 2}" y="{h / 2}" class="tick" text-anchor="middle">'
                     'no data</text>')
    parts.append("</svg>")
    return f"<figure><figcaption>{html.escape(title)}</figcaption>{''.join(parts)}</figure>"


def growth_suspects(held):
    """Modules whose holding rose across most sample pairs, with the rate of
    a least-squares line through their samples."""
    rows = []
    for name, pts in held.items():
        if len(pts) < 3:
            continue
        steps = [b - a for (_, a), (_, b) in zip(pts, pts[1:])]
        rising = sum(1 for d in steps if d > 0) / len(steps)
        n = len(pts)
        mt, mv = sum(t for t, _ in pts) / n, sum(v for _, v in pts) / n
        var = sum((t - mt) ** 2 for t, _ in pts)
        rate = sum((t - mt) * (v - mv) for t, v in pts) / var if var else 0.0
        if rising >= 0.6 and pts[-1][1] > pts[0][1] and rate > 0:
            rows.append((rate, name, pts[0][1], pts[-1][1], rising))
    rows.sort(reverse=True)
    return rows


def table(headers, rows):
    head = "".join(f"<th>{html.escape(h)}</th>" for h in headers)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in r) + "</tr>"
                   for r in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def page(samples, bad, title):
    pmem_held = series(samples, "modules", lambda e: e["name"], lambda e: e["live_bytes"])
    acct_held = series(samples, "accounted", lambda e: e["module_name"] or "(null)",
                       lambda e: e["mem_alloced"])
    plex_use = series(samples, "plexes", lambda e: e["module_name"] or "(null)",
                      lambda e: e["using_num"])
    pool_live = series(samples, "pools", lambda e: e["name"], lambda e: e["live_count"])
    refusals = series(samples, "accounted", lambda e: e["module_name"] or "(null)",
                      lambda e: e["over_limit_failed"])
    last = samples[-1]
    held = OrderedDict(list((f"pmem: {k}", v) for k, v in pmem_held.items()) +
                       list((f"accounted: {k}", v) for k, v in acct_held.items()))

    peak_rows = []
    for m in last.get("modules", []):
        peak_rows.append((f"pmem: {m['name']}", human(m["live_bytes"], "B"),
                          human(m["peak_live_bytes"], "B"), "-", m["fail_count"]))
    for m in last.get("accounted", []):
        limit = human(m["limit"], "B") if m["limit"] else "none"
        peak_rows.append((f"accounted: {m['module_name']}", human(m["mem_alloced"], "B"),
                          human(m["peak_mem_alloced"], "B"), limit, m["over_limit_failed"]))
    for p in last.get("plexes", []):
        peak_rows.append((f"plex: {p['module_name']}", f"{p['using_num']:,} slots",
                          f"{p['peak_using_num']:,} slots", "-", p["alloc_failed"]))

    suspects = [(name, human(first, "B"), human(lastv, "B"), f"{human(rate * 3600, 'B')}/h",
                 f"{rising:.0%}")
                for rate, name, first, lastv, rising in growth_suspects(held)]
    span = (samples[-1]["time_ms"] - samples[0]["time_ms"]) / 1000.0
    notes = f"{len(samples)} samples over {span:.1f} s, process {last.get('pid', '?')}"
    if bad:
        notes += f"; {bad} unreadable line(s) skipped"

    sections = [
        ("held", "Bytes held per module",
         chart("pmem modules: live bytes", pmem_held, "B") +
         chart("accounted modules: bytes held", acct_held, "B")),
        ("occupancy", "Pool occupancy",
         chart("plexes: slots in use", plex_use) +
         chart("pmem pools: live allocations", pool_live)),
        ("peaks", "Peaks and refusals",
         chart("accounted modules: refusals by their ceiling (cumulative)", refusals) +
         table(["module", "now", "peak", "limit", "refusals / failures"], peak_rows)),
        ("suspects", "Growth suspects",
         "<p>Modules whose bytes held rose between at least 60 % of consecutive samples "
         "and ended above where they started; the rate is a least-squares line through "
         "their samples.</p>" +
         (table(["module", "first", "last", "rate", "rising steps"], suspects) if suspects
          else "<p class=\"none\">None: no module grew across most samples.</p>") +
         chart("growth suspects: bytes held", OrderedDict(
             (name, held[name]) for name, *_ in suspects)
             if suspects else OrderedDict(), "B")),
    ]
    body = "".join(f'<section id="{sid}"><h2>{html.escape(head)}</h2>{content}</section>'
                   for sid, head, content in sections)
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>
body {{ font: 15px/1.45 system-ui, sans-serif; margin: 0; background: #f6f7f9; color: #1d2430; }}
main {{ max-width: 1100px; margin: 0 auto; padding: 16px 24px 48px; }}
h1 {{ font-size: 22px; margin: 8px 0 2px; }} h2 {{ font-size: 18px; margin: 28px 0 8px; }}
.notes {{ color: #5a6472; margin: 0 0 8px; }}
section {{ background: #fff; border: 1px solid #dde1e6; border-radius: 8px; padding: 4px 16px 12px;
          margin-top: 16px; }}
figure {{ margin: 8px 0 12px; }} figcaption {{ font-weight: 600; margin-bottom: 4px; }}
svg.chart {{ width: 100%; height: auto; display: block; }}
.plot {{ fill: #fbfcfd; stroke: #c9ced6; }} .grid {{ stroke: #e6e9ed; }}
.tick {{ font-size: 12px; fill: #5a6472; }} .legend {{ font-size: 13px; fill: #1d2430; }}
table {{ border-collapse: collapse; width: 100%; font-size: 14px; margin: 8px 0; }}
th, td {{ text-align: left; padding: 4px 10px; border-bottom: 1px solid #e6e9ed; }}
th {{ background: #f0f2f5; }} .none {{ color: #2c7a3d; }}
</style></head>
<body><main>
<h1>{html.escape(title)}</h1>
<p class="notes">{html.escape(notes)}</p>
{body}
</main></body></html>
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("history")
    ap.add_argument("-o", "--output", help="the page (default: HISTORY with .html)")
    ap.add_argument("--title", default="libauto_plex: where the memory went")
    args = ap.parse_args()
    samples, bad = read_samples(args.history)
    if not samples:
        print(f"{args.history}: no readable samples", file=sys.stderr)
        return 1
    out = args.output or os.path.splitext(args.history)[0] + ".html"
    with open(out, "w", encoding="utf-8") as f:
        f.write(page(samples, bad, args.title))
    print(f"{out}: {len(samples)} samples")
    return 0


if __name__ == "__main__":
    sys.exit(main())
