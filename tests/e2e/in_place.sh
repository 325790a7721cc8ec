#!/bin/bash
# Converting files in place: on a folder of every kind of file, each ends as it should,
# converted files hold iconv's text and convert back, the rest are left byte for byte;
# usage errors touch nothing; a full disk, a size limit, a signal or a file that changes
# while kiv converts it leave the original whole and no new file behind.
. "$(dirname "$0")/lib.sh" "$@"
D=$T/d

# Name, checksum, size, permissions, links and modification and change times of every
# file under $1: what "left alone" must not change. (A folder's times change when kiv
# drops a new file it began.)
snapshot() { find "$1" ! -type d -exec stat -c '%n %s %a %h %y %z' {} + | sort && find "$1" -type f -exec md5sum {} + | sort; }
strays() { find "$1" -name '.*.kiv-*'; }

make_folder() {
  rm -rf "$D" && mkdir -p "$D"
  for p in $PAGES; do cp "$(sample $p)" "$D/$p.txt"; done
  { printf '\xff\xfe' && iconv -f utf-8 -t utf-16le "$(sample utf-8)"; } >"$D/notepad.txt"
  cp "$KIV" "$D/program" && chmod 755 "$D/program"
  printf 'plain ASCII only\n' >"$D/ascii.txt"
  : >"$D/empty.txt"
  { head -c 300 "$(sample cp1251)" && printf '\x98' && cat "$(sample cp1251)"; } >"$D/bad98.txt"
  cp "$(sample koi8-r)" "$D/linked.txt" && ln "$D/linked.txt" "$D/linked2.txt"
  cp "$(sample cp866)" "$D/target.txt" && ln -s target.txt "$D/link.txt"
  cp "$(sample iso-8859-5)" "$D/twice.txt"
  { cat "$(sample cp1251)" && head -c 100 /dev/zero; } >"$D/nul-late.txt"
  { cat "$D/notepad.txt" && printf x; } >"$D/cut.txt"
  mkfifo "$D/fifo"
  chmod 640 "$D/cp1251.txt"
  setfattr -n user.origin -v archive "$D/cp1251.txt" 2>/dev/null
  setfacl -m u:nobody:r "$D/cp1251.txt" 2>/dev/null
}
names="cp866.txt cp1251.txt koi8-r.txt iso-8859-5.txt mac-cyrillic.txt utf-8.txt notepad.txt
  program ascii.txt empty.txt bad98.txt linked.txt link.txt target.txt twice.txt twice.txt fifo
  nul-late.txt cut.txt"

