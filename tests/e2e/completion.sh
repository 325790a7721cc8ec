#!/bin/bash
# The bash completion: registered for kiv, code pages after -i and -o (also bundled) and
# their long twins (bash splits "--to-code=u" at the "="), files after the options have
# ended, nothing for the ignored -s argument.
. "$(dirname "$0")/lib.sh" "$@"
if ! type -t complete >/dev/null || ! type -t compopt >/dev/null; then
  echo "SKIP: this bash has no programmable completion"
  exit 77
fi
. "$SRC/completion/kiv.bash"

complete -p kiv >"$T/out" 2>&1
expect_text "registered" "$T/out" 'complete -F _kiv kiv\n'

mkdir "$T/d" && : >"$T/d/alpha.txt" && : >"$T/d/beta.txt"
f=$T/d/a
# words of the command line, the last one being completed | candidates, space-separated
while IFS='|' read -r words want; do
  eval "COMP_WORDS=($words)"
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kiv 2>/dev/null  # compopt complains outside a real completion
  printf '%s\n' "${COMPREPLY[*]}" >"$T/out"
  expect_text "complete [$words]" "$T/out" "$want\n"
done <<TABLE
kiv -o ''|$PAGES
kiv -i ''|$PAGES $INPUT_PAGES
kiv -v -i cp866 -o ''|$PAGES
kiv -vo ''|$PAGES
kiv -vi ''|$PAGES $INPUT_PAGES
kiv -o u|utf-8
kiv -i u|utf-8 utf-16le utf-16be
kiv --to-code ''|$PAGES
kiv --to-code =|$PAGES
kiv --to-code = u|utf-8
kiv --to u|utf-8
kiv --ign x --from-code ''|$PAGES $INPUT_PAGES
kiv -i mac|mac-cyrillic
kiv -o "$f"|
kiv -s ''|
kiv "$f"|$T/d/alpha.txt
kiv -io "$f"|$T/d/alpha.txt
kiv -s x "$f"|$T/d/alpha.txt
kiv file -o "$f"|$T/d/alpha.txt
kiv -- -i "$f"|$T/d/alpha.txt
kiv --to-code = utf-8 "$f"|$T/d/alpha.txt
kiv --report "$f"|$T/d/alpha.txt
kiv -T|-T
kiv --|-- --from-code --to-code --report --convert --leave-low-scores --no-box-drawing --box-drawing --letters-only --verbose --quiet --ignored --recursive --jobs --in-place --dry-run --lossy --backup --keep-times --keep-declarations --repair --guess --help --version
TABLE

finish
