#!/bin/sh
# Makes the sample text in the five other code pages from the UTF-8 original.
set -eu
cd "$(dirname "$0")"
for page in cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic; do
  iconv -f utf-8 -t "$page//TRANSLIT" text.utf-8.txt > "text.$page.txt"
done
