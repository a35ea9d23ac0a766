#!/usr/bin/env bash
# Builds the toolkit and plays an animation on the viewer.
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
bin="$build/bin"
run="$here/run"

packages=(build-essential cmake freeglut3-dev libgl1-mesa-dev libglu1-mesa-dev libgl1-mesa-dri)

usage() {
    sed -n '3,9p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

edge=12
case "${1:-show}" in
    show) animation=(cubeshow 12) ;;
    fill5) edge=5 animation=(cubefill) ;;
    fill12) animation=(cubefill 12) ;;
    --edge)
        [[ $# -ge 3 && ( $2 == 5 || $2 == 12 ) ]] || usage
        edge=$2
        animation=("${@:3}")
        ;;
    -h | --help) usage ;;
    *) usage ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCUBE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

# The animation runs in run/anim: a path is made absolute first, and a bare
# name is looked up among the built programs, then on the PATH.
if [[ ${animation[0]} == */* ]]; then
    animation[0]=$(realpath "${animation[0]}")
elif [[ -x "$bin/${animation[0]}" ]]; then
    animation[0]="$bin/${animation[0]}"
fi

mkdir -p "$run/anim"
# The channel file is the run's to create: neither program makes it.
head -c 46 /dev/zero >"$run/shared_buffer.txt"
for program in launch app5 app12; do
    ln -sf "$bin/$program" "$run/anim/$program"
done

started=()
stop_all() {
    trap - INT TERM EXIT
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM

if [[ -n ${DISPLAY:-} ]]; then
    receiver=("$bin/cubeview$edge")
else
    echo "No display (DISPLAY is not set): printing each frame with cubetrace instead of showing it." >&2
    echo "Columns: release number, ms since start, lit LEDs, frame hash." >&2
    receiver=("$bin/cubetrace" --edge "$edge")
fi

(cd "$run" && exec "${receiver[@]}") &
started+=($!)
viewer=$!

# The file starts all zero; the receiver marks it idle (200) once it serves
# the channel, and only then may the animation send its first frame.
status_byte() { od -An -tu1 -N1 "$run/shared_buffer.txt" | tr -d ' '; }
until [[ $(status_byte) == 200 ]]; do
    kill -0 "$viewer" 2>/dev/null || { echo "the receiver did not start" >&2; exit 1; }
    sleep 0.05
done

(cd "$run/anim" && exec "${animation[@]}") &
started+=($!)
wait $! || true

if [[ -n ${DISPLAY:-} ]]; then
    echo "The animation has ended; the viewer stays open until you quit it (Escape or q)." >&2
    wait "$viewer" || true
fi
