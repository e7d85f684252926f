#!/usr/bin/env python3
"""Animated GIF export benchmark: the real vantrel-export-helper against ffmpeg's
palettegen/paletteuse and (when given) gifski, on a generated 1080p30 screen-like
recording (a desktop with a window of scrolling text, a second window moving
across it, a ticking clock and a pointer).

  bench/export-helper/encode/gif_bench.py [--runs N] [--seconds S] [--gifski PATH]

Measured in one run, so the numbers compare with each other on a noisy machine:
  - wall and CPU time (user + system, the steadier number when the machine is
    shared) of our export (mp4 in, 640x360 15 fps GIF out) and of ffmpeg doing
    the same job from the same mp4 (fps=15, lanczos scale, palettegen +
    paletteuse); medians of --runs interleaved runs and their ratios
  - file size and PSNR of ours, of ffmpeg's palettegen/paletteuse and of gifski
    (default quality), the two others fed the very frames our GIF is made of:
    the export's composed frames at 640x360 (vantrel-render-frames), which are
    also the PSNR reference (RGB, over all frames)
  - for information, PSNR of every GIF against the source as ffmpeg scales it
    (lanczos): that also counts the difference between the two scalers and
    YUV conversions, which is no part of the GIF encoding
gifski is a benchmark-only comparison and is never shipped or linked
(`npm install gifski` puts a binary under node_modules/gifski/bin/). Never run by CI.
"""
import argparse
import glob
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
HELPER = os.environ.get("VANTREL_HELPER", os.path.join(ROOT, "build", "release", "bin", "vantrel-export-helper"))
RENDER_FRAMES = os.path.join(os.path.dirname(HELPER), "vantrel-render-frames")
FIXTURE = os.path.join(ROOT, "tests", "export-helper", "fixtures", "minimal_manifest.json")
FONT = os.path.join(os.path.dirname(HELPER), "vantrel-export-helper_ExportHelper.bundle", "InterVariable.ttf")
W, H, RATE = 640, 360, 15

CODE = """def render_frame(state, request):
    layers = state.layers_for(request.output_time)
    for layer in layers:
        if not layer.visible:
            continue
        picture = layer.draw(request.canvas)
        request.canvas.composite(picture, layer.placement)
    return request.canvas
class Timeline:
    def __init__(self, keyframes):
        self.keyframes = sorted(keyframes, key=lambda k: k.time)
    def value_at(self, t):
        before = [k for k in self.keyframes if k.time <= t]
        return before[-1].value if before else None
"""


def make_source(d, seconds):
    text = os.path.join(d, "code.txt")
    with open(text, "w") as f:
        f.write((CODE * 6).replace(":", "\\:"))
    wallpaper = os.path.join(d, "wallpaper.png")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "gradients=s=1920x1080:c0=0x3B4A6B:c1=0x6B5B8E:c2=0x2E6F8E:n=3:seed=7", "-frames:v", "1",
                    wallpaper], check=True)
    path = os.path.join(d, "screen.mp4")
    moving_x, moving_y = "1250-mod(t*60\\,900)", "300+40*sin(t)"
    graph = ";".join([
        # an editor whose code scrolls, clipped to its window
        f"[1]drawtext=fontfile={FONT}:textfile={text}:x=30:y=20-t*45:fontsize=26:fontcolor=0xCDD6F4:"
        "line_spacing=10[editor]",
        # a notes window with a counter that changes twice a second
        "[2]drawbox=x=0:y=0:w=560:h=36:color=0xE4E7EE:t=fill,"
        f"drawtext=fontfile={FONT}:text='Notes':x=20:y=6:fontsize=22:fontcolor=0x333333,"
        f"drawtext=fontfile={FONT}:text='Export settings %{{eif\\:mod(t*2\\,9)\\:d}}':x=30:y=80:fontsize=30:"
        "fontcolor=0x4F46E5[notes]",
        # a still wallpaper with menu bar, clock, dock and the editor's title bar
        "[0]drawbox=x=0:y=0:w=1920:h=34:color=0xF5F5F7:t=fill,"
        "drawbox=x=610:y=1010:w=700:h=62:color=0xDADDE4:t=fill,"
        "drawbox=x=80:y=90:w=1080:h=40:color=0x313244:t=fill,"
        f"drawtext=fontfile={FONT}:text='render.py':x=110:y=98:fontsize=22:fontcolor=0xBAC2DE,"
        f"drawtext=fontfile={FONT}:text='%{{pts\\:hms}}':x=1700:y=6:fontsize=20:fontcolor=0x222222[desk]",
        "[desk][editor]overlay=80:130[a]",
        f"[a][notes]overlay=x='{moving_x}':y='{moving_y}'[b]",
        # the pointer
        "[b]drawbox=x='900+300*sin(t*0.7)':y='600+200*cos(t*0.9)':w=14:h=20:color=0x000000:t=fill[v]",
    ])
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-loop", "1", "-framerate", "30", "-t", str(seconds), "-i", wallpaper,
                    "-f", "lavfi", "-i", f"color=c=0x1E1E2E:s=1080x820:r=30:d={seconds}",
                    "-f", "lavfi", "-i", f"color=c=white:s=560x420:r=30:d={seconds}",
                    "-filter_complex", graph, "-map", "[v]", "-t", str(seconds),
                    "-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "0", "-g", "60",
                    "-pix_fmt", "yuv420p", path], check=True)
    return path


