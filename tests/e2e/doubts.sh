#!/bin/bash
# Files whose bytes do not say Russian, beside one that does: French in Latin-1, Greek in
# cp1253, a PDF without a NUL, a heading in cp866 capitals that mac-cyrillic reads nearly
# as well. -T says what each is, the filter copies what is not Cyrillic, and in place
# leaves alone all but the Russian file, unless -i or --guess decides.
. "$(dirname "$0")/lib.sh" "$@"
D=$T/d

# A PDF whose streams hold bytes 80-FF, none of them 00: 8-bit text to detection.
pdf() {
  printf '%%PDF-1.4\n%%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n'
  printf '4 0 obj\n<< /Length 3000 >>\nstream\n'
  awk 'BEGIN { for (i = 0; i < 3000; i++) printf "%c", 128 + (i * 37) % 128 }'
  printf '\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%%%EOF\n'
}
make_folder() {
  rm -rf "$D" && mkdir -p "$D"
  pdf >"$D/doc.pdf"
  printf 'Le chat est tr\xe8s \xe9l\xe9gant, d\xe9j\xe0 vu \xe0 c\xf4t\xe9 de la for\xeat.\n' >"$D/french.txt"
  printf 'Η γρήγορη καφέ αλεπού πηδάει πάνω από το τεμπέλικο σκυλί.\n' |
    iconv -f utf-8 -t cp1253 >"$D/greek.txt"
  printf 'ВСЁ О ФАЙЛАХ\n' | iconv -f utf-8 -t cp866 >"$D/heading.txt"
  cp "$(sample cp1251)" "$D/russian.txt"
}
export LC_ALL=C  # the PDF's bytes are bytes to awk
make_folder
cp -a "$D" "$T/orig"
files=("$D/doc.pdf" "$D/french.txt" "$D/greek.txt" "$D/heading.txt" "$D/russian.txt")

run -T "${files[@]}"
expect_status "-T" 0
expect_text "-T lines" "$T/out" "$D/doc.pdf: binary
$D/french.txt: 8-bit (not Cyrillic)
$D/greek.txt: 8-bit (not Cyrillic)
$D/heading.txt: mac-cyrillic (unsure: or cp866)
$D/russian.txt: cp1251\n"
"$KIV" -T <"$D/french.txt" >"$T/out"
expect_text "-T from a pipe" "$T/out" '<stdin>: 8-bit (not Cyrillic)\n'

# The filter: copied unchanged, or converted from the first page, as without the rules.
for f in "${files[@]}"; do
  run -v -o utf-8 "$f"
  expect_status "filter ${f##*/}" 0
  case ${f##*/} in
    doc.pdf | french.txt | greek.txt) expect_file "filter ${f##*/}: unchanged" "$T/out" "$f" ;;
    heading.txt)
      iconv -f mac-cyrillic -t utf-8 "$f" >"$T/want"
      expect_file "filter heading: from mac-cyrillic" "$T/out" "$T/want"
      ;;
    russian.txt) expect_file "filter russian" "$T/out" "$(sample utf-8)" ;;
  esac
  cp "$T/err" "$T/err.${f##*/}"
done
expect_text "filter -v, pdf" "$T/err.doc.pdf" "kiv: $D/doc.pdf: binary data, copied unchanged\n"
expect_text "filter -v, french" "$T/err.french.txt" \
  "kiv: $D/french.txt: 8-bit text, not Cyrillic, copied unchanged\n"
expect_text "filter -v, greek" "$T/err.greek.txt" \
  "kiv: $D/greek.txt: 8-bit text, not Cyrillic, copied unchanged\n"
expect_text "filter -v, heading" "$T/err.heading.txt" \
  "kiv: $D/heading.txt: unsure whether mac-cyrillic or cp866, taken for mac-cyrillic\n"
expect_text "filter -v, russian" "$T/err.russian.txt" ''
run -o utf-8 "$D/heading.txt" "$D/french.txt"
expect_text "filter without -v says nothing" "$T/err" ''

# In place: only the Russian file is converted; what is not Cyrillic or unsure needs
# attention, binary data does not.
want_out="$D/doc.pdf: binary\n$D/russian.txt: cp1251 -> utf-8\n"
want_err="kiv: $D/french.txt: left alone: 8-bit text, not Cyrillic
kiv: $D/greek.txt: left alone: 8-bit text, not Cyrillic
kiv: $D/heading.txt: left alone: unsure whether mac-cyrillic or cp866 (-i or --guess decides)\n"
run -v --dry-run --in-place -o utf-8 "${files[@]}"
expect_status "dry run" 1
expect_text "dry run: out" "$T/out" "$want_out"
expect_text "dry run: err" "$T/err" "$want_err"
run -v --in-place -o utf-8 "${files[@]}"
expect_status "in place" 1
expect_text "in place: out" "$T/out" "$want_out"
expect_text "in place: err" "$T/err" "$want_err"
for n in doc.pdf french.txt greek.txt heading.txt; do
  expect_file "in place: $n left alone" "$D/$n" "$T/orig/$n"
done
expect_file "in place: russian converted" "$D/russian.txt" "$(sample utf-8)"

# --guess takes the unsure file for the first page, and says it was unsure.
run --dry-run --guess --in-place -o utf-8 "$D/heading.txt"
expect_status "guess, dry run" 0
expect_text "guess, dry run: out" "$T/out" "$D/heading.txt: mac-cyrillic -> utf-8 (unsure: or cp866)\n"
run --guess --in-place -o utf-8 "${files[@]}"
expect_status "guess" 1
expect_text "guess: out" "$T/out" "$D/heading.txt: mac-cyrillic -> utf-8 (unsure: or cp866)\n"
iconv -f mac-cyrillic -t utf-8 "$T/orig/heading.txt" >"$T/want"
expect_file "guess: converted" "$D/heading.txt" "$T/want"

# -i decides: the rules stay silent, but for binary data.
make_folder
run --in-place -i cp866 -o utf-8 "$D/heading.txt" "$D/doc.pdf"
expect_status "-i" 0
expect_text "-i: out" "$T/out" "$D/heading.txt: cp866 -> utf-8\n"
expect_file "-i: the pdf" "$D/doc.pdf" "$T/orig/doc.pdf"
run --in-place -i cp1251 -o utf-8 "$D/french.txt"
expect_text "-i: french" "$T/out" "$D/french.txt: cp1251 -> utf-8\n"

run --guess -o utf-8 "$D/heading.txt"
expect_status "--guess alone" 2
expect_text "--guess alone: said" "$T/err" 'kiv: --guess needs --in-place\n'

finish