make_folder
cp -a "$D" "$T/orig"
ops=() && for n in $names; do ops+=("$D/$n"); done
run -v --in-place -o utf-8 "${ops[@]}"
expect_status "folder" 1
# name | what kiv says (standard output, then standard error) | what the file holds then
while IFS='|' read -r n said holds; do
  f=$D/$n o=$T/orig/$n
  case $said in
    '>'*) expect_grep "$n: said" "$T/out" "$f: ${said#>}" ;;
    *) expect_grep "$n: said" "$T/err" "kiv: $f: left alone: $said" ;;
  esac
  case $holds in
    same) expect_file "$n: unchanged" "$f" "$o" ;;
    iconv:*)
      page=${holds#iconv:}
      iconv -f "$page" -t utf-8 "$o" >"$T/want"
      expect_file "$n: converted" "$f" "$T/want"
      [ $page = UTF-16LE ] || { iconv -f utf-8 -t "$page" "$f" >"$T/back" && expect_file "$n: back" "$T/back" "$o"; }
      ;;
  esac
done <<TABLE
cp866.txt|>cp866 -> utf-8|iconv:cp866
cp1251.txt|>cp1251 -> utf-8|iconv:cp1251
koi8-r.txt|>koi8-r -> utf-8|iconv:koi8-r
iso-8859-5.txt|>iso-8859-5 -> utf-8|iconv:iso-8859-5
mac-cyrillic.txt|>mac-cyrillic -> utf-8|iconv:mac-cyrillic
utf-8.txt|>already utf-8|same
notepad.txt|>utf-16le -> utf-8|iconv:UTF-16LE
program|>binary|same
ascii.txt|>no Russian letters|same
empty.txt|>no Russian letters|same
bad98.txt|invalid bytes for cp1251 (--lossy converts it)|same
linked.txt|2 hard links|same
link.txt|>cp866 -> utf-8|
target.txt|>already utf-8|iconv:cp866
twice.txt|>iso-8859-5 -> utf-8|iconv:iso-8859-5
fifo|not a regular file|
nul-late.txt|>binary|same
cut.txt|invalid bytes for utf-16le (--lossy converts it)|same
TABLE
expect_grep "twice: the second time" "$T/out" "$D/twice.txt: already utf-8"
checks=$((checks + 1))
[ "$(stat -c %a "$D/cp1251.txt" "$D/program")" = "$(printf '640\n755')" ] || fail "permissions not kept"
checks=$((checks + 1))
[ -L "$D/link.txt" ] && [ "$(readlink "$D/link.txt")" = target.txt ] || fail "the link is no longer a link"
if getfacl -cp "$T/orig/cp1251.txt" 2>/dev/null | grep -q nobody; then
  getfacl -cp "$T/orig/cp1251.txt" >"$T/acl.orig" && getfacl -cp "$D/cp1251.txt" >"$T/acl"
  expect_file "ACL kept" "$T/acl" "$T/acl.orig"
fi
if getfattr --absolute-names -n user.origin "$T/orig/cp1251.txt" >/dev/null 2>&1; then
  checks=$((checks + 1))
  [ "$(getfattr --absolute-names --only-values -n user.origin "$D/cp1251.txt")" = archive ] || fail "attribute not kept"
fi
expect_text "no stray file" <(strays "$D") ''
# Converted lines come in order, one each; nothing else without -v.
run --in-place -o utf-8 "$T/orig/cp1251.txt" "$T/orig/ascii.txt"
expect_text "quiet: the converted line only" "$T/out" "$T/orig/cp1251.txt: cp1251 -> utf-8\n"

# A second run converts nothing; what needs attention is said again.
snapshot "$D" >"$T/before"
run --in-place -o utf-8 "${ops[@]}"
expect_status "second run" 1
expect_text "second run converts nothing" "$T/out" ''
expect_grep "second run: attention again" "$T/err" "kiv: $D/bad98.txt: left alone"
snapshot "$D" >"$T/after"
expect_file "second run changes nothing" "$T/after" "$T/before"

# --dry-run decides the same and changes nothing.
make_folder
cp -a "$D" "$T/orig"
snapshot "$D" >"$T/before"
run -v --dry-run --in-place -o utf-8 "${ops[@]}"
expect_status "dry run" 1
cp "$T/out" "$T/dry"
snapshot "$D" >"$T/after"
expect_file "dry run changes nothing" "$T/after" "$T/before"
run -v --in-place -o utf-8 "${ops[@]}"
expect_file "dry run says what the run does" "$T/dry" "$T/out"

# Characters the page lacks: left alone, or with --lossy converted as the filter would.
# Tag characters too, which iconv itself drops without a word.
while IFS='|' read -r text page; do
  printf "$text" >"$D/lacks.txt" && cp "$D/lacks.txt" "$T/lacks"
  run --in-place -o $page "$D/lacks.txt"
  expect_status "lacking [$text]" 1
  expect_text "lacking [$text]: said" "$T/err" \
    "kiv: $D/lacks.txt: left alone: characters $page lacks (--lossy converts it)\n"
  expect_file "lacking [$text]: unchanged" "$D/lacks.txt" "$T/lacks"
  run --in-place --lossy -o $page "$D/lacks.txt"
  expect_status "lossy [$text]" 0
  LC_ALL=C iconv -f utf-8 -t $page//TRANSLIT "$T/lacks" >"$T/want"
  expect_file "lossy [$text]: converted" "$D/lacks.txt" "$T/want"
  # Told apart from invalid bytes with few descriptors too.
  cp "$T/lacks" "$D/lacks.txt"
  (
    for fd in /proc/$BASHPID/fd/*; do fd=${fd##*/} && [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
    exec prlimit --nofile=5 "$KIV" --in-place -o $page "$D/lacks.txt"
  ) >"$T/out" 2>"$T/err"
  expect_grep "lacking [$text], 5 descriptors" "$T/err" "left alone: characters $page lacks"
done <<TABLE
ООО «Ромашка» — партнёры\n|koi8-r
Привет, мир\xf3\xa0\x80\x81 и всё.\n|cp1251
TABLE

# Lines in another page, or UTF-8 read as cp1251 and saved as UTF-8 again: left alone,
# said, without --repair (with --lossy too); mended with it, where the page holds them.
# A file already in the page is no longer "already" when it holds invalid bytes.
tocp1251() { LC_ALL=C sed 's/\x98/\x01/g' | iconv -f cp1251 -t utf-8 | LC_ALL=C sed 's/\x01/\xc2\x98/g'; }
head -3 "$(sample utf-8)" >"$T/three"
mkdir "$D/r"
make_repairs() {
  { cat "$(sample utf-8)" && iconv -f utf-8 -t cp1251 "$T/three"; } >"$D/r/utf8-cp1251.txt"
  { cat "$(sample cp1251)" && cat "$T/three"; } >"$D/r/cp1251-utf8.txt"
  tocp1251 <"$(sample utf-8)" >"$D/r/double.txt"
  tocp1251 <"$D/r/double.txt" >"$D/r/twice.txt"
  { cat "$(sample utf-8)" && printf 'plain \xff ASCII\n'; } >"$D/r/stray.txt"
}
make_repairs
cp -a "$D/r" "$T/r.orig"
clean=$(sample utf-8)
{ cat "$clean" "$T/three"; } >"$T/clean+three"
# options | name | what kiv says | what the file holds then (same: unchanged)
while IFS='|' read -r opts n said holds; do
  f=$D/r/$n
  cp "$T/r.orig/$n" "$f"
  eval "run $opts --in-place -o utf-8 \"\$f\""
  case $said in
    '>'*) expect_text "[$opts] $n: said" "$T/out" "$f: ${said#>}\n" && expect_status "[$opts] $n" 0 ;;
    *) expect_text "[$opts] $n: said" "$T/err" "kiv: $f: left alone: $said\n" && expect_status "[$opts] $n" 1 ;;
  esac
  case $holds in
    same) expect_file "[$opts] $n: unchanged" "$f" "$T/r.orig/$n" ;;
    *) expect_file "[$opts] $n: mended" "$f" "$holds" ;;
  esac
