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
  done
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
  done
done

# A pipe that delivers seven bytes at a time, with pauses.
trickle() { perl -e 'binmode STDIN; $| = 1; while (read(STDIN, $b, 7)) { print $b; select(undef, undef, undef, 0.001) }'; }
for p in utf-8 cp866; do
  "$KIV" -o koi8-r "$(sample $p)" >"$T/want"
  trickle <"$(sample $p)" | "$KIV" -o koi8-r >"$T/out"
  expect_file "trickled $p" "$T/out" "$T/want"
done
trickle <"$(sample mac-cyrillic)" | "$KIV" -T >"$T/out"
expect_text "trickled report" "$T/out" '<stdin>: mac-cyrillic\n'

finish
