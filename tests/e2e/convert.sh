#!/bin/bash
# Conversion through the real binary: every page pair on the samples, with -i and with
# detection, and input that arrives through a pipe a few bytes at a time.
. "$(dirname "$0")/lib.sh" "$@"

for from in $PAGES; do
  for to in $PAGES; do
    LC_ALL=C iconv -f "$from" -t "$to//TRANSLIT" "$(sample $from)" >"$T/want"
    run -i "$from" -o "$to" "$(sample $from)"
    expect_status "$from -> $to (-i)" 0
    expect_file "$from -> $to (-i)" "$T/out" "$T/want"
    run -o "$to" "$(sample $from)"
    expect_file "$from -> $to" "$T/out" "$T/want"
    # Clean text: nothing to mend, and not a byte different.
    run --repair -v -o "$to" "$(sample $from)"
    expect_file "$from -> $to, --repair" "$T/out" "$T/want"
    expect_text "$from -> $to, --repair: nothing said" "$T/err" ''
  done
done

# Lines in another page and UTF-8 saved again as read in cp1251 or koi8-r: the filter
# converts them as ever and says so with -v; with --repair it mends them.
head -3 "$(sample utf-8)" >"$T/three"
tocp1251() { LC_ALL=C sed 's/\x98/\x01/g' | iconv -f cp1251 -t utf-8 | LC_ALL=C sed 's/\x01/\xc2\x98/g'; }
{ cat "$(sample utf-8)" && iconv -f utf-8 -t cp1251 "$T/three"; } >"$T/utf8-cp1251"
{ cat "$(sample cp1251)" && cat "$T/three"; } >"$T/cp1251-utf8"
tocp1251 <"$(sample utf-8)" >"$T/double"
iconv -f koi8-r -t utf-8 "$(sample utf-8)" >"$T/double-koi8"
tocp1251 <"$T/double" >"$T/twice"
cat "$(sample utf-8)" "$T/three" >"$T/clean+three"
# file | lines | what --repair makes of it
while IFS='|' read -r f n want; do
  "$KIV" -o utf-8 "$T/$f" >"$T/today"
  run -v -o utf-8 "$T/$f"
  expect_file "$f: as ever" "$T/out" "$T/today"
  expect_text "$f: told" "$T/err" "kiv: $T/$f: $n lines in another page or double-encoded (--repair mends them)\n"
  run -v --repair -o utf-8 "$T/$f"
  expect_file "$f: mended" "$T/out" "$want"
  expect_text "$f: said" "$T/err" "kiv: $T/$f: $n lines repaired\n"
  run --repair -o utf-8 "$T/$f"
  expect_text "$f: quiet" "$T/err" ''
done <<TABLE
utf8-cp1251|2|$T/clean+three
cp1251-utf8|2|$T/clean+three
double|14|$(sample utf-8)
double-koi8|14|$(sample utf-8)
twice|14|$(sample utf-8)
TABLE
# Into another page, as a UTF-8 line would be; from standard input, named so.
"$KIV" -o koi8-r "$(sample utf-8)" "$T/three" >"$T/want"
run --repair -o koi8-r "$T/utf8-cp1251"
expect_file "utf8-cp1251 to koi8-r" "$T/out" "$T/want"
run -v --repair -o utf-8 <"$T/double"
expect_text "standard input: said" "$T/err" "kiv: <stdin>: 14 lines repaired\n"
# A line that began in the blocks written before detection decided is not measured from
# its middle: with or without -i, and in place, it stays as it was.
{ head -c 509 /dev/zero | tr '\0' x && printf ' ab' && printf 'Привет мир\n' | iconv -t cp1251 &&
  for i in $(seq 40); do cat "$T/three"; done; } >"$T/mid-line"
for i in "" "-i utf-8"; do
  run -v --repair $i -o utf-8 "$T/mid-line"
  expect_file "a line begun before [$i]" "$T/out" "$T/mid-line"
  expect_text "a line begun before [$i]: nothing said" "$T/err" ''
done

# Several inputs: one stream, each converted from its own page.
run -o utf-8 "$(sample koi8-r)" "$(sample cp866)" "$(sample mac-cyrillic)"
for p in koi8-r cp866 mac-cyrillic; do
  LC_ALL=C iconv -f $p -t utf-8 "$(sample $p)"
done >"$T/want"
expect_file "three inputs" "$T/out" "$T/want"

