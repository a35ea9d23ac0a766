#!/usr/bin/env bash
# The toolkit as a user installs it, in two layouts:
#   - the whole build under a plain prefix: commands in bin/, helpers in
#     libexec/ledcube/, manual pages that man reads in share/man/man1/, the
#     example built against it with CMake and with
#     pkg-config, and played there by the installed cubeplay;
#   - the library alone as a distribution stages it: prefix /usr, libdir
#     lib/<multiarch>, under DESTDIR, found by CMake and by pkg-config.
# lBox.h, lFrame.h and lEffect.h compile in a program of its own as C++17
# and as C++20, and an effect of one's own plays with cubefx's options.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
commands=(cubeshow cubefill cubetrace cubetrace5 cubesend cubesend5 cubereplay cubeplay cubefx cubelisten cubeexport
    cubeexport5)
[[ -x $build/bin/cubeview12 ]] && commands+=(cubeview12 cubeview5)
[[ -x $build/bin/cuberender ]] && commands+=(cuberender cuberender5)
[[ -x $build/bin/cubeweb ]] && commands+=(cubeweb cubeweb5)
helpers=(launch app5 app12 bytemax)
for file in "${commands[@]/#/bin/}" "${helpers[@]/#/libexec/ledcube/}" lib/liblbox.a lib/liblboxeffects.a \
            include/lBox.h include/lFrame.h include/lEffect.h \
            lib/cmake/lbox/lboxConfig.cmake lib/pkgconfig/lbox.pc; do
    [[ -e $prefix/$file ]] || fail "not installed: $file"
done
for helper in "${helpers[@]}"; do
    [[ ! -e $prefix/bin/$helper ]] || fail "a helper with a generic name is in bin/: $helper"
done

# Every name that the installed libraries define is their interface's (lBox,
# lFrame, lEffect...) or lies under ledcube::, so that none meets a name of
# the program that links them.
stray=$(nm -C --defined-only --extern-only "$prefix/lib/liblbox.a" "$prefix/lib/liblboxeffects.a" |
    awk 'NF >= 3 { $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
    grep -v -E '^((guard variable for )?(l[A-Z][A-Za-z]*|ledcube::)|([a-z_ ]+ )?std::|DW\.ref\.)' |
    grep -v -E '^(vtable|typeinfo|typeinfo name) for (l[A-Z]|ledcube::|std::)' || true)
[[ -z $stray ]] || fail "the installed libraries define names outside their interface and ledcube::: $stray"

# A manual page for every command that answers --help, made by help2man
# from that answer, when the build found help2man.
if grep -q '^CUBE_HELP2MAN:FILEPATH=.*help2man$' "$build/CMakeCache.txt"; then
    for command in "${commands[@]}"; do
        [[ $command == cubeshow || $command == cubefill || $command == cubeview* ]] && continue
        [[ -s $prefix/share/man/man1/$command.1 ]] || fail "no manual page: share/man/man1/$command.1"
    done
    page=$(MANPAGER=cat MANWIDTH=80 man -l "$prefix/share/man/man1/cubefx.1" 2>&1) || fail "man cannot read cubefx.1: $page"
    grep -q -F 'cubefx - play ready-made effects on an LED cube' <<<"$page" || fail "cubefx.1 has no NAME line: $page"
    grep -q -e '--list' <<<"$page" || fail "cubefx.1 lacks the options of cubefx --help: $page"
    grep -q -F 'ledcube' <<<"$page" || fail "cubefx.1 does not name the package: $page"
    [[ ! -e $prefix/share/man/man1/cubeshow.1 ]] || fail "a manual page for cubeshow, which answers no --help"
else
    echo "no manual pages to check: the build found no help2man"
fi
for app in app5 app12; do
    readelf -p .rodata "$prefix/libexec/ledcube/$app" | grep -q -F "$build" && fail "the installed $app names the build tree"
done

