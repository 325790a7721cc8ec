#!/bin/bash
# Converting a whole tree in place (-r): what is converted, passed over and left alone in
# a tree of nested folders, links in and out of it, a version-control folder, FIFOs and
# backups; the order of the lines, the last line, backups and their undo, times kept; and
# 10 000 files in 1 000 folders under 32 descriptors; -j, and progress on a terminal.
. "$(dirname "$0")/lib.sh" "$@"
A=$T/archive
strays() { find "$1" -name '.*.kiv-*'; }

make_tree() {
  rm -rf "$A" "$T/orig" "$T/outside" && mkdir -p "$A/letters/1998" "$A/.git/objects" "$A/misc" "$T/outside"
  cp "$(sample cp1251)" "$A/notes.txt"
  cp "$(sample koi8-r)" "$A/letters/a.txt"
  cp "$(sample cp866)" "$A/letters/1998/dos.txt"
  cp "$(sample mac-cyrillic)" "$A/letters/z.txt"
  cp "$(sample iso-8859-5)" "$A/misc/iso.txt"
  cp "$(sample utf-8)" "$A/misc/done.txt"
  printf 'ASCII only\n' >"$A/misc/readme"
  cp "$(sample cp1251)" "$A/.git/objects/ab12"
  cp "$(sample cp1251)" "$T/outside/far.txt"
  ln -s ../notes.txt "$A/misc/in.txt"
  ln -s "$T/outside/far.txt" "$A/misc/out.txt"
  ln -s "$T/outside" "$A/misc/outdir"
  mkfifo "$A/misc/pipe"
  cp "$(sample cp1251)" "$A/misc/old.txt~"
  : >"$A/misc/.iso.txt.kiv-Ab3dE9"
  cp "$(sample koi8-r)" "$A/misc/name with
newline.txt"
  mkdir "$A/web"
  { printf '<html><head><meta charset="windows-1251"></head><body><pre>\n' && cat "$(sample utf-8)" &&
    printf '</pre></body></html>\n'; } | iconv -f utf-8 -t cp1251 >"$A/web/page.html"
  { printf '<?xml version="1.0" encoding="koi8-r"?>\n<text>\n' && cat "$(sample koi8-r)" &&
    printf '</text>\n'; } >"$A/web/feed.xml"
  cp -a "$A" "$T/orig"
}

make_tree
run -v --in-place -r -o utf-8 "$A"
expect_status "tree" 0
expect_text "tree: the lines, in order" "$T/out" "\
$A/.git: version-control folder, not entered
$A/letters/1998/dos.txt: cp866 -> utf-8
$A/letters/a.txt: koi8-r -> utf-8
$A/letters/z.txt: mac-cyrillic -> utf-8
$A/misc/done.txt: already utf-8
$A/misc/in.txt: symbolic link, not followed
$A/misc/iso.txt: iso-8859-5 -> utf-8
$A/misc/name with\\\\nnewline.txt: koi8-r -> utf-8
$A/misc/old.txt~: ends in ~, passed over as a backup
$A/misc/out.txt: symbolic link, not followed
$A/misc/outdir: symbolic link, not followed
$A/misc/pipe: not a regular file
$A/misc/readme: no Russian letters
$A/notes.txt: cp1251 -> utf-8
$A/web/feed.xml: koi8-r -> utf-8, charset declaration updated
$A/web/page.html: cp1251 -> utf-8, charset declaration updated
"
expect_text "tree: the last line" "$T/summary" \
  "kiv: 8 converted, 2 already utf-8 or without Russian letters, 0 binary, 0 left alone, 0 failed\n"
expect_text "tree: the page's declaration" <(head -c 52 "$A/web/page.html") '<html><head><meta charset="UTF-8"></head><body><pre>'
expect_text "tree: the feed's declaration" <(head -1 "$A/web/feed.xml") '<?xml version="1.0" encoding="UTF-8"?>\n'
if command -v xmllint >/dev/null; then
  xmllint --noout "$A/web/feed.xml" 2>"$T/xml"
  expect_text "tree: the feed parses" "$T/xml" ''
