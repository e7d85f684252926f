#!/usr/bin/env python3
"""Change-aware compositing benchmark: styled exports of a mostly idle screen
recording with change tracking off (VANTREL_CHANGE_TRACKING=0, every frame
composed in full) and on, interleaved in one run, and the medians.

  bench/export-helper/encode/change_tracking_bench.py [--runs N] [--scene plain|zoom] [--source PATH] [--seconds S]

Scenes: "plain" is the export bench's styled scene (gradient, padding, radius,
shadow, stroke); "zoom" adds a zoom that goes in, holds, pans and comes back
out, so most frames are idle under a zoom (frames the planar path of the frame
pipeline leaves to the compositor).

The source is the realistic 60 s recording (build/bench/realistic-60s.mp4, made
by record_realistic_source.sh when missing and the tools are there); without
it, a synthetic clip with idle stretches and a moving window is made with
ffmpeg. Prints the median export time and frames per second of each mode, the
fps ratio (on / off) and whether the two modes gave the same decoded frames
(ffmpeg framemd5 of the outputs). Never run by CI.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import export_bench  # noqa: E402  (manifest and export runner shared with the export bench)

ROOT = export_bench.ROOT
REALISTIC = os.path.join(ROOT, "build", "bench", "realistic-60s.mp4")


def synthetic_source(path, seconds):
    # Still desktop, a window dragged for 3 s out of every 10, a blinking caret the rest of the time.
    vf = ("drawbox=x=0:y=1040:w=1920:h=40:color=0x202430:t=fill,"
          "drawbox=x='if(lt(mod(t,10),3),200+mod(t,10)*300,1100)':y=200:w=600:h=400:color=0xF0F0F0:t=fill,"
          "drawbox=x=300:y=700:w=4:h=28:color=0x000000@'if(lt(mod(t,1),0.5),1,0)':t=fill")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"gradients=s=1920x1080:r=30:d={seconds}:speed=0:c0=0x0f1b2d:c1=0x24344f", "-vf", vf,
                    "-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "0", "-g", "60",
                    "-pix_fmt", "yuv420p", path], check=True)


def duration_seconds(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                          "stream=nb_read_packets", "-of", "csv=p=0", path], check=True, capture_output=True, text=True)
    return int(out.stdout.strip().split(",")[0]) / 30.0


def frame_md5s(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-f", "framemd5", "-"],
                         check=True, capture_output=True, text=True)
    return [line.split(",")[-1].strip() for line in out.stdout.splitlines() if line and not line.startswith("#")]


def zoom_frames(seconds):
    """Zoom keys (canvas pixels from the top left, ms): in at 4 s, hold, pan at 20 s, out at 38 s."""
    def key(ms, x, y, z):
        return {"timestamp": ms, "centerX": x, "centerY": y, "zoom": z, "cameraOverlayBlend": 0,
                "isAutoZoom": False, "snapToVideoEdge": False}
    end = seconds * 1000
    keys = [(0, 960, 540, 1), (4000, 960, 540, 1), (4500, 700, 400, 1.6), (20000, 700, 400, 1.6),
            (20600, 1200, 650, 1.6), (38000, 1200, 650, 1.6), (38500, 960, 540, 1), (end, 960, 540, 1)]
    return [key(*k) for k in keys if k[0] <= end]


def cpu_seconds_of_children():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--source", default=None, help="recording to export (default: the realistic 60 s one)")
    ap.add_argument("--seconds", type=float, default=30, help="length of the synthetic source, when one is made")
    ap.add_argument("--scene", choices=("plain", "zoom"), default="zoom")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantrel-change-bench-") as d:
        src = args.source or REALISTIC
        if not os.path.exists(src) and not args.source:
            script = os.path.join(ROOT, "bench", "export-helper", "encode", "record_realistic_source.sh")
            if shutil.which("Xvfb") and os.path.exists(script):
                subprocess.run([script, src], check=True)
        if not os.path.exists(src):
            src = os.path.join(d, "synthetic.mp4")
            synthetic_source(src, args.seconds)
        seconds = duration_seconds(src)
        frames = int(round(seconds * 30))
        m = export_bench.manifest(src, seconds, styled=True, minimal=False, audio=False)
        if args.scene == "zoom":
            m["videoPlan"]["resolvedZoomFrames"] = zoom_frames(seconds)
        results = {"off": [], "on": []}
        md5s = {}
        for _ in range(args.runs):  # interleaved, so load affects both alike
            for mode in ("off", "on"):
                os.environ["VANTREL_CHANGE_TRACKING"] = "0" if mode == "off" else "1"
                cpu0 = cpu_seconds_of_children()
                report, _ = export_bench.run_export(d, "styled-" + mode, m)
                results[mode].append((report["totalMs"], cpu_seconds_of_children() - cpu0))
                md5s[mode] = frame_md5s(os.path.join(d, "styled-" + mode + ".mp4"))
        os.environ.pop("VANTREL_CHANGE_TRACKING", None)
        med = {k: statistics.median(t for t, _ in v) for k, v in results.items()}
        cpu = {k: statistics.median(c for _, c in v) for k, v in results.items()}
        fps = {k: frames / (med[k] / 1000) for k in med}
        print(f"source {os.path.basename(src)}: {frames} frames ({seconds:g} s), scene {args.scene}, styled 1080p30,"
              f" {args.runs} runs")
        for k in ("off", "on"):
            runs = ", ".join(f"{t:.0f}" for t, _ in results[k])
            print(f"  tracking {k:3}: totalMs median {med[k]:.0f} ({runs}), {fps[k]:.1f} fps;"
                  f" CPU median {cpu[k]:.1f} s ({cpu[k] * 1000 / frames:.1f} ms a frame)")
        print(f"  fps ratio on/off: {fps['on'] / fps['off']:.2f}; CPU ratio off/on: {cpu['off'] / cpu['on']:.2f}")
        same = md5s["on"] == md5s["off"]
        print(f"  decoded frames identical: {'yes' if same else 'NO'} ({len(md5s['on'])} frames)")
        if not same:
            sys.exit(1)


if __name__ == "__main__":
    main()
