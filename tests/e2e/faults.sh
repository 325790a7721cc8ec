#!/bin/bash
# Failing inputs and outputs: each is reported on standard error, naming what failed,
# nothing that could be written is lost, and the exit status says so.
. "$(dirname "$0")/lib.sh" "$@"
good=$(sample cp1251)
"$KIV" "$good" >"$T/one"

# A missing file between two good ones.
run "$good" "$T/missing" "$good"
expect_status "missing file" 1
cat "$T/one" "$T/one" >"$T/two"
expect_file "missing file keeps the others" "$T/out" "$T/two"
expect_text "missing file message" "$T/err" "$T/missing: No such file or directory\n"

# A directory operand: opened, but its read fails.
run "$T" "$good"
expect_status "directory" 1
expect_file "directory keeps the others" "$T/out" "$T/one"
expect_text "directory message" "$T/err" "$T: Is a directory\n"
run -T "$T" "$good"
expect_text "directory not reported" "$T/out" "$good: cp1251\n"

# A closed standard input.
"$KIV" <&- >"$T/out" 2>"$T/err"
status=$?
expect_status "closed stdin" 1
expect_text "closed stdin message" "$T/err" '<stdin>: Bad file descriptor\n'
"$KIV" -T <&- >"$T/out" 2>"$T/err"
expect_text "closed stdin no report" "$T/out" ''

# Standard output that cannot be written: the reason of the write that failed, also after
# more markup than one buffer holds.
{
  for i in $(seq 150); do echo '<div class="para"><a href="#top">back to the top</a></div>'; done
  cat "$good"
} >"$T/page.html"
for opts in "" "-T" "-h" "-i utf-8 -o utf-8" "-o utf-8 $T/page.html"; do
  "$KIV" $opts "$good" >/dev/full 2>"$T/err"
  status=$?
  expect_status "/dev/full $opts" 1
  expect_text "/dev/full $opts message" "$T/err" 'kiv: standard output: No space left on device\n'
  "$KIV" $opts "$good" >&- 2>"$T/err"
  status=$?
  expect_status "closed stdout $opts" 1
  expect_text "closed stdout $opts message" "$T/err" 'kiv: standard output: Bad file descriptor\n'
done
"$KIV" /dev/null >&- 2>"$T/err"
status=$?
expect_status "closed stdout, nothing to write" 0
expect_text "closed stdout, nothing to write, quiet" "$T/err" ''
(trap '' PIPE && timeout 20 "$KIV" -i koi8-r /dev/zero | true) 2>"$T/err"
expect_text "closed pipe, SIGPIPE ignored" "$T/err" 'kiv: standard output: Broken pipe\n'
(ulimit -f 4 && exec "$KIV" -o utf-8 "$T/page.html" "$T/page.html" >"$T/limited") 2>"$T/err"
status=$?
expect_status "file size limit" 1
expect_text "file size limit message" "$T/err" 'kiv: standard output: File too large\n'
checks=$((checks + 1))
[ "$(wc -c <"$T/limited")" = 4096 ] || fail "file size limit: $(wc -c <"$T/limited") bytes written, want 4096"

# With 2>&1 a message comes exactly between the texts of the inputs around it.
"$KIV" -o utf-8 "$T/page.html" >"$T/page.utf8"
"$KIV" -o utf-8 "$T/page.html" "$T/missing" "$T/page.html" >"$T/out" 2>&1
{ cat "$T/page.utf8"; echo "$T/missing: No such file or directory"; cat "$T/page.utf8"; } >"$T/want"
expect_file "message between texts" "$T/out" "$T/want"