def manifest(source, seconds):
    with open(FIXTURE) as f:
        m = json.load(f)
    m["qualityPlan"].update({"format": "gif", "frameRate": 30, "resolution": "1080p", "compression": "high"})
    vp = m["videoPlan"]
    vp["sourceVideoPath"] = source
    vp["sourceVideoPaths"] = [source]
    vp["durationSeconds"] = seconds
    vp["segments"][0].update({"sourceEndTime": seconds, "outputEndTime": seconds})
    return m


def timed(cmd):
    """Runs cmd; returns ((wall s, CPU s), stdout text)."""
    start = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(cmd, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        text = out.read().decode()
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"{cmd[0]} failed: {err.read().decode()[-2000:]} {text[-2000:]}")
    return (wall, usage.ru_utime + usage.ru_stime), text


def ours(d, mpath, out):
    t, text = timed([HELPER, "run", "--job-id", "gif", "--manifest-path", mpath, "--temp-output-path",
                     os.path.join(d, "ours.tmp.gif"), "--final-output-path", out])
    events = [json.loads(line) for line in text.splitlines() if line.strip()]
    if events[-1]["type"] != "completed":
        sys.exit(f"export failed: {events[-1]}")
    return t


def ffmpeg_gif(src, out):
    return timed(["ffmpeg", "-v", "error", "-y", "-i", src, "-vf",
                  f"fps={RATE},scale={W}:{H}:flags=lanczos,split[a][b];[a]palettegen[p];[b][p]paletteuse", out])[0]


