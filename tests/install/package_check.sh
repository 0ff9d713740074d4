#!/usr/bin/env bash
# Makes a package with scripts/package.sh and checks what is in it.
#
#   package_check.sh linux    the tarball holds the install; unpacked and
#                             moved to another folder, the first example
#                             builds against it through pkg-config and
#                             through CMake and runs, klcli starts and klserver
#                             writes a sample database
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
    timeout 30 "$top/bin/klcli" --help >/dev/null || fail "klcli does not start"
    timeout 30 "$top/bin/klserver" --create-sample "$work/sample.db" --rows 10 >/dev/null ||
        fail "klserver does not write a sample"

    # examples/first_program.c, built both ways.  Without an environment
    # file it prints its usage with the header's version and exits with
    # status 2: proof that it started with the library loaded.
    starts() {
        local status=0
        env -u KL_ENV timeout 30 "$@" 2>"$work/usage" || status=$?
        [ "$status" = 2 ] && grep -q '^built with klsrv32 ' "$work/usage"
    }
    # pkg-config; the program finds the library through LD_LIBRARY_PATH.
    flags=$(PKG_CONFIG_PATH=$top/lib/pkgconfig pkg-config --cflags --libs klsrv32)
    # shellcheck disable=SC2086 # the flags are split on purpose
    "${CC:-cc}" examples/first_program.c -o "$work/first_program_pc" $flags
    starts env LD_LIBRARY_PATH="$top/lib" "$work/first_program_pc" || fail "the pkg-config build does not run"

    # CMake; the program's build tree runs with the library's folder in its RPATH.
    cmake -S examples -B "$work/examples" -G Ninja "-DCMAKE_PREFIX_PATH=$top" >/dev/null
    cmake --build "$work/examples" >/dev/null
    starts "$work/examples/first_program" || fail "the CMake build does not run"
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