fi
expect_text "tree: nothing else said" "$T/err" ''
# file | what it holds now
while IFS='|' read -r n holds; do
  case $holds in
    same) expect_file "$n: unchanged" "$A/$n" "$T/orig/$n" ;;
    *) iconv -f "$holds" -t utf-8 "$T/orig/$n" >"$T/want" && expect_file "$n: converted" "$A/$n" "$T/want" ;;
  esac
done <<TABLE
notes.txt|cp1251
letters/a.txt|koi8-r
letters/1998/dos.txt|cp866
letters/z.txt|mac-cyrillic
misc/iso.txt|iso-8859-5
misc/done.txt|same
misc/readme|same
.git/objects/ab12|same
misc/old.txt~|same
misc/.iso.txt.kiv-Ab3dE9|same
TABLE
expect_file "a link out: its target unchanged" "$T/outside/far.txt" "$(sample cp1251)"
checks=$((checks + 1))
[ -L "$A/misc/in.txt" ] && [ -L "$A/misc/out.txt" ] && [ -p "$A/misc/pipe" ] || fail "links or FIFO changed"

# Twice the same order; a second run converts nothing.
run -v --in-place -r --dry-run -o utf-8 "$A"
cp "$T/out" "$T/first"
run -v --in-place -r --dry-run -o utf-8 "$A"
expect_file "the same order twice" "$T/out" "$T/first"
expect_text "a second run: the last line" "$T/summary" \
  "kiv: 0 to convert, 10 already utf-8 or without Russian letters, 0 binary, 0 left alone, 0 failed\n"
# Quiet: only what was converted, and no last line when all went well.
make_tree
run --in-place -r -o utf-8 "$A/letters"
expect_text "quiet" "$T/out" "$A/letters/1998/dos.txt: cp866 -> utf-8\n$A/letters/a.txt: koi8-r -> utf-8\n$A/letters/z.txt: mac-cyrillic -> utf-8\n"
expect_text "quiet: no last line" "$T/summary" ''

# A folder without -r, a version-control folder and a cut-short run's file named.
make_tree
run --in-place -o utf-8 "$A" "$A/.git" "$A/misc/.iso.txt.kiv-Ab3dE9" "$A/notes.txt"
expect_status "named" 1
expect_text "named: said" "$T/err" "kiv: $A: left alone: a directory (-r converts what it holds)
kiv: $A/misc/.iso.txt.kiv-Ab3dE9: left alone: a new file of kiv (a run was cut short)\n"
expect_text "named: the last line" "$T/summary" \
  "kiv: 1 converted, 0 already utf-8 or without Russian letters, 0 binary, 2 left alone, 0 failed\n"
run -v --in-place -r -o utf-8 "$A/.git/"
expect_text "a version-control folder named" "$T/out" "$A/.git/: version-control folder, not entered\n"
expect_file "a version-control folder named: untouched" "$A/.git/objects/ab12" "$(sample cp1251)"
# A link to a folder, named, is walked; links in it are not followed.
ln -s "$A/letters" "$T/to-letters"
run --in-place -r -o utf-8 "$T/to-letters"
expect_text "a link to a folder" "$T/out" "$T/to-letters/1998/dos.txt: cp866 -> utf-8
$T/to-letters/a.txt: koi8-r -> utf-8\n$T/to-letters/z.txt: mac-cyrillic -> utf-8\n"

# Backups: the original kept beside as a second link; an existing one leaves the file
# alone, --dry-run too; undone by mv.
make_tree
cp "$(sample cp1251)" "$A/letters/a.txt~"
run --in-place -r --backup -o utf-8 "$A/letters" "$A/notes.txt"
expect_status "backup" 1
expect_text "backup: converted" "$T/out" \
  "$A/letters/1998/dos.txt: cp866 -> utf-8\n$A/letters/z.txt: mac-cyrillic -> utf-8\n$A/notes.txt: cp1251 -> utf-8\n"
