#!/bin/bash
# The man page: lints clean, renders every section, and documents exactly the options and
# code pages the binary accepts. Skipped (77) when no tool can read it; counted as skipped
# too when only the lint could not run.
. "$(dirname "$0")/lib.sh" "$@"
page=$SRC/docs/kiv.1
has() { command -v "$1" >/dev/null; }

# render LOCALE: the page as man shows it there; a fresh system has no LANG at all (C).
render() {
  if has man; then
    env -u LANG -u LANGUAGE MANWIDTH=200 LC_ALL=$1 man -l "$page"
  else
    local device=ascii && [ "$1" = C ] || device=utf8
    mandoc -T$device -O width=200 "$page"
  fi
}
has man || has mandoc || { echo "SKIP: neither man nor mandoc is installed"; exit 77; }
for locale in C C.UTF-8; do
  render $locale 2>"$T/err" | sed "s/.\x08//g" >"$T/text"
  expect_text "renders without complaint in $locale" "$T/err" ''
done

for section in NAME SYNOPSIS DESCRIPTION OPTIONS "CODE PAGES" DETECTION "EXIT STATUS" \
  EXAMPLES CAVEATS; do
  checks=$((checks + 1))
  grep -qx "$section" "$T/text" || fail "no section $section"
done
# text between a heading and the next one
section() { sed -n "/^$1\$/,/^[A-Z][A-Z ]*\$/p" "$T/text" | sed '1d;$d'; }

# The options under OPTIONS are the ones kiv accepts: each letter that getopt does not
# call invalid (probed with an argument after it), and the long names --help lists, none
# of them unrecognised. An item names an option, its argument and its long twin
# ("-i page, --from-code=page", "--backup[=suffix]").
section OPTIONS | grep -E '^ {7}-' | sed 's/, /\n/g' | sed -E 's/^ +//; s/[ =[].*//' |
  sort >"$T/documented"
unknown() { "$KIV" "$1" x </dev/null 2>&1 >/dev/null | grep -qE 'invalid option|unrecognized option'; }
for o in -{a..z} -{A..Z}; do unknown $o || printf "%s\n" "$o"; done >"$T/accepted"
"$KIV" --help | sed -nE 's/^ {4}(--[a-z-]+).*/\1/p' >"$T/long"
for o in $(cat "$T/long"); do
  checks=$((checks + 1))
  unknown $o && fail "$o: listed by --help, but unknown"
done
sort "$T/accepted" "$T/long" >"$T/want"
expect_file "options documented [$(xargs <"$T/documented")]" "$T/documented" "$T/want"

# The identifiers are the ones kiv lists for a wrong name, each an item under CODE PAGES.
"$KIV" -o '?' -T </dev/null 2>"$T/list" >/dev/null
ids=$(sed -n '/^The valid identifiers/{n;p}' "$T/list")
checks=$((checks + 1))
[ "$ids" = " $PAGES $INPUT_PAGES" ] || fail "kiv lists [$ids]"
section "CODE PAGES" >"$T/pages"
for p in $PAGES $INPUT_PAGES; do
  checks=$((checks + 1))
  grep -Eq "^ {7}$p( |\$)" "$T/pages" || fail "code page $p not documented"
done
# Each other name is given in its page's item.
for a in $ALIASES; do
  name=${a%=*} of=${a#*=}
  checks=$((checks + 1))
  awk -v p="$of" '/^       [^ ]/ { on = $1 == p } on' "$T/pages" | tr -s ' ,;\n' '\n' |
    grep -qxF -- "$name" || fail "$name not given for $of"
done

if has mandoc; then
  mandoc -Tlint -W warning "$page" >"$T/lint" 2>&1
  status=$?
  expect_status "mandoc lint" 0
  expect_text "mandoc lint output" "$T/lint" ''
fi

finish || exit 1
has mandoc || { echo "SKIP: mandoc is not installed, the lint did not run"; exit 77; }