# A closed pipe ends kiv through SIGPIPE, promptly and without a message: also when the
# input would never end.
for i in $(seq 2000); do cat "$good"; done >"$T/big"
( "$KIV" "$T/big" "$T/big"; echo $? >"$T/rc" ) 2>"$T/err" | head -c 10 >/dev/null
expect_text "closed pipe quiet" "$T/err" ''
checks=$((checks + 1))
[ "$(cat "$T/rc")" = 141 ] || fail "closed pipe: status $(cat "$T/rc"), want 141 (SIGPIPE)"
rm -f "$T/endless" && mkfifo "$T/endless"
(timeout 20 bash -c 'while cat "$0"; do :; done' "$good" >"$T/endless" 2>/dev/null &)
for endless in /dev/zero "$T/endless"; do
  SECONDS=0
  ( timeout 20 "$KIV" -o utf-8 "$endless"; echo $? >"$T/rc" ) 2>"$T/err" | head -c 10 >"$T/out"
  checks=$((checks + 1))
  [ "$(cat "$T/rc")" = 141 ] && [ $SECONDS -lt 10 ] ||
    fail "closed pipe, endless $endless: status $(cat "$T/rc") after ${SECONDS}s, want 141 at once"
  expect_text "closed pipe, endless $endless, quiet" "$T/err" ''
  checks=$((checks + 1))
  [ "$(wc -c <"$T/out")" = 10 ] || fail "closed pipe, endless $endless: $(wc -c <"$T/out") bytes"
done

# A FIFO that a writer feeds a few bytes at a time, with pauses: the same text as from
# the file, and the same report.
trickle() { timeout 20 perl -e 'binmode STDIN; $| = 1; while (read(STDIN, $b, 5)) { print $b; select(undef, undef, undef, 0.002) }'; }
for p in utf-8 koi8-r; do
  "$KIV" -o cp866 "$(sample $p)" >"$T/want"
  rm -f "$T/fifo" && mkfifo "$T/fifo"
  trickle <"$(sample $p)" >"$T/fifo" &
  run -o cp866 "$T/fifo"
  wait
  expect_status "trickled FIFO $p" 0
  expect_file "trickled FIFO $p" "$T/out" "$T/want"
  expect_text "trickled FIFO $p quiet" "$T/err" ''
done
rm -f "$T/fifo" && mkfifo "$T/fifo"
trickle <"$(sample cp1251)" >"$T/fifo" &
run -T "$T/fifo" "$good"
wait
expect_text "trickled FIFO report" "$T/out" "$T/fifo: cp1251\n$good: cp1251\n"

# An executable is binary: copied unchanged, whatever the output page, and said so with
# -v. Each page converted to itself keeps every byte, invalid ones included; cp866 has a
# character for every byte, so its conversion is plain iconv's and goes back without loss.
elf=$T/elf
cp "$KIV" "$elf"
run -T "$elf"
expect_status "executable report" 0
expect_text "executable report" "$T/out" "$elf: binary\n"
for p in $PAGES; do
  run -v -o $p "$elf"
  expect_status "executable into $p" 0
  expect_file "executable into $p, unchanged" "$T/out" "$elf"
  expect_text "executable into $p, said so" "$T/err" "kiv: $elf: binary data, copied unchanged\n"
done
for p in $PAGES; do
  run -i "$p" -o "$p" "$elf"
  expect_file "executable $p to itself" "$T/out" "$elf"
done
run -i cp866 -o utf-8 "$elf"
LC_ALL=C iconv -f cp866 -t utf-8 "$elf" >"$T/want"
expect_file "executable cp866 to utf-8" "$T/out" "$T/want"
"$KIV" -i utf-8 -o cp866 "$T/out" >"$T/back"
expect_file "executable cp866 there and back" "$T/back" "$elf"
expect_text "executable quiet" "$T/err" ''

# Only NUL bytes: binary, every byte kept.
head -c 70000 /dev/zero >"$T/nul"
run -T "$T/nul"
expect_text "NUL bytes report" "$T/out" "$T/nul: binary\n"
for opts in "-o utf-8" "-l" "-i utf-8 -o cp866" "-i cp1251 -o utf-8"; do
  run $opts "$T/nul"
  expect_status "NUL bytes $opts" 0
  expect_file "NUL bytes $opts" "$T/out" "$T/nul"
done