expect_text "backup: one exists" "$T/err" "kiv: $A/letters/a.txt: left alone: backup $A/letters/a.txt~ exists\n"
expect_file "backup: kept" "$A/notes.txt~" "$T/orig/notes.txt"
expect_file "backup: left alone" "$A/letters/a.txt" "$T/orig/letters/a.txt"
checks=$((checks + 1))
[ "$(stat -c '%a %h %Y' "$A/notes.txt~")" = "$(stat -c '%a %h %Y' "$T/orig/notes.txt")" ] ||
  fail "backup: mode, links or time not the original's: $(stat -c "%a %h %Y" "$A/notes.txt~" "$T/orig/notes.txt" | xargs)"
expect_text "backup: no stray file" <(strays "$A/letters") ''
run --in-place -r --dry-run --backup -o cp866 "$A/letters/1998"
expect_text "backup, dry run: exists" "$T/err" \
  "kiv: $A/letters/1998/dos.txt: left alone: backup $A/letters/1998/dos.txt~ exists\n"
mv "$A/notes.txt~" "$A/notes.txt"
expect_file "backup: undone" "$A/notes.txt" "$T/orig/notes.txt"
# A suffix of one's own: names ending in it are passed over too.
make_tree
cp "$(sample cp1251)" "$A/misc/x.orig"
run -v --in-place -r --backup=.orig -o utf-8 "$A/misc"
expect_grep "suffix: passed over" "$T/out" "$A/misc/x.orig: ends in .orig, passed over as a backup"
expect_grep "suffix: ~ still" "$T/out" "$A/misc/old.txt~: ends in ~, passed over as a backup"
expect_file "suffix: kept" "$A/misc/iso.txt.orig" "$T/orig/misc/iso.txt"

# --keep-times: the original's access and modification times.
make_tree
touch -d '2001-02-03 04:05:06' "$A/notes.txt"
run --in-place --keep-times -o utf-8 "$A/notes.txt"
expect_text "keep times" <(stat -c %Y "$A/notes.txt") "$(date -d '2001-02-03 04:05:06' +%s)\n"

# Without --in-place, or with a suffix that names nothing: usage errors, nothing opened.
while IFS='|' read -r args why; do
  eval "run $args \"\$A/notes.txt\""
  expect_status "usage [$args]" 2
  expect_text "usage [$args]" "$T/err" "kiv: $why\n"
done <<TABLE
-r -o utf-8|-r needs --in-place
--backup -o utf-8|--backup needs --in-place
--keep-times -o utf-8|--keep-times needs --in-place
--in-place --backup= -o utf-8|--backup=SUFFIX needs a suffix, without /
--in-place --backup=a/b -o utf-8|--backup=SUFFIX needs a suffix, without /
-j 2 -o utf-8|-j needs --in-place
--in-place -j x -o utf-8|-j needs a number of jobs (0: one for each CPU)
--in-place -j -1 -o utf-8|-j needs a number of jobs (0: one for each CPU)
TABLE

# -j: the same lines and messages, in the same order, and the same files as one job; a
# file named twice converted once; a signal to kiv ends its workers, which leave no new
# file behind.
for j in 2 0 3; do
  make_tree
  cp -a "$A" "$T/second"
  "$KIV" -v --in-place -r -o utf-8 "$A" "$A/notes.txt" >"$T/one" 2>&1
  "$KIV" -v --in-place -r -j $j -o utf-8 "$T/second" "$T/second/notes.txt" >"$T/many" 2>&1
  sed "s|$T/second|$A|g" "$T/many" >"$T/many.renamed"
  expect_file "-j $j: the same lines" "$T/many.renamed" "$T/one"
  (cd "$A" && find . -type f -exec md5sum {} + | sort) >"$T/sums.one"
  (cd "$T/second" && find . -type f -exec md5sum {} + | sort) >"$T/sums.many"
  expect_file "-j $j: the same files" "$T/sums.many" "$T/sums.one"
  rm -rf "$T/second"
