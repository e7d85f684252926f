#!/usr/bin/env python3
"""End-to-end export benchmark: runs the real vantrel-export-helper several times
on a generated screen-like recording and prints medians.

  bench/export-helper/encode/export_bench.py [--runs N] [--seconds S] [--long] [--long-only]

Measured in one run, so the numbers compare with each other on a noisy machine:
  - styled rendered export with copied audio: totalMs, expectedTargetMs, fps
  - baseline: the same frames rendered without styling (decode + plain
    composite + encode at the same encoder settings), fps; the ratio of the two
  - pass-through export of the same recording: times faster than real time
  - peak RSS of each run
  - with --long: peak RSS of a 30-minute 1080p30 styled export with copied audio
    and of a 10-minute 4K (3840x2160) styled export, one at a time, with the RSS
    sampled every --sample-seconds to show whether it stays flat (sources are
    made first with x264 ultrafast; the two exports take tens of minutes)
Never run by CI.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
HELPER = os.environ.get("VANTREL_HELPER", os.path.join(ROOT, "build", "release", "bin", "vantrel-export-helper"))
FIXTURE = os.path.join(ROOT, "tests", "export-helper", "fixtures", "minimal_manifest.json")
FONT = os.path.join(os.path.dirname(HELPER), "vantrel-export-helper_ExportHelper.bundle", "InterVariable.ttf")


def make_source(path, seconds, size="1920x1080", preset="veryfast"):
    # Drawn at 1080p; other sizes are scaled from it.
    scale = "" if size == "1920x1080" else f",scale={size.replace('x', ':')}"
    vf = (f"drawbox=x=120:y=90:w=1100:h=760:color=0xFFFFFF:t=fill,"
          f"drawbox=x=1300:y=300:w=500:h=620:color=0x1E1E2E:t=fill,"
          f"drawtext=fontfile={FONT}:text='%{{pts\\:hms}}':x=1340:y=340:fontsize=48:fontcolor=0x9CDCFE,"
          f"drawtext=fontfile={FONT}:text='benchmark':x=170+mod(t*120\\,700):y=620:fontsize=44:fontcolor=0x4F46E5"
          f"{scale}")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=c=0xE9ECF2:s=1920x1080:r=30:d={seconds}",
                    "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
                    "-vf", vf, "-c:v", "libx264", "-preset", preset, "-bf", "0", "-g", "60", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "128k", path], check=True)


def manifest(source, seconds, styled, minimal, audio, resolution="1080p"):
    with open(FIXTURE) as f:
        m = json.load(f)
    m["qualityPlan"]["resolution"] = resolution
    vp = m["videoPlan"]
    vp["sourceVideoPath"] = source
    vp["sourceVideoPaths"] = [source]
    vp["durationSeconds"] = seconds
    vp["segments"][0].update({"sourceEndTime": seconds, "outputEndTime": seconds})
    m["qualityPlan"]["compression"] = "minimal" if minimal else "high"
    if styled:
        v = m["scene"]["settings"]["video"]
        v.update({"padding": 64, "borderRadius": 24})
        v["stroke"].update({"enabled": True, "width": 2, "opacity": 35})
        v["shadow"].update({"enabled": True, "opacity": 60, "size": 50})
        m["scene"]["settings"]["background"].update({"type": "gradient", "color": "#4F46E5",
                                                     "secondaryColor": "#EC4899", "gradientAngle": 135})
    if audio:
        m["audioPlan"].update({"includeAudioTrack": True, "sourceAudioPath": source, "sourceAudioPaths": [source],
                               "copySourceAudio": True})
    return m


def run_export(workdir, name, m):
    mpath = os.path.join(workdir, name + ".json")
    with open(mpath, "w") as f:
        json.dump(m, f)
    final = os.path.join(workdir, name + ".mp4")
    start = time.monotonic()
    proc = subprocess.Popen([HELPER, "run", "--job-id", name, "--manifest-path", mpath, "--temp-output-path",
                             os.path.join(workdir, name + ".tmp.mp4"), "--final-output-path", final],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    wall = time.monotonic() - start
    events = [json.loads(line) for line in out.decode().splitlines() if line.strip()]
    if not events or events[-1]["type"] != "completed":
        sys.exit(f"{name}: export failed: {events[-1] if events else err.decode()}")
    report = next(e["performanceReport"] for e in reversed(events) if "performanceReport" in e)
    return report, wall


def peak_rss_mb(cmd):
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss / 1024.0


def sampled_rss(cmd, every, tag):
    """Runs cmd; returns (peak RSS MB from the kernel, [(seconds, RSS MB)] sampled, wall seconds, status).
    Each sample is also printed as it is taken, so a run cut short still shows its curve."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples, next_at = [], every
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            return usage.ru_maxrss / 1024.0, samples, time.monotonic() - start, os.waitstatus_to_exitcode(status)
        now = time.monotonic() - start
        if now >= next_at:
            try:
                with open(f"/proc/{proc.pid}/status") as f:
                    rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
                samples.append((now, rss / 1024.0))
                print(f"{tag}: {now:.0f} s RSS {rss / 1024.0:.0f} MB", flush=True)
            except (OSError, StopIteration):
                pass
            next_at += every
        time.sleep(0.2)


