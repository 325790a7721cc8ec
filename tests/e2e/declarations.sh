#!/bin/bash
# Charset declarations in place: in every page and every form, a converted file says its
# new page and is otherwise iconv's text, and converting it back gives the original; what
# is no declaration of another page stays; --keep-declarations keeps them all; the
# converted XML and Python files read right where xmllint and python3 are installed.
. "$(dirname "$0")/lib.sh" "$@"
D=$T/d O=$T/originals
mkdir "$D" "$O"

# The names each kind of reader knows a page by.
markup() {
  case $1 in
    cp866) echo IBM866 ;; cp1251) echo windows-1251 ;; koi8-r) echo KOI8-R ;;
    iso-8859-5) echo ISO-8859-5 ;; mac-cyrillic) echo x-mac-cyrillic ;; utf-8) echo UTF-8 ;;
    *) echo UTF-16 ;;
  esac
}
editor() { case $1 in utf-16*) echo utf-16 ;; *) echo "$1" ;; esac; }

# Russian prose without the dash that not every page has.
sed 's/—/-/g' "$(sample utf-8)" >"$T/prose"
# form | readers (markup or editor) | head, with %s for the name | tail
FORMS='html|markup|<!DOCTYPE html>\n<html><head><meta charset="%s"><title>t</title></head>\n<body>|</body></html>\n
equiv|markup|<html><head><META HTTP-EQUIV=Content-Type CONTENT="text/html; charset=%s">\n|
xml|markup|<?xml version="1.0" encoding="%s"?>\n<doc>|</doc>\n
css|markup|@charset "%s";\n/*|*/\n
emacs|editor|;; -*- mode: text; coding: %s -*-\n|
py|editor|#!/usr/bin/env python3\n# -*- coding: %s -*-\n"""|"""\n
py2|editor|# coding=%s\n"""|"""\n
vim|editor|# vim: set fileencoding=%s :\n|
fenc|editor|\n/* vim:fenc=%s:ts=4 */\n|'
# text FORM PAGE: the form's text, in UTF-8, declaring PAGE.
text() {
  local form readers head tail
  while IFS='|' read -r form readers head tail; do
    [ "$form" = "$1" ] || continue
    # shellcheck disable=SC2059
    printf "$head" "$($readers "$2")" && cat "$T/prose" && printf "$tail"
  done <<<"$FORMS"
}
forms=$(cut -d'|' -f1 <<<"$FORMS")
# make FILE FORM PAGE: the form in PAGE, declaring it.
make() { text "$2" "$3" | iconv -f utf-8 -t "$3" >"$1"; }

# Every page into utf-8, and utf-8 into every other page: each name is read and written.
for to in $PAGES; do
  froms="utf-8" && [ $to = utf-8 ] && froms="cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic $INPUT_PAGES"
  files=() lines=""
  for from in $froms; do
    for form in $forms; do
      f=$D/$from-$to.$form
      make "$f" $form $from && cp "$f" "$O"
      files+=("$f") lines+="$f: $from -> $to, charset declaration updated\n"
    done
  done
  run --in-place -o $to "${files[@]}"
  expect_status "into $to" 0
  expect_text "into $to: said" "$T/out" "$lines"
  for f in "${files[@]}"; do
    from=${f##*/} from=${from%-"$to".*} form=${f##*.}
    text $form $to | iconv -f utf-8 -t $to >"$T/want"
    expect_file "$from -> $to, $form" "$f" "$T/want"
  done
  # Back the other way, the names too.
  [ $to = utf-8 ] && froms="cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic"
  for from in $froms; do
    run --in-place -i $to -o $from "$D/$from-$to".*
    expect_status "$from -> $to, back" 0
    for f in "$D/$from-$to".*; do expect_file "$from -> $to -> $from, ${f##*.}" "$f" "$O/${f##*/}"; done
  done
done

# The converted files read as what they say, by the programs that read them.
if command -v xmllint >/dev/null; then
  cat "$T/prose" <(echo) >"$T/want"
  for f in "$D"/*.xml; do
    xmllint --xpath 'string(/doc)' "$f" >"$T/out" 2>"$T/err"
    expect_file "xmllint ${f##*/}" "$T/out" "$T/want"
  done
