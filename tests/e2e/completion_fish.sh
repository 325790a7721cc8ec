#!/bin/bash
# The fish completion: options, code pages after -i and -o (also bundled), files once the
# options have ended, nothing for the ignored -s argument.
. "$(dirname "$0")/lib.sh" "$@"
command -v fish >/dev/null || { echo "SKIP: fish is not installed"; exit 77; }

mkdir "$T/d" && : >"$T/d/alpha.txt" && : >"$T/d/beta.txt"
f=$T/d/a
options="--help --version -T -c -e -g -h -i -l -o -q -s -t -v"
# command line to complete | matches
rows=() wants=()
while IFS='|' read -r words want; do rows+=("$words") wants+=("$want"); done <<TABLE
kiv -o |$PAGES
kiv -i |$PAGES
kiv -v -i cp866 -o |$PAGES
kiv -vo |$PAGES
kiv -s x -o |$PAGES
kiv -o u|utf-8
kiv -i mac|mac-cyrillic
kiv -o $f|
kiv -s |
kiv -|$options
kiv --|--help --version
kiv $f|$T/d/alpha.txt
kiv -io $f|$T/d/alpha.txt
kiv file -o $f|$T/d/alpha.txt
kiv -- -i $f|$T/d/alpha.txt
TABLE
# Each line completed at its end; the matches, without their descriptions, on one line.
printf '%s\n' "${rows[@]}" | timeout 60 fish --no-config -c "
  source '$SRC/completion/kiv.fish'
  while read -l line
    set -l matches (complete -C \$line | string replace -r '\t.*' '' | sort)
    echo \"\$matches\"
  end" >"$T/got" 2>"$T/err"
status=$?
expect_status "fish" 0
for i in "${!rows[@]}"; do
  sed -n "$((i + 1))p" "$T/got" >"$T/out"
  expect_text "complete [${rows[i]}]" "$T/out" "$(tr ' ' '\n' <<<"${wants[i]}" | sort | xargs)\n"
done

finish
