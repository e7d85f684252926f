#!/usr/bin/env python3
"""Overlay scene benchmark: a styled 1080p30 screen recording with a camera
bubble, two text overlays (one boxed, one fading), a pixellating blur over a
region, word-highlighted subtitles and pen strokes that are drawn and fade,
exported by the real vantrel-export-helper; beside it, the same scene as an
ffmpeg filtergraph (overlay of the rounded camera, drawtext, crop+pixelize,
the subtitles filter on an ASS file with karaoke highlights, a stroke PNG
overlaid with fades), measured in the same run.

  bench/export-helper/encode/overlay_scene_bench.py [--runs N] [--seconds S] [--keep DIR]

Prints medians: the export's totalMs against the performance plan's
expectedTargetMs, the ffmpeg filtergraph's wall time, and their ratio.
--keep DIR leaves the sources, the manifest and both outputs there.
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
import zoom_cursor_bench  # noqa: E402  (styling PNGs for the filtergraph)

W, H = 1920, 1080
PADDING = zoom_cursor_bench.PADDING
VIDEO_X, VIDEO_Y = zoom_cursor_bench.VIDEO_X, zoom_cursor_bench.VIDEO_Y
VIDEO_W, VIDEO_H = zoom_cursor_bench.VIDEO_W, zoom_cursor_bench.VIDEO_H
FONT = export_bench.FONT

WORDS = ("the quarterly numbers are in and every region grew faster than planned while costs stayed flat "
         "so the team can hire two more engineers before the summer release ships").split()


def make_camera(path, seconds):
    """A webcam-like 640x480 clip: a moving test pattern with a soft face-sized disc."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s=640x480:r=30:d={seconds}",
                    "-vf", "drawbox=x=220:y=120:w=200:h=240:color=0xE0B090@0.8:t=fill",
                    "-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", "60", "-pix_fmt", "yuv420p", path],
                   check=True)


def captions(seconds):
    """A caption of six words every 3 s, each word spoken for 0.4 s."""
    out = []
    k = 0
    t = 0.5
    while t + 3 <= seconds:
        words = []
        for i in range(6):
            w = WORDS[(k * 6 + i) % len(WORDS)]
            words.append({"id": f"w{k}-{i}", "text": w, "timelineStart": t + i * 0.4, "timelineEnd": t + i * 0.4 + 0.38})
        out.append({"id": f"c{k}", "startTime": t, "endTime": t + 2.9, "lines": [words]})
        t += 3
        k += 1
    return out


