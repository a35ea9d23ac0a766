#!/usr/bin/env bash
# Makes the README's picture of the effects: rain, fireworks, the snake,
# plasma and the spinning cube at edge 8, played by cubefx, recorded and
# rendered by cuberender as an animated GIF of 360 × 270.
#   scripts/effects_gif.sh [OUTPUT.gif]
# Needs a build with edge 8 (./test.sh, or ./run.sh effects --edge 8). Takes
# about half a minute: the effects play in real time while they are recorded.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
output=${1:-$here/docs/effects.gif}
for bin in "$here/build-test/bin" "$here/build-run/bin"; do
    [[ -x $bin/cuberender8 && -x $bin/cubefx ]] && break
done
[[ -x $bin/cuberender8 && -x $bin/cubefx ]] ||
    { echo "build edge 8 first (./test.sh, or ./run.sh effects --edge 8)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/cubeplay" --edge 8 --record "$work/effects.rec" cubefx --edge 8 --fps 15 --duration 4 \
    rain fireworks snake plasma spin >/dev/null 2>"$work/play.txt" || { cat "$work/play.txt" >&2; exit 1; }
"$bin/cuberender" --size 360x270 --dist 10.5 --theta 30 --phi 22 --text none "$work/effects.rec" "$output"
