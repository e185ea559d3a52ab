#!/usr/bin/env python3
"""Cost of the high-water marks on the allocation paths.

Builds bench_alloc twice, from this tree and from a baseline, runs the two
binaries in alternation (so drift on the machine hits both alike) and prints
the median ns per operation of each benchmark and the difference.

Baselines:
  strip  this tree with the calls that update the peaks deleted (the lines
         marked "[peaks]" that call note_peak*): isolates their cost exactly
  head   the committed HEAD (git archive), i.e. the library before the peaks

    bench/peak_cost.py [--base strip|head] [--reps N] [--filter REGEX]

The malloc rows are the system allocator in the same binaries: they move only
with machine noise and show how large that noise is.
"""
import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB = "src/so/libauto_plex"


def sh(cmd, **kw):
    print("+", " ".join(cmd), file=sys.stderr)
    subprocess.run(cmd, check=True, **kw)


def make_base(kind, work):
    src = os.path.join(work, "src")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(src)
    if kind == "head":
        archive = subprocess.run(["git", "-C", ROOT, "archive", "HEAD"], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        return src
    for name in os.listdir(ROOT):
        if name.startswith("build") or name == ".git":
            continue
        path = os.path.join(ROOT, name)
        (shutil.copytree if os.path.isdir(path) else shutil.copy2)(path, os.path.join(src, name))
    removed = 0
    for path in glob.glob(os.path.join(src, LIB, "*.cpp")):
        with open(path) as f:
            lines = f.readlines()
        kept = [l for l in lines if not ("note_peak" in l and "[peaks]" in l)]
        removed += len(lines) - len(kept)
        with open(path, "w") as f:
            f.writelines(kept)
    if removed == 0:
        sys.exit("no peak updates found to strip")
    print(f"stripped {removed} peak updates", file=sys.stderr)
    return src


def build(src, build_dir):
    # The stripped helpers are left unused; that is all the extra flag allows.
    sh(["cmake", "-S", src, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DAUTO_PLEX_BENCH=ON",
        "-DAUTO_PLEX_TESTS=OFF", "-DAUTO_PLEX_EXAMPLES=OFF", "-DCMAKE_CXX_FLAGS=-Wno-unused-function"],
       stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", build_dir, "-j", str(os.cpu_count()), "--target", "bench_alloc"],
       stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bench", "bench_alloc")


def run_once(binary, bench_filter):
    out = subprocess.run([binary, f"--benchmark_filter={bench_filter}", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    return {b["name"]: b["real_time"] / 2 for b in json.loads(out)["benchmarks"]}  # 2 ops/iter


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", choices=["strip", "head"], default="strip")
    ap.add_argument("--reps", type=int, default=10)
    ap.add_argument("--filter", default="churn/(pmem|auto_plex|statis|malloc)/1000/")
    ap.add_argument("--work", default="/tmp/ap_peak_cost")
    args = ap.parse_args()

    base_src = make_base(args.base, os.path.join(args.work, args.base))
    binaries = {
        "base": build(base_src, os.path.join(args.work, args.base, "build")),
        "peaks": build(ROOT, os.path.join(args.work, "build-peaks")),
    }
    times = {k: {} for k in binaries}
    for r in range(args.reps):
        for k, binary in binaries.items():
            for name, ns in run_once(binary, args.filter).items():
                times[k].setdefault(name, []).append(ns)
        print(f"repetition {r + 1}/{args.reps}", file=sys.stderr)

    print(f"baseline: {args.base}; median of {args.reps} alternating runs; ns per operation")
    print(f"| benchmark | baseline | with peaks | difference |")
    print(f"|---|---|---|---|")
    for name in times["base"]:
        b = statistics.median(times["base"][name])
        p = statistics.median(times["peaks"][name])
        print(f"| {name} | {b:.2f} | {p:.2f} | {p - b:+.2f} ns ({(p / b - 1) * 100:+.1f}%) |")


if __name__ == "__main__":
    main()
