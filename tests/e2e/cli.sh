#!/bin/bash
# The command line: help, options and their order, the report, warnings, exit statuses.
. "$(dirname "$0")/lib.sh" "$@"

for help in -h --help; do
  run $help
  expect_status "help $help" 0
  expect_file "help text $help" "$T/out" "$SRC/tests/golden/help.txt"
  expect_text "help quiet $help" "$T/err" ''
done
run -v --version /nonexistent
expect_status "version" 0
expect_text "version" "$T/out" 'kiv 0.81\nReleased by the kiv authors under the MIT licence, without warranty.\n'
expect_text "version quiet" "$T/err" ''
"$KIV" --version >/dev/full 2>/dev/null
status=$?
expect_status "version to a full disk" 1

# A usage error: the complaint and the help on standard error, nothing on standard
# output (kiv -x f > out.txt must not fill out.txt with the help).
for bad in -x -i -o -s --bogus --help=x --version=1 --to-code --report=x; do
  run $bad
  expect_status "usage $bad" 2
  expect_text "usage $bad nothing out" "$T/out" ''
  tail -c "$(wc -c <"$SRC/tests/golden/help.txt")" "$T/err" >"$T/help"
  expect_file "usage $bad help" "$T/help" "$SRC/tests/golden/help.txt"
  expect_grep "usage $bad complaint" "$T/err" "$(basename "$KIV"): "
done

# Each long option --help lists does what its short twin does, its argument after "=" or
# in the next word.
printf '\xda\xc4\xbf\n\xb3\xa2\xe1\xb3\n' >"$T/box866"
"$KIV" --help | sed -nE 's/^ {4}--([a-z-]+)(=[a-z]+)? +-(.)$/\1|\2|\3/p' >"$T/twins"
checks=$((checks + 1))
[ "$(wc -l <"$T/twins")" -ge 12 ] || fail "long options in --help: [$(cat "$T/twins")]"
while IFS='|' read -r long arg short; do
  forms=("--$long") shorts=("-$short")
  [ -n "$arg" ] && forms=("--$long=utf-8" "--$long utf-8") shorts=("-$short utf-8")
  run -v -g -i cp866 -o cp1251 ${shorts[0]} "$T/box866"
  mv "$T/out" "$T/short.out" && mv "$T/err" "$T/short.err" && want=$status
  for form in "${forms[@]}"; do
    run -v -g -i cp866 -o cp1251 $form "$T/box866"
    expect_status "$form" $want
    expect_file "$form out" "$T/out" "$T/short.out"
    expect_file "$form err" "$T/err" "$T/short.err"
  done
done <"$T/twins"

# One report line per input, in order.
args=() want=''
for p in $PAGES; do args+=("$(sample $p)"); want+="$(sample $p): $p\n"; done
run -T "${args[@]}"
expect_status "report" 0
expect_text "report lines" "$T/out" "$want"
printf 'plain ASCII only\n' >"$T/ascii"
: >"$T/empty"
run -T "$T/ascii" "$T/empty"
expect_text "no hits" "$T/out" "$T/ascii: us-ascii (no hits)\n$T/empty: us-ascii (no hits)\n"
"$KIV" -T <"$(sample koi8-r)" >"$T/out"
expect_text "report stdin" "$T/out" '<stdin>: koi8-r\n'
cp "$(sample cp1251)" "$T/%s%n"
run -T "$T/%s%n"
expect_text "report name with percent" "$T/out" "$T/%%s%%n: cp1251\n"
# A name that would drive the terminal or split its line is shown escaped.
odd=$T/$'a\nb\e[1m\\'
cp "$(sample cp1251)" "$odd"
run -T "$odd" "$odd.gone"
expect_text "report escaped name" "$T/out" "$T"'/a\\nb\\033[1m\\\\: cp1251\n'
expect_text "message escaped name" "$T/err" "$T"'/a\\nb\\033[1m\\\\.gone: No such file or directory\n'

# -T turns detection back on after -i; -i after -T reads and reports nothing.
run -i cp866 -T "$(sample utf-8)"
expect_text "-i then -T" "$T/out" "$(sample utf-8): utf-8\n"
run -T -i cp866 "$(sample utf-8)"
expect_status "-T then -i" 0
expect_text "-T then -i silent" "$T/out" ''

# Options end at the first operand.
run -T "$(sample cp866)" -v
expect_status "operand -v" 1
expect_text "operand -v report" "$T/out" "$(sample cp866): cp866\n"
expect_text "operand -v error" "$T/err" '-v: No such file or directory\n'
run -T -- -v
expect_text "after --" "$T/err" '-v: No such file or directory\n'
run -T "$(sample cp866)" --version
expect_text "operand --version" "$T/err" '--version: No such file or directory\n'
cp "$(sample iso-8859-5)" "$T/-"
(cd "$T" && "$KIV" -T - >out2 2>&1 </dev/null)
expect_text "hyphen is a file" "$T/out2" '-: iso-8859-5\n'

