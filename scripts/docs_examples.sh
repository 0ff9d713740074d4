#!/usr/bin/env bash
# Checks the programs the documents quote: the fenced block directly
# under a line `<!-- example: PATH -->` in docs/*.md must equal the file
# PATH (from the repository's top) byte for byte, and every examples/*.c
# must be quoted so somewhere.  Each fault is named with its document and
# file; the exit status is 1 when there is one.
#
#   scripts/docs_examples.sh [REPOSITORY]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

faults=0
quoted=()
fault() {
  echo "$1: $2" >&2
  faults=$((faults + 1))
}

for doc in docs/*.md; do
  # Writes each quoted block to $work/N and prints "N PATH"; "- PATH" for a
  # marker with no fence right below it or a fence never closed.
  awk -v dir="$work" '
    state == 0 && /^<!-- example: [^ ]+ -->$/ { path = $3; state = 1; next }
    state == 1 {
      if ($0 ~ /^```/) { n++; file = dir "/" n; printf "" > file; print n, path; state = 2 }
      else { print "-", path; state = 0 }
      next
    }
    state == 2 && $0 == "```" { close(file); state = 0; next }
    state == 2 { print > file }
    END { if (state != 0) print "-", path }
  ' "$doc" >"$work/list"
  while read -r n path; do
    quoted+=("$path")
    if [ "$n" = - ]; then
      fault "$doc" "the marker for $path is not followed by a closed code block"
    elif [ ! -f "$path" ]; then
      fault "$doc" "quotes $path, which does not exist"
    elif ! cmp -s "$work/$n" "$path"; then
      fault "$doc" "the block quoting $path differs from $path:
$(diff "$path" "$work/$n" || true)"
    fi
  done <"$work/list"
done

for example in examples/*.c; do
  printf '%s\n' "${quoted[@]}" | grep -qxF "$example" ||
    fault "$example" "no document quotes it (<!-- example: $example --> above a code block in docs/)"
done

[ "$faults" = 0 ] || exit 1
echo "docs_examples: every quoted example matches its file"