def strokes(seconds):
    """Every 10 s a circle drawn in 0.9 s around the title, lifted and faded 1.5 s later."""
    out = []
    for k in range(int(seconds // 10)):
        t0 = k * 10000 + 2000
        pts = []
        for i in range(61):
            a = 2 * math.pi * i / 60
            pts.append({"x": 0.28 + 0.2 * math.cos(a), "y": 0.17 + 0.07 * math.sin(a), "timestamp": t0 + i * 15})
        out.append({"id": f"s{k}", "color": "#FF3B6B", "points": pts, "startedAt": t0, "completedAt": t0 + 900})
    return out


def scene_manifest(source, camera, seconds):
    m = export_bench.manifest(source, seconds, styled=True, minimal=False, audio=True)
    m["scene"]["settings"]["video"]["padding"] = PADDING
    m["cameraPlan"] = {
        "cameraSegments": [{"id": "cam", "startTime": 0, "endTime": seconds, "videoUrl": camera,
                            "recordingStartTime": 0, "originalStartTime": 0, "originalEndTime": seconds}],
        "cameraSettingsById": {"cam": {"showCamera": True, "scale": 100, "shape": "1:1", "verticalAlignment": "bottom",
                                       "horizontalAlignment": "right", "positionMode": "canvas",
                                       "positionTransitionStyle": "ease", "padding": 32, "radius": 120,
                                       "animationDuration": 0.4}},
        "hiddenCameraSegmentIds": []}
    op = m["overlayPlan"]
    op["textOverlays"] = [
        {"id": "title", "startTime": 0, "endTime": seconds, "x": 0.05, "y": 0.05, "width": 0.4, "height": 0.1,
         "text": "Quarterly review", "color": "#FFFFFF", "fontSize": 56, "fontWeight": 700, "textAlign": "left",
         "backgroundEnabled": True, "backgroundColor": "#111827", "backgroundOpacity": 85, "backgroundRadius": 16},
        {"id": "note", "startTime": 1, "endTime": seconds - 1, "x": 0.55, "y": 0.82, "width": 0.4, "height": 0.08,
         "text": "Numbers are preliminary", "color": "#1F2430", "fontSize": 36, "fontWeight": 500,
         "animationStyle": "fade"}]
    op["blurOverlays"] = [{"id": "clock", "startTime": 0, "endTime": seconds, "x": 0.67, "y": 0.27, "width": 0.28,
                           "height": 0.12, "pixelSize": 14, "cornerRadius": 12}]
    op["subtitleCaptions"] = captions(seconds)
    op["annotationData"] = {"version": 1, "coordinateSpace": "normalized",
                            "brush": {"radius": 6, "fadeDelayMs": 1500, "fadeDurationMs": 600, "lerp": 0.5,
                                      "minDistance": 2},
                            "sourceWidth": 1920, "sourceHeight": 1080, "strokes": strokes(seconds)}
    return m


def ass_file(path, caps):
    """The captions as ASS karaoke lines: each word turns yellow when spoken."""
    def ts(t):
        return f"{int(t // 3600)}:{int(t % 3600 // 60):02d}:{t % 60:05.2f}"
    lines = ["[Script Info]", "ScriptType: v4.00+", f"PlayResX: {W}", f"PlayResY: {H}", "",
             "[V4+ Styles]",
             "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
             "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
             "MarginL, MarginR, MarginV, Encoding",
             "Style: Default,Inter,52,&H0000D7FF,&H00FFFFFF,&H00000000,&H80000000,1,0,0,0,100,100,0,0,1,3,0,2,40,40,"
             "80,1", "", "[Events]", "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text"]
    for c in caps:
        words = c["lines"][0]
        text = " ".join("{\\k%d}%s" % (int(round((w["timelineEnd"] - w["timelineStart"]) * 100)) + 2, w["text"])
                        for w in words)
        lines.append(f"Dialogue: 0,{ts(c['startTime'])},{ts(c['endTime'])},Default,,0,0,0,,{text}")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def stroke_png(d):
    """The pen circle drawn once, for the filtergraph to fade in and out."""
    vw, vh = int(VIDEO_W), int(VIDEO_H)
    cx, cy, rx, ry = 0.28 * vw, 0.17 * vh, 0.2 * vw, 0.07 * vh
    expr = (f"if(lte(abs(hypot((X-{cx:.1f})/{rx:.1f},(Y-{cy:.1f})/{ry:.1f})-1),0.03),255,0)")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=0xFF3B6B:s={vw}x{vh}:d=1,format=rgba",
                    "-vf", f"geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='{expr}'", "-frames:v", "1",
                    os.path.join(d, "stroke.png")], check=True)


