#!/usr/bin/env python3
"""Records the same animated 1920x1080 scene with kalto-record and with ffmpeg's x11grab +
libx264 at the same frame rate, preset, bitrate, profile and GOP, and compares them.

Usage: bench/side_by_side.py [--build DIR] [--seconds 20] [--runs 30:veryfast,60:ultrafast]
                             [--camera ID [--camera-args "ARGS"]...]

With --camera the second recording of each run is kalto-record again, with a camera bubble of
that camera (synthetic: needs no hardware), instead of the peer: what the bubble costs. Each
--camera-args adds one such recording with those extra kalto-record arguments, e.g.
  --camera synthetic: --runs 30:veryfast --camera-args "--camera-fps 30"
  --camera-args "--camera-fps 30 --camera-effect blur --camera-performance 1"
compares no bubble, a plain bubble and a blurred one. For a bubble it also reports the CPU of the
camera's frame thread (where the frames are made, processed and handed over): the busiest thread
named after it, and all of them together (a thread takes its creator's name, so pool or decoder
threads the camera thread started count with it).

--camera counted: is a camera whose frames can be told apart in the file: a 640x480 video made
here, looped by the file camera at 30 fps, whose frame n is flat grey level 16 * (n mod 16) + 8.
The bubble's grey in each recorded frame gives the camera frame it showed, so the report counts
the camera frames that reached the file, those that never did (skipped) and recorded frames that
showed the same camera frame as the one before (repeated). A flat picture costs the effects what
any picture does; the file camera decodes it on its frame thread, as the synthetic camera draws.

For each run it reports: CPU seconds per recorded second of the recording process, frames
written, distinct frames (decoded frames that differ from their predecessor), frames the tool
dropped or duplicated (its own count, plus timestamp gaps and repeated pictures in the file),
the file's duration and the process's peak resident memory. Starts its own Xvfb and scene
(stopped by pid) unless --display is given.
"""
import argparse
import shlex
import threading
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
# The bubble where kalto-record puts it by default on a 1080p frame (a square 20% of the height,
# 4% in from the bottom right), given explicitly so its interior can be cut out of the file.
BUBBLE_SIDE, BUBBLE_MARGIN = 0.2 * HEIGHT, 0.04 * HEIGHT
BUBBLE_RECT = ((WIDTH - BUBBLE_SIDE - BUBBLE_MARGIN) / WIDTH, 1 - 0.2 - 0.04, BUBBLE_SIDE / WIDTH, 0.2)
# The camera's frame thread (the synthetic camera's; kalto-cam-file for a file camera).
CAMERA_THREADS = ("kalto-cam-synth", "kalto-cam-file", "v4l2 camera")


class ThreadCpu:
    """Samples a process's threads' CPU seconds from /proc until stopped."""

    def __init__(self, pid):
        self.pid, self.latest, self.done = pid, {}, threading.Event()
        self.tick = os.sysconf("SC_CLK_TCK")
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.wait(0.25):
            try:
                tids = os.listdir(f"/proc/{self.pid}/task")
            except OSError:
                return
            for tid in tids:
                try:
                    with open(f"/proc/{self.pid}/task/{tid}/stat") as f:
                        stat = f.read()
                except OSError:
                    continue
                name = stat[stat.index("(") + 1:stat.rindex(")")]
                fields = stat[stat.rindex(")") + 2:].split()
                self.latest[tid] = (name, (int(fields[11]) + int(fields[12])) / self.tick)

    def stop(self):
        """[(name, cpu_s)], one per thread seen."""
        self.done.set()
        self.thread.join()
        return list(self.latest.values())


