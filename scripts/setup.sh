# Sourced by run.sh and test.sh: setting themselves up quietly.
#
#   logs=DIR                  where each step keeps its whole output
#   step NAME "Doing it…" COMMAND...
#                             prints the one line, runs COMMAND with its output
#                             in DIR/NAME.log, and on failure shows the end of
#                             that log and stops
#   need_packages PACKAGE...  makes sure that the Debian packages are there:
#                             as root it installs the missing ones with
#                             apt-get; as anyone else it prints the apt-get
#                             line that would, and stops

step() {
    local name=$1 what=$2
    shift 2
    local log=$logs/$name.log
    mkdir -p "$logs"
    echo "$what"
    if ! "$@" >"$log" 2>&1; then
        echo "Failed. The end of $log:" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

install_packages() {
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

need_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    local count="${#missing[@]} packages"
    ((${#missing[@]} > 1)) || count="1 package"
    step packages "Installing $count…" install_packages "${missing[@]}"
}

# What building and playing needs, and rendering: giflib and libpng for the
# files, the private X server that cuberender draws on, zstd for
# cubeexport's compressed sequences, help2man for the manual pages, and
# libwebsockets, nlohmann-json and three.js for cubeweb and its page, and
# libsndfile, ALSA and FFTW (found through pkg-config) for what cubefx hears,
# and Python's headers, numpy and pybind11 for the Python module ledcube.
run_packages=(build-essential cmake freeglut3-dev libgl1-mesa-dev libglu1-mesa-dev libgl1-mesa-dri
    libgif-dev libpng-dev xvfb libzstd-dev help2man libwebsockets-dev nlohmann-json3-dev libjs-three
    pkg-config libsndfile1-dev libasound2-dev libfftw3-dev python3-dev python3-numpy pybind11-dev)
# What the whole test run needs besides: GoogleTest, the sanitizers' and
# fuzzers' clang, valgrind, a private X server's clients, the programs
# that check the rendered files, man to read the installed pages, and the
# browser and Node.js that test cubeweb's page, sox, which makes the
# sound tests' FLAC and Ogg files, and pytest for the Python module's tests,
# with venv and wheel for its pip install in a virtual environment.
test_packages=("${run_packages[@]}" libgtest-dev clang libclang-rt-14-dev valgrind
    xauth xdotool x11-apps x11-utils imagemagick ffmpeg man-db chromium nodejs sox python3-pytest
    python3-venv python3-wheel)
# A Node.js from outside Debian brings its own npm and conflicts with Debian's.
command -v npm >/dev/null || test_packages+=(npm)