def ffmpeg_scene(d, source, camera, seconds, m, output):
    fps = 30
    n = int(seconds * fps)
    ass = os.path.join(d, "captions.ass")
    ass_file(ass, m["overlayPlan"]["subtitleCaptions"])
    stroke_png(d)
    vw, vh = int(round(VIDEO_W)) // 2 * 2, int(VIDEO_H)
    side, pad = 270, 32
    bx = int(VIDEO_X + 0.67 * VIDEO_W)
    by = int(VIDEO_Y + 0.27 * VIDEO_H)
    bw, bh = int(0.28 * VIDEO_W) // 2 * 2, int(0.12 * VIDEO_H) // 2 * 2
    fades = "+".join(f"between(t,{k * 10 + 2},{k * 10 + 4.4})" for k in range(int(seconds // 10))) or "0"
    graph = (f"[0:v]scale={vw}:{vh}:flags=lanczos,format=rgba[vid];"
             f"[2:v]format=gray,scale={vw}:{vh}[mask];[vid][mask]alphamerge[rv];"
             f"[1:v][rv]overlay={int(VIDEO_X)}:{int(VIDEO_Y)}:format=auto:shortest=1[st];"
             f"[st]split[a][b];[b]crop={bw}:{bh}:{bx}:{by},pixelize=w=14:h=14[px];[a][px]overlay={bx}:{by}[bl];"
             f"[4:v]format=rgba[pen];[bl][pen]overlay={int(VIDEO_X)}:{int(VIDEO_Y)}:enable='{fades}'[an];"
             f"[an]drawtext=fontfile={FONT}:text='Quarterly review':x={int(VIDEO_X + 0.05 * VIDEO_W)}:"
             f"y={int(VIDEO_Y + 0.05 * VIDEO_H)}:fontsize=56:fontcolor=white:box=1:boxcolor=0x111827@0.85:"
             f"boxborderw=16,"
             f"drawtext=fontfile={FONT}:text='Numbers are preliminary':x={int(VIDEO_X + 0.55 * VIDEO_W)}:"
             f"y={int(VIDEO_Y + 0.82 * VIDEO_H)}:fontsize=36:fontcolor=0x1F2430:"
             f"alpha='min(1,min(t-1,{seconds - 1}-t)/0.3)'[tx];"
             f"[3:v]scale={side}:{side}:force_original_aspect_ratio=increase,crop={side}:{side},format=rgba[cam];"
             f"[5:v]format=gray,scale={side}:{side}[cmask];[cam][cmask]alphamerge[camr];"
             f"[tx][camr]overlay={W - side - pad}:{H - side - pad}[cv];"
             f"[cv]subtitles={ass},format=yuv420p[out]")
    rounded_cam = os.path.join(d, "cam_mask.png")
    r = 120 * side / 270
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=black:s={side}x{side}:d=1,format=gray",
                    "-vf", f"geq=lum='255*lte(hypot(max(max({r}-X,X-(W-1-{r})),0),max(max({r}-Y,Y-(H-1-{r})),0)),{r})'",
                    "-frames:v", "1", rounded_cam], check=True)
    cmd = ["ffmpeg", "-v", "error", "-y", "-i", source, "-loop", "1", "-framerate", str(fps), "-i",
           os.path.join(d, "background.png"), "-loop", "1", "-framerate", str(fps), "-i", os.path.join(d, "mask.png"),
           "-i", camera, "-loop", "1", "-framerate", str(fps), "-i", os.path.join(d, "stroke.png"),
           "-loop", "1", "-framerate", str(fps), "-i", rounded_cam,
           "-filter_complex", graph, "-map", "[out]", "-map", "0:a", "-c:a", "copy",
           "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "12M", "-r", str(fps), "-frames:v", str(n),
           "-t", str(seconds), output]
    start = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"ffmpeg filtergraph failed: {proc.stderr[-2000:]}")
    return time.monotonic() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--keep")
    args = ap.parse_args()
    d = args.keep or tempfile.mkdtemp(prefix="vantrel-overlay-bench-")
    os.makedirs(d, exist_ok=True)
    try:
        source = os.path.join(d, "source.mp4")
        camera = os.path.join(d, "camera.mp4")
        export_bench.make_source(source, args.seconds)
        make_camera(camera, args.seconds)
        zoom_cursor_bench.make_styling_pngs(d)
        m = scene_manifest(source, camera, args.seconds)
        ours, targets, theirs = [], [], []
        for i in range(args.runs):
            report, wall = export_bench.run_export(d, f"overlay-{i}", m)
            ours.append(report["totalMs"] / 1000)
            targets.append(report["expectedTargetMs"] / 1000)
            theirs.append(ffmpeg_scene(d, source, camera, args.seconds, m, os.path.join(d, f"ffmpeg-{i}.mp4")))
            print(f"run {i}: vantrel {ours[-1]:.1f} s (target {targets[-1]:.1f} s), ffmpeg {theirs[-1]:.1f} s",
                  flush=True)
        o, t, f = statistics.median(ours), statistics.median(targets), statistics.median(theirs)
        print(f"overlay scene {args.seconds:g} s 1080p30: vantrel {o:.1f} s (target {t:.1f} s, "
              f"{'met' if o <= t else 'missed'}), ffmpeg filtergraph {f:.1f} s, ffmpeg/vantrel {f / o:.2f}x")
    finally:
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