def long_export(d, name, seconds, size, resolution, every):
    src = os.path.join(d, name + "-source.mp4")
    t0 = time.monotonic()
    make_source(src, seconds, size=size, preset="ultrafast")
    print(f"{name}: source {size} {seconds / 60:g} min made in {time.monotonic() - t0:.0f} s", flush=True)
    m = manifest(src, seconds, styled=True, minimal=False, audio=True, resolution=resolution)
    mpath = os.path.join(d, name + ".json")
    with open(mpath, "w") as f:
        json.dump(m, f)
    peak, samples, wall, status = sampled_rss(
        [HELPER, "run", "--job-id", name, "--manifest-path", mpath, "--temp-output-path",
         os.path.join(d, name + ".tmp.mp4"), "--final-output-path", os.path.join(d, name + ".mp4")], every, name)
    for p in (src, os.path.join(d, name + ".mp4")):
        if os.path.exists(p):
            os.remove(p)
    rss = [r for _, r in samples]
    third = max(len(rss) // 3, 1)
    print(f"{name}: status {status}, {wall:.0f} s wall ({seconds / wall:.2f}x real time), peak RSS {peak:.0f} MB;"
          f" sampled RSS median of first third {statistics.median(rss[:third]) if rss else 0:.0f} MB,"
          f" last third {statistics.median(rss[-third:]) if rss else 0:.0f} MB")
    print(f"{name}: RSS every {every:g} s (MB): " + " ".join(f"{r:.0f}" for r in rss), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--long", action="store_true",
                    help="also measure RSS of a 30-minute 1080p and a 10-minute 4K styled export")
    ap.add_argument("--long-only", action="store_true", help="only the --long measurements")
    ap.add_argument("--sample-seconds", type=float, default=30)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantrel-export-bench-") as d:
        if args.long or args.long_only:
            long_export(d, "long-1080p30-30min", 1800, "1920x1080", "1080p", args.sample_seconds)
            long_export(d, "long-4k-10min", 600, "3840x2160", "4k", args.sample_seconds)
        if args.long_only:
            return
        src = os.path.join(d, "source.mp4")
        make_source(src, args.seconds)
        frames = int(args.seconds * 30)
        cases = {
            "styled": manifest(src, args.seconds, styled=True, minimal=False, audio=True),
            "baseline": manifest(src, args.seconds, styled=False, minimal=False, audio=False),
            "passthrough": manifest(src, args.seconds, styled=False, minimal=True, audio=False),
        }
        results = {k: [] for k in cases}
        for _ in range(args.runs):  # interleaved, so load affects every case alike
            for name, m in cases.items():
                results[name].append(run_export(d, name, m))
        med = {k: statistics.median(r[0]["totalMs"] for r in v) for k, v in results.items()}
        enc = {k: statistics.median(r[0]["videoEncodeMs"] for r in v) for k, v in results.items()}
        target = results["styled"][0][0]["expectedTargetMs"]
        print(f"styled 1080p30 export of {args.seconds:g} s with copied audio: totalMs median {med['styled']:.0f}"
              f" (target {target:.0f}, {'met' if med['styled'] <= target else 'missed'}),"
              f" {frames / (enc['styled'] / 1000):.1f} fps")
        print(f"baseline (same frames, no styling, same encoder): {frames / (enc['baseline'] / 1000):.1f} fps;"
              f" styled/baseline fps ratio {enc['baseline'] / enc['styled']:.2f}")
        print(f"pass-through: totalMs median {med['passthrough']:.0f}, "
              f"{args.seconds * 1000 / med['passthrough']:.0f}x real time")
        styled_m = os.path.join(d, "styled.json")
        print(f"peak RSS of one styled export: {peak_rss_mb([HELPER, 'run', '--job-id', 'r', '--manifest-path', styled_m, '--temp-output-path', os.path.join(d, 'r.tmp.mp4'), '--final-output-path', os.path.join(d, 'r.mp4')]):.0f} MB")


if __name__ == "__main__":
    main()
