#!/usr/bin/env bash
# Makes the packages for application writers in dist/:
#
#   linux    klsrv32-VERSION-linux-ARCH.tar.gz: `cmake --install build`
#            (library with its SONAME link, headers, pkg-config file, CMake
#            package, klcli, klserver, manual pages) in one top folder; the
#            pkg-config file and the CMake package find their prefix from
#            where they lie, so the tarball may be unpacked anywhere.
#   windows  KLSRV32-VERSION-win32.zip from the cross build build-win32:
#            bin/ (KLSRV32.dll, the console sample's .exe), lib/ (the MinGW
#            import library libKLSRV32.dll.a, the MSVC import library
#            KLSRV32.lib made with llvm-dlltool, KLSRV32.def), include/,
#            samples/ (the console sample, examples/first_program.c and its
#            message file), docs/, README.md and CHANGELOG.md.
#
#   scripts/package.sh [linux] [windows]     (both when none is named)
#
# VERSION is the CMake project version of the build.  A build folder that
# is not configured yet is configured and built as scripts/test.sh and
# scripts/windows_stage.sh do.  Build output goes to standard error;
# standard output says "made dist/FILE" for each package.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install_missing.sh

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(linux windows)
for part in "${parts[@]}"; do
    case $part in
        linux | windows) ;;
        *) echo "usage: scripts/package.sh [linux] [windows]" >&2; exit 2 ;;
    esac
done

jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# version BUILD_DIR: the project version the build was configured with.
version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

linux() {
    install_missing cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev \
        libsqlite3-dev libsodium-dev libpq-dev pandoc help2man >&2
    if [ ! -f build/CMakeCache.txt ]; then
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
    fi
    cmake --build build -j "$jobs" >&2
    local name
    name=klsrv32-$(version build)-linux-$(uname -m)
    # Without the debugging information: the build is RelWithDebInfo.
    cmake --install build --strip --prefix "$work/$name" >&2
    tar -C "$work" -czf "dist/$name.tar.gz" "$name"
    echo "made dist/$name.tar.gz"
}

windows() {
    install_missing llvm >&2
    if [ ! -f build-win32/CMakeCache.txt ]; then
        cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
            -DKL_MINGW_THREADS=win32 -DCMAKE_BUILD_TYPE=Release >&2
    fi
    cmake --build build-win32 -j "$jobs" >&2
    local name
    name=KLSRV32-$(version build-win32)-win32
    local top=$work/$name
    mkdir -p "$top"/{bin,lib,include,samples,docs}
    cp build-win32/bin/KLSRV32.dll build-win32/bin/windows_console.exe "$top/bin/"
    cp build-win32/src/libKLSRV32.dll.a build-win32/src/KLSRV32.def "$top/lib/"
    llvm-dlltool -m i386 -d build-win32/src/KLSRV32.def -l "$top/lib/KLSRV32.lib" -D KLSRV32.dll
    cp include/klsrv32.h build-win32/include/klsrv32_version.h "$top/include/"
    cp samples/windows_console.c examples/first_program.c examples/messages.ini "$top/samples/"
    cp docs/*.md "$top/docs/"
    cp README.md CHANGELOG.md "$top/"
    rm -f "dist/$name.zip"
    cmake -E chdir "$work" cmake -E tar cf "$PWD/dist/$name.zip" --format=zip "$name"
    echo "made dist/$name.zip"
}

for part in "${parts[@]}"; do
    "$part"
done
