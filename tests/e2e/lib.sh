# Shared by the end-to-end scripts: run the real binary and check what it did.
# Usage in a script: . lib.sh "$@"  (arguments: path of kiv, source folder)
set -u
KIV=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SRC=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run ARGS...: runs kiv with stdout to $T/out, stderr to $T/err, status in $status; the
# last line of an in-place run, how it went, apart in $T/summary.
run() {
  "$KIV" "$@" >"$T/out" 2>"$T/err"
  status=$?
  split_summary
}
split_summary() {
  local line='^kiv: [0-9]+ (converted|to convert), [0-9]+ already '
  grep -E "$line" "$T/err" >"$T/summary"
  grep -vE "$line" "$T/err" >"$T/err.rest"
  mv "$T/err.rest" "$T/err"
}

# expect_status NAME WANT
expect_status() {
  checks=$((checks + 1))
  [ "$status" -eq "$2" ] || fail "$1: status $status, want $2 (stderr: $(head -c 300 "$T/err"))"
}

# expect_file NAME GOT WANT: byte-identical files
expect_file() {
  checks=$((checks + 1))
  cmp -s "$2" "$3" || fail "$1: $2 differs from $3 ($(cmp "$2" "$3" 2>&1 | head -1))"
}

# expect_text NAME FILE TEXT: FILE holds exactly TEXT (printf escapes allowed)
expect_text() {
  checks=$((checks + 1))
  printf -- "$3" >"$T/want"
  cmp -s "$2" "$T/want" || fail "$1: got [$(head -c 400 "$2")], want [$(head -c 400 "$T/want")]"
}

# expect_grep NAME FILE PATTERN: FILE has a line matching the fixed string
expect_grep() {
  checks=$((checks + 1))
  grep -qF -- "$3" "$2" || fail "$1: no [$3] in $2: [$(head -c 400 "$2")]"
}

finish() {
  echo "$checks checks, $failures failed"
  [ "$failures" -eq 0 ]
}

PAGES="cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8"
INPUT_PAGES="utf-16le utf-16be"  # read, never written
list="The valid identifiers of the code pages are:\\n $PAGES $INPUT_PAGES\\n"
# The other names kiv accepts for the pages, as name=page.
ALIASES="IBM866=cp866 866=cp866 CSIBM866=cp866 WINDOWS-1251=cp1251 MS-CYRL=cp1251
  KOI8R=koi8-r CSKOI8R=koi8-r ISO8859-5=iso-8859-5 ISO_8859-5=iso-8859-5 ISO88595=iso-8859-5
  ISO_8859-5:1988=iso-8859-5 CYRILLIC=iso-8859-5 CSISOLATINCYRILLIC=iso-8859-5
  ISO-IR-144=iso-8859-5 8859_5=iso-8859-5 IBM915=iso-8859-5 CP915=iso-8859-5
  MACCYRILLIC=mac-cyrillic x-mac-cyrillic=mac-cyrillic UTF8=utf-8
  UTF16LE=utf-16le UTF16BE=utf-16be"
# The shipped samples, and the UTF-16 ones made from the UTF-8 sample, without a BOM.
sample() {
  case " $INPUT_PAGES " in
    *" $1 "*) echo "$T/text.$1.txt" ;;
    *) echo "$SRC/samples/text.$1.txt" ;;
  esac
}
for p in $INPUT_PAGES; do iconv -f utf-8 -t "$p" "$(sample utf-8)" >"$(sample "$p")"; done

# slow_text FILE: some 60 MB of UTF-16 with a BOM, for a run to catch kiv while it
# converts: each line of the sample with characters beyond U+FFFF, which the tables
# leave to iconv, a unit at a time.
slow_text() {
  { printf '\xff\xfe' && sed 's/$/ \xf0\x9f\x98\x80\xf0\x9f\x8e\x89/' "$(sample utf-8)" | iconv -f utf-8 -t utf-16le; } >"$1"
  local i
  for i in $(seq 15); do cat "$1" "$1" >"$1.x" && mv "$1.x" "$1"; done
}

# completion_cases SHOWN ATTACHED: the cases the zsh and fish completion tests share, in
# the arrays rows (a command line, completed at its end) and wants (the matches), with a
# file in $T/d, SHOWN the way the shell offers it, and ATTACHED the way it offers utf-8
# after "--to-code=".
completion_cases() {
  mkdir "$T/d" && : >"$T/d/alpha.txt" && : >"$T/d/beta.txt"
  local f=$T/d/a words want
  local longs="--from-code --to-code --report --convert --leave-low-scores --no-box-drawing"
  longs+=" --box-drawing --letters-only --verbose --quiet --ignored --recursive --jobs --in-place"
  longs+=" --dry-run --lossy --backup --keep-times --keep-declarations --repair --guess --help --version"
  local options="-T -c -e -g -h -i -j -l -o -q -r -s -t -v $longs"
  rows=() wants=()
  while IFS='|' read -r words want; do rows+=("$words") wants+=("$want"); done <<TABLE
kiv -o |$PAGES
kiv -i |$PAGES $INPUT_PAGES
kiv -v -i cp866 -o |$PAGES
kiv -vo |$PAGES
kiv -vi |$PAGES $INPUT_PAGES
kiv -s x -o |$PAGES
kiv --to-code |$PAGES
kiv --ignored x --from-code |$PAGES $INPUT_PAGES
kiv --from-code mac|mac-cyrillic
kiv --to-code=u|$2
kiv -o u|utf-8
kiv -i u|utf-8 utf-16le utf-16be
kiv -i mac|mac-cyrillic
kiv -o $f|
kiv -s |
kiv -|$options
kiv --|$longs
kiv --to-code=utf-8 $f|$1
kiv --report $f|$1
kiv $f|$1
kiv -io $f|$1
kiv file -o $f|$1
kiv -- -i $f|$1
TABLE
}

# expect_completions SHELL: the shell ran (status in $status) and wrote, line by line to
# $T/got, the matches for each of the rows, in any order.
expect_completions() {
  expect_status "$1" 0
  local i
  for i in "${!rows[@]}"; do
    sed -n "$((i + 1))p" "$T/got" >"$T/out"
    expect_text "complete [${rows[i]}]" "$T/out" "$(tr ' ' '\n' <<<"${wants[i]}" | sort | xargs)\n"
  done
}