# The installed helpers start the installed demos: with no channel file
# beside them, each demo says so, which shows that it was found and ran.
mkdir -p "$work/nochannel/anim"
for app in app5 app12; do
    ln -s "$prefix/libexec/ledcube/$app" "$work/nochannel/anim/$app"
done
for app in app5 app12; do
    said=$(cd "$work/nochannel/anim" && "$prefix/libexec/ledcube/launch" "$app" 2>&1) && fail "$app: no failure"
    [[ $said == "unable to open shared_buffer.txt Exiting: No such file or directory" ]] || fail "$app: $said"
done

# A program of its own, against each layout, in each language version.
probe=$work/probe.cpp
printf '%s\n' '#include <lBox.h>' '#include <lFrame.h>' '#include <lEffect.h>' \
    'int main() { return lBox::getInstance(5, 5, 5)->write(0, 0, 0, {1, 0, 0}) == -1 ? 0 : 1; }' >"$probe"
compile_with_pkg_config() {  # PKG_CONFIG_PATH, then g++ arguments
    local path=$1
    shift
    # shellcheck disable=SC2046
    g++ "$@" $(PKG_CONFIG_PATH=$path pkg-config --cflags --libs lbox)
}
for std in c++17 c++20; do
    compile_with_pkg_config "$prefix/lib/pkgconfig" -std=$std "$probe" -o "$work/probe-$std"
done

cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
compile_with_pkg_config "$prefix/lib/pkgconfig" -std=c++20 "$source/examples/rain.cpp" -o "$work/rain-pkgconfig"
# An effect of one's own links the effects' library and the sound's system
# libraries through pkg-config too.
compile_with_pkg_config "$prefix/lib/pkgconfig" -std=c++20 "$source/examples/throb.cpp" -o "$work/throb-pkgconfig"
[[ $("$work/throb-pkgconfig" --list) == "throb  layers rise with the sound's level [colours=6]" ]] ||
    fail "throb built with pkg-config does not list its effect"

frames=20
for rain in "$work/example/rain" "$work/rain-pkgconfig"; do
    "$prefix/bin/cubeplay" --headless --edge 5 --dir "$work/run" "$rain" 5 $frames >"$work/out.txt" 2>"$work/err.txt" ||
        fail "$rain: cubeplay failed: $(cat "$work/err.txt")"
    grep -E '^[0-9]+ [0-9]+ [0-9]+ [0-9a-f]{8}$' "$work/out.txt" >"$work/trace.txt" || true
    # One line per frame plus the closing dark frame, numbered from 1.
    lines=$(wc -l <"$work/trace.txt")
    [[ $lines -eq $((frames + 1)) ]] || fail "$rain: $lines frames, expected $((frames + 1))"
    last=$(tail -n 1 "$work/trace.txt")
    [[ $last =~ ^$((frames + 1))\ [0-9]+\ 0\ [0-9a-f]{8}$ ]] || fail "$rain: last frame not dark: $last"
    first=$(head -n 1 "$work/trace.txt")
    [[ $first =~ ^1\ [0-9]+\ 2\ [0-9a-f]{8}$ ]] || fail "$rain: first frame should show two drops: $first"
    [[ -L $work/run/anim/app5 && $(stat -c %s "$work/run/shared_buffer.txt") -eq 46 ]] || fail "run directory not laid out"
done

# Half a second of the example effect: 15 frames at 30 a second, lit, then
# the dark cube.
"$prefix/bin/cubeplay" --headless --edge 5 --dir "$work/run" "$work/example/pulse" --edge 5 --duration 0.5 --unpaced \
    >"$work/out.txt" 2>"$work/err.txt" || fail "pulse: cubeplay failed: $(cat "$work/err.txt")"
grep -E '^[0-9]+ [0-9]+ [0-9]+ [0-9a-f]{8}$' "$work/out.txt" >"$work/trace.txt" || true
[[ $(wc -l <"$work/trace.txt") -eq 16 && $(sed -n 2p "$work/trace.txt") =~ ^2\ [0-9]+\ [1-9] &&
   $(tail -n 1 "$work/trace.txt") =~ ^16\ [0-9]+\ 0\  ]] || fail "pulse: $(cat "$work/out.txt")"

