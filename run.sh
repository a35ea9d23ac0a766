#!/usr/bin/env bash
# Builds the toolkit and plays an animation on the viewer, with cubeplay.
#
#   ./run.sh               the show on the edge-12 viewer (cubeshow 12)
#   ./run.sh fill5         the fill on the edge-5 viewer  (cubefill)
#   ./run.sh fill12        the fill on the edge-12 viewer (cubefill 12)
#   ./run.sh effects [--edge N]
#                          every effect of cubefx on the viewer for edge N
#                          (default 12), one after another
#   ./run.sh web [--edge N]
#                          cubeweb for edge N (default 12): the cube live in
#                          a web page, from which you pick what it plays; it
#                          prints the address to open
#   ./run.sh python [--edge N] SCRIPT [ARGS...]
#                          builds the Python module ledcube and plays a
#                          Python animation on the edge-N viewer (default
#                          12), such as examples/python/plasma.py
#   ./run.sh --edge N [CUBEPLAY OPTION...] PROGRAM [ARGS...]
#                          your own animation program on the edge-N viewer
#                          (any edge from 3 to 16; one not built yet is added
#                          to the build); cubeplay's options such as
#                          --send e131://HOST light a real cube too
#
# The run directory is ./run: the viewer works in run/ beside the channel
# file "shared_buffer.txt", the animation in run/anim/ (with launch, app5 and
# app12). With no display the frames are printed by cubetrace instead. Each
# setup step prints one line; its whole output is kept in build-run/logs/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/build-run"

usage() {  # to the descriptor given
    { echo "Usage:"; sed -n '4,23p' "$0" | sed 's/^# \{0,1\}//'; } >&"$1"
}

# unusable WHY: a usage error, said in one line before the usage.
unusable() {
    echo "run.sh: $1" >&2
    usage 2
    exit 2
}

effects=false web=false python=false
case "${1:-show}" in
    show) play=(--edge 12 cubeshow 12) ;;
    fill5) play=(--edge 5 cubefill) ;;
    fill12) play=(--edge 12 cubefill 12) ;;
    effects)
        [[ $# -eq 1 || ($# -eq 3 && $2 == --edge) ]] || unusable "effects takes only --edge N"
        play=(--edge "${3:-12}" cubefx)
        effects=true  # cubefx is told the edge once it has been checked
        ;;
    web)
        [[ $# -eq 1 || ($# -eq 3 && $2 == --edge) ]] || unusable "web takes only --edge N"
        play=(--edge "${3:-12}")
        web=true
        ;;
    python)
        shift
        play=(--edge 12)
        if [[ ${1:-} == --edge ]]; then
            [[ $# -ge 3 ]] || unusable "python --edge N needs a script to play"
            play=(--edge "$2")
            shift 2
        fi
        [[ $# -ge 1 ]] || unusable "python needs a script to play"
        [[ -f $1 ]] || unusable "python: no script '$1'"
        # Absolute, since cubeplay runs the interpreter in run/anim.
        script=("$(realpath "$1")" "${@:2}")
        python=true
        ;;
    --edge)
        [[ $# -ge 3 ]] || unusable "--edge N needs a program to play"
        play=("$@")
        ;;
    -h | --help) usage 1; exit 0 ;;
    *) unusable "unknown command '$1'" ;;
esac

logs=$build/logs
# shellcheck source=scripts/setup.sh
source "$here/scripts/setup.sh"
need_packages "${run_packages[@]}"

# The edges built so far, and the one asked for.
edges=$(sed -n 's/^CUBE_EDGES:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
edges=${edges:-12;5}
if [[ ${play[0]} == --edge ]]; then
    edge=${play[1]}
    if ! [[ $edge =~ ^[0-9]{1,2}$ ]] || ((10#$edge < 3 || 10#$edge > 16)); then
        echo "run.sh: --edge takes a cube edge from 3 to 16, not '$edge' (try './run.sh --help')" >&2
        exit 2
    fi
    edge=$((10#$edge))
    play[1]=$edge
    ! $effects || play+=(--edge "$edge")
    [[ ";$edges;" == *";$edge;"* ]] || edges+=";$edge"
fi

python_option=()
! $python || python_option=(-DCUBE_PYTHON=ON)
step configure "Configuring…" \
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DCUBE_EDGES="$edges" \
    "${python_option[@]}"
step build "Building… (about a minute on 2 cores the first time)" cmake --build "$build" -j"$(nproc)"

if $web; then
    # cubeweb for another edge hands over to its build for that edge.
    exec "$build/bin/cubeweb" --dir "$here/run" --edge "$edge"
fi
if $python; then
    # The Python that the build found, with the module built for it.
    interpreter=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
    export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
    play+=("${interpreter:-/usr/bin/python3}" "${script[@]}")
fi
exec "$build/bin/cubeplay" --dir "$here/run" "${play[@]}"
