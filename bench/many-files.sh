#!/bin/bash
# Reporting the pages of many files: one kiv per file, one per batch, batches on every
# core, and GNU parallel when it is installed. Prints the median wall time of each.
#
#   bench/many-files.sh [kiv binary] [number of files]     (defaults: build/kiv, 3000)
#
# Then converting them in place, into utf-8 (a sixth are utf-8 already) and a second time
# (all are): named, walked with -r, in two jobs, with --repair; BEFORE=another/kiv runs
# the same beside it, for the figures before a change. WAYS= leaves out the reports,
# WAYS=batch keeps one way.
#
# The files are made here: 1-6 KB of Russian sentences of our own (in characters all six
# pages have), a sixth of them in each page; and 300 files that hold 1 MB of ASCII before
# such a text, for which detection has to read the whole file.
set -euo pipefail
KIV=$(realpath "${1:-build/kiv}")
COUNT=${2:-3000}
RUNS=${RUNS:-5}

W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
export LC_ALL=C

cat >"$W/text" <<'EOF'
Над рекой стоял густой туман, и рыбаки ещё не решались отчалить от берега.
Старик раскурил трубку и долго смотрел, как светлеет небо над ельником.
- Клевать будет к обеду, не раньше, - сказал он внуку и подбросил в костёр сучьев.
Мальчик кивнул, хотя ему очень хотелось поскорее забросить удочку.
В деревне за холмом залаяли собаки, где-то хлопнула калитка.
Щука, пойманная вчера, лежала в ведре под мокрой крапивой.
Бабушка обещала испечь из неё пирог, если к вечеру наловят ещё окуней.
Солнце поднялось выше, туман разошёлся, и вода стала прозрачной до самого дна.
Жёлтые кувшинки покачивались у камышей, над ними кружили стрекозы.
"Вот теперь пора", - подумал старик и неторопливо столкнул лодку в воду.
Эхо разнесло по реке скрип уключин и чей-то далёкий смех.
Юркая плотва так и сновала у борта, будто дразнила рыбаков.
EOF
pages=(cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8)
mkdir "$W/utf8" "$W/files"
# File i: 15 to 85 sentences, about 1 to 6 KB in a single-byte page.
awk -v count="$COUNT" -v dir="$W/utf8" '{ s[NR - 1] = $0 } END {
  for (i = 0; i < count; i++) {
    f = dir "/" i ".txt"
    for (j = 0; j < 15 + (i * 7919) % 71; j++) print s[(i + j * 5) % NR] >f
    close(f)
  }
}' "$W/text"
for ((i = 0; i < COUNT; i++)); do
  iconv -f utf-8 -t "${pages[i % 6]}" "$W/utf8/$i.txt" >"$W/files/$i.txt"
done
head -c 1000000 /dev/zero | tr '\0' a | fold -w 100 >"$W/ascii"
mkdir "$W/late"
for ((i = 0; i < 300; i++)); do cat "$W/ascii" "$W/files/$i.txt" >"$W/late/$i.txt"; done
echo "$(nproc) cores; files: $COUNT small ones, $(du -sk "$W/files" | cut -f1) KB; 300 late ones"

median_ms() {  # median_ms COMMAND...: the command's median wall time over RUNS runs
  local t
  for _ in $(seq "$RUNS"); do
    t=${EPOCHREALTIME/[.,]/}
    "$@" >/dev/null
    echo $((${EPOCHREALTIME/[.,]/} - t))
  done | sort -n | awk '{ a[NR] = $1 } END { printf "%.1f", a[int((NR + 1) / 2)] / 1000 }'
}
one_each() { find "$1" -type f -exec "$KIV" -T {} \;; }
batch() { find "$1" -type f -exec "$KIV" -T {} +; }
cores() { find "$1" -type f -print0 | xargs -0 -P"$(nproc)" -n 200 "$KIV" -T; }
gnu_parallel() { find "$1" -type f -print0 | parallel -0 -X --will-cite "$KIV" -T; }

ways="one_each batch cores"
command -v parallel >/dev/null && ways+=" gnu_parallel"
ways=${WAYS-$ways}  # WAYS= leaves the reports out
if [ -n "$ways" ]; then
  printf '| way | small files, ms | late files, ms |\n|---|---|---|\n'
  for way in $ways; do
    printf '| %s | %s | %s |\n' $way "$(median_ms $way "$W/files")" "$(median_ms $way "$W/late")"
  done
fi

# In place: a fresh copy of the files for each run (not timed), then one kiv for them all
# (named one by one, or the folder with -r); then a second run on what it converted. The
# ways are timed in turn, run after run, on the file system of the temporary folder.
convert_copy() {  # convert_copy KIV ARGS...: microseconds of a first and a second run
  local bin=$1 t first
  shift
  rm -rf "$W/ip" && cp -r "$W/files" "$W/ip" && sync
  t=${EPOCHREALTIME/[.,]/}
  in_place "$bin" "$@" >/dev/null 2>&1 || true
  first=$((${EPOCHREALTIME/[.,]/} - t))
  t=${EPOCHREALTIME/[.,]/}
  in_place "$bin" "$@" >/dev/null 2>&1 || true
  echo "$first $((${EPOCHREALTIME/[.,]/} - t))"
}
in_place() {  # in_place KIV ARGS...: -r takes the folder, else the files are named
  local bin=$1
  shift
  if [ "${1:-}" = -r ]; then
    "$bin" --in-place "$@" -o utf-8 "$W/ip"
  else
    find "$W/ip" -type f -exec "$bin" --in-place "$@" -o utf-8 {} +
  fi
}
bins=("$KIV")
[ -n "${BEFORE:-}" ] && bins+=("$(realpath "$BEFORE")")
rows=()
for bin in "${bins[@]}"; do
  rows+=("$bin")
  "$bin" --help | grep -q -- --recursive && rows+=("$bin -r")
  "$bin" --help | grep -q -- --jobs && rows+=("$bin -j 2")
  "$bin" --help | grep -q -- --repair && rows+=("$bin --repair")
done
for _ in $(seq "$RUNS"); do
  for i in "${!rows[@]}"; do convert_copy ${rows[i]} >>"$W/ip.$i"; done
done
med() { sort -n | awk '{ a[NR] = $1 } END { printf "%.1f", a[int((NR + 1) / 2)] / 1000 }'; }
echo
echo "in place on $(stat -f -c %T "$W"), $(nproc) cores"
printf '| kiv --in-place -o utf-8, %s files | first run, ms | second run, ms |\n|---|---|---|\n' "$COUNT"
for i in "${!rows[@]}"; do
  printf '| %s | %s | %s |\n' "${rows[i]}" "$(cut -d' ' -f1 "$W/ip.$i" | med)" \
    "$(cut -d' ' -f2 "$W/ip.$i" | med)"
done
