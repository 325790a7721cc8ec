#!/bin/bash
# Whole-process comparison of kiv with the tools one would otherwise reach for, and with
# limit programs that do the least the same work takes (bench/limit/*.c, built here, the
# AVX-512 ones only where the CPU has the instructions), side by side in one run: kiv and
# its peer alternate, RUNS times each, and the table shows the median wall time of each,
# their ratio, the ratio the project aims at, and the peak resident memory of each.
# A second table measures each conversion path against `cat < f > /dev/null`, the floor
# of any filter that reads: cat, kiv and the path's limit program in turn, PAIRS times,
# each timed by bench/elapsed.c; it shows the medians of kiv / cat and limit / cat, pair by
# pair, and the aim, which is judged on a CPU with AVX-512 VBMI and VBMI2 only.
#
#   bench/compare.sh [kiv binary] [size in MB]     (defaults: build/kiv, 50)
#
# With BEFORE=another kiv binary (an earlier build), rows for reporting many files and for
# the filter compare the two side by side as well.
#
# The inputs are generated here: Russian prose made of sentences of our own, shuffled.
set -euo pipefail
KIV=$(realpath "${1:-build/kiv}")
MB=${2:-50}
RUNS=${RUNS:-7}
PAIRS=${PAIRS:-11}
FILES=${FILES:-300}
SRC=$(cd "$(dirname "$0")/.." && pwd)

need=()
command -v iconv >/dev/null || need+=(libc-bin)
command -v uchardet >/dev/null || need+=(uchardet)
command -v enca >/dev/null || need+=(enca)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
# The peers follow the locale in their transliteration; kiv never reads it.
export LC_ALL=C

prose() {  # prose BYTES SEED: whole lines of UTF-8 text, at least BYTES of them, on stdout
  awk -v want="$1" -v seed="$2" 'BEGIN {
    srand(seed)
    n = split("Поезд опаздывал уже на сорок минут, и начальник станции снова вышел на перрон.|" \
      "Ветер гнал по доскам жёлтые листья, а над лесом поднималась тяжёлая сизая туча.|" \
      "— Ещё полчаса, не меньше, — сказал он девушке с большим чемоданом.|" \
      "Она ехала к бабушке в соседнюю деревню, где не была с самого детства.|" \
      "Ей помнились яблоневый сад, старая баня у реки и собака по имени Жучка.|" \
      "Деревня с тех пор почти не изменилась: те же избы, тот же колодец, та же дорога.|" \
      "Только молодёжь разъехалась по городам, а школу закрыли три года назад.|" \
      "«Как там теперь?» — думала она, глядя на тёмную полосу леса за полем.|" \
      "Начальник предложил ей чаю из медного чайника и рассказал о своих внуках.|" \
      "Вдали наконец показались огни поезда, и рельсы негромко загудели.|" \
      "Шёл мелкий дождь; фонари отражались в лужах, и пахло мокрой хвоей.|" \
      "Щенок выбежал из будки, звонко залаял и тут же спрятался обратно.|" \
      "Экономя время, она решила не ждать автобуса и пойти пешком через рощу.|" \
      "Юный проводник помог ей поднять чемодан в вагон и пожелал счастливого пути.|" \
      "Съешь же ещё этих мягких французских булок да выпей чаю.|" \
      "В 1987 году здесь построили новую платформу, но старый вокзал остался.", s, "|")
    line = ""; total = 0
    while (total < want) {
      line = line s[int(rand() * n) + 1] " "
      # length() counts bytes here (LC_ALL=C)
      if (length(line) > 110) { print line; total += length(line) + 1; line = "" }
    }
  }'
}

now() { echo "${EPOCHREALTIME/[.,]/}"; }  # microseconds
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
peak_kb() { /usr/bin/time -f %M -o "$W/rss" "$@" >/dev/null 2>&1 || true; cat "$W/rss" | tail -1; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

# row NAME PEER TARGET -- KIV COMMAND -- PEER COMMAND   (TARGET: the most kiv/peer may be, or -)
row() {
  local name=$1 label=$2 target=$3 kiv=() peer=() t
  shift 4
  while [ "$1" != -- ]; do kiv+=("$1"); shift; done
  shift
  peer=("$@")
  : >"$W/tk"
  : >"$W/tp"
  for _ in $(seq "$RUNS"); do
    t=$(now); "${kiv[@]}" >/dev/null 2>&1 || true; echo $(($(now) - t)) >>"$W/tk"
    t=$(now); "${peer[@]}" >/dev/null 2>&1 || true; echo $(($(now) - t)) >>"$W/tp"
  done
  local k p ratio verdict=''
  k=$(median <"$W/tk")
  p=$(median <"$W/tp")
  ratio=$(awk -v a="$k" -v b="$p" 'BEGIN { printf "%.3f", a / b }')
  if [ "$target" != - ]; then
    verdict=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r <= t ? "<= " t ", met" : "<= " t ", MISSED") }')
  fi
  printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "${name//|/\\|}" "$(ms "$k")" "$(ms "$p")" \
    "$ratio" "$verdict" "$(peak_kb "${kiv[@]}")" "$(peak_kb "${peer[@]}")" "$label"
}

