#!/usr/bin/env python3
"""End-to-end export benchmark: runs the real vantrel-export-helper several times
on a generated screen-like recording and prints medians.

  bench/export-helper/encode/export_bench.py [--runs N] [--seconds S] [--long]

Measured in one run, so the numbers compare with each other on a noisy machine:
  - styled rendered export with copied audio: totalMs, expectedTargetMs, fps
  - baseline: the same frames rendered without styling (decode + plain
    composite + encode at the same encoder settings), fps; the ratio of the two
  - pass-through export of the same recording: times faster than real time
  - peak RSS of each run (and, with --long, of a 10-minute 1080p export)
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
FONT = os.path.join(ROOT, "build", "release", "bin", "vantrel-export-helper_ExportHelper.bundle", "InterVariable.ttf")


def make_source(path, seconds):
    vf = (f"drawbox=x=120:y=90:w=1100:h=760:color=0xFFFFFF:t=fill,"
          f"drawbox=x=1300:y=300:w=500:h=620:color=0x1E1E2E:t=fill,"
          f"drawtext=fontfile={FONT}:text='%{{pts\\:hms}}':x=1340:y=340:fontsize=48:fontcolor=0x9CDCFE,"
          f"drawtext=fontfile={FONT}:text='benchmark':x=170+mod(t*120\\,700):y=620:fontsize=44:fontcolor=0x4F46E5")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=c=0xE9ECF2:s=1920x1080:r=30:d={seconds}",
                    "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
                    "-vf", vf, "-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", "60", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "128k", path], check=True)


def manifest(source, seconds, styled, minimal, audio):
    with open(FIXTURE) as f:
        m = json.load(f)
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--long", action="store_true", help="also measure peak RSS of a 10-minute export")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantrel-export-bench-") as d:
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
        if args.long:
            long_src = os.path.join(d, "long.mp4")
            make_source(long_src, 600)
            m = manifest(long_src, 600, styled=True, minimal=False, audio=True)
            with open(os.path.join(d, "long.json"), "w") as f:
                json.dump(m, f)
            rss = peak_rss_mb([HELPER, "run", "--job-id", "l", "--manifest-path", os.path.join(d, "long.json"),
                               "--temp-output-path", os.path.join(d, "l.tmp.mp4"), "--final-output-path",
                               os.path.join(d, "l.mp4")])
            print(f"peak RSS of a 10-minute styled 1080p export: {rss:.0f} MB")


if __name__ == "__main__":
    main()
