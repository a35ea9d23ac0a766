#!/usr/bin/env bash
# Builds everything and runs every test:
#
#   ./test.sh          all four stages below (what CI runs)
#   ./test.sh quick    stage 1 only
#
# It first installs the Debian packages that it needs, as run.sh does. Each
# stage builds in a folder of its own (build/ is left to you); the whole
# output of each step is kept in build-test/logs/.
#
#   build-test/   the plain build (Release, GCC, edges 12, 5 and 8) and its
#                 whole suite, benchmarks built: valgrind's memcheck of the
#                 receiver and a demo, the installed package, a build
#                 without freeglut, and every command the docs show included
#   build-asan/   AddressSanitizer + UndefinedBehaviorSanitizer: every
#                 program again, and the whole suite against them
#   build-tsan/   ThreadSanitizer: the library's, the receiver's and the
#                 tracer's tests, with smaller stress loops, the sender's
#                 protocol tests, cubelisten's, the stop signals', the
#                 channel's writers' without a receiver, and the live sound
#                 input's and output's
#   build-fuzz/   the libFuzzer targets (clang), each for a bounded number of
#                 inputs from the corpus in tests/fuzz/corpus
#
# Most tests spend their time waiting on real time, so while stage 1's tests
# run, the later stages build one after another in the background at the
# lowest priority, on the cores the tests leave idle.
set -euo pipefail
cd "$(dirname "$0")"
case ${1:-all} in
    all) stages=4 ;;
    quick) stages=1 ;;
    *) echo "Usage: ./test.sh [quick]" >&2; exit 2 ;;
esac
jobs=$(nproc)
# Many tests spend their time waiting on real time (the show plays for 42 s,
# a receiver waits for a frame), so twice as many run at once as there are
# cores.
test_jobs=$((jobs * 2))
logs=$PWD/build-test/logs

# shellcheck source=scripts/setup.sh
source scripts/setup.sh
need_packages "${test_packages[@]}"

