#!/usr/bin/env python3
"""Chooses the export's x264 options by measurement: SSIM against the uncompressed
frames and encoder speed, per bit rate, for today's settings, x264 `superfast`
and candidate option sets, at 1080p30, on these sources (--sources):

  - styled: 20 s of testsrc2 with temporal grain (a video playing in the recorded
    window: it takes the bits away from the flat surroundings, which is when they
    block) exported by the real helper with the styled look (padding, rounded
    corners, stroke, shadow) over a DARK gradient background at 250 Mb/s; that
    export, decoded, is the reference the candidates encode
  - styled-real: the same styled export of the realistic recording
  - realistic: the desktop session of record_realistic_source.sh (typing,
    scrolling, a moved window, idle), decoded, as the reference

  bench/export-helper/encode/x264_settings_bench.py [--runs 3] [--rates 3,6,12]
      [--sources styled,styled-real,realistic|none] [--realistic FILE]
      [--realistic-seconds S] [--only NAME,...] [--crops DIR]
      [--helper BIN] [--export-helpers TODAY_BIN,NEW_BIN] [--export-source styled|realistic]

Every candidate is encoded by the ffmpeg program with the same libx264 options the
writer sets (profile high, ABR at the rate, key frame every 60, no B-frames, no
scene cuts), from raw frames in memory-backed files, so only the encoder is timed.
Speed is frames per second, the median of --runs, and the ratio to today's settings
measured interleaved in the same run. SSIM is ffmpeg's ssim filter (All, Y, and the
luma SSIM of a dark bottom-left corner: gradient, shadow, rounded corner).
--crops writes that corner per candidate at the lowest rate (and the reference) as
PNG, plain and with the dark levels stretched 4x, to look at for blocking.
--export-helpers times the whole styled export (decode + compose + encode) of two
helper builds, interleaved, and prints fps medians and their ratio; build both from
the same tree so they differ only in the encoder options.
Never run by CI.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, HERE)
import export_bench  # noqa: E402  (manifest and export runner of the export benchmark)

BASE = "scenecut=0:cabac=1:8x8dct=1"
# name -> (preset, x264-params). "today" is what the writer set before this bench.
CANDIDATES = {
    "today": ("ultrafast", BASE),
    "superfast": ("superfast", BASE),
    # What the writer now gives offline encodes (kExportX264Parameters in media/writer.h).
    "chosen": ("ultrafast", BASE + ":deblock=0,0:aq-mode=2"),
    "uf+db+aq1": ("ultrafast", BASE + ":deblock=0,0:aq-mode=1"),
    "uf+db+aq2": ("ultrafast", BASE + ":deblock=0,0:aq-mode=2"),
    "uf+db+aq3": ("ultrafast", BASE + ":deblock=0,0:aq-mode=3"),
    "uf+db+aq3+i8": ("ultrafast", BASE + ":deblock=0,0:aq-mode=3:partitions=i8x8,i4x4"),
    "uf+db+aq3+i8+sub1": ("ultrafast", BASE + ":deblock=0,0:aq-mode=3:partitions=i8x8,i4x4:subme=1"),
    "uf+db+aq3+i8+hex": ("ultrafast", BASE + ":deblock=0,0:aq-mode=3:partitions=i8x8,i4x4:me=hex"),
    "uf+db+aq3+i8+la10": ("ultrafast", BASE + ":deblock=0,0:aq-mode=3:partitions=i8x8,i4x4:rc-lookahead=10"),
    "uf+db+aq2+i8": ("ultrafast", BASE + ":deblock=0,0:aq-mode=2:partitions=i8x8,i4x4"),
    "uf+db+aq2+sub1": ("ultrafast", BASE + ":deblock=0,0:aq-mode=2:subme=1"),
    "uf+db+aq2+wp": ("ultrafast", BASE + ":deblock=0,0:aq-mode=2:weightp=1"),
    "sf+aq2": ("superfast", BASE + ":aq-mode=2"),
    "sf+aq3": ("superfast", BASE + ":aq-mode=3"),
    "veryfast": ("veryfast", BASE),
}
W, H, FPS = 1920, 1080, 30
# Bottom-left corner of the styled canvas: dark gradient, the window's shadow and rounded corner.
CROP = (0, 760, 640, 320)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def decode_raw(src, dst, seconds=None):
    cmd = ["ffmpeg", "-v", "error", "-y", "-i", src]
    if seconds:
        cmd += ["-t", str(seconds)]
    run(cmd + ["-an", "-vf", f"scale={W}:{H}:flags=bicubic", "-pix_fmt", "yuv420p", "-f", "rawvideo", dst])
    return os.path.getsize(dst) // (W * H * 3 // 2)


def testsrc2_source(d, seconds):
    src = os.path.join(d, "testsrc2.mp4")
    # Temporal grain over the pattern: like a video playing in the recorded window, it takes
    # the bits away from the flat, dark surroundings, which is when they block.
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s={W}x{H}:r={FPS}:d={seconds}",
         "-vf", "noise=alls=14:allf=t", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "12", "-bf", "0", "-g", "60", "-pix_fmt", "yuv420p", src])
    return src


def styled_reference(d, name, src, seconds, helper):
    """Exports src through the helper with the styled look on a dark gradient at a very high bit
    rate (near-lossless); returns the raw frames of that export and their count."""
    m = styled_manifest(src, seconds)
    m["qualityPlan"]["estimatedVideoBitrateMbps"] = 250
    old = export_bench.HELPER
    export_bench.HELPER = helper
    try:
        export_bench.run_export(d, name + "-ref", m)
    finally:
        export_bench.HELPER = old
    raw = os.path.join(d, name + ".yuv")
    frames = decode_raw(os.path.join(d, name + "-ref.mp4"), raw)
    os.remove(os.path.join(d, name + "-ref.mp4"))
    return raw, frames


def styled_manifest(src, seconds):
    m = export_bench.manifest(src, seconds, styled=True, minimal=False, audio=False)
    # Dark two-tone background: the smooth, dark area in which blocking shows first.
    m["scene"]["settings"]["background"].update({"type": "gradient", "color": "#0B1022",
                                                 "secondaryColor": "#2A1B4A", "gradientAngle": 135})
    return m


def export_bench_duration(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                       capture_output=True, text=True, check=True)
    return float(r.stdout.strip())


def encode(raw, frames, out, preset, params, rate_mbps):
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{W}x{H}", "-r", str(FPS),
           "-i", raw, "-frames:v", str(frames), "-c:v", "libx264", "-preset", preset, "-profile:v", "high",
           "-x264-params", params, "-b:v", str(int(rate_mbps * 1_000_000)), "-g", "60", "-keyint_min", "60",
           "-bf", "0", "-color_primaries", "bt709", "-color_trc", "iec61966-2-1", "-colorspace", "bt709",
           "-color_range", "tv", out]
    start = time.monotonic()
    run(cmd)
    return frames / (time.monotonic() - start)


def ssim(out, raw, box=None):
    """(All, Y) SSIM of the whole picture, or of the box (x, y, w, h) of both."""
    graph = "[0:v][1:v]ssim"
    if box:
        c = "crop={2}:{3}:{0}:{1}".format(*box)
        graph = f"[0:v]{c}[a];[1:v]{c}[b];[a][b]ssim"
    r = subprocess.run(["ffmpeg", "-v", "info", "-nostats", "-i", out, "-f", "rawvideo", "-pix_fmt", "yuv420p",
                        "-s", f"{W}x{H}", "-r", str(FPS), "-i", raw, "-lavfi", graph, "-f", "null", "-"],
                       capture_output=True, text=True, check=True)
    m = re.search(r"SSIM Y:([\d.]+).*All:([\d.]+)", r.stderr)
    return float(m.group(2)), float(m.group(1))


def actual_mbps(out, frames):
    return os.path.getsize(out) * 8 / (frames / FPS) / 1e6


def crop_png(video, dst, t, box, raw=False):
    x, y, w, h = box
    # Nearest-neighbour 2x zoom so single blocks are visible when looking at the PNG.
    vf = f"crop={w}:{h}:{x}:{y},scale={w * 2}:{h * 2}:flags=neighbor"
    src = ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{W}x{H}", "-r", str(FPS), "-i", video] if raw \
        else ["-i", video]
    run(["ffmpeg", "-v", "error", "-y", *src, "-ss", str(t), "-frames:v", "1", "-vf", vf, dst])
    # The same with the dark levels stretched 4x, where blocking in shadows cannot hide.
    run(["ffmpeg", "-v", "error", "-y", *src, "-ss", str(t), "-frames:v", "1", "-vf",
         vf + ",lutyuv=y=clip((val-16)*4\\,16\\,235)", dst.replace(".png", "-dark4x.png")])


def export_speed(helpers, src, seconds, runs, d):
    """Whole styled export fps of two helper builds, interleaved, medians."""
    m = styled_manifest(src, seconds)
    frames = int(seconds * FPS)
    res = {h: [] for h in helpers}
    for _ in range(runs):
        for h in helpers:
            old = export_bench.HELPER
            export_bench.HELPER = h
            try:
                report, wall = export_bench.run_export(d, "speed", m)
            finally:
                export_bench.HELPER = old
            res[h].append(frames / (report["totalMs"] / 1000))
    return {h: statistics.median(v) for h, v in res.items()}, res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--rates", default="3,6,12", help="bit rates in Mb/s")
    ap.add_argument("--seconds", type=float, default=20, help="length of the styled scene")
    ap.add_argument("--realistic", default=os.path.join(ROOT, "build", "bench", "realistic-60s.mp4"))
    ap.add_argument("--realistic-seconds", type=float, default=0, help="use only the start of the recording")
    ap.add_argument("--only", default="", help="comma-separated candidate names (today is always measured)")
    ap.add_argument("--crops", default="", help="directory for the dark-gradient crops")
    ap.add_argument("--sources", default="styled,styled-real,realistic",
                    help="styled (testsrc2), styled-real (the recording, styled), realistic (the recording as is)")
    ap.add_argument("--helper", default=export_bench.HELPER, help="helper that makes the styled reference")
    ap.add_argument("--export-helpers", default="", help="TODAY_BIN,NEW_BIN: whole styled export fps of both")
    ap.add_argument("--export-source", choices=["styled", "realistic"], default="styled",
                    help="what --export-helpers exports with the styled look")
    args = ap.parse_args()
    rates = [float(r) for r in args.rates.split(",")]
    names = list(CANDIDATES) if not args.only else ["today"] + [n for n in args.only.split(",") if n != "today"]
    for n in names:
        if n not in CANDIDATES:
            sys.exit(f"unknown candidate {n}")
    with tempfile.TemporaryDirectory(prefix="vantrel-x264-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm")
                                     else None) as d:
        sources = {}
        wanted = args.sources.split(",")
        if "styled" in wanted or (args.export_helpers and args.export_source == "styled"):
            testsrc2 = testsrc2_source(d, args.seconds)
        if "styled" in wanted:
            sources["styled"] = styled_reference(d, "styled", testsrc2, args.seconds, args.helper)
        if "realistic" in wanted or "styled-real" in wanted:
            if not os.path.exists(args.realistic):
                sys.exit(f"{args.realistic} is missing: run record_realistic_source.sh first")
        if "styled-real" in wanted:
            length = args.realistic_seconds or export_bench_duration(args.realistic)
            sources["styled-real"] = styled_reference(d, "styled-real", args.realistic, length, args.helper)
        if "realistic" in wanted:
            raw = os.path.join(d, "realistic.yuv")
            sources["realistic"] = (raw, decode_raw(args.realistic, raw, args.realistic_seconds or None))
        if args.export_helpers:
            helpers = args.export_helpers.split(",")
            if args.export_source == "realistic":
                src, length = args.realistic, args.realistic_seconds or export_bench_duration(args.realistic)
            else:
                src, length = os.path.join(d, "testsrc2.mp4"), args.seconds
            med, allruns = export_speed(helpers, src, length, args.runs, d)
            for h in helpers:
                print(f"whole styled export fps {med[h]:.1f} (runs {', '.join(f'{v:.1f}' for v in allruns[h])}) {h}")
            print(f"ratio new/today {med[helpers[1]] / med[helpers[0]]:.3f}", flush=True)
        for sname, (raw, frames) in sources.items():
            out = os.path.join(d, "out.mp4")
            for rate in rates:
                speeds = {n: [] for n in names}
                quality = {}
                for i in range(args.runs):  # interleaved, so load affects every candidate alike
                    for n in names:
                        preset, params = CANDIDATES[n]
                        speeds[n].append(encode(raw, frames, out, preset, params, rate))
                        if i == 0:  # x264 output does not change from run to run
                            quality[n] = ssim(out, raw) + (ssim(out, raw, CROP)[1], actual_mbps(out, frames))
                            if args.crops and sname.startswith("styled") and rate == min(rates):
                                os.makedirs(args.crops, exist_ok=True)
                                crop_png(out, os.path.join(args.crops, f"{sname}-{rate:g}-{n}.png"), 10.0, CROP)
                if args.crops and sname.startswith("styled") and rate == min(rates):
                    crop_png(raw, os.path.join(args.crops, f"{sname}-reference.png"), 10.0, CROP, raw=True)
                base = statistics.median(speeds["today"])
                for n in names:
                    s_all, s_y, s_crop, mbps = quality[n]
                    fps = statistics.median(speeds[n])
                    print(f"{sname:11s} {rate:5g} Mb/s {n:18s} SSIM {s_all:.5f} (Y {s_y:.5f}, dark corner Y {s_crop:.5f})"
                          f" {mbps:5.2f} Mb/s"
                          f"  encode {fps:6.1f} fps  x{fps / base:.2f} of today", flush=True)


if __name__ == "__main__":
    main()
