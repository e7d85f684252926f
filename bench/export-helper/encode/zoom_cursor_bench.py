#!/usr/bin/env python3
"""Zoom, motion blur and cursor benchmark: a styled 1080p30 screen recording
with zoom keyframes (zooms and fast pans that smear), a smoothed cursor with
clicks, sway and trail, and copied audio, exported by the real
vantrel-export-helper; beside it, the same scene as an ffmpeg filtergraph
(overlay on the styled background, zoompan along the same keyframes, a cursor
PNG moved frame by frame with sendcmd), measured in the same run.

  bench/export-helper/encode/zoom_cursor_bench.py [--runs N] [--seconds S] [--keep DIR]

Prints medians: the export's totalMs against the performance plan's
expectedTargetMs, the ffmpeg filtergraph's wall time, and their ratio.
--keep DIR leaves the source, the manifest and both outputs there.
Never run by CI.
"""
import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import export_bench  # noqa: E402  (source maker, helper path, one export run)

ROOT = export_bench.ROOT
BUNDLE = os.path.join(os.path.dirname(export_bench.HELPER), "vantrel-export-helper_ExportHelper.bundle")

W, H = 1920, 1080
PADDING = 64
# The video rectangle of a 16:9 source inside the padding (top-left origin).
VIDEO_H = H - 2 * PADDING
VIDEO_W = VIDEO_H * 16 / 9
VIDEO_X = (W - VIDEO_W) / 2
VIDEO_Y = PADDING

# Places on the screen-like source the pointer visits (fractions of the picture), with its cursor type there.
TARGETS = [(0.20, 0.22, "pointer"), (0.45, 0.55, "text"), (0.78, 0.35, "default"), (0.80, 0.75, "pointer"),
           (0.30, 0.70, "text"), (0.62, 0.20, "default")]


def smoothstep(u):
    u = min(max(u, 0.0), 1.0)
    return u * u * (3 - 2 * u)


