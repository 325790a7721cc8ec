#!/bin/bash
# Configuring with and without GoogleTest, through the presets the Quick start uses: kiv
# alone with a one-line hint, the test presets refusing with the same hint, and GoogleTest
# found again in the same build folder once it is there.
# Arguments: kiv, source folder, build folder, cmake.
. "$(dirname "$0")/lib.sh" "$@"
CMAKE=${4:-cmake}
hint='Tests off: GoogleTest not found (apt-get install libgtest-dev)'
missing=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON

# preset | extra argument | status 0 or not | hint lines | tests listed
while IFS='|' read -r preset extra ok hints listed; do
  name="--preset $preset $extra"
  "$CMAKE" -S "$SRC" -B "$T/b" --preset "$preset" $extra >"$T/out" 2>&1
  status=$?
  checks=$((checks + 1))
  if [ "$ok" = 0 ]; then [ $status -eq 0 ]; else [ $status -ne 0 ]; fi ||
    fail "$name: status $status ($(tail -5 "$T/out"))"
  checks=$((checks + 1))
  [ "$(grep -c 'GoogleTest not found (apt-get install libgtest-dev)' "$T/out")" = "$hints" ] ||
    fail "$name: want the hint $hints times in [$(cat "$T/out")]"
  [ "$ok" = 0 ] || continue
  [ "$hints" = 0 ] || expect_grep "$name: one line" "$T/out" "-- $hint"
  ctest --test-dir "$T/b" -N >"$T/list" 2>&1
  got=no && grep -q "Total Tests: [1-9]" "$T/list" && got=yes
  checks=$((checks + 1))
  [ $got = "$listed" ] || fail "$name: tests listed: $(tail -1 "$T/list"), want $listed"
done <<TABLE
default|$missing|0|1|no
tests|$missing|1|1|
tests|-DCMAKE_DISABLE_FIND_PACKAGE_GTest=OFF|0|0|yes
default|-DKIV_TESTS=OFF|0|0|no
default|-DKIV_TESTS=AUTO|0|0|yes
TABLE

finish
