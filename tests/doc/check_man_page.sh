#!/usr/bin/env bash
# A manual page renders without a warning from man/groff and names every
# operation of the table.
#   check_man_page.sh PAGE(roff, may be .gz) VEXON_OPDOC
set -u
page=$1 opdoc=$2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
if ! LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" > "$out" 2> "$err"; then
  echo "FAIL: man -l $page failed:"; cat "$err"; exit 1
fi
if [ -s "$err" ]; then
  echo "FAIL: man -l $page warns:"; cat "$err"; exit 1
fi
missing=0
# The operation names, from the generated Markdown's section headings.
names=$("$opdoc" --markdown | sed -n 's/^## \(sysvexon_[A-Za-z0-9_]*\)$/\1/p')
count=$(printf '%s\n' "$names" | grep -c .)
if [ "$count" -ne 77 ]; then
  echo "FAIL: vexon-opdoc --markdown names $count operations, not 77"; exit 1
fi
for n in $names; do
  if ! grep -q "^   $n\$" "$out"; then
    echo "FAIL: $page has no section for $n"; missing=1
  fi
done
[ "$missing" -eq 0 ] || exit 1
echo "ok: $page renders without warnings and has a section for each of the $count operations"