def run_measured(argv, env, stdin=subprocess.DEVNULL, stop_after=None, threads=False):
    """Runs argv to completion (SIGINT after stop_after seconds); returns (rc, output, cpu_s), and
    with `threads` the CPU seconds of each thread as a fourth item. The child's own peak resident
    memory (MiB) is left in LAST_PEAK_MIB."""
    global LAST_PEAK_MIB
    proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    sampler = ThreadCpu(proc.pid) if threads else None
    if stop_after is not None:
        time.sleep(stop_after)
        proc.send_signal(signal.SIGINT)
    out = proc.stdout.read()
    # wait4 gives this child's own usage; RUSAGE_CHILDREN's peak would be the largest of all runs.
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    LAST_PEAK_MIB = usage.ru_maxrss / 1024
    if sampler:
        return proc.returncode, out.decode(errors="replace"), cpu, sampler.stop()
    return proc.returncode, out.decode(errors="replace"), cpu


LAST_PEAK_MIB = 0.0


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


COUNTED_PERIOD, COUNTED_STEP = 16, 16


def make_counted_camera(folder):
    """The counting camera's video (a whole number of grey cycles, so the loop keeps counting)."""
    path = os.path.join(folder, "counted.avi")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"nullsrc=s=640x480:r=30,format=gray,geq=lum={COUNTED_STEP}*mod(N\\,{COUNTED_PERIOD})+"
                    f"{COUNTED_STEP // 2}", "-frames:v", str(COUNTED_PERIOD * 10), "-c:v", "mjpeg", "-q:v", "2",
                    "-pix_fmt", "yuvj420p", path], check=True)
    return "file:" + path


def counted_frames(path, fps):
    """Camera frames of the counting camera that reached the file ("shown"), the ones between them
    that never did ("skipped", and those after the first second, "skipped_later"), recorded frames
    that repeated the camera frame before ("repeated"), and recorded frames with no camera frame
    to read ("unreadable": before the bubble's first frame, or a grey between two levels)."""
    x, y, w, h = BUBBLE_RECT
    # The square inside the round bubble, clear of its edge.
    cx, cy, side = (x + w / 2) * WIDTH, (y + h / 2) * HEIGHT, int(BUBBLE_SIDE * 0.65) // 2 * 2
    crop = f"crop={side}:{side}:{int(cx - side / 2) // 2 * 2}:{int(cy - side / 2) // 2 * 2}"
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough", "-vf",
                          f"{crop},scale=1:1:flags=area,format=gray", "-f", "rawvideo", "-"],
                         capture_output=True).stdout
    counts = dict(shown=0, skipped=0, skipped_later=0, repeated=0, unreadable=0)
    before = None
    for index, value in enumerate(raw):
        level = (value - COUNTED_STEP // 2) / COUNTED_STEP
        if abs(level - round(level)) > 0.25:
            counts["unreadable"] += 1
            continue
        level = round(level) % COUNTED_PERIOD
        step = 1 if before is None else (level - before) % COUNTED_PERIOD
        before = level
        counts["repeated"] += step == 0
        counts["shown"] += step > 0
        counts["skipped"] += max(0, step - 1)
        counts["skipped_later"] += max(0, step - 1) if index >= fps else 0
    return counts


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
        "peak_mib": LAST_PEAK_MIB,
    }