else
  echo "xmllint is not installed: the XML files are not parsed"
fi
if command -v python3 >/dev/null; then
  for f in "$D"/*.py "$D"/*.py2; do
    python3 -c 'import ast, sys
sys.stdout.buffer.write(ast.parse(open(sys.argv[1], "rb").read()).body[0].value.value.encode())' \
      "$f" >"$T/out" 2>"$T/err"
    expect_file "python3 ${f##*/}" "$T/out" "$T/prose"
  done
else
  echo "python3 is not installed: the Python files are not read"
fi

# What stays: a name of the output page by any alias and case, a declaration where none
# is read; and what the watch still refuses.
# name | head (in UTF-8) | said | holds (iconv: the file's text converted, as it was)
while IFS='|' read -r n head said holds; do
  f=$D/$n
  { printf "$head" && cat "$T/prose"; } | iconv -f utf-8 -t cp1251 >"$f"
  case $n in nul) head -c 3000 /dev/zero >>"$f" ;; bad) printf '\x98' >>"$f" ;; esac
  cp "$f" "$T/orig"
  run -v --in-place -o utf-8 "$f"
  case $said in
    '>'*) expect_text "$n: said" "$T/out" "$f: ${said#>}\n" ;;
    *) expect_text "$n: said" "$T/err" "kiv: $f: left alone: $said\n" ;;
  esac
  case $holds in
    same) expect_file "$n: unchanged" "$f" "$T/orig" ;;
    iconv)
      iconv -f cp1251 -t utf-8 "$T/orig" >"$T/want"
      expect_file "$n: iconv's" "$f" "$T/want"
      ;;
    *)
      { printf "$holds" && cat "$T/prose"; } >"$T/want"
      expect_file "$n: rewritten" "$f" "$T/want"
      ;;
  esac
done <<'TABLE'
alias|<meta charset="UTF8">\n|>cp1251 -> utf-8|iconv
alias-case|# -*- coding: Utf-8 -*-\n|>cp1251 -> utf-8|iconv
latin1|<meta charset=iso-8859-1>\n|>cp1251 -> utf-8, charset declaration updated|<meta charset=UTF-8>\n
both|<?xml version="1.0" encoding="utf-8"?>\n<meta charset=koi8-r>\n|>cp1251 -> utf-8, charset declaration updated|<?xml version="1.0" encoding="utf-8"?>\n<meta charset=UTF-8>\n
line3|\n\n# -*- coding: cp1251 -*-\n|>cp1251 -> utf-8|iconv
not-first|\n<?xml version="1.0" encoding="windows-1251"?>\n|>cp1251 -> utf-8|iconv
nul|<meta charset="windows-1251">\n|>binary|same
bad|<meta charset="windows-1251">\n|invalid bytes for cp1251 (--lossy converts it)|same
TABLE
# Past the first 1024 bytes.
{ head -c 1100 /dev/zero | tr '\0' ' ' && printf '<meta charset="windows-1251">\n' && cat "$T/prose"; } |
  iconv -f utf-8 -t cp1251 >"$D/far.html"
iconv -f cp1251 -t utf-8 "$D/far.html" >"$T/far"
run --in-place -o utf-8 "$D/far.html"
expect_text "far: said" "$T/out" "$D/far.html: cp1251 -> utf-8\n"
expect_file "far: iconv's" "$D/far.html" "$T/far"

# --keep-declarations keeps them; --dry-run says what it would do and does nothing.
make "$D/kept.html" html koi8-r && cp "$D/kept.html" "$T/orig"
run --dry-run --in-place -o utf-8 "$D/kept.html"
expect_text "dry run: said" "$T/out" "$D/kept.html: koi8-r -> utf-8, charset declaration updated\n"
expect_file "dry run: unchanged" "$D/kept.html" "$T/orig"
run --in-place --keep-declarations -o utf-8 "$D/kept.html"
expect_status "kept" 0
expect_text "kept: said" "$T/out" "$D/kept.html: koi8-r -> utf-8\n"
iconv -f koi8-r -t utf-8 "$T/orig" >"$T/want"
expect_file "kept: iconv's" "$D/kept.html" "$T/want"

finish