# A NUL in what detection reads makes the input binary, copied unchanged: ahead of the
# text, or in a block with letters after blocks written unchanged. Once detection has
# decided, a NUL is a character like any other.
{ printf '\0' && cat "$good"; } >"$T/nul.first"
{ head -c 1024 /dev/zero | tr '\0' - && head -c 300 "$good" && printf '\0' && cat "$good"; } >"$T/nul.later"
{ cat "$good" && head -c 600 /dev/zero; } >"$T/nul.after"
for f in first later after; do
  want=binary && [ $f = after ] && want=cp1251
  run -T "$T/nul.$f"
  expect_text "NUL $f: report" "$T/out" "$T/nul.$f: $want\n"
  run -o utf-8 "$T/nul.$f"
  expect_status "NUL $f" 0
  [ $f = after ] && LC_ALL=C iconv -f cp1251 -t utf-8 "$T/nul.$f" >"$T/want" || cp "$T/nul.$f" "$T/want"
  expect_file "NUL $f: converted" "$T/out" "$T/want"
done

# "-" is a file name like any other: standard input is not read in its place.
mkdir "$T/hyphen"
(cd "$T/hyphen" && printf 'stdin\n' | "$KIV" - >"$T/out" 2>"$T/err")
status=$?
expect_status "missing file -" 1
expect_text "missing file - reads no stdin" "$T/out" ''
expect_text "missing file - message" "$T/err" '-: No such file or directory\n'
cp "$(sample mac-cyrillic)" "$T/hyphen/-"
cp "$good" "$T/hyphen/good"
(cd "$T/hyphen" && printf 'stdin\n' | "$KIV" -o utf-8 - good - >"$T/out" 2>"$T/err")
status=$?
expect_status "file -" 0
cat "$(sample utf-8)" "$(sample utf-8)" "$(sample utf-8)" >"$T/want"
expect_file "file - converted" "$T/out" "$T/want"

# Long names, and names and identifiers full of % signs, reach the messages whole.
long=$(printf '%*s' 10000 '' | tr ' ' x)
for id in "$long" '%s%n%s%n%%%' "%${long}"; do
  run -v -i "$id" "$good"
  expect_status "bad -i ${id:0:12}" 255
  expect_text "bad -i ${id:0:12} nothing out" "$T/out" ''
  expect_text "bad -i ${id:0:12} message" "$T/err" \
    "kiv: Wrong code page identifier: ${id//%/%%}\n${list}kiv: Could not continue without input code page. Specify -i or -t option.\n"
done
for name in "$T/$long" "$T/%n%s%n" "$T/%${long:0:200}%"; do
  run -o utf-8 "$good" "$name" "$good"
  expect_status "bad operand ${name:${#T}:12}" 1
  cat "$(sample utf-8)" "$(sample utf-8)" >"$T/want"
  expect_file "bad operand ${name:${#T}:12} keeps the others" "$T/out" "$T/want"
  why='No such file or directory'
  [ "$name" = "$T/$long" ] && why='File name too long'
  expect_text "bad operand ${name:${#T}:12} message" "$T/err" "${name//%/%%}: $why\n"
done

# A file deleted while kiv reads it: its data stays readable through the open descriptor.
perl -0777 -pe '$_ x= 9000' "$good" >"$T/doomed"
"$KIV" -o utf-8 "$T/doomed" >"$T/want"
rm -f "$T/pipe" && mkfifo "$T/pipe"
"$KIV" -o utf-8 "$T/doomed" >"$T/pipe" 2>"$T/err" &
pid=$!
{
  dd bs=100 count=1 status=none >"$T/part1"
  checks=$((checks + 1))
  ls -l /proc/$pid/fd 2>/dev/null | grep -qF "$T/doomed" || fail "deleted file: not open when deleted"
  rm "$T/doomed"
  cat >"$T/part2"
} <"$T/pipe"
wait $pid
status=$?
expect_status "deleted file" 0
cat "$T/part1" "$T/part2" >"$T/out"
expect_file "deleted file complete" "$T/out" "$T/want"
expect_text "deleted file quiet" "$T/err" ''

