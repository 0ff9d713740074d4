#!/usr/bin/env bash
# Installs the build into a fresh prefix and reads the installed manual
# pages with `man -l`: every export has a page (or a .so link to the page
# it shares), and the pages of klfetch, klfetchkeys and klcli show.
#   man_pages.sh CMAKE BUILD_DIR WORK_DIR EXPORTS
set -euo pipefail
cmake=$1 build=$2 work=$3 exports=$4
rm -rf "$work"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
# .so links name their target from here, as `man` resolves them.
cd "$work/prefix/share/man"

status=0
for name in $(grep -E '^[a-z0-9_]+$' "$exports"); do
    [ -f "man3/$name.3" ] || { echo "no manual page for $name" >&2; status=1; }
done

# shows PAGE and checks that it rendered without a complaint and holds TEXT.
shows() {
    local out complaints
    out=$(MANWIDTH=100 man -l "$1" 2>"$work/complaints") || true
    complaints=$(cat "$work/complaints")
    if [ -n "$complaints" ] || ! grep -qF -- "$2" <<<"$out"; then
        printf 'man -l %s does not show "%s":\n%s\n%s\n' "$1" "$2" "$complaints" "$out" >&2
        status=1
    fi
}
shows man3/klfetch.3 "klfetch, klfetchkeys - "
shows man3/klfetchkeys.3 "klfetch, klfetchkeys - "
shows man3/klsrv32.3 "Error numbers"
shows man1/klcli.1 "klcli - command-line client"
shows man1/klcli.1 "--env FILE"
exit $status
