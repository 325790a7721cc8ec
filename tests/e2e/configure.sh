#!/bin/bash
# Configuring with and without GoogleTest, through the presets the Quick start uses: kiv
# alone with a one-line hint, the test presets refusing with the same hint, and GoogleTest
# found again in the same build folder once it is there; a refused test line spoils no
# build folder.
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

# The test line failing without GoogleTest leaves the folder line 1 made as it was: kiv
# builds, runs, installs, uninstalls and packages there.
B=$T/quick
"$CMAKE" -S "$SRC" -B "$B" --preset default $missing >/dev/null 2>&1 &&
  "$CMAKE" --build "$B" -j2 >/dev/null 2>&1
status=$?
expect_status "line 1 without GoogleTest" 0
"$CMAKE" -S "$SRC" -B "$B" --preset tests $missing >"$T/out" 2>&1
status=$?
checks=$((checks + 1))
[ $status -ne 0 ] || fail "the test line without GoogleTest passed"
while IFS='|' read -r what command; do
  (cd "$B/.." && eval "$command") >"$T/out" 2>&1
  status=$?
  expect_status "after the test line failed: $what" 0
done <<TABLE
build|"$CMAKE" --build "$B"
run|"$B/kiv" -T "$SRC/samples/text.cp866.txt" | grep -qx '.*: cp866'
install|"$CMAKE" --install "$B" --prefix "$T/home"
staged install|DESTDIR="$T/stage" "$CMAKE" --install "$B" --prefix /usr
uninstall|"$CMAKE" --build "$B" --target uninstall
TABLE
if command -v dpkg-shlibdeps >/dev/null; then
  (cd "$B" && "$(dirname "$CMAKE")/cpack" -G DEB) >"$T/out" 2>&1
  status=$?
  expect_status "after the test line failed: package" 0
else
  echo "no dpkg-shlibdeps: the package after a failed test line is not tried"
fi

finish
