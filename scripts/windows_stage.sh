#!/usr/bin/env bash
# The Windows stage: KLSRV32.dll cross-built with MinGW-w64 for 32-bit
# Windows, its export and import tables checked, the zip for Windows
# developers made and checked, the test suites and the console sample run
# under 32-bit Wine, headless, in a private prefix.
#
# Two cross builds from the one source tree: build-win32 with the win32
# thread model (the DLL as it ships, the C header test and the console
# sample) and build-win32-tests with the posix thread model, whose C++
# thread library the test suites and the test peer need.
#
# When the toolchain or Wine cannot be installed (the package mirror
# fails), the stage ends with "Windows stage SKIPPED: <reason>" and status
# 0; every build or test failure fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

skip() {
    echo
    echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
    echo "Windows stage SKIPPED: $*"
    exit 0
}

# ---- tools -------------------------------------------------------------------

have_tools() {
    command -v i686-w64-mingw32-g++-win32 >/dev/null &&
        command -v i686-w64-mingw32-g++-posix >/dev/null &&
        [ -f /usr/src/googletest/googletest/CMakeLists.txt ] &&
        command -v wine >/dev/null && dpkg -s wine32:i386 >/dev/null 2>&1 &&
        command -v llvm-dlltool >/dev/null && command -v llvm-nm >/dev/null
}

if ! have_tools; then
    echo "Installing the MinGW-w64 toolchain, GoogleTest sources, LLVM's tools and 32-bit Wine"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # The i386 security list may be out of step with the rest; what did
    # arrive is enough for the fallback below.
    apt-get update -qq || echo "apt-get update reported failures; going on"
    apt-get install -y -qq --no-install-recommends g++-mingw-w64-i686 googletest llvm ||
        skip "g++-mingw-w64-i686, googletest and llvm could not be installed"
    apt-get install -y --no-install-recommends wine wine32:i386 ||
        apt-get install -y -t bookworm --no-install-recommends wine wine32:i386 ||
        skip "wine and wine32:i386 could not be installed"
    have_tools || skip "the toolchain or Wine is still missing after the install"
fi

jobs=$(nproc 2>/dev/null || echo 2)

# ---- Wine: private prefix, headless, always stopped on exit ------------------

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Message boxes go to standard error: a modal box would wait for ever.
export KL_MSGBOX=stderr
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    [ -n "${peer_pid:-}" ] && kill "$peer_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Every program under Wine runs with a time limit.
emulator="timeout;-k;10;300;wine"

# ---- builds ------------------------------------------------------------------

echo "== Windows: KLSRV32.dll (MinGW-w64, win32 thread model) =="
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DKL_MINGW_THREADS=win32 -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator" >/dev/null
cmake --build build-win32 -j "$jobs"

# The zip for Windows developers (scripts/package.sh): its files, and the
# MSVC import library's names for the exports.
echo "== Windows: the developer zip =="
tests/install/package_check.sh windows

echo "== Windows: test suites (MinGW-w64, posix thread model) =="
cmake -S . -B build-win32-tests -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DKL_MINGW_THREADS=posix -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator" >/dev/null
cmake --build build-win32-tests -j "$jobs"

# The native peer that serves the console sample, and the server that
# serves the first example.
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$jobs" --target sample_peer klserver

# ---- tests under Wine --------------------------------------------------------

echo "== Windows: starting a Wine prefix =="
timeout 180 wine wineboot --init >/dev/null 2>&1 || {
    echo "wineboot failed"
    exit 1
}

echo "== Windows: DLL checks and the C header test under Wine =="
ctest --test-dir build-win32 --output-on-failure
echo "== Windows: test suites under Wine =="
ctest --test-dir build-win32-tests --output-on-failure -j "$jobs"

echo "== Windows: console sample against KLSRV32.dll =="
environment="$work/sample.env"
build/samples/sample_peer "$environment" >"$work/peer.out" &
peer_pid=$!
for _ in $(seq 100); do
    grep -q ready "$work/peer.out" 2>/dev/null && break
    sleep 0.1
done
# Wine sees the Linux file system as drive Z:.
timeout -k 10 60 wine build-win32/bin/windows_console.exe "Z:${environment//\//\\}" || {
    echo "the console sample failed"
    exit 1
}
peer_status=0
wait "$peer_pid" || peer_status=$?
peer_pid=
sed '/^ready$/d' "$work/peer.out"
[ "$peer_status" -eq 0 ] || {
    echo "the sample's requests were not the expected ones"
    exit 1
}

echo "== Windows: examples/first_program.c against KLSRV32.dll and klserver =="
# Built as docs/getting-started.md builds it; a warning fails the stage.
i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -pedantic -I include -I build-win32/include \
    examples/first_program.c -o build-win32/bin/first_program.exe -L build-win32/src -lKLSRV32 \
    2>"$work/cc.err"
[ ! -s "$work/cc.err" ] || {
    cat "$work/cc.err"
    exit 1
}
# Run as the install test runs the Linux builds (both byte orders, the
# usage, the server stopped); Wine takes the Linux paths of the files.
KL_EXAMPLE_RUNNER=wine bash tests/install/run_examples.sh build/server/klserver "$PWD/examples" \
    "$work/examples" build-win32/bin/first_program.exe

echo "Windows stage passed in $(($(date +%s) - started)) s"
