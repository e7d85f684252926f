#!/usr/bin/env python3
"""Smart cut benchmark: a plain 1080p30 recording (libx264 from the ffmpeg command
line, a key frame every 2 s, B-frames) with five edits whose cuts all miss the
key frames, exported by the real vantrel-export-helper on the pass-through path:

  - smart cut (copies whole GOPs, re-encodes from each cut to the next key frame)
  - the full re-encode the same manifest took before (VANTREL_SMART_CUT=off)

Both are measured in the same run; the script prints the medians, the times
faster than real time (output duration / wall time) and their ratio, and checks
that the smart-cut output decodes without errors.

  bench/export-helper/encode/smart_cut_bench.py [--minutes 10] [--runs 3] [--reencode-runs 1]
      [--helper PATH] [--keep DIR]

Never run by CI (the full re-encode of 10 minutes of 1080p takes minutes).
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
FIXTURE = os.path.join(ROOT, "tests", "export-helper", "fixtures", "minimal_manifest.json")


def default_helper():
    for name in ("release", "smartcut"):
        path = os.path.join(ROOT, "build", name, "bin", "vantrel-export-helper")
        if os.path.exists(path):
            return path
    return os.path.join(ROOT, "build", "release", "bin", "vantrel-export-helper")


def make_source(path, seconds):
    # Screen-like: a flat desktop, two windows, a moving block and a ticking
    # counter, so every GOP changes a little and none is static.
    vf = ("drawbox=x=120:y=90:w=1100:h=760:color=0xFFFFFF:t=fill,"
          "drawbox=x=1300:y=300:w=500:h=620:color=0x1E1E2E:t=fill,"
          "drawbox=x='200+mod(t*90\\,800)':y=400:w=160:h=90:color=0x4F46E5:t=fill,"
          "drawbox=x=1340:y='340+mod(t*30\\,500)':w=420:h=24:color=0x9CDCFE:t=fill")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"color=c=0xE9ECF2:s=1920x1080:r=30:d={seconds}", "-vf", vf,
                    "-c:v", "libx264", "-preset", "veryfast", "-g", "60", "-keyint_min", "60",
                    "-pix_fmt", "yuv420p", path + ".part.mp4"], check=True)
    os.replace(path + ".part.mp4", path)


def edits(seconds):
    # Five edits; every start and end falls between key frames (which sit on
    # even seconds), the last one short of the end.
    step = seconds / 5
    out = []
    for i in range(5):
        start = i * step + 1.3 + 0.15 * i
        end = (i + 1) * step - 3.7 - 0.13 * i
        out.append((round(start, 3), round(end, 3)))
    return out


def manifest(source, cuts):
    with open(FIXTURE) as f:
        m = json.load(f)
    m["qualityPlan"]["resolution"] = "1080p"
    m["qualityPlan"]["compression"] = "minimal"
    vp = m["videoPlan"]
    vp["sourceVideoPath"] = source
    vp["sourceVideoPaths"] = [source]
    segments, at = [], 0.0
    for i, (a, b) in enumerate(cuts):
        segments.append({"segmentId": f"s{i}", "sourceIndex": 0, "sourceStartTime": a, "sourceEndTime": b,
                         "outputStartTime": at, "outputEndTime": at + b - a, "speed": 1})
        at += b - a
    vp["segments"] = segments
    vp["durationSeconds"] = at
    return m, at


def count_frames(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                        "stream=nb_read_frames", "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    return int(r.stdout.strip())


def expected_frames(source, cuts):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                        "-of", "csv=p=0", source], capture_output=True, text=True, check=True)
    times = [float(t) for t in r.stdout.split()]
    return sum(1 for t in times for a, b in cuts if a <= t < b)


def run_export(helper, manifest_path, work, env_extra):
    env = dict(os.environ, **env_extra)
    out = os.path.join(work, "out.mp4")
    t0 = time.monotonic()
    r = subprocess.run([helper, "run", "--job-id", "bench", "--manifest-path", manifest_path,
                        "--temp-output-path", os.path.join(work, "scratch", "out.tmp.mp4"),
                        "--final-output-path", out], capture_output=True, text=True, env=env)
    wall = time.monotonic() - t0
    if r.returncode != 0:
        sys.exit(f"export failed: {r.stdout[-2000:]} {r.stderr[-2000:]}")
    report = {}
    for line in r.stdout.splitlines():
        e = json.loads(line)
        if "performanceReport" in e:
            report = e["performanceReport"]
    notes = report.get("qualityPlanSupport", {}).get("notes", [])
    return wall, report.get("videoEncodeMs", 0) / 1000, notes, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--reencode-runs", type=int, default=1)
    ap.add_argument("--helper", default=os.environ.get("VANTREL_HELPER", default_helper()))
    ap.add_argument("--keep", help="directory for the source (reused when present)")
    args = ap.parse_args()

    work = args.keep or tempfile.mkdtemp(prefix="smart_cut_bench_")
    os.makedirs(work, exist_ok=True)
    seconds = int(args.minutes * 60)
    source = os.path.join(work, f"source_{seconds}s.mp4")
    if not os.path.exists(source):
        t0 = time.monotonic()
        make_source(source, seconds)
        print(f"source: {seconds} s 1080p30 made in {time.monotonic() - t0:.1f} s", flush=True)
    cuts = edits(seconds)
    m, duration = manifest(source, cuts)
    manifest_path = os.path.join(work, "manifest.json")
    with open(manifest_path, "w") as f:
        json.dump(m, f)
    print(f"edits: {cuts} -> {duration:.1f} s output", flush=True)

    # Interleaved, so both see the same machine load.
    smart, full = [], []
    for i in range(max(args.runs, args.reencode_runs)):
        if i < args.runs:
            wall, video, notes, out = run_export(args.helper, manifest_path, work, {})
            smart.append(wall)
            print(f"smart cut run {i + 1}: {wall:.2f} s (video {video:.2f} s) notes={notes[-2:]}", flush=True)
            if i == 0:
                # Decoded by ffprobe, not through an ffmpeg output: frame times are
                # the source's, so two frames either side of a cut may lie closer
                # than the frame interval an output would round them to.
                d = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                    "stream=nb_read_frames", "-of", "csv=p=0", out], capture_output=True, text=True)
                print("  decode check:", "clean" if d.returncode == 0 and not d.stderr else d.stderr[:500])
                print(f"  frames: {count_frames(out)} decoded, {expected_frames(source, cuts)} expected")
        if i < args.reencode_runs:
            wall, video, notes, _ = run_export(args.helper, manifest_path, work, {"VANTREL_SMART_CUT": "off"})
            full.append(wall)
            print(f"full re-encode run {i + 1}: {wall:.2f} s (video {video:.2f} s) notes={notes[-2:]}", flush=True)

    ms, mf = statistics.median(smart), statistics.median(full)
    print(f"median smart cut      : {ms:.2f} s = {duration / ms:.0f}x real time (runs {smart})")
    print(f"median full re-encode : {mf:.2f} s = {duration / mf:.1f}x real time (runs {full})")
    print(f"ratio full / smart    : {mf / ms:.1f}")
    print(f"goal (>= 50x real time): {'met' if duration / ms >= 50 else 'missed'}")


if __name__ == "__main__":
    main()