done <<TABLE
|utf8-cp1251.txt|2 lines in another page or double-encoded (--repair mends them)|same
--lossy|utf8-cp1251.txt|2 lines in another page or double-encoded (--repair mends them)|same
--repair|utf8-cp1251.txt|>utf-8, 2 lines repaired|$T/clean+three
|cp1251-utf8.txt|2 lines in another page or double-encoded (--repair mends them)|same
--repair|cp1251-utf8.txt|>cp1251 -> utf-8, 2 lines repaired|$T/clean+three
|double.txt|14 lines in another page or double-encoded (--repair mends them)|same
--repair|double.txt|>utf-8, 14 lines repaired|$clean
--repair|twice.txt|>utf-8, 14 lines repaired|$clean
|stray.txt|invalid bytes for utf-8|same
--lossy|stray.txt|invalid bytes for utf-8|same
--repair|stray.txt|invalid bytes for utf-8|same
TABLE
# --dry-run says the same and changes nothing; the filter mends the same lines.
make_repairs
ops=("$D/r/utf8-cp1251.txt" "$D/r/cp1251-utf8.txt" "$D/r/double.txt" "$D/r/twice.txt" "$D/r/stray.txt")
snapshot "$D/r" >"$T/before"
run -v --repair --dry-run --in-place -o utf-8 "${ops[@]}"
cp "$T/out" "$T/dry" && cp "$T/err" "$T/dry.err"
snapshot "$D/r" >"$T/after"
expect_file "repair, dry run changes nothing" "$T/after" "$T/before"
run -v --repair --in-place -o utf-8 "${ops[@]}"
expect_file "repair, dry run says what the run does" "$T/dry" "$T/out"
expect_file "repair, dry run: the same messages" "$T/dry.err" "$T/err"
expect_text "repair, twice: nothing more to mend" <(run -v --repair --in-place -o utf-8 "${ops[@]:0:4}"; cat "$T/out") \
  "$(for f in "${ops[@]:0:4}"; do printf '%s: already utf-8\\n' "$f"; done)"
# Invalid bytes in a single-byte file already in the page: said too.
run -v --in-place -o cp1251 "$D/bad98.txt"
expect_text "already cp1251, invalid" "$T/err" "kiv: $D/bad98.txt: left alone: invalid bytes for cp1251\n"
expect_text "already cp1251, invalid: not already" "$T/out" ''
# A mended line the output page cannot hold: left alone as any such file.
{ iconv -f utf-8 -t cp1251 "$(sample utf-8)" && printf 'Она сказала: «Поезд — вечером».\n'; } >"$D/r/lacks.txt"
cp "$D/r/lacks.txt" "$T/lacks.orig"
run --repair --in-place -o koi8-r "$D/r/lacks.txt"
expect_text "repair, lacking: said" "$T/err" \
  "kiv: $D/r/lacks.txt: left alone: characters koi8-r lacks (--lossy converts it)\n"
