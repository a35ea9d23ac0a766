#!/usr/bin/env bash
# Builds the toolkit and plays an animation on the viewer, with cubeplay.
#
#   ./run.sh               the show on the edge-12 viewer (cubeshow 12)
#   ./run.sh fill5         the fill on the edge-5 viewer  (cubefill)
#   ./run.sh fill12        the fill on the edge-12 viewer (cubefill 12)
#   ./run.sh --edge N PROGRAM [ARGS...]
#                          your own animation program on the edge-N viewer
#
# The run directory is ./run: the viewer works in run/ beside the channel
# file "shared_buffer.txt", the animation in run/anim/ (with launch, app5 and
# app12). With no display the frames are printed by cubetrace instead.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/build-run"

usage() {  # to the descriptor given
    { echo "Usage:"; sed -n '4,9p' "$0" | sed 's/^# \{0,1\}//'; } >&"$1"
}

case "${1:-show}" in
    show) play=(--edge 12 cubeshow 12) ;;
    fill5) play=(--edge 5 cubefill) ;;
    fill12) play=(--edge 12 cubefill 12) ;;
    --edge)
        [[ $# -ge 3 ]] || { usage 2; exit 2; }
        play=("$@")
        ;;
    -h | --help) usage 1; exit 0 ;;
    *) usage 2; exit 2 ;;
esac

# shellcheck source=scripts/packages.sh
source "$here/scripts/packages.sh"
need_packages "${run_packages[@]}"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

exec "$build/bin/cubeplay" --dir "$here/run" "${play[@]}"
