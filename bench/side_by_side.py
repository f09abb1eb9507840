#!/usr/bin/env python3
"""Records the same animated 1920x1080 scene with kalto-record and with ffmpeg's x11grab +
libx264 at the same frame rate, preset, bitrate, profile and GOP, and compares them.

Usage: bench/side_by_side.py [--build DIR] [--seconds 20] [--runs 30:veryfast,60:ultrafast]
                             [--camera ID]

With --camera the second recording of each run is kalto-record again, with a camera bubble of
that camera (synthetic: needs no hardware), instead of the peer: what the bubble costs.

For each run it reports: CPU seconds per recorded second of the recording process, frames
written, distinct frames (decoded frames that differ from their predecessor), frames the tool
dropped or duplicated (its own count, plus timestamp gaps and repeated pictures in the file),
and the file's duration. Starts its own Xvfb and scene (stopped by pid) unless --display is given.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIDTH, HEIGHT = 1920, 1080
BITRATE = 4_000_000
PROFILE = "main"
# kalto-record's --quality picks the x264 preset: 0 -> ultrafast, 50 -> veryfast.
QUALITY_FOR_PRESET = {"ultrafast": 0, "veryfast": 50}


def run_measured(argv, env, stdin=subprocess.DEVNULL, stop_after=None):
    """Runs argv to completion (SIGINT after stop_after seconds); returns (rc, output, cpu_s)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if stop_after is not None:
        time.sleep(stop_after)
        proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return proc.returncode, out.decode(errors="replace"), cpu


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "format=duration", "-of", "csv=p=0", path], capture_output=True, text=True).stdout
    duration = float(out.strip() or 0)
    times = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=pts_time", "-of", "csv=p=0", path], capture_output=True, text=True).stdout
    pts = sorted(float(t) for t in times.split() if t and t != "N/A")
    return duration, pts