def cursor_positions(seconds):
    """60 Hz samples: 1.2 s glides between targets, a click 300 ms after arriving, then a rest."""
    out = []
    hop = 2.0
    n = int(seconds * 60)
    for i in range(n + 1):
        t = i / 60
        k = int(t // hop)
        a = TARGETS[k % len(TARGETS)]
        b = TARGETS[(k + 1) % len(TARGETS)]
        local = t - k * hop
        u = smoothstep(local / 1.2)
        x = a[0] + (b[0] - a[0]) * u
        y = a[1] + (b[1] - a[1]) * u + 0.03 * math.sin(u * math.pi)
        pressed = 1.5 <= local < 1.62
        out.append({"x": x, "y": y, "timestamp": t * 1000, "pressed": pressed,
                    "cursorType": b[2] if u > 0.9 else "default"})
    return out


def zoom_frames(seconds, sparse=None):
    """Every 6 s: zoom to 2x on where the pointer goes (0.8 s), a fast pan along with it (0.4 s), back out (0.8 s).
    `sparse`, when a list, receives the key moments (t s, cx, cy, zoom) the dense frames ease between."""
    frames = []
    cx0, cy0 = W / 2, H / 2
    t = 0.0
    k = 0
    while t + 6 <= seconds + 1e-9:
        # The pointer reaches target 3k+1 at t + 1.2 s and target 3k+2 at t + 3.2 s: zoom on the first, pan
        # with it to the second.
        a = TARGETS[(3 * k + 1) % len(TARGETS)]
        b = TARGETS[(3 * k + 2) % len(TARGETS)]
        ax, ay = VIDEO_X + a[0] * VIDEO_W, VIDEO_Y + a[1] * VIDEO_H
        bx, by = VIDEO_X + b[0] * VIDEO_W, VIDEO_Y + b[1] * VIDEO_H
        keys = [(t + 0.5, cx0, cy0, 1.0), (t + 1.3, ax, ay, 2.0), (t + 3.0, ax, ay, 2.0), (t + 3.4, bx, by, 2.0),
                (t + 4.6, bx, by, 2.0), (t + 5.4, cx0, cy0, 1.0)]
        # Dense keyframes (every 1/30 s) with an ease, as the editor bakes them.
        # The editor keeps the view inside the canvas; so do these keyframes.
        keys = [(kt, min(max(kx, W / (2 * kz)), W - W / (2 * kz)), min(max(ky, H / (2 * kz)), H - H / (2 * kz)), kz)
                for kt, kx, ky, kz in keys]
        if sparse is not None:
            sparse.extend(keys)
        for (t0, x0, y0, z0), (t1, x1, y1, z1) in zip(keys, keys[1:]):
            steps = max(int(round((t1 - t0) * 30)), 1)
            for s in range(steps):
                u = smoothstep(s / steps)
                frames.append({"timestamp": (t0 + (t1 - t0) * s / steps) * 1000, "centerX": x0 + (x1 - x0) * u,
                               "centerY": y0 + (y1 - y0) * u, "zoom": z0 + (z1 - z0) * u,
                               "cameraOverlayBlend": 0, "isAutoZoom": False, "snapToVideoEdge": False})
        frames.append({"timestamp": keys[-1][0] * 1000, "centerX": cx0, "centerY": cy0, "zoom": 1.0,
                       "cameraOverlayBlend": 0, "isAutoZoom": False, "snapToVideoEdge": False})
        t += 6
        k += 1
    return frames


def scene_manifest(source, seconds):
    m = export_bench.manifest(source, seconds, styled=True, minimal=False, audio=True)
    m["scene"]["settings"]["video"]["padding"] = PADDING
    vp = m["videoPlan"]
    vp["resolvedZoomFrames"] = zoom_frames(seconds)
    vp["cursorData"] = {"positions": cursor_positions(seconds), "screenWidth": W, "screenHeight": H}
    vp["cursorSettings"].update({"enabled": True, "mode": "smooth", "style": "default", "size": 1.5,
                                 "smoothing": 0.5, "springPreset": "smooth", "clickEffect": True,
                                 "swayEnabled": True, "swayStrength": 0.5})
    return m


def zoom_at(frames, ms):
    if ms <= frames[0]["timestamp"]:
        f = frames[0]
        return f["centerX"], f["centerY"], f["zoom"]
    for a, b in zip(frames, frames[1:]):
        if a["timestamp"] <= ms < b["timestamp"]:
            u = (ms - a["timestamp"]) / (b["timestamp"] - a["timestamp"])
            return tuple(a[k] + (b[k] - a[k]) * u for k in ("centerX", "centerY", "zoom"))
    f = frames[-1]
    return f["centerX"], f["centerY"], f["zoom"]


def ffmpeg_scene(d, source, seconds, m, output, upscale=1):
    """The same scene as an ffmpeg filtergraph. The styled background (gradient, shadow) and the rounded
    corner mask are drawn once into PNGs, so the graph does what ffmpeg has to do per frame: scale and round the
    video, overlay it, zoompan, and overlay the cursor. zoompan crops at whole input pixels, so a slow pan at
    zoom 2 moves in 2-pixel jumps; the usual cure is to upscale before it (`upscale` = 4 here), which costs
    ffmpeg far more and is what it takes to match our sub-pixel camera."""
    cursor_png = os.path.join(BUNDLE, "cursor-default-default.png")
    frames = m["videoPlan"]["resolvedZoomFrames"]
    fps = 30
    n = int(seconds * fps)
    # zoompan evaluates its expressions per output frame 'on': the same eased moves as the keyframes, written as
    # one smoothstep per move between the key moments.
    keys = []
    zoom_frames(seconds, keys)

    def piecewise(idx):
        t = f"(on/{fps})"
        expr = f"{keys[-1][idx]:.3f}"
        for (t0, *v0), (t1, *v1) in reversed(list(zip(keys, keys[1:]))):
            a, b = v0[idx - 1], v1[idx - 1]
            u = f"(({t}-{t0:.3f})/{t1 - t0:.3f})"
            expr = f"if(lt({t},{t1:.3f}),{a:.3f}+({b - a:.3f})*{u}*{u}*(3-2*{u}),{expr})"
        return f"if(lt({t},{keys[0][0]:.3f}),{keys[0][idx]:.3f},{expr})"

    zexpr = piecewise(3)
    xexpr = f"({piecewise(1)})*{upscale}-iw/zoom/2"
    yexpr = f"({piecewise(2)})*{upscale}-ih/zoom/2"
    cmds = os.path.join(d, "cursor.cmd")
    pos = m["videoPlan"]["cursorData"]["positions"]
    with open(cmds, "w") as f:
        for i in range(n):
            ms = i * 1000 / fps
            p = pos[min(int(ms / 1000 * 60), len(pos) - 1)]
            cx, cy, z = zoom_at(frames, ms)
            px = W / 2 + (VIDEO_X + p["x"] * VIDEO_W - cx) * z
            py = H / 2 + (VIDEO_Y + p["y"] * VIDEO_H - cy) * z
            f.write(f"{i / fps:.4f} overlay@cur x {px - 8:.1f}, overlay@cur y {py - 6:.1f};\n")
    vw, vh = int(round(VIDEO_W)) // 2 * 2, int(VIDEO_H)
    graph = (f"[0:v]scale={vw}:{vh}:flags=lanczos,format=rgba[vid];"
             f"[2:v]format=gray,scale={vw}:{vh}[mask];[vid][mask]alphamerge[rv];"
             f"[1:v][rv]overlay={int(VIDEO_X)}:{int(VIDEO_Y)}:format=auto:shortest=1,format=yuv420p[st];"
             + (f"[st]scale=iw*{upscale}:ih*{upscale}[big];[big]" if upscale > 1 else "[st]") +
             f"zoompan=z='{zexpr}':x='{xexpr}':y='{yexpr}':d=1:s={W}x{H}:fps={fps}[zm];"
             f"[3:v]scale=45:-1[cur];[zm][cur]overlay@cur=x=0:y=0:eval=frame,sendcmd=f={cmds},format=yuv420p[out]")
    cmd = ["ffmpeg", "-v", "error", "-y", "-i", source, "-loop", "1", "-framerate", str(fps), "-i",
           os.path.join(d, "background.png"), "-loop", "1", "-framerate", str(fps), "-i", os.path.join(d, "mask.png"),
           "-loop", "1", "-i", cursor_png, "-filter_complex", graph, "-map", "[out]", "-map", "0:a", "-c:a", "copy",
           "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "12M", "-r", str(fps), "-frames:v", str(n),
           "-t", str(seconds), output]
    start = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"ffmpeg filtergraph failed: {proc.stderr[-2000:]}")
    return time.monotonic() - start