# The limit programs: plain C, built with the compiler at hand.
CC=${CC:-cc}
cpu_has() { grep -qw "$1" /proc/cpuinfo; }
"$CC" -O2 -o "$W/table" "$SRC/bench/limit/table.c"
"$CC" -O2 -o "$W/elapsed" "$SRC/bench/elapsed.c"
avx512=false
if cpu_has avx512vbmi && cpu_has avx512_vbmi2 && cpu_has avx512bw && cpu_has bmi2; then
  avx512=true
  flags="-mavx512f -mavx512bw -mavx512vbmi -mavx512vbmi2 -mbmi2"
  for limit in table_avx512 utf8_avx512 wide_avx512 utf16_avx512; do
    "$CC" -O2 $flags -o "$W/$limit" "$SRC/bench/limit/$limit.c"
  done
else
  echo "This CPU lacks AVX-512 VBMI/VBMI2: the rows against the vector limit programs are left out." >&2
fi

echo "Generating ${MB} MB of text in each page and $FILES small files..." >&2
prose $((MB * 1000 * 1000)) 1 >"$W/text.utf-8"
prose $((MB * 1900 * 1000)) 1 >"$W/long.utf-8"
for p in cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-16le utf-16be; do
  # head closes the pipe early on purpose
  iconv -f utf-8 -t "$p//TRANSLIT" "$W/long.utf-8" | head -c $((MB * 1000 * 1000)) >"$W/text.$p" ||
    true
done
rm "$W/long.utf-8"
# Each written anew in large writes, so that each reads as fast as the file system lets it
# whatever wrote it first: made through a pipe, a file took cat up to half as long again.
for f in "$W"/text.*; do
  dd if="$f" of="$f.new" bs=4M status=none && mv "$f.new" "$f"
done
head -c 1000000 "$W/text.cp1251" >"$W/small.cp1251"
# Mixed text for --repair: a line of UTF-8, one of cp1251 and one of UTF-8 read as cp1251
# and saved as UTF-8 again (an undefined byte read as its C1 control), in turn.
LC_ALL=C sed 's/\x98/\x01/g' "$W/text.utf-8" | iconv -f cp1251 -t utf-8 |
  LC_ALL=C sed 's/\x01/\xc2\x98/g' >"$W/double"
paste -d '\n' "$W/text.utf-8" "$W/text.cp1251" "$W/double" | head -c $((MB * 1000 * 1000)) \
  >"$W/mixed" || true
rm "$W/double"
mkdir "$W/many"
pages=(cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8)
for i in $(seq "$FILES"); do
  size=$((2000 + (i * 7919) % 98000))
  prose "$size" "$((i + 1))" | iconv -f utf-8 -t "${pages[i % 6]}//TRANSLIT" |
    head -c "$size" >"$W/many/f$i.txt" || true
done

