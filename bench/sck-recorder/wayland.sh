#!/usr/bin/env bash
# Real-time capture bench on the headless Wayland desktop (scripts/wayland-session):
# ffplay shows a moving 1920x1080 test picture at 30 fps full screen, so every
# frame changes, and the recorder records the output through the ScreenCast
# portal and PipeWire at 30 fps for N seconds, R times. Per run it prints the
# complete frames the stream delivered, the frames in the file, the drops
# (delivered but not written: encoder back-pressure), the file's frame rate
# against 30 and the recorder's CPU; then the medians.
# Usage: bench/sck-recorder/wayland.sh <recorder> [seconds=20] [runs=3] [legacy|sc]
set -euo pipefail
rec="$1"; secs="${2:-20}"; runs="${3:-3}"; backend="${4:-legacy}"
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d)
trap '"$here/scripts/wayland-session" stop "$dir/s"; rm -rf "$dir"' EXIT
mkdir -p "$dir/s"
chmod 755 "$dir"  # sway may run as another user (see scripts/wayland-session)
"$here/scripts/wayland-session" start "$dir/s" --size 1920x1080 >/dev/null
set -a; . "$dir/s/env"; set +a
unset DISPLAY
SDL_VIDEODRIVER=wayland ffplay -v quiet -an -fs -f lavfi -i testsrc2=size=1920x1080:rate=30 >/dev/null 2>&1 & player=$!
trap 'kill "$player" 2>/dev/null || true; "$here/scripts/wayland-session" stop "$dir/s"; rm -rf "$dir"' EXIT
sleep 3
pref=$([[ $backend == legacy ]] && echo legacy-avassetwriter || echo sc-recording-output)
for ((i = 1; i <= runs; i++)); do
  cfg="{\"type\":\"display\",\"displayId\":1,\"outputPath\":\"$dir/out$i.mp4\",\"fps\":30,\"backendPreference\":\"$pref\"}"
  ( sleep "$secs"; echo stop ) | /usr/bin/time -f "%U %S %e" -o "$dir/time$i" "$rec" "$cfg" > "$dir/lines$i"
done
python3 - "$dir" "$runs" <<'PY'
import json, statistics, subprocess, sys
d, runs = sys.argv[1], int(sys.argv[2])
rows = []
for i in range(1, runs + 1):
    lines = [json.loads(l) for l in open(f"{d}/lines{i}")]
    stopped = next(l for l in lines if l.get("status") == "stopped")
    t = stopped["telemetry"]
    u, s, e = map(float, open(f"{d}/time{i}").read().split())
    path = stopped["path"]
    probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v",
                                       "-show_entries", "stream=nb_read_packets,width,height:format=duration",
                                       "-of", "json", path], capture_output=True, text=True).stdout)
    written = int(probe["streams"][0]["nb_read_packets"])
    duration = float(probe["format"]["duration"])
    complete = t["screenSamplesComplete"]
    row = dict(complete=complete, written=written, dropped=100 * (complete - written) / max(complete, 1),
               fps=written / duration, cpu=100 * (u + s) / e,
               size=f'{probe["streams"][0]["width"]}x{probe["streams"][0]["height"]}')
    rows.append(row)
    print(f"run {i}: {row['size']} complete={complete} written={written} dropped={row['dropped']:.2f}% "
          f"file fps={row['fps']:.1f} cpu={row['cpu']:.0f}% of one core")
med = {k: statistics.median(r[k] for r in rows) for k in ("dropped", "fps", "cpu")}
print(f"median: dropped={med['dropped']:.2f}% file fps={med['fps']:.1f} cpu={med['cpu']:.0f}% of one core")
PY
