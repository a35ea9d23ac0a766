#!/usr/bin/env bash
# Takes the README's screenshot: cubeview12 playing `cubeshow 12` on a
# private X server, captured during the show's long zigzag flash.
#   scripts/screenshot.sh [OUTPUT.png] [SECONDS_INTO_THE_SHOW]
# Needs a built tree (./run.sh or ./test.sh builds one), Xvfb, xdotool,
# xwd and ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
output=${1:-$here/docs/viewer.png}
at=${2:-32}
bin=$here/build/bin
[[ -x $bin/cubeview12 ]] || bin=$here/build-run/bin
[[ -x $bin/cubeview12 && -x $bin/cubeshow ]] || { echo "build the project first (./run.sh or ./test.sh)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 30 number <&"$display_fd"
export DISPLAY=:$number

mkdir -p "$work/anim"
head -c 46 /dev/zero >"$work/shared_buffer.txt"
(cd "$work" && exec "$bin/cubeview12") &
pids+=($!)
window=
until [[ -n $window ]]; do sleep 0.2; window=$(xdotool search --name 'Tavio Lumarix Using FreeGlut' 2>/dev/null | head -n 1 || true); done
xdotool windowmove "$window" 0 0
# Step back from the cube (right drag down), then turn it a little and look
# more from above (left drag right and down), as a user would.
drag() {
    local button=$1 dx=$2 dy=$3 steps=10 i
    xdotool mousemove 400 200 mousedown "$button"
    for ((i = 1; i <= steps; i++)); do xdotool mousemove $((400 + dx * i / steps)) $((200 + dy * i / steps)); done
    xdotool mouseup "$button"
}
drag 3 0 45
drag 1 50 30

(cd "$work/anim" && exec "$bin/cubeshow" 12 >/dev/null) &
pids+=($!)
sleep "$at"
xwd -root -silent | convert xwd:- -crop 800x600+0+0 +repage "$output"
echo "wrote $output"