# Input file is output file: appending a file's conversion to itself would never end
# once it is larger than what one read takes in. (A file size limit stops a kiv that tries.)
perl -0777 -pe '$_ x= 200' "$good" >"$T/self"
cp "$T/self" "$T/self.orig"
printf 'plain ASCII only\n' >"$T/ascii"
for how in operand stdin; do
  (
    ulimit -f 2048
    if [ $how = operand ]; then exec "$KIV" "$T/ascii" "$T/self" "$T/ascii"; fi
    exec "$KIV" <"$T/self"
  ) >>"$T/self" 2>"$T/err"
  status=$?
  expect_status "input file is output file, $how" 1
  name=$T/self && [ $how = stdin ] && name='<stdin>'
  expect_text "input file is output file, $how, message" "$T/err" "$name: input file is output file\n"
done
(exec "$KIV" "$T/self" 1<>"$T/self" 2>"$T/err")
status=$?
expect_status "input file is output file, read-write" 1
cat "$T/self.orig" "$T/ascii" "$T/ascii" >"$T/want"
expect_file "input file is output file, file kept" "$T/self" "$T/want"
"$KIV" "$T/self" >"$T/self" 2>"$T/err"
status=$?
expect_status "input file is output file, emptied first" 0
# Its own output met again among the operands, under any name: skipped, nothing doubled.
"$KIV" "$good" >"$T/conv1"
: >"$T/all"
ln "$T/all" "$T/link"
for form in plain /dev/stdout link read-write; do
  : >"$T/all"
  case $form in
    plain) name=$T/all && "$KIV" "$good" "$name" >"$T/all" 2>"$T/err" ;;
    /dev/stdout) name=/dev/stdout && "$KIV" "$good" "$name" >"$T/all" 2>"$T/err" ;;
    link) name=$T/link && "$KIV" "$good" "$name" >>"$T/all" 2>"$T/err" ;;
    read-write) name=$T/all && "$KIV" "$good" "$name" 1<>"$T/all" 2>"$T/err" ;;
  esac
  status=$?
  expect_status "own output, $form" 1
  expect_file "own output, $form: nothing doubled" "$T/all" "$T/conv1"
  expect_text "own output, $form: message" "$T/err" "$name: input file is output file\n"
done

# ... or the very pipe it writes into: read back, its output would go round forever.
(timeout 10 "$KIV" "$good" /dev/stdout 2>"$T/err"; echo $? >"$T/rc") | cat >"$T/all"
status=$(cat "$T/rc")
expect_status "own output, pipe" 1
expect_file "own output, pipe: nothing lost" "$T/all" "$T/conv1"
expect_text "own output, pipe: message" "$T/err" "/dev/stdout: input file is output file\n"

# Text arriving through a FIFO is passed on as it arrives: while the writer pauses, every
# byte it sent is already through kiv (the writer holds the FIFO open for 10 s; the
# reader gives up after 5).
feed() { cat "$1"; exec sleep 10; }
head -c 10000 "$(sample cp1251)" | tr '\n' ' ' >"$T/part.cp1251"
printf '%599s\n' 'log line' >"$T/part.ascii"
for how in "-i cp1251 -o utf-8 part.cp1251" "-o utf-8 part.cp1251" "-i cp1251 -o utf-8 part.ascii" \
  "-T good part.cp1251" "-o utf-8 part.ascii"; do
  set -- $how
  part=$T/${*: -1}
  args=("${@:1:$#-1}")
  if [ "$1" = -T ]; then
    printf '%s: cp1251\n' "$good" >"$T/want"
    args=(-T "$good")
  elif [ "$how" = "-o utf-8 part.ascii" ]; then
    # Detection waits for whole blocks, but the ones it has written unchanged are out.
    head -c 512 "$part" >"$T/want"
  else
    LC_ALL=C iconv -f cp1251 -t utf-8 "$part" >"$T/want"
  fi
  rm -f "$T/fifo" && mkfifo "$T/fifo"
  feed "$part" >"$T/fifo" &
  feeder=$!
  SECONDS=0
  timeout 5 head -c "$(wc -c <"$T/want")" < <("$KIV" "${args[@]}" "$T/fifo" 2>/dev/null) >"$T/out"
  elapsed=$SECONDS
  kill $feeder 2>/dev/null
  wait $feeder 2>/dev/null
  checks=$((checks + 1))
  [ $elapsed -lt 5 ] || fail "FIFO, $how: text held back while the writer paused"
  expect_file "FIFO, $how" "$T/out" "$T/want"
