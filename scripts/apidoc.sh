#!/usr/bin/env bash
# The library's reference lives in one place: the documentation comments
# of include/klsrv32.h.  This script lifts them out, unchanged, into the
# forms a reader looks in; pandoc turns them into manual pages.
#
#   apidoc.sh markdown HEADER              the reference as Markdown (docs/api.md)
#   apidoc.sh check HEADER DOC EXPORTS     DOC is what `markdown` writes, every
#                                          name in EXPORTS has a page and every
#                                          error-number macro its meaning
#   apidoc.sh man HEADER FOLDER VERSION    section-3 pages in FOLDER/man3: one
#                                          page per page comment, .so links for
#                                          the other calls it documents, and
#                                          klsrv32(3) with the running text
#
# Two kinds of comment are lifted (anything else is left alone):
#   /** NAME[, NAME...] - summary     a page for the calls NAME...
#   /**                               running text
# Lines inside start with " * " (or are " *"); " */" alone closes the
# comment.  The declarations right after it, up to the next blank line, are
# quoted with it.  A page's "#### Heading" lines are its sections.
set -euo pipefail

usage() {
    echo "usage: $0 markdown HEADER | check HEADER DOC EXPORTS | man HEADER FOLDER VERSION" >&2
    exit 2
}

# Reads the header and writes records separated by form feeds: for each
# comment "page<TAB>names<TAB>summary" or "prose", then a line "--text--",
# its text, "--code--", the declarations after it.
blocks() {
    awk '
    function finish() {
        if (kind != "") printf "%s\n--text--\n%s--code--\n%s\f\n", head, text, code
        kind = ""; text = ""; code = ""
    }
    state == "code" && /^[ \t]*$/ { finish(); state = "" ; next }
    state == "code" { code = code $0 "\n"; next }
    state == "text" && /^ \*\/[ \t]*$/ { state = "code"; next }
    state == "text" {
        line = $0
        if (line ~ /^ \* /) line = substr(line, 4)
        else if (line ~ /^ \*$/) line = ""
        else { printf "%s:%d: documentation line without \" * \"\n", FILENAME, NR > "/dev/stderr"; bad = 1 }
        text = text line "\n"
        next
    }
    /^\/\*\*$/ { finish(); kind = "prose"; head = "prose"; state = "text"; next }
    /^\/\*\* / {
        finish()
        line = substr($0, 5)
        split_at = index(line, " - ")
        if (split_at == 0) { printf "%s:%d: a page needs \"NAMES - summary\"\n", FILENAME, NR > "/dev/stderr"; bad = 1 }
        kind = "page"
        head = "page\t" substr(line, 1, split_at - 1) "\t" substr(line, split_at + 3)
        state = "text"
        next
    }
    END { finish(); exit bad }
    ' "$1"
}

markdown() {
    blocks "$1" | awk -v RS='\f\n' '
    {
        split($0, parts, "\n--text--\n"); head = parts[1]
        split(parts[2], rest, "--code--\n"); text = rest[1]; code = rest[2]
        if (head == "prose") {
            printf "%s", text
        } else {
            split(head, h, "\t")
            count = split(h[2], names, ", ")
            for (i = 1; i <= count; i++) printf "<a id=\"%s\"></a>", names[i]
            printf "\n\n### %s\n\n%s.\n\n", h[2], toupper(substr(h[3], 1, 1)) substr(h[3], 2)
            if (code != "") { printf "```c\n%s```\n\n", code; code = "" }
            printf "%s", text
        }
        if (code != "") printf "\n```c\n%s```\n", code
        printf "\n"
    }' | cat -s
}

check() {
    local header=$1 doc=$2 exports=$3 failed=0 name
    if ! markdown "$header" | diff -u "$doc" - >&2; then
        echo "$doc does not match the comments of $header:" \
            "scripts/apidoc.sh markdown $header > $doc" >&2
        failed=1
    fi
    local pages
    pages=$(blocks "$header" | awk -F'\t' '$1 == "page" { gsub(/, /, "\n", $2); print $2 }')
    for name in $(grep -E '^[a-z0-9_]+$' "$exports"); do
        grep -qx "$name" <<<"$pages" || {
            echo "$header: no page documents $name" >&2
            failed=1
        }
    done
    if grep -E '^#define KL_ERR_' "$header" | grep -v '/\*'; then
        echo "$header: the error numbers above have no meaning" >&2
        failed=1
    fi
    return $failed
}

man_pages() {
    local header=$1 folder=$2 version=$3 work
    mkdir -p "$folder/man3"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    touch "$work/pages" "$work/links"
    # One Markdown file per page: its sections become the page's sections.
    blocks "$header" | awk -v RS='\f\n' -v work="$work" -v version="$version" '
    function title(name, section) {
        return sprintf("---\ntitle: %s\nsection: %s\nheader: klsrv32 Manual\nfooter: klsrv32 %s\n---\n\n", toupper(name), section, version)
    }
    BEGIN {
        overview = work "/klsrv32.md"
        printf "%s# NAME\n\nklsrv32 - client access library of the database access server\n\n# DESCRIPTION\n\n", title("klsrv32", 3) > overview
        print "klsrv32" > (work "/pages")
    }
    {
        split($0, parts, "\n--text--\n"); head = parts[1]
        split(parts[2], rest, "--code--\n"); text = rest[1]; code = rest[2]
        if (head == "prose") {
            # The running text is the page klsrv32(3), one heading level up.
            n = split(text, lines, "\n")
            for (i = 1; i < n; i++) {
                line = lines[i]
                if (line ~ /^# /) continue
                if (line ~ /^##+ /) line = substr(line, 2)
                print line > overview
            }
            if (code != "") printf "\n```c\n%s```\n", code > overview
            print "" > overview
            next
        }
        split(head, h, "\t")
        count = split(h[2], names, ", ")
        file = work "/" names[1] ".md"
        print names[1] > (work "/pages")
        for (i = 2; i <= count; i++) print names[i] " " names[1] > (work "/links")
        printf "%s", title(names[1], 3) > file
        printf "# NAME\n\n%s - %s\n\n# SYNOPSIS\n\n```c\n#include <klsrv32.h>\n\n%s```\n\n# DESCRIPTION\n\n", h[2], h[3], code > file
        n = split(text, lines, "\n")
        for (i = 1; i < n; i++) {
            line = lines[i]
            if (line ~ /^#### /) line = "# " toupper(substr(line, 6))
            print line > file
        }
        printf "\n# SEE ALSO\n\n**klsrv32**(3): threads, options, status record, result codes and\nerror numbers.\n" > file
        close(file)
    }'
    local name target
    while read -r name; do
        pandoc --standalone --from markdown --to man "$work/$name.md" -o "$folder/man3/$name.3"
    done <"$work/pages"
    while read -r name target; do
        echo ".so man3/$target.3" >"$folder/man3/$name.3"
    done <"$work/links"
}

[ $# -ge 2 ] || usage
case $1 in
markdown) [ $# -eq 2 ] || usage; markdown "$2" ;;
check) [ $# -eq 4 ] || usage; check "$2" "$3" "$4" ;;
man) [ $# -eq 4 ] || usage; man_pages "$2" "$3" "$4" ;;
*) usage ;;
esac
