#!/usr/bin/env bash
# Turns one document of docs/ into a manual page with pandoc: a NAME line,
# the document as DESCRIPTION (its own title dropped), and SEE ALSO.
#   scripts/doc-to-man.sh PAGE SECTION "WHAT IT DESCRIBES" DOC.md OUT VERSION
set -euo pipefail
page=$1 section=$2 what=$3 doc=$4 out=$5 version=$6
title=$(echo "$page" | tr '[:lower:]' '[:upper:]')
mkdir -p "$(dirname "$out")"
{
  printf '# NAME\n\n%s \\- %s\n\n# DESCRIPTION\n\n' "$page" "$what"
  sed -e '1{/^# /d}' "$doc"
  printf '\n# SEE ALSO\n\nkivd(8), kivcmd(1), hsequtils(1), kiv-media(5); the documents in /usr/share/doc/kiv/.\n'
} | pandoc -s -f gfm -t man \
    -M title="$title" -M section="$section" -M header="kiv $version" -M footer="kiv $version" |
  # Tables fit the terminal: their last column takes the width left and
  # wraps, and text is not stretched to the right margin (which narrow
  # table cells cannot be). A table never starts in the last lines of a
  # page, where tbl cannot place its first cell.
  sed -e '/^\.TH /a .ad l' -e 's/^\(l\( l\)*\)\.$/\1x./' -e 's/^\.TS$/.ne 6v\n.TS/' >"$out"
