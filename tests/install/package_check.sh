#!/usr/bin/env bash
# Makes a package with scripts/package.sh and checks what is in it.
#
#   package_check.sh linux    the tarball holds the install; unpacked and
#                             moved to another folder, it passes the
#                             install test (install_package.cmake): the
#                             examples build against it through pkg-config
#                             and CMake and run against its klserver
#   package_check.sh windows  the zip holds every file a Windows developer
#                             gets, and KLSRV32.lib imports each export of
#                             src/exports.txt under its cdecl name, no more
set -euo pipefail
cd "$(dirname "$0")/../.."
part=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

package=$(scripts/package.sh "$part" | sed -n 's/^made //p')
echo "== $package =="
status=0
fail() {
    echo "$package: $*" >&2
    status=1
}
# has TOP FILE...: each FILE is in the unpacked folder TOP.
has() {
    local top=$1 file
    shift
    for file in "$@"; do
        [ -e "$top/$file" ] || [ -L "$top/$file" ] || fail "no $file"
    done
}

if [ "$part" = linux ]; then
    tar -C "$work" -xzf "$package"
    # Moved away from where it was unpacked: nothing may name that path.
    mkdir "$work/moved"
    mv "$work"/klsrv32-* "$work/moved/klsrv32"
    top=$work/moved/klsrv32
    has "$top" bin/klcli bin/klserver include/klsrv32.h include/klsrv32_version.h \
        lib/libklsrv32.so lib/libklsrv32.so.1 lib/pkgconfig/klsrv32.pc \
        lib/cmake/klsrv32/klsrv32Config.cmake share/man/man1/klcli.1 share/man/man3/klfetch.3
    [ "$(readlink "$top/lib/libklsrv32.so")" = libklsrv32.so.1 ] || fail "libklsrv32.so is not a link to the SONAME"
    # The examples built against the moved folder through CMake and
    # pkg-config and run against its klserver, and its klcli started, as
    # against an install.
    cmake "-DPREFIX=$top" "-DWORK_DIR=$work/examples" "-DEXAMPLES_DIR=$PWD/examples" \
        "-DC_COMPILER=${CC:-cc}" -DGENERATOR=Ninja -P tests/install/install_package.cmake ||
        fail "the examples do not build or run against the unpacked package"
else
    cmake -E chdir "$work" cmake -E tar xf "$PWD/$package"
    top=$(echo "$work"/KLSRV32-*)
    has "$top" README.md CHANGELOG.md bin/KLSRV32.dll bin/windows_console.exe \
        lib/KLSRV32.lib lib/libKLSRV32.dll.a lib/KLSRV32.def \
        include/klsrv32.h include/klsrv32_version.h samples/windows_console.c \
        samples/first_program.c samples/messages.ini
    for doc in docs/*.md; do has "$top" "$doc"; done

    # 32-bit cdecl: each call is imported as __imp__NAME, undecorated.
    symbols=$(llvm-nm "$top/lib/KLSRV32.lib")
    expected=$(grep -E '^[a-z0-9_]+$' src/exports.txt | sed 's/^/__imp__/' | sort)
    imported=$(awk '$3 ~ /^__imp_/ { print $3 }' <<<"$symbols" | sort)
    if [ "$imported" != "$expected" ]; then
        fail "KLSRV32.lib's imports differ from src/exports.txt:"
        diff <(echo "$expected") <(echo "$imported") >&2 || true
    fi
    grep -q ' __IMPORT_DESCRIPTOR_KLSRV32$' <<<"$symbols" || fail "KLSRV32.lib does not name KLSRV32.dll"
    echo "KLSRV32.lib imports the $(wc -l <<<"$imported") calls of src/exports.txt"
fi
[ "$status" = 0 ] && echo "$package: as expected"
exit "$status"