def make_styling_pngs(d):
    """Background with its shadow (no video) and the rounded-corner mask, drawn once by ffmpeg itself."""
    vw, vh, r = int(VIDEO_W) // 2 * 2, int(VIDEO_H), 24
    rounded = (f"255*lte(hypot(max(max({r}-X,X-(W-1-{r})),0),max(max({r}-Y,Y-(H-1-{r})),0)),{r})")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=black:s={vw}x{vh}:d=1,format=gray",
                    "-vf", f"geq=lum='{rounded}'", "-frames:v", "1", os.path.join(d, "mask.png")], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"gradients=s={W}x{H}:c0=0x4F46E5:c1=0xEC4899:x0=0:y0=0:x1={W}:y1={H}:nb_colors=2:d=1",
                    "-f", "lavfi", "-i", f"color=black@0.0:s={W}x{H}:d=1,format=rgba",
                    "-i", os.path.join(d, "mask.png"), "-filter_complex",
                    f"[2:v]pad={W}:{H}:{int(VIDEO_X)}:{int(VIDEO_Y) + 12},boxblur=30,lutyuv=y=val*0.6[sh];"
                    f"[1:v][sh]alphamerge[shadow];[0:v][shadow]overlay=format=auto",
                    "-frames:v", "1", os.path.join(d, "background.png")], check=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--keep", help="directory to keep the source, manifest and outputs in")
    ap.add_argument("--smooth", action="store_true",
                    help="also time ffmpeg once with zoompan on a 4x upscaled canvas (sub-pixel smooth like ours)")
    args = ap.parse_args()
    d = args.keep or tempfile.mkdtemp(prefix="vantrel-zoom-cursor-bench-")
    os.makedirs(d, exist_ok=True)
    try:
        src = os.path.join(d, "source.mp4")
        export_bench.make_source(src, args.seconds)
        m = scene_manifest(src, args.seconds)
        make_styling_pngs(d)
        ours, theirs = [], []
        for _ in range(args.runs):  # interleaved, so load affects both alike
            report, wall = export_bench.run_export(d, "scene", m)
            ours.append((report, wall))
            theirs.append(ffmpeg_scene(d, src, args.seconds, m, os.path.join(d, "ffmpeg.mp4")))
        total = statistics.median(r["totalMs"] for r, _ in ours)
        wall = statistics.median(w for _, w in ours)
        target = ours[0][0]["expectedTargetMs"]
        ff = statistics.median(theirs)
        print(f"zoom + motion blur + cursor scene, {args.seconds:g} s 1080p30 with copied audio ({args.runs} runs):")
        print(f"  vantrel export: totalMs median {total:.0f} (wall {wall:.1f} s), target {target:.0f} ms:"
              f" {'met' if total <= target else 'missed'}")
        print(f"  ffmpeg filtergraph (overlay + zoompan + cursor overlay): median {ff:.1f} s")
        print(f"  ffmpeg / vantrel wall time: {ff / wall:.2f}x")
        if args.smooth:
            smooth = ffmpeg_scene(d, src, args.seconds, m, os.path.join(d, "ffmpeg-smooth.mp4"), upscale=4)
            print(f"  ffmpeg with zoompan on a 4x upscaled canvas (no pixel jitter), one run: {smooth:.1f} s,"
                  f" {smooth / wall:.2f}x our median")
        print("  runs (vantrel totalMs, ffmpeg s):", [(round(r['totalMs']), round(f, 1)) for (r, _), f in zip(ours, theirs)])
    finally:
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