echo "Checking that kiv's output is byte-identical to iconv's..." >&2
for pair in cp1251:koi8-r cp1251:utf-8 koi8-r:cp866 utf-8:koi8-r utf-8:cp1251 utf-8:utf-8 \
  utf-16le:utf-8 utf-16le:koi8-r utf-16be:cp1251; do
  from=${pair%%:*} to=${pair#*:}
  "$KIV" -o "$to" "$W/text.$from" >"$W/kiv.out"
  iconv -f "$from" -t "$to//TRANSLIT" "$W/text.$from" >"$W/iconv.out"
  cmp "$W/kiv.out" "$W/iconv.out" || { echo "outputs differ for $from -> $to" >&2; exit 1; }
done
rm -f "$W/kiv.out" "$W/iconv.out"

echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), median of $RUNS runs each"
echo
echo '| what | kiv ms | peer ms | ratio | target | kiv peak KB | peer peak KB | peer |'
echo '|---|---|---|---|---|---|---|---|'
for pair in cp1251:koi8-r cp1251:utf-8 koi8-r:cp866 utf-8:koi8-r utf-8:cp1251; do
  from=${pair%%:*} to=${pair#*:}
  target=0.10 && [ "$from" = utf-8 ] && target=0.25
  row "convert $from -> $to, $MB MB" iconv "$target" -- "$KIV" -o "$to" "$W/text.$from" \
    -- iconv -f "$from" -t "$to//TRANSLIT" "$W/text.$from"
done
if $avx512; then
  for pair in cp1251:koi8-r koi8-r:cp866; do
    from=${pair%%:*} to=${pair#*:}
    row "convert $from -> $to, $MB MB" "limit: AVX-512 table" 1.25 -- "$KIV" -o "$to" "$W/text.$from" \
      -- "$W/table_avx512" "$from" "$to//TRANSLIT" "$W/text.$from"
  done
  row "convert utf-8 -> koi8-r, $MB MB" "limit: AVX-512 utf-8" 1.5 -- "$KIV" -o koi8-r "$W/text.utf-8" \
    -- "$W/utf8_avx512" "koi8-r//TRANSLIT" "$W/text.utf-8"
fi
row "cat f | kiv -o koi8-r | cat, cp1251" "limit: 128 KiB table, same pipes" 1.2 \
  -- bash -c "cat '$W/text.cp1251' | '$KIV' -o koi8-r | cat" \
  -- bash -c "cat '$W/text.cp1251' | '$W/table' cp1251 koi8-r//TRANSLIT | cat"
row "convert utf-8 -> utf-8, $MB MB" cat 2 -- "$KIV" -o utf-8 "$W/text.utf-8" -- cat "$W/text.utf-8"
# The repair rules read every line that is not ASCII; kiv without them is the peer.
without="kiv without --repair"
row "--repair, clean utf-8 -> koi8-r, $MB MB" "$without" 1.3 -- "$KIV" --repair -o koi8-r \
  "$W/text.utf-8" -- "$KIV" -o koi8-r "$W/text.utf-8"
row "--repair, clean cp1251 -> utf-8, $MB MB" "$without" 1.3 -- "$KIV" --repair -o utf-8 \
  "$W/text.cp1251" -- "$KIV" -o utf-8 "$W/text.cp1251"
row "--repair, mixed -> utf-8, $MB MB" "$without" - -- "$KIV" --repair -o utf-8 "$W/mixed" \
  -- "$KIV" -o utf-8 "$W/mixed"
row "-T, one $MB MB file" uchardet - -- "$KIV" -T "$W/text.cp1251" -- uchardet "$W/text.cp1251"
row "-T, one $MB MB file" enca - -- "$KIV" -T "$W/text.cp1251" -- enca -L russian -i "$W/text.cp1251"
row "-T, one 1 MB file" uchardet - -- "$KIV" -T "$W/small.cp1251" -- uchardet "$W/small.cp1251"
row "-T, $FILES files of 2-100 KB" uchardet - -- "$KIV" -T "$W"/many/* -- uchardet "$W"/many/*
row "-T, $FILES files of 2-100 KB" enca - -- "$KIV" -T "$W"/many/* -- enca -L russian -i "$W"/many/*
if [ -n "${BEFORE:-}" ]; then
  before=$(realpath "$BEFORE")
  # Markup that detection reads to its end before the text: the most it ever reads.
  awk -v want=$((MB * 1000 * 1000)) 'BEGIN {
    while (n < want) { print "<div class=\"para\"><a href=\"#n\">link</a></div>"; n += 45 } }' \
    >"$W/markup.cp1251"
  head -c 100000 "$W/text.cp1251" >>"$W/markup.cp1251"
  row "-T, $FILES files of 2-100 KB" "kiv before" - -- "$KIV" -T "$W"/many/* -- "$before" -T "$W"/many/*
  row "convert cp1251 -> koi8-r, $MB MB" "kiv before" - -- "$KIV" -o koi8-r "$W/text.cp1251" \
    -- "$before" -o koi8-r "$W/text.cp1251"
  row "convert utf-8 -> koi8-r, $MB MB" "kiv before" - -- "$KIV" -o koi8-r "$W/text.utf-8" \
    -- "$before" -o koi8-r "$W/text.utf-8"
  row "-T, $MB MB of markup, then cp1251" "kiv before" - -- "$KIV" -T "$W/markup.cp1251" \
    -- "$before" -T "$W/markup.cp1251"
  row "convert $MB MB of markup, then cp1251" "kiv before" - -- "$KIV" -o koi8-r "$W/markup.cp1251" \
    -- "$before" -o koi8-r "$W/markup.cp1251"
fi

# Each path against cat: kiv / cat and limit / cat, pair by pair.
# floor_row PATH AIM LIMIT-NAME -- KIV COMMAND -- LIMIT COMMAND (none: -)
floor_row() {
  local name=$1 aim=$2 label=$3 kiv=() limit=() c k l
  shift 4
  while [ "$1" != -- ]; do kiv+=("$1"); shift; done
  shift
  limit=("$@")
  local file=${kiv[-1]}
  : >"$W/fc" && : >"$W/fk" && : >"$W/fl" && : >"$W/rk" && : >"$W/rl"
  "$W/elapsed" -i "$file" cat >/dev/null  # warm the cache
  for _ in $(seq "$PAIRS"); do
    c=$("$W/elapsed" -i "$file" cat)
    k=$("$W/elapsed" "${kiv[@]}")
    echo "$c" >>"$W/fc" && echo "$k" >>"$W/fk"
    awk -v a="$k" -v b="$c" 'BEGIN { printf "%.4f\n", a / b }' >>"$W/rk"
    if [ "${limit[0]}" != - ]; then
      l=$("$W/elapsed" "${limit[@]}")
      echo "$l" >>"$W/fl"
      awk -v a="$l" -v b="$c" 'BEGIN { printf "%.4f\n", a / b }' >>"$W/rl"
    fi
  done
  local rk rl='-' lms='-' verdict
  rk=$(median <"$W/rk")
  if [ "${limit[0]}" != - ]; then
    rl=$(median <"$W/rl")
    lms=$(ms "$(median <"$W/fl")")
  fi
  # A limit program above the aim makes the aim 1.05 times its ratio.
  verdict=$(awk -v r="$rk" -v l="$rl" -v a="$aim" -v judged="$avx512" 'BEGIN {
    if (l != "-" && l + 0 > a + 0) a = sprintf("%.2f", 1.05 * l)
    printf "<= %s, %s", a, judged != "true" ? "not judged here" : r <= a + 0 ? "met" : "MISSED" }')
  printf '| %s | %s | %s | %.2f | %s | %s | %s | %s |\n' "$name" "$(ms "$(median <"$W/fc")")" \
    "$(ms "$(median <"$W/fk")")" "$rk" "$lms" "$([ "$rl" = - ] && echo - || printf %.2f "$rl")" \
    "$verdict" "$label"
}

echo
echo "Against cat < f > /dev/null: medians of $PAIRS pairs, load average $(cut -d' ' -f1-3 /proc/loadavg) before"
echo
echo '| path | cat ms | kiv ms | kiv / cat | limit ms | limit / cat | aim | limit program |'
echo '|---|---|---|---|---|---|---|---|'
lim() { if $avx512; then echo "$W/$1"; else echo -; fi; }
if $avx512; then table=$W/table_avx512 table_name="AVX-512 table"; else table=$W/table table_name=table; fi
floor_row "cp1251 -> koi8-r" 1.2 "$table_name" -- "$KIV" -o koi8-r "$W/text.cp1251" \
  -- "$table" cp1251 koi8-r//TRANSLIT "$W/text.cp1251"
floor_row "koi8-r -> cp866" 1.2 "$table_name" -- "$KIV" -o cp866 "$W/text.koi8-r" \
  -- "$table" koi8-r cp866//TRANSLIT "$W/text.koi8-r"
floor_row "cp1251 -> utf-8" 1.3 "AVX-512 single-byte to utf-8" -- "$KIV" -o utf-8 "$W/text.cp1251" \
  -- $(lim wide_avx512) cp1251 "$W/text.cp1251"
for to in koi8-r cp1251; do
  floor_row "utf-8 -> $to" 1.4 "AVX-512 utf-8" -- "$KIV" -o $to "$W/text.utf-8" \
    -- $(lim utf8_avx512) $to//TRANSLIT "$W/text.utf-8"
done
for from in utf-16le utf-16be; do
  for to in utf-8 koi8-r cp1251; do
    target=$to && [ $to != utf-8 ] && target=$to//TRANSLIT
    floor_row "$from -> $to" 1.6 "AVX-512 UTF-16" -- "$KIV" -o $to "$W/text.$from" \
      -- $(lim utf16_avx512) $from $target "$W/text.$from"
  done
done
$avx512 || echo "This CPU lacks AVX-512 VBMI/VBMI2: the rows are reported, not judged." >&2

# Memory must not grow with the input: 1 MB and 1 GB of the same text, streamed in.
echo
echo '| kiv input, streamed through a pipe | peak KB |'
echo '|---|---|'
for size in 1000000 1000000000; do
  while cat "$W/text.cp1251"; do :; done | head -c "$size" |
    /usr/bin/time -f %M -o "$W/rss" "$KIV" -o utf-8 >/dev/null || true
  printf '| %s bytes of cp1251 to utf-8 | %s |\n' "$size" "$(tail -1 "$W/rss")"
done