expect_file "repair, lacking: unchanged" "$D/r/lacks.txt" "$T/lacks.orig"

# -i run twice: the second time the file looks like utf-8 and stays. Back by the opposite
# conversion, byte for byte.
cp "$(sample cp1251)" "$D/again.txt"
for i in 1 2; do run -v --in-place -i cp1251 -o utf-8 "$D/again.txt"; done
expect_text "-i twice" "$T/out" "$D/again.txt: looks like utf-8\n"
expect_file "-i twice: converted once" "$D/again.txt" "$(sample utf-8)"
cp "$D/notepad.txt" "$D/again16.txt"
for i in 1 2; do run -v --in-place -i utf-16le -o utf-8 "$D/again16.txt"; done
expect_text "-i utf-16le twice" "$T/out" "$D/again16.txt: looks like utf-8\n"
{ printf '\xff\xfe' && iconv -f utf-8 -t utf-16le "$(sample utf-8)"; } >"$D/note16.txt"
run -v --in-place -i utf-8 -o cp1251 "$D/note16.txt"
expect_text "-i utf-8 on UTF-16" "$T/out" "$D/note16.txt: looks like utf-16le\n"
run --in-place -i utf-8 -o cp1251 "$D/again.txt"
expect_file "undone" "$D/again.txt" "$(sample cp1251)"
# A BOM means nothing to a single-byte page: dropped, not a loss.
run --in-place -o cp1251 "$D/notepad.txt"
expect_status "BOM dropped" 0
expect_file "BOM dropped" "$D/notepad.txt" "$(sample cp1251)"

# Usage errors: status 2, a reason, and no file opened.
cp "$(sample cp1251)" "$D/u.txt"
while IFS='|' read -r args why; do
  eval "run $args"
  expect_status "usage [$args]" 2
  expect_grep "usage [$args]" "$T/err" "$why"
  expect_file "usage [$args]: untouched" "$D/u.txt" "$(sample cp1251)"
done <<TABLE
--in-place "$D/u.txt"|kiv: --in-place needs -o
--in-place -o koi8-u "$D/u.txt"|kiv: --in-place needs -o
--in-place -o utf-16le "$D/u.txt"|kiv: --in-place needs -o
--in-place -o utf-8 -T "$D/u.txt"|kiv: --in-place and -T
--in-place -o utf-8 -l "$D/u.txt"|kiv: --in-place and -l
--in-place -o utf-8|kiv: --in-place needs files
--dry-run -o utf-8 "$D/u.txt"|kiv: --dry-run
--lossy -o utf-8 "$D/u.txt"|kiv: --lossy
--keep-declarations -o utf-8 "$D/u.txt"|kiv: --keep-declarations needs --in-place
TABLE

# Not allowed to keep the owner: a folder anyone may write to must not quietly change
# who owns a file.
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
  chmod 755 "$T"  # for the other user to reach it
  mkdir -m 777 "$D/shared" && cp "$(sample cp1251)" "$D/shared/root.txt" && chmod 644 "$D/shared/root.txt"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$KIV" --in-place -o utf-8 "$D/shared/root.txt" \
    >"$T/out" 2>"$T/err"
  status=$?
  split_summary
  expect_status "owner" 1
  expect_text "owner: said" "$T/err" "kiv: $D/shared/root.txt: left alone: owner, group or attributes cannot be kept\n"
  expect_file "owner: unchanged" "$D/shared/root.txt" "$(sample cp1251)"
  expect_text "owner: no stray file" <(strays "$D/shared") ''
  # Its own files: converted with their set-id bits, which a write by their owner clears;
  # a folder it may not read is still written to, and its sync said to fail.
  mkdir -m 777 "$D/own" && cp "$(sample cp1251)" "$D/own/suid" && cp "$(sample koi8-r)" "$D/own/sgid"
  chown 65534:65534 "$D/own/suid" "$D/own/sgid" && chmod 4755 "$D/own/suid" && chmod 2775 "$D/own/sgid"
  mkdir "$D/own/blind" && cp "$(sample cp866)" "$D/own/blind/f" && chown -R 65534:65534 "$D/own/blind"
  chmod 300 "$D/own/blind"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$KIV" --in-place -o utf-8 "$D/own/suid" \
    "$D/own/sgid" "$D/own/blind/f" >"$T/out" 2>"$T/err"
  status=$?
  split_summary
  expect_status "own files" 1
  expect_text "own files: converted" "$T/out" \
    "$D/own/suid: cp1251 -> utf-8\n$D/own/sgid: koi8-r -> utf-8\n$D/own/blind/f: cp866 -> utf-8\n"
  expect_text "own files: modes" <(stat -c %a "$D/own/suid" "$D/own/sgid") '4755\n2775\n'
  expect_text "own files: the blind folder" "$T/err" \
    "kiv: $D/own/blind: cannot sync the directory: Permission denied\n"
