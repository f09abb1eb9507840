#!/usr/bin/env python3
"""CPU cost of kalto-record's audio threads per recorded second.

Starts a private PulseAudio daemon (null sink as the default output, a virtual microphone) and
a small Xvfb, plays a tone into the output and speech-like noise into the microphone, records
for --seconds with each microphone mode, and reports the CPU seconds per recorded second of the
audio capture thread, the mixing thread, libpulse's threads and the whole process.
Everything it starts is stopped by pid.

Usage: bench/audio_threads.py [--build DIR] [--seconds 20]
"""
import argparse
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")

SERVER_SCRIPT = """load-module module-native-protocol-unix auth-anonymous=1 socket={runtime}/native
load-module module-null-sink sink_name=kalto_speakers format=float32le rate=48000 channels=2 norewinds=1
load-module module-null-sink sink_name=kalto_mic_feed format=s16le rate=48000 channels=1 norewinds=1
load-module module-remap-source master=kalto_mic_feed.monitor source_name=kalto_mic
set-default-sink kalto_speakers
set-default-source kalto_mic
"""


def write_raw(path, seconds, channels, sample):
    rate = 48000
    with open(path, "wb") as f:
        block = bytearray()
        for i in range(int(seconds * rate)):
            v = max(-32768, min(32767, int(sample(i / rate) * 32767)))
            block += v.to_bytes(2, "little", signed=True) * channels
            if len(block) > 1 << 20:
                f.write(block)
                block = bytearray()
        f.write(block)


def thread_times(pid):
    """{tid: (name, cpu seconds)} of a running process."""
    out = {}
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/comm") as f:
                    name = f.read().strip()
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                out[tid] = (name, (int(fields[11]) + int(fields[12])) / TICK)
            except (FileNotFoundError, ProcessLookupError, IndexError):
                pass
    except FileNotFoundError:
        pass
    return out


def record(build, env, seconds, mode, folder):
    out = os.path.join(folder, f"audio-{mode}.mp4")
    argv = [os.path.join(build, "tools", "kalto-record"), "--duration", str(seconds), "--mic-mode", mode, "-o", out]
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = {}
    while proc.poll() is None:
        seen.update(thread_times(proc.pid))  # threads that end keep their last reading
        time.sleep(0.25)
    _, err = proc.communicate()
    if proc.returncode != 0:
        sys.exit(f"kalto-record failed: {err.decode(errors='replace')[-2000:]}")
    groups = {}
    for name, cpu in seen.values():
        key = name if name.startswith("kalto-audio") else ("libpulse" if "threaded-ml" in name or "pulse" in name
                                                          else "other")
        groups[key] = groups.get(key, 0.0) + cpu
    return groups


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--seconds", type=int, default=20)
    args = ap.parse_args()

    folder = tempfile.mkdtemp(prefix="kalto-audio-bench-")
    runtime = os.path.join(folder, "runtime")
    os.makedirs(runtime, mode=0o700)
    with open(os.path.join(folder, "server.pa"), "w") as f:
        f.write(SERVER_SCRIPT.format(runtime=runtime))
    env = dict(os.environ, HOME=folder, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=folder, PULSE_RUNTIME_PATH=runtime,
               PULSE_SERVER=f"unix:{runtime}/native")
    procs = []
    try:
        procs.append(subprocess.Popen(["pulseaudio", "-n", "-F", os.path.join(folder, "server.pa"), "--daemonize=no",
                                       "--exit-idle-time=-1", "--realtime=no", "--high-priority=no"], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        n = next(n for n in range(150, 200) if not os.path.exists(f"/tmp/.X11-unix/X{n}"))
        env["DISPLAY"] = f":{n}"
        procs.append(subprocess.Popen(["Xvfb", env["DISPLAY"], "-screen", "0", "320x240x24", "-nolisten", "tcp"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1.0)
        length = args.seconds * 2 + 10
        rng = random.Random(1)
        write_raw(os.path.join(folder, "tone.raw"), length, 2, lambda t: 0.3 * math.sin(2 * math.pi * 440 * t))
        # Speech-like: a 180 Hz harmonic voice switched on and off at a syllable rate, over noise.
        write_raw(os.path.join(folder, "mic.raw"), length, 1,
                  lambda t: 0.02 * rng.uniform(-1, 1) + (0.2 if math.sin(2 * math.pi * 4 * t) > 0 else 0.0) *
                  sum(math.sin(2 * math.pi * 180 * k * t) / k for k in range(1, 6)))
        for sink, raw, channels in (("kalto_speakers", "tone.raw", 2), ("kalto_mic_feed", "mic.raw", 1)):
            procs.append(subprocess.Popen(["pacat", "--raw", "--format=s16le", "--rate=48000",
                                           f"--channels={channels}", "-d", sink, os.path.join(folder, raw)],
                                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        print(f"{'mic mode':<10} {'audio-in':>9} {'audio-mix':>9} {'libpulse':>9} {'process':>9}   (CPU s per recorded s)")
        for mode in ("raw", "denoise"):
            g = record(args.build, env, args.seconds, mode, folder)
            total = sum(g.values())
            print(f"{mode:<10} {g.get('kalto-audio-in', 0) / args.seconds:>9.4f} "
                  f"{g.get('kalto-audio-mix', 0) / args.seconds:>9.4f} {g.get('libpulse', 0) / args.seconds:>9.4f} "
                  f"{total / args.seconds:>9.4f}")
    finally:
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
