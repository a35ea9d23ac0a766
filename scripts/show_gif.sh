#!/usr/bin/env bash
# Makes the README's picture: the show, recorded from `cubeshow 12` and
# rendered by cuberender as an animated GIF of 400 × 300, with the camera
# stepped back, turned and raised a little, as a user would drag it.
#   scripts/show_gif.sh [OUTPUT.gif]
# Needs a built tree (./run.sh or ./test.sh builds one). Takes about a minute:
# the show plays in real time while it is recorded.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
output=${1:-$here/docs/show.gif}
bin=$here/build-test/bin
[[ -x $bin/cuberender ]] || bin=$here/build-run/bin
[[ -x $bin/cuberender && -x $bin/cubeplay ]] || { echo "build the project first (./run.sh or ./test.sh)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/cubeplay" --record "$work/show.rec" cubeshow 12 >/dev/null 2>"$work/play.txt" ||
    { cat "$work/play.txt" >&2; exit 1; }
"$bin/cuberender" --size 400x300 --dist 12.5 --theta 25 --phi 40 --text none "$work/show.rec" "$output"
