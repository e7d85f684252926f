#!/usr/bin/env python3
"""Per-frame path benchmark on full-motion content: ffmpeg's testsrc2, 1080p30,
styled (gradient, padding, corner radius, shadow, stroke), exported by the real
vantrel-export-helper; in the same run, interleaved:

  - floor: the same source decoded and encoded by the ffmpeg CLI with the
    export's x264 settings (ultrafast with the export's own x264 options from
    the media layer's writer.h, High, no B-frames, fixed key-frame spacing, 12 Mb/s) and no compositing at all;
  - regular: the same export with every frame on the BGRA path
    (VANTREL_PLANAR_FRAMES=0), the per-frame path before the planar one;
  - filtergraph: the same styled scene as an ffmpeg filtergraph (background with
    its shadow drawn once into a PNG, Lanczos scale, rounded-corner alpha mask,
    overlay), same encoder settings.

  bench/export-helper/encode/planar_bench.py [--runs N] [--seconds S] [--keep DIR]

Prints medians of the wall-clock frames per second of each, and the ratios the
per-frame goals are stated in (export / floor, export / filtergraph), and
export / regular. Set
VANTREL_HELPER to bench another build. Never run by CI.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import export_bench  # noqa: E402  (helper path, styled manifest, one export run)
import zoom_cursor_bench as zc  # noqa: E402  (background and corner-mask PNGs of the same geometry)



def export_x264_parameters():
    """The export's own x264 options, read from the media layer's header so the floor never drifts from them."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "media",
                          "include", "vantrel", "media", "writer.h")
    with open(header) as f:
        for line in f:
            if "kExportX264Parameters[]" in line:
                return line.split('"')[1]
    raise SystemExit("kExportX264Parameters not found in " + header)


X264 = ["-c:v", "libx264", "-preset", "ultrafast", "-profile:v", "high", "-x264-params",
        export_x264_parameters(), "-b:v", "12M", "-g", "60", "-keyint_min", "60", "-bf", "0"]


def make_testsrc2(path, seconds):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s=1920x1080:r=30:d={seconds}",
                    "-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", "60", "-pix_fmt", "yuv420p", path],
                   check=True)


def timed(cmd):
    start = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"{cmd[0]} failed: {proc.stderr[-2000:]}")
    return time.monotonic() - start


def floor_cmd(src, out):
    return ["ffmpeg", "-v", "error", "-y", "-i", src, "-an", *X264, out]


def filtergraph_cmd(d, src, out, frames):
    vw, vh = int(zc.VIDEO_W) // 2 * 2, int(zc.VIDEO_H)
    graph = (f"[0:v]scale={vw}:{vh}:flags=lanczos,format=rgba[vid];"
             f"[2:v]format=gray,scale={vw}:{vh}[mask];[vid][mask]alphamerge[rv];"
             f"[1:v][rv]overlay={int(zc.VIDEO_X)}:{int(zc.VIDEO_Y)}:format=auto:shortest=1,format=yuv420p[out]")
    return ["ffmpeg", "-v", "error", "-y", "-i", src, "-loop", "1", "-framerate", "30", "-i",
            os.path.join(d, "background.png"), "-loop", "1", "-framerate", "30", "-i", os.path.join(d, "mask.png"),
            "-filter_complex", graph, "-map", "[out]", "-frames:v", str(frames), *X264, out]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--keep", help="leave the source, manifest and outputs in this directory")
    args = ap.parse_args()
    d = args.keep or tempfile.mkdtemp(prefix="vantrel-planar-bench-")
    os.makedirs(d, exist_ok=True)
    try:
        src = os.path.join(d, "testsrc2.mp4")
        make_testsrc2(src, args.seconds)
        zc.make_styling_pngs(d)
        frames = int(round(args.seconds * 30))
        m = export_bench.manifest(src, args.seconds, styled=True, minimal=False, audio=False)
        m["scene"]["settings"]["video"]["padding"] = zc.PADDING
        fps = {"export": [], "regular": [], "floor": [], "filtergraph": []}
        for _ in range(args.runs):  # interleaved, so load affects every case alike
            for case, switch in (("export", "1"), ("regular", "0")):
                os.environ["VANTREL_PLANAR_FRAMES"] = switch
                start = time.monotonic()
                export_bench.run_export(d, case, m)
                fps[case].append(frames / (time.monotonic() - start))
            fps["floor"].append(frames / timed(floor_cmd(src, os.path.join(d, "floor.mp4"))))
            fps["filtergraph"].append(frames / timed(filtergraph_cmd(d, src, os.path.join(d, "filtergraph.mp4"), frames)))
        med = {k: statistics.median(v) for k, v in fps.items()}
        print(f"styled testsrc2 1080p30, {args.seconds:g} s, medians of {args.runs} (wall-clock fps):")
        for k in ("export", "regular", "floor", "filtergraph"):
            print(f"  {k:12s} {med[k]:6.1f} fps   runs: " + " ".join(f"{v:.1f}" for v in fps[k]))
        print(f"  export / floor       {med['export'] / med['floor']:.2f}   (goal >= 0.80)")
        print(f"  export / filtergraph {med['export'] / med['filtergraph']:.2f}   (goal >= 3)")
        print(f"  export / regular     {med['export'] / med['regular']:.2f}")
    finally:
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
