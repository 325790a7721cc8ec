#!/bin/bash
# Converting in place beside other users and processes: another user's link in a sticky
# folder, an append-only folder, a reader that never reads, a writer that has the file
# open or opens it, a tight descriptor limit. Cases that need root, chattr or a writable
# /proc/sys/fs/protected_symlinks say so and are not tried where the machine cannot.
. "$(dirname "$0")/lib.sh" "$@"
D=$T/d
mkdir -p "$D"
strays() { find "$1" -name '.*.kiv-*'; }
has_stray() { [ -n "$(strays "$1")" ]; }
utf8=$(sample utf-8)

# waits (up to 5 s) until a command succeeds
await() { for _ in $(seq 500); do "$@" && return 0; sleep 0.01; done; return 1; }
# ended PID WITHIN: the process is gone within WITHIN seconds
ended() {
  local i
  for i in $(seq $(($2 * 100))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.01; done
  return 1
}

# Another user's link in a sticky folder: the kernel refuses to follow it for root, and so
# does kiv, which opens the operand by its own name.
links=/proc/sys/fs/protected_symlinks
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && [ -w $links ] &&
  old=$(cat $links) && echo 1 >$links 2>/dev/null; then
  trap 'echo "$old" >'$links'; rm -rf "$T"' EXIT
  chmod 755 "$T"
  mkdir -m 1777 "$T/sticky" && mkdir "$T/root" && cp "$(sample cp1251)" "$T/root/notes.txt"
  chmod 600 "$T/root/notes.txt" && cp "$T/root/notes.txt" "$T/notes.orig"
  setpriv --reuid=65534 --regid=65534 --clear-groups ln -s "$T/root/notes.txt" "$T/sticky/notes.txt"
  # (The filter and -T name a file that cannot be opened as cat does.)
  for args in "--in-place -o utf-8|kiv: " "--in-place --dry-run -o utf-8|kiv: " "-T|"; do
    run ${args%|*} "$T/sticky/notes.txt"
    expect_status "other user's link, $args" 1
    expect_text "other user's link, $args: said" "$T/err" "${args#*|}$T/sticky/notes.txt: Permission denied\n"
    expect_text "other user's link, $args: nothing on standard output" "$T/out" ''
  done
  expect_file "other user's link: the target unchanged" "$T/root/notes.txt" "$T/notes.orig"
  # Root's own link there is followed: the file it leads to converted in its own folder.
  ln -s "$T/root/notes.txt" "$T/sticky/mine.txt"
  run --in-place -o utf-8 "$T/sticky/mine.txt"
  expect_status "own link" 0
  expect_text "own link: said" "$T/out" "$T/sticky/mine.txt: cp1251 -> utf-8\n"
  expect_file "own link: the target converted" "$T/root/notes.txt" "$utf8"
  checks=$((checks + 1))
  [ -L "$T/sticky/mine.txt" ] && [ -z "$(strays "$T")" ] || fail "own link: not a link, or a stray"
  echo "$old" >$links
else
  echo "not root, or protected_symlinks not writable: the sticky-folder link is not tried"
fi

# An append-only folder: nothing made there could be renamed or removed, so nothing is.
if mkdir "$D/ap" && cp "$(sample cp1251)" "$D/ap/f.txt" && chattr +a "$D/ap" 2>/dev/null; then
  for dry in "" --dry-run; do
    run --in-place $dry -o utf-8 "$D/ap/f.txt"
    expect_status "append-only $dry" 1
    expect_text "append-only $dry: said" "$T/err" "kiv: $D/ap/f.txt: left alone: the folder is append-only\n"
  done
  chattr -a "$D/ap"
  expect_file "append-only: unchanged" "$D/ap/f.txt" "$(sample cp1251)"
  expect_text "append-only: no stray file" <(strays "$D/ap") ''
  # Made append-only while kiv converts: the new file it cannot remove is named.
  slow_text "$T/huge"
  cp "$T/huge" "$D/ap/huge.txt"
  (cd "$D" && exec "$KIV" --in-place -o utf-8 ap/huge.txt) >"$T/out" 2>"$T/err" &
  pid=$!
  await has_stray "$D/ap"
  chattr +a "$D/ap"
  wait $pid
  status=$?
  split_summary
  stray=$(strays "$D/ap")
  chattr -a "$D/ap"
  expect_status "append-only meanwhile" 1
  expect_text "append-only meanwhile: the new file named" "$T/err" \
    "kiv: ap/huge.txt: Operation not permitted; the new text is left in ap/${stray##*/}\n"
  expect_file "append-only meanwhile: the original whole" "$D/ap/huge.txt" "$T/huge"
  rm -f "$stray"
else
  echo "no chattr here: the append-only folder is not tried"
fi

# A reader that never reads: kiv blocked writing a line after a rename still ends at
# SIGTERM, within a second, the file converted.
mkfifo "$T/fifo"
exec 3<>"$T/fifo"
head -c 65536 /dev/zero >&3  # a pipe's whole capacity
cp "$(sample cp1251)" "$D/stuck.txt"
"$KIV" --in-place -o utf-8 "$D/stuck.txt" >"$T/fifo" 2>"$T/err" &
pid=$!
await cmp -s "$D/stuck.txt" "$utf8"
sleep 0.2
kill -TERM $pid
checks=$((checks + 1))
ended $pid 1 || { fail "full pipe: SIGTERM did not end kiv"; kill -KILL $pid; }
wait $pid
status=$?
split_summary
expect_status "full pipe: died of SIGTERM" 143
expect_file "full pipe: converted" "$D/stuck.txt" "$utf8"
exec 3>&-

# A writer that has the file open already: left alone, whether or not it writes.
cp "$(sample cp1251)" "$D/open.txt"
if perl -e 'use Fcntl; open(my $f, "<", $ARGV[0]) or die; fcntl($f, 1024, F_RDLCK) or exit 1' "$D/open.txt"; then
  exec 4>>"$D/open.txt"
  run --in-place -o utf-8 "$D/open.txt"
  exec 4>&-
  expect_status "open for writing" 1
  expect_text "open for writing: said" "$T/err" "kiv: $D/open.txt: left alone: open for writing by another process\n"
  expect_file "open for writing: unchanged" "$D/open.txt" "$(sample cp1251)"

  # A writer that opens it while kiv converts: kiv lets it in at once and leaves the file.
  slow_text "$T/big"
  cp "$T/big" "$D/big.txt"
  "$KIV" --in-place -o utf-8 "$D/big.txt" >"$T/out" 2>"$T/err" &
  pid=$!
  await has_stray "$D"
  start=$(date +%s%N)
  exec 4>>"$D/big.txt"
  waited=$((($(date +%s%N) - start) / 1000000))
  exec 4>&-
  wait $pid
  status=$?
  split_summary
  expect_status "a writer meanwhile" 1
  expect_text "a writer meanwhile: said" "$T/err" "kiv: $D/big.txt: left alone: changed while being converted\n"
  expect_file "a writer meanwhile: unchanged" "$D/big.txt" "$T/big"
  checks=$((checks + 1))
  [ "$waited" -lt 1000 ] || fail "a writer meanwhile: it waited $waited ms to open the file"
  expect_text "a writer meanwhile: no stray file" <(strays "$D") ''

  # A writer that opens the old file just as it is replaced (through kiv's own descriptor,
  # with the rename held up by strace): the file stays converted, and that is said.
  if command -v strace >/dev/null; then
    cp "$(sample cp1251)" "$D/late.txt"
    # (LeakSanitizer cannot run under ptrace.)
    ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e trace=renameat,renameat2 -e inject=renameat,renameat2:delay_exit=1500000 \
      "$KIV" --in-place -o utf-8 "$D/late.txt" >"$T/out" 2>"$T/err" &
    spid=$!
    await cmp -s "$D/late.txt" "$utf8"
    kpid=$(pgrep -P $spid -x kiv)
    for fd in /proc/$kpid/fd/*; do
      [ "$(readlink "$fd")" = "$D/late.txt (deleted)" ] && exec 4>>"$fd" && exec 4>&-
    done
    wait $spid
    status=$?
    split_summary
    expect_status "a writer as it was replaced" 1
    expect_text "a writer as it was replaced: the line" "$T/out" "$D/late.txt: cp1251 -> utf-8\n"
    expect_text "a writer as it was replaced: said" "$T/err" \
      "kiv: $D/late.txt: converted, but another process opened it for writing as it was replaced\n"
  else
    echo "no strace: a writer as the file is replaced is not tried"
  fi
else
  echo "no leases on this file system: the writers are not tried"
fi

# Another process's lease on the file: kiv waits in open, and SIGTERM still ends it.
cp "$(sample cp1251)" "$D/leased.txt"
perl -e 'use Fcntl; $SIG{IO} = "IGNORE"; open(my $f, "<", $ARGV[0]) or die;
  fcntl($f, 1024, F_WRLCK) or exit 3; print "held\n"; $| = 1; sleep 30' "$D/leased.txt" >"$T/held" &
holder=$!
if await grep -q held "$T/held"; then
  "$KIV" --in-place -o utf-8 "$D/leased.txt" >"$T/out" 2>"$T/err" &
  pid=$!
  sleep 0.3
  kill -TERM $pid
  checks=$((checks + 1))
  ended $pid 1 || { fail "another's lease: SIGTERM did not end kiv"; kill -KILL $pid; }
  wait $pid
  status=$?
  split_summary
  expect_status "another's lease: died of SIGTERM" 143
else
  echo "no write lease for perl here: the open that waits is not tried"
fi
kill $holder 2>/dev/null
wait $holder 2>/dev/null
expect_file "another's lease: unchanged" "$D/leased.txt" "$(sample cp1251)"

# --dry-run says what the run would: a folder it may not write in, a read-only mount.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  chmod 755 "$T" "$D"
  mkdir -m 555 "$D/closed" && cp "$(sample cp1251)" "$D/closed/f" && chmod 644 "$D/closed/f"
  chown -R 65534:65534 "$D/closed" && chmod 555 "$D/closed"
  for dry in --dry-run ""; do
    setpriv --reuid=65534 --regid=65534 --clear-groups "$KIV" --in-place $dry -o utf-8 "$D/closed/f" \
      >"$T/out" 2>"$T/err"
    status=$?
    split_summary
    expect_status "a folder not writable [$dry]" 1
    expect_text "a folder not writable [$dry]: said" "$T/err" "kiv: $D/closed/f: Permission denied\n"
  done
fi
if [ "$(id -u)" = 0 ] && mkdir "$T/ro" && mount -t tmpfs -o size=1m tmpfs "$T/ro" 2>/dev/null; then
  cp "$(sample cp1251)" "$T/ro/f" && mount -o remount,ro "$T/ro"
  for dry in --dry-run ""; do
    run --in-place $dry -o utf-8 "$T/ro/f"
    expect_status "read-only [$dry]" 1
    expect_text "read-only [$dry]: said" "$T/err" "kiv: $T/ro/f: Read-only file system\n"
  done
  umount "$T/ro"
else
  echo "cannot mount a tmpfs: the read-only mount is not tried"
fi

# Five descriptors: files in two folders, each pair new, converted one after another.
mkdir "$D/one" "$D/two"
cp "$(sample cp1251)" "$D/one/a.txt" && cp "$(sample koi8-r)" "$D/two/b.txt"
cp "$(sample cp866)" "$D/one/c.txt"
(
  for fd in /proc/$BASHPID/fd/*; do fd=${fd##*/} && [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
  exec prlimit --nofile=5 "$KIV" --in-place -o utf-8 "$D/one/a.txt" "$D/two/b.txt" "$D/one/c.txt"
) >"$T/out" 2>"$T/err"
status=$?
split_summary
expect_status "5 descriptors" 0
expect_text "5 descriptors: converted" "$T/out" \
  "$D/one/a.txt: cp1251 -> utf-8\n$D/two/b.txt: koi8-r -> utf-8\n$D/one/c.txt: cp866 -> utf-8\n"
for f in one/a:cp1251 two/b:koi8-r one/c:cp866; do
  iconv -f "${f#*:}" -t utf-8 "$(sample "${f#*:}")" >"$T/want"
  expect_file "5 descriptors: ${f%:*}" "$D/${f%:*}.txt" "$T/want"
done

finish