else
  echo "not root: the owner case is not tried"
fi

# Attributes: what writing drops comes back (file capabilities), and what a new file would
# get on its own (a folder's default ACL) does not stay.
mkdir "$D/acl" && setfacl -d -m u:nobody:rwx "$D/acl" 2>/dev/null && cp "$(sample cp1251)" "$D/acl/f" &&
  setfacl -b "$D/acl/f" && {
  run --in-place -o utf-8 "$D/acl/f"
  expect_text "no ACL gained" <(getfacl -cp "$D/acl/f" 2>/dev/null | grep -c nobody) '0\n'
}
if command -v setcap >/dev/null && cp "$(sample cp1251)" "$D/cap" && setcap cap_net_raw+ep "$D/cap" 2>/dev/null; then
  getcap "$D/cap" | sed 's/^[^ ]* //' >"$T/cap.orig"
  run --in-place -o utf-8 "$D/cap"
  getcap "$D/cap" | sed 's/^[^ ]* //' >"$T/cap"
  expect_status "capability" 0
  expect_file "capability kept" "$T/cap" "$T/cap.orig"
fi

# Faults before the rename: the original whole, no new file, the cause named, the next
# file converted all the same.
big() { for i in $(seq "$2"); do cat "$(sample cp1251)"; done >"$1"; }
if [ "$(id -u)" = 0 ] && mkdir "$T/small" && mount -t tmpfs -o size=256k tmpfs "$T/small" 2>/dev/null; then
  big "$T/small/big.txt" 120 && cp "$T/small/big.txt" "$T/big.orig"  # 110 KB, 200 in UTF-8
  cp "$(sample koi8-r)" "$T/small/next.txt"
  run --in-place -o utf-8 "$T/small/big.txt" "$T/small/next.txt"
  expect_status "full disk" 1
  expect_text "full disk: said" "$T/err" "kiv: $T/small/big.txt: No space left on device\n"
  expect_file "full disk: original whole" "$T/small/big.txt" "$T/big.orig"
  expect_text "full disk: the next one" "$T/out" "$T/small/next.txt: koi8-r -> utf-8\n"
  expect_text "full disk: no stray file" <(strays "$T/small") ''
  umount "$T/small"
else
  echo "cannot mount a small tmpfs: the full disk is not tried"
fi
big "$D/big.txt" 400 && cp "$D/big.txt" "$T/big.orig"  # 370 KB, 660 in UTF-8
(ulimit -f 512 && exec "$KIV" --in-place -o utf-8 "$D/big.txt") >"$T/out" 2>"$T/err"
status=$?
split_summary
expect_status "size limit" 1
expect_text "size limit: said" "$T/err" "kiv: $D/big.txt: File too large\n"
expect_file "size limit: original whole" "$D/big.txt" "$T/big.orig"

# A signal, or a file that grows, while a large file converts: kiv is caught while its
# new file exists.
# 60 MB of UTF-16 with characters that iconv converts take long enough.
slow_text "$T/huge.orig"
for what in INT PIPE TERM VTALRM append; do
  cp "$T/huge.orig" "$D/huge.txt"
  # (A background job starts with SIGINT ignored, which kiv would keep.)
  perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' "$KIV" --in-place -o utf-8 "$D/huge.txt" >"$T/out" 2>"$T/err" &
  pid=$!
  for i in $(seq 500); do [ -n "$(strays "$D")" ] && break; sleep 0.01; done
  checks=$((checks + 1))
  [ -n "$(strays "$D")" ] || fail "$what: never caught converting"
  if [ $what = append ]; then
    printf 'more\n' >>"$D/huge.txt" && cat "$T/huge.orig" <(printf 'more\n') >"$T/whole"
  else
    kill -$what $pid && cp "$T/huge.orig" "$T/whole"
  fi
  { wait $pid; } 2>/dev/null
  status=$?
  split_summary
  if [ $what = append ]; then
    expect_status "$what" 1
    expect_text "$what: said" "$T/err" "kiv: $D/huge.txt: left alone: changed while being converted\n"
  else
    expect_status "$what: died of it" $((128 + $(kill -l $what)))
  fi
  expect_file "$what: original whole" "$D/huge.txt" "$T/whole"
  expect_text "$what: no stray file" <(strays "$D") ''