def record_kalto(build, display, out, seconds, fps, preset, env, camera=None, camera_args=""):
    argv = [os.path.join(build, "tools", "kalto-record"), "--duration", str(seconds), "--fps", str(fps),
            "--bitrate", str(BITRATE), "--profile", PROFILE, "--quality", str(QUALITY_FOR_PRESET[preset]),
            "--no-mic", "--no-system-audio", "-o", out]  # the peer records no sound either
    if camera:
        argv += ["--camera", camera, "--camera-rect", ",".join(f"{v:.6f}" for v in BUBBLE_RECT)]
        argv += shlex.split(camera_args)
    rc, text, cpu, threads = run_measured(argv, dict(env, DISPLAY=display), threads=True)
    if rc != 0 or (camera and "without the bubble" in text):
        sys.exit(f"kalto-record failed ({rc}):\n{text}")
    m = re.search(r"dropped:\s+(\d+)", text)
    result = analyse("kalto + camera" if camera else "kalto-record", out, cpu, fps, int(m.group(1)) if m else -1, 0)
    if camera:
        result["camera_args"] = camera_args
        camera_threads = [cpu for name, cpu in threads if name in CAMERA_THREADS]
        result["camera_cpu"] = sum(camera_threads)
        result["camera_cpu_max"] = max(camera_threads, default=0.0)
        if camera.startswith("file:") and os.path.basename(camera) == "counted.avi":
            result["counted"] = counted_frames(out, fps)
    return result


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


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


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
    ap.add_argument("--camera", help="compare kalto-record without and with a bubble of this camera "
                    "(counted: for the counting camera)")
    ap.add_argument("--camera-args", action="append",
                    help="extra kalto-record arguments for a bubble recording; repeat for several")
    args = ap.parse_args()
    camera_runs = args.camera_args or [""]

    stack = []
    folder = args.keep or tempfile.mkdtemp(prefix="kalto-side-by-side-")
    os.makedirs(folder, exist_ok=True)
    try:
        display = args.display or start_display(args.build, stack)
        camera = make_counted_camera(folder) if args.camera == "counted:" else args.camera
        env = dict(os.environ, DISPLAY=display)
        results = []
        for run in args.runs.split(","):
            fps, preset = run.split(":")
            fps = int(fps)
            print(f"== {fps} fps, {preset}: {args.seconds} s each (load average {loadavg()})", flush=True)
            group = [record_kalto(args.build, display, os.path.join(folder, f"kalto-{fps}.mp4"), args.seconds, fps,
                                  preset, env)]
            if args.camera:
                for i, extra in enumerate(camera_runs):
                    group.append(record_kalto(args.build, display, os.path.join(folder, f"kalto-camera-{fps}-{i}.mp4"),
                                              args.seconds, fps, preset, env, camera, extra))
            else:
                group.append(record_peer(display, os.path.join(folder, f"peer-{fps}.mp4"), args.seconds, fps, preset,
                                         env))
            results.append((fps, preset, group))
        print()
        print(f"{'run':<14} {'tool':<15} {'CPU s/s':>8} {'frames':>7} {'distinct':>8} {'repeated':>8} "
              f"{'ts gaps':>7} {'drop/dup (own)':>15} {'duration':>8} {'peak MiB':>8}")
        for fps, preset, group in results:
            for r in group:
                print(f"{f'{fps} {preset}':<14} {r['tool']:<15} {r['cpu_per_s']:>8.3f} {r['frames']:>7} "
                      f"{r['distinct']:>8} {r['repeated']:>8} {r['gaps']:>7} "
                      f"{str(r['own_drops']) + '/' + str(r['own_dups']):>15} {r['duration']:>8.2f} "
                      f"{r['peak_mib']:>8.0f}")
        for fps, preset, group in results:
            ours = group[0]
            for other in group[1:]:
                if args.camera:
                    print(f"{fps} fps {preset}, bubble [{other['camera_args']}]: adds "
                          f"{100 * (other['cpu_per_s'] / ours['cpu_per_s'] - 1):+.1f}% CPU per recorded second; "
                          f"camera thread {other['camera_cpu_max'] / other['duration']:.3f} CPU s/s (with the threads "
                          f"named after it {other['camera_cpu'] / other['duration']:.3f})")
                    if "counted" in other:
                        c = other["counted"]
                        print(f"    camera frames in the file: {c['shown']} shown "
                              f"({c['shown'] / other['duration']:.1f}/s), {c['skipped']} skipped "
                              f"({c['skipped_later']} after the first second); recorded frames repeating the "
                              f"camera frame before: {c['repeated']}, without one: {c['unreadable']}")
                else:
                    print(f"{fps} fps {preset}: kalto-record uses "
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
