#!/usr/bin/env bash
# Runs the headless receiver and the edge-5 fill, both under valgrind's
# memcheck, against each other: any invalid read or write, use of
# uninitialised memory or definite leak fails the run.
#   memcheck.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trace_pid=
cleanup() {
    [[ -n $trace_pid ]] && kill "$trace_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
memcheck=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite)

mkdir -p "$work/run"
head -c 46 /dev/zero >"$work/shared_buffer.txt"
(cd "$work" && exec "${memcheck[@]}" "$bin/cubetrace5" >trace.txt 2>trace.err) &
trace_pid=$!
until [[ $(od -An -tu1 -N1 "$work/shared_buffer.txt" | tr -d ' ') == 200 ]]; do
    kill -0 "$trace_pid" 2>/dev/null || { cat "$work/trace.err"; exit 1; }
    sleep 0.1
done

status=0
(cd "$work/run" && "${memcheck[@]}" "$bin/cubefill" >fill.out 2>fill.err) || status=$?
kill -TERM "$trace_pid"
trace_status=0
wait "$trace_pid" || trace_status=$?
trace_pid=

cat "$work/run/fill.err" "$work/trace.err"
[[ $status -eq 0 ]] || { echo "cubefill under memcheck: status $status"; exit 1; }
[[ $trace_status -eq 0 ]] || { echo "cubetrace5 under memcheck: status $trace_status"; exit 1; }
# 2 blank frames, 12 sweeps of 5 layers, 11 pauses of 2 frames, 2 blank frames.
frames=$(wc -l <"$work/trace.txt")
[[ $frames -eq 86 ]] || { echo "cubetrace5 saw $frames frames, expected 86"; exit 1; }
echo "memcheck: cubetrace5 and cubefill clean over $frames frames"
