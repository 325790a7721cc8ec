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

# Standard output that cannot be written.
for opts in "" "-T" "-h" "-i utf-8 -o utf-8"; do
  "$KIV" $opts "$good" >/dev/full 2>"$T/err"
  status=$?
  expect_status "/dev/full $opts" 1
  expect_text "/dev/full $opts message" "$T/err" 'kiv: standard output: No space left on device\n'
  "$KIV" $opts "$good" >&- 2>"$T/err"
  status=$?
  expect_status "closed stdout $opts" 1
  expect_text "closed stdout $opts message" "$T/err" 'kiv: standard output: Bad file descriptor\n'
done

# A closed pipe ends kiv through SIGPIPE, promptly and without a message.
for i in $(seq 2000); do cat "$good"; done >"$T/big"
( "$KIV" "$T/big" "$T/big"; echo $? >"$T/rc" ) 2>"$T/err" | head -c 10 >/dev/null
expect_text "closed pipe quiet" "$T/err" ''
checks=$((checks + 1))
[ "$(cat "$T/rc")" = 141 ] || fail "closed pipe: status $(cat "$T/rc"), want 141 (SIGPIPE)"

finish