done

# Opening a FIFO waits for its writer: what came before is out by then.
rm -f "$T/fifo" && mkfifo "$T/fifo"
SECONDS=0
timeout 5 head -c "$(wc -c <"$T/conv1")" < <(timeout 20 "$KIV" "$good" "$T/fifo" 2>/dev/null) >"$T/out"
elapsed=$SECONDS
: >"$T/fifo"  # the writer it waits for
checks=$((checks + 1))
[ $elapsed -lt 5 ] || fail "FIFO operand: earlier text held back while its open waited"
expect_file "FIFO operand: earlier text" "$T/out" "$T/conv1"

# A small stack is enough: the large buffers are not on it. (Sanitizers need more.)
if ! grep -q __asan_init "$KIV"; then
  (ulimit -s 64 && exec "$KIV" -o utf-8 "$T/page.html") >"$T/out" 2>"$T/err"
  status=$?
  expect_status "ulimit -s 64" 0
  expect_file "ulimit -s 64" "$T/out" "$T/page.utf8"
fi

# Parallel reports into one pipe: every line whole, whatever the others write.
mkdir "$T/many"
long=$(printf '%*s' 180 '' | tr ' ' n)
pages=($PAGES)
for i in {1..300}; do
  p=${pages[i % 6]}
  ln "$(sample $p)" "$T/many/$long.$i" 2>/dev/null || cp "$(sample $p)" "$T/many/$long.$i"
  echo "$T/many/$long.$i: $p"
done | sort >"$T/want"
find "$T/many" -type f -print0 | xargs -0 -P4 -n 50 "$KIV" -T | sort >"$T/out"
expect_file "parallel reports" "$T/out" "$T/want"

# A 1 GiB stream: converted whole, in memory that does not grow with it. A sanitizer
# build starts larger, so the bound is on the growth over a small input.
line=$(tr '\n' ' ' <"$(sample koi8-r)" | head -c 127)
uline=$(printf '%s' "$line" | LC_ALL=C iconv -f koi8-r -t utf-8)
want=$(((1 << 30) / 128 * $(printf '%s\n' "$uline" | wc -c)))
if [ -x /usr/bin/time ]; then
  measure() { /usr/bin/time -f %M -o "$T/rss" "$KIV" "$@"; }
else
  echo "no /usr/bin/time: resident memory not checked" >&2
  measure() { "$KIV" "$@"; }
fi
measure -o utf-8 "$good" >/dev/null
small=$(cat "$T/rss" 2>/dev/null)
yes "$line" | head -c 1G | measure -o utf-8 2>"$T/err" | cmp - <(yes "$uline" | head -c $want) >"$T/cmp" 2>&1
status=${PIPESTATUS[2]}
expect_status "1 GiB" 0
expect_text "1 GiB converted whole" "$T/cmp" ''
expect_text "1 GiB quiet" "$T/err" ''
if [ -x /usr/bin/time ]; then
  rss=$(cat "$T/rss")
  echo "1 GiB: peak resident ${rss} KiB (${small} KiB for a small input)"
  checks=$((checks + 1))
  limit=$((small + 1024))
  grep -q __asan_init "$KIV" || limit=4096
  [ "$rss" -le "$limit" ] || fail "1 GiB: peak resident ${rss} KiB, over ${limit} KiB"
  # Every page in, each pair's tables allocated once: still small.
  args=() && for p in $PAGES; do args+=("$(sample $p)" "$(sample $p)"); done
  measure -o cp866 "${args[@]}" >/dev/null
  rss=$(cat "$T/rss")
  checks=$((checks + 1))
  [ "$rss" -le "$limit" ] || fail "six pairs: peak resident ${rss} KiB, over ${limit} KiB"
