#!/usr/bin/env bash
# Records a realistic screen recording for the export benchmarks: a private
# 1920x1080 test desktop (scripts/desktop-session: Xvfb + openbox + tint2) on a
# dark gradient wallpaper, a terminal in which commands are typed, a second
# terminal paging through a long document with less, a window dragged across
# the screen and idle stretches, captured with ffmpeg's x11grab at 30 fps into
# an H.264 MP4 at CRF 18 with a key frame every 2 s and no B-frames (what a
# screen recorder writes).
#
# Usage:
#   bench/export-helper/encode/record_realistic_source.sh [output.mp4] [--seconds N]
# Default output: build/bench/realistic-60s.mp4 under the repository; N = 60.
#
# The timeline is driven by wall-clock marks taken from the capture start, so
# the content is the same from run to run up to the capture's frame timing; on
# a loaded machine x11grab repeats frames rather than stretching the timeline
# (-fps_mode cfr), the file always holds N x 30 frames.
# Needs: Xvfb, openbox, tint2, hsetroot, xterm, xdotool, less, ffmpeg with x11grab.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
out="$root/build/bench/realistic-60s.mp4"
seconds=60
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds)
      [[ $# -ge 2 && "$2" =~ ^[0-9]+$ && "$2" -ge 20 && "$2" -le 3600 ]] || { echo "--seconds needs 20..3600" >&2; exit 2; }
      seconds="$2"; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) out="$1" ;;
  esac
  shift
done
for tool in Xvfb openbox xterm xdotool hsetroot less ffmpeg; do
  command -v "$tool" >/dev/null || { echo "record_realistic_source: $tool is missing (scripts/bootstrap)" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

state="$(mktemp -d -t vantrel-realistic-XXXXXX)"
ffpid=""
cleanup() {
  [[ -n "$ffpid" ]] && kill -INT "$ffpid" 2>/dev/null && wait "$ffpid" 2>/dev/null
  "$root/scripts/desktop-session" stop "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT
"$root/scripts/desktop-session" start "$state" --no-audio >/dev/null
set -a
# shellcheck disable=SC1091
. "$state/env"
set +a
export HOME="$state/home"

# A dark two-tone wallpaper: the smooth dark gradient is where blocking shows first.
hsetroot -add "#0f1b2d" -add "#24344f" -add "#101522" -gradient 160 >/dev/null 2>&1

# The long document: this repository's own sources, about 4000 lines.
doc="$HOME/document.txt"
find "$root/platform/media" "$root/export-helper/encode" \( -name '*.cpp' -o -name '*.h' -o -name '*.md' \) |
  LC_ALL=C sort | awk 'NR <= 40' | xargs cat | awk 'NR <= 4000' > "$doc"

# No rc files, a fixed prompt and no title changes, so windows can be found by title.
shell=(bash --noprofile --norc)
common=(-fa "DejaVu Sans Mono" -fs 11 +sb -xrm "XTerm*allowTitleOps: false" -xrm "XTerm*cursorBlink: true")
PS1='\[\e[1;32m\]dev@box\[\e[0m\]:\[\e[1;34m\]\w\[\e[0m\]$ ' \
  setsid xterm "${common[@]}" -title term-shell -bg "#1e1e2e" -fg "#d4d4d4" -geometry 100x34+70+60 \
  -e "${shell[@]}" >/dev/null 2>&1 &
echo $! >> "$state/pids"
(cd "$HOME" && exec setsid xterm "${common[@]}" -title term-doc -bg "#fbfbf8" -fg "#202020" -geometry 96x44+1000+120 \
  -e less -N document.txt) >/dev/null 2>&1 &
echo $! >> "$state/pids"
shell_win="$(xdotool search --sync --name '^term-shell$' | head -n1)"
doc_win="$(xdotool search --sync --name '^term-doc$' | head -n1)"
sleep 1  # first paint

cd "$root"
ffmpeg -v error -y -f x11grab -framerate 30 -video_size 1920x1080 -draw_mouse 1 -i "$DISPLAY" -t "$seconds" \
  -fps_mode cfr -r 30 -c:v libx264 -preset ultrafast -crf 18 -g 60 -bf 0 -pix_fmt yuv420p \
  -color_primaries bt709 -color_trc iec61966-2-1 -colorspace bt709 -movflags +faststart "$out" </dev/null &
ffpid=$!
t0=$(date +%s.%N)

# Sleeps until <s> seconds after the capture start (no-op when already late).
at() {
  local now wait
  now=$(date +%s.%N)
  wait=$(awk -v a="$t0" -v b="$now" -v s="$1" 'BEGIN { w = a + s - b; print (w > 0 ? w : 0) }')
  sleep "$wait"
}
# Scales a mark of the 60 s script to the requested length.
mark() { awk -v s="$1" -v n="$seconds" 'BEGIN { print s * n / 60 }'; }
glide() { # mouse from its place to x y in ~n steps of 1/30 s
  local x="$1" y="$2" n="$3" cx cy i
  eval "$(xdotool getmouselocation --shell)"
  cx=$X; cy=$Y
  for ((i = 1; i <= n; i++)); do
    xdotool mousemove $((cx + (x - cx) * i / n)) $((cy + (y - cy) * i / n))
    sleep 0.033
  done
}
typeline() { xdotool type --window "$shell_win" --delay 70 -- "$1"; xdotool key --window "$shell_win" Return; }
focus() { xdotool windowactivate --sync "$1" >/dev/null 2>&1 || true; }

at "$(mark 1.5)"
glide 500 400 20; xdotool click 1; focus "$shell_win"
at "$(mark 3)"
typeline "cd $root && ls"
at "$(mark 7)"
typeline "grep -n 'x264' platform/media/src/*.cpp | head -20"
at "$(mark 12)"
typeline "for i in 1 2 3 4 5; do echo \"pass \$i: \$(date +%T)\"; sleep 0.3; done"
at "$(mark 16)"   # idle: only the cursor blinks

at "$(mark 20)"
glide 1400 600 25; xdotool click 1; focus "$doc_win"
at "$(mark 22)"
for ((i = 0; i < 60; i++)); do xdotool key --window "$doc_win" j; sleep 0.08; done  # line by line
for ((i = 0; i < 6; i++)); do xdotool key --window "$doc_win" space; sleep 0.7; done  # page by page
for ((i = 0; i < 25; i++)); do xdotool key --window "$doc_win" k; sleep 0.1; done
at "$(mark 36)"   # idle reading

at "$(mark 40)"   # drag the document window to the left and back
eval "$(xdotool getwindowgeometry --shell "$doc_win")"
x0=$X; y0=$Y
for ((i = 1; i <= 45; i++)); do xdotool windowmove "$doc_win" $((x0 - 14 * i)) $((y0 + 3 * i)); sleep 0.033; done
for ((i = 44; i >= 0; i--)); do xdotool windowmove "$doc_win" $((x0 - 14 * i)) $((y0 + 3 * i)); sleep 0.033; done

at "$(mark 46)"
glide 400 500 20; xdotool click 1; focus "$shell_win"
typeline "wc -l ~/document.txt"
at "$(mark 50)"
typeline "echo recording done"
at "$(mark 54)"   # idle until the end
wait "$ffpid"
ffpid=""
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$out")
echo "record_realistic_source: $out ($frames frames, $(du -h "$out" | cut -f1))"