def distinct_frames(path):
    """Frames whose decoded picture differs from the one before (exact, by frame hash)."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-"],
                         capture_output=True, text=True).stdout
    hashes = [line.split(",")[-1].strip() for line in out.splitlines() if line and not line.startswith("#")]
    distinct = sum(1 for i, h in enumerate(hashes) if i == 0 or h != hashes[i - 1])
    return len(hashes), distinct


def timestamp_gaps(pts, fps):
    """Frame slots missing between consecutive timestamps (a gap of two frame times = one)."""
    step = 1.0 / fps
    return sum(max(0, round((b - a) / step) - 1) for a, b in zip(pts, pts[1:]))


def analyse(name, path, cpu, fps, own_drops, own_dups):
    duration, pts = probe(path)
    decoded, distinct = distinct_frames(path)
    return {
        "tool": name, "cpu_per_s": cpu / duration if duration else float("nan"), "cpu_s": cpu,
        "frames": len(pts), "distinct": distinct, "repeated": decoded - distinct,
        "gaps": timestamp_gaps(pts, fps), "own_drops": own_drops, "own_dups": own_dups, "duration": duration,
    }


def record_kalto(build, display, out, seconds, fps, preset, env, camera=None):
    argv = [os.path.join(build, "tools", "kalto-record"), "--duration", str(seconds), "--fps", str(fps),
            "--bitrate", str(BITRATE), "--profile", PROFILE, "--quality", str(QUALITY_FOR_PRESET[preset]),
            "--no-mic", "--no-system-audio", "-o", out]  # the peer records no sound either
    if camera:
        argv += ["--camera", camera]
    rc, text, cpu = run_measured(argv, dict(env, DISPLAY=display))
    if rc != 0 or (camera and "without the bubble" in text):
        sys.exit(f"kalto-record failed ({rc}):\n{text}")
    m = re.search(r"dropped:\s+(\d+)", text)
    return analyse("kalto + camera" if camera else "kalto-record", out, cpu, fps, int(m.group(1)) if m else -1, 0)


def record_peer(display, out, seconds, fps, preset, env):
    argv = ["ffmpeg", "-hide_banner", "-y", "-f", "x11grab", "-framerate", str(fps), "-video_size",
            f"{WIDTH}x{HEIGHT}", "-i", display, "-t", str(seconds), "-c:v", "libx264", "-preset", preset,
            "-profile:v", PROFILE, "-b:v", str(BITRATE), "-maxrate", str(BITRATE * 3 // 2), "-bufsize",
            str(BITRATE * 2), "-g", str(fps), "-bf", "0", "-pix_fmt", "yuv420p", out]
    rc, text, cpu = run_measured(argv, env)
    if rc != 0:
        sys.exit(f"ffmpeg failed ({rc}):\n{text[-2000:]}")
    drops = re.findall(r"drop=\s*(\d+)", text)
    dups = re.findall(r"dup=\s*(\d+)", text)
    return analyse("ffmpeg x11grab", out, cpu, fps, int(drops[-1]) if drops else 0, int(dups[-1]) if dups else 0)


def start_display(build, stack):
    for n in range(90, 140):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            break
    display = f":{n}"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stack.append(xvfb)
    for _ in range(100):
        if subprocess.run(["xdpyinfo"], env=dict(os.environ, DISPLAY=display), capture_output=True).returncode == 0 \
                if shutil.which("xdpyinfo") else os.path.exists(f"/tmp/.X11-unix/X{n}"):
            break
        time.sleep(0.05)
    scene = subprocess.Popen([os.path.join(build, "tools", "kalto-scene")], env=dict(os.environ, DISPLAY=display))
    stack.append(scene)
    time.sleep(1.0)
    return display


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--runs", default="30:veryfast,60:ultrafast")
    ap.add_argument("--display", help="record this display instead of a private Xvfb with the scene")
    ap.add_argument("--keep", help="folder to keep the recordings in")
    ap.add_argument("--camera", help="compare kalto-record without and with a bubble of this camera")
    args = ap.parse_args()

    stack = []
    folder = args.keep or tempfile.mkdtemp(prefix="kalto-side-by-side-")
    os.makedirs(folder, exist_ok=True)
    try:
        display = args.display or start_display(args.build, stack)
        env = dict(os.environ, DISPLAY=display)
        results = []
        for run in args.runs.split(","):
            fps, preset = run.split(":")
            fps = int(fps)
            print(f"== {fps} fps, {preset}: {args.seconds} s each", flush=True)
            results.append((fps, preset, record_kalto(args.build, display, os.path.join(folder, f"kalto-{fps}.mp4"),
                                                      args.seconds, fps, preset, env)))
            if args.camera:
                results.append((fps, preset, record_kalto(args.build, display,
                                                          os.path.join(folder, f"kalto-camera-{fps}.mp4"),
                                                          args.seconds, fps, preset, env, args.camera)))
            else:
                results.append((fps, preset, record_peer(display, os.path.join(folder, f"peer-{fps}.mp4"),
                                                         args.seconds, fps, preset, env)))
        print()
        print(f"{'run':<14} {'tool':<15} {'CPU s/s':>8} {'frames':>7} {'distinct':>8} {'repeated':>8} "
              f"{'ts gaps':>7} {'drop/dup (own)':>15} {'duration':>8}")
        for fps, preset, r in results:
            print(f"{f'{fps} {preset}':<14} {r['tool']:<15} {r['cpu_per_s']:>8.3f} {r['frames']:>7} "
                  f"{r['distinct']:>8} {r['repeated']:>8} {r['gaps']:>7} "
                  f"{str(r['own_drops']) + '/' + str(r['own_dups']):>15} {r['duration']:>8.2f}")
        for i in range(0, len(results), 2):
            ours, other = results[i][2], results[i + 1][2]
            if args.camera:
                print(f"{results[i][0]} fps {results[i][1]}: the bubble adds "
                      f"{100 * (other['cpu_per_s'] / ours['cpu_per_s'] - 1):+.1f}% CPU per recorded second")
            else:
                print(f"{results[i][0]} fps {results[i][1]}: kalto-record uses "
                      f"{ours['cpu_per_s'] / other['cpu_per_s']:.2f}x the peer's CPU per recorded second")
    finally:
        for proc in reversed(stack):
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