done
# The reader of the report going away.
cp "$T/huge.orig" "$D/huge.txt"
"$KIV" -v --in-place -o utf-8 "$D/ascii.txt" "$D/empty.txt" "$D/huge.txt" 2>"$T/err" | head -1 >"$T/out"
expect_text "closed pipe: first line" "$T/out" "$D/ascii.txt: no Russian letters\n"
expect_text "closed pipe: no stray file" <(strays "$D") ''
checks=$((checks + 1))
cmp -s "$D/huge.txt" "$T/huge.orig" || iconv -f UTF-16LE -t utf-8 "$T/huge.orig" | cmp -s - "$D/huge.txt" ||
  fail "closed pipe: the file is neither the old text nor the new"

# Batches: what comes between the files that wait for their sync is said in its place; a
# file named twice waits for its first conversion; a sync that fails keeps that file from
# its rename, the others go on; a signal while a batch waits removes all its new files.
rm -rf "$D" && mkdir -p "$D"
cp "$(sample cp1251)" "$D/a.txt" && printf 'ASCII\n' >"$D/b.txt" && cp "$T/orig/bad98.txt" "$D/c.txt"
cp "$(sample koi8-r)" "$D/d.txt"
"$KIV" -v --in-place -o utf-8 "$D/a.txt" "$D/b.txt" "$D/c.txt" "$D/a.txt" "$D/d.txt" >"$T/both" 2>&1
expect_text "batch: in order" "$T/both" "$D/a.txt: cp1251 -> utf-8
$D/b.txt: no Russian letters
kiv: $D/c.txt: left alone: invalid bytes for cp1251 (--lossy converts it)
$D/a.txt: already utf-8
$D/d.txt: koi8-r -> utf-8
kiv: 2 converted, 2 already utf-8 or without Russian letters, 0 binary, 1 left alone, 0 failed\n"
if command -v strace >/dev/null; then
  for p in cp1251 koi8-r cp866; do cp "$(sample $p)" "$D/$p.txt"; done
  cp -a "$D" "$T/batch"
  ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsync -e inject=fsync:error=EIO:when=2 \
    "$KIV" --in-place -o utf-8 "$D/cp1251.txt" "$D/koi8-r.txt" "$D/cp866.txt" >"$T/out" 2>"$T/err"
  status=$?
  split_summary
  expect_status "a sync fails" 1
  expect_text "a sync fails: the others converted" "$T/out" "$D/cp1251.txt: cp1251 -> utf-8\n$D/cp866.txt: cp866 -> utf-8\n"
  expect_text "a sync fails: said" "$T/err" "kiv: $D/koi8-r.txt: Input/output error\n"
  expect_file "a sync fails: that one whole" "$D/koi8-r.txt" "$T/batch/koi8-r.txt"
  expect_text "a sync fails: no stray file" <(strays "$D") ''
  for p in cp1251 koi8-r cp866; do cp "$(sample $p)" "$D/$p.txt"; done
  ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=2000000:when=1 \
    "$KIV" --in-place -o utf-8 "$D/cp1251.txt" "$D/koi8-r.txt" "$D/cp866.txt" >"$T/out" 2>"$T/err" &
  pid=$!
  for i in $(seq 500); do [ "$(strays "$D" | wc -l)" = 3 ] && break; sleep 0.01; done
  expect_text "a batch waits: its new files" <(strays "$D" | wc -l) '3\n'
  kill -TERM $(pgrep -P $pid -x kiv)
  wait $pid
  expect_text "a batch waits, killed: no stray file" <(strays "$D") ''
  for p in cp1251 koi8-r cp866; do expect_file "a batch waits, killed: $p whole" "$D/$p.txt" "$T/batch/$p.txt"; done
else
  echo "no strace: a failed sync and a signal in a batch are not tried"
fi

finish
