#!/usr/bin/env bash
# The module as pip installs it, the way the README shows: a virtual
# environment that sees the system's numpy, pip install --no-build-isolation
# of a copy of the source tree, and nothing downloaded (--no-index). Then
# the installed module draws a picture that cubetrace reports exactly.
#   pip_install_test.sh SOURCE_DIR PYTHON CUBETRACE5
set -euo pipefail
source=$1 python=$2 cubetrace=$3
work=$(mktemp -d)
trap 'kill "${receiver:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

# pip builds in the folder it is given: a copy keeps the source tree clean.
mkdir "$work/source"
tar -C "$source" --exclude='./build*' --exclude=./python/build --exclude='*.egg-info' --exclude=./run --exclude=./.git \
    --exclude='*/node_modules' -cf - . |
    tar -C "$work/source" -xf -
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-build-isolation --no-index "$work/source/python" >"$work/pip.txt" 2>&1 ||
    fail "pip install failed: $(grep -E -i -m 5 -A 3 "CMake Error|error:" "$work/pip.txt")"

mkdir -p "$work/run/anim"
head -c 46 /dev/zero >"$work/run/shared_buffer.txt"
(cd "$work/run" && exec "$cubetrace" --leds --count 2 >"$work/trace.txt") &
receiver=$!
printf '%s\n' 'import ledcube' 'with ledcube.Cube(5) as cube:' '    cube.frame[4, 3, 2] = (255, 51, 0)' \
    '    cube.show()' >"$work/run/anim/one.py"
(cd "$work/run/anim" && timeout 60 "$work/venv/bin/python" one.py) >"$work/out.txt" 2>&1 ||
    fail "the installed module failed: $(cat "$work/out.txt")"
wait "$receiver"
expected=$'1 1\n  4 3 2 1 0.2 0\n2 0'
[[ $(awk '/^[0-9]/ { print $1, $3; next } { print }' "$work/trace.txt") == "$expected" ]] ||
    fail "cubetrace saw: $(cat "$work/trace.txt")"
