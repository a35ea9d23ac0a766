#!/usr/bin/env bash
# The toolkit built on a machine without freeglut, the standard way: the
# configure step says that the viewers are skipped and why, everything else
# builds, and cubeplay plays the fill on cubetrace even with a display named.
#   headless_build_test.sh SOURCE_DIR CXX_COMPILER
set -euo pipefail
source=$1 compiler=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

# Unoptimised and without debug information, it builds in half the time:
# what it checks is that everything builds and plays.
cmake -S "$source" -B "$work/build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_DISABLE_FIND_PACKAGE_GLUT=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 >"$work/configure.txt"
grep -q -x -- '-- Viewers skipped (cubeview12, cubeview5 and the tests that need a window): freeglut was not found (install freeglut3-dev)' \
    "$work/configure.txt" || fail "no message about the viewers: $(cat "$work/configure.txt")"
cmake --build "$work/build" -j2 >/dev/null
bin=$work/build/bin
for program in cubeshow cubefill cubetrace cubetrace5 cubereplay cubeplay cubeexport launch app5 app12 bytemax; do
    [[ -x $bin/$program ]] || fail "not built: $program"
done
[[ ! -e $bin/cubeview12 && ! -e $bin/cubeview5 && ! -e $bin/cuberender ]] || fail "a viewer or renderer was built without freeglut"

DISPLAY=:0 "$bin/cubeplay" --edge 5 cubefill >"$work/out.txt" 2>"$work/err.txt" || fail "cubeplay: $(cat "$work/err.txt")"
grep -q -F 'built without its viewers' "$work/err.txt" || fail "no word of the missing viewer: $(cat "$work/err.txt")"
grep -E '^[0-9]+ [0-9]+ [0-9]+ [0-9a-f]{8}$' "$work/out.txt" >"$work/trace.txt" || true
# Two blank steps, twelve sweeps of five layers with eleven pauses of two
# releases between them, and two closing blank steps.
[[ $(wc -l <"$work/trace.txt") -eq 86 ]] || fail "expected 86 frames: $(cat "$work/out.txt")"
[[ $(sed -n 3p "$work/trace.txt") =~ ^3\ [0-9]+\ 25\  ]] || fail "the first layer is not 25 LEDs: $(sed -n 3p "$work/trace.txt")"
[[ $(tail -n 1 "$work/trace.txt") =~ ^86\ [0-9]+\ 0\  ]] || fail "the fill does not end dark"
echo "the headless build plays the fill on cubetrace"
