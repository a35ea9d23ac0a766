#!/usr/bin/env bash
# Runs a fuzzer for a bounded number of inputs, starting from the committed
# corpus without changing it: run_fuzzer.sh FUZZER CORPUS_DIR RUNS
set -euo pipefail
fuzzer=$1 corpus=$2 runs=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$fuzzer" -runs="$runs" -max_len=4096 -timeout=10 -artifact_prefix="$work/" "$work" "$corpus"