# A wrong page name is always said, with the list; a wrong last -o converts into koi8-r
# and fails the run.
wrong() { printf 'kiv: Wrong code page identifier: %s\\n%s' "${1//%/%%}" "$list"; }
brings='kiv: Brings to default output code page (koi8-r).\n'
run -o KOI8-U -i utf-8 "$(sample utf-8)"
expect_file "bad -o falls back to koi8-r" "$T/out" "$(sample koi8-r)"
long=$(printf '%*s' 10000 '' | tr ' ' '%')
# options | status | standard error
while IFS='|' read -r opts want err; do
  eval "set -- $opts"
  run "$@" -T "$(sample utf-8)"
  expect_status "[$opts]" "$want"
  expect_text "[$opts] message" "$T/err" "$err"
done <<TABLE
-o KOI8-U|1|$(wrong KOI8-U)$brings
-q -o KOI8-U|1|$(wrong KOI8-U)$brings
-v -o '%s%n' -q|1|$(wrong '%s%n')$brings
-o bad -o utf-8|0|$(wrong bad)
-o utf-8 -o bad|1|$(wrong bad)$brings
-v -o "\$long"|1|$(wrong "$long")$brings
TABLE

# Other names of the pages are the same pages: to iconv, byte by byte (utf-8: the Cyrillic
# block), and to kiv, in any letter case, after -i and after -o.
perl -e 'print chr($_), "\n" for 0 .. 255' >"$T/bytes"
perl -CO -e 'print chr($_), "\n" for 0x400 .. 0x4ff' >"$T/cyrillic"
for a in $ALIASES $(for p in $PAGES $INPUT_PAGES; do echo $p=$p; done); do
  name=${a%=*} page=${a#*=}
  input=$T/bytes && [ $page = utf-8 ] && input=$T/cyrillic
  # HTML's name for the Mac page is unknown to the C library.
  if [ "$name" != x-mac-cyrillic ]; then
    iconv -c -f "$name" -t UTF-8 "$input" >"$T/alias" 2>/dev/null
    iconv -c -f $page -t UTF-8 "$input" >"$T/page" 2>/dev/null
    expect_file "iconv: $name is $page" "$T/alias" "$T/page"
  fi
  "$KIV" -i $page -o utf-8 "$(sample $page)" >"$T/from"
  run -i "${name,,}" -o utf-8 "$(sample $page)"
  expect_file "-i ${name,,}" "$T/out" "$T/from"
  expect_text "-i ${name,,} quiet" "$T/err" ''
  run -v -o "${name^^}" -i utf-8 "$(sample utf-8)"
  case " $INPUT_PAGES " in
    *" $page "*)  # read, never written: koi8-r instead, as for a wrong name
      expect_file "-o ${name^^} refused" "$T/out" "$(sample koi8-r)"
      expect_text "-o ${name^^} refused, warning" "$T/err" \
        "kiv: Not an output code page: ${name^^}\n${list}kiv: Brings to default output code page (koi8-r).\n"
      ;;
    *)
      "$KIV" -i utf-8 -o $page "$(sample utf-8)" >"$T/to"
      expect_file "-o ${name^^}" "$T/out" "$T/to"
      expect_text "-o ${name^^} quiet" "$T/err" ''
      ;;
  esac
done

# --repair with -T or -l: a usage error, said before any file is opened.
for args in "--repair -T" "-T --repair" "--repair -i utf-8 -l"; do
  run $args "$T/no-such-file"
  expect_status "[$args]" 2
  what=-T && [[ $args == *-l* ]] && what=-l
  expect_text "[$args] said" "$T/err" "kiv: --repair and $what do not go together\n"
done
run --repair -T -t "$(sample cp1251)"
expect_status "--repair -T -t" 0

# A wrong -i stops before any input, unless -t or -T undoes it.
run -i cp-1251 "$(sample cp1251)"
expect_status "bad -i" 255
expect_text "bad -i nothing out" "$T/out" ''
expect_text "bad -i message" "$T/err" "$(wrong cp-1251)"
run -v -i nope /nonexistent
expect_text "bad -i verbose" "$T/err" \
  "kiv: Wrong code page identifier: nope\n${list}kiv: Could not continue without input code page. Specify -i or -t option.\n"
run -i nope -t -T "$(sample cp1251)"
expect_status "bad -i undone" 0
expect_text "bad -i undone report" "$T/out" "$(sample cp1251): cp1251\n"

# The box-drawing warning, once per input, only with -v and without -c.
warn='kiv: Output code page has no pseudo-graphics. Assuming a -g option off.\n'
run -v -g -i cp866 -o cp1251 "$T/box866" "$T/box866"
expect_text "box warning twice" "$T/err" "$warn$warn"
run -g -i cp866 -o cp1251 "$T/box866"
expect_text "box warning needs -v" "$T/err" ''
run -v -g -c -i cp866 -o cp1251 "$T/box866"
expect_text "box warning not with -c" "$T/err" ''
run -v -g -i cp866 -o koi8-r "$T/box866"
expect_text "box warning not for koi8-r" "$T/err" ''
# -e, -g and -c change no byte of the text.
for opts in "" -e -g -c "-g -c"; do
  "$KIV" $opts -i cp866 -o cp1251 "$T/box866" >"$T/o.$opts" 2>/dev/null
  expect_file "options $opts leave text alone" "$T/o.$opts" "$T/o."
done

finish