done
# More files than a batch holds, in two jobs: the same lines as one job, and a signal
# leaves no converted file without its line (a worker renames only in its turn).
make_tree
for i in $(seq 150); do cp "$(sample cp1251)" "$A/misc/many$i.txt"; done
cp -a "$A" "$T/second"
"$KIV" -v --in-place -r -o utf-8 "$A" >"$T/one" 2>&1
"$KIV" -v --in-place -r -j 2 -o utf-8 "$T/second" >"$T/many" 2>&1
sed "s|$T/second|$A|g" "$T/many" >"$T/many.renamed"
expect_file "-j 2, 150 files: the same lines" "$T/many.renamed" "$T/one"
rm -rf "$T/second"
for pause in 0.05 0.2; do
  make_tree
  for i in $(seq 300); do cp "$(sample koi8-r)" "$A/misc/many$i.txt"; done
  "$KIV" --in-place -r -j 2 -o utf-8 "$A" >"$T/out" 2>"$T/err" &
  pid=$!
  sleep $pause
  kill -TERM $pid 2>/dev/null
  wait $pid
  converted=$(iconv -f koi8-r -t utf-8 "$(sample koi8-r)" | md5sum | cut -d' ' -f1)
  now=$(find "$A/misc" -name 'many*' -exec md5sum {} + | grep -c "$converted")
  said=$(grep -c 'misc/many.*: koi8-r -> utf-8' "$T/out")
  # (The file whose rename came just before the signal may lack its line, as with one job.)
  checks=$((checks + 1))
  [ $((now - said)) -ge 0 ] && [ $((now - said)) -le 1 ] ||
    fail "-j 2, killed after $pause s: $now files converted, $said lines"
done
# Names so long that a socket holds few messages: the coordinator never waits on one.
long=$T/long
perl -e '
  mkdir $ARGV[0] or die; chdir $ARGV[0] or die;
  for my $d (1..24) { my $n = "n" x 250; mkdir $n or die; chdir $n or die }
  for my $i (1..100) {
    open my $o, ">", "f$i" or die; print $o "Le chat est tr\xe8s \xe9l\xe9gant, d\xe9j\xe0 vu.\n"; close $o;
  }' "$long"
timeout 60 "$KIV" --in-place -r -j 2 -o utf-8 "$long" >"$T/out" 2>"$T/err"
status=$?
split_summary
expect_status "-j 2, long names" 1
expect_text "-j 2, long names: each left alone" <(grep -c 'left alone: 8-bit text, not Cyrillic$' "$T/err") '100\n'

make_tree
for i in $(seq 40); do cp "$(sample cp1251)" "$A/letters/more$i.txt"; done
slow_text "$T/huge"
cp "$T/huge" "$A/letters/zz-huge.txt"
cp -a "$A" "$T/orig.j"
"$KIV" --in-place -r -j 2 -o utf-8 "$A" >"$T/out" 2>"$T/err" &
pid=$!
seen=''
for i in $(seq 500); do
  seen=$(find "$A" -name '.zz-huge.txt.kiv-*') && [ -n "$seen" ] && break
  sleep 0.01
done
checks=$((checks + 1))
[ -n "$seen" ] || fail "-j 2: never caught converting"
kill -TERM $pid
wait $pid
status=$?
expect_status "-j 2, killed" 143
checks=$((checks + 1))
[ -z "$(pgrep -f "kiv --in-place -r -j 2 -o utf-8 $A")" ] || fail "-j 2, killed: a worker lives on"
expect_text "-j 2, killed: no stray file" <(find "$A" -name '.*.kiv-*' ! -name '.iso.txt.kiv-Ab3dE9') ''
expect_file "-j 2, killed: the large one whole" "$A/letters/zz-huge.txt" "$T/huge"

