#!/usr/bin/env python3
"""Times two builds of bench_alloc against each other: runs them interleaved
(A, B, A, B, ...) so that drift on the machine hits both alike, and prints,
per benchmark, the median time of each and B's time over A's.  Used to show
that a change costs nothing, e.g. a commit against its parent:

    git worktree add /tmp/base <commit> && cmake -S /tmp/base -B /tmp/base/build-bench \\
        -DCMAKE_BUILD_TYPE=Release -DAUTO_PLEX_BENCH=ON && cmake --build /tmp/base/build-bench
    bench/compare_builds.py /tmp/base/build-bench build-bench [--reps N] [--filter REGEX]
"""
import argparse
import json
import statistics
import subprocess
from collections import defaultdict


def run(build, pattern):
    out = subprocess.run([f"{build}/bench/bench_alloc", f"--benchmark_filter={pattern}",
                          "--benchmark_format=json"], check=True, capture_output=True, text=True)
    return {b["name"]: b["real_time"] for b in json.loads(out.stdout)["benchmarks"]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--filter", default="/(pmem|auto_plex|statis)/")
    args = ap.parse_args()
    times = {args.a: defaultdict(list), args.b: defaultdict(list)}
    for _ in range(args.reps):
        for build in (args.a, args.b):
            for name, t in run(build, args.filter).items():
                times[build][name].append(t)
    print(f"| benchmark | A ns | B ns | B / A |\n|---|---|---|---|")
    ratios = []
    for name in times[args.a]:
        a, b = (statistics.median(times[x][name]) for x in (args.a, args.b))
        ratios.append(b / a)
        print(f"| {name.replace('/min_time:0.200', '')} | {a:.1f} | {b:.1f} | {b / a:.3f} |")
    print(f"\ngeometric mean B / A: {statistics.geometric_mean(ratios):.3f}; "
          f"range {min(ratios):.3f} .. {max(ratios):.3f}")


if __name__ == "__main__":
    main()