# The installed Python module, where the installed prefix's Python finds
# it, plays an animation under the installed cubeplay.
python=$(sed -n 's/^CUBE_PYTHON_INTERPRETER:INTERNAL=//p' "$build/CMakeCache.txt")
if [[ -n $python ]]; then
    site=$prefix/$(sed -n 's/^CUBE_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
    [[ -e $site/ledcube/__init__.py ]] && compgen -G "$site/ledcube/_core*.so" >/dev/null ||
        fail "the Python module is not installed in $site"
    printf '%s\n' 'import ledcube' 'with ledcube.Cube() as cube:' '    for k in range(3):' \
        '        cube.frame[k, 0, 0] = (255, 0, 0)' '        cube.show()' >"$work/three.py"
    PYTHONPATH=$site "$prefix/bin/cubeplay" --headless --edge 5 --dir "$work/run" "$python" "$work/three.py" \
        >"$work/out.txt" 2>"$work/err.txt" || fail "the Python animation failed: $(cat "$work/err.txt")"
    grep -E '^[0-9]+ [0-9]+ [0-9]+ [0-9a-f]{8}$' "$work/out.txt" | cut -d' ' -f1,3 >"$work/trace.txt" || true
    [[ $(tr '\n' ' ' <"$work/trace.txt") == "1 1 2 2 3 3 4 0 " ]] || fail "the Python animation: $(cat "$work/out.txt")"
fi

# The installed cubeweb serves the installed page, and three.js beside it.
if [[ -x $prefix/bin/cubeweb ]]; then
    [[ -s $prefix/share/ledcube/web/index.html ]] || fail "not installed: share/ledcube/web/index.html"
    "$prefix/bin/cubeweb" --edge 5 --port 0 --dir "$work/webrun" --recordings "$work/recordings" \
        2>"$work/web.txt" >/dev/null &
    web=$!
    for _ in $(seq 100); do grep -q '^cubeweb: http' "$work/web.txt" && break; sleep 0.1; done
    port=$(sed -n 's|^cubeweb: http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/web.txt")
    [[ -n $port ]] || fail "cubeweb did not start: $(cat "$work/web.txt")"
    for path in / /three/build/three.module.js; do
        exec 3<>"/dev/tcp/127.0.0.1/$port"
        printf 'GET %s HTTP/1.0\r\n\r\n' "$path" >&3
        status=$(head -n 1 <&3 | tr -d '\r')
        exec 3<&-
        [[ $status =~ ^HTTP/1\.[01]\ 200\  ]] || { kill "$web"; fail "installed cubeweb: GET $path: $status"; }
    done
    kill "$web" && wait "$web" || true
fi

# The distribution's layout: only the library and its package files.
multiarch=$(gcc -print-multiarch)
stage=$work/stage
cmake -S "$source" -B "$work/usr" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DCUBE_VIEWER=OFF >/dev/null
cmake --build "$work/usr" --target lbox lbox_effects >/dev/null
DESTDIR=$stage cmake --install "$work/usr" --component Development >/dev/null
pc_dir=$stage/usr/lib/$multiarch/pkgconfig
[[ -e $stage/usr/lib/$multiarch/liblbox.a && -e $pc_dir/lbox.pc ]] || fail "no multiarch layout under $stage/usr"
for variable in includedir:/usr/include libdir:/usr/lib/$multiarch; do
    value=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable="${variable%%:*}" lbox)
    [[ $(realpath -m "$value") == "$stage${variable#*:}" ]] || fail "lbox.pc: ${variable%%:*} is $value"
done
for std in c++17 c++20; do
    compile_with_pkg_config "$pc_dir" -std=$std "$probe" -o "$work/probe-usr-$std"
done
cmake -S "$source/examples" -B "$work/example-usr" -DCMAKE_PREFIX_PATH="$stage/usr" >/dev/null
cmake --build "$work/example-usr" >/dev/null
echo "installed package builds and plays the example"