# The page's browser tests drive Debian's chromium through puppeteer-core at
# the version that the lock file pins; no browser of its own is downloaded.
browser_tests=tests/web/browser
# Node.js trusts only the certificate authorities it was built with; a
# network that inspects TLS puts its own in the system's store, which npm
# is pointed at too unless the user chose otherwise.
npm_ci() {
    local cas=${NODE_EXTRA_CA_CERTS:-/etc/ssl/certs/ca-certificates.crt}
    [[ -r $cas ]] || cas=
    (cd "$browser_tests" && NODE_EXTRA_CA_CERTS=$cas PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
}
if [[ ! $browser_tests/node_modules/.package-lock.json -nt $browser_tests/package-lock.json ]]; then
    step npm-ci "Installing the browser tests' Node.js packages…" npm_ci
fi

stage=0
stage() {
    stage=$((stage + 1))
    started=$SECONDS
    printf '\n=== %d/%d %s ===\n' "$stage" "$stages" "$*"
}
stage_done() {
    echo "(stage $stage/$stages took $((SECONDS - started)) s)"
}

# configure DIR TYPE [CMAKE OPTION...]: the project's own runs treat every
# warning as an error.
configure() {
    local dir=$1 type=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
}
# compile DIR [TARGET...]: everything, or the targets named.
compile() {
    local dir=$1
    shift
    local targets=()
    (($#)) && targets=(--target "$@")
    cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

# GCC 12 reports false maybe-uninitialized warnings inside the standard
# library once the sanitizers instrument it.
quiet=-Wno-maybe-uninitialized
# -O1 with line tables is what the sanitizers' reports need, and compiles in
# half the time of -O2 with full debug information.
sanitized=-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
# The sanitizer stages build the delivered edges and no benchmarks, which
# stage 1 has built already: the whole run must stay short.
build_asan() {
    configure build-asan RelWithDebInfo "$sanitized" -DCUBE_BENCHMARKS=OFF -DCUBE_PYTHON=OFF \
        -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer $quiet" &&
        compile build-asan
}
build_tsan() {
    configure build-tsan RelWithDebInfo "$sanitized" -DCUBE_BENCHMARKS=OFF -DCUBE_PYTHON=OFF -DCMAKE_CXX_FLAGS="-fsanitize=thread $quiet" &&
        compile build-tsan lbox_test lbox_scenario pacing_test receiver_test12 receiver_test5 cubetrace cubetrace5 \
        cubetrace_test cubereplay replay_test cubesend cubesend5 send_protocols_test cubelisten listen_test \
        signals_test cubefx writer_test cubeweb5 server_test launch app5 app12 sound_capture_test \
        sound_playback_test cubefx_sound_test
}
build_fuzz() {
    CXX=clang++ configure build-fuzz RelWithDebInfo -DCUBE_FUZZ=ON -DBUILD_TESTING=OFF -DCUBE_PYTHON=OFF &&
        compile build-fuzz fuzz_receiver12 fuzz_receiver5 fuzz_recording fuzz_datagrams fuzz_opc fuzz_gate fuzz_play_request \
            fuzz_raw_stream
}

# The background builds run one after another, each with its output in
# DIR.log and then its exit status in DIR.status, which await reads.
later=(build-asan build-tsan build-fuzz)
background=
start_later_builds() {
    local dir
    for dir in "${later[@]}"; do
        rm -f "$logs/$dir.status"
    done
    echo "Building ${later[*]} in the background…"
    set -m  # a process group of its own, to stop as one
    (
        renice -n 19 -p "$BASHPID" >/dev/null
        for dir in "${later[@]}"; do
            status=0
            "${dir/-/_}" >"$logs/$dir.log" 2>&1 || status=$?
            echo "$status" >"$logs/$dir.status"
        done
    ) &
    background=$!
    set +m
}
stop_later_builds() {
    [[ -z $background ]] || kill -- -"$background" 2>/dev/null || true
}
trap stop_later_builds EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# await DIR: until DIR's background build has ended; stops if it failed.
await() {
    local dir=$1
    [[ -e $logs/$dir.status ]] || echo "Waiting for $dir to build…"
    while [[ ! -e $logs/$dir.status ]]; do
        sleep 1
    done
    if [[ $(<"$logs/$dir.status") != 0 ]]; then
        echo "Failed. The end of $logs/$dir.log:" >&2
        tail -n 40 "$logs/$dir.log" >&2
        exit 1
    fi
}

stage "plain build (Release, GCC) and the whole suite"
# The edge-8 cube is built and tested beside the delivered 12 and 5, and the
# Python module must be there to be tested (the sanitizer stages leave it:
# Python would need their runtimes preloaded).
# The benchmarks run by hand; the full run builds them, a quick one does not.
benchmarks=ON
((stages > 1)) || benchmarks=OFF
CXX=g++ step build-test-configure "Configuring build-test…" configure build-test Release -DCUBE_EDGES="12;5;8" \
    -DCUBE_BENCHMARKS=$benchmarks -DCUBE_PYTHON=ON
step build-test-build "Building build-test… (a few minutes on 2 cores the first time)" compile build-test
((stages > 1)) && start_later_builds
# --no-tests=error: a configure that lost GoogleTest must not pass as green.
# A quick run leaves the tests labelled "full" (a build of their own) to the
# full one.
quick_skips=()
((stages > 1)) || quick_skips=(-LE full)
ctest --test-dir build-test --output-on-failure --no-tests=error -j"$test_jobs" "${quick_skips[@]}"
stage_done
((stages > 1)) || exit 0

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
await build-asan
# The install and headless-build tests build programs of their own, and
# memcheck cannot run sanitized programs; the documented commands play on
# the edge-8 cube, which only stage 1 builds: all four run in stage 1.
ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$test_jobs" \
    -E 'InstalledPackage|HeadlessBuild|Memcheck|DocumentedCommands'
stage_done

stage "ThreadSanitizer"
await build-tsan
CUBE_TEST_SCALE=20 TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure --no-tests=error -j"$jobs" \
    -R '^(Lbox|fast\.(Lbox|Cubetrace)|edge(12|5)\.|Cubetrace|ReplayTest|Cubesend(Ddp|E131|ArtNet|Opc|Serial|Failure)\.|Cubelisten|StopOnSignal|EveryWriter|WriterWithNothingServing|WebSocket\.|Api\.|Token\.Guards|Connections\.|Capture\.|Playback\.|Live\.)'
stage_done

stage "fuzzers"
await build-fuzz
ctest --test-dir build-fuzz --output-on-failure --no-tests=error -j"$jobs" -R '^fuzz_'
stage_done
