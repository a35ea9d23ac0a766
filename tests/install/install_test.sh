#!/usr/bin/env bash
# Installs the toolkit to a temporary prefix, builds the example animation
# against it as an outside user would (CMake package and pkg-config), and
# plays it on the installed cubetrace.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trace_pid=
cleanup() {
    [[ -n $trace_pid ]] && kill "$trace_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/cubeview12 bin/cubeview5 bin/cubeshow bin/cubefill bin/cubetrace bin/cubetrace5 bin/cubereplay \
            bin/launch bin/bytemax bin/app5 bin/app12 lib/liblbox.a include/lBox.h \
            lib/cmake/lbox/lboxConfig.cmake lib/pkgconfig/lbox.pc; do
    [[ -e $prefix/$file ]] || { echo "not installed: $file"; exit 1; }
done

cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
g++ "$source/examples/rain.cpp" $(pkg-config --cflags --libs lbox) -o "$work/rain-pkgconfig"

frames=20
for rain in "$work/example/rain" "$work/rain-pkgconfig"; do
    mkdir -p "$work/run/anim"
    head -c 46 /dev/zero >"$work/run/shared_buffer.txt"
    (cd "$work/run" && exec "$prefix/bin/cubetrace" --edge 5 --count $((frames + 1)) >"$work/trace.txt") &
    trace_pid=$!
    until [[ $(od -An -tu1 -N1 "$work/run/shared_buffer.txt" | tr -d ' ') == 200 ]]; do sleep 0.05; done
    (cd "$work/run/anim" && "$rain" 5 $frames)
    wait "$trace_pid"
    trace_pid=

    # One line per frame plus the closing dark frame, numbered from 1.
    lines=$(wc -l <"$work/trace.txt")
    [[ $lines -eq $((frames + 1)) ]] || { echo "$rain: $lines frames, expected $((frames + 1))"; exit 1; }
    last=$(tail -n 1 "$work/trace.txt")
    [[ $last =~ ^$((frames + 1))\ [0-9]+\ 0\ [0-9a-f]{8}$ ]] || { echo "$rain: last frame not dark: $last"; exit 1; }
    first=$(head -n 1 "$work/trace.txt")
    [[ $first =~ ^1\ [0-9]+\ 2\ [0-9a-f]{8}$ ]] || { echo "$rain: first frame should show two drops: $first"; exit 1; }
done
echo "installed package builds and plays the example"