# A long input with markup first: the ASCII blocks pass as they are, the rest converts.
{
  for i in $(seq 40); do echo "<p class=\"line\">$i</p>"; done
  for i in $(seq 30); do cat "$(sample utf-8)"; done
} >"$T/long.utf8"
LC_ALL=C iconv -f utf-8 -t cp1251//TRANSLIT "$T/long.utf8" >"$T/long.cp1251"
run -o utf-8 "$T/long.cp1251"
expect_file "long cp1251 to utf-8" "$T/out" "$T/long.utf8"

# UTF-8 in other languages stays utf-8, however its trail bytes score as Russian letters.
fr='Mère Noëlle a gardé la clé du grenier ; à midi, on déjeune près de la rivière.\n'
de='Die Brücke über den Fluss ist schmal, und im Frühling blühen dort Äpfel für alle.\n'
el='Το πρωί πήγαμε στη θάλασσα· ο ήλιος ήταν ζεστός και το νερό κρύο.\n'
for lang in fr de el; do
  for n in 1 30; do
    for i in $(seq $n); do printf "${!lang}"; done >"$T/$lang"
    run -T "$T/$lang"
    expect_text "$lang x$n report" "$T/out" "$T/$lang: utf-8\n"
    LC_ALL=C iconv -f utf-8 -t koi8-r//TRANSLIT "$T/$lang" >"$T/want"
    run -o koi8-r "$T/$lang"
    expect_file "$lang x$n to koi8-r" "$T/out" "$T/want"
    run -v --repair -o koi8-r "$T/$lang"
    expect_file "$lang x$n to koi8-r, --repair" "$T/out" "$T/want"
  done
done

# Seven bytes at a time, with pauses, as a slow pipe delivers them.
trickle() { perl -e 'binmode STDIN; $| = 1; while (read(STDIN, $b, 7)) { print $b; select(undef, undef, undef, 0.001) }'; }

# UTF-16 as Windows writes "Unicode" text (little-endian, a BOM first) and without a BOM,
# either byte order: named from its first block and converted whole, also in pieces of an
# odd size; the long one has a surrogate pair across the end of kiv's first read (128 KiB).
printf 'Осенний вечер на станции — «тихо».\n' >"$T/short.u8"
printf 'Plain ASCII words only, sixteen and more.\n' >"$T/ascii.u8"
for bom in '' bom; do
  units=$((131070 / 2)) && [ -n "$bom" ] && units=$((units - 1))
  { head -c $units /dev/zero | tr '\0' x && printf '\U0001F600' &&
    for i in $(seq 60); do cat "$(sample utf-8)"; done; } >"$T/long$bom.u8"
  [ -n "$bom" ] && cp "$T/short.u8" "$T/short$bom.u8" && cp "$T/ascii.u8" "$T/ascii$bom.u8"
done
for order in le be; do
  for bom in '' bom; do
    for text in short ascii long; do
      f=$T/$text.$order$bom
      { [ -n "$bom" ] && printf '\xfe\xff' | iconv -f utf-16be -t utf-16$order
        iconv -f utf-8 -t utf-16$order "$T/$text$bom.u8"; } >"$f"
      run -T "$f"
      expect_text "utf-16$order $bom $text: report" "$T/out" "$f: utf-16$order\n"
      for to in utf-8 koi8-r cp1251; do
        LC_ALL=C iconv -f UTF-16${order^^} -t $to//TRANSLIT "$f" >"$T/want"
        run -o $to "$f"
        expect_status "utf-16$order $bom $text -> $to" 0
        expect_file "utf-16$order $bom $text -> $to" "$T/out" "$T/want"
      done
      run -i utf-16$order -o utf-8 "$f"
      LC_ALL=C iconv -f UTF-16${order^^} -t utf-8 "$f" >"$T/want"
      expect_file "-i utf-16$order $bom $text" "$T/out" "$T/want"
      if [ $text = long ]; then cat "$f"; else trickle <"$f"; fi | "$KIV" -o utf-8 >"$T/out"
      expect_file "utf-16$order $bom $text through a pipe" "$T/out" "$T/want"
    done
  done
done

# A pipe that delivers seven bytes at a time, with pauses.
for p in utf-8 cp866; do
  "$KIV" -o koi8-r "$(sample $p)" >"$T/want"
  trickle <"$(sample $p)" | "$KIV" -o koi8-r >"$T/out"
  expect_file "trickled $p" "$T/out" "$T/want"
done
trickle <"$(sample mac-cyrillic)" | "$KIV" -T >"$T/out"
expect_text "trickled report" "$T/out" '<stdin>: mac-cyrillic\n'

finish