fi

# Few descriptors: a pair that -i names is opened before the input, which would take the
# descriptor iconv needs to load its module; a page copied to itself needs none; after
# detection, none free is what the message says. (The sanitizers want descriptors too.)
few_fds() {
  local fd
  for fd in /proc/$BASHPID/fd/*; do
    fd=${fd##*/}
    [ "$fd" -gt 2 ] && eval "exec $fd>&-"
  done
  exec prlimit --nofile=4 "$@"
}
if ! grep -q __asan_init "$KIV"; then
  (few_fds iconv -f cp1251 -t utf-8 "$good" >"$T/out" 2>"$T/err")
  status=$?
  expect_status "4 descriptors: iconv(1) converts" 0
  iconv -f cp1251 -t utf-8 "$good" >"$T/converted"
  # options | status | the output | standard error
  while IFS='|' read -r opts want output err; do
    (few_fds "$KIV" $opts "$good" >"$T/out" 2>"$T/err")
    status=$?
    expect_status "4 descriptors, $opts" "$want"
    expect_file "4 descriptors, $opts: output" "$T/out" "$output"
    expect_text "4 descriptors, $opts: message" "$T/err" "$err"
  done <<TABLE
-i cp1251 -o utf-8|0|$T/converted|
-o cp1251|0|$good|
-i cp1251 -o cp1251|0|$good|
-o utf-8|1|$good|kiv: cannot convert from cp1251 to utf-8: Too many open files\n
TABLE
fi

# Under a data limit kiv starts wherever iconv(1) does, and converts in full, or says it
# is out of memory and exits 12 having converted nothing: never the text copied
# unconverted, never a silent death. The limits meet each place memory runs out: the
# buffers, a pair's tables, iconv_open.
if ! grep -q __asan_init "$KIV"; then
  koi=$(sample koi8-r)
  LC_ALL=C iconv -f koi8-r -t utf-8 "$koi" >"$T/want"
  seen=''
  for kib in $(seq 96 8 640); do
    prlimit --data=$((kib * 1024)) iconv -f koi8-r -t utf-8 "$koi" >/dev/null 2>&1
    [ $? -lt 126 ] || continue  # not even iconv(1) starts: the loader's own failure
    for opts in "-i koi8-r -o utf-8" "-o utf-8"; do
      prlimit --data=$((kib * 1024)) "$KIV" $opts "$koi" >"$T/out" 2>"$T/err"
      status=$?
      checks=$((checks + 1))
      case $status in
        0) cmp -s "$T/out" "$T/want" && seen+=' converted' || fail "$kib KiB, $opts: wrong output" ;;
        12)
          [ -s "$T/out" ] && fail "$kib KiB, $opts: out of memory, but wrote $(wc -c <"$T/out") bytes"
          grep -qx 'kiv: cannot convert from koi8-r to utf-8: Cannot allocate memory' "$T/err" &&
            seen+=' opening'
          grep -q 'Cannot allocate memory$' "$T/err" || fail "$kib KiB, $opts: [$(cat "$T/err")]"
          ;;
        *) fail "$kib KiB, $opts: status $status [$(head -c 300 "$T/err")]" ;;
      esac
    done
  done
  checks=$((checks + 1))
  [[ $seen == *converted* && $seen == *opening* ]] ||
    fail "data limits: no run converted, or none ran out of memory opening the conversion"
  prlimit --data=$((800 * 1024)) "$KIV" -T "$koi" >"$T/out" 2>"$T/err"
  status=$?
  expect_status "-T under 800 KiB of data" 0
  expect_text "-T under 800 KiB of data" "$T/out" "$koi: koi8-r\n"
fi

finish