def composed_frames(d, mpath, seconds):
    """The export's own composed frames at the GIF's times, as numbered PNGs."""
    out = os.path.join(d, "composed")
    os.makedirs(out)
    # The tool takes the first frame at or after each time; a hair early keeps
    # k / 15 from rounding up past the frame the export shows there.
    times = [f"{max(k / RATE - 1e-4, 0):.6f}" for k in range(int(seconds * RATE))]
    subprocess.run([RENDER_FRAMES, mpath, out, "--size", f"{W}x{H}"] + times, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for k, t in enumerate(times):
        os.rename(os.path.join(out, f"frame_{float(t):.3f}.png"), os.path.join(out, f"f{k:05d}.png"))
    return out


def psnr(gif, reference):
    """RGB PSNR over all frames, the GIF resampled to the reference's constant rate."""
    proc = subprocess.run(["ffmpeg", "-v", "info", "-nostats", "-i", gif, "-f", "rawvideo", "-pix_fmt", "rgb24",
                           "-s", f"{W}x{H}", "-r", str(RATE), "-i", reference, "-lavfi",
                           f"[0:v]fps={RATE},format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr", "-f", "null", "-"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    m = re.search(r"PSNR r:[\d.inf]+ g:[\d.inf]+ b:[\d.inf]+ average:([\d.inf]+)", proc.stderr.decode())
    return float(m.group(1)) if m else float("nan")


def frame_count(gif):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames",
                          "-of", "csv=p=0", gif], stdout=subprocess.PIPE).stdout.decode().strip()
    return int(out or 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--gifski", default=os.path.join("/tmp", "gifski-bench", "node_modules", "gifski", "bin",
                                                     "debian", "gifski"))
    ap.add_argument("--keep", help="copy the GIFs into this directory")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantrel-gif-bench-") as d:
        src = make_source(d, args.seconds)
        mpath = os.path.join(d, "gif.json")
        with open(mpath, "w") as f:
            json.dump(manifest(src, args.seconds), f)
        pngs = composed_frames(d, mpath, args.seconds)
        png_input = ["-framerate", str(RATE), "-i", os.path.join(pngs, "f%05d.png")]
        composed = os.path.join(d, "composed.rgb")
        subprocess.run(["ffmpeg", "-v", "error", "-y"] + png_input + ["-f", "rawvideo", "-pix_fmt", "rgb24", composed],
                       check=True)
        scaled = os.path.join(d, "scaled.rgb")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", src, "-vf", f"fps={RATE},scale={W}:{H}:flags=lanczos",
                        "-f", "rawvideo", "-pix_fmt", "rgb24", scaled], check=True)

        our_gif, ff_mp4_gif = os.path.join(d, "ours.gif"), os.path.join(d, "ffmpeg-from-mp4.gif")
        times = {"ours": [], "ffmpeg": []}
        for _ in range(args.runs):  # interleaved, so load affects both alike
            times["ours"].append(ours(d, mpath, our_gif))
            times["ffmpeg"].append(ffmpeg_gif(src, ff_mp4_gif))
        wall = {k: statistics.median(t[0] for t in v) for k, v in times.items()}
        cpu = {k: statistics.median(t[1] for t in v) for k, v in times.items()}

        ff_gif = os.path.join(d, "ffmpeg.gif")
        subprocess.run(["ffmpeg", "-v", "error", "-y"] + png_input +
                       ["-vf", "split[a][b];[a]palettegen[p];[b][p]paletteuse", ff_gif], check=True)
        results = {"ours": our_gif, "ffmpeg": ff_gif}
        if os.path.exists(args.gifski):
            gs_gif = os.path.join(d, "gifski.gif")
            timed([args.gifski, "--quiet", "--fps", str(RATE), "--width", str(W), "-o", gs_gif]
                  + sorted(glob.glob(os.path.join(pngs, "*.png"))))
            results["gifski"] = gs_gif
        else:
            print(f"gifski not found at {args.gifski}: comparing with ffmpeg only")

        print(f"{args.seconds:g} s 1080p30 screen-like recording -> {W}x{H} GIF at {RATE} fps")
        print(f"  time, mp4 to GIF, medians of {args.runs} runs: ours {wall['ours']:.2f} s wall {cpu['ours']:.2f} s CPU;"
              f" ffmpeg {wall['ffmpeg']:.2f} s wall {cpu['ffmpeg']:.2f} s CPU")
        print(f"  ours / ffmpeg: wall {wall['ours'] / wall['ffmpeg']:.2f}, CPU {cpu['ours'] / cpu['ffmpeg']:.2f}")
        print("  on the composed frames:   bytes   PSNR   (PSNR vs ffmpeg-scaled source)  frames")
        for name, path in results.items():
            print(f"  {name:7s} {os.path.getsize(path):14d} {psnr(path, composed):6.2f} dB "
                  f"({psnr(path, scaled):5.2f} dB) {frame_count(path):14d}")
        if "gifski" in results:
            print(f"  size: ours / gifski {os.path.getsize(our_gif) / os.path.getsize(results['gifski']):.2f}")
        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
            for name, path in results.items():
                subprocess.run(["cp", path, os.path.join(args.keep, name + ".gif")], check=True)
            subprocess.run(["cp", src, os.path.join(args.keep, "screen.mp4")], check=True)


if __name__ == "__main__":
    main()
