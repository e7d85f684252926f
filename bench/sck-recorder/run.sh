#!/usr/bin/env bash
# Real-time capture bench: records a display of the given size at 30 fps with
# the test microphone for N seconds while an xterm scrolls text (every frame
# changes), then reports dropped frames, CPU and start-to-first-frame.
# Usage: bench/sck-recorder/run.sh <recorder> <WxH> <seconds> [legacy|sc]
set -euo pipefail
rec="$1"; size="$2"; secs="$3"; backend="${4:-legacy}"
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d)
trap '"$here/scripts/desktop-session" stop "$dir/s"; rm -rf "$dir"' EXIT
sed "s/1920x1080x24/${size}x24/" "$here/scripts/desktop-session" > "$dir/session"; chmod +x "$dir/session"
"$dir/session" start "$dir/s" >/dev/null
set -a; . "$dir/s/env"; set +a
display=$("$rec" --list-displays | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["id"])')
xterm -geometry 200x60+0+0 -e 'yes "vantrel capture bench $(date)"' & xt=$!
sleep 1
pref=$([[ $backend == legacy ]] && echo legacy-avassetwriter || echo sc-recording-output)
cfg="{\"type\":\"display\",\"displayId\":$display,\"outputPath\":\"$dir/out.mp4\",\"fps\":30,\"microphoneDeviceId\":\"vantrel_null_source\",\"backendPreference\":\"$pref\"}"
t0=$(date +%s.%N)
( sleep "$secs"; echo stop ) | /usr/bin/time -f "%U %S %e" -o "$dir/time" "$rec" "$cfg" > "$dir/lines"
kill "$xt" 2>/dev/null || true
python3 - "$dir" "$t0" <<'PY'
import json, sys, subprocess
d, t0 = sys.argv[1], float(sys.argv[2])
lines = [json.loads(l) for l in open(d + "/lines")]
first = next(l for l in lines if l.get("status") == "firstSample")["firstSampleWallClock"] / 1000
stopped = next(l for l in lines if l.get("status") == "stopped")
t = stopped["telemetry"]
u, s, e = map(float, open(d + "/time").read().split())
path = stopped["path"]
n = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v", "-show_entries",
                    "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True).stdout.strip()
complete = t["screenSamplesComplete"]
written = int(n)
print(f"complete={complete} written={written} dropped={complete-written} ({100*(complete-written)/max(complete,1):.2f}%) "
      f"cpu={100*(u+s)/e:.0f}% of one core, start-to-first-frame={1000*(first-t0):.0f} ms (incl. process launch)")
PY
