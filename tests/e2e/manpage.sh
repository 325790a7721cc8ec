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

# Every option kiv accepts is an item under OPTIONS, and no other: probe each letter,
# and the long options, with an argument after it; only an unknown option gives status 2.
# An item names an option alone or a short one with its long twin ("-h, --help").
section OPTIONS >"$T/options"
for o in -{a..z} -{A..Z} --help --version --verbose; do
  "$KIV" $o x </dev/null >/dev/null 2>&1
  accepted=$?
  grep -Eq "^ {7}(-., )?$o([ ,]|\$)" "$T/options"
  documented=$?
  checks=$((checks + 1))
  if [ $accepted -ne 2 ] && [ $documented -ne 0 ]; then fail "$o is accepted but not documented"; fi
  if [ $accepted -eq 2 ] && [ $documented -eq 0 ]; then fail "$o is documented but unknown"; fi
done

# The identifiers are the ones kiv lists for a wrong name, each an item under CODE PAGES.
"$KIV" -o '?' -T </dev/null 2>"$T/list" >/dev/null
ids=$(sed -n '/^The valid identifiers/{n;p}' "$T/list")
checks=$((checks + 1))
[ "$ids" = " $PAGES" ] || fail "kiv lists [$ids]"
section "CODE PAGES" >"$T/pages"
for p in $PAGES; do
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
