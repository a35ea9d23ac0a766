#!/usr/bin/env bash
# Builds everything and runs every test. Usage: ./test.sh
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
