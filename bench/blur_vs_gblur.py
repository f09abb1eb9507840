#!/usr/bin/python3
"""Our model-less camera blur against FFmpeg's gblur at the same sigma, on the same frame.

Usage: bench/blur_vs_gblur.py [--build DIR] [--frames 300] [--runs 3] [--sizes 640x480,1280x720]
                              [--strengths 0,1,2]

Our blur's sigma equals its radius (strength 0 -> 8, 1 -> 15, 2 -> 25). For each size and strength
it runs `ffmpeg -benchmark` over N copies of the synthetic camera's picture (written by
bench_effects --write-frame) through format=gbrap,gblur=sigma=S, so all four channels are blurred
as ours are, and again without gblur; the difference is gblur's share. Ours is bench_effects'
BM_BlurOnly (two passes and the channel swap). Both on the pool / FFmpeg's own filter threads, and
both on one thread (serial rows / -filter_threads 1). Reports wall and CPU time per frame (medians
of --runs) and the load average before and after. Goal: ours at least 2x faster.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIGMA = {0: 8, 1: 15, 2: 25}


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def ffmpeg_once(frame, size, frames, vf, threads):
    """(cpu_s, wall_s) that ffmpeg -benchmark reports for the whole run."""
    argv = ["ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-f", "rawvideo", "-pix_fmt", "bgra", "-s", size,
            "-stream_loop", str(frames - 1), "-i", frame, "-vf", vf, "-f", "null", "-"]
    if threads is not None:
        argv[1:1] = ["-filter_threads", str(threads)]
    out = subprocess.run(argv, capture_output=True, text=True)
    m = re.search(r"bench: utime=([\d.]+)s stime=([\d.]+)s rtime=([\d.]+)s", out.stderr)
    decoded = re.findall(r"frame=\s*(\d+)", out.stderr)
    if out.returncode != 0 or not m:
        sys.exit(f"ffmpeg failed ({out.returncode}):\n{out.stderr[-2000:]}")
    if decoded and int(decoded[-1]) != frames:
        sys.exit(f"ffmpeg went through {decoded[-1]} frames, not {frames}")
    return float(m.group(1)) + float(m.group(2)), float(m.group(3))


def gblur_per_frame(frame, size, frames, sigma, threads, runs):
    """gblur's own (cpu_ms, wall_ms) per frame: the run with it less the run without, medians."""
    cpu, wall = [], []
    for _ in range(runs):
        base = ffmpeg_once(frame, size, frames, "format=gbrap", threads)
        blur = ffmpeg_once(frame, size, frames, f"format=gbrap,gblur=sigma={sigma}", threads)
        cpu.append((blur[0] - base[0]) * 1000 / frames)
        wall.append((blur[1] - base[1]) * 1000 / frames)
    return statistics.median(cpu), statistics.median(wall)


def ours_per_frame(bench, size, strength, mode, runs):
    """(cpu_ms, wall_ms) of bench_effects' BM_BlurOnly case, medians."""
    out = subprocess.run([bench, f"--benchmark_filter=BM_BlurOnly/{size}/strength:{strength}/{mode}/",
                          "--benchmark_format=json",
                          f"--benchmark_repetitions={runs}", "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"bench_effects failed ({out.returncode}):\n{out.stderr[-2000:]}")
    found = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("error_occurred"):
            sys.exit(f"{b['name']}: {b.get('error_message')}")
        scale = {"ms": 1, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
        # One repetition has no aggregates: the run itself is the median.
        found[b.get("aggregate_name", "run")] = (b["cpu_time"] * scale, b["real_time"] * scale)
    if not found:
        sys.exit(f"bench_effects has no BM_BlurOnly/{size}/strength:{strength}/{mode}")
    return found.get("median", found.get("run"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sizes", default="640x480,1280x720")
    ap.add_argument("--strengths", default="0,1,2")
    args = ap.parse_args()
    bench = os.path.join(args.build, "bench", "bench_effects")
    sizes = args.sizes.split(",")
    strengths = [int(s) for s in args.strengths.split(",")]

    print(f"load average before: {loadavg()}", flush=True)
    rows = []
    with tempfile.TemporaryDirectory(prefix="kalto-gblur-") as folder:
        for size in sizes:
            frame = os.path.join(folder, f"{size}.bgra")
            subprocess.run([bench, "--write-frame", size, frame], check=True)
            for strength in strengths:
                # Each pair back to back, so a load that comes and goes hits both alike.
                for threads, mode in ((None, "pool"), (1, "serial")):
                    ours = ours_per_frame(bench, size, strength, mode, args.runs)
                    theirs = gblur_per_frame(frame, size, args.frames, SIGMA[strength], threads, args.runs)
                    rows.append((size, strength, mode, theirs, ours, loadavg().split()[0]))
    print(f"load average after:  {loadavg()}")
    print()
    print("per frame, ms (medians); ratio = gblur / ours (goal >= 2)")
    print(f"{'size':<9} {'str':>3} {'sigma':>5} {'threads':<13} {'gblur CPU':>9} {'gblur wall':>10} "
          f"{'ours CPU':>8} {'ours wall':>9} {'CPU ratio':>9} {'wall ratio':>10} {'load 1m':>7}")
    for size, strength, mode, (tc, tw), (oc, ow), load in rows:
        threads = "pool/default" if mode == "pool" else "one"
        print(f"{size:<9} {strength:>3} {SIGMA[strength]:>5} {threads:<13} {tc:>9.3f} {tw:>10.3f} "
              f"{oc:>8.3f} {ow:>9.3f} {tc / oc:>9.2f} {tw / ow:>10.2f} {load:>7}")


if __name__ == "__main__":
    main()