# Progress on a terminal, once a run has lasted a second (the first rename held up by
# strace): drawn, and cleared before each line when standard output is the terminal too;
# never with -q last, nor when standard error is no terminal.
if command -v script >/dev/null && command -v strace >/dev/null; then
  for q in "" -q "-v -q" "-q -v"; do
    make_tree
    ASAN_OPTIONS=detect_leaks=0 script -qec "strace -o /dev/null -e trace=renameat,renameat2 \
      -e inject=renameat,renameat2:delay_exit=1200000:when=1 \
      $KIV --in-place $q -o utf-8 $A/notes.txt $A/letters/a.txt $A/misc/iso.txt" /dev/null >"$T/tty"
    tr -d '\r' <"$T/tty" | sed 's/\x1b\[K//g; s/kiv: [0-9]* files* done, [0-9.]* MB, [0-9]* left alone//g; /^kiv: 3 converted/d' >"$T/lines"
    expect_text "progress [$q]: the lines whole" "$T/lines" \
      "$A/notes.txt: cp1251 -> utf-8\n$A/letters/a.txt: koi8-r -> utf-8\n$A/misc/iso.txt: iso-8859-5 -> utf-8\n"
    checks=$((checks + 1))
    case $q in
      "" | "-q -v") grep -q $'\rkiv: 1 file done, 0.0 MB, 0 left alone\x1b\[K\r\x1b\[K' "$T/tty" ||
        fail "progress [$q]: not drawn and cleared: [$(od -c "$T/tty" | head -5)]" ;;
      *) ! grep -q 'files done' "$T/tty" || fail "progress [$q]: drawn" ;;
    esac
  done
  make_tree
  ASAN_OPTIONS=detect_leaks=0 script -qec "strace -o /dev/null -e trace=renameat,renameat2 \
    -e inject=renameat,renameat2:delay_exit=1200000:when=1 \
    $KIV --in-place -o utf-8 $A/notes.txt $A/letters/a.txt 2>$T/err.file" /dev/null >/dev/null
  expect_text "progress: not into a file" "$T/err.file" ''
else
  echo "no script or strace: the progress line is not tried"
fi

# A tree 3000 deep with a file at its foot, and a folder of 3000 folders: each folder
# listed once, and the way back up taken through "..".
deep=$T/deep
perl -e '
  my ($top, $file) = @ARGV;
  open my $in, "<", $file or die; local $/; my $text = <$in>;
  mkdir $top or die; chdir $top or die;
  for my $d (1..3000) { mkdir "d" or die; chdir "d" or die }
  open my $o, ">", "foot.txt" or die; print $o $text; close $o;' "$deep" "$(sample cp1251)"
mkdir "$T/wide" && (cd "$T/wide" && seq -w 3000 | xargs mkdir) && cp "$(sample koi8-r)" "$T/wide/3000/last.txt"
run --in-place -r -o utf-8 "$deep" "$T/wide"
expect_status "deep and wide" 0
expect_text "deep and wide: converted" <(sed 's|/d/d/d/.*/d/|/d/.../d/|' "$T/out") \
  "$deep/d/.../d/foot.txt: cp1251 -> utf-8\n$T/wide/3000/last.txt: koi8-r -> utf-8\n"

# 10 000 files in 1 000 folders, 200 deep at the deepest, under 32 descriptors: on a
# tmpfs where one can be mounted, so that it takes seconds.
big=$T/big
mkdir "$big"
mount -t tmpfs -o size=200m tmpfs "$big" 2>/dev/null && mounted=1 || mounted=0
perl -e '
  my ($top, $file) = @ARGV;
  open my $in, "<", $file or die; local $/; my $text = <$in>;
  my @dirs = ($top);
  my $deep = $top;
  for my $d (1..200) { $deep .= "/d$d"; mkdir $deep or die; push @dirs, $deep }
  for my $d (201..999) { my $p = $dirs[$d % @dirs] . "/w$d"; mkdir $p or die; push @dirs, $p }
  for my $i (0..9999) {
    open my $o, ">", $dirs[$i % 1000] . "/f$i.txt" or die; print $o $text; close $o;
  }' "$big" "$(sample cp1251)"
(ulimit -n 32 && exec "$KIV" --in-place -r -o utf-8 "$big") >"$T/out" 2>"$T/err"
status=$?
split_summary
expect_status "10 000 files under 32 descriptors" 0
expect_text "10 000 files: each said" <(grep -c ': cp1251 -> utf-8$' "$T/out") '10000\n'
want=$(md5sum <"$(sample utf-8)" | cut -d' ' -f1)
expect_text "10 000 files: all converted" <(find "$big" -type f -exec md5sum {} + | cut -d' ' -f1 | uniq -c | xargs) "10000 $want\n"
expect_text "10 000 files: nothing else said" "$T/err" ''
[ $mounted = 1 ] && umount "$big"

finish
